#include "known_folders.h"

#include <shlobj.h>
#include <shobjidl.h>

#include <cwchar>

#include "release.h"
#include "strings.h"

namespace {

constexpr DWORD kFinalPathFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
// The final path's prefixes, and what stands for them in a plain path.
constexpr wchar_t kLongUncPrefix[] = L"\\\\?\\UNC\\";
constexpr wchar_t kUncPrefix[] = L"\\\\";
constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr size_t kLongUncPrefixLength = sizeof(kLongUncPrefix) / sizeof(wchar_t) - 1;
constexpr size_t kLongPrefixLength = sizeof(kLongPrefix) / sizeof(wchar_t) - 1;
// A known folder is looked at, never changed; others keep every use of it.
constexpr DWORD kAnySharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Only the identity is read; a folder is opened with backup semantics.
constexpr DWORD kIdentityAccess = FILE_READ_ATTRIBUTES;

// Returns a new wide string holding the name in the definition of the known
// folder `folder` (empty when it has none). The caller releases it with
// FreeAndClear.
wchar_t* CopyDefinitionName(IKnownFolder* folder) {
  KNOWNFOLDER_DEFINITION definition;
  wchar_t* name = nullptr;
  if (SUCCEEDED(folder->GetFolderDefinition(&definition))) {
    name = JoinStrings(1, definition.pszName);
    FreeKnownFolderDefinitionFields(&definition);
  } else {
    name = JoinStrings(0);
  }
  return name;
}

// Returns a new wide string holding the final path of the object open at
// `object` as a plain path (C:\... or \\server\share\...): long names, the
// case on disk, no link on the way. Null when the system gives none. The
// caller releases it with FreeAndClear.
wchar_t* CopyPlainFinalPath(HANDLE object) {
  wchar_t* path = nullptr;
  wchar_t* plain = nullptr;
  DWORD length = 0;
  const DWORD size = GetFinalPathNameByHandleW(object, /*lpszFilePath=*/nullptr,
                                               /*cchFilePath=*/0, kFinalPathFlags);

  if (size > 0) {
    path = new wchar_t[size];
    length = GetFinalPathNameByHandleW(object, path, size, kFinalPathFlags);
  }
  if (length == 0 || length >= size) {
    plain = nullptr;
  } else if (wcsncmp(path, kLongUncPrefix, kLongUncPrefixLength) == 0) {
    plain = JoinStrings(2, kUncPrefix, path + kLongUncPrefixLength);
  } else if (wcsncmp(path, kLongPrefix, kLongPrefixLength) == 0) {
    plain = JoinStrings(1, path + kLongPrefixLength);
  } else {
    plain = JoinStrings(1, path);
  }
  FreeAndClear(&path);
  return plain;
}

bool IsSameObject(const BY_HANDLE_FILE_INFORMATION* a, const BY_HANDLE_FILE_INFORMATION* b) {
  return a->dwVolumeSerialNumber == b->dwVolumeSerialNumber &&
         a->nFileIndexHigh == b->nFileIndexHigh && a->nFileIndexLow == b->nFileIndexLow;
}

// Asks the system about the final path of each of levels[1] to
// levels[count - 1], innermost first, until it names a known folder, and sets
// *name and *level as CopyInnermostKnownFolder does; stops at once where the
// system does not answer that question (E_NOTIMPL).
void FindKnownFolderFromPaths(IKnownFolderManager* manager, const HANDLE* levels,
                                 size_t count, wchar_t** name, size_t* level) {
  IKnownFolder* folder = nullptr;
  wchar_t* path = nullptr;
  HRESULT result = S_OK;

  for (size_t at = count - 1; at > 0 && *name == nullptr && result != E_NOTIMPL; --at) {
    path = CopyPlainFinalPath(levels[at]);
    result = path != nullptr ? manager->FindFolderFromPath(path, FFFP_EXACTMATCH, &folder)
                             : S_FALSE;
    if (SUCCEEDED(result) && folder != nullptr) {
      *name = CopyDefinitionName(folder);
      *level = at;
    }
    ReleaseAndClear(&folder);
    FreeAndClear(&path);
  }
}

// The known folders that the system's own definitions place in a Programs
// folder: those that are compared by identity, whatever the system answers.
const KNOWNFOLDERID* const kProgramsKnownFolders[] = {
    &FOLDERID_Startup, &FOLDERID_CommonStartup, &FOLDERID_AdminTools, &FOLDERID_CommonAdminTools};

// Returns the level, among levels[first] to levels[count - 1], that is the
// folder `id` (opened by the path the system gives it, which is the
// system's), or 0 when none is or the folder cannot be opened.
size_t FindLevelOfKnownFolder(const KNOWNFOLDERID* id, const HANDLE* levels, size_t first,
                              size_t count) {
  PWSTR knownPath = nullptr;
  HANDLE known = INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION knownIdentity;
  BY_HANDLE_FILE_INFORMATION levelIdentity;
  size_t found = 0;

  // Only the path is wanted: the folder need not exist, nor be made.
  if (FAILED(SHGetKnownFolderPath(*id, KF_FLAG_DONT_VERIFY, /*hToken=*/nullptr, &knownPath))) {
    goto Cleanup;
  }
  known = CreateFileW(knownPath, kIdentityAccess, kAnySharing, /*lpSecurityAttributes=*/nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, /*hTemplateFile=*/nullptr);
  if (known == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(known, &knownIdentity)) {
    goto Cleanup;
  }
  for (size_t at = count - 1; at >= first && found == 0; --at) {
    if (GetFileInformationByHandle(levels[at], &levelIdentity) &&
        IsSameObject(&levelIdentity, &knownIdentity)) {
      found = at;
    }
  }

Cleanup:
  CloseHandleAndClear(&known);
  CoTaskMemFree(knownPath);
  return found;
}

// Compares levels deeper than *level (levels[*level + 1] to
// levels[count - 1]) by identity with the known folders that lie in a
// Programs folder by the system's definitions; the innermost that is one of
// them replaces *name and *level.
void CompareProgramsKnownFolders(IKnownFolderManager* manager, const HANDLE* levels, size_t count,
                                 wchar_t** name, size_t* level) {
  IKnownFolder* folder = nullptr;
  const KNOWNFOLDERID* innermost = nullptr;

  for (const KNOWNFOLDERID* id : kProgramsKnownFolders) {
    const size_t found = FindLevelOfKnownFolder(id, levels, *level + 1, count);
    if (found > *level) {
      *level = found;
      innermost = id;
    }
  }
  if (innermost == nullptr) {
    return;
  }
  FreeAndClear(name);
  if (SUCCEEDED(manager->GetFolder(*innermost, &folder))) {
    *name = CopyDefinitionName(folder);
  } else {
    *name = JoinStrings(0);
  }
  ReleaseAndClear(&folder);
}

}  // namespace

wchar_t* CopyInnermostKnownFolder(const HANDLE* levels, size_t count, size_t* level) {
  IKnownFolderManager* manager = nullptr;
  wchar_t* name = nullptr;

  *level = 0;
  if (count > 1 && SUCCEEDED(CoCreateInstance(CLSID_KnownFolderManager, /*pUnkOuter=*/nullptr,
                                              CLSCTX_INPROC_SERVER, IID_IKnownFolderManager,
                                              reinterpret_cast<void**>(&manager)))) {
    FindKnownFolderFromPaths(manager, levels, count, &name, level);
    CompareProgramsKnownFolders(manager, levels, count, &name, level);
  }
  ReleaseAndClear(&manager);
  return name;
}
