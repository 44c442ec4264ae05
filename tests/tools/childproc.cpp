// childproc STEP...: a child for the process tests, which runs its steps in
// order and then exits with 0 (2 for a step it does not know):
//   exit CODE            exits at once with CODE
//   sleep MS | forever   sleeps that many milliseconds, or without end
//   report PATH [HANDLE] writes "name=value" lines to PATH (whole or not at
//                        all): pid, the start-up show flag (flags: 1 when
//                        STARTF_USESHOWWINDOW is set), show (wShowWindow) and,
//                        when a handle value (decimal) is given, signalled: 1
//                        when SetEvent on it succeeded here, 0 otherwise
//   await NAME           waits for the named event, two minutes at most
//   touch PATH           creates an empty file at PATH
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <cwctype>
#include <string>

namespace {

constexpr int kUnknownStep = 2;
constexpr DWORD kAwaitLimitMs = 120000;

void WriteWhole(const std::wstring& path, const std::wstring& text) {
  const std::wstring partial = path + L".partial";
  const std::string bytes(text.begin(), text.end());  // the report is ASCII
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void Report(const std::wstring& path, const wchar_t* handleValue) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  GetStartupInfoW(&startup);
  std::wstring text = L"pid=" + std::to_wstring(GetCurrentProcessId()) + L"\n";
  text += L"flags=" + std::to_wstring(startup.dwFlags & STARTF_USESHOWWINDOW) + L"\n";
  text += L"show=" + std::to_wstring(startup.wShowWindow) + L"\n";
  if (handleValue != nullptr) {
    const auto value = static_cast<UINT_PTR>(wcstoul(handleValue, nullptr, 10));
    const BOOL set = SetEvent(reinterpret_cast<HANDLE>(value));
    text += L"signalled=" + std::to_wstring(set ? 1 : 0) + L"\n";
  }
  WriteWhole(path, text);
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return kUnknownStep;
  int exitCode = 0;
  for (int at = 1; at < count && exitCode == 0; ++at) {
    const std::wstring step = arguments[at];
    const wchar_t* next = at + 1 < count ? arguments[at + 1] : nullptr;
    if (step == L"exit" && next != nullptr) {
      ExitProcess(static_cast<UINT>(_wtoi(next)));
    } else if (step == L"sleep" && next != nullptr) {
      Sleep(std::wstring(next) == L"forever" ? INFINITE : static_cast<DWORD>(_wtoi(next)));
      ++at;
    } else if (step == L"report" && next != nullptr) {
      const wchar_t* handle = at + 2 < count && iswdigit(arguments[at + 2][0]) ? arguments[at + 2]
                                                                             : nullptr;
      Report(next, handle);
      at += handle != nullptr ? 2 : 1;
    } else if (step == L"await" && next != nullptr) {
      HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, next);
      if (event != nullptr) {
        WaitForSingleObject(event, kAwaitLimitMs);
        CloseHandle(event);
      }
      ++at;
    } else if (step == L"touch" && next != nullptr) {
      HANDLE file = CreateFileW(next, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
      ++at;
    } else {
      exitCode = kUnknownStep;
    }
  }
  LocalFree(arguments);
  return exitCode;
}
