#include "known_folders.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <shobjidl.h>

#include <cwchar>

#include "paths.h"
#include "release.h"
#include "strings.h"

namespace {

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

// CopyInnermostKnownFolder by asking the system about each folder from `path`
// up to `top`. Returns E_NOTIMPL when the system does not answer, S_OK
// otherwise, with *name and *length set as CopyInnermostKnownFolder sets them.
HRESULT FindKnownFolderFromPaths(IKnownFolderManager* manager, const wchar_t* top,
                                 const wchar_t* path, wchar_t** name, size_t* length) {
  const size_t topLength = wcslen(top);
  wchar_t* level = JoinStrings(1, path);
  IKnownFolder* folder = nullptr;
  HRESULT result = S_OK;

  for (size_t levelLength = wcslen(level); levelLength > topLength && *name == nullptr;) {
    result = manager->FindFolderFromPath(level, FFFP_EXACTMATCH, &folder);
    if (result == E_NOTIMPL) {
      break;
    }
    if (SUCCEEDED(result) && folder != nullptr) {
      *name = CopyDefinitionName(folder);
      *length = levelLength;
    }
    ReleaseAndClear(&folder);
    result = S_OK;
    levelLength = static_cast<size_t>(wcsrchr(level, L'\\') - level);
    level[levelLength] = L'\0';
  }
  FreeAndClear(&level);
  return result;
}

// The known folders that the system's own definitions place in a Programs
// folder: those that the fallback below compares.
const KNOWNFOLDERID* const kProgramsKnownFolders[] = {
    &FOLDERID_Startup, &FOLDERID_CommonStartup, &FOLDERID_AdminTools, &FOLDERID_CommonAdminTools};

// CopyInnermostKnownFolder by comparing `path` with the paths of the known
// folders that lie in a Programs folder by the system's definitions.
void CompareProgramsKnownFolders(IKnownFolderManager* manager, const wchar_t* top,
                                 const wchar_t* path, wchar_t** name, size_t* length) {
  IKnownFolder* folder = nullptr;
  const KNOWNFOLDERID* innermost = nullptr;
  const size_t topLength = wcslen(top);
  const size_t pathLength = wcslen(path);

  for (const KNOWNFOLDERID* id : kProgramsKnownFolders) {
    PWSTR knownPath = nullptr;
    wchar_t* known = nullptr;
    // Only the path is wanted: the folder need not exist, nor be made.
    if (SUCCEEDED(SHGetKnownFolderPath(*id, KF_FLAG_DONT_VERIFY, /*hToken=*/nullptr,
                                       &knownPath))) {
      known = CopyFullPath(knownPath);
    }
    CoTaskMemFree(knownPath);
    if (known == nullptr) {
      continue;
    }
    PathRemoveBackslashW(known);
    const size_t knownLength = wcslen(known);
    if (knownLength > topLength && knownLength > *length && knownLength <= pathLength &&
        (path[knownLength] == L'\0' || path[knownLength] == L'\\') &&
        CompareStringOrdinal(path, static_cast<int>(knownLength), known,
                             static_cast<int>(knownLength), /*bIgnoreCase=*/TRUE) == CSTR_EQUAL) {
      *length = knownLength;
      innermost = id;
    }
    FreeAndClear(&known);
  }
  if (innermost != nullptr && SUCCEEDED(manager->GetFolder(*innermost, &folder))) {
    *name = CopyDefinitionName(folder);
  } else if (innermost != nullptr) {
    *name = JoinStrings(0);
  }
  ReleaseAndClear(&folder);
}

}  // namespace

wchar_t* CopyInnermostKnownFolder(const wchar_t* top, const wchar_t* path, size_t* length) {
  IKnownFolderManager* manager = nullptr;
  wchar_t* name = nullptr;

  *length = 0;
  if (SUCCEEDED(CoCreateInstance(CLSID_KnownFolderManager, /*pUnkOuter=*/nullptr,
                                 CLSCTX_INPROC_SERVER, IID_IKnownFolderManager,
                                 reinterpret_cast<void**>(&manager))) &&
      FindKnownFolderFromPaths(manager, top, path, &name, length) == E_NOTIMPL) {
    CompareProgramsKnownFolders(manager, top, path, &name, length);
  }
  ReleaseAndClear(&manager);
  return name;
}
