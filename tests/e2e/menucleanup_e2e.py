"""menusetup then menucleanup in one installation under Wine: what the round
trip leaves behind, and what menucleanup must never touch."""

import os
import shutil
import unittest

from installation import InstallationTestCase, tree, unique, unix_path


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

    def test_a_nested_name_with_forward_slashes_round_trips(self):
        vendor = unique("Velmora")
        self.all_users.folder(vendor)
        self.installation.write_release_info(
            'startMenuFolderName="%s/RUVO 18.2" startMenuShortcutAppendRevision="18.2"' % vendor)
        self.run_program(self.installation, "menusetup.exe")
        self.assertTrue(os.path.isfile(self.all_users.link_unix(vendor + "\\RUVO 18.2",
                                                               "RUVO 18.2.lnk")))
        self.run_program(self.installation, "menucleanup.exe")
        # The innermost folder goes; the vendor's folder above it is not the
        # suite's to remove.
        self.assertEqual(os.listdir(os.path.join(self.all_users.unix, vendor)), [])

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
