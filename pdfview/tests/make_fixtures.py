#!/usr/bin/env python3
"""Makes the reader's test PDFs in the folder given as the first argument.

Pictures come from ImageMagick and become PDFs through img2pdf, as other
producers' files would; the structures those tools never write (cross-reference
and object streams, incremental updates, forms, rotation, text, stencil masks)
are written here by hand, byte for byte.

The test picture ("quad") is 200 x 280 pixels: red top left, green top right,
blue bottom left, white bottom right with a black square in its middle."""
import os
import subprocess
import sys
import zlib

OUT = sys.argv[1] if len(sys.argv) > 1 else "fixtures"
W, H = 200, 280


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def path(name):
    return os.path.join(OUT, name)


def quad_rgb():
    """The test picture as raw RGB bytes."""
    rows = []
    for y in range(H):
        row = bytearray()
        for x in range(W):
            if y < H // 2:
                row += b"\xff\x00\x00" if x < W // 2 else b"\x00\xff\x00"
            elif x < W // 2:
                row += b"\x00\x00\xff"
            elif 125 <= x < 175 and 185 <= y < 235:
                row += b"\x00\x00\x00"
            else:
                row += b"\xff\xff\xff"
        rows.append(bytes(row))
    return b"".join(rows)


def pictures():
    rgb = path("quad.rgb")
    with open(rgb, "wb") as f:
        f.write(quad_rgb())
    size = f"{W}x{H}"
    run("convert", "-size", size, "-depth", "8", "rgb:" + rgb, path("quad.png"))
    run("convert", path("quad.png"), "-quality", "95", "-sampling-factor", "1x1", path("quad.jpg"))
    # Grey: black left half, white right half.
    run("convert", "-size", size, "xc:white", "-fill", "black", "-draw", f"rectangle 0,0 {W // 2 - 1},{H - 1}",
        "-type", "Grayscale", "-depth", "8", path("gray.png"))
    run("convert", path("gray.png"), "-quality", "95", path("gray.jpg"))
    # Black and white: black top half, white bottom half.
    run("convert", "-size", size, "xc:white", "-fill", "black", "-draw", f"rectangle 0,0 {W - 1},{H // 2 - 1}",
        "-type", "Bilevel", path("bw.png"))
    run("convert", path("bw.png"), "-type", "Bilevel", "-compress", "Group4", path("bw.tif"))
    # Landscape: blue left third, the rest white.
    run("convert", "-size", "300x150", "xc:white", "-fill", "blue", "-draw", "rectangle 0,0 99,149",
        path("wide.png"))
    os.remove(rgb)


def img2pdf_fixtures():
    run("img2pdf", path("quad.jpg"), "-o", path("jpeg.pdf"))
    run("img2pdf", path("quad.png"), "-o", path("flate.pdf"))
    run("img2pdf", path("gray.png"), "-o", path("gray.pdf"))
    run("img2pdf", path("gray.jpg"), "-o", path("gray_jpeg.pdf"))
    run("img2pdf", path("bw.png"), "-o", path("bw.pdf"))
    run("img2pdf", path("bw.tif"), "-o", path("g4.pdf"))
    run("img2pdf", path("quad.jpg"), path("wide.png"), path("bw.png"), "-o", path("three_pages.pdf"))


