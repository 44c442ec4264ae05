// runrestricted COMMAND LINE: runs a command as a standard user would: with a
// primary token in which the Administrators group is deny-only. Waits for it
// and exits with its exit code (255 when it could not be started).
#include <windows.h>

#include "standard_user.h"
#include "tool_output.h"

int main() {
  constexpr DWORD kNotStarted = 255;
  DWORD exitCode = kNotStarted;
  std::wstring commandLine = ArgumentsOf(GetCommandLineW());
  HANDLE restricted = CreateStandardUserToken();
  if (restricted != nullptr) {
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
  return static_cast<int>(exitCode);
}
