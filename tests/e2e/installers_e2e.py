"""The sample installers under Wine, run silently as an administrator's
installer runs: the MSI packages through msiexec (install, major and minor
upgrade, repair, removal) and the NSIS setups (one installed over the other)
with their uninstaller. What they leave is read back
from the disk, with lnkinfo and through the shell link object, and from the
registry. MENUTOOLS_INSTALLERS names the folder of the built installers.

Every test starts from and leaves a prefix without the sample: it removes the
sample through its own uninstaller first, then whatever is still left."""

import glob
import os
import re
import select
import shutil
import subprocess
import tempfile
import time
import unittest

from installation import (PREFIX, Installation, InstallationTestCase, how_it_ended, tree,
                          unix_path, windows_platform)
from log_e2e import VERSION, read_log

INSTALLERS = os.environ["MENUTOOLS_INSTALLERS"]
PACKAGES = {revision: os.path.join(INSTALLERS, "sample-%s.msi" % revision)
            for revision in ("18.2", "18.3", "18.2.1")}
# msiexec's logs, kept for the failure messages and after them, one folder for
# each platform's pass of the build.
LOG_DIR = os.path.join(os.path.dirname(INSTALLERS), "installers-e2e", windows_platform())
RUN_TIMEOUT = 120

# The samples' install folder and start-menu folder.
PRODUCT = "Velmora RUVO Sample"
# Where the samples install, and the Program Files folder that must stay
# without them, on each platform: the 32-bit samples into the one Program
# Files of a 32-bit Windows, and into the "(x86)" one of a 64-bit Windows,
# where the other holds 64-bit programs; the 64-bit samples into that other.
PROGRAM_FILES = "C:\\Program Files"
PROGRAM_FILES_X86 = "C:\\Program Files (x86)"
PROGRAM_FILES_FOLDERS = {
    "win32": (PROGRAM_FILES, None),
    "wow64": (PROGRAM_FILES_X86, PROGRAM_FILES),
    "x64": (PROGRAM_FILES, PROGRAM_FILES_X86),
}
NSIS_UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + PRODUCT
MSI_UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s"

# msiexec's results: success, a fatal error (here: a later release is
# installed), and "only valid for products that are currently installed".
ERROR_SUCCESS = 0
ERROR_INSTALL_FAILURE = 1603
ERROR_UNKNOWN_PRODUCT = 1605

# What both samples install below the install root.
LAYOUT = {
    "commonfiles", "commonfiles/globalsettings", "commonfiles/globalsettings/relinfo.xml",
    "commonfiles/setup", "commonfiles/setup/menu", "commonfiles/setup/menu/win32",
    "commonfiles/setup/menu/win32/menusetup.exe", "commonfiles/setup/menu/win32/menucleanup.exe",
    "RUVO", "RUVO/bin", "RUVO/bin/ruvo5.exe", "RUVO/bin/ruvo5parhosts.exe",
    "RUVO/icons", "RUVO/icons/ruvo_hi.ico",
}
# Written by the host-setup stand-in beside itself; no installer knows it.
HOST_SETUP_REPORT = "RUVO/bin/ruvo5parhosts.report"
# The log that both samples' programs append to (/log=), in a temporary folder:
# the system's for the MSI package, whose programs run in the installer's own
# context, the installing user's for the NSIS setup.
MENU_LOG = PRODUCT + " menutools.log"
MSI_MENU_LOG_FOLDER = "C:\\windows\\temp"

