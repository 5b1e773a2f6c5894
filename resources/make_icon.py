#!/usr/bin/env python3
"""Draws the program icon: a touchpad (rounded panel with two buttons) and an
upward arrow, 32 bits per pixel with alpha, and writes it as one .ico file: at
256 pixels as a PNG-compressed image (the form Windows Vista and later read,
for the large views of Windows 10 and 11), at 64, 48, 32 and 16 pixels as
device-independent bitmaps.

Usage: make_icon.py out.ico
"""
import struct
import sys
import zlib

PNG_SIZES = (256,)
SIZES = PNG_SIZES + (64, 48, 32, 16)

PANEL_TOP = (0x3A, 0x7B, 0xD5)
PANEL_BOTTOM = (0x1E, 0x4E, 0x9A)
PAD = (0xEE, 0xF3, 0xFA)
BUTTON = (0xC9, 0xD6, 0xEA)
ARROW = (0x2E, 0xA0, 0x4A)


def coverage_rounded_rect(x, y, x0, y0, x1, y1, r):
    """Approximate coverage (0..1) of pixel (x, y) by a rounded rectangle,
    by 4x4 supersampling. A pixel wholly outside the rectangle, or wholly inside it away from
    the corners, gives the answer the samples would without them."""
    if x + 1 <= x0 or x >= x1 or y + 1 <= y0 or y >= y1:
        return 0.0
    if (x0 <= x and x + 1 <= x1 and y0 + r <= y and y + 1 <= y1 - r) or \
       (x0 + r <= x and x + 1 <= x1 - r and y0 <= y and y + 1 <= y1):
        return 1.0
    hits = 0
    for sy in range(4):
        for sx in range(4):
            px = x + (sx + 0.5) / 4
            py = y + (sy + 0.5) / 4
            if px < x0 or px > x1 or py < y0 or py > y1:
                continue
            cx = min(max(px, x0 + r), x1 - r)
            cy = min(max(py, y0 + r), y1 - r)
            if (px - cx) ** 2 + (py - cy) ** 2 <= r * r:
                hits += 1
    return hits / 16.0


def in_arrow(px, py, s):
    """Upward arrow in the upper right of the pad, in units of the size s."""
    cx, tip, base = 0.5 * s, 0.22 * s, 0.40 * s
    half = 0.14 * s
    if tip <= py <= base:
        w = half * (py - tip) / (base - tip)
        return abs(px - cx) <= w
    stem = 0.055 * s
    return base <= py <= 0.56 * s and abs(px - cx) <= stem


def coverage_arrow(x, y, s):
    """Coverage of pixel (x, y) by the arrow; 0 at once outside its bounding box."""
    if x + 1 <= 0.36 * s or x >= 0.64 * s or y + 1 <= 0.22 * s or y >= 0.56 * s:
        return 0.0
    return coverage(in_arrow, x, y, s)


def coverage(fn, x, y, *args):
    hits = 0
    for sy in range(4):
        for sx in range(4):
            if fn(x + (sx + 0.5) / 4, y + (sy + 0.5) / 4, *args):
                hits += 1
    return hits / 16.0


def blend(dst, src, a):
    return tuple(round(d * (1 - a) + s * a) for d, s in zip(dst, src))


def draw(s):
    """Returns rows top to bottom of (r, g, b, a)."""
    rows = []
    m = s / 16.0
    for y in range(s):
        row = []
        for x in range(s):
            a_panel = coverage_rounded_rect(x, y, 0.5 * m, 0.5 * m, s - 0.5 * m, s - 0.5 * m, 3 * m)
            t = y / max(1, s - 1)
            color = tuple(round(p0 * (1 - t) + p1 * t) for p0, p1 in zip(PANEL_TOP, PANEL_BOTTOM))
            a_pad = coverage_rounded_rect(x, y, 2.5 * m, 2.5 * m, s - 2.5 * m, 10.5 * m, 1.2 * m)
            color = blend(color, PAD, a_pad)
            a_left = coverage_rounded_rect(x, y, 2.5 * m, 11.5 * m, 7.6 * m, 13.5 * m, 0.8 * m)
            a_right = coverage_rounded_rect(x, y, 8.4 * m, 11.5 * m, s - 2.5 * m, 13.5 * m, 0.8 * m)
            color = blend(color, BUTTON, max(a_left, a_right))
            color = blend(color, ARROW, coverage_arrow(x, y, s) * a_pad)
            row.append(color + (round(255 * a_panel),))
        rows.append(row)
    return rows


def ico_image(s):
    """BITMAPINFOHEADER + BGRA pixels bottom-up + AND mask."""
    rows = draw(s)
    header = struct.pack("<IiiHHIIiiII", 40, s, 2 * s, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((s + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def png_image(s):
    """A PNG file of the icon: 8-bit RGBA, no chunk that varies between runs (no time,
    no text), so the same drawing gives the same bytes."""
    raw = b"".join(b"\0" + bytes(c for pixel in row for c in pixel) for row in draw(s))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", s, s, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    images = [png_image(s) if s in PNG_SIZES else ico_image(s) for s in SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for s, data in zip(SIZES, images):
        # A width or height of 256 is written as 0.
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
