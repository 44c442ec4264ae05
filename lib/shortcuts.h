// Start-menu shortcuts: which Programs folder the caller works in, and shell
// shortcut files (.lnk) created and deleted below it. Nothing is kept between
// calls: every call runs the administrator test and asks the shell anew.
//
// Link path: the Programs folder, the folder argument (which begins with a
// backslash and, as both programs pass it, ends with one: the two backslashes
// in a row are kept), "\", the base name, " " and the suffix when the suffix is
// not empty, ".lnk".
//
// The operations that work below the Programs folder act only on a shortcut
// that lies directly in the folder asked for, inside the Programs folder once
// resolved (see PathStaysInside), and whose resolved path is shorter than
// MAX_PATH, the most the shell saves and shows. A base name or suffix that is
// not a plain name part (IsPlainNamePart in names.h: a separator, a colon,
// another character that file names cannot hold, a control or format
// character, a trailing dot or blank) is refused, and so is a name the file
// system resolves to something else (a device), and a folder argument with a
// part that could not be a folder's name (CopyRefusedFolderPart). They reach
// the shortcut's folder from the Programs folder level by level, through
// handles (folder_walk.h): a level that is a link, or is reached through one,
// is refused, and nothing below a level is reached by its path once the level
// was judged. For a refused shortcut they create, delete and write nothing,
// and a refused or failed save leaves no folder that it made. Either way they
// return 0. They work on the path as the file system resolves it: forward
// slashes and repeated backslashes in the folder argument count as one
// backslash. What they write or delete, and each refusal with its reason, goes
// to the log (lib/log.h).
#pragma once

#include <windows.h>

// IsAdministrator, which picks the Programs folder.
#include "access.h"

// Capacity form over the Programs folder: the all-users folder
// (CSIDL_COMMON_PROGRAMS) when IsAdministrator is nonzero, the user's own
// (CSIDL_PROGRAMS) otherwise; created by nobody. When `capacity` is above 0 the
// buffer first receives the empty text. Returns 0 after copying the path, or
// the size needed (length + 1; 1 when the shell fails) otherwise.
DWORD GetProgramsFolder(wchar_t* buffer, DWORD capacity);

// Creates the folder that will hold `linkPath`, with its missing parents, by
// its path, and puts a shortcut with the given properties there: the shell
// link object saves into memory, and the bytes, the same that a save to the
// file would write, go into a new file made in that folder, opened by its
// path and trusted, under a temporary name, which is then renamed over the
// shortcut's name (see ReplaceFileIn in folder_walk.h): a link, or one name
// of a file that has several, that stands there is replaced as a name, never
// written into. Leaves COM initialised on the calling thread. Returns 0 when
// the shortcut is in place; E_INVALIDARG when the target, without enclosing
// double quotes, is empty or the shell link does not take it;
// HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) when the target or
// `linkPath` is MAX_PATH characters or longer (the shell link would save it
// empty or cut short); HRESULT_FROM_WIN32(ERROR_CANT_ACCESS_FILE) when a
// folder stands at `linkPath`; otherwise the failure code of creating the
// shell link object, of setting its target, of saving it, or of writing the
// file. In the first three cases nothing is created; a failed write leaves no
// temporary file. Tells the shell of each folder it made and of the saved
// shortcut (see shell_notify.h).
HRESULT WriteShortcut(const wchar_t* linkPath, const wchar_t* target, const wchar_t* arguments,
                      const wchar_t* workingDirectory, const wchar_t* description,
                      const wchar_t* iconPath, int iconIndex, int showCommand);

// Deletes `linkPath` through a handle of the file opened, relative to its
// folder (opened by its path and trusted), as itself, then the same path
// enclosed in double quotes. A file that is a link, or lies elsewhere than its
// path says, and a folder, are neither deleted nor tried in the quoted form
// (the refusal is logged). Returns 0 when either deletion succeeded,
// E_FAIL otherwise. Tells the shell of the deletion of `linkPath` when that
// happened (the quoted form names no file that the shell could show).
HRESULT DeleteShortcutFile(const wchar_t* linkPath);

// Saves a shortcut at the link path below the Programs folder whose target is
// the target directory (ending with a backslash) and target file enclosed in
// double quotes, with icon index 0. Returns 0 always.
int CreateProgramsShortcut(const wchar_t* targetDirectory, const wchar_t* targetFile,
                           const wchar_t* arguments, const wchar_t* iconPath,
                           const wchar_t* workingDirectory, const wchar_t* folder,
                           const wchar_t* baseName, const wchar_t* description, int showCommand,
                           const wchar_t* suffix);

// Deletes the shortcut at the link path below the Programs folder. Returns 0
// always.
int RemoveProgramsShortcut(const wchar_t* folder, const wchar_t* baseName, const wchar_t* suffix);

// CreateProgramsShortcut with the suffix supplied: the revision text of the
// global relinfo.xml, of relinfo.xml beside the program's file, or the fixed
// revision "18.1" (relinfo.xml is not read). Where that relinfo.xml is there
// but another program holds it through every wait (CopyReadableReleaseValue),
// no shortcut is written, and the log says so. Return 0 always.
int CreateProgramsShortcutWithRevision(const wchar_t* targetDirectory, const wchar_t* targetFile,
                                       const wchar_t* arguments, const wchar_t* iconPath,
                                       const wchar_t* workingDirectory, const wchar_t* folder,
                                       const wchar_t* baseName, const wchar_t* description,
                                       int showCommand);
int CreateProgramsShortcutWithLocalRevision(const wchar_t* targetDirectory,
                                            const wchar_t* targetFile, const wchar_t* arguments,
                                            const wchar_t* iconPath,
                                            const wchar_t* workingDirectory,
                                            const wchar_t* folder, const wchar_t* baseName,
                                            const wchar_t* description, int showCommand);
int CreateProgramsShortcutWithFixedRevision(const wchar_t* targetDirectory,
                                            const wchar_t* targetFile, const wchar_t* arguments,
                                            const wchar_t* iconPath,
                                            const wchar_t* workingDirectory,
                                            const wchar_t* folder, const wchar_t* baseName,
                                            const wchar_t* description, int showCommand);

// RemoveProgramsShortcut with the suffix supplied as above, or the empty text;
// nothing is deleted for a relinfo.xml held as above. Return 0 always.
int RemoveProgramsShortcutWithRevision(const wchar_t* folder, const wchar_t* baseName);
int RemoveProgramsShortcutWithLocalRevision(const wchar_t* folder, const wchar_t* baseName);
int RemoveProgramsShortcutWithFixedRevision(const wchar_t* folder, const wchar_t* baseName);
int RemoveProgramsShortcutWithoutRevision(const wchar_t* folder, const wchar_t* baseName);

// Returns a new wide string holding the Programs folder, read with the two
// calls of GetProgramsFolder (the empty text when the shell fails). The caller
// releases it with FreeAndClear.
wchar_t* CopyProgramsFolder();

// Returns a new wide string holding the link path for the Programs folder,
// folder argument, base name and suffix. The caller releases it with
// FreeAndClear.
wchar_t* BuildLinkPath(const wchar_t* programsFolder, const wchar_t* folder,
                       const wchar_t* baseName, const wchar_t* suffix);
