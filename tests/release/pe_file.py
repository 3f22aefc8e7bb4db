"""Reads back from a Windows executable what the release promises about it:
machine, link time stamp, imported and exported names, and the resources
(the manifest's XML, the version resource's fields)."""
import struct

MACHINES = {0x8664: "x64", 0x14C: "x86"}
RT_VERSION, RT_MANIFEST = 16, 24


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError(f"{path}: no MZ header")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path}: no PE signature")
        machine, sections, self.time_stamp, _, _, optional_size, _ = struct.unpack_from(
            "<HHIIIHH", d, pe + 4)
        self.machine = MACHINES.get(machine, hex(machine))
        optional = pe + 24
        magic = struct.unpack_from("<H", d, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.directories = [struct.unpack_from("<II", d, directories + 8 * i) for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            size, rva, raw_size, raw = struct.unpack_from("<IIII", d, table + 40 * i + 8)
            self.sections.append((rva, max(size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} is in no section")

    def c_string(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def imports(self):
        rva, _ = self.directories[1]
        names = []
        while rva:
            name = struct.unpack_from("<I", self.data, self.offset(rva) + 12)[0]
            if name == 0:
                break
            names.append(self.c_string(name))
            rva += 20
        return names

    def exports(self):
        rva, _ = self.directories[0]
        if rva == 0:
            return []
        count, names = struct.unpack_from("<II", self.data, self.offset(rva) + 24)[0], \
            struct.unpack_from("<I", self.data, self.offset(rva) + 32)[0]
        return [self.c_string(struct.unpack_from("<I", self.data, self.offset(names) + 4 * i)[0])
                for i in range(count)]

    def resources(self, kind):
        """The data of every resource of the given numeric type."""
        base_rva, _ = self.directories[2]
        if base_rva == 0:
            return []
        base = self.offset(base_rva)

        def entries(at):
            named, numbered = struct.unpack_from("<HH", self.data, base + at + 12)
            for i in range(named + numbered):
                name, target = struct.unpack_from("<II", self.data, base + at + 16 + 8 * i)
                yield name, target

        def leaves(target):
            if target & 0x80000000:
                for _, sub in entries(target & 0x7FFFFFFF):
                    yield from leaves(sub)
            else:
                rva, size = struct.unpack_from("<II", self.data, base + target)
                yield self.data[self.offset(rva):self.offset(rva) + size]

        return [leaf for name, target in entries(0) if name == kind for leaf in leaves(target)]


def version_info(block):
    """The fixed file version (a, b, c, d) and the strings of a VS_VERSIONINFO."""
    strings = {}
    fixed = None

    def node(at):
        nonlocal fixed
        length, value_length, kind = struct.unpack_from("<HHH", block, at)
        end = at + length
        key_end = at + 6
        while block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = block[at + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        if kind == 1 and value_length:
            strings[key] = block[value_at:value_at + 2 * value_length].decode("utf-16-le").rstrip("\0")
            value_size = 2 * value_length
        else:
            value_size = value_length
        if key == "VS_VERSION_INFO" and value_length >= 52:
            signature, _, ms, ls = struct.unpack_from("<IIII", block, value_at)
            if signature == 0xFEEF04BD:
                fixed = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        child = (value_at + value_size + 3) & ~3
        while child < end:
            child = node(child)
        return (end + 3) & ~3

    node(0)
    return fixed, strings
