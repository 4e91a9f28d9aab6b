#!/usr/bin/env python3
"""Draws the programs' icons and writes them as .ico files (standard library only).

res/korva.ico:  128, 64, 48, 32 and 16 pixels at 32 bits per pixel.
res/update.ico: 16 and 32 pixels at 4, 8 and 32 bits per pixel; 48 at 8 and 32.
Run it again after changing the artwork; the .ico files are committed.
"""
import math
import os
import struct
import sys

VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
       (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
       (255, 0, 255), (0, 255, 255), (255, 255, 255)]
CUBE = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)] + [(0, 0, 0)] * 40


def tide(n):
    """A page with two waves running over it, on a rounded blue square."""
    px = []
    for y in range(n):
        row = []
        for x in range(n):
            u, v = (x + 0.5) / n, (y + 0.5) / n
            r = 0.18
            dx, dy = max(abs(u - 0.5) - (0.5 - r), 0), max(abs(v - 0.5) - (0.5 - r), 0)
            if math.hypot(dx, dy) > r - 0.02:
                row.append((0, 0, 0, 0))
                continue
            c = (30, 110 + int(70 * v), 215, 255)
            if 0.22 < u < 0.78 and 0.14 < v < 0.62:
                c = (250, 250, 250, 255)
                if 0.3 < u < 0.7 and any(abs(v - t) < 0.025 for t in (0.26, 0.36, 0.46)):
                    c = (150, 170, 190, 255)
            for k, base in enumerate((0.66, 0.8)):
                if v > base + 0.05 * math.sin(u * 2 * math.pi * 1.5 + k):
                    c = (255, 255, 255, 255) if k == 0 and v < base + 0.05 * math.sin(u * 9.4 + k) + 0.05 else c
                    if v > base + 0.05 * math.sin(u * 9.4 + k) + 0.05:
                        c = (20, 70 + 40 * k, 160, 255)
            row.append(c)
        px.append(row)
    return px


def nearest(palette, c):
    return min(range(len(palette)), key=lambda i: sum((palette[i][j] - c[j]) ** 2 for j in range(3)))


def bmp_entry(px, bpp):
    n = len(px)
    palette = {4: VGA, 8: CUBE}.get(bpp, [])
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, bpp, 0, 0, 0, 0, len(palette), 0)
    pal = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in palette)
    xor = bytearray()
    stride = ((n * bpp + 31) // 32) * 4
    for row in reversed(px):
        line = bytearray()
        if bpp == 32:
            for r, g, b, a in row:
                line += bytes((b, g, r, a))
        else:
            idx = [nearest(palette, c) if c[3] else 0 for c in row]
            if bpp == 8:
                line += bytes(idx)
            else:
                for i in range(0, n, 2):
                    line.append((idx[i] << 4) | (idx[i + 1] if i + 1 < n else 0))
        line += b'\0' * (stride - len(line))
        xor += line
    mstride = ((n + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(px):
        bits = bytearray(mstride)
        for x, c in enumerate(row):
            if c[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pal + bytes(xor) + bytes(mask)


def write_ico(path, entries):
    blobs = [(n, bpp, bmp_entry(tide(n), bpp)) for n, bpp in entries]
    out = struct.pack('<HHH', 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for n, bpp, blob in blobs:
        colours = 16 if bpp == 4 else 0
        out += struct.pack('<BBBBHHII', n % 256, n % 256, colours, 0, 1, bpp, len(blob), offset)
        offset += len(blob)
    with open(path, 'wb') as f:
        f.write(out + b''.join(b for _, _, b in blobs))


if __name__ == '__main__':
    res = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'res')
    write_ico(os.path.join(res, 'korva.ico'), [(128, 32), (64, 32), (48, 32), (32, 32), (16, 32)])
    write_ico(os.path.join(res, 'update.ico'),
              [(16, 4), (16, 8), (16, 32), (32, 4), (32, 8), (32, 32), (48, 8), (48, 32)])
    sys.exit(0)
