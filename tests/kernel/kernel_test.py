#!/usr/bin/env python3
"""The unchanged native pelupdate against Linux's own ftdi_sio driver, in a
virtual machine: a stock Debian kernel under QEMU (TCG), QEMU's emulated FTDI
adapter (an FT232BM on an xHCI bus), and the project's device model at the
host end of its cable (pty_device, on a pseudo-terminal whose line settings
QEMU sets as the guest asks). No vendor library exists in the machine, so
pelupdate finds the adapter through the driver. It runs as a user in the
group dialout, and its keys come from a terminal of its own (a serial port
of the machine), never from standard input.

One boot serves every case, in order: no driver, no adapter, a complete
update, the cable pulled and plugged back in, two instances at once.

The kernel is downloaded once (apt-get download, dpkg-deb -x) into a cache.

Usage: kernel_test.py --pelupdate EXE --device PTY_DEVICE [--cache DIR]
"""
import argparse
import binascii
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ARGS = None
MODULES = {  # loaded in this order
    "usb-common": "kernel/drivers/usb/common/usb-common.ko",
    "usbcore": "kernel/drivers/usb/core/usbcore.ko",
    "xhci-hcd": "kernel/drivers/usb/host/xhci-hcd.ko",
    "xhci-pci": "kernel/drivers/usb/host/xhci-pci.ko",
    "usbserial": "kernel/drivers/usb/serial/usbserial.ko",
    "ftdi_sio": "kernel/drivers/usb/serial/ftdi_sio.ko",
}
PAYLOAD = bytes((i * 131 + i // 7) & 0xFF for i in range(3 * 512 - 40))  # 3 blocks, the last short
HEALTHY = "erase_ms 50\n"
UNPLUG_IN_BLOCK_2 = HEALTHY + "echo_delay_ms 1 900\n"  # time to pull the cable during block 2

VERSIONS = ("Bootloader firmware version: \n1.5\nNew main firmware version: \n2.0\n"
            "Old main firmware version: \n1.9\nDo you want to continue (Y or N)? \n")
PROMPT = "Do you want to continue (Y or N)? \n"
COMPLETE = VERSIONS + "Y \nErase OK.\n0 %\n34 %\n68 %\nFirmWare update OK."
ERROR = "Data exchange error."
# What the device hears in one complete run: the handshake at the firmware's
# rate, then the version query, the erase code and three blocks of 512 bytes
# with their echo results at the bootloader's.
HEARD_COMPLETE = [(1500000, "8N1", 6), (115200, "8N1", 4 + 8 + 3 * 513)]


def update_file(payload, major, minor):
    body = payload + bytes([major, minor])
    crc = binascii.crc_hqx(body, 0x56A8)
    return body + bytes([crc >> 8, crc & 0xFF])


# --- the kernel, from the cache or downloaded into it ---------------------

def apt_kernel_package():
    """The kernel image package linux-image-amd64 names, or None."""
    for attempt in range(2):
        r = subprocess.run(["apt-cache", "depends", "linux-image-amd64"],
                           capture_output=True, text=True)
        m = re.search(r"Depends: (linux-image-\S+-amd64)", r.stdout)
        if m:
            return m.group(1)
        if attempt == 0:
            sudo = [] if os.geteuid() == 0 else ["sudo"]
            subprocess.run(sudo + ["apt-get", "update", "-q"], stdout=subprocess.DEVNULL)
    return None


def kernel(cache):
    """A folder with vmlinuz and the modules the test loads."""
    package = apt_kernel_package()
    if package is None:  # no package lists: whatever kernel was cached before
        cached = sorted(d for d in os.listdir(cache) if os.path.exists(os.path.join(cache, d, "ready"))) \
            if os.path.isdir(cache) else []
        if not cached:
            sys.exit("cannot find the kernel package linux-image-amd64 names, and none is cached")
        return os.path.join(cache, cached[-1])
    folder = os.path.join(cache, package)
    if os.path.exists(os.path.join(folder, "ready")):
        return folder
    print(f"fetching {package} into {folder}", flush=True)
    os.makedirs(cache, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache) as work:
        os.chmod(work, 0o755)  # apt's download user writes there when run as root
        subprocess.run(["apt-get", "download", "-q", package], cwd=work, check=True,
                       stdout=subprocess.DEVNULL)
        deb = [f for f in os.listdir(work) if f.endswith(".deb")][0]
        subprocess.run(["dpkg-deb", "-x", deb, "x"], cwd=work, check=True)
        release = package[len("linux-image-"):]
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(os.path.join(folder, "modules"))
        shutil.copy(os.path.join(work, "x/boot", "vmlinuz-" + release), os.path.join(folder, "vmlinuz"))
        for name, path in MODULES.items():
            shutil.copy(os.path.join(work, "x/lib/modules", release, path),
                        os.path.join(folder, "modules", name + ".ko"))
    open(os.path.join(folder, "ready"), "w").close()
    return folder


# --- the machine's initramfs ----------------------------------------------

def shared_libraries(exe):
    """The files the dynamic loader maps for `exe`, by the paths it uses."""
    out = subprocess.run(["ldd", exe], capture_output=True, text=True, check=True).stdout
    paths = re.findall(r"=> (/\S+)", out) + re.findall(r"^\s*(/\S+) \(", out, re.M)
    return sorted(set(paths))


def busybox_root(root, folders, init_script):
    """An initramfs tree: the folders, busybox and `init_script` as /init."""
    for d in ("bin",) + tuple(folders):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    shutil.copy("/bin/busybox", os.path.join(root, "bin/busybox"))
    shutil.copy(init_script, os.path.join(root, "init"))
    os.chmod(os.path.join(root, "init"), 0o755)


def pack_initramfs(root, image):
    """The tree at `root` as a newc cpio archive (busybox's cpio: the host
    has no other)."""
    names = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
    with open(image, "wb") as out:
        subprocess.run(["busybox", "cpio", "-o", "-H", "newc"], cwd=root, input=names, stdout=out,
                       stderr=subprocess.DEVNULL, check=True)
    return image


def initramfs(folder, kernel_dir):
    root = os.path.join(folder, "root")
    busybox_root(root, ("usr/bin", "lib/modules", "etc", "fw", "home", "dev", "proc", "sys", "tmp"),
                 os.path.join(os.path.dirname(__file__), "guest_init.sh"))
    for name in MODULES:
        shutil.copy(os.path.join(kernel_dir, "modules", name + ".ko"), os.path.join(root, "lib/modules"))
    shutil.copy(ARGS.pelupdate, os.path.join(root, "usr/bin/pelupdate"))
    for lib in shared_libraries(ARGS.pelupdate):
        target = os.path.join(root, lib.lstrip("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(os.path.realpath(lib), target)
    with open(os.path.join(root, "etc/passwd"), "w") as f:
        f.write("root:x:0:0:root:/root:/bin/sh\npel:x:1000:1000:pel:/home/pel:/bin/sh\n")
    with open(os.path.join(root, "etc/group"), "w") as f:
        f.write("root:x:0:\ndialout:x:20:pel\npel:x:1000:\n")
    with open(os.path.join(root, "fw/PelBoot_VQ.fwu"), "wb") as f:
        f.write(update_file(PAYLOAD, 2, 0))
    for dirpath, _, files in os.walk(root):
        if any(f.startswith("libftd2xx") for f in files):
            sys.exit("a D2XX library would be in the machine")
    return pack_initramfs(root, os.path.join(folder, "initramfs.cpio"))


# --- the host's ends of the machine's lines -------------------------------

class Stream:
    """Everything that came in on a socket or pipe, kept for looking back."""

    def __init__(self, read):
        self.data = b""
        self.closed = False
        self.cond = threading.Condition()
        self.read = read
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        while True:
            try:
                chunk = self.read()
            except OSError:
                chunk = b""
            with self.cond:
                if not chunk:
                    self.closed = True
                    self.cond.notify_all()
                    return
                self.data += chunk
                self.cond.notify_all()

    def mark(self):
        with self.cond:
            return len(self.data)

    def wait_for(self, pattern, since=0, timeout=30.0):
        """The match of the regular expression in what came since `since`."""
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                m = re.search(pattern, self.data[since:].decode("latin-1"))
                if m or time.monotonic() >= end:
                    return m
                self.cond.wait(min(0.1, max(0.0, end - time.monotonic())))

    def text(self, since=0):
        with self.cond:
            return self.data[since:].decode("latin-1")


def connect_unix(path, timeout=10.0):
    end = time.monotonic() + timeout
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            if time.monotonic() > end:
                raise
            time.sleep(0.05)


class Terminal:
    """A serial port of the machine: the user's screen and keyboard."""

    def __init__(self, path):
        self.sock = connect_unix(path)
        self.stream = Stream(lambda: self.sock.recv(4096))

    def type(self, keys):
        self.sock.sendall(keys.encode())

    def screen(self, since):
        return self.stream.text(since).replace("\r\n", "\n")


class Guest:
    """The machine's command line on its first serial port."""

    def __init__(self, path):
        self.term = Terminal(path)

    def start(self, command):
        since = self.term.stream.mark()
        self.term.type(command + "\n")
        return since

    def finish(self, since, timeout=60.0):
        m = self.term.stream.wait_for(r"@@ (\d+)\r?\n", since, timeout)
        if m is None:
            raise AssertionError(f"no answer from the machine: {self.term.screen(since)!r}")
        out = self.term.screen(since)
        return int(m.group(1)), out[:out.rfind("@@ ")]

    def run(self, command, timeout=60.0):
        return self.finish(self.start(command), timeout)


class Qmp:
    def __init__(self, path):
        self.sock = connect_unix(path)
        self.file = self.sock.makefile("rw")
        self.events = []
        json.loads(self.file.readline())  # greeting
        self.execute("qmp_capabilities")

    def execute(self, command, **arguments):
        self.file.write(json.dumps({"execute": command, "arguments": arguments}) + "\n")
        self.file.flush()
        while True:
            reply = json.loads(self.file.readline())
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply:
                raise AssertionError(f"{command}: {reply['error']}")
            else:
                return reply["return"]

    def wait_event(self, name, timeout=10.0):
        self.sock.settimeout(timeout)
        try:
            while not any(e["event"] == name for e in self.events):
                self.events.append(json.loads(self.file.readline()))
        finally:
            self.sock.settimeout(None)
        self.events = [e for e in self.events if e["event"] != name]


class PtyDevice:
    """The device model behind the adapter's cable (pty_device)."""

    def __init__(self, folder):
        self.folder = folder
        self.proc = subprocess.Popen([ARGS.device], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.stream = Stream(lambda: os.read(self.proc.stdout.fileno(), 4096))
        m = self.stream.wait_for(r"pty (\S+)\n", 0, 5)
        self.pty = m.group(1)

    def command(self, line):
        since = self.stream.mark()
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        m = self.stream.wait_for(r"(?m)^(ok|error.*)$", since, 5)
        if m is None or m.group(1) != "ok":
            raise AssertionError(f"pty_device {line}: {m and m.group(1)}")

    def power_on(self, scenario):
        path = os.path.join(self.folder, "scenario.txt")
        with open(path, "w") as f:
            f.write(scenario)
        self.command("device " + path)
        return self.stream.mark()

    def flash(self, n):
        path = os.path.join(self.folder, "flash.bin")
        self.command(f"flash {path} {n}")
        with open(path, "rb") as f:
            return f.read()

    def heard(self, since):
        """(rate, format, bytes) for each stretch of bytes at one setting."""
        stretches = []
        for baud, fmt, n in re.findall(r"(?m)^rx (\d+) (\S+) (\d+)$", self.stream.text(since)):
            if stretches and stretches[-1][:2] == (int(baud), fmt):
                stretches[-1] = (int(baud), fmt, stretches[-1][2] + int(n))
            else:
                stretches.append((int(baud), fmt, int(n)))
        return stretches

    def stop(self):
        try:
            self.proc.stdin.write(b"quit\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=5)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()


class Machine:
    def __init__(self, folder, kernel_dir, image, device):
        self.folder = folder
        sock = lambda name: os.path.join(folder, name)
        self.trace = sock("qemu-trace.log")
        command = [
            "qemu-system-x86_64", "-accel", "tcg", "-m", "256", "-nodefaults", "-no-user-config",
            "-display", "none", "-no-reboot",
            "-kernel", os.path.join(kernel_dir, "vmlinuz"), "-initrd", image,
            "-append", "console=ttyS0 quiet panic=-1",
            "-qmp", f"unix:{sock('qmp')},server=on,wait=off",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", f"serial,id=cable,path={device.pty}",
            "-trace", "usb_serial_set_baud", "-trace", "usb_serial_set_data",
            "-trace", "usb_serial_set_flow_control", "-D", self.trace,
        ]
        for i in range(3):
            command += ["-chardev", f"socket,id=s{i},path={sock(f's{i}')},server=on,wait=off",
                        "-serial", f"chardev:s{i}"]
        with open(sock("qemu.out"), "wb") as out:
            self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.STDOUT)
        try:
            self.guest = Guest(sock("s0"))
            self.terminals = [None, Terminal(sock("s1")), Terminal(sock("s2"))]
            self.qmp = Qmp(sock("qmp"))
            if self.guest.term.stream.wait_for("@@ready\r?\n", 0, 120) is None:
                raise AssertionError("the machine did not boot: " + self.guest.term.screen(0)[-2000:])
        except BaseException:
            self.proc.kill()
            self.proc.wait()
            raise

    def plug(self):
        self.qmp.execute("device_add", driver="usb-serial", chardev="cable", id="adapter")

    def unplug(self):
        self.qmp.execute("device_del", id="adapter")

    def trace_mark(self):
        return os.path.getsize(self.trace)

    def line_set(self, since):
        """What the driver asked the emulated adapter for since the mark:
        (rates with repeats folded, data formats, flow control modes)."""
        with open(self.trace, "rb") as f:
            f.seek(since)
            text = f.read().decode("latin-1")
        rates = []
        for rate in re.findall(r"usb_serial_set_baud \S+ \S+ baud rate (\d+)", text):
            if not rates or rates[-1] != int(rate):
                rates.append(int(rate))
        formats = set(re.findall(r"usb_serial_set_data \S+ \S+ (.*)", text))
        flows = re.findall(r"usb_serial_set_flow_control \S+ \S+ flow control (\d+)", text)
        return rates, formats, [int(f) for f in flows]

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        for t in [self.guest.term] + self.terminals[1:]:
            t.sock.close()
        self.qmp.file.close()
        self.qmp.sock.close()


# --- the cases ------------------------------------------------------------

class RealDriver(unittest.TestCase):
    """Each case leaves the machine as the next one expects it."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="pel-kernel-")
        kernel_dir = kernel(ARGS.cache)
        image = initramfs(cls.folder, kernel_dir)
        cls.device = PtyDevice(cls.folder)
        start = time.monotonic()
        try:
            cls.vm = Machine(cls.folder, kernel_dir, image, cls.device)
        except BaseException:
            cls.device.stop()
            raise
        print(f"booted in {time.monotonic() - start:.1f} s", flush=True)
        cls.guest = cls.vm.guest
        cls.driver_loaded = cls.plugged = False

    @classmethod
    def tearDownClass(cls):
        cls.vm.stop()
        cls.device.stop()
        if os.environ.get("PEL_KERNEL_KEEP"):
            print("kept", cls.folder)
        else:
            shutil.rmtree(cls.folder, ignore_errors=True)

    def load_driver(self):
        if not self.driver_loaded:
            self.assertEqual(self.guest.run("load_driver"), (0, ""))
            type(self).driver_loaded = True

    def plug(self):
        """Plugs the adapter in; the name of its node."""
        self.load_driver()
        self.device.command("plug")
        self.vm.plug()
        type(self).plugged = True
        status, out = self.guest.run("adapter")
        self.assertEqual(status, 0, out)
        m = re.fullmatch(r"adapter (ttyUSB\d+) root:dialout 660\n", out)
        self.assertIsNotNone(m, out)
        return m.group(1)

    def unplug(self):
        self.vm.unplug()
        self.device.command("unplug")
        type(self).plugged = False
        self.vm.qmp.wait_event("DEVICE_DELETED")

    def start_run(self, terminal, folder):
        """Starts pelupdate on terminal ttyS<n>; returns what finish_run needs."""
        status, out = self.guest.run(f"prepare {folder}")
        self.assertEqual(status, 0, out)
        screen = self.vm.terminals[terminal].stream.mark()
        return terminal, screen, self.guest.start(f"run ttyS{terminal} {folder}")

    def answer(self, run, key="Y"):
        terminal, screen, _ = run
        term = self.vm.terminals[terminal]
        # The prompt, or the run has ended without it.
        term.stream.wait_for(re.escape(PROMPT.rstrip("\n")) + "|" + re.escape(ERROR), screen, 30)
        self.assertIn(PROMPT.rstrip("\n"), term.screen(screen))
        term.type(key)

    def finish_run(self, run, timeout=60):
        """The console text and the exit status of a run."""
        terminal, screen, since = run
        status, out = self.guest.finish(since, timeout)
        self.assertEqual(status, 0, out)
        m = re.search(rf"status ttyS{terminal} (\d+)", out)
        self.assertIsNotNone(m, out)
        return self.vm.terminals[terminal].screen(screen), int(m.group(1))

    def expect_flash(self):
        # The last block carries the file to its end (version and CRC), then
        # zeros; past it the flash is still erased.
        flash = self.device.flash(4 * 512)
        file = update_file(PAYLOAD, 2, 0)
        self.assertEqual(flash[:3 * 512], file + bytes(3 * 512 - len(file)))
        self.assertEqual(flash[3 * 512:], b"\xff" * 512)

    def test_1_no_driver_then_no_adapter(self):
        status, out = self.guest.run("su -s /bin/sh pel -c id")
        self.assertEqual(status, 0, out)
        self.assertRegex(out, r"^uid=1000\(pel\) gid=1000\(pel\) groups=[^ ]+\n$")
        self.assertEqual(sorted(re.search(r"groups=(\S+)", out).group(1).split(",")),
                         ["1000(pel)", "20(dialout)"])
        for state in ("driver not loaded", "driver loaded, no adapter"):
            with self.subTest(state):
                start = time.monotonic()
                screen, status = self.finish_run(self.start_run(1, "/home/pel/none"))
                self.assertEqual(screen, ERROR)
                self.assertEqual(status, 0)
                self.assertLess(time.monotonic() - start, 10)
            if state == "driver not loaded":
                self.load_driver()
                self.assertEqual(self.guest.run("ls /sys/bus/usb-serial/drivers/ftdi_sio | grep tty")[0], 1)

    def test_2_complete_update(self):
        self.assertEqual(self.plug(), "ttyUSB0")
        status, before = self.guest.run("latency ttyUSB0")
        self.assertEqual(status, 0, before)
        self.assertNotEqual(before.strip(), "1")  # not yet in low-latency mode
        heard = self.device.power_on(HEALTHY)
        trace = self.vm.trace_mark()

        start = time.monotonic()
        run = self.start_run(1, "/home/pel/complete")
        self.answer(run)
        screen, status = self.finish_run(run)
        print(f"complete update: {time.monotonic() - start:.1f} s", flush=True)
        self.assertEqual(screen, COMPLETE)
        self.assertEqual(status, 0)
        self.expect_flash()
        # The handshake at 1,500,000 baud, everything after at 115,200, 8N1
        # throughout: as the device heard it, and as the driver set it.
        self.assertEqual(self.device.heard(heard), HEARD_COMPLETE)
        # 115,384 is the FT232BM's nearest rate to 115,200 (3 MHz / 26); the
        # adapter starts at the tty's default 9600 when first opened.
        rates, formats, flows = self.vm.line_set(trace)
        self.assertEqual([r for r in rates if r != 9600], [1500000, 115384], rates)
        self.assertEqual(formats, {"parity N, data bits 8, stop bits 1"})
        self.assertEqual(flows[-1], 0, flows)  # no flow control
        # The driver's low-latency mode was taken, and stays with the port.
        self.assertEqual(self.guest.run("latency ttyUSB0"), (0, "1\n"))

    def test_3_cable_pulled_during_block_2_then_plugged_back(self):
        if not self.plugged:
            self.plug()
        heard = self.device.power_on(UNPLUG_IN_BLOCK_2)
        # Another program keeps the old node open across the pull, so the
        # driver gives the adapter the next number when it comes back.
        status, out = self.guest.run("adapter")
        self.assertEqual(status, 0, out)
        node = out.split()[1]
        self.assertEqual(self.guest.run(f"hold {node}"), (0, ""))
        run = self.start_run(1, "/home/pel/unplug")
        self.answer(run)
        # Block 1 is done; the device holds back the echo of block 2.
        term = self.vm.terminals[1]
        self.assertIsNotNone(term.stream.wait_for(r"\n0 %\r?\n", run[1], 30), term.screen(run[1]))
        pulled = time.monotonic()
        self.unplug()
        self.assertIsNotNone(term.stream.wait_for(re.escape(ERROR), run[1], 10), term.screen(run[1]))
        took = time.monotonic() - pulled
        print(f"cable pulled: closing message after {took:.2f} s", flush=True)
        self.assertLess(took, 3.0)
        screen, status = self.finish_run(run)
        self.assertEqual(screen, VERSIONS + "Y \nErase OK.\n0 %\n" + ERROR)
        self.assertEqual(status, 0)
        self.assertEqual(self.guest.run("gone"), (0, ""))

        # Plugged back in: the device kept its state (erased, in its
        # bootloader), so it no longer answers the handshake.
        self.assertEqual(self.plug(), "ttyUSB%d" % (int(node[6:]) + 1))
        self.assertEqual(self.guest.run("release"), (0, ""))
        run = self.start_run(1, "/home/pel/replugged")
        self.answer(run)
        screen, status = self.finish_run(run)
        self.assertEqual(screen, VERSIONS.replace("Old main firmware version: \n1.9\n",
                                                  "Old main firmware not find. \n")
                         + "Y \nErase OK.\n0 %\n34 %\n68 %\nFirmWare update OK.")
        self.assertEqual(status, 0)
        self.expect_flash()

    def test_4_two_instances_at_once(self):
        if not self.plugged:
            self.plug()
        heard = self.device.power_on(HEALTHY)
        trace = self.vm.trace_mark()
        for folder in ("/home/pel/first", "/home/pel/second"):
            self.assertEqual(self.guest.run(f"prepare {folder}"), (0, ""))
        screens = {n: self.vm.terminals[n].stream.mark() for n in (1, 2)}
        since = self.guest.start("two /home/pel/first /home/pel/second")
        # Whichever instance got the adapter asks; the other has ended.
        end = time.monotonic() + 30
        asked = None
        while asked is None and time.monotonic() < end:
            for n in (1, 2):
                if PROMPT in self.vm.terminals[n].screen(screens[n]):
                    asked = n
            time.sleep(0.05)
        self.assertIsNotNone(asked, {n: self.vm.terminals[n].screen(s) for n, s in screens.items()})
        self.vm.terminals[asked].type("Y")
        status, out = self.guest.finish(since, 60)
        self.assertEqual(status, 0, out)
        statuses = dict(re.findall(r"status ttyS(\d) (\d+)", out))
        self.assertEqual(statuses, {"1": "0", "2": "0"}, out)
        other = 3 - asked
        self.assertEqual(self.vm.terminals[asked].screen(screens[asked]), COMPLETE)
        self.assertEqual(self.vm.terminals[other].screen(screens[other]), ERROR)
        self.expect_flash()
        # The device heard one run at the bootloader's rate: the instance
        # that ended never reached the bootloader.
        stretches = self.device.heard(heard)
        self.assertEqual(stretches[1:], HEARD_COMPLETE[1:], stretches)
        self.assertEqual(stretches[0][:2], HEARD_COMPLETE[0][:2], stretches)
        # Nor did it touch the adapter at all: one handshake request, and the
        # driver was asked for the rates of one run only. The adapter stays
        # claimed through the updater's close and reopen after the handshake,
        # so an instance that comes in that pause stays out too.
        self.assertEqual(stretches[0][2], 6, stretches)
        # (The driver first restores the rate the port had when last closed.)
        rates, _, _ = self.vm.line_set(trace)
        self.assertEqual(rates.count(1500000), 1, rates)
        self.assertEqual(rates[rates.index(1500000):], [1500000, 115384], rates)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--pelupdate", required=True)
    parser.add_argument("--device", required=True)
    cache_home = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    parser.add_argument("--cache", default=os.path.join(cache_home, "pelupdate-kernel"))
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
