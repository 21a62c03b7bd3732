"""What the browser tests share: the host started by the browser through a
launcher under Wine, the native messaging manifests, the web server for the
sample page, the host's own PDF, and the browsers themselves."""
import contextlib
import functools
import http.server
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BROWSER_DIR = os.path.dirname(HERE)
ROOT = os.path.dirname(BROWSER_DIR)
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from peer import unix_path, wine_output  # noqa: E402
from peerlib import wine_env  # noqa: E402

HOST_NAME = "pl.skanowanie.host"
CHROMIUM_EXTENSION_ID = "dlalfaanhjcmepimhkpfccloopamahbp"
FIREFOX_ADDON_ID = "skanowanie@skanowanie.local"


def build_path(variable, *default):
    return os.environ.get(variable) or os.path.join(ROOT, "build", "win", *default)


EXE = build_path("SKAN_EXE", "app", "Skanowanie.exe")
WINPROBE = build_path("SKAN_WINPROBE", "tests", "winprobe.exe")
EXTENSIONS = build_path("SKAN_EXTENSIONS", "browser", "extension")
# The recognition tests' rendered pages, each a BMP beside the text it shows.
OCR_PAGES = build_path("SKAN_OCR_PAGES", "ocr", "pages")
PRESS_SCAN = os.path.join(ROOT, "tools", "press-scan.sh")

# Runs the host for the browser: the real one under Wine or, where Wine
# cannot run, the stand-in (SKAN_BROWSER_HOST=standin). The host goes into a
# session of its own and the launcher waits for it: when the browser kills the
# launcher after closing the host's input, the host is not killed with it, so
# whether the host ends is up to the host itself, as when the browser exits.
# Each host's process id is appended to the pid file.
LAUNCHER = """#!/bin/sh
# Starts the scanning host as the browser's native messaging host.
export {env}
exec 3<&0 4>&1
setsid sh -c 'echo $$ >> "$0"; exec "$@"' {pids} {command} <&3 >&4 2>/dev/null &
exec 3<&- 4>&-
wait $!
"""
HOST_KIND = os.environ.get("SKAN_BROWSER_HOST", "wine")


def quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def make_pdf(path, filler_bytes, random=True):
    """Writes a valid one-page PDF carrying `filler_bytes` bytes in an unused stream; returns its bytes."""
    filler = os.urandom(filler_bytes) if random else b"0" * filler_bytes
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>",
               b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
               b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] >>",
               b"<< /Length %d >>\nstream\n" % len(filler) + filler + b"\nendstream"]
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    with open(path, "wb") as f:
        f.write(out)
    return bytes(out)


