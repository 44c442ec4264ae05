"""racer.py FIRST SECOND MAX_SWAPS MAX_SECONDS [PAUSE_SECONDS]: swaps the Unix names FIRST and
SECOND with renameat2(RENAME_EXCHANGE), over and over, as a user who may write
in the folder that holds them would, while a program under test runs. Prints
"started" once it swaps, and, when it ends (SIGTERM, MAX_SWAPS swaps or
MAX_SECONDS seconds), the number of swaps made. It ends with the names as it
found them where it can: an odd count is swapped back once more."""

import ctypes
import os
import signal
import sys
import time

AT_FDCWD = -100
RENAME_EXCHANGE = 2
# How many tries pass between looks at the clock.
CLOCK_EVERY = 1024


def main():
    first, second = os.fsencode(sys.argv[1]), os.fsencode(sys.argv[2])
    max_swaps, deadline = int(sys.argv[3]), time.monotonic() + float(sys.argv[4])
    pause = float(sys.argv[5]) if len(sys.argv) > 5 else 0
    exchange = ctypes.CDLL(None, use_errno=True).renameat2
    stopped = []
    signal.signal(signal.SIGTERM, lambda *_: stopped.append(True))
    swaps = tries = 0
    print("started", flush=True)
    while not stopped and swaps < max_swaps:
        tries += 1
        if tries % CLOCK_EVERY == 0 and time.monotonic() > deadline:
            break
        # A name that the program removed meanwhile makes the swap fail: it
        # is tried again, and counts only when it happened.
        if exchange(AT_FDCWD, first, AT_FDCWD, second, RENAME_EXCHANGE) == 0:
            swaps += 1
        if pause:
            time.sleep(pause)
    if swaps % 2 == 1 and exchange(AT_FDCWD, first, AT_FDCWD, second, RENAME_EXCHANGE) == 0:
        swaps += 1
    print(swaps, flush=True)


if __name__ == "__main__":
    main()
