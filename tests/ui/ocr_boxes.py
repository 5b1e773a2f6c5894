#!/usr/bin/env python3
"""Reads every message box on the contact sheet back with OCR and holds its text to the table.

    ocr_boxes.py TABLE.json FOLDER [--expect N]

FOLDER holds the boxes as pictures of their own, each named ...message-<id>....png (the scenario
robot's crops and the GUI harness's shots). Each is enlarged four times and
read by tesseract with its Japanese data; the text it reads (spaces and line ends taken out, NFKC
folded, so full-width and half-width forms compare equal) must hold the table's text for that id
in order, but for small slips: at most a tenth of its characters, and at least two, may be missing
or misread. OCR confuses a few shapes at this size (別 and 過, ブ and プ, 種 and 竹, an extra small
ッ or テ); a box drawn in squares, or in another message's text, misses most of them. Prints one
line per box and the largest share of slips, and exits 1 when a box has too many or fewer than N
boxes were found.
"""
import argparse
import difflib
import json
import os
import re
import subprocess
import sys
import tempfile
import unicodedata


def folded(text):
    return re.sub(r"\s+", "", unicodedata.normalize("NFKC", text))


def read_box(path, scratch):
    """What tesseract reads in the box at path."""
    big = os.path.join(scratch, "box.png")
    subprocess.run(["convert", path, "-resize", "400%", "-colorspace", "Gray", big], check=True)
    r = subprocess.run(["tesseract", big, "-", "-l", "jpn", "--psm", "6"], capture_output=True, text=True)
    return r.stdout


def slips(expected, read):
    """How many of expected's characters do not stand, in order, in read."""
    matcher = difflib.SequenceMatcher(None, expected, read, autojunk=False)
    return len(expected) - sum(block.size for block in matcher.get_matching_blocks())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("table")
    ap.add_argument("folder")
    ap.add_argument("--expect", type=int, default=1)
    a = ap.parse_args()
    messages = json.load(open(a.table, encoding="utf-8"))["messages"]
    boxes = sorted(n for n in os.listdir(a.folder)
                   if re.search(r"message-\d+", n) and n.endswith(".png"))
    failed, worst = 0, 0.0
    with tempfile.TemporaryDirectory() as scratch:
        for name in boxes:
            mid = re.search(r"message-(\d+)", name).group(1)
            expected = folded(messages[mid]["text"])
            read = folded(read_box(os.path.join(a.folder, name), scratch))
            missed, allowed = slips(expected, read), max(2, len(expected) // 10)
            worst = max(worst, missed / len(expected))
            failed += missed > allowed
            print("%s %s: %d of %d characters missed (%d allowed): %s"
                  % ("ok  " if missed <= allowed else "FAIL", name, missed, len(expected), allowed, read))
    if len(boxes) < a.expect:
        print("FAIL only %d message boxes in %s, %d expected" % (len(boxes), a.folder, a.expect))
        failed += 1
    print("ocr_boxes: %d boxes, %d with too many slips; at most %.0f %% of a text missed"
          % (len(boxes), failed, 100 * worst))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
