#!/usr/bin/env python3
"""End-to-end runs of the real executables against the simulated adapter
library: pelupdate natively, with libftd2xx.so found through the loader's
path, and pelupdate.exe under Wine in a private prefix, with FTD2XX.DLL
beside it. Each runs in a pseudo-terminal with keys typed as a person would,
standard output going to a file for byte-exact checks.

Usage: e2e_test.py --pelfwu P --native EXE SIMDIR [--windows EXE DLL]
"""
import argparse
import concurrent.futures
import fcntl
import os
import pty
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

ARGS = None
BLOCK_WIRE_S = 1026 * 10 / 115200  # one block's exchange on the wire
PAYLOAD_LEN = 4 * 512 - 100         # four blocks, the last one partial

VERSIONS = ("Bootloader firmware version: \n1.5\nNew main firmware version: \n2.0\n"
            "Old main firmware version: \n1.9\nDo you want to continue (Y or N)? \n")
PROGRESS = "Erase OK.\n0 %\n26 %\n52 %\n78 %\n"


class Run:
    def __init__(self, out, transcript, flash, seconds, status):
        self.out, self.transcript, self.flash = out, transcript, flash
        self.seconds, self.status = seconds, status

    def calls(self):
        """(start_ms, end_ms, name, rest) for each library call."""
        result = []
        for line in self.transcript.splitlines():
            start, end, name, *rest = line.split(" ")
            result.append((float(start), float(end), name, " ".join(rest)))
        return result

    def written(self, hexbytes):
        return sum(1 for c in self.calls() if c[2] == "FT_Write" and c[3].endswith(" " + hexbytes))


class Build:
    """How one executable is started with the simulated adapter."""

    name = None
    line_end = "\n"

    def prepare(self, folder, library=True):
        raise NotImplementedError

    def command(self, folder):
        raise NotImplementedError

    def env(self, folder):
        return dict(os.environ, PELSIM_SCENARIO="scenario.txt")

    def wait_for_keyboard(self, master, folder):
        """Returns once a key typed now will be read at the prompt."""
        raise NotImplementedError


class Native(Build):
    name = "native"

    def prepare(self, folder, library=True):
        self.libdir = ARGS.native[1] if library else os.path.join(folder, "nolib")
        os.makedirs(os.path.join(folder, "nolib"), exist_ok=True)

    def command(self, folder):
        return [ARGS.native[0]]

    def env(self, folder):
        return dict(super().env(folder), LD_LIBRARY_PATH=self.libdir)

    def wait_for_keyboard(self, master, folder):
        # The program takes the terminal out of canonical mode at its start.
        wait_until(lambda: not termios.tcgetattr(master)[3] & termios.ICANON, 10)


class Windows(Build):
    name = "windows"
    line_end = "\r\n"
    prefix = None

    @classmethod
    def start_prefix(cls):
        cls.prefix = tempfile.mkdtemp(prefix="pel-wine-")
        env = dict(os.environ, WINEPREFIX=cls.prefix, WINEDEBUG="-all")
        subprocess.run(["wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)

    @classmethod
    def stop_prefix(cls):
        if cls.prefix:
            subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=cls.prefix),
                           timeout=60)
            shutil.rmtree(cls.prefix, ignore_errors=True)

    def prepare(self, folder, library=True):
        app = os.path.join(folder, "app")
        os.makedirs(app, exist_ok=True)
        shutil.copy(ARGS.windows[0], os.path.join(app, "pelupdate.exe"))
        if library:
            shutil.copy(ARGS.windows[1], os.path.join(app, "FTD2XX.DLL"))

    def command(self, folder):
        return ["wine", os.path.join(folder, "app", "pelupdate.exe")]

    def env(self, folder):
        return dict(super().env(folder), WINEPREFIX=self.prefix, WINEDEBUG="-all")

    def wait_for_keyboard(self, master, folder):
        # Wine keeps keys typed ahead for _getch; wait for the program to
        # have started at all.
        wait_until(lambda: os.path.exists(os.path.join(folder, "scenario.txt.log")), 30)


def wait_until(condition, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.01)
    return False