class Hosts:
    """The hosts the browser started, by the process ids their launchers
    wrote, and the user's actions on them."""

    def __init__(self, folder, kind=HOST_KIND):
        self.kind = kind
        self.pids_path = os.path.join(folder, "host-pids")
        self.launcher = os.path.join(folder, "launch-host.sh")
        # The pages of one scan: the virtual scanner's (installed by the
        # tests), or the stand-in's one-page document.
        self.pages_per_scan = 1 if kind == "standin" else 2
        if kind == "standin":
            self.document = os.path.join(folder, "scan.pdf")
            make_pdf(self.document, 200_000)
            self.record = os.path.join(folder, "received.jsonl")
            self.scanner_settings = os.path.join(folder, "scanner.json")
            env = {"SKAN_STANDIN_DOCUMENT": self.document, "SKAN_STANDIN_RECORD": self.record,
                   "SKAN_STANDIN_SCANNER": self.scanner_settings}
            command = [sys.executable, os.path.join(HERE, "standin_host.py")]
        else:
            wine = wine_env()
            env = {name: wine[name] for name in ("WINEPREFIX", "WINEARCH", "WINEDEBUG", "WINEDLLOVERRIDES")}
            env["DISPLAY"] = os.environ.get("DISPLAY", "")
            command = ["wine", EXE]
        with open(self.launcher, "w") as out:
            out.write(LAUNCHER.format(env=" ".join(f"{k}={quote(v)}" for k, v in env.items()),
                                      pids=quote(self.pids_path), command=" ".join(map(quote, command))))
        os.chmod(self.launcher, os.stat(self.launcher).st_mode | stat.S_IXUSR)

    def pids(self):
        try:
            with open(self.pids_path) as f:
                return [int(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    @staticmethod
    def alive(pid):
        try:
            with open(f"/proc/{pid}/stat") as f:
                return f.read().rsplit(") ", 1)[1][0] != "Z"  # an exited child not yet reaped
        except (FileNotFoundError, IndexError):
            return False

    def running(self):
        return [pid for pid in self.pids() if self.alive(pid)]

    def wait_gone(self, pid, timeout):
        """Seconds until the host ended, or None when it still runs after `timeout`."""
        start = time.monotonic()
        while self.alive(pid):
            if time.monotonic() - start > timeout:
                return None
            time.sleep(0.05)
        return time.monotonic() - start

    def origin_shown(self):
        """The origin the host was told (the stand-in's first message), or
        the one the host's window shows."""
        if self.kind == "standin":
            return next((m["origin"] for m in self.received() if "origin" in m), None)
        prefix = "Żądanie od: "
        texts = [row.split("\t")[5] for row in window("controls").splitlines() if row.count("\t") >= 5]
        return next((t[len(prefix):] for t in texts if t.startswith(prefix)), None)

    def received(self):
        """The stand-in's messages from the browser, in order, parsed."""
        try:
            with open(self.record, "rb") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def kill_all(self):
        for pid in self.running():
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)

    def manifest(self, browser, path=None):
        """The native messaging manifest for 'chromium' or 'firefox' (of the
        launcher, or of another program at `path`)."""
        manifest = {"name": HOST_NAME, "description": "Skanowanie scanning host", "path": path or self.launcher,
                    "type": "stdio"}
        if browser == "chromium":
            manifest["allowed_origins"] = [f"chrome-extension://{CHROMIUM_EXTENSION_ID}/"]
        else:
            manifest["allowed_extensions"] = [FIREFOX_ADDON_ID]
        return manifest

    def press_scan(self):
        """ "Scan to PDF" in the (latest) host, the default scanner taken."""
        if self.kind == "standin":
            os.kill(self.pids()[-1], signal.SIGUSR1)
        else:
            window("wait")
            subprocess.run([PRESS_SCAN], check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           timeout=180)

    def confirm_and_send(self):
        if self.kind == "standin":
            os.kill(self.pids()[-1], signal.SIGUSR2)
        else:
            window("click", "Confirm and send")

    def scan_again(self):
        """A later scan without "Confirm and send", of another document: the
        stand-in's file is replaced by another PDF; the virtual scanner
        delivers one page instead of two, then is set back."""
        if self.kind == "standin":
            make_pdf(self.document, 150_000)
            self.press_scan()
            return
        install_virtual_scanner("Pages=1")
        try:
            self.press_scan()
        finally:
            install_virtual_scanner(f"Pages={self.pages_per_scan}")

    def set_scanner(self, pages, page_ms, images=None):
        """The next batches' page count and the time each page takes (the
        stand-in's settings, or the virtual scanner's Pages and PageDelay,
        set back by restore_scanner). Under Wine, `images` names a folder
        whose BMP files the virtual scanner delivers in place of its own
        drawn pages (the stand-in has no images)."""
        self.scanner_changed = True
        if self.kind == "standin":
            with open(self.scanner_settings, "w") as f:
                json.dump({"pages": pages, "page_ms": page_ms}, f)
        else:
            folder = [f"ImageFolder=Z:{os.path.abspath(images)}"] if images else []
            install_virtual_scanner(f"Pages={pages}", f"PageDelay={page_ms}", *folder)

    def restore_scanner(self):
        """The virtual scanner's settings as the tests installed them (the
        stand-in's live in the run's own folder)."""
        if self.kind == "wine" and getattr(self, "scanner_changed", False):
            install_virtual_scanner()
        self.scanner_changed = False

    def document_bytes(self):
        """The PDF the host assembled last (named in its log), or the stand-in's."""
        if self.kind == "standin":
            with open(self.document, "rb") as f:
                return f.read()
        log = window("log")
        pdfs = [line for line in log.split("\r\n") if line.lower().endswith(".pdf")]
        if not pdfs:
            raise AssertionError(f"the host's log names no PDF:\n{log}")
        with open(unix_path(pdfs[-1]), "rb") as f:
            return f.read()

def install_virtual_scanner(*settings):
    """Installs the virtual scanner into the prefix, unattended, with the
    tests' settings and `settings` ("Key=Value") in their place."""
    values = dict(item.split("=", 1) for item in ("Pages=2", "PixelType=RGB", "Resolution=100", *settings))
    subprocess.run([os.path.join(ROOT, "tools", "install-virtual-scanner.sh"), "--unattended",
                    *(f"{key}={value}" for key, value in values.items())],
                   check=True, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=120)


def write_manifest(folder, manifest):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, f"{HOST_NAME}.json")
    with open(path, "w") as out:
        json.dump(manifest, out, indent=2)
    return path


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    any_origin = False

    def log_message(self, *args):
        pass

    def end_headers(self):
        # Every origin may read the answers when `any_origin` (as the share
        # server answered before it asked for a secret); a sandboxed page's
        # opaque origin ("null") may always, for its module scripts.
        if self.any_origin or self.headers.get("Origin") == "null":
            self.send_header("Access-Control-Allow-Origin", "*")
        # "?sandbox" serves a page as a sandboxed document of an opaque origin.
        if self.path.endswith("?sandbox"):
            self.send_header("Content-Security-Policy", "sandbox allow-scripts")
        super().end_headers()

    def handle(self):
        with contextlib.suppress(ConnectionError):
            super().handle()


