#include "shell_notify.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

#include "paths.h"
#include "strings.h"

namespace {

constexpr wchar_t kSeparator = L'\\';
// The shell's item paths hold at most MAX_PATH characters, the terminator
// included: a saved or removed item with a longer path is not announced.
constexpr DWORD kPathCapacity = MAX_PATH;

// Only the last notification of an announcement flushes: it waits until the
// shell has delivered it and every one queued before it.
void Notify(LONG event, const wchar_t* path, bool last) {
  const UINT flags = SHCNF_PATHW | (last ? SHCNF_FLUSH : 0);
  SHChangeNotify(event, flags, path, /*dwItem2=*/nullptr);
}

// Copies `path` as the file system resolves it, without a trailing backslash
// (a drive root keeps its own), into `resolved` (kPathCapacity characters).
// Returns false when it cannot be resolved or does not fit.
bool Resolve(const wchar_t* path, wchar_t* resolved) {
  const DWORD length = GetFullPathNameW(path, kPathCapacity, resolved, /*lpFilePart=*/nullptr);
  if (length == 0 || length >= kPathCapacity) {
    return false;
  }
  PathRemoveBackslashW(resolved);
  return true;
}

// `event` for `path`, then SHCNE_UPDATEDIR for its folder.
void AnnounceRemoval(LONG event, const wchar_t* path) {
  wchar_t resolved[kPathCapacity];
  if (Resolve(path, resolved)) {
    Notify(event, resolved, /*last=*/false);
    PathRemoveFileSpecW(resolved);
    Notify(SHCNE_UPDATEDIR, resolved, /*last=*/true);
  }
}

}  // namespace

wchar_t* CreateFolderTreeAnnounced(const wchar_t* path) {
  // Every level is a prefix of the resolved path that ends before a
  // separator or at its end. A level that this call creates did not exist.
  wchar_t* folder = CopyFullPath(path);
  wchar_t* end = folder;
  size_t outermostLength = 0;

  if (folder == nullptr) {
    return nullptr;
  }
  PathRemoveBackslashW(folder);
  while (end != nullptr) {
    end = wcschr(end + 1, kSeparator);
    if (end != nullptr) {
      *end = L'\0';
    }
    if (CreateDirectoryW(folder, /*lpSecurityAttributes=*/nullptr)) {
      AnnounceFolderCreated(folder);
      outermostLength = outermostLength == 0 ? wcslen(folder) : outermostLength;
    }
    if (end != nullptr) {
      *end = kSeparator;
    }
  }
  if (outermostLength == 0) {
    FreeAndClear(&folder);
  } else {
    folder[outermostLength] = L'\0';
  }
  return folder;
}

void AnnounceFolderCreated(const wchar_t* path) {
  Notify(SHCNE_MKDIR, path, /*last=*/false);
}

void AnnounceShortcutSaved(const wchar_t* linkPath, const wchar_t* firstNewFolder,
                           BOOL existedBefore, BOOL saved) {
  wchar_t link[kPathCapacity];
  wchar_t folder[kPathCapacity];
  if ((!saved && firstNewFolder == nullptr) || !Resolve(linkPath, link)) {
    return;
  }
  if (saved) {
    Notify(existedBefore ? SHCNE_UPDATEITEM : SHCNE_CREATE, link, /*last=*/false);
  }
  // The folder that holds the outermost change.
  if (!Resolve(firstNewFolder != nullptr ? firstNewFolder : link, folder)) {
    return;
  }
  PathRemoveFileSpecW(folder);
  Notify(SHCNE_UPDATEDIR, folder, /*last=*/true);
}

void AnnounceFileDeleted(const wchar_t* path) {
  AnnounceRemoval(SHCNE_DELETE, path);
}

void AnnounceFolderRemoved(const wchar_t* path) {
  AnnounceRemoval(SHCNE_RMDIR, path);
}