class Writer:
    """A PDF written by hand: objects, optional object stream and xref stream."""

    def __init__(self):
        self.objects = {}  # number -> bytes (dictionary text, or dictionary + stream)
        self.streams = {}  # number -> data

    def add(self, num, text, stream=None):
        self.objects[num] = text.encode("latin-1") if isinstance(text, str) else text
        if stream is not None:
            self.streams[num] = stream

    def body(self, num):
        text = self.objects[num]
        if num in self.streams:
            data = self.streams[num]
            return (text.rstrip(b">").rstrip() + b" /Length %d >>\nstream\n" % len(data) + data
                    + b"\nendstream")
        return text

    def classic(self, root):
        out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
        offsets = {}
        for num in sorted(self.objects):
            offsets[num] = len(out)
            out += b"%d 0 obj\n" % num + self.body(num) + b"\nendobj\n"
        size = max(self.objects) + 1
        xref = len(out)
        out += b"xref\n0 %d\n0000000000 65535 f \n" % size
        for num in range(1, size):
            out += b"%010d 00000 n \n" % offsets[num] if num in offsets else b"0000000000 65535 f \n"
        out += b"trailer\n<< /Size %d /Root %d 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (size, root, xref)
        return bytes(out)

    def compressed(self, root, packed):
        """Objects in `packed` go into one object stream; the cross-reference
        is a stream with the PNG Up predictor."""
        out = bytearray(b"%PDF-1.5\n%\xe2\xe3\xcf\xd3\n")
        size = max(self.objects) + 3
        objstm, xrefnum = size - 2, size - 1
        entries = {}
        for num in sorted(self.objects):
            if num in packed:
                continue
            entries[num] = (1, len(out), 0)
            out += b"%d 0 obj\n" % num + self.body(num) + b"\nendobj\n"
        header, data = b"", b""
        for i, num in enumerate(sorted(packed)):
            header += b"%d %d " % (num, len(data))
            data += self.objects[num] + b"\n"
            entries[num] = (2, objstm, i)
        payload = zlib.compress(header + data)
        entries[objstm] = (1, len(out), 0)
        out += (b"%d 0 obj\n<< /Type /ObjStm /N %d /First %d /Filter /FlateDecode /Length %d >>\nstream\n"
                % (objstm, len(packed), len(header), len(payload)) + payload + b"\nendstream\nendobj\n")
        entries[xrefnum] = (1, len(out), 0)
        rows = b""
        prev = bytes(6)
        for num in range(size):
            t, a, b = entries.get(num, (0, 0, 0))
            row = bytes([t]) + a.to_bytes(4, "big") + bytes([b])
            rows += b"\x02" + bytes((row[i] - prev[i]) & 0xFF for i in range(6))
            prev = row
        payload = zlib.compress(rows)
        xref = len(out)
        out += (b"%d 0 obj\n<< /Type /XRef /Size %d /Root %d 0 R /W [1 4 1] /Filter /FlateDecode "
                b"/DecodeParms << /Predictor 12 /Columns 6 >> /Length %d >>\nstream\n"
                % (xrefnum, size, root, len(payload)) + payload + b"\nendstream\nendobj\n")
        out += b"startxref\n%d\n%%%%EOF\n" % xref
        return bytes(out)


def quad_image_object(w):
    data = zlib.compress(quad_rgb())
    w.add(10, f"<< /Type /XObject /Subtype /Image /Width {W} /Height {H} /ColorSpace /DeviceRGB "
              "/BitsPerComponent 8 /Filter /FlateDecode >>", data)


def page_with(content, extra="", resources="<< /XObject << /Im0 10 0 R >> >>", box="[0 0 200 280]"):
    w = Writer()
    w.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    w.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    w.add(3, f"<< /Type /Page /Parent 2 0 R /MediaBox {box} /Resources {resources} /Contents 4 0 R {extra}>>")
    w.add(4, "<< >>", content.encode("latin-1"))
    quad_image_object(w)
    return w


def write(name, data):
    with open(path(name), "wb") as f:
        f.write(data)


