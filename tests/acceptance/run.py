#!/usr/bin/env python3
"""Runs one topic of the acceptance tests against the built particion.

Usage: run.py PATH_TO_PARTICION TOPIC [--sanitized] [--windows EMULATOR]
              [unittest options, such as a class or test name]

TOPIC names a test_TOPIC.py file beside this one: dialogue, failures, pair,
sources, links, large, windows. With --windows the program is a Windows build
run through EMULATOR (Wine): only the cases that hold on Windows run, with
its line ends and generator. PARTICION_TRIALS=F in the environment scales
every repeated case's number of trials by F (0.2 for a quick look, 5 for a
long soak).

Exits 0 when every case that holds on the platform passed, 1 when one
failed, and SKIPPED when none failed but one could not run here (a tool it
needs is missing): the test command reports the topic as skipped, never as
passed.
"""

import argparse
import importlib
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402 (found beside this file)

SKIPPED = 77
# Why a case is left out where it does not hold: not a skip of what it
# tests.
ELSEWHERE = ("POSIX only", "not a Windows build")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("program", help="the built particion")
    parser.add_argument("topic", help="which test_TOPIC.py to run")
    parser.add_argument("--sanitized", action="store_true",
                        help="a sanitized build: no valgrind, no address "
                        "space limits")
    parser.add_argument("--windows", metavar="EMULATOR",
                        help="a Windows build, run through EMULATOR")
    args, rest = parser.parse_known_args()
    # The cases expect the system's reasons in English, as the C library
    # gives them without a language: whatever language the person running
    # the tests has, the program runs without one (a case that wants one
    # sets it).
    for key in [k for k in os.environ
                if k.startswith("LC_") or k == "LANGUAGE"]:
        del os.environ[key]
    os.environ["LANG"] = "C.UTF-8"
    harness.RUN.program = os.path.abspath(args.program)
    harness.RUN.runner = [harness.RUN.program]
    harness.RUN.sanitized = args.sanitized
    if args.windows:
        harness.RUN.runner = [args.windows, harness.RUN.program]
        # Wine's first program starts its background services, which keep
        # whatever output they inherit open: start them here, detached, so
        # that no test waits on them.
        subprocess.run([args.windows, "wineboot", "--init"],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, start_new_session=True,
                       timeout=300, check=False)
    module = importlib.import_module("test_" + args.topic)
    result = unittest.main(module=module, argv=[sys.argv[0]] + rest,
                           verbosity=2, exit=False).result
    skipped = [(case.id(), why) for case, why in result.skipped
               if why not in ELSEWHERE]
    for name, why in skipped:
        print("skipped: %s: %s" % (name, why))
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(SKIPPED if skipped else 0)


if __name__ == "__main__":
    main()
