// Path helpers: cutting and climbing path components, creating folders, and
// resolving paths the way the file system does, to keep operations inside a
// given folder; and the rules that the start-menu operations share: which
// names may stand in a path, which objects are links, and which folders the
// system owns. Strings follow the rules of strings.h; refusals go to the log
// (lib/log.h).
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

// Returns TRUE when the object at `level` (a full path) may be acted on as
// itself: OpenObjectItself finds it itself, or finds nothing there
// (*missing is then TRUE). Otherwise logs "<refusal>: <level> <why>" and
// returns FALSE: a link, an object reached through one, or one that cannot
// be opened (with the system's error).
BOOL IsLevelItself(const wchar_t* level, const char* refusal, BOOL* missing);

// Returns TRUE when no level of the full path `path` below the folder `top`
// (no trailing backslash) is a link: each folder on the way from `top` down
// to `path`, and `path` itself, passes IsLevelItself, the first level that is
// not there ending the walk. Otherwise returns FALSE having logged the first
// level that does not pass, as IsLevelItself does. `path` lies below `top`,
// which is not judged itself.
BOOL NoLinkBelow(const wchar_t* top, const wchar_t* path, const char* refusal);

// Creates one folder at the full path `level` unless something is there, and
// judges it with IsLevelItself when it was created here or `judge` is TRUE.
// Sets *created to whether it was created here. Returns FALSE when the level
// is refused (logged as IsLevelItself does), TRUE otherwise, also when it
// could not be created (whatever is to be made inside it then fails).
// CreateDirectoryW makes nothing where a link is, dangling or not.
BOOL CreateLevelItself(const wchar_t* level, BOOL judge, const char* refusal, BOOL* created);

// Returns TRUE when the file at the full path `path` may be written in place:
// it is the file itself with a single name (a second hard link would be
// changed with it), or nothing is there, not even a link that leads nowhere
// (which a write by path would follow). Sets *exists to whether the file is
// there. Otherwise logs "<refusal>: <path> <why>" and returns FALSE.
BOOL MayWriteFileItself(const wchar_t* path, const char* refusal, BOOL* exists);

// Marks the file or empty folder open at `object` (opened with DELETE
// access) for deletion: it goes when its last handle is closed. Returns TRUE
// when the system accepted, FALSE otherwise with GetLastError telling why
// (145 for a folder that is not empty, 5 for a read-only file).
BOOL DeleteOpenObject(HANDLE object);

// Returns TRUE when `name` can stand as one name in a path as it is: no
// separator or other character that the file system reserves
// (\ / : * ? " < > |), no control character, no bidirectional control
// (U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069: a name holding one is
// shown differently from what it is), and no trailing dot or blank, which the
// file system drops. The empty name passes.
BOOL IsPlainNamePart(const wchar_t* name);

// What the log says of a name part that IsPlainNamePart refuses.
constexpr char kPlainNamePartRule[] =
    "holds a separator, a reserved, control or bidirectional control character, or ends in a "
    "dot or a blank";

// Returns TRUE when `name` is one that Windows reserves for a device (CON,
// PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, also with the superscript digits
// 1 to 3, CONIN$, CONOUT$), in any case, with or without an extension and
// with blanks before it ("AUX.txt", "nul .x").
BOOL IsDeviceName(const wchar_t* name);

// Returns a new wide string holding the first part of `folderName` (split at
// either separator; empty parts, from separators in a row, are skipped) that
// is not a plain name part or is a device name, or null when every part
// passes. The caller releases it with FreeAndClear.
wchar_t* CopyRefusedFolderPart(const wchar_t* folderName);

// Returns a new wide string naming the innermost of the system's known
// folders (all that IKnownFolderManager lists with a path: StartUp,
// Administrative Tools, the Programs folders, and every other) whose path,
// resolved, is `path` or a folder above it and lies strictly below `top`,
// compared without regard to case; sets *length to the length of that known
// folder's path (0 when there is none). Returns null when none is, or the
// system lists none. `path` is a full path as CopyFullPath gives it, without a
// trailing backslash, and begins with `top`. Needs COM initialised on the
// calling thread. The caller releases the result with FreeAndClear.
wchar_t* CopyInnermostKnownFolder(const wchar_t* top, const wchar_t* path, size_t* length);
