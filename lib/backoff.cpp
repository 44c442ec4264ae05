#include "backoff.h"

namespace {

constexpr DWORD kFirstPauseMilliseconds = 10;
constexpr DWORD kLongestPauseMilliseconds = 250;

// Milliseconds spent so far; the programs run one thread, tests may run more.
volatile LONG gSpentMilliseconds = 0;

DWORD PauseBefore(unsigned attempt) {
  DWORD pause = kFirstPauseMilliseconds;
  for (unsigned i = 1; i < attempt && pause < kLongestPauseMilliseconds; ++i) {
    pause *= 2;
  }
  return pause < kLongestPauseMilliseconds ? pause : kLongestPauseMilliseconds;
}

}  // namespace

DWORD RetryBudgetLeft() {
  const LONG spent = InterlockedCompareExchange(&gSpentMilliseconds, 0, 0);
  return spent >= static_cast<LONG>(kRetryBudgetMilliseconds)
             ? 0
             : kRetryBudgetMilliseconds - static_cast<DWORD>(spent);
}

BOOL WaitBeforeRetry(unsigned attempt) {
  const DWORD left = RetryBudgetLeft();
  if (left == 0) {
    return FALSE;
  }
  DWORD pause = PauseBefore(attempt);
  if (pause > left) {
    pause = left;
  }
  InterlockedExchangeAdd(&gSpentMilliseconds, static_cast<LONG>(pause));
  Sleep(pause);
  return TRUE;
}

void ResetRetryBudget() { InterlockedExchange(&gSpentMilliseconds, 0); }
