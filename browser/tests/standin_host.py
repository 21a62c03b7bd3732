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
input closes.

The page may also drive the scan: List_SCANNERS, Caps_SCANNER, Init_SCAN with
`scan` settings (checked against the scanner's offer, as the host reads them
back from the source), Start_SCAN and Cancel_SCAN, with errors in the reply's
`error` member. A peer whose first message has `"events": true` gets the
pushed Event messages (status, page with a JPEG thumbnail, scanned) and
document ids in message 7. The batch's pages and the time each takes come
from the JSON file named by SKAN_STANDIN_SCANNER ({"pages": 3, "page_ms": 50}),
read at each batch."""
import datetime
import hmac
import http.server
import json
import os
import queue
import signal
import socket
import struct
import sys
import threading

DOCUMENT = os.environ.get("SKAN_STANDIN_DOCUMENT", "")
RECORD = os.environ.get("SKAN_STANDIN_RECORD", "")
SCANNER_SETTINGS = os.environ.get("SKAN_STANDIN_SCANNER", "")
state = {"status": "", "server": None, "port": 0, "secret": "", "confirmed": b"", "events": False,
         "request": None, "document": "", "shared_document": "", "first": True}
batch = {"running": False, "cancel": threading.Event()}
out_lock = threading.Lock()
desk = queue.Queue()  # the person's acts, done in order by one thread

# A 24 x 34 grey JPEG: every page's thumbnail.
THUMBNAIL = ("/9j/4AAQSkZJRgABAQAAAQABAAD/2wBDAAoHBwgHBgoICAgLCgoLDhgQDg0NDh0VFhEYIx8lJCIfIiEmKzcvJik0KSEiMEExNDk7Pj4"
             "+JS5ESUM8SDc9Pjv/wAALCAAiABgBAREA/8QAFgABAQEAAAAAAAAAAAAAAAAAAAUH/8QAGRAAAwADAAAAAAAAAAAAAAAAABRhARFR/9oA"
             "CAEBAAA/ANZcococpBcococpBcococpCcococpL3no3no3np/9k=")

# The scanners the stand-in offers: the virtual scanner's identity and
# capabilities, and a camera that answers no capability.
SCANNERS = [
    {"id": "Virtual Scanner", "name": "Virtual Scanner", "manufacturer": "Skanowanie", "productFamily": "Virtual",
     "isDefault": True},
    {"id": "GPhoto2 Camera", "name": "GPhoto2 Camera", "manufacturer": "Wine", "productFamily": "Camera",
     "isDefault": False},
]
CAPABILITIES = {
    "Virtual Scanner": {
        "resolution": {"current": 150, "default": 150, "values": [50, 75, 100, 150, 200, 300, 600, 1200]},
        "colour": {"current": "colour", "default": "colour", "values": ["colour", "grey", "bw"]},
        "duplex": "UNSUPPORTED",
        "source": {"current": "flatbed", "default": "flatbed", "values": ["feeder", "flatbed"]},
        "paperSize": {"current": "A4", "default": "A4", "values": ["A4", "A5", "Letter", "Legal"]},
        "showScannerUI": {"canHide": True},
    },
    "GPhoto2 Camera": {name: "UNSUPPORTED" for name in
                       ("resolution", "colour", "duplex", "source", "paperSize", "showScannerUI")},
}


def send(body):
    data = body.encode("utf-8") if isinstance(body, str) else json.dumps(body).encode("utf-8")
    with out_lock:
        sys.stdout.buffer.write(struct.pack("<I", len(data)) + data)
        sys.stdout.buffer.flush()


def event(**members):
    if state["events"]:
        send({"POL": "Event", **members})


def set_status(status):
    state["status"] = status
    event(event="status", status=status)


def error(code, message, **details):
    return {"error": {"code": code, "message": message, **details}}


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


def scanner_settings():
    settings = {"pages": 3, "page_ms": 50}
    if SCANNER_SETTINGS:
        try:
            with open(SCANNER_SETTINGS) as f:
                settings.update(json.load(f))
        except (OSError, ValueError):
            pass
    return settings


def run_batch(settings, by_page):
    """One batch: the pages one by one, then the document; events for a
    peer that asked. A page-driven batch may be cancelled between pages."""
    batch["running"] = True
    try:
        set_status("Begin_SCAN")
        pages = scanner_settings()["pages"] if by_page else 1
        pages = min(pages, settings.get("maxPages", pages))
        dpi = settings.get("resolution", 150)
        colour = settings.get("colour", "colour")
        for page in range(1, pages + 1):
            if batch["cancel"].wait(scanner_settings()["page_ms"] / 1000 if by_page else 0):
                break
            event(event="page", page=page, pixelWidth=round(8.27 * dpi), pixelHeight=round(11.69 * dpi), dpi=dpi,
                  colour=colour, thumbnail=THUMBNAIL)
        else:
            page = pages + 1
        if batch["cancel"].is_set():
            # Pending pages are reset at the source; no document.
            set_status("Init_SCAN")
            event(event="scanned", pages=page - 1, outcome="cancelled", reason="cancelled by the page")
            return
        set_status("Prepared_SCAN")
        send('{"Nieznane polecenie ": "Dokument zeskanowany, przygotowuję do wysyłki." }')
        send('{"Czesc ": "1" }')
        state["document"] = "d" + os.urandom(16).hex()
        set_status("Redy_SCAN")
        event(event="scanned", pages=pages, outcome="done", document=state["document"])
    finally:
        batch["running"] = False
        batch["cancel"].clear()


def confirm_and_send():
    with open(DOCUMENT, "rb") as f:
        state["confirmed"] = f.read()
    state["secret"] = os.urandom(32).hex()
    state["shared_document"] = state["document"]
    if state["server"] is None:
        state["port"] = free_port()
        state["server"] = http.server.ThreadingHTTPServer(("127.0.0.1", state["port"]), Share)
        threading.Thread(target=state["server"].serve_forever, daemon=True).start()
    document = ',"document":"%s"' % state["shared_document"] if state["events"] and state["shared_document"] else ""
    send('{"POL": "Shared_complite","port":"%d","filename":"scan.pdf","secret":"%s"%s }'
         % (state["port"], state["secret"], document))


def at_the_desk():
    while True:
        act, settings = desk.get()
        if act == "scan":
            run_batch(settings or {}, by_page=settings is not None)
        elif act == "confirm":
            confirm_and_send()


def check_settings(scan):
    """The Init_SCAN reply's error for settings the scanner does not take, or None."""
    scanner = scan.get("scanner", SCANNERS[0]["id"])
    capabilities = CAPABILITIES.get(scanner)
    if capabilities is None:
        return error("NO_SCANNER", f"Nie ma skanera {scanner}.")
    for name in ("resolution", "colour", "source", "paperSize", "duplex"):
        if name not in scan or (name == "source" and scan[name] == "auto") or \
                (name == "paperSize" and scan[name] == "auto"):
            continue
        offer = capabilities[name]
        if name == "duplex" and scan[name] is False and offer == "UNSUPPORTED":
            continue  # a scanner without duplex scans one side
        values = offer.get("values", []) if isinstance(offer, dict) else []
        if scan[name] not in values:
            return error("UNSUPPORTED_SETTING", f"Skaner nie obsługuje ustawienia {name}: {json.dumps(scan[name])}.",
                         setting=name, offered=values)
    return None


