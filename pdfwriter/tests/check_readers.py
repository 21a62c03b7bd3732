#!/usr/bin/env python3
"""Checks the PDFs the core test wrote with other readers: qpdf's structure
check for every file, then per case in cases.txt

  g4 NAME         NAME.pdf holds one Group 4 image; NAME.pbm the bits it
                  must decode to. poppler (pdfimages, the raw bits) and
                  MuPDF (a render at one pixel per point) must both give
                  those bits.
  render NAME     NAME.pdf is one lossless page; NAME.pgm or NAME.ppm the
                  pixels MuPDF must render at 72 dpi, byte for byte. poppler
                  must render it at that size (its colours are not compared:
                  it shifts DeviceRGB values slightly).
  structure NAME  NAME.pdf needs qpdf's check alone.
  pdfa NAME       Preflight (preflight.py) must find NAME.pdf valid PDF/A-1b.
                  The first such file with text is also checked without its
                  /ID, its output intent and its metadata: Preflight must
                  then report 1.4.1, 2.4.3 and 7.1 (the check can fail).
  text NAME       NAME.words lists the words of NAME.pdf in reading order,
                  "text xMin yMin xMax yMax" (points from the page's top
                  left), pages separated by a form feed line. pdftotext and
                  MuPDF must give those words in that order, and poppler
                  each word within a point of its box.

The tools run natively, so the Windows build's output is checked too. Each
of them is required: a missing one fails the check."""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

TOOLS = ("qpdf", "pdfimages", "pdftoppm", "pdftotext", "mutool")
BOX_TOLERANCE = 1.0  # points


def read_pnm(path):
    """(magic, width, height, data) of a binary PBM, PGM or PPM."""
    with open(path, "rb") as f:
        raw = f.read()
    fields, pos = [], 0
    wanted = 3 if raw[:2] == b"P4" else 4
    while len(fields) < wanted:
        while raw[pos:pos + 1].isspace():
            pos += 1
        if raw[pos:pos + 1] == b"#":
            pos = raw.index(b"\n", pos)
            continue
        end = pos
        while end < len(raw) and not raw[end:end + 1].isspace():
            end += 1
        fields.append(raw[pos:end])
        pos = end
    return fields[0].decode(), int(fields[1]), int(fields[2]), raw[pos + 1:]


def run(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed ({result.returncode}): "
                           f"{result.stdout.decode(errors='replace').strip()}")


