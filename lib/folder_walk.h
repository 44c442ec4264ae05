// Folders walked by handles. A folder that the caller trusts (the Programs
// folder that the system names, a drive's root, the folder that a caller of
// the library names) is opened by its path; each level below it is opened
// relative to the handle of the level above, by its own name, and judged
// through its own handle: it must be the object itself, not a symbolic link,
// junction or mount point nor reached through one (Wine follows a link at the
// last name even when asked not to; the object then lies elsewhere than its
// folder and name say), and of the kind asked for. The levels stay open while
// the caller works below them, so that what is done there happens in the
// folder that was judged, whatever becomes of the names above it meanwhile.
// New folders and files are made only with FILE_CREATE, which makes nothing
// where anything, a link included, stands. Every open asks to be identified
// only (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION), so that a pipe in a
// file's place cannot impersonate the caller. Nothing here logs: the results
// say why a level was not taken, and the operations that act log it. Strings
// follow the rules of strings.h; handles are closed with CloseHandleAndClear
// (release.h).
#pragma once

#include <windows.h>
#include <winternl.h>

// The system's answer to an open of a name whose object is marked for
// deletion in the old way and still held by another program
// (STATUS_DELETE_PENDING); GetLastError gives 5 for it, as for a refusal.
constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056);
// The system's answer to an open that the sharing of another handle refuses.
constexpr NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043);

// Why a level, a folder or a file, was not taken.
enum WalkProblem {
  kWalkSound = 0,      // taken: the object itself, of the kind asked for
  kWalkMissing,        // nothing of that name is there
  kWalkCannotOpen,     // it cannot be opened, judged or made; GetLastError tells why
  kWalkIsLink,         // a symbolic link, junction or mount point, or a link that leads nowhere
  kWalkLiesElsewhere,  // the system followed a link at the name: the object lies elsewhere
  kWalkNotFolder,      // something other than a folder stands where a folder is asked for
  kWalkIsFolder,       // a folder stands where a file is asked for
  kWalkHasNames,       // a file that has more than one name (hard links)
  kWalkDeletePending,  // marked for deletion, kept until another program lets go of it
};

// Returns a static text that names `problem` after a path in the log: "is a
// link (a reparse point)", "is not there", ...
const char* DescribeWalkProblem(WalkProblem problem);

// What an entry is taken as.
enum EntryKind {
  kEntryFolder,
  kEntryFile,
  kEntryFileWithOneName,  // a file that has no other name (kWalkHasNames otherwise)
};

// Opens the folder at the full path `path` as the path names it (links on the
// way are the path's own) for listing and for opens below it, with `access`
// besides. Returns the handle, or INVALID_HANDLE_VALUE with GetLastError
// telling why. The caller closes it.
HANDLE OpenTrustedFolder(const wchar_t* path, ACCESS_MASK access);

// Opens or makes the object `name` (`length` characters; the empty name
// opens the folder itself again) relative to the folder open at `folder` with
// NtCreateFile, `disposition` and `options`, asking to be identified only and
// for the object at the name itself; SYNCHRONIZE and FILE_READ_ATTRIBUTES are
// added to `access`, and any sharing is allowed. Sets *answer (when not null)
// to the system's status. Returns the handle, or INVALID_HANDLE_VALUE with
// the system's error as the last error. The caller closes the handle.
HANDLE OpenRelative(HANDLE folder, const wchar_t* name, size_t length, ACCESS_MASK access,
                    ULONG disposition, ULONG options, NTSTATUS* answer);

// Returns TRUE when another handle keeps the entry `name` of the folder open
// at `folder` from being opened for deletion by the caller alone (a sharing
// violation): some program holds it open.
BOOL IsHeldElsewhere(HANDLE folder, const wchar_t* name, size_t length);

// Judges the object open at `object`, found in the folder open at `folder`
// under `name` (`length` characters), as `kind`: kWalkSound when it is that
// entry itself, as no link, of that kind; otherwise why not. A reparse point
// is a link only when its tag is a name surrogate (symbolic link, junction,
// mount point); a compressed, deduplicated or cloud file is the file itself.
WalkProblem JudgeEntry(HANDLE folder, HANDLE object, const wchar_t* name, size_t length,
                       EntryKind kind);

