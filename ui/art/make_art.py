#!/usr/bin/env python3
"""Draws Keyscour's artwork into ui/res: the window's background picture
(683 x 544, 24 bpp, logo top right), the window icon (32 and 16 pixels,
16 colours) and the hand pointer (32 x 32, two colours, hot spot 0,0).

The background needs ImageMagick and the DejaVu fonts; the icon and the
cursor are written byte by byte. The outputs are committed, so a build
never runs this.   Usage: python3 ui/art/make_art.py
"""
import math
import os
import struct
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(os.path.dirname(HERE), "res")

INK = "#22364f"        # deep slate blue: the wordmark
ACCENT = "#2f6db5"     # the mark's blue
PALE = "#eef3f9"       # panels


def background():
    """683 x 544. The logo sits in the 217 x 41 pixel hot area at (456, 16)."""
    sans_bold = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
    sans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
    draw = [
        # A quiet band behind the status column, and a pale floor below
        # the inputs where the result list opens after the first search.
        "-fill", PALE, "-draw", "rectangle 0,0 682,3",
        "-fill", "#f6f8fb", "-draw", "rectangle 0,208 682,543",
        "-fill", "#dfe6ef", "-draw", "rectangle 0,207 682,207",
        # The mark: a rounded tile holding a lens over a key bit.
        "-fill", ACCENT, "-draw", "roundrectangle 458,18 494,54 7,7",
        "-fill", "none", "-stroke", "white", "-strokewidth", "3",
        "-draw", "circle 473,33 481,33",
        "-draw", "line 479,39 488,48",
        "-stroke", "none",
        # The wordmark.
        "-fill", INK, "-font", sans_bold, "-pointsize", "17",
        "-annotate", "+502+34", "Quillon Keyscour",
        "-fill", "#5a6b80", "-font", sans, "-pointsize", "9.5",
        "-annotate", "+503+50", "FIND AND REPLACE IN REGISTRY",
        # The floor's watermark: visible only until the list covers it.
        "-fill", "#e3e9f1", "-stroke", "none",
        "-draw", "circle 600,300 636,300",
        "-fill", "#f6f8fb", "-draw", "circle 600,300 624,300",
        "-stroke", "#e3e9f1", "-strokewidth", "12",
        "-draw", "line 627,327 662,362",
        "-stroke", "none",
        "-fill", "#aab6c5", "-font", sans, "-pointsize", "11",
        "-annotate", "+24+250", "Type a search string, pick where to look, and press Start Search.",
        "-annotate", "+24+268", "Every matching key and value appears here while the search runs.",
    ]
    target = os.path.join(OUT, "background.bmp")
    subprocess.run(["convert", "-size", "683x544", "xc:white", *draw,
                    "-alpha", "off", "-type", "TrueColor", "BMP3:" + target], check=True)


# The 16 colours of the standard palette, as (blue, green, red).
PALETTE = [(0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128), (128, 0, 0), (128, 0, 128),
           (128, 128, 0), (192, 192, 192), (128, 128, 128), (0, 0, 255), (0, 255, 0),
           (0, 255, 255), (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255)]
BLACK, DARK_BLUE, GREY, LIGHT_GREY, BLUE, WHITE, YELLOW = 0, 4, 8, 7, 12, 15, 11
CLEAR = None


def icon_pixels(n):
    """A blue tile with a white lens and handle, drawn at n x n."""
    s = n / 32.0
    px = [[CLEAR] * n for _ in range(n)]
    for y in range(n):
        for x in range(n):
            cx, cy = x + 0.5, y + 0.5
            # rounded tile
            r = 6 * s
            dx = max(2 * s - cx, 0, cx - (n - 2 * s))
            dy = max(2 * s - cy, 0, cy - (n - 2 * s))
            inner_x = min(max(cx, 2 * s + r), n - 2 * s - r)
            inner_y = min(max(cy, 2 * s + r), n - 2 * s - r)
            if dx == 0 and dy == 0 and math.hypot(cx - inner_x, cy - inner_y) <= r:
                px[y][x] = BLUE if cy < n * 0.55 else DARK_BLUE
            # lens ring
            d = math.hypot(cx - 13 * s, cy - 13 * s)
            if 5.2 * s <= d <= 8.2 * s:
                px[y][x] = WHITE
            elif d < 5.2 * s:
                px[y][x] = LIGHT_GREY if (cx + cy) < 26 * s else BLUE
            # handle, along the diagonal
            t = ((cx - 13 * s) + (cy - 13 * s)) / 2
            off = abs((cx - 13 * s) - (cy - 13 * s)) / math.sqrt(2)
            if 6.5 * s <= t * math.sqrt(2) <= 17 * s and off <= 2.0 * s:
                px[y][x] = WHITE
    return px


def dib_4bpp(px):
    n = len(px)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for b, g, r in PALETTE)
    xor_rows, and_rows = [], []
    for row in reversed(px):
        nibbles = [0 if p is CLEAR else p for p in row]
        data = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, n, 2))
        xor_rows.append(data.ljust((len(data) + 3) // 4 * 4, b"\0"))
        and_rows.append(mask_row([p is CLEAR for p in row]))
    return header + palette + b"".join(xor_rows) + b"".join(and_rows)


def mask_row(bits):
    out = bytearray((len(bits) + 7) // 8)
    for i, on in enumerate(bits):
        if on:
            out[i // 8] |= 0x80 >> (i % 8)
    return bytes(out).ljust((len(out) + 3) // 4 * 4, b"\0")


def icon():
    images = [dib_4bpp(icon_pixels(n)) for n in (32, 16)]
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for n, image in zip((32, 16), images):
        entries += struct.pack("<BBBBHHII", n, n, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    with open(os.path.join(OUT, "keyscour.ico"), "wb") as f:
        f.write(head + entries + b"".join(images))


# The pointing hand, its fingertip at the hot spot (0, 0): '#' outline,
# '.' white fill, ' ' transparent.
HAND = [
    " ##",
    "#..#",
    "#..#",
    "#..#",
    "#..#",
    "#..###",
    "#..#..###",
    "#..#..#..##",
    "#..#..#..#.#",
    "#..#..#..#..#",
    "#...........#",
    "#...........#",
    "#...........#",
    " #..........#",
    " #.........#",
    "  #........#",
    "  #........#",
    "  ##########",
]


def cursor():
    n = 32
    rows = [line.ljust(n)[:n] for line in HAND] + [" " * n] * (n - len(HAND))
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 1, 0, 0, 0, 0, 2, 0)
    palette = struct.pack("<BBBBBBBB", 0, 0, 0, 0, 255, 255, 255, 0)
    xor_rows = [mask_row([c == "." for c in r]) for r in reversed(rows)]
    and_rows = [mask_row([c == " " for c in r]) for r in reversed(rows)]
    image = header + palette + b"".join(xor_rows) + b"".join(and_rows)
    head = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", n, n, 2, 0, 0, 0, len(image), 22)
    with open(os.path.join(OUT, "hand.cur"), "wb") as f:
        f.write(head + entry + image)


if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    background()
    icon()
    cursor()
