"""The browser flows in headless Chromium, through the extension, driving the
real host under Wine (started by the browser from its native messaging
manifest), from a page origin Chromium treats as public; and what only
Chromium shows."""
import json
import os
import tempfile
import unittest

import harness
from flows import SampleFlows
from harness import ChromiumRun, click_on, start_sample, text_of, wait_for, web_server

# A host whose input closes ends within this time; measured under qemu and
# load at up to 2.6 s, so the bound leaves room and the time is reported.
HOST_END_LIMIT_S = 10


class ChromiumTest(SampleFlows, unittest.TestCase):
    Run = ChromiumRun

    def test_public_page_cannot_fetch_loopback_itself(self):
        # Why the extension fetches the document: a public page's own request
        # to a loopback port is refused (or held for a permission nobody
        # grants here), while the same page on a local origin reads it.
        fetch = """Promise.race([
            fetch("%s/sample/index.html").then((r) => "fetched " + r.status, (e) => "refused"),
            new Promise((resolve) => setTimeout(() => resolve("held"), 5000))])"""
        with web_server(any_origin=True) as local:
            with self.start(public=False) as run:
                self.assertEqual(run.open(self.sample).evaluate(fetch % local), "fetched 200")
            with self.start() as run:
                outcome = run.open(self.sample).evaluate(fetch % local)
                if outcome == "held":
                    self.skipTest("Chromium held the public page's request for a permission prompt, "
                                  "so this run cannot tell whether it would have been refused")
                self.assertEqual(outcome, "refused")

    def test_closing_the_page_ends_the_host(self):
        with self.start() as run:
            page = run.open(self.sample)
            self.assertEqual(start_sample(page, run=run)[0], "scanning")
            (pid,) = run.hosts.pids()
            page.close()
            took = run.hosts.wait_gone(pid, HOST_END_LIMIT_S)
            self.assertIsNotNone(took, f"the host still runs {HOST_END_LIMIT_S} s after its page closed")
            print(f"the host ended {took:.2f} s after its page closed")

    def test_administrators_lists_decide_without_a_prompt(self):
        # Chromium reads an extension's managed storage from the machine's
        # policy files (Firefox only outside automation: its policies.json).
        folder = "/etc/chromium/policies/managed"
        try:
            os.makedirs(folder, exist_ok=True)
            policy = tempfile.NamedTemporaryFile("w", suffix=".json", prefix="skanowanie-test-", dir=folder,
                                                 delete=False)
        except OSError as e:
            self.skipTest(f"cannot write Chromium's machine policy ({e}); needs root")
        try:
            with web_server() as blocked:
                with policy:
                    json.dump({"3rdparty": {"extensions": {harness.CHROMIUM_EXTENSION_ID: {
                        "allowedOrigins": [self.base], "blockedOrigins": [blocked]}}}}, policy)
                with self.start(also_public=[blocked]) as run:
                    for url, expected in ((self.base, "connected"), (blocked, "PERMISSION_DENIED")):
                        with self.subTest(url):
                            page = self.open_lab(run, f"{url}/tests/pages/lab.html")
                            self.assertEqual(self.lab_connect(run, page, timeout=30), expected)
                            self.assertEqual(run.prompts(), [], "the administrator's list decides without asking")
        finally:
            os.remove(policy.name)

    def test_two_pages_get_two_hosts(self):
        with self.start() as run:
            pages = [run.open(self.sample) for _ in range(2)]
            # Each page's request has a prompt of its own, answered in turn
            # (a click reaches a tab only while no prompt window is in front).
            for page in pages:
                click_on(page, "start")
                run.answer_prompt("once")
            for page in pages:
                self.assertEqual(wait_for(page, f"{harness.PHASE} !== 'connecting' && {harness.PHASE}", 120),
                                 "scanning")
                self.assertTrue(text_of(page, "scan-id"))
            self.assertEqual(len(run.hosts.running()), 2)


if __name__ == "__main__":
    unittest.main()
