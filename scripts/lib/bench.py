"""The benchmark's main part, run by scripts/bench:
  bench.py sizes ARCH=BIN...   the programs' sizes of each build (no Wine needed)
  bench.py times ROUNDS        their run times, under the Wine that scripts/bench
                               set up for the build that MENUTOOLS_BIN names"""

import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))

import pefile  # noqa: E402

KIB = 1024
WHOLE_TARGET = 96 * KIB
# Without resources: the 32-bit programs (the product) at most 22 KiB, the
# 64-bit ones, whose code is larger, at most 24 KiB.
CODE_TARGETS = {"x86": 22 * KIB, "x64": 24 * KIB}
# Run time against each program's floor.
RATIO_TARGETS = {"menusetup": 1.10, "menucleanup": 1.25}
FOLDER = "Velmora Bench 18.2"
SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "bench", "make_shortcut.js")


def sizes(path):
    """The file's size, and its size less the resource section."""
    whole = os.path.getsize(path)
    image = pefile.PE(path, fast_load=True)
    resources = sum(section.SizeOfRawData for section in image.sections
                    if section.Name.rstrip(b"\0") == b".rsrc")
    return whole, whole - resources


def timed(command):
    start = time.perf_counter()
    result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        raise RuntimeError("%s exited with %d" % (command[1], result.returncode))
    return elapsed


def measure(rounds, prepare, commands):
    """Median run time of each command over interleaved rounds; `prepare` runs,
    untimed, before every run."""
    times = {name: [] for name in commands}
    order = list(commands)
    for _ in range(rounds):
        for name in order:
            prepare()
            times[name].append(timed(commands[name]))
        order = order[1:] + order[:1]
    return {name: statistics.median(values) for name, values in times.items()}


def report(program, medians):
    """Prints a program's median against its floor's; True when over target."""
    ratio = medians[program] / medians["floor"]
    target = RATIO_TARGETS[program]
    print("  %-30s %7.0f ms" % ("floor for " + program, medians["floor"] * 1000))
    print("  %-30s %7.0f ms   %.2fx its floor (target %.2fx)   %s"
          % (program + ".exe", medians[program] * 1000, ratio, target,
             "ok" if ratio <= target else "MISSED"))
    return ratio > target


def report_sizes(builds):
    """Prints both programs' sizes for each build (ARCH=BIN); True when one
    misses a target."""
    missed = False
    print("Sizes (targets: at most %d KiB whole; without resources, %s)"
          % (WHOLE_TARGET // KIB, ", ".join("%s %d KiB" % (arch, target // KIB)
                                            for arch, target in CODE_TARGETS.items())))
    for build in builds:
        arch, _, folder = build.partition("=")
        for program in ("menusetup.exe", "menucleanup.exe"):
            path = os.path.join(folder, program)
            if not os.path.exists(path):
                continue
            whole, code = sizes(path)
            ok = whole <= WHOLE_TARGET and code <= CODE_TARGETS[arch]
            missed |= not ok
            print("  %-4s %-16s %6.1f KiB whole   %6.1f KiB without resources   %s"
                  % (arch, program, whole / KIB, code / KIB, "ok" if ok else "MISSED"))
    return missed


def report_times(rounds):
    """Times the programs of MENUTOOLS_BIN against their floors; True when one
    misses its target."""
    from installation import (BIN, CSIDL_COMMON_PROGRAMS, Installation, StartMenu,
                              unix_path)
    missed = False
    os.environ["RUVO5PARHOSTS_PAUSE_MS"] = "0"  # the stand-in returns at once
    start_menu = StartMenu(CSIDL_COMMON_PROGRAMS)
    start_menu.folder(FOLDER)
    Installation(base="Bench").remove()
    installation = Installation(folder_name=FOLDER, revision="18.2", base="Bench")
    for floor in ("floor_setup.exe", "floor_cleanup.exe"):
        shutil.copy(os.path.join(BIN, floor), unix_path(installation.program_folder))
    script = "Z:" + os.path.abspath(SCRIPT).replace("/", "\\")
    link = start_menu.link_unix(FOLDER, "RUVO 18.2.lnk")

    # Setup: each run makes the folders and the shortcut anew.
    setup = measure(rounds, start_menu.clean, {
        "floor": ["wine", installation.program("floor_setup.exe"), installation.suite, FOLDER],
        "menusetup": ["wine", installation.program("menusetup.exe")],
        "script": ["wine", "cscript", "//nologo", script, installation.suite, FOLDER],
    })
    # Cleanup: each run finds the shortcut in place, saved once by menusetup.
    installation.run("menusetup.exe")
    with open(link, "rb") as saved:
        shortcut = saved.read()

    def put_shortcut_back():
        start_menu.clean()
        os.makedirs(os.path.dirname(link))
        with open(link, "wb") as out:
            out.write(shortcut)

    cleanup = measure(rounds, put_shortcut_back, {
        "floor": ["wine", installation.program("floor_cleanup.exe"), FOLDER],
        "menucleanup": ["wine", installation.program("menucleanup.exe")],
    })
    start_menu.clean()
    installation.remove()

    print("Run time under Wine (%d interleaved rounds, medians, Wine's start included)" % rounds)
    missed |= report("menusetup", setup)
    print("  %-30s %7.0f ms   menusetup takes %.2fx its time"
          % ("WScript.Shell script", setup["script"] * 1000, setup["menusetup"] / setup["script"]))
    missed |= report("menucleanup", cleanup)
    return missed


if __name__ == "__main__":
    if sys.argv[1] == "sizes":
        sys.exit(1 if report_sizes(sys.argv[2:]) else 0)
    sys.exit(1 if report_times(int(sys.argv[2])) else 0)
