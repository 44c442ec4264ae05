// lnkread PATH: prints a shortcut's properties, as the shell link object reads
// them, one "name=value" line each, in UTF-8. Exits with 1 when the file does
// not load as a shortcut.
#include <windows.h>
#include <shellapi.h>

#include "../shortcut_reader.h"
#include "tool_output.h"

int main() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr || count != 2) {
    return 2;
  }
  const ShortcutProperties link = ReadShortcut(arguments[1]);
  LocalFree(arguments);
  if (!link.loaded) {
    return 1;
  }
  PrintUtf8(L"target=" + link.target + L"\n");
  PrintUtf8(L"arguments=" + link.arguments + L"\n");
  PrintUtf8(L"working_directory=" + link.workingDirectory + L"\n");
  PrintUtf8(L"description=" + link.description + L"\n");
  PrintUtf8(L"icon_path=" + link.iconPath + L"\n");
  PrintUtf8(L"icon_index=" + std::to_wstring(link.iconIndex) + L"\n");
  PrintUtf8(L"show_command=" + std::to_wstring(link.showCommand) + L"\n");
  return 0;
}
