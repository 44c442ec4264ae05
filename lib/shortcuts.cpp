#include "shortcuts.h"

#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

#include "entry_changes.h"
#include "folder_contents.h"
#include "folder_walk.h"
#include "install_layout.h"
#include "log.h"
#include "release.h"
#include "shell_notify.h"
#include "shortcut_file.h"

namespace {

// The all-users Programs folder's path comes back in at most MAX_PATH
// characters; one more keeps the work buffer terminated whatever happens.
constexpr DWORD kProgramsWorkCapacity = MAX_PATH + 1;

constexpr wchar_t kFixedRevision[] = L"18.1";
constexpr int kIconIndex = 0;
constexpr wchar_t kLinkExtension[] = L".lnk";
constexpr wchar_t kQuote[] = L"\"";

// Returns a new wide string holding the link path for these arguments as the
// file system resolves it, or null when the shortcut would not lie directly
// in the folder asked for inside the Programs folder, or when its path would
// be too long for the shell to save or show. The caller releases it with
// FreeAndClear.
wchar_t* ResolveLinkPath(const wchar_t* programs, const wchar_t* folder, const wchar_t* baseName,
                         const wchar_t* suffix) {
  const bool hasSuffix = suffix != nullptr && suffix[0] != L'\0';
  wchar_t* linkPath = nullptr;
  wchar_t* resolved = nullptr;
  wchar_t* refusedPart = nullptr;

  // The names come from a file and the caller may be elevated: a name that
  // would climb, or that the file system would read differently, is refused,
  // and so is every level before any is made (a later one that could not be
  // made would leave the earlier ones behind).
  if (!IsPlainNamePart(baseName) || (hasSuffix && !IsPlainNamePart(suffix))) {
    LogLine("Shortcut refused: its name part \"%s\" %S",
            IsPlainNamePart(baseName) ? suffix : baseName, kPlainNamePartRule);
    goto Cleanup;
  }
  refusedPart = CopyRefusedFolderPart(folder);
  if (refusedPart != nullptr) {
    LogLine("Shortcut refused: its folder name part \"%s\" %S, or names a device", refusedPart,
            kPlainNamePartRule);
    goto Cleanup;
  }
  // With every name plain, the file system reads the path as it is built,
  // but for separators in a row, which count as one.
  linkPath = BuildLinkPath(programs, folder, baseName, suffix);
  resolved = CopyFullPath(linkPath);
  if (resolved == nullptr || !LiesBelow(programs, resolved)) {
    LogLine("Shortcut refused: %s leads out of the Programs folder %s", linkPath, programs);
    FreeAndClear(&resolved);
  } else if (wcslen(resolved) > kLongestLinkPath) {
    LogLine("Shortcut refused: %s is %u characters long, MAX_PATH (%u) or more", resolved,
            static_cast<DWORD>(wcslen(resolved)), static_cast<DWORD>(MAX_PATH));
    FreeAndClear(&resolved);
  }

Cleanup:
  FreeAndClear(&refusedPart);
  FreeAndClear(&linkPath);
  return resolved;
}

// Logs that level `level` of `walk`, on the way to the shortcut at
// `linkPath`, was not taken, and why.
void LogLevelNotTaken(const FolderWalk* walk, size_t level, const wchar_t* linkPath) {
  wchar_t* path = CopyWalkLevel(walk, level);
  if (walk->problem == kWalkCannotOpen || walk->problem == kWalkMissing) {
    LogFailure(walk->error, "Shortcut %s not written: its folder %s cannot be opened or made",
               linkPath, path);
  } else {
    LogLine("Shortcut refused: %s %S", path, DescribeWalkProblem(walk->problem));
  }
  FreeAndClear(&path);
}

int CreateWithRevisionFrom(DWORD (*reader)(wchar_t**), const wchar_t* targetDirectory,
                           const wchar_t* targetFile, const wchar_t* arguments,
                           const wchar_t* iconPath, const wchar_t* workingDirectory,
                           const wchar_t* folder, const wchar_t* baseName,
                           const wchar_t* description, int showCommand) {
  // A shortcut named without the revision is one that no cleanup finds.
  wchar_t* revision = CopyReadableReleaseValue(reader);
  if (revision == nullptr) {
    LogLine("Shortcut not written: the release information is there but cannot be read");
  } else {
    CreateProgramsShortcut(targetDirectory, targetFile, arguments, iconPath, workingDirectory,
                           folder, baseName, description, showCommand, revision);
  }
  FreeAndClear(&revision);
  return 0;
}

int RemoveWithRevisionFrom(DWORD (*reader)(wchar_t**), const wchar_t* folder,
                           const wchar_t* baseName) {
  wchar_t* revision = CopyReadableReleaseValue(reader);
  if (revision == nullptr) {
    LogLine("Shortcut not deleted: the release information is there but cannot be read");
  } else {
    RemoveProgramsShortcut(folder, baseName, revision);
  }
  FreeAndClear(&revision);
  return 0;
}

}  // namespace

