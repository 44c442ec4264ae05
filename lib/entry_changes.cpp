#include "entry_changes.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "backoff.h"
#include "folder_contents.h"
#include "release.h"
#include "strings.h"

namespace {

// The temporary file of a placement: "~menutools-", the process and a tick
// count in hexadecimal, so that runs side by side use names of their own.
constexpr wchar_t kTemporaryStart[] = L"~menutools-";
constexpr wchar_t kTemporaryEnd[] = L".tmp";
constexpr size_t kTemporaryStartLength = sizeof(kTemporaryStart) / sizeof(wchar_t) - 1;
constexpr size_t kTemporaryEndLength = sizeof(kTemporaryEnd) / sizeof(wchar_t) - 1;
constexpr int kHexadecimal = 16;
constexpr size_t kHexDigitsCapacity = 9;  // a 32-bit number and its terminator
constexpr size_t kTemporaryCapacity =
    kTemporaryStartLength + 2 * kHexDigitsCapacity + kTemporaryEndLength;

// NtSetInformationFile is not declared by every SDK's headers. The classes:
// FileRenameInformation (10) and FileRenameInformationEx (65) share one layout,
// whose first member is ReplaceIfExists in the one and the flags in the other;
// FileDispositionInformation (13) takes a BOOLEAN, FileDispositionInformationEx
// (64) flags.
constexpr char kSetInformationFile[] = "NtSetInformationFile";
constexpr ULONG kFileRenameInformation = 10;
constexpr ULONG kFileRenameInformationEx = 65;
constexpr ULONG kFileDispositionInformation = 13;
constexpr ULONG kFileDispositionInformationEx = 64;
constexpr ULONG kRenameReplaceIfExists = 0x1;   // FILE_RENAME_REPLACE_IF_EXISTS
constexpr ULONG kRenamePosixSemantics = 0x2;    // FILE_RENAME_POSIX_SEMANTICS
constexpr ULONG kDispositionDelete = 0x1;       // FILE_DISPOSITION_DELETE
constexpr ULONG kDispositionPosixSemantics = 0x2;  // FILE_DISPOSITION_POSIX_SEMANTICS
constexpr ULONG kDispositionKeep = 0;           // FILE_DISPOSITION_DO_NOT_DELETE
using SetInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE file, IO_STATUS_BLOCK* status,
                                                    void* information, ULONG length,
                                                    ULONG informationClass);
struct RenameInformation {
  ULONG flags;  // ReplaceIfExists for the old class
  HANDLE rootDirectory;
  ULONG fileNameLength;
  WCHAR fileName[1];
};

// What the system answered that it does not know, kept for the rest of the
// run so that each POSIX call is asked once.
bool gPosixRenameUnknown = false;
bool gPosixDeletionUnknown = false;

// Whether `status` says that the system does not know a call.
bool IsUnknownCall(NTSTATUS status) {
  return status == kStatusNotImplemented || status == kStatusInvalidInfoClass ||
         status == kStatusInvalidParameter;
}

NTSTATUS SetInformation(HANDLE file, void* information, ULONG length, ULONG informationClass) {
  const SetInformationFileFunction setInformation =
      reinterpret_cast<SetInformationFileFunction>(FindNtdllFunction(kSetInformationFile));
  IO_STATUS_BLOCK status;
  const NTSTATUS result = setInformation != nullptr
                              ? setInformation(file, &status, information, length, informationClass)
                              : kStatusNotImplemented;
  if (!NT_SUCCESS(result)) {
    SetLastError(RtlNtStatusToDosError(result));
  }
  return result;
}

// Renames the file open at `file` to `name` in the folder open at `folder`
// by `step` (kPlaceByNewName, kPlaceByPosixRename or kPlaceByRename).
// Returns the system's status.
NTSTATUS RenameInto(HANDLE file, HANDLE folder, const wchar_t* name, PlacingStep step) {
  const size_t nameBytes = wcslen(name) * sizeof(wchar_t);
  const size_t size = sizeof(RenameInformation) + nameBytes;
  char* buffer = new char[size];
  RenameInformation* rename = reinterpret_cast<RenameInformation*>(buffer);
  NTSTATUS result = kStatusSuccess;

  memset(buffer, 0, size);
  rename->flags = step == kPlaceByNewName       ? 0
                  : step == kPlaceByPosixRename ? kRenameReplaceIfExists | kRenamePosixSemantics
                                                : kRenameReplaceIfExists;
  rename->rootDirectory = folder;
  rename->fileNameLength = static_cast<ULONG>(nameBytes);
  memcpy(rename->fileName, name, nameBytes);
  result = SetInformation(file, rename, static_cast<ULONG>(size),
                          step == kPlaceByPosixRename ? kFileRenameInformationEx
                                                      : kFileRenameInformation);
  FreeBytesAndClear(&buffer);
  return result;
}

