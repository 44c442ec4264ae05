"""Races against both programs under Wine: while a program runs, a Unix-side
racer (racer.py) swaps a name in the start menu with a link to a victim
outside it, over and over, as a user who may write there would. Whatever
instant the program meets, it must never write, delete or remove anything
where the link leads. Each race runs the program again, each run with a racer
of its own, until the racers have made enough swaps and enough runs have met
the link (their logs say so), and no hit is allowed; every run must see its
racer swap. What ends a race is what it must show, not a count of runs, each
of which a loaded host makes slower. Each swap falls between two requests of
Wine's server (racer.py says why)."""

import os
import re
import shutil
import subprocess
import sys
import unittest

from installation import PREFIX, InstallationTestCase, unique, unix_path
from log_e2e import read_log

RACER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "racer.py")
# A race ends once its racer has made SWAPS_NEEDED swaps while the program
# ran, in as many runs as that takes, and at least MET_NEEDED of them met the
# link. On a loaded host a run is slower, but its racer swaps more often in
# it (at 2 cores and a load of 6, menusetup's runs took 8 s and 1,350 swaps
# each, menucleanup's 0.5 to 5 s and 160 to 990), so the race needs fewer
# runs; the fixed 60 runs of earlier versions ran past CTest's 600 s there.
# 5,000 swaps took 5 to 31 runs of menucleanup at loads of 4 to 7. A race
# that does not get there in MAX_RUNS runs fails: the racer no longer reaches
# the program.
SWAPS_NEEDED = int(os.environ.get("MENUTOOLS_RACE_SWAPS", "5000"))
MET_NEEDED = 5
MAX_RUNS = 300
# The racer pauses this long between swaps. At that pace it still finds every
# window between a check and the act that the programs ever had (their
# earlier versions lose runs of 60 to it in every race but the last).
RACER_PAUSE = os.environ.get("MENUTOOLS_RACE_PAUSE", "0.0005")
# Bounds of one racer: far more than a run needs.
RACER_SWAPS = 10 ** 9
RACER_SECONDS = 120
# A log line that shows the program met a link, at a level or at the name.
MET_A_LINK = re.compile(r"is reached through a link and lies elsewhere|is a link \(a reparse "
                        r"point\)|replaces a link|replaces one name")
SHORTCUT = "RUVO 18.2.lnk"


def end(racer):
    """Ends a racer, if it still runs; returns what it printed after
    "started" ("" if it had to be killed). SIGTERM, not SIGKILL: a racer
    killed while the server was stopped would leave it stopped."""
    racer.terminate()
    try:
        return racer.communicate(timeout=RACER_SECONDS)[0]
    except subprocess.TimeoutExpired:
        racer.kill()
        return ""


def clear(path):
    """Removes a link, a file or a folder with everything in it."""
    if os.path.islink(path) or os.path.isfile(path):
        os.remove(path)
    elif os.path.isdir(path):
        shutil.rmtree(path)


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as out:
        out.write(text)


def read(path):
    with open(path, "rb") as content:
        return content.read()


