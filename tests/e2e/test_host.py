"""End-to-end tests: the real Skanowanie.exe under Wine, driven byte for byte
over pipes on its standard streams, its window inspected with winprobe."""
import os
import re
import struct
import subprocess
import tempfile
import time
import unittest

from peerlib import Host, frame, wine_env

EXE = os.environ.get("SKAN_EXE")
PROBE = os.environ.get("SKAN_WINPROBE")

INIT = b'{"POL":"Init_SCAN","email":"biuro@example.com","serialnumber":"SN-1"}'
SCAN_ID = rb"\d{4}_\d{2}_\d{2}_\d{2}_\d{2}_\d{2}_\d{3}"


def wine_output(*command, timeout=180):
    """Runs a Wine program and returns its standard output. The output goes
    through a file, not a pipe: a Wine service started on the way would hold
    a pipe open long after the program has ended."""
    with tempfile.TemporaryFile() as out:
        subprocess.run(list(command), stdout=out, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL, env=wine_env(), timeout=timeout)
        out.seek(0)
        return out.read().decode("utf-8")


def probe(*args, timeout=180):
    return wine_output("wine", PROBE, *args, timeout=timeout)


def unix_path(windows_path):
    return wine_output("winepath", "-u", windows_path).strip()


def xdotool(*args):
    subprocess.run(["xdotool", *map(str, args)], check=True, timeout=30)


def log_lines():
    return [line for line in probe("log").split("\r\n") if line]


def state():
    return dict(line.split(" ", 1) for line in probe("state").splitlines() if " " in line)


DESKTOP_KEY = r"HKCU\Control Panel\Desktop"


def setUpModule():
    # The display DPI is a setting of the shared prefix: a run that ended
    # inside the 144 dpi test must not leave it for every later test.
    if EXE and PROBE:
        wine_output("wine", "reg", "delete", DESKTOP_KEY, "/v", "LogPixels", "/f")


