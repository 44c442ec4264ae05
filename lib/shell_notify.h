// Telling the shell what changed on disk, so that a start menu already on
// screen shows a new, changed or removed shortcut or folder at once instead of
// after the next sign-in. Paths are named as the file system resolves them
// (repeated backslashes made one, no trailing backslash). Each operation's
// announcement ends with SHCNE_UPDATEDIR for the folder that holds its
// outermost change, and flushes that last notification, so that it has been
// delivered before the caller goes on (or its program ends). Nothing is
// announced for what did not happen.
#pragma once

#include <windows.h>

// Creates the folder `path` and every missing parent by its path, top down,
// and tells the shell of each folder created here, outermost first
// (SHCNE_MKDIR, not flushed: the announcement of the save that follows
// flushes). Failures are passed over. Returns a new wide string holding the
// outermost folder created, as the file system resolves it, or null when none
// was; the caller releases it with FreeAndClear.
wchar_t* CreateFolderTreeAnnounced(const wchar_t* path);

// Announces that the folder `path` was created (SHCNE_MKDIR, not flushed).
// Returns nothing.
void AnnounceFolderCreated(const wchar_t* path);

// Announces a shortcut save at `linkPath`: when `saved` is nonzero,
// SHCNE_CREATE for the link, or SHCNE_UPDATEITEM when `existedBefore` is
// nonzero; then, when the save was made or `firstNewFolder` (as
// CreateFolderTreeAnnounced gave it for the link's folder) is set,
// SHCNE_UPDATEDIR for the folder that holds `firstNewFolder`, or for the
// link's folder when no folder was made. Returns nothing; the shell reports
// no failure.
void AnnounceShortcutSaved(const wchar_t* linkPath, const wchar_t* firstNewFolder,
                           BOOL existedBefore, BOOL saved);

// Announces that the file `path` was deleted: SHCNE_DELETE for it, then
// SHCNE_UPDATEDIR for its folder. Returns nothing.
void AnnounceFileDeleted(const wchar_t* path);

// Announces that the folder `path` was removed: SHCNE_RMDIR for it, then
// SHCNE_UPDATEDIR for its parent. Returns nothing.
void AnnounceFolderRemoved(const wchar_t* path);
