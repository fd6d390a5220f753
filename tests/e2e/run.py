#!/usr/bin/env python3
"""Runs the end-to-end tests against one build of the tool."""
import argparse
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--native", action="store_true")
    mode.add_argument("--wine", action="store_true")
    parser.add_argument("--exe", required=True)
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("-k", dest="pattern", default=None, help="run tests matching this")
    parser.add_argument("modules", nargs="*", help="modules to run (test_crash, ...); all if none")
    args = parser.parse_args()
    harness.CONFIG.update(mode="wine" if args.wine else "native", exe=os.path.abspath(args.exe),
                          bin_dir=os.path.abspath(args.bin_dir))
    here = os.path.dirname(os.path.abspath(__file__))
    loader = unittest.TestLoader()
    if args.pattern:
        loader.testNamePatterns = ["*%s*" % args.pattern]
    if args.modules:
        suite = loader.loadTestsFromNames(os.path.splitext(m)[0] for m in args.modules)
    else:
        suite = loader.discover(here, pattern="test_*.py", top_level_dir=here)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    failed = len(result.failures) + len(result.errors)
    passed = result.testsRun - failed - len(result.skipped)
    print("e2e: %d passed, %d failed, %d skipped" % (passed, failed, len(result.skipped)))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
