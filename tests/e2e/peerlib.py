"""Drives the host over its standard streams the way the browser's peer does:
4-byte little-endian length, then a UTF-8 JSON body."""
import os
import select
import struct
import subprocess
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def wine_env():
    env = dict(os.environ)
    env.setdefault("WINEPREFIX", os.path.join(ROOT, "build", "wineprefix"))
    env["WINEARCH"] = "win32"
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    return env


def frame(body: bytes) -> bytes:
    return struct.pack("<I", len(body)) + body


class Host:
    """The host under Wine as a child process with pipes on its standard streams."""

    def __init__(self, exe, env=None, command=None):
        self.proc = subprocess.Popen(command or ["wine", exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env or wine_env())
        self.buf = b""

    def send_raw(self, data: bytes):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def send(self, body):
        if isinstance(body, str):
            body = body.encode("utf-8")
        self.send_raw(frame(body))

    def _fill(self, need, timeout):
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while len(self.buf) < need:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no reply within {timeout}s (have {self.buf!r})")
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise EOFError(f"host closed its output (have {self.buf!r})")
                self.buf += chunk

    def read_frame(self, timeout=30):
        """Returns (raw bytes of prefix + body, body)."""
        self._fill(4, timeout)
        (n,) = struct.unpack("<I", self.buf[:4])
        self._fill(4 + n, timeout)
        raw, self.buf = self.buf[:4 + n], self.buf[4 + n:]
        return raw, raw[4:]

    def expect_silence(self, seconds):
        """True when nothing arrives for `seconds`."""
        try:
            self._fill(len(self.buf) + 1, seconds)
        except TimeoutError:
            return True
        return False

    def rest(self, timeout):
        """Whatever else arrives until the output ends or `timeout` passes."""
        try:
            self._fill(len(self.buf) + (1 << 30), timeout)
        except (TimeoutError, EOFError):
            pass
        rest, self.buf = self.buf, b""
        return rest

    def wait(self, timeout=30):
        return self.proc.wait(timeout)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except OSError:
                pass
