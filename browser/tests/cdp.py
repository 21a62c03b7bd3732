"""Chromium driven over the DevTools protocol on --remote-debugging-pipe:
the browser reads commands on its file descriptor 3 and writes answers and
events on descriptor 4, each message one JSON text ended by a NUL byte."""
import fcntl
import json
import os
import queue
import subprocess
import threading
import time

CHROMIUM = os.environ.get("SKAN_CHROMIUM", "/usr/lib/chromium/chromium")


class ProtocolError(Exception):
    pass


class Chromium:
    def __init__(self, user_data_dir, args=(), env=None):
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        # The child's ends are moved above 4 first, so that placing them on
        # 3 and 4 cannot overwrite one with the other.
        high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_browser_r, from_browser_w)]
        os.close(to_browser_r)
        os.close(from_browser_w)

        def descriptors():
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)

        command = [CHROMIUM, "--headless=new", "--remote-debugging-pipe", f"--user-data-dir={user_data_dir}",
                   "--no-first-run", "--no-default-browser-check", "--disable-gpu", "--no-sandbox",
                   "--disable-background-networking", "--disable-component-update", "--disable-sync",
                   "--password-store=basic", "--use-mock-keychain", *args, "about:blank"]
        self.log = open(os.path.join(user_data_dir, "..", "chromium.log"), "wb")
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log,
                                     env=env, preexec_fn=descriptors, pass_fds=(3, 4))
        for fd in high:
            os.close(fd)
        self._next = 0
        self._lock = threading.Lock()
        self._waiting = {}
        self.events = queue.Queue()
        self.console = []  # the pages' console lines, in order
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        pending = b""
        while True:
            chunk = os.read(self._from_browser, 1 << 20)
            if not chunk:
                break
            pending += chunk
            while b"\0" in pending:
                text, pending = pending.split(b"\0", 1)
                message = json.loads(text)
                if "id" in message:
                    with self._lock:
                        slot = self._waiting.pop(message["id"], None)
                    if slot:
                        slot.put(message)
                elif message.get("method") == "Runtime.consoleAPICalled":
                    args = message["params"].get("args", [])
                    with self._lock:
                        self.console.append(" ".join(str(a.get("value", a.get("description", ""))) for a in args))
                else:
                    self.events.put(message)
        with self._lock:
            for slot in self._waiting.values():
                slot.put({"error": {"message": "the browser closed its pipe"}})
            self._waiting.clear()

    def send(self, method, params=None, session=None, timeout=60):
        slot = queue.Queue(1)
        with self._lock:
            self._next += 1
            ident = self._next
            self._waiting[ident] = slot
        message = {"id": ident, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        try:
            answer = slot.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError(f"{method}: no answer within {timeout} s") from None
        if "error" in answer:
            raise ProtocolError(f"{method}: {answer['error'].get('message')}")
        return answer.get("result", {})

    def wait_event(self, method, timeout=30, session=None):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no {method} within {timeout} s")
            try:
                event = self.events.get(timeout=left)
            except queue.Empty:
                continue
            if event.get("method") == method and (session is None or event.get("sessionId") == session):
                return event.get("params", {})

    def open_page(self, url):
        """Opens a tab and returns a Page attached to it."""
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        page = Page(self, target, session)
        page.navigate(url)
        return page

    def find_page(self, url_part, timeout=30, exclude=()):
        """Attaches to the first page whose address contains `url_part` (a
        window the browser or an extension opened) and whose id is not in
        `exclude`, waiting for one."""
        deadline = time.monotonic() + timeout
        while True:
            for target in self.send("Target.getTargets")["targetInfos"]:
                if target["type"] == "page" and url_part in target["url"] and target["targetId"] not in exclude:
                    session = self.send("Target.attachToTarget",
                                        {"targetId": target["targetId"], "flatten": True})["sessionId"]
                    return Page(self, target["targetId"], session)
            if time.monotonic() > deadline:
                raise TimeoutError(f"no page at {url_part!r} within {timeout} s")
            time.sleep(0.1)

    def pages(self, url_part, exclude=()):
        """The addresses of the open pages whose address contains `url_part`."""
        return [t["url"] for t in self.send("Target.getTargets")["targetInfos"]
                if t["type"] == "page" and url_part in t["url"] and t["targetId"] not in exclude]

    def page_ids(self, url_part):
        """The ids of the open pages whose address contains `url_part`."""
        return [t["targetId"] for t in self.send("Target.getTargets")["targetInfos"]
                if t["type"] == "page" and url_part in t["url"]]

    def take_console(self):
        """The console lines logged since the last call."""
        with self._lock:
            lines, self.console[:] = list(self.console), []
        return lines

    def close(self):
        if self.proc.poll() is None:
            try:
                self.send("Browser.close", timeout=10)
            except (ProtocolError, TimeoutError, OSError):
                pass
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for fd in (self._to_browser, self._from_browser):
            try:
                os.close(fd)
            except OSError:
                pass
        self.log.close()


class Page:
    def __init__(self, browser, target, session):
        self.browser, self.target, self.session = browser, target, session
        self.id = target
        self.send("Page.enable")
        self.send("Runtime.enable")

    def send(self, method, params=None, timeout=60):
        return self.browser.send(method, params, self.session, timeout)

    def navigate(self, url, timeout=30):
        self.send("Page.navigate", {"url": url})
        self.browser.wait_event("Page.loadEventFired", timeout, self.session)

    def evaluate(self, expression, timeout=60, gesture=False):
        """Evaluates a JavaScript expression (awaiting a Promise) and returns its value;
        `gesture`: as if the person had just clicked in the page (transient activation)."""
        result = self.send("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                "returnByValue": True, "timeout": timeout * 1000,
                                                "userGesture": gesture},
                           timeout=timeout + 5)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise ProtocolError(f"page: {text}")
        return result["result"].get("value")


    def click(self, x, y):
        """A click of the person's mouse at (x, y) of the page's viewport."""
        for kind in ("mousePressed", "mouseReleased"):
            self.send("Input.dispatchMouseEvent", {"type": kind, "x": x, "y": y, "button": "left", "clickCount": 1})

    def screenshot(self, path):
        import base64
        data = self.send("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def close(self):
        self.browser.send("Target.closeTarget", {"targetId": self.target})
