#!/usr/bin/env python3
"""Reads what the static checks need from a PE file (DLL or executable).

    pe.py resources <file>   one TYPE/NAME/LANGUAGE line per resource (names or numeric ids)
    pe.py imports <file>     one DLL!function line per import (DLL!#ordinal for ordinals)
"""
import struct
import sys


class PeFile:
    def __init__(self, path):
        self.data = data = open(path, "rb").read()
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("%s: not a PE file" % path)
        nsections, = struct.unpack_from("<H", data, pe + 6)
        optsize, = struct.unpack_from("<H", data, pe + 20)
        opt = pe + 24
        magic, = struct.unpack_from("<H", data, opt)
        self.pe32plus = magic == 0x20B
        self.ddir = opt + (112 if self.pe32plus else 96)
        self.sections = []
        for i in range(nsections):
            s = opt + optsize + 40 * i
            vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((va, max(vsize, rawsize), rawptr))

    def directory(self, index):
        return struct.unpack_from("<I", self.data, self.ddir + 8 * index)[0]

    def off(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError("rva %x outside sections" % rva)

    def cstring(self, rva):
        start = self.off(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        rva = self.directory(1)
        if not rva:
            return []
        result = []
        desc = self.off(rva)
        thunk_size, ordinal_flag = (8, 1 << 63) if self.pe32plus else (4, 1 << 31)
        while True:
            lookup, _, _, name_rva, first_thunk = struct.unpack_from("<IIIII", self.data, desc)
            if not name_rva:
                return result
            dll = self.cstring(name_rva)
            t = self.off(lookup or first_thunk)
            while True:
                value, = struct.unpack_from("<Q" if self.pe32plus else "<I", self.data, t)
                if not value:
                    break
                if value & ordinal_flag:
                    result.append((dll, "#%d" % (value & 0xFFFF)))
                else:
                    result.append((dll, self.cstring((value & 0x7FFFFFFF) + 2)))
                t += thunk_size
            desc += 20

    def resources(self):
        base = self.off(self.directory(2))
        data = self.data

        def entries(dir_off):
            named, ids = struct.unpack_from("<HH", data, dir_off + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", data, dir_off + 16 + 8 * i)
                if name & 0x80000000:
                    n_off = base + (name & 0x7FFFFFFF)
                    length, = struct.unpack_from("<H", data, n_off)
                    label = data[n_off + 2:n_off + 2 + 2 * length].decode("utf-16-le")
                else:
                    label = str(name)
                yield label, target

        result = []
        for tname, t in entries(base):
            for rname, r in entries(base + (t & 0x7FFFFFFF)):
                for lang, _ in entries(base + (r & 0x7FFFFFFF)):
                    result.append("%s/%s/%s" % (tname, rname, lang))
        return result


if __name__ == "__main__":
    what, path = sys.argv[1], sys.argv[2]
    pe = PeFile(path)
    if what == "resources":
        print("\n".join(pe.resources()))
    elif what == "imports":
        print("\n".join("%s!%s" % i for i in pe.imports()))
    else:
        sys.exit("usage: pe.py resources|imports <file>")
