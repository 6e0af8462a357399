#!/usr/bin/env python3
"""Draws the program's icons: a blue shield with a white tick.

Writes torvane48.ico (one 48x48 image, 24 bits per pixel) and
torvane32x16c.ico (one 32x32 image, 16 colours). Run from this directory.
"""
import math
import struct


def inside_shield(u, v):
    if v < 0.07 or v > 0.95:
        return False
    if v < 0.55:
        half = 0.38
    else:
        t = (v - 0.55) / 0.40
        half = 0.38 * math.sqrt(max(0.0, 1.0 - t * t))
    return abs(u - 0.5) <= half


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def on_tick(u, v):
    return min(segment_distance(u, v, 0.30, 0.50, 0.45, 0.66),
               segment_distance(u, v, 0.45, 0.66, 0.71, 0.33)) < 0.065


def classify(n, x, y):
    """'out', 'edge', 'tick', 'light' or 'dark' for pixel (x, y), y from the top."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    if not inside_shield(u, v):
        return 'out'
    step = 1.3 / n
    if not all(inside_shield(u + du, v + dv) for du, dv in ((step, 0), (-step, 0), (0, step), (0, -step))):
        return 'edge'
    if on_tick(u, v):
        return 'tick'
    return 'light' if u < 0.5 else 'dark'


def mask_rows(n, pixels):
    stride = ((n + 31) // 32) * 4
    data = b''
    for y in reversed(range(n)):
        row = bytearray(stride)
        for x in range(n):
            if pixels[y][x] == 'out':
                row[x // 8] |= 0x80 >> (x % 8)
        data += bytes(row)
    return data


def ico(n, bits, palette, body):
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, bits, 0, len(body), 0, 0,
                         len(palette) // 4, 0)
    image = header + palette + body
    colours = len(palette) // 4
    directory = struct.pack('<HHH', 0, 1, 1) + struct.pack(
        '<BBBBHHII', n % 256, n % 256, colours % 256, 0, 1, bits, len(image), 22)
    return directory + image


def icon_24(n):
    pixels = [[classify(n, x, y) for x in range(n)] for y in range(n)]
    bgr = {'out': (0, 0, 0), 'edge': (40, 30, 20), 'tick': (255, 255, 255)}
    body = b''
    for y in reversed(range(n)):
        row = b''
        for x in range(n):
            kind = pixels[y][x]
            if kind in bgr:
                b, g, r = bgr[kind]
            else:
                shade = 1.0 - 0.45 * y / n
                base = (215, 120, 40) if kind == 'light' else (170, 80, 20)
                b, g, r = (int(c * shade) for c in base)
            row += bytes((b, g, r))
        row += b'\0' * ((-len(row)) % 4)
        body += row
    return ico(n, 24, b'', body + mask_rows(n, pixels))


VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
       (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
       (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def icon_16_colours(n):
    pixels = [[classify(n, x, y) for x in range(n)] for y in range(n)]
    index = {'out': 0, 'edge': 0, 'tick': 15, 'light': 12, 'dark': 4}
    palette = b''.join(bytes((b, g, r, 0)) for r, g, b in VGA)
    body = b''
    for y in reversed(range(n)):
        row = bytearray()
        for x in range(0, n, 2):
            row.append(index[pixels[y][x]] << 4 | index[pixels[y][x + 1]])
        row += b'\0' * ((-len(row)) % 4)
        body += bytes(row)
    return ico(n, 4, palette, body + mask_rows(n, pixels))


if __name__ == '__main__':
    with open('torvane48.ico', 'wb') as f:
        f.write(icon_24(48))
    with open('torvane32x16c.ico', 'wb') as f:
        f.write(icon_16_colours(32))
