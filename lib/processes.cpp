#include "processes.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <cstring>
#include <cwchar>

#include "install_layout.h"
#include "log.h"
#include "release.h"

namespace {

// All process rights as they were defined before the larger mask of later
// systems; asking for the older set works on every system.
constexpr DWORD kProcessAllAccessLegacy = 0x1F0FFF;
constexpr UINT kTerminatedExitCode = 0;
constexpr DWORD kSnapshotAllProcesses = 0;
constexpr int kNoWaitSwitch = 1;

// Returns a writable copy of `commandLine`, or null for null; the caller
// releases it with FreeAndClear.
wchar_t* CopyCommandLine(const wchar_t* commandLine) {
  return commandLine != nullptr ? JoinStrings(1, commandLine) : nullptr;
}

// Starts `commandLine` hidden, handing on the inheritable handles. Returns
// TRUE with both handles in `process`, which the caller closes; FALSE with
// `process` cleared when nothing was started.
BOOL StartHidden(const wchar_t* commandLine, DWORD creationFlags, PROCESS_INFORMATION* process) {
  STARTUPINFOW startup;
  wchar_t* writableCommandLine = nullptr;
  BOOL started = FALSE;

  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  memset(process, 0, sizeof(*process));

  writableCommandLine = CopyCommandLine(commandLine);
  started = CreateProcessW(/*lpApplicationName=*/nullptr, writableCommandLine,
                           /*lpProcessAttributes=*/nullptr, /*lpThreadAttributes=*/nullptr,
                           /*bInheritHandles=*/TRUE, creationFlags, /*lpEnvironment=*/nullptr,
                           /*lpCurrentDirectory=*/nullptr, &startup, process);
  if (started) {
    LogLine("Started hidden as process %u: %s", process->dwProcessId, commandLine);
  } else {
    LogFailure(GetLastError(), "Not started: %s", commandLine);
    memset(process, 0, sizeof(*process));
  }
  FreeAndClear(&writableCommandLine);
  return started;
}

// Starts `commandLine` hidden and, when asked, waits for it without limit;
// then closes the thread handle and the process handle. Returns kLaunchFailed
// when nothing was started, otherwise the result of closing the process
// handle.
int RunHidden(const wchar_t* commandLine, DWORD creationFlags, bool wait) {
  PROCESS_INFORMATION process;
  if (!StartHidden(commandLine, creationFlags, &process)) {
    return kLaunchFailed;
  }
  if (wait) {
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    if (GetExitCodeProcess(process.hProcess, &exitCode)) {
      LogLine("Process %u ended with exit code %u", process.dwProcessId, exitCode);
    } else {
      LogFailure(GetLastError(), "Process %u ended; its exit code cannot be read",
                 process.dwProcessId);
    }
  }
  CloseHandleAndClear(&process.hThread);
  const int result = CloseHandle(process.hProcess);
  process.hProcess = nullptr;
  return result;
}

void FillShellRecord(SHELLEXECUTEINFOW* record, ULONG mask, const wchar_t* verb,
                     const wchar_t* file, const wchar_t* parameters, WORD showCommand) {
  memset(record, 0, sizeof(*record));
  record->cbSize = sizeof(*record);
  record->fMask = mask;
  record->lpVerb = verb;
  record->lpFile = file;
  record->lpParameters = parameters;
  record->nShow = showCommand;
}

}  // namespace

int TerminateProcessesByName(const wchar_t* text) {
  const DWORD ownProcessId = GetCurrentProcessId();
  HANDLE snapshot = nullptr;
  HANDLE process = nullptr;
  PROCESSENTRY32W entry;
  BOOL more = FALSE;
  int result = 0;

  // The empty text is found in every name: elevated, that would end nearly
  // the whole session. It matches nothing instead.
  if (text == nullptr || text[0] == L'\0') {
    result = 1;
    goto Cleanup;
  }
  snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, kSnapshotAllProcesses);
  if (snapshot == INVALID_HANDLE_VALUE) {
    goto Cleanup;
  }
  result = 1;
  memset(&entry, 0, sizeof(entry));
  entry.dwSize = sizeof(entry);
  for (more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == ownProcessId || wcsstr(entry.szExeFile, text) == nullptr) {
      continue;
    }
    process = OpenProcess(kProcessAllAccessLegacy, /*bInheritHandle=*/FALSE, entry.th32ProcessID);
    if (process == nullptr) {
      continue;
    }
    result *= TerminateProcess(process, kTerminatedExitCode);
    CloseHandleAndClear(&process);
  }

Cleanup:
  CloseHandleAndClear(&process);
  CloseHandleAndClear(&snapshot);
  return result;
}

int RunWithTimeout(const wchar_t* applicationPath, const wchar_t* commandLine, WORD showCommand,
                   int noWait) {
  // Start-up records name the desktop through a writable pointer; the empty
  // name asks for the caller's own.
  wchar_t callersDesktop[] = L"";
  STARTUPINFOW startup;
  PROCESS_INFORMATION process;
  wchar_t* writableCommandLine = nullptr;
  DWORD status = 0;

  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = showCommand;
  startup.lpDesktop = callersDesktop;
  memset(&process, 0, sizeof(process));

  writableCommandLine = CopyCommandLine(commandLine);
  if (!CreateProcessW(applicationPath, writableCommandLine, /*lpProcessAttributes=*/nullptr,
                      /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/FALSE,
                      NORMAL_PRIORITY_CLASS, /*lpEnvironment=*/nullptr,
                      /*lpCurrentDirectory=*/nullptr, &startup, &process)) {
    memset(&process, 0, sizeof(process));
    goto Cleanup;
  }
  if (noWait == kNoWaitSwitch) {
    goto Cleanup;
  }

  // The status is read before each pause, so even a child that has already
  // ended costs one pause, and the last poll ends the child whatever it read.
  for (int poll = 1; poll <= kRunTimeoutPolls; ++poll) {
    status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    Sleep(kRunPollPauseMs);
    if (poll == kRunTimeoutPolls) {
      TerminateProcess(process.hProcess, kTerminatedExitCode);
      break;
    }
    if (status != STILL_ACTIVE) {
      break;
    }
  }

Cleanup:
  CloseHandleAndClear(&process.hProcess);
  CloseHandleAndClear(&process.hThread);
  FreeAndClear(&writableCommandLine);
  return 0;
}

int ShellRunAndWait(const wchar_t* file, const wchar_t* parameters, WORD showCommand) {
  SHELLEXECUTEINFOW record;
  BOOL result = FALSE;

  FillShellRecord(&record, SEE_MASK_NOCLOSEPROCESS, /*verb=*/nullptr, file, parameters,
                  showCommand);
  result = ShellExecuteExW(&record);
  if (!result) {
    record.hProcess = nullptr;
  }
  // The shell may serve a request without starting a process; then no handle
  // comes back and there is nothing to wait for.
  if (record.hProcess != nullptr) {
    WaitForSingleObject(record.hProcess, INFINITE);
  }
  CloseHandleAndClear(&record.hProcess);
  return result;
}

int ShellOpen(const wchar_t* file, const wchar_t* parameters, WORD showCommand) {
  SHELLEXECUTEINFOW record;

  FillShellRecord(&record, /*mask=*/0, L"open", file, parameters, showCommand);
  return ShellExecuteExW(&record);
}

int RunHiddenAndWait(const wchar_t* commandLine) {
  return RunHidden(commandLine, /*creationFlags=*/0, /*wait=*/true);
}

int RunHiddenDetached(const wchar_t* commandLine) {
  return RunHidden(commandLine, CREATE_NEW_PROCESS_GROUP, /*wait=*/false);
}
