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

// Opens the entry `name` (`length` characters: one name, no separator) of the
// folder open at `folder` itself, with `access` (SYNCHRONIZE and
// FILE_READ_ATTRIBUTES are always added), and judges it as `kind`. Returns the
// handle with *problem set to kWalkSound; or INVALID_HANDLE_VALUE with
// *problem saying why, having closed what it opened. Where `folder` may not
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
// which stands in the way of the creation under Wine too).
// The caller closes the handle.
HANDLE CreateEntry(HANDLE folder, const wchar_t* name, size_t length, EntryKind kind,
                   ACCESS_MASK access, BOOL* created, WalkProblem* problem);

// Returns TRUE when the folder open at `folder` lists any entry but "." and
// "..", hidden ones and folders included; FALSE when it lists none, or when
// the listing fails.
BOOL FolderHoldsEntries(HANDLE folder);

// Marks the file or empty folder open at `object` (opened with DELETE
// access) for deletion: it goes when its last handle is closed, and only if
// its name still leads to it. Returns TRUE when the system accepted, FALSE
// otherwise with GetLastError telling why (145 for a folder that is not
// empty, 5 for a read-only file).
BOOL DeleteOpenObject(HANDLE object);

// Puts `size` bytes as the file `name` into the folder open at `folder`:
// where nothing stands at the name, they are written into a file made there
// with FILE_CREATE; otherwise into a new file made there under a temporary
// name, which is flushed and then renamed over `name` relative to the folder,
// so that a file that replaces another is whole. Whatever stands at the
// name is replaced as a name, never written into or followed: a file, a link,
// or one name of a file that has several.
// Sets *found to what stood there: kWalkMissing (nothing), kWalkSound (a file
// of one name), kWalkIsLink or kWalkLiesElsewhere (a link), kWalkHasNames, or
// kWalkIsFolder (a folder, which is refused before anything is made). Returns
// kWalkSound when the file is in place; otherwise kWalkIsFolder, or
// kWalkCannotOpen with GetLastError telling why, and no temporary file is left.
WalkProblem ReplaceFileIn(HANDLE folder, const wchar_t* name, const void* bytes, DWORD size,
                          WalkProblem* found);

// Deletes the entry `name` (`length` characters) of the folder open at
// `folder`, which the caller opened there (OpenEntry, with DELETE access, as
// `kind`) at `object`: it is marked for deletion, then judged again, and kept
// (the mark taken back) unless it is still that entry, so that a name swapped
// meanwhile costs nothing. The entry goes when `object`, which the caller closes, is closed;
// under Wine only while its name still leads to it. Returns TRUE when it is
// marked; FALSE with GetLastError telling why otherwise (145 for a folder
// that is not empty, 5 for a read-only file, 1920 for an entry that changed).
BOOL DeleteEntryIn(HANDLE folder, const wchar_t* name, size_t length, HANDLE object,
                   EntryKind kind);

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

// Removes the empty folder held at level `level` (at least 1, below
// walk->count) of `walk`: it is opened again, relative to the level above, by
// its name, with DELETE access (which the levels are not held with, so that
// others can still list them), judged, and must be the very folder held;
// then it is marked for deletion and both its handles are closed, so that it
// is gone before the level above is tried. Returns kWalkSound when the system
// accepted the removal; kWalkCannotOpen with GetLastError telling why it did
// not (145 for a folder that is not empty); or why the folder at the name was
// not taken (kWalkLiesElsewhere too for a folder other than the one held).
// The level is closed in every case.
WalkProblem RemoveWalkLevel(FolderWalk* walk, size_t level);

// Returns a new wide string holding the path of level `level` of `walk`. The
// caller releases it with FreeAndClear.
wchar_t* CopyWalkLevel(const FolderWalk* walk, size_t level);
