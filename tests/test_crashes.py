"""Every child-interpreter crash scenario of tests/crashes.py ends normally and prints what its table row says."""
import unittest

import crashes
import support


@unittest.skipUnless(support.NATIVE, "the scenarios are the extension's")
class Crashes(unittest.TestCase):
    def test_scenarios(self):
        for name in crashes.SCENARIOS:
            if crashes.skipped(name):
                continue
            with self.subTest(name):
                (rc, out, err), expected = crashes.run(name)
                self.assertEqual((rc, out), (0, expected), err)


if __name__ == "__main__":
    unittest.main()
