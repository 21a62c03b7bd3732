"""The sample page's flows, run the same way in each browser."""
import hashlib
import os
import subprocess
import urllib.parse

import harness
from harness import start_sample, text_of, web_server


class SampleFlows:
    """Mixed into a unittest.TestCase whose `Run` starts one kind of browser."""

    Run = None
    run_options = {}

    @classmethod
    def setUpClass(cls):
        if harness.HOST_KIND == "wine":
            subprocess.run([os.path.join(harness.ROOT, "tools", "install-virtual-scanner.sh"), "--unattended",
                            "Pages=2", "PixelType=RGB", "Resolution=100"],
                           check=True, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=120)
        cls.server = web_server()
        cls.base = cls.server.__enter__()
        cls.origin = urllib.parse.urlsplit(cls.base).netloc
        cls.sample = f"{cls.base}/sample/index.html"

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)

    def start(self, **options):
        return self.Run(**{**self.run_options, **options})

    def test_scan_request_reaches_the_page(self):
        with self.start() as run:
            page = run.open(self.sample)
            result = harness.scan_request(run, page)
            self.assertTrue(result["pdf"].startswith(b"%PDF-"))
            self.assertEqual((len(result["pdf"]), hashlib.sha256(result["pdf"]).hexdigest()),
                             (result["size"], result["sha256"]), "the page's PDF equals the host's")
            self.assertIsNotNone(result["host_exit"], "the host exits after END")
            self.assertIn("Dokument zeskanowany, przygotowuję do wysyłki.", " ".join(result["events"]))

    def test_missing_parts_give_clear_errors(self):
        with self.subTest("no extension"), self.start(extension=False) as run:
            page = run.open(self.sample)
            self.assertEqual(start_sample(page, 60), ("error", "EXTENSION_MISSING"))
            self.assertIn("extension", text_of(page, "problem"))
        with self.start() as run:
            cases = [
                ("no host", None, "HOST_MISSING", "not installed"),
                ("host cannot start", run.hosts.manifest(run.kind, "/bin/false"), "HOST_FAILED", "did not start"),
            ]
            for name, manifest, code, advice in cases:
                with self.subTest(name):
                    run.set_manifest(manifest)
                    page = run.open(self.sample)
                    self.assertEqual(start_sample(page, 60), ("error", code))
                    self.assertIn(advice, text_of(page, "problem"))
