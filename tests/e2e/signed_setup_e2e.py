"""The signing build's NSIS setup under Wine, signed with the key on the token
that e2e.signing makes: signed, it still passes its own integrity check and
installs; the programs it lays down are the signed ones, and they do their
work (menusetup puts the shortcut in place, menucleanup, run by the
uninstaller, takes it away again); and the uninstaller it writes is signed as
well.

CTest hands over what both the installer tests and e2e.signing get."""

import os
import unittest

import installers_e2e
from installation import unix_path
from signing_e2e import SIGNED_BUILD, SIGNER_SUBJECT, build_signed, verify_signature


class SignedSetupTest(installers_e2e.NsisSampleTest):
    SETUP = os.path.join(SIGNED_BUILD, "installers", "sample-%s-setup.exe")

    @classmethod
    def setUpClass(cls):
        # e2e.signing leaves the build as its last case had it.
        build_signed()
        super().setUpClass()

    def test_signed_setup_lays_down_signed_programs_that_work_and_a_signed_uninstaller(self):
        self.install()
        self.assert_installed("18.2", extra_files=("uninstall.exe",))
        for path in (self.uninstaller, self.sample.program("menusetup.exe"),
                     self.sample.program("menucleanup.exe")):
            with self.subTest(file=path):
                code, report = verify_signature(unix_path(path))
                self.assertEqual(code, 0, report)
                self.assertIn("Subject: " + SIGNER_SUBJECT + "\n", report)
        self.uninstall()
        self.assert_removed()


def load_tests(loader, tests, pattern):
    """Only the round above: the sample installer's other cases are the same
    script, which installers_e2e runs on this build's own setup."""
    return unittest.TestSuite([SignedSetupTest(
        "test_signed_setup_lays_down_signed_programs_that_work_and_a_signed_uninstaller")])