def hand_made():
    full = "q 200 0 0 280 0 0 cm /Im0 Do Q"
    # Cross-reference stream and object stream.
    w = page_with(full)
    write("objstm.pdf", w.compressed(1, {1, 2, 3}))
    # Rotated a quarter turn clockwise.
    write("rotate90.pdf", page_with(full, "/Rotate 90").classic(1))
    # The image through a form XObject with its own matrix: the left half of
    # the page shows the picture squeezed, the right half is white.
    w = page_with("q /Fm0 Do Q", resources="<< /XObject << /Fm0 11 0 R >> >>")
    w.add(11, "<< /Type /XObject /Subtype /Form /BBox [0 0 100 280] /Matrix [0.5 0 0 1 0 0] "
              "/Resources << /XObject << /Im0 10 0 R >> >> >>", full.encode())
    write("form.pdf", w.classic(1))
    # A scan with its searchable text layer: invisible text over the picture.
    w = page_with(full + " BT 3 Tr /F1 12 Tf 10 10 Td (scan) Tj ET",
                  resources="<< /XObject << /Im0 10 0 R >> /Font << /F1 12 0 R >> >>")
    w.add(12, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    write("ocr_layer.pdf", w.classic(1))
    # A filled rectangle and a stencil mask painted in blue.
    w = Writer()
    w.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    w.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    w.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Resources << /XObject << /M 5 0 R >> >> "
             "/Contents 4 0 R >>")
    w.add(4, "<< >>", b"1 0 0 rg 0 100 200 100 re f 0 0 1 rg q 200 0 0 100 0 0 cm /M Do Q")
    # 8 x 1 stencil: left half 0 (painted), right half 1 (not painted).
    w.add(5, "<< /Type /XObject /Subtype /Image /Width 8 /Height 1 /ImageMask true >>", b"\x0f")
    write("stencil.pdf", w.classic(1))
    # Palette image: 2 x 2 indexed, 8 bits, and /Decode unused.
    w = page_with("q 200 0 0 280 0 0 cm /Im1 Do Q", resources="<< /XObject << /Im1 6 0 R >> >>")
    w.add(6, "<< /Type /XObject /Subtype /Image /Width 2 /Height 2 /BitsPerComponent 8 "
             "/ColorSpace [/Indexed /DeviceRGB 2 <ff000000ff000000ff>] >>", bytes([0, 1, 2, 0]))
    write("indexed.pdf", w.classic(1))
    # An incremental update that turns the page upside down.
    base = page_with(full).classic(1)
    prev = int(base.rsplit(b"startxref\n", 1)[1].split(b"\n")[0])
    update = bytearray(base)
    at = len(update)
    update += (b"3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 280] /Rotate 180 "
               b"/Resources << /XObject << /Im0 10 0 R >> >> /Contents 4 0 R >>\nendobj\n")
    xref = len(update)
    update += (b"xref\n3 1\n%010d 00000 n \ntrailer\n<< /Size 11 /Root 1 0 R /Prev %d >>\nstartxref\n%d\n%%%%EOF\n"
               % (at, prev, xref))
    write("update.pdf", bytes(update))
    # Text only, as a word processor writes it: the viewer cannot draw it.
    w = Writer()
    w.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    w.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    w.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font << /F1 5 0 R >> >> "
             "/Contents 4 0 R >>")
    w.add(4, "<< >>", b"BT /F1 24 Tf 72 720 Td (Dzien dobry) Tj ET")
    w.add(5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    write("text_only.pdf", w.classic(1))
    # A scanned page, then a page of text.
    w = page_with(full)
    w.add(2, "<< /Type /Pages /Kids [3 0 R 6 0 R] /Count 2 >>")
    w.add(6, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 280] /Resources << /Font << /F1 8 0 R >> >> "
             "/Contents 7 0 R >>")
    w.add(7, "<< >>", b"BT /F1 24 Tf 20 140 Td (Tekst) Tj ET")
    w.add(8, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    write("mixed.pdf", w.classic(1))
    # Vector drawing only.
    write("vector.pdf", page_with("0 0 1 RG 10 10 m 190 270 l S").classic(1))
    # The page tree's root claims seven pages and holds two: an upright one,
    # then one lying on its side.
    w = page_with(full)
    w.add(2, "<< /Type /Pages /Kids [3 0 R 6 0 R] /Count 7 >>")
    w.add(6, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 560 400] /Resources << /XObject << /Im0 10 0 R >> >> "
             "/Contents 4 0 R >>")
    write("count_wrong.pdf", w.classic(1))
    # A first page that draws (or, second, one of text), then a page tree
    # whose second branch refers back to its root.
    for name, first in (("tree_cycle.pdf", full), ("text_then_cycle.pdf", "BT /F1 24 Tf 20 140 Td (Tekst) Tj ET")):
        w = page_with(first, resources="<< /XObject << /Im0 10 0 R >> /Font << /F1 8 0 R >> >>")
        w.add(2, "<< /Type /Pages /Kids [3 0 R 6 0 R] /Count 2 >>")
        w.add(6, "<< /Type /Pages /Parent 2 0 R /Kids [2 0 R] /Count 1 >>")
        w.add(8, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
        write(name, w.classic(1))


def slow_page():
    """One page that takes long to draw: two large images drawn by turns,
    sixty times each, so that no decode is saved by keeping the last image.
    That is tens of seconds of decoding natively, and more under Wine."""
    side = 2000
    rows = b"".join(bytes((x * 7 + y * 3) & 0xFF for x in range(side)) for y in range(4))
    w = Writer()
    w.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    w.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    w.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 280] "
             "/Resources << /XObject << /A 5 0 R /B 6 0 R >> >> /Contents 4 0 R >>")
    w.add(4, "<< >>", b"q 200 0 0 280 0 0 cm /A Do Q q 200 0 0 280 0 0 cm /B Do Q\n" * 60)
    for num, shift in ((5, 0), (6, 1)):
        data = zlib.compress((rows[shift:] + rows[:shift]) * (side // 4), 9)
        w.add(num, f"<< /Type /XObject /Subtype /Image /Width {side} /Height {side} /ColorSpace /DeviceGray "
                   "/BitsPerComponent 8 /Filter /FlateDecode >>", data)
    write("slow_page.pdf", w.classic(1))


def main():
    os.makedirs(OUT, exist_ok=True)
    pictures()
    img2pdf_fixtures()
    hand_made()
    slow_page()


if __name__ == "__main__":
    main()
