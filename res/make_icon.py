#!/usr/bin/env python3
"""Draws the application icon (64 x 64) and writes it as PNG and as ICO.

The drawing below is the icon's only source: a board on the lower left and a
browser window on the upper right, joined by a bridge line, on a rounded dark
tile. Run it again after changing the drawing; both files are committed.

Usage: make_icon.py [output-folder]   (default: the folder of this script)
"""
import os
import struct
import sys
import zlib

SIZE = 64
SAMPLES = 4  # per axis, for smooth edges


def inside_round_rect(x, y, x0, y0, x1, y1, r):
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and x0 <= x <= x1 and y0 <= y <= y1


def near_segment(x, y, ax, ay, bx, by, half_width):
    dx, dy = bx - ax, by - ay
    t = ((x - ax) * dx + (y - ay) * dy) / float(dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    px, py = ax + t * dx, ay + t * dy
    return (x - px) ** 2 + (y - py) ** 2 <= half_width * half_width


TILE_TOP = (36, 58, 92)
TILE_BOTTOM = (18, 30, 52)
BOARD = (30, 140, 72)
BOARD_EDGE = (20, 96, 50)
CHIP = (28, 28, 32)
PIN = (230, 190, 80)
WINDOW = (236, 242, 250)
TITLE = (70, 150, 230)
TEXT = (150, 165, 185)
BRIDGE = (250, 140, 40)


def colour_at(x, y):
    """The colour at a point of the drawing, or None outside the tile."""
    if not inside_round_rect(x, y, 1, 1, 63, 63, 10):
        return None
    # Bridge line from the board's chip to the browser window: drawn under both.
    path = [(22, 42), (30, 34), (36, 38), (44, 26)]
    for (ax, ay), (bx, by) in zip(path, path[1:]):
        if near_segment(x, y, ax, ay, bx, by, 2.6):
            return BRIDGE
    # Browser window, upper right.
    if inside_round_rect(x, y, 30, 8, 58, 30, 3):
        if y < 13.5:
            return TITLE
        for row in (17, 21, 25):
            if row <= y < row + 2 and 34 <= x < (54 if row != 25 else 46):
                return TEXT
        return WINDOW
    # Board, lower left, with pins along the top and bottom of its chip.
    if inside_round_rect(x, y, 6, 32, 38, 58, 3):
        if 16 <= x < 28 and 40 <= y < 50:
            return CHIP
        for px in range(17, 28, 3):
            if px <= x < px + 1.6 and (37.5 <= y < 40 or 50 <= y < 52.5):
                return PIN
        if 9 <= x < 12 and 35 <= y < 38:  # the power light
            return BRIDGE
        if x < 7.5 or x > 36.5 or y < 33.5 or y > 56.5:
            return BOARD_EDGE
        return BOARD
    t = y / SIZE
    return tuple(round(a + (b - a) * t) for a, b in zip(TILE_TOP, TILE_BOTTOM))


def render():
    """Rows of (r, g, b, a) from the top, supersampled."""
    rows = []
    n = SAMPLES * SAMPLES
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            r = g = b = hits = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
                    if c is not None:
                        r, g, b, hits = r + c[0], g + c[1], b + c[2], hits + 1
            if hits:
                row.append((round(r / hits), round(g / hits), round(b / hits),
                            round(255 * hits / n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png_bytes(rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\0" + bytes(v for px in row for v in px) for row in rows)
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # RGBA, 8 bits
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico_bytes(rows):
    """One 24-bit image with an AND mask: 40 + 12288 + 512 bytes of bitmap."""
    colour = b"".join(bytes(v for px in row for v in (px[2], px[1], px[0]))
                      for row in reversed(rows))  # BGR, bottom-up, 192 bytes a row
    mask = bytearray()
    for row in reversed(rows):
        bits = 0
        for px in row:
            bits = (bits << 1) | (1 if px[3] < 128 else 0)
        mask += bits.to_bytes(8, "big")  # 64 bits: already a multiple of 4 bytes
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 24, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    image = header + colour + bytes(mask)
    assert len(image) == 12840
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 24, len(image), 6 + 16)
    return directory + entry + image


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    rows = render()
    with open(os.path.join(out, "app_icon.png"), "wb") as f:
        f.write(png_bytes(rows))
    with open(os.path.join(out, "app_icon.ico"), "wb") as f:
        f.write(ico_bytes(rows))


if __name__ == "__main__":
    main()