@unittest.skipUnless(EXE and PROBE, "SKAN_EXE and SKAN_WINPROBE must name the built programs")
class HostTest(unittest.TestCase):
    def setUp(self):
        self.host = Host(EXE)
        # The window exists once winprobe finds it; the peer may talk earlier.
        self.assertIn("window", probe("wait"))

    def tearDown(self):
        self.host.kill()

    def roundtrip(self, body):
        self.host.send(body)
        return self.host.read_frame()

    def end(self):
        raw, _ = self.roundtrip(b'{"POL":"END"}')
        self.assertEqual(raw, b"\x24\x00\x00\x00" + b'{"POL":"SCANEDqq","SCANED": "Pa Pa"}')
        self.assertEqual(self.host.wait(30), 0)

    def test_protocol_replies_log_and_folders(self):
        raw, body = self.roundtrip(INIT)
        self.assertRegex(raw, re.compile(rb"^\x3c\x00\x00\x00\{\"POL\":\"Init_SCAN\",\"Initscan_id\": \""
                                         + SCAN_ID + rb"\"\}$"))
        scan_id = re.search(SCAN_ID, body).group(0).decode()

        raw, _ = self.roundtrip(b'{"POL":"ifscaned"}')
        self.assertEqual(raw, b"\x28\x00\x00\x00" + b'{"POL":"IFSCANED","SCANED": "Init_SCAN"}')
        raw, _ = self.roundtrip(b'{"POL":"hello"}')
        self.assertEqual(raw, b"\x21\x00\x00\x00" + b'{"Nieznane polecenie ": "hello" }')
        raw, _ = self.roundtrip(b'{"POL":{"x":1}}')
        self.assertEqual(raw, b"\x1c\x00\x00\x00" + b'{"Nieznane polecenie ": "" }')
        raw, _ = self.roundtrip('{"POL":"zażółć \\"x\\""}'.encode())
        self.assertEqual(raw, frame('{"Nieznane polecenie ": "zażółć \\"x\\"" }'.encode()))

        lines = log_lines()
        n_init = 4 + len(INIT)
        expected_head = [
            f"Jest następna woiadomość: {n_init}",
            "tekst: Init_SCAN",
            f'reply: {{"POL":"Init_SCAN","Initscan_id": "{scan_id}"}}',
        ]
        self.assertEqual(lines[:3], expected_head)
        self.assertRegex(lines[3], r"^tmpPath: [A-Z]:\\.*\\scan\\$")
        self.assertRegex(lines[4], r"^tmpPath: [A-Z]:\\.*\\scan\\" + SCAN_ID.decode() + r"\\$")
        self.assertEqual(lines[5:], [
            "Jest następna woiadomość: 22",
            "tekst: ifscaned",
            'reply: {"POL":"IFSCANED","SCANED": "Init_SCAN"}',
            "Jest następna woiadomość: 19",
            "tekst: hello",
            "Jest następna woiadomość: 19",
            "tekst: ",
            "Jest następna woiadomość: " + str(4 + len('{"POL":"zażółć \\"x\\""}'.encode())),
            'tekst: zażółć "x"',
        ])
        # Both folders exist in the prefix's temporary folder.
        scan_folder = lines[3][len("tmpPath: "):]
        request_folder = lines[4][len("tmpPath: "):]
        self.assertTrue(os.path.isdir(unix_path(scan_folder)))
        self.assertTrue(os.path.isdir(unix_path(request_folder)))
        self.end()

    def test_garbage_never_stops_the_next_command(self):
        ifscaned = b'{"POL":"IFSCANED"}'
        answer = b"\x1f\x00\x00\x00" + b'{"POL":"IFSCANED","SCANED": ""}'
        garbage = [
            frame(b"{not json"),
            frame(b'["END"]'),
            frame(b'"END"'),
            frame(b'{"POL":"END"} trailing'),
            frame(b"\xff\xfe{}"),
            frame(b""),                               # zero prefix
            struct.pack("<i", -1),                    # negative prefix
            struct.pack("<I", 0x80000000),
            frame(b"x" * (2 * 1024 * 1024 + 3)),      # above the body limit: dropped
        ]
        for g in garbage:
            self.host.send_raw(g)
            self.host.send(ifscaned)
            raw, _ = self.host.read_frame()
            self.assertEqual(raw, answer, f"after garbage {g[:16]!r}")

        # A prefix and a body that arrive in pieces.
        data = frame(ifscaned)
        for cut in ([1, 3], [2, 5, 9], [4], [6, 7, 20]):
            start = 0
            for c in cut + [len(data)]:
                self.host.send_raw(data[start:c])
                start = c
                time.sleep(0.05)
            raw, _ = self.host.read_frame()
            self.assertEqual(raw, answer, f"split at {cut}")

        # Two messages in one write are both answered, in order.
        self.host.send_raw(frame(ifscaned) + frame(b'{"POL":"x"}'))
        self.assertEqual(self.host.read_frame()[0], answer)
        self.assertEqual(self.host.read_frame()[0], frame(b'{"Nieznane polecenie ": "x" }'))
        self.end()

    def test_window_buttons_and_size_behaviours(self):
        st = state()
        self.assertEqual(st["caption"], "0")
        self.assertEqual(st["frame"], "0")
        self.assertEqual(st["appwindow"], "1")
        self.assertEqual(st["maximized"], "1")
        self.assertEqual(st["window"], st["work"])
        self.assertEqual(st["title"], "")

        rows = [r.split("\t") for r in probe("controls").splitlines()]
        top = [(r[3], r[1]) for r in rows if r[0] == "0"]
        self.assertEqual(top, [("Edit", "0"), ("TPanel", "1"), ("TSplitter", "1"),
                               ("TDocumentPane", "1")])
        buttons = [(r[5], r[4]) for r in rows if r[0] == "1" and r[3] == "Button"]
        self.assertEqual(buttons, [("Exit", "6 8 160 160"), ("Load PDF", "3 240 160 160"),
                                   ("Scan to PDF", "3 406 160 160"),
                                   ("Confirm and send", "3 572 160 160")])
        panel = next(r for r in rows if r[3] == "TPanel")
        self.assertEqual(panel[4].split()[:3], ["0", "0", "173"])

        restored = dict(line.split(" ", 1) for line in probe("dblclick-panel").splitlines())
        self.assertEqual(restored["maximized"], "0")
        self.assertEqual(restored["window"].split()[2:], ["1138", "797"])
        # Dragging the button column with the left button moves the window;
        # the right button does not, it opens the context menu.
        x, y = (int(v) for v in restored["window"].split()[:2])
        xdotool("mousemove", x + 80, y + 200, "mousedown", 1, "sleep", 0.2,
                "mousemove", x + 130, y + 230, "sleep", 0.2, "mousemove", x + 180, y + 260,
                "sleep", 0.2, "mouseup", 1)
        moved = state()["window"].split()
        self.assertEqual(moved, [str(x + 100), str(y + 60), "1138", "797"])
        xdotool("mousemove", x + 180, y + 260, "mousedown", 3, "sleep", 0.2,
                "mousemove", x + 280, y + 300, "sleep", 0.2, "mouseup", 3)
        menu = probe("menu").splitlines()
        self.assertEqual(menu[:1], ["open"])
        if len(menu) > 1:  # item texts, where the platform lets another process read them
            self.assertEqual(menu[1:], ["Ładuj z pliku", "-", "Skanuj do PDF", "Zapisz"])
        xdotool("key", "Escape")
        self.assertEqual(state()["window"].split(), moved)

        again = dict(line.split(" ", 1) for line in probe("dblclick-panel").splitlines())
        self.assertEqual(again["maximized"], "1")
        self.assertEqual(again["window"], again["work"])
        self.end()

    def controls(self):
        """(depth, visible, class, rect, text) of every control."""
        return [tuple(r.split("\t")[i] for i in (0, 1, 3, 4, 5))
                for r in probe("controls").splitlines() if r.count("\t") >= 5]

    def test_the_window_names_the_origin_of_the_first_message(self):
        ifscaned = frame(b'{"POL":"IFSCANED","SCANED": ""}')
        raw, _ = self.roundtrip(b'{"POL":"IFSCANED","origin":"https://example.com"}')
        self.assertEqual(raw, ifscaned)
        expected = [("0", "1", "Static", "Żądanie od: https://example.com"),
                    ("1", "1", "Static", "Wyślij do: https://example.com")]
        rows = self.controls()
        self.assertEqual(sorted((d, v, c, t) for d, v, c, _, t in rows if c == "Static"), expected)
        # The origin's strip sits right above the document, across its width;
        # the destination right under "Confirm and send".
        rect = {t: [int(n) for n in r.split()] for _, _, _, r, t in rows}
        pane = next([int(n) for n in r.split()] for _, _, c, r, _ in rows if c == "TDocumentPane")
        strip = rect["Żądanie od: https://example.com"]
        self.assertEqual(strip[1], 0)
        self.assertEqual(pane[1], strip[3])
        self.assertEqual((strip[0], strip[2]), (pane[0], pane[2]))
        confirm = rect["Confirm and send"]
        send_to = rect["Wyślij do: https://example.com"]
        self.assertGreaterEqual(send_to[1], confirm[1] + confirm[3])
        self.assertLess(send_to[1], confirm[1] + confirm[3] + 20)

        # A later message naming another origin changes neither the window
        # nor the reply.
        raw, _ = self.roundtrip(b'{"POL":"IFSCANED","origin":"https://attacker.example"}')
        self.assertEqual(raw, ifscaned)
        self.assertEqual(sorted((d, v, c, t) for d, v, c, _, t in self.controls() if c == "Static"), expected)
        self.assertEqual(log_lines()[1:3], ["tekst: IFSCANED", "origin: https://example.com"])
        self.assertIn("origin ignored: only the first message names it", log_lines())
        self.end()

    def test_a_peer_without_an_origin_sees_the_window_as_always(self):
        before = [(d, v, c, r, t) for d, v, c, r, t in self.controls()]
        raw, _ = self.roundtrip(INIT)
        self.assertRegex(raw, re.compile(rb"^\x3c\x00\x00\x00\{\"POL\":\"Init_SCAN\""))
        # Only the first message may name the origin: a later one is ignored.
        raw, _ = self.roundtrip(b'{"POL":"IFSCANED","origin":"https://example.com"}')
        self.assertEqual(raw, frame(b'{"POL":"IFSCANED","SCANED": "Init_SCAN"}'))
        self.assertEqual(self.controls(), before)
        self.assertFalse([row for row in before if row[2] == "Static"])
        self.end()

    def test_close_request_keeps_a_users_own_file(self):
        with tempfile.NamedTemporaryFile(suffix=".pdf", delete=False, dir="/tmp") as f:
            f.write(b"%PDF-1.4\n%%EOF\n")
            users_file = f.name
        try:
            windows_path = "Z:" + users_file.replace("/", "\\")
            shown = probe("load-pdf", windows_path).strip()
            self.assertEqual(shown.lower(), windows_path.lower())
            probe("close")
            self.assertEqual(self.host.wait(30), 0)
            self.assertTrue(os.path.exists(users_file))
        finally:
            os.unlink(users_file)

    def test_control_characters_reach_the_log_whole(self):
        raw, _ = self.roundtrip(b'{"POL":"a\\u0000b\\nc"}')
        self.assertEqual(raw, frame(b'{"Nieznane polecenie ": "a\\u0000b\\nc" }'))
        raw, _ = self.roundtrip(b'{"POL":"IFSCANED"}')
        lines = log_lines()
        self.assertEqual(lines[1:], ["tekst: a\u2400b\u240ac", "Jest następna woiadomość: 22",
                                     "tekst: IFSCANED", 'reply: {"POL":"IFSCANED","SCANED": ""}'])
        self.end()

    def test_f10_and_f11_do_nothing(self):
        self.assertEqual(probe("focus", "Exit").strip(), "focused")
        xdotool("key", "F11", "sleep", 0.3, "key", "F10", "sleep", 0.3, "key", "Down")
        self.assertEqual(probe("menu").splitlines()[:1], ["no menu"])
        xdotool("key", "Escape")
        raw, _ = self.roundtrip(b'{"POL":"IFSCANED"}')
        self.assertEqual(raw, frame(b'{"POL":"IFSCANED","SCANED": ""}'), "no scan started")
        # The keys reached the window, which still takes the next one as
        # before: space presses the focused Exit button.
        xdotool("key", "space")
        self.assertEqual(self.host.wait(30), 0)

    def test_a_peer_that_stalls_never_freezes_the_window(self):
        for stall in (struct.pack("<I", 100) + b'{"POL"', b'{"POL":"IFSCANED"}'):
            with self.subTest(stall=stall):
                host = self.host if stall[:1] != b"{" else Host(EXE)
                if host is not self.host:
                    self.addCleanup(host.kill)
                    probe("wait")
                host.send_raw(stall)
                time.sleep(1)
                # The window answers another process's questions and Exit works.
                self.assertIn("maximized 1", probe("state"))
                probe("click", "Exit")
                self.assertEqual(host.wait(10), 0)

    def test_log_stays_bounded_under_large_commands(self):
        body = b'{"POL":"' + b"x" * (1024 * 1024 - 10) + b'"}'
        # The echo is cut so that the reply is exactly the 1 MiB a browser
        # takes from a host.
        reply = frame(b'{"Nieznane polecenie ": "' + b"x" * (1024 * 1024 - 28) + b'" }')
        self.assertEqual(len(reply), 4 + 1024 * 1024)
        memory = []
        for i in range(128):
            self.host.send(body)
            raw, _ = self.host.read_frame(60)
            self.assertEqual(raw, reply, f"command {i}")
            if i in (15, 127):
                memory.append(int(probe("memory").split()[0]))
        print(f"\n  committed bytes after 16 and 128 commands of 1 MiB: {memory}")
        self.assertLess(memory[1] - memory[0], 32 << 20)
        lines = log_lines()
        self.assertLessEqual(sum(len(l) + 2 for l in lines), 2 * 1024 * 1024)
        self.assertEqual(lines[-1], "tekst: " + body[8:-2].decode())
        self.end()

    def test_exit_button_ends_with_code_zero(self):
        probe("click", "Exit")
        self.assertEqual(self.host.wait(30), 0)


