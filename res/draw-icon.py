#!/usr/bin/env python3
"""Draws res/dorvanel.ico: a CD drive with its tray out and a disc on it,
at 32 x 32 and 16 x 16 pixels in the 16 standard Windows colours.

Each size is drawn from the same shapes, sampled at the pixel centres, so
the small image is the large one redrawn rather than scaled down.
Run it from anywhere; it writes the icon beside itself."""
import os
import struct

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREY, SILVER, WHITE, AQUA, YELLOW, GREEN, TEAL = 0, 8, 7, 15, 14, 11, 10, 6


def in_box(x, y, left, top, right, bottom):
    return left <= x < right and top <= y < bottom


def ellipse(x, y, cx, cy, rx, ry):
    return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2


def colour_at(x, y):
    """The colour index at a point of the 32-unit square, or None (transparent)."""
    # The disc lies on the tray, seen from above at an angle.
    d = ellipse(x, y, 16, 20.5, 11.5, 6.5)
    if d <= 1:
        if d > 0.80:
            return BLACK if d > 0.93 else GREY
        hole = ellipse(x, y, 16, 20.5, 2.4, 1.4)
        if hole <= 1:
            return BLACK if hole > 0.5 else SILVER
        if ellipse(x, y, 16, 20.5, 4.5, 2.6) <= 1:
            return SILVER
        # A band of light across the recorded surface.
        if 0.15 < (x - 16) / 11.5 - (y - 20.5) / 6.5 < 0.55:
            return AQUA if x < 18 else YELLOW
        return WHITE
    # The tray, out of the drive.
    if in_box(x, y, 3, 13, 29, 29):
        if x < 4 or x >= 28 or y >= 28:
            return BLACK
        return SILVER if y < 27 else GREY
    # The drive: a dark body with a light front, a slot and a busy light.
    if in_box(x, y, 1, 3, 31, 13):
        if x < 2 or x >= 30 or y < 4:
            return BLACK
        if y >= 11:
            return BLACK  # the slot the tray runs out of
        if in_box(x, y, 24, 6, 27, 8):
            return GREEN
        return SILVER if y < 6 else GREY
    return None


def draw(size):
    scale = 32 / size
    return [[colour_at((col + 0.5) * scale, (row + 0.5) * scale) for col in range(size)]
            for row in range(size)]


def dib(pixels):
    """A 4-bit icon image: header, palette, colour rows and mask rows, bottom up."""
    size = len(pixels)
    colour_row = (size * 4 + 31) // 32 * 4
    mask_row = (size + 31) // 32 * 4
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0,
                         (colour_row + mask_row) * size, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    colours = bytearray()
    mask = bytearray()
    for row in reversed(pixels):
        line = bytearray(colour_row)
        bits = bytearray(mask_row)
        for col, index in enumerate(row):
            if index is None:
                bits[col // 8] |= 0x80 >> (col % 8)
                index = 0
            line[col // 2] |= index << (4 if col % 2 == 0 else 0)
        colours += line
        mask += bits
    return header + palette + bytes(colours) + bytes(mask)


def icon(sizes):
    images = [dib(draw(size)) for size in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    return out + b''.join(images)


if __name__ == '__main__':
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'dorvanel.ico')
    with open(path, 'wb') as f:
        f.write(icon([32, 16]))
