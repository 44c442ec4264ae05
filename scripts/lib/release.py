"""Packs a release of menutools (scripts/release): one zip per architecture and
the checksum file. The same inputs give the same bytes wherever the sources
and the programs lie and whenever they were written: members in a fixed
order, each with the time given (the commit's, SOURCE_DATE_EPOCH) and fixed
modes, and nothing of the packing machine's (no owner, no folder).

  release.py zip OUT SOURCE PROGRAMS VERSION ARCH EPOCH
      OUT: the zip to write; SOURCE: the source tree; PROGRAMS: the folder
      holding the built menusetup.exe and menucleanup.exe
  release.py sums FOLDER
      writes FOLDER/SHA256SUMS for every other file in FOLDER, in the form
      that `sha256sum -c` reads
"""

import hashlib
import os
import sys
import time
import zipfile

PROGRAMS = ["menusetup.exe", "menucleanup.exe"]
# What each zip holds from the sources beside the programs: the documents
# (README.md's links lead into docs/ and to the others) and the sample
# installers' sources, which an installer author copies from.
DOCUMENTS = ["README.md", "LICENSE", "CHANGELOG.md"]
SOURCE_FOLDERS = ["docs", "installer"]
# A zip stores local times from 1980 on; an earlier commit time cannot be
# written and would make zipfile refuse the member.
ZIP_EPOCH_START = 315532800
# Unix file types and modes in the upper half of external_attr, as Info-ZIP
# writes them, so that unzip gives every user the same modes.
REGULAR_FILE = 0o100000
FILE_MODE = 0o644
PROGRAM_MODE = 0o755
UNIX = 3


def fail(message):
    sys.exit("error: " + message)


def folder_files(folder):
    """The files below `folder`, as paths relative to it with forward
    slashes, in byte order of their names (not the file system's order)."""
    found = []
    for parent, folders, files in os.walk(folder):
        folders.sort()
        for name in files:
            found.append(os.path.relpath(os.path.join(parent, name), folder).replace(os.sep, "/"))
    return sorted(found)


def release_members(source, programs):
    """(name in the zip, file on disk, mode) for every member, in order."""
    members = []
    for name in PROGRAMS:
        path = os.path.join(programs, name)
        if not os.path.isfile(path):
            fail("%s is missing: build the programs first" % path)
        members.append((name, path, PROGRAM_MODE))
    for name in DOCUMENTS:
        path = os.path.join(source, name)
        if not os.path.isfile(path):
            fail("%s is missing from the sources" % path)
        members.append((name, path, FILE_MODE))
    for folder in SOURCE_FOLDERS:
        for name in folder_files(os.path.join(source, folder)):
            members.append((folder + "/" + name, os.path.join(source, folder, name), FILE_MODE))
    return members


def write_zip(out, source, programs, version, arch, epoch):
    """Writes the release zip of one architecture; every member lies in the
    folder menutools-<version>-<arch>/, so that unpacking never spills."""
    top = "menutools-%s-%s/" % (version, arch)
    date_time = time.gmtime(max(int(epoch), ZIP_EPOCH_START))[:6]
    temporary = out + ".part"
    with zipfile.ZipFile(temporary, "w") as archive:
        for name, path, mode in release_members(source, programs):
            info = zipfile.ZipInfo(top + name, date_time)
            info.create_system = UNIX
            info.external_attr = (REGULAR_FILE | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as file:
                archive.writestr(info, file.read(), compresslevel=9)
    os.replace(temporary, out)


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def write_sums(folder):
    names = sorted(name for name in os.listdir(folder)
                   if name != "SHA256SUMS" and os.path.isfile(os.path.join(folder, name)))
    with open(os.path.join(folder, "SHA256SUMS"), "w", encoding="ascii", newline="\n") as sums:
        for name in names:
            sums.write("%s  %s\n" % (sha256(os.path.join(folder, name)), name))


def main(arguments):
    if arguments[:1] == ["zip"] and len(arguments) == 7:
        write_zip(*arguments[1:])
    elif arguments[:1] == ["sums"] and len(arguments) == 2:
        write_sums(arguments[1])
    else:
        fail("usage: release.py zip OUT SOURCE PROGRAMS VERSION ARCH EPOCH | sums FOLDER")


if __name__ == "__main__":
    main(sys.argv[1:])
