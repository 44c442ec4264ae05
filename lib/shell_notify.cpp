#include "shell_notify.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

#include "install_layout.h"

namespace {

constexpr wchar_t kSeparator = L'\\';

// Only the last notification of an announcement flushes: it waits until the
// shell has delivered it and every one queued before it.
void Notify(LONG event, const wchar_t* path, bool last) {
  const UINT flags = SHCNF_PATHW | (last ? SHCNF_FLUSH : 0);
  SHChangeNotify(event, flags, path, /*dwItem2=*/nullptr);
}

// Returns a new wide string holding `path` as the file system resolves it,
// without a trailing backslash (a drive root keeps its own), or null when it
// cannot be resolved. The caller releases it with FreeAndClear.
wchar_t* CopyAnnouncedPath(const wchar_t* path) {
  wchar_t* resolved = CopyFullPath(path);
  if (resolved != nullptr) {
    PathRemoveBackslashW(resolved);
  }
  return resolved;
}

// Returns a new wide string holding the folder that holds the resolved path
// `path`, without a trailing backslash, or null when it has none. The caller
// releases it with FreeAndClear.
wchar_t* CopyParentFolder(const wchar_t* path) {
  wchar_t* parent = JoinStrings(1, path);
  if (!CutLastComponent(parent)) {
    FreeAndClear(&parent);
    return nullptr;
  }
  PathRemoveBackslashW(parent);
  return parent;
}

// SHCNE_UPDATEDIR for the folder that holds `path`, flushed: the last
// notification of every announcement.
void NotifyParentUpdated(const wchar_t* path) {
  wchar_t* parent = CopyParentFolder(path);
  if (parent != nullptr) {
    Notify(SHCNE_UPDATEDIR, parent, /*last=*/true);
  }
  FreeAndClear(&parent);
}

// SHCNE_MKDIR for each level of `folder` from the one `outermostLength`
// characters long down to `folder` itself that exists, outermost first. The
// levels that exist form an unbroken run from the outermost one: a level whose
// creation failed leaves every level below it missing.
void NotifyFoldersMade(wchar_t* folder, size_t outermostLength) {
  size_t end = outermostLength;
  for (;;) {
    const wchar_t kept = folder[end];
    folder[end] = L'\0';
    const BOOL exists = PathExists(folder);
    if (exists) {
      Notify(SHCNE_MKDIR, folder, /*last=*/false);
    }
    folder[end] = kept;
    if (!exists || kept == L'\0') {
      return;
    }
    const wchar_t* next = wcschr(folder + end + 1, kSeparator);
    end = next != nullptr ? static_cast<size_t>(next - folder) : wcslen(folder);
  }
}

}  // namespace

wchar_t* CopyOutermostMissingFolder(const wchar_t* path) {
  wchar_t* level = CopyAnnouncedPath(path);
  wchar_t* outermost = nullptr;
  if (level == nullptr) {
    return nullptr;
  }
  // Climb while the level is missing; each cut only shortens the text, and a
  // cut that changes nothing ends the climb at the root.
  while (!PathExists(level)) {
    FreeAndClear(&outermost);
    outermost = JoinStrings(1, level);
    const size_t length = wcslen(level);
    if (!CutLastComponent(level)) {
      break;
    }
    PathRemoveBackslashW(level);
    if (wcslen(level) >= length) {
      break;
    }
  }
  FreeAndClear(&level);
  return outermost;
}

void AnnounceShortcutSaved(const wchar_t* linkPath, const wchar_t* firstNewFolder,
                           BOOL existedBefore, BOOL saved) {
  wchar_t* link = CopyAnnouncedPath(linkPath);
  wchar_t* folder = link != nullptr ? CopyParentFolder(link) : nullptr;
  size_t outermostLength = 0;
  bool madeFolder = false;

  if (folder == nullptr) {
    goto Cleanup;
  }
  // The outermost new level is the folder itself or one of its parents: a
  // prefix that ends where a component ends.
  if (firstNewFolder != nullptr) {
    outermostLength = wcslen(firstNewFolder);
    madeFolder = wcsncmp(folder, firstNewFolder, outermostLength) == 0 &&
                 (folder[outermostLength] == L'\0' || folder[outermostLength] == kSeparator) &&
                 PathExists(firstNewFolder);
  }
  if (!saved && !madeFolder) {
    goto Cleanup;
  }

  if (madeFolder) {
    NotifyFoldersMade(folder, outermostLength);
  }
  if (saved) {
    Notify(existedBefore ? SHCNE_UPDATEITEM : SHCNE_CREATE, link, /*last=*/false);
  }
  NotifyParentUpdated(madeFolder ? firstNewFolder : link);

Cleanup:
  FreeAndClear(&folder);
  FreeAndClear(&link);
}

void AnnounceFileDeleted(const wchar_t* path) {
  wchar_t* file = CopyAnnouncedPath(path);
  if (file != nullptr) {
    Notify(SHCNE_DELETE, file, /*last=*/false);
    NotifyParentUpdated(file);
  }
  FreeAndClear(&file);
}

void AnnounceFolderRemoved(const wchar_t* path) {
  wchar_t* folder = CopyAnnouncedPath(path);
  if (folder != nullptr) {
    Notify(SHCNE_RMDIR, folder, /*last=*/false);
    NotifyParentUpdated(folder);
  }
  FreeAndClear(&folder);
}
