// Path text: cutting and climbing path components and resolving paths the
// way the file system does (to keep operations inside a given folder); and
// the plain operations by path of the install layout (folders created, paths
// tested). Nothing here logs. Strings follow the rules of strings.h.
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

// Returns TRUE when `path` begins with `folder` (an absolute path without a
// trailing backslash) and, resolved the way the file system resolves it
// ("." and ".." components, repeated backslashes), lies strictly below
// `folder`, while every directory on the way to it resolves to `folder` or
// below; FALSE otherwise, also for an empty or relative `folder`. Guards the
// operations that must not act outside a given folder against names read
// from files.
BOOL PathStaysInside(const wchar_t* folder, const wchar_t* path);

// Returns TRUE when the full path `path` begins with the full path `folder`
// (not empty, no trailing backslash), a backslash and a name; FALSE otherwise.
// Compares the text only: `path` is resolved (CopyFullPath) by the caller.
BOOL LiesBelow(const wchar_t* folder, const wchar_t* path);

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
