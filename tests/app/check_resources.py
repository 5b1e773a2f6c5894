#!/usr/bin/env python3
"""Checks the resources of the built program in the file itself:
the string table (ids 132 to 146 under language 1033, texts exactly as in
strings.txt), icon group 128 (64, 48, 32 and 16 pixels at 32 bits), the
manifest (byte for byte) and the FILE payloads 300 to 304 (under language
1041, byte for byte).

Usage: check_resources.py Quillmere.exe strings.txt Quillmere.manifest
                          payload300 payload301 payload302 payload303 payload304
"""
import struct
import sys

RT_STRING, RT_GROUP_ICON, RT_MANIFEST = 6, 14, 24
LANG_EN_US, LANG_JA_JP = 1033, 1041


def read_resources(path):
    """{(type, name): {lang: bytes}}; type and name are ints or strings."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
    nsections = struct.unpack_from("<H", data, pe + 6)[0]
    opt_size = struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    dirs = opt + (96 if magic == 0x10B else 112)
    rsrc_rva = struct.unpack_from("<I", data, dirs + 2 * 8)[0]
    sections = []
    for i in range(nsections):
        off = opt + opt_size + 40 * i
        vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, off + 8)
        sections.append((va, max(vsize, rawsize), rawptr))

    def at(rva):
        for va, size, raw in sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("RVA %#x outside every section" % rva)

    base = at(rsrc_rva)

    def name_of(entry_name):
        if entry_name & 0x80000000:
            off = base + (entry_name & 0x7FFFFFFF)
            n = struct.unpack_from("<H", data, off)[0]
            return data[off + 2:off + 2 + 2 * n].decode("utf-16-le")
        return entry_name

    def entries(off):
        named, ids = struct.unpack_from("<HH", data, base + off + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + off + 16 + 8 * i)
            yield name_of(name), target

    result = {}
    for rtype, t in entries(0):
        for rname, n in entries(t & 0x7FFFFFFF):
            for lang, leaf in entries(n & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                off = at(rva)
                result.setdefault((rtype, rname), {})[lang] = data[off:off + size]
    return result


def read_strings(path):
    table = {}
    for line in open(path, encoding="utf-8"):
        line = line.rstrip("\n")
        if not line or line.startswith("#"):
            continue
        ident, _, text = line.split("\t")
        text = text.replace("\\\\", "\0").replace("\\n", "\n").replace("\0", "\\")
        table[int(ident)] = text
    return table


def main():
    if len(sys.argv) != 9:
        raise SystemExit(__doc__)
    exe, strings_path, manifest_path = sys.argv[1:4]
    payload_paths = sys.argv[4:9]
    res = read_resources(exe)
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)

    # String table: blocks of 16, block n holds ids 16*(n-1) .. 16*n-1.
    expected = read_strings(strings_path)
    check(sorted(expected) == list(range(132, 147)), "strings.txt holds ids 132 to 146")
    for ident, text in expected.items():
        block = res.get((RT_STRING, ident // 16 + 1), {})
        check(list(block) == [LANG_EN_US], "string block of %d only under 1033" % ident)
        raw = block.get(LANG_EN_US, b"")
        pos = 0
        for _ in range(ident % 16):
            pos += 2 + 2 * struct.unpack_from("<H", raw, pos)[0]
        n = struct.unpack_from("<H", raw, pos)[0]
        got = raw[pos + 2:pos + 2 + 2 * n].decode("utf-16-le")
        check(got == text, "string %d is %r, expected %r" % (ident, got, text))

    group = res.get((RT_GROUP_ICON, 128), {})
    check(len(group) == 1, "one icon group 128")
    for raw in group.values():
        count = struct.unpack_from("<H", raw, 4)[0]
        sizes = []
        for i in range(count):
            w, h, _, _, _, bits = struct.unpack_from("<BBBBHH", raw, 6 + 14 * i)
            sizes.append((w or 256, h or 256, bits))
        check(sizes == [(64, 64, 32), (48, 48, 32), (32, 32, 32), (16, 16, 32)],
              "icon group 128 sizes %r" % sizes)

    manifest = res.get((RT_MANIFEST, 1), {})
    check(len(manifest) == 1 and list(manifest.values())[0] == open(manifest_path, "rb").read(),
          "manifest 1 equals %s" % manifest_path)

    for ident, path in zip(range(300, 305), payload_paths):
        entry = res.get(("FILE", ident), {})
        check(list(entry) == [LANG_JA_JP], "FILE %d only under 1041" % ident)
        check(entry.get(LANG_JA_JP) == open(path, "rb").read(), "FILE %d equals %s" % (ident, path))

    for f in failures:
        print("FAIL:", f)
    if not failures:
        print("resources: every check held")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
