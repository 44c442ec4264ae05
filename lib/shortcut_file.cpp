#include "shortcut_file.h"

#include <objbase.h>
#include <shlobj.h>

#include <cwchar>

#include "entry_changes.h"
#include "folder_walk.h"
#include "log.h"
#include "release.h"
#include "shell_notify.h"
#include "strings.h"

namespace {

constexpr wchar_t kQuoteCharacter = L'"';
constexpr wchar_t kQuote[] = L"\"";
constexpr DWORD kStoredTargetCapacity = MAX_PATH;
// What the shortcut operations answer when a folder stands at the name.
constexpr DWORD kRefusedLinkError = ERROR_CANT_ACCESS_FILE;

// Returns S_OK when the shell link can hold `target` whole: not empty and
// shorter than MAX_PATH once its enclosing double quotes are gone.
HRESULT CheckTarget(const wchar_t* target) {
  size_t length = target != nullptr ? wcslen(target) : 0;
  if (length >= 2 && target[0] == kQuoteCharacter && target[length - 1] == kQuoteCharacter) {
    length -= 2;
  }
  if (length == 0) {
    return E_INVALIDARG;
  }
  return length > kLongestLinkPath ? HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) : S_OK;
}

// Tells whether the shortcut file at `linkPath` went and, when it did not,
// why: `gone` says what its name leads to after the deletion (kWalkMissing:
// nothing; kWalkDeletePending: its deletion waits for another program;
// kWalkSound: another entry) or, when it was not marked, kWalkCannotOpen;
// `error` is what the deletion of the plain path reported, and `readOnly`
// whether the file is read-only.
void LogDeletion(const wchar_t* linkPath, WalkProblem gone, DWORD error, bool readOnly) {
  if (gone == kWalkMissing) {
    LogLine("Shortcut deleted: %s", linkPath);
  } else if (gone == kWalkDeletePending) {
    LogLine("Shortcut %s goes when the other program that holds it lets go of it", linkPath);
  } else if (gone == kWalkSound) {
    LogLine("Shortcut refused: %s is reached through a link and lies elsewhere", linkPath);
  } else if (readOnly) {
    LogFailure(error, "Shortcut %s not deleted: it is read-only", linkPath);
  } else if (error == ERROR_SHARING_VIOLATION) {
    LogFailure(error, "Shortcut %s not deleted: another program holds it", linkPath);
  } else {
    LogFailure(error, "Shortcut %s not deleted", linkPath);
  }
}

}  // namespace

HRESULT MakeShortcut(const wchar_t* linkPath, const wchar_t* target, const wchar_t* arguments,
                     const wchar_t* workingDirectory, const wchar_t* description,
                     const wchar_t* iconPath, int iconIndex, int showCommand, IStream** stream) {
  wchar_t* storedTarget = nullptr;
  IShellLinkW* link = nullptr;
  IPersistStream* persist = nullptr;
  HRESULT result = S_OK;

  // COM stays initialised on this thread: callers may go on using the shell.
  CoInitialize(/*pvReserved=*/nullptr);

  // Nothing is created for a shortcut that could not be saved whole.
  result = CheckTarget(target);
  if (FAILED(result)) {
    LogFailure(result,
               result == E_INVALIDARG
                   ? "Shortcut %s not written: its target \"%s\" is empty"
                   : "Shortcut %s not written: its target %s is MAX_PATH characters or longer",
               linkPath, target);
    goto Cleanup;
  }
  if (wcslen(linkPath) > kLongestLinkPath) {
    result = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    LogFailure(result, "Shortcut %s not written: its path is MAX_PATH characters or longer",
               linkPath);
    goto Cleanup;
  }

  result = CoCreateInstance(CLSID_ShellLink, /*pUnkOuter=*/nullptr, CLSCTX_INPROC_SERVER,
                            IID_IShellLinkW, reinterpret_cast<void**>(&link));
  if (FAILED(result)) {
    LogFailure(result, "Shortcut %s not written: no shell link object", linkPath);
    goto Cleanup;
  }
  result = link->SetPath(target);
  if (FAILED(result)) {
    LogFailure(result, "Shortcut %s not written: the shell link refuses the target %s", linkPath,
               target);
    goto Cleanup;
  }
  link->SetArguments(arguments);
  link->SetWorkingDirectory(workingDirectory);
  link->SetDescription(description);
  link->SetIconLocation(iconPath, iconIndex);
  link->SetShowCmd(showCommand);

  // A shell link that took the target in name only would be saved pointing
  // nowhere.
  storedTarget = new wchar_t[kStoredTargetCapacity];
  storedTarget[0] = L'\0';
  if (FAILED(link->GetPath(storedTarget, static_cast<int>(kStoredTargetCapacity),
                           /*pfd=*/nullptr, SLGP_RAWPATH)) ||
      storedTarget[0] == L'\0') {
    result = E_INVALIDARG;
    LogFailure(result, "Shortcut %s not written: the shell link keeps no target for %s",
               linkPath, target);
    goto Cleanup;
  }

  // Saved into memory, the same bytes that a save to a file writes: the file
  // is then made in the folder that was judged, through its handle.
  result = link->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist));
  if (SUCCEEDED(result)) {
    result = CreateStreamOnHGlobal(/*hGlobal=*/nullptr, /*fDeleteOnRelease=*/TRUE, stream);
  }
  if (SUCCEEDED(result)) {
    result = persist->Save(*stream, /*fClearDirty=*/TRUE);
  }
  if (FAILED(result)) {
    ReleaseAndClear(stream);
    LogFailure(result, "Shortcut %s not written: the shell link cannot be saved", linkPath);
  }

