#!/usr/bin/env python3
"""Draws the program's three icons and writes them as .ico files.

    python3 tools/make_icons.py [OUTPUT_DIR]      (default: resources/ of this tree)

  tray.ico         (104) the normal tray picture: a white clock face, navy rim
  tray_blink.ico   (105) the other picture of the busy blink, also the window and
                         list icon: the same clock in reverse colours (blue face,
                         white hands), so the alternation is plainly visible
  tray_failed.ico  (106) the white clock under a red cross

Each file holds 48, 32 and 16 pixel images with 16 colours (4 bits a pixel, a
palette of our own) and a transparency mask. Shapes are sampled 4 x 4 times per
pixel and the mean colour is mapped to the nearest palette entry, which gives
the small sizes some smoothing within 16 colours. Standard library only; the
output is the same byte for byte on every run, so the committed files can be
checked by running this again.
"""
import math
import os
import struct
import sys

SIZES = (48, 32, 16)
SUBSAMPLES = 4

PALETTE = [
    (0, 0, 0),        # 0 black (also the colour under transparent pixels)
    (255, 255, 255),  # 1 white
    (208, 208, 208),  # 2 light grey
    (140, 140, 140),  # 3 grey
    (70, 70, 70),     # 4 dark grey
    (0, 0, 120),      # 5 navy
    (30, 80, 200),    # 6 blue
    (120, 160, 230),  # 7 light blue
    (200, 215, 245),  # 8 pale blue
    (220, 20, 20),    # 9 red
    (130, 0, 0),      # 10 dark red
    (240, 140, 140),  # 11 light red
    (235, 185, 40),   # 12 gold
    (60, 70, 120),    # 13 slate
    (128, 128, 190),  # 14 periwinkle (blend of navy and white)
    (240, 225, 225),  # 15 near white, warm
]

NAVY, BLUE, WHITE, BLACK = PALETTE[5], PALETTE[6], PALETTE[1], PALETTE[0]
RED, DARK_RED, GOLD, LIGHT_BLUE = PALETTE[9], PALETTE[10], PALETTE[12], PALETTE[7]


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def line_pixels(x0, y0, x1, y1):
    """Bresenham's line, both ends included."""
    pixels = set()
    dx, dy = abs(x1 - x0), -abs(y1 - y0)
    sx, sy = (1 if x1 > x0 else -1), (1 if y1 > y0 else -1)
    err = dx + dy
    while True:
        pixels.add((x0, y0))
        if (x0, y0) == (x1, y1):
            return pixels
        e2 = 2 * err
        if e2 >= dy:
            err += dy
            x0 += sx
        if e2 <= dx:
            err += dx
            y0 += sy


# The 16-pixel clock is drawn pixel by pixel: one-pixel hands at 10:10 and
# one-pixel marks, which sampling cannot place cleanly at that size.
SMALL_HANDS = line_pixels(7, 7, 4, 4) | line_pixels(7, 7, 12, 2)
SMALL_MARKS = {(7, 3), (11, 7), (7, 11), (3, 7)}


def clock(face, rim, marks, hands, size):
    """A shape function for a clock face at 10:10; None outside the picture."""
    if size >= 32:
        centre, outer, inner, line = 0.5, 0.48, 0.40, 0.055
    else:
        # Centred on a pixel, so the hands meet in one pixel and the rim is even.
        centre, outer, inner, line = 7.5 / 16, 7.6 / 16, 6.1 / 16, 1.2 / 16

    def point(angle_deg, length):
        a = math.radians(angle_deg)
        return centre + length * math.sin(a), centre - length * math.cos(a)

    hour = point(-60, 0.22)    # 10 o'clock
    minute = point(60, 0.32)   # 2 o'clock

    def shape(x, y):
        r = math.hypot(x - centre, y - centre)
        if r > outer:
            return None
        if r > inner:
            return rim
        if size < 32:
            pixel = (int(x * size), int(y * size))
            if pixel in SMALL_HANDS:
                return hands
            return marks if pixel in SMALL_MARKS else face
        if segment_distance(x, y, centre, centre, *hour) < line * 0.75:
            return hands
        if segment_distance(x, y, centre, centre, *minute) < line * 0.55:
            return hands
        if r < line * 0.9:
            return hands
        # Marks at 12, 3, 6 and 9 o'clock only: twelve do not fit 16 pixels.
        for k in range(4):
            if segment_distance(x, y, *point(90 * k, inner - 0.09), *point(90 * k, inner - 0.01)) < line * 0.5:
                return marks
        return face

    return shape


def crossed(under, size):
    """The given shape under a red cross with a dark red outline."""
    width = 0.085 if size >= 32 else 0.07
    outline = 0.04 if size >= 32 else 0.0

    def shape(x, y):
        d = min(segment_distance(x, y, 0.14, 0.14, 0.86, 0.86),
                segment_distance(x, y, 0.86, 0.14, 0.14, 0.86))
        if d < width:
            return RED
        if d < width + outline:
            return DARK_RED
        return under(x, y)

    return shape


def nearest(colour):
    return min(range(len(PALETTE)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(PALETTE[i], colour)))


def render(shape, size):
    """Rows top to bottom of (palette index, transparent)."""
    rows = []
    n = SUBSAMPLES
    for py in range(size):
        row = []
        for px in range(size):
            hits = []
            for sy in range(n):
                for sx in range(n):
                    c = shape((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if c is not None:
                        hits.append(c)
            if len(hits) * 2 < n * n:
                row.append((0, True))
            elif size >= 32:
                mean = tuple(sum(c[i] for c in hits) / len(hits) for i in range(3))
                row.append((nearest(mean), False))
            else:
                # Blends blur a 16-pixel picture: take the colour that covers most.
                row.append((PALETTE.index(max(hits, key=hits.count)), False))
        rows.append(row)
    return rows


def bitmap_image(rows, size):
    """BITMAPINFOHEADER, palette, 4-bit colour rows and the 1-bit mask, bottom-up."""
    xor_stride = (size * 4 + 31) // 32 * 4
    and_stride = (size + 31) // 32 * 4
    colour = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, (index, transparent) in enumerate(row):
            line[x // 2] |= index << 4 if x % 2 == 0 else index
            if transparent:
                bits[x // 8] |= 0x80 >> (x % 8)
        colour += line
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    return header + palette + bytes(colour) + bytes(mask)


def icon_file(shape_for_size):
    images = [bitmap_image(render(shape_for_size(s), s), s) for s in SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    return bytes(out)


ICONS = {
    "tray.ico": lambda s: clock(WHITE, NAVY, NAVY, BLACK, s),
    "tray_blink.ico": lambda s: clock(BLUE, NAVY, WHITE, WHITE, s),
    "tray_failed.ico": lambda s: crossed(clock(WHITE, NAVY, NAVY, BLACK, s), s),
}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources")
    for name, shape_for_size in ICONS.items():
        path = os.path.join(target, name)
        with open(path, "wb") as f:
            f.write(icon_file(shape_for_size))
        print(path)


if __name__ == "__main__":
    main()
