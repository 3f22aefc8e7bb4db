#!/usr/bin/env python3
"""The 32-bit pelupdate.exe from the windows-x86 archive, as shipped, under
Wine's 32-bit side, against the 32-bit simulated FTD2XX.DLL (__stdcall,
plain names) placed beside it: a complete update and a missing library.

Hosts that run no 32-bit x86 programs cannot start 32-bit Wine, so this
runs it in a QEMU machine (TCG) with a stock Debian kernel, whose IA-32
emulation is on. The machine's userland is a busybox initramfs; 32-bit Wine
and its C library, unpacked from Debian's i386 packages (apt-get download,
dpkg-deb -x, never installed on the host), are shared with it read-only
over 9p, and each run's folder is shared writable, so the host reads the
program's output, the library's call transcript and the flash back from
its own files. Keys come through a serial port that is the program's
controlling terminal. Kernel and packages are fetched once into a cache.

Usage: x86_in_vm.py --dist DIR --sim-x86 DLL [--cache DIR]
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "kernel"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import kernel_test  # noqa: E402  (the kernel package, the initramfs, the serial-port plumbing)
from e2e_test import PAYLOAD, PROGRESS, VERSIONS  # noqa: E402

ARGS = None
MODULES = [  # loaded in this order
    "drivers/virtio/virtio_ring", "drivers/virtio/virtio", "drivers/virtio/virtio_pci_modern_dev",
    "drivers/virtio/virtio_pci_legacy_dev", "drivers/virtio/virtio_pci", "net/9p/9pnet",
    "net/9p/9pnet_virtio", "fs/netfs/netfs", "fs/fscache/fscache", "fs/9p/9p",
]
# 32-bit Wine for console programs: its loader, server and DLLs, the C
# library, and the zlib that Wine's user32 imports.
PACKAGES = ["wine32:i386", "libwine:i386", "libc6:i386", "libgcc-s1:i386", "libz-mingw-w64"]


def log(text):
    print(text, flush=True)


def apt_version(package):
    r = subprocess.run(["apt-cache", "policy", package], capture_output=True, text=True)
    m = re.search(r"Candidate: (\S+)", r.stdout)
    return None if m is None or m.group(1) == "(none)" else m.group(1)


def i386_lists():
    """The version of libwine:i386 apt offers, after adding the i386
    architecture to apt's lists if need be (nothing is installed)."""
    version = apt_version("libwine:i386")
    if version is None:
        foreign = subprocess.run(["dpkg", "--print-foreign-architectures"], capture_output=True,
                                 text=True).stdout.split()
        if "i386" not in foreign:
            subprocess.run(["dpkg", "--add-architecture", "i386"], check=True)
        subprocess.run(["apt-get", "update", "-q"], stdout=subprocess.DEVNULL, check=True)
        version = apt_version("libwine:i386")
    return version