Cleanup:
  ReleaseAndClear(&persist);
  ReleaseAndClear(&link);
  FreeAndClear(&storedTarget);
  return FAILED(result) ? result : S_OK;
}

HRESULT PutShortcut(HANDLE folder, const wchar_t* linkPath, const wchar_t* name, IStream* stream,
                    BOOL* existedBefore) {
  HGLOBAL memory = nullptr;
  const void* bytes = nullptr;
  ULARGE_INTEGER size;
  LARGE_INTEGER noMove;
  WalkProblem found = kWalkMissing;
  WalkProblem problem = kWalkCannotOpen;
  BOOL inPlace = FALSE;
  HRESULT result = S_OK;

  noMove.QuadPart = 0;
  size.QuadPart = 0;
  *existedBefore = FALSE;
  // The stream ends where the save left it.
  result = stream->Seek(noMove, STREAM_SEEK_CUR, &size);
  if (SUCCEEDED(result)) {
    result = GetHGlobalFromStream(stream, &memory);
  }
  bytes = SUCCEEDED(result) ? GlobalLock(memory) : nullptr;
  if (bytes == nullptr) {
    result = FAILED(result) ? result : HRESULT_FROM_WIN32(GetLastError());
    LogFailure(result, "Shortcut %s not written: the shell link cannot be saved", linkPath);
    return result;
  }
  problem =
      ReplaceFileIn(folder, name, bytes, static_cast<DWORD>(size.QuadPart), &found, &inPlace);
  result = HRESULT_FROM_WIN32(GetLastError());
  GlobalUnlock(memory);

  *existedBefore = found != kWalkMissing;
  if (problem == kWalkIsFolder) {
    LogLine("Shortcut refused: %s is a folder", linkPath);
    return HRESULT_FROM_WIN32(kRefusedLinkError);
  }
  if (problem == kWalkDeletePending) {
    LogFailure(static_cast<DWORD>(result),
               "Shortcut %s not written: the deletion of the one there waits for another "
               "program to let go of it",
               linkPath);
    return result;
  }
  if (problem != kWalkSound) {
    LogFailure(static_cast<DWORD>(result), "Shortcut %s not written: saving failed", linkPath);
    return result;
  }
  if (inPlace) {
    LogLine("Shortcut %s written into the file there, which another program holds open",
            linkPath);
  }
  if (found == kWalkIsLink || found == kWalkLiesElsewhere) {
    LogLine("Shortcut %s replaces a link, not what it leads to", linkPath);
  } else if (found == kWalkHasNames) {
    LogLine("Shortcut %s replaces one name of a file with more (hard links)", linkPath);
  }
  return S_OK;
}

void LogShortcutWritten(const wchar_t* linkPath, const wchar_t* target, const wchar_t* arguments,
                        const wchar_t* workingDirectory, const wchar_t* description,
                        const wchar_t* iconPath, int iconIndex, int showCommand) {
  LogLine("Shortcut written: %s", linkPath);
  LogLine("Shortcut target: %s", target);
  LogLine("Shortcut arguments: %s",
          arguments != nullptr && arguments[0] != L'\0' ? arguments : L"(none)");
  LogLine("Shortcut working directory: %s", workingDirectory);
  LogLine("Shortcut description: %s", description);
  LogLine("Shortcut icon: %s, index %u", iconPath, static_cast<DWORD>(iconIndex));
  LogLine("Shortcut show command: %u", static_cast<DWORD>(showCommand));
}

HRESULT DeleteShortcutIn(HANDLE folder, const wchar_t* linkPath, const wchar_t* name,
                         DWORD missingError) {
  HANDLE file = INVALID_HANDLE_VALUE;
  wchar_t* quoted = nullptr;
  WalkProblem problem = kWalkMissing;
  WalkProblem gone = kWalkCannotOpen;
  BY_HANDLE_FILE_INFORMATION information;
  BOOL nameGoesAtClose = FALSE;
  BOOL marked = FALSE;
  BOOL deletedQuoted = FALSE;
  DWORD error = missingError;
  bool readOnly = false;

  if (folder != INVALID_HANDLE_VALUE) {
    file = OpenEntryToDelete(folder, name, wcslen(name), kEntryFile, &problem);
    error = GetLastError();
  }
  if (problem != kWalkSound && problem != kWalkMissing && problem != kWalkCannotOpen &&
      problem != kWalkDeletePending) {
    LogLine("Shortcut refused: %s %S", linkPath, DescribeWalkProblem(problem));
    goto Cleanup;
  }
  if (problem == kWalkSound) {
    marked = DeleteEntryIn(folder, name, wcslen(name), file, kEntryFile, &nameGoesAtClose);
    error = marked ? ERROR_SUCCESS : GetLastError();
    readOnly = !marked && GetFileInformationByHandle(file, &information) &&
               (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  }
  // The file goes as its last handle closes: another program's hold keeps
  // the name until it lets go, unless the system took the POSIX deletion. A
  // deletion already under way is waited for alike.
  if (marked || problem == kWalkDeletePending) {
    gone = CloseDeletedEntry(folder, name, wcslen(name), &file, nameGoesAtClose);
  }
  CloseHandleAndClear(&file);
  // The quoted form has always been tried as well: a name that no file
  // system takes, so that it reaches nothing.
  quoted = JoinStrings(3, kQuote, linkPath, kQuote);
  deletedQuoted = DeleteFileW(quoted);
  if (gone == kWalkMissing) {
    AnnounceFileDeleted(linkPath);
  }
  LogDeletion(linkPath, deletedQuoted ? kWalkMissing : gone, error, readOnly);

Cleanup:
  CloseHandleAndClear(&file);
  FreeAndClear(&quoted);
  return marked || deletedQuoted ? S_OK : E_FAIL;
}
