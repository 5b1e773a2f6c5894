#!/usr/bin/env python3
"""Checks the resources in the program file: strings 132-146 (only under 1033) exactly as in strings.txt,
icon group 128 (64, 48, 32, 16 px at 32 bits), manifest 1 and FILE 300-304 (only under 1041) byte for byte.
Usage: check_resources.py Quillmere.exe strings.txt Quillmere.manifest payload300 ... payload304"""
import struct
import sys


def read_resources(path):
    """{(type, name): {lang: bytes}}; type and name are ints or strings."""
    data = open(path, "rb").read()
    u = lambda fmt, off: struct.unpack_from(fmt, data, off)
    pe = u("<I", 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
    nsections, opt_size, opt = u("<H", pe + 6)[0], u("<H", pe + 20)[0], pe + 24
    rsrc_rva = u("<I", opt + (96 if u("<H", opt)[0] == 0x10B else 112) + 16)[0]
    sections = [u("<IIII", opt + opt_size + 40 * i + 8) for i in range(nsections)]

    def at(rva):
        return next(raw + rva - va for vsize, va, rawsize, raw in sections if va <= rva < va + max(vsize, rawsize))

    base = at(rsrc_rva)

    def entries(off):
        named, ids = u("<HH", base + off + 12)
        for i in range(named + ids):
            name, target = u("<II", base + off + 16 + 8 * i)
            if name & 0x80000000:
                s = base + (name & 0x7FFFFFFF)
                name = data[s + 2:s + 2 + 2 * u("<H", s)[0]].decode("utf-16-le")
            yield name, target & 0x7FFFFFFF

    result = {}
    for rtype, t in entries(0):
        for rname, n in entries(t):
            for lang, leaf in entries(n):
                rva, size = u("<II", base + leaf)
                result.setdefault((rtype, rname), {})[lang] = data[at(rva):at(rva) + size]
    return result


def main():
    if len(sys.argv) != 9:
        raise SystemExit(__doc__)
    res, failures = read_resources(sys.argv[1]), []
    check = lambda ok, what: ok or failures.append(what)

    lines = [l.rstrip("\n").split("\t") for l in open(sys.argv[2], encoding="utf-8") if l.strip() and l[0] != "#"]
    expected = {int(i): t.replace("\\\\", "\0").replace("\\n", "\n").replace("\0", "\\") for i, _, t in lines}
    check(sorted(expected) == list(range(132, 147)), "strings.txt holds ids 132 to 146")
    for ident, text in expected.items():  # block n holds ids 16*(n-1) .. 16*n-1
        block = res.get((6, ident // 16 + 1), {})
        check(list(block) == [1033], "string block of %d only under 1033" % ident)
        raw, pos = block.get(1033, b""), 0
        for _ in range(ident % 16):
            pos += 2 + 2 * struct.unpack_from("<H", raw, pos)[0]
        got = raw[pos + 2:pos + 2 + 2 * struct.unpack_from("<H", raw, pos)[0]].decode("utf-16-le")
        check(got == text, "string %d is %r, expected %r" % (ident, got, text))

    group = res.get((14, 128), {})
    check(len(group) == 1, "one icon group 128")
    for raw in group.values():
        sizes = [struct.unpack_from("<BBBBHH", raw, 6 + 14 * i) for i in range(struct.unpack_from("<H", raw, 4)[0])]
        sizes = [(w or 256, h or 256, bits) for w, h, _, _, _, bits in sizes]
        check(sizes == [(64, 64, 32), (48, 48, 32), (32, 32, 32), (16, 16, 32)], "icon group 128 sizes %r" % sizes)

    check(list(res.get((24, 1), {}).values()) == [open(sys.argv[3], "rb").read()], "manifest 1 equals " + sys.argv[3])
    for ident, path in zip(range(300, 305), sys.argv[4:9]):
        entry = res.get(("FILE", ident), {})
        check(list(entry) == [1041], "FILE %d only under 1041" % ident)
        check(entry.get(1041) == open(path, "rb").read(), "FILE %d equals %s" % (ident, path))

    print("\n".join("FAIL: " + f for f in failures) or "resources: every check held")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
