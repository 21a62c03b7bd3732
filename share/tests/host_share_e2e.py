"""The real host under Wine: "Confirm and send" after Load PDF. The peer is
told the port only once the server listens, the PDF comes back byte for byte
with the cross-origin lines, a second press repeats the message, and nothing
listens beyond loopback."""
import os
import re
import subprocess
import sys
import tempfile
import unittest
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))
from peerlib import Host, wine_env  # noqa: E402

EXE = os.environ.get("SKAN_EXE")
PROBE = os.environ.get("SKAN_WINPROBE")
MESSAGE_7 = rb'\{"POL": "Shared_complite","port":"(\d+)","filename":"scan\.pdf" \}'


def probe(*args, timeout=60):
    out = subprocess.run(["wine", PROBE, *args], capture_output=True, env=wine_env(),
                         timeout=timeout)
    return out.stdout.decode("utf-8")


@unittest.skipUnless(EXE and PROBE, "SKAN_EXE and SKAN_WINPROBE must name the built programs")
class ShareTest(unittest.TestCase):
    def setUp(self):
        self.host = Host(EXE)
        self.assertIn("window", probe("wait"))
        fd, self.pdf = tempfile.mkstemp(suffix=".pdf", prefix="shared", dir="/tmp")
        self.content = b"%PDF-1.4\n" + bytes(range(256)) * 400 + b"\n%%EOF\n"
        with os.fdopen(fd, "wb") as f:
            f.write(self.content)

    def tearDown(self):
        self.host.kill()
        os.unlink(self.pdf)

    def test_confirm_and_send_shares_the_current_file(self):
        # Without a current file a press does nothing.
        probe("click", "Confirm and send")
        self.assertTrue(self.host.expect_silence(2))

        windows_path = "Z:" + self.pdf.replace("/", "\\")
        self.assertEqual(probe("load-pdf", windows_path).strip().lower(), windows_path.lower())
        probe("click", "Confirm and send")
        _, body = self.host.read_frame()
        m = re.fullmatch(MESSAGE_7, body)
        self.assertIsNotNone(m, body)
        port = int(m.group(1))
        self.assertTrue(2025 <= port <= 2224, port)

        # The message comes after the server listens: the first fetch works.
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/scan.pdf", timeout=20) as r:
            data = r.read()
            headers = r.headers
        self.assertEqual(data, self.content)
        name = os.path.basename(self.pdf)
        self.assertEqual(headers["Content-Disposition"], f'attachment; filename="{name}";')
        self.assertEqual(headers["Content-Type"], "application/pdf")
        self.assertEqual(headers["Access-Control-Allow-Origin"], "*")

        listening = subprocess.run(["ss", "-ltnH", f"sport = :{port}"], capture_output=True,
                                   text=True).stdout.split("\n")
        local = [line.split()[3] for line in listening if line.strip()]
        self.assertTrue(local)
        for address in local:
            self.assertIn(address, (f"127.0.0.1:{port}", f"[::1]:{port}"))

        # A second press repeats the message with the same port.
        probe("click", "Confirm and send")
        _, again = self.host.read_frame()
        self.assertEqual(again, body)
        self.assertEqual(probe("log").count(body.decode("ascii")), 2)

        self.host.send(b'{"POL":"END"}')
        self.host.read_frame()
        self.assertEqual(self.host.wait(30), 0)


if __name__ == "__main__":
    unittest.main()
