"""The programs and the library are reproducible: built again from a copy of
the sources in another folder, into a second build folder, later and with
another SOURCE_DATE_EPOCH, they come out the same, byte for byte, as this
build's own. Needs no Wine.

CTest hands over what project_build.py reads, and this build's linked files
to compare (MENUTOOLS_REPRODUCED, separated by the path separator). The second
build is the shipping build (project_build.py), here configured not to sign.
The release zip of this build's architecture (scripts/release) packed from
each build and its sources comes out the same too."""

import filecmp
import os
import tempfile
import time
import unittest
import zipfile

import pefile

from project_build import (BUILD_DIR, SHIPPING_BUILD, SHIPPING_SOURCE, SOURCE_DIR, build,
                           configure_shipping_build, run)

REPRODUCED = os.environ["MENUTOOLS_REPRODUCED"].split(os.pathsep)

# Where the second build, which does not sign, puts each file.
SECOND_BUILD_FILES = {"menusetup.exe": "bin/menusetup.exe",
                      "menucleanup.exe": "bin/menucleanup.exe",
                      "libinstallutil.a": "libinstallutil.a"}
# 1970-01-02: no build of this project ever ran at that time.
OTHER_SOURCE_DATE_EPOCH = "86400"
RELEASE_SCRIPT = os.path.join(SOURCE_DIR, "scripts", "lib", "release.py")
VERSION = os.environ["MENUTOOLS_VERSION"]
ARCH = os.environ["MENUTOOLS_ARCH"]
# A commit time: 2026-01-02 03:04:06 UTC (a zip keeps even seconds only).
COMMIT_TIME = 1767323046


class ReproducibleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        environment = dict(os.environ, SOURCE_DATE_EPOCH=OTHER_SOURCE_DATE_EPOCH)
        configure_shipping_build({}, environment=environment)
        build(SHIPPING_BUILD, "menusetup", "menucleanup", environment=environment)

    def test_second_build_elsewhere_and_later_gives_the_same_bytes(self):
        for first in REPRODUCED:
            second = os.path.join(SHIPPING_BUILD, SECOND_BUILD_FILES[os.path.basename(first)])
            with self.subTest(file=os.path.basename(first)):
                self.assertTrue(filecmp.cmp(first, second, shallow=False),
                                "%s and %s differ" % (first, second))

    def test_release_zip_holds_programs_and_documents_and_is_reproducible(self):
        this_build = os.path.dirname(REPRODUCED[0])
        second_build = os.path.join(SHIPPING_BUILD, "bin")
        with tempfile.TemporaryDirectory(dir=BUILD_DIR) as folder:
            zips = [os.path.join(folder, name) for name in ("first.zip", "second.zip")]
            for out, source, programs in zip(zips, (SOURCE_DIR, SHIPPING_SOURCE),
                                             (this_build, second_build)):
                run(["/usr/bin/python3", RELEASE_SCRIPT, "zip", out, source, programs, VERSION,
                     ARCH, str(COMMIT_TIME)])
            self.assertTrue(filecmp.cmp(*zips, shallow=False), "two packings differ")
            with zipfile.ZipFile(zips[0]) as archive:
                members = {info.filename: info for info in archive.infolist()}
                top = "menutools-%s-%s/" % (VERSION, ARCH)
                documents = [folder + "/" + name for folder in ("docs", "installer")
                             for name in os.listdir(os.path.join(SOURCE_DIR, folder))]
                self.assertEqual(sorted(members), sorted(
                    top + name for name in ["menusetup.exe", "menucleanup.exe", "README.md",
                                            "LICENSE", "CHANGELOG.md"] + documents))
                for name in ("menusetup.exe", "menucleanup.exe"):
                    with open(os.path.join(this_build, name), "rb") as program:
                        self.assertEqual(archive.read(top + name), program.read(), name)
                self.assertEqual({name: 0o100755 if name.endswith(".exe") else 0o100644
                                  for name in members},
                                 {name: info.external_attr >> 16 for name, info in members.items()})
                self.assertEqual({time.gmtime(COMMIT_TIME)[:6]},
                                 {info.date_time for info in members.values()})

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
