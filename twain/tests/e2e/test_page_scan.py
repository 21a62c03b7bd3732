"""The page drives the scan under Wine, with Wine's TWAIN_32.DLL and the
virtual scanner (unattended): the source list and capabilities, settings
negotiated on Init_SCAN and read back from the PDF's images, Start_SCAN,
the pushed events with their thumbnails, Cancel_SCAN in the middle of a
batch, and a refused resolution. Prints the time from Start_SCAN to the
first page event and from the last page to "Redy_SCAN"."""
import base64
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "..", "tests", "e2e"))
from peerlib import Host, wine_env  # noqa: E402

EXE = os.environ.get("SKAN_EXE")
SCANNER = os.environ.get("SKAN_VIRTUAL_SCANNER")

MESSAGE_5 = '{"Nieznane polecenie ": "Dokument zeskanowany, przygotowuję do wysyłki." }'.encode("utf-8")
MESSAGE_6 = b'{"Czesc ": "1" }'


def wine_output(*command, timeout=120):
    # Through a file: a Wine service started on the way would hold a pipe.
    with tempfile.TemporaryFile() as out:
        subprocess.run(list(command), stdout=out, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                       env=wine_env(), timeout=timeout)
        out.seek(0)
        return out.read().decode("utf-8", "replace")


def install_scanner(settings):
    twain_32 = os.path.join(wine_env()["WINEPREFIX"], "drive_c", "windows", "twain_32")
    os.makedirs(twain_32, exist_ok=True)
    shutil.copyfile(SCANNER, os.path.join(twain_32, "sane.ds"))
    with open(os.path.join(twain_32, "sane.ini"), "w", newline="\r\n") as f:
        f.write("[Scanner]\nUnattended=1\nResolution=100\nResolutions=100,150,200,300\nDuplex=1\n" + settings)


TEMP = None


def setUpModule():
    global TEMP
    if not EXE:
        return
    windows = wine_output("wine", "cmd", "/c", "echo %TEMP%").strip()
    TEMP = wine_output("winepath", "-u", windows).strip()


def images(pdf):
    """(width, height, bits, colour space) of each image XObject, in order."""
    found = []
    for m in re.finditer(rb"<<((?:(?!>>\s*stream).)*?/Subtype\s*/Image.*?)>>\s*stream", pdf, re.S):
        d = m.group(1)

        def num(key):
            n = re.search(rb"/" + key + rb"\s+(\d+)", d)
            return int(n.group(1)) if n else None
        space = re.search(rb"/ColorSpace\s*(/\w+|\[[^\]]*\])", d)
        found.append((num(b"Width"), num(b"Height"), num(b"BitsPerComponent"),
                      space.group(1).decode("latin-1") if space else ("mask" if b"/ImageMask" in d else None)))
    return found


def jpeg_size(data):
    """(width, height, components) from a baseline or progressive JPEG's frame header."""
    assert data[:2] == b"\xff\xd8" and data[-2:] == b"\xff\xd9", "not a whole JPEG"
    i = 2
    while i < len(data):
        assert data[i] == 0xFF, f"no marker at {i}"
        marker = data[i + 1]
        length = int.from_bytes(data[i + 2:i + 4], "big")
        if marker in (0xC0, 0xC1, 0xC2):
            return (int.from_bytes(data[i + 7:i + 9], "big"), int.from_bytes(data[i + 5:i + 7], "big"), data[i + 9])
        i += 2 + length
    raise AssertionError("no frame header")