# The browser kills a host about 2 s after closing its pipe; a host whose peer
# has gone must be gone by then or soon after. Ending a common dialog first
# takes Wine longer (about 1.3 s idle, 2.6 s under load).
PEER_GONE_SECONDS = 3
PEER_GONE_IN_DIALOG_SECONDS = 5


@unittest.skipUnless(EXE and PROBE, "SKAN_EXE and SKAN_WINPROBE must name the built programs")
class PeerGoneTest(unittest.TestCase):
    """The end of the peer's pipe ends the host as END does, without the reply."""

    def test_closed_pipe_ends_the_host(self):
        for case in ("idle", "open-file dialog"):
            with self.subTest(case):
                host = Host(EXE)
                try:
                    self.assertIn("window", probe("wait"))
                    if case == "open-file dialog":
                        # A modal loop of the system's own, where no idle poll runs.
                        probe("click", "Load PDF")
                        self.assertEqual(probe("dialog").strip(), "dialog")
                    host.send(b'{"POL":"IFSCANED"}')
                    host.proc.stdin.close()
                    closed = time.monotonic()
                    limit = PEER_GONE_SECONDS if case == "idle" else PEER_GONE_IN_DIALOG_SECONDS
                    self.assertEqual(host.wait(limit), 0)
                    print(f"\n  {case}: ended {time.monotonic() - closed:.2f} s after the pipe closed")
                    # A message sent just before the end is answered where the
                    # host polls; the end itself gets no reply.
                    expected = frame(b'{"POL":"IFSCANED","SCANED": ""}') if case == "idle" else b""
                    self.assertEqual(host.rest(1), expected)
                    self.assertEqual(probe("gone").strip(), "gone")
                finally:
                    host.kill()