def fetch(cache):
    """A folder with vmlinuz, the 9p modules and root/, the 32-bit Wine tree."""
    kernel_package = kernel_test.apt_kernel_package()
    wine_version = i386_lists()
    if kernel_package is None or wine_version is None:
        ready = sorted(glob.glob(os.path.join(cache, "*", "ready")))
        if not ready:
            sys.exit("cannot find the kernel or the i386 Wine packages, and none is cached")
        return os.path.dirname(ready[-1])
    folder = os.path.join(cache, f"{kernel_package}_wine-{wine_version.replace('~', '_')}")
    if os.path.exists(os.path.join(folder, "ready")):
        return folder
    log(f"fetching {kernel_package} and 32-bit Wine {wine_version} into {folder}")
    os.makedirs(cache, exist_ok=True)
    shutil.rmtree(folder, ignore_errors=True)
    with tempfile.TemporaryDirectory(dir=cache) as work:
        os.chmod(work, 0o755)  # apt's download user writes there when run as root
        subprocess.run(["apt-get", "download", "-q", kernel_package] + PACKAGES, cwd=work,
                       check=True, stdout=subprocess.DEVNULL)
        root = os.path.join(folder, "root")
        os.makedirs(os.path.join(folder, "modules"))
        for deb in sorted(glob.glob(os.path.join(work, "*.deb"))):
            if os.path.basename(deb).startswith("linux-image-"):
                subprocess.run(["dpkg-deb", "-x", deb, os.path.join(work, "k")], check=True)
            else:
                subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        release = kernel_package[len("linux-image-"):]
        shutil.copy(os.path.join(work, "k/boot", "vmlinuz-" + release), os.path.join(folder, "vmlinuz"))
        for m in MODULES:
            shutil.copy(os.path.join(work, "k/lib/modules", release, "kernel", m + ".ko"),
                        os.path.join(folder, "modules"))
    # What libwine's installation script does: the mingw zlib, marked as
    # one of Wine's own DLLs, among them.
    with open(os.path.join(root, "usr/i686-w64-mingw32/lib/zlib1.dll"), "rb") as f:
        dll = f.read()
    with open(os.path.join(root, "usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll"), "wb") as f:
        f.write(dll[:64] + b"Wine builtin DLL" + bytes(16) + dll[96:])
    open(os.path.join(folder, "ready"), "w").close()
    return folder


def initramfs(folder, cached):
    root = os.path.join(folder, "initramfs")
    kernel_test.busybox_root(root, ("modules", "dev", "proc", "sys", "tmp"),
                             os.path.join(HERE, "x86_vm_init.sh"))
    for m in MODULES:
        shutil.copy(os.path.join(cached, "modules", os.path.basename(m) + ".ko"),
                    os.path.join(root, "modules"))
    return kernel_test.pack_initramfs(root, os.path.join(folder, "initramfs.cpio"))


class Machine:
    def __init__(self, folder, cached, image, work):
        sock = lambda name: os.path.join(folder, name)
        command = [
            # -cpu qemu64: with "max", TCG faults Wine's 32-bit iret. One
            # processor: with two, a busy host made the Wine prefix take
            # four times as long (137 s against 36 s).
            "qemu-system-x86_64", "-accel", "tcg", "-cpu", "qemu64", "-smp", "1", "-m", "2048",
            "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
            "-kernel", os.path.join(cached, "vmlinuz"), "-initrd", image,
            "-append", "console=ttyS0 quiet panic=-1",
            "-virtfs", f"local,path={os.path.join(cached, 'root')},mount_tag=wine,"
                       "security_model=none,readonly=on",
            "-virtfs", f"local,path={work},mount_tag=work,security_model=none",
        ]
        for i in range(2):
            command += ["-chardev", f"socket,id=s{i},path={sock(f's{i}')},server=on,wait=off",
                        "-serial", f"chardev:s{i}"]
        self.out = sock("qemu.out")
        with open(self.out, "wb") as out:
            self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.STDOUT)
        try:
            self.guest = kernel_test.Guest(sock("s0"))
            self.terminal = kernel_test.Terminal(sock("s1"))
            if self.guest.term.stream.wait_for("@@ready\r?\n", 0, 120) is None:
                raise AssertionError("the machine did not boot: " + self.guest.term.screen(0)[-2000:])
        except BaseException:
            self.stop()
            raise

    def stop(self):
        self.proc.kill()
        self.proc.wait()