DWORD GetProgramsFolder(wchar_t* buffer, DWORD capacity) {
  wchar_t* work = nullptr;
  DWORD needed = 0;
  DWORD result = 0;

  if (buffer != nullptr && capacity > 0) {
    buffer[0] = L'\0';
  }
  const int folder = IsAdministrator() ? CSIDL_COMMON_PROGRAMS : CSIDL_PROGRAMS;
  work = new wchar_t[kProgramsWorkCapacity];
  work[0] = L'\0';
  SHGetSpecialFolderPathW(/*hwnd=*/nullptr, work, folder, /*fCreate=*/FALSE);
  work[kProgramsWorkCapacity - 1] = L'\0';

  needed = static_cast<DWORD>(wcslen(work)) + 1;
  if (buffer == nullptr || capacity < needed) {
    result = needed;
  } else {
    memcpy(buffer, work, needed * sizeof(wchar_t));
    LogLine("Administrator: %s; Programs folder: %s",
            folder == CSIDL_COMMON_PROGRAMS ? L"yes" : L"no",
            work[0] != L'\0' ? work : L"none, the shell gives no path");
  }
  FreeAndClear(&work);
  return result;
}

wchar_t* CopyProgramsFolder() {
  const DWORD size = GetProgramsFolder(nullptr, 0);
  wchar_t* programs = new wchar_t[size > 0 ? size : 1];
  programs[0] = L'\0';
  GetProgramsFolder(programs, size);
  return programs;
}

wchar_t* BuildLinkPath(const wchar_t* programsFolder, const wchar_t* folder,
                       const wchar_t* baseName, const wchar_t* suffix) {
  const bool hasSuffix = suffix != nullptr && suffix[0] != L'\0';
  return JoinStrings(7, programsFolder, folder, L"\\", baseName, hasSuffix ? L" " : nullptr,
                     hasSuffix ? suffix : nullptr, kLinkExtension);
}

