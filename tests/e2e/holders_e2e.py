"""Both programs while another program holds a start-menu file or folder open,
as the shell, an indexer, a scanner or an Explorer window does: holder.exe,
under the same Wine server, opens it with the sharing given, says "held",
holds it and lets go. Each case must end as a user expects, and no log line
may claim a deletion or removal that had not happened when the program
ended."""

import os
import re
import subprocess
import unittest

from installation import BIN, InstallationTestCase, unique, unix_path
from log_e2e import read_log

SHORTCUT = "RUVO 18.2.lnk"
# What a run of an earlier menusetup, killed between making its temporary
# file and renaming it, leaves: named as the programs name theirs, by a
# process that no longer runs.
LEFT_TEMPORARY = "~menutools-fffffff0-1a2b.tmp"
CLAIMS = re.compile(r"^(?:Shortcut deleted|Folder removed): (.*)$")
# The longest hold: far beyond the programs' waits, which must end first.
LONG_HOLD_MS = 8000
# (case, what is held, the holder's sharing, milliseconds held, the runs,
# what must be so once the holder has let go)
CASES = [
    ("repair while the old shortcut is open", "shortcut", "rwd", 1500,
     ["menusetup.exe"], "new shortcut"),
    ("uninstall, shortcut held briefly, sharing all", "shortcut", "rwd", 300,
     ["menucleanup.exe"], "nothing left"),
    ("uninstall, shortcut held longer, sharing all", "shortcut", "rwd", 700,
     ["menucleanup.exe"], "nothing left"),
    ("uninstall, shortcut held without sharing deletion", "shortcut", "rw", 700,
     ["menucleanup.exe"], "nothing left"),
    ("uninstall, Fluid Dynamics held as Explorer does", "fluid", "rwd", 500,
     ["menucleanup.exe"], "nothing left"),
    ("install right after an uninstall whose deletion waits", "shortcut", "rwd", 3000,
     ["menucleanup.exe", "menusetup.exe"], "new shortcut"),
    ("uninstall, shortcut held for long", "shortcut", "rwd", LONG_HOLD_MS,
     ["menucleanup.exe"], "folders kept, shortcut gone"),
    ("uninstall after a killed install", None, None, 0, ["menucleanup.exe"], "nothing left"),
    ("repair after a killed install", None, None, 0, ["menusetup.exe"], "new shortcut"),
]


class HolderTest(InstallationTestCase):
    def hold(self, unix_target, sharing, milliseconds):
        """Starts holder.exe on `unix_target`; returns it once it holds."""
        windows_target = "C:" + unix_target[len(unix_path("C:\\")) - 1:].replace("/", "\\")
        holder = subprocess.Popen(["wine", os.path.join(BIN, "holder.exe"), windows_target,
                                   sharing, str(milliseconds)],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        self.addCleanup(holder.stdout.close)
        self.addCleanup(holder.wait)
        self.assertEqual(holder.stdout.readline(), "held\n")
        return holder

    def run_logged(self, installation, program):
        log = "C:\\%s\\%s.log" % (installation.base, unique("holders"))
        self.run_program(installation, program, "/log=" + log)
        lines = read_log(unix_path(log))
        for line in lines:
            claimed = CLAIMS.match(line)
            if claimed:
                self.assertFalse(os.path.lexists(unix_path(claimed.group(1).replace("\\\\", "\\"))),
                                 "%s: %r" % (program, lines))
        return lines

    def test_each_hold_ends_as_a_user_expects(self):
        for case, held, sharing, milliseconds, runs, outcome in CASES:
            with self.subTest(case=case):
                folder = self.menu_folder(unique("Velmora Held"))
                installation = self.new_installation(folder_name=folder, revision="18.2")
                self.run_program(installation, "menusetup.exe")
                suite = os.path.join(self.all_users.unix, folder)
                link = self.all_users.link_unix(folder, SHORTCUT)
                fluid_dynamics = os.path.dirname(link)
                with open(link, "wb") as old:
                    old.write(b"an earlier shortcut")
                if held is None:
                    with open(os.path.join(fluid_dynamics, LEFT_TEMPORARY), "wb") as left:
                        left.write(b"half")
                holder = self.hold(link if held == "shortcut" else fluid_dynamics, sharing,
                                   milliseconds) if held else None
                logs = [self.run_logged(installation, program) for program in runs]
                if outcome == "folders kept, shortcut gone":
                    self.assertIsNone(holder.poll(), "menucleanup waited for the long hold")
                    self.assertIn("Shortcut %s\\%s\\Fluid Dynamics\\%s goes when the other "
                                  "program that holds it lets go of it"
                                  % (self.all_users.windows, folder, SHORTCUT), logs[0])
                if holder:
                    holder.wait()
                if outcome == "new shortcut":
                    self.assert_launcher_shortcut(self.all_users, installation, folder, "18.2")
                elif outcome == "nothing left":
                    self.assertFalse(os.path.exists(suite), logs)
                else:
                    self.assertEqual(os.listdir(fluid_dynamics), [], logs)


if __name__ == "__main__":
    unittest.main()