// Writes `size` bytes into the file open at `file` from its start, cuts it
// there, and flushes it. Returns TRUE when all went; FALSE with the last
// error otherwise.
BOOL WriteWhole(HANDLE file, const void* bytes, DWORD size) {
  DWORD written = 0;
  return WriteFile(file, bytes, size, &written, /*lpOverlapped=*/nullptr) && written == size &&
         SetEndOfFile(file) && FlushFileBuffers(file);
}

// Objects that this run marked for deletion in the old way and that another
// program still held when the waits ran out: their names stay until it lets
// go. Windows refuses to open such an object (kStatusDeletePending); Wine
// opens it and shows nothing of the mark, so they are known by identity.
constexpr size_t kPendingCapacity = 8;
BY_HANDLE_FILE_INFORMATION gPending[kPendingCapacity];
size_t gPendingCount = 0;

bool IsSameObject(const BY_HANDLE_FILE_INFORMATION* one, const BY_HANDLE_FILE_INFORMATION* other) {
  return one->dwVolumeSerialNumber == other->dwVolumeSerialNumber &&
         one->nFileIndexHigh == other->nFileIndexHigh &&
         one->nFileIndexLow == other->nFileIndexLow;
}

// OpenEntry, waiting while another program holds the entry without sharing
// what `access` asks for.
HANDLE OpenEntryWaiting(HANDLE folder, const wchar_t* name, size_t length, EntryKind kind,
                        ACCESS_MASK access, WalkProblem* problem) {
  HANDLE object = INVALID_HANDLE_VALUE;
  for (unsigned attempt = 1;; ++attempt) {
    object = OpenEntry(folder, name, length, kind, access, problem);
    // Error 32 is the image of STATUS_SHARING_VIOLATION alone.
    if (*problem != kWalkCannotOpen || GetLastError() != ERROR_SHARING_VIOLATION ||
        !WaitBeforeRetry(attempt)) {
      return object;
    }
  }
}

// Writes `size` bytes into the file at `name` in the folder open at
// `folder`, judged there as a plain file of one name. Returns TRUE when all
// went; FALSE with the last error otherwise, which stays the refusal of the
// replacement when the entry is no such file (a link, a second name).
BOOL WriteInPlace(HANDLE folder, const wchar_t* name, const void* bytes, DWORD size) {
  const DWORD refusal = GetLastError();
  WalkProblem problem = kWalkCannotOpen;
  HANDLE file = OpenEntryWaiting(folder, name, wcslen(name), kEntryFileWithOneName,
                                 FILE_WRITE_DATA, &problem);
  DWORD error = problem == kWalkSound || problem == kWalkCannotOpen ? GetLastError() : refusal;
  const BOOL written = file != INVALID_HANDLE_VALUE && WriteWhole(file, bytes, size);
  if (file != INVALID_HANDLE_VALUE) {
    error = GetLastError();
  }
  CloseHandleAndClear(&file);
  SetLastError(error);
  return written;
}

// Makes the temporary name of this process now in `temporary` (room for
// kTemporaryCapacity characters).
void MakeTemporaryName(wchar_t* temporary) {
  wchar_t digits[kHexDigitsCapacity];
  wcscpy(temporary, kTemporaryStart);
  wcscat(temporary, _ultow(GetCurrentProcessId(), digits, kHexadecimal));
  wcscat(temporary, L"-");
  wcscat(temporary, _ultow(GetTickCount(), digits, kHexadecimal));
  wcscat(temporary, kTemporaryEnd);
}

// Deletes the file of the caller's own open at `file` under `name` in the
// folder open at `folder`, and closes it, so that no temporary file stays.
void DiscardOwnFile(HANDLE folder, HANDLE* file, const wchar_t* name) {
  BOOL nameGoesAtClose = FALSE;
  const DWORD error = GetLastError();
  if (NT_SUCCESS(MarkForDeletion(*file, &nameGoesAtClose))) {
    // An indexer or a scanner may be looking at it.
    CloseDeletedEntry(folder, name, wcslen(name), file, nameGoesAtClose);
  }
  CloseHandleAndClear(file);
  SetLastError(error);
}

