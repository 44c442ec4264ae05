// Entry changes: files put in place and entries deleted in a folder held
// open (folder_walk.h), by Windows' rules for objects that other programs
// hold: the shell reading a shortcut, an indexer or a scanner opening every
// new file, an Explorer window showing a folder.
// - A rename that replaces a file, and a deletion, use POSIX semantics where
//   the system has them (the name goes, or is taken over, at once, whoever
//   holds the object); where the system does not know the call, the old call
//   serves, and the answer is kept for the rest of the run.
// - A replacement that the old rules refuse because the old file is open is
//   written into that file itself, when it is a plain file of one name.
// - A step refused because another program holds an object for a moment is
//   tried again after short waits within the run's budget (backoff.h); where
//   nothing is held, nothing waits.
// - A file is put in place only whole, through a temporary file of the
//   caller's own (~menutools-<process>-<time>.tmp, hexadecimal), which never
//   stays behind; one that a run left when it was killed is removed by the
//   next run that meets it (folder_contents.h).
// Names are `length` characters long unless they end with a NUL; handles are
// closed with CloseHandleAndClear (release.h). Nothing here logs.
#pragma once

#include <windows.h>
#include <winternl.h>

#include "folder_walk.h"

// The system's answers that the choices below tell apart (NTSTATUS).
constexpr NTSTATUS kStatusSuccess = 0;
constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002);
constexpr NTSTATUS kStatusInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003);
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS kStatusDirectoryNotEmpty = static_cast<NTSTATUS>(0xC0000101);

// How a whole new file, written under a temporary name, takes its name.
enum PlacingStep {
  kPlaceByNewName,       // a rename that replaces nothing: the name was free
  kPlaceByPosixRename,   // FileRenameInformationEx, POSIX semantics, replacing
  kPlaceByRename,        // FileRenameInformation, replacing
  kPlaceByWritingInPlace,  // the bytes written into the plain file at the name
  kPlaceDone,
  kPlaceFailed,
};

// Returns the step after `tried` answered `status`; `posixUnknown` says that
// the system already answered that it does not know the POSIX rename. A
// system that does not know a call (not implemented, an unknown class or a
// parameter it does not take) gets the old call; a replacement refused
// because another program has the old file open gets the bytes written in
// place; a name taken meanwhile gets a replacement. kPlaceByWritingInPlace
// ends with kPlaceDone on success and kPlaceFailed otherwise.
PlacingStep NextPlacingStep(PlacingStep tried, NTSTATUS status, BOOL posixUnknown);

// How an object is marked for deletion.
enum DeletionStep {
  kDeleteByPosixMark,  // FileDispositionInformationEx, POSIX semantics
  kDeleteByMark,       // FileDispositionInformation
  kDeleteDone,
  kDeleteFailed,
};

// Returns the step after `tried` answered `status`, as NextPlacingStep does
// for a system that does not know the POSIX call.
DeletionStep NextDeletionStep(DeletionStep tried, NTSTATUS status);

// Marks the file or empty folder open at `object` (opened with DELETE
// access) for deletion. Sets *nameGoesAtClose to TRUE when the system took
// POSIX semantics (the name goes when `object` is closed, whoever else holds
// it), FALSE when it took the old mark (the name stays until the last handle
// closes). Returns the system's status: kStatusSuccess, or why not (a folder
// that is not empty gives kStatusDirectoryNotEmpty), with the last error set.
NTSTATUS MarkForDeletion(HANDLE object, BOOL* nameGoesAtClose);

// Opens the entry `name` of the folder open at `folder` as OpenEntry does,
// with DELETE access besides `access`, waiting while another program holds
// it without sharing deletion. Returns the handle or INVALID_HANDLE_VALUE
// with *problem saying why (error 32 as the last error for a hold that
// outlasted the waits). The caller closes the handle.
HANDLE OpenEntryToDelete(HANDLE folder, const wchar_t* name, size_t length, EntryKind kind,
                         WalkProblem* problem);

