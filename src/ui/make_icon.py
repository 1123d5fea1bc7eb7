#!/usr/bin/env python3
"""Draws the application icon, orv.ico: one 48x48 32-bit image, a blue
rounded square with a white downward arrow over a bar (an update).

    python3 src/ui/make_icon.py src/ui/orv.ico
"""
import struct
import sys

SIZE = 48


def pixel(x, y):
    """RGBA of the pixel at (x, y), y counted from the top."""
    cx, cy = x + 0.5, y + 0.5
    # Rounded square, 2 px margin, 8 px corner radius.
    lo, hi, r = 2.0, SIZE - 2.0, 8.0
    qx = max(lo + r - cx, 0.0, cx - (hi - r))
    qy = max(lo + r - cy, 0.0, cy - (hi - r))
    if not (lo <= cx <= hi and lo <= cy <= hi) or qx * qx + qy * qy > r * r:
        return (0, 0, 0, 0)
    shade = int(40 * (cy / SIZE))
    colour = (30, 100 - shade, 200 - shade, 255)
    white = (255, 255, 255, 255)
    # The arrow: a shaft and a head pointing down, above a bar.
    if 20 <= cx <= 28 and 9 <= cy <= 24:
        return white
    if 24 <= cy <= 34 and abs(cx - 24) <= (34 - cy) * 1.2:
        return white
    if 12 <= cx <= 36 and 37 <= cy <= 40:
        return white
    return colour


def ico_bytes():
    rows = []
    mask_rows = []
    for y in reversed(range(SIZE)):  # bottom-up, as a DIB
        row = bytearray()
        bits = 0
        mask = bytearray()
        for x in range(SIZE):
            r, g, b, a = pixel(x, y)
            row += bytes((b, g, r, a))
            bits = (bits << 1) | (1 if a == 0 else 0)
            if x % 8 == 7:
                mask.append(bits)
                bits = 0
        while len(mask) % 4:
            mask.append(0)
        rows.append(bytes(row))
        mask_rows.append(bytes(mask))
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    image = header + b"".join(rows) + b"".join(mask_rows)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    with open(sys.argv[1] if len(sys.argv) > 1 else "orv.ico", "wb") as out:
        out.write(ico_bytes())
