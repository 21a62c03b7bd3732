"""The browser flows in headless Firefox, through the Firefox build of the
extension (installed as a temporary add-on), driving the real host under
Wine, from a page origin Firefox treats as public. Firefox reports a clean
disconnect even when a host never started, so the library decides from the
host's replies, which these tests check."""
import unittest

from flows import SampleFlows
from harness import FirefoxRun


class FirefoxTest(SampleFlows, unittest.TestCase):
    Run = FirefoxRun


if __name__ == "__main__":
    unittest.main()
