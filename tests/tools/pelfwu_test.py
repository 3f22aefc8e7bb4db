#!/usr/bin/env python3
"""pelfwu against files built without it (Python's own CRC-16/XMODEM with a
seed), and against the updater's own verdict on the same files.

Usage: pelfwu_test.py PELFWU PELUPDATE [--windows PELFWU_EXE] [unittest arguments]

With --windows, WindowsNames runs the Windows build under Wine as well.
"""
import argparse
import binascii
import concurrent.futures
import os
import pty
import re
import resource
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import unittest

PELFWU = PELUPDATE = PELFWU_EXE = None
CAPACITY = 5_000_000
MAX_PAYLOAD = CAPACITY - 4
WINE64 = "/usr/lib/wine/wine64"  # Debian's


def sealed(payload, major, minor):
    body = bytes(payload) + bytes([major, minor])
    return body + binascii.crc_hqx(body, 0x56A8).to_bytes(2, "big")


def pelfwu(*args, cwd=None, preexec_fn=None):
    return subprocess.run([PELFWU, *args], cwd=cwd, capture_output=True, text=True, timeout=60,
                          preexec_fn=preexec_fn)


def entries(folder):
    return sorted(os.listdir(folder))


class Fixtures:
    """Files every check below is run against: (name, content, accepted)."""

    @staticmethod
    def all():
        big = bytes((i * 31 + 7) & 0xFF for i in range(CAPACITY - 4))
        swapped = bytearray(sealed(b"abc", 1, 2))
        swapped[-2], swapped[-1] = swapped[-1], swapped[-2]
        flipped = bytearray(sealed(b"hello", 3, 4))
        flipped[1] ^= 0x10
        return [
            ("worked example, empty payload", bytes([0x01, 0x00, 0xA3, 0xCA]), True),
            ("worked example, abc", bytes([0x61, 0x62, 0x63, 0x01, 0x02, 0x61, 0x7D]), True),
            ("line ends and 0x1A", sealed(b"\r\n\x1a\n\r\x1a", 9, 1), True),
            ("512 bytes", sealed(bytes(range(256)) * 2, 255, 255), True),
            ("swapped CRC", bytes(swapped), False),
            ("payload bit flipped", bytes(flipped), False),
            ("empty", b"", False),
            ("two bytes: the seed", bytes([0x56, 0xA8]), False),
            ("exactly the capacity", sealed(big, 7, 7), True),
            ("capacity plus junk", sealed(big, 7, 7) + b"\xAA\xBB", True),
            ("longer, valid only as a whole", sealed(big + b"xyz", 1, 0), False),
        ]


