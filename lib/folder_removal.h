// Empty start-menu folder removal: a folder goes only when the shell finds no
// item in it; nothing inside a folder is ever deleted here. The Programs
// folder is chosen as for shortcuts: the all-users one when IsAdministrator is
// nonzero, the user's own otherwise. Each folder removed, kept (and why) or
// refused goes to the log (lib/log.h).
#pragma once

#include <windows.h>

// Removes the folder at the full path `path` when the shell enumerates no
// item in it that is not itself a folder (hidden items are not enumerated);
// the removal itself refuses a folder that still holds entries of any kind.
// The shell is given the path as the file system resolves it, so repeated
// backslashes count as one. Leaves COM initialised on the calling thread once past the existence test.
// Returns 0 when the folder was found empty and its removal was attempted
// (whatever came of it); ERROR_FILE_EXISTS (80) when the enumeration yields an
// item or fails to answer; E_FAIL when the path does not exist (COM is not
// touched then); otherwise the failure code of the shell step that failed.
// Tells the shell of the removal only when the folder went.
HRESULT RemoveFolderIfEmpty(const wchar_t* path);

// Removes <Programs folder>\<folderName> when it is empty. `folderName` is a
// bare name, without a leading backslash. A name that leads out of the
// Programs folder, or the empty name, removes nothing. Forward slashes and
// repeated backslashes count as one backslash. Returns 0 always.
int RemoveProgramsFolder(const wchar_t* folderName);

// Removes <Programs folder><relativePath> when it is empty. `relativePath`
// begins with a backslash and may end with one; forward slashes and repeated
// backslashes count as one backslash, as for the shortcut operations. A path
// that leads out of the Programs folder removes nothing. Returns 0 always.
int RemoveProgramsSubfolder(const wchar_t* relativePath);
