"""The log that /log=<file> asks for, under Wine: what menusetup and menucleanup
write into it, step by step, and that a log that cannot be written, or none at
all, changes nothing else. The debugger's output is read from Wine's own
trace of OutputDebugStringA, which OutputDebugStringW ends in."""

import os
import re
import subprocess
import unittest
import uuid

from installation import RUN_TIMEOUT, InstallationTestCase, how_it_ended, tree, unique, unix_path

VERSION = os.environ["MENUTOOLS_VERSION"]
TIME_STAMP = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ")
STARTED = re.compile(r"^Started hidden as process (\d+): (.*)$")
DEBUG_LINE = re.compile(r':warn:seh:OutputDebugStringA "(.*)"$')
# Wine's trace of what a program sends to the debugger, and nothing else.
DEBUG_OUTPUT = {"WINEDEBUG": "-all,warn+seh"}
# What the programs log of the system's guard against junctions: Wine accepts
# the request and enforces nothing.
TRUST = "Redirection trust policy: not enforced by this system"


def read_log(path):
    """The messages of a log file, without their time stamps. The file must be
    UTF-8, each line ending in CR LF and starting with a time stamp."""
    with open(path, "rb") as log:
        text = log.read().decode("utf-8")
    assert text.endswith("\r\n"), repr(text[-80:])
    messages = []
    for line in text[:-2].split("\r\n"):
        assert TIME_STAMP.match(line), repr(line)
        messages.append(TIME_STAMP.sub("", line))
    return messages


def debug_output(stderr):
    """The lines that a program sent to the debugger, from Wine's trace."""
    lines = []
    for line in stderr.decode("utf-8", errors="replace").splitlines():
        match = DEBUG_LINE.search(line)
        if match:
            text = match.group(1).encode("ascii", errors="replace").decode("unicode_escape")
            lines.append(TIME_STAMP.sub("", text.rstrip("\r\n")))
    return lines