class Pack(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.d = self.dir.name

    def tearDown(self):
        self.dir.cleanup()

    def write(self, name, content):
        path = os.path.join(self.d, name)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def read(self, name):
        with open(os.path.join(self.d, name), "rb") as f:
            return f.read()

    def test_output_matches_an_independent_crc(self):
        cases = [(b"", 1, 0), (b"abc", 1, 2), (bytes(range(256)) * 9, 0, 255),
                 (b"\r\n\x1a" * 300, 255, 0)]
        for payload, major, minor in cases:
            self.write("payload.bin", payload)
            erase = ["--erase-only"] if not payload else []
            r = pelfwu("pack", "payload.bin", f"{major}.{minor}", "--force", *erase, cwd=self.d)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(self.read("PelBoot_VQ.fwu"), sealed(payload, major, minor))

    def test_worked_examples(self):
        self.write("empty.bin", b"")
        self.write("abc.bin", b"abc")
        self.assertEqual(pelfwu("pack", "empty.bin", "1.0", "-o", "a.fwu", "--erase-only",
                                cwd=self.d).returncode, 0)
        self.assertEqual(pelfwu("pack", "abc.bin", "1.2", "-o", "b.fwu", cwd=self.d).returncode, 0)
        self.assertEqual(self.read("a.fwu"), bytes([0x01, 0x00, 0xA3, 0xCA]))
        self.assertEqual(self.read("b.fwu"), bytes([0x61, 0x62, 0x63, 0x01, 0x02, 0x61, 0x7D]))

    def test_refusals_leave_nothing_behind(self):
        self.write("p.bin", b"abc")
        self.write("max.bin", bytes(CAPACITY - 4))
        self.write("toolarge.bin", bytes(CAPACITY - 3))
        cases = [
            ("version part above 255", ["p.bin", "256.0"]),
            ("negative version", ["p.bin", "-1.0"]),
            ("no minor", ["p.bin", "1"]),
            ("letters", ["p.bin", "1.x"]),
            ("three parts", ["p.bin", "1.2.3"]),
            ("payload too large", ["toolarge.bin", "1.0"]),
            ("unreadable payload", ["missing.bin", "1.0"]),
            ("payload is a folder", [".", "1.0"]),
            ("missing arguments", ["p.bin"]),
        ]
        for what, args in cases:
            with self.subTest(what):
                r = pelfwu("pack", *args, "-o", "out.fwu", cwd=self.d)
                self.assertEqual(r.returncode, 2, what)
                self.assertTrue(r.stderr.startswith("pelfwu: "), r.stderr)
                self.assertEqual(r.stdout, "")
                self.assertEqual(sorted(os.listdir(self.d)), ["max.bin", "p.bin", "toolarge.bin"])
                if args[0] == "p.bin" and len(args) == 2:  # a bad version
                    self.assertIn(f"version '{args[1]}' is not MAJOR.MINOR", r.stderr)
        # The largest payload that fits is taken.
        r = pelfwu("pack", "max.bin", "1.0", "-o", "max.fwu", cwd=self.d)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.path.getsize(os.path.join(self.d, "max.fwu")), CAPACITY)

    def test_existing_output_needs_force(self):
        self.write("p.bin", b"new")
        self.write("PelBoot_VQ.fwu", b"old file")
        r = pelfwu("pack", "p.bin", "2.0", cwd=self.d)
        self.assertEqual(r.returncode, 2)
        self.assertIn("--force", r.stderr)
        self.assertEqual(self.read("PelBoot_VQ.fwu"), b"old file")
        r = pelfwu("pack", "p.bin", "2.0", "--force", cwd=self.d)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read("PelBoot_VQ.fwu"), sealed(b"new", 2, 0))
        self.assertEqual(sorted(os.listdir(self.d)), ["PelBoot_VQ.fwu", "p.bin"])

    def test_unwritable_output_keeps_the_old_file(self):
        self.write("p.bin", b"abc")
        os.mkdir(os.path.join(self.d, "out.fwu"))  # a folder in the way
        r = pelfwu("pack", "p.bin", "1.0", "-o", "out.fwu", "--force", cwd=self.d)
        self.assertNotEqual(r.returncode, 0)
        self.assertTrue(os.path.isdir(os.path.join(self.d, "out.fwu")))
        self.assertEqual(sorted(os.listdir(self.d)), ["out.fwu", "p.bin"])


