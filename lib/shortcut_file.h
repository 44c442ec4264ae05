// One shortcut file: the shell link object saved into memory, its bytes put
// into a folder held open (entry_changes.h), and the file deleted from one,
// each with what came of it logged (lib/log.h). The Programs folder, the
// link path and the walk to the shortcut's folder are shortcuts.h's.
#pragma once

#include <windows.h>
#include <objidl.h>

// The shell link stores its paths in MAX_PATH characters, the terminator
// included: a longer one is saved empty or cut short.
constexpr size_t kLongestLinkPath = MAX_PATH - 1;

// Makes the shell link object with the given properties and saves it into
// memory: *stream receives a stream over the shortcut file's bytes, released
// by the caller with ReleaseAndClear. Nothing is written to disk. Returns
// S_OK, or the failure (logged) as WriteShortcut (shortcuts.h) describes it.
// Leaves COM initialised on the calling thread.
HRESULT MakeShortcut(const wchar_t* linkPath, const wchar_t* target, const wchar_t* arguments,
                     const wchar_t* workingDirectory, const wchar_t* description,
                     const wchar_t* iconPath, int iconIndex, int showCommand, IStream** stream);

// Puts the shortcut that `stream` holds (MakeShortcut) as the file `name`
// into the folder open at `folder`, replacing as a name whatever stands there
// but a folder (see ReplaceFileIn), and logs what came of it; `linkPath`
// names the file for the log. Sets *existedBefore to whether something stood
// at the name. Returns S_OK, HRESULT_FROM_WIN32(ERROR_CANT_ACCESS_FILE) for a
// folder at the name, or the failure of the write.
HRESULT PutShortcut(HANDLE folder, const wchar_t* linkPath, const wchar_t* name, IStream* stream,
                    BOOL* existedBefore);

// Logs the shortcut written at `linkPath` and its properties.
void LogShortcutWritten(const wchar_t* linkPath, const wchar_t* target, const wchar_t* arguments,
                        const wchar_t* workingDirectory, const wchar_t* description,
                        const wchar_t* iconPath, int iconIndex, int showCommand);

// Deletes the file `name` in the folder open at `folder` (when not
// INVALID_HANDLE_VALUE: then `missingError` says why there is none) through a
// handle of the file opened and judged there, waiting a little for a name
// that another program's hold keeps, then `linkPath` enclosed in double
// quotes. A link, or a folder, at the name is neither deleted nor tried in
// the quoted form (the refusal is logged). Returns S_OK when either deletion
// was made (the name may stay until another program lets go; the log says
// so), E_FAIL otherwise. Tells the shell of the deletion once the name is gone.
HRESULT DeleteShortcutIn(HANDLE folder, const wchar_t* linkPath, const wchar_t* name,
                         DWORD missingError);
