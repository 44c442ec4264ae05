"""Sample installations in the test prefix, readers of what the programs did,
and the test case that the end-to-end suites build on.

Runs under the build's wine-env wrapper, which sets WINEPREFIX and the rest of
Wine's environment; MENUTOOLS_BIN names the folder of the built programs and
MENUTOOLS_ICON the icon file that stands in for the suite's own.
"""

import functools
import os
import re
import shutil
import subprocess
import unittest
import uuid

BIN = os.environ["MENUTOOLS_BIN"]
ICON = os.environ["MENUTOOLS_ICON"]
PREFIX = os.environ["WINEPREFIX"]
RUN_TIMEOUT = 120
# What a failure message shows of a program's error output at the most.
ERRORS_SHOWN = 4000

CSIDL_PROGRAMS = 2
CSIDL_COMMON_PROGRAMS = 23

# Where the programs sit below the install root: four folders.
PROGRAM_FOLDER = ("commonfiles", "setup", "menu", "win32")

# The host-setup stand-in pauses for half a second before it looks whether
# menusetup still runs, so that a menusetup that did not wait shows. Only a
# test of that wait needs the pause (WAITED_FOR); the installations' runs
# leave it out unless told otherwise. The log's "Process N ended with exit
# code C" shows the wait too.
NO_PAUSE = {"RUVO5PARHOSTS_PAUSE_MS": "0"}
WAITED_FOR = {"RUVO5PARHOSTS_PAUSE_MS": "500"}


def unix_path(windows_path):
    """The Unix path of a path on the prefix's drive C: (or Z:, the root)."""
    drive, rest = windows_path[0].upper(), windows_path[2:].replace("\\", "/")
    if drive == "C":
        return os.path.join(PREFIX, "drive_c") + rest
    if drive == "Z":
        return rest
    raise ValueError("no Unix path for " + windows_path)


class ProgramFailed(AssertionError):
    """A program that a test ran did not end as the test needs it to."""


def how_it_ended(result):
    """For failure messages: the command a run of subprocess started, its exit
    code, and the end of what it wrote to its error output (where Wine says
    why a program did not start)."""
    errors = result.stderr
    if isinstance(errors, bytes):
        errors = errors.decode(errors="replace")
    if errors is None:
        errors = "(not kept)"
    return "%s: exit code %d, error output: %s" % (
        " ".join(str(word) for word in result.args), result.returncode,
        errors[-ERRORS_SHOWN:] or "(none)")


def wine(program, *arguments, standard_user=False, environment=None, cwd=None):
    """Runs a Windows program, as a standard user if asked, with `environment`
    (a dict) added to Wine's, in the Unix folder `cwd` when given (Wine makes
    it the current folder); returns its result (how_it_ended tells it)."""
    command = ["wine"]
    if standard_user:
        # runrestricted takes the rest of its command line as typed.
        command += [os.path.join(BIN, "runrestricted.exe"), program]
    else:
        command += [program]
    command += list(arguments)
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=RUN_TIMEOUT, cwd=cwd,
                          env=dict(os.environ, **environment) if environment else None)


def tool_run(tool, *arguments):
    """Runs one of the build's test tools, which must exit with 0; returns its
    result, or raises ProgramFailed naming how it ended."""
    result = wine(os.path.join(BIN, tool), *arguments)
    if result.returncode != 0:
        raise ProgramFailed(how_it_ended(result))
    return result


def tool_output(tool, *arguments):
    """What a test tool printed, decoded from UTF-8; a tool that does not exit
    with 0, or prints nothing, raises ProgramFailed naming how it ended."""
    result = tool_run(tool, *arguments)
    if not result.stdout:
        raise ProgramFailed("no output: " + how_it_ended(result))
    return result.stdout.decode("utf-8")


@functools.lru_cache(maxsize=None)
def programs_folder(csidl):
    return tool_output("shellfolder.exe", str(csidl)).strip()


@functools.lru_cache(maxsize=None)
def windows_platform():
    """The platform the build's programs run on, as the system answers one of
    them (pointer size, IsWow64Process): "x64" (64-bit programs on 64-bit
    Windows), "wow64" (32-bit programs under WOW64 on 64-bit Windows) or
    "win32" (32-bit programs on 32-bit Windows)."""
    output = tool_output("platform.exe").strip()
    if output not in ("x64", "wow64", "win32"):
        raise ProgramFailed("platform.exe answered %r" % output)
    return output


def unique(tag):
    return "%s %s" % (tag, uuid.uuid4().hex[:10])


def parse_pairs(text):
    pairs = {}
    for line in text.splitlines():
        name, sep, value = line.partition("=")
        if sep:
            pairs[name] = value
    return pairs


