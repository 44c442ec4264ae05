"""Signing in the build (MENUTOOLS_SIGN_*), with throwaway certificates that
openssl makes in the test's own folder, <build>/signing-e2e: a build that
signs gives programs, sample installers and installed programs that
osslsigncode verifies against the certificate; the build's own programs carry
a signature only when it signs; each bad setting fails the configure, and a
failing signing step the build, naming the file and the reason, with no
program left in the output folder. Needs no Wine; e2e.signed_setup runs what
the signing build made.

CTest hands over what project_build.py reads, the build's program folder
(MENUTOOLS_BIN) and whether the build itself signs (MENUTOOLS_SIGNS). The
scratch builds stay: a later run rebuilds only what its new certificate
changes."""

import filecmp
import os
import shutil
import socket
import unittest

import pefile

import project_build
from project_build import BUILD_DIR, CMAKE, SOURCE_DIR

BIN = os.environ["MENUTOOLS_BIN"]
BUILD_SIGNS = os.environ["MENUTOOLS_SIGNS"] == "ON"

SCRATCH = os.path.join(BUILD_DIR, "signing-e2e")
CERTIFICATES = os.path.join(SCRATCH, "certificates")
# The signing build, whose installers e2e.signed_setup runs.
SIGNED_BUILD = os.path.join(SCRATCH, "signed")
# Where the configures that must fail, and the build whose signing fails, run.
REFUSED_BUILD = os.path.join(SCRATCH, "refused")

SIGNER = os.path.join(CERTIFICATES, "signer")
SERVER = os.path.join(CERTIFICATES, "server")
PASSWORD = os.path.join(CERTIFICATES, "password.txt")
WRONG_PASSWORD = os.path.join(CERTIFICATES, "wrong-password.txt")
SIGNER_SUBJECT = "/CN=menutools throwaway signer"
# The signing time comes from SOURCE_DATE_EPOCH.
SIGNING_EPOCH = "1700000000"
SIGNING_TIME = "Nov 14 22:13:20 2023 GMT"

PROGRAMS = ["menusetup.exe", "menucleanup.exe"]
# Each sample installer and the name its signature carries.
INSTALLERS = {
    "sample-18.2.msi": "Velmora RUVO Sample 18.2",
    "sample-18.3.msi": "Velmora RUVO Sample 18.3",
    "sample-18.2-setup.exe": "Velmora RUVO Sample 18.2 setup",
}


def run(command, environment=None, check=True):
    """Runs a command; returns its return code and its output (both streams,
    where CMake and osslsigncode say why they fail)."""
    code, output, errors = project_build.run(command, environment, check)
    return code, output + errors


def make_certificate(base, subject, usage):
    """A self-signed certificate (<base>.pem) with the extended key usage
    `usage`, and its PKCS#12 file (<base>.p12) under the password in PASSWORD."""
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-keyout", base + ".key", "-out", base + ".pem", "-subj", subject,
         "-addext", "extendedKeyUsage=" + usage])
    run(["openssl", "pkcs12", "-export", "-in", base + ".pem", "-inkey", base + ".key",
         "-out", base + ".p12", "-passout", "file:" + PASSWORD])


def verify_signature(path):
    """osslsigncode's verdict on the file's signature against the throwaway
    signer's certificate: its return code and its report."""
    return run(["osslsigncode", "verify", "-CAfile", SIGNER + ".pem", "-in", path], check=False)


def file_description(program):
    """The FileDescription of a program's version block."""
    image = pefile.PE(program)
    for info in image.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            return table.entries[b"FileDescription"].decode()
    return None


