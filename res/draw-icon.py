#!/usr/bin/env python3
"""Draws the program's icon: a CD drive with its tray out and a disc on it,
in the 16 standard Windows colours. res/dorvanel.ico, the exe's, holds it at
32 x 32 and 16 x 16 pixels; res/icons/NxN/apps/dorvanel.png, for the hicolor
theme of Linux desktops, at each size in PNG_SIZES.

Each size is drawn from the same shapes, sampled at the pixel centres, so
a small image is a large one redrawn rather than scaled down.
Run it from anywhere; it writes the files beside itself."""
import os
import struct
import zlib

# The sizes desktops ask for most: menus and panels, launchers and docks.
PNG_SIZES = [16, 24, 32, 48, 64, 128, 256]

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


def png(pixels):
    """An 8-bit PNG over the palette, with a 17th entry for transparent."""
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    clear = len(PALETTE)
    rows = b''.join(b'\0' + bytes(clear if index is None else index for index in row) for row in pixels)
    return (b'\x89PNG\r\n\x1a\n'
            + chunk(b'IHDR', struct.pack('>IIBBBBB', len(pixels), len(pixels), 8, 3, 0, 0, 0))
            + chunk(b'PLTE', b''.join(bytes(colour) for colour in PALETTE + [(0, 0, 0)]))
            + chunk(b'tRNS', bytes([255] * clear + [0]))
            + chunk(b'IDAT', zlib.compress(rows, 9)) + chunk(b'IEND', b''))


if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, 'dorvanel.ico'), 'wb') as f:
        f.write(icon([32, 16]))
    for size in PNG_SIZES:
        folder = os.path.join(here, 'icons', f'{size}x{size}', 'apps')
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, 'dorvanel.png'), 'wb') as f:
            f.write(png(draw(size)))
