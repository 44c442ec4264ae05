#include "log.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cstdarg>
#include <cstring>
#include <cwchar>

#include "folder_walk.h"
#include "paths.h"
#include "release.h"
#include "strings.h"

namespace {

constexpr wchar_t kLogSwitch[] = L"/log=";
constexpr size_t kLogSwitchLength = sizeof(kLogSwitch) / sizeof(kLogSwitch[0]) - 1;
// Other runs, and a viewer of the file, may have it open at the same time
// (the walk shares what it opens); appending only, each line lands whole at
// the end whoever else writes.
constexpr DWORD kLogAccess = FILE_APPEND_DATA;
constexpr wchar_t kLineEnd[] = L"\r\n";
constexpr wchar_t kFirstPrintable = L' ';
// Characters that are written as \uXXXX (four hexadecimal digits, one escape
// for each half of a surrogate pair): those that make a text show as
// something else (IsDisguisingCharacter: DEL, the C1 controls, U+0085 among
// them, the format characters), and the line and paragraph separators, which
// editors and script languages take as line ends.
constexpr wchar_t kLineSeparator = 0x2028;
constexpr wchar_t kParagraphSeparator = 0x2029;
constexpr wchar_t kEscapeStart[] = L"\\u";
constexpr int kEscapeDigits = 4;
constexpr wchar_t kErrorSeparator[] = L": ";
constexpr wchar_t kNoSystemText[] = L"no text from the system";
constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";
constexpr DWORD kDecimal = 10;
constexpr DWORD kHexadecimal = 16;
constexpr int kHexWidth = 8;
// Win32 error numbers fit in 16 bits; anything larger is an HRESULT.
constexpr DWORD kLargestWin32Error = 0xFFFF;
constexpr DWORD kSystemTextFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

// The open log file, or null. The programs run on one thread.
HANDLE g_logFile;

bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Whether `c` is written as \uXXXX (see kLineSeparator above).
bool IsEscaped(UINT32 c) {
  return IsDisguisingCharacter(c) || c == kLineSeparator || c == kParagraphSeparator;
}

// Stores `c` at `at` of `out` when there is an output; returns the next place.
size_t PutAsIs(wchar_t* out, size_t at, wchar_t c) {
  if (out != nullptr) {
    out[at] = c;
  }
  return at + 1;
}

size_t PutNumber(wchar_t* out, size_t at, DWORD value, DWORD base, int width) {
  wchar_t digits[32];
  int count = 0;
  do {
    digits[count++] = kHexDigits[value % base];
    value /= base;
  } while (value != 0);
  for (; width > count; --width) {
    at = PutAsIs(out, at, L'0');
  }
  while (count > 0) {
    at = PutAsIs(out, at, digits[--count]);
  }
  return at;
}

// Stores the character that begins at text[*next] as PutAsIs does, moving
// *next past it, but a value read from a file may hold line breaks or
// characters that turn the text: a line stays one line, and reads as what it
// is. Control characters below the blank become blanks; the escaped ones,
// \uXXXX for each of their units.
size_t Put(wchar_t* out, size_t at, const wchar_t* text, size_t* next) {
  const size_t first = *next;
  const UINT32 c = NextCharacter(text, next);
  if (c < kFirstPrintable) {
    return PutAsIs(out, at, L' ');
  }
  for (size_t unit = first; unit < *next; ++unit) {
    if (!IsEscaped(c)) {
      at = PutAsIs(out, at, text[unit]);
      continue;
    }
    for (const wchar_t* e = kEscapeStart; *e != L'\0'; ++e) {
      at = PutAsIs(out, at, *e);
    }
    at = PutNumber(out, at, text[unit], kHexadecimal, kEscapeDigits);
  }
  return at;
}

// Put for one byte of a narrow text: each byte is one character.
size_t PutByte(wchar_t* out, size_t at, unsigned char c) {
  const wchar_t text[] = {static_cast<wchar_t>(c), L'\0'};
  size_t next = 0;
  return Put(out, at, text, &next);
}

// Writes `format` with its arguments (see log.h) into `out`, when given, and
// returns the length of the text, without a terminator.
size_t Render(wchar_t* out, const char* format, va_list arguments) {
  size_t at = 0;
  for (const char* c = format; *c != '\0'; ++c) {
    if (*c != '%' || c[1] == '\0') {
      at = PutByte(out, at, static_cast<unsigned char>(*c));
      continue;
    }
    ++c;
    int width = 0;
    if (*c >= '1' && *c <= '9' && c[1] != '\0') {
      width = *c - '0';
      ++c;
    }
    if (*c == 's') {
      const wchar_t* text = va_arg(arguments, const wchar_t*);
      for (size_t next = 0; text != nullptr && text[next] != L'\0';) {
        at = Put(out, at, text, &next);
      }
    } else if (*c == 'S') {
      for (const char* text = va_arg(arguments, const char*); text != nullptr && *text != '\0';
           ++text) {
        at = PutByte(out, at, static_cast<unsigned char>(*text));
      }
    } else if (*c == 'u') {
      at = PutNumber(out, at, va_arg(arguments, DWORD), kDecimal, width);
    } else if (*c == 'x') {
      at = PutNumber(out, at, va_arg(arguments, DWORD), kHexadecimal, kHexWidth);
    } else {
      at = PutByte(out, at, static_cast<unsigned char>(*c));
    }
  }
  return at;
}

// Returns a new wide string holding `format` with its arguments; the caller
// releases it with FreeAndClear.
wchar_t* FormatArguments(const char* format, va_list arguments) {
  va_list measuring;
  va_copy(measuring, arguments);
  const size_t length = Render(nullptr, format, measuring);
  va_end(measuring);
  wchar_t* text = new wchar_t[length + 1];
  Render(text, format, arguments);
  text[length] = L'\0';
  return text;
}

wchar_t* Format(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  wchar_t* text = FormatArguments(format, arguments);
  va_end(arguments);
  return text;
}

// Writes one line: the local time, the formatted text, then ": " and `error`
// when that is given.
void WriteLine(const wchar_t* error, const char* format, va_list arguments) {
  SYSTEMTIME now;
  wchar_t* time = nullptr;
  wchar_t* text = nullptr;
  wchar_t* line = nullptr;
  char* bytes = nullptr;
  int size = 0;
  DWORD written = 0;

  GetLocalTime(&now);
  time = Format("%4u-%2u-%2u %2u:%2u:%2u.%3u ", static_cast<DWORD>(now.wYear),
                static_cast<DWORD>(now.wMonth), static_cast<DWORD>(now.wDay),
                static_cast<DWORD>(now.wHour), static_cast<DWORD>(now.wMinute),
                static_cast<DWORD>(now.wSecond), static_cast<DWORD>(now.wMilliseconds));
  text = FormatArguments(format, arguments);
  line = JoinStrings(5, time, text, error != nullptr ? kErrorSeparator : nullptr, error, kLineEnd);
  OutputDebugStringW(line);
  if (g_logFile == nullptr) {
    goto Cleanup;
  }
  size = WideCharToMultiByte(
      CP_UTF8, /*dwFlags=*/0, line, /*cchWideChar=*/-1, /*lpMultiByteStr=*/nullptr,
      /*cbMultiByte=*/0, /*lpDefaultChar=*/nullptr, /*lpUsedDefaultChar=*/nullptr);
  if (size <= 1) {
    goto Cleanup;
  }
  bytes = new char[size];
  WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, line, /*cchWideChar=*/-1, bytes, size,
                      /*lpDefaultChar=*/nullptr, /*lpUsedDefaultChar=*/nullptr);
  // The terminator stays out of the file.
  WriteFile(g_logFile, bytes, static_cast<DWORD>(size - 1), &written, /*lpOverlapped=*/nullptr);

Cleanup:
  FreeBytesAndClear(&bytes);
  FreeAndClear(&line);
  FreeAndClear(&text);
  FreeAndClear(&time);
}

}  // namespace

