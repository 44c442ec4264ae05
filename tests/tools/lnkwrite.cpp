// lnkwrite LINK TARGET ARGUMENTS WORKING_DIRECTORY DESCRIPTION ICON ICON_INDEX
// SHOW_COMMAND: saves a shortcut through the library's WriteShortcut, each
// text as given (an empty argument stays empty), so that the tests can read
// back values that the programs themselves never write. Exits with 0 when
// WriteShortcut answers S_OK, 1 when it fails, 2 for another command line.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "shortcuts.h"

int main() {
  constexpr int kArgumentCount = 9;
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr || count != kArgumentCount) {
    return 2;
  }
  const int iconIndex = static_cast<int>(wcstol(arguments[7], nullptr, 10));
  const int showCommand = static_cast<int>(wcstol(arguments[8], nullptr, 10));
  const HRESULT result = WriteShortcut(arguments[1], arguments[2], arguments[3], arguments[4],
                                       arguments[5], arguments[6], iconIndex, showCommand);
  LocalFree(arguments);
  return result == S_OK ? 0 : 1;
}
