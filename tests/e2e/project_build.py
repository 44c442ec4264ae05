"""What the tests that configure and build the project (or a user of it) again
share: the build that CTest runs them for, handed over as MENUTOOLS_BUILD_DIR,
MENUTOOLS_SOURCE_DIR, MENUTOOLS_CMAKE, MENUTOOLS_GENERATOR, MENUTOOLS_TOOLCHAIN
and MENUTOOLS_BUILD_TYPE, and running a command with its output kept for the
failure message."""

import os
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