class X86UnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        archives = glob.glob(os.path.join(ARGS.dist, "pelupdate-*-windows-x86.zip"))
        if len(archives) != 1:
            raise AssertionError(f"not one windows-x86 archive in {ARGS.dist}: {archives}")
        cls.archive = archives[0]
        cls.folder = tempfile.mkdtemp(prefix="pel-x86vm-")
        cls.work = os.path.join(cls.folder, "work")
        os.makedirs(cls.work)
        start = time.monotonic()
        cached = fetch(ARGS.cache)
        image = initramfs(cls.folder, cached)
        cls.vm = Machine(cls.folder, cached, image, cls.work)
        log(f"booted in {time.monotonic() - start:.1f} s")
        start = time.monotonic()
        try:
            status, out = cls.vm.guest.run("prefix", timeout=300)
            if status != 0:
                with open(os.path.join(cls.work, "wineboot.err"), errors="replace") as f:
                    err = f.read()[-3000:]
                raise AssertionError(f"no Wine prefix (status {status}): {out}{err}")
        except BaseException:
            cls.tearDownClass()
            raise
        log(f"Wine prefix made in {time.monotonic() - start:.1f} s")

    @classmethod
    def tearDownClass(cls):
        cls.vm.stop()
        if os.environ.get("PEL_X86VM_KEEP"):
            log("kept " + cls.folder)
        else:
            shutil.rmtree(cls.folder, ignore_errors=True)

    def run_case(self, name, library, keys):
        """pelupdate.exe, unpacked from the archive, in a fresh folder with
        the update file; `keys` typed once the program has started."""
        folder = os.path.join(self.work, name)
        with zipfile.ZipFile(self.archive) as z:
            z.extractall(os.path.join(folder, "app"))
        if library:
            shutil.copy(ARGS.sim_x86, os.path.join(folder, "app", "FTD2XX.DLL"))
        with open(os.path.join(folder, "PelBoot_VQ.fwu"), "wb") as f:
            f.write(kernel_test.update_file(PAYLOAD, 2, 0))
        with open(os.path.join(folder, "scenario.txt"), "w") as f:
            f.write("erase_ms 300\nprogram_ms 5\n")
        transcript = os.path.join(folder, "scenario.txt.log")
        start = time.monotonic()
        since = self.vm.guest.start(f"run {name}")
        if keys:
            # Wine keeps keys typed ahead; the program has started once the
            # library has logged its first call.
            end = time.monotonic() + 120
            while not (os.path.exists(transcript) and os.path.getsize(transcript)):
                self.assertLess(time.monotonic(), end, "the program never called the library")
                time.sleep(0.1)
            self.vm.terminal.type(keys)
        status, out = self.vm.guest.finish(since, timeout=180)
        log(f"{name}: {time.monotonic() - start:.1f} s")

        def read(path, mode="r"):
            if not os.path.exists(path):
                return "" if mode == "r" else b""
            with open(path, mode, newline="" if mode == "r" else None) as f:
                return f.read()
        stdout = read(os.path.join(folder, "stdout.txt"), "rb").decode("latin-1")
        self.assertEqual((status, out.strip()), (0, "status 0"), stdout[-3000:])
        return stdout, read(transcript), read(os.path.join(folder, "scenario.txt.flash"), "rb")

    def test_complete_update(self):
        out, transcript, flash = self.run_case("complete", library=True, keys="y")
        expected = VERSIONS + "Y \n" + PROGRESS + "FirmWare update OK."
        self.assertEqual(out, expected.replace("\n", "\r\n"))
        calls = [line.split(" ")[2] for line in transcript.splitlines()]
        self.assertEqual(calls[-1], "FT_Close", transcript)
        for name in ("FT_Open", "FT_SetBaudRate", "FT_Write", "FT_Read", "FT_SetLatencyTimer"):
            self.assertIn(name, calls)
        self.assertEqual(flash[:len(PAYLOAD)], PAYLOAD)
        self.assertEqual(flash[4 * 512:], b"\xff" * (len(flash) - 4 * 512))

    def test_no_adapter_library(self):
        out, transcript, _ = self.run_case("nolibrary", library=False, keys="")
        self.assertEqual(out, "Data exchange error.")
        self.assertEqual(transcript, "")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--dist", required=True)
    parser.add_argument("--sim-x86", required=True)
    parser.add_argument("--cache", default=os.path.expanduser("~/.cache/pelupdate-wine32"))
    ARGS, rest = parser.parse_known_args()
    ARGS.dist, ARGS.sim_x86 = os.path.abspath(ARGS.dist), os.path.abspath(ARGS.sim_x86)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
