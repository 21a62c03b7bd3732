"""Firefox driven over WebDriver BiDi: a small WebSocket client (RFC 6455,
text frames, client-side masking) and the few commands the tests need."""
import base64
import json
import os
import re
import socket
import struct
import subprocess
import threading
import time

FIREFOX = os.environ.get("SKAN_FIREFOX", "firefox-esr")


class ProtocolError(Exception):
    pass


class WebSocket:
    def __init__(self, host, port, path):
        self.sock = socket.create_connection((host, port), timeout=30)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ProtocolError("the WebSocket handshake was cut off")
            head += chunk
        head, self.pending = head.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise ProtocolError(f"WebSocket handshake refused: {head[:200]!r}")
        self.sock.settimeout(None)

    def send(self, text):
        payload = text.encode()
        mask = os.urandom(4)
        n = len(payload)
        if n < 126:
            header = struct.pack("!BB", 0x81, 0x80 | n)
        elif n < 1 << 16:
            header = struct.pack("!BBH", 0x81, 0x80 | 126, n)
        else:
            header = struct.pack("!BBQ", 0x81, 0x80 | 127, n)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(header + mask + masked)

    def _exactly(self, n):
        while len(self.pending) < n:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise EOFError("the WebSocket closed")
            self.pending += chunk
        data, self.pending = self.pending[:n], self.pending[n:]
        return data

    def receive(self):
        """Returns the next text message (fragments joined); None when the peer closes."""
        message = b""
        while True:
            first, second = self._exactly(2)
            n = second & 0x7F
            if n == 126:
                (n,) = struct.unpack("!H", self._exactly(2))
            elif n == 127:
                (n,) = struct.unpack("!Q", self._exactly(8))
            payload = self._exactly(n)
            opcode = first & 0x0F
            if opcode == 0x8:
                return None
            if opcode in (0x9, 0xA):  # ping and pong carry nothing for us
                continue
            message += payload
            if first & 0x80:
                return message.decode()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


ADDON_ID = "skanowanie@skanowanie.local"
ADDON_UUID = "5e2d6f3a-4b1c-4c8e-9a7d-2f1e0b3c4d5a"
ADDON_BASE = f"moz-extension://{ADDON_UUID}/"


