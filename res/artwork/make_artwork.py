#!/usr/bin/env python3
"""Draws the application's own artwork and writes it next to this script.

    icon128.bmp    32x32, 8 bits per pixel (palette), the dialog's icon
    banner130.bmp  281x88, 24 bits per pixel, uncompressed, the banner at the top of the dialog
    ../enlistor.png  the icon as PNG for the desktop entry (res/, next to enlistor.desktop)

Plain Python (no imaging library): the pictures are drawn from rectangles, circles and a 5x7 pixel font.
Run it again after changing a drawing; the output is deterministic.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

NAVY = (16, 42, 84)
TEAL = (24, 128, 140)
WHITE = (255, 255, 255)
SLATE = (58, 70, 88)
STEEL = (132, 146, 166)
LIGHT = (214, 222, 232)
GREEN = (64, 196, 96)
AMBER = (240, 176, 48)
DARK = (22, 28, 36)


class Canvas:
    def __init__(self, width, height, fill):
        self.width, self.height = width, height
        self.pixels = [[fill for _ in range(width)] for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def rect(self, x, y, w, h, colour):
        for yy in range(y, y + h):
            for xx in range(x, x + w):
                self.put(xx, yy, colour)

    def frame(self, x, y, w, h, colour):
        for xx in range(x, x + w):
            self.put(xx, y, colour)
            self.put(xx, y + h - 1, colour)
        for yy in range(y, y + h):
            self.put(x, yy, colour)
            self.put(x + w - 1, yy, colour)

    def disc(self, cx, cy, r, colour):
        for yy in range(cy - r, cy + r + 1):
            for xx in range(cx - r, cx + r + 1):
                if (xx - cx) ** 2 + (yy - cy) ** 2 <= r * r + r // 2:
                    self.put(xx, yy, colour)


def blend(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


FONT = {  # 5x7 glyphs, one string per row, "#" set
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    "N": ["#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"],
    "L": ["#....", "#....", "#....", "#....", "#....", "#....", "#####"],
    "I": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "#####"],
    "S": [".####", "#....", "#....", ".###.", "....#", "....#", "####."],
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "U": ["#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "Y": ["#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."],
    " ": [".....", ".....", ".....", ".....", ".....", ".....", "....."],
}


def text(canvas, x, y, message, scale, colour):
    for ch in message:
        glyph = FONT[ch]
        for row, bits in enumerate(glyph):
            for col, bit in enumerate(bits):
                if bit == "#":
                    canvas.rect(x + col * scale, y + row * scale, scale, scale, colour)
        x += 6 * scale


def server_unit(canvas, x, y, w, h, led):
    canvas.rect(x, y, w, h, SLATE)
    canvas.frame(x, y, w, h, STEEL)
    for slot in range(3):
        canvas.rect(x + 4 + slot * 6, y + h // 2 - 1, 4, 2, DARK)
    canvas.disc(x + w - 6, y + h // 2, 1, led)


def draw_banner():
    width, height = 281, 88
    c = Canvas(width, height, NAVY)
    for x in range(width):
        colour = blend(NAVY, TEAL, x / (width - 1))
        for y in range(height):
            c.put(x, y, colour)
    # A rack of three servers on the left, the new one marked green.
    c.rect(18, 12, 58, 64, DARK)
    for i, led in enumerate((AMBER, AMBER, GREEN)):
        server_unit(c, 22, 16 + i * 20, 50, 16, led)
    # The link from the machine to the list.
    for x in range(80, 104):
        c.put(x, 60, LIGHT)
        c.put(x, 61, LIGHT)
    c.disc(104, 60, 3, GREEN)
    text(c, 116, 22, "ENLISTOR", 3, WHITE)
    text(c, 118, 54, "UTILITY", 2, LIGHT)
    c.rect(116, 48, 142, 1, LIGHT)
    return c


def draw_icon():
    c = Canvas(32, 32, (0, 0, 0))
    c.rect(0, 0, 32, 32, NAVY)
    c.frame(0, 0, 32, 32, TEAL)
    server_unit(c, 4, 5, 24, 8, AMBER)
    server_unit(c, 4, 15, 24, 8, AMBER)
    c.disc(23, 24, 6, GREEN)
    c.rect(20, 23, 7, 2, WHITE)
    c.rect(22, 21, 2, 7, WHITE)
    return c


def bmp_24(canvas):
    row_size = (canvas.width * 3 + 3) & ~3
    rows = []
    for y in reversed(range(canvas.height)):
        row = bytearray()
        for r, g, b in canvas.pixels[y]:
            row += bytes((b, g, r))
        row += b"\0" * (row_size - len(row))
        rows.append(bytes(row))
    data = b"".join(rows)
    header = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    offset = 14 + len(header)
    return b"BM" + struct.pack("<IHHI", offset + len(data), 0, 0, offset) + header + data


def bmp_8(canvas):
    palette = sorted({p for row in canvas.pixels for p in row})
    assert len(palette) <= 256
    index = {colour: i for i, colour in enumerate(palette)}
    row_size = (canvas.width + 3) & ~3
    data = b"".join(
        bytes(index[p] for p in canvas.pixels[y]) + b"\0" * (row_size - canvas.width)
        for y in reversed(range(canvas.height)))
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette) + b"\0\0\0\0" * (256 - len(palette))
    header = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, 8, 0, len(data), 2835, 2835, 256, 0)
    offset = 14 + len(header) + len(table)
    return b"BM" + struct.pack("<IHHI", offset + len(data), 0, 0, offset) + header + table + data


def png(canvas):
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in canvas.pixels)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    ihdr = struct.pack(">IIBBBBB", canvas.width, canvas.height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


if __name__ == "__main__":
    icon = draw_icon()
    write("icon128.bmp", bmp_8(icon))
    write("banner130.bmp", bmp_24(draw_banner()))
    write(os.path.join("..", "enlistor.png"), png(icon))
