// Stand-in for the suite's host-setup tool. Writes what it saw into
// ruvo5parhosts.report beside itself, in UTF-8, one "name=value" line each:
//   command_line          its command line, as received
//   uses_show_window      1 when the start-up record carried a show command
//   show_window           that show command (0 is hidden)
//   parent_alive_at_end   1 when the process that started it was still running
//                         when it ended, after a pause of half a second
// The report is written only at the end, so it exists once the tool has ended.
// Exits with 3, which its caller is expected to ignore. The environment
// variable RUVO5PARHOSTS_PAUSE_MS sets another pause (the benchmark uses 0),
// RUVO5PARHOSTS_EXIT_CODE another exit code.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kDefaultPauseMs = 500;
constexpr int kExitCode = 3;

DWORD ParentProcessId() {
  DWORD parent = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
  }
  CloseHandle(snapshot);
  return parent;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  GetStartupInfoW(&startup);
  HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, ParentProcessId());

  wchar_t pause[16] = L"";
  const bool pauseSet = GetEnvironmentVariableW(L"RUVO5PARHOSTS_PAUSE_MS", pause, 16) > 0;
  Sleep(pauseSet ? static_cast<DWORD>(_wtoi(pause)) : kDefaultPauseMs);
  const bool parentAlive = parent != nullptr && WaitForSingleObject(parent, 0) == WAIT_TIMEOUT;
  if (parent != nullptr) CloseHandle(parent);

  std::wstring report = L"command_line=" + std::wstring(GetCommandLineW()) + L"\n";
  report += L"uses_show_window=" +
            std::to_wstring((startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? 1 : 0) + L"\n";
  report += L"show_window=" + std::to_wstring(startup.wShowWindow) + L"\n";
  report += L"parent_alive_at_end=" + std::to_wstring(parentAlive ? 1 : 0) + L"\n";

  wchar_t path[MAX_PATH + 32] = L"";
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring reportPath = path;
  reportPath = reportPath.substr(0, reportPath.rfind(L'\\') + 1) + L"ruvo5parhosts.report";

  std::string bytes(report.size() * 3, '\0');
  bytes.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, report.c_str(),
                                                       static_cast<int>(report.size()),
                                                       bytes.data(), static_cast<int>(bytes.size()),
                                                       nullptr, nullptr)));
  HANDLE file = CreateFileW(reportPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
  }
  wchar_t exitCode[16] = L"";
  const bool exitCodeSet = GetEnvironmentVariableW(L"RUVO5PARHOSTS_EXIT_CODE", exitCode, 16) > 0;
  return exitCodeSet ? _wtoi(exitCode) : kExitCode;
}