class Firefox:
    def __init__(self, profile, env=None, prefs=None):
        with open(os.path.join(profile, "user.js"), "w") as user_js:
            for name, value in {
                "browser.shell.checkDefaultBrowser": False,
                "datareporting.policy.dataSubmissionEnabled": False,
                "toolkit.telemetry.reportingpolicy.firstRun": False,
                "browser.startup.homepage_override.mstone": "ignore",
                "app.update.disabledForTesting": True,
                "extensions.autoDisableScopes": 0,
                # The pages' and the extension's console lines go to firefox.log.
                "devtools.console.stdout.chrome": True,
                "devtools.console.stdout.content": True,
                # The add-on's pages get a known address (moz-extension://<uuid>/).
                "extensions.webextensions.uuids": json.dumps({ADDON_ID: ADDON_UUID}),
                **(prefs or {}),
            }.items():
                user_js.write(f"user_pref({json.dumps(name)}, {json.dumps(value)});\n")
        self.log_path = os.path.join(profile, "..", "firefox.log")
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([FIREFOX, "--headless", "--no-remote", "--profile", profile,
                                      "--remote-debugging-port=0", "about:blank"],
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.PIPE, env=env)
        port = None
        deadline = time.monotonic() + 120
        while port is None and time.monotonic() < deadline:
            line = self.proc.stderr.readline()
            if not line:
                break
            self.log.write(line)
            found = re.search(rb"WebDriver BiDi listening on ws://[^:]+:(\d+)", line)
            if found:
                port = int(found.group(1))
        if port is None:
            self.proc.kill()
            raise ProtocolError("Firefox did not start its BiDi server")
        # Keep draining Firefox's messages into the log.
        threading.Thread(target=self._drain, daemon=True).start()
        self.ws = WebSocket("127.0.0.1", port, "/session")
        self._next = 0
        self.send("session.new", {"capabilities": {}})

    def _drain(self):
        for line in self.proc.stderr:
            self.log.write(line)

    def send(self, method, params=None):
        self._next += 1
        ident = self._next
        self.ws.send(json.dumps({"id": ident, "method": method, "params": params or {}}))
        while True:
            text = self.ws.receive()
            if text is None:
                raise ProtocolError(f"{method}: the browser closed the session")
            message = json.loads(text)
            if message.get("id") != ident:
                continue  # events, which the tests do not subscribe to
            if message.get("type") == "error":
                raise ProtocolError(f"{method}: {message.get('error')}: {message.get('message')}")
            return message.get("result", {})

    def install_extension(self, path):
        return self.send("webExtension.install", {"extensionData": {"type": "path", "path": path}})["extension"]

    def find_page(self, url_part, timeout=30, exclude=()):
        """The first top-level context whose address contains `url_part` (a
        window the browser or an extension opened) and whose id is not in
        `exclude`, waiting for one."""
        deadline = time.monotonic() + timeout
        while True:
            for context in self.send("browsingContext.getTree", {"maxDepth": 0})["contexts"]:
                if url_part in context["url"] and context["context"] not in exclude:
                    return Page(self, context["context"])
            if time.monotonic() > deadline:
                raise TimeoutError(f"no page at {url_part!r} within {timeout} s")
            time.sleep(0.1)

    def pages(self, url_part, exclude=()):
        return [c["url"] for c in self.send("browsingContext.getTree", {"maxDepth": 0})["contexts"]
                if url_part in c["url"] and c["context"] not in exclude]

    def page_ids(self, url_part):
        """The ids of the open top-level contexts whose address contains `url_part`."""
        return [c["context"] for c in self.send("browsingContext.getTree", {"maxDepth": 0})["contexts"]
                if url_part in c["url"]]

    def open_page(self, url):
        context = self.send("browsingContext.create", {"type": "tab"})["context"]
        page = Page(self, context)
        page.navigate(url)
        return page

    def close(self):
        if self.proc.poll() is None:
            try:
                self.send("browser.close")
            except (ProtocolError, OSError, EOFError):
                pass
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.ws.close()
        self.proc.stderr.close()
        self.log.close()


class Page:
    def __init__(self, browser, context):
        self.browser, self.context = browser, context
        self.id = context

    def navigate(self, url):
        self.browser.send("browsingContext.navigate", {"context": self.context, "url": url, "wait": "complete"})

    def evaluate(self, expression, timeout=60, gesture=False):
        """Evaluates a JavaScript expression (awaiting a Promise); returns its value through JSON.
        `gesture`: as if the person had just clicked in the page (transient activation)."""
        result = self.browser.send("script.evaluate", {
            "expression": f"Promise.resolve({expression}).then((v) => JSON.stringify(v === undefined ? null : v))",
            "target": {"context": self.context}, "awaitPromise": True, "resultOwnership": "none",
            "userActivation": gesture})
        if result.get("type") == "exception":
            details = result.get("exceptionDetails", {})
            raise ProtocolError(f"page: {details.get('text')}")
        return json.loads(result["result"]["value"])


    def click(self, x, y):
        """A click of the person's mouse at (x, y) of the page's viewport."""
        self.browser.send("input.performActions", {"context": self.context, "actions": [{
            "type": "pointer", "id": "mouse", "parameters": {"pointerType": "mouse"},
            "actions": [{"type": "pointerMove", "x": x, "y": y}, {"type": "pointerDown", "button": 0},
                        {"type": "pointerUp", "button": 0}]}]})

    def screenshot(self, path):
        data = self.browser.send("browsingContext.captureScreenshot", {"context": self.context})["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def close(self):
        self.browser.send("browsingContext.close", {"context": self.context})