def read(path, mode="r"):
    if not os.path.exists(path):
        return b"" if "b" in mode else ""
    with open(path, mode, newline="" if "b" not in mode else None) as f:
        return f.read()


def run(build, scenario="", file=None, keys="y", library=True):
    """Runs the program once in a fresh folder. `file` is the update file's
    content (default: PAYLOAD packed by pelfwu as version 2.0, False: none).
    `keys` is typed once the keyboard is live; or it is a list of steps
    (pattern, keys), each typed once the transcript matches the pattern, or
    the keyboard is live for the pattern None."""
    if isinstance(keys, str):
        keys = [(None, keys)] if keys else []
    folder = tempfile.mkdtemp(prefix="pel-e2e-")
    try:
        build.prepare(folder, library)
        with open(os.path.join(folder, "scenario.txt"), "w") as f:
            f.write(scenario)
        if file is None:
            with open(os.path.join(folder, "payload.bin"), "wb") as f:
                f.write(PAYLOAD)
            subprocess.run([ARGS.pelfwu, "pack", "payload.bin", "2.0"], cwd=folder, check=True)
        elif file is not False:
            with open(os.path.join(folder, "PelBoot_VQ.fwu"), "wb") as f:
                f.write(file)

        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 120, 0, 0))
        out = open(os.path.join(folder, "stdout.txt"), "wb")

        def take_terminal():
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        start = time.monotonic()
        proc = subprocess.Popen(build.command(folder), cwd=folder, env=build.env(folder),
                                stdin=slave, stdout=out, stderr=slave, start_new_session=True,
                                preexec_fn=take_terminal)
        os.close(slave)
        out.close()
        drained = []
        drain = threading.Thread(target=drain_terminal, args=(master, drained), daemon=True)
        drain.start()
        log = os.path.join(folder, "scenario.txt.log")
        for pattern, text in keys:
            if pattern is None:
                build.wait_for_keyboard(master, folder)
            else:
                wait_until(lambda: re.search(pattern, read(log)) is not None, 30)
            os.write(master, text.encode())
        try:
            status = proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            status = proc.wait()
        seconds = time.monotonic() - start
        os.close(master)
        out_bytes = read(os.path.join(folder, "stdout.txt"), "rb").decode("latin-1")
        return Run(out_bytes, read(log), read(log[:-4] + ".flash", "rb"), seconds, status)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def drain_terminal(master, sink):
    try:
        while True:
            data = os.read(master, 4096)
            if not data:
                return
            sink.append(data)
    except OSError:
        return


