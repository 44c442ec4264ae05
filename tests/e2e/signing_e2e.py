"""Signing in the build (MENUTOOLS_SIGN_*), both ways: with a PKCS#12 file, and
with a key on a token reached through a PKCS#11 module (SoftHSM's, its token
in the test's own folder). Throwaway certificates are made by openssl in
<build>/signing-e2e, and the same key is imported into the token. A build that
signs, either way, gives programs, sample installers and installed programs
that osslsigncode verifies against the certificate; a signed program less its
signature is the unsigned program of the same sources; the build's own
programs carry a signature only when it signs; each bad setting fails the
configure, or the build where only signing can tell, naming the setting and
the reason, with no program left in the output folder. Needs no Wine;
e2e.signed_setup runs what the signing build made.

CTest hands over what project_build.py reads, the build's program folder
(MENUTOOLS_BIN), its linked files (MENUTOOLS_REPRODUCED) and whether the build
itself signs (MENUTOOLS_SIGNS). The signing builds are the shipping build
(project_build.py), configured anew for each way; a later run rebuilds only
what its new certificate changes."""

import filecmp
import os
import shutil
import socket
import unittest

import pefile

import project_build
from project_build import BUILD_DIR, CMAKE, SHIPPING_BUILD

BIN = os.environ["MENUTOOLS_BIN"]
BUILD_SIGNS = os.environ["MENUTOOLS_SIGNS"] == "ON"
LINKED_PROGRAMS = {os.path.basename(path): path
                   for path in os.environ["MENUTOOLS_REPRODUCED"].split(os.pathsep)}

SCRATCH = os.path.join(BUILD_DIR, "signing-e2e")
CERTIFICATES = os.path.join(SCRATCH, "certificates")
# The signing build, whose installers e2e.signed_setup runs.
SIGNED_BUILD = SHIPPING_BUILD

SIGNER = os.path.join(CERTIFICATES, "signer")
SERVER = os.path.join(CERTIFICATES, "server")
STRANGER = os.path.join(CERTIFICATES, "stranger")
PASSWORD = os.path.join(CERTIFICATES, "password.txt")
WRONG_PASSWORD = os.path.join(CERTIFICATES, "wrong-password.txt")
SIGNER_SUBJECT = "/CN=menutools throwaway signer"
# The signing time comes from SOURCE_DATE_EPOCH.
SIGNING_EPOCH = "1700000000"
SIGNING_TIME = "Nov 14 22:13:20 2023 GMT"

# The token: SoftHSM keeps it in the folder its configuration names, here
# inside the test's folder, as the HOME the tools get.
TOKEN = os.path.join(SCRATCH, "token")
SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so"
TOKEN_PIN = "4711-throwaway"
PIN_FILE = os.path.join(CERTIFICATES, "pin.txt")
WRONG_PIN = os.path.join(CERTIFICATES, "wrong-pin.txt")
SIGNER_KEY = "pkcs11:token=menutools;object=signer;type=private"
TOKEN_ENVIRONMENT = dict(os.environ, SOFTHSM2_CONF=os.path.join(TOKEN, "softhsm2.conf"),
                         HOME=os.path.join(TOKEN, "home"))

# The settings of each way of signing.
WAYS = {
    "PKCS#12 file": {"PKCS12": SIGNER + ".p12", "PASSWORD_FILE": PASSWORD},
    "key on a token": {"PKCS11_MODULE": SOFTHSM_MODULE, "PKCS11_KEY": SIGNER_KEY,
                       "CERTIFICATE": SIGNER + ".pem", "PASSWORD_FILE": PIN_FILE},
}

PROGRAMS = ["menusetup.exe", "menucleanup.exe"]
# Each sample installer and the name its signature carries.
INSTALLERS = {
    "sample-18.2.msi": "Velmora RUVO Sample 18.2",
    "sample-18.3.msi": "Velmora RUVO Sample 18.3",
    "sample-18.2.1.msi": "Velmora RUVO Sample 18.2.1",
    "sample-18.2-setup.exe": "Velmora RUVO Sample 18.2 setup",
    "sample-18.3-setup.exe": "Velmora RUVO Sample 18.3 setup",
}


def run(command, environment=TOKEN_ENVIRONMENT, check=True):
    """Runs a command; returns its return code and its output (both streams,
    where CMake and osslsigncode say why they fail)."""
    code, output, errors = project_build.run(command, environment, check)
    return code, output + errors


def write_file(path, text):
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)


def make_certificate(base, subject, usage):
    """A self-signed certificate (<base>.pem) with the extended key usage
    `usage`, and its PKCS#12 file (<base>.p12) under the password in PASSWORD."""
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-keyout", base + ".key", "-out", base + ".pem", "-subj", subject,
         "-addext", "extendedKeyUsage=" + usage])
    run(["openssl", "pkcs12", "-export", "-in", base + ".pem", "-inkey", base + ".key",
         "-out", base + ".p12", "-passout", "file:" + PASSWORD])