class InfoAndCheck(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.files = []
        for i, (name, content, accepted) in enumerate(Fixtures.all()):
            path = os.path.join(cls.dir.name, f"f{i}.fwu")
            with open(path, "wb") as f:
                f.write(content)
            cls.files.append((name, path, content, accepted))

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_check_and_info_verdicts(self):
        for name, path, content, accepted in self.files:
            with self.subTest(name):
                r = pelfwu("check", path)
                self.assertEqual(r.returncode, 0 if accepted else 1, name)
                self.assertEqual(r.stdout + r.stderr, "")
                r = pelfwu("info", path)
                self.assertEqual(r.returncode, 0 if accepted else 1, name)
                self.assertIn("accepted:   yes" if accepted else "accepted:   no", r.stdout)

    def test_info_figures(self):
        path = os.path.join(self.dir.name, "three-blocks.fwu")
        content = sealed(bytes(1500), 2, 30)
        with open(path, "wb") as f:
            f.write(content)
        crc = int.from_bytes(content[-2:], "big")
        out = pelfwu("info", path).stdout
        self.assertIn("version:    2.30\n", out)
        self.assertIn("payload:    1500 bytes\n", out)
        self.assertIn(f"crc:        stored 0x{crc:04X}, computed 0x{crc:04X}, match\n", out)
        self.assertIn("blocks:     3 of 512 bytes\n", out)
        # 3 blocks x 1026 bytes x 10 bits / 115200 baud = 0.267 s
        self.assertIn("wire time:  0.27 s at 115,200 baud (1026 bytes a block)\n", out)

        swapped = content[:-2] + content[-1:] + content[-2:-1]
        with open(path, "wb") as f:
            f.write(swapped)
        out = pelfwu("info", path).stdout
        self.assertIn(f"stored 0x{int.from_bytes(swapped[-2:], 'big'):04X}, "
                      f"computed 0x{crc:04X}, MISMATCH", out)

    def test_unreadable_file(self):
        for args in (["info", "/nonexistent/x.fwu"], ["check", "/nonexistent/x.fwu"],
                     ["check", self.dir.name]):
            r = pelfwu(*args)
            self.assertEqual(r.returncode, 2, args)
            self.assertTrue(r.stderr.startswith("pelfwu: "))

    def test_updater_agrees(self):
        """The updater, given the same file and no adapter library, says
        "Hex-file error." exactly for the files pelfwu rejects."""
        def updater_verdict(item):
            name, path, content, _ = item
            with tempfile.TemporaryDirectory() as d:
                with open(os.path.join(d, "PelBoot_VQ.fwu"), "wb") as f:
                    f.write(content)
                env = dict(os.environ, LD_LIBRARY_PATH=d)
                r = subprocess.run([PELUPDATE], cwd=d, env=env, stdin=subprocess.DEVNULL,
                                   capture_output=True, timeout=60, start_new_session=True)
                return r.stdout
        with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
            verdicts = list(pool.map(updater_verdict, self.files))
        for (name, path, _, _), said in zip(self.files, verdicts):
            with self.subTest(name):
                accepted = pelfwu("check", path).returncode == 0
                self.assertEqual(said, b"Data exchange error." if accepted else b"Hex-file error.")

    def test_updater_agrees_on_what_cannot_be_read(self):
        """What the updater takes as no file at all (a folder, a FIFO), check
        refuses as unreadable."""
        for make in (os.mkdir, os.mkfifo):
            with self.subTest(make.__name__), tempfile.TemporaryDirectory() as d:
                make(os.path.join(d, "PelBoot_VQ.fwu"))
                r = subprocess.run([PELUPDATE], cwd=d, env=dict(os.environ, LD_LIBRARY_PATH=d),
                                   stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
                                   start_new_session=True)
                self.assertEqual(r.stdout, b"Update-file not found.")
                self.assertEqual(pelfwu("check", "PelBoot_VQ.fwu", cwd=d).returncode, 2)


def make_fifo(path):
    os.mkfifo(path)


def make_socket(path):
    s = socket.socket(socket.AF_UNIX)
    s.bind(path)
    s.close()  # the entry stays


def make_device(path):
    """A character device like /dev/null, if this process may make one."""
    try:
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except PermissionError:
        return False
    return True


class OddInputs(unittest.TestCase):
    """Inputs that never end, never start or are no file at all: a clear
    refusal and status 2 at once, never a crash or a hang."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.d = self.dir.name
        os.mkfifo(os.path.join(self.d, "fifo"))  # nobody ever writes to it
        make_socket(os.path.join(self.d, "sock"))
        os.mkdir(os.path.join(self.d, "folder"))
        # 10 GB, sparse: only reading it whole would take long.
        with open(os.path.join(self.d, "huge.bin"), "wb") as f:
            f.truncate(10_000_000_000)

    def tearDown(self):
        self.dir.cleanup()

    def test_refusals(self):
        before = entries(self.d)
        not_regular = "pelupdate reads only a regular file"
        too_large = f"the largest payload pelupdate takes is {MAX_PAYLOAD} bytes"
        cases = [
            (["pack", "/dev/zero", "1.0"], f"/dev/zero: more than {MAX_PAYLOAD} bytes; {too_large}"),
            (["pack", "/dev/urandom", "1.0"], f"/dev/urandom: more than {MAX_PAYLOAD} bytes"),
            (["pack", "huge.bin", "1.0"], f"huge.bin: 10000000000 bytes; {too_large}"),
            (["pack", "fifo", "1.0"], "fifo: the payload is empty"),
            (["pack", "folder", "1.0"], "folder: is a folder"),
            (["pack", "sock", "1.0"], "sock: is a socket"),
        ]
        for command in ("info", "check"):
            cases += [
                ([command, "/dev/zero"], f"/dev/zero: is a device; {not_regular}"),
                ([command, "/dev/urandom"], f"/dev/urandom: is a device; {not_regular}"),
                ([command, "/dev/null"], f"/dev/null: is a device; {not_regular}"),
                ([command, "fifo"], f"fifo: is a FIFO or pipe; {not_regular}"),
                ([command, "sock"], f"sock: is a socket; {not_regular}"),
                ([command, "folder"], "folder: is a folder"),
            ]
        for args, message in cases:
            with self.subTest(" ".join(args)):
                output = ["-o", "out.fwu"] if args[0] == "pack" else []
                r = pelfwu(*args, *output, cwd=self.d)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(r.stdout, "")
                self.assertTrue(r.stderr.startswith("pelfwu: " + message), r.stderr)
                self.assertEqual(entries(self.d), before)

    def test_payload_through_a_pipe(self):
        """A pipe carries a payload like a file (as `pelfwu pack <(...)` does),
        read as it comes, up to the writer's end."""
        payload = bytes((i * 7) & 0xFF for i in range(200_000))  # more than a pipe holds
        rfd, wfd = os.pipe()

        def writer():
            os.write(wfd, payload[:1000])
            threading.Event().wait(0.3)  # the reader must wait for the rest
            os.write(wfd, payload[1000:])
            os.close(wfd)
        thread = threading.Thread(target=writer)
        thread.start()
        try:
            r = subprocess.run([PELFWU, "pack", f"/dev/fd/{rfd}", "3.1", "-o", "out.fwu"],
                               cwd=self.d, pass_fds=(rfd,), capture_output=True, text=True,
                               timeout=60)
        finally:
            thread.join(timeout=60)
            os.close(rfd)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(self.d, "out.fwu"), "rb") as f:
            self.assertEqual(f.read(), sealed(payload, 3, 1))

    def test_only_the_first_capacity_bytes_are_judged(self):
        """A valid file followed by 10 GB: judged on its first 5,000,000
        bytes, at once, as the updater does, and info says more follows."""
        big = bytes((i * 13) & 0xFF for i in range(CAPACITY - 4))
        path = os.path.join(self.d, "huge.fwu")
        with open(path, "wb") as f:
            f.write(sealed(big, 4, 2))
            f.truncate(10_000_000_000)
        self.assertEqual(pelfwu("check", path).returncode, 0)
        r = pelfwu("info", path)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("huge.fwu, 10000000000 bytes\n", r.stdout)
        self.assertIn(f"note:       more follows: pelupdate reads only the first {CAPACITY} bytes",
                      r.stdout)
        self.assertIn("version:    4.2\n", r.stdout)


