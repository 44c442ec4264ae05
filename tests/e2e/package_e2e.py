"""The library as an installed CMake package: the build installed with
cmake --install into a scratch prefix in the build folder, and the consumer
project of tests/consumer configured and built against that prefix with the
build's toolchain, through find_package only, then run under Wine. And the
library inside another project: the same consumer built with the library's
sources through add_subdirectory and through FetchContent, without the
project's tests or the tools they need, then run under Wine.

CTest hands over what project_build.py reads, the project() version and the
architecture of the build (x86 or x64)."""

import os
import re
import shutil
import tempfile
import unittest

from project_build import BUILD_DIR, CMAKE, SOURCE_DIR, build, configure, run

PROJECT_VERSION = os.environ["MENUTOOLS_VERSION"]
# The pointer size of the build's architecture, and that of the other one.
POINTER_SIZES = {"x86": 4, "x64": 8}
POINTER_SIZE = POINTER_SIZES[os.environ["MENUTOOLS_ARCH"]]
OTHER_POINTER_SIZE = 12 - POINTER_SIZE

CONSUMER_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "consumer")
SCRATCH = os.path.join(BUILD_DIR, "package-e2e")
PREFIX = os.path.join(SCRATCH, "prefix")
CONSUMER_BUILD = os.path.join(SCRATCH, "consumer")
PACKAGE_DIR = os.path.join(PREFIX, "lib", "cmake", "menutools")
HEADER_DIR = os.path.join(PREFIX, "include", "menutools")
CTEST = os.path.join(os.path.dirname(CMAKE), "ctest")
# The consumer with the library inside it, both ways in one folder (kept
# between runs): the second way finds the library compiled by the first.
EMBEDDED_BUILD = os.path.join(BUILD_DIR, "embedded-consumer")
# The same, with the project's tests asked for.
EMBEDDED_TESTED_BUILD = os.path.join(BUILD_DIR, "embedded-consumer-tested")
# What only the project's tests and sample installers look for.
TEST_TOOLS = ["GTEST_SOURCE_DIR", "WIXL_EXECUTABLE", "MSIINFO_EXECUTABLE", "MAKENSIS_EXECUTABLE"]

INSTALLED_FILES = [
    "bin/menusetup.exe",
    "bin/menucleanup.exe",
    "share/doc/menutools/README.md",
    "share/doc/menutools/LICENSE",
    "lib/libinstallutil.a",
    "lib/cmake/menutools/menutoolsConfig.cmake",
    "lib/cmake/menutools/menutoolsConfigVersion.cmake",
    "lib/cmake/menutools/menutoolsTargets.cmake",
    "include/menutools/strings.h",
    "include/menutools/paths.h",
    "include/menutools/install_layout.h",
    "include/menutools/language.h",
    "include/menutools/edition.h",
    "include/menutools/processes.h",
]

# What the consumer prints: the package version find_package found (the way
# the library was built inside it, for the other ways), the definitions that came with the target, and one result from each of the
# install layout, the language settings and the edition detection.
CONSUMER_OUTPUT = [
    "package " + PROJECT_VERSION,
    "UNICODE _UNICODE _WIN32_WINNT=0x0601",
    "JoinStrings: C:\\Velmora\\RUVO",
    "LanguageIndexForLcid(0x0407): 1",
    "DecideWindowsEdition(6.1, workstation): Windows 7 1, Server 2008 R2 0",
]


