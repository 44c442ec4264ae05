"""Release information that someone else prepared, under Wine: a relinfo.xml
that is a link, an endless or a blocking stream. Both programs end promptly
(the run's timeout, RUN_TIMEOUT, is the bound: a program that reads for ever
fails the test by it), create nothing where they should not, and say why in
the log."""

import os
import unittest
import uuid

from installation import InstallationTestCase, unix_path
from log_e2e import read_log

PROGRAMS = ("menusetup.exe", "menucleanup.exe")
KEYS = ("startMenuFolderName", "startMenuShortcutAppendRevision")


class ReleaseInformationTest(InstallationTestCase):
    def install(self, **release):
        # No blank in the install root: the log's path follows from it.
        return self.new_installation(base="rel" + uuid.uuid4().hex[:10], **release)

    def relinfo(self, installation):
        return installation.root + "\\commonfiles\\globalsettings\\relinfo.xml"

    def test_reading_creates_nothing_through_a_link(self):
        # Without values the shortcut goes to the Programs folder's own
        # Fluid Dynamics, and menucleanup takes it away again.
        self.menu_folder("Fluid Dynamics")
        elsewhere = self.scratch_folder("elsewhere")

        def dangling_file(installation):
            os.symlink(unix_path(elsewhere + "\\planted.xml"), installation.release_info)

        def linked_folder(installation):
            folder = os.path.dirname(installation.release_info)
            os.rmdir(folder)
            os.symlink(unix_path(elsewhere), folder)

        for name, make_link in (("relinfo.xml leads nowhere", dangling_file),
                                ("globalsettings leads to another folder", linked_folder)):
            with self.subTest(name):
                installation = self.install()
                make_link(installation)
                for program in PROGRAMS:
                    self.run_program(installation, program)
                self.assertEqual(os.listdir(unix_path(elsewhere)), [])

    def test_endless_or_blocking_release_information_reads_as_missing(self):
        self.menu_folder("Fluid Dynamics")

        def endless(path):
            os.symlink("/dev/zero", path)

        def pipe_that_never_delivers(path):
            os.mkfifo(path)
            # A writer that holds the pipe open and never writes.
            self.addCleanup(os.close, os.open(path, os.O_RDWR))

        for name, make in (("endless", endless), ("pipe", pipe_that_never_delivers)):
            for program in PROGRAMS:
                with self.subTest(name, program=program):
                    installation = self.install()
                    make(installation.release_info)
                    log = "C:\\%s\\run.log" % installation.base
                    self.run_program(installation, program, "/log=" + log)
                    self.assertEqual(read_log(unix_path(log))[2:4], [
                        "Release information %s is not a file on disk (a device or a pipe), %s "
                        "taken as empty" % (self.relinfo(installation), key) for key in KEYS])


if __name__ == "__main__":
    unittest.main()