def make_token():
    """A SoftHSM token "menutools" under TOKEN_PIN that holds the signer's key,
    imported from the key file openssl made."""
    shutil.rmtree(TOKEN, ignore_errors=True)
    os.makedirs(os.path.join(TOKEN, "tokens"))
    os.makedirs(os.path.join(TOKEN, "home"))
    write_file(TOKEN_ENVIRONMENT["SOFTHSM2_CONF"],
               "directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n"
               % os.path.join(TOKEN, "tokens"))
    run(["softhsm2-util", "--init-token", "--free", "--label", "menutools",
         "--so-pin", TOKEN_PIN + "-so", "--pin", TOKEN_PIN])
    run(["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", SIGNER + ".key", "-outform", "DER",
         "-out", SIGNER + ".der"])
    run(["pkcs11-tool", "--module", SOFTHSM_MODULE, "--token-label", "menutools", "--login",
         "--pin", TOKEN_PIN, "--write-object", SIGNER + ".der", "--type", "privkey",
         "--id", "01", "--label", "signer"])


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


def configure(signing):
    """Configures the signing build with these signing settings (values by
    name, the others empty); returns the code and output."""
    code, output, errors = project_build.configure_shipping_build(
        signing, environment=TOKEN_ENVIRONMENT, check=False)
    return code, output + errors


def build(*targets, check=True):
    code, output, errors = project_build.build(
        SIGNED_BUILD, *targets, environment=dict(TOKEN_ENVIRONMENT, SOURCE_DATE_EPOCH=SIGNING_EPOCH),
        check=check)
    return code, output + errors


def build_signed(way="key on a token"):
    """Configures the signing build to sign `way` and builds the programs and
    the sample installers; fails with CMake's output when either fails."""
    code, output = configure(WAYS[way])
    if code != 0:
        raise AssertionError(output)
    build("menusetup", "menucleanup", "sample_installers")


class SigningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(CERTIFICATES, ignore_errors=True)
        os.makedirs(CERTIFICATES)
        write_file(PASSWORD, "throwaway password\n")
        write_file(WRONG_PASSWORD, "another password\n")
        write_file(PIN_FILE, TOKEN_PIN + "\n")
        write_file(WRONG_PIN, "0000\n")
        make_certificate(SIGNER, SIGNER_SUBJECT, "codeSigning")
        make_certificate(SERVER, "/CN=menutools throwaway server", "serverAuth")
        make_certificate(STRANGER, "/CN=menutools throwaway stranger", "codeSigning")
        make_token()

    def assert_signed(self, path, description):
        """The file's signature verifies against the signer's certificate and
        carries its subject, the description and SOURCE_DATE_EPOCH's time."""
        code, report = verify_signature(path)
        self.assertEqual(code, 0, report)
        self.assertIn("Subject: " + SIGNER_SUBJECT + "\n", report)
        self.assertIn("Text description: " + description + "\n", report)
        self.assertIn("Signing time: " + SIGNING_TIME + "\n", report)

    def test_signing_build_signs_programs_installers_and_what_it_installs(self):
        for way in WAYS:
            with self.subTest(way=way):
                build_signed(way)
                self.assert_build_signed()

    def assert_build_signed(self):
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

    def test_signed_program_less_its_signature_is_the_unsigned_program(self):
        # Built from a copy of the sources, in another folder and at another
        # SOURCE_DATE_EPOCH than this build's own unsigned programs.
        code, output = configure(WAYS["key on a token"])
        self.assertEqual(code, 0, output)
        build(*[os.path.splitext(program)[0] for program in PROGRAMS])
        stripped = os.path.join(SCRATCH, "stripped")
        os.makedirs(stripped, exist_ok=True)
        for program in PROGRAMS:
            with self.subTest(program=program):
                path = os.path.join(stripped, program)
                if os.path.exists(path):
                    os.remove(path)
                run(["osslsigncode", "remove-signature", "-in",
                     os.path.join(SIGNED_BUILD, "bin", program), "-out", path])
                self.assertTrue(filecmp.cmp(LINKED_PROGRAMS[program], path, shallow=False),
                                "%s and %s differ" % (LINKED_PROGRAMS[program], path))

    def test_programs_carry_a_signature_only_when_the_build_signs(self):
        security = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
        for program in PROGRAMS:
            with self.subTest(program=program):
                image = pefile.PE(os.path.join(BIN, program))
                self.assertEqual(image.OPTIONAL_HEADER.DATA_DIRECTORY[security].Size != 0,
                                 BUILD_SIGNS)

    def test_bad_setting_fails_naming_the_setting_and_the_reason(self):
        missing = os.path.join(CERTIFICATES, "missing")
        pkcs12, token = WAYS["PKCS#12 file"], WAYS["key on a token"]
        stranger_key = "pkcs11:token=menutools;object=stranger;type=private"
        # Each case: the settings, whether the build (not the configure) is
        # where it fails, and what the message must say.
        cases = [
            ("missing PKCS#12 file", dict(pkcs12, PKCS12=missing + ".p12"), False,
             ["MENUTOOLS_SIGN_PKCS12: " + missing + ".p12: no such file"]),
            ("missing password file", dict(pkcs12, PASSWORD_FILE=missing + ".txt"), False,
             ["MENUTOOLS_SIGN_PASSWORD_FILE: " + missing + ".txt: no such file"]),
            ("wrong password", dict(pkcs12, PASSWORD_FILE=WRONG_PASSWORD), False,
             [SIGNER + ".p12: openssl cannot open it with the password in " + WRONG_PASSWORD,
              "invalid password"]),
            ("PKCS#12 certificate not for code signing", dict(pkcs12, PKCS12=SERVER + ".p12"),
             False,
             ["MENUTOOLS_SIGN_PKCS12: " + SERVER + ".p12: its certificate /CN=menutools "
              "throwaway server is not meant for code signing (extended key usage: TLS Web "
              "Server Authentication)"]),
            ("both ways named", dict(token, PKCS12=SIGNER + ".p12"), False,
             ["MENUTOOLS_SIGN_PKCS12 conflicts with MENUTOOLS_SIGN_PKCS11_MODULE, "
              "MENUTOOLS_SIGN_PKCS11_KEY, MENUTOOLS_SIGN_CERTIFICATE"]),
            ("token without a certificate", dict(token, CERTIFICATE=""), False,
             ["MENUTOOLS_SIGN_CERTIFICATE is not set"]),
            ("missing module", dict(token, PKCS11_MODULE=missing + ".so"), False,
             ["MENUTOOLS_SIGN_PKCS11_MODULE: " + missing + ".so: no such file"]),
            ("module that does not load", dict(token, PKCS11_MODULE=SIGNER + ".pem"), False,
             ["MENUTOOLS_SIGN_PKCS11_MODULE: " + SIGNER + ".pem: does not load as a PKCS#11 "
              "module"]),
            ("PIN in the key URI", dict(token, PKCS11_KEY=SIGNER_KEY + ";pin-value=" + TOKEN_PIN),
             False, ["MENUTOOLS_SIGN_PKCS11_KEY holds a PIN (pin-value)"]),
            ("token certificate not for code signing", dict(token, CERTIFICATE=SERVER + ".pem"),
             False,
             ["MENUTOOLS_SIGN_CERTIFICATE: " + SERVER + ".pem: its certificate /CN=menutools "
              "throwaway server is not meant for code signing"]),
            ("key the token does not hold", dict(token, PKCS11_KEY=stranger_key), True,
             ["MENUTOOLS_SIGN_PKCS11_KEY: " + stranger_key + ": the token holds no such key"]),
            ("certificate of another key", dict(token, CERTIFICATE=STRANGER + ".pem"), True,
             ["MENUTOOLS_SIGN_CERTIFICATE: " + STRANGER + ".pem: holds no certificate of the "
              "key " + SIGNER_KEY]),
            ("wrong PIN", dict(token, PASSWORD_FILE=WRONG_PIN), True,
             ["MENUTOOLS_SIGN_PASSWORD_FILE: the token refused the PIN in " + WRONG_PIN +
              " (PIN incorrect)"]),
            # Configure passes: time stamps are only asked for when signing.
            ("time-stamping service that does not answer",
             dict(pkcs12, TIMESTAMP_URL=closed_port_url()), True,
             ["MENUTOOLS_SIGN_TIMESTAMP_URL: ", "the time-stamping service gave no time stamp",
              "timestamping failed"]),
        ]
        for case, signing, at_build, messages in cases:
            with self.subTest(case=case):
                code, output = configure(signing)
                if at_build:
                    self.assertEqual(code, 0, output)
                    output = self.assert_build_fails_leaving_no_program()
                else:
                    self.assertNotEqual(code, 0, output)
                for message in messages:
                    self.assertIn(words(message), words(output))
                self.assertNotIn(TOKEN_PIN, output)

    def assert_build_fails_leaving_no_program(self):
        """Builds menusetup twice, each of which must fail in its signing step,
        leaving no menusetup in the output folder, not even one an earlier build
        left there; returns the last build's output."""
        left = os.path.join(SIGNED_BUILD, "bin", "menusetup.exe")
        os.makedirs(os.path.dirname(left), exist_ok=True)
        shutil.copyfile(os.path.join(BIN, "menusetup.exe"), left)
        # The second build must not take the first one's linked program as
        # done and succeed without signing it.
        for attempt in (1, 2):
            with self.subTest(attempt=attempt):
                code, output = build("menusetup", check=False)
                self.assertNotEqual(code, 0, output)
                self.assertIn(words("Signing " + os.path.join(SIGNED_BUILD, "unsigned",
                                                               "menusetup.exe")), words(output))
                self.assertEqual([name for name in os.listdir(os.path.dirname(left))
                                  if name.startswith("menusetup")], [])
        return output


if __name__ == "__main__":
    unittest.main()
