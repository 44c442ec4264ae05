// shellfolder CSIDL [NAME]: prints the path of a shell folder (for instance 2,
// the user's Programs folder, or 23, the all-users one) in UTF-8, creating
// nothing; with a NAME, the short (8.3) path of that entry of the folder.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>

#include "tool_output.h"

int main() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  wchar_t path[MAX_PATH + 1] = L"";
  wchar_t shortPath[MAX_PATH + 1] = L"";
  if (arguments == nullptr || count < 2 ||
      !SHGetSpecialFolderPathW(nullptr, path, static_cast<int>(wcstol(arguments[1], nullptr, 10)),
                               FALSE)) {
    return 1;
  }
  const std::wstring entry = count > 2 ? std::wstring(path) + L"\\" + arguments[2] : L"";
  const DWORD length = count > 2 ? GetShortPathNameW(entry.c_str(), shortPath, MAX_PATH + 1) : 0;
  if (count > 2 && (length == 0 || length > MAX_PATH)) {
    return 1;
  }
  PrintUtf8(std::wstring(count > 2 ? shortPath : path) + L"\n");
  return 0;
}