// Deletes the entry `name` of the folder open at `folder`, which the caller
// opened there at `object` (OpenEntryToDelete, as `kind`): it is marked for
// deletion, then judged again, and the mark is taken back unless it is still
// that entry, so that a name swapped meanwhile costs nothing. The entry goes
// when `object` is closed (CloseDeletedEntry).
// Sets *nameGoesAtClose as MarkForDeletion does. Returns TRUE when it is
// marked; FALSE with GetLastError telling why otherwise (145 for a folder
// that is not empty, 5 for a read-only file, 1920 for an entry that changed).
BOOL DeleteEntryIn(HANDLE folder, const wchar_t* name, size_t length, HANDLE object,
                   EntryKind kind, BOOL* nameGoesAtClose);

// Closes `*object`, which the caller marked for deletion as the entry
// `name` of the folder open at `folder` (`nameGoesAtClose` as the mark
// said), and returns what its name leads to then: kWalkMissing once it is
// gone, waiting while the same object stands there because another program
// still holds it; kWalkDeletePending when the waits ran out first (the
// object is noted, so that IsNotedPending knows its name goes); kWalkSound when
// another entry stands at the name.
WalkProblem CloseDeletedEntry(HANDLE folder, const wchar_t* name, size_t length, HANDLE* object,
                              BOOL nameGoesAtClose);

// Puts `size` bytes as the file `name` into the folder open at `folder`:
// into a new file of the caller's own made there under a temporary name,
// written whole and flushed, which then takes the name (NextPlacingStep);
// whatever stood there is replaced as a name, never written into or
// followed, but where another program's hold on a plain file of one name
// refuses the replacement: then the bytes are written into that file, and
// *inPlace is set to TRUE. A name whose deletion waits for another program
// is waited for. Sets *found to what stood there: kWalkMissing (nothing),
// kWalkSound (a file of one name), kWalkIsLink or kWalkLiesElsewhere (a
// link), kWalkHasNames, kWalkDeletePending (a file whose deletion waits), or
// kWalkIsFolder (refused before anything is made). Returns kWalkSound when
// the file is in place; otherwise kWalkIsFolder, kWalkDeletePending, or
// kWalkCannotOpen with GetLastError telling why. No temporary file is left.
WalkProblem ReplaceFileIn(HANDLE folder, const wchar_t* name, const void* bytes, DWORD size,
                          WalkProblem* found, BOOL* inPlace);

// Removes the empty folder held at level `level` (at least 1, below
// walk->count) of `walk`: it is opened again, relative to the level above, by
// its name, with DELETE access (which the levels are not held with, so that
// others can still list them), judged, and must be the very folder held;
// then it is marked for deletion, waiting while its only entries are names
// whose deletion waits for another program, and both its handles are
// closed. Returns kWalkSound when its name is gone; kWalkDeletePending when
// another program still holds it (it goes when that program lets go);
// kWalkCannotOpen with GetLastError telling why it was refused (145 for a
// folder that is not empty, 32 for one held without sharing deletion); or why
// the folder at the name was not taken (kWalkLiesElsewhere too for a folder
// other than the one held, or another entry at its name afterwards). The
// level is closed in every case.
WalkProblem RemoveWalkLevel(FolderWalk* walk, size_t level);

// Whether `name` (`length` characters) is a temporary file's name as the
// programs make them: "~menutools-", the process and a tick count in
// hexadecimal, "-" between them, ".tmp". Sets *process to the process.
bool IsTemporaryName(const wchar_t* name, size_t length, DWORD* process);

// Whether the object open at `object` is one that this run marked for
// deletion in the old way and that another program still held when the
// waits ran out (CloseDeletedEntry): its name stays until that program lets
// go. Windows refuses to open such an object (kStatusDeletePending); Wine
// opens it and shows nothing of the mark.
bool IsNotedPending(HANDLE object);
