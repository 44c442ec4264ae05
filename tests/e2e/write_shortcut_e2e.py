"""The library's WriteShortcut with a show command and an icon index that
differ from the values a shortcut gets when nothing is set (1 and 0), which
are all that the programs themselves write: read back with lnkinfo and the
file's header, and through the shell link object (lnkread)."""

import unittest

from installation import (InstallationTestCase, read_with_lnkinfo, read_with_shell, tool_run,
                          unix_path)

SW_SHOWMINNOACTIVE = 7
ICON_INDEX = 3


class WriteShortcutTest(InstallationTestCase):
    def test_show_command_and_icon_index_are_stored(self):
        link = self.scratch_folder("shortcut") + "\\Minimized.lnk"
        tool_run("lnkwrite.exe", link, "C:\\S\\RUVO\\bin\\ruvo5.exe", "-x 1", "%USERPROFILE%",
                 "Start minimized", "C:\\S\\RUVO\\icons\\ruvo_hi.ico", str(ICON_INDEX),
                 str(SW_SHOWMINNOACTIVE))
        expected = {
            "target": "C:\\S\\RUVO\\bin\\ruvo5.exe",
            "arguments": "-x 1",
            "working_directory": "%USERPROFILE%",
            "description": "Start minimized",
            "icon_path": "C:\\S\\RUVO\\icons\\ruvo_hi.ico",
            "icon_index": str(ICON_INDEX),
            "show_command": str(SW_SHOWMINNOACTIVE),
        }
        self.assertEqual(read_with_lnkinfo(unix_path(link)), expected)
        # Wine's shell link object reads every shortcut's show command as 1;
        # the header, read above, holds the value saved.
        shell = read_with_shell(link)
        del shell["show_command"], expected["show_command"]
        self.assertEqual(shell, expected)


if __name__ == "__main__":
    unittest.main()
