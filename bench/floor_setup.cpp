// The floor for menusetup's run time: the platform calls that menusetup makes,
// with no logic around them. It asks the shell for the all-users Programs
// folder, creates the two start-menu folders, saves the launcher shortcut
// through the shell link object and runs the host-setup tool hidden, waiting
// for it. Built as lean as menusetup, so that only the work differs.
// Usage: floor_setup SUITE-DIRECTORY START-MENU-FOLDER
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>

namespace {
constexpr size_t kPathCapacity = 2 * MAX_PATH;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr || count != 3) return 2;
  const wchar_t* suite = arguments[1];
  wchar_t folder[kPathCapacity] = L"";
  wchar_t text[kPathCapacity] = L"";
  SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_PROGRAMS, FALSE);
  wcscat(wcscat(folder, L"\\"), arguments[2]);
  CreateDirectoryW(folder, nullptr);
  wcscat(folder, L"\\Fluid Dynamics");
  CreateDirectoryW(folder, nullptr);

  CoInitialize(nullptr);
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                   reinterpret_cast<void**>(&link));
  link->SetPath(wcscat(wcscat(wcscpy(text, L"\""), suite), L"\\bin\\ruvo5.exe\""));
  link->SetArguments(L"");
  link->SetWorkingDirectory(L"%USERPROFILE%");
  link->SetDescription(L"Start VELMORA RUVO 18.2 Launcher");
  link->SetIconLocation(wcscat(wcscpy(text, suite), L"\\icons\\ruvo_hi.ico"), 0);
  link->SetShowCmd(SW_SHOWNORMAL);
  link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  file->Save(wcscat(folder, L"\\RUVO 18.2.lnk"), TRUE);
  file->Release();
  link->Release();

  wcscat(wcscat(wcscpy(text, L"\""), suite), L"\\bin\\ruvo5parhosts.exe\" -install-setup");
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process = {};
  if (CreateProcessW(nullptr, text, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                     &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  LocalFree(arguments);
  return 0;
}
