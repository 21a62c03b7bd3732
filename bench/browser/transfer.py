#!/usr/bin/env python3
"""Measures the browser path in headless Chromium (or Firefox, with
SKAN_BENCH_BROWSER=firefox) against the host under Wine:

- first reply: from the page's connect() (the browser starts the host) to the
  host's first answer; beside it the scripted peer's start to first answer;
- IFSCANED round trip from the page, beside the scripted peer's;
- a document of N MB, loaded into the host with Load PDF and shared with
  "Confirm and send", fetched into the page with getPdf(); beside it a plain
  HTTP client fetching the same bytes from a loopback web server (the share
  port answers only the extension, which alone holds the secret). Every
  copy's SHA-256 is checked.

The page connects from a click, after "Always allow" in the extension's
prompt, so the figures leave out the person's answer.

With SKAN_BROWSER_HOST=standin the stand-in host (browser/tests) takes the
real host's place, for machines without Wine; its first reply then says
nothing about the real host.

Usage: transfer.py [runs] [megabytes]"""
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "browser", "tests"))
import harness  # noqa: E402
from harness import ChromiumRun, FirefoxRun, click_on, make_pdf, web_server, wine_output  # noqa: E402
from peerlib import Host  # noqa: E402

BROWSER = os.environ.get("SKAN_BENCH_BROWSER", "chromium")


def median_ms(values):
    return f"median {statistics.median(values) * 1000:.0f} ms (min {min(values) * 1000:.0f}, max {max(values) * 1000:.0f}, n={len(values)})"


def start_host():
    if harness.HOST_KIND != "standin":
        return Host(harness.EXE)
    # The stand-in on the same pipes as the scripted peer's host.
    host = Host.__new__(Host)
    host.proc = subprocess.Popen([sys.executable, os.path.join(harness.HERE, "standin_host.py")],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    host.buf = b""
    return host


def scripted_peer(rounds):
    starts, trips = [], []
    for _ in range(3):
        t = time.monotonic()
        host = start_host()
        try:
            host.send('{"POL":"IFSCANED"}')
            host.read_frame(120)
            starts.append(time.monotonic() - t)
            for _ in range(rounds):
                t = time.monotonic()
                host.send('{"POL":"IFSCANED"}')
                host.read_frame(30)
                trips.append(time.monotonic() - t)
            host.send('{"POL":"END"}')
            host.read_frame(30)
            host.wait(30)
        finally:
            host.kill()
    return starts, trips


def start_browser(base):
    Run = FirefoxRun if BROWSER == "firefox" else ChromiumRun
    return Run(public_origin=urllib.parse.urlsplit(base).netloc)


def connect(run, page):
    """connect() from a click on the test page; returns its seconds."""
    click_on(page, "connect")
    while not page.evaluate("window.lab.result"):
        if run.prompts():
            run.answer_prompt("always")
        time.sleep(0.05)
    assert page.evaluate("window.lab.result") == "connected", page.evaluate("window.lab.result")
    page.evaluate("window.C = window.lab.connection")
    return page.evaluate("window.lab.seconds")

PAGE_ROUND_TRIPS = """(async () => {
  const times = [];
  for (let i = 0; i < %d; i++) {
    const t = performance.now();
    await C.readStatus();
    times.push((performance.now() - t) / 1000);
  }
  return times;
})()"""

PAGE_FETCH = """(async () => {
  const t = performance.now();
  const blob = await C.getPdf();
  const seconds = (performance.now() - t) / 1000;
  const digest = await crypto.subtle.digest("SHA-256", await blob.arrayBuffer());
  return [seconds, blob.size, [...new Uint8Array(digest)].map((b) => b.toString(16).padStart(2, "0")).join("")];
})()"""


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    megabytes = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    folder = tempfile.mkdtemp(prefix="skan-bench-")
    path = os.path.join(folder, "big.pdf")
    data = make_pdf(path, megabytes * 1024 * 1024)
    digest = hashlib.sha256(data).hexdigest()
    print(f"browser: {BROWSER}; document: {len(data)} bytes, SHA-256 {digest}")

    starts, trips = scripted_peer(20)
    print(f"scripted peer, start to first reply: {median_ms(starts)}")
    print(f"scripted peer, IFSCANED round trip: {median_ms(trips)}")

    page_starts, page_trips, fetches, direct = [], [], [], []
    lab = "/tests/pages/lab.html"
    with web_server() as base, web_server(folder) as plain:
        with start_browser(base) as run:
            connect(run, run.open(base + lab))  # "Always allow", not timed
            for _ in range(3):
                page = run.open(base + lab)
                page_starts.append(connect(run, page))
                page_trips += page.evaluate(PAGE_ROUND_TRIPS % 20)
                page.evaluate("C.end()")
        print(f"page, connect() to first reply (host started by the browser): {median_ms(page_starts)}")
        print(f"page, IFSCANED round trip: {median_ms(page_trips)}")

        with start_browser(base) as run:
            page = run.open(base + lab)
            connect(run, page)
            if harness.HOST_KIND == "standin":
                shutil.copyfile(path, run.hosts.document)
            else:
                harness.window("wait")
                harness.window("load-pdf", wine_output("winepath", "-w", path).strip())
            run.hosts.confirm_and_send()
            page.evaluate("C.waitForShare({timeoutMs: 60000}).then((s) => s.port)", 90)
            for _ in range(runs):
                t = time.monotonic()
                with urllib.request.urlopen(f"{plain}/{os.path.basename(path)}", timeout=120) as r:
                    body = r.read()
                direct.append(time.monotonic() - t)
                assert hashlib.sha256(body).hexdigest() == digest, "the plain client got other bytes"
                seconds, size, page_digest = page.evaluate(PAGE_FETCH, 300)
                assert (size, page_digest) == (len(data), digest), "the page got other bytes"
                fetches.append(seconds)
            page.evaluate("C.end()")
    print(f"{megabytes} MB into the page (getPdf), SHA-256 equal: {median_ms(fetches)}")
    print(f"{megabytes} MB by a plain HTTP client from a loopback web server: {median_ms(direct)}")
    print(f"ratio page / plain client: {statistics.median(fetches) / statistics.median(direct):.1f}")
    shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
