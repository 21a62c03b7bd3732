"""A whole scan request under Wine: Init_SCAN, "Scan to PDF" with the virtual
scanner, and scan completion: messages 5 and 6, the PDF, its Base64 export
T\\scan\\<scan_id>\\scan.bs, the log lines, IFSCANED answering "Redy_SCAN";
and a page file that is missing giving the "Plik" box and "Prepared_SCAN"."""
import base64
import os
import re
import subprocess
import sys
import time
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

    def test_work_files_of_killed_hosts_go_at_the_next_start(self):
        """A browser kills the host about 2 s after its page goes, often in
        the middle of a batch. Each host killed while its PDF was under way
        leaves that PDF's work files, and each start removes those of the
        hosts killed before, so they never pile up; what stays after the
        last start is what any scan leaves: placeholders, page files,
        request folders."""
        temp = unix_path(self.temp)
        scan = os.path.join(temp, "scan")

        def snapshot():
            names = set(os.listdir(temp))
            for name in os.listdir(scan) if os.path.isdir(scan) else []:
                names.add("scan/" + name)
                if os.path.isdir(os.path.join(scan, name)):
                    names.update("scan/" + name + "/" + inner for inner in os.listdir(os.path.join(scan, name)))
            return names

        def size(name):
            try:
                return os.path.getsize(os.path.join(temp, name))
            except OSError:
                return 0

        def work_files():
            return {name for name in snapshot() - before if os.path.basename(name).lower().startswith(("skw", "pdw"))}

        def owner(name):  # the host's process id and start in a work file's name
            return os.path.basename(name)[3:28]

        before = snapshot()
        twain_scan.install_scanner("Pages=8\nPageDelay=1500\n")
        killed = set()
        for _ in range(3):
            host = Host(EXE)
            self.addCleanup(host.kill)
            self.assertEqual(run(WINPROBE, "wait")[0], 0)
            host.send('{"POL":"Init_SCAN","email":"a@example.com","serialnumber":"1"}')
            host.read_frame()
            self.assertEqual(run(WINPROBE, "click", "Scan to PDF")[0], 0)
            self.assertEqual(run(SCANPROBE, "select", "cancel")[0], 0)
            # Killed once its own PDF under way holds a page.
            deadline = time.monotonic() + 120
            while not any(size(name) > 1000 for name in work_files() if owner(name) not in killed):
                self.assertLess(time.monotonic(), deadline, "no work file came")
                time.sleep(0.2)
            host.kill()
            left = {owner(name) for name in work_files()}
            self.assertEqual(len(left - killed), 1, work_files())
            self.assertFalse(left & killed, "an earlier killed host's work files stayed: %s" % work_files())
            killed |= left

        host = Host(EXE)
        self.addCleanup(host.kill)
        self.assertEqual(run(WINPROBE, "wait")[0], 0)
        deadline = time.monotonic() + 60
        while work_files():
            self.assertLess(time.monotonic(), deadline, work_files())
            time.sleep(0.2)
        self.end(host)
        for name in snapshot() - before:
            self.assertRegex(name, r"^(scan|tmp[0-9A-Fa-f]+\.tmp|scan/tmp[0-9A-Fa-f]+\.bmp|scan/\d{4}(_\d{2}){5}_\d{3})$")

if __name__ == "__main__":
    unittest.main()