class _AnyOriginHandler(_QuietHandler):
    any_origin = True


@contextlib.contextmanager
def web_server(directory=BROWSER_DIR, any_origin=False):
    """Serves `directory` on a free loopback port (with a header that lets
    any origin read the answers, when `any_origin`); yields the base URL."""
    handler = _AnyOriginHandler if any_origin else _QuietHandler
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(handler, directory=directory))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()


def window(*args):
    """Runs winprobe against the host's window (the first one found)."""
    return wine_output("wine", WINPROBE, *args)


def wait_for(page, expression, timeout=60, interval=0.2, evaluate_timeout=60):
    """Polls a JavaScript expression in the page until it is truthy; returns its value."""
    deadline = time.monotonic() + timeout
    while True:
        value = page.evaluate(expression, timeout=evaluate_timeout)
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"{expression!r} still false after {timeout} s")
        time.sleep(interval)


SHA256_OF_PREVIEW = """(async () => {
  const frame = document.getElementById("preview");
  const bytes = await (await fetch(frame.src)).arrayBuffer();
  const digest = await crypto.subtle.digest("SHA-256", bytes);
  return [bytes.byteLength, [...new Uint8Array(digest)].map((b) => b.toString(16).padStart(2, "0")).join("")];
})()"""


def scratch(prefix):
    """A fresh folder for one browser run, removed by the caller's cleanup."""
    folder = tempfile.mkdtemp(prefix=prefix)
    return folder, functools.partial(shutil.rmtree, folder, ignore_errors=True)


