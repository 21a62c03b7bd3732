#!/usr/bin/python3
"""Writes scan-like A4 pages at 300 dpi as BMP files: paper with sensor noise,
lines of "text", a photo-like gradient. Usage: make_pages.py <folder> <mode> <count>
with mode RGB, L (grey) or 1 (black and white)."""
import random
import sys

from PIL import Image, ImageDraw, ImageFilter

W, H = 2480, 3508


def page(mode, n):
    rnd = random.Random(n)
    noise = Image.effect_noise((W, H), 6).point(lambda v: min(255, v + 110))  # paper: ~238 +- noise
    img = Image.merge("RGB", (noise, noise, noise.point(lambda v: max(0, v - 6)))) if mode == "RGB" else noise
    draw = ImageDraw.Draw(img)
    ink = (30, 30, 40) if mode == "RGB" else 35
    y = 250
    while y < H - 900:
        x = 200
        while x < W - 300:
            word = rnd.randint(40, 220)
            draw.rectangle([x, y, x + word, y + 34], fill=ink)
            x += word + rnd.randint(25, 45)
        y += 70 + rnd.randint(0, 10)
    # A photo-like block: smooth gradient blurred with a little noise.
    photo = Image.linear_gradient("L").resize((1400, 700)).filter(ImageFilter.GaussianBlur(3))
    if mode == "RGB":
        photo = Image.merge("RGB", (photo, photo.rotate(90).resize((1400, 700)), photo.transpose(Image.FLIP_LEFT_RIGHT)))
    img.paste(photo, (540, H - 850))
    if mode == "1":
        img = img.convert("1", dither=Image.NONE)
    return img


def main():
    folder, mode, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    for n in range(count):
        page(mode, n).save(f"{folder}/page{n:03d}.bmp")


main()