@unittest.skipUnless(EXE and PROBE, "SKAN_EXE and SKAN_WINPROBE must name the built programs")
class ShortTempTest(unittest.TestCase):
    """A temporary folder reported in 8.3 form is used in its long form."""

    def test_request_folders_use_the_long_form(self):
        long_temp = wine_output("wine", "cmd", "/c", "echo %TEMP%").strip() + "\\Long temporary folder"
        os.makedirs(unix_path(long_temp), exist_ok=True)
        short_temp = probe("shortpath", long_temp).strip()
        self.assertNotEqual(short_temp.lower(), long_temp.lower())
        host = Host(EXE, command=["wine", "cmd", "/c", f"set TEMP={short_temp}&& set TMP={short_temp}&& "
                                  + wine_output("winepath", "-w", EXE).strip()])
        try:
            self.assertIn("window", probe("wait"))
            host.send(INIT)
            host.read_frame()
            folders = [l[len("tmpPath: "):] for l in log_lines() if l.startswith("tmpPath: ")]
            self.assertEqual(len(folders), 2)
            for folder in folders:
                self.assertTrue(folder.lower().startswith(long_temp.lower() + "\\scan\\"), folder)
            host.send(b'{"POL":"END"}')
            host.read_frame()
            self.assertEqual(host.wait(30), 0)
        finally:
            host.kill()


