#!/usr/bin/env python3
"""Draws the main window's picture of the HM-210 (our own artwork) as a 24-bit BMP.

usage: draw-hm210-picture.py OUTPUT.bmp
"""
import struct
import sys

W, H = 427, 442
BG = (236, 236, 236)
img = [[BG for _ in range(W)] for _ in range(H)]


def rounded_rect(x0, y0, x1, y1, r, color):
    for y in range(max(0, y0), min(H, y1)):
        for x in range(max(0, x0), min(W, x1)):
            dx = max(x0 + r - x, 0, x - (x1 - 1 - r))
            dy = max(y0 + r - y, 0, y - (y1 - 1 - r))
            if dx * dx + dy * dy <= r * r:
                img[y][x] = color


def circle(cx, cy, r, color):
    for y in range(cy - r, cy + r + 1):
        for x in range(cx - r, cx + r + 1):
            if 0 <= x < W and 0 <= y < H and (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
                img[y][x] = color


# Seven-segment digits for the display: segments a b c d e f g.
SEGMENTS = {
    "0": "abcdef", "1": "bc", "2": "abged", "3": "abgcd", "4": "fgbc",
    "5": "afgcd", "6": "afgedc", "7": "abc", "8": "abcdefg", "9": "abcdfg",
}


def digit(ch, x, y, w, h, t, color):
    on = SEGMENTS[ch]
    half = h // 2
    parts = {
        "a": (x, y, x + w, y + t), "d": (x, y + h - t, x + w, y + h),
        "g": (x, y + half - t // 2, x + w, y + half + t // 2 + 1),
        "f": (x, y, x + t, y + half), "e": (x, y + half, x + t, y + h),
        "b": (x + w - t, y, x + w, y + half), "c": (x + w - t, y + half, x + w, y + h),
    }
    for s in on:
        x0, y0, x1, y1 = parts[s]
        rounded_rect(x0, y0, x1, y1, 1, color)


# Shadow, body, belt clip, face plate.
rounded_rect(122, 32, 318, 420, 34, (190, 190, 190))
rounded_rect(112, 22, 308, 410, 34, (52, 58, 66))
rounded_rect(150, 6, 270, 40, 10, (80, 86, 94))
rounded_rect(126, 40, 294, 392, 26, (74, 82, 92))
# Display window with a dose-rate reading.
rounded_rect(142, 70, 278, 160, 8, (30, 34, 38))
rounded_rect(150, 78, 270, 152, 4, (168, 190, 150))
dark = (40, 52, 40)
for i, ch in enumerate("012"):
    digit(ch, 164 + i * 32, 90, 22, 42, 5, dark)
rounded_rect(190, 132, 194, 136, 1, dark)  # decimal point
rounded_rect(246, 140, 264, 144, 1, dark)  # unit mark
# Gamma and neutron lamps.
circle(170, 190, 10, (30, 34, 38))
circle(170, 190, 7, (80, 200, 90))
circle(250, 190, 10, (30, 34, 38))
circle(250, 190, 7, (220, 70, 60))
# Push button and the detector grille.
circle(210, 250, 28, (30, 34, 38))
circle(210, 250, 23, (200, 160, 40))
for k in range(6):
    rounded_rect(156, 300 + k * 12, 264, 305 + k * 12, 2, (44, 50, 58))
# Docking contacts at the foot.
for k in range(4):
    rounded_rect(176 + k * 20, 396, 186 + k * 20, 404, 2, (200, 170, 60))

rows = []
pad = (4 - (W * 3) % 4) % 4
for y in range(H - 1, -1, -1):
    row = bytearray()
    for r, g, b in img[y]:
        row += bytes((b, g, r))
    rows.append(bytes(row) + b"\0" * pad)
pixels = b"".join(rows)
header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
with open(sys.argv[1], "wb") as f:
    f.write(header + info + pixels)