// Puts the whole file open at `file` in place as `name` in the folder open
// at `folder`, starting with `step`. Where the old rules refuse to replace
// the plain, writable file of one name there because another program has it
// open (`mayWait`), the replacement is tried again after short waits, since
// most holds end soon (and Wine shows no other sign of an old file whose
// deletion waits for its holder); then the bytes are written into that file.
// Sets *inPlace. Returns TRUE when the file is in place; FALSE with the last
// error.
BOOL Place(HANDLE folder, HANDLE file, const wchar_t* name, PlacingStep step, const void* bytes,
           DWORD size, bool mayWait, BOOL* inPlace) {
  unsigned attempt = 0;
  while (step != kPlaceDone && step != kPlaceFailed) {
    NTSTATUS status = kStatusSuccess;
    if (step == kPlaceByWritingInPlace) {
      *inPlace = TRUE;
      status = WriteInPlace(folder, name, bytes, size) ? kStatusSuccess : kStatusAccessDenied;
    } else {
      status = RenameInto(file, folder, name, step);
    }
    const DWORD error = GetLastError();
    const PlacingStep next = NextPlacingStep(step, status, gPosixRenameUnknown);
    gPosixRenameUnknown =
        gPosixRenameUnknown || (step == kPlaceByPosixRename && next == kPlaceByRename);
    if (next != kPlaceByWritingInPlace || !mayWait || !WaitBeforeRetry(++attempt)) {
      step = next;
    }
    SetLastError(error);
  }
  return step == kPlaceDone;
}

// Marks the folder open at `object`, held for listing at `listing`, for
// deletion as DeleteEntryIn does, waiting while it is not empty only for
// names whose deletion waits for another program.
BOOL MarkHeldFolder(HANDLE parent, const wchar_t* name, size_t length, HANDLE object,
                    HANDLE listing, BOOL* nameGoesAtClose) {
  for (unsigned attempt = 1;; ++attempt) {
    if (DeleteEntryIn(parent, name, length, object, kEntryFolder, nameGoesAtClose)) {
      return TRUE;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_DIR_NOT_EMPTY ||
        LookThroughFolder(listing, /*folderPath=*/nullptr, /*removeLeftFiles=*/false) !=
            kFolderHoldsOnlyPending ||
        !WaitBeforeRetry(attempt)) {
      SetLastError(error);
      return FALSE;
    }
  }
}

}  // namespace

bool IsTemporaryName(const wchar_t* name, size_t length, DWORD* process) {
  wchar_t* end = nullptr;
  if (length <= kTemporaryStartLength + kTemporaryEndLength ||
      _wcsnicmp(name, kTemporaryStart, kTemporaryStartLength) != 0 ||
      _wcsnicmp(name + length - kTemporaryEndLength, kTemporaryEnd, kTemporaryEndLength) != 0) {
    return false;
  }
  const wchar_t* digits = name + kTemporaryStartLength;
  const wchar_t* last = name + length - kTemporaryEndLength;
  const wchar_t* dash = wmemchr(digits, L'-', static_cast<size_t>(last - digits));
  if (dash == nullptr || dash == digits || dash + 1 == last ||
      dash - digits >= static_cast<ptrdiff_t>(kHexDigitsCapacity) ||
      last - dash > static_cast<ptrdiff_t>(kHexDigitsCapacity)) {
    return false;
  }
  for (const wchar_t* c = digits; c < last; ++c) {
    if (c != dash && !iswxdigit(*c)) {
      return false;
    }
  }
  *process = static_cast<DWORD>(wcstoul(digits, &end, kHexadecimal));
  return end == dash;
}

bool IsNotedPending(HANDLE object) {
  BY_HANDLE_FILE_INFORMATION identity;
  if (gPendingCount == 0 || !GetFileInformationByHandle(object, &identity)) {
    return false;
  }
  for (size_t i = 0; i < gPendingCount && i < kPendingCapacity; ++i) {
    if (IsSameObject(&gPending[i], &identity)) {
      return true;
    }
  }
  return false;
}

PlacingStep NextPlacingStep(PlacingStep tried, NTSTATUS status, BOOL posixUnknown) {
  const PlacingStep replacement = posixUnknown ? kPlaceByRename : kPlaceByPosixRename;
  if (NT_SUCCESS(status)) {
    return kPlaceDone;
  }
  switch (tried) {
    case kPlaceByNewName:
      return status == kStatusObjectNameCollision ? replacement : kPlaceFailed;
    case kPlaceByPosixRename:
      if (IsUnknownCall(status)) {
        return kPlaceByRename;
      }
      return status == kStatusAccessDenied || status == kStatusSharingViolation
                 ? kPlaceByWritingInPlace
                 : kPlaceFailed;
    case kPlaceByRename:
      return status == kStatusAccessDenied || status == kStatusSharingViolation
                 ? kPlaceByWritingInPlace
                 : kPlaceFailed;
    default:
      return kPlaceFailed;
  }
}

