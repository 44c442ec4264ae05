#include "folder_removal.h"

#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>
#include <shlwapi.h>

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
// What a folder that is a link, or that the system owns, gives.
constexpr DWORD kFolderIsLinkError = ERROR_CANT_ACCESS_FILE;
constexpr HRESULT kFolderIsKnown = E_ACCESSDENIED;
constexpr char kFolderKept[] = "Folder kept";

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

// Asks the shell whether the folder at `path` holds an item that is not
// itself a folder. Returns S_OK when it finds none; kFolderNotEmpty when it
// finds one or the enumeration fails to answer, with that answer in *next;
// otherwise the failure code of the shell step that failed.
HRESULT AskShellIfEmpty(const wchar_t* path, HRESULT* next) {
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
  HRESULT result = S_OK;

  *next = S_FALSE;
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
  // that folder counts as empty, and the removal still refuses one that holds
  // entries.
  if (enumerator != nullptr) {
    *next = enumerator->Next(/*celt=*/1, &firstItem, &fetched);
  }
  result = *next == S_FALSE ? S_OK : kFolderNotEmpty;

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
  return result;
}

// Tells what became of the folder at `path` once the emptiness test gave
// `result`, the enumeration `next`, and a removal was tried or not: removed,
// or kept and why (`removalError`, when the removal failed).
void LogFolderOutcome(const wchar_t* path, HRESULT result, HRESULT next, bool removed,
                      DWORD removalError) {
  if (result == kFolderNotEmpty && next == S_OK) {
    LogLine("Folder kept: %s still holds something", path);
  } else if (result == kFolderNotEmpty) {
    LogFailure(static_cast<DWORD>(next), "Folder kept: %s, the shell cannot list it", path);
  } else if (FAILED(result)) {
    LogFailure(static_cast<DWORD>(result), "Folder kept: %s, the shell cannot open it", path);
  } else if (!removed) {
    LogFailure(removalError, "Folder kept: %s, its removal failed", path);
  } else {
    LogLine("Folder removed: %s", path);
  }
}

// Removes the folder at the full path `path`, no trailing backslash, when the
// shell finds it empty, unless `knownName` names the system's known folder
// that it is. Sets *stays to whether the folder is still there afterwards.
// Returns as RemoveFolderIfEmpty does.
HRESULT RemoveFolder(const wchar_t* path, const wchar_t* knownName, bool* stays) {
  ObjectProblem problem = kObjectCannotOpen;
  HANDLE object = INVALID_HANDLE_VALUE;
  HRESULT next = S_FALSE;
  HRESULT result = S_OK;
  DWORD error = ERROR_SUCCESS;
  bool removed = false;

  *stays = PathFileExistsW(path) != FALSE;
  if (!*stays) {
    LogLine("Folder not removed: %s is not there", path);
    return E_FAIL;
  }
  if (knownName != nullptr) {
    LogLine("Folder kept: %s is the system's known folder \"%s\"", path, knownName);
    return kFolderIsKnown;
  }
  // COM stays initialised on this thread: callers may go on using the shell.
  CoInitialize(/*pvReserved=*/nullptr);
  result = AskShellIfEmpty(path, &next);
  if (result == S_OK) {
    // Removed through a handle of the folder judged right before: a folder
    // with any entry left, hidden items and sub-folders included, is refused.
    object = OpenObjectItself(path, DELETE | FILE_READ_ATTRIBUTES, OPEN_EXISTING, /*flags=*/0,
                              &problem);
    error = GetLastError();
    if (problem == kObjectIsReparsePoint || problem == kObjectLiesElsewhere) {
      LogLine("%S: %s %S", kFolderKept, path, DescribeObjectProblem(problem));
      return HRESULT_FROM_WIN32(kFolderIsLinkError);
    }
    removed = problem == kObjectIsItself && DeleteOpenObject(object);
    if (!removed && problem == kObjectIsItself) {
      error = GetLastError();
    }
    // The folder goes as its last handle closes; only then is the shell told.
    CloseHandleAndClear(&object);
    if (removed) {
      AnnounceFolderRemoved(path);
    }
  }
  LogFolderOutcome(path, result, next, removed, error);
  *stays = !removed;
  return result;
}

