#!/usr/bin/env python3
"""The main job's scan request, as a person at a web application does it: the
sample page in headless Chromium (served from an origin treated as public),
through the extension, starts the host under Wine; "Scan to PDF" is pressed
and the virtual scanner delivers its pages; "Confirm and send" is pressed;
the PDF arrives in the page, which shows it and ends the host. Prints the
steps and every message of the host, and leaves a screenshot of the page.

Usage: main_job.py <screenshot.png>"""
import hashlib
import sys
import time
import urllib.parse

import harness
from harness import ChromiumRun, web_server


def main():
    shot = sys.argv[1]
    failures = []

    def check(ok, what):
        print(("ok: " if ok else "FAILED: ") + what)
        if not ok:
            failures.append(what)

    with web_server() as base, ChromiumRun(public_origin=urllib.parse.urlsplit(base).netloc) as run:
        def say(text):
            for line in run.browser.take_console():
                print(f"  {line}")
            print(text)

        url = f"{base}/sample/index.html"
        say(f"browser: opens {url} (a public origin to Chromium)")
        page = run.open(url)
        say('user: presses "Start scanning" on the page')
        started = time.monotonic()
        result = harness.scan_request(run, page, say)
        say(f"page: done after {time.monotonic() - started:.1f} s; its events:")
        for event in result["events"]:
            print(f"  {event}")
        pdf = result["pdf"]
        check(pdf.startswith(b"%PDF-"), f"the host assembled a PDF of {len(pdf)} bytes")
        check((result["size"], result["sha256"]) == (len(pdf), hashlib.sha256(pdf).hexdigest()),
              "the page's PDF is byte-equal to the host's")
        check(result["host_exit"] is not None, "the host exited after END")
        time.sleep(5)  # let the PDF viewer in the page draw
        page.screenshot(shot)
        print(f"screenshot: {shot}")
    print("scan request: " + ("complete" if not failures else f"{len(failures)} check(s) failed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
