// The system's known folders (StartUp, Administrative Tools and the rest):
// folders that the system and other programs expect to find, which the
// library never removes, however empty. Strings follow the
// rules of strings.h.
#pragma once

#include <windows.h>

// Returns a new wide string holding the name that the system's definition
// gives the innermost of the folders open at levels[1] to levels[count - 1]
// (levels[0], the top that the caller trusts, is not asked about) that is
// one of its known folders, and sets *level to that folder's index; returns
// null and sets *level to 0 when none is. Each folder is taken by what it
// is, never by the path that reached it, so that no alias (an 8.3 name,
// another case, a path through another name) hides a known folder: the
// system is asked about the folder's own final path, innermost first
// (IKnownFolderManager::FindFolderFromPath); and the known folders that the
// system's definitions place in a Programs folder (StartUp and
// Administrative Tools, the user's and all users'), which the system need
// not answer for (Wine 8 does not), are opened and compared by identity
// (volume serial number and file index). The handles stay the caller's.
// Needs COM initialised on the calling thread. The caller releases the
// result with FreeAndClear.
wchar_t* CopyInnermostKnownFolder(const HANDLE* levels, size_t count, size_t* level);
