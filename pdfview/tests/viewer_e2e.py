"""The real host under Wine: Load PDF with files from other producers, then a
screenshot of the document pane with pixel checks; files it cannot draw give
the message with the file's name."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))
from peerlib import Host, wine_env  # noqa: E402

EXE = os.environ.get("SKAN_EXE")
PROBE = os.environ.get("SKAN_WINPROBE")
FIXTURES = os.environ.get("PDFVIEW_FIXTURES")

RED, GREEN, BLUE, WHITE, BLACK = (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255), (0, 0, 0)


def probe(*args, timeout=60):
    out = subprocess.run(["wine", PROBE, *args], capture_output=True, env=wine_env(), timeout=timeout)
    return out.stdout.decode("utf-8")


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def screenshot():
    """The whole screen as (width, height, rgb bytes)."""
    raw = subprocess.run(["import", "-window", "root", "-depth", "8", "rgb:-"], capture_output=True,
                         check=True, timeout=60).stdout
    width, height = 1920, 1080
    assert len(raw) == width * height * 3, len(raw)
    return width, height, raw


def pixel(shot, x, y):
    width, _, raw = shot
    i = (y * width + x) * 3
    return tuple(raw[i:i + 3])


def near(got, want, tolerance=48):
    return all(abs(a - b) <= tolerance for a, b in zip(got, want))


def pane_point(pane, fx, fy):
    """A point of the pane (x, y, width, height on screen) by fractions of its size."""
    x, y, w, h = pane
    return x + int(w * fx), y + int(h * fy)


def wait_for_pixels(checks, seconds=20):
    """Waits until every (point, colour) holds on screen; returns the failure
    text, or None."""
    deadline = time.monotonic() + seconds
    while True:
        shot = screenshot()
        got = [pixel(shot, *p) for p, _ in checks]
        if all(near(g, want) for g, (_, want) in zip(got, checks)):
            return None
        if time.monotonic() > deadline:
            return f"on screen {got}, expected {[c for _, c in checks]} at {[p for p, _ in checks]}"
        time.sleep(0.3)


def controls():
    """Rows of depth, visible, enabled, class, rectangle, text; a text of
    several lines continues on the following lines of winprobe's output."""
    rows = []
    for line in probe("controls").replace("\r\n", "\n").split("\n"):
        fields = line.split("\t")
        if len(fields) >= 6:
            rows.append(fields[:5] + ["\t".join(fields[5:])])
        elif rows and line:
            rows[-1][5] += "\n" + line
    return rows


@unittest.skipUnless(EXE and PROBE and FIXTURES, "SKAN_EXE, SKAN_WINPROBE and PDFVIEW_FIXTURES must be set")
class ViewerTest(unittest.TestCase):
    def setUp(self):
        self.host = Host(EXE)
        self.assertIn("window", probe("wait"))
        pane = next(r for r in controls() if r[0] == "0" and r[3] == "TDocumentPane")
        x, y, w, h = (int(v) for v in pane[4].split())
        # The main window fills the screen from its top left corner.
        self.pane = (x, y, w, h)
        self.folder = tempfile.mkdtemp(dir="/tmp", prefix="viewer")

    def tearDown(self):
        self.host.kill()
        shutil.rmtree(self.folder, ignore_errors=True)

    def load(self, path):
        shown = probe("load-pdf", windows_path(path)).strip()
        self.assertEqual(shown.lower(), windows_path(path).lower())

    def at(self, fx, fy):
        return pane_point(self.pane, fx, fy)

    def expect_pixels(self, checks, seconds=20):
        failure = wait_for_pixels(checks, seconds)
        if failure:
            self.fail(failure)

    def notice(self):
        """Texts of the pane's own controls (the message and its button)."""
        texts, inside = [], False
        for r in controls():
            if r[0] == "0":
                inside = r[3] == "TDocumentPane"
            elif inside and r[0] == "1":
                texts.append(r[5])
        return texts

    def test_pages_from_other_producers_are_drawn(self):
        # The test picture: red | green over blue | white with a black square.
        self.load(os.path.join(FIXTURES, "jpeg.pdf"))
        self.expect_pixels([(self.at(0.25, 0.1), RED), (self.at(0.75, 0.1), GREEN)])
        self.assertEqual(self.notice(), [])
        # The keyboard reaches the pane once it is clicked: End shows the
        # bottom of the page.
        subprocess.run(["xdotool", "mousemove", *map(str, self.at(0.5, 0.5)), "click", "1"], check=True)
        subprocess.run(["xdotool", "key", "End"], check=True)
        x, y, w, h = self.pane
        self.expect_pixels([(self.at(0.25, 0.9), BLUE), (self.at(0.6, 0.9), WHITE),
                            ((x + int(w * 0.75), y + h - 12 - 595), BLACK)])
        subprocess.run(["xdotool", "key", "Home"], check=True)
        self.expect_pixels([(self.at(0.25, 0.1), RED)])

        # The wheel scrolls the pane under the pointer while the keyboard
        # focus is elsewhere (on a button of the column).
        probe("focus", "Exit")
        subprocess.run(["xdotool", "mousemove", *map(str, self.at(0.5, 0.5))], check=True)
        subprocess.run(["xdotool", "click", "--repeat", "40", "--delay", "20", "5"], check=True)
        self.expect_pixels([(self.at(0.25, 0.9), BLUE), (self.at(0.6, 0.9), WHITE)])
        subprocess.run(["xdotool", "click", "--repeat", "40", "--delay", "20", "4"], check=True)
        self.expect_pixels([(self.at(0.25, 0.1), RED)])

        for name, checks in [
            ("flate.pdf", [((0.25, 0.1), RED), ((0.75, 0.1), GREEN)]),
            ("gray.pdf", [((0.25, 0.3), BLACK), ((0.75, 0.3), WHITE)]),
            ("bw.pdf", [((0.5, 0.3), BLACK)]),
            ("g4.pdf", [((0.5, 0.3), BLACK)]),
        ]:
            with self.subTest(name):
                self.load(os.path.join(FIXTURES, name))
                self.expect_pixels([(self.at(*p), c) for p, c in checks])
                self.assertEqual(self.notice(), [])

    def test_files_it_cannot_draw_show_the_message(self):
        whole = open(os.path.join(FIXTURES, "jpeg.pdf"), "rb").read()
        cases = [
            ("text_only.pdf", None, "Podgląd pokazuje tylko strony zeskanowane jako obrazy."),
            ("obcięty.pdf", whole[: len(whole) // 3], "Plik jest uszkodzony lub niekompletny."),
            ("losowy.pdf", os.urandom(5000), "To nie jest plik PDF."),
        ]
        for name, data, reason in cases:
            with self.subTest(name):
                path = os.path.join(FIXTURES, name)
                if data is not None:
                    path = os.path.join(self.folder, name)
                    with open(path, "wb") as f:
                        f.write(data)
                self.load(path)
                deadline = time.monotonic() + 15
                while not self.notice() and time.monotonic() < deadline:
                    time.sleep(0.2)
                self.assertEqual(self.notice(), [f"Nie można wyświetlić pliku {name}.\n{reason}",
                                                 "Otwórz w domyślnej przeglądarce PDF"])
        # A drawable file after them replaces the message.
        self.load(os.path.join(FIXTURES, "flate.pdf"))
        self.expect_pixels([(self.at(0.25, 0.1), RED)])
        self.assertEqual(self.notice(), [])


if __name__ == "__main__":
    unittest.main()
