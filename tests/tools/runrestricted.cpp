// runrestricted COMMAND LINE: runs a command as a standard user would: with a
// primary token in which the Administrators group is deny-only. Waits for it
// and exits with its exit code (255 when it could not be started).
#include <windows.h>

#include "tool_output.h"

int main() {
  constexpr DWORD kNotStarted = 255;
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  HANDLE token = nullptr;
  HANDLE restricted = nullptr;
  DWORD exitCode = kNotStarted;
  std::wstring commandLine = ArgumentsOf(GetCommandLineW());

  if (AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                               DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators) &&
      OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token)) {
    SID_AND_ATTRIBUTES disable = {administrators, 0};
    if (CreateRestrictedToken(token, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted)) {
      STARTUPINFOW startup = {};
      startup.cb = sizeof(startup);
      PROCESS_INFORMATION process = {};
      if (CreateProcessAsUserW(restricted, nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
      }
      CloseHandle(restricted);
    }
  }
  if (token != nullptr) CloseHandle(token);
  if (administrators != nullptr) FreeSid(administrators);
  return static_cast<int>(exitCode);
}