def accepts_version(requested, pointer_size=POINTER_SIZE):
    """Whether the installed version file accepts find_package(menutools <requested>)
    from a project whose pointers have `pointer_size` bytes."""
    with tempfile.TemporaryDirectory(dir=SCRATCH) as folder:
        script = os.path.join(folder, "ask.cmake")
        major = requested.split(".")[0]
        with open(script, "w", encoding="utf-8") as file:
            file.write('set(PACKAGE_FIND_VERSION "%s")\n' % requested)
            file.write('set(PACKAGE_FIND_VERSION_MAJOR "%s")\n' % major)
            file.write('set(CMAKE_SIZEOF_VOID_P "%d")\n' % pointer_size)
            file.write('include("%s")\n' % os.path.join(PACKAGE_DIR, "menutoolsConfigVersion.cmake"))
            file.write('if(PACKAGE_VERSION_UNSUITABLE)\n'
                       '  set(PACKAGE_VERSION_COMPATIBLE FALSE)\n'
                       'endif()\n')
            file.write('message("compatible=${PACKAGE_VERSION_COMPATIBLE}")\n')
        _, _, errors = run([CMAKE, "-P", script], check=False)
    found = re.search(r"compatible=(\S*)", errors)
    if found is None:
        raise AssertionError("the version file gave no answer for " + requested)
    return found.group(1) == "TRUE"


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(SCRATCH, ignore_errors=True)
        os.makedirs(SCRATCH)
        run([CMAKE, "--install", BUILD_DIR, "--prefix", PREFIX])

    def test_install_holds_library_headers_package_programs_and_readme(self):
        for name in INSTALLED_FILES:
            with self.subTest(file=name):
                self.assertTrue(os.path.isfile(os.path.join(PREFIX, name)))
        headers = sorted(os.listdir(HEADER_DIR))
        # The release helpers are the library's own; no public header needs them.
        self.assertNotIn("release.h", headers)
        for header in headers:
            with open(os.path.join(HEADER_DIR, header), encoding="utf-8") as file:
                included = re.findall(r'^\s*#\s*include\s*"([^"]+)"', file.read(), re.MULTILINE)
            with self.subTest(header=header):
                self.assertEqual([], [name for name in included if name not in headers])
        # Nothing installed may point back into the source tree or the build.
        for folder, _, files in os.walk(PREFIX):
            for name in files:
                if name.endswith((".cmake", ".h")):
                    with open(os.path.join(folder, name), encoding="utf-8") as file:
                        text = file.read()
                    with self.subTest(file=name):
                        self.assertNotIn(SOURCE_DIR, text)
                        self.assertNotIn(BUILD_DIR, text)
        # The installed README's links lead to installed files, the licence among them.
        readme = os.path.join(PREFIX, "share", "doc", "menutools", "README.md")
        with open(readme, encoding="utf-8") as file:
            links = re.findall(r"\]\(([^)#:]+)", file.read())
        self.assertIn("LICENSE", links)
        folder = os.path.dirname(readme)
        self.assertEqual([], [link for link in links
                              if not os.path.isfile(os.path.join(folder, link))])
        # Same major version only, and no older release for a later request.
        self.assertEqual({"18": True, "18.1": True, PROJECT_VERSION: True, "17": False,
                          "18.99": False, "19": False},
                         {version: accepts_version(version)
                          for version in ["18", "18.1", PROJECT_VERSION, "17", "18.99", "19"]})
        # A consumer of the other architecture (a 64-bit one, say, of a 32-bit
        # package) must not link this library.
        self.assertFalse(accepts_version(PROJECT_VERSION, OTHER_POINTER_SIZE))

    def test_consumer_built_through_find_package_runs_under_wine(self):
        # The prefix is also a find root: the toolchain looks for packages
        # below its roots only.
        configure(CONSUMER_SOURCE, CONSUMER_BUILD, "CMAKE_PREFIX_PATH=" + PREFIX,
                  "CMAKE_FIND_ROOT_PATH=" + PREFIX, "CMAKE_FIND_USE_PACKAGE_REGISTRY=OFF")
        with open(os.path.join(CONSUMER_BUILD, "CMakeCache.txt"), encoding="utf-8") as file:
            found = re.search(r"^menutools_DIR:PATH=(.*)$", file.read(), re.MULTILINE)
        self.assertEqual(os.path.realpath(PACKAGE_DIR), os.path.realpath(found.group(1)))
        build(CONSUMER_BUILD)
        _, output, _ = run(["wine", os.path.join(CONSUMER_BUILD, "consumer.exe")])
        self.assertEqual(CONSUMER_OUTPUT, output.splitlines())

    def test_consumer_built_with_the_library_inside_it_runs_under_wine(self):
        for way in ("add_subdirectory", "FetchContent"):
            with self.subTest(way=way):
                configure(CONSUMER_SOURCE, EMBEDDED_BUILD, "CONSUMER_WAY=" + way,
                          "CONSUMER_MENUTOOLS_SOURCE=" + SOURCE_DIR)
                # The consumer's include(CTest) brings in none of the
                # project's tests, nor a look for what they need.
                self.assertEqual([], cached(EMBEDDED_BUILD, TEST_TOOLS))
                self.assertIn("Total Tests: 0", run([CTEST, "-N", "--test-dir", EMBEDDED_BUILD])[1])
                build(EMBEDDED_BUILD, "consumer")
                _, output, _ = run(["wine", os.path.join(EMBEDDED_BUILD, "consumer.exe")])
                self.assertEqual([way] + CONSUMER_OUTPUT[1:], output.splitlines())
                # Neither menutools' programs nor its files come with the consumer.
                self.assertNotIn("menusetup", build(EMBEDDED_BUILD, "help")[1])
                installed = os.path.join(SCRATCH, "embedded-install-" + way)
                run([CMAKE, "--install", EMBEDDED_BUILD, "--prefix", installed])
                self.assertEqual([], [name for _, _, names in os.walk(installed)
                                      for name in names])

    def test_project_tests_inside_another_project_only_when_asked(self):
        configure(CONSUMER_SOURCE, EMBEDDED_TESTED_BUILD, "CONSUMER_WAY=add_subdirectory",
                  "CONSUMER_MENUTOOLS_SOURCE=" + SOURCE_DIR, "MENUTOOLS_BUILD_TESTING=ON")
        self.assertEqual(TEST_TOOLS, cached(EMBEDDED_TESTED_BUILD, TEST_TOOLS))
        self.assertIn("e2e.menusetup", run([CTEST, "-N", "--test-dir", EMBEDDED_TESTED_BUILD])[1])


def cached(folder, names):
    """Those of `names` that the CMake cache in `folder` holds."""
    with open(os.path.join(folder, "CMakeCache.txt"), encoding="utf-8") as file:
        cache = file.read()
    return [name for name in names if re.search("^%s:" % name, cache, re.MULTILINE)]


if __name__ == "__main__":
    unittest.main()
