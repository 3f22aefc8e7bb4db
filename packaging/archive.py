#!/usr/bin/env python3
"""Writes a release archive whose bytes depend only on its contents and the
given time: members in the order given, one fixed time, owner and mode for
all, no names or times of the build machine in the zip or gzip headers.

Usage: archive.py OUT.zip|OUT.tar.gz [--top FOLDER] [--crlf] [--version V] --mtime EPOCH
                  NAME=PATH...
--top puts the members in one folder, --crlf gives text members (*.txt)
CR LF line ends, --version fills in @VERSION@ in them.
"""
import argparse
import gzip
import io
import os
import tarfile
import time
import zipfile


def member_bytes(name, path, args):
    with open(path, "rb") as f:
        data = f.read()
    if name.endswith(".txt"):
        if args.version:
            data = data.replace(b"@VERSION@", args.version.encode())
        data = data.replace(b"\r\n", b"\n")
        if args.crlf:
            data = data.replace(b"\n", b"\r\n")
    return data


def is_program(path):
    return os.access(path, os.X_OK) and not path.endswith(".txt")


def write_zip(out, members, args):
    stamp = time.gmtime(max(args.mtime, 315532800))[:6]  # zip times start in 1980
    with zipfile.ZipFile(out, "w") as z:
        for name, path in members:
            info = zipfile.ZipInfo(os.path.join(args.top, name) if args.top else name, stamp)
            info.create_system = 0  # MS-DOS attributes: none but "archive"
            info.external_attr = 0x20
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, member_bytes(name, path, args), compresslevel=9)


def write_tar_gz(out, members, args):
    def entry(name, mode, kind=tarfile.REGTYPE, size=0):
        info = tarfile.TarInfo(name)
        info.type, info.mode, info.size, info.mtime = kind, mode, size, args.mtime
        info.uid = info.gid = 0
        info.uname = info.gname = "root"
        return info

    with open(out, "wb") as raw, \
            gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=args.mtime, compresslevel=9) as gz, \
            tarfile.open(fileobj=gz, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        if args.top:
            tar.addfile(entry(args.top, 0o755, tarfile.DIRTYPE))
        for name, path in members:
            data = member_bytes(name, path, args)
            mode = 0o755 if is_program(path) else 0o644
            tar.addfile(entry(os.path.join(args.top, name), mode, size=len(data)), io.BytesIO(data))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--top", default="")
    parser.add_argument("--crlf", action="store_true")
    parser.add_argument("--version", default="")
    parser.add_argument("--mtime", type=int, required=True)
    parser.add_argument("members", nargs="+", metavar="NAME=PATH")
    args = parser.parse_args()
    members = [m.split("=", 1) for m in args.members]
    if args.out.endswith(".zip"):
        write_zip(args.out, members, args)
    elif args.out.endswith(".tar.gz"):
        write_tar_gz(args.out, members, args)
    else:
        parser.error("the archive's name must end in .zip or .tar.gz")


if __name__ == "__main__":
    main()