// Returns the ntdll function `name`, or null; ntdll is in every process, and
// nothing is loaded. Cast it to the function's own type.
void (*FindNtdllFunction(const char* name))();

// Opens the entry `name` (`length` characters: one name, no separator) of the
// folder open at `folder` itself, with `access` (SYNCHRONIZE and
// FILE_READ_ATTRIBUTES are always added), and judges it as `kind`. Returns the
// handle with *problem set to kWalkSound; or INVALID_HANDLE_VALUE with
// *problem saying why (kWalkDeletePending for a name whose deletion waits
// for another program), having closed what it opened. Where `folder` may not
// be listed, the entry is judged by its open alone: its attributes (Windows
// opens a link itself) and its own final path (Wine follows a link at the
// name). A link that leads nowhere shows as kWalkIsLink on Windows; Wine
// neither opens nor lists one, and it shows as kWalkMissing there. The caller
// closes the handle.
HANDLE OpenEntry(HANDLE folder, const wchar_t* name, size_t length, EntryKind kind,
                 ACCESS_MASK access, WalkProblem* problem);

// Makes the folder or file (`kind`) `name` in the folder open at `folder`
// with FILE_CREATE and returns it open with `access`, setting *created to
// TRUE; where something stands at the name already, returns it as OpenEntry
// does, with *created FALSE (and kWalkIsLink for a link that leads nowhere,
// which stands in the way of the creation under Wine too). Where the name is
// taken by an entry whose deletion waits for another program, it tries again
// after short waits (backoff.h), then gives kWalkDeletePending.
// The caller closes the handle.
HANDLE CreateEntry(HANDLE folder, const wchar_t* name, size_t length, EntryKind kind,
                   ACCESS_MASK access, BOOL* created, WalkProblem* problem);

// The folders of one walk, held open. Level 0 is the trusted top, opened by
// its path; level i below it was opened relative to level i - 1. Made by
// WalkFolders and released by EndFolderWalk, whatever WalkFolders returned.
struct FolderWalk {
  wchar_t* path;        // the path walked: a copy of the caller's
  size_t topLength;     // how many characters of `path` name the top
  HANDLE* levels;       // the handles of the levels held, outermost first
  size_t count;         // how many levels are held
  size_t depth;         // how many levels the path has, the top included
  size_t firstCreated;  // the first level that the walk made; `depth` when it made none
  WalkProblem problem;  // why level `count` was not taken; kWalkSound when count == depth
  DWORD error;          // the system's error for a level that could not be opened or made
};

// Walks the full path `path` of a folder (no trailing backslash, but for a
// root; no empty name): its first `topLength` characters name the trusted top, opened with
// OpenTrustedFolder; each name after it is taken as a folder below the level
// before, held open with `access` and listing. Without `create`, a level that
// the caller may pass but not list (Windows\Temp for a standard user), or that
// another program holds without sharing reading, is held without listing
// (what it holds is judged by its open alone, see OpenEntry; FolderHoldsEntries
// answers FALSE for it). With `create`, a level that is missing is made
// (FILE_CREATE), and so is a missing top, by its path (the system named
// it). Stops at the first level that is not taken. Returns TRUE when every
// level is held; FALSE otherwise, with walk->problem saying why level
// walk->count was not taken. The caller releases the walk with EndFolderWalk.
BOOL WalkFolders(const wchar_t* path, size_t topLength, BOOL create, ACCESS_MASK access,
                 FolderWalk* walk);

// Closes the levels of `walk` that are still open, innermost first, and frees
// what WalkFolders allocated. Safe on a walk that is zeroed or already ended.
void EndFolderWalk(FolderWalk* walk);

// Returns a new wide string holding the path of level `level` of `walk`. The
// caller releases it with FreeAndClear.
wchar_t* CopyWalkLevel(const FolderWalk* walk, size_t level);

// Returns where the name of level `level` (at least 1) of `walk` begins in
// walk->path, and sets *length to its length in characters.
size_t WalkLevelName(const FolderWalk* walk, size_t level, size_t* length);
