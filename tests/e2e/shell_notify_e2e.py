"""What menusetup and menucleanup tell the shell, seen in Wine's relay trace of
their calls: the event of each SHChangeNotify call and its flags, so that a
flush on the last one of each operation shows. The paths that go with them
are checked in-process by the library's tests (tests/shell_notify_test.cpp)."""

import os
import re
import unittest

from installation import InstallationTestCase, unique

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


class ShellNotifyTest(InstallationTestCase):
    def setUp(self):
        super().setUp()
        self.folder = self.menu_folder(unique("Velmora Notify"))
        self.installation = self.new_installation(folder_name=self.folder, revision="18.2")
        self.fluid_dynamics = os.path.join(self.all_users.unix, self.folder, "Fluid Dynamics")

    def announcements(self, name):
        """Runs a program with every call into a DLL traced; returns the
        (event, flags) of each SHChangeNotify call it made, in order."""
        result = self.run_program(self.installation, name, environment={"WINEDEBUG": "+relay"})
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
        self.assertFalse(os.path.exists(os.path.join(self.all_users.unix, self.folder)))
        # Nothing left to remove: nothing to announce.
        self.assertEqual(self.announcements("menucleanup.exe"), [])


if __name__ == "__main__":
    unittest.main()
