"""scripts/test's choice of passes, driven through the script with stand-ins
for Wine's loaders: a file that the kernel refuses to run (as a 32-bit loader
is refused where the kernel runs no 32-bit programs) and a loader that fails;
and for 32-bit Wine's package: one never installed, an apt-get in front that
fails its update and refuses every i386 package, as a mirror out of step does,
and a probe of the kernel that runs or is refused. Every case must end before
anything is configured or built. Needs no Wine."""

import os
import subprocess
import tempfile
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SCRIPT = os.path.join(ROOT, "scripts", "test")
TIMEOUT = 120
WORKING = "/usr/lib/wine/wine64"
# Stand-ins put first on PATH: no case may reach the real apt-get or change
# the host's architectures. Each apt-get call is written to $APT_CALLS.
STANDINS = {
    "apt-get": """#!/bin/sh
echo "$*" >>"$APT_CALLS"
case "$*" in
  update*) echo 'E: Failed to fetch Packages.xz  File has unexpected size (374820 != 376004)' >&2 ;;
  *:i386*) echo ' wine32:i386 : Depends: libwine:i386 but it is not going to be installed'
           echo 'E: Unable to correct problems, you have held broken packages.' >&2 ;;
esac
exit 100
""",
    "dpkg": '#!/bin/sh\ncase "$1" in --add-arch*|--remove-arch*) exit 0 ;; esac\nexec /usr/bin/dpkg "$@"\n',
    "sudo": '#!/bin/sh\nexec "$@"\n',
}


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
        cls.standins = os.path.join(cls.scratch.name, "bin")
        os.mkdir(cls.standins)
        for name, text in STANDINS.items():
            with open(os.path.join(cls.standins, name), "w") as standin:
                standin.write(text)
            os.chmod(os.path.join(cls.standins, name), 0o755)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_refusals_name_the_reason_before_anything_is_built(self):
        missing = os.path.join(self.scratch.name, "missing")
        cases = [
            # (MENUTOOLS_PASSES, 64-bit loader, 32-bit loader, the kernel's probe,
            #  what the error says, what apt-get was asked)
            ("x64,bogus", WORKING, self.refused, self.refused,
             ["unknown pass 'bogus'", "x64, win32 and wow64"], ""),
            ("win32", WORKING, self.refused, self.refused,
             ["names win32", "runs no 32-bit programs", "Exec format error"], ""),
            ("wow64,x64", WORKING, self.failing, self.refused,
             ["names wow64", "32-bit Wine does not start", "wine: cannot start"], ""),
            ("x64", self.failing, WORKING, self.refused,
             ["names x64", "64-bit Wine does not start"], ""),
            ("", self.failing, self.refused, self.refused,
             ["neither of Wine's loaders runs", "64-bit Wine does not start",
              "runs no 32-bit programs"], ""),
            ("", missing, self.refused, self.refused,
             ["neither", "64-bit Wine is not installed"], ""),
            # 32-bit Wine not installed: on a kernel that runs no 32-bit
            # programs it is not even asked for.
            ("win32", WORKING, missing, self.refused,
             ["names win32", "runs no 32-bit programs, so 32-bit Wine is not installed",
              "Exec format error"], ""),
            # A mirror out of step: the update warns, the package is refused.
            ("wow64", WORKING, missing, "/bin/true",
             ["update failed", "unexpected size (374820 != 376004)", "names wow64",
              "32-bit Wine cannot be installed", "libwine:i386 but it is not going to be",
              "held broken packages"],
             "update -q -o Acquire::Retries=3\n"
             "install -y -q --no-install-recommends -o Acquire::Retries=3 absent-wine32:i386\n"),
        ]
        for passes, loader64, loader32, probe, words, apt_calls in cases:
            with self.subTest(passes=passes, loader64=loader64, loader32=loader32, probe=probe):
                calls = os.path.join(self.scratch.name, "apt-calls")
                open(calls, "w").close()
                environment = dict(os.environ, MENUTOOLS_PASSES=passes,
                                   MENUTOOLS_WINE64_LOADER=loader64,
                                   MENUTOOLS_WINE32_LOADER=loader32,
                                   MENUTOOLS_32BIT_PROBE=probe,
                                   MENUTOOLS_WINE32_PACKAGE="absent-wine32:i386",
                                   APT_CALLS=calls,
                                   PATH=self.standins + ":" + os.environ["PATH"])
                result = subprocess.run([SCRIPT], env=environment, stdin=subprocess.DEVNULL,
                                        capture_output=True, text=True, timeout=TIMEOUT)
                self.assertNotEqual(result.returncode, 0)
                for word in words:
                    self.assertIn(word, result.stderr)
                self.assertNotIn("Configuring", result.stdout)
                with open(calls) as asked:
                    self.assertEqual(asked.read(), apt_calls)

if __name__ == "__main__":
    unittest.main()