# The MSI packages' actions that run the programs, as the CustomAction and
# InstallExecuteSequence tables hold them: type, program, command line,
# condition, sequence number. The type's bits: an executable installed with
# the product, its exit code ignored, in the script, for rollback only, and
# without impersonation.
EXE_INSTALLED_WITH_PRODUCT = 18
RETURN_IGNORED = 64
IN_SCRIPT = 1024
ROLLBACK = 256
NO_IMPERSONATION = 2048
DEFERRED = EXE_INSTALLED_WITH_PRODUCT | IN_SCRIPT | NO_IMPERSONATION
MENU_LOG_ARGUMENT = '"/log=[WindowsFolder]Temp\\%s"' % MENU_LOG
PROGRAM_ACTIONS = {
    "RollbackMenuCleanup": (DEFERRED | ROLLBACK | RETURN_IGNORED, "menusetup.exe",
                            MENU_LOG_ARGUMENT, "Installed", 3449),
    "RunMenuCleanup": (DEFERRED | RETURN_IGNORED, "menucleanup.exe",
                       MENU_LOG_ARGUMENT, "Installed", 3450),
    "RollbackMenuSetup": (DEFERRED | ROLLBACK | RETURN_IGNORED, "menucleanup.exe",
                          MENU_LOG_ARGUMENT, 'REMOVE<>"ALL"', 4009),
    "RunMenuSetup": (DEFERRED, "menusetup.exe", MENU_LOG_ARGUMENT, 'REMOVE<>"ALL"', 4010),
}


def relative_paths(*paths):
    return {os.path.normpath(path) for path in paths}


def run(command, **options):
    return subprocess.run(command, stdin=subprocess.DEVNULL, timeout=RUN_TIMEOUT, **options)


def windows_path(unix):
    """The path of a file of the build folder as Wine's drive Z: shows it."""
    return "Z:" + os.path.abspath(unix).replace("/", "\\")


def msiexec(*arguments):
    """Runs msiexec and returns its whole exit code. Through `wine` it arrives
    cut to 8 bits (1603 as 67, 1605 as 69), so cmd reports it instead."""
    result = run(["wine", "cmd", "/v:on", "/c", "msiexec"] + list(arguments)
                 + ["&", "echo", "msiexec-exit-code=!ERRORLEVEL!"], capture_output=True)
    match = re.search(rb"msiexec-exit-code=(\d+)", result.stdout)
    if match is None:
        raise AssertionError("no exit code from msiexec %s: %r %r"
                             % (" ".join(arguments), result.stdout, result.stderr))
    return int(match.group(1))


def msi_table(package, table):
    """The rows of a table of an MSI package, each a list of its values as text."""
    output = run(["msiinfo", "export", package, table], capture_output=True,
                 check=True).stdout.decode()
    # Below the column names, their types and the table's name and key.
    return [line.split("\t") for line in output.splitlines()[3:]]


def product_code(package):
    return {row[0]: row[1] for row in msi_table(package, "Property")}["ProductCode"]


def run_bounds(program):
    """The first and the last line of a run of the program in its log."""
    return [program + " " + VERSION, program + " done, exit code 0"]


def registry_value(key, name):
    """A value as `reg query` prints it, or None when the key or value is missing."""
    result = run(["wine", "reg", "query", key, "/v", name], capture_output=True)
    if result.returncode != 0:
        return None
    match = re.search(r"^\s+%s\s+REG_\w+\s+(.*?)\s*$" % re.escape(name),
                      result.stdout.decode(errors="replace"), re.MULTILINE)
    return match.group(1) if match else None


def prefix_processes(text):
    """Process ids of the test prefix whose command line holds `text` (case
    ignored). Wine shows a process's Windows command line as its Linux one."""
    marker = ("WINEPREFIX=" + PREFIX).encode()
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as environ:
                if marker not in environ.read().split(b"\0"):
                    continue
            with open("/proc/%s/cmdline" % pid, "rb") as cmdline:
                line = cmdline.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if text.lower() in line.lower():
            found.append(int(pid))
    return found


def ended_by(pid, deadline):
    """Waits until the process `pid`, which need not be a child of this one,
    has ended, or the time.monotonic() `deadline` has passed; returns whether
    it ended."""
    try:
        descriptor = os.pidfd_open(pid)
    except ProcessLookupError:
        return True
    try:
        ready, _, _ = select.select([descriptor], [], [], max(0, deadline - time.monotonic()))
        return bool(ready)
    finally:
        os.close(descriptor)


