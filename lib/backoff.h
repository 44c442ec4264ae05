// Short waits for files that another program holds for a moment: the shell
// reading a new shortcut, an indexer or a scanner opening every new file, an
// Explorer window showing a folder. A step that such a hold refuses is tried
// again after a growing pause, within one budget for the whole run, so that a
// run never waits long and a run where nothing is held never waits at all.
#pragma once

#include <windows.h>

// How long a whole run may spend in WaitBeforeRetry, in milliseconds.
constexpr DWORD kRetryBudgetMilliseconds = 2000;

// Sleeps before try number `attempt` + 1 of a refused step (attempt counts
// the tries made so far, from 1): 10 ms doubling up to 250 ms a pause, the
// last pause cut to what is left of the budget. Returns TRUE after sleeping;
// FALSE at once, without sleeping, when the run's budget is spent. The budget
// is the process's, shared by every caller on any thread.
BOOL WaitBeforeRetry(unsigned attempt);

// The milliseconds of the budget that are left (0 when it is spent).
DWORD RetryBudgetLeft();

// Gives the whole budget back; for tests, which run many cases in one process.
void ResetRetryBudget();
