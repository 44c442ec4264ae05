// The system's own guard against redirections: where Windows has it (Windows
// 10 22H2 and Windows 11), a process may ask it to refuse to follow junctions
// and other mount points that a user who is not an administrator made, so that
// an elevated program is not led out of a folder that such a user can write
// to. The programs ask at start, right after restricting the DLL search, and
// log what the system says.
#pragma once

#include <windows.h>

// Asks the system to enforce the redirection trust policy for this process
// (SetProcessMitigationPolicy with ProcessRedirectionTrustPolicy, looked up in
// kernel32 at run time, so that the programs still start where it is missing,
// as on Windows 7). Returns TRUE when the system accepted the request, FALSE
// otherwise; accepted is not yet enforced (see LogRedirectionTrust).
BOOL RequestRedirectionTrust();

// Returns TRUE when the system reports the redirection trust policy as
// enforced for this process (GetProcessMitigationPolicy, looked up at run
// time), FALSE when it does not, has no such policy or does not answer. Wine 8
// accepts the request and reports nothing (the buffer stays as it was).
BOOL IsRedirectionTrustEnforced();

// Writes to the log (lib/log.h) what IsRedirectionTrustEnforced says:
// "Redirection trust policy: enforced" or "Redirection trust policy: not
// enforced by this system".
void LogRedirectionTrust();
