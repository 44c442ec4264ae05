// Child processes: ending running programs by image name, and starting
// programs directly or through the shell, with or without waiting for them.
// Nothing is kept between calls; every handle a call obtains (snapshot,
// process, thread) is closed before it returns. A child outlives the call that
// started it unless RunWithTimeout ended it. No call reports the child's exit
// status in its result; the hidden launchers write the start, or why it
// failed, and the exit code of a child waited for to the log (lib/log.h).
//
// Command lines are copied into writable memory of the call's own before they
// reach CreateProcessW, which may modify them; callers may pass constants.
#pragma once

#include <windows.h>

// Ends every running process, other than the caller's own, whose image file
// name as the process snapshot gives it contains `text` (case-sensitive, a
// substring anywhere in the name). A null or empty text matches no name: it
// ends nothing and gives 1, without taking a snapshot. Does not wait for the
// ended processes to go away. Returns 1 when nothing matched, when no match
// could be opened, or when every opened match was terminated; 0 when a
// termination failed (the others are still tried) or when no snapshot could
// be taken.
int TerminateProcessesByName(const wchar_t* text);

// Number of one-second polls after which RunWithTimeout ends its child.
constexpr int kRunTimeoutPolls = 30;
constexpr DWORD kRunPollPauseMs = 1000;

// Starts `commandLine` (with `applicationPath`, which may be null, as the
// program to run) with the show command `showCommand`, without handing on the
// caller's inheritable handles. When `noWait` is exactly 1 returns at once;
// otherwise polls the child once a second, pausing after each look, until a
// look finds it ended or 30 pauses have passed, and then ends the child when
// it is still running. So the call lasts from about one to about 30 seconds.
// Returns 0 always, also when the program could not be started.
int RunWithTimeout(const wchar_t* applicationPath, const wchar_t* commandLine, WORD showCommand,
                   int noWait);

// Hands `file` with `parameters` (may be null) to the shell with its default
// verb and, when the shell started a process, waits for it without limit.
// Returns nonzero when the shell carried out the request, 0 when it failed
// (the shell may then show its own error message).
int ShellRunAndWait(const wchar_t* file, const wchar_t* parameters, WORD showCommand);

// Hands `file` with `parameters` (may be null) to the shell with the verb
// "open" and returns at once. Results as ShellRunAndWait.
int ShellOpen(const wchar_t* file, const wchar_t* parameters, WORD showCommand);

// Result of the hidden launchers when the process could not be created.
constexpr int kLaunchFailed = -1;

// Starts `commandLine` with its window hidden, handing on the caller's
// inheritable handles, and waits for it without limit. Returns kLaunchFailed
// when it could not be started; otherwise, once it has ended, the result of
// closing its process handle (nonzero).
int RunHiddenAndWait(const wchar_t* commandLine);

// Starts `commandLine` with its window hidden in a new process group, handing
// on the caller's inheritable handles, and returns at once. Returns
// kLaunchFailed when it could not be started; otherwise the result of closing
// its process handle (nonzero).
int RunHiddenDetached(const wchar_t* commandLine);
