"""The sample page in headless Chromium, through the extension, driving the
real host under Wine (started by the browser from its native messaging
manifest). The page is served from an origin Chromium treats as public."""
import unittest

import harness
from flows import SampleFlows
from harness import ChromiumRun, start_sample, text_of, wait_for, web_server


class ChromiumTest(SampleFlows, unittest.TestCase):
    Run = ChromiumRun

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.run_options = {"public_origin": cls.origin}

    def test_public_page_cannot_fetch_loopback_itself(self):
        # Why the extension fetches the document: a public page's own request
        # to a loopback port that any origin may read (as the share server
        # allows) is refused or held for a permission nobody grants here,
        # while the same page on a local origin reads it.
        fetch = """Promise.race([
            fetch("%s/sample/index.html").then((r) => "fetched " + r.status, (e) => "refused"),
            new Promise((resolve) => setTimeout(() => resolve("held"), 5000))])"""
        with web_server(any_origin=True) as local:
            for public, outcomes in ((True, ("refused", "held")), (False, ("fetched 200",))):
                options = {} if public else {"public_origin": None}
                with self.subTest(public=public), self.start(**options) as run:
                    page = run.open(self.sample)
                    self.assertIn(page.evaluate(fetch % local), outcomes)

    def test_closing_the_page_ends_the_host(self):
        with self.start() as run:
            page = run.open(self.sample)
            self.assertEqual(start_sample(page)[0], "scanning")
            (pid,) = run.hosts.pids()
            page.close()
            self.assertIsNotNone(run.hosts.wait_gone(pid, 3), "the host still runs 3 s after its page closed")

    def test_two_pages_get_two_hosts(self):
        with self.start() as run:
            pages = [run.open(self.sample) for _ in range(2)]
            for page in pages:
                page.evaluate('document.getElementById("start").click()')
            for page in pages:
                self.assertEqual(wait_for(page, f"{harness.PHASE} !== 'connecting' && {harness.PHASE}", 120),
                                 "scanning")
                self.assertTrue(text_of(page, "scan-id"))
            self.assertEqual(len(run.hosts.running()), 2)


if __name__ == "__main__":
    unittest.main()