def read_host_setup_report(report_unix_path):
    """What the host-setup stand-in wrote about its run, or None when it did
    not run."""
    if not os.path.exists(report_unix_path):
        return None
    with open(report_unix_path, encoding="utf-8") as report:
        return parse_pairs(report.read())


def read_with_shell(link_windows_path):
    """The shortcut's properties as the shell link object reads them; a file
    that does not load as a shortcut raises ProgramFailed."""
    return parse_pairs(tool_output("lnkread.exe", link_windows_path))


LNKINFO_FIELDS = {
    "Local path": "target",
    "Description": "description",
    "Working directory": "working_directory",
    "Command line arguments": "arguments",
    "Icon location": "icon_path",
    "Icon index": "icon_index",
}
SHOW_COMMAND_OFFSET = 0x3C


def read_with_lnkinfo(link_unix_path):
    """The shortcut's properties as lnkinfo, an independent reader, sees them.

    lnkinfo always prints 0 for the show command, so that value is read from
    the file itself (a 32-bit value at offset 0x3C of the header)."""
    output = subprocess.run(["lnkinfo", link_unix_path], capture_output=True, check=True,
                            timeout=RUN_TIMEOUT).stdout.decode("utf-8")
    fields = {}
    for line in output.splitlines():
        match = re.match(r"^\t([A-Za-z ]+?)\s*:\s?(.*)$", line)
        if match and match.group(1) in LNKINFO_FIELDS:
            fields.setdefault(LNKINFO_FIELDS[match.group(1)], match.group(2))
    with open(link_unix_path, "rb") as link:
        header = link.read(SHOW_COMMAND_OFFSET + 4)
    fields["show_command"] = str(int.from_bytes(header[SHOW_COMMAND_OFFSET:], "little"))
    return fields


def tree(unix_folder, skip=("windows",)):
    """Every path below a folder, relative to it; folders named in `skip`
    (Windows' own, by default) are not entered."""
    found = set()
    for folder, folders, files in os.walk(unix_folder):
        folders[:] = [name for name in folders if name not in skip]
        for name in folders + files:
            found.add(os.path.relpath(os.path.join(folder, name), unix_folder))
    return found


class Installation:
    """An install root in its own folder on C:, with the programs four folders
    below it, the stand-ins for the suite's programs and the suite's icon."""

    def __init__(self, folder_name=None, revision=None, release_info=None, base=None):
        self.base = base or unique("install")
        self.locate("C:\\%s\\Velmora\\v182" % self.base)
        for folder in (self.program_folder, self.suite + "\\bin", self.suite + "\\icons",
                       self.root + "\\commonfiles\\globalsettings"):
            os.makedirs(unix_path(folder), exist_ok=True)
        for program in ("menusetup.exe", "menucleanup.exe"):
            if os.path.exists(os.path.join(BIN, program)):
                shutil.copy(os.path.join(BIN, program), unix_path(self.program_folder))
        for program in ("ruvo5.exe", "ruvo5parhosts.exe"):
            shutil.copy(os.path.join(BIN, program), unix_path(self.suite + "\\bin"))
        shutil.copy(ICON, unix_path(self.suite + "\\icons\\ruvo_hi.ico"))
        if release_info is None and folder_name is not None:
            release_info = ('<?xml version="1.0" encoding="UTF-8"?>\n<releaseInfo '
                            'startMenuFolderName="%s" startMenuShortcutAppendRevision="%s"/>\n'
                            % (folder_name, revision or ""))
        if release_info is not None:
            self.write_release_info(release_info)

    @classmethod
    def laid_out_at(cls, root):
        """The installation that something else (an installer) lays out at
        `root`; nothing is made here, and remove() does not apply."""
        installation = cls.__new__(cls)
        installation.base = None
        installation.locate(root)
        return installation

    def locate(self, root):
        self.root = root
        self.suite = self.root + "\\RUVO"
        self.program_folder = "\\".join((self.root,) + PROGRAM_FOLDER)

    @property
    def release_info(self):
        return unix_path(self.root + "\\commonfiles\\globalsettings\\relinfo.xml")

    def write_release_info(self, text):
        with open(self.release_info, "wb") as out:
            out.write(text.encode("utf-8") if isinstance(text, str) else text)

    def program(self, name):
        return self.program_folder + "\\" + name

    def run(self, name, *arguments, standard_user=False, environment=None):
        """Runs one of the installation's programs, with `environment` added to
        NO_PAUSE."""
        return wine(self.program(name), *arguments, standard_user=standard_user,
                    environment=dict(NO_PAUSE, **(environment or {})))

    @property
    def host_setup_report(self):
        return unix_path(self.suite + "\\bin\\ruvo5parhosts.report")

    def read_host_setup_report(self):
        return read_host_setup_report(self.host_setup_report)

    def remove(self):
        top = self.base.split("\\")[0]
        shutil.rmtree(unix_path("C:\\" + top), ignore_errors=True)


