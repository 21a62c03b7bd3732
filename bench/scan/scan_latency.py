"""One scan request per run against the host under Wine, with the virtual
scanner installed unattended: the time from the batch's end (message 5, which
scan completion sends before anything else) to the answer "Redy_SCAN" to an
IFSCANED sent at once (the host takes it only after completion is done), and
the host process's peak resident memory.
Usage: scan_latency.py <Skanowanie.exe> <winprobe.exe> <press-scan script> <runs>"""
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))
from peerlib import Host, wine_env  # noqa: E402


def peak_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def one_run(exe, probe, press_scan):
    host = Host(exe)
    try:
        subprocess.run(["wine", probe, "wait"], env=wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300, check=True)
        host.send('{"POL":"Init_SCAN","email":"a@example.com","serialnumber":"SN-1"}')
        host.read_frame(120)
        subprocess.run([press_scan], check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=300)
        peak = 0
        while True:  # pages arrive; message 5 marks the batch's end
            try:
                _, body = host.read_frame(1)
                break
            except TimeoutError:
                peak = max(peak, peak_kb(host.proc.pid))
        end = time.monotonic()
        assert "przygotowuj" in body.decode("utf-8"), body
        host.read_frame(60)  # message 6
        host.send('{"POL":"IFSCANED"}')
        _, status = host.read_frame(600)
        ready = time.monotonic() - end
        assert b"Redy_SCAN" in status, status
        peak = max(peak, peak_kb(host.proc.pid))
        host.send('{"POL":"END"}')
        host.read_frame(60)
        host.wait(60)
        return ready, peak
    finally:
        host.kill()


def main():
    exe, probe, press_scan, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    results = [one_run(exe, probe, press_scan) for _ in range(runs)]
    for ready, peak in results:
        print(f"run: batch end to Redy_SCAN {ready:.3f} s, peak resident {peak / 1024:.0f} MB")
    print(f"median: batch end to Redy_SCAN {statistics.median(r for r, _ in results):.3f} s, "
          f"peak resident {statistics.median(p for _, p in results) / 1024:.0f} MB")


main()
