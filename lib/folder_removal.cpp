#include "folder_removal.h"

#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>

#include "entry_changes.h"
#include "folder_contents.h"
#include "folder_walk.h"
#include "known_folders.h"
#include "log.h"
#include "names.h"
#include "paths.h"
#include "release.h"
#include "shell_notify.h"
#include "shortcuts.h"
#include "strings.h"

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
// or kept and why (`removal`, what the removal gave, and `removalError`, when
// it failed).
void LogFolderOutcome(const wchar_t* path, HRESULT result, HRESULT next, WalkProblem removal,
                      DWORD removalError) {
  if (result == kFolderNotEmpty && next == S_OK) {
    LogLine("Folder kept: %s still holds something", path);
  } else if (result == kFolderNotEmpty) {
    LogFailure(static_cast<DWORD>(next), "Folder kept: %s, the shell cannot list it", path);
  } else if (FAILED(result)) {
    LogFailure(static_cast<DWORD>(result), "Folder kept: %s, the shell cannot open it", path);
  } else if (removal == kWalkDeletePending) {
    LogLine("Folder kept: %s, another program holds it; it goes when that program lets go of it",
            path);
  } else if (removal != kWalkSound && removalError == ERROR_SHARING_VIOLATION) {
    LogFailure(removalError, "Folder kept: %s, another program holds it", path);
  } else if (removal != kWalkSound) {
    LogFailure(removalError, "Folder kept: %s, its removal failed", path);
  } else {
    LogLine("Folder removed: %s", path);
  }
}

// Removes the folder held at level `level` of `walk` when it is empty, unless
// `knownName` names the system's known folder that it is. Temporary files
// that killed runs left in it go first (SettleFolder); a folder that lists no
// entry at all then goes without asking the shell; one that holds only names
// whose deletion waits for another program stays, once the short waits are
// spent; one that lists entries goes when the shell finds no item in it, and
// the removal (RemoveWalkLevel) still refuses one that holds entries of any
// kind. Sets *stays to whether the folder is still there. Returns as
// RemoveFolderIfEmpty does.
HRESULT RemoveHeldFolder(FolderWalk* walk, size_t level, const wchar_t* knownName, bool* stays) {
  wchar_t* path = CopyWalkLevel(walk, level);
  HRESULT next = S_FALSE;
  HRESULT result = S_OK;
  WalkProblem problem = kWalkCannotOpen;
  DWORD error = ERROR_SUCCESS;
  const FolderContents contents = SettleFolder(walk->levels[level], path);

  if (contents == kFolderHoldsEntries) {
    // COM stays initialised on this thread: callers may go on using the shell.
    CoInitialize(/*pvReserved=*/nullptr);
    result = AskShellIfEmpty(path, &next);
  }
  if (contents == kFolderHoldsOnlyPending) {
    LogLine("Folder kept: %s holds only names that go when another program lets go of them",
            path);
    result = kFolderNotEmpty;
  } else if (result == S_OK && knownName != nullptr) {
    LogLine("Folder kept: %s is the system's known folder \"%s\"", path, knownName);
    result = kFolderIsKnown;
  } else if (result == S_OK) {
    // Removed through a handle of the folder judged again right before: a
    // folder with any entry left, hidden items and sub-folders included, is
    // refused.
    problem = RemoveWalkLevel(walk, level);
    error = GetLastError();
    if (problem != kWalkSound && problem != kWalkCannotOpen && problem != kWalkDeletePending) {
      LogLine("Folder kept: %s %S", path, DescribeWalkProblem(problem));
      result = HRESULT_FROM_WIN32(kFolderIsLinkError);
    } else {
      if (problem == kWalkSound) {
        AnnounceFolderRemoved(path);
      }
      LogFolderOutcome(path, result, next, problem, error);
    }
  } else {
    LogFolderOutcome(path, result, next, kWalkCannotOpen, error);
  }
  *stays = problem != kWalkSound;
  FreeAndClear(&path);
  return result;
}

// Removes the folder at `path` (a full path below the folder `top`, no
// trailing backslash) when it is empty and, when `allLevels` is set, each
// folder above it below `top`, innermost first, stopping at the first that
// stays (one that is not there does not stay). The levels are walked by
// handles from `top` first: nothing is removed when one is a link, is reached
// through one or cannot be judged, nor a level that is one of the system's
// known folders. Returns what the removal of the last folder addressed
// returned: E_FAIL for one that is not there,
// HRESULT_FROM_WIN32(kFolderIsLinkError) for a level refused.
HRESULT RemoveLevels(const wchar_t* top, const wchar_t* path, bool allLevels) {
  wchar_t* knownName = nullptr;
  wchar_t* level = nullptr;
  const size_t topLength = wcslen(top);
  size_t knownLevel = 0;
  bool lookedUp = false;
  bool stays = false;
  FolderWalk walk;
  HRESULT result = E_FAIL;

  memset(&walk, 0, sizeof(walk));
  if (!WalkFolders(path, topLength, /*create=*/FALSE, /*access=*/0, &walk) &&
      walk.problem != kWalkMissing) {
    level = CopyWalkLevel(&walk, walk.count);
    if (walk.problem == kWalkCannotOpen) {
      LogFailure(walk.error, "Folder kept: %s cannot be opened to be judged", level);
    } else {
      LogLine("Folder kept: %s %S", level, DescribeWalkProblem(walk.problem));
    }
    result = HRESULT_FROM_WIN32(kFolderIsLinkError);
    goto Cleanup;
  }
  for (size_t at = walk.depth - 1; at > 0 && !stays; --at) {
    level = CopyWalkLevel(&walk, at);
    if (at >= walk.count) {
      LogLine("Folder not removed: %s is not there", level);
      result = E_FAIL;
    } else {
      // One look at the system's known folders serves this level and every
      // one above it: the folders held, whatever name reached them.
      if (!lookedUp) {
        CoInitialize(/*pvReserved=*/nullptr);
        knownName = CopyInnermostKnownFolder(walk.levels, at + 1, &knownLevel);
        lookedUp = true;
      }
      result = RemoveHeldFolder(&walk, at, at == knownLevel ? knownName : nullptr, &stays);
    }
    FreeAndClear(&level);
    stays = stays || !allLevels;
  }

Cleanup:
  EndFolderWalk(&walk);
  FreeAndClear(&level);
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

  refusedPart = CopyRefusedFolderPart(tail);
  if (refusedPart != nullptr) {
    LogLine("Folder refused: %s: its name part \"%s\" %S, or names a device", path,
            refusedPart, kPlainNamePartRule);
    goto Cleanup;
  }
  // The folders the file system means, the same ones the shortcut went into:
  // with every name plain, those that the path names.
  resolved = CopyFullPath(path);
  if (resolved != nullptr) {
    PathRemoveBackslashW(resolved);
  }
  if (resolved == nullptr || !LiesBelow(programs, resolved)) {
    LogLine("Folder refused: %s is not inside the Programs folder %s", path, programs);
    goto Cleanup;
  }
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
  // The folder alone is judged and removed, below its parent, which is
  // trusted as the caller names it.
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
