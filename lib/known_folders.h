// The system's known folders (StartUp, Administrative Tools and the rest):
// folders that the system and other programs expect to find, which the
// library never removes, however empty. Strings follow the
// rules of strings.h.
#pragma once

#include <windows.h>

// Returns a new wide string holding the name that the system's definition
// gives the innermost of its known folders whose path is `path` or a folder
// above it that lies strictly below `top` (compared without regard to case),
// and sets *length to the length of that folder's path; returns null and sets
// *length to 0 when none is. `path` is a full path, as CopyFullPath gives it,
// without a trailing backslash, that begins with `top`. The system is asked
// about those folders alone, innermost first
// (IKnownFolderManager::FindFolderFromPath); where it does not answer that
// question (Wine 8 does not), the paths of the known folders that the
// system's definitions place in a Programs folder (StartUp and
// Administrative Tools, the user's and all users') are compared instead.
// Needs COM initialised on the calling thread. The caller releases the result
// with FreeAndClear.
wchar_t* CopyInnermostKnownFolder(const wchar_t* top, const wchar_t* path, size_t* length);
