#!/usr/bin/python3
"""Writes the pages of the compact-form benchmark (bench/pdf/compact.sh), as a
scanner would deliver them at 300 dpi on A4 (2480 x 3508), as BMP files:

  textN-RGB.bmp   text set by text2image (Polish and English), on paper tone
                  with mild noise, with a red stamp over it, a blue signature
                  and a highlighted line; textN.txt is the text it shows,
                  textN-marks.png the pixels of each coloured mark (1 stamp,
                  2 signature) where they lie on no text
  textN-L.bmp     the same page in grey
  textN-1.bmp     the same page in black and white
  photo-RGB.bmp   a photograph over the whole page (from mate-backgrounds)
  photo-L.bmp     the same in grey

Usage: make_compact_pages.py <folder> [pages]"""
import math
import os
import random
import subprocess
import sys
import tempfile

from PIL import Image, ImageChops, ImageDraw, ImageFilter

W, H = 2480, 3508
PHOTO = "/usr/share/backgrounds/mate/nature/LadyBird.jpg"

PARAGRAPHS = [
    "Zgodnie z umową nr 14/2026 z dnia 3 marca 2026 r. Wykonawca zobowiązuje się dostarczyć "
    "Zamawiającemu dokumentację techniczną w terminie czternastu dni od daty podpisania protokołu "
    "odbioru. Wynagrodzenie płatne będzie przelewem na rachunek bankowy wskazany w fakturze.",
    "The parties agree that any dispute arising from this agreement shall first be settled by "
    "negotiation. Should negotiation fail within thirty days, the dispute will be referred to the "
    "court having jurisdiction over the registered office of the Contracting Authority.",
    "Pani Małgorzata Żółkiewska, kierownik działu księgowości, potwierdziła otrzymanie faktury "
    "VAT nr FV/0342/2026 na kwotę 12 450,00 zł brutto. Prosimy o uregulowanie należności do "
    "dnia 31 marca 2026 r. Źródło finansowania: środki własne spółki.",
    "Please note that the scanned copy of this document is legally binding only together with "
    "the original signature. Keep the receipt for at least five years; copies may be requested "
    "by the tax office during an audit of the accounts for the years 2021 to 2026.",
    "Oświadczam, że zapoznałem się z regulaminem świadczenia usług drogą elektroniczną oraz "
    "akceptuję jego postanowienia. Dane osobowe będą przetwarzane wyłącznie w celu realizacji "
    "zamówienia, zgodnie z przepisami o ochronie danych osobowych.",
    "Quantity 24 pieces, unit price 18.75 EUR, discount 5%, total 427.50 EUR. Delivery to "
    "warehouse No. 3, gate B, between 7:00 and 15:00 on working days. Contact: logistics desk, "
    "phone +48 22 555 01 23, extension 117.",
]


def text_of(n):
    paragraphs = PARAGRAPHS[n % len(PARAGRAPHS):] + PARAGRAPHS[:n % len(PARAGRAPHS)]
    return "\n\n".join(paragraphs) + "\n"


def set_text(text, tmp, n):
    with open(os.path.join(tmp, "t.txt"), "w", encoding="utf-8") as f:
        f.write(text)
    base = os.path.join(tmp, f"p{n}")
    subprocess.run(["text2image", "--text", os.path.join(tmp, "t.txt"), "--outputbase", base,
                    "--font", "DejaVu Serif", "--fonts_dir", "/usr/share/fonts", "--ptsize", "11",
                    "--resolution", "300", "--xsize", str(W), "--ysize", str(H), "--margin", "240",
                    "--leading", "40", "--degrade_image", "false"],
                   check=True, capture_output=True, cwd=tmp)  # it leaves a fonts.conf behind
    return Image.open(base + ".tif").convert("L")


