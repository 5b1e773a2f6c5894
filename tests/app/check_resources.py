#!/usr/bin/env python3
"""Checks the resources in the program file: strings 132-146 (only under 1033) exactly as in strings.txt,
icon group 128 (64, 48, 32, 16 px at 32 bits), manifest 1 and FILE 300-304 (only under 1041) byte for byte.
Usage: check_resources.py Quillmere.exe strings.txt Quillmere.manifest payload300 ... payload304"""
import os
import struct
import sys

try:
    import pefile
except ImportError:  # a version manager's python3 may lack the distribution's python3-pefile
    if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != "/usr/bin/python3":
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise


def read_resources(path):
    """{(type, name): {lang: bytes}}; type and name are ints or strings."""
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    key = lambda entry: str(entry.name) if entry.name is not None else entry.id
    result = {}
    rsrc = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for rtype in rsrc.entries if rsrc else []:
        for rname in rtype.directory.entries:
            for lang in rname.directory.entries:
                leaf = lang.data.struct
                result.setdefault((key(rtype), key(rname)), {})[lang.id] = pe.get_data(leaf.OffsetToData, leaf.Size)
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