@unittest.skipUnless(EXE and PROBE, "SKAN_EXE and SKAN_WINPROBE must name the built programs")
class NoPeerTest(unittest.TestCase):
    def test_input_other_than_a_pipe_ending_keeps_the_host(self):
        with tempfile.NamedTemporaryFile() as commands:
            commands.write(frame(b'{"POL":"IFSCANED"}'))
            commands.flush()
            cases = {
                "no standard input": dict(stdin=None, preexec_fn=lambda: os.close(0)),
                "null device": dict(stdin=subprocess.DEVNULL),
                "file": dict(stdin=open(commands.name, "rb")),
            }
            for case, streams in cases.items():
                with self.subTest(case):
                    proc = subprocess.Popen(["wine", EXE], stdout=subprocess.DEVNULL,
                                            stderr=subprocess.DEVNULL, env=wine_env(), **streams)
                    try:
                        self.assertIn("maximized 1", probe("wait"))
                        time.sleep(PEER_GONE_SECONDS + 1)
                        self.assertIsNone(proc.poll())
                        self.assertEqual(probe("gone").strip(), "present")
                        probe("close")
                        self.assertEqual(proc.wait(30), 0)
                    finally:
                        if proc.poll() is None:
                            proc.kill()
                            proc.wait()
                        if streams.get("stdin") not in (None, subprocess.DEVNULL):
                            streams["stdin"].close()

    def test_runs_without_connected_streams(self):
        proc = subprocess.Popen(["wine", EXE], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=wine_env())
        try:
            self.assertIn("maximized 1", probe("wait"))
            self.assertEqual(log_lines(), [])
            probe("close")
            self.assertEqual(proc.wait(30), 0)
        finally:
            if proc.poll() is None:
                proc.kill()




@unittest.skipUnless(EXE and PROBE, "SKAN_EXE and SKAN_WINPROBE must name the built programs")
class HighDpiTest(unittest.TestCase):
    """At 144 dpi the layout and the pictures scale by 1.5."""

    KEY = DESKTOP_KEY

    def setUp(self):
        wine_output("wine", "reg", "add", self.KEY, "/v", "LogPixels", "/t", "REG_DWORD",
                    "/d", "144", "/f")

    def tearDown(self):
        wine_output("wine", "reg", "delete", self.KEY, "/v", "LogPixels", "/f")

    def test_layout_scales(self):
        host = Host(EXE)
        try:
            probe("wait")
            rows = [r.split("\t") for r in probe("controls").splitlines()]
            layout = [(r[3], r[4]) for r in rows if r[3] != "Edit"]
            self.assertEqual(layout[:6], [
                ("TPanel", "0 0 260 1080"),
                ("Button", "9 12 240 240"), ("Button", "5 360 240 240"),
                ("Button", "5 609 240 240"), ("Button", "5 858 240 240"),
                ("TSplitter", "260 0 5 1080"),
            ])
            host.send(b'{"POL":"END"}')
            host.read_frame()
            self.assertEqual(host.wait(30), 0)
        finally:
            host.kill()


if __name__ == "__main__":
    unittest.main()
