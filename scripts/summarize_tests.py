#!/usr/bin/env python3
"""Counts test cases over every configuration's results: each GoogleTest case
from its XML report, and every other ctest test as one case. Prints a line per
configuration and the total as "N passed, N failed"."""
import glob
import os
import sys
import xml.etree.ElementTree as ET


def cases(path):
    try:
        root = ET.parse(path).getroot()
    except (ET.ParseError, OSError):
        return None
    for tc in root.iter("testcase"):
        skipped = tc.find("skipped") is not None or tc.get("status") == "notrun" or tc.get("result") == "skipped"
        failed = tc.find("failure") is not None or tc.find("error") is not None
        yield tc.get("classname", "") + "." + tc.get("name", ""), ("skipped" if skipped else
                                                                   "failed" if failed else "passed")


def main():
    presets = [a for a in sys.argv[1:] if not a.startswith("--failed-step=")]
    steps = [a.split("=", 1)[1] for a in sys.argv[1:] if a.startswith("--failed-step=")]
    total = {"passed": 0, "failed": 0, "skipped": 0}
    for preset in presets:
        counts = {"passed": 0, "failed": 0, "skipped": 0}
        results = os.path.join("build", preset, "test-results")
        detailed = set()
        for xml in sorted(glob.glob(os.path.join(results, "*.xml"))):
            if xml.endswith("ctest.junit.xml"):
                continue
            got = list(cases(xml) or [])
            if got:
                detailed.add(os.path.basename(xml)[:-4])
            for name, state in got:
                counts[state] += 1
                if state == "failed":
                    print("  FAILED %s: %s" % (preset, name))
        junit = os.path.join(results, "ctest.junit.xml")
        for name, state in cases(junit) or []:
            test = name.split(".", 1)[-1]
            # A suite with its own report counts its cases; count it here only
            # when it failed as a whole (a crash, a sanitizer report at exit).
            if test in detailed and state != "failed":
                continue
            if test in detailed and state == "failed":
                print("  FAILED %s: %s (as a whole)" % (preset, test))
            counts[state] += 1
            if state == "failed" and test not in detailed:
                print("  FAILED %s: %s" % (preset, test))
        for step in steps:
            if step.startswith(preset + ":") and step != preset + ":test":
                counts["failed"] += 1
                print("  FAILED %s" % step)
        print("%-12s %d passed, %d failed, %d skipped" % (preset, counts["passed"], counts["failed"], counts["skipped"]))
        for k in total:
            total[k] += counts[k]
    print("%d passed, %d failed, %d skipped" % (total["passed"], total["failed"], total["skipped"]))
    return 1 if total["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