DeletionStep NextDeletionStep(DeletionStep tried, NTSTATUS status) {
  if (NT_SUCCESS(status)) {
    return kDeleteDone;
  }
  return tried == kDeleteByPosixMark && IsUnknownCall(status) ? kDeleteByMark : kDeleteFailed;
}

NTSTATUS MarkForDeletion(HANDLE object, BOOL* nameGoesAtClose) {
  DeletionStep step = gPosixDeletionUnknown ? kDeleteByMark : kDeleteByPosixMark;
  NTSTATUS status = kStatusSuccess;
  *nameGoesAtClose = FALSE;
  while (step == kDeleteByPosixMark || step == kDeleteByMark) {
    ULONG flags = kDispositionDelete | kDispositionPosixSemantics;
    BOOLEAN deleteFile = TRUE;
    status = step == kDeleteByPosixMark
                 ? SetInformation(object, &flags, sizeof(flags), kFileDispositionInformationEx)
                 : SetInformation(object, &deleteFile, sizeof(deleteFile),
                                  kFileDispositionInformation);
    *nameGoesAtClose = step == kDeleteByPosixMark && NT_SUCCESS(status);
    const DeletionStep next = NextDeletionStep(step, status);
    gPosixDeletionUnknown =
        gPosixDeletionUnknown || (step == kDeleteByPosixMark && next == kDeleteByMark);
    step = next;
  }
  return status;
}

HANDLE OpenEntryToDelete(HANDLE folder, const wchar_t* name, size_t length, EntryKind kind,
                         WalkProblem* problem) {
  return OpenEntryWaiting(folder, name, length, kind, DELETE, problem);
}

BOOL DeleteEntryIn(HANDLE folder, const wchar_t* name, size_t length, HANDLE object,
                   EntryKind kind, BOOL* nameGoesAtClose) {
  DWORD error = ERROR_SUCCESS;
  if (!NT_SUCCESS(MarkForDeletion(object, nameGoesAtClose))) {
    return FALSE;
  }
  if (JudgeEntry(folder, object, name, length, kind) == kWalkSound) {
    return TRUE;
  }
  // Not the entry it was judged to be any more: it stays. The mark is taken
  // back in the way it was made, with every flag cleared.
  error = GetLastError();
  ULONG keep = kDispositionKeep;
  BOOLEAN deleteFile = FALSE;
  if (*nameGoesAtClose) {
    SetInformation(object, &keep, sizeof(keep), kFileDispositionInformationEx);
  } else {
    SetInformation(object, &deleteFile, sizeof(deleteFile), kFileDispositionInformation);
  }
  *nameGoesAtClose = FALSE;
  SetLastError(error == ERROR_SUCCESS ? ERROR_CANT_ACCESS_FILE : error);
  return FALSE;
}

WalkProblem CloseDeletedEntry(HANDLE folder, const wchar_t* name, size_t length, HANDLE* object,
                              BOOL nameGoesAtClose) {
  BY_HANDLE_FILE_INFORMATION identity;
  const bool known = *object != INVALID_HANDLE_VALUE && *object != nullptr &&
                     GetFileInformationByHandle(*object, &identity);
  CloseHandleAndClear(object);
  if (nameGoesAtClose) {
    return kWalkMissing;
  }
  bool lookedAgain = false;
  for (unsigned attempt = 1;; ++attempt) {
    NTSTATUS status = kStatusSuccess;
    BY_HANDLE_FILE_INFORMATION found;
    HANDLE standing = OpenRelative(folder, name, length, /*access=*/0, FILE_OPEN,
                                   /*options=*/0, &status);
    const DWORD error = GetLastError();
    // The same object at the name: another program still holds it, unless
    // nobody does (Wine deletes by path, and not when the name was swapped
    // away at the close: the object then simply stays).
    const bool same = NT_SUCCESS(status) && known &&
                      GetFileInformationByHandle(standing, &found) &&
                      IsSameObject(&identity, &found);
    CloseHandleAndClear(&standing);
    const bool pending = status == kStatusDeletePending ||
                         (same && IsHeldElsewhere(folder, name, length));
    // Held by nobody now: the other program let go meanwhile, and the last
    // handle to close may have been this look's own, which took the name
    // with it. One more look tells a name gone from one that stays.
    if (!pending && same && !lookedAgain) {
      lookedAgain = true;
      continue;
    }
    if (!pending) {
      return NT_SUCCESS(status) || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                 ? kWalkSound
                 : kWalkMissing;
    }
    if (!WaitBeforeRetry(attempt)) {
      if (known) {
        gPending[gPendingCount++ % kPendingCapacity] = identity;
      }
      return kWalkDeletePending;
    }
  }
}

