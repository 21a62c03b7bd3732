"""Scanning through the host's own "Scan to PDF" button under Wine, with
Wine's TWAIN_32.DLL and the virtual scanner installed in the prefix
(unattended, or with its own dialog). winprobe presses the button; scanprobe
answers the "Select source" dialog and the scanner's dialog and lists the
page files."""
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "..", "tests", "e2e"))
from peerlib import Host, wine_env  # noqa: E402

EXE = os.environ.get("SKAN_EXE")
WINPROBE = os.environ.get("SKAN_WINPROBE")
SCANPROBE = os.environ.get("SKAN_SCANPROBE")
SCANNER = os.environ.get("SKAN_VIRTUAL_SCANNER")
PDFPROBE = os.environ.get("SKAN_PDFPROBE")  # dismisses scan completion's failure box


def run(tool, *args, timeout=60):
    out = subprocess.run(["wine", tool, *args], capture_output=True, env=wine_env(), timeout=timeout,
                         stdin=subprocess.DEVNULL)
    return out.returncode, out.stdout.decode("utf-8", "replace").replace("\r\n", "\n")


def install_scanner(settings, unattended=True):
    twain_32 = os.path.join(wine_env()["WINEPREFIX"], "drive_c", "windows", "twain_32")
    os.makedirs(twain_32, exist_ok=True)
    shutil.copyfile(SCANNER, os.path.join(twain_32, "sane.ds"))
    with open(os.path.join(twain_32, "sane.ini"), "w", newline="\r\n") as f:
        f.write("[Scanner]\n" + ("Unattended=1\n" if unattended else "") + "Resolution=50\n" + settings)


def page_files():
    """{"bmp": {name: size}, "tmp": {name: size}} in T\\scan\\ and T."""
    code, out = run(SCANPROBE, "files")
    files = {"bmp": {}, "tmp": {}}
    for line in out.splitlines():
        kind, name, size = line.split(" ")
        files[kind][name] = int(size)
    return files


def setUpModule():
    # The wineserver and the system processes that the first Wine program
    # starts keep that program's output pipe open; start them here without
    # pipes, so the captured tool runs below end when the tool does.
    if not SCANPROBE:
        return
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                 env=wine_env(), timeout=120)
    subprocess.run(["wineserver", "-p60"], **quiet)
    subprocess.run(["wine", SCANPROBE, "files"], **quiet)


MESSAGE_5 = '{"Nieznane polecenie ": "Dokument zeskanowany, przygotowuję do wysyłki." }'.encode("utf-8")
MESSAGE_6 = b'{"Czesc ": "1" }'
DPI_KEY = r"HKCU\Control Panel\Desktop"


def reset_dpi():
    """The prefix's display back at 96 dpi, whatever a test before left."""
    subprocess.run(["wine", "reg", "delete", DPI_KEY, "/v", "LogPixels", "/f"], capture_output=True,
                   env=wine_env(), stdin=subprocess.DEVNULL, timeout=120)