class StartMenu:
    """One of the two Programs folders, and the suite folders the tests made in it."""

    def __init__(self, csidl):
        self.windows = programs_folder(csidl)
        self.unix = unix_path(self.windows)
        self.created = []

    def folder(self, name):
        self.created.append(name)
        return os.path.join(self.unix, name)

    def link(self, folder_name, file_name):
        """The link path as the programs build it: two backslashes before the file."""
        return "%s\\%s\\Fluid Dynamics\\\\%s" % (self.windows, folder_name, file_name)

    def link_unix(self, folder_name, file_name):
        return os.path.join(self.unix, folder_name.replace("\\", "/"), "Fluid Dynamics",
                            file_name)

    def clean(self):
        for name in self.created:
            path = os.path.join(self.unix, name)
            if os.path.isdir(path):
                # rm copes with trees deeper than Python's recursion limit,
                # such as a faulty program may leave.
                subprocess.run(["rm", "-rf", "--", path], check=False)
            elif os.path.lexists(path):
                # A file, or a link that leads nowhere.
                os.remove(path)


class InstallationTestCase(unittest.TestCase):
    """Sample installations, the suite's folders in both Programs folders and
    folders on C:, each removed again however the test ends; the programs run
    with their exit code checked; what menusetup must leave, asserted."""

    def setUp(self):
        super().setUp()
        self.all_users = StartMenu(CSIDL_COMMON_PROGRAMS)
        self.own = StartMenu(CSIDL_PROGRAMS)
        self.addCleanup(self.all_users.clean)
        self.addCleanup(self.own.clean)

    def start_menu(self, standard_user):
        """The Programs folder that the programs work in for that user."""
        return self.own if standard_user else self.all_users

    def for_each_user(self, body):
        """Calls body(standard_user, start_menu) for the administrator, then for
        a standard user, each in a subtest of its own."""
        for standard_user in (False, True):
            with self.subTest(standard_user=standard_user):
                body(standard_user, self.start_menu(standard_user))

    def menu_folder(self, name):
        """Marks a folder of that name for removal in both Programs folders;
        returns the name."""
        self.all_users.folder(name)
        self.own.folder(name)
        return name

    def new_installation(self, **release):
        """An Installation (see there for `release`), removed at the end."""
        installation = Installation(**release)
        self.addCleanup(installation.remove)
        return installation

    def scratch_folder(self, tag):
        """A new folder C:\\<tag> <unique>, removed at the end with what is in
        it; returns its Windows path."""
        folder = "C:\\" + unique(tag)
        os.makedirs(unix_path(folder))
        self.addCleanup(shutil.rmtree, unix_path(folder), True)
        return folder

    def run_program(self, installation, name, *arguments, standard_user=False, environment=None):
        """Runs one of the installation's programs; it must exit with 0."""
        result = installation.run(name, *arguments, standard_user=standard_user,
                                  environment=environment)
        self.assertEqual(result.returncode, 0, how_it_ended(result))
        return result

    def assert_launcher_shortcut(self, start_menu, installation, folder, revision):
        """The launcher of `revision`, alone in <folder>\\Fluid Dynamics, as
        lnkinfo and the shell link object read it: the installation's solver
        launcher and icon."""
        file_name = "RUVO %s.lnk" % revision if revision else "RUVO.lnk"
        link = start_menu.link_unix(folder, file_name)
        self.assertTrue(os.path.isfile(link), "no shortcut at " + link)
        self.assertEqual(os.listdir(os.path.dirname(link)), [file_name])
        expected = {
            "target": installation.suite + "\\bin\\ruvo5.exe",
            "arguments": "",
            "working_directory": "%USERPROFILE%",
            "description": "Start VELMORA RUVO %s Launcher" % revision,
            "icon_path": installation.suite + "\\icons\\ruvo_hi.ico",
            "icon_index": "0",
            "show_command": "1",
        }
        self.assertEqual(read_with_lnkinfo(link), expected)
        self.assertEqual(read_with_shell(start_menu.link(folder, file_name)), expected)

    def assert_host_setup_ran(self, installation):
        """The installation's host-setup tool ran hidden, with its switch, and
        was waited for (for certain where it ran with WAITED_FOR)."""
        report = installation.read_host_setup_report()
        self.assertIsNotNone(report, "the host-setup tool did not run, or was not waited for")
        self.assertEqual(report["command_line"],
                         '"%s\\bin\\ruvo5parhosts.exe" -install-setup' % installation.suite)
        self.assertEqual((report["uses_show_window"], report["show_window"]), ("1", "0"),
                         "the host-setup tool was not hidden")
        self.assertEqual(report["parent_alive_at_end"], "1", "menusetup did not wait for it")
