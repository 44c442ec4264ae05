// What a folder held open (folder_walk.h) holds, once what is going is set
// apart: temporary files that killed runs left there are removed (the
// programs' own naming, entry_changes.h), and names whose deletion waits for
// another program to let go are waited for a little (backoff.h) and then
// told apart from entries that stay. Each temporary file removed, or left and
// why, goes to the log (lib/log.h).
#pragma once

#include <windows.h>

// What a folder holds, in rising order.
enum FolderContents {
  kFolderEmpty,             // no entry but "." and ".."
  kFolderHoldsOnlyPending,  // only entries whose deletion waits for another program
  kFolderHoldsEntries,      // an entry that is not going
};

// Lists the folder open at `folder` (listing rights) once. With
// `removeLeftFiles`, removes each temporary file that a killed run left
// there: a plain file of one name, named as the programs name theirs, made by
// a process that is not running; `folderPath` names the folder in the log.
// Returns what it holds besides such files; kFolderEmpty when it cannot be
// listed (a removal still refuses a folder that holds entries).
FolderContents LookThroughFolder(HANDLE folder, const wchar_t* folderPath, bool removeLeftFiles);

// LookThroughFolder with left temporary files removed, then again after
// short waits while the folder's only entries are names whose deletion waits
// for another program. Returns what the folder holds then.
FolderContents SettleFolder(HANDLE folder, const wchar_t* folderPath);
