"""A whole scan request under Wine: Init_SCAN, "Scan to PDF" with the virtual
scanner, and scan completion: messages 5 and 6, the PDF, its Base64 export
T\\scan\\<scan_id>\\scan.bs, the log lines, IFSCANED answering "Redy_SCAN";
and a page file that is missing giving the "Plik" box and "Prepared_SCAN"."""
import base64
import os
import re
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..", "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "twain", "tests", "e2e"))
from peerlib import Host, wine_env  # noqa: E402
import test_scan as twain_scan  # noqa: E402  (scanner installation and tool runs)

EXE = os.environ.get("SKAN_EXE")
WINPROBE = os.environ.get("SKAN_WINPROBE")
SCANPROBE = os.environ.get("SKAN_SCANPROBE")
SCANNER = os.environ.get("SKAN_VIRTUAL_SCANNER")
PDFPROBE = os.environ.get("SKAN_PDFPROBE")

MESSAGE_5 = '{"Nieznane polecenie ": "Dokument zeskanowany, przygotowuję do wysyłki." }'.encode("utf-8")
MESSAGE_6 = b'{"Czesc ": "1" }'


def run(tool, *args, timeout=60):
    return twain_scan.run(tool, *args, timeout=timeout)


def unix_path(windows_path):
    out = subprocess.run(["winepath", "-u", windows_path], capture_output=True, env=wine_env(), timeout=60,
                         stdin=subprocess.DEVNULL)
    return out.stdout.decode("utf-8").strip()


def read(windows_path):
    with open(unix_path(windows_path), "rb") as f:
        return f.read()


@unittest.skipUnless(EXE and WINPROBE and SCANPROBE and SCANNER and PDFPROBE, "needs the Windows build")
class ScanRequest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Start the wineserver and Wine's system processes without pipes, so
        # they do not hold the captured outputs below open.
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     env=wine_env(), timeout=120)
        subprocess.run(["wineserver", "-p60"], **quiet)
        subprocess.run(["wine", PDFPROBE, "temp"], **quiet)
        cls.temp = run(PDFPROBE, "temp")[1]

    def scan(self, settings):
        """Starts the host, opens a request and scans; returns (host, scan_id)."""
        twain_scan.install_scanner(settings)
        host = Host(EXE)
        self.addCleanup(host.kill)
        self.assertEqual(run(WINPROBE, "wait")[0], 0)
        host.send('{"POL":"Init_SCAN","email":"a@example.com","serialnumber":"1"}')
        _, reply = host.read_frame()
        scan_id = re.search(rb'"Initscan_id": "([0-9_]+)"', reply).group(1).decode()
        self.assertEqual(run(WINPROBE, "click", "Scan to PDF")[0], 0)
        code, dialog = run(SCANPROBE, "select", "cancel")  # the default source: the virtual scanner
        self.assertEqual(code, 0, dialog)
        # Completion's progress messages come without being asked for.
        self.assertEqual(host.read_frame(60)[1], MESSAGE_5)
        self.assertEqual(host.read_frame(60)[1], MESSAGE_6)
        return host, scan_id

    def status(self, host):
        host.send('{"POL":"IFSCANED"}')
        return host.read_frame(60)[1]

    def end(self, host):
        host.send('{"POL":"END"}')
        host.read_frame()
        self.assertEqual(host.wait(), 0)

    def test_three_pages_become_a_pdf_and_its_export(self):
        host, scan_id = self.scan("Pages=3\n")
        self.assertEqual(self.status(host), b'{"POL":"IFSCANED","SCANED": "Redy_SCAN"}')

        log = run(WINPROBE, "log")[1].replace("\r", "").split("\n")
        folder = self.temp + "scan\\" + scan_id + "\\"
        at = log.index("scan_id: " + scan_id)
        pdf_path = log[at - 1]
        self.assertEqual(log[at + 1], "lfilename: " + folder)
        self.assertTrue(pdf_path.startswith(self.temp) and pdf_path.endswith(".pdf"), pdf_path)

        pdf = read(pdf_path)
        exported = read(folder + "scan.bs")
        text = base64.b64encode(pdf).decode("ascii")
        lines = [text[i:i + 76] for i in range(0, len(text), 76)]
        self.assertEqual(exported, "".join(line + "\r\n" for line in lines).encode("ascii"))
        self.assertEqual(base64.b64decode(exported.replace(b"\r\n", b"")), pdf)

        unix_pdf = unix_path(pdf_path)
        self.assertEqual(subprocess.run(["qpdf", "--check", unix_pdf], capture_output=True).returncode, 0)
        pages = subprocess.run(["qpdf", "--show-npages", unix_pdf], capture_output=True).stdout.strip()
        self.assertEqual(pages, b"3")
        self.end(host)

    def test_a_missing_page_file_leaves_prepared(self):
        # Cancelled at the first page: that page was named but never written.
        host, _ = self.scan("Pages=3\nCancelAtPage=1\n")
        code, text = run(PDFPROBE, "box")
        self.assertEqual(code, 0, text)
        self.assertRegex(text, r"^Plik \r.*\\scan\\tmp[0-9A-Fa-f]+\.bmp\rnie istnieje\.$")
        self.assertEqual(self.status(host), b'{"POL":"IFSCANED","SCANED": "Prepared_SCAN"}')
        self.end(host)


if __name__ == "__main__":
    unittest.main()