def handle(command):
    name = str(command.get("POL", ""))
    if state["first"]:
        state["first"] = False
        state["events"] = command.get("events") is True
    if name == "Init_SCAN" or name.lower() == "init_scan":
        scan = command.get("scan")
        if isinstance(scan, dict):
            refused = check_settings(scan)
            if refused:
                send({"POL": "Init_SCAN", "Initscan_id": "", **refused})
                return True
        state["request"] = scan if isinstance(scan, dict) else {}
        state["document"] = ""
        state["status"] = "Init_SCAN"
        event(event="status", status="Init_SCAN")
        send('{"POL":"Init_SCAN","Initscan_id": "%s"}' % scan_id())
    elif name.lower() == "ifscaned":
        send('{"POL":"IFSCANED","SCANED": "%s"}' % state["status"])
    elif name.lower() == "end":
        send('{"POL":"SCANEDqq","SCANED": "Pa Pa"}')
        return False
    elif name == "List_SCANNERS":
        send({"POL": "List_SCANNERS", "scanners": SCANNERS})
    elif name == "Caps_SCANNER":
        scanner = command.get("scanner")
        if scanner not in CAPABILITIES:
            send({"POL": "Caps_SCANNER", "scanner": scanner, **error("NO_SCANNER", f"Nie ma skanera {scanner}.")})
        else:
            send({"POL": "Caps_SCANNER", "scanner": scanner, "capabilities": CAPABILITIES[scanner]})
    elif name == "Start_SCAN":
        if state["request"] is None:
            send({"POL": "Start_SCAN", **error("NO_REQUEST", "Najpierw Init_SCAN.")})
        elif batch["running"]:
            send({"POL": "Start_SCAN", **error("SCANNER_BUSY", "Skaner już skanuje.")})
        else:
            batch["running"] = True
            send({"POL": "Start_SCAN", "started": True})
            desk.put(("scan", state["request"]))
    elif name == "Cancel_SCAN":
        running = batch["running"]
        if running:
            batch["cancel"].set()
        send({"POL": "Cancel_SCAN", "cancelled": running})
    else:
        send('{"Nieznane polecenie ": "%s" }' % name)
    return True


def read_exactly(n):
    data = b""
    while len(data) < n:
        chunk = sys.stdin.buffer.read(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def main():
    # The person's acts go to the desk's thread: a signal handler only queues.
    signal.signal(signal.SIGUSR1, lambda *_: desk.put(("scan", None)))
    signal.signal(signal.SIGUSR2, lambda *_: desk.put(("confirm", None)))
    threading.Thread(target=at_the_desk, daemon=True).start()
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
        if not handle(command):
            return


if __name__ == "__main__":
    main()
