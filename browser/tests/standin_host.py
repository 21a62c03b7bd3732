#!/usr/bin/env python3
"""A stand-in for the host on the browser's side of native messaging, for
machines that cannot run the real one under Wine: the same framing and the
same messages, and a share server on the first free port from 2025.

The person at the desk is played by signals: SIGUSR1 is "Scan to PDF" (the
scan completes at once: messages 5 and 6, status Redy_SCAN), SIGUSR2 is
"Confirm and send" (serves the file named by SKAN_STANDIN_DOCUMENT, as
confirmed then, to requests that carry the secret of message 7, and sends
message 7). Each message received is appended as one line to the file named by
SKAN_STANDIN_RECORD, if set. The stand-in ends after END and when its standard
input closes."""
import datetime
import hmac
import http.server
import json
import os
import signal
import socket
import struct
import sys
import threading

DOCUMENT = os.environ.get("SKAN_STANDIN_DOCUMENT", "")
RECORD = os.environ.get("SKAN_STANDIN_RECORD", "")
state = {"status": "", "server": None, "port": 0, "secret": "", "confirmed": b""}


def send(body):
    data = body.encode("utf-8")
    sys.stdout.buffer.write(struct.pack("<I", len(data)) + data)
    sys.stdout.buffer.flush()


def scan_id():
    now = datetime.datetime.now()
    return now.strftime("%Y_%m_%d_%H_%M_%S_") + f"{now.microsecond // 1000:03d}"


class Share(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        secret, body = state["secret"], state["confirmed"]
        offered = self.headers.get("Authorization", "")
        if not secret or not hmac.compare_digest(offered.encode(), f"Bearer {secret}".encode()):
            self.send_response(403)
            self.send_header("Connection", "close")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.send_response(200)
        self.send_header("Connection", "close")
        self.send_header("Content-Type", "application/pdf")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Access-Control-Allow-Origin", "*")
        self.end_headers()
        self.wfile.write(body)


def free_port():
    for port in range(2025, 2225):
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    return 65535


def press_scan(*_):
    send('{"Nieznane polecenie ": "Dokument zeskanowany, przygotowuję do wysyłki." }')
    send('{"Czesc ": "1" }')
    state["status"] = "Redy_SCAN"


def confirm_and_send(*_):
    with open(DOCUMENT, "rb") as f:
        state["confirmed"] = f.read()
    state["secret"] = os.urandom(32).hex()
    if state["server"] is None:
        state["port"] = free_port()
        state["server"] = http.server.ThreadingHTTPServer(("127.0.0.1", state["port"]), Share)
        threading.Thread(target=state["server"].serve_forever, daemon=True).start()
    send('{"POL": "Shared_complite","port":"%d","filename":"scan.pdf","secret":"%s" }' % (state["port"], state["secret"]))


def read_exactly(n):
    data = b""
    while len(data) < n:
        chunk = sys.stdin.buffer.read(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def main():
    signal.signal(signal.SIGUSR1, press_scan)
    signal.signal(signal.SIGUSR2, confirm_and_send)
    while True:
        prefix = read_exactly(4)
        if prefix is None:
            return  # the peer has gone
        body = read_exactly(struct.unpack("<I", prefix)[0])
        if body is None:
            return
        if RECORD:
            with open(RECORD, "ab") as record:
                record.write(body + b"\n")
        try:
            command = json.loads(body)
        except ValueError:
            continue
        if not isinstance(command, dict):
            continue
        name = str(command.get("POL", ""))
        if name.lower() == "init_scan":
            state["status"] = "Init_SCAN"
            send('{"POL":"Init_SCAN","Initscan_id": "%s"}' % scan_id())
        elif name.lower() == "ifscaned":
            send('{"POL":"IFSCANED","SCANED": "%s"}' % state["status"])
        elif name.lower() == "end":
            send('{"POL":"SCANEDqq","SCANED": "Pa Pa"}')
            return
        else:
            send('{"Nieznane polecenie ": "%s" }' % name)


if __name__ == "__main__":
    main()
