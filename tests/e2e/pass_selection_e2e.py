"""scripts/test's choice of passes, driven through the script with stand-ins
for Wine's loaders: a file that the kernel refuses to run (as a 32-bit loader
is refused where the kernel runs no 32-bit programs) and a loader that fails.
Every case must end before anything is configured or built. Needs no Wine."""

import os
import subprocess
import tempfile
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SCRIPT = os.path.join(ROOT, "scripts", "test")
TIMEOUT = 120
WORKING = "/usr/lib/wine/wine64"


class PassSelectionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        # An ELF header for no machine this kernel knows: "Exec format error".
        cls.refused = os.path.join(cls.scratch.name, "refused-loader")
        with open(cls.refused, "wb") as loader:
            loader.write(b"\x7fELF\x01\x01\x01" + b"\0" * 9 + b"\x02\0\xff\xff" + b"\0" * 40)
        os.chmod(cls.refused, 0o755)
        cls.failing = os.path.join(cls.scratch.name, "failing-loader")
        with open(cls.failing, "w") as loader:
            loader.write("#!/bin/sh\necho 'wine: cannot start' >&2\nexit 1\n")
        os.chmod(cls.failing, 0o755)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_refusals_name_the_reason_before_anything_is_built(self):
        cases = [
            # (MENUTOOLS_PASSES, 64-bit loader, 32-bit loader, what the error says)
            ("x64,bogus", WORKING, self.refused,
             ["unknown pass 'bogus'", "x64, win32 and wow64"]),
            ("win32", WORKING, self.refused,
             ["names win32", "runs no 32-bit programs", "Exec format error"]),
            ("wow64,x64", WORKING, self.failing,
             ["names wow64", "32-bit Wine does not start", "wine: cannot start"]),
            ("x64", self.failing, WORKING,
             ["names x64", "64-bit Wine does not start"]),
            ("", self.failing, self.refused,
             ["neither of Wine's loaders runs", "64-bit Wine does not start",
              "runs no 32-bit programs"]),
            ("", os.path.join(self.scratch.name, "missing"), self.refused,
             ["neither", "64-bit Wine is not installed"]),
        ]
        for passes, loader64, loader32, words in cases:
            with self.subTest(passes=passes, loader64=loader64, loader32=loader32):
                environment = dict(os.environ, MENUTOOLS_PASSES=passes,
                                   MENUTOOLS_WINE64_LOADER=loader64,
                                   MENUTOOLS_WINE32_LOADER=loader32)
                result = subprocess.run([SCRIPT], env=environment, stdin=subprocess.DEVNULL,
                                        capture_output=True, text=True, timeout=TIMEOUT)
                self.assertNotEqual(result.returncode, 0)
                for word in words:
                    self.assertIn(word, result.stderr)
                self.assertNotIn("Configuring", result.stdout)


if __name__ == "__main__":
    unittest.main()