class SampleInstallerTest(InstallationTestCase):
    """What both samples must do; the subclasses run their installer."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        program_files, other_program_files = PROGRAM_FILES_FOLDERS[windows_platform()]
        cls.root = program_files + "\\" + PRODUCT
        cls.root_unix = unix_path(cls.root)
        cls.sample = Installation.laid_out_at(cls.root)
        # Nothing of the sample belongs in the other architecture's folder.
        cls.other_root_unix = (unix_path(other_program_files + "\\" + PRODUCT)
                               if other_program_files else None)

    def setUp(self):
        super().setUp()
        self.menu_folder(PRODUCT)
        self.suite_folder = os.path.join(self.all_users.unix, PRODUCT)
        self.fluid_dynamics = os.path.join(self.suite_folder, "Fluid Dynamics")
        os.makedirs(LOG_DIR, exist_ok=True)
        # An interrupted earlier run may have left the sample installed.
        self.remove_sample()
        self.addCleanup(self.remove_menu_log)
        self.addCleanup(self.remove_sample)
        self.remove_menu_log()

    def remove_menu_log(self):
        if os.path.exists(self.menu_log):
            os.remove(self.menu_log)

    def assert_runs_logged(self, *programs):
        """The samples' log holds a whole run of each program, in this order."""
        bounds = set(run_bounds("menusetup") + run_bounds("menucleanup"))
        self.assertEqual([line for line in read_log(self.menu_log) if line in bounds],
                         [line for program in programs for line in run_bounds(program)])

    def remove_sample(self):
        """Uninstalls through the sample's own uninstaller, then removes what is
        left, so that a failed test leaves a clean prefix all the same."""
        self.uninstall_quietly()
        self.all_users.clean()
        self.own.clean()
        shutil.rmtree(self.root_unix, ignore_errors=True)
        if self.other_root_unix:
            shutil.rmtree(self.other_root_unix, ignore_errors=True)

    def assert_installed(self, revision, extra_files=()):
        """The installation and the one shortcut of `revision`; takes the host-setup
        report away, so that the next run of menusetup writes a new one."""
        self.assertEqual(tree(self.root_unix),
                         relative_paths(*LAYOUT, HOST_SETUP_REPORT, *extra_files))
        if self.other_root_unix:
            self.assertFalse(os.path.exists(self.other_root_unix),
                             "the installer wrote to the other architecture's Program Files")
        name = "RUVO %s.lnk" % revision
        self.assertEqual(tree(self.suite_folder),
                         relative_paths("Fluid Dynamics", "Fluid Dynamics/" + name))
        self.assertFalse(os.path.exists(os.path.join(self.own.unix, PRODUCT)),
                         "a start-menu folder in the user's own Programs folder")
        self.assert_launcher_shortcut(self.all_users, self.sample, PRODUCT, revision)
        self.assert_host_setup_ran(self.sample)
        os.remove(self.sample.host_setup_report)

    def assert_removed(self):
        self.assertFalse(os.path.exists(self.suite_folder), tree(self.all_users.unix))
        self.assertFalse(os.path.exists(os.path.join(self.own.unix, PRODUCT)))
        self.assertFalse(os.path.exists(self.root_unix),
                         tree(self.root_unix) if os.path.isdir(self.root_unix) else None)

    def assert_upgrades_leave_only_the_new_shortcut(self):
        """Each of the class's `upgrades` (name, step, revision after it) over
        18.2 leaves exactly the new revision's shortcut; the removal, nothing."""
        for name, upgrade, revision in self.upgrades:
            with self.subTest(upgrade=name):
                self.remove_sample()
                self.remove_menu_log()
                self.install("18.2")
                self.assert_installed("18.2", self.installed_extras)
                upgrade(self)
                self.assert_installed(revision, self.installed_extras)
                self.uninstall(revision)
                self.assert_removed()
                self.assert_runs_logged("menusetup", "menucleanup", "menusetup", "menucleanup")

    def assert_users_file_survives_removal(self):
        """Installs, adds a file of the user's to Fluid Dynamics, removes."""
        self.install()
        users_file = os.path.join(self.fluid_dynamics, "my notes.txt")
        with open(users_file, "w") as out:
            out.write("mine")
        # The host-setup report stays: a file the installer does not know
        # keeps its folders in the install folder as well.
        self.uninstall()
        self.assertEqual(tree(self.suite_folder),
                         relative_paths("Fluid Dynamics", "Fluid Dynamics/my notes.txt"))
        with open(users_file) as kept:
            self.assertEqual(kept.read(), "mine")
        self.assertEqual(tree(self.root_unix), relative_paths("RUVO", "RUVO/bin", HOST_SETUP_REPORT))