class Output(unittest.TestCase):
    """pack replaces a regular file only, keeps its mode, and names the output
    as given in every message."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.d = self.dir.name
        with open(os.path.join(self.d, "p.bin"), "wb") as f:
            f.write(b"new payload")

    def tearDown(self):
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.d, name)

    def test_only_a_regular_file_is_replaced(self):
        with open(self.path("precious"), "wb") as f:
            f.write(b"keep me")
        os.mkdir(self.path("folder"))
        makers = [
            ("a symbolic link", "link", lambda p: os.symlink("precious", p)),
            ("a symbolic link", "dangling", lambda p: os.symlink("nowhere/x.fwu", p)),
            ("a symbolic link", "link-to-folder", lambda p: os.symlink("folder", p)),
            ("a FIFO or pipe", "fifo", make_fifo),
            ("a socket", "sock", make_socket),
            ("a folder", "dir", os.mkdir),
            ("a device", "dev", make_device),
        ]
        made = []
        for kind, name, make in makers:
            if make(self.path(name)) is False:
                continue  # no device nodes here
            made.append((kind, name, os.lstat(self.path(name))))
        self.assertGreaterEqual(len(made), 6)
        before = entries(self.d)
        for kind, name, st in made:
            for force in ([], ["--force"]):
                with self.subTest(name, force=force):
                    r = pelfwu("pack", "p.bin", "1.0", "-o", name, *force, cwd=self.d)
                    self.assertEqual(r.returncode, 2)
                    self.assertEqual(
                        r.stderr, f"pelfwu: {name}: is {kind}; pelfwu replaces only a regular file\n")
                    after = os.lstat(self.path(name))
                    self.assertEqual((after.st_mode, after.st_ino, after.st_rdev),
                                     (st.st_mode, st.st_ino, st.st_rdev))
                    self.assertEqual(entries(self.d), before)
        self.assertEqual(os.readlink(self.path("dangling")), "nowhere/x.fwu")
        with open(self.path("precious"), "rb") as f:
            self.assertEqual(f.read(), b"keep me")

    def test_force_keeps_the_permission_bits(self):
        for mode in (0o444, 0o600, 0o640, 0o755):
            with self.subTest(oct(mode)):
                with open(self.path("out.fwu"), "wb") as f:
                    f.write(b"old")
                os.chmod(self.path("out.fwu"), mode)
                r = pelfwu("pack", "p.bin", "2.0", "-o", "out.fwu", "--force", cwd=self.d)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(stat.S_IMODE(os.stat(self.path("out.fwu")).st_mode), mode)
                with open(self.path("out.fwu"), "rb") as f:
                    self.assertEqual(f.read(), sealed(b"new payload", 2, 0))
                os.chmod(self.path("out.fwu"), 0o600)
                os.remove(self.path("out.fwu"))
        # A new file gets what the umask leaves.
        r = pelfwu("pack", "p.bin", "2.0", "-o", "new.fwu", cwd=self.d,
                   preexec_fn=lambda: os.umask(0o027))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("new.fwu")).st_mode), 0o640)

    def test_messages_name_the_output_as_given(self):
        with open(self.path("old.fwu"), "wb") as f:
            f.write(b"old file")

        def small_files_only():
            # Writes past 1000 bytes fail with EFBIG instead of a signal.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))

        with open(self.path("big.bin"), "wb") as f:
            f.write(bytes(5000))
        cases = [
            (["p.bin", "-o", "nodir/out.fwu"], None,
             "pelfwu: nodir/out.fwu: cannot be written: No such file or directory\n"),
            (["p.bin", "-o", "p.bin/out.fwu"], None,
             "pelfwu: p.bin/out.fwu: cannot be written: Not a directory\n"),
            (["p.bin", "-o", "old.fwu"], None,
             "pelfwu: old.fwu: exists (use --force to replace it)\n"),
            (["big.bin", "-o", "old.fwu", "--force"], small_files_only,
             "pelfwu: old.fwu: cannot be written: File too large\n"),
            (["p.bin", "-o", ""], None, "pelfwu: -o was given an empty file name\n"),
        ]
        before = entries(self.d)
        for args, preexec, message in cases:
            with self.subTest(args):
                r = pelfwu("pack", args[0], "1.0", *args[1:], cwd=self.d, preexec_fn=preexec)
                self.assertEqual(r.returncode, 2)
                self.assertEqual(r.stderr.split("Usage:")[0], message)
                self.assertEqual(entries(self.d), before)  # no temporary file left
                with open(self.path("old.fwu"), "rb") as f:
                    self.assertEqual(f.read(), b"old file")

    def test_empty_payload_only_with_erase_only(self):
        with open(self.path("empty.bin"), "wb"):
            pass
        r = pelfwu("pack", "empty.bin", "1.0", cwd=self.d)
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr, "pelfwu: empty.bin: the payload is empty: pelupdate would "
                                   "erase the main firmware and write nothing (use --erase-only "
                                   "to make such a file)\n")
        self.assertFalse(os.path.exists(self.path("PelBoot_VQ.fwu")))
        r = pelfwu("pack", "p.bin", "1.0", "--erase-only", cwd=self.d)
        self.assertEqual(r.returncode, 2)
        self.assertIn("--erase-only is for an empty payload; this one has 11 bytes", r.stderr)
        self.assertFalse(os.path.exists(self.path("PelBoot_VQ.fwu")))

        r = pelfwu("pack", "/dev/null", "1.0", "--erase-only", cwd=self.d)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(pelfwu("check", "PelBoot_VQ.fwu", cwd=self.d).returncode, 0)
        r = pelfwu("info", "PelBoot_VQ.fwu", cwd=self.d)
        self.assertEqual(r.returncode, 0)
        self.assertIn("accepted:   yes\nwarning:    no payload: pelupdate would erase the main "
                      "firmware and write nothing", r.stdout)
        # A file with a payload carries no such warning.
        pelfwu("pack", "p.bin", "1.0", "-o", "full.fwu", cwd=self.d)
        self.assertNotIn("warning", pelfwu("info", "full.fwu", cwd=self.d).stdout)


class Names:
    """File and folder names in any script, for the native tool and for the
    Windows one under Wine: `tool` is the command, `env` its environment."""
    tool = None
    env = None

    def run_tool(self, *args):
        r = subprocess.run([*self.tool, *args], cwd=self.d, env=self.env, capture_output=True,
                           timeout=120, stdin=subprocess.DEVNULL)
        # Strict UTF-8: a garbled name fails here or in the comparison.
        return (r.returncode, r.stdout.decode("utf-8").replace("\r\n", "\n"),
                r.stderr.decode("utf-8").replace("\r\n", "\n"))

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.d = self.dir.name
        os.mkdir(os.path.join(self.d, "Ünïcode"))
        with open(os.path.join(self.d, "日本.bin"), "wb") as f:
            f.write(b"abc")

    def tearDown(self):
        self.dir.cleanup()

    def content(self, name):
        with open(os.path.join(self.d, name), "rb") as f:
            return f.read()

    def test_names_in_any_script(self):
        out = "Ünïcode/日本.fwu"
        self.assertEqual(self.run_tool("pack", "日本.bin", "1.2", "-o", out), (0, "", ""))
        self.assertEqual(self.content(out), sealed(b"abc", 1, 2))
        status, stdout, stderr = self.run_tool("info", out)
        self.assertEqual(status, 0, stderr)
        self.assertTrue(stdout.startswith(f"file:       {out}, 7 bytes\n"), stdout)
        self.assertEqual(self.run_tool("check", out), (0, "", ""))

        self.assertEqual(self.run_tool("pack", "日本.bin", "1.3", "-o", out),
                         (2, "", f"pelfwu: {out}: exists (use --force to replace it)\n"))
        os.chmod(os.path.join(self.d, out), 0o444)
        self.assertEqual(self.run_tool("pack", "日本.bin", "1.3", "-o", out, "--force"),
                         (0, "", ""))
        self.assertEqual(self.content(out), sealed(b"abc", 1, 3))
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.d, out)).st_mode), 0o444)
        self.assertEqual(
            self.run_tool("pack", "日本.bin", "1.3", "-o", "Ünïcode", "--force"),
            (2, "", "pelfwu: Ünïcode: is a folder; pelfwu replaces only a regular file\n"))
        status, _, stderr = self.run_tool("info", "Ünïcode/ない.fwu")
        self.assertEqual(status, 2)
        self.assertTrue(stderr.startswith("pelfwu: Ünïcode/ない.fwu: cannot be read: "), stderr)
        self.assertEqual(sorted(os.listdir(os.path.join(self.d, "Ünïcode"))), ["日本.fwu"])


class NativeNames(Names, unittest.TestCase):
    def setUp(self):
        self.tool = [PELFWU]
        super().setUp()


class WindowsNames(Names, unittest.TestCase):
    prefix = None

    @classmethod
    def setUpClass(cls):
        if not PELFWU_EXE:
            raise unittest.SkipTest("no Windows build given")
        cls.prefix = tempfile.mkdtemp(prefix="pelfwu-wine-")
        cls.env = dict(os.environ, WINEPREFIX=cls.prefix, WINEDEBUG="-all")
        # The 64-bit loader itself: `wine` picks the 32-bit one whenever
        # wine32 is installed, which a kernel without 32-bit support cannot run.
        wine = WINE64 if os.access(WINE64, os.X_OK) else "wine"
        subprocess.run([wine, "wineboot", "-i"], env=cls.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        cls.tool = [wine, PELFWU_EXE]

    @classmethod
    def tearDownClass(cls):
        if cls.prefix:
            subprocess.run(["wineserver", "-k"], env=cls.env, timeout=60)
            shutil.rmtree(cls.prefix, ignore_errors=True)

    def test_devices_are_not_files(self):
        for args, message in [
                (["pack", "日本.bin", "1.0", "-o", "NUL", "--force"],
                 "pelfwu: NUL: is a device; pelfwu replaces only a regular file\n"),
                (["info", "NUL"], "pelfwu: NUL: is a device; pelupdate reads only a regular file\n"),
                (["pack", "NUL", "1.0"], "pelfwu: NUL: the payload is empty")]:
            with self.subTest(args):
                status, stdout, stderr = self.run_tool(*args)
                self.assertEqual((status, stdout), (2, ""))
                self.assertTrue(stderr.startswith(message), stderr)
        self.assertEqual(sorted(os.listdir(self.d)), ["Ünïcode", "日本.bin"])

    def test_console_shows_names(self):
        """On a console (Wine's, in a pseudo-terminal) a name shows as
        written, not as UTF-8 bytes read in the console's code page."""
        self.run_tool("pack", "日本.bin", "1.2", "-o", "Ünïcode/日本.fwu")
        master, slave = pty.openpty()
        env = dict(self.env, LANG="C.UTF-8")
        process = subprocess.Popen([*self.tool, "info", "Ünïcode/日本.fwu"], cwd=self.d, env=env,
                                   stdin=slave, stdout=slave, stderr=slave,
                                   start_new_session=True)
        os.close(slave)
        shown = b""
        try:
            while True:
                ready, _, _ = select.select([master], [], [], 60)
                if not ready:
                    break
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # the program ended and the terminal closed
                    break
                if not chunk:
                    break
                shown += chunk
        finally:
            os.close(master)
            self.assertEqual(process.wait(timeout=60), 0)
        # Wine's console draws with escape sequences between the letters.
        text = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", shown).decode("utf-8", "replace")
        self.assertIn("Ünïcode/日本.fwu", text)


class CommandLine(unittest.TestCase):
    def test_help_version_and_usage_errors(self):
        r = pelfwu("--help")
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith("Usage: pelfwu pack"))
        r = pelfwu("--version")
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stdout, r"^pelfwu \d+\.\d+\.\d+\n$")
        for args in ([], ["frobnicate"], ["info"], ["check", "a", "b"], ["pack", "-q"],
                     ["info", "--", "a", "b"], ["pack", "p.bin", "1.0", "--", "-o", "x.fwu"]):
            r = pelfwu(*args)
            self.assertEqual(r.returncode, 2, args)
            self.assertEqual(r.stdout, "")
            self.assertIn("Usage:", r.stderr)

    def test_double_dash_ends_the_options(self):
        """Names that begin with "-" after "--"; "-1.0" is a bad version,
        not an unknown option, wherever it stands."""
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "-p.bin"), "wb") as f:
                f.write(b"dash")
            r = pelfwu("pack", "-p.bin", "1.0", cwd=d)
            self.assertEqual((r.returncode, r.stderr.splitlines()[0]),
                             (2, "pelfwu: unknown option -p.bin"))
            r = pelfwu("pack", "-o", "-out.fwu", "--", "-p.bin", "1.0", cwd=d)
            self.assertEqual(r.returncode, 0, r.stderr)
            for command, status in (("check", 0), ("info", 0)):
                r = pelfwu(command, "--", "-out.fwu", cwd=d)
                self.assertEqual(r.returncode, status, r.stderr)
            self.assertIn("version:    1.0\n", r.stdout)
            for args in (["x.bin", "-1.0"], ["--", "-p.bin", "-1.0"], ["x.bin", "--", "-1.0"]):
                with self.subTest(args):
                    r = pelfwu("pack", *args, cwd=d)
                    self.assertEqual(r.returncode, 2)
                    self.assertTrue(r.stderr.startswith(
                        "pelfwu: version '-1.0' is not MAJOR.MINOR with each part from 0 to 255\n"),
                        r.stderr)
            self.assertEqual(entries(d), ["-out.fwu", "-p.bin"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("pelfwu")
    parser.add_argument("pelupdate")
    parser.add_argument("--windows", metavar="PELFWU_EXE")
    args, rest = parser.parse_known_args()
    PELFWU, PELUPDATE = os.path.abspath(args.pelfwu), os.path.abspath(args.pelupdate)
    PELFWU_EXE = os.path.abspath(args.windows) if args.windows else None
    unittest.main(argv=[sys.argv[0], "-v", *rest])
