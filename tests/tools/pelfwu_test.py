#!/usr/bin/env python3
"""pelfwu against files built without it (Python's own CRC-16/XMODEM with a
seed), and against the updater's own verdict on the same files.

Usage: pelfwu_test.py PELFWU PELUPDATE
"""
import binascii
import concurrent.futures
import os
import subprocess
import sys
import tempfile
import unittest

PELFWU = PELUPDATE = None
CAPACITY = 5_000_000


def sealed(payload, major, minor):
    body = bytes(payload) + bytes([major, minor])
    return body + binascii.crc_hqx(body, 0x56A8).to_bytes(2, "big")


def pelfwu(*args, cwd=None):
    return subprocess.run([PELFWU, *args], cwd=cwd, capture_output=True, text=True, timeout=60)


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


class CommandLine(unittest.TestCase):
    def test_help_version_and_usage_errors(self):
        r = pelfwu("--help")
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith("Usage: pelfwu pack"))
        r = pelfwu("--version")
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stdout, r"^pelfwu \d+\.\d+\.\d+\n$")
        for args in ([], ["frobnicate"], ["info"], ["check", "a", "b"], ["pack", "-q"]):
            r = pelfwu(*args)
            self.assertEqual(r.returncode, 2, args)
            self.assertEqual(r.stdout, "")
            self.assertIn("Usage:", r.stderr)


if __name__ == "__main__":
    PELFWU, PELUPDATE = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
