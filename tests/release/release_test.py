#!/usr/bin/env python3
"""The release archives as shipped: each is unpacked into a fresh folder and
what is inside runs unchanged, against the simulated adapter library (the
Windows programs under Wine with FTD2XX.DLL placed beside them, the Linux ones
with libftd2xx.so on the loader's path). The runs, in a pseudo-terminal with
keys typed, are the end-to-end tests' own. Beside the runs: the archives'
layout and line ends, the manifest and version resource read back from both
.exe, and the libraries the Linux programs need.

Usage: release_test.py --dist DIR --sim-native DIR --sim-x64 DLL --sim-x86 DLL --x86-build DIR
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import e2e_test  # noqa: E402
from pe_file import RT_MANIFEST, RT_VERSION, PeFile, version_info  # noqa: E402

ARGS = None
WINDOWS_MEMBERS = ["pelupdate.exe", "pelfwu.exe", "README.txt"]
# The supported-OS entries from Windows 7 to 10 (which also stands for 11).
SUPPORTED_OS = {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}
# What the Linux programs may need: the C library, the loader, libdl, libm.
LINUX_LIBRARIES = {"linux-vdso.so.1", "libc.so.6", "ld-linux-x86-64.so.2", "libdl.so.2", "libm.so.6"}
NON_ASCII = "Prüfstand Ω 測試"
GLIBC_NEEDED = {"pelupdate": (2, 34), "pelfwu": (2, 36)}
D2XX_ARGUMENT_BYTES = {"FT_Open": 8, "FT_Close": 4, "FT_ResetDevice": 4, "FT_SetBaudRate": 8,
                       "FT_SetDataCharacteristics": 16, "FT_SetFlowControl": 16, "FT_SetChars": 20,
                       "FT_SetTimeouts": 12, "FT_Purge": 8, "FT_SetLatencyTimer": 8, "FT_Read": 16,
                       "FT_Write": 16}


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(pelupdate VERSION ([0-9.]+)", f.read()).group(1)


def archive(kind):
    return os.path.join(ARGS.dist, f"pelupdate-{project_version()}-{kind}")


def unpack(path, folder):
    """Unpacks an archive into `folder` and returns the folder that holds the
    programs (the tarball's one top folder)."""
    os.makedirs(folder)
    if path.endswith(".zip"):
        with zipfile.ZipFile(path) as z:
            z.extractall(folder)
        return folder
    with tarfile.open(path) as t:
        t.extractall(folder)
    (top,) = os.listdir(folder)
    return os.path.join(folder, top)


class ShippedLinux(e2e_test.Native):
    """pelupdate from the tarball, with the simulated libftd2xx.so on the
    loader's path, or an empty folder there for a missing library."""
    name = "linux-x86_64"

    def prepare(self, folder, library=True):
        self.app = unpack(archive("linux-x86_64.tar.gz"), os.path.join(folder, "unpacked"))
        self.libdir = ARGS.sim_native if library else os.path.join(folder, "nolib")
        os.makedirs(os.path.join(folder, "nolib"), exist_ok=True)

    def command(self, folder):
        return [os.path.join(self.app, "pelupdate")]


class ShippedWindows(e2e_test.Windows):
    """pelupdate.exe from a zip, under Wine, the simulated FTD2XX.DLL beside it."""

    def __init__(self, arch, app_folder="app"):
        self.name = f"windows-{arch}"
        self.arch = arch
        self.app_folder = app_folder

    def dll(self):
        return ARGS.sim_x64 if self.arch == "x64" else ARGS.sim_x86

    def prepare(self, folder, library=True):
        app = unpack(archive(f"{self.name}.zip"), os.path.join(folder, self.app_folder))
        if library:
            shutil.copy(self.dll(), os.path.join(app, "FTD2XX.DLL"))

    def command(self, folder):
        return ["wine", os.path.join(folder, self.app_folder, "pelupdate.exe")]


class Runs:
    """A complete update and a missing adapter library, as in the end-to-end
    tests; mixed into one TestCase per archive."""

    build = None
    expect_output = e2e_test.Scenarios.expect_output
    expect_closed_then_paused = e2e_test.Scenarios.expect_closed_then_paused
    expect_flash = e2e_test.Scenarios.expect_flash
    test_complete_update = e2e_test.Scenarios.test_complete_update
    test_no_adapter_library = e2e_test.Scenarios.test_no_adapter_library


class NonAsciiFolders:
    """The program in a folder with a non-ASCII name, started in another one:
    the update file's own name is fixed, the path to it is not."""

    def test_non_ascii_folders(self):
        base = tempfile.mkdtemp(prefix=NON_ASCII + " ")
        saved = tempfile.tempdir
        tempfile.tempdir = base  # the run's folder, which holds the update file
        build = ShippedWindows(self.build.arch, app_folder="Programme ä 程序")
        try:
            r = e2e_test.run(build, "erase_ms 100\n")
        finally:
            tempfile.tempdir = saved
            shutil.rmtree(base, ignore_errors=True)
        self.expect_output(r, e2e_test.VERSIONS + "Y \n" + e2e_test.PROGRESS + "FirmWare update OK.")
        self.expect_flash(r)


class LinuxArchive(Runs, unittest.TestCase):
    build = ShippedLinux()

    def test_layout_and_owner(self):
        version = project_version()
        top = f"pelupdate-{version}-linux-x86_64"
        with tarfile.open(archive("linux-x86_64.tar.gz")) as t:
            members = t.getmembers()
            self.assertEqual([m.name for m in members],
                             [top, f"{top}/pelupdate", f"{top}/pelfwu", f"{top}/README.txt"])
            self.assertEqual([oct(m.mode) for m in members], ["0o755", "0o755", "0o755", "0o644"])
            self.assertEqual({(m.uid, m.gid) for m in members}, {(0, 0)})
            self.assertEqual(len({m.mtime for m in members}), 1)
            if os.environ.get("SOURCE_DATE_EPOCH"):
                self.assertEqual(members[0].mtime, int(os.environ["SOURCE_DATE_EPOCH"]))
            readme = t.extractfile(f"{top}/README.txt").read()
        self.assertNotIn(b"\r", readme)
        self.assertIn(f"pelupdate {version}".encode(), readme)

    def test_version_and_libraries(self):
        folder = tempfile.mkdtemp(prefix="pel-release-")
        try:
            app = unpack(archive("linux-x86_64.tar.gz"), os.path.join(folder, "unpacked"))
            out = subprocess.run([os.path.join(app, "pelfwu"), "--version"], capture_output=True,
                                 text=True, check=True).stdout
            self.assertEqual(out, f"pelfwu {project_version()}\n")
            for program in ("pelupdate", "pelfwu"):
                ldd = subprocess.run(["ldd", os.path.join(app, program)], capture_output=True,
                                     text=True, check=True).stdout
                needed = {line.split()[0].rsplit("/", 1)[-1] for line in ldd.splitlines() if line.strip()}
                self.assertLessEqual(needed, LINUX_LIBRARIES, f"{program} needs more:\n{ldd}")
                self.assertIn("libc.so.6", needed)
                # The oldest C library it runs with, as README.txt states it.
                symbols = subprocess.run(["objdump", "-T", os.path.join(app, program)],
                                         capture_output=True, text=True, check=True).stdout
                newest = max(tuple(int(n) for n in v.split(".")) for v in re.findall(r"GLIBC_([0-9.]+)", symbols))
                self.assertLessEqual(newest, GLIBC_NEEDED[program])
        finally:
            shutil.rmtree(folder, ignore_errors=True)


def setUpModule():
    ShippedWindows.start_prefix()


def tearDownModule():
    ShippedWindows.stop_prefix()


def wine_runs(arch):
    """Why Wine cannot run this kind of .exe here, or None."""
    if arch != "x86":
        return None
    if subprocess.run([sys.executable, os.path.join(HERE, "i386_probe.py")]).returncode != 0:
        return "this machine runs no 32-bit x86 programs, so no 32-bit Wine"
    if not os.path.exists("/usr/lib/wine/wine"):
        return "no 32-bit Wine (wine32:i386) installed"
    return None


class WindowsArchive(Runs):
    arch = None

    @classmethod
    def setUpClass(cls):
        cls.build = ShippedWindows(cls.arch)

    def setUp(self):
        reason = wine_runs(self.arch)
        if reason and self._testMethodName in ("test_complete_update", "test_no_adapter_library",
                                               "test_non_ascii_folders"):
            self.skipTest(reason)

    def test_layout_and_line_ends(self):
        with zipfile.ZipFile(archive(f"windows-{self.arch}.zip")) as z:
            self.assertEqual(z.namelist(), WINDOWS_MEMBERS)
            self.assertEqual(len({i.date_time for i in z.infolist()}), 1)
            readme = z.read("README.txt")
        self.assertEqual(readme.count(b"\n"), readme.count(b"\r\n"))
        self.assertGreater(readme.count(b"\r\n"), 20)
        self.assertIn(f"pelupdate {project_version()}".encode(), readme)

    def test_executables_as_promised(self):
        version = project_version()
        numbers = tuple(int(n) for n in version.split(".")) + (0,)
        folder = tempfile.mkdtemp(prefix="pel-release-")
        try:
            app = unpack(archive(f"windows-{self.arch}.zip"), os.path.join(folder, "app"))
            for program in ("pelupdate", "pelfwu"):
                with self.subTest(program):
                    pe = PeFile(os.path.join(app, program + ".exe"))
                    self.assertEqual(pe.machine, self.arch)
                    self.assertEqual(pe.time_stamp, 0)
                    self.assertNotIn("ftd2xx.dll", [n.lower() for n in pe.imports()])
                    (manifest,) = pe.resources(RT_MANIFEST)
                    check_manifest(self, ET.fromstring(manifest))
                    (block,) = pe.resources(RT_VERSION)
                    fixed, strings = version_info(block)
                    self.assertEqual(fixed, numbers[:4])
                    self.assertEqual(strings["FileVersion"], version)
                    self.assertEqual(strings["ProductVersion"], version)
                    self.assertEqual(strings["ProductName"], "pelupdate")
                    self.assertEqual(strings["OriginalFilename"], program + ".exe")
                    self.assertTrue(strings["FileDescription"])
        finally:
            shutil.rmtree(folder, ignore_errors=True)


def check_manifest(test, root):
    ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
          "c": "urn:schemas-microsoft-com:compatibility.v1",
          "ws": "http://schemas.microsoft.com/SMI/2019/WindowsSettings"}
    level = root.find("v3:trustInfo/v3:security/v3:requestedPrivileges/v3:requestedExecutionLevel", ns)
    test.assertEqual(level.get("level"), "asInvoker")
    test.assertEqual(level.get("uiAccess"), "false")
    supported = {e.get("Id") for e in root.findall("c:compatibility/c:application/c:supportedOS", ns)}
    test.assertEqual(supported, SUPPORTED_OS)
    code_page = root.find("v3:application/v3:windowsSettings/ws:activeCodePage", ns)
    test.assertEqual(code_page.text, "UTF-8")