namespace {

// Returns a new wide string holding the folder of the full path `linkPath`
// as the file system resolves it, without a trailing backslash, and sets
// *name to the file's name within `linkPath` (empty when it ends in a
// backslash). The caller releases the result with FreeAndClear; null when the
// path cannot be resolved.
wchar_t* CopyLinkFolder(const wchar_t* linkPath, const wchar_t** name) {
  const wchar_t* separator = wcsrchr(linkPath, L'\\');
  wchar_t* folder = JoinStrings(1, linkPath);
  wchar_t* resolved = nullptr;
  *name = separator != nullptr ? separator + 1 : linkPath;
  folder[*name - linkPath] = L'\0';
  resolved = CopyFullPath(folder);
  if (resolved != nullptr) {
    PathRemoveBackslashW(resolved);  // a root keeps its own
  }
  FreeAndClear(&folder);
  return resolved;
}

// Removes the levels of `walk` that the walk made, innermost first, each only
// when it is still empty: what a shortcut that was not put in place leaves.
void RemoveLevelsMade(FolderWalk* walk) {
  for (size_t level = walk->count - 1; level >= walk->firstCreated && level > 0; --level) {
    RemoveWalkLevel(walk, level);
  }
}

// CreateProgramsShortcut for the resolved link path `linkPath` below the
// Programs folder `programs`: the levels below it are walked by handles and
// made where missing, and the shortcut is put into the last one. A refused
// or failed save leaves no folder that it made.
void SaveProgramsShortcut(const wchar_t* programs, const wchar_t* linkPath, const wchar_t* target,
                          const wchar_t* arguments, const wchar_t* workingDirectory,
                          const wchar_t* description, const wchar_t* iconPath, int showCommand) {
  IStream* stream = nullptr;
  wchar_t* folder = nullptr;
  wchar_t* firstNewFolder = nullptr;
  const wchar_t* name = nullptr;
  FolderWalk walk;
  BOOL existedBefore = FALSE;
  HRESULT result = E_FAIL;

  memset(&walk, 0, sizeof(walk));
  if (FAILED(MakeShortcut(linkPath, target, arguments, workingDirectory, description, iconPath,
                          kIconIndex, showCommand, &stream))) {
    goto Cleanup;
  }
  folder = CopyLinkFolder(linkPath, &name);
  if (folder == nullptr) {
    LogFailure(GetLastError(), "Shortcut %s not written: its folder cannot be resolved",
               linkPath);
    goto Cleanup;
  }
  if (!WalkFolders(folder, wcslen(programs), /*create=*/TRUE, /*access=*/0, &walk)) {
    LogLevelNotTaken(&walk, walk.count, linkPath);
  } else {
    // A folder that was there may hold a temporary file of a run killed
    // before it could take it away.
    if (walk.firstCreated >= walk.count) {
      SettleFolder(walk.levels[walk.count - 1], folder);
    }
    result = PutShortcut(walk.levels[walk.count - 1], linkPath, name, stream, &existedBefore);
  }
  if (FAILED(result)) {
    RemoveLevelsMade(&walk);
    goto Cleanup;
  }
  LogShortcutWritten(linkPath, target, arguments, workingDirectory, description, iconPath,
                     kIconIndex, showCommand);
  if (walk.firstCreated < walk.depth) {
    firstNewFolder = CopyWalkLevel(&walk, walk.firstCreated);
  }
  // The shell hears of the changes once the folders are let go: it looks at
  // them by their paths. Each folder made, outermost first, is a prefix of
  // the link's folder.
  EndFolderWalk(&walk);
  for (size_t end = firstNewFolder != nullptr ? wcslen(firstNewFolder) : 0; end > 0;) {
    const wchar_t kept = folder[end];
    folder[end] = L'\0';
    AnnounceFolderCreated(folder);
    folder[end] = kept;
    end = kept == L'\0' ? 0 : end + 1 + wcscspn(folder + end + 1, L"\\");
  }
  AnnounceShortcutSaved(linkPath, firstNewFolder, existedBefore, /*saved=*/TRUE);

Cleanup:
  EndFolderWalk(&walk);
  FreeAndClear(&firstNewFolder);
  FreeAndClear(&folder);
  ReleaseAndClear(&stream);
}

}  // namespace

