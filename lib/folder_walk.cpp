#include "folder_walk.h"

#include <winternl.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "backoff.h"
#include "paths.h"
#include "release.h"
#include "strings.h"

namespace {

// Other programs that hold an object open do not keep it from being looked
// at, nor the caller from working below it.
constexpr ULONG kAnySharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Every open: synchronous, and the object at the name itself, never what a
// link there leads to (as far as the system honours that).
constexpr ULONG kOpenOptions = FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT;
constexpr ACCESS_MASK kAlwaysAsked = SYNCHRONIZE | FILE_READ_ATTRIBUTES;
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE;
constexpr DWORD kTrustedFolderFlags =
    FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
constexpr DWORD kFinalPathFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
constexpr wchar_t kSeparator = L'\\';
// A folder listing is read into this many 64-bit units at a time (aligned for
// the 64-bit members of its entries): room for an entry of at most 104 bytes
// and a name of 255 characters.
constexpr size_t kListingUnits = 128;

// NtQueryDirectoryFile is not declared by every SDK's headers: it is looked
// up in ntdll, which is in every process.
constexpr wchar_t kNtdllModule[] = L"ntdll.dll";
constexpr char kQueryDirectoryFile[] = "NtQueryDirectoryFile";
// FileIdBothDirectoryInformation: the layout of FILE_ID_BOTH_DIR_INFO.
constexpr ULONG kFileIdBothDirectoryInformation = 37;
using QueryDirectoryFileFunction = NTSTATUS(NTAPI*)(HANDLE folder, HANDLE event, void* routine,
                                                    void* context, IO_STATUS_BLOCK* status,
                                                    void* information, ULONG length,
                                                    ULONG informationClass,
                                                    BOOLEAN returnSingleEntry,
                                                    UNICODE_STRING* fileName,
                                                    BOOLEAN restartScan);

}  // namespace

void (*FindNtdllFunction(const char* name))() {
  const HMODULE ntdll = GetModuleHandleW(kNtdllModule);
  // Through the generic function pointer type, which converts to any other
  // without a warning about incompatible function types.
  return ntdll != nullptr ? reinterpret_cast<void (*)()>(GetProcAddress(ntdll, name)) : nullptr;
}

namespace {

// OpenRelative, allowing others only `sharing`.
HANDLE OpenSharing(HANDLE folder, const wchar_t* name, size_t length, ACCESS_MASK access,
                   ULONG sharing, ULONG disposition, ULONG options, NTSTATUS* answer) {
  UNICODE_STRING text;
  OBJECT_ATTRIBUTES attributes;
  SECURITY_QUALITY_OF_SERVICE quality;
  IO_STATUS_BLOCK status;
  HANDLE object = nullptr;

  text.Buffer = const_cast<wchar_t*>(name);
  text.Length = static_cast<USHORT>(length * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  quality.Length = sizeof(quality);
  quality.ImpersonationLevel = SecurityIdentification;
  quality.ContextTrackingMode = SECURITY_STATIC_TRACKING;
  quality.EffectiveOnly = FALSE;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder,
                             /*SecurityDescriptor=*/nullptr);
  attributes.SecurityQualityOfService = &quality;
  const NTSTATUS result =
      NtCreateFile(&object, access | kAlwaysAsked, &attributes, &status,
                   /*AllocationSize=*/nullptr, FILE_ATTRIBUTE_NORMAL, sharing, disposition,
                   options | kOpenOptions, /*EaBuffer=*/nullptr, /*EaLength=*/0);
  if (answer != nullptr) {
    *answer = result;
  }
  if (!NT_SUCCESS(result)) {
    SetLastError(RtlNtStatusToDosError(result));
    return INVALID_HANDLE_VALUE;
  }
  return object;
}

}  // namespace

HANDLE OpenRelative(HANDLE folder, const wchar_t* name, size_t length, ACCESS_MASK access,
                    ULONG disposition, ULONG options, NTSTATUS* answer) {
  return OpenSharing(folder, name, length, access, kAnySharing, disposition, options, answer);
}