// Removes the folder at `path` (a full path below the folder `top`, no
// trailing backslash; changed in place) when it is empty and, when
// `allLevels` is set, each folder above it below `top`, innermost first,
// stopping at the first that stays. Nothing is removed when a level is a link
// or cannot be judged, nor a level that is one of the system's known folders.
// Returns what the removal of the last folder addressed returned, or
// HRESULT_FROM_WIN32(kFolderIsLinkError) for a level refused as a link.
HRESULT RemoveLevels(const wchar_t* top, wchar_t* path, bool allLevels) {
  wchar_t* knownName = nullptr;
  const size_t topLength = wcslen(top);
  size_t knownLength = 0;
  size_t length = wcslen(path);
  bool lookedUp = false;
  bool stays = false;
  HRESULT result = HRESULT_FROM_WIN32(kFolderIsLinkError);

  if (!NoLinkBelow(top, path, kFolderKept)) {
    return result;
  }
  for (; !stays && length > topLength; length = static_cast<size_t>(wcsrchr(path, L'\\') - path)) {
    path[length] = L'\0';
    // One look at the system's known folders serves this level and every one
    // above it; none is needed for a folder that is not there.
    if (!lookedUp && PathFileExistsW(path)) {
      CoInitialize(/*pvReserved=*/nullptr);
      knownName = CopyInnermostKnownFolder(top, path, &knownLength);
      lookedUp = true;
    }
    result = RemoveFolder(path, length == knownLength ? knownName : nullptr, &stays);
    stays = stays || !allLevels;
  }
  FreeAndClear(&knownName);
  return result;
}

// Removes <Programs folder><separator><tail> and, when `allLevels` is set,
// the levels above it that `tail` names, as RemoveLevels does. The name comes
// from a file and the caller may be elevated: nothing is removed outside the
// Programs folder, nor the Programs folder itself, nor anything for a name
// with a part that could not be a folder's name.
void RemoveInsideProgramsFolder(const wchar_t* separator, const wchar_t* tail, bool allLevels) {
  wchar_t* programs = CopyProgramsFolder();
  wchar_t* path = JoinStrings(3, programs, separator, tail);
  wchar_t* resolved = nullptr;
  wchar_t* refusedPart = nullptr;

  if (!PathStaysInside(programs, path)) {
    LogLine("Folder refused: %s is not inside the Programs folder %s", path, programs);
    goto Cleanup;
  }
  refusedPart = CopyRefusedFolderPart(tail);
  if (refusedPart != nullptr) {
    LogLine("Folder refused: %s: its name part \"%s\" %S, or names a device", path,
            refusedPart, kPlainNamePartRule);
    goto Cleanup;
  }
  // The folders the file system means, the same ones the shortcut went into.
  resolved = CopyFullPath(path);
  if (resolved == nullptr) {
    LogFailure(GetLastError(), "Folder refused: %s cannot be resolved", path);
    goto Cleanup;
  }
  PathRemoveBackslashW(resolved);
  RemoveLevels(programs, resolved, allLevels);

Cleanup:
  FreeAndClear(&refusedPart);
  FreeAndClear(&resolved);
  FreeAndClear(&path);
  FreeAndClear(&programs);
}

}  // namespace

HRESULT RemoveFolderIfEmpty(const wchar_t* path) {
  wchar_t* folder = CopyFullPath(path);
  wchar_t* parent = nullptr;
  HRESULT result = E_FAIL;
  if (folder == nullptr) {
    LogLine("Folder not removed: %s is not there", path);
    return result;
  }
  // The folder alone is judged and removed: its parent is the top.
  PathRemoveBackslashW(folder);
  parent = JoinStrings(1, folder);
  CutLastComponent(parent);
  PathRemoveBackslashW(parent);
  result = RemoveLevels(parent, folder, /*allLevels=*/false);
  FreeAndClear(&parent);
  FreeAndClear(&folder);
  return result;
}

int RemoveProgramsFolder(const wchar_t* folderName) {
  RemoveInsideProgramsFolder(L"\\", folderName, /*allLevels=*/false);
  return 0;
}

int RemoveProgramsSubfolder(const wchar_t* relativePath) {
  RemoveInsideProgramsFolder(/*separator=*/nullptr, relativePath, /*allLevels=*/false);
  return 0;
}

int RemoveProgramsFolderLevels(const wchar_t* relativePath) {
  RemoveInsideProgramsFolder(/*separator=*/nullptr, relativePath, /*allLevels=*/true);
  return 0;
}
