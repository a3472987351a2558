#!/usr/bin/env python3
"""Lists the resources of a PE file as TYPE/NAME/LANGUAGE lines (names or numeric ids)."""
import struct
import sys


def main(path):
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit("not a PE file")
    nsections, = struct.unpack_from("<H", data, pe + 6)
    optsize, = struct.unpack_from("<H", data, pe + 20)
    opt = pe + 24
    magic, = struct.unpack_from("<H", data, opt)
    ddir = opt + (96 if magic == 0x10B else 112)
    rsrc_rva, = struct.unpack_from("<I", data, ddir + 2 * 8)
    sections = []
    for i in range(nsections):
        s = opt + optsize + 40 * i
        vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
        sections.append((va, max(vsize, rawsize), rawptr))

    def off(rva):
        for va, size, raw in sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError("rva %x outside sections" % rva)

    base = off(rsrc_rva)

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

    for tname, t in entries(base):
        for rname, r in entries(base + (t & 0x7FFFFFFF)):
            for lang, _ in entries(base + (r & 0x7FFFFFFF)):
                print("%s/%s/%s" % (tname, rname, lang))


if __name__ == "__main__":
    main(sys.argv[1])