BOOL IsHeldElsewhere(HANDLE folder, const wchar_t* name, size_t length) {
  NTSTATUS status = 0;
  HANDLE alone = OpenSharing(folder, name, length, DELETE, /*sharing=*/0, FILE_OPEN,
                             /*options=*/0, &status);
  CloseHandleAndClear(&alone);
  return status == kStatusSharingViolation;
}

namespace {

// Returns a new wide string holding the final path of the object open at
// `object`, or null (with the last error) when the system gives none. The
// caller releases it with FreeAndClear.
wchar_t* CopyFinalPath(HANDLE object) {
  const DWORD size = GetFinalPathNameByHandleW(object, nullptr, 0, kFinalPathFlags);
  wchar_t* path = size > 0 ? new wchar_t[size] : nullptr;
  if (path != nullptr) {
    const DWORD length = GetFinalPathNameByHandleW(object, path, size, kFinalPathFlags);
    if (length == 0 || length >= size) {
      FreeAndClear(&path);
    }
  }
  return path;
}

// Returns kWalkSound when the object open at `object` lies in the folder open
// at `folder` under `name`: its final path is the folder's, a backslash and
// the name (compared without regard to case). A link that the system followed
// shows here: the object's final path is its target's.
WalkProblem LiesInFolder(HANDLE folder, HANDLE object, const wchar_t* name, size_t length) {
  wchar_t* folderPath = CopyFinalPath(folder);
  wchar_t* objectPath = folderPath != nullptr ? CopyFinalPath(object) : nullptr;
  WalkProblem problem = kWalkCannotOpen;
  size_t folderLength = 0;
  size_t objectLength = 0;

  if (objectPath == nullptr) {
    goto Cleanup;
  }
  folderLength = wcslen(folderPath);
  if (folderLength > 0 && folderPath[folderLength - 1] == kSeparator) {
    --folderLength;  // a root's own backslash
  }
  objectLength = wcslen(objectPath);
  problem = kWalkLiesElsewhere;
  if (objectLength == folderLength + 1 + length && objectPath[folderLength] == kSeparator &&
      CompareStringOrdinal(objectPath, static_cast<int>(folderLength), folderPath,
                           static_cast<int>(folderLength), /*bIgnoreCase=*/TRUE) == CSTR_EQUAL &&
      CompareStringOrdinal(objectPath + folderLength + 1, static_cast<int>(length), name,
                           static_cast<int>(length), /*bIgnoreCase=*/TRUE) == CSTR_EQUAL) {
    problem = kWalkSound;
  }

Cleanup:
  FreeAndClear(&objectPath);
  FreeAndClear(&folderPath);
  return problem;
}

// Whether `error` refuses an open or a listing that asks to read a folder: a
// folder that lets the caller pass and make files but not list it (Windows\Temp
// for a standard user), or one that another program holds without sharing
// reading.
bool IsReadRefused(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

// Whether a reparse point of tag `tag` is a link: only a name surrogate
// (symbolic link, junction, mount point) leads elsewhere; a compressed,
// deduplicated or cloud file is the file itself. A system that marks a
// reparse point without naming its tag (0, no tag there is) is taken at its
// word that something redirects there.
bool IsLinkTag(ULONG tag) { return tag == 0 || IsReparseTagNameSurrogate(tag); }

// Returns kWalkSound when the folder open at `folder` lists, under `name`, the
// object whose information is `object`, as no link: the entry is looked up in
// a listing of the folder made after the object was opened (through a handle
// of its own, since a folder handle keeps the first name it was asked for).
// A link that the open followed shows here even where the system does not
// show it on the object: the entry is a link, or, where the name was swapped
// meanwhile, another object. Where the listing is refused (IsReadRefused),
// sets *refused and returns kWalkSound: the caller judges by the open alone.
WalkProblem IsListedAs(HANDLE folder, const wchar_t* name, size_t length,
                       const BY_HANDLE_FILE_INFORMATION* object, bool* refused) {
  const QueryDirectoryFileFunction query =
      reinterpret_cast<QueryDirectoryFileFunction>(FindNtdllFunction(kQueryDirectoryFile));
  // ReOpenFile is for handles that CreateFile made; a relative open with an
  // empty name reopens any folder handle.
  HANDLE listing = OpenRelative(folder, L"", /*length=*/0, FILE_LIST_DIRECTORY, FILE_OPEN,
                                FILE_DIRECTORY_FILE, /*answer=*/nullptr);
  LONGLONG entryUnits[kListingUnits];
  const FILE_ID_BOTH_DIR_INFO* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(entryUnits);
  UNICODE_STRING mask;
  IO_STATUS_BLOCK status;
  NTSTATUS result = 0;
  WalkProblem problem = kWalkCannotOpen;

  mask.Buffer = const_cast<wchar_t*>(name);
  mask.Length = static_cast<USHORT>(length * sizeof(wchar_t));
  mask.MaximumLength = mask.Length;
  *refused = listing == INVALID_HANDLE_VALUE && IsReadRefused(GetLastError());
  if (listing == INVALID_HANDLE_VALUE || query == nullptr) {
    problem = *refused ? kWalkSound : kWalkCannotOpen;
    goto Cleanup;
  }
  result = query(listing, /*event=*/nullptr, /*routine=*/nullptr, /*context=*/nullptr, &status,
                 entryUnits, sizeof(entryUnits), kFileIdBothDirectoryInformation,
                 /*returnSingleEntry=*/TRUE, &mask, /*restartScan=*/TRUE);
  *refused = !NT_SUCCESS(result) && IsReadRefused(RtlNtStatusToDosError(result));
  if (*refused) {
    problem = kWalkSound;
  } else if (!NT_SUCCESS(result)) {
    // Not listed as it was opened: the name went, or leads somewhere else.
    problem = kWalkLiesElsewhere;
  } else if ((entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
             IsLinkTag(entry->EaSize)) {
    // A listed reparse point carries its tag where the extended attributes'
    // size would be.
    problem = kWalkIsLink;
  } else if (entry->FileId.QuadPart != 0 &&
             (static_cast<DWORD>(entry->FileId.QuadPart) != object->nFileIndexLow ||
              static_cast<DWORD>(entry->FileId.QuadPart >> 32) != object->nFileIndexHigh)) {
    // File systems without file numbers (FAT) list 0.
    problem = kWalkLiesElsewhere;
  } else {
    problem = kWalkSound;
  }

Cleanup:
  CloseHandleAndClear(&listing);
  return problem;
}

}  // namespace

WalkProblem JudgeEntry(HANDLE folder, HANDLE object, const wchar_t* name, size_t length,
                       EntryKind kind) {
  BY_HANDLE_FILE_INFORMATION information;
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!GetFileInformationByHandle(object, &information)) {
    return kWalkCannotOpen;
  }
  // Asked only of a reparse point, so that a plain entry costs no more.
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      (!GetFileInformationByHandleEx(object, FileAttributeTagInfo, &tag, sizeof(tag)) ||
       IsLinkTag(tag.ReparseTag))) {
    return kWalkIsLink;
  }
  bool refused = false;
  WalkProblem place = IsListedAs(folder, name, length, &information, &refused);
  // Wine lists a link to a file as the file it leads to: only the object's
  // own final path shows one that is not swapped meanwhile. Where the folder
  // may not be listed, the open alone judges: Windows honours
  // FILE_OPEN_REPARSE_POINT (a link shows as a reparse point above), and the
  // final path shows a link that Wine followed, to a folder too.
  if (place == kWalkSound && (kind != kEntryFolder || refused)) {
    place = LiesInFolder(folder, object, name, length);
  }
  if (place != kWalkSound) {
    return place;
  }
  const bool isFolder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (kind == kEntryFolder) {
    return isFolder ? kWalkSound : kWalkNotFolder;
  }
  if (isFolder) {
    return kWalkIsFolder;
  }
  return kind == kEntryFileWithOneName && information.nNumberOfLinks > 1 ? kWalkHasNames
                                                                          : kWalkSound;
}

