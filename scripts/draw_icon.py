#!/usr/bin/env python3
"""Draws vanta's window icon: a disk platter, half of it still holding data
tracks, the other half swept clean behind a read/write arm. Writes one
32 x 32 image with 16 colours (4 bits per pixel) as a .ico file.

    python3 scripts/draw_icon.py ui/vanta.ico
"""
import math
import struct
import sys

SIZE = 32

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, NAVY, TEAL, SILVER, GREY, RED, AQUA, WHITE = 0, 4, 6, 7, 8, 9, 14, 15

CENTRE = (SIZE - 1) / 2.0
RADIUS = 15.0
SWEEP_DEGREES = 150      # the clean wedge, clockwise from the top
TRACKS = (6.5, 9.5, 12.5)


def pixel(x, y):
    """Colour index of pixel (x, y), y down; None where the icon is transparent."""
    dx, dy = x - CENTRE, y - CENTRE
    r = math.hypot(dx, dy)
    if r > RADIUS:
        return None
    if r > RADIUS - 1.2:
        return BLACK                          # rim
    if r < 2.0:
        return BLACK                          # spindle
    if r < 3.6:
        return GREY                           # hub
    # angle clockwise from the top, 0..360
    angle = math.degrees(math.atan2(dx, -dy)) % 360
    if abs(angle - SWEEP_DEGREES) < 9 and r < RADIUS - 2:
        return NAVY if r < RADIUS - 3.5 else RED    # the arm and its head
    if angle < SWEEP_DEGREES:
        return AQUA if angle > SWEEP_DEGREES - 40 else WHITE   # swept clean, freshest behind the arm
    for track in TRACKS:
        if abs(r - track) < 0.6 and int(angle / 12) % 3 != 2:
            return TEAL                       # data still on the platter
    return SILVER


def ico_bytes():
    colours = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    xor_rows, and_rows = [], []
    for row in reversed(colours):             # DIB rows run bottom-up
        xor = bytearray()
        for x in range(0, SIZE, 2):
            hi, lo = (c if c is not None else 0 for c in row[x:x + 2])
            xor.append(hi << 4 | lo)
        mask = 0
        for c in row:
            mask = mask << 1 | (c is None)
        xor_rows.append(bytes(xor))
        and_rows.append(mask.to_bytes(SIZE // 8, "big"))
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    pixels = b"".join(xor_rows) + b"".join(and_rows)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, len(pixels), 0, 0, 16, 0)
    image = header + palette + pixels
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: draw_icon.py OUTPUT.ico")
    with open(sys.argv[1], "wb") as out:
        out.write(ico_bytes())
