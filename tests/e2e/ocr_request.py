#!/usr/bin/env python3
"""A scan request whose page carries a few lines of text, through the real
host and library under Wine: the virtual scanner delivers the page, the host
recognises it (languages pol+eng, named by Init_SCAN) and the PDF it makes
gives the text back to pdftotext, Polish letters included.
Usage: ocr_request.py <Skanowanie.exe> <winprobe.exe> <press-scan script> <page.txt>"""
import os
import subprocess
import sys
import time
import unicodedata

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
from peer import Peer, unix_path  # noqa: E402


def letters(text):
    return " ".join(unicodedata.normalize("NFC", text).split())


def error_rate(truth, read):
    a, b = letters(truth), letters(read)
    row = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        diagonal, row[0] = row[0], i
        for j in range(1, len(b) + 1):
            up = row[j]
            row[j] = min(row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1]))
            diagonal = up
    return row[len(b)] / max(len(a), 1)


def main():
    exe, probe, press_scan, truth_file = sys.argv[1:5]
    truth = open(truth_file, encoding="utf-8").read()
    peer = Peer(exe, probe)
    failures = []

    def check(ok, what):
        print(("ok: " if ok else "FAILED: ") + what)
        if not ok:
            failures.append(what)

    try:
        peer.window("wait")
        peer.ask('{"POL":"Init_SCAN","email":"biuro@example.com","serialnumber":"SN-1","languages":"pol+eng"}')
        subprocess.run([press_scan], check=True, stdin=subprocess.DEVNULL, timeout=120)
        status = ""
        deadline = time.monotonic() + 400
        while time.monotonic() < deadline:
            status = peer.ask('{"POL":"IFSCANED"}')
            if "Redy_SCAN" in status:
                break
            time.sleep(1)
        check("Redy_SCAN" in status, "status reaches Redy_SCAN")
        log = [line for line in peer.window("log").split("\r\n") if line]
        print("host log:\n  " + "\n  ".join(log))
        check("languages: pol+eng" in log, "the host took the languages")
        check(not any(line.startswith("ocr:") for line in log), "no page went without text")
        pdf_lines = [line for line in log if line.lower().endswith(".pdf")]
        pdf = unix_path(pdf_lines[-1]) if pdf_lines else ""
        check(bool(pdf) and os.path.exists(pdf), f"the PDF exists: {pdf}")
        if pdf and os.path.exists(pdf):
            text = subprocess.run(["pdftotext", "-f", "1", "-l", "1", "-enc", "UTF-8", pdf, "-"],
                                  capture_output=True, check=True).stdout.decode("utf-8")
            print("pdftotext:\n" + text)
            cer = error_rate(truth, text)
            print(f"character error rate: {cer:.2%}")
            check(cer <= 0.01, "the page's text comes back from the PDF within 1%")
            check("złożony" in text and "Łodzi" in text, "words with Polish letters are found on page 1")
        peer.ask('{"POL":"END"}')
        code = peer.host.wait(60)
        check(code == 0, f"host exited with code {code}")
    finally:
        peer.host.kill()
    print("OCR request: " + ("complete" if not failures else f"{len(failures)} check(s) failed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