def black_bits(magic, width, height, data):
    """Whether each pixel is black, row by row, from a PBM or a grey PGM."""
    if magic == "P4":
        stride = (width + 7) // 8
        return [[(data[y * stride + x // 8] >> (7 - x % 8)) & 1 == 1 for x in range(width)]
                for y in range(height)]
    if magic == "P5":
        return [[data[y * width + x] < 128 for x in range(width)] for y in range(height)]
    raise RuntimeError(f"unexpected image type {magic}")


def wrong_pixels(expected, got):
    return sum(a != b for row_a, row_b in zip(expected, got) for a, b in zip(row_a, row_b))


def check_g4(folder, name, tmp):
    pdf = os.path.join(folder, name + ".pdf")
    magic, w, h, data = read_pnm(os.path.join(folder, name + ".pbm"))
    expected = black_bits(magic, w, h, data)
    problems = []

    def compare(reader, output, magic, what):
        got = read_pnm(output)
        if got[:3] != (magic, w, h):
            problems.append(f"{reader} {what} a {got[0]} of {got[1]} x {got[2]}, not a {magic} of {w} x {h}")
            return
        wrong = wrong_pixels(expected, black_bits(*got))
        if wrong:
            problems.append(f"{reader} {what} {wrong} of {w * h} pixels wrong")

    run(["pdfimages", pdf, os.path.join(tmp, name)])
    compare("poppler", os.path.join(tmp, name + "-000.pbm"), "P4", "decodes")
    run(["mutool", "draw", "-q", "-r", "72", "-c", "gray", "-o", os.path.join(tmp, name + ".pgm"), pdf])
    compare("MuPDF", os.path.join(tmp, name + ".pgm"), "P5", "renders")
    return problems


def check_render(folder, name, tmp):
    pdf = os.path.join(folder, name + ".pdf")
    expected_path = next(os.path.join(folder, name + ext) for ext in (".pgm", ".ppm")
                         if os.path.exists(os.path.join(folder, name + ext)))
    magic, w, h, data = read_pnm(expected_path)
    problems = []
    run(["pdftoppm", "-r", "72", "-singlefile", pdf, os.path.join(tmp, name)])
    got = read_pnm(os.path.join(tmp, name + ".ppm"))
    if got[:3] != ("P6", w, h):
        problems.append(f"poppler rendered a {got[0]} of {got[1]} x {got[2]}, not a P6 of {w} x {h}")
    colour = "gray" if magic == "P5" else "rgb"
    out = os.path.join(tmp, name + "-mupdf" + expected_path[-4:])
    run(["mutool", "draw", "-q", "-r", "72", "-c", colour, "-o", out, pdf])
    got = read_pnm(out)
    if got[:3] != (magic, w, h):
        problems.append(f"MuPDF rendered a {got[0]} of {got[1]} x {got[2]}, not a {magic} of {w} x {h}")
    elif got[3] != data:
        wrong = sum(a != b for a, b in zip(got[3], data)) + abs(len(got[3]) - len(data))
        problems.append(f"MuPDF renders {wrong} of {len(data)} samples differently from the source")
    return problems


def read_words(path):
    """Pages of (text, box) from a .words file."""
    with open(path, encoding="utf-8") as f:
        pages = f.read().split("\f\n")
    result = []
    for page in pages:
        words = []
        for line in page.splitlines():
            text, *box = line.rsplit(" ", 4)
            words.append((text, tuple(float(v) for v in box)))
        result.append(words)
    return result


def output(command):
    """What `command` prints on standard output (its warnings go elsewhere)."""
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed ({result.returncode}): "
                           f"{result.stderr.decode(errors='replace').strip()}")
    return result.stdout.decode("utf-8")


def check_text(folder, name, tmp):
    pdf = os.path.join(folder, name + ".pdf")
    pages = read_words(os.path.join(folder, name + ".words"))
    expected = [[text for text, _ in page] for page in pages]
    problems = []
    got = [page.split() for page in output(["pdftotext", "-enc", "UTF-8", pdf, "-"]).split("\f")[:len(pages)]]
    if got != expected:
        problems.append(f"pdftotext reads {got}, not {expected}")
    got = output(["mutool", "draw", "-q", "-F", "txt", "-o", "-", pdf]).split()
    if got != sum(expected, []):
        problems.append(f"MuPDF reads {got}, not {sum(expected, [])}")
    html = output(["pdftotext", "-bbox", "-enc", "UTF-8", pdf, "-"])
    import html as htmllib
    import re
    found = []
    for page in html.split("<page ")[1:]:
        found.append([(htmllib.unescape(m.group(5)), tuple(float(m.group(i)) for i in range(1, 5)))
                      for m in re.finditer(r'<word xMin="([-\d.]+)" yMin="([-\d.]+)" xMax="([-\d.]+)" '
                                           r'yMax="([-\d.]+)">([^<]*)</word>', page)])
    for number, (want, have) in enumerate(zip(pages, found), 1):
        if [t for t, _ in want] != [t for t, _ in have]:
            problems.append(f"page {number}: poppler's words {[t for t, _ in have]}")
            continue
        for (text, box), (_, got_box) in zip(want, have):
            if any(abs(a - b) > BOX_TOLERANCE for a, b in zip(box, got_box)):
                problems.append(f"page {number}: {text} at {got_box}, not {box}")
    return problems


def strip_from_pdf(data, start, end_byte):
    """The file with data[start:end] blanked, end being the first end_byte
    after start (included); offsets stay right."""
    end = data.index(end_byte, start) + len(end_byte)
    return data[:start] + b" " * (end - start) + data[end:]


def check_pdfa_cases(folder, names, tmp):
    """Problems per case name: Preflight on every pdfa case, and on a text
    case stripped of each PDF/A feature in turn."""
    import preflight
    paths = [os.path.join(folder, n + ".pdf") for n in names]
    stripped = {}
    with_text = [n for n in names if "text" in n]
    if with_text:
        with open(os.path.join(folder, with_text[0] + ".pdf"), "rb") as f:
            data = f.read()
        variants = {
            "no-id": (strip_from_pdf(data, data.rindex(b"/ID ["), b"]"), "1.4.1"),
            "no-output-intent": (strip_from_pdf(data, data.index(b"/OutputIntents ["), b">>]"), "2.4.3"),
            "no-metadata": (strip_from_pdf(data, data.index(b"/Metadata "), b" R"), "7.1"),
        }
        for suffix, (bytes_, code) in variants.items():
            path = os.path.join(tmp, f"{with_text[0]}-{suffix}.pdf")
            with open(path, "wb") as f:
                f.write(bytes_)
            paths.append(path)
            stripped[path] = code
    verdicts = preflight.validate(paths)
    problems = {}
    for n in names:
        errors = verdicts.get(os.path.join(folder, n + ".pdf"), [("?", "no verdict")])
        problems[n] = [f"Preflight: {code}: {details}" for code, details in errors]
    for file, code in stripped.items():
        codes = [c for c, _ in verdicts.get(file, [])]
        if code not in codes:
            problems[with_text[0]].append(
                f"Preflight gave {codes or 'no error'} for {os.path.basename(file)}, not {code}")
    return problems


def check_structure(folder, name, tmp):
    pdf = os.path.join(folder, name + ".pdf")
    return [] if os.path.exists(pdf) else [f"{pdf} is missing"]


def main():
    folder = sys.argv[1]
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        print(f"missing {', '.join(missing)} (tools/install-deps.sh installs them)")
        return 1
    manifest = os.path.join(folder, "cases.txt")
    cases = []
    if os.path.exists(manifest):
        with open(manifest, encoding="utf-8") as f:
            cases = [line.split() for line in f if line.strip()]
    if not cases:
        print(f"no cases listed in {manifest}: the test wrote nothing to check")
        return 1
    failed = 0
    pdfs = sorted(n for n in os.listdir(folder) if n.endswith(".pdf"))
    for pdf in pdfs:
        result = subprocess.run(["qpdf", "--check", os.path.join(folder, pdf)], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=120)
        if result.returncode != 0:
            print(f"FAIL {pdf}: qpdf --check: {result.stdout.decode(errors='replace').strip()}")
            failed += 1
    checks = {"g4": check_g4, "render": check_render, "structure": check_structure, "text": check_text}
    with tempfile.TemporaryDirectory() as tmp:
        pdfa = [name for kind, name in cases if kind == "pdfa"]
        try:
            pdfa_problems = check_pdfa_cases(folder, pdfa, tmp) if pdfa else {}
        except (OSError, RuntimeError, ValueError, subprocess.TimeoutExpired) as e:
            pdfa_problems = {name: [f"{type(e).__name__}: {e}"] for name in pdfa}
        for kind, name in cases:
            try:
                problems = pdfa_problems[name] if kind == "pdfa" else checks[kind](folder, name, tmp)
            except (OSError, RuntimeError, StopIteration, ValueError, subprocess.TimeoutExpired) as e:
                problems = [f"{type(e).__name__}: {e}"]
            for p in problems:
                print(f"FAIL {kind} {name}: {p}")
            failed += bool(problems)
    print(f"{len(pdfs)} PDF files checked by qpdf, {len(cases)} cases checked, "
          f"{failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
