"""Run every tests/test_*.py suite and end with 'N passed, N failed'."""
import os
import sys
import unittest


class Result(unittest.TextTestResult):
    """Counts passes itself: testsRun leaves out decorator-skipped tests on some 3.12 releases."""

    passed = 0

    def addSuccess(self, test):
        super().addSuccess(test)
        self.passed += 1

    def addExpectedFailure(self, test, err):
        super().addExpectedFailure(test, err)
        self.passed += 1


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, here)
    pattern = argv[1] if len(argv) > 1 else "test_*.py"
    suite = unittest.defaultTestLoader.discover(here, pattern=pattern, top_level_dir=here)
    result = unittest.TextTestRunner(verbosity=1, stream=sys.stderr, resultclass=Result).run(suite)
    bad = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.passed
    sys.stdout.flush()
    print("%d passed, %d failed, %d skipped" % (passed, bad, skipped))
    return 1 if bad or passed + skipped == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