PAYLOAD = bytes((i * 37 + i // 512) & 0xFF for i in range(PAYLOAD_LEN))


class Scenarios:
    """The cases each build must pass; mixed into one TestCase per build."""

    build = None

    def expect_output(self, r, text):
        self.assertEqual(r.out, text.replace("\n", self.build.line_end))
        self.assertEqual(r.status, 0)

    def expect_closed_then_paused(self, r):
        calls = r.calls()
        self.assertEqual(calls[-1][2], "FT_Close", r.transcript)
        # The closing pause follows the close.
        self.assertGreaterEqual(r.seconds, calls[-1][1] / 1000 + 1.0)

    def expect_flash(self, r):
        self.assertEqual(r.flash[:len(PAYLOAD)], PAYLOAD)
        self.assertEqual(r.flash[4 * 512:], b"\xff" * (len(r.flash) - 4 * 512))

    def test_complete_update(self):
        r = run(self.build, "erase_ms 300\nprogram_ms 5\n")
        self.expect_output(r, VERSIONS + "Y \n" + PROGRESS + "FirmWare update OK.")
        self.expect_closed_then_paused(r)
        self.expect_flash(r)
        self.assertEqual(sum(1 for c in r.calls() if c[2] == "FT_SetLatencyTimer" and c[3] == "2 -> 0"), 2)
        # reopen pause, erase, four blocks on the wire, closing pause
        self.assertGreaterEqual(r.seconds, 0.1 + 0.3 + 4 * BLOCK_WIRE_S + 1.0)
        self.assertLess(r.seconds, 20)

    def test_answer_n(self):
        r = run(self.build, keys="xN")
        self.expect_output(r, VERSIONS + "N \nExit.")
        self.expect_closed_then_paused(r)
        self.assertEqual(r.written("3ED107C562B49F28"), 0)  # never erased

    def test_missing_and_corrupt_update_file(self):
        for content, message in ((False, "Update-file not found."),
                                 (bytes([0x61, 0x62, 0x63, 0x01, 0x02, 0x7D, 0x61]), "Hex-file error.")):
            with self.subTest(message):
                r = run(self.build, file=content, keys="")
                self.expect_output(r, message)
                self.assertEqual(r.transcript, "")  # the adapter was never touched
                self.assertGreaterEqual(r.seconds, 1.0)

    def test_no_adapter_library(self):
        r = run(self.build, library=False, keys="")
        self.expect_output(r, "Data exchange error.")
        self.assertGreaterEqual(r.seconds, 1.0)

    def test_adapter_fails_to_open(self):
        r = run(self.build, "no_device\n", keys="")
        self.expect_output(r, "Data exchange error.")
        self.assertEqual([c[2] for c in r.calls()], ["FT_Open"])

    def test_key_press_during_programming(self):
        r = run(self.build, "program_ms 100\n", keys=[(None, "y"), (r"FT_Write n=512", "q")])
        self.assertTrue(r.out.endswith("Firmware update terminated by user."), r.out)
        self.assertIn("Y " + self.build.line_end + "Erase OK.", r.out)
        self.expect_closed_then_paused(r)
        self.assertLess(r.written("01"), 4)

    def test_rejected_block_is_resent(self):
        r = run(self.build, "reject 1 1\n")
        self.expect_output(r, VERSIONS + "Y \n" + PROGRESS + "FirmWare update OK.")
        self.assertEqual(r.written("01"), 5)
        self.expect_flash(r)

    def test_twentieth_rejection(self):
        r = run(self.build, "reject 2 20\nprogram_ms 1\n")
        self.expect_output(r, VERSIONS + "Y \nErase OK.\n0 %\n26 %\nData exchange error.")
        self.assertEqual(r.written("01"), 22)
        self.expect_closed_then_paused(r)

    def test_echo_corrupted_in_transit(self):
        r = run(self.build, "echo_corrupt 1 77\n")
        self.expect_output(r, VERSIONS + "Y \n" + PROGRESS + "FirmWare update OK.")
        self.assertEqual(r.written("FF"), 1)
        self.expect_flash(r)

    def test_adapter_unplugged_mid_update(self):
        # Handshake, query and erase command are 18 bytes; pulled out inside block 2.
        r = run(self.build, f"unplug_at_byte {18 + 2 * 513 + 300}\n")
        self.expect_output(r, VERSIONS + "Y \nErase OK.\n0 %\n26 %\nData exchange error.")
        self.expect_closed_then_paused(r)
        self.assertIn("-> 4", r.calls()[-2][3])
        # An unplugged adapter fails at once: the poll spins to its deadline.
        self.assertGreaterEqual(r.calls()[-1][0] - r.calls()[0][0], 1000)


class NativeEndToEnd(Scenarios, unittest.TestCase):
    build = Native()


class WindowsEndToEnd(Scenarios, unittest.TestCase):
    build = Windows()

    @classmethod
    def setUpClass(cls):
        if not ARGS.windows:
            raise unittest.SkipTest("no Windows build given")
        Windows.start_prefix()

    @classmethod
    def tearDownClass(cls):
        Windows.stop_prefix()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--pelfwu", required=True)
    parser.add_argument("--native", nargs=2, required=True)
    parser.add_argument("--windows", nargs=2)
    ARGS, rest = parser.parse_known_args()
    ARGS.pelfwu = os.path.abspath(ARGS.pelfwu)
    ARGS.native = [os.path.abspath(p) for p in ARGS.native]
    if ARGS.windows:
        ARGS.windows = [os.path.abspath(p) for p in ARGS.windows]
    unittest.main(argv=[sys.argv[0], "-v", *rest])
