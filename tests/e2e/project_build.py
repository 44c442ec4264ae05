"""What the tests that configure and build the project (or a user of it) again
share: the build that CTest runs them for, handed over as MENUTOOLS_BUILD_DIR,
MENUTOOLS_SOURCE_DIR, MENUTOOLS_CMAKE, MENUTOOLS_GENERATOR, MENUTOOLS_TOOLCHAIN
and MENUTOOLS_BUILD_TYPE; running a command with its output kept for the
failure message; and the shipping build.

The shipping build is the project built again from a copy of its sources, in
<build>/shipping: the reproducibility and the signing tests share it, one after
the other (CTest's lock shipping-build). Each configures it with the settings
it needs and builds only what it checks, so that the library is compiled once
for all of them, and later runs rebuild only what changed."""

import filecmp
import os
import shutil
import subprocess

BUILD_DIR = os.environ["MENUTOOLS_BUILD_DIR"]
SOURCE_DIR = os.environ["MENUTOOLS_SOURCE_DIR"]
CMAKE = os.environ["MENUTOOLS_CMAKE"]
GENERATOR = os.environ["MENUTOOLS_GENERATOR"]
TOOLCHAIN = os.environ["MENUTOOLS_TOOLCHAIN"]
BUILD_TYPE = os.environ["MENUTOOLS_BUILD_TYPE"]
PARALLEL_JOBS = "2"
RUN_TIMEOUT = 600


def run(command, environment=None, check=True):
    """Runs a command; returns its exit code, its standard output and its error
    output, decoded. With `check`, fails the test with both when it fails."""
    result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                            timeout=RUN_TIMEOUT, env=environment)
    output = result.stdout.decode("utf-8", "replace")
    errors = result.stderr.decode("utf-8", "replace")
    if check and result.returncode != 0:
        raise AssertionError("%s exited with %d:\n%s%s" % (" ".join(command), result.returncode,
                                                         output, errors))
    return result.returncode, output, errors


def configure(source, folder, *definitions, environment=None, check=True):
    """Configures `source` into `folder` with the build's generator, toolchain
    and build type, and the -D `definitions`; returns what run() returns."""
    return run([CMAKE, "-S", source, "-B", folder, "-G", GENERATOR,
                "-DCMAKE_TOOLCHAIN_FILE=" + TOOLCHAIN, "-DCMAKE_BUILD_TYPE=" + BUILD_TYPE]
               + ["-D" + definition for definition in definitions],
               environment=environment, check=check)


def build(folder, *targets, environment=None, check=True):
    """Builds `targets` (all when none is named) in `folder`; returns what
    run() returns."""
    return run([CMAKE, "--build", folder, "--parallel", PARALLEL_JOBS]
               + (["--target", *targets] if targets else []),
               environment=environment, check=check)


SHIPPING = os.path.join(BUILD_DIR, "shipping")
SHIPPING_SOURCE = os.path.join(SHIPPING, "source")
SHIPPING_BUILD = os.path.join(SHIPPING, "build")
# What the project is built from, tests and sample installers included, and
# what a release packs besides.
SOURCES = ["CMakeLists.txt", "README.md", "LICENSE", "CHANGELOG.md", "bench", "cleanup", "cmake",
           "docs", "installer", "lib", "res", "scripts", "setup", "tests"]
# The names of the signing settings, each MENUTOOLS_SIGN_<name>.
SIGNING_SETTINGS = ["PKCS12", "PKCS11_MODULE", "PKCS11_KEY", "CERTIFICATE", "PASSWORD_FILE",
                    "TIMESTAMP_URL"]


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


def configure_shipping_build(signing, environment=None, check=True):
    """Brings the copy of the sources up to date and configures it into
    SHIPPING_BUILD, with the tests (the sample installers pack their stand-ins)
    and the signing settings `signing` (values by name, as in SIGNING_SETTINGS),
    every other one empty so that none lingers in the cache; returns what run()
    returns."""
    os.makedirs(SHIPPING_SOURCE, exist_ok=True)
    for name in SOURCES:
        mirror(os.path.join(SOURCE_DIR, name), os.path.join(SHIPPING_SOURCE, name))
    return configure(SHIPPING_SOURCE, SHIPPING_BUILD, "BUILD_TESTING=ON",
                     *["MENUTOOLS_SIGN_%s=%s" % (name, signing.get(name, ""))
                       for name in SIGNING_SETTINGS],
                     environment=environment, check=check)
