#!/usr/bin/python3
"""Writes real text pages as a scanner would deliver them: pages of a PDF that
Debian ships, rendered at 300 dpi onto A4 (2480 x 3508), with paper tone and
mild sensor noise, as BMP files.
Usage: make_text_pages.py <folder> <mode> <count> [pdf] with mode RGB, L or 1."""
import os
import subprocess
import sys
import tempfile

from PIL import Image, ImageChops

W, H = 2480, 3508
DEFAULT_PDF = "/usr/share/doc/shared-mime-info/shared-mime-info-spec.pdf"


def rendered(pdf, number, tmp):
    base = os.path.join(tmp, f"p{number}")
    subprocess.run(["pdftoppm", "-r", "300", "-f", str(number), "-l", str(number), "-singlefile",
                    "-scale-to-x", str(W), "-scale-to-y", str(H), pdf, base], check=True)
    return Image.open(base + ".ppm").convert("RGB")


def scanned(img, mode, seed):
    # Paper a little below white, ink a little above black, and noise of a
    # few levels on every sample, as from a document scanner's sensor.
    img = img.point(lambda v: 18 + v * 222 // 255)
    noise = Image.effect_noise((W, H), 3 + seed % 2).point(lambda v: max(0, min(255, v - 128 + 8)))
    img = ImageChops.subtract(ImageChops.add(img, Image.merge("RGB", (noise, noise, noise))),
                              Image.new("RGB", (W, H), (8, 8, 8)))
    if mode == "L":
        return img.convert("L")
    if mode == "1":
        return img.convert("L").point(lambda v: 255 if v > 150 else 0).convert("1", dither=Image.NONE)
    return img


def main():
    folder, mode, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    pdf = sys.argv[4] if len(sys.argv) > 4 else DEFAULT_PDF
    pages = int(next(line.split()[1] for line in subprocess.run(
        ["pdfinfo", pdf], capture_output=True, text=True, check=True).stdout.splitlines()
        if line.startswith("Pages:")))
    with tempfile.TemporaryDirectory() as tmp:
        for n in range(count):
            number = 2 + n % max(1, pages - 1)  # past the title page
            scanned(rendered(pdf, number, tmp), mode, n).save(f"{folder}/page{n:03d}.bmp")


main()
