// Path helpers: cutting and climbing path components, creating folders, and
// resolving paths the way the file system does, to keep operations inside a
// given folder. Strings follow the rules of strings.h.
#pragma once

#include <windows.h>

// Components that ClimbDirectories removes: the program's file lies four
// directories below the install root.
constexpr int kLevelsBelowInstallRoot = 5;  // four directories and the file name

// Removes one trailing backslash, then everything after the last backslash,
// which stays. Returns TRUE when a backslash was found, FALSE otherwise (the
// trailing backslash is gone even then). Changes `path` in place.
BOOL CutLastComponent(wchar_t* path);

// Copies `source` into `destination` (room for at least the source's length
// + 1 characters) and removes its last five components there, climbing no
// further than the drive. The result has no trailing backslash unless it is a
// drive root.
void ClimbDirectories(const wchar_t* source, wchar_t* destination);

// Creates `path` and every missing parent, top down. Failures, existing
// levels included, are ignored. Returns 0 always.
int CreateDirectoryTree(const wchar_t* path);

// Returns TRUE when the runtime library's _wstat succeeds on `path` (a file or
// a directory), FALSE otherwise.
BOOL PathExists(const wchar_t* path);

// Returns TRUE when `path` exists or was created, FALSE when creating it
// failed. Parents are not created.
BOOL EnsureDirectory(const wchar_t* path);

// Creates one directory whose access list gives the Everyone group wide
// rights, inherited by sub-folders. Failures are ignored. Returns 0 always.
int CreateOpenDirectory(const wchar_t* path);

// Returns TRUE when `path` begins with `folder` (an absolute path without a
// trailing backslash) and, resolved the way the file system resolves it
// ("." and ".." components, repeated backslashes), lies strictly below
// `folder`, while every directory on the way to it resolves to `folder` or
// below; FALSE otherwise, also for an empty or relative `folder`. Guards the
// operations that must not act outside a given folder against names read
// from files.
BOOL PathStaysInside(const wchar_t* folder, const wchar_t* path);

// Returns a new wide string holding `path` as the file system resolves it
// (GetFullPathNameW: "." and ".." applied, forward slashes and repeated
// backslashes made one backslash, trailing dots and blanks of names dropped,
// device names turned into device paths), or null when it cannot. The caller
// releases it with FreeAndClear.
wchar_t* CopyFullPath(const wchar_t* path);

// Returns a new wide string holding the short (8.3) form of the full path
// `path` of an existing file or folder, of any length, or null when the file
// system gives none. The caller releases it with FreeAndClear.
wchar_t* CopyShortPath(const wchar_t* path);

// Why OpenObjectItself gave no handle.
enum ObjectProblem {
  kObjectIsItself = 0,      // opened: the object that the path names itself
  kObjectMissing,           // nothing is there (the file or a folder on the way)
  kObjectCannotOpen,        // it is there but cannot be opened; GetLastError tells why
  kObjectIsReparsePoint,    // a symbolic link, junction or mount point
  kObjectLiesElsewhere,     // the system reached it through a link: it lies elsewhere
};

// Opens the object at `path` (a full path) itself, never what a link there
// leads to: CreateFileW with `access`, sharing read, write and delete,
// `disposition` and `flags` together with FILE_FLAG_OPEN_REPARSE_POINT and
// FILE_FLAG_BACKUP_SEMANTICS (so that folders open too). The object must not
// be a reparse point, and must lie where its path says: its final path is the
// final path of the folder that holds it followed by its own name, so that a
// link that the system follows even so (Wine does, for links to files) shows.
// Links above it, in the folders on the way, are allowed here; a caller that
// must not pass them checks each level. Returns the handle, which the caller
// closes with CloseHandleAndClear, and sets *problem to kObjectIsItself; or
// returns INVALID_HANDLE_VALUE with *problem saying why, having closed what it
// opened (a link opened as such is left as it was). With CREATE_NEW (or
// OPEN_ALWAYS, which is tried as OPEN_EXISTING and then CREATE_NEW) nothing is
// created through a link, dangling or not.
HANDLE OpenObjectItself(const wchar_t* path, DWORD access, DWORD disposition, DWORD flags,
                        ObjectProblem* problem);

// Returns a static text naming `problem` for the log ("is a link", ...).
const char* DescribeObjectProblem(ObjectProblem problem);
