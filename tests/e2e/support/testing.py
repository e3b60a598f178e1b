"""unittest glue for the end-to-end scripts: the --binary argument, fixtures whose clean-up is
registered with the test, and visible skips.

    class MyTests(support.testing.TestCase):
        def test_x(self):
            server = self.use(support.Server(self.binary))
            sink = self.use(support.SmtpSink())

    if __name__ == "__main__":
        support.testing.main()
"""
import argparse
import os
import signal
import sys
import unittest

from .net import PeerUnavailable


class TestCase(unittest.TestCase):
    binary = None  # set by main() from --binary

    def use(self, fixture):
        """Starts a fixture (anything with __enter__/__exit__) and stops it when the test ends,
        passed or failed. A peer that cannot run on this machine skips the test, with its reason."""
        try:
            value = fixture.__enter__()
        except PeerUnavailable as e:
            self.skipTest("%s: %s" % (type(fixture).__name__, e))
        self.addCleanup(fixture.__exit__, None, None, None)
        return value

    def need_binary(self):
        if not self.binary:
            self.fail("run with --binary <path to tovenmarsh>")
        return self.binary


def main(argv=None):
    """Parses --binary (unknown arguments are handed to unittest or ignored), runs the tests of
    __main__ and prints one "skipped: ..." line per skipped test, so no skip goes unseen."""
    # A run ended from outside (CTest's time limit, a terminal closing) still stops every peer:
    # unittest lets KeyboardInterrupt through, and the harness's exit hooks stop what is left.
    def interrupted(number, frame):
        raise KeyboardInterrupt("signal %d" % number)
    for signo in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signo, interrupted)
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--binary")
    args, rest = parser.parse_known_args(sys.argv[1:] if argv is None else argv)
    TestCase.binary = os.path.abspath(args.binary) if args.binary else None
    # Test names of this script ("Class" or "Class.test_x") and -k patterns go to unittest;
    # anything else (options of other runners) is ignored.
    module = sys.modules["__main__"]
    known, it = [], iter(rest)
    for a in it:
        if a == "-k":
            known += [a, next(it, "")]
        elif a in ("-f", "--failfast"):
            known.append(a)
        elif not a.startswith("-") and hasattr(module, a.split(".")[0]):
            known.append(a)
    program = unittest.main(module="__main__", argv=[sys.argv[0], *known], verbosity=2, exit=False)
    result = program.result
    for test, reason in result.skipped:
        print("skipped: %s: %s" % (test.id(), reason))
    sys.exit(0 if result.wasSuccessful() else 1)
