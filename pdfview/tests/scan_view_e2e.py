"""A whole scan request under Wine (Init_SCAN, "Scan to PDF" with the virtual
scanner, scan completion), then a screenshot of the document pane: the first
page's corner squares and page number where the virtual scanner draws them."""
import os
import re
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "twain", "tests", "e2e"))
sys.path.insert(0, HERE)
from peerlib import Host, wine_env  # noqa: E402
import test_scan as twain_scan  # noqa: E402  (scanner installation and tool runs)
import viewer_e2e as viewer  # noqa: E402  (screenshots and pixels)

EXE = os.environ.get("SKAN_EXE")
WINPROBE = os.environ.get("SKAN_WINPROBE")
SCANPROBE = os.environ.get("SKAN_SCANPROBE")
SCANNER = os.environ.get("SKAN_VIRTUAL_SCANNER")

# The virtual scanner's colours; its green is darker than pure green.
RED, GREEN, BLUE, BLACK, WHITE = (255, 0, 0), (0, 160, 0), (0, 0, 255), (0, 0, 0), (255, 255, 255)
A4 = 841.89 / 595.28  # height / width


def run(tool, *args):
    return twain_scan.run(tool, *args)


@unittest.skipUnless(EXE and WINPROBE and SCANPROBE and SCANNER, "needs the Windows build")
class ScannedPageInThePane(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        twain_scan.setUpModule()
        viewer.PROBE = WINPROBE

    def page_edges(self, shot, pane):
        """Left and right edge of the page on the row through the pane's middle."""
        x, y, w, h = pane
        row = y + h // 2
        background = viewer.pixel(shot, x + 6, row)  # the margin left of the page
        xs = [i for i in range(x + 4, x + w - 30) if not viewer.near(viewer.pixel(shot, i, row), background, 8)]
        return xs[0], xs[-1] + 1

    def page_vertical(self, shot, pane, column, from_top):
        """The page's top (or bottom) edge in a column."""
        x, y, w, h = pane
        background = viewer.pixel(shot, x + 6, y + h // 2)
        rows = range(y + 4, y + h - 4) if from_top else range(y + h - 5, y + 3, -1)
        for r in rows:
            if not viewer.near(viewer.pixel(shot, column, r), background, 8):
                return r
        self.fail("no page edge")

    def test_first_page_shows_the_scanners_marks(self):
        twain_scan.install_scanner("Pages=1\n")
        host = Host(EXE)
        self.addCleanup(host.kill)
        self.assertEqual(run(WINPROBE, "wait")[0], 0)
        host.send('{"POL":"Init_SCAN","email":"a@example.com","serialnumber":"1"}')
        host.read_frame()
        self.assertEqual(run(WINPROBE, "click", "Scan to PDF")[0], 0)
        code, dialog = run(SCANPROBE, "select", "cancel")
        self.assertEqual(code, 0, dialog)
        host.read_frame(60)
        host.read_frame(60)
        host.send('{"POL":"IFSCANED"}')
        self.assertEqual(host.read_frame(60)[1], b'{"POL":"IFSCANED","SCANED": "Redy_SCAN"}')

        rows = viewer.controls()
        pane_row = next(r for r in rows if r[0] == "0" and r[3] == "TDocumentPane")
        self.assertRegex(pane_row[5], r"\\tmp[0-9A-Fa-f]+\.pdf$")  # the pane shows the assembled PDF
        pane = tuple(int(v) for v in pane_row[4].split())

        def expect(checks):
            failure = viewer.wait_for_pixels(checks)
            if failure:
                self.fail(failure)

        # The top of the page: red square top left, green top right.
        expect([(viewer.pane_point(pane, 0.3, 0.3), WHITE)])
        shot = viewer.screenshot()
        left, right = self.page_edges(shot, pane)
        width = right - left
        top = self.page_vertical(shot, pane, (left + right) // 2, True)
        height = width * A4

        def at(fx, fy, origin):
            return int(left + fx * width), int(origin + fy * height)

        expect([(at(0.121, 0.0855, top), RED), (at(0.879, 0.0855, top), GREEN),
                               (at(0.5, 0.03, top), WHITE)])
        # The bottom: blue square bottom left, the lower stroke of the "1".
        subprocess.run(["xdotool", "mousemove", str(pane[0] + pane[2] // 2), str(pane[1] + pane[3] // 2),
                        "click", "1", "key", "End"], check=True)
        expect([(viewer.pane_point(pane, 0.5, 0.99), viewer.pixel(shot, pane[0] + 6, pane[1] + pane[3] // 2))])
        shot = viewer.screenshot()
        bottom = self.page_vertical(shot, pane, (left + right) // 2, False) + 1
        origin = bottom - height
        expect([(at(0.121, 0.914, origin), BLUE), (at(0.571, 0.62, origin), BLACK),
                               (at(0.45, 0.62, origin), WHITE), (at(0.879, 0.914, origin), WHITE)])
        host.send('{"POL":"END"}')
        host.read_frame()
        self.assertEqual(host.wait(), 0)


if __name__ == "__main__":
    unittest.main()
