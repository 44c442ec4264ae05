// Install layout: the running program's own path, the install root four
// directories above it, and the release information (relinfo.xml) found
// there and beside the program. Includes the string and path helpers, the
// name rules and the access helpers (strings.h, paths.h, names.h, access.h),
// on which this area builds, so that their callers see them here too; strings
// follow the rules of strings.h.
//
// Two-call size protocol:
// - capacity form (GetModulePath, GetInstallRoot): call with no buffer and
//   capacity 0 to learn the size, then again with a buffer of that size;
// - pointer form (ReadQuotedValue and the three release-information readers):
//   call with null to learn the size, allocate that many characters with
//   array new, then call with the address of the buffer pointer. Each call
//   reads the file afresh, and the file may change in between: the filling
//   call returns the size the value needs now. When that is at most the size
//   that the same thread's null call for the same file and key reported, the
//   buffer holds the whole value; when it is more, the buffer holds only the
//   terminator (the value is never handed out cut, nor written past the
//   reported size), and the caller reads again: a null call, a new buffer, a
//   filling call. CopyReleaseValue does exactly that.
#pragma once

#include <windows.h>

#include "access.h"
#include "names.h"
#include "paths.h"
#include "strings.h"

// Capacity, in characters, of the buffer that first receives the module path.
// A longer path is read again into larger buffers until it is read whole.
constexpr DWORD kModulePathCapacity = 520;

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

// Opens the existing file at `path` for reading (other programs may have it
// open for reading, writing or deletion; one that holds it without sharing
// reading is waited for, within the run's budget of short waits, see
// backoff.h) and reads it whole into a new buffer
// of its size + 1 bytes, NUL-terminated, stored in *content; the caller
// releases it with array delete. Nothing is created where there is no file.
// Only a file on disk is read (GetFileType gives FILE_TYPE_DISK: a device or a
// pipe may never end), and never more than the size it had when it was
// opened, however it grows meanwhile. Returns TRUE when the open and every
// read succeeded (an empty file included); FALSE otherwise. When the open
// fails, the file is no file on disk, or it is 4 GiB or larger, *content is
// left unchanged; after a failed read it holds the bytes read so far.
BOOL ReadWholeFile(const wchar_t* path, char** content);

// Pointer form. Finds the first occurrence of `key` (8-bit text, matched byte
// for byte, bytes after a NUL byte included) in the file at `path`, and takes
// as its value the UTF-8 text between the next two double-quote bytes. The
// file is opened as ReadWholeFile opens it (a held file is waited for), and
// read once in pieces, up to its size at the open, so that a file of any
// size costs bounded memory; a read refused by a range that another program
// locked starts again after a short wait.
// Returns the needed size n + 1, where n is the value's byte count; 1 when
// the file, the key or a quote is missing, when the file is no file on disk
// or stays held by another program through the waits, and when the value is
// longer than 32,767 UTF-16 characters. With `value`
// given, the caller's buffer receives the value (the empty text in the cases
// above), or only the terminator when n + 1 is more than the same thread's
// last null call for this file and key reported (see the protocol above;
// without such a call, a report of 1 is assumed). The caller keeps ownership
// of its buffer. A call with a buffer writes the value handed out, or why
// there is none, to the log (lib/log.h).
DWORD ReadQuotedValue(const wchar_t* path, const char* key, wchar_t** value);

// Returns a new wide string holding the value that `reader` (one of the three
// readers below) gives by the two calls of the pointer form, which are made
// again while the value outgrows the size that the null call reported: three
// times at the most, then the value is the empty text (and the log says so).
// The caller releases it with FreeAndClear.
wchar_t* CopyReleaseValue(DWORD (*reader)(wchar_t** value));

// CopyReleaseValue for a caller that must not act on a value it could not
// read: returns null where the file is there but another program held it
// (without sharing reading, or a locked range) through every wait of the
// run's budget, which the reader has logged; otherwise the value as
// CopyReleaseValue returns it, the empty text for a file that is not there
// included. The caller releases a value with FreeAndClear.
wchar_t* CopyReadableReleaseValue(DWORD (*reader)(wchar_t** value));

// Returns TRUE when `path` is absolute, as an install root or the program's
// folder must be before anything is read or run from it: a drive letter, a
// colon and a backslash (C:\...), or two backslashes, a server name, a
// backslash and a share name, alone or followed by a backslash
// (\\server\share\...). FALSE otherwise: for null, the empty text (a module
// path that could not be read), a path relative to the current folder or
// drive (UNC\server\share, \folder, C:folder).
BOOL IsAbsoluteInstallPath(const wchar_t* path);

// Pointer form over the global release information,
// <install root>\commonfiles\globalsettings\relinfo.xml: the start-menu folder
// name ("startMenuFolderName") and the revision text
// ("startMenuShortcutAppendRevision"). Results as ReadQuotedValue; an install
// root that is not absolute (see IsAbsoluteInstallPath) gives the empty value,
// size 1, and nothing is read.
DWORD GetStartMenuFolderName(wchar_t** value);
DWORD GetRevisionSuffix(wchar_t** value);

// Pointer form over relinfo.xml beside the program's file: the revision text.
// Results as above; a program folder that is not absolute gives the empty
// value.
DWORD GetLocalRevisionSuffix(wchar_t** value);
