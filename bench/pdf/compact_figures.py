#!/usr/bin/python3
"""Figures of the compact form for the pages of make_compact_pages.py, each
already stored as NAME-compact.pdf and NAME-lossless.pdf (one page each) in
the folder: sizes against lossless and against the page as one JPEG at
quality 75; for photographs the SSIM at 150 dpi; for text the character
error rate of tesseract (pol+eng) on renders at 300 dpi, compact against
lossless, and the mean colour of the stamp and the signature (ΔE).
Usage: compact_figures.py <folder>"""
import glob
import io
import os
import subprocess
import sys

import numpy as np
from PIL import Image

# The goals of the compact form.
GOALS = {"text-RGB": 100 * 1024, "text-L": 80 * 1024}


def render(pdf, dpi, grey=False):
    out = subprocess.run(["pdftoppm", "-r", str(dpi), "-singlefile"] + (["-gray"] if grey else []) + [pdf],
                         check=True, capture_output=True).stdout
    return Image.open(io.BytesIO(out))


def jpeg75(img):
    b = io.BytesIO()
    img.save(b, "JPEG", quality=75)
    return len(b.getvalue())


def ssim(a, b):
    """Mean SSIM of two luma arrays over 7 x 7 windows (uniform weights)."""
    a, b = a.astype(np.float64), b.astype(np.float64)
    c1, c2 = (0.01 * 255) ** 2, (0.03 * 255) ** 2

    def box(x):
        s = np.cumsum(np.cumsum(np.pad(x, ((1, 0), (1, 0))), 0), 1)
        return (s[7:, 7:] - s[:-7, 7:] - s[7:, :-7] + s[:-7, :-7]) / 49.0

    ma, mb = box(a), box(b)
    va, vb, cab = box(a * a) - ma * ma, box(b * b) - mb * mb, box(a * b) - ma * mb
    n = 49.0 / 48.0
    va, vb, cab = va * n, vb * n, cab * n
    s = ((2 * ma * mb + c1) * (2 * cab + c2)) / ((ma * ma + mb * mb + c1) * (va + vb + c2))
    return float(s.mean())


def ocr(img):
    out = subprocess.run(["tesseract", "-", "-", "-l", "pol+eng"], input=_png(img), check=True,
                         capture_output=True).stdout
    return out.decode("utf-8")


def _png(img):
    b = io.BytesIO()
    img.save(b, "PNG")
    return b.getvalue()


def normalise(text):
    return " ".join(text.split())


def distance(a, b):
    """Levenshtein distance, a row at a time."""
    if len(a) < len(b):
        a, b = b, a
    prev = np.arange(len(b) + 1)
    bb = np.frombuffer(b.encode("utf-32-le"), dtype=np.uint32)
    for i, ch in enumerate(a):
        cost = (bb != ord(ch)).astype(np.int64)
        cur = np.empty_like(prev)
        cur[0] = i + 1
        # substitution / deletion, then insertion as a running minimum
        cur[1:] = np.minimum(prev[1:] + 1, prev[:-1] + cost)
        cur = np.minimum.accumulate(cur - np.arange(len(cur))) + np.arange(len(cur))
        prev = cur
    return int(prev[-1])


def lab(rgb):
    c = np.asarray(rgb, dtype=np.float64) / 255
    c = np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)
    m = np.array([[0.4124, 0.3576, 0.1805], [0.2126, 0.7152, 0.0722], [0.0193, 0.1192, 0.9505]])
    x, y, z = m @ c / np.array([0.95047, 1.0, 1.08883])
    f = lambda t: np.cbrt(t) if t > 0.008856 else 7.787 * t + 16 / 116
    return np.array([116 * f(y) - 16, 500 * (f(x) - f(y)), 200 * (f(y) - f(z))])


def main():
    folder = sys.argv[1]
    print(f"{'page':<12} {'compact KB':>10} {'lossless KB':>11} {'JPEG-75 KB':>10} {'goal':>8}  quality")
    cer_rows = []
    for pdf in sorted(glob.glob(f"{folder}/*-compact.pdf")):
        name = os.path.basename(pdf)[:-len("-compact.pdf")]
        source = Image.open(f"{folder}/{name}.bmp")
        grey = source.mode == "L"
        compact, lossless = os.path.getsize(pdf), os.path.getsize(f"{folder}/{name}-lossless.pdf")
        kind = name.split("-")[0].rstrip("0123456789") + "-" + name.split("-")[1]
        goal = GOALS.get(kind)
        j75 = jpeg75(source) if source.mode != "1" else 0
        quality = ""
        if kind.startswith("photo"):
            half = (source.width // 2, source.height // 2)
            shown = render(pdf, 150, grey).convert("L")
            orig = source.convert("L").resize(half, Image.BOX)
            quality = f"SSIM {ssim(np.asarray(orig), np.asarray(shown.resize(half, Image.BOX))):.3f} at 150 dpi"
            goal = j75
        elif kind.startswith("text") and source.mode != "1":
            truth = normalise(open(f"{folder}/{name.split('-')[0]}.txt", encoding="utf-8").read())
            cers = []
            for variant in (pdf, f"{folder}/{name}-lossless.pdf"):
                text = normalise(ocr(render(variant, 300, grey)))
                cers.append(100.0 * distance(text, truth) / len(truth))
            quality = f"CER compact {cers[0]:.2f}% lossless {cers[1]:.2f}%"
            cer_rows.append(cers)
            if not grey:
                labels = np.asarray(Image.open(f"{folder}/{name.split('-')[0]}-marks.png"))
                src = np.asarray(source.convert("RGB"), dtype=np.float64)
                out = np.asarray(render(pdf, 300).convert("RGB"), dtype=np.float64)[:src.shape[0], :src.shape[1]]
                for mark, what in ((1, "stamp"), (2, "signature")):
                    sel = labels == mark
                    d = np.linalg.norm(lab(src[sel].mean(0)) - lab(out[sel].mean(0)))
                    quality += f", {what} ΔE {d:.1f}"
        print(f"{name:<12} {compact / 1024:10.1f} {lossless / 1024:11.1f} {j75 / 1024:10.1f} "
              f"{'' if goal is None else f'{goal / 1024:7.0f}K'}  {quality}"
              + ("  OVER" if goal and compact > goal else ""))
    if cer_rows:
        worst = max(c - l for c, l in cer_rows)
        print(f"character error rate, compact minus lossless, worst page: {worst:+.2f} pp (goal <= 0.5)")


main()
