// Telling the shell what changed on disk, so that a start menu already on
// screen shows a new, changed or removed shortcut or folder at once instead of
// after the next sign-in. Each announcement names paths as the file system
// resolves them (repeated backslashes made one, no trailing backslash), ends
// with SHCNE_UPDATEDIR for the folder that holds the outermost change, and
// flushes that last notification, so that it has been delivered before the
// caller goes on (or its program ends). Nothing is announced for what did not
// happen.
#pragma once

#include <windows.h>

// Returns a new wide string holding the outermost level of the folder path
// `path` that does not exist (the path itself when only its last level is
// missing), as the file system resolves it; null when `path` exists or cannot
// be resolved. Taken before the folder is created, it tells which levels the
// creation makes. The caller releases it with FreeAndClear.
wchar_t* CopyOutermostMissingFolder(const wchar_t* path);

// Announces a shortcut save at `linkPath`: SHCNE_MKDIR for each level from
// `firstNewFolder` (as CopyOutermostMissingFolder gave it before the save's
// folders were created; null when none was missing) down to the link's folder
// that exists now, outermost first; when `saved` is nonzero, SHCNE_CREATE for
// the link, or SHCNE_UPDATEITEM when `existedBefore` is nonzero; then
// SHCNE_UPDATEDIR for the parent of the outermost new folder, or for the
// link's folder when no folder was made. Announces nothing when the save
// failed and no folder was made. Returns nothing; the shell reports no failure.
void AnnounceShortcutSaved(const wchar_t* linkPath, const wchar_t* firstNewFolder,
                           BOOL existedBefore, BOOL saved);

// Announces that the file `path` was deleted: SHCNE_DELETE for it, then
// SHCNE_UPDATEDIR for its folder. Returns nothing.
void AnnounceFileDeleted(const wchar_t* path);

// Announces that the folder `path` was removed: SHCNE_RMDIR for it, then
// SHCNE_UPDATEDIR for its parent. Returns nothing.
void AnnounceFolderRemoved(const wchar_t* path);
