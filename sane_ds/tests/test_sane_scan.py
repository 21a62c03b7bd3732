"""A whole scan request through the host with a TWAIN source nobody here
wrote: Wine's sane.ds over SANE's "test" backend, in a Wine prefix of its own
(the shared prefix has the virtual scanner in the place of sane.ds).

The user picks "test:0" in "Select source", chooses the feeder in the
source's own dialog and presses Scan; the backend's feeder holds ten pages.
Checked: progress messages 5 and 6, "Redy_SCAN", one page bitmap and one
placeholder per page plus the PDF's own placeholder and nothing more, the PDF
(qpdf) with one page per bitmap, each page rendered back (pdftoppm) showing
its bitmap (ImageMagick reads the bitmap), in colour or in grey as asked."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from peerlib import Host, wine_env  # noqa: E402

EXE = os.environ.get("SKAN_EXE")
WINPROBE = os.environ.get("SKAN_WINPROBE")
SCANPROBE = os.environ.get("SKAN_SCANPROBE")
PDFPROBE = os.environ.get("SKAN_PDFPROBE")
SANE_DS = os.environ.get("SKAN_SANE_DS")          # tools/install-sane-ds.sh's output
PREFIX = os.environ.get("SKAN_SANE_PREFIX")       # this test's own Wine prefix

FEEDER = "Automatic Document Feeder"
FEEDER_PAGES = 10  # the test backend's feeder is empty after ten scans
MESSAGE_5 = '{"Nieznane polecenie ": "Dokument zeskanowany, przygotowuję do wysyłki." }'.encode("utf-8")
MESSAGE_6 = b'{"Czesc ": "1" }'
GRID = (12, 16)    # cells across and down in which page and bitmap are compared
TOLERANCE = 40     # per channel, of 255, for a cell's mean colour


def run(tool, *args, timeout=120):
    """Runs a Wine program; output through a file, since a Wine service started
    on the way would hold a pipe open."""
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(["wine", tool, *args], stdout=out, stderr=subprocess.DEVNULL,
                              stdin=subprocess.DEVNULL, env=wine_env(), timeout=timeout).returncode
        out.seek(0)
        return code, out.read().decode("utf-8", "replace").replace("\r\n", "\n")


def unix_path(windows_path):
    out = subprocess.run(["winepath", "-u", windows_path], capture_output=True, env=wine_env(), timeout=60,
                         stdin=subprocess.DEVNULL)
    return out.stdout.decode("utf-8").strip()


def page_files():
    """{"bmp": {name: size}, "tmp": {name: size}} in T\\scan\\ and T."""
    code, out = run(SCANPROBE, "files")
    files = {"bmp": {}, "tmp": {}}
    for line in out.splitlines():
        kind, name, size = line.split(" ")
        files[kind][name] = int(size)
    return files


def picture(command):
    """The PPM (8-bit RGB) that `command` writes to its standard output."""
    return subprocess.run(command, capture_output=True, check=True, timeout=120).stdout


def pixels(ppm):
    """The RGB triples of a binary PPM."""
    fields = ppm.split(maxsplit=4)  # P6, width, height, maximum, pixels
    assert fields[0] == b"P6" and fields[3] == b"255", fields[:4]
    count = int(fields[1]) * int(fields[2])
    data = fields[4]
    return [tuple(data[i:i + 3]) for i in range(0, 3 * count, 3)]


def cells(ppm):
    """Mean colour of each cell of a GRID laid over the picture."""
    scaled = subprocess.run(["convert", "ppm:-", "-scale", f"{GRID[0]}x{GRID[1]}!", "-depth", "8", "ppm:-"],
                            input=ppm, capture_output=True, check=True, timeout=120).stdout
    return pixels(scaled)


def setUpModule():
    if not (EXE and WINPROBE and SCANPROBE and PDFPROBE and SANE_DS and PREFIX):
        return
    # Everything below, and every Wine program of the tests, uses this prefix
    # and finds the built sane.ds through WINEDLLPATH.
    os.environ["WINEPREFIX"] = PREFIX
    os.environ["WINEDLLPATH"] = os.path.join(SANE_DS, "winedll")
    subprocess.run(["bash", "-c", f'source "{ROOT}/tools/wine-env.sh" && skan_wine_prefix && skan_wineserver_start'],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   env=wine_env(), timeout=600, check=True)


def tearDownModule():
    if PREFIX and os.environ.get("WINEPREFIX") == PREFIX:
        subprocess.run(["wineserver", "-k"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, env=wine_env(), timeout=120)


@unittest.skipUnless(EXE and WINPROBE and SCANPROBE and PDFPROBE and SANE_DS and PREFIX,
                     "run through ctest (sane_scan_e2e), which names the programs and builds sane.ds")
class ScanWithWinesSaneSource(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Wine loads the built sane.ds in place of the prefix's own copy when that
        # copy is Wine's placeholder, or the built file itself (which a prefix
        # made with the built one on WINEDLLPATH holds); anything else (the
        # virtual scanner installed under that name) would be scanned instead.
        with open(os.path.join(PREFIX, "drive_c", "windows", "twain_32", "sane.ds"), "rb") as f:
            in_prefix = f.read()
        with open(os.path.join(SANE_DS, "winedll", "i386-windows", "sane.ds"), "rb") as f:
            built = f.read()
        assert b"Wine placeholder DLL" in in_prefix or in_prefix == built, \
            "twain_32\\sane.ds in the prefix is neither Wine's placeholder nor the built sane.ds"
        cls.temp = run(PDFPROBE, "temp")[1]

    def sane_config(self, mode):
        """A copy of the SANE configuration with the test backend's scan mode set."""
        folder = tempfile.mkdtemp(prefix="sane.d-")
        self.addCleanup(shutil.rmtree, folder)
        shutil.copy(os.path.join(SANE_DS, "sane.d", "dll.conf"), folder)
        with open(os.path.join(SANE_DS, "sane.d", "test.conf")) as f:
            conf = re.sub(r"(?m)^mode .*$", f"mode {mode}", f.read())
        with open(os.path.join(folder, "test.conf"), "w") as f:
            f.write(conf)
        return folder

    def wait_for_completion(self, host, before, timeout=300):
        """Waits for message 5 while watching the placeholders: a source whose
        pages all fail would otherwise go on making them until the time-out."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                return host.read_frame(5)[1]
            except TimeoutError:
                placeholders = len(set(page_files()["tmp"]) - set(before["tmp"]))
                self.assertLessEqual(placeholders, FEEDER_PAGES + 1, "the batch does not end")
                if time.monotonic() > deadline:
                    raise

    def scan(self, mode):
        env = wine_env()
        env["SANE_CONFIG_DIR"] = self.sane_config(mode)
        before = page_files()
        host = Host(EXE, env)
        self.addCleanup(host.kill)
        self.assertEqual(run(WINPROBE, "wait")[0], 0)
        host.send('{"POL":"Init_SCAN","email":"a@example.com","serialnumber":"1"}')
        scan_id = re.search(rb'"Initscan_id": "([0-9_]+)"', host.read_frame()[1]).group(1).decode()

        self.assertEqual(run(WINPROBE, "click", "Scan to PDF")[0], 0)
        code, dialog = run(SCANPROBE, "select", "=test:0")
        self.assertEqual(code, 0, dialog)
        self.assertIn("row test:0\n", dialog)
        code, sheet = run(SCANPROBE, "sheet", FEEDER)
        self.assertEqual(code, 0, sheet)
        started = time.monotonic()
        self.assertEqual(self.wait_for_completion(host, before), MESSAGE_5)
        self.assertEqual(host.read_frame(60)[1], MESSAGE_6)
        print(f"\n{mode}: {FEEDER_PAGES} pages from Scan to message 6 in {time.monotonic() - started:.1f} s",
              file=sys.stderr)

        host.send('{"POL":"IFSCANED"}')
        try:
            status = host.read_frame(60)[1]
        except TimeoutError:  # the host's failure box holds the answer back
            self.fail("IFSCANED unanswered; failure box: %r" % run(PDFPROBE, "box", "1000")[1])
        self.assertEqual(status, b'{"POL":"IFSCANED","SCANED": "Redy_SCAN"}')
        log = run(WINPROBE, "log")[1].replace("\r", "").split("\n")
        pdf_path = log[log.index("scan_id: " + scan_id) - 1]
        self.assertTrue(pdf_path.startswith(self.temp) and pdf_path.endswith(".pdf"), pdf_path)
        after = page_files()
        host.send('{"POL":"END"}')
        host.read_frame()
        self.assertEqual(host.wait(), 0)

        bmp = {n: s for n, s in after["bmp"].items() if n not in before["bmp"]}
        tmp = {n: s for n, s in after["tmp"].items() if n not in before["tmp"]}
        return pdf_path, bmp, tmp

    def check_request(self, mode, coloured):
        pdf_path, bmp, tmp = self.scan(mode)

        # One bitmap per page, each named after its own empty placeholder; one
        # more placeholder for the PDF; nothing else.
        self.assertEqual(len(bmp), FEEDER_PAGES, sorted(bmp))
        self.assertTrue(all(size > 1000 for size in bmp.values()), bmp)
        self.assertTrue(all(size == 0 for size in tmp.values()), tmp)
        pdf_name = pdf_path.rsplit("\\", 1)[1]
        self.assertEqual(set(n[:-4] for n in tmp), set(n[:-4] for n in bmp) | {pdf_name[:-4]})

        pdf = unix_path(pdf_path)
        check = subprocess.run(["qpdf", "--check", pdf], capture_output=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        pages = subprocess.run(["qpdf", "--show-npages", pdf], capture_output=True).stdout.strip()
        self.assertEqual(pages, str(FEEDER_PAGES).encode())

        # Page i of the PDF shows the i-th bitmap written. (The backend's
        # pages are all alike; page order itself is checked with the virtual
        # scanner, which numbers its pages.)
        folder = unix_path(self.temp + "scan\\")
        written = sorted(bmp, key=lambda n: (os.stat(os.path.join(folder, n)).st_mtime_ns, n))
        for page, name in enumerate(written, 1):
            source = picture(["convert", os.path.join(folder, name), "-depth", "8", "ppm:-"])
            shown = picture(["pdftoppm", "-r", "50", "-f", str(page), "-l", str(page), pdf])
            for at, (want, got) in enumerate(zip(cells(source), cells(shown))):
                self.assertTrue(all(abs(a - b) <= TOLERANCE for a, b in zip(want, got)),
                                f"page {page} ({name}), cell {at}: bitmap {want}, PDF {got}")
            rgb = pixels(shown)
            spread = max(max(p) - min(p) for p in rgb)
            if coloured:
                self.assertGreater(spread, 80, f"page {page} shows no colour")
            else:
                self.assertLessEqual(spread, 8, f"page {page} is not grey")  # room for JPEG's rounding
            light = [sum(p) for p in rgb]
            self.assertGreater(max(light) - min(light), 3 * 60, f"page {page} shows no pattern")

    # Known to fail: Wine's sane.ds refuses the page's settings (the pixel
    # type read back after grey is set, and its resolution's allowed values
    # read as none), so the host answers UNSUPPORTED_SETTING. Marked, not
    # skipped: it runs every time, and passing would be reported as an
    # unexpected success to remove this mark.
    @unittest.expectedFailure
    def test_the_page_sets_resolution_and_mode_without_the_dialog(self):
        # No dialog is answered: one that opened would hold the batch. The
        # source reports the bit depth of its mode per sample and cannot set
        # it; asked for the mode it is already in, it reports no depth yet.
        for mode, colour, dpi in (("Color", "grey", 75), ("Color", "colour", 150), ("Gray", "grey", 150)):
            with self.subTest(backend=mode, colour=colour, dpi=dpi):
                self.page_driven_scan(mode, colour, dpi)

    def page_driven_scan(self, mode, colour, dpi):
        env = wine_env()
        env["SANE_CONFIG_DIR"] = self.sane_config(mode)
        host = Host(EXE, env)
        self.addCleanup(host.kill)
        host.send(json.dumps({"POL": "Init_SCAN", "events": True, "email": "", "serialnumber": "",
                              "scan": {"scanner": "test:0", "resolution": dpi, "colour": colour}}))
        reply = json.loads(host.read_frame(120)[1])
        self.assertNotIn("error", reply, reply)
        host.send('{"POL":"Start_SCAN"}')
        messages = []
        while not messages or messages[-1].get("event") != "scanned":
            messages.append(json.loads(host.read_frame(300)[1]))
        self.assertIn({"POL": "Start_SCAN", "started": True}, messages)
        pages = [m for m in messages if m.get("event") == "page"]
        self.assertTrue(pages, messages)
        for p in pages:
            self.assertEqual((p["dpi"], p["colour"]), (dpi, colour), {k: v for k, v in p.items() if k != "thumbnail"})
            self.assertLessEqual(abs(p["pixelWidth"] - round(210 / 25.4 * dpi)), 2, p["pixelWidth"])
        scanned = messages[-1]
        self.assertEqual((scanned["outcome"], scanned["pages"]), ("done", len(pages)))
        host.send('{"POL":"END"}')
        while json.loads(host.read_frame(60)[1]).get("POL") != "SCANEDqq":
            pass
        self.assertEqual(host.wait(), 0)

    def test_colour_pages_from_the_feeder(self):
        self.check_request("Color", coloured=True)

    def test_grey_pages_from_the_feeder(self):
        self.check_request("Gray", coloured=False)


if __name__ == "__main__":
    unittest.main()
