#include "paths.h"

#include <aclapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <shobjidl.h>
#include <sys/stat.h>

#include <cstring>
#include <cwchar>

#include "log.h"
#include "release.h"
#include "strings.h"

namespace {

constexpr wchar_t kExtendedPathPrefix[] = L"\\\\?\\";

// Everyone: generic read, write and execute, delete, read control, write DAC
// and the thirteen object-specific rights; neither WRITE_OWNER nor SYNCHRONIZE.
constexpr DWORD kOpenDirectoryRights = 0xE0071FFF;

// Other programs that hold an object open do not keep it from being looked at.
constexpr DWORD kAnySharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The link itself, not what it leads to; folders open only with backup
// semantics.
constexpr DWORD kObjectItselfFlags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
constexpr DWORD kFinalPathFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;

// Characters that a name cannot hold as they are: separators, a colon (which
// would name a stream of another file), wildcards and the rest that the file
// system reserves.
constexpr wchar_t kReservedNameCharacters[] = L"\\/:*?\"<>|";
constexpr wchar_t kFirstPrintableCharacter = L' ';
// Device names, matched on what comes before the first dot, blanks dropped.
constexpr const wchar_t* kDeviceNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
constexpr const wchar_t* kNumberedDevicePrefixes[] = {L"COM", L"LPT"};
constexpr size_t kNumberedDevicePrefixLength = 3;
constexpr wchar_t kDeviceDigits[] = L"123456789\u00B9\u00B2\u00B3";

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Walks the components below the folder as the file system would: "." stays,
// ".." climbs, repeated separators count once. Returns FALSE when a climb would
// leave the folder, when a name made only of dots and blanks (resolved
// differently from one system to the next) appears, or when the walk does not
// end below the folder.
BOOL ComponentsStayBelow(const wchar_t* relative) {
  int depth = 0;
  const wchar_t* c = relative;
  while (*c != L'\0') {
    while (IsSeparator(*c)) {
      ++c;
    }
    const wchar_t* start = c;
    size_t dots = 0;
    size_t blanks = 0;
    while (*c != L'\0' && !IsSeparator(*c)) {
      dots += *c == L'.';
      blanks += *c == L' ';
      ++c;
    }
    const size_t length = static_cast<size_t>(c - start);
    if (length == 0) {
      continue;
    }
    if (length == 1 && dots == 1) {
      continue;
    }
    if (length == 2 && dots == 2) {
      if (--depth < 0) {
        return FALSE;
      }
      continue;
    }
    if (dots + blanks == length) {
      return FALSE;
    }
    ++depth;
  }
  return depth > 0;
}

// Returns a new wide string holding the final path of the object open at
// `handle` (as "\\?\C:\..." or "\\?\UNC\..."), without a trailing backslash, or
// null when the system gives none. The caller releases it with FreeAndClear.
wchar_t* CopyFinalPath(HANDLE handle) {
  wchar_t* finalPath = nullptr;
  const DWORD size = GetFinalPathNameByHandleW(handle, nullptr, 0, kFinalPathFlags);
  if (size == 0) {
    return nullptr;
  }
  finalPath = new wchar_t[size];
  const DWORD length = GetFinalPathNameByHandleW(handle, finalPath, size, kFinalPathFlags);
  if (length == 0 || length >= size) {
    FreeAndClear(&finalPath);
  } else {
    PathRemoveBackslashW(finalPath);
  }
  return finalPath;
}

// Returns true when the object open at `object` lies where the full path
// `path` says: its final path is the final path of the folder holding it
// followed by its own name (compared without regard to case).
bool LiesWhereItsPathSays(HANDLE object, const wchar_t* path) {
  if (PathIsRootW(path)) {
    return true;
  }
  wchar_t* folder = JoinStrings(1, path);
  HANDLE parent = INVALID_HANDLE_VALUE;
  wchar_t* folderFinal = nullptr;
  wchar_t* objectFinal = nullptr;
  wchar_t* expected = nullptr;
  const wchar_t* name = wcsrchr(path, L'\\');
  bool same = false;

  if (name == nullptr || !CutLastComponent(folder)) {
    goto Cleanup;
  }
  // The folder may be reached through links of its own: only this last step
  // is judged here.
  parent = CreateFileW(folder, FILE_READ_ATTRIBUTES, kAnySharing, /*lpSecurityAttributes=*/nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, /*hTemplateFile=*/nullptr);
  if (parent == INVALID_HANDLE_VALUE) {
    goto Cleanup;
  }
  folderFinal = CopyFinalPath(parent);
  objectFinal = CopyFinalPath(object);
  if (folderFinal == nullptr || objectFinal == nullptr) {
    goto Cleanup;
  }
  expected = JoinStrings(2, folderFinal, name);
  same = CompareStringOrdinal(expected, /*cchCount1=*/-1, objectFinal, /*cchCount2=*/-1,
                              /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;

Cleanup:
  FreeAndClear(&expected);
  FreeAndClear(&objectFinal);
  FreeAndClear(&folderFinal);
  CloseHandleAndClear(&parent);
  FreeAndClear(&folder);
  return same;
}

HANDLE CreateItself(const wchar_t* path, DWORD access, DWORD disposition, DWORD flags) {
  return CreateFileW(path, access, kAnySharing, /*lpSecurityAttributes=*/nullptr, disposition,
                     flags | kObjectItselfFlags, /*hTemplateFile=*/nullptr);
}

// Returns true when the folder holding `path` lists an entry of its name,
// which an open did not find: a link that leads nowhere (Windows opens such a
// link itself; Wine reports it missing, yet lists it).
bool ListedThoughNotFound(const wchar_t* path) {
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(path, &entry);
  const DWORD error = GetLastError();
  if (search != INVALID_HANDLE_VALUE) {
    FindClose(search);
    return true;
  }
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// Returns a new wide string holding the name that the system's definition of
// the known folder `id` gives it (empty when there is none). The caller
// releases it with FreeAndClear.
wchar_t* CopyKnownFolderName(IKnownFolderManager* manager, REFKNOWNFOLDERID id) {
  IKnownFolder* folder = nullptr;
  KNOWNFOLDER_DEFINITION definition;
  wchar_t* name = nullptr;
  if (SUCCEEDED(manager->GetFolder(id, &folder)) &&
      SUCCEEDED(folder->GetFolderDefinition(&definition))) {
    name = JoinStrings(1, definition.pszName);
    FreeKnownFolderDefinitionFields(&definition);
  } else {
    name = JoinStrings(0);
  }
  ReleaseAndClear(&folder);
  return name;
}

// IsLevelItself, and MayWriteFileItself when `singleName` is set: returns
// TRUE when the object at `path` is itself (with one name only, when
// `singleName`) or nothing is there, and sets *exists to whether it is there;
// otherwise logs why not and returns FALSE.
BOOL JudgeObject(const wchar_t* path, const char* refusal, bool singleName, BOOL* exists) {
  ObjectProblem problem = kObjectCannotOpen;
  BY_HANDLE_FILE_INFORMATION information;
  HANDLE object = OpenObjectItself(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, /*flags=*/0,
                                   &problem);
  DWORD error = GetLastError();
  DWORD names = 1;

  if (problem == kObjectIsItself && singleName) {
    if (GetFileInformationByHandle(object, &information)) {
      names = information.nNumberOfLinks;
    } else {
      error = GetLastError();
      problem = kObjectCannotOpen;
    }
  }
  CloseHandleAndClear(&object);
  *exists = problem == kObjectIsItself;
  if (problem == kObjectCannotOpen) {
    LogFailure(error, "%S: %s %S", refusal, path, DescribeObjectProblem(problem));
  } else if (problem != kObjectIsItself && problem != kObjectMissing) {
    LogLine("%S: %s %S", refusal, path, DescribeObjectProblem(problem));
  } else if (names > 1) {
    LogLine("%S: %s has %u names (hard links): writing it would change every one", refusal,
            path, names);
  } else {
    return TRUE;
  }
  return FALSE;
}

}  // namespace

BOOL CutLastComponent(wchar_t* path) {
  PathRemoveBackslashW(path);
  wchar_t* last = wcsrchr(path, L'\\');
  if (last == nullptr) {
    return FALSE;
  }
  last[1] = L'\0';
  return TRUE;
}

void ClimbDirectories(const wchar_t* source, wchar_t* destination) {
  wcscpy(destination, source);
  for (int i = 0; i < kLevelsBelowInstallRoot; ++i) {
    CutLastComponent(destination);
    PathRemoveBackslashW(destination);
  }
}

int CreateDirectoryTree(const wchar_t* path) {
  // Cut the path level by level until cutting changes nothing, then create the
  // levels top down. Each cut only shortens the text, so every level is a
  // prefix of the path, and a loop serves where a recursion could run out of
  // stack on a path of very many backslashes.
  wchar_t* level = JoinStrings(1, path);
  size_t* lengths = nullptr;
  size_t count = 0;
  size_t length = wcslen(level);

  lengths = new size_t[length + 1];
  lengths[count++] = length;
  for (;;) {
    CutLastComponent(level);
    const size_t cut = wcslen(level);
    if (cut == length) {
      break;
    }
    lengths[count++] = cut;
    length = cut;
  }

  wcscpy(level, path);
  while (count > 0) {
    const size_t end = lengths[--count];
    const wchar_t kept = level[end];
    level[end] = L'\0';
    CreateDirectoryW(level, /*lpSecurityAttributes=*/nullptr);
    level[end] = kept;
  }

  delete[] lengths;
  FreeAndClear(&level);
  return 0;
}

BOOL PathExists(const wchar_t* path) {
  // The runtime's own 64-bit form: the plain one is, in the 64-bit MinGW
  // build, a wrapper that brings unwind tables into every program.
  struct _stat64 status;
  return _wstat64(path, &status) == 0;
}

BOOL EnsureDirectory(const wchar_t* path) {
  if (PathExists(path)) {
    return TRUE;
  }
  return CreateDirectoryW(path, /*lpSecurityAttributes=*/nullptr) ? TRUE : FALSE;
}

int CreateOpenDirectory(const wchar_t* path) {
  SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPLICIT_ACCESS_W access;
  SECURITY_ATTRIBUTES attributes;

  if (!AllocateAndInitializeSid(&worldAuthority, /*nSubAuthorityCount=*/1, SECURITY_WORLD_RID,
                                0, 0, 0, 0, 0, 0, 0, &everyone)) {
    return 0;
  }

  ZeroMemory(&access, sizeof(access));
  access.grfAccessPermissions = kOpenDirectoryRights;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = CONTAINER_INHERIT_ACE;
  access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = static_cast<LPWSTR>(everyone);

  if (SetEntriesInAclW(/*cCountOfExplicitEntries=*/1, &access, /*OldAcl=*/nullptr, &list) !=
      ERROR_SUCCESS) {
    goto Cleanup;
  }
  descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (descriptor == nullptr ||
      !InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(descriptor, /*bDaclPresent=*/TRUE, list,
                                 /*bDaclDefaulted=*/FALSE)) {
    goto Cleanup;
  }

  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = FALSE;
  CreateDirectoryW(path, &attributes);

Cleanup:
  FreeSidAndClear(&everyone);
  LocalFreeAndClear(&list);
  LocalFreeAndClear(&descriptor);
  return 0;
}

BOOL PathStaysInside(const wchar_t* folder, const wchar_t* path) {
  wchar_t* resolvedFolder = nullptr;
  wchar_t* resolvedPath = nullptr;
  size_t folderLength = 0;
  BOOL inside = FALSE;

  if (folder == nullptr || path == nullptr || folder[0] == L'\0') {
    goto Cleanup;
  }
  folderLength = wcslen(folder);
  // The folder must be a full path already, or the test below means nothing.
  resolvedFolder = CopyFullPath(folder);
  if (resolvedFolder == nullptr || wcscmp(resolvedFolder, folder) != 0 ||
      IsSeparator(folder[folderLength - 1])) {
    goto Cleanup;
  }
  if (wcsncmp(path, folder, folderLength) != 0 || !IsSeparator(path[folderLength]) ||
      !ComponentsStayBelow(path + folderLength)) {
    goto Cleanup;
  }
  // The walk above matches the file system's own resolution; check the result
  // of that resolution too, so that the two can never disagree unnoticed.
  resolvedPath = CopyFullPath(path);
  inside = resolvedPath != nullptr && wcsncmp(resolvedPath, folder, folderLength) == 0 &&
           IsSeparator(resolvedPath[folderLength]) && resolvedPath[folderLength + 1] != L'\0';

Cleanup:
  FreeAndClear(&resolvedPath);
  FreeAndClear(&resolvedFolder);
  return inside;
}

wchar_t* CopyFullPath(const wchar_t* path) {
  wchar_t* resolved = nullptr;
  const DWORD size = GetFullPathNameW(path, 0, nullptr, /*lpFilePart=*/nullptr);
  if (size == 0) {
    return nullptr;
  }
  resolved = new wchar_t[size];
  const DWORD length = GetFullPathNameW(path, size, resolved, /*lpFilePart=*/nullptr);
  if (length == 0 || length >= size) {
    FreeAndClear(&resolved);
  }
  return resolved;
}

wchar_t* CopyShortPath(const wchar_t* path) {
  wchar_t* extended = nullptr;
  wchar_t* shortPath = nullptr;
  DWORD size = 0;
  DWORD length = 0;
  const size_t prefixLength = wcslen(kExtendedPathPrefix);

  // Only the extended form reaches a file whose path is MAX_PATH or longer.
  extended = JoinStrings(2, kExtendedPathPrefix, path);
  size = GetShortPathNameW(extended, nullptr, 0);
  if (size == 0) {
    goto Cleanup;
  }
  shortPath = new wchar_t[size];
  length = GetShortPathNameW(extended, shortPath, size);
  if (length == 0 || length >= size) {
    FreeAndClear(&shortPath);
    goto Cleanup;
  }
  if (wcsncmp(shortPath, kExtendedPathPrefix, prefixLength) == 0) {
    memmove(shortPath, shortPath + prefixLength, (length - prefixLength + 1) * sizeof(wchar_t));
  }

Cleanup:
  FreeAndClear(&extended);
  return shortPath;
}

HANDLE OpenObjectItself(const wchar_t* path, DWORD access, DWORD disposition, DWORD flags,
                        ObjectProblem* problem) {
  wchar_t* fullPath = CopyFullPath(path);
  HANDLE object = INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION information;
  DWORD error = ERROR_SUCCESS;

  *problem = kObjectCannotOpen;
  if (fullPath == nullptr) {
    error = GetLastError();
    goto Cleanup;
  }
  // A folder is judged by its own name, not by what a trailing backslash
  // leaves after it; a drive's root is no link.
  if (!PathIsRootW(fullPath)) {
    PathRemoveBackslashW(fullPath);
  }
  // Created only where nothing is: an open that would create follows a
  // dangling link and makes its target.
  object = CreateItself(fullPath, access, disposition == OPEN_ALWAYS ? OPEN_EXISTING : disposition,
                        flags);
  error = GetLastError();
  if (object == INVALID_HANDLE_VALUE && disposition == OPEN_ALWAYS &&
      error == ERROR_FILE_NOT_FOUND) {
    object = CreateItself(fullPath, access, CREATE_NEW, flags);
    error = GetLastError();
    if (object == INVALID_HANDLE_VALUE && error == ERROR_FILE_EXISTS) {
      // Not there to open, yet there to be refused: a link that leads nowhere.
      *problem = kObjectIsReparsePoint;
      goto Cleanup;
    }
  }
  if (object == INVALID_HANDLE_VALUE) {
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      *problem = kObjectCannotOpen;
    } else {
      *problem = ListedThoughNotFound(fullPath) ? kObjectIsReparsePoint : kObjectMissing;
    }
    goto Cleanup;
  }
  if (!GetFileInformationByHandle(object, &information)) {
    error = GetLastError();
    goto Cleanup;
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *problem = kObjectIsReparsePoint;
  } else if (!LiesWhereItsPathSays(object, fullPath)) {
    *problem = kObjectLiesElsewhere;
  } else {
    *problem = kObjectIsItself;
  }

Cleanup:
  if (*problem != kObjectIsItself) {
    CloseHandleAndClear(&object);
    object = INVALID_HANDLE_VALUE;
  }
  FreeAndClear(&fullPath);
  SetLastError(error);
  return object;
}

const char* DescribeObjectProblem(ObjectProblem problem) {
  switch (problem) {
    case kObjectIsItself:
      return "is itself";
    case kObjectMissing:
      return "is not there";
    case kObjectCannotOpen:
      return "cannot be opened";
    case kObjectIsReparsePoint:
      return "is a link (a reparse point)";
    case kObjectLiesElsewhere:
      return "is reached through a link and lies elsewhere";
  }
  return "cannot be judged";
}

BOOL IsLevelItself(const wchar_t* level, const char* refusal, BOOL* missing) {
  BOOL exists = FALSE;
  const BOOL itself = JudgeObject(level, refusal, /*singleName=*/false, &exists);
  *missing = itself && !exists;
  return itself;
}

BOOL NoLinkBelow(const wchar_t* top, const wchar_t* path, const char* refusal) {
  wchar_t* level = JoinStrings(1, path);
  const size_t topLength = wcslen(top);
  wchar_t* end = nullptr;
  BOOL missing = FALSE;
  BOOL itself = TRUE;

  PathRemoveBackslashW(level);
  // Each level is the path up to the next backslash after the top folder's.
  end = wcslen(level) > topLength ? level + topLength : nullptr;
  while (end != nullptr && itself && !missing) {
    end = wcschr(end + 1, L'\\');
    if (end != nullptr) {
      *end = L'\0';
    }
    itself = IsLevelItself(level, refusal, &missing);
    if (end != nullptr) {
      *end = L'\\';
    }
  }
  FreeAndClear(&level);
  return itself;
}

BOOL CreateLevelItself(const wchar_t* level, BOOL judge, const char* refusal, BOOL* created) {
  BOOL missing = FALSE;
  *created = CreateDirectoryW(level, /*lpSecurityAttributes=*/nullptr) ? TRUE : FALSE;
  if (!*created && !judge) {
    return TRUE;
  }
  return IsLevelItself(level, refusal, &missing);
}

BOOL MayWriteFileItself(const wchar_t* path, const char* refusal, BOOL* exists) {
  return JudgeObject(path, refusal, /*singleName=*/true, exists);
}

BOOL DeleteOpenObject(HANDLE object) {
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(object, FileDispositionInfo, &disposition,
                                    sizeof(disposition));
}

BOOL IsPlainNamePart(const wchar_t* name) {
  const size_t length = wcslen(name);
  for (size_t i = 0; i < length; ++i) {
    if (name[i] < kFirstPrintableCharacter || IsBidirectionalControl(name[i]) ||
        wcschr(kReservedNameCharacters, name[i]) != nullptr) {
      return FALSE;
    }
  }
  return length == 0 || (name[length - 1] != L'.' && name[length - 1] != L' ');
}

BOOL IsDeviceName(const wchar_t* name) {
  const wchar_t* dot = wcschr(name, L'.');
  int length = static_cast<int>(dot != nullptr ? dot - name : wcslen(name));
  while (length > 0 && name[length - 1] == L' ') {
    --length;
  }
  for (const wchar_t* device : kDeviceNames) {
    if (CompareStringOrdinal(name, length, device, /*cchCount2=*/-1, /*bIgnoreCase=*/TRUE) ==
        CSTR_EQUAL) {
      return TRUE;
    }
  }
  if (length != static_cast<int>(kNumberedDevicePrefixLength) + 1) {
    return FALSE;
  }
  for (const wchar_t* prefix : kNumberedDevicePrefixes) {
    if (CompareStringOrdinal(name, static_cast<int>(kNumberedDevicePrefixLength), prefix,
                             static_cast<int>(kNumberedDevicePrefixLength),
                             /*bIgnoreCase=*/TRUE) == CSTR_EQUAL &&
        name[kNumberedDevicePrefixLength] != L'\0' &&
        wcschr(kDeviceDigits, name[kNumberedDevicePrefixLength]) != nullptr) {
      return TRUE;
    }
  }
  return FALSE;
}

wchar_t* CopyRefusedFolderPart(const wchar_t* folderName) {
  const wchar_t* c = folderName;
  wchar_t* part = nullptr;
  while (*c != L'\0') {
    while (IsSeparator(*c)) {
      ++c;
    }
    const wchar_t* start = c;
    while (*c != L'\0' && !IsSeparator(*c)) {
      ++c;
    }
    const size_t length = static_cast<size_t>(c - start);
    if (length == 0) {
      continue;
    }
    part = new wchar_t[length + 1];
    memcpy(part, start, length * sizeof(wchar_t));
    part[length] = L'\0';
    if (!IsPlainNamePart(part) || IsDeviceName(part)) {
      return part;
    }
    FreeAndClear(&part);
  }
  return nullptr;
}

wchar_t* CopyInnermostKnownFolder(const wchar_t* top, const wchar_t* path, size_t* length) {
  IKnownFolderManager* manager = nullptr;
  KNOWNFOLDERID* ids = nullptr;
  UINT count = 0;
  UINT innermost = 0;
  wchar_t* name = nullptr;
  const size_t topLength = wcslen(top);
  const size_t pathLength = wcslen(path);

  *length = 0;
  if (FAILED(CoCreateInstance(CLSID_KnownFolderManager, /*pUnkOuter=*/nullptr,
                              CLSCTX_INPROC_SERVER, IID_IKnownFolderManager,
                              reinterpret_cast<void**>(&manager))) ||
      FAILED(manager->GetFolderIds(&ids, &count))) {
    goto Cleanup;
  }
  for (UINT i = 0; i < count; ++i) {
    PWSTR knownPath = nullptr;
    wchar_t* known = nullptr;
    // Only the path is wanted: the folder need not exist, nor be made.
    if (SUCCEEDED(SHGetKnownFolderPath(ids[i], KF_FLAG_DONT_VERIFY, /*hToken=*/nullptr,
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
      innermost = i;
    }
    FreeAndClear(&known);
  }
  if (*length > 0) {
    name = CopyKnownFolderName(manager, ids[innermost]);
  }

Cleanup:
  CoTaskMemFree(ids);
  ReleaseAndClear(&manager);
  return name;
}
