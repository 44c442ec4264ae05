"""The programs and the library are reproducible: built again from a copy of
the sources in another folder, into a second build folder, later and with
another SOURCE_DATE_EPOCH, they come out the same, byte for byte, as this
build's own. Needs no Wine.

CTest hands over what project_build.py reads, and this build's linked files
to compare (MENUTOOLS_REPRODUCED, separated by the path separator). The second
build is the shipping build (project_build.py), here configured not to sign."""

import filecmp
import os
import unittest

import pefile

from project_build import SHIPPING_BUILD, build, configure_shipping_build

REPRODUCED = os.environ["MENUTOOLS_REPRODUCED"].split(os.pathsep)

# Where the second build, which does not sign, puts each file.
SECOND_BUILD_FILES = {"menusetup.exe": "bin/menusetup.exe",
                      "menucleanup.exe": "bin/menucleanup.exe",
                      "libinstallutil.a": "libinstallutil.a"}
# 1970-01-02: no build of this project ever ran at that time.
OTHER_SOURCE_DATE_EPOCH = "86400"


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
