#include "folder_walk.h"

#include <winternl.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

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
// the 64-bit members of its entries): room for several entries, each of at
// most 104 bytes and a name of 255 characters.
constexpr size_t kListingUnits = 128;

// The temporary file of a replacement: "~menutools-" and the process and a
// tick count in hexadecimal, so that runs side by side use names of their own.
constexpr wchar_t kTemporaryStart[] = L"~menutools-";
constexpr wchar_t kTemporaryEnd[] = L".tmp";
constexpr int kHexadecimal = 16;
constexpr size_t kHexDigitsCapacity = 9;  // a 32-bit number and its terminator

// NtSetInformationFile is not declared by every SDK's headers: it is looked
// up in ntdll, which is in every process. FileRenameInformation (10) takes
// the layout of FILE_RENAME_INFO.
constexpr wchar_t kNtdllModule[] = L"ntdll.dll";
constexpr char kSetInformationFile[] = "NtSetInformationFile";
constexpr char kQueryDirectoryFile[] = "NtQueryDirectoryFile";
constexpr ULONG kFileRenameInformation = 10;
// FileIdBothDirectoryInformation: the layout of FILE_ID_BOTH_DIR_INFO.
constexpr ULONG kFileIdBothDirectoryInformation = 37;
using SetInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE file, IO_STATUS_BLOCK* status,
                                                    void* information, ULONG length,
                                                    ULONG informationClass);
using QueryDirectoryFileFunction = NTSTATUS(NTAPI*)(HANDLE folder, HANDLE event, void* routine,
                                                    void* context, IO_STATUS_BLOCK* status,
                                                    void* information, ULONG length,
                                                    ULONG informationClass,
                                                    BOOLEAN returnSingleEntry,
                                                    UNICODE_STRING* fileName,
                                                    BOOLEAN restartScan);

// Returns the ntdll function `name`, or null. Nothing is loaded: ntdll is in
// every process.
void (*FindNtdllFunction(const char* name))() {
  const HMODULE ntdll = GetModuleHandleW(kNtdllModule);
  // Through the generic function pointer type, which converts to any other
  // without a warning about incompatible function types.
  return ntdll != nullptr ? reinterpret_cast<void (*)()>(GetProcAddress(ntdll, name)) : nullptr;
}

