#!/usr/bin/env python3
"""Round-trip latency of IFSCANED with the host's window left idle: the peer
sends one command, waits for the reply, and repeats. Prints the median and
the 99th percentile, beside a minimal echo program under Wine (the floor). Run through bench/peer_latency.sh (builds, sets up Wine)."""
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from peerlib import Host  # noqa: E402


def measure(exe, rounds, pause, expect_exit_reply=True):
    host = Host(exe)
    try:
        host.send(b'{"POL":"IFSCANED"}')  # warm up: the window is up and idle
        host.read_frame(60)
        times = []
        for _ in range(rounds):
            if pause:
                time.sleep(pause)  # nothing else reaches the window meanwhile
            t0 = time.perf_counter()
            host.send(b'{"POL":"IFSCANED"}')
            host.read_frame(30)
            times.append((time.perf_counter() - t0) * 1000)
        host.send(b'{"POL":"END"}')
        if expect_exit_reply:
            host.read_frame(30)
        host.wait(30)
        return times
    finally:
        host.kill()


def report(name, times):
    times = sorted(times)
    p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
    print(f"{name}: n={len(times)} median={statistics.median(times):.3f} ms "
          f"p99={p99:.3f} ms max={times[-1]:.3f} ms")


def main():
    exe, echo = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    for name, pause in (("back-to-back", 0), ("after 20 ms idle", 0.02)):
        host = measure(exe, rounds, pause)
        floor = measure(echo, rounds, pause, expect_exit_reply=False)
        report(f"Skanowanie.exe, {name}", host)
        report(f"echo_host.exe (Wine pipe floor), {name}", floor)
        print(f"  median ratio host/floor: {statistics.median(host) / statistics.median(floor):.2f}")


if __name__ == "__main__":
    main()
