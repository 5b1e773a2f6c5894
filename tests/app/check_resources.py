#!/usr/bin/env python3
"""Checks the resources in the program file against the transcribed table tests/expected/quillmere.json:
strings 132-146 (only under 1033), icon group 128 (each image's form and size also read from the image
itself), the manifest's fields, and FILE 300-304 (only under 1041): each byte for byte the payload file the
build embedded (the image of its fixed size). That each tool is of its processor is checked where it runs:
the scenarios, in 64-bit and 32-bit prefixes.
Usage: check_resources.py Quillmere.exe quillmere.json payload300 ... payload304"""
import json
import struct
import sys
import xml.etree.ElementTree as ET
import zlib

from check_image import pefile  # with its fallback to the distribution's python3


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


def image_form(langs):
    """(form, width, height, bits per pixel) of one RT_ICON image, read from the image itself: a PNG file
    (its IHDR, and the pixel rows its IDAT chunks inflate to) or a bitmap (its BITMAPINFOHEADER, whose
    height counts the AND mask too)."""
    data = b"".join(langs.values())
    if data.startswith(b"\x89PNG\r\n\x1a\n"):
        chunks, pos = {}, 8
        while pos + 12 <= len(data):
            size, kind = struct.unpack_from(">I4s", data, pos)
            body = data[pos + 8:pos + 8 + size]
            if struct.unpack_from(">I", data, pos + 8 + size)[0] != zlib.crc32(kind + body):
                return ("png with a bad CRC in " + kind.decode("latin-1"),)
            chunks[kind] = chunks.get(kind, b"") + body
            pos += 12 + size
        if b"IHDR" not in chunks or b"IEND" not in chunks:
            return ("png without IHDR or IEND",)
        w, h, depth, colour = struct.unpack_from(">IIBB", chunks[b"IHDR"])
        if (depth, colour) != (8, 6):
            return ("png of bit depth %d, colour type %d (not 8-bit RGBA)" % (depth, colour),)
        if len(zlib.decompress(chunks.get(b"IDAT", b""))) != h * (1 + 4 * w):
            return ("png whose pixel rows are not %dx%d" % (w, h),)
        return ("png", w, h, 32)
    if len(data) >= 40 and struct.unpack_from("<I", data)[0] == 40:
        w, h, _, bits = struct.unpack_from("<iiHH", data, 4)
        return ("dib", w, h // 2, bits)
    return ("neither png nor dib",)


def manifest_fields(raw):
    """The manifest's fields that the table fixes, by the table's names."""
    root = ET.fromstring(raw.decode("utf-8"))
    find = lambda tag: [e for e in root.iter() if e.tag.rsplit("}", 1)[-1] == tag]
    level = find("requestedExecutionLevel")
    ident = [e.attrib for e in find("assemblyIdentity")]
    return {"execution_level": level[0].get("level") if len(level) == 1 else level,
            "ui_access": level[0].get("uiAccess") if len(level) == 1 else level,
            "common_controls": [{k: a.get(k) for k in ("name", "version", "processorArchitecture")}
                                for a in ident if a.get("name") == "Microsoft.Windows.Common-Controls"],
            "dpi_aware": [(e.text or "").strip() for e in find("dpiAware")],
            "supported_os": sorted(e.get("Id", "").lower() for e in find("supportedOS"))}


def main():
    if len(sys.argv) != 8:
        raise SystemExit(__doc__)
    res, failures = read_resources(sys.argv[1]), []
    with open(sys.argv[2], encoding="utf-8") as f:
        want = json.load(f)
    check = lambda ok, what: ok or failures.append(what)

    lang = want["string_table_language"]
    expected = {int(i): m["text"] for i, m in want["messages"].items()}
    check(sorted(expected) == list(range(132, 147)), "the table holds messages 132 to 146")
    for ident, text in expected.items():  # block n holds ids 16*(n-1) .. 16*n-1
        block = res.get((6, ident // 16 + 1), {})
        check(list(block) == [lang], "string block of %d only under %d" % (ident, lang))
        raw, pos = block.get(lang, b""), 0
        for _ in range(ident % 16):
            pos += 2 + 2 * struct.unpack_from("<H", raw, pos)[0]
        got = raw[pos + 2:pos + 2 + 2 * struct.unpack_from("<H", raw, pos)[0]].decode("utf-16-le") if raw else None
        check(got == text, "string %d is %r, expected %r" % (ident, got, text))

    icon = want["icon_group"]
    group = res.get((14, icon["id"]), {})
    check(len(group) == 1, "one icon group %d" % icon["id"])
    for raw in group.values():
        entries = [struct.unpack_from("<BBBBHHIH", raw, 6 + 14 * i) for i in range(struct.unpack_from("<H", raw, 4)[0])]
        sizes = [[w or 256, h or 256, bits, image_form(res.get((3, nid), {}))] for w, h, _, _, _, bits, _, nid in entries]
        got = [row[:3] + [row[3][0]] for row in sizes]
        check(got == icon["images"], "icon group %d images %r, expected %r" % (icon["id"], got, icon["images"]))
        for row in sizes:
            check(list(row[3][1:]) == row[:3], "the image of the %dx%d entry is %r" % (row[0], row[1], row[3]))

    manifests = list(res.get((24, 1), {}).values())
    check(len(manifests) == 1, "one manifest, id 1")
    m = dict(want["manifest"], common_controls=[want["manifest"]["common_controls"]],
             dpi_aware=[want["manifest"]["dpi_aware"]],
             supported_os=sorted(v.lower() for v in want["manifest"]["supported_os"].values()))
    for got in map(manifest_fields, manifests[:1]):
        for field, value in got.items():
            check(value == m[field], "manifest %s is %r, expected %r" % (field, value, m[field]))

    p = want["payloads"]
    for row, path in zip(p["files"], sys.argv[3:8]):
        entry = res.get((p["type"], row["id"]), {})
        check(list(entry) == [p["language"]], "%s %d only under %d" % (p["type"], row["id"], p["language"]))
        raw = entry.get(p["language"], b"")
        with open(path, "rb") as f:
            check(raw == f.read(), "%s %d equals %s" % (p["type"], row["id"], path))
        if row["machine"] is None:  # the image is the vendor's own file, also in the substitutes
            check(len(raw) == row["vendor_size"], "%s is %d bytes, expected %d" % (row["file"], len(raw),
                                                                                  row["vendor_size"]))

    print("\n".join("FAIL: " + f for f in failures) or "resources: every check held")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