class MsiSampleTest(SampleInstallerTest):
    packages = PACKAGES
    menu_log = unix_path(MSI_MENU_LOG_FOLDER + "\\" + MENU_LOG)
    installed_extras = ()
    # 18.2.1: 18.2's product, a later version and revision. The repair is /f's
    # equivalent: Wine 8's msiexec /f answers 1605.
    upgrades = [
        ("minor upgrade", lambda test: test.msiexec("/i", "18.2.1", "REINSTALL=ALL",
                                                    "REINSTALLMODE=vomus"), "18.2.1"),
        ("repair", lambda test: test.msiexec("/i", "18.2", "REINSTALL=ALL",
                                             "REINSTALLMODE=omus"), "18.2"),
    ]

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.product_codes = {revision: product_code(package)
                             for revision, package in cls.packages.items()}

    def msiexec(self, action, revision, *properties, expected=ERROR_SUCCESS):
        self.runs = getattr(self, "runs", 0) + 1
        log = os.path.join(LOG_DIR, "%s-%d-%s%s.log"
                           % (self._testMethodName, self.runs, action[1:], revision))
        code = msiexec(action, windows_path(self.packages[revision]), *properties, "/qn", "/l*v",
                       windows_path(log))
        self.assertEqual(code, expected, "msiexec %s sample-%s.msi; its log: %s"
                         % (action, revision, log))

    def install(self, revision="18.2"):
        self.msiexec("/i", revision)

    def uninstall(self, revision="18.2"):
        self.msiexec("/x", revision)

    def uninstall_quietly(self):
        # By product code: Wine's msiexec runs the removal of a package that is
        # not installed instead of answering 1605.
        for code in self.product_codes.values():
            self.assertIn(msiexec("/x", code, "/qn"), (ERROR_SUCCESS, ERROR_UNKNOWN_PRODUCT))

    def registered(self, revision):
        key = MSI_UNINSTALL_KEY % self.product_codes[revision]
        return registry_value(key, "DisplayName") is not None

    def test_install_gives_the_shortcut_and_runs_the_host_setup_tool(self):
        self.install("18.2")
        self.assert_installed("18.2")
        self.assertTrue(self.registered("18.2"))
        self.assert_runs_logged("menusetup")

    def test_removal_leaves_no_shortcut_and_no_folder(self):
        self.install("18.2")
        self.assert_installed("18.2")
        self.uninstall("18.2")
        self.assert_removed()
        self.assertFalse(self.registered("18.2"))
        self.assert_runs_logged("menusetup", "menucleanup")

    def test_major_upgrade_leaves_only_the_new_shortcut(self):
        self.install("18.2")
        self.assert_installed("18.2")
        self.install("18.3")
        # The old menucleanup ran while the old relinfo.xml was in place: no
        # RUVO 18.2.lnk, and no folder but the one that holds the new shortcut.
        self.assert_installed("18.3")
        self.assertFalse(self.registered("18.2"))
        self.assertTrue(self.registered("18.3"))

        # The earlier release is refused now and changes nothing; the whole
        # exit code tells this failure from others.
        self.msiexec("/i", "18.2", expected=ERROR_INSTALL_FAILURE)
        self.assertEqual(tree(self.suite_folder),
                         relative_paths("Fluid Dynamics", "Fluid Dynamics/RUVO 18.3.lnk"))
        self.assertIsNone(self.sample.read_host_setup_report(),
                          "the refused release ran menusetup")

        self.uninstall("18.3")
        self.assert_removed()
        self.assertFalse(self.registered("18.3"))
        self.assert_runs_logged("menusetup", "menucleanup", "menusetup", "menucleanup")

    def test_minor_upgrade_and_repair_leave_only_the_new_shortcut(self):
        self.assert_upgrades_leave_only_the_new_shortcut()

    def test_users_file_in_fluid_dynamics_survives_removal(self):
        self.assert_users_file_survives_removal()