class BrowserRun:
    """One browser with a fresh profile, the extension (or not) and the
    host's manifest (or not); `manifest` may replace the host's manifest."""

    kind = ""

    def __init__(self, extension=True, host=True, manifest=None):
        self.folder, self._remove = scratch(f"skan-{self.kind}-")
        self.hosts = Hosts(self.folder)
        self.manifest = manifest or (self.hosts.manifest(self.kind) if host else None)
        self.extension = os.path.join(EXTENSIONS, self.kind) if extension else None
        self.browser = None
        self.answered_at = None
        self.answered = set()  # ids of the prompts answered or closed

    def set_manifest(self, manifest):
        """Writes the host's manifest where the browser looks for it (which it
        reads at each start of a host), or removes it when `manifest` is None."""
        for folder in self.manifest_folders:
            if manifest:
                write_manifest(folder, manifest)
            else:
                with contextlib.suppress(FileNotFoundError):
                    os.remove(os.path.join(folder, f"{HOST_NAME}.json"))

    def open(self, url):
        return self.browser.open_page(url)

    def prompts(self):
        """The addresses of the extension's consent prompts now open (those
        answered already may linger a moment while their windows close)."""
        return self.browser.pages("/consent.html", self.answered)

    def prompt(self, timeout=90):
        """The open consent prompt that has not been answered, once it names
        its origin; returns it and the origin."""
        deadline = time.monotonic() + timeout
        while True:
            prompt = self.browser.find_page("/consent.html", max(1, deadline - time.monotonic()), self.answered)
            try:
                origin = wait_for(prompt, 'document.getElementById("origin").textContent.includes("://") && '
                                          'document.getElementById("origin").textContent', 10, evaluate_timeout=5)
                return prompt, origin
            except Exception:  # the driver's time-out or protocol error
                # A window closing under us: look again. One still open was
                # only slow to show its origin (a loaded machine): ask it again.
                if prompt.id not in self.browser.page_ids("/consent.html"):
                    self.answered.add(prompt.id)
                if time.monotonic() > deadline:
                    raise

    def answer_prompt(self, answer, timeout=90):
        """Waits for the extension's consent prompt, presses "Allow once"
        ("once"), "Always allow" ("always") or "Block" ("block") in it, or
        closes its window (None); returns the origin it named."""
        prompt, origin = self.prompt(timeout)
        self.answered.add(prompt.id)
        if answer is None:
            prompt.close()
        else:
            # Clicked after the evaluation returns: the answer closes the window.
            prompt.evaluate(f"void setTimeout(() => document.getElementById({json.dumps(answer)}).click())",
                            gesture=True)
        self.answered_at = time.monotonic()
        return origin

    def options_from_prompt(self):
        """Opens the extension's options page through the link in the open
        consent prompt (as the person can; a test cannot navigate a tab to an
        extension's page in every browser) and returns it, shown."""
        prompt, _ = self.prompt()
        prompt.evaluate('document.getElementById("manage").click()', gesture=True)
        page = self.browser.find_page("/options.html")
        wait_for(page, "document.body.dataset.ready === 'true'", 30)
        return page

    def close(self):
        try:
            if self.browser:
                self.browser.close()
        finally:
            self.hosts.kill_all()
            self.hosts.restore_scanner()
            self._remove()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class ChromiumRun(BrowserRun):
    kind = "chromium"

    def __init__(self, public_origin=None, **options):
        """public_origin ("127.0.0.1:port", or several joined by commas): origins
        Chromium treats as public web sites."""
        from cdp import Chromium
        super().__init__(**options)
        profile = os.path.join(self.folder, "profile")
        os.makedirs(profile)
        self.manifest_folders = [os.path.join(profile, "NativeMessagingHosts")]
        self.set_manifest(self.manifest)
        args = ["--window-size=1280,1100"]
        if self.extension:
            args.append(f"--load-extension={self.extension}")
        if public_origin:
            overrides = ",".join(f"{o}=public" for o in public_origin.split(","))
            args.append(f"--ip-address-space-overrides={overrides}")
        self.browser = Chromium(profile, args)
        self.extension_base = f"chrome-extension://{CHROMIUM_EXTENSION_ID}/"


