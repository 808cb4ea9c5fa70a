#!/usr/bin/env python3
"""Draws the tray icon, a tablet held in landscape, as panelora.png (64x64 RGBA).

Plain Python (zlib only), so that the picture can be remade anywhere:
    python3 tools/panelora/icons/make_icon.py
"""
import os
import struct
import zlib

SIZE = 64
SAMPLES = 4  # per axis, for smooth edges


def rounded_rect(x, y, left, top, right, bottom, radius):
    if x < left or x > right or y < top or y > bottom:
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def circle(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


# Layers, back to front: (test, RGBA colour).
BODY = (30, 34, 40, 255)
BEZEL_EDGE = (214, 219, 226, 255)
SCREEN_TOP = (92, 176, 255)
SCREEN_BOTTOM = (40, 110, 214)


def shade(x, y):
    colour = (0, 0, 0, 0)
    if rounded_rect(x, y, 3, 11, 61, 53, 8):
        colour = BEZEL_EDGE
    if rounded_rect(x, y, 5, 13, 59, 51, 6.5):
        colour = BODY
    if rounded_rect(x, y, 9, 17, 52, 47, 2):
        t = (y - 17) / 30.0
        rgb = tuple(int(a + (b - a) * t) for a, b in zip(SCREEN_TOP, SCREEN_BOTTOM))
        colour = rgb + (255,)
        # A window on the screen: what the tablet shows.
        if rounded_rect(x, y, 14, 22, 38, 38, 1.5):
            colour = (235, 243, 255, 255)
        if rounded_rect(x, y, 14, 22, 38, 25, 1.5):
            colour = (255, 196, 61, 255)
    if circle(x, y, 55.5, 32, 1.8):
        colour = (120, 128, 140, 255)
    return colour


def pixel(px, py):
    acc = [0.0, 0.0, 0.0, 0.0]
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            r, g, b, a = shade(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
            acc[0] += r * a
            acc[1] += g * a
            acc[2] += b * a
            acc[3] += a
    n = SAMPLES * SAMPLES
    alpha = acc[3] / n
    if alpha == 0:
        return (0, 0, 0, 0)
    return tuple(int(round(c / acc[3])) for c in acc[:3]) + (int(round(alpha)),)


def png(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(v for p in row for v in p) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main():
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "panelora.png")
    with open(out, "wb") as f:
        f.write(png(SIZE, SIZE, rows))


if __name__ == "__main__":
    main()