class MsiProgramActionsTest(unittest.TestCase):
    """How the MSI packages run the programs, rollback included, read from
    their tables: Wine's msiexec never starts a rollback action's program."""

    def test_each_step_has_its_rollback_right_before_it(self):
        for revision, package in PACKAGES.items():
            with self.subTest(revision=revision):
                programs = ("menusetup.exe", "menucleanup.exe")
                actions = [row for row in msi_table(package, "CustomAction") if row[2] in programs]
                sequence = {row[0]: row for row in msi_table(package, "InstallExecuteSequence")}
                self.assertEqual({action: (int(kind), program, command_line, sequence[action][1],
                                           int(sequence[action][2]))
                                  for action, kind, program, command_line, *_ in actions},
                                 PROGRAM_ACTIONS)


class NsisSampleTest(SampleInstallerTest):
    SETUP = os.path.join(INSTALLERS, "sample-%s-setup.exe")
    installed_extras = ("uninstall.exe",)
    upgrades = [("18.3 over 18.2", lambda test: test.install("18.3"), "18.3")]

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.uninstaller = cls.root + "\\uninstall.exe"
        temp = run(["wine", "cmd", "/c", "echo", "%TEMP%"], capture_output=True, check=True)
        cls.temp_unix = unix_path(temp.stdout.decode().strip())
        cls.menu_log = os.path.join(cls.temp_unix, MENU_LOG)

    def setUp(self):
        # The uninstaller leaves its copy behind in a folder of its own.
        copies_before = set(glob.glob(os.path.join(self.temp_unix, "~nsu*.tmp")))
        self.addCleanup(self.remove_new_uninstaller_copies, copies_before)
        super().setUp()

    def remove_new_uninstaller_copies(self, copies_before):
        for folder in set(glob.glob(os.path.join(self.temp_unix, "~nsu*.tmp"))) - copies_before:
            shutil.rmtree(folder, ignore_errors=True)

    def install(self, revision="18.2"):
        result = run(["wine", self.SETUP % revision, "/S"], capture_output=True)
        self.assertEqual(result.returncode, 0, how_it_ended(result))

    def uninstall(self, _revision=None):
        """Runs the uninstaller and waits for the copy of itself that it starts
        in a temporary folder, and for what that runs, to end. The copy gets
        the install folder on its command line (_?=...), menucleanup lies in
        it. The uninstaller has started the copy when it ends, and the copy
        waits for menucleanup: once no process names the install folder, all
        have ended."""
        # Error output into a file: the copy inherits it and would hold a pipe.
        with tempfile.TemporaryFile() as errors:
            result = run(["wine", self.uninstaller, "/S"], stdout=subprocess.DEVNULL,
                         stderr=errors)
            errors.seek(0)
            result.stderr = errors.read()
        self.assertEqual(result.returncode, 0, how_it_ended(result))
        deadline = time.monotonic() + RUN_TIMEOUT
        running = prefix_processes(self.root)
        while running:
            if not all(ended_by(pid, deadline) for pid in running):
                self.fail("the uninstaller still runs after %d s" % RUN_TIMEOUT)
            running = prefix_processes(self.root)

    def uninstall_quietly(self):
        if os.path.exists(unix_path(self.uninstaller)):
            self.uninstall()
        run(["wine", "reg", "delete", NSIS_UNINSTALL_KEY, "/f"], capture_output=True)

    def test_silent_install_and_uninstall(self):
        self.install()
        self.assert_installed("18.2", extra_files=("uninstall.exe",))
        self.assertEqual(registry_value(NSIS_UNINSTALL_KEY, "UninstallString"),
                         '"%s"' % self.uninstaller)
        self.uninstall()
        self.assert_removed()
        self.assertIsNone(registry_value(NSIS_UNINSTALL_KEY, "UninstallString"))
        self.assert_runs_logged("menusetup", "menucleanup")

    def test_setup_over_an_earlier_release_leaves_only_the_new_shortcut(self):
        self.assert_upgrades_leave_only_the_new_shortcut()

    def test_users_file_in_fluid_dynamics_survives_uninstall(self):
        self.assert_users_file_survives_removal()


if __name__ == "__main__":
    unittest.main()