HRESULT WriteShortcut(const wchar_t* linkPath, const wchar_t* target, const wchar_t* arguments,
                      const wchar_t* workingDirectory, const wchar_t* description,
                      const wchar_t* iconPath, int iconIndex, int showCommand) {
  IStream* stream = nullptr;
  wchar_t* directory = nullptr;
  wchar_t* folderPath = nullptr;
  wchar_t* firstNewFolder = nullptr;
  const wchar_t* name = nullptr;
  HANDLE folder = INVALID_HANDLE_VALUE;
  BOOL existedBefore = FALSE;
  HRESULT result = MakeShortcut(linkPath, target, arguments, workingDirectory, description,
                                iconPath, iconIndex, showCommand, &stream);
  if (FAILED(result)) {
    goto Cleanup;
  }
  // The folder that will hold the link, with its missing parents, by its
  // path: the caller names it. The file is put into it through its handle.
  directory = JoinStrings(1, linkPath);
  CutLastComponent(directory);
  PathRemoveBackslashW(directory);
  firstNewFolder = CreateFolderTreeAnnounced(directory);
  folderPath = CopyLinkFolder(linkPath, &name);
  folder = folderPath != nullptr ? OpenTrustedFolder(folderPath, /*access=*/0)
                                 : INVALID_HANDLE_VALUE;
  if (folder == INVALID_HANDLE_VALUE || name[0] == L'\0') {
    result = HRESULT_FROM_WIN32(folder == INVALID_HANDLE_VALUE ? GetLastError()
                                                               : ERROR_INVALID_NAME);
    LogFailure(static_cast<DWORD>(result), "Shortcut %s not written: saving failed", linkPath);
  } else {
    result = PutShortcut(folder, linkPath, name, stream, &existedBefore);
  }
  if (SUCCEEDED(result)) {
    LogShortcutWritten(linkPath, target, arguments, workingDirectory, description, iconPath,
                       iconIndex, showCommand);
  }
  AnnounceShortcutSaved(linkPath, firstNewFolder, existedBefore, SUCCEEDED(result));

Cleanup:
  CloseHandleAndClear(&folder);
  FreeAndClear(&firstNewFolder);
  FreeAndClear(&folderPath);
  FreeAndClear(&directory);
  ReleaseAndClear(&stream);
  return result;
}

HRESULT DeleteShortcutFile(const wchar_t* linkPath) {
  const wchar_t* name = nullptr;
  wchar_t* folderPath = CopyLinkFolder(linkPath, &name);
  HANDLE folder = folderPath != nullptr ? OpenTrustedFolder(folderPath, /*access=*/0)
                                        : INVALID_HANDLE_VALUE;
  const HRESULT result = DeleteShortcutIn(folder, linkPath, name, GetLastError());
  CloseHandleAndClear(&folder);
  FreeAndClear(&folderPath);
  return result;
}

int CreateProgramsShortcut(const wchar_t* targetDirectory, const wchar_t* targetFile,
                           const wchar_t* arguments, const wchar_t* iconPath,
                           const wchar_t* workingDirectory, const wchar_t* folder,
                           const wchar_t* baseName, const wchar_t* description, int showCommand,
                           const wchar_t* suffix) {
  wchar_t* programs = CopyProgramsFolder();
  // The folder name and the revision come from a file and the caller may be
  // elevated: write nothing, and create no folder, anywhere but directly in
  // the folder asked for inside the Programs folder.
  wchar_t* linkPath = ResolveLinkPath(programs, folder, baseName, suffix);
  wchar_t* target = JoinStrings(4, kQuote, targetDirectory, targetFile, kQuote);

  if (linkPath != nullptr) {
    SaveProgramsShortcut(programs, linkPath, target, arguments, workingDirectory, description,
                         iconPath, showCommand);
  }

  FreeAndClear(&target);
  FreeAndClear(&linkPath);
  FreeAndClear(&programs);
  return 0;
}