@unittest.skipUnless(EXE and SCANNER, "needs the Windows build")
class PageDrivesTheScan(unittest.TestCase):
    def start(self, settings, first):
        install_scanner(settings)
        host = Host(EXE)
        self.addCleanup(host.kill)
        host.send(json.dumps(first))
        return host

    def read(self, host, timeout=60):
        return json.loads(host.read_frame(timeout)[1])

    def end(self, host):
        host.send('{"POL":"END"}')
        while self.read(host).get("POL") != "SCANEDqq":
            pass
        self.assertEqual(host.wait(), 0)

    def test_lists_the_scanners_and_what_one_offers(self):
        host = self.start("", {"POL": "List_SCANNERS", "events": True})
        scanners = self.read(host)["scanners"]
        self.assertEqual(scanners[0], {"id": "Virtual Scanner", "name": "Virtual Scanner",
                                       "manufacturer": scanners[0]["manufacturer"],
                                       "productFamily": scanners[0]["productFamily"], "isDefault": True})
        self.assertTrue(all(not s["isDefault"] for s in scanners[1:]), scanners)
        host.send('{"POL":"Caps_SCANNER","scanner":"Virtual Scanner"}')
        caps = self.read(host)
        self.assertEqual(caps["scanner"], "Virtual Scanner")
        c = caps["capabilities"]
        self.assertEqual(c["resolution"], {"current": 100, "default": 100, "values": [100, 150, 200, 300]})
        self.assertEqual(c["colour"]["values"], ["bw", "grey", "colour"])
        self.assertEqual(c["colour"]["current"], "colour")
        self.assertEqual(c["duplex"], {"current": False, "default": False, "values": [False, True]})
        self.assertEqual(c["source"]["values"], ["feeder", "flatbed"])
        self.assertEqual(c["source"]["current"], "flatbed")
        self.assertIn("A4", c["paperSize"]["values"])
        self.assertEqual(c["showScannerUI"], {"canHide": True})
        host.send('{"POL":"Caps_SCANNER","scanner":"No such scanner"}')
        self.assertEqual(self.read(host)["error"]["code"], "NO_SCANNER")
        self.end(host)

    def test_a_refused_resolution_fails_the_request_before_any_page(self):
        host = self.start("", {"POL": "Init_SCAN", "events": True, "email": "", "serialnumber": "",
                               "scan": {"resolution": 250, "colour": "grey"}})
        reply = self.read(host)
        self.assertEqual(reply["Initscan_id"], "")
        error = reply["error"]
        self.assertEqual((error["code"], error["setting"], error["offered"]),
                         ("UNSUPPORTED_SETTING", "resolution", [100, 150, 200, 300]))
        self.assertTrue(error["message"])
        # No request: Start_SCAN has none to start.
        host.send('{"POL":"Start_SCAN"}')
        self.assertEqual(self.read(host)["error"]["code"], "NO_REQUEST")
        self.end(host)

    def scan(self, settings, scan, pages):
        """One page-driven batch; returns the messages, the PDF and the times."""
        # Lossless, so that the PDF's images are the pages' own pixels as
        # negotiated (compact ones are a background under masks); no text
        # recognition, which these pages do not need.
        host = self.start(settings, {"POL": "Init_SCAN", "events": True, "email": "", "serialnumber": "",
                                     "scan": scan, "compression": "lossless", "languages": ""})
        reply = self.read(host)
        self.assertNotIn("error", reply, reply)
        scan_id = reply["Initscan_id"]
        self.assertEqual(self.read(host), {"POL": "Event", "event": "status", "status": "Init_SCAN"})
        host.send('{"POL":"Start_SCAN"}')
        started = time.monotonic()
        self.assertEqual(self.read(host), {"POL": "Start_SCAN", "started": True})
        messages, times = [], {}
        while True:
            raw = host.read_frame(120)[1]
            now = time.monotonic()
            message = json.loads(raw)
            messages.append(message)
            if message.get("event") == "page":
                times.setdefault("first page", now - started)
                last_page = now
            if message.get("status") == "Redy_SCAN":
                times["last page to ready"] = now - last_page
            if message.get("event") == "scanned":
                break
        bs = os.path.join(TEMP, "scan", scan_id, "scan.bs")
        with open(bs, "rb") as f:
            pdf = base64.b64decode(f.read())
        self.end(host)
        return messages, pdf, times

    def test_settings_are_applied_and_each_page_is_told_as_it_comes(self):
        for dpi, colour, bits, space in ((150, "grey", 8, "/DeviceGray"), (100, "bw", 1, None)):
            with self.subTest(colour=colour):
                messages, pdf, times = self.scan("Pages=5\n", {"resolution": dpi, "colour": colour, "maxPages": 2,
                                                              "source": "flatbed", "paperSize": "A4"}, 2)
                print(f"\n{colour} at {dpi} dpi: Start_SCAN to first page event {times['first page']:.2f} s, "
                      f"last page to Redy_SCAN {times['last page to ready']:.2f} s", file=sys.stderr)
                kinds = [m.get("status") or m.get("event") or m.get("POL") for m in messages]
                # Page events before the batch's end, in order; the statuses
                # as they change; messages 5 and 6 as always.
                self.assertEqual(kinds, ["Begin_SCAN", "page", "page", "Prepared_SCAN", None, None, "Redy_SCAN",
                                         "scanned"], kinds)
                self.assertEqual(messages[4:6], [json.loads(MESSAGE_5), json.loads(MESSAGE_6)])
                pages = [m for m in messages if m.get("event") == "page"]
                self.assertEqual([p["page"] for p in pages], [1, 2])
                width, height = round(210 / 25.4 * dpi), round(297 / 25.4 * dpi)
                for p in pages:
                    self.assertEqual((p["dpi"], p["colour"]), (dpi, colour))
                    self.assertLessEqual(abs(p["pixelWidth"] - width), 1)
                    self.assertLessEqual(abs(p["pixelHeight"] - height), 1)
                    self.assertLessEqual(len(p["thumbnail"]), 16 * 1024)
                    w, h, components = jpeg_size(base64.b64decode(p["thumbnail"]))
                    self.assertEqual((max(w, h), components), (200, 1))
                scanned = messages[-1]
                self.assertEqual((scanned["pages"], scanned["outcome"]), (2, "done"))
                self.assertRegex(scanned["document"], r"^d[0-9a-f]{32}$")
                # The PDF's images are the pages as negotiated.
                found = images(pdf)
                self.assertEqual(len(found), 2, found)
                for w, h, b, s in found:
                    self.assertEqual((w, h), (pages[0]["pixelWidth"], pages[0]["pixelHeight"]))
                    self.assertEqual(b, bits, found)
                    if space:
                        self.assertEqual(s, space, found)

    def test_cancel_in_the_middle_of_a_batch_stops_it_without_a_pdf(self):
        host = self.start("Pages=10\nPageDelay=600\n", {"POL": "Init_SCAN", "events": True, "email": "",
                                                        "serialnumber": "", "scan": {"resolution": 100}})
        scan_id = self.read(host)["Initscan_id"]
        self.read(host)  # status Init_SCAN
        host.send('{"POL":"Start_SCAN"}')
        self.assertEqual(self.read(host), {"POL": "Start_SCAN", "started": True})
        seen = []
        while True:
            m = self.read(host, 120)
            seen.append(m)
            if m.get("event") == "page" and m["page"] == 2:
                break
        host.send('{"POL":"Cancel_SCAN"}')
        sent = time.monotonic()
        rest = []
        while True:
            m = self.read(host, 10)
            rest.append(m)
            if m.get("event") == "scanned":
                break
        took = time.monotonic() - sent
        print(f"\nCancel_SCAN to the batch's end: {took:.2f} s", file=sys.stderr)
        self.assertLess(took, 2.0)
        self.assertIn({"POL": "Cancel_SCAN", "cancelled": True}, rest)
        scanned = rest[-1]
        self.assertEqual(scanned["outcome"], "cancelled")
        self.assertLess(scanned["pages"], 10)
        self.assertTrue(scanned["reason"])
        self.assertNotIn("document", scanned)
        self.assertNotIn("Prepared_SCAN", [m.get("status") for m in rest])
        self.assertIn({"POL": "Event", "event": "status", "status": "Init_SCAN"}, rest)
        host.send('{"POL":"IFSCANED"}')
        self.assertEqual(self.read(host), {"POL": "IFSCANED", "SCANED": "Init_SCAN"})
        host.send('{"POL":"Cancel_SCAN"}')
        self.assertEqual(self.read(host), {"POL": "Cancel_SCAN", "cancelled": False})
        self.assertFalse(os.path.exists(os.path.join(TEMP, "scan", scan_id, "scan.bs")))
        self.end(host)


if __name__ == "__main__":
    unittest.main()