// Opens or makes the object `name` (`length` characters) relative to the
// folder open at `folder` with NtCreateFile. Returns the handle, or
// INVALID_HANDLE_VALUE with the system's error as the last error.
HANDLE OpenRelative(HANDLE folder, const wchar_t* name, size_t length, ACCESS_MASK access,
                    ULONG disposition, ULONG options) {
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
                   /*AllocationSize=*/nullptr, FILE_ATTRIBUTE_NORMAL, kAnySharing, disposition,
                   options | kOpenOptions, /*EaBuffer=*/nullptr, /*EaLength=*/0);
  if (!NT_SUCCESS(result)) {
    SetLastError(RtlNtStatusToDosError(result));
    return INVALID_HANDLE_VALUE;
  }
  return object;
}

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
  HANDLE listing = ReOpenFile(folder, FILE_LIST_DIRECTORY | SYNCHRONIZE, kAnySharing,
                              FILE_FLAG_BACKUP_SEMANTICS);
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
  } else if ((entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
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

// Judges the object open at `object`, found in `folder` under `name`, as
// `kind`.
WalkProblem Judge(HANDLE folder, HANDLE object, const wchar_t* name, size_t length,
                  EntryKind kind) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(object, &information)) {
    return kWalkCannotOpen;
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
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

// Writes `value` in hexadecimal at the end of `text` (room for
// kHexDigitsCapacity more characters).
void AppendHex(wchar_t* text, DWORD value) {
  wchar_t digits[kHexDigitsCapacity];
  _ultow(value, digits, kHexadecimal);
  wcscat(text, digits);
}


// Renames the file open at `file` to `name` in the folder open at `folder`,
// replacing what stands there. Returns TRUE when it did; FALSE with the last
// error otherwise.
BOOL RenameInto(HANDLE file, HANDLE folder, const wchar_t* name) {
  const SetInformationFileFunction setInformation =
      reinterpret_cast<SetInformationFileFunction>(FindNtdllFunction(kSetInformationFile));
  const size_t nameBytes = wcslen(name) * sizeof(wchar_t);
  const size_t size = sizeof(FILE_RENAME_INFO) + nameBytes;
  char* buffer = new char[size];
  FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
  IO_STATUS_BLOCK status;
  NTSTATUS result = 0;

  memset(buffer, 0, size);
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = folder;
  rename->FileNameLength = static_cast<DWORD>(nameBytes);
  memcpy(rename->FileName, name, nameBytes);
  if (setInformation == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
  } else {
    result = setInformation(file, &status, rename, static_cast<ULONG>(size),
                            kFileRenameInformation);
    if (!NT_SUCCESS(result)) {
      SetLastError(RtlNtStatusToDosError(result));
    }
  }
  FreeBytesAndClear(&buffer);
  return setInformation != nullptr && NT_SUCCESS(result);
}

// Writes `size` bytes into the file open at `file`, and flushes them when
// `flush` is set. Returns TRUE when all went; FALSE with the last error
// otherwise.
BOOL WriteWhole(HANDLE file, const void* bytes, DWORD size, bool flush) {
  DWORD written = 0;
  return WriteFile(file, bytes, size, &written, /*lpOverlapped=*/nullptr) && written == size &&
         (!flush || FlushFileBuffers(file));
}

// Puts `size` bytes as the file `name` into the folder open at `folder`.
// Where nothing stands at the name, the file is made there with FILE_CREATE
// and written: relative to the folder's handle, whatever becomes of the names
// above it. Otherwise a new file of the caller's own is made under a
// temporary name, written and flushed, and renamed over the name, which
// replaces what stands there as a name, never what a link there leads to. Returns
// kWalkSound when the file is in place; kWalkCannotOpen with the last error
// otherwise, and no file of the caller's is left.
WalkProblem PutFileIn(HANDLE folder, const wchar_t* name, const void* bytes, DWORD size) {
  wchar_t temporary[sizeof(kTemporaryStart) / sizeof(wchar_t) + 2 * kHexDigitsCapacity +
                    sizeof(kTemporaryEnd) / sizeof(wchar_t)];
  HANDLE file = OpenRelative(folder, name, wcslen(name), GENERIC_WRITE | DELETE, FILE_CREATE,
                             FILE_NON_DIRECTORY_FILE);
  WalkProblem problem = kWalkCannotOpen;
  DWORD error = GetLastError();

  if (file != INVALID_HANDLE_VALUE) {
    problem = WriteWhole(file, bytes, size, /*flush=*/false) ? kWalkSound : kWalkCannotOpen;
    error = GetLastError();
    goto Cleanup;
  }
  if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
    goto Cleanup;
  }
  wcscpy(temporary, kTemporaryStart);
  AppendHex(temporary, GetCurrentProcessId());
  wcscat(temporary, L"-");
  AppendHex(temporary, GetTickCount());
  wcscat(temporary, kTemporaryEnd);
  // Only a new file of the caller's own is written, never one that stood there.
  file = OpenRelative(folder, temporary, wcslen(temporary), GENERIC_WRITE | DELETE, FILE_CREATE,
                      FILE_NON_DIRECTORY_FILE);
  // Flushed before it takes the name: a file that replaces another is whole,
  // whatever happens to the system meanwhile.
  if (file != INVALID_HANDLE_VALUE && WriteWhole(file, bytes, size, /*flush=*/true) &&
      RenameInto(file, folder, name)) {
    problem = kWalkSound;
  }
  error = GetLastError();

Cleanup:
  if (problem != kWalkSound && file != INVALID_HANDLE_VALUE) {
    // The file goes as its handle closes: nothing half made stays.
    DeleteOpenObject(file);
  }
  CloseHandleAndClear(&file);
  SetLastError(error);
  return problem;
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
  HANDLE object = OpenRelative(folder, name, length, access, FILE_OPEN, /*options=*/0);
  DWORD error = GetLastError();

  if (object == INVALID_HANDLE_VALUE) {
    *problem = IsNotFound(error) ? kWalkMissing : kWalkCannotOpen;
  } else {
    *problem = Judge(folder, object, name, length, kind);
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
  HANDLE object = OpenRelative(folder, name, length, access, FILE_CREATE, options);
  const DWORD error = GetLastError();

  *created = object != INVALID_HANDLE_VALUE;
  *problem = *created ? kWalkSound : kWalkCannotOpen;
  if (!*created && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) {
    // Made meanwhile, or a link that leads nowhere stands there (which no
    // open finds): judged as it is.
    object = OpenEntry(folder, name, length, kind, access, problem);
    if (*problem == kWalkMissing) {
      *problem = kWalkIsLink;
    }
  } else if (!*created) {
    SetLastError(error);
  }
  return object;
}

BOOL FolderHoldsEntries(HANDLE folder) {
  LONGLONG listing[kListingUnits];
  FILE_INFO_BY_HANDLE_CLASS part = FileIdBothDirectoryRestartInfo;
  while (GetFileInformationByHandleEx(folder, part, listing, sizeof(listing))) {
    part = FileIdBothDirectoryInfo;
    const char* at = reinterpret_cast<const char*>(listing);
    for (;;) {
      const FILE_ID_BOTH_DIR_INFO* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
      const size_t length = entry->FileNameLength / sizeof(wchar_t);
      const bool dots = (length == 1 || length == 2) && entry->FileName[0] == L'.' &&
                        entry->FileName[length - 1] == L'.';
      if (!dots) {
        return TRUE;
      }
      if (entry->NextEntryOffset == 0) {
        break;
      }
      at += entry->NextEntryOffset;
    }
  }
  return FALSE;
}

BOOL DeleteOpenObject(HANDLE object) {
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(object, FileDispositionInfo, &disposition,
                                    sizeof(disposition));
}

WalkProblem ReplaceFileIn(HANDLE folder, const wchar_t* name, const void* bytes, DWORD size,
                          WalkProblem* found) {
  HANDLE existing =
      OpenEntry(folder, name, wcslen(name), kEntryFileWithOneName, /*access=*/0, found);
  const DWORD error = GetLastError();
  CloseHandleAndClear(&existing);
  if (*found == kWalkIsFolder || *found == kWalkNotFolder || *found == kWalkCannotOpen) {
    SetLastError(error);
    return *found == kWalkIsFolder ? kWalkIsFolder : kWalkCannotOpen;
  }
  return PutFileIn(folder, name, bytes, size);
}

BOOL DeleteEntryIn(HANDLE folder, const wchar_t* name, size_t length, HANDLE object,
                   EntryKind kind) {
  DWORD error = ERROR_SUCCESS;
  if (!DeleteOpenObject(object)) {
    return FALSE;
  }
  if (Judge(folder, object, name, length, kind) == kWalkSound) {
    return TRUE;
  }
  // Not the entry it was judged to be any more: it stays.
  error = GetLastError();
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = FALSE;
  SetFileInformationByHandle(object, FileDispositionInfo, &disposition, sizeof(disposition));
  SetLastError(error == ERROR_SUCCESS ? ERROR_CANT_ACCESS_FILE : error);
  return FALSE;
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

WalkProblem RemoveWalkLevel(FolderWalk* walk, size_t level) {
  size_t start = LevelEnd(walk->path, walk->topLength, level - 1);
  start += walk->path[start] == kSeparator ? 1 : 0;
  const size_t length = LevelEnd(walk->path, walk->topLength, level) - start;
  BY_HANDLE_FILE_INFORMATION held;
  BY_HANDLE_FILE_INFORMATION found;
  WalkProblem problem = kWalkCannotOpen;
  DWORD error = ERROR_SUCCESS;
  HANDLE folder = OpenEntry(walk->levels[level - 1], walk->path + start, length, kEntryFolder,
                            DELETE, &problem);

  if (problem == kWalkSound) {
    if (!GetFileInformationByHandle(walk->levels[level], &held) ||
        !GetFileInformationByHandle(folder, &found)) {
      problem = kWalkCannotOpen;
    } else if (held.dwVolumeSerialNumber != found.dwVolumeSerialNumber ||
               held.nFileIndexHigh != found.nFileIndexHigh ||
               held.nFileIndexLow != found.nFileIndexLow) {
      problem = kWalkLiesElsewhere;
    } else if (!DeleteEntryIn(walk->levels[level - 1], walk->path + start, length, folder,
                              kEntryFolder)) {
      problem = kWalkCannotOpen;
    }
  }
  error = GetLastError();
  CloseHandleAndClear(&folder);
  CloseHandleAndClear(&walk->levels[level]);
  SetLastError(error);
  return problem;
}

wchar_t* CopyWalkLevel(const FolderWalk* walk, size_t level) {
  const size_t length = LevelEnd(walk->path, walk->topLength, level);
  wchar_t* copy = new wchar_t[length + 1];
  memcpy(copy, walk->path, length * sizeof(wchar_t));
  copy[length] = L'\0';
  return copy;
}
