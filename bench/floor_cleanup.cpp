// The floor for menucleanup's run time: the least that its job takes through
// the platform, with no logic around it. It asks the shell for the all-users
// Programs folder, deletes the launcher shortcut, enumerates the Fluid
// Dynamics folder through the shell and removes it, and after each deletion
// looks whether the name went, as menucleanup does before it logs one. Built
// as lean as menucleanup, so that only the work differs.
// Usage: floor_cleanup START-MENU-FOLDER
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>
#include <direct.h>

namespace {
constexpr size_t kPathCapacity = 2 * MAX_PATH;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr || count != 2) return 2;
  wchar_t folder[kPathCapacity] = L"";
  wchar_t link[kPathCapacity] = L"";
  SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_PROGRAMS, FALSE);
  wcscat(wcscat(wcscat(folder, L"\\"), arguments[1]), L"\\Fluid Dynamics");
  DeleteFileW(wcscat(wcscpy(link, folder), L"\\RUVO 18.2.lnk"));
  GetFileAttributesW(link);

  CoInitialize(nullptr);
  IShellFolder* desktop = nullptr;
  IShellFolder* target = nullptr;
  IEnumIDList* items = nullptr;
  LPITEMIDLIST folderItem = nullptr;
  LPITEMIDLIST first = nullptr;
  ULONG fetched = 0;
  SHGetDesktopFolder(&desktop);
  desktop->ParseDisplayName(nullptr, nullptr, folder, nullptr, &folderItem, nullptr);
  desktop->BindToObject(folderItem, nullptr, IID_IShellFolder, reinterpret_cast<void**>(&target));
  target->EnumObjects(nullptr, SHCONTF_NONFOLDERS, &items);
  const HRESULT next = items->Next(1, &first, &fetched);
  CoTaskMemFree(first);
  CoTaskMemFree(folderItem);
  items->Release();
  target->Release();
  desktop->Release();
  if (next == S_FALSE) _wrmdir(folder);
  GetFileAttributesW(folder);
  LocalFree(arguments);
  return 0;
}