WalkProblem ReplaceFileIn(HANDLE folder, const wchar_t* name, const void* bytes, DWORD size,
                          WalkProblem* found, BOOL* inPlace) {
  wchar_t temporary[kTemporaryCapacity];
  HANDLE existing = INVALID_HANDLE_VALUE;
  HANDLE file = INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION information;
  WalkProblem problem = kWalkCannotOpen;
  DWORD error = ERROR_SUCCESS;
  bool mayWait = false;

  *inPlace = FALSE;
  // An old file whose deletion waits for another program keeps its name
  // until then, and no new file can take it: a short hold is waited for.
  for (unsigned attempt = 1;; ++attempt) {
    existing =
        OpenEntry(folder, name, wcslen(name), kEntryFileWithOneName, /*access=*/0, found);
    error = GetLastError();
    mayWait = *found == kWalkSound && GetFileInformationByHandle(existing, &information) &&
              (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
    CloseHandleAndClear(&existing);
    if (*found != kWalkDeletePending || !WaitBeforeRetry(attempt)) {
      break;
    }
  }
  if (*found == kWalkIsFolder || *found == kWalkNotFolder || *found == kWalkCannotOpen ||
      *found == kWalkDeletePending) {
    problem = *found == kWalkNotFolder ? kWalkCannotOpen : *found;
    goto Cleanup;
  }
  // Only a new file of the caller's own is written, never one that stood
  // there; flushed before it takes the name, so that the name only ever
  // leads to a whole file, whatever happens to the system meanwhile.
  MakeTemporaryName(temporary);
  file = OpenRelative(folder, temporary, wcslen(temporary), GENERIC_WRITE | DELETE, FILE_CREATE,
                      FILE_NON_DIRECTORY_FILE, /*answer=*/nullptr);
  if (file == INVALID_HANDLE_VALUE || !WriteWhole(file, bytes, size)) {
    error = GetLastError();
    goto Cleanup;
  }
  problem = Place(folder, file, name,
                  *found == kWalkMissing ? kPlaceByNewName
                  : gPosixRenameUnknown  ? kPlaceByRename
                                         : kPlaceByPosixRename,
                  bytes, size, mayWait, inPlace)
                ? kWalkSound
                : kWalkCannotOpen;
  error = GetLastError();
  if (problem == kWalkSound && !*inPlace) {
    CloseHandleAndClear(&file);  // it is the file at the name now
  }

Cleanup:
  if (file != INVALID_HANDLE_VALUE && file != nullptr) {
    // Written in place, refused or failed: the temporary file goes.
    DiscardOwnFile(folder, &file, temporary);
  }
  SetLastError(error);
  return problem;
}

WalkProblem RemoveWalkLevel(FolderWalk* walk, size_t level) {
  size_t length = 0;
  const size_t start = WalkLevelName(walk, level, &length);
  const wchar_t* name = walk->path + start;
  BY_HANDLE_FILE_INFORMATION held;
  BY_HANDLE_FILE_INFORMATION found;
  WalkProblem problem = kWalkCannotOpen;
  BOOL nameGoesAtClose = FALSE;
  DWORD error = ERROR_SUCCESS;
  HANDLE folder = OpenEntryToDelete(walk->levels[level - 1], name, length, kEntryFolder, &problem);

  if (problem == kWalkSound) {
    if (!GetFileInformationByHandle(walk->levels[level], &held) ||
        !GetFileInformationByHandle(folder, &found)) {
      problem = kWalkCannotOpen;
    } else if (!IsSameObject(&held, &found)) {
      problem = kWalkLiesElsewhere;
    } else if (!MarkHeldFolder(walk->levels[level - 1], name, length, folder,
                               walk->levels[level], &nameGoesAtClose)) {
      problem = kWalkCannotOpen;
    }
  }
  error = GetLastError();
  CloseHandleAndClear(&walk->levels[level]);
  if (problem == kWalkSound) {
    problem = CloseDeletedEntry(walk->levels[level - 1], name, length, &folder, nameGoesAtClose);
    // Gone, going when another program lets go, or something else there now.
    problem = problem == kWalkMissing ? kWalkSound
              : problem == kWalkSound ? kWalkLiesElsewhere
                                      : problem;
  }
  CloseHandleAndClear(&folder);
  SetLastError(error);
  return problem;
}
