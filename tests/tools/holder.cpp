// holder PATH SHARING MS: holds a file or folder open as the shell, an indexer
// or a scanner would, for the tests of programs that meet such a hold.
// SHARING is any of the letters r, w and d (FILE_SHARE_READ, _WRITE, _DELETE)
// or "-" for none. Prints "held" once the object is open, holds it MS
// milliseconds and closes it. Exits with 0, or with 1 (printing the error)
// when the object cannot be opened, 2 for bad arguments.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "tool_output.h"

namespace {

constexpr int kCannotOpen = 1;
constexpr int kBadArguments = 2;
constexpr int kArgumentCount = 4;

DWORD SharingOf(const wchar_t* letters) {
  DWORD sharing = 0;
  for (const wchar_t* c = letters; *c != L'\0'; ++c) {
    sharing |= *c == L'r' ? FILE_SHARE_READ : *c == L'w' ? FILE_SHARE_WRITE
                                          : *c == L'd' ? FILE_SHARE_DELETE
                                                       : 0;
  }
  return sharing;
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr || count != kArgumentCount) return kBadArguments;
  // Backup semantics open a folder as Explorer does, and change nothing for a file.
  HANDLE object = CreateFileW(arguments[1], GENERIC_READ, SharingOf(arguments[2]),
                              /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, /*hTemplateFile=*/nullptr);
  if (object == INVALID_HANDLE_VALUE) {
    PrintUtf8(L"cannot open: error " + std::to_wstring(GetLastError()) + L"\n");
    return kCannotOpen;
  }
  PrintUtf8(L"held\n");
  Sleep(static_cast<DWORD>(_wtoi(arguments[3])));
  CloseHandle(object);
  LocalFree(arguments);
  return 0;
}
