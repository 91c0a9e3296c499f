#!/usr/bin/env python3
"""Draws the six drive icons of vidizer.dll and writes them as .ico files.

Standard library only, and deterministic: running it again rewrites the
committed .ico files byte for byte, so the build never needs it.

    make_icons.py [--out DIR] [--preview FILE.png]

Every icon is a drive with a padlock on it: a closed gold padlock and a red
light when the vault is locked, an open green padlock and a green light when
it is unlocked. A blue badge with a sharing mark says the vault is shared; a
red badge with a cross (and a faded drive) says its folder was not found.
"""
import argparse
import math
import os
import struct
import zlib

# Index in the DLL -> (file, locked, badge). The resource ids are 100 + index,
# so the shell's "path,index" picks them in this order.
ICONS = [
    ("locked-missing.ico", True, "missing"),
    ("unlocked.ico", False, None),
    ("unlocked-shared.ico", False, "shared"),
    ("locked.ico", True, None),
    ("locked-shared.ico", True, "shared"),
    ("unlocked-missing.ico", False, "missing"),
]
SIZES = (32, 16)
SAMPLES = 4  # per axis, for anti-aliased edges

# Shapes live in a 32-unit square; each is a test "is (x, y) inside".
def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside

def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r

def segment(ax, ay, bx, by, width):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    def inside(x, y):
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length2))
        px, py = ax + t * dx - x, ay + t * dy - y
        return px * px + py * py <= (width / 2) ** 2
    return inside

def shackle(cx, cy, r_out, thickness, left_to, right_to):
    """A padlock's bow: a half ring centred on (cx, cy) over two legs that
    reach down to left_to and right_to."""
    r_in = r_out - thickness
    def inside(x, y):
        if y <= cy:
            return r_in ** 2 <= (x - cx) ** 2 + (y - cy) ** 2 <= r_out ** 2
        return ((cx - r_out <= x <= cx - r_in and y <= left_to) or
                (cx + r_in <= x <= cx + r_out and y <= right_to))
    return inside

def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)

# Colours are RGBA, 0-255.
OUTLINE = (60, 60, 64, 255)
DRIVE_TOP, DRIVE_BOTTOM = (226, 228, 232), (150, 154, 162)
GOLD, GOLD_DARK = (232, 178, 24, 255), (130, 88, 0, 255)
GREEN, GREEN_DARK = (64, 178, 72, 255), (24, 96, 32, 255)
RED, BLUE, WHITE = (214, 40, 40, 255), (36, 104, 214, 255), (255, 255, 255, 255)

def layers(size, locked, badge):
    """The icon as an ordered list of (shape, colour) in 32-unit space; a
    colour may be a function of y for a gradient. Stroke widths are given in
    pixels of the target size, so the 16-pixel icon keeps visible lines."""
    px = 32.0 / size
    fade = 0.45 if badge == "missing" else 1.0
    def body(y):
        t = min(1.0, max(0.0, (y - 13) / 15))
        rgb = [round(a + (b - a) * t) for a, b in zip(DRIVE_TOP, DRIVE_BOTTOM)]
        return (*rgb, round(255 * fade))
    outline = OUTLINE[:3] + (round(255 * fade),)
    out = [
        (rounded_rect(1, 13, 31, 29, 3.5), outline),
        (rounded_rect(1 + px, 13 + px, 31 - px, 29 - px, 3.5 - px), body),
        (segment(5, 24.5, 18, 24.5, max(1.0, px)), outline),          # slot
        (rounded_rect(21, 22.5, 27, 26.5, 1), RED if locked else GREEN),  # light
    ]
    lock, lock_dark = (GOLD, GOLD_DARK) if locked else (GREEN, GREEN_DARK)
    stroke = max(2.5, 2 * px)
    # An open padlock's bow is lifted and its right leg is out of the lock.
    cy = 7.5 if locked else 3.5
    right_to = 12 if locked else cy + 1.5
    out += [
        (shackle(16, cy, 5.5, stroke + px, 12, right_to), lock_dark),
        (shackle(16, cy, 5.5 - px / 2, stroke, 12, right_to), lock),
        (rounded_rect(9, 10, 23, 21, 2), lock_dark),
        (rounded_rect(9 + px, 10 + px, 23 - px, 21 - px, 2 - px / 2), lock),
        (union(circle(16, 14.5, 1.8), segment(16, 14.5, 16, 18, 1.6)), lock_dark),  # keyhole
    ]
    if badge:
        # At 16 pixels a white rim and thick marks would wash the badge out.
        cx, cy, r = 8.5, 23.5, 7.5 if size >= 32 else 8.0
        out.append((circle(cx, cy, r + min(px, 1.0)), WHITE))
        out.append((circle(cx, cy, r), RED if badge == "missing" else BLUE))
        w = 2.2 if size >= 32 else 1.1 * px
        if badge == "missing":
            d = 3.4 if size >= 32 else 3.2
            out.append((union(segment(cx - d, cy - d, cx + d, cy + d, w),
                              segment(cx - d, cy + d, cx + d, cy - d, w)), WHITE))
        else:  # three joined dots, the sharing mark
            a, b, c = (cx - 3.2, cy), (cx + 2.8, cy - 3.4), (cx + 2.8, cy + 3.4)
            dot = 1.7 if size >= 32 else 0.6 * px
            out.append((union(segment(*a, *b, w * 0.6), segment(*a, *c, w * 0.6),
                              circle(*a, dot), circle(*b, dot), circle(*c, dot)), WHITE))
    return out