class LogTest(InstallationTestCase):
    def install(self, folder, revision="18.2"):
        # No blank in the install root: the batch file below names it unquoted.
        return self.new_installation(folder_name=self.menu_folder(folder), revision=revision,
                                     base="log" + uuid.uuid4().hex[:10])

    def run_typed(self, installation, *command_lines, environment=None):
        """Runs command lines exactly as typed, quotes included, from a batch
        file (Wine would escape quotes in arguments handed to it)."""
        batch = installation.root + "\\run.bat"
        with open(unix_path(batch), "w", newline="\r\n") as out:
            for line in command_lines:
                out.write("@%s\n@if errorlevel 1 exit 1\n" % line)
        result = subprocess.run(["wine", "cmd", "/c", batch], stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=RUN_TIMEOUT,
                                env=dict(os.environ, **(environment or {})))
        self.assertEqual(result.returncode, 0, how_it_ended(result))

    def release_lines(self, installation, folder, revision):
        relinfo = installation.root + "\\commonfiles\\globalsettings\\relinfo.xml"
        return ['Release information %s: startMenuFolderName="%s"' % (relinfo, folder),
                'Release information %s: startMenuShortcutAppendRevision="%s"' % (relinfo, revision)]

    def assert_started(self, line, installation, exit_code, next_line):
        match = STARTED.match(line)
        self.assertIsNotNone(match, line)
        self.assertEqual(match.group(2),
                         '"%s\\bin\\ruvo5parhosts.exe" -install-setup' % installation.suite)
        self.assertEqual(next_line, "Process %s ended with exit code %d" % (match.group(1), exit_code))

    def test_round_trip_log_with_a_quoted_path_and_the_switch_in_any_case(self):
        folder = unique("Strömung")
        installation = self.install(folder)
        log = "C:\\%s\\log files\\setup and cleanup.log" % installation.base
        os.makedirs(os.path.dirname(unix_path(log)))
        with open(unix_path(log), "wb") as out:
            out.write(b"2000-01-01 00:00:00.000 an earlier run\r\n")
        # A large exit code proves that it is written in decimal.
        self.run_typed(installation,
                       '%s -q /log="%s" /other' % (installation.program("menusetup.exe"), log),
                       '%s /LOG="%s"' % (installation.program("menucleanup.exe"), log),
                       environment={"RUVO5PARHOSTS_EXIT_CODE": "300"})

        messages = read_log(unix_path(log))
        self.assertEqual(messages.pop(0), "an earlier run")
        programs = self.all_users.windows
        fluid_dynamics = "%s\\%s\\Fluid Dynamics\\" % (programs, folder)
        chosen = "Administrator: yes; Programs folder: " + programs
        release = self.release_lines(installation, folder, "18.2")
        setup_end = messages.index("menusetup done, exit code 0") + 1
        self.assertEqual(messages[:setup_end - 3], [
            "menusetup " + VERSION, TRUST,
            "Install root: " + installation.root,
            release[0], release[1],  # each read once, the revision for description and name
            chosen,
            "Shortcut written: %sRUVO 18.2.lnk" % fluid_dynamics,
            'Shortcut target: "%s\\bin\\ruvo5.exe"' % installation.suite,
            "Shortcut arguments: (none)",
            "Shortcut working directory: %USERPROFILE%",
            "Shortcut description: Start VELMORA RUVO 18.2 Launcher",
            "Shortcut icon: %s\\icons\\ruvo_hi.ico, index 0" % installation.suite,
            "Shortcut show command: 1",
        ])
        self.assert_started(messages[setup_end - 3], installation, 300, messages[setup_end - 2])
        self.assertEqual(messages[setup_end:], [
            "menucleanup " + VERSION, TRUST,
            "Install root: " + installation.root,
            release[0], release[1],
            chosen, "Shortcut deleted: %sRUVO 18.2.lnk" % fluid_dynamics,
            chosen, "Folder removed: " + fluid_dynamics[:-1],
            "Folder removed: %s\\%s" % (programs, folder),
            "menucleanup done, exit code 0",
        ])

    def test_refusals_are_logged_with_their_reason(self):
        mark = unique("escaped")
        cases = [
            # A revision that would climb out of Fluid Dynamics, as a standard user.
            ("Velmora " + mark, "..\\..\\" + mark, True, [
                'Shortcut refused: its name part "..\\..\\%s" holds a separator, a reserved, '
                "control or format character, or ends in a dot or a blank" % mark]),
            # A folder name that would leave the Programs folder.
            ("..\\..\\..\\..\\..\\" + mark, "18.2", False, [
                'Shortcut refused: its folder name part ".." holds a separator, a reserved, '
                "control or format character, or ends in a dot or a blank, or names a device"]),
        ]
        for folder, revision, standard_user, refusals in cases:
            with self.subTest(folder=folder, revision=revision):
                installation = self.install(folder, revision)
                start_menu = self.own if standard_user else self.all_users
                programs = start_menu.windows
                refusals = [line.format(programs=programs) for line in refusals]
                log = "C:\\%s\\refused.log" % installation.base
                self.run_program(installation, "menusetup.exe", "/Log=" + log,
                                 standard_user=standard_user)
                self.run_program(installation, "menucleanup.exe", "/lOG=" + log,
                                 standard_user=standard_user)
                messages = read_log(unix_path(log))
                chosen = "Administrator: %s; Programs folder: %s" % (
                    "no" if standard_user else "yes", programs)
                setup_end = messages.index("menusetup done, exit code 0") + 1
                self.assertEqual(messages[5:7], [chosen] + refusals)
                self.assert_started(messages[7], installation, 3, messages[8])
                self.assertEqual(setup_end, 10)
                cleanup = messages[setup_end + 5:]
                self.assertEqual(cleanup[:2], [chosen] + refusals)
                if standard_user:
                    self.assertEqual(cleanup[2:], [
                        chosen, "Folder not removed: %s\\%s\\Fluid Dynamics is not there"
                        % (programs, folder),
                        "Folder not removed: %s\\%s is not there" % (programs, folder),
                        "menucleanup done, exit code 0"])
                else:
                    self.assertEqual(cleanup[2:], [
                        chosen, 'Folder refused: %s\\%s\\Fluid Dynamics\\: its name part ".." '
                        "holds a separator, a reserved, control or format character, or ends "
                        "in a dot or a blank, or names a device" % (programs, folder),
                        "menucleanup done, exit code 0"])

    def test_menucleanup_logs_each_deletion_and_why_a_folder_stays(self):
        folder = unique("Velmora")
        installation = self.install(folder)
        self.run_program(installation, "menusetup.exe")
        programs = self.all_users.windows
        suite_folder = "%s\\%s" % (programs, folder)
        fluid_dynamics = suite_folder + "\\Fluid Dynamics"
        link = fluid_dynamics + "\\RUVO 18.2.lnk"
        link_unix = self.all_users.link_unix(folder, "RUVO 18.2.lnk")
        sub_folder = os.path.join(os.path.dirname(link_unix), "sub")
        log = "C:\\%s\\cleanup.log" % installation.base
        # A read-only shortcut stays, and so does Fluid Dynamics, which holds
        # it, and with it the suite's folder. Then Fluid Dynamics holds only a
        # folder, which the shell does not count, but the file system refuses
        # to remove it.
        os.chmod(link_unix, 0o444)
        self.run_program(installation, "menucleanup.exe", "/log=" + log)
        os.chmod(link_unix, 0o644)
        os.mkdir(sub_folder)
        self.run_program(installation, "menucleanup.exe", "/log=" + log)
        os.rmdir(sub_folder)
        self.run_program(installation, "menucleanup.exe", "/log=" + log)
        self.run_program(installation, "menucleanup.exe", "/log=" + log)

        runs, run = [], []
        for message in read_log(unix_path(log)):
            if message.startswith(("Shortcut", "Folder")):
                run.append(message)
            if message == "menucleanup done, exit code 0":
                runs.append(run)
                run = []
        self.assertEqual(len(runs), 4)
        self.assertRegex(runs[0][0], r"^Shortcut %s not deleted: it is read-only: error 5: \S"
                         % re.escape(link))
        self.assertEqual(runs[0][1:], ["Folder kept: %s still holds something" % fluid_dynamics])
        self.assertEqual(runs[1][0], "Shortcut deleted: " + link)
        self.assertRegex(runs[1][1], r"^Folder kept: %s, its removal failed: error 145: \S"
                         % re.escape(fluid_dynamics))
        self.assertEqual(len(runs[1]), 2)
        self.assertRegex(runs[2][0], r"^Shortcut %s not deleted: error 2: \S" % re.escape(link))
        self.assertEqual(runs[2][1:], ["Folder removed: " + fluid_dynamics,
                                       "Folder removed: " + suite_folder])
        self.assertRegex(runs[3][0], r"^Shortcut %s not deleted: error 3: \S" % re.escape(link))
        self.assertEqual(runs[3][1:], ["Folder not removed: %s is not there" % fluid_dynamics,
                                       "Folder not removed: %s is not there" % suite_folder])

    def test_a_log_that_cannot_or_may_not_be_written_or_none_changes_nothing_else(self):
        folder = unique("Velmora")
        installation = self.install(folder)
        link_unix = self.all_users.link_unix(folder, "RUVO 18.2.lnk")
        base = unix_path("C:\\" + installation.base)
        report = os.path.relpath(installation.host_setup_report, base)
        # A batch file that an elevated run must not append to.
        batch = os.path.join(base, "victim.bat")
        def log(name):
            return "C:\\%s\\%s.log" % (installation.base, name)
        nowhere = os.path.join(base, "nowhere.bat")
        missing_folder = "C:\\%s\\no such folder\\x.log" % installation.base
        cases = [
            ("a folder that does not exist", None, ["/log=" + missing_folder],
             r"cannot be opened: %s is not there: error 2: \S"
             % re.escape(os.path.dirname(missing_folder.replace("\\", "/")).replace("/", "\\"))),
            ("a folder", None, ["/log=" + installation.suite], r"not used: it is a folder$"),
            ("a link to a file", lambda: os.symlink(batch, unix_path(log("link"))),
             ["/log=" + log("link")],
             r"not used: it is reached through a link and lies elsewhere$"),
            ("a link that leads nowhere", lambda: os.symlink(nowhere, unix_path(log("nowhere"))),
             ["/log=" + log("nowhere")], r"not used: it is a link \(a reparse point\)$"),
            ("a second name of a file", lambda: os.link(batch, unix_path(log("second"))),
             ["/log=" + log("second")], r"not used: it has more than one name \(hard links\)$"),
            ("no /log= switch", None, ["/log", "C:\\%s\\x.log" % installation.base], None)]
        for name, make_log, arguments, why in cases:
            with self.subTest(name):
                for leftover in (link_unix, installation.host_setup_report):
                    if os.path.exists(leftover):
                        os.remove(leftover)
                with open(batch, "wb") as out:
                    out.write(b"@echo the user's\r\n")
                if make_log:
                    make_log()
                before = tree(base)
                result = self.run_program(installation, "menusetup.exe", *arguments,
                                          environment=DEBUG_OUTPUT)
                self.assertTrue(os.path.isfile(link_unix))
                # Nothing new but the host-setup stand-in's report.
                self.assertEqual(tree(base) - before, {report})
                with open(batch, "rb") as kept:
                    self.assertEqual(kept.read(), b"@echo the user's\r\n")
                # The same lines go to the debugger in every case.
                lines = debug_output(result.stderr)
                self.assertEqual(lines[-1], "menusetup done, exit code 0")
                self.assertIn("Shortcut written: %s\\%s\\Fluid Dynamics\\RUVO 18.2.lnk"
                              % (self.all_users.windows, folder), lines)
                if why:
                    self.assertRegex(lines[0], r"^Log file %s %s" % (re.escape(arguments[0][5:]),
                                                                    why))


if __name__ == "__main__":
    unittest.main()