def closed_port_url():
    """The URL of a local port that nothing listens on."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return "http://127.0.0.1:%d/" % port


def words(text):
    """The text with each run of white space one blank: CMake wraps its
    messages."""
    return " ".join(text.split())


def configure(folder, pkcs12, password_file, timestamp_url="", testing=False):
    """Configures the project in `folder` with these signing settings, each
    given so that none lingers in the cache; returns the code and output."""
    code, output, errors = project_build.configure(
        SOURCE_DIR, folder, "BUILD_TESTING=" + ("ON" if testing else "OFF"),
        "MENUTOOLS_SIGN_PKCS12=" + pkcs12, "MENUTOOLS_SIGN_PASSWORD_FILE=" + password_file,
        "MENUTOOLS_SIGN_TIMESTAMP_URL=" + timestamp_url, check=False)
    return code, output + errors


def build(folder, *targets, check=True):
    code, output, errors = project_build.build(
        folder, *targets, environment=dict(os.environ, SOURCE_DATE_EPOCH=SIGNING_EPOCH),
        check=check)
    return code, output + errors


class SigningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(CERTIFICATES, ignore_errors=True)
        os.makedirs(CERTIFICATES)
        with open(PASSWORD, "w") as out:
            out.write("throwaway password\n")
        with open(WRONG_PASSWORD, "w") as out:
            out.write("another password\n")
        make_certificate(SIGNER, SIGNER_SUBJECT, "codeSigning")
        make_certificate(SERVER, "/CN=menutools throwaway server", "serverAuth")

    def assert_signed(self, path, description):
        """The file's signature verifies against the signer's certificate and
        carries its subject, the description and SOURCE_DATE_EPOCH's time."""
        code, report = verify_signature(path)
        self.assertEqual(code, 0, report)
        self.assertIn("Subject: " + SIGNER_SUBJECT + "\n", report)
        self.assertIn("Text description: " + description + "\n", report)
        self.assertIn("Signing time: " + SIGNING_TIME + "\n", report)

    def test_signing_build_signs_programs_installers_and_what_it_installs(self):
        code, output = configure(SIGNED_BUILD, SIGNER + ".p12", PASSWORD, testing=True)
        self.assertEqual(code, 0, output)
        build(SIGNED_BUILD, "menusetup", "menucleanup", "sample_installers")
        programs = os.path.join(SIGNED_BUILD, "bin")
        for program in PROGRAMS:
            with self.subTest(program=program):
                path = os.path.join(programs, program)
                self.assert_signed(path, file_description(path))
        installers = os.path.join(SIGNED_BUILD, "installers")
        for installer, description in INSTALLERS.items():
            with self.subTest(installer=installer):
                self.assert_signed(os.path.join(installers, installer), description)

        # The MSI packages carry the signed programs (e2e.signed_setup runs
        # the NSIS setup), and so does the install.
        unpacked = os.path.join(SCRATCH, "unpacked")
        shutil.rmtree(unpacked, ignore_errors=True)
        run(["msiextract", "-C", unpacked, os.path.join(installers, "sample-18.2.msi")])
        prefix = os.path.join(SCRATCH, "prefix")
        shutil.rmtree(prefix, ignore_errors=True)
        run([CMAKE, "--install", SIGNED_BUILD, "--prefix", prefix])
        # msiextract names the Program Files folder of 32-bit packages only.
        packed = {name: os.path.join(folder, name) for folder, _, names in os.walk(unpacked)
                  for name in names}
        for program in PROGRAMS:
            for copy in (packed.get(program), os.path.join(prefix, "bin", program)):
                with self.subTest(program=program, copy=copy):
                    self.assertTrue(copy and filecmp.cmp(os.path.join(programs, program), copy,
                                                         shallow=False))

    def test_programs_carry_a_signature_only_when_the_build_signs(self):
        security = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
        for program in PROGRAMS:
            with self.subTest(program=program):
                image = pefile.PE(os.path.join(BIN, program))
                self.assertEqual(image.OPTIONAL_HEADER.DATA_DIRECTORY[security].Size != 0,
                                 BUILD_SIGNS)

    def test_bad_setting_fails_the_configure_naming_the_file_and_the_reason(self):
        missing = os.path.join(CERTIFICATES, "missing")
        cases = [
            ("missing PKCS#12 file", (missing + ".p12", PASSWORD),
             [missing + ".p12: no such file"]),
            ("missing password file", (SIGNER + ".p12", missing + ".txt"),
             [missing + ".txt: no such file"]),
            ("wrong password", (SIGNER + ".p12", WRONG_PASSWORD),
             [SIGNER + ".p12: openssl cannot open it with the password in " + WRONG_PASSWORD,
              "invalid password"]),
            ("certificate not for code signing", (SERVER + ".p12", PASSWORD),
             [SERVER + ".p12: its certificate /CN=menutools throwaway server is not meant for "
              "code signing (extended key usage: TLS Web Server Authentication)"]),
        ]
        for case, (pkcs12, password_file), messages in cases:
            with self.subTest(case=case):
                code, output = configure(REFUSED_BUILD, pkcs12, password_file)
                self.assertNotEqual(code, 0, output)
                for message in messages:
                    self.assertIn(words(message), words(output))

    def test_failing_signing_step_fails_the_build_and_leaves_no_program(self):
        # Configure passes: time stamps are only asked for when signing.
        code, output = configure(REFUSED_BUILD, SIGNER + ".p12", PASSWORD, closed_port_url())
        self.assertEqual(code, 0, output)
        # A program of an earlier build in the output folder must go too.
        left = os.path.join(REFUSED_BUILD, "bin", "menusetup.exe")
        os.makedirs(os.path.dirname(left), exist_ok=True)
        shutil.copyfile(os.path.join(BIN, "menusetup.exe"), left)
        # The second build must not take the first one's linked program as
        # done and succeed without signing it.
        for attempt in (1, 2):
            with self.subTest(attempt=attempt):
                code, output = build(REFUSED_BUILD, "menusetup", check=False)
                self.assertNotEqual(code, 0, output)
                self.assertIn(words("Signing " + os.path.join(REFUSED_BUILD, "unsigned",
                                                               "menusetup.exe")), words(output))
                self.assertIn("timestamping failed", output)
                self.assertEqual(os.listdir(os.path.dirname(left)), [])


if __name__ == "__main__":
    unittest.main()