def render(size, locked, badge):
    """Rows of RGBA tuples, top row first, straight (not premultiplied) alpha."""
    scale = 32.0 / size
    shapes = layers(size, locked, badge)
    rows = []
    for j in range(size):
        row = []
        for i in range(size):
            r = g = b = a = 0.0  # premultiplied accumulator
            for sj in range(SAMPLES):
                for si in range(SAMPLES):
                    x = (i + (si + 0.5) / SAMPLES) * scale
                    y = (j + (sj + 0.5) / SAMPLES) * scale
                    sr = sg = sb = sa = 0.0
                    for shape, colour in shapes:
                        if not shape(x, y):
                            continue
                        cr, cg, cb, ca = colour(y) if callable(colour) else colour
                        ca /= 255.0
                        sr = cr * ca + sr * (1 - ca)
                        sg = cg * ca + sg * (1 - ca)
                        sb = cb * ca + sb * (1 - ca)
                        sa = ca + sa * (1 - ca)
                    r, g, b, a = r + sr, g + sg, b + sb, a + sa
            n = SAMPLES * SAMPLES
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(r / a), round(g / a), round(b / a), round(255 * a / n)))
        rows.append(row)
    return rows

def ico_image(rows):
    """One 32-bit icon image: BITMAPINFOHEADER, bottom-up BGRA, AND mask."""
    size = len(rows)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for i, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[i // 8] |= 0x80 >> (i % 8)
        mask += bytes(bits)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + xor + mask

def ico_file(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)

def png_file(width, height, pixels):
    """pixels: rows of RGBA tuples."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in pixels)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))

def preview(rendered, zoom=4):
    """All icons side by side, each size enlarged, on a light background."""
    cell = 32 * zoom + 8
    width, height = cell * len(rendered), cell * len(SIZES)
    sheet = [[(240, 240, 240, 255)] * width for _ in range(height)]
    for k, by_size in enumerate(rendered):
        for s, size in enumerate(SIZES):
            z = 32 * zoom // size
            for j, row in enumerate(by_size[size]):
                for i, (r, g, b, a) in enumerate(row):
                    bg = sheet[s * cell][0]
                    c = tuple(round(v * a / 255 + w * (1 - a / 255)) for v, w in zip((r, g, b), bg))
                    for dj in range(z):
                        line = sheet[s * cell + 4 + j * z + dj]
                        for di in range(z):
                            line[k * cell + 4 + i * z + di] = c + (255,)
    return png_file(width, height, sheet)

def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=here, help="folder for the .ico files")
    parser.add_argument("--preview", help="also write a PNG sheet of all icons")
    args = parser.parse_args()
    rendered = []
    for name, locked, badge in ICONS:
        by_size = {size: render(size, locked, badge) for size in SIZES}
        rendered.append(by_size)
        with open(os.path.join(args.out, name), "wb") as f:
            f.write(ico_file([(size, ico_image(by_size[size])) for size in SIZES]))
    if args.preview:
        with open(args.preview, "wb") as f:
            f.write(preview(rendered))

if __name__ == "__main__":
    main()