int RemoveProgramsShortcut(const wchar_t* folder, const wchar_t* baseName, const wchar_t* suffix) {
  wchar_t* programs = CopyProgramsFolder();
  wchar_t* linkPath = ResolveLinkPath(programs, folder, baseName, suffix);
  wchar_t* linkFolder = nullptr;
  const wchar_t* name = nullptr;
  FolderWalk walk;

  memset(&walk, 0, sizeof(walk));
  if (linkPath == nullptr) {
    goto Cleanup;
  }
  linkFolder = CopyLinkFolder(linkPath, &name);
  if (linkFolder == nullptr) {
    LogFailure(GetLastError(), "Shortcut %s not deleted: its folder cannot be resolved",
               linkPath);
    goto Cleanup;
  }
  // The file is deleted in the folder reached level by level from the
  // Programs folder, each level judged and held.
  if (!WalkFolders(linkFolder, wcslen(programs), /*create=*/FALSE, /*access=*/0, &walk) &&
      walk.problem != kWalkMissing) {
    if (walk.problem == kWalkCannotOpen) {
      wchar_t* level = CopyWalkLevel(&walk, walk.count);
      LogFailure(walk.error, "Shortcut %s not deleted: its folder %s cannot be opened",
                 linkPath, level);
      FreeAndClear(&level);
    } else {
      LogLevelNotTaken(&walk, walk.count, linkPath);
    }
    goto Cleanup;
  }
  DeleteShortcutIn(walk.count == walk.depth ? walk.levels[walk.count - 1] : INVALID_HANDLE_VALUE,
                   linkPath, name, ERROR_PATH_NOT_FOUND);

Cleanup:
  EndFolderWalk(&walk);
  FreeAndClear(&linkFolder);
  FreeAndClear(&linkPath);
  FreeAndClear(&programs);
  return 0;
}

int CreateProgramsShortcutWithRevision(const wchar_t* targetDirectory, const wchar_t* targetFile,
                                       const wchar_t* arguments, const wchar_t* iconPath,
                                       const wchar_t* workingDirectory, const wchar_t* folder,
                                       const wchar_t* baseName, const wchar_t* description,
                                       int showCommand) {
  return CreateWithRevisionFrom(GetRevisionSuffix, targetDirectory, targetFile, arguments,
                                iconPath, workingDirectory, folder, baseName, description,
                                showCommand);
}

int CreateProgramsShortcutWithLocalRevision(const wchar_t* targetDirectory,
                                            const wchar_t* targetFile, const wchar_t* arguments,
                                            const wchar_t* iconPath,
                                            const wchar_t* workingDirectory,
                                            const wchar_t* folder, const wchar_t* baseName,
                                            const wchar_t* description, int showCommand) {
  return CreateWithRevisionFrom(GetLocalRevisionSuffix, targetDirectory, targetFile, arguments,
                                iconPath, workingDirectory, folder, baseName, description,
                                showCommand);
}

int CreateProgramsShortcutWithFixedRevision(const wchar_t* targetDirectory,
                                            const wchar_t* targetFile, const wchar_t* arguments,
                                            const wchar_t* iconPath,
                                            const wchar_t* workingDirectory,
                                            const wchar_t* folder, const wchar_t* baseName,
                                            const wchar_t* description, int showCommand) {
  return CreateProgramsShortcut(targetDirectory, targetFile, arguments, iconPath,
                                workingDirectory, folder, baseName, description, showCommand,
                                kFixedRevision);
}

int RemoveProgramsShortcutWithRevision(const wchar_t* folder, const wchar_t* baseName) {
  return RemoveWithRevisionFrom(GetRevisionSuffix, folder, baseName);
}

int RemoveProgramsShortcutWithLocalRevision(const wchar_t* folder, const wchar_t* baseName) {
  return RemoveWithRevisionFrom(GetLocalRevisionSuffix, folder, baseName);
}

int RemoveProgramsShortcutWithFixedRevision(const wchar_t* folder, const wchar_t* baseName) {
  return RemoveProgramsShortcut(folder, baseName, kFixedRevision);
}

int RemoveProgramsShortcutWithoutRevision(const wchar_t* folder, const wchar_t* baseName) {
  return RemoveProgramsShortcut(folder, baseName, L"");
}
