#include "folder_contents.h"

#include <cstring>

#include "entry_changes.h"
#include "backoff.h"
#include "log.h"
#include "release.h"
#include "strings.h"

namespace {

// A folder listing is read into this many 64-bit units at a time (aligned for
// the 64-bit members of its entries): room for several entries, each of at
// most 104 bytes and a name of 255 characters.
constexpr size_t kListingUnits = 128;

// Whether the process `id` runs: a run side by side is still using its
// temporary file.
bool IsRunning(DWORD id) {
  HANDLE process = OpenProcess(SYNCHRONIZE, /*bInheritHandle=*/FALSE, id);
  const bool running = process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandleAndClear(&process);
  return running || id == GetCurrentProcessId();
}

// Removes the temporary file `name` that a killed run left in the folder
// open at `folder` (path `folderPath`), judged as a plain file of one name,
// and logs what came of it. Returns what its name leaves in the folder:
// nothing, a name that goes when another program lets go, or the entry.
FolderContents RemoveLeftTemporaryFile(HANDLE folder, const wchar_t* folderPath,
                                       const wchar_t* name, size_t length) {
  wchar_t* copy = new wchar_t[length + 1];
  WalkProblem problem = kWalkCannotOpen;
  BOOL nameGoesAtClose = FALSE;
  HANDLE file = INVALID_HANDLE_VALUE;
  bool marked = false;

  memcpy(copy, name, length * sizeof(wchar_t));
  copy[length] = L'\0';
  file = OpenEntryToDelete(folder, copy, length, kEntryFileWithOneName, &problem);
  if (problem == kWalkMissing || problem == kWalkDeletePending) {
    goto Cleanup;  // another run took it away meanwhile
  }
  marked = problem == kWalkSound &&
           DeleteEntryIn(folder, copy, length, file, kEntryFileWithOneName, &nameGoesAtClose);
  if (!marked && problem != kWalkCannotOpen) {
    LogLine("Temporary file %s in %s left by an earlier run not removed: it is not a plain file "
            "of one name",
            copy, folderPath);
    goto Cleanup;
  }
  if (!marked) {
    LogFailure(GetLastError(), "Temporary file %s in %s left by an earlier run not removed", copy,
               folderPath);
    goto Cleanup;
  }
  problem = CloseDeletedEntry(folder, copy, length, &file, nameGoesAtClose);
  LogLine(problem == kWalkMissing ? "Temporary file %s in %s left by an earlier run removed"
                                  : "Temporary file %s in %s left by an earlier run goes when "
                                    "another program lets go of it",
          copy, folderPath);

Cleanup:
  CloseHandleAndClear(&file);
  FreeAndClear(&copy);
  return problem == kWalkMissing         ? kFolderEmpty
         : problem == kWalkDeletePending ? kFolderHoldsOnlyPending
                                         : kFolderHoldsEntries;
}

// What the entry `name` of the folder open at `folder` leaves in it: nothing
// for a temporary file that a killed run left, removed now
// (`removeLeftFiles`); a name whose deletion waits for another program; or
// the entry. Once `known` says that the folder holds an entry that stays,
// only left temporary files are looked at.
FolderContents ContentsOf(HANDLE folder, const wchar_t* folderPath, const wchar_t* name,
                          size_t length, bool removeLeftFiles, FolderContents known) {
  DWORD process = 0;
  NTSTATUS status = kStatusSuccess;
  if (removeLeftFiles && IsTemporaryName(name, length, &process) && !IsRunning(process)) {
    return RemoveLeftTemporaryFile(folder, folderPath, name, length);
  }
  if (known == kFolderHoldsEntries) {
    return known;
  }
  HANDLE object =
      OpenRelative(folder, name, length, /*access=*/0, FILE_OPEN, /*options=*/0, &status);
  const bool pending = status == kStatusDeletePending ||
                       (object != INVALID_HANDLE_VALUE && IsNotedPending(object));
  CloseHandleAndClear(&object);
  return pending ? kFolderHoldsOnlyPending : kFolderHoldsEntries;
}

}  // namespace

FolderContents LookThroughFolder(HANDLE folder, const wchar_t* folderPath, bool removeLeftFiles) {
  LONGLONG listing[kListingUnits];
  FILE_INFO_BY_HANDLE_CLASS part = FileIdBothDirectoryRestartInfo;
  FolderContents contents = kFolderEmpty;
  // Without files to remove, the first entry that stays ends the look.
  while ((removeLeftFiles || contents != kFolderHoldsEntries) &&
         GetFileInformationByHandleEx(folder, part, listing, sizeof(listing))) {
    part = FileIdBothDirectoryInfo;
    const char* at = reinterpret_cast<const char*>(listing);
    for (bool more = true; more;) {
      const FILE_ID_BOTH_DIR_INFO* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
      const size_t length = entry->FileNameLength / sizeof(wchar_t);
      const bool dots = (length == 1 || length == 2) && entry->FileName[0] == L'.' &&
                        entry->FileName[length - 1] == L'.';
      const FolderContents left =
          dots ? kFolderEmpty
               : ContentsOf(folder, folderPath, entry->FileName, length, removeLeftFiles,
                            contents);
      // An entry that stays outweighs a name that goes, which outweighs none.
      contents = left > contents ? left : contents;
      more = entry->NextEntryOffset != 0;
      at += entry->NextEntryOffset;
    }
  }
  return contents;
}

FolderContents SettleFolder(HANDLE folder, const wchar_t* folderPath) {
  FolderContents contents = LookThroughFolder(folder, folderPath, /*removeLeftFiles=*/true);
  for (unsigned attempt = 1;
       contents == kFolderHoldsOnlyPending && WaitBeforeRetry(attempt); ++attempt) {
    contents = LookThroughFolder(folder, folderPath, /*removeLeftFiles=*/false);
  }
  return contents;
}