class FirefoxRun(BrowserRun):
    kind = "firefox"

    def __init__(self, public_origin=None, **options):
        """public_origin ("127.0.0.1:port", or several joined by commas): origins
        Firefox treats as public web sites."""
        from bidi import ADDON_BASE, Firefox
        super().__init__(**options)
        home = os.path.join(self.folder, "home")
        profile = os.path.join(self.folder, "profile")
        os.makedirs(profile)
        os.makedirs(home, exist_ok=True)
        # The classic place, and the one under the XDG configuration folder.
        self.manifest_folders = [os.path.join(home, ".mozilla", "native-messaging-hosts"),
                                 os.path.join(home, ".config", "mozilla", "native-messaging-hosts")]
        self.set_manifest(self.manifest)
        env = dict(os.environ, HOME=home)
        env.pop("XDG_CONFIG_HOME", None)
        prefs = {"network.lna.address_space.public.override": public_origin} if public_origin else {}
        self.browser = Firefox(profile, env, prefs)
        self.extension_base = ADDON_BASE
        if self.extension:
            self.browser.install_extension(self.extension)


PHASE = "document.body.dataset.phase"


def click_on(page, element_id):
    """Clicks the middle of an element as the person would, with the mouse,
    which gives the page transient activation in every browser."""
    x, y = page.evaluate(f"""(() => {{ const e = document.getElementById({json.dumps(element_id)});
        e.scrollIntoView({{block: "center"}}); const r = e.getBoundingClientRect();
        return [Math.round(r.x + r.width / 2), Math.round(r.y + r.height / 2)]; }})()""")
    page.click(x, y)


def text_of(page, element_id):
    return page.evaluate(f"document.getElementById({json.dumps(element_id)}).textContent")


def start_sample(page, timeout=120, run=None, answer="once", gesture=True):
    """Presses "Start scanning" on the sample page (as the person would, with
    the mouse; by script without activation when `gesture` is false) and, when `run` is given,
    gives `answer` to the extension's consent prompt if one opens; returns the
    phase the page reaches ("scanning" when a host answered, "error"
    otherwise) and the error code."""
    if gesture:
        click_on(page, "start")
    else:
        page.evaluate('document.getElementById("start").click()')
    deadline = time.monotonic() + timeout
    done = f'["scanning", "error"].includes({PHASE}) && {PHASE}'
    while not page.evaluate(done):
        if run and run.prompts():
            run.answer_prompt(answer)
        if time.monotonic() > deadline:
            raise TimeoutError(f"the sample page did not start within {timeout} s")
        time.sleep(0.2)
    return page.evaluate(done), page.evaluate("document.body.dataset.error || null")


def scan_request(run, page, say=lambda text: None):
    """One whole scan request on the sample page with the virtual scanner
    installed unattended: returns the host's PDF, what the page shows of it
    (size, SHA-256) and how long the host took to end after the page's END."""
    phase, error = start_sample(page, run=run)
    if phase != "scanning":
        raise AssertionError(f"the sample page stopped: {error}: {text_of(page, 'problem')}")
    if run.hosts.kind == "wine":
        window("wait")
    consent_to_window = time.monotonic() - run.answered_at
    say(f'user: answered "Allow once" in the extension\'s prompt; the host\'s window was up '
        f"{consent_to_window:.1f} s later")
    origin_shown = run.hosts.origin_shown()
    say(f"host: shows the request's origin {origin_shown}")
    pid = run.hosts.pids()[-1]
    say(f"page: scan request {text_of(page, 'scan-id')} open; host pid {pid}")
    say('user: presses "Scan to PDF" and takes the default scanner')
    run.hosts.press_scan()
    wait_for(page, 'document.getElementById("status").textContent === "Redy_SCAN"', 300)
    say("page: the host's status is Redy_SCAN")
    pdf = run.hosts.document_bytes()
    say('user: presses "Confirm and send"')
    run.hosts.confirm_and_send()
    phase = wait_for(page, f'["done", "error"].includes({PHASE}) && {PHASE}', 180)
    if phase != "done":
        raise AssertionError(f"the sample page stopped: {text_of(page, 'problem')}")
    size, digest = page.evaluate(SHA256_OF_PREVIEW)
    say(f"page: received {size} bytes, SHA-256 {digest}")
    return {"pdf": pdf, "size": size, "sha256": digest, "host_exit": run.hosts.wait_gone(pid, 30),
            "consent_to_window": consent_to_window, "origin_shown": origin_shown,
            "events": page.evaluate('[...document.querySelectorAll("#events li")].map((li) => li.textContent)')}
