"""What menusetup and menucleanup tell the shell, seen in Wine's relay trace of
their calls: the event of each SHChangeNotify call and its flags, so that a
flush on the last one of each operation shows. The paths that go with them
are checked in-process by the library's tests (tests/shell_notify_test.cpp)."""

import os
import re
import subprocess
import unittest

from installation import CSIDL_COMMON_PROGRAMS, RUN_TIMEOUT, Installation, StartMenu, unique

SHCNE_CREATE = 0x2
SHCNE_DELETE = 0x4
SHCNE_MKDIR = 0x8
SHCNE_RMDIR = 0x10
SHCNE_UPDATEDIR = 0x1000
SHCNE_UPDATEITEM = 0x2000
SHCNF_PATHW = 0x5
SHCNF_FLUSH = 0x1000

CALL = re.compile(r"Call shell32\.SHChangeNotify\(([0-9a-f]{8}),([0-9a-f]{8}),")


def queued(event):
    return (event, SHCNF_PATHW)


def flushed(event):
    return (event, SHCNF_PATHW | SHCNF_FLUSH)


class ShellNotifyTest(unittest.TestCase):
    def setUp(self):
        self.start_menu = StartMenu(CSIDL_COMMON_PROGRAMS)
        self.addCleanup(self.start_menu.clean)
        self.folder = unique("Velmora Notify")
        self.start_menu.folder(self.folder)
        self.installation = Installation(folder_name=self.folder, revision="18.2")
        self.addCleanup(self.installation.remove)
        self.fluid_dynamics = os.path.join(self.start_menu.unix, self.folder, "Fluid Dynamics")

    def announcements(self, name):
        """Runs a program with every call into a DLL traced; returns the
        (event, flags) of each SHChangeNotify call it made, in order."""
        environment = dict(os.environ, WINEDEBUG="+relay")
        result = subprocess.run(["wine", self.installation.program(name)], env=environment,
                                stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=RUN_TIMEOUT)
        self.assertEqual(result.returncode, 0, name)
        trace = result.stderr.decode("latin-1")
        self.assertIn("Call ", trace, "no relay trace from " + name)
        return [(int(event, 16), int(flags, 16)) for event, flags in CALL.findall(trace)]

    def test_round_trip_announces_every_change_and_flushes_each_operation(self):
        self.assertEqual(self.announcements("menusetup.exe"),
                         [queued(SHCNE_MKDIR), queued(SHCNE_MKDIR), queued(SHCNE_CREATE),
                          flushed(SHCNE_UPDATEDIR)])
        self.assertTrue(os.path.isfile(os.path.join(self.fluid_dynamics, "RUVO 18.2.lnk")))
        self.assertEqual(self.announcements("menusetup.exe"),
                         [queued(SHCNE_UPDATEITEM), flushed(SHCNE_UPDATEDIR)])

        self.assertEqual(self.announcements("menucleanup.exe"),
                         [queued(SHCNE_DELETE), flushed(SHCNE_UPDATEDIR),
                          queued(SHCNE_RMDIR), flushed(SHCNE_UPDATEDIR),
                          queued(SHCNE_RMDIR), flushed(SHCNE_UPDATEDIR)])
        self.assertFalse(os.path.exists(os.path.join(self.start_menu.unix, self.folder)))
        # Nothing left to remove: nothing to announce.
        self.assertEqual(self.announcements("menucleanup.exe"), [])


if __name__ == "__main__":
    unittest.main()
