#!/usr/bin/env python3
"""A small scripted peer: starts the host under Wine, sends Init_SCAN,
IFSCANED and END, and prints every reply."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from peerlib import Host  # noqa: E402


def main():
    exe = sys.argv[1]
    host = Host(exe)
    try:
        for command in ('{"POL":"Init_SCAN","email":"biuro@example.com","serialnumber":"SN-1"}',
                        '{"POL":"IFSCANED"}',
                        '{"POL":"END"}'):
            print(f"peer -> host: {command}")
            host.send(command)
            raw, body = host.read_frame()
            print(f"host -> peer: [{len(body)} bytes] {body.decode('utf-8')}")
        code = host.wait()
        print(f"host exited with code {code}")
        return 0 if code == 0 else 1
    finally:
        host.kill()


if __name__ == "__main__":
    sys.exit(main())