class WindowsX64Archive(NonAsciiFolders, WindowsArchive, unittest.TestCase):
    arch = "x64"


class WindowsX86Archive(NonAsciiFolders, WindowsArchive, unittest.TestCase):
    arch = "x86"

    def test_d2xx_calls_use_the_libraries_convention(self):
        """On 32-bit Windows the D2XX functions are __stdcall: the callee pops
        its arguments, so after each call through a loaded entry point the
        caller moves its stack pointer back down (`sub $N,%esp`); a cdecl
        declaration has no such step and corrupts the stack at the first call.
        Read from the 32-bit build's forwarding code itself, since the runs
        that would crash need a 32-bit Wine."""
        objects = [os.path.join(d, f) for d, _, files in os.walk(ARGS.x86_build)
                   for f in files if f == "d2xx_library.cpp.obj"]
        self.assertEqual(len(objects), 1, objects)
        listing = subprocess.run(["i686-w64-mingw32-objdump", "-d", "--no-show-raw-insn", objects[0]],
                                 capture_output=True, text=True, check=True).stdout
        lines = [line.split("\t", 1)[-1].strip() for line in listing.splitlines() if ":\t" in line]
        popped = sorted(int(m.group(1), 16) for call, after in zip(lines, lines[1:])
                        if call.startswith("call") and "*" in call
                        for m in [re.fullmatch(r"sub\s+\$0x([0-9a-f]+),%esp", after)] if m)
        # One call through each entry point, and each pops 4 bytes an argument.
        self.assertEqual(popped, sorted(D2XX_ARGUMENT_BYTES.values()))


