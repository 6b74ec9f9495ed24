"""Run every tests/test_*.py suite and end with 'N passed, N failed'."""
import os
import sys
import unittest


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, here)
    pattern = argv[1] if len(argv) > 1 else "test_*.py"
    suite = unittest.defaultTestLoader.discover(here, pattern=pattern, top_level_dir=here)
    result = unittest.TextTestRunner(verbosity=1, stream=sys.stderr).run(suite)
    bad = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.testsRun - bad - skipped
    sys.stdout.flush()
    print("%d passed, %d failed, %d skipped" % (passed, bad, skipped))
    return 1 if bad or result.testsRun == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
