#!/usr/bin/env python3
"""The scripted peer (the test host_scripted_peer): starts the host under
Wine and runs one whole scan request, printing every message it receives:

  Init_SCAN -> "Scan to PDF" pressed (virtual scanner, unattended, 3 pages)
  -> progress messages -> IFSCANED until "Redy_SCAN" -> the PDF and its
  Base64 export checked -> "Confirm and send" pressed -> the PDF fetched over
  HTTP and compared -> END.

Usage: peer.py <Skanowanie.exe> <winprobe.exe> <press-scan script>"""
import base64
import os
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from peerlib import Host, wine_env  # noqa: E402


def wine_output(*command):
    # Through a file: a Wine service started on the way may hold a pipe open.
    with tempfile.TemporaryFile() as out:
        subprocess.run(list(command), stdout=out, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL, env=wine_env(), timeout=120, check=True)
        out.seek(0)
        return out.read().decode("utf-8")


class Peer:
    def __init__(self, exe, probe):
        self.probe = probe
        self.host = Host(exe)

    def send(self, command):
        print(f"peer -> host: {command}")
        self.host.send(command)

    def receive(self, timeout=60):
        _, body = self.host.read_frame(timeout)
        text = body.decode("utf-8")
        print(f"host -> peer: [{len(body)} bytes] {text}")
        return text

    def ask(self, command):
        self.send(command)
        return self.receive()

    def window(self, *args):
        return wine_output("wine", self.probe, *args)


def unix_path(windows_path):
    return wine_output("winepath", "-u", windows_path).strip()


def main():
    exe, probe, press_scan = sys.argv[1:4]
    peer = Peer(exe, probe)
    failures = []

    def check(ok, what):
        print(("ok: " if ok else "FAILED: ") + what)
        if not ok:
            failures.append(what)

    try:
        peer.window("wait")
        peer.ask('{"POL":"Init_SCAN","email":"biuro@example.com","serialnumber":"SN-1"}')
        peer.ask('{"POL":"IFSCANED"}')

        print("user: presses \"Scan to PDF\" and takes the default scanner")
        subprocess.run([press_scan], check=True, stdin=subprocess.DEVNULL, timeout=120)
        preparing = peer.receive(120)
        hello = peer.receive(120)
        check("przygotowuję" in preparing and hello == '{"Czesc ": "1" }',
              "progress messages 5 and 6 arrive")

        status = ""
        deadline = time.monotonic() + 180
        while time.monotonic() < deadline:
            status = peer.ask('{"POL":"IFSCANED"}')
            if "Redy_SCAN" in status:
                break
            time.sleep(0.5)
        check("Redy_SCAN" in status, "status reaches Redy_SCAN")

        shot = os.environ.get("SKAN_SCREENSHOT")
        if shot:  # the window with the scanned document in its pane
            time.sleep(2)
            subprocess.run(["import", "-window", "root", shot], check=False)
            print(f"screenshot: {shot}")

        log = [line for line in peer.window("log").split("\r\n") if line]
        print("host log:\n  " + "\n  ".join(log))
        pdf_lines = [line for line in log if line.lower().endswith(".pdf")]
        export_lines = [line for line in log if line.startswith("lfilename: ")]
        pdf = unix_path(pdf_lines[-1]) if pdf_lines else ""
        export = unix_path(export_lines[-1][len("lfilename: "):] + "scan.bs") if export_lines else ""
        pdf_bytes = open(pdf, "rb").read() if pdf and os.path.exists(pdf) else b""
        check(pdf_bytes.startswith(b"%PDF-"), f"the PDF exists ({len(pdf_bytes)} bytes): {pdf}")
        if export and os.path.exists(export):
            text = open(export, "rb").read()
            lines = text.split(b"\r\n")
            check(all(len(l) <= 76 for l in lines) and base64.b64decode(b"".join(lines)) == pdf_bytes,
                  f"scan.bs decodes to the PDF's bytes, 76-character lines: {export}")
        else:
            check(False, "scan.bs exists")

        print("user: presses \"Confirm and send\"")
        peer.window("click", "Confirm and send")
        shared = peer.receive(60)
        port = shared.split('"port":"')[1].split('"')[0] if '"port":"' in shared else ""
        secret = shared.split('"secret":"')[1].split('"')[0] if '"secret":"' in shared else ""
        check(port.isdigit(), f"message 7 names the port {port}")
        check(len(secret) == 64, "message 7 carries the secret")
        if port.isdigit():
            request = urllib.request.Request(f"http://127.0.0.1:{port}/scan.pdf",
                                             headers={"Authorization": f"Bearer {secret}"})
            with urllib.request.urlopen(request, timeout=30) as r:
                served = r.read()
                origin = r.headers.get("Access-Control-Allow-Origin")
            check(served == pdf_bytes and origin == "*",
                  f"GET with the secret returns the PDF ({len(served)} bytes) with Access-Control-Allow-Origin: {origin}")

        peer.ask('{"POL":"END"}')
        code = peer.host.wait(60)
        check(code == 0, f"host exited with code {code}")
    finally:
        peer.host.kill()

    print("scan request: " + ("complete" if not failures else f"{len(failures)} check(s) failed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
