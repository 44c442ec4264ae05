// shellfolder CSIDL [NAME]: prints the path of a shell folder (for instance 2,
// the user's Programs folder, or 23, the all-users one) in UTF-8, creating
// nothing; with a NAME, the short (8.3) path of that entry of the folder
// instead.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>

#include "tool_output.h"

int main() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  wchar_t path[MAX_PATH + 1] = L"";
  if (arguments == nullptr || count < 2 ||
      !SHGetSpecialFolderPathW(nullptr, path, static_cast<int>(wcstol(arguments[1], nullptr, 10)),
                               FALSE)) {
    return 1;
  }
  std::wstring shown = path;
  if (count > 2) {
    const std::wstring entry = shown + L"\\" + arguments[2];
    shown.assign(GetShortPathNameW(entry.c_str(), nullptr, 0), L'\0');
    if (shown.empty() || GetShortPathNameW(entry.c_str(), shown.data(),
                                           static_cast<DWORD>(shown.size())) == 0) {
      return 1;
    }
    shown.pop_back();  // the terminator
  }
  PrintUtf8(shown + L"\n");
  return 0;
}
