"""Release information and install roots that someone else prepared, under
Wine: a relinfo.xml that is a link, an endless or a blocking stream, and a
program started through a \\\\server\\share path, whose own path Wine reports
as relative. Both programs end promptly (the run's timeout, RUN_TIMEOUT, is
the bound: a program that reads for ever fails the test by it), create
nothing where they should not, and say why in the log."""

import os
import shutil
import unittest
import uuid

from installation import (BIN, PREFIX, InstallationTestCase, how_it_ended, tree, unique,
                          unix_path, wine)
from log_e2e import read_log

VERSION = os.environ["MENUTOOLS_VERSION"]
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
                    self.assertEqual(read_log(unix_path(log))[3:5], [
                        "Release information %s is not a file on disk (a device or a pipe), %s "
                        "taken as empty" % (self.relinfo(installation), key) for key in KEYS])

    def test_a_program_started_through_a_server_share_path_does_nothing(self):
        # Wine reports the program's path as UNC\<server>\share\...: an install
        # root below the current folder, where a relinfo.xml naming a folder of
        # its own and a host-setup tool wait.
        installation = self.install(folder_name=self.menu_folder(unique("Velmora")),
                                    revision="18.2")
        server = "server" + uuid.uuid4().hex[:10]
        servers = os.path.join(PREFIX, "dosdevices", "unc")
        os.makedirs(os.path.join(servers, server))
        self.addCleanup(shutil.rmtree, os.path.join(servers, server))
        os.symlink(unix_path(installation.root), os.path.join(servers, server, "share"))

        current = self.scratch_folder("current")
        relative_root = "UNC\\%s\\share" % server
        planted = unix_path("%s\\%s" % (current, relative_root))
        os.makedirs(os.path.join(planted, "commonfiles", "globalsettings"))
        os.makedirs(os.path.join(planted, "RUVO", "bin"))
        with open(os.path.join(planted, "commonfiles", "globalsettings", "relinfo.xml"),
                  "w") as out:
            out.write('startMenuFolderName="%s" startMenuShortcutAppendRevision="18.2"'
                      % self.menu_folder(unique("planted")))
        shutil.copy(os.path.join(BIN, "ruvo5parhosts.exe"), os.path.join(planted, "RUVO", "bin"))
        before = tree(unix_path(current))
        folders = self.all_users.created + self.own.created

        for program in PROGRAMS:
            with self.subTest(program=program):
                log = "C:\\%s\\%s.log" % (installation.base, program)
                result = wine("\\\\%s\\share\\%s\\%s" % (
                    server, installation.program_folder[len(installation.root) + 1:], program),
                    "/log=" + log, cwd=unix_path(current))
                self.assertEqual(result.returncode, 0, how_it_ended(result))
                self.assertEqual(read_log(unix_path(log)), [
                    "%s %s" % (program[:-len(".exe")], VERSION),
                    "Redirection trust policy: not enforced by this system",
                    "Install root: " + relative_root,
                    'Install root "%s" is not an absolute path: nothing is done' % relative_root,
                    "%s done, exit code 0" % program[:-len(".exe")],
                ])
                self.assertEqual(tree(unix_path(current)), before)
                self.assertIsNone(installation.read_host_setup_report())
                for start_menu in (self.all_users, self.own):
                    self.assertEqual([name for name in folders
                                      if os.path.exists(os.path.join(start_menu.unix, name))], [])


if __name__ == "__main__":
    unittest.main()