def scanned_rgb(ink_l, marks, n):
    """Paper tone, text, coloured marks, then soft edges and sensor noise."""
    rnd = random.Random(n)
    paper = Image.new("RGB", (W, H), (243, 240, 231))
    page = Image.composite(Image.new("RGB", (W, H), (28, 28, 34)), paper, ink_l.point(lambda v: 255 - v))
    # A highlighted line: yellow marker under the third line of text.
    hl = Image.new("L", (W, H), 0)
    ImageDraw.Draw(hl).rectangle((230, 620, 2000, 680), fill=255)
    page = ImageChops.multiply(page, Image.composite(Image.new("RGB", (W, H), (255, 236, 90)),
                                                     Image.new("RGB", (W, H), (255, 255, 255)), hl))
    # A red stamp over the text and a blue signature.
    stamp, sign = Image.new("L", (W, H), 0), Image.new("L", (W, H), 0)
    d = ImageDraw.Draw(stamp)
    cx, cy = 1650 + rnd.randrange(100), 2500 + rnd.randrange(100)
    d.ellipse((cx - 300, cy - 300, cx + 300, cy + 300), outline=255, width=18)
    d.ellipse((cx - 250, cy - 250, cx + 250, cy + 250), outline=255, width=8)
    d.rectangle((cx - 240, cy - 45, cx + 240, cy + 45), outline=255, width=10)
    d = ImageDraw.Draw(sign)
    points = [(400 + t * 4, 3000 + int(60 * math.sin(t / 9.0) + 35 * math.sin(t / 3.7))) for t in range(260)]
    d.line(points, fill=255, width=7, joint="curve")
    page = Image.composite(Image.new("RGB", (W, H), (196, 36, 44)), page, stamp.filter(ImageFilter.GaussianBlur(0.8)))
    page = Image.composite(Image.new("RGB", (W, H), (30, 52, 160)), page, sign.filter(ImageFilter.GaussianBlur(0.8)))
    # The marks' own pixels, away from the text, for their colour.
    free = ink_l.point(lambda v: 255 if v > 250 else 0).filter(ImageFilter.MinFilter(5))
    core_stamp = ImageChops.multiply(stamp.filter(ImageFilter.MinFilter(3)), free)
    core_sign = ImageChops.multiply(sign.filter(ImageFilter.MinFilter(3)), free)
    labels = Image.new("L", (W, H), 0)
    labels.paste(1, mask=core_stamp)
    labels.paste(2, mask=core_sign)
    marks.update(labels=labels)
    page = page.filter(ImageFilter.GaussianBlur(0.6))
    noise = Image.effect_noise((W, H), 3).point(lambda v: max(0, min(255, v - 128 + 8)))
    page = ImageChops.subtract(ImageChops.add(page, Image.merge("RGB", (noise, noise, noise))),
                               Image.new("RGB", (W, H), (8, 8, 8)))
    return page


def photo():
    img = Image.open(PHOTO).convert("RGB")
    scale = max(W / img.width, H / img.height)
    img = img.resize((math.ceil(img.width * scale), math.ceil(img.height * scale)), Image.LANCZOS)
    left, top = (img.width - W) // 2, (img.height - H) // 2
    return img.crop((left, top, left + W, top + H))


def main():
    folder = sys.argv[1]
    pages = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    os.makedirs(folder, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        for n in range(pages):
            text = text_of(n)
            marks = {}
            page = scanned_rgb(set_text(text, tmp, n), marks, n)
            page.save(f"{folder}/text{n}-RGB.bmp")
            page.convert("L").save(f"{folder}/text{n}-L.bmp")
            page.convert("L").point(lambda v: 255 if v > 150 else 0).convert("1", dither=Image.NONE).save(
                f"{folder}/text{n}-1.bmp")
            marks["labels"].save(f"{folder}/text{n}-marks.png")
            with open(f"{folder}/text{n}.txt", "w", encoding="utf-8") as f:
                f.write(text)
    p = photo()
    p.save(f"{folder}/photo-RGB.bmp")
    p.convert("L").save(f"{folder}/photo-L.bmp")


main()
