"""The demo's main part: runs under scripts/demo, which sets up Wine."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))

from installation import (CSIDL_COMMON_PROGRAMS, Installation, StartMenu,  # noqa: E402
                          read_with_lnkinfo, read_with_shell, unix_path)

FOLDER = "Velmora RUVO 18.2"
REVISION = "18.2"
SHOW_COMMANDS = {"0": "hidden", "1": "normal", "3": "maximized", "7": "minimized"}


def say(text):
    print("==> " + text, flush=True)


def show(label, value):
    print("      %-20s %s" % (label, value))


def show_log(windows_path, skip=0):
    """Prints the lines of a log from the `skip`th on; returns how many it has."""
    with open(unix_path(windows_path), encoding="utf-8") as log:
        lines = log.read().splitlines()
    for line in lines[skip:]:
        print("      " + line)
    return len(lines)


def main():
    start_menu = StartMenu(CSIDL_COMMON_PROGRAMS)
    start_menu.folder(FOLDER)
    start_menu.clean()  # a previous run's shortcut would hide this one's work
    installation = Installation(base="Demo")
    installation.remove()
    installation = Installation(folder_name=FOLDER, revision=REVISION, base="Demo")
    setup_log = "C:\\Demo\\deployment logs\\menusetup.log"
    cleanup_log = "C:\\Demo\\deployment logs\\menucleanup.log"
    os.makedirs(os.path.dirname(unix_path(setup_log)))

    say("Sample installation, install root %s" % installation.root)
    show("programs", installation.program_folder + "\\menusetup.exe, menucleanup.exe")
    show("suite programs", installation.suite + "\\bin\\ruvo5.exe, ruvo5parhosts.exe")
    show("relinfo.xml", 'startMenuFolderName="%s" startMenuShortcutAppendRevision="%s"'
         % (FOLDER, REVISION))

    say('Running menusetup.exe "/log=%s" as administrator (elevated, as Wine runs it)'
        % setup_log)
    result = installation.run("menusetup.exe", "/log=" + setup_log)
    show("exit code", result.returncode)
    if result.returncode != 0:
        return 1
    say("menusetup's log")
    show_log(setup_log)

    link = start_menu.link(FOLDER, "RUVO %s.lnk" % REVISION)
    link_unix = start_menu.link_unix(FOLDER, "RUVO %s.lnk" % REVISION)
    say("The shortcut")
    show("path", link)
    show("on disk", link_unix)
    if not os.path.isfile(link_unix):
        print("error: the shortcut is missing", file=sys.stderr)
        return 1
    properties = read_with_lnkinfo(link_unix)
    say("Its properties, read back from the file with lnkinfo")
    for name in ("target", "arguments", "working_directory", "description", "icon_path",
                 "icon_index"):
        show(name.replace("_", " "), properties[name] or "(empty)")
    show("show command", "%s (%s)" % (properties["show_command"],
                                      SHOW_COMMANDS.get(properties["show_command"], "?")))
    same = read_with_shell(link) == properties
    show("shell link object", "reads the same" if same else "reads differently: %r"
         % read_with_shell(link))

    say("What the host-setup stand-in (ruvo5parhosts.exe) saw")
    report = installation.read_host_setup_report()
    if report is None:
        print("error: the host-setup tool did not run", file=sys.stderr)
        return 1
    show("command line", report["command_line"])
    show("window", "hidden" if report["uses_show_window"] == "1" and report["show_window"] == "0"
         else "shown (show command %s)" % report["show_window"])
    show("menusetup waited", "yes: it was still running when the tool ended"
         if report["parent_alive_at_end"] == "1" else "no: it had ended before the tool")

    suite_folder = os.path.join(start_menu.unix, FOLDER)
    fluid_dynamics = os.path.join(suite_folder, "Fluid Dynamics")

    def state():
        show("shortcut", "present" if os.path.exists(link_unix) else "gone")
        show("Fluid Dynamics", "present, holding %s" % ", ".join(sorted(os.listdir(fluid_dynamics)))
             if os.path.isdir(fluid_dynamics) else "gone")
        show(FOLDER, "present" if os.path.isdir(suite_folder) else "gone")

    say('Running menucleanup.exe "/log=%s"' % cleanup_log)
    result = installation.run("menucleanup.exe", "/log=" + cleanup_log)
    show("exit code", result.returncode)
    state()
    say("menucleanup's log")
    logged = show_log(cleanup_log)
    if result.returncode != 0 or os.path.exists(suite_folder):
        print("error: menucleanup left the suite's folder behind", file=sys.stderr)
        return 1

    say("Second round: menusetup, then a file of the user's in Fluid Dynamics, then menucleanup")
    installation.run("menusetup.exe")
    users_file = os.path.join(fluid_dynamics, "my notes.txt")
    with open(users_file, "w") as out:
        out.write("keep me\n")
    result = installation.run("menucleanup.exe", "/log=" + cleanup_log)
    show("exit code", result.returncode)
    state()
    say("menucleanup's log of this round, appended to the same file")
    show_log(cleanup_log, skip=logged)
    with open(users_file) as kept:
        untouched = kept.read() == "keep me\n"
    show("my notes.txt", "untouched" if untouched else "CHANGED")
    if result.returncode != 0 or not untouched or os.path.exists(link_unix):
        return 1
    start_menu.clean()

    print("\nThe installation and the logs stay in %s for a closer look; the next run starts "
          "afresh." % unix_path("C:\\Demo"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