BOOL StartLog(const wchar_t* commandLine) {
  wchar_t** arguments = nullptr;
  const wchar_t* path = nullptr;
  wchar_t* fullPath = nullptr;
  wchar_t* folder = nullptr;
  wchar_t* level = nullptr;
  const wchar_t* name = nullptr;
  const wchar_t* root = nullptr;
  FolderWalk walk;
  HANDLE file = INVALID_HANDLE_VALUE;
  WalkProblem problem = kWalkCannotOpen;
  BOOL created = FALSE;
  size_t rootLength = 0;
  size_t folderLength = 0;
  int count = 0;

  memset(&walk, 0, sizeof(walk));
  EndLog();
  if (commandLine == nullptr) {
    goto Cleanup;
  }
  arguments = CommandLineToArgvW(commandLine, &count);
  if (arguments == nullptr) {
    goto Cleanup;
  }
  // The first argument is the program, whose path may hold anything.
  for (int i = 1; i < count && path == nullptr; ++i) {
    if (_wcsnicmp(arguments[i], kLogSwitch, kLogSwitchLength) == 0) {
      path = arguments[i] + kLogSwitchLength;
    }
  }
  if (path == nullptr || path[0] == L'\0') {
    goto Cleanup;
  }
  // Every folder on the way is judged as the start menu's are: an elevated
  // run must not append to a file that someone else chose, through a link.
  fullPath = CopyFullPath(path);
  root = fullPath != nullptr ? PathSkipRootW(fullPath) : nullptr;
  rootLength = root != nullptr ? static_cast<size_t>(root - fullPath) : 0;
  name = fullPath != nullptr ? wcsrchr(fullPath, L'\\') : nullptr;
  if (rootLength == 0 || name == nullptr) {
    LogFailure(GetLastError(), "Log file %s cannot be opened", path);
    goto Cleanup;
  }
  ++name;
  if (IsPathSeparator(path[wcslen(path) - 1]) || name[0] == L'\0' ||
      name < fullPath + rootLength) {
    LogLine("Log file %s not used: it names a folder", path);
    goto Cleanup;
  }
  folderLength = static_cast<size_t>(name - fullPath);
  folderLength -= folderLength > rootLength ? 1 : 0;  // a root keeps its backslash
  folder = JoinStrings(1, fullPath);
  folder[folderLength] = L'\0';
  if (!WalkFolders(folder, rootLength, /*create=*/FALSE, /*access=*/0, &walk)) {
    level = CopyWalkLevel(&walk, walk.count);
    if (walk.problem == kWalkMissing || walk.problem == kWalkCannotOpen) {
      LogFailure(walk.error, "Log file %s cannot be opened: %s %S", path, level,
                 DescribeWalkProblem(walk.problem));
    } else {
      LogLine("Log file %s not used: %s %S", path, level, DescribeWalkProblem(walk.problem));
    }
    goto Cleanup;
  }
  file = CreateEntry(walk.levels[walk.count - 1], name, wcslen(name), kEntryFileWithOneName,
                     kLogAccess, &created, &problem);
  if (problem == kWalkCannotOpen) {
    LogFailure(GetLastError(), "Log file %s cannot be opened", path);
  } else if (problem != kWalkSound) {
    LogLine("Log file %s not used: it %S", path, DescribeWalkProblem(problem));
  } else if (GetFileType(file) != FILE_TYPE_DISK) {
    LogLine("Log file %s not used: it is not a file on disk", path);
  } else {
    g_logFile = file;
    file = INVALID_HANDLE_VALUE;
  }

Cleanup:
  CloseHandleAndClear(&file);
  EndFolderWalk(&walk);
  FreeAndClear(&level);
  FreeAndClear(&folder);
  FreeAndClear(&fullPath);
  LocalFreeAndClear(&arguments);
  return g_logFile != nullptr;
}

