// shellfolder CSIDL: prints the path of a shell folder (for instance 2, the
// user's Programs folder, or 23, the all-users one) in UTF-8, creating nothing.
#include <windows.h>
#include <shlobj.h>

#include <cwchar>

#include "tool_output.h"

int main() {
  wchar_t path[MAX_PATH + 1] = L"";
  const int folder = static_cast<int>(wcstol(ArgumentsOf(GetCommandLineW()), nullptr, 10));
  if (!SHGetSpecialFolderPathW(nullptr, path, folder, FALSE)) {
    return 1;
  }
  PrintUtf8(std::wstring(path) + L"\n");
  return 0;
}
