#!/usr/bin/env python3
"""Writes the transcribed table (quillmere.json) as C++ constants for the test
programs that check the running product (the scenario robot):

    expected_header.py quillmere.json out.h
"""
import json
import sys


def wide(text):
    return 'L"%s"' % text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def number(value):
    return "0x%08XU" % int(value, 0) if isinstance(value, str) else "%dU" % value


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    with open(sys.argv[1], encoding="utf-8") as f:
        t = json.load(f)
    cls, win = t["window_class"], t["window"]
    out = ["// Generated from %s by expected_header.py; do not edit." % sys.argv[1].rsplit("/", 1)[-1],
           "#pragma once",
           "namespace expected {",
           "struct Message { unsigned id; const wchar_t* text; };",
           "const Message kMessages[] = {"]
    out += ["    {%s, %s}," % (i, wide(m["text"])) for i, m in sorted(t["messages"].items()) if i != "132"]
    out += ["};",
            "const wchar_t kTitle[] = %s;" % wide(t["messages"][str(win["caption_id"])]["text"]),
            "const wchar_t kClassName[] = %s;" % wide(cls["name"]),
            "const unsigned kClassStyle = %s;" % number(cls["style"]),
            "const unsigned kBackground = %s;" % number(cls["background"]),
            "const unsigned kWindowStyle = %s;" % number(win["style"]),
            "const unsigned kWindowExStyle = %s;" % number(win["ex_style"]),
            "struct Control { const wchar_t* cls; unsigned id; unsigned style; int width; int height; };",
            "// In the order of creation; the sizes are the buttons' (the bar's changes with the layout).",
            "const Control kControls[] = {"]
    out += ["    {%s, %d, %s, %d, %d}," % (wide(c["class"]), c["id"], number(c["style"]), *c["size"])
            for c in t["controls"]]
    out += ["};",
            "const unsigned kProgressLow = %d, kProgressHigh = %d, kProgressStep = %d;" % (
                *t["progress"]["range"], t["progress"]["step"]),
            "}  // namespace expected", ""]
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    main()
