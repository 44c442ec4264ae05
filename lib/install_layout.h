// Install layout, strings and paths: the lowest layer of the install utility
// library. Wide strings are UTF-16, NUL-terminated, allocated with array new
// (sized in characters) and released with array delete, as a rule through
// FreeAndClear. Every size below counts characters, the terminator included.
//
// Two-call size protocol:
// - capacity form (GetModulePath, GetInstallRoot): call with no buffer and
//   capacity 0 to learn the size, then again with a buffer of that size;
// - pointer form (ReadQuotedValue and the three release-information readers):
//   call with null to learn the size, allocate that many characters with
//   array new, then call with the address of the buffer pointer. The second
//   call never writes more characters than the first call on the same thread
//   reported, even when the file grew in between; see ReadQuotedValue.
#pragma once

#include <windows.h>

// Place of the program's file below the install root: four directory names.
constexpr int kLevelsBelowInstallRoot = 5;  // four directories and the file name

// Capacity, in characters, of the buffer that first receives the module path.
// A longer path is read again into larger buffers until it is read whole.
constexpr DWORD kModulePathCapacity = 520;

// Returns a new wide string holding the `count` wide strings that follow, one
// after the other; null arguments are skipped. A count of 0 gives a new empty
// string. The caller releases the result with FreeAndClear.
wchar_t* JoinStrings(UINT32 count, ...);

// Releases *text with array delete when it is not null and sets it to null.
void FreeAndClear(wchar_t** text);

// Removes one trailing backslash, then everything after the last backslash,
// which stays. Returns TRUE when a backslash was found, FALSE otherwise (the
// trailing backslash is gone even then). Changes `path` in place.
BOOL CutLastComponent(wchar_t* path);

// Copies `source` into `destination` (room for at least the source's length
// + 1 characters) and removes its last five components there, climbing no
// further than the drive. The result has no trailing backslash unless it is a
// drive root.
void ClimbDirectories(const wchar_t* source, wchar_t* destination);

// Returns a new wide string holding the running program's full path, read
// whole whatever its length; the empty text when the system cannot give it.
// The caller releases it with FreeAndClear.
wchar_t* CopyModulePath();

// Capacity form. Returns 0 after copying the running program's full path into
// `buffer`, or the size needed (length + 1, whatever the length) when
// `capacity` is too small.
DWORD GetModulePath(wchar_t* buffer, DWORD capacity);

// Capacity form. Returns 0 after writing the install root (the module path
// less five components) into `buffer`, or the size of the whole module path
// (length + 1) when `capacity` is below that; the root is never longer.
DWORD GetInstallRoot(wchar_t* buffer, DWORD capacity);

// Returns a new wide string holding the install root, read with the two calls
// of GetInstallRoot. The caller releases it with FreeAndClear.
wchar_t* CopyInstallRoot();

// Opens `path` for reading (other programs may have it open for reading,
// writing or deletion), creating it empty when it does not exist and its
// folder does, and reads it whole into a new buffer of its size + 1 bytes,
// NUL-terminated, stored in *content; the caller releases it with array
// delete. Returns TRUE when the open and every read succeeded (an empty file
// included); FALSE otherwise. When the open fails, or the file is 4 GiB or
// larger, *content is left unchanged; after a failed read it holds the bytes
// read so far.
BOOL ReadWholeFile(const wchar_t* path, char** content);

// Pointer form. Finds the first occurrence of `key` (8-bit text, matched byte
// for byte, bytes after a NUL byte included) in the file at `path`, and takes
// as its value the UTF-8 text between the next two double-quote bytes. The
// file is opened as ReadWholeFile opens it, but read once in pieces, so that a
// file of any size costs bounded memory. Returns the needed size n + 1, where
// n is the value's byte count; 1 when the file, the key or a quote is missing,
// and when the value is longer than 32,767 UTF-16 characters. With `value` given, the caller's buffer receives the value (the
// empty text in the cases above), cut to fit the size that the same thread's
// last null call for this file and key reported; without such a call only the
// terminator is written. The caller keeps ownership of its buffer. A call with
// a buffer writes the value handed out, or why there is none, to the log
// (lib/log.h).
DWORD ReadQuotedValue(const wchar_t* path, const char* key, wchar_t** value);

// Pointer form over the global release information,
// <install root>\commonfiles\globalsettings\relinfo.xml: the start-menu folder
// name ("startMenuFolderName") and the revision text
// ("startMenuShortcutAppendRevision"). Results as ReadQuotedValue.
DWORD GetStartMenuFolderName(wchar_t** value);
DWORD GetRevisionSuffix(wchar_t** value);

// Pointer form over relinfo.xml beside the program's file: the revision text.
// Results as ReadQuotedValue.
DWORD GetLocalRevisionSuffix(wchar_t** value);

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

// Copies `source` into `destination` (room for at least the source's length
// + 1 characters), upper-casing only the letters a to z.
void ToUpperAscii(const wchar_t* source, wchar_t* destination);

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
