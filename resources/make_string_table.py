#!/usr/bin/env python3
"""Turns strings.txt (UTF-8) into a resource-script string table.

windres reads a script byte by byte, so a UTF-8 text inside L"..." would come
out garbled. Every character outside printable ASCII is therefore written as
a \\x escape of its UTF-16 code unit, and so is any hex digit that directly
follows such an escape, so that it cannot be read as part of it.

Usage: make_string_table.py strings.txt out.rc
"""
import sys

HEX_DIGITS = set("0123456789abcdefABCDEF")


def read_table(path):
    """Returns [(id, name, text)] with the escapes of the source resolved."""
    rows = []
    with open(path, encoding="utf-8") as source:
        for number, line in enumerate(source, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            fields = line.split("\t")
            if len(fields) != 3:
                raise SystemExit("%s:%d: expected id, name and text separated by tabs" % (path, number))
            rows.append((int(fields[0]), fields[1], unescape(fields[2], path, number)))
    return rows


def unescape(text, path, number):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\":
            nxt = text[i + 1:i + 2]
            if nxt == "n":
                out.append("\n")
            elif nxt == "\\":
                out.append("\\")
            else:
                raise SystemExit("%s:%d: unknown escape \\%s" % (path, number, nxt))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def rc_literal(text):
    """A windres L"..." literal holding exactly `text`."""
    units = text.encode("utf-16-le")
    out = []
    escaped_before = False
    for k in range(0, len(units), 2):
        unit = units[k] | (units[k + 1] << 8)
        ch = chr(unit) if unit < 0x80 else None
        if ch is not None and 0x20 <= unit < 0x7F and not (escaped_before and ch in HEX_DIGITS):
            if ch == '"':
                out.append('""')
            elif ch == "\\":
                out.append("\\\\")
            else:
                out.append(ch)
            escaped_before = False
        else:
            out.append("\\x%04x" % unit)
            escaped_before = True
    return 'L"' + "".join(out) + '"'


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    rows = read_table(sys.argv[1])
    lines = [
        "/* Generated from strings.txt by make_string_table.py; do not edit. */",
        "LANGUAGE 0x09, 0x01",
        "STRINGTABLE",
        "BEGIN",
    ]
    for ident, name, text in rows:
        lines.append("    %d %s /* %s */" % (ident, rc_literal(text), name))
    lines.append("END")
    with open(sys.argv[2], "w", encoding="ascii", newline="\n") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
