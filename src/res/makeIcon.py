#!/usr/bin/env python3
"""Draws the program icon: one 256 x 256 image with a 16-colour palette.

A clock face on a shield-blue disc whose remaining quarter is green, as the
status window's ring shows the time left. Run it to regenerate hourwarden.ico:
    python3 src/res/makeIcon.py src/res/hourwarden.ico
"""
import math
import struct
import sys

SIZE = 256
PALETTE = [
    (0, 0, 0),        # 0 unused (transparent pixels are masked)
    (42, 92, 172),    # 1 accent blue (rim)
    (54, 122, 216),   # 2 light blue (disc)
    (255, 255, 255),  # 3 white (face)
    (51, 158, 110),   # 4 green (time left)
    (43, 51, 64),     # 5 dark (hands, ticks)
    (227, 235, 242),  # 6 track grey
    (200, 60, 60),    # 7 red (centre)
] + [(0, 0, 0)] * 8


def colour_at(x, y):
    cx = cy = (SIZE - 1) / 2
    dx, dy = x - cx, y - cy
    r = math.hypot(dx, dy)
    angle = (math.degrees(math.atan2(dx, -dy)) + 360) % 360  # 0 at 12 o'clock, clockwise
    if r > 124:
        return None
    if r > 112:
        return 1
    if r > 84:
        return 4 if angle >= 270 else 6
    if r > 80:
        return 2
    # Face with ticks and hands.
    if r < 9:
        return 7
    for tick in range(12):
        a = math.radians(tick * 30)
        tx, ty = math.sin(a), -math.cos(a)
        along = dx * tx + dy * ty
        across = abs(dx * ty - dy * tx)
        if 62 <= along <= 76 and across <= (4 if tick % 3 == 0 else 2):
            return 5
    for length, width, deg in ((44, 6, 300), (64, 4, 60)):
        a = math.radians(deg)
        tx, ty = math.sin(a), -math.cos(a)
        along = dx * tx + dy * ty
        across = abs(dx * ty - dy * tx)
        if -8 <= along <= length and across <= width / 2:
            return 5
    return 3


def build():
    xor_rows = []
    and_rows = []
    for y in reversed(range(SIZE)):  # bottom-up
        nibbles = []
        mask_bits = []
        for x in range(SIZE):
            c = colour_at(x, y)
            nibbles.append(c if c is not None else 0)
            mask_bits.append(1 if c is None else 0)
        xor_rows.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, SIZE, 2)))
        and_rows.append(bytes(
            sum(mask_bits[i + b] << (7 - b) for b in range(8)) for i in range(0, SIZE, 8)))
    xor = b"".join(xor_rows)
    mask = b"".join(and_rows)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    image = header + palette + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 0, 0, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "hourwarden.ico"
    with open(out, "wb") as f:
        f.write(build())
