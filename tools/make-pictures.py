#!/usr/bin/env python3
"""Draws the four button pictures (128 x 128 PNG with alpha) and the program
icon into app/res/. Only the standard library: shapes are filled span by span
on a 4x canvas and averaged down for smooth edges."""
import math
import os
import struct
import sys
import zlib

SS = 4  # supersampling factor


class Canvas:
    def __init__(self, size):
        self.size = size
        self.n = size * SS
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(self.n * self.n)]  # premultiplied

    def span(self, y, x0, x1, color):
        r, g, b, a = color
        row = y * self.n
        for x in range(max(0, x0), min(self.n, x1)):
            p = self.px[row + x]
            k = 1.0 - a
            p[0] = r * a + p[0] * k
            p[1] = g * a + p[1] * k
            p[2] = b * a + p[2] * k
            p[3] = a + p[3] * k

    def polygon(self, pts, color):
        pts = [(x * SS, y * SS) for x, y in pts]
        ys = [p[1] for p in pts]
        for y in range(max(0, int(min(ys))), min(self.n, int(math.ceil(max(ys))))):
            cy = y + 0.5
            xs = []
            for i in range(len(pts)):
                (x0, y0), (x1, y1) = pts[i], pts[(i + 1) % len(pts)]
                if (y0 <= cy < y1) or (y1 <= cy < y0):
                    xs.append(x0 + (cy - y0) * (x1 - x0) / (y1 - y0))
            xs.sort()
            for i in range(0, len(xs) - 1, 2):
                self.span(y, int(round(xs[i])), int(round(xs[i + 1])), color)

    def rect(self, x0, y0, x1, y1, color):
        self.polygon([(x0, y0), (x1, y0), (x1, y1), (x0, y1)], color)

    def circle(self, cx, cy, r, color):
        cx, cy, r = cx * SS, cy * SS, r * SS
        for y in range(max(0, int(cy - r)), min(self.n, int(cy + r) + 1)):
            d = r * r - (y + 0.5 - cy) ** 2
            if d > 0:
                w = math.sqrt(d)
                self.span(y, int(round(cx - w)), int(round(cx + w)), color)

    def round_rect(self, x0, y0, x1, y1, rad, color):
        pts = []
        for cx, cy, a0 in ((x1 - rad, y0 + rad, -90), (x1 - rad, y1 - rad, 0),
                           (x0 + rad, y1 - rad, 90), (x0 + rad, y0 + rad, 180)):
            for i in range(9):
                a = math.radians(a0 + i * 90 / 8)
                pts.append((cx + rad * math.cos(a), cy + rad * math.sin(a)))
        self.polygon(pts, color)

    def line(self, x0, y0, x1, y1, width, color):
        dx, dy = x1 - x0, y1 - y0
        length = math.hypot(dx, dy)
        nx, ny = -dy / length * width / 2, dx / length * width / 2
        self.polygon([(x0 + nx, y0 + ny), (x1 + nx, y1 + ny), (x1 - nx, y1 - ny), (x0 - nx, y0 - ny)],
                     color)
        self.circle(x0, y0, width / 2, color)
        self.circle(x1, y1, width / 2, color)

    def text_pdf(self, x, y, cell, color):
        glyphs = {
            "P": ["111", "101", "111", "100", "100"],
            "D": ["110", "101", "101", "101", "110"],
            "F": ["111", "100", "110", "100", "100"],
        }
        for k, ch in enumerate("PDF"):
            for row, bits in enumerate(glyphs[ch]):
                for col, bit in enumerate(bits):
                    if bit == "1":
                        gx = x + (k * 4 + col) * cell
                        gy = y + row * cell
                        self.rect(gx, gy, gx + cell, gy + cell, color)

    def rgba(self, size=None):
        """Averages the canvas down to `size` pixels: rows of straight RGBA bytes."""
        size = size or self.size
        f = self.n / size
        out = []
        for y in range(size):
            row = bytearray()
            for x in range(size):
                acc = [0.0] * 4
                cnt = 0
                for yy in range(int(y * f), int((y + 1) * f)):
                    base = yy * self.n
                    for xx in range(int(x * f), int((x + 1) * f)):
                        p = self.px[base + xx]
                        acc[0] += p[0]; acc[1] += p[1]; acc[2] += p[2]; acc[3] += p[3]
                        cnt += 1
                a = acc[3] / cnt
                if a > 0:
                    row += bytes([min(255, round(acc[i] / cnt / a * 255)) for i in range(3)])
                else:
                    row += b"\0\0\0"
                row.append(min(255, round(a * 255)))
            out.append(bytes(row))
        return out


