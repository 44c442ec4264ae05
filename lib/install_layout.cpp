#include "install_layout.h"

#include <cstring>
#include <cwchar>

#include "backoff.h"
#include "log.h"
#include "release.h"

namespace {

constexpr char kQuote = '"';
// The release-information file is read in pieces of this size, however large
// it is, so that memory stays bounded.
constexpr DWORD kScanChunkBytes = 256 * 1024;
// A value of more UTF-16 units than a path or a name can have counts as
// missing; UTF-8 takes at most three bytes for each unit.
constexpr DWORD kLongestValueUnits = 32767;
constexpr DWORD kBytesPerUnitAtMost = 3;
constexpr DWORD kLongestValueBytes = kLongestValueUnits * kBytesPerUnitAtMost;
// Readers, writers and deleters elsewhere do not keep the file from being read.
constexpr DWORD kScanShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The largest file that ReadWholeFile takes into memory: its size and the
// terminator must fit a 32-bit count.
constexpr LONGLONG kLargestWholeFile = MAXDWORD - 1;
// The module path is first read into this many characters, then into twice
// as many until it is read whole; no path is longer than the largest one the
// system handles.
constexpr DWORD kLongestPath = 32768;
constexpr wchar_t kGlobalReleaseInfo[] = L"\\commonfiles\\globalsettings\\relinfo.xml";
constexpr wchar_t kLocalReleaseInfo[] = L"relinfo.xml";
constexpr char kFolderNameKey[] = "startMenuFolderName";
constexpr char kRevisionKey[] = "startMenuShortcutAppendRevision";
// A value that changes between the two calls of the pointer form is read
// again, this many times at the most: a file replaced over and over cannot
// hold a program back.
constexpr int kReleaseReadAttempts = 3;

// Whether `error` says that another program holds the file for now: opened
// without sharing reading (a scanner, any reader), or a range locked.
bool IsHeldError(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// --- Sizes reported by the null calls of the pointer-form readers ----------
//
// The pointer form hands the reader a buffer without its capacity: the buffer
// is taken to hold what the caller's first (null) call reported. Each null
// call therefore records, per thread and per file and key, the size it
// reported; a filling call whose value needs more writes the terminator alone
// and returns the size needed now. A handful of slots suffices: callers fill
// right after asking. A slot that was overwritten, or never written, counts as
// a report of size 1.

struct ReportedSize {
  DWORD thread;
  UINT64 tag;
  DWORD size;
};

constexpr int kReportedSizeSlots = 16;
ReportedSize g_reportedSizes[kReportedSizeSlots];
int g_nextReportedSize;
volatile LONG g_reportedSizesLock;

void LockReportedSizes() {
  while (InterlockedCompareExchange(&g_reportedSizesLock, 1, 0) != 0) {
    Sleep(0);
  }
}

void UnlockReportedSizes() { InterlockedExchange(&g_reportedSizesLock, 0); }

UINT64 TagOf(const wchar_t* path, const char* key) {
  constexpr UINT64 kFnvOffset = 14695981039346656037ULL;
  constexpr UINT64 kFnvPrime = 1099511628211ULL;
  UINT64 tag = kFnvOffset;
  for (const wchar_t* c = path; *c != L'\0'; ++c) {
    tag = (tag ^ static_cast<UINT16>(*c)) * kFnvPrime;
  }
  tag = (tag ^ 0xFFFFu) * kFnvPrime;  // separates path from key
  for (const char* c = key; *c != '\0'; ++c) {
    tag = (tag ^ static_cast<unsigned char>(*c)) * kFnvPrime;
  }
  return tag;
}

void RememberReportedSize(UINT64 tag, DWORD size) {
  const DWORD thread = GetCurrentThreadId();
  LockReportedSizes();
  int slot = -1;
  for (int i = 0; i < kReportedSizeSlots && slot < 0; ++i) {
    if (g_reportedSizes[i].thread == thread && g_reportedSizes[i].tag == tag) {
      slot = i;
    }
  }
  if (slot < 0) {
    slot = g_nextReportedSize;
    g_nextReportedSize = (g_nextReportedSize + 1) % kReportedSizeSlots;
  }
  g_reportedSizes[slot].thread = thread;
  g_reportedSizes[slot].tag = tag;
  g_reportedSizes[slot].size = size;
  UnlockReportedSizes();
}

DWORD RecallReportedSize(UINT64 tag) {
  const DWORD thread = GetCurrentThreadId();
  DWORD size = 1;
  LockReportedSizes();
  for (int i = 0; i < kReportedSizeSlots; ++i) {
    if (g_reportedSizes[i].thread == thread && g_reportedSizes[i].tag == tag &&
        g_reportedSizes[i].size > 0) {
      size = g_reportedSizes[i].size;
    }
  }
  UnlockReportedSizes();
  return size;
}

// Whether the last call of ReadQuotedValue on a thread met a file that
// another program held through every wait (see CopyReadableReleaseValue), in
// slots of their own, per thread, like the sizes above.

struct HeldRead {
  DWORD thread;
  bool held;
};

HeldRead g_heldReads[kReportedSizeSlots];
int g_nextHeldRead;

void RememberHeldRead(bool held) {
  const DWORD thread = GetCurrentThreadId();
  LockReportedSizes();
  int slot = -1;
  for (int i = 0; i < kReportedSizeSlots && slot < 0; ++i) {
    slot = g_heldReads[i].thread == thread ? i : -1;
  }
  if (slot < 0) {
    slot = g_nextHeldRead;
    g_nextHeldRead = (g_nextHeldRead + 1) % kReportedSizeSlots;
  }
  g_heldReads[slot].thread = thread;
  g_heldReads[slot].held = held;
  UnlockReportedSizes();
}

bool RecallHeldRead() {
  const DWORD thread = GetCurrentThreadId();
  bool held = false;
  LockReportedSizes();
  for (int i = 0; i < kReportedSizeSlots; ++i) {
    held = held || (g_heldReads[i].thread == thread && g_heldReads[i].held);
  }
  UnlockReportedSizes();
  return held;
}

// ---------------------------------------------------------------------------

// Why OpenForScan gave no handle.
enum ScanOpenProblem { kScanOpened, kScanCannotOpen, kScanNotOnDisk, kScanNoSize };

// Opens the existing file at `path` for reading as the release-information
// readers do. Nothing is created, not even through a link that leads nowhere.
// The file may be open elsewhere for reading, writing or deletion (an editor,
// an installer step). Only a file on disk is read: a device or a pipe may
// never end, or block forever. An open refused because another program holds
// the file is tried again after the short waits of backoff.h, within the
// run's budget. Stores the file's size at the open in *size;
// no reader reads more than that, however the file grows. Returns the handle,
// which the caller closes, or INVALID_HANDLE_VALUE with *problem saying why
// (and, after a failed open or size, the system's error as the last error).
HANDLE OpenForScan(const wchar_t* path, LONGLONG* size, ScanOpenProblem* problem) {
  HANDLE file = INVALID_HANDLE_VALUE;
  LARGE_INTEGER fileSize;
  DWORD error = ERROR_SUCCESS;

  *size = 0;
  *problem = kScanCannotOpen;
  for (unsigned attempt = 1;; ++attempt) {
    file = CreateFileW(path, GENERIC_READ, kScanShareMode, /*lpSecurityAttributes=*/nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr);
    error = GetLastError();
    if (file != INVALID_HANDLE_VALUE || !IsHeldError(error) || !WaitBeforeRetry(attempt)) {
      break;
    }
  }
  if (file == INVALID_HANDLE_VALUE) {
    goto Cleanup;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    *problem = kScanNotOnDisk;
    goto Cleanup;
  }
  fileSize.QuadPart = 0;
  if (!GetFileSizeEx(file, &fileSize) || fileSize.QuadPart < 0) {
    *problem = kScanNoSize;
    error = GetLastError();
    goto Cleanup;
  }
  *size = fileSize.QuadPart;
  *problem = kScanOpened;

Cleanup:
  if (*problem != kScanOpened) {
    CloseHandleAndClear(&file);
    file = INVALID_HANDLE_VALUE;
  }
  SetLastError(error);
  return file;
}

// Returns the offset of the first occurrence of `needle` (of `needleLength`
// bytes, at least one) in the `length` bytes at `haystack`, or -1.
long FindBytes(const char* haystack, DWORD length, const char* needle, size_t needleLength) {
  DWORD at = 0;
  while (at + needleLength <= length) {
    const void* first = memchr(haystack + at, needle[0], length - at - needleLength + 1);
    if (first == nullptr) {
      return -1;
    }
    at = static_cast<DWORD>(static_cast<const char*>(first) - haystack);
    if (memcmp(haystack + at, needle, needleLength) == 0) {
      return static_cast<long>(at);
    }
    ++at;
  }
  return -1;
}

// What the scan of a release-information file is looking for next.
enum ScanStep { kSeekKey, kSeekOpeningQuote, kSeekClosingQuote, kScanDone };

// Scans the first `size` bytes of the open file once, in bounded memory, for
// the first occurrence of `key`, the next double quote after it and the next
// one after that, and copies the bytes between the two quotes into `value`
// (room for kLongestValueBytes). Returns TRUE with their count in
// *valueLength when both quotes were found and the value fits; FALSE
// otherwise, with the error of a read that failed in *readError
// (ERROR_SUCCESS when none did).
BOOL ScanQuotedValue(HANDLE file, LONGLONG size, const char* key, char* value,
                     DWORD* valueLength, DWORD* readError) {
  const size_t keyLength = strlen(key);
  char* window = nullptr;
  DWORD kept = 0;  // bytes carried over from the previous chunk
  DWORD collected = 0;
  LONGLONG remaining = size;  // the file may grow meanwhile: never read past its size at the open
  ScanStep step = kSeekKey;
  BOOL found = FALSE;

  *valueLength = 0;
  *readError = ERROR_SUCCESS;
  if (keyLength == 0 || keyLength > kScanChunkBytes) {
    goto Cleanup;
  }
  window = new char[kScanChunkBytes + keyLength];
  while (step != kScanDone) {
    DWORD read = 0;
    const DWORD ask = remaining < kScanChunkBytes ? static_cast<DWORD>(remaining) : kScanChunkBytes;
    if (ask > 0 && !ReadFile(file, window + kept, ask, &read, /*lpOverlapped=*/nullptr)) {
      *readError = GetLastError();
    }
    if (read == 0) {
      goto Cleanup;
    }
    remaining -= read;
    const DWORD available = kept + read;
    DWORD at = 0;
    kept = 0;
    if (step == kSeekKey) {
      const long keyAt = FindBytes(window, available, key, keyLength);
      if (keyAt < 0) {
        // The key may begin in this chunk and end in the next.
        kept = available < keyLength - 1 ? available : static_cast<DWORD>(keyLength - 1);
        memmove(window, window + available - kept, kept);
        continue;
      }
      at = static_cast<DWORD>(keyAt) + static_cast<DWORD>(keyLength);
      step = kSeekOpeningQuote;
    }
    if (step == kSeekOpeningQuote) {
      const void* quote = memchr(window + at, kQuote, available - at);
      if (quote == nullptr) {
        continue;
      }
      at = static_cast<DWORD>(static_cast<const char*>(quote) - window) + 1;
      step = kSeekClosingQuote;
    }
    const void* quote = memchr(window + at, kQuote, available - at);
    const DWORD end =
        quote != nullptr ? static_cast<DWORD>(static_cast<const char*>(quote) - window) : available;
    if (end - at > kLongestValueBytes - collected) {
      goto Cleanup;  // longer than any value that can be handed out
    }
    memcpy(value + collected, window + at, end - at);
    collected += end - at;
    if (quote != nullptr) {
      step = kScanDone;
    }
  }
  *valueLength = collected;
  found = TRUE;

Cleanup:
  FreeBytesAndClear(&window);
  return found;
}

// Converts the UTF-8 value of `byteCount` bytes into `destination`, whose room
// is `capacity` characters, terminator included, and at least byteCount + 1:
// UTF-8 never yields more UTF-16 units than it has bytes.
void CopyUtf8Value(const char* bytes, int byteCount, wchar_t* destination, DWORD capacity) {
  int produced = 0;
  if (byteCount > 0 && capacity > 1) {
    produced = MultiByteToWideChar(CP_UTF8, /*dwFlags=*/0, bytes, byteCount, destination,
                                   static_cast<int>(capacity - 1));
  }
  destination[produced] = L'\0';
}

// Writes to the log why a release-information file reads as missing.
void LogUnreadable(const wchar_t* path, const char* key, ScanOpenProblem problem, DWORD error) {
  if (problem == kScanCannotOpen && IsHeldError(error)) {
    LogFailure(error, "Release information %s is held by another program, %S not read", path,
               key);
  } else if (problem == kScanNotOnDisk) {
    LogLine("Release information %s is not a file on disk (a device or a pipe), %S taken as empty",
            path, key);
  } else if (problem == kScanNoSize) {
    LogFailure(error, "Release information %s has no size, %S taken as empty", path, key);
  } else {
    LogFailure(error, "Release information %s cannot be opened, %S taken as empty", path, key);
  }
}

// ReadQuotedValue on `folder` joined with `file`, when `folder` is absolute;
// a relative folder would name a file below the current folder, and gives
// the empty value (size 1).
DWORD ReadReleaseValueIn(const wchar_t* folder, const wchar_t* file, const char* key,
                         wchar_t** value) {
  wchar_t* path = nullptr;
  DWORD size = 1;

  if (!IsAbsoluteInstallPath(folder)) {
    if (value != nullptr && *value != nullptr) {
      (*value)[0] = L'\0';
      LogLine("Release information not read: the folder \"%s\" is not an absolute path, %S taken "
              "as empty", folder, key);
    }
    goto Cleanup;
  }
  path = JoinStrings(2, folder, file);
  size = ReadQuotedValue(path, key, value);

Cleanup:
  FreeAndClear(&path);
  return size;
}

DWORD ReadGlobalReleaseValue(const char* key, wchar_t** value) {
  wchar_t* root = CopyInstallRoot();
  const DWORD size = ReadReleaseValueIn(root, kGlobalReleaseInfo, key, value);
  FreeAndClear(&root);
  return size;
}

}  // namespace

wchar_t* CopyModulePath() {
  wchar_t* modulePath = nullptr;
  for (DWORD capacity = kModulePathCapacity; capacity <= kLongestPath; capacity *= 2) {
    modulePath = new wchar_t[capacity];
    const DWORD length = GetModuleFileNameW(/*hModule=*/nullptr, modulePath, capacity);
    // A path that filled the buffer was cut: read it again into a larger one.
    if (length < capacity) {
      modulePath[length] = L'\0';
      return modulePath;
    }
    FreeAndClear(&modulePath);
  }
  // No path of the system is this long: never work from a cut one.
  return JoinStrings(0);
}

DWORD GetModulePath(wchar_t* buffer, DWORD capacity) {
  wchar_t* modulePath = CopyModulePath();
  const DWORD needed = static_cast<DWORD>(wcslen(modulePath)) + 1;
  DWORD result = needed;
  if (buffer != nullptr && capacity >= needed) {
    memcpy(buffer, modulePath, needed * sizeof(wchar_t));
    result = 0;
  }
  FreeAndClear(&modulePath);
  return result;
}

wchar_t* CopyInstallRoot() {
  const DWORD size = GetInstallRoot(nullptr, 0);
  wchar_t* root = new wchar_t[size > 0 ? size : 1];
  root[0] = L'\0';
  GetInstallRoot(root, size);
  return root;
}

DWORD GetInstallRoot(wchar_t* buffer, DWORD capacity) {
  wchar_t* modulePath = CopyModulePath();
  const DWORD needed = static_cast<DWORD>(wcslen(modulePath)) + 1;
  DWORD result = needed;
  if (buffer != nullptr && capacity >= needed) {
    buffer[0] = L'\0';
    ClimbDirectories(modulePath, buffer);
    result = 0;
  }
  FreeAndClear(&modulePath);
  return result;
}

BOOL ReadWholeFile(const wchar_t* path, char** content) {
  HANDLE file = INVALID_HANDLE_VALUE;
  char* bytes = nullptr;
  LONGLONG fileSize = 0;
  ScanOpenProblem problem = kScanCannotOpen;
  DWORD size = 0;
  DWORD offset = 0;
  BOOL complete = FALSE;

  file = OpenForScan(path, &fileSize, &problem);
  // A size that does not fit in 32 bits cannot be held in memory here; taking
  // its low part would read a wrapped-around fraction of the file.
  if (file == INVALID_HANDLE_VALUE || fileSize > kLargestWholeFile) {
    goto Cleanup;
  }
  size = static_cast<DWORD>(fileSize);
  complete = TRUE;
  bytes = new char[size + 1];
  *content = bytes;

  // The file may shrink or grow meanwhile: read at most the size taken above.
  while (offset < size) {
    DWORD read = 0;
    if (!ReadFile(file, bytes + offset, size - offset, &read, /*lpOverlapped=*/nullptr)) {
      complete = FALSE;
      break;
    }
    if (read == 0) {
      break;
    }
    offset += read;
  }
  bytes[offset] = '\0';

Cleanup:
  CloseHandleAndClear(&file);
  return complete;
}

DWORD ReadQuotedValue(const wchar_t* path, const char* key, wchar_t** value) {
  HANDLE file = INVALID_HANDLE_VALUE;
  char* valueBytes = nullptr;
  LONGLONG fileSize = 0;
  ScanOpenProblem problem = kScanCannotOpen;
  DWORD byteCount = 0;
  DWORD needed = 1;
  DWORD reported = 0;
  DWORD readError = ERROR_SUCCESS;
  unsigned attempt = 0;
  bool held = false;
  bool outgrown = false;
  const UINT64 tag = TagOf(path, key);
  // A caller that hands over the address of a null pointer has no buffer.
  wchar_t* buffer = value != nullptr ? *value : nullptr;

  if (buffer != nullptr) {
    buffer[0] = L'\0';
  }
  file = OpenForScan(path, &fileSize, &problem);
  if (file == INVALID_HANDLE_VALUE) {
    readError = GetLastError();
    held = problem == kScanCannotOpen && IsHeldError(readError);
    if (buffer != nullptr) {
      LogUnreadable(path, key, problem, readError);
    }
    goto Cleanup;
  }
  valueBytes = new char[kLongestValueBytes];
  // A range that another program locks for a moment is read again, from the
  // start, after the short waits of backoff.h.
  while (!ScanQuotedValue(file, fileSize, key, valueBytes, &byteCount, &readError)) {
    held = readError == ERROR_LOCK_VIOLATION;
    if (!held || !WaitBeforeRetry(++attempt) ||
        SetFilePointer(file, /*lDistanceToMove=*/0, /*lpDistanceToMoveHigh=*/nullptr,
                       FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
      goto Cleanup;
    }
    held = false;
  }
  if (byteCount > 0 &&
      static_cast<DWORD>(MultiByteToWideChar(CP_UTF8, /*dwFlags=*/0, valueBytes,
                                             static_cast<int>(byteCount), /*lpWideCharStr=*/nullptr,
                                             /*cchWideChar=*/0)) > kLongestValueUnits) {
    goto Cleanup;
  }
  needed = byteCount + 1;
  // The buffer holds what the null call reported. A value that no longer fits
  // is not cut: its caller reads it again (see CopyReleaseValue).
  if (buffer != nullptr) {
    reported = RecallReportedSize(tag);
    outgrown = needed > reported;
    if (!outgrown) {
      CopyUtf8Value(valueBytes, static_cast<int>(byteCount), buffer, reported);
    }
  }

Cleanup:
  if (value == nullptr) {
    RememberReportedSize(tag, needed);
  }
  RememberHeldRead(held);
  // Only the call that hands the value out tells what it found.
  if (buffer != nullptr && file != INVALID_HANDLE_VALUE) {
    if (held) {
      LogFailure(readError, "Release information %s is held by another program, %S not read",
                 path, key);
    } else if (outgrown) {
      LogLine("Release information %s: %S needs %u characters now, more than the %u reported "
              "before: not handed out, to be read again", path, key, needed, reported);
    } else if (needed > 1) {
      LogLine("Release information %s: %S=\"%s\"", path, key, buffer);
    } else {
      LogLine("Release information %s: %S missing or empty", path, key);
    }
  }
  FreeBytesAndClear(&valueBytes);
  CloseHandleAndClear(&file);
  return needed;
}

wchar_t* CopyReleaseValue(DWORD (*reader)(wchar_t** value)) {
  for (int attempt = 0; attempt < kReleaseReadAttempts; ++attempt) {
    const DWORD size = reader(nullptr);
    wchar_t* value = new wchar_t[size > 0 ? size : 1];
    value[0] = L'\0';
    if (reader(&value) <= size) {
      return value;
    }
    FreeAndClear(&value);
  }
  LogLine("Release information changed on each of %u readings: the value is taken as empty",
          static_cast<DWORD>(kReleaseReadAttempts));
  return JoinStrings(0);
}

wchar_t* CopyReadableReleaseValue(DWORD (*reader)(wchar_t** value)) {
  wchar_t* value = nullptr;
  RememberHeldRead(false);
  value = CopyReleaseValue(reader);
  if (RecallHeldRead()) {
    FreeAndClear(&value);
  }
  return value;
}

BOOL IsAbsoluteInstallPath(const wchar_t* path) {
  if (path == nullptr) {
    return FALSE;
  }
  const bool driveLetter =
      (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
  if (driveLetter && path[1] == L':' && path[2] == L'\\') {
    return TRUE;
  }
  if (path[0] != L'\\' || path[1] != L'\\') {
    return FALSE;
  }
  // \\server\share, alone or followed by a backslash and more.
  const wchar_t* server = path + 2;
  const size_t serverLength = wcscspn(server, L"\\");
  if (serverLength == 0 || server[serverLength] != L'\\') {
    return FALSE;
  }
  return server[serverLength + 1] != L'\0' && server[serverLength + 1] != L'\\';
}

DWORD GetStartMenuFolderName(wchar_t** value) { return ReadGlobalReleaseValue(kFolderNameKey, value); }

DWORD GetRevisionSuffix(wchar_t** value) { return ReadGlobalReleaseValue(kRevisionKey, value); }

DWORD GetLocalRevisionSuffix(wchar_t** value) {
  wchar_t* folder = CopyModulePath();
  CutLastComponent(folder);
  const DWORD size = ReadReleaseValueIn(folder, kLocalReleaseInfo, kRevisionKey, value);
  FreeAndClear(&folder);
  return size;
}
