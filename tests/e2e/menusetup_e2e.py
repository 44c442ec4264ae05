"""menusetup in sample installations under Wine, as administrator and as a
standard user: the shortcut on disk, read back by lnkinfo and by the shell,
and the host-setup tool started hidden and waited for."""

import os
import shutil
import tempfile
import unittest

from installation import (BIN, WAITED_FOR, InstallationTestCase, read_with_lnkinfo, tree, unique,
                          unix_path)

# A file system in memory, where a hole reads as the kernel's zero page: for
# 4 GiB about 0.2 s of processor time, where ext4 fills the page cache with
# zeros for about 10 s, which a loaded host stretches past the run's time-out.
MEMORY_FOLDER = "/dev/shm"


class MenuSetupTest(InstallationTestCase):
    def test_each_user_gets_the_shortcut_in_the_programs_folder_they_work_in(self):
        # The administrator in the all-users folder, a standard user in their own.
        def set_up(standard_user, start_menu):
            folder = self.menu_folder(unique("Velmora RUVO 18.2"))
            installation = self.new_installation(folder_name=folder, revision="18.2")
            self.run_program(installation, "menusetup.exe", standard_user=standard_user,
                             environment=WAITED_FOR)
            self.assert_launcher_shortcut(start_menu, installation, folder, "18.2")
            other = self.start_menu(not standard_user)
            self.assertFalse(os.path.exists(os.path.join(other.unix, folder)))
            self.assert_host_setup_ran(installation)

        self.for_each_user(set_up)

    def test_command_line_arguments_are_ignored(self):
        folder = self.menu_folder(unique("Velmora"))
        installation = self.new_installation(folder_name=folder, revision="18.2")
        self.run_program(installation, "menusetup.exe",
                         "/uninstall", "--folder", "C:\\elsewhere", "-q")
        self.assert_launcher_shortcut(self.all_users, installation, folder, "18.2")
        self.assert_host_setup_ran(installation)

    def test_folder_name_outside_ascii(self):
        folder = self.menu_folder(unique("Velmora Strömung 18.2 – 流体"))
        installation = self.new_installation(folder_name=folder, revision="18.2β")
        self.run_program(installation, "menusetup.exe")
        self.assert_launcher_shortcut(self.all_users, installation, folder, "18.2β")

    def test_nested_folder_name_creates_every_level_with_either_separator(self):
        for separator in ("\\", "/"):
            with self.subTest(separator=separator):
                vendor = self.menu_folder(unique("Velmora"))
                installation = self.new_installation(
                    folder_name=vendor + separator + "RUVO 18.2", revision="18.2")
                self.run_program(installation, "menusetup.exe")
                self.assert_launcher_shortcut(self.all_users, installation,
                                              vendor + "\\RUVO 18.2", "18.2")

    def test_a_folder_name_with_a_part_that_cannot_name_a_folder_creates_nothing(self):
        # Every part is judged before the first level is made. menucleanup
        # removes nothing for such a name either, not even an empty first level.
        for tail in ("a. \\b", "AUX.txt\\y", "ok\\q?b", "ok/c\x01d", "ok\\..\\b"):
            with self.subTest(tail=tail):
                first = self.menu_folder(unique("x"))
                installation = self.new_installation(folder_name=first + "\\" + tail,
                                                     revision="18.2")
                self.run_program(installation, "menusetup.exe")
                self.assert_host_setup_ran(installation)
                first_unix = os.path.join(self.all_users.unix, first)
                self.assertFalse(os.path.exists(first_unix))
                os.makedirs(first_unix)
                self.run_program(installation, "menucleanup.exe")
                self.assertTrue(os.path.isdir(first_unix))

    def test_a_name_holding_a_control_or_format_character_is_refused(self):
        # The start menu would show "RUVO 18.2 <U+202E>exe.knl.lnk" as ending
        # in "lnk.exe"; a zero-width space, a soft hyphen or a tag character
        # would not show at all.
        cases = (("", "18.2 \u202eexe.knl"), ("\\\u2067ok", "18.2"), ("", "18.2\u200b"),
                 ("\\o\u00adk", "18.2"), ("", "18.2\U000e0041"))
        for tail, revision in cases:
            with self.subTest(tail=tail, revision=revision):
                folder = self.menu_folder(unique("Velmora"))
                installation = self.new_installation(folder_name=folder + tail, revision=revision)
                self.run_program(installation, "menusetup.exe")
                self.assert_host_setup_ran(installation)
                self.assertFalse(os.path.exists(os.path.join(self.all_users.unix, folder)))

    def test_missing_release_information_uses_the_programs_folders_own_subfolder(self):
        # The empty name puts the shortcut into <Programs>\Fluid Dynamics.
        self.menu_folder("Fluid Dynamics")
        installation = self.new_installation()
        self.assertFalse(os.path.exists(installation.release_info))
        self.run_program(installation, "menusetup.exe")
        self.assert_launcher_shortcut(self.all_users, installation, "", "")
        # Reading the missing file created nothing.
        self.assertFalse(os.path.exists(installation.release_info))
        self.assert_host_setup_ran(installation)

    def test_missing_host_setup_tool_still_gives_the_shortcut_and_exit_code_0(self):
        folder = self.menu_folder(unique("Velmora"))
        installation = self.new_installation(folder_name=folder, revision="18.2")
        os.remove(unix_path(installation.suite + "\\bin\\ruvo5parhosts.exe"))
        self.run_program(installation, "menusetup.exe")
        self.assert_launcher_shortcut(self.all_users, installation, folder, "18.2")
        self.assertIsNone(installation.read_host_setup_report())

    def test_folder_name_that_leaves_the_programs_folder_writes_nothing_outside(self):
        mark = unique("escaped")
        # Programs -> Start Menu -> Windows -> Microsoft -> ProgramData -> C:
        names = ["..\\..\\..\\..\\..\\" + mark, mark + "\\..\\..\\" + mark,
                 "..\\Programs\\" + mark, mark + "/../../" + mark, "...\\" + mark]
        # Other tests may work in the same folders meanwhile: look only for
        # what carries this test's mark.
        places = [unix_path("C:\\"), unix_path("C:\\ProgramData"),
                  os.path.dirname(self.all_users.unix)]
        for name in names:
            with self.subTest(name=name):
                installation = self.new_installation(folder_name=name, revision="18.2")
                self.run_program(installation, "menusetup.exe")
                self.assert_host_setup_ran(installation)
                for place in places:
                    marked = [path for path in tree(place) if mark in path]
                    self.assertEqual(marked, [], place)

    def test_revision_that_climbs_out_of_its_folder_touches_nothing(self):
        # "RUVO ..\..\..\..\<mark>.lnk" below <folder>\Fluid Dynamics\ resolves to
        # <Programs>\<mark>.lnk: a shortcut of the user's there stays as it is.
        mark = unique("Word")

        def climb(standard_user, start_menu):
            users_link = start_menu.folder(mark + ".lnk")
            with open(users_link, "w") as out:
                out.write("the user's")
            folder = self.menu_folder(unique("Velmora"))
            installation = self.new_installation(folder_name=folder,
                                                 revision="..\\..\\..\\..\\" + mark)
            self.run_program(installation, "menusetup.exe", standard_user=standard_user)
            self.assert_host_setup_ran(installation)
            self.assertFalse(os.path.exists(os.path.join(start_menu.unix, folder)))
            self.run_program(installation, "menucleanup.exe", standard_user=standard_user)
            with open(users_link) as kept:
                self.assertEqual(kept.read(), "the user's")

        self.for_each_user(climb)

    def test_cut_module_path_never_moves_the_install_root(self):
        # The program's own path is longer than the 520 characters it was once
        # read into. Where a cut path would have put the install root, a
        # planted release file and host-setup tool wait; neither may be used.
        base = unique("long") + "".join("\\" + "d%02d" % level + "x" * 96 for level in range(5))
        installation = self.new_installation(folder_name=unique("real"), revision="18.2", base=base)
        program = installation.program("menusetup.exe")
        self.assertGreater(len(program), 560)
        cut = program[:519]
        for _ in range(5):
            cut = cut.rstrip("\\")
            cut = cut[:cut.rfind("\\") + 1].rstrip("\\")
        decoy_mark = self.menu_folder(unique("decoy"))
        os.makedirs(unix_path(cut + "\\commonfiles\\globalsettings"), exist_ok=True)
        os.makedirs(unix_path(cut + "\\RUVO\\bin"), exist_ok=True)
        with open(unix_path(cut + "\\commonfiles\\globalsettings\\relinfo.xml"), "w") as out:
            out.write('startMenuFolderName="%s" startMenuShortcutAppendRevision="18.2"' % decoy_mark)
        shutil.copy(os.path.join(BIN, "ruvo5parhosts.exe"), unix_path(cut + "\\RUVO\\bin"))
        self.run_program(installation, "menusetup.exe")
        self.assertFalse(os.path.exists(unix_path(cut + "\\RUVO\\bin\\ruvo5parhosts.report")),
                         "menusetup ran a host-setup tool outside its installation")
        self.assertFalse(os.path.exists(os.path.join(self.all_users.unix, decoy_mark)))

    def test_long_install_root_gives_a_whole_target_or_no_shortcut(self):
        # The target is the install root and \RUVO\bin\ruvo5.exe (19 characters);
        # a shortcut holds at most 259. Wine starts no program from such a
        # long path, so the host-setup tool is not looked at here.
        for target_length, expect_shortcut in ((259, True), (260, False)):
            with self.subTest(target_length=target_length):
                folder = self.menu_folder(unique("Velmora"))
                base = unique("root")
                fixed = len("C:\\%s\\Velmora\\v182\\RUVO\\bin\\ruvo5.exe" % base)
                padding = target_length - fixed - 1
                base += "\\" + "p" * (padding // 2) + "\\" + "q" * (padding - padding // 2 - 1)
                installation = self.new_installation(folder_name=folder, revision="18.2", base=base)
                self.assertEqual(len(installation.suite + "\\bin\\ruvo5.exe"), target_length)
                self.run_program(installation, "menusetup.exe")
                link = self.all_users.link_unix(folder, "RUVO 18.2.lnk")
                if expect_shortcut:
                    self.assertEqual(read_with_lnkinfo(link)["target"],
                                     installation.suite + "\\bin\\ruvo5.exe")
                else:
                    self.assertFalse(os.path.exists(os.path.join(self.all_users.unix, folder)))

    def test_deep_folder_name_is_refused_at_once(self):
        mark = self.menu_folder(unique("deep"))
        installation = self.new_installation(folder_name=mark + "\\a" * 2500, revision="18.2")
        self.run_program(installation, "menusetup.exe")
        self.assert_host_setup_ran(installation)
        self.assertFalse(os.path.exists(os.path.join(self.all_users.unix, mark)))

    def test_release_information_past_4_gib_is_searched_whole(self):
        # A sparse file: over 4 GiB of NUL bytes, then the keys. A size taken
        # in 32 bits would wrap around and miss them. It lies in memory where
        # the host has such a file system, relinfo.xml a link to it.
        folder = self.menu_folder(unique("Velmora big"))
        installation = self.new_installation()
        big = installation.release_info
        if os.path.isdir(MEMORY_FOLDER):
            scratch = tempfile.TemporaryDirectory(dir=MEMORY_FOLDER)
            self.addCleanup(scratch.cleanup)
            big = os.path.join(scratch.name, "relinfo.xml")
            os.symlink(big, installation.release_info)
        with open(big, "wb") as out:
            out.seek(4 * 1024 ** 3 + 4096)
            out.write(('startMenuFolderName="%s" startMenuShortcutAppendRevision="18.2"'
                       % folder).encode())
        self.run_program(installation, "menusetup.exe")
        self.assert_launcher_shortcut(self.all_users, installation, folder, "18.2")
        self.assert_host_setup_ran(installation)


if __name__ == "__main__":
    unittest.main()
