#!/usr/bin/env python3
"""Exits 0 when this machine runs 32-bit x86 Linux programs, which Wine's
32-bit side needs: some kernels and hosts run 64-bit programs only. Runs a
minimal static i386 program that exits with status 0."""
import os
import struct
import subprocess
import sys
import tempfile

BASE = 0x08048000
CODE = bytes.fromhex("b801000000" "31db" "cd80")  # exit(0) through int 0x80
HEADERS = 52 + 32
elf = (b"\x7fELF\x01\x01\x01" + bytes(9)
       + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, BASE + HEADERS, 52, 0, 0, 52, 32, 1, 0, 0, 0)
       + struct.pack("<IIIIIIII", 1, 0, BASE, BASE, HEADERS + len(CODE), HEADERS + len(CODE), 5, 0x1000)
       + CODE)
with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "probe")
    with open(path, "wb") as f:
        f.write(elf)
    os.chmod(path, 0o755)
    try:
        sys.exit(subprocess.run([path], stderr=subprocess.DEVNULL).returncode)
    except OSError:  # ENOEXEC: no 32-bit x86 programs here
        sys.exit(1)
