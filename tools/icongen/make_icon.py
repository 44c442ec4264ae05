#!/usr/bin/python3
"""Draws the programs' icon and writes it as a Windows .ico file.

The artwork is a rounded tile with a blue gradient and three white flow lines.
It is drawn from its geometry at every size (with supersampling), so each image
is sharp rather than scaled, and stored as the icon group needs it:

  4 bits per pixel  : 32x32, 16x16 (the 16-colour standard palette)
  8 bits per pixel  : 48x48, 32x32, 16x16 (a fixed 256-colour palette)
  32 bits per pixel : 256x256 (PNG-compressed), 64x64, 48x48, 32x32, 16x16

Only Python's standard library is used. Usage:
  tools/icongen/make_icon.py res/menutools.ico
"""

import math
import struct
import sys
import zlib

IMAGES = [(32, 4), (16, 4), (48, 8), (32, 8), (16, 8),
          (256, 32), (64, 32), (48, 32), (32, 32), (16, 32)]

TOP = (0x0B, 0x4F, 0x8A)
BOTTOM = (0x1A, 0xA3, 0xC8)
LINE = (0xFF, 0xFF, 0xFF)
MARGIN = 0.04
RADIUS = 0.2
# centre height, amplitude, phase and stroke width of each flow line
FLOW_LINES = [(0.32, 0.05, 0.0, 0.070), (0.50, 0.05, 0.0, 0.080), (0.68, 0.05, 0.0, 0.070)]

# The 16 colours of the standard Windows palette.
VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def palette256():
    """A 6x6x6 colour cube, then a ramp of grays, then black to fill."""
    levels = [0, 51, 102, 153, 204, 255]
    colours = [(r, g, b) for r in levels for g in levels for b in levels]
    colours += [(v, v, v) for v in range(8, 256, 10)][:40]
    return colours + [(0, 0, 0)] * (256 - len(colours))


def inside_tile(x, y):
    lo, hi = MARGIN, 1.0 - MARGIN
    cx = min(max(x, lo + RADIUS), hi - RADIUS)
    cy = min(max(y, lo + RADIUS), hi - RADIUS)
    return (x - cx) ** 2 + (y - cy) ** 2 <= RADIUS ** 2 and lo <= x <= hi and lo <= y <= hi


def sample(x, y):
    """Colour and coverage (0 or 1) of the artwork at (x, y) in the unit square."""
    if not inside_tile(x, y):
        return (0, 0, 0), 0.0
    t = (y - MARGIN) / (1.0 - 2 * MARGIN)
    colour = tuple(a + (b - a) * t for a, b in zip(TOP, BOTTOM))
    for centre, amplitude, phase, width in FLOW_LINES:
        line_y = centre + amplitude * math.sin(2 * math.pi * (x * 1.1 + phase))
        if abs(y - line_y) <= width / 2 and 0.16 <= x <= 0.84:
            colour = LINE
    return colour, 1.0


def render(size):
    """RGBA rows, top row first, drawn with supersampling."""
    grid = 4 if size <= 64 else 2
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = cover = 0.0
            for sy in range(grid):
                for sx in range(grid):
                    colour, c = sample((px + (sx + 0.5) / grid) / size,
                                       (py + (sy + 0.5) / grid) / size)
                    r += colour[0] * c
                    g += colour[1] * c
                    b += colour[2] * c
                    cover += c
            n = grid * grid
            alpha = cover / n
            if cover > 0:
                row.append((round(r / cover), round(g / cover), round(b / cover), round(alpha * 255)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def nearest(palette, colour):
    return min(range(len(palette)),
               key=lambda i: sum((p - c) ** 2 for p, c in zip(palette[i], colour)))


def pad4(data):
    return data + b"\0" * (-len(data) % 4)


def and_mask(rows):
    """1 bit per pixel, bottom row first: set where the image is transparent."""
    out = b""
    for row in reversed(rows):
        bits = bytearray((len(row) + 7) // 8)
        for x, pixel in enumerate(row):
            if pixel[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += pad4(bytes(bits))
    return out


def dib(size, bits, rows):
    """A device-independent bitmap as icon images store it (height doubled)."""
    colours = {4: 16, 8: 256, 32: 0}[bits]
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, colours, 0)
    if bits == 32:
        pixels = b"".join(pad4(b"".join(struct.pack("BBBB", b, g, r, a) for r, g, b, a in row))
                          for row in reversed(rows))
        return header + pixels + and_mask(rows)
    palette = VGA16 if bits == 4 else palette256()
    table = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in palette)
    pixels = b""
    for row in reversed(rows):
        indexes = [nearest(palette, p[:3]) if p[3] >= 128 else 0 for p in row]
        if bits == 8:
            line = bytes(indexes)
        else:
            line = bytes((indexes[i] << 4) | indexes[i + 1] for i in range(0, len(indexes), 2))
        pixels += pad4(line)
    return header + table + pixels + and_mask(rows)


def png(size, rows):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(path):
    rendered = {}
    blobs = []
    for size, bits in IMAGES:
        rows = rendered.setdefault(size, render(size))
        blobs.append(png(size, rows) if size == 256 else dib(size, bits, rows))
    offset = 6 + 16 * len(IMAGES)
    directory = struct.pack("<HHH", 0, 1, len(IMAGES))
    for (size, bits), blob in zip(IMAGES, blobs):
        dimension = 0 if size == 256 else size
        colour_count = 16 if bits == 4 else 0
        directory += struct.pack("<BBBBHHII", dimension, dimension, colour_count, 0, 1, bits,
                                 len(blob), offset)
        offset += len(blob)
    with open(path, "wb") as out:
        out.write(directory + b"".join(blobs))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    main(sys.argv[1])
