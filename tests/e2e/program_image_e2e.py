"""The programs' files: GUI executables of the build's architecture (PE32 for
x86, PE32+ for x64) that import only system DLLs and carry the manifest, the
icon group and the version block, read with pefile and icotool. Needs no Wine:
MENUTOOLS_BIN names the folder of the built programs, MENUTOOLS_ARCH their
architecture (x86 or x64)."""

import os
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

BIN = os.environ["MENUTOOLS_BIN"]
PROGRAMS = ["menusetup.exe", "menucleanup.exe"]
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "user32.dll", "shell32.dll", "shlwapi.dll",
               "ole32.dll", "oleaut32.dll", "msvcrt.dll", "ntdll.dll"}
ICON_IMAGES = [(32, 4), (16, 4), (48, 8), (32, 8), (16, 8),
               (256, 32), (64, 32), (48, 32), (32, 32), (16, 32)]
US_ENGLISH = 1033
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
VISTA = "{e2011457-1546-43c5-a5fe-008deee3d3f0}"
WINDOWS_7 = "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"
# The project() version of CMakeLists.txt, handed over by CTest.
PROJECT_VERSION = os.environ["MENUTOOLS_VERSION"]
VERSION_STRINGS = {"FileDescription", "FileVersion", "InternalName", "OriginalFilename",
                   "ProductName", "ProductVersion"}
US_ENGLISH_UTF16 = "040904b0"
# The machine and the optional header's form of each architecture's images.
IMAGE_SHAPES = {
    "x86": (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], pefile.OPTIONAL_HEADER_MAGIC_PE),
    "x64": (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"], pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS),
}
MACHINE, MAGIC = IMAGE_SHAPES[os.environ["MENUTOOLS_ARCH"]]


def resources(image):
    """{(type, name): {language: bytes}} of a loaded PE image."""
    found = {}
    for kind in image.DIRECTORY_ENTRY_RESOURCE.entries:
        for named in kind.directory.entries:
            name = str(named.name) if named.name is not None else named.id
            for language in named.directory.entries:
                data = language.data.struct
                found.setdefault((kind.id, name), {})[language.id] = image.get_data(
                    data.OffsetToData, data.Size)
    return found


def four_parts(version_text):
    """[major, minor, patch, tweak] of a dotted version, missing parts 0."""
    parts = [int(part) for part in version_text.split(".")]
    return parts + [0] * (4 - len(parts))


def split_version(most, least):
    """[major, minor, patch, tweak] of a VS_FIXEDFILEINFO version pair."""
    return [most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF]


class ProgramImageTest(unittest.TestCase):
    def each_program(self):
        """Each program's name and loaded image. The caller checks each in a
        subTest of its own: a subTest around a generator's yield never sees the
        caller's failure, and reports the generator's closing instead."""
        return [(program, pefile.PE(os.path.join(BIN, program))) for program in PROGRAMS]

    def test_gui_program_of_the_build_architecture_importing_only_system_dlls(self):
        for program, image in self.each_program():
            with self.subTest(program=program):
                self.assertEqual(image.FILE_HEADER.Machine, MACHINE)
                self.assertEqual(image.OPTIONAL_HEADER.Magic, MAGIC)
                self.assertEqual(image.OPTIONAL_HEADER.Subsystem,
                                 pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])
                imported = {entry.dll.decode().lower() for entry in image.DIRECTORY_ENTRY_IMPORT}
                self.assertLessEqual(imported, SYSTEM_DLLS)

    def test_manifest_asks_for_the_highest_available_level(self):
        for program, image in self.each_program():
            with self.subTest(program=program):
                manifest = resources(image)[(RT_MANIFEST, 1)]
                root = ElementTree.fromstring(next(iter(manifest.values())))
                levels = [element.attrib for element in root.iter()
                          if element.tag.endswith("requestedExecutionLevel")]
                self.assertEqual(levels, [{"level": "highestAvailable", "uiAccess": "false"}])
                supported = {element.attrib["Id"] for element in root.iter()
                             if element.tag.endswith("supportedOS")}
                self.assertEqual(supported, {VISTA, WINDOWS_7})

    def test_icon_group_holds_the_ten_images_in_us_english(self):
        for program, image in self.each_program():
            with self.subTest(program=program):
                group = resources(image)[(RT_GROUP_ICON, "IDI_MYICON")]
                self.assertEqual(list(group), [US_ENGLISH])
                with tempfile.TemporaryDirectory() as scratch:
                    icon = os.path.join(scratch, "group.ico")
                    subprocess.run(["wrestool", "-x", "-t", "14", "-n", "IDI_MYICON",
                                    os.path.join(BIN, program), "-o", icon], check=True)
                    listing = subprocess.run(["icotool", "-l", icon], check=True,
                                             capture_output=True, text=True).stdout
                images = []
                for line in listing.splitlines():
                    fields = dict(part.lstrip("-").split("=")
                                  for part in line.split() if "=" in part)
                    images.append((int(fields["width"]), int(fields["bit-depth"])))
                self.assertEqual(images, ICON_IMAGES)

    def test_version_block_carries_the_project_version_in_numbers_and_text(self):
        descriptions = {}
        for program, image in self.each_program():
            with self.subTest(program=program):
                self.assertEqual(list(resources(image)[(RT_VERSION, 1)]), [US_ENGLISH])
                fixed = image.VS_FIXEDFILEINFO[0]
                self.assertEqual(split_version(fixed.FileVersionMS, fixed.FileVersionLS),
                                 four_parts(PROJECT_VERSION))
                self.assertEqual(split_version(fixed.ProductVersionMS, fixed.ProductVersionLS),
                                 four_parts(PROJECT_VERSION))

                tables = {table.LangID.decode(): table.entries for info in image.FileInfo[0]
                          for table in getattr(info, "StringTable", [])}
                self.assertEqual(list(tables), [US_ENGLISH_UTF16])
                strings = {key.decode(): value.decode()
                           for key, value in tables[US_ENGLISH_UTF16].items()}
                self.assertEqual(set(strings), VERSION_STRINGS)
                self.assertEqual(strings["FileVersion"], PROJECT_VERSION)
                self.assertEqual(strings["ProductVersion"], PROJECT_VERSION)
                self.assertEqual(strings["OriginalFilename"], program)
                self.assertEqual(strings["InternalName"], program.removesuffix(".exe"))
                self.assertIn("VELMORA RUVO", strings["ProductName"])
                self.assertIn("start menu", strings["FileDescription"])
                descriptions[program] = strings["FileDescription"]

                translations = [var.entry for info in image.FileInfo[0]
                                for var in getattr(info, "Var", [])]
                self.assertEqual(translations, [{b"Translation": "0x0409 0x04b0"}])
        # Each program says what it does, not the other's description.
        if len(descriptions) == len(PROGRAMS):
            self.assertEqual(len(set(descriptions.values())), len(PROGRAMS))


if __name__ == "__main__":
    unittest.main()
