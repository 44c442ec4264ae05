"""menusetup then menucleanup in one installation under Wine: what the round
trip leaves behind, and what menucleanup must never touch."""

import os
import shutil
import unittest

from installation import InstallationTestCase, tool_output, tree, unique, unix_path
from log_e2e import read_log

# What the walk by handles says of each kind of link under Wine, which follows
# a link to a file or a folder even when asked not to, lists a link to a
# folder as a link and one to a file as that file, and neither opens nor
# lists a link that leads nowhere: only a creation meets it.
IS_A_LINK = "is a link (a reparse point)"
NOT_A_FOLDER = "is not a folder"
NOT_THERE = "is not there"


def snapshot(unix_folder):
    """Every path below a folder with the bytes of each file (None for a folder)."""
    found = {}
    for path in tree(unix_folder, skip=()):
        full = os.path.join(unix_folder, path)
        found[path] = None
        if not os.path.isdir(full):
            with open(full, "rb") as content:
                found[path] = content.read()
    return found


class MenuCleanupTest(InstallationTestCase):
    def setUp(self):
        super().setUp()
        self.folder = self.menu_folder(unique("Velmora RUVO 18.2"))
        self.installation = self.new_installation(folder_name=self.folder, revision="18.2")

    def suite_folder(self, start_menu):
        return os.path.join(start_menu.unix, self.folder)

    def fluid_dynamics(self, start_menu):
        return os.path.join(self.suite_folder(start_menu), "Fluid Dynamics")

    def assert_round_trip_leaves_nothing(self, start_menu, standard_user):
        self.run_program(self.installation, "menusetup.exe", standard_user=standard_user)
        self.assertTrue(os.path.isfile(start_menu.link_unix(self.folder, "RUVO 18.2.lnk")))
        self.run_program(self.installation, "menucleanup.exe", standard_user=standard_user)
        self.assertFalse(os.path.exists(self.suite_folder(start_menu)))

    def test_administrators_round_trip_leaves_nothing_behind(self):
        self.assert_round_trip_leaves_nothing(self.all_users, standard_user=False)

    def test_standard_users_round_trip_in_their_own_folder(self):
        self.assert_round_trip_leaves_nothing(self.own, standard_user=True)

    def test_command_line_arguments_are_ignored(self):
        self.run_program(self.installation, "menusetup.exe")
        self.run_program(self.installation, "menucleanup.exe", "/keep", "--folder", "C:\\elsewhere")
        self.assertFalse(os.path.exists(self.suite_folder(self.all_users)))

    def test_a_second_shortcut_keeps_both_folders(self):
        self.run_program(self.installation, "menusetup.exe")
        other = os.path.join(self.fluid_dynamics(self.all_users), "RUVO 18.1.lnk")
        shutil.copy(self.all_users.link_unix(self.folder, "RUVO 18.2.lnk"), other)
        self.run_program(self.installation, "menucleanup.exe")
        self.assertEqual(os.listdir(self.fluid_dynamics(self.all_users)), ["RUVO 18.1.lnk"])

    def test_a_changed_revision_keeps_everything(self):
        self.run_program(self.installation, "menusetup.exe")
        before = tree(self.suite_folder(self.all_users))
        self.installation.write_release_info(
            'startMenuFolderName="%s" startMenuShortcutAppendRevision="18.3"' % self.folder)
        self.run_program(self.installation, "menucleanup.exe")
        self.assertEqual(tree(self.suite_folder(self.all_users)), before)

    def test_a_users_file_keeps_the_suite_folder_and_is_never_deleted(self):
        self.run_program(self.installation, "menusetup.exe")
        users_file = os.path.join(self.suite_folder(self.all_users), "notes.txt")
        with open(users_file, "w") as out:
            out.write("mine")
        self.run_program(self.installation, "menucleanup.exe")
        self.assertEqual(os.listdir(self.suite_folder(self.all_users)), ["notes.txt"])
        with open(users_file) as kept:
            self.assertEqual(kept.read(), "mine")

    def test_a_second_run_changes_nothing(self):
        self.run_program(self.installation, "menusetup.exe")
        users_file = os.path.join(self.fluid_dynamics(self.all_users), "mine.txt")
        with open(users_file, "w") as out:
            out.write("mine")
        self.run_program(self.installation, "menucleanup.exe")
        after_first = tree(self.suite_folder(self.all_users))
        self.assertEqual(after_first, {"Fluid Dynamics", os.path.join("Fluid Dynamics", "mine.txt")})
        self.run_program(self.installation, "menucleanup.exe")
        self.assertEqual(tree(self.suite_folder(self.all_users)), after_first)

    def test_the_other_users_folder_is_never_touched(self):
        def set_up_then_clean_up_as_the_other(setup_as_standard_user, made_in):
            self.run_program(self.installation, "menusetup.exe",
                             standard_user=setup_as_standard_user)
            before = tree(self.suite_folder(made_in))
            self.run_program(self.installation, "menucleanup.exe",
                             standard_user=not setup_as_standard_user)
            self.assertEqual(tree(self.suite_folder(made_in)), before)
            self.assertIn(os.path.join("Fluid Dynamics", "RUVO 18.2.lnk"), before)
            shutil.rmtree(self.suite_folder(made_in))

        self.for_each_user(set_up_then_clean_up_as_the_other)

    def test_missing_release_information_round_trip_in_the_programs_folders_fluid_dynamics(self):
        # No folder name: the shortcut goes to <Programs>\\Fluid Dynamics\\RUVO.lnk
        # (two backslashes in a row, which the file system and now the shell
        # read as one), and the round trip takes that folder away again, but
        # never anything else of the Programs folder.
        os.remove(self.installation.release_info)
        fluid_dynamics = self.all_users.folder("Fluid Dynamics")
        for users_entry in (None, "mine.txt", "sub"):
            with self.subTest(users_entry=users_entry):
                self.run_program(self.installation, "menusetup.exe")
                self.assertTrue(os.path.isfile(self.all_users.link_unix("", "RUVO.lnk")))
                if users_entry == "mine.txt":
                    with open(os.path.join(fluid_dynamics, users_entry), "w") as out:
                        out.write("mine")
                elif users_entry == "sub":
                    os.makedirs(os.path.join(fluid_dynamics, users_entry))
                self.run_program(self.installation, "menucleanup.exe")
                self.assertTrue(os.path.isdir(self.all_users.unix))
                if users_entry is None:
                    self.assertFalse(os.path.exists(fluid_dynamics))
                else:
                    self.assertEqual(os.listdir(fluid_dynamics), [users_entry])
                    shutil.rmtree(fluid_dynamics)

    def test_a_nested_name_round_trip_leaves_no_level_the_name_made(self):
        # Each level goes, innermost first, until one holds something.
        cases = [("/", None), ("\\", None), ("//", None), ("\\", "mine.txt")]
        for separator, users_file in cases:
            with self.subTest(separator=separator, users_file=users_file):
                vendor = self.menu_folder(unique("Velmora"))
                self.installation.write_release_info(
                    'startMenuFolderName="%s%sRUVO%sSuite" startMenuShortcutAppendRevision="18.2"'
                    % (vendor, separator, separator))
                self.run_program(self.installation, "menusetup.exe")
                vendor_unix = os.path.join(self.all_users.unix, vendor)
                self.assertTrue(os.path.isfile(self.all_users.link_unix(
                    vendor + "\\RUVO\\Suite", "RUVO 18.2.lnk")))
                if users_file:
                    with open(os.path.join(vendor_unix, users_file), "w") as out:
                        out.write("mine")
                self.run_program(self.installation, "menucleanup.exe")
                if users_file:
                    self.assertEqual(tree(vendor_unix), {users_file})
                else:
                    self.assertFalse(os.path.exists(vendor_unix))

    def test_a_known_folder_is_never_removed(self):
        # The all-users StartUp folder, empty, as the suite's folder itself and
        # as the level above it; the levels below it go.
        startup = os.path.join(self.all_users.unix, "StartUp")
        os.makedirs(startup, exist_ok=True)
        self.assertEqual(os.listdir(startup), [])
        # What the test makes below it goes again however it ends; never StartUp.
        nested = "StartUp/" + unique("Velmora")
        self.all_users.folder("StartUp/Fluid Dynamics")
        self.all_users.folder(nested)
        log = "C:\\%s\\known.log" % self.installation.base
        for folder in ("StartUp", nested.replace("/", "\\")):
            with self.subTest(folder=folder):
                self.installation.write_release_info(
                    'startMenuFolderName="%s" startMenuShortcutAppendRevision="18.2"' % folder)
                self.run_program(self.installation, "menusetup.exe")
                self.run_program(self.installation, "menucleanup.exe", "/log=" + log)
                self.assertTrue(os.path.isdir(startup))
                self.assertEqual(os.listdir(startup), [])
                self.assertEqual(read_log(unix_path(log))[-2], 'Folder kept: %s\\StartUp is the '
                                 'system\'s known folder "Common Startup"' % self.all_users.windows)

    def test_an_alias_of_a_known_folder_is_never_removed(self):
        # The all-users Administrative Tools, empty, named by its short (8.3)
        # name or in another case: the folder held is compared, not its name.
        admin = os.path.join(self.all_users.unix, "Administrative Tools")
        os.makedirs(admin, exist_ok=True)
        self.assertEqual(os.listdir(admin), [])
        short = tool_output("shellfolder.exe", "23", "Administrative Tools").strip()
        log = "C:\\%s\\alias.log" % self.installation.base
        for alias in (short.rsplit("\\", 1)[1], "aDMINISTRATIVE tOOLS"):
            with self.subTest(alias=alias):
                self.assertNotEqual(alias, "Administrative Tools")
                self.installation.write_release_info(
                    'startMenuFolderName="%s" startMenuShortcutAppendRevision="18.2"' % alias)
                self.run_program(self.installation, "menucleanup.exe", "/log=" + log)
                self.assertTrue(os.path.isdir(admin))
                self.assertEqual(read_log(unix_path(log))[-2], 'Folder kept: %s\\%s is the '
                                 'system\'s known folder "Common Administrative Tools"'
                                 % (self.all_users.windows, alias))

    def test_links_in_the_start_menu_are_never_followed(self):
        # A link as the suite's folder, as Fluid Dynamics or as the shortcut
        # file, leading to a folder, to a file or nowhere, and a shortcut file
        # that shares its data with another name: neither program writes,
        # creates or deletes anything where it leads, and both say why. A link
        # to a file, or a second name of a file, at the shortcut's name is
        # replaced as a name by menusetup's shortcut, which menucleanup then
        # deletes; one to a folder cannot be replaced by a file.
        folder_level, fluid_level, file_level = (
            "", "\\Fluid Dynamics", "\\Fluid Dynamics\\RUVO 18.2.lnk")
        # Where a followed link would lead each program to write or delete.
        inside = {folder_level: "Fluid Dynamics/RUVO 18.2.lnk", fluid_level: "RUVO 18.2.lnk",
                  file_level: "inside.txt"}
        replaced = "Shortcut {link} replaces a link, not what it leads to"
        refused = "Shortcut refused: {link} "
        kept = "Folder kept: {link} "
        # level, kind, a line of menusetup's log, lines of menucleanup's (the
        # shortcut's, the level's when it is a folder), whether the link stays.
        cases = [(level, kind, refused + setup_problem, cleanup_lines, True)
                 for level in (folder_level, fluid_level)
                 for kind, setup_problem, cleanup_lines in (
                     ("folder", IS_A_LINK, (refused + IS_A_LINK, kept + IS_A_LINK)),
                     ("file", NOT_A_FOLDER, (refused + NOT_A_FOLDER, kept + NOT_A_FOLDER)),
                     ("nowhere", IS_A_LINK, ("Shortcut {shortcut} not deleted: error 3: ",
                                             "Folder not removed: {link} " + NOT_THERE)))]
        cases += [
            (file_level, "folder", "Shortcut {link} not written: saving failed: error 0x80070005",
             (refused + IS_A_LINK,), True),
            (file_level, "file", replaced, ("Shortcut deleted: {link}",), False),
            (file_level, "nowhere", "Shortcut written: {link}", ("Shortcut deleted: {link}",),
             False),
            (file_level, "hard link", "Shortcut {link} replaces one name of a file with more (hard "
             "links)", ("Shortcut deleted: {link}",), False),
        ]

        def run_logged(program):
            log = "C:\\%s\\%s.log" % (self.installation.base, unique("links"))
            self.run_program(self.installation, program, "/log=" + log)
            return read_log(unix_path(log))

        def assert_logged(start, messages):
            self.assertTrue(any(message.startswith(start) for message in messages),
                            "%r in %r" % (start, messages))

        for level, kind, setup_line, cleanup_lines, stays in cases:
            with self.subTest(level=level, kind=kind):
                folder = self.menu_folder(unique("Velmora"))
                self.installation.write_release_info(
                    'startMenuFolderName="%s" startMenuShortcutAppendRevision="18.2"' % folder)
                scratch = unix_path(self.scratch_folder("target"))
                target = os.path.join(scratch, "target")
                if kind == "folder":
                    os.makedirs(os.path.dirname(os.path.join(target, inside[level])), exist_ok=True)
                    with open(os.path.join(target, inside[level]), "w") as out:
                        out.write("not ours")
                elif kind != "nowhere":
                    with open(target, "w") as out:
                        out.write("[not ours]")
                link_windows = "%s\\%s%s" % (self.all_users.windows, folder, level)
                names = {"link": link_windows, "shortcut": "%s\\%s%s" % (
                    self.all_users.windows, folder, file_level)}
                link = unix_path(link_windows)
                os.makedirs(os.path.dirname(link), exist_ok=True)
                (os.link if kind == "hard link" else os.symlink)(target, link)
                before = snapshot(scratch)

                assert_logged(setup_line.format(**names), run_logged("menusetup.exe"))
                self.assertEqual(snapshot(scratch), before)

                cleanup = run_logged("menucleanup.exe")
                self.assertEqual(snapshot(scratch), before)
                self.assertEqual(os.path.lexists(link), stays)
                for line in cleanup_lines:
                    assert_logged(line.format(**names), cleanup)

    def test_a_folder_name_that_leaves_the_programs_folder_removes_nothing_outside(self):
        escape = self.scratch_folder("escaped")[len("C:\\"):]
        outside = unix_path("C:\\" + escape)
        os.makedirs(os.path.join(outside, "Fluid Dynamics"))
        with open(os.path.join(outside, "Fluid Dynamics", "RUVO 18.2.lnk"), "w") as out:
            out.write("not ours")
        # Programs -> Start Menu -> Windows -> Microsoft -> ProgramData -> C:
        self.installation.write_release_info(
            'startMenuFolderName="..\\..\\..\\..\\..\\%s" startMenuShortcutAppendRevision="18.2"'
            % escape)
        self.run_program(self.installation, "menucleanup.exe")
        self.assertEqual(tree(outside), {"Fluid Dynamics", os.path.join("Fluid Dynamics", "RUVO 18.2.lnk")})
        os.remove(os.path.join(outside, "Fluid Dynamics", "RUVO 18.2.lnk"))
        self.run_program(self.installation, "menucleanup.exe")
        self.assertEqual(tree(outside), {"Fluid Dynamics"})


if __name__ == "__main__":
    unittest.main()