namespace {

// Returns where the path of level `level` ends in `path`, whose first
// `topLength` characters name level 0: each level below adds a backslash
// (unless the level above ends in one, as a root does) and its name.
size_t LevelEnd(const wchar_t* path, size_t topLength, size_t level) {
  size_t end = topLength;
  for (size_t i = 0; i < level && path[end] != L'\0'; ++i) {
    end += path[end] == kSeparator ? 1 : 0;
    end += wcscspn(path + end, L"\\");
  }
  return end;
}

bool IsNotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

const char* DescribeWalkProblem(WalkProblem problem) {
  switch (problem) {
    case kWalkSound:
      return "is itself";
    case kWalkMissing:
      return "is not there";
    case kWalkCannotOpen:
      return "cannot be opened";
    case kWalkIsLink:
      return "is a link (a reparse point)";
    case kWalkLiesElsewhere:
      return "is reached through a link and lies elsewhere";
    case kWalkNotFolder:
      return "is not a folder";
    case kWalkIsFolder:
      return "is a folder";
    case kWalkHasNames:
      return "has more than one name (hard links)";
    case kWalkDeletePending:
      return "is being deleted, and goes when another program lets go of it";
  }
  return "cannot be judged";
}

HANDLE OpenTrustedFolder(const wchar_t* path, ACCESS_MASK access) {
  return CreateFileW(path, access | kFolderAccess | kAlwaysAsked, kAnySharing,
                     /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, kTrustedFolderFlags,
                     /*hTemplateFile=*/nullptr);
}

HANDLE OpenEntry(HANDLE folder, const wchar_t* name, size_t length, EntryKind kind,
                 ACCESS_MASK access, WalkProblem* problem) {
  NTSTATUS status = 0;
  HANDLE object = OpenRelative(folder, name, length, access, FILE_OPEN, /*options=*/0, &status);
  DWORD error = GetLastError();

  if (object == INVALID_HANDLE_VALUE) {
    // Marked for deletion in the old way while another program holds it:
    // the system gives the same error as for a refusal (5), not the same status.
    *problem = status == kStatusDeletePending ? kWalkDeletePending
               : IsNotFound(error)             ? kWalkMissing
                                               : kWalkCannotOpen;
  } else {
    *problem = JudgeEntry(folder, object, name, length, kind);
    error = GetLastError();
  }
  if (*problem != kWalkSound) {
    CloseHandleAndClear(&object);
    object = INVALID_HANDLE_VALUE;
  }
  SetLastError(error);
  return object;
}

HANDLE CreateEntry(HANDLE folder, const wchar_t* name, size_t length, EntryKind kind,
                   ACCESS_MASK access, BOOL* created, WalkProblem* problem) {
  const ULONG options = kind == kEntryFolder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE;
  HANDLE object = INVALID_HANDLE_VALUE;
  NTSTATUS status = 0;
  DWORD error = ERROR_SUCCESS;

  // An entry whose deletion waits for another program to let go keeps its
  // name until then: a short hold is waited for.
  for (unsigned attempt = 1;; ++attempt) {
    object = OpenRelative(folder, name, length, access, FILE_CREATE, options, &status);
    error = GetLastError();
    *created = object != INVALID_HANDLE_VALUE;
    *problem = *created                         ? kWalkSound
               : status == kStatusDeletePending ? kWalkDeletePending
                                                 : kWalkCannotOpen;
    if (!*created && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) {
      // Made meanwhile, or a link that leads nowhere stands there (which no
      // open finds): judged as it is.
      object = OpenEntry(folder, name, length, kind, access, problem);
      error = GetLastError();
      if (*problem == kWalkMissing) {
        *problem = kWalkIsLink;
      }
    }
    if (*problem != kWalkDeletePending || !WaitBeforeRetry(attempt)) {
      break;
    }
  }
  SetLastError(error);
  return object;
}

BOOL WalkFolders(const wchar_t* path, size_t topLength, BOOL create, ACCESS_MASK access,
                 FolderWalk* walk) {
  BOOL created = FALSE;

  memset(walk, 0, sizeof(*walk));
  walk->path = JoinStrings(1, path);
  walk->topLength = topLength;
  walk->depth = 1;
  while (path[LevelEnd(path, topLength, walk->depth - 1)] != L'\0') {
    ++walk->depth;
  }
  walk->levels = new HANDLE[walk->depth];
  walk->firstCreated = walk->depth;

  // The top, by its path: the text up to topLength, terminated for the call.
  walk->path[topLength] = L'\0';
  walk->levels[0] = OpenTrustedFolder(walk->path, /*access=*/0);
  if (walk->levels[0] == INVALID_HANDLE_VALUE && create && IsNotFound(GetLastError())) {
    CreateDirectoryTree(walk->path);
    walk->levels[0] = OpenTrustedFolder(walk->path, /*access=*/0);
    walk->firstCreated = 0;
  }
  walk->error = GetLastError();
  walk->path[topLength] = path[topLength];
  if (walk->levels[0] == INVALID_HANDLE_VALUE) {
    walk->problem = IsNotFound(walk->error) ? kWalkMissing : kWalkCannotOpen;
    walk->firstCreated = walk->depth;
    return FALSE;
  }
  walk->count = 1;

  while (walk->count < walk->depth) {
    size_t start = LevelEnd(path, topLength, walk->count - 1);
    start += path[start] == kSeparator ? 1 : 0;
    const wchar_t* name = path + start;
    const size_t length = LevelEnd(path, topLength, walk->count) - start;
    if (length == 0) {
      // An empty name would open the level above again.
      walk->problem = kWalkCannotOpen;
      walk->error = ERROR_INVALID_NAME;
      return FALSE;
    }
    HANDLE parent = walk->levels[walk->count - 1];
    HANDLE level =
        create ? CreateEntry(parent, name, length, kEntryFolder, access | kFolderAccess, &created,
                             &walk->problem)
               : OpenEntry(parent, name, length, kEntryFolder, access | kFolderAccess,
                           &walk->problem);
    walk->error = GetLastError();
    if (!create && walk->problem == kWalkCannotOpen && IsReadRefused(walk->error)) {
      // A level that may be passed but not listed is held without listing:
      // what is below it is still opened relative to it.
      level = OpenEntry(parent, name, length, kEntryFolder, access, &walk->problem);
      walk->error = GetLastError();
    }
    if (level == INVALID_HANDLE_VALUE) {
      return FALSE;
    }
    if (created && walk->firstCreated == walk->depth) {
      walk->firstCreated = walk->count;
    }
    walk->levels[walk->count++] = level;
  }
  walk->problem = kWalkSound;
  walk->error = ERROR_SUCCESS;
  return TRUE;
}

void EndFolderWalk(FolderWalk* walk) {
  while (walk->count > 0) {
    CloseHandleAndClear(&walk->levels[--walk->count]);
  }
  delete[] walk->levels;
  walk->levels = nullptr;
  FreeAndClear(&walk->path);
}

wchar_t* CopyWalkLevel(const FolderWalk* walk, size_t level) {
  const size_t length = LevelEnd(walk->path, walk->topLength, level);
  wchar_t* copy = new wchar_t[length + 1];
  memcpy(copy, walk->path, length * sizeof(wchar_t));
  copy[length] = L'\0';
  return copy;
}

size_t WalkLevelName(const FolderWalk* walk, size_t level, size_t* length) {
  size_t start = LevelEnd(walk->path, walk->topLength, level - 1);
  start += walk->path[start] == kSeparator ? 1 : 0;
  *length = LevelEnd(walk->path, walk->topLength, level) - start;
  return start;
}
