#!/usr/bin/env python3
"""Draws the program's icon, a 256 x 254 RGBA PNG wrapped in an .ico, into resources/.

Run once when the picture changes; the result is committed.
"""
import math
import pathlib
import struct
import zlib

WIDTH, HEIGHT = 256, 254


def coverage(distance):
    """Anti-aliasing: how much of a pixel lies inside an edge at the given signed distance."""
    return max(0.0, min(1.0, 0.5 - distance))


def pixel(x, y):
    cx, cy = WIDTH / 2, HEIGHT / 2
    px, py = x + 0.5 - cx, y + 0.5 - cy
    # A rounded square tile with a vertical teal-to-indigo gradient.
    half, radius = 118.0, 44.0
    qx, qy = max(abs(px) - (half - radius), 0.0), max(abs(py) - (half - radius), 0.0)
    tile = coverage(math.hypot(qx, qy) - radius)
    t = y / (HEIGHT - 1)
    r, g, b = 20 + 40 * t, 150 - 90 * t, 170 + 40 * t
    # A white ring, open at the upper right like a bird's eye turning away.
    dist = math.hypot(px, py)
    ring = coverage(abs(dist - 70.0) - 16.0)
    angle = math.atan2(-py, px)
    if 0.15 < angle < 1.05:
        ring = 0.0
    # A small dot in the ring's opening.
    dot = coverage(math.hypot(px - 56.0, py + 56.0) - 15.0)
    white = max(ring, dot)
    r, g, b = (c + (255 - c) * white for c in (r, g, b))
    return int(r), int(g), int(b), int(255 * tile)


def png_bytes():
    rows = b"".join(
        b"\x00" + bytes(c for x in range(WIDTH) for c in pixel(x, y)) for y in range(HEIGHT)
    )

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def ico_bytes(png):
    directory = struct.pack("<HHH", 0, 1, 1)
    # Width 0 stands for 256 in an icon directory entry.
    entry = struct.pack("<BBBBHHII", 0, HEIGHT, 0, 0, 1, 32, len(png), 6 + 16)
    return directory + entry + png


if __name__ == "__main__":
    out = pathlib.Path(__file__).resolve().parent.parent / "resources"
    png = png_bytes()
    (out / "ostrel.png").write_bytes(png)
    (out / "ostrel.ico").write_bytes(ico_bytes(png))