class Checksums(unittest.TestCase):
    def test_sha256sums_name_the_three_archives(self):
        with open(os.path.join(ARGS.dist, "SHA256SUMS")) as f:
            lines = f.read().splitlines()
        names = []
        for line in lines:
            digest, name = line.split("  ")
            with open(os.path.join(ARGS.dist, name), "rb") as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest, name)
            names.append(name)
        self.assertEqual(names, [os.path.basename(archive(k)) for k in
                                 ("windows-x64.zip", "windows-x86.zip", "linux-x86_64.tar.gz")])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--dist", required=True)
    parser.add_argument("--sim-native", required=True)
    parser.add_argument("--sim-x64", required=True)
    parser.add_argument("--sim-x86", required=True)
    parser.add_argument("--x86-build", required=True, help="the 32-bit release build folder")
    ARGS, rest = parser.parse_known_args()
    for key in ("dist", "sim_native", "sim_x64", "sim_x86", "x86_build"):
        setattr(ARGS, key, os.path.abspath(getattr(ARGS, key)))
    # The end-to-end machinery packs its update files with pelfwu: the shipped one.
    unpacked = tempfile.mkdtemp(prefix="pel-release-pelfwu-")
    e2e_test.ARGS = argparse.Namespace(
        pelfwu=os.path.join(unpack(archive("linux-x86_64.tar.gz"), os.path.join(unpacked, "u")), "pelfwu"))
    try:
        unittest.main(argv=[sys.argv[0], "-v", *rest])
    finally:
        shutil.rmtree(unpacked, ignore_errors=True)
