"""racer.py FIRST SECOND MAX_SWAPS MAX_SECONDS PAUSE_SECONDS WINE_PREFIX: swaps the Unix
names FIRST and SECOND with renameat2(RENAME_EXCHANGE), over and over, as a
user who may write in the folder that holds them would, while a program under
test runs in WINE_PREFIX. Prints "started" once it swaps, and, when it ends
(SIGTERM, MAX_SWAPS swaps or MAX_SECONDS seconds), the number of swaps made. It
ends with the names as it found them where it can: an odd count is swapped
back once more.

Each swap falls between two requests of the prefix's Wine server: the server
is stopped, and the names are swapped only when it was stopped waiting for its
next request (and not while no server runs: the server ends when its last
program does, and the next program starts one). Wine's server carries out
every open, rename and deletion, and some of them check a path and then act by
it again within one request; a swap inside such a request meets Wine's own
window, which no program can close, and Windows does not have. A swap between
requests meets every window between two calls of the program.

A swap is tried only once the server has read something since the last one,
that is, served a request of the program: two swaps with no request between
them undo each other unseen, and each costs the server a stop. On a loaded
host the racer would otherwise stop the server thousands of times a run, and
every stop waits for the server to be scheduled, which made each run of a
program slower by far than the load alone."""

import ctypes
import os
import signal
import sys
import time

AT_FDCWD = -100
RENAME_EXCHANGE = 2
# The system calls that Wine's server waits in for its next request: epoll_wait,
# epoll_pwait and epoll_pwait2 on x86-64, and the same on i386.
SERVER_WAITS = {"232", "281", "441", "256", "319"}
# How long a stop of the server may take to show before the racer gives up.
STOP_SECONDS = 5
# How many tries pass between looks at the clock.
CLOCK_EVERY = 1024


def find_server(prefix):
    """The process id of the Wine server of `prefix`, or None. The server
    works in a folder named for the prefix's device and inode, as every Wine
    process does for a moment while it connects."""
    status = os.stat(prefix)
    folder = "server-%x-%x" % (status.st_dev, status.st_ino)
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if (os.path.basename(os.readlink("/proc/%s/exe" % pid)).startswith("wineserver")
                    and os.path.basename(os.readlink("/proc/%s/cwd" % pid)) == folder):
                return int(pid)
        except OSError:
            pass
    return None


def stop(server):
    """Stops the process `server`; returns whether it stopped while waiting
    for a request. Leaves it stopped either way."""
    os.kill(server, signal.SIGSTOP)
    deadline = time.monotonic() + STOP_SECONDS
    while True:
        with open("/proc/%d/stat" % server) as stat:
            state = stat.read().rsplit(")", 1)[1].split()[0]
        if state in ("T", "t"):
            break
        if state in ("Z", "X"):
            raise ProcessLookupError(server)
        if time.monotonic() > deadline:
            raise RuntimeError("Wine's server %d did not stop" % server)
    with open("/proc/%d/syscall" % server) as call:
        return call.read().split()[0] in SERVER_WAITS


def reads(server):
    """How many reads the process `server` has made; the server reads every
    request it serves."""
    with open("/proc/%d/io" % server) as io:
        for line in io:
            if line.startswith("syscr:"):
                return int(line.split()[1])
    raise RuntimeError("no read count for process %d" % server)


def main():
    first, second = os.fsencode(sys.argv[1]), os.fsencode(sys.argv[2])
    max_swaps, deadline = int(sys.argv[3]), time.monotonic() + float(sys.argv[4])
    pause, prefix = float(sys.argv[5]), sys.argv[6]
    rename = ctypes.CDLL(None, use_errno=True).renameat2
    server = None
    # The server's read count at the last swap.
    read_at_swap = None

    def swap():
        return rename(AT_FDCWD, first, AT_FDCWD, second, RENAME_EXCHANGE) == 0

    def exchange(without_server=False, idle=False):
        """Swaps the names once; returns whether they were swapped, or None
        when the server was busy with a request, or had served none since the
        last swap and not `idle`, or when none ran and not `without_server`,
        and the swap was not tried."""
        nonlocal server, read_at_swap
        server = server or find_server(prefix)
        if server is None:
            return swap() if without_server else None
        # SIGTERM waits until the server runs again: a racer that ended with
        # the server stopped would hang every program of the prefix.
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
        try:
            if not idle and reads(server) == read_at_swap:
                return None
            if not stop(server):
                return None
            swapped = swap()
            read_at_swap = reads(server)
            return swapped
        except OSError:
            # The server ended.
            server = None
            return None
        finally:
            if server is not None:
                try:
                    os.kill(server, signal.SIGCONT)
                except ProcessLookupError:
                    server = None
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGTERM})

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
        if exchange():
            swaps += 1
        time.sleep(pause)
    # The program has ended, and with it the server, often.
    if swaps % 2 == 1:
        swapped = None
        while swapped is None:
            swapped = exchange(without_server=True, idle=True)
        swaps += swapped
    print(swaps, flush=True)


if __name__ == "__main__":
    main()
