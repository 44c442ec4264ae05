// Empty start-menu folder removal: a folder goes only when the shell finds no
// item in it; nothing inside a folder is ever deleted here. The Programs
// folder is chosen as for shortcuts: the all-users one when IsAdministrator is
// nonzero, the user's own otherwise. A folder that is a link (or is reached
// through one) is never removed, nor one that the system reports as a known
// folder (StartUp, Administrative Tools, ...). Each folder removed, kept (and
// why) or refused goes to the log (lib/log.h).
#pragma once

#include <windows.h>

// Removes the folder at the full path `path` when the shell enumerates no
// item in it that is not itself a folder (hidden items are not enumerated);
// the removal itself, through a handle of the folder opened as itself right
// before, refuses a folder that still holds entries of any kind. The shell is
// given the path as the file system resolves it, so repeated backslashes
// count as one. Leaves COM initialised on the calling thread once past the
// existence and link tests. Returns 0 when the folder was found empty and its
// removal was attempted (whatever came of it); ERROR_FILE_EXISTS (80) when the
// enumeration yields an item or fails to answer; E_FAIL when the path does
// not exist (COM is not touched then);
// HRESULT_FROM_WIN32(ERROR_CANT_ACCESS_FILE) when the folder is a link, lies
// elsewhere than its path says, or cannot be opened to be judged (COM is not
// touched then); E_ACCESSDENIED when it is one of the system's known folders;
// otherwise the failure code of the shell step that failed. Tells the shell of
// the removal only when the folder went.
HRESULT RemoveFolderIfEmpty(const wchar_t* path);

// Removes <Programs folder>\<folderName> when it is empty. `folderName` is a
// bare name, without a leading backslash. A name that leads out of the
// Programs folder, the empty name, and a name with a part that could not be a
// folder's name (see CopyRefusedFolderPart in paths.h) remove nothing, and so
// does a link at any level below the Programs folder. Forward slashes and
// repeated backslashes count as one backslash. Returns 0 always.
int RemoveProgramsFolder(const wchar_t* folderName);

// Removes <Programs folder><relativePath> when it is empty, refusing what
// RemoveProgramsFolder refuses. `relativePath` begins with a backslash and may
// end with one; forward slashes and repeated backslashes count as one
// backslash, as for the shortcut operations. Returns 0 always.
int RemoveProgramsSubfolder(const wchar_t* relativePath);

// RemoveProgramsSubfolder, then each folder above <Programs
// folder><relativePath> that `relativePath` names, innermost first, each only
// when it is empty, stopping at the first that stays (a folder that is not
// there does not stay); never the Programs folder itself. For
// "\Vendor\Suite\Fluid Dynamics\": Fluid Dynamics, Suite, Vendor. The known
// folders are asked for once, at the first level that exists. Returns 0
// always.
int RemoveProgramsFolderLevels(const wchar_t* relativePath);
