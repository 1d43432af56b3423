#!/usr/bin/env python3
"""Lists the tests that did not run, with why, from CTest's JUnit files (ctest --output-junit)
and from the verbose output of unittest runs; a skip that gives no reason says so.

Usage: skips.py FILE...   (prints nothing when nothing was skipped)
"""
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

# Where each kind of test gives its reason: GoogleTest's line after "file:line: Skipped",
# unittest's "... skipped 'why'", and the messages of the tests that only stand for a skip.
REASONS = [re.compile(r":\d+: Skipped\n(.+)"), re.compile(r"skipped '(.+)'"),
           re.compile(r"^((?:left out|not run): .+)$", re.M)]


def reasons(output):
    found = [m for pattern in REASONS for m in pattern.findall(output)]
    return sorted(set(found)) or ["(no reason given)"]


def main(files):
    lines = []
    for name in files:
        if name.endswith(".xml"):
            try:
                cases = ElementTree.parse(name).getroot().iter("testcase")
            except (OSError, ElementTree.ParseError) as e:
                lines.append("%s: unreadable (%s)" % (name, e))
                continue
            for case in cases:
                if case.find("skipped") is not None:
                    out = case.findtext("system-out") or ""
                    run = os.path.basename(name)[len("junit-"):-len(".xml")]  # which ctest run
                    lines += ["%s: %s: %s" % (run, case.get("name"), why) for why in reasons(out)]
        else:  # a unittest run's verbose output
            try:
                with open(name) as f:
                    text = f.read()
            except OSError as e:
                lines.append("%s: unreadable (%s)" % (name, e))
                continue
            lines += ["%s: %s" % m for m in re.findall(r"^\s*(\S+) .*\.\.\. skipped '(.+)'$", text, re.M)]
    for line in lines:
        print("  " + line)


if __name__ == "__main__":
    main(sys.argv[1:])
