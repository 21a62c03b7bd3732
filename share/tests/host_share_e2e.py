"""The real host under Wine: "Confirm and send" after Load PDF. The peer is
told the port and a secret only once the server listens; the PDF comes back
byte for byte with the cross-origin lines to a request that presents the
secret and to no other; the log never shows the secret; what was confirmed is
served until the next press, which makes a new secret; nothing listens
beyond loopback."""
import os
import re
import subprocess
import sys
import tempfile
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))
from peerlib import Host, wine_env  # noqa: E402

EXE = os.environ.get("SKAN_EXE")
PROBE = os.environ.get("SKAN_WINPROBE")
MESSAGE_7 = rb'\{"POL": "Shared_complite","port":"(\d+)","filename":"scan\.pdf","secret":"([0-9a-f]{64})" \}'


def fetch(port, secret=None):
    """(status, headers, body) of a GET to the share port."""
    request = urllib.request.Request(f"http://127.0.0.1:{port}/scan.pdf")
    if secret is not None:
        request.add_header("Authorization", f"Bearer {secret}")
    try:
        with urllib.request.urlopen(request, timeout=20) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


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
        port, secret = int(m.group(1)), m.group(2).decode()
        self.assertTrue(2025 <= port <= 2224, port)

        # The message comes after the server listens: the first fetch works.
        status, headers, data = fetch(port, secret)
        self.assertEqual(status, 200)
        self.assertEqual(data, self.content)
        name = os.path.basename(self.pdf)
        self.assertEqual(headers["Content-Disposition"], f'attachment; filename="{name}";')
        self.assertEqual(headers["Content-Type"], "application/pdf")
        self.assertEqual(headers["Access-Control-Allow-Origin"], "*")
        # Without the secret, or with another: 403, nothing else.
        for other in (None, "0" * 64, secret.upper()):
            status, headers, data = fetch(port, other)
            self.assertEqual((status, data, headers["Access-Control-Allow-Origin"]), (403, b"", None))

        listening = subprocess.run(["ss", "-ltnH", f"sport = :{port}"], capture_output=True,
                                   text=True).stdout.split("\n")
        local = [line.split()[3] for line in listening if line.strip()]
        self.assertTrue(local)
        for address in local:
            self.assertIn(address, (f"127.0.0.1:{port}", f"[::1]:{port}"))

        # Another document becomes current: the confirmed one is still served.
        fd, other_pdf = tempfile.mkstemp(suffix=".pdf", prefix="later", dir="/tmp")
        self.addCleanup(os.unlink, other_pdf)
        with os.fdopen(fd, "wb") as f:
            f.write(b"%PDF-1.4\nlater\n%%EOF\n")
        other_path = "Z:" + other_pdf.replace("/", "\\")
        self.assertEqual(probe("load-pdf", other_path).strip().lower(), other_path.lower())
        self.assertEqual(fetch(port, secret)[2], self.content)

        # A second press: the same port, a new secret for the new document.
        probe("click", "Confirm and send")
        _, again = self.host.read_frame()
        m2 = re.fullmatch(MESSAGE_7, again)
        self.assertIsNotNone(m2, again)
        self.assertEqual(int(m2.group(1)), port)
        self.assertNotEqual(m2.group(2).decode(), secret)
        self.assertEqual(fetch(port, secret)[0], 403)
        self.assertEqual(fetch(port, m2.group(2).decode())[2], b"%PDF-1.4\nlater\n%%EOF\n")
        log = probe("log")
        self.assertEqual(log.count(f'{{"POL": "Shared_complite","port":"{port}","filename":"scan.pdf",'
                                   '"secret":"\u2026" }'), 2)
        self.assertNotIn(secret, log)
        self.assertNotIn(m2.group(2).decode(), log)

        self.host.send(b'{"POL":"END"}')
        self.host.read_frame()
        self.assertEqual(self.host.wait(30), 0)


if __name__ == "__main__":
    unittest.main()