def hexcolor(h, a=1.0):
    return (int(h[1:3], 16) / 255, int(h[3:5], 16) / 255, int(h[5:7], 16) / 255, a)


def png(rows):
    h, w = len(rows), len(rows[0]) // 4
    raw = b"".join(b"\0" + r for r in rows)

    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(entries):
    """entries: list of rows (RGBA). Small sizes as DIBs, 256 as PNG."""
    images = []
    for rows in entries:
        size = len(rows)
        if size >= 256:
            images.append((size, png(rows)))
            continue
        header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
        pixels = b"".join(bytes(b for i in range(0, len(r), 4) for b in (r[i + 2], r[i + 1], r[i], r[i + 3]))
                          for r in reversed(rows))
        mask_stride = ((size + 31) // 32) * 4
        mask = bytes(mask_stride * size)  # alpha decides; the mask stays clear
        images.append((size, header + pixels + mask))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(d for _, d in images)


def draw_exit():
    c = Canvas(128)
    c.round_rect(18, 10, 78, 118, 6, hexcolor("#5d4037"))
    c.rect(26, 18, 70, 118, hexcolor("#a1887f"))
    c.polygon([(26, 18), (58, 28), (58, 118), (26, 118)], hexcolor("#8d6e63"))
    c.circle(51, 70, 4, hexcolor("#ffd54f"))
    c.line(62, 64, 100, 64, 14, hexcolor("#e53935"))
    c.polygon([(94, 42), (122, 64), (94, 86)], hexcolor("#e53935"))
    return c


def draw_load():
    c = Canvas(128)
    c.polygon([(8, 30), (46, 30), (54, 40), (120, 40), (120, 112), (8, 112)], hexcolor("#f9a825"))
    c.polygon([(34, 10), (86, 10), (102, 26), (102, 96), (34, 96)], hexcolor("#fafafa"))
    c.polygon([(86, 10), (102, 26), (86, 26)], hexcolor("#cfd8dc"))
    c.rect(34, 44, 102, 70, hexcolor("#d32f2f"))
    c.text_pdf(45, 49, 3.2, hexcolor("#ffffff"))
    c.polygon([(4, 76), (124, 76), (116, 118), (12, 118)], hexcolor("#fbc02d"))
    return c


def draw_scan(size=128):
    c = Canvas(size)
    s = size / 128
    P = lambda pts: [(x * s, y * s) for x, y in pts]
    c.polygon(P([(40, 4), (96, 10), (90, 62), (34, 56)]), hexcolor("#fafafa"))
    c.polygon(P([(37, 30), (93, 36), (91, 52), (35, 46)]), hexcolor("#d32f2f"))
    c.round_rect(8 * s, 56 * s, 120 * s, 108 * s, 8 * s, hexcolor("#455a64"))
    c.polygon(P([(14, 56), (114, 56), (106, 44), (22, 44)]), hexcolor("#90a4ae"))
    c.rect(20 * s, 72 * s, 108 * s, 80 * s, hexcolor("#263238"))
    c.rect(22 * s, 74 * s, 106 * s, 78 * s, hexcolor("#76ff03"))
    c.circle(104 * s, 96 * s, 5 * s, hexcolor("#66bb6a"))
    return c


def draw_send():
    c = Canvas(128)
    c.polygon([(6, 58), (118, 10), (86, 108), (60, 80)], hexcolor("#1e88e5"))
    c.polygon([(118, 10), (60, 80), (56, 112), (44, 74)], hexcolor("#1565c0"))
    c.circle(92, 94, 28, hexcolor("#ffffff"))
    c.circle(92, 94, 24, hexcolor("#43a047"))
    c.line(80, 94, 89, 104, 7, hexcolor("#ffffff"))
    c.line(89, 104, 105, 84, 7, hexcolor("#ffffff"))
    return c


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "app", "res")
    os.makedirs(out, exist_ok=True)
    for name, draw in (("exit", draw_exit), ("load_pdf", draw_load), ("scan", draw_scan), ("send", draw_send)):
        with open(os.path.join(out, name + ".png"), "wb") as f:
            f.write(png(draw().rgba()))
    big = draw_scan(256)
    with open(os.path.join(out, "Skanowanie.ico"), "wb") as f:
        f.write(ico([big.rgba(16), big.rgba(32), big.rgba(48), big.rgba(256)]))


if __name__ == "__main__":
    main()