@unittest.skipUnless(EXE and WINPROBE and SCANPROBE and SCANNER and PDFPROBE, "needs the Windows build")
class ScanThroughTheButton(unittest.TestCase):
    def setUp(self):
        reset_dpi()

    @staticmethod
    def select_dialog_open():
        return run(SCANPROBE, "is-open")[0] == 0

    def scan(self, settings, in_dialog=None, fails=False):
        """One scan through the button; returns the new page bitmaps and
        placeholders once completion has ended (and its failure box, when
        `fails`, has been answered)."""
        install_scanner(settings, unattended=in_dialog is None)
        before = page_files()
        host = Host(EXE)
        self.addCleanup(host.kill)
        self.assertEqual(run(WINPROBE, "wait")[0], 0)
        host.send('{"POL":"Init_SCAN","email":"a@example.com","serialnumber":"1"}')
        host.read_frame()
        self.assertEqual(run(WINPROBE, "click", "Scan to PDF")[0], 0)
        deadline = time.monotonic() + 30
        while not self.select_dialog_open():
            self.assertLess(time.monotonic(), deadline, '"Select source" did not open')
            time.sleep(0.2)
        # Commands are taken while the "Select source" dialog is open.
        host.send('{"POL":"IFSCANED"}')
        self.assertEqual(host.read_frame()[1], b'{"POL":"IFSCANED","SCANED": "Begin_SCAN"}')
        self.assertTrue(self.select_dialog_open())
        code, dialog = run(SCANPROBE, "select", "cancel")  # the default source: the virtual scanner
        self.assertEqual(code, 0, dialog)
        self.assertIn("caption Select source\nsize 300 200\nrow Virtual Scanner\n", dialog)
        self.assertIn("selected 0", dialog)
        if in_dialog:  # the scanner's own dialog: Scan or Cancel
            code, out = run(SCANPROBE, "scanner", in_dialog)
            self.assertEqual(code, 0, out)
        # Scan completion sends messages 5 and 6 first, then assembles; an
        # IFSCANED is answered once it has ended, after its failure box.
        self.assertEqual(host.read_frame(60)[1], MESSAGE_5)
        self.assertEqual(host.read_frame(60)[1], MESSAGE_6)
        if fails:
            code, text = run(PDFPROBE, "box")
            self.assertEqual(code, 0, text)
        host.send('{"POL":"IFSCANED"}')
        status = b"Prepared_SCAN" if fails else b"Redy_SCAN"
        self.assertEqual(host.read_frame(60)[1], b'{"POL":"IFSCANED","SCANED": "' + status + b'"}')
        after = page_files()
        host.send('{"POL":"END"}')
        host.read_frame()
        self.assertEqual(host.wait(), 0)
        new_bmp = {n: s for n, s in after["bmp"].items() if n not in before["bmp"]}
        new_tmp = {n: s for n, s in after["tmp"].items() if n not in before["tmp"]}
        return new_bmp, new_tmp

    def assert_pages(self, bmp, tmp, pages):
        """`pages` page bitmaps, each beside its empty placeholder, and one
        more placeholder: the assembled PDF's."""
        self.assertEqual(len(bmp), pages, sorted(bmp))
        self.assertEqual(len(tmp), pages + 1, sorted(tmp))
        self.assertTrue(all(size > 1000 for size in bmp.values()), bmp)
        self.assertTrue(all(size == 0 for size in tmp.values()), tmp)
        self.assertLess(set(n[:-4] for n in bmp), set(n[:-4] for n in tmp))

    def test_three_pages_become_three_bitmaps_beside_three_placeholders(self):
        bmp, tmp = self.scan("Pages=3\n")
        self.assert_pages(bmp, tmp, 3)

    def test_cancel_at_the_first_page_writes_no_page(self):
        # The first page was named before it was cancelled; the assembly
        # stops at its missing file before it names the PDF.
        bmp, tmp = self.scan("Pages=3\nCancelAtPage=1\n", fails=True)
        self.assertEqual((len(bmp), len(tmp)), (0, 1))

    def test_scan_from_the_scanners_own_dialog(self):
        bmp, tmp = self.scan("Pages=2\n", in_dialog="scan")
        self.assert_pages(bmp, tmp, 2)

    def test_cancel_in_the_scanners_own_dialog(self):
        # Scan completion still runs: the PDF's placeholder is made, and the
        # library refuses the document without pages (the failure box).
        bmp, tmp = self.scan("Pages=2\n", in_dialog="cancel", fails=True)
        self.assertEqual((len(bmp), len(tmp)), (0, 1))

    def test_a_feeder_with_an_unknown_count(self):
        bmp, tmp = self.scan("Pages=4\nIndeterminate=1\n")
        self.assert_pages(bmp, tmp, 4)


@unittest.skipUnless(EXE and WINPROBE and SCANPROBE and SCANNER, "needs the Windows build")
class SelectSourceAtHighDpi(unittest.TestCase):
    """At 144 dpi the "Select source" dialog scales by 1.5 like the main window."""

    def setUp(self):
        subprocess.run(["wine", "reg", "add", DPI_KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d", "144", "/f"],
                       capture_output=True, env=wine_env(), check=True, stdin=subprocess.DEVNULL)
        # Put back after the test; a test killed at its time-out puts nothing
        # back, so the other tests reset it before they start.
        self.addCleanup(reset_dpi)

    def test_dialog_size_scales(self):
        install_scanner("Pages=1\n")
        host = Host(EXE)
        try:
            self.assertEqual(run(WINPROBE, "wait")[0], 0)
            self.assertEqual(run(WINPROBE, "click", "Scan to PDF")[0], 0)
            code, dialog = run(SCANPROBE, "select", "cancel")
            self.assertEqual(code, 0, dialog)
            self.assertIn("size 450 300\n", dialog)
            host.send('{"POL":"END"}')
            host.read_frame()
            self.assertEqual(host.wait(), 0)
        finally:
            host.kill()


if __name__ == "__main__":
    unittest.main()
