#include "folder_removal.h"

#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <direct.h>

#include "install_layout.h"
#include "log.h"
#include "release.h"
#include "shell_notify.h"
#include "shortcuts.h"

namespace {

// Asked of the parse, not examined: whether the item is a folder and has
// sub-folders.
constexpr ULONG kParseAttributes = SFGAO_FOLDER | SFGAO_HASSUBFOLDER;
// Only items that are not folders count; hidden ones are not enumerated.
constexpr SHCONTF kEnumerationFlags = SHCONTF_NONFOLDERS;
constexpr HRESULT kFolderNotEmpty = ERROR_FILE_EXISTS;

void FreeItemAndClear(IMalloc* allocator, LPITEMIDLIST* item) {
  if (*item != nullptr) {
    if (allocator != nullptr) {
      allocator->Free(*item);
    } else {
      CoTaskMemFree(*item);  // the shell's allocator is COM's task allocator
    }
    *item = nullptr;
  }
}

// Removes the folder at <Programs folder><tail> when it is empty, but only
// when that path stays inside the Programs folder.
void RemoveInsideProgramsFolder(const wchar_t* separator, const wchar_t* tail) {
  wchar_t* programs = CopyProgramsFolder();
  wchar_t* path = JoinStrings(3, programs, separator, tail);
  wchar_t* resolved = nullptr;
  // The name comes from a file and the caller may be elevated: never remove a
  // folder outside the Programs folder, nor the Programs folder itself.
  if (PathStaysInside(programs, path)) {
    // The folder the file system means, the same one the shortcut went into.
    resolved = CopyFullPath(path);
    if (resolved == nullptr) {
      LogFailure(GetLastError(), "Folder refused: %s cannot be resolved", path);
    }
  } else {
    LogLine("Folder refused: %s is not inside the Programs folder %s", path, programs);
  }
  if (resolved != nullptr) {
    RemoveFolderIfEmpty(resolved);
  }
  FreeAndClear(&resolved);
  FreeAndClear(&path);
  FreeAndClear(&programs);
}

// Tells what became of the folder at `path` once the emptiness test gave
// `result`, the enumeration `next`, and a removal was tried or not: removed,
// or kept and why. Runs right after that removal, whose error it reads.
void LogFolderOutcome(const wchar_t* path, HRESULT result, HRESULT next) {
  const DWORD removalError = GetLastError();
  if (result == kFolderNotEmpty && next == S_OK) {
    LogLine("Folder kept: %s still holds something", path);
  } else if (result == kFolderNotEmpty) {
    LogFailure(static_cast<DWORD>(next), "Folder kept: %s, the shell cannot list it", path);
  } else if (FAILED(result)) {
    LogFailure(static_cast<DWORD>(result), "Folder kept: %s, the shell cannot open it", path);
  } else if (PathFileExistsW(path)) {
    LogFailure(removalError, "Folder kept: %s, its removal failed", path);
  } else {
    LogLine("Folder removed: %s", path);
  }
}

}  // namespace

HRESULT RemoveFolderIfEmpty(const wchar_t* path) {
  IShellFolder* instance = nullptr;
  IShellFolder* desktop = nullptr;
  IShellFolder* folder = nullptr;
  IMalloc* allocator = nullptr;
  IEnumIDList* enumerator = nullptr;
  LPITEMIDLIST folderItem = nullptr;
  LPITEMIDLIST firstItem = nullptr;
  wchar_t* shellPath = nullptr;
  BSTR displayName = nullptr;
  ULONG attributes = kParseAttributes;
  ULONG fetched = 0;
  HRESULT next = S_FALSE;
  HRESULT result = S_OK;
  bool empty = false;

  if (!PathFileExistsW(path)) {
    LogLine("Folder not removed: %s is not there", path);
    return E_FAIL;
  }
  // COM stays initialised on this thread: callers may go on using the shell.
  CoInitialize(/*pvReserved=*/nullptr);

  result = CoCreateInstance(CLSID_ShellDesktop, /*pUnkOuter=*/nullptr, CLSCTX_INPROC_SERVER,
                            IID_IShellFolder, reinterpret_cast<void**>(&instance));
  if (FAILED(result)) {
    goto Cleanup;
  }
  // The shell refuses repeated backslashes that the file system reads as one;
  // it gets the path as the file system resolves it.
  shellPath = CopyFullPath(path);
  displayName = SysAllocString(shellPath != nullptr ? shellPath : path);
  ReleaseAndClear(&instance);
  result = SHGetDesktopFolder(&desktop);
  if (FAILED(result)) {
    goto Cleanup;
  }
  result = desktop->ParseDisplayName(/*hwnd=*/nullptr, /*pbc=*/nullptr, displayName,
                                     /*pchEaten=*/nullptr, &folderItem, &attributes);
  SysFreeString(displayName);
  displayName = nullptr;
  if (FAILED(result)) {
    goto Cleanup;
  }
  result = desktop->BindToObject(folderItem, /*pbc=*/nullptr, IID_IShellFolder,
                                 reinterpret_cast<void**>(&folder));
  ReleaseAndClear(&desktop);
  if (FAILED(result)) {
    goto Cleanup;
  }
  SHGetMalloc(&allocator);

  result = folder->EnumObjects(/*hwnd=*/nullptr, kEnumerationFlags, &enumerator);
  if (FAILED(result)) {
    goto Cleanup;
  }
  // A shell that finds nothing to enumerate may answer without an enumerator:
  // that folder counts as empty, and the removal below still refuses one that
  // holds entries.
  if (enumerator != nullptr) {
    next = enumerator->Next(/*celt=*/1, &firstItem, &fetched);
  }
  empty = next == S_FALSE;
  result = empty ? S_OK : kFolderNotEmpty;

Cleanup:
  FreeItemAndClear(allocator, &firstItem);
  FreeItemAndClear(allocator, &folderItem);
  ReleaseAndClear(&enumerator);
  ReleaseAndClear(&folder);
  ReleaseAndClear(&allocator);
  ReleaseAndClear(&desktop);
  ReleaseAndClear(&instance);
  SysFreeString(displayName);
  FreeAndClear(&shellPath);
  if (empty) {
    // Refuses a folder with any entry left, hidden items and sub-folders
    // included; that refusal is not reported, and the shell hears only of a
    // folder that went.
    if (_wrmdir(path) == 0) {
      AnnounceFolderRemoved(path);
    }
  }
  LogFolderOutcome(path, result, next);
  return result;
}

int RemoveProgramsFolder(const wchar_t* folderName) {
  RemoveInsideProgramsFolder(L"\\", folderName);
  return 0;
}

int RemoveProgramsSubfolder(const wchar_t* relativePath) {
  RemoveInsideProgramsFolder(/*separator=*/nullptr, relativePath);
  return 0;
}
