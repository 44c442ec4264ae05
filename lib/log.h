// The log of a run, for the people who deploy the programs: one line per step,
// each beginning with the local time. Every line goes to the debugger's output
// (OutputDebugStringW), where a debugger or a debug-output viewer shows it, and,
// once StartLog has opened a file, is appended to that file as UTF-8. Nothing
// here changes what the caller does: a log that cannot be opened or written is
// passed over. The log file stays open until EndLog or the end of the process.
//
// Line formats are ASCII text, each byte one character (kept narrow so that
// the programs stay small), in which
//   %s  stands for the next argument, a wide string (null counts as empty);
//   %S  for the next argument, a narrow string, each byte one character;
//   %u  for the next argument, a DWORD, in decimal; %2u to %9u pad it with
//       leading zeros to that many digits;
//   %x  for the next argument, a DWORD, as eight hexadecimal digits;
//   %%  for a percent sign.
// Control characters below the blank, line breaks included, are written as
// blanks, so that a value read from a file cannot break a line in two. The
// other control and format characters (IsDisguisingCharacter in strings.h:
// DEL, the C1 controls, U+0085 among them, the bidirectional controls, the
// zero-width space, U+FEFF and the rest) and the line and paragraph
// separators (U+2028, U+2029) are written as a backslash, "u" and four
// upper-case hexadecimal digits (\u2028), each half of a surrogate pair on its
// own, so that no reader sees a line end, a turned text or a hidden character
// where there is none. A backslash is written as it is: the escapes are
// for reading, not for parsing back.
#pragma once

#include <windows.h>

// Looks through `commandLine` (a whole command line, program first, as
// GetCommandLineW gives it, split by the system's rules, so that a value with
// blanks comes quoted: /log="C:\a b\x.log") for the first argument beginning
// with /log= in any case, and opens the file that follows for appending,
// creating it when it is missing; every other argument is ignored. Its path
// is walked as the start menu's is (see folder_walk.h): from the root of the
// path down, each folder on the way opened relative to the one above and
// judged, so that a folder on the way that is a link means no log file. The
// file itself is opened there as itself, asking to be identified only (a pipe
// in its place cannot impersonate the caller; Wine ignores that), and is used
// only when it is a file on disk with one name: not a link, a folder, a device
// or a file that shares its data with another name (a hard link). A path that
// ends in a separator names a folder: no file is made.
// Returns TRUE when a log file is open; FALSE when there is no such argument,
// its value is empty, or the file cannot be opened or is not used (why goes to
// the debugger's output only). Without the switch no file is touched. A log
// file that is already open is closed first.
BOOL StartLog(const wchar_t* commandLine);

// Closes the log file when one is open. Lines still go to the debugger's
// output afterwards.
void EndLog();

// Writes one line made of the local time and `format` with its arguments (see
// above). A failed write is ignored.
void LogLine(const char* format, ...);

// Writes one line as LogLine does, followed by ": " and DescribeError(code).
// `code` is a Win32 error or an HRESULT (cast to DWORD).
void LogFailure(DWORD code, const char* format, ...);

// Returns a new wide string naming `code`, a Win32 error (as "error 5") or an
// HRESULT (as "error 0x80070005"), followed by ": " and the system's text for
// it without its trailing line break, or by ": no text from the system". The
// caller releases it with FreeAndClear.
wchar_t* DescribeError(DWORD code);