void EndLog() { CloseHandleAndClear(&g_logFile); }

void LogLine(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WriteLine(/*error=*/nullptr, format, arguments);
  va_end(arguments);
}

void LogFailure(DWORD code, const char* format, ...) {
  wchar_t* error = DescribeError(code);
  va_list arguments;
  va_start(arguments, format);
  WriteLine(error, format, arguments);
  va_end(arguments);
  FreeAndClear(&error);
}

wchar_t* DescribeError(DWORD code) {
  wchar_t* systemText = nullptr;
  wchar_t* description = nullptr;
  size_t length = 0;
  // The system's table holds a Win32 error under its own number, also when it
  // comes wrapped in an HRESULT.
  const DWORD lookup = (code > kLargestWin32Error && HRESULT_FACILITY(code) == FACILITY_WIN32)
                           ? HRESULT_CODE(code)
                           : code;

  if (FormatMessageW(kSystemTextFlags, /*lpSource=*/nullptr, lookup, /*dwLanguageId=*/0,
                     reinterpret_cast<wchar_t*>(&systemText), /*nSize=*/0,
                     /*Arguments=*/nullptr) == 0) {
    systemText = nullptr;
  }
  length = systemText != nullptr ? wcslen(systemText) : 0;
  while (length > 0 && (systemText[length - 1] == L'\r' || systemText[length - 1] == L'\n')) {
    systemText[--length] = L'\0';
  }
  description = Format(code > kLargestWin32Error ? "error 0x%x: %s" : "error %u: %s", code,
                       length > 0 ? systemText : kNoSystemText);
  LocalFreeAndClear(&systemText);
  return description;
}
