"""The programs and the library are reproducible: built again from a copy of
the sources in another folder, into a second build folder, later and with
another SOURCE_DATE_EPOCH, they come out the same, byte for byte, as this
build's own. Needs no Wine.

CTest hands over what project_build.py reads, and this build's linked files
to compare (MENUTOOLS_REPRODUCED, separated by the path separator). The copy
and the second build stay in <build>/reproducible: a later run copies only the
sources that changed and rebuilds only what they touch."""

import filecmp
import os
import shutil
import unittest

import pefile

from project_build import BUILD_DIR, SOURCE_DIR, build, configure

REPRODUCED = os.environ["MENUTOOLS_REPRODUCED"].split(os.pathsep)

SCRATCH = os.path.join(BUILD_DIR, "reproducible")
SOURCE_COPY = os.path.join(SCRATCH, "source")
SECOND_BUILD = os.path.join(SCRATCH, "build")
# What the library and the programs are built from.
SOURCES = ["CMakeLists.txt", "README.md", "cmake", "lib", "setup", "cleanup", "res"]
# Where the second build, which neither tests nor signs, puts each file.
SECOND_BUILD_FILES = {"menusetup.exe": "bin/menusetup.exe",
                      "menucleanup.exe": "bin/menucleanup.exe",
                      "libinstallutil.a": "libinstallutil.a"}
# 1970-01-02: no build of this project ever ran at that time.
OTHER_SOURCE_DATE_EPOCH = "86400"


def mirror(source, target):
    """Makes `target` a copy of `source` (a file or a folder), writing only
    files whose contents differ, so that unchanged ones keep their times."""
    if os.path.isdir(source):
        os.makedirs(target, exist_ok=True)
        for name in set(os.listdir(target)) - set(os.listdir(source)):
            stale = os.path.join(target, name)
            if os.path.isdir(stale):
                shutil.rmtree(stale)
            else:
                os.remove(stale)
        for name in os.listdir(source):
            mirror(os.path.join(source, name), os.path.join(target, name))
    elif not os.path.isfile(target) or not filecmp.cmp(source, target, shallow=False):
        shutil.copyfile(source, target)


class ReproducibleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(SOURCE_COPY, exist_ok=True)
        for name in SOURCES:
            mirror(os.path.join(SOURCE_DIR, name), os.path.join(SOURCE_COPY, name))
        environment = dict(os.environ, SOURCE_DATE_EPOCH=OTHER_SOURCE_DATE_EPOCH)
        configure(SOURCE_COPY, SECOND_BUILD, "BUILD_TESTING=OFF", environment=environment)
        build(SECOND_BUILD, "menusetup", "menucleanup", environment=environment)

    def test_second_build_elsewhere_and_later_gives_the_same_bytes(self):
        for first in REPRODUCED:
            second = os.path.join(SECOND_BUILD, SECOND_BUILD_FILES[os.path.basename(first)])
            with self.subTest(file=os.path.basename(first)):
                self.assertTrue(filecmp.cmp(first, second, shallow=False),
                                "%s and %s differ" % (first, second))

    def test_programs_carry_the_checksum_of_their_contents(self):
        # With no time stamp in the header the checksum must still be the
        # one the contents give, as ld writes it.
        for path in REPRODUCED:
            if path.endswith(".exe"):
                with self.subTest(program=os.path.basename(path)):
                    image = pefile.PE(path)
                    self.assertEqual(image.OPTIONAL_HEADER.CheckSum, image.generate_checksum())


if __name__ == "__main__":
    unittest.main()
