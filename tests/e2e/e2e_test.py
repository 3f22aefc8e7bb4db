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
import select
import shutil
import signal
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
    def __init__(self, out, transcript, flash, seconds, status, terminal=None, pending=None):
        self.out, self.transcript, self.flash = out, transcript, flash
        self.seconds, self.status = seconds, status
        # The terminal after the run: its [iflag, oflag, cflag, lflag, ...]
        # and the bytes still waiting in its input; None once it was closed.
        self.terminal, self.pending = terminal, pending

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


class Terminal:
    """The test's side of the program's terminal, for steps that do more
    than type: signal the program, or close the terminal as a closed window
    does."""

    def __init__(self, proc, master, build, folder):
        self.proc, self.master = proc, master
        self.build, self.folder = build, folder

    def close(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None


def run(build, scenario="", file=None, keys="y", library=True, ignore_hup=False):
    """Runs the program once in a fresh folder. `file` is the update file's
    content (default: PAYLOAD packed by pelfwu as version 2.0, False: none).
    `keys` is typed once the keyboard is live; or it is a list of steps
    (pattern, keys), each typed once the transcript matches the pattern, or
    the keyboard is live for the pattern None; instead of keys, a step may
    be a function of the Terminal. `ignore_hup` starts the program with
    SIGHUP ignored, as nohup does."""
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
            if ignore_hup:
                signal.signal(signal.SIGHUP, signal.SIG_IGN)

        start = time.monotonic()
        proc = subprocess.Popen(build.command(folder), cwd=folder, env=build.env(folder),
                                stdin=slave, stdout=out, stderr=slave, start_new_session=True,
                                preexec_fn=take_terminal)
        # The test keeps the terminal's slave side, to read its settings and
        # what is left in its input after the program has ended.
        out.close()
        drained = []
        terminal = Terminal(proc, master, build, folder)
        drain = threading.Thread(target=drain_terminal, args=(terminal, drained), daemon=True)
        drain.start()
        log = os.path.join(folder, "scenario.txt.log")
        for pattern, action in keys:
            if pattern is None:
                build.wait_for_keyboard(master, folder)
            else:
                wait_until(lambda: re.search(pattern, read(log)) is not None, 30)
            if callable(action):
                action(terminal)
            else:
                os.write(master, action.encode())
        try:
            status = proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            status = proc.wait()
        seconds = time.monotonic() - start
        settings = pending = None
        if terminal.master is not None:
            settings = termios.tcgetattr(slave)
            pending = struct.unpack("i", fcntl.ioctl(slave, termios.FIONREAD, b"\0" * 4))[0]
        terminal.close()
        os.close(slave)
        out_bytes = read(os.path.join(folder, "stdout.txt"), "rb").decode("latin-1")
        return Run(out_bytes, read(log), read(log[:-4] + ".flash", "rb"), seconds, status,
                   settings, pending)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def drain_terminal(terminal, sink):
    # Short waits only: a read in progress would hold the master open after
    # the test closed it, and the terminal would never hang up.
    while terminal.master is not None:
        try:
            ready, _, _ = select.select([terminal.master], [], [], 0.05)
            if ready:
                data = os.read(terminal.master, 4096)
                if not data:
                    return
                sink.append(data)
        except (OSError, ValueError, TypeError):
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


def send(sig):
    return lambda terminal: terminal.proc.send_signal(sig)


def close_terminal(terminal):
    terminal.close()


# When an interruption comes: while the bootloader is being entered, at the
# prompt, or during programming (the first block on its way).
MOMENTS = {
    "before the prompt": r"FT_Write n=6",
    "at the prompt": r"FT_Write n=4 .*\n.*FT_Read n=4 .* moved=4",
    "during programming": r"FT_Write n=512",
}


class NativeInterruptions(unittest.TestCase):
    """Ctrl+C, Ctrl+Z and Ctrl+\\ are key presses; SIGTERM, SIGHUP and a closed
    terminal ask the run to end; an ignored SIGHUP stays ignored. Whatever
    comes, the run ends with one closing message, the link closed, whole
    blocks in the flash, the terminal as it was and nothing left in its
    input."""

    build = Native()
    SCENARIO = "erase_ms 300\nprogram_ms 100\n"

    def expect_whole_blocks(self, r):
        # Each block's payload bytes: all written or all still erased.
        spans = [(k * 512, min((k + 1) * 512, len(PAYLOAD))) for k in range(4)]
        written = [r.flash[a:b] == PAYLOAD[a:b] for a, b in spans]
        erased = [r.flash[a:b] == b"\xff" * (b - a) for a, b in spans]
        self.assertTrue(all(w or e for w, e in zip(written, erased)), "a block was cut off")
        self.assertEqual(written, sorted(written, reverse=True), "blocks out of order")
        return sum(written)

    def expect_clean_end(self, r, terminal_kept=True):
        self.assertEqual(r.status, 0)
        self.assertEqual(r.calls()[-1][2], "FT_Close", r.transcript)
        if terminal_kept:
            iflag, lflag = r.terminal[0], r.terminal[3]
            on = termios.ICANON | termios.ECHO | termios.ISIG | termios.IEXTEN
            self.assertEqual(lflag & on, on)
            self.assertEqual(iflag & termios.IXON, termios.IXON)
            self.assertEqual(r.pending, 0, "keys were left for the shell")

    def test_interruptions(self):
        # (what, action, ends the run, terminal kept)
        kinds = [
            ("Ctrl+C", "\x03", False, True),
            ("Ctrl+Z", "\x1a", False, True),
            ("Ctrl+\\", "\x1c", False, True),
            ("SIGTERM", send(signal.SIGTERM), True, True),
            ("SIGHUP", send(signal.SIGHUP), True, True),
            ("terminal closed", close_terminal, True, False),
        ]
        cases = [(k, m) for k in kinds for m in MOMENTS]
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            runs = list(pool.map(lambda c: self.interrupt(c[0][1], c[1]), cases))
        for ((what, _, ends, kept), moment), r in zip(cases, runs):
            with self.subTest(what, moment=moment):
                programming = moment == "during programming"
                if programming:
                    self.assertTrue(r.out.endswith("Firmware update terminated by user."), r.out)
                    self.assertLess(self.expect_whole_blocks(r), 4)
                elif ends:
                    # No answer can come: the run ends at the prompt, nothing erased.
                    self.assertEqual(r.out, VERSIONS + "Exit.")
                else:
                    # A key for the prompt, ignored there; the N typed after it answers.
                    self.assertEqual(r.out, VERSIONS + "N \nExit.")
                if not programming:
                    self.assertEqual(r.written("3ED107C562B49F28"), 0)
                self.expect_clean_end(r, kept)

    def interrupt(self, action, moment):
        steps = [(MOMENTS[moment], action)]
        if moment == "during programming":
            steps.insert(0, (None, "y"))
        elif not callable(action):
            steps.append((None, "N"))
        return run(self.build, self.SCENARIO, keys=steps)

    def test_ignored_hangup_stays_ignored(self):
        # Started under nohup: neither the signal nor the closed terminal
        # stops the update, at the prompt or during programming.
        cases = [("SIGHUP at the prompt", [(MOMENTS["at the prompt"], send(signal.SIGHUP)),
                                           (None, "y")], True),
                 ("SIGHUP during programming",
                  [(None, "y"), (MOMENTS["during programming"], send(signal.SIGHUP))], True),
                 ("terminal closed during programming",
                  [(None, "y"), (MOMENTS["during programming"], close_terminal)], False)]
        with concurrent.futures.ThreadPoolExecutor(3) as pool:
            runs = list(pool.map(lambda c: run(self.build, self.SCENARIO, keys=c[1],
                                               ignore_hup=True), cases))
        for (what, _, kept), r in zip(cases, runs):
            with self.subTest(what):
                self.assertEqual(r.out, VERSIONS + "Y \n" + PROGRESS + "FirmWare update OK.")
                self.assertEqual(self.expect_whole_blocks(r), 4)
                self.expect_clean_end(r, kept)

    def test_keys_after_the_answer_never_reach_the_shell(self):
        # The Enter typed after Y is a key press: programming stops after the
        # first block, and the Enter is not left for the shell.
        r = run(self.build, self.SCENARIO, keys="y\r")
        self.assertEqual(r.out, VERSIONS + "Y \nErase OK.\n0 %\nFirmware update terminated by user.")
        self.assertEqual(self.expect_whole_blocks(r), 1)
        self.expect_clean_end(r)

    def test_update_file_that_is_no_regular_file(self):
        # A FIFO nobody writes to, and a device node: refused at once.
        for what, make in (("FIFO", os.mkfifo),
                           ("device", lambda path: os.symlink("/dev/zero", path))):
            with self.subTest(what):
                folder = tempfile.mkdtemp(prefix="pel-e2e-")
                try:
                    make(os.path.join(folder, "PelBoot_VQ.fwu"))
                    proc = subprocess.run([ARGS.native[0]], cwd=folder, capture_output=True,
                                          stdin=subprocess.DEVNULL, timeout=20,
                                          env=dict(os.environ, LD_LIBRARY_PATH=ARGS.native[1]))
                    self.assertEqual(proc.stdout, b"Update-file not found.")
                    self.assertEqual(proc.returncode, 0)
                finally:
                    shutil.rmtree(folder, ignore_errors=True)


class UnderWine:
    """Test cases of the Windows build: one Wine prefix for the class."""

    @classmethod
    def setUpClass(cls):
        if not ARGS.windows:
            raise unittest.SkipTest("no Windows build given")
        Windows.start_prefix()

    @classmethod
    def tearDownClass(cls):
        Windows.stop_prefix()


class WindowsInterruptions(UnderWine, unittest.TestCase):
    """Ctrl+C under Wine: its console host turns the key into a console
    event, which the program counts as a key press. (Wine 8 can deliver
    neither Ctrl+Break nor the console's close, logoff or shutdown events
    to a program in a pseudo-terminal.)"""

    build = Windows()

    def console_key(self, *args):
        """Runs the console tool of the Windows build in the program's Wine
        prefix; returns its output."""
        tool = os.path.join(os.path.dirname(ARGS.windows[0]), "tests", "windows", "console_key.exe")
        if not os.path.exists(tool):
            self.skipTest("no console_key.exe in the Windows build")
        return lambda terminal: self.modes.append(subprocess.run(
            ["wine", tool, *args], env=terminal.build.env(terminal.folder), stdin=subprocess.DEVNULL,
            capture_output=True, timeout=60).stdout.decode())

    def test_ctrl_c_as_a_key_record(self):
        # Ctrl+C as the console keyboard records it: with processed input
        # off it is the key code 3, which the prompt ignores and which stops
        # programming after the current block.
        self.modes = []
        inject = self.console_key("pelupdate.exe")
        end = self.build.line_end
        r = run(self.build, NativeInterruptions.SCENARIO,
                keys=[(MOMENTS["at the prompt"], inject), (MOMENTS["at the prompt"], lambda t: time.sleep(0.5)),
                      (MOMENTS["at the prompt"], "y"), (MOMENTS["during programming"], inject)])
        self.assertTrue(r.out.startswith((VERSIONS + "Y \nErase OK.\n0 %\n").replace("\n", end)), r.out)
        self.assertTrue(r.out.endswith("Firmware update terminated by user."), r.out)
        self.assertLess(r.written("01"), 4)
        self.assertEqual(r.calls()[-1][2], "FT_Close", r.transcript)
        self.assertEqual(len(self.modes), 2, self.modes)
        for report in self.modes:
            mode = int(re.search(r"mode 0x([0-9a-f]+)", report).group(1), 16)
            self.assertEqual(mode & 0x1, 0, report)  # ENABLE_PROCESSED_INPUT off for the run

    def test_console_comes_back_to_the_shell(self):
        # The console outlives the program when a command shell started it:
        # the shell finds its input mode as it was, and the Enter typed after
        # Y (which stopped programming) is not left for it.
        tool = os.path.join(os.path.dirname(ARGS.windows[0]), "tests", "windows", "console_key.exe")
        if not os.path.exists(tool):
            self.skipTest("no console_key.exe in the Windows build")
        shell = CommandShell(tool)
        r = run(shell, NativeInterruptions.SCENARIO, keys="y\r")
        end = self.build.line_end
        self.assertTrue(r.out.startswith(
            (VERSIONS + "Y \nErase OK.\n0 %\nFirmware update terminated by user.").replace("\n", end)), r.out)
        report = re.search(r"mode 0x([0-9a-f]+) waiting (\d+)$", r.out)
        self.assertIsNotNone(report, r.out)
        self.assertEqual(int(report.group(1), 16) & 0x1, 0x1)  # processed input on again
        self.assertEqual(int(report.group(2)), 0)

    def test_ctrl_c(self):
        end = self.build.line_end
        cases = [
            # Taken by the prompt and ignored there; the N typed after it answers.
            ("before the prompt", [(MOMENTS["before the prompt"], "\x03"), (MOMENTS["at the prompt"], "N")],
             VERSIONS + "N \nExit."),
            ("at the prompt", [(MOMENTS["at the prompt"], "\x03"), (r"FT_Read n=4 .* moved=4\n", "N")],
             VERSIONS + "N \nExit."),
            ("during programming", [(None, "y"), (MOMENTS["during programming"], "\x03")], None),
        ]
        for what, steps, expected in cases:
            with self.subTest(what):
                r = run(self.build, NativeInterruptions.SCENARIO, keys=steps)
                if expected is None:
                    self.assertTrue(r.out.endswith("Firmware update terminated by user."), r.out)
                    self.assertIn("Y " + end + "Erase OK.", r.out)
                else:
                    self.assertEqual(r.out, expected.replace("\n", end))
                self.assertEqual(r.status, 0)
                self.assertEqual(r.calls()[-1][2], "FT_Close", r.transcript)


class CommandShell(Windows):
    """pelupdate.exe started by cmd, which then runs the console tool in the
    same console."""

    def __init__(self, tool):
        self.tool = tool

    def prepare(self, folder, library=True):
        super().prepare(folder, library)
        shutil.copy(self.tool, os.path.join(folder, "app", "console_key.exe"))

    def command(self, folder):
        return ["wine", "cmd", "/c", "app\\pelupdate.exe & app\\console_key.exe --self"]


class NativeEndToEnd(Scenarios, unittest.TestCase):
    build = Native()


class WindowsEndToEnd(UnderWine, Scenarios, unittest.TestCase):
    build = Windows()


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