class RaceTest(InstallationTestCase):
    def setUp(self):
        super().setUp()
        self.folder = self.menu_folder(unique("Velmora Race"))
        self.menu_folder(self.folder + " swap")
        self.installation = self.new_installation(folder_name=self.folder, revision="18.2")
        # No host-setup tool: each run of menusetup ends as soon as it can.
        os.remove(unix_path(self.installation.suite + "\\bin\\ruvo5parhosts.exe"))
        self.suite = os.path.join(self.all_users.unix, self.folder)
        self.fluid_dynamics = os.path.join(self.suite, "Fluid Dynamics")
        self.victim = os.path.join(unix_path(self.scratch_folder("victim")), "victim")

    def race(self, program, name, reset, hit):
        """Runs `program`, each time after reset(), while a racer swaps the
        Unix path `name` with `name` + " swap", until SWAPS_NEEDED swaps are
        made and MET_NEEDED runs have met the link; hit() tells whether the
        run reached the victim."""
        hits, met, swaps_made, run = [], 0, 0, 0
        while (met < MET_NEEDED or swaps_made < SWAPS_NEEDED) and run < MAX_RUNS:
            run += 1
            reset(run)
            racer = subprocess.Popen(["/usr/bin/python3", RACER, name, name + " swap",
                                      str(RACER_SWAPS), str(RACER_SECONDS), RACER_PAUSE,
                                      PREFIX],
                                     stdout=subprocess.PIPE, text=True)
            self.addCleanup(end, racer)
            self.assertEqual(racer.stdout.readline(), "started\n")
            log = "C:\\%s\\race %d.log" % (self.installation.base, run)
            self.run_program(self.installation, program, "/log=" + log)
            swaps = end(racer)
            self.assertGreater(int(swaps), 0, "the racer did not swap in run %d" % run)
            swaps_made += int(swaps)
            lines = read_log(unix_path(log))
            met += any(MET_A_LINK.search(line) for line in lines)
            if hit():
                hits.append("run %d, whose log says:\n  %s" % (run, "\n  ".join(lines)))
        print("%s: %d runs, %d swaps, %d runs met the link" % (self.id(), run, swaps_made, met),
              file=sys.stderr)
        self.assertEqual(hits, [], "runs that reached the victim")
        self.assertTrue(met >= MET_NEEDED and swaps_made >= SWAPS_NEEDED,
                        "in %d runs, %d swaps, and %d runs met the link" % (run, swaps_made, met))

    def set_up_pair(self, real, make_real, link_target):
        """The name `real`, made by make_real(), and `real` + " swap", a link
        to `link_target`."""
        clear(real)
        clear(real + " swap")
        make_real()
        os.symlink(link_target, real + " swap")

    def test_menusetup_never_writes_into_a_folder_swapped_in_for_fluid_dynamics(self):
        def reset(_):
            clear(self.victim)
            os.makedirs(self.victim)
            self.set_up_pair(self.fluid_dynamics, lambda: os.makedirs(self.fluid_dynamics),
                             self.victim)

        self.race("menusetup.exe", self.fluid_dynamics, reset, lambda: os.listdir(self.victim))

    def test_menusetup_never_writes_into_a_folder_swapped_in_for_the_suites_folder(self):
        def reset(_):
            clear(self.victim)
            os.makedirs(self.victim)
            self.set_up_pair(self.suite, lambda: os.makedirs(self.fluid_dynamics), self.victim)

        self.race("menusetup.exe", self.suite, reset, lambda: os.listdir(self.victim))

    def test_menusetup_never_writes_into_a_file_swapped_in_for_the_shortcut(self):
        # A symbolic link to the victim file in every other run, a second
        # name (a hard link) of it in the others.
        shortcut = os.path.join(self.fluid_dynamics, SHORTCUT)

        def reset(run):
            clear(self.victim)
            write(self.victim, "the victim's")
            clear(self.suite)
            write(shortcut, "an earlier shortcut")
            (os.symlink if run % 2 == 0 else os.link)(self.victim, shortcut + " swap")

        self.race("menusetup.exe", shortcut, reset, lambda: read(self.victim) != b"the victim's")

    def test_menucleanup_never_deletes_in_a_folder_swapped_in_for_fluid_dynamics(self):
        victim_file = os.path.join(self.victim, SHORTCUT)

        def reset(_):
            clear(self.victim)
            write(victim_file, "the victim's")
            self.set_up_pair(
                self.fluid_dynamics,
                lambda: write(os.path.join(self.fluid_dynamics, SHORTCUT), "the shortcut"),
                self.victim)

        self.race("menucleanup.exe", self.fluid_dynamics, reset,
                  lambda: not os.path.exists(victim_file))

    def test_menucleanup_never_deletes_a_file_swapped_in_for_the_shortcut(self):
        shortcut = os.path.join(self.fluid_dynamics, SHORTCUT)

        def reset(_):
            clear(self.victim)
            write(self.victim, "the victim's")
            clear(self.suite)
            write(shortcut, "the shortcut")
            os.symlink(self.victim, shortcut + " swap")

        self.race("menucleanup.exe", shortcut, reset,
                  lambda: not os.path.exists(self.victim) or read(self.victim) != b"the victim's")

    def test_menucleanup_never_removes_a_folder_swapped_in_for_the_suites_folder(self):
        victim_folder = os.path.join(self.victim, "Fluid Dynamics")

        def reset(_):
            clear(self.victim)
            os.makedirs(victim_folder)
            self.set_up_pair(self.suite, lambda: os.makedirs(self.fluid_dynamics), self.victim)

        self.race("menucleanup.exe", self.suite, reset, lambda: not os.path.isdir(victim_folder))


if __name__ == "__main__":
    unittest.main()
