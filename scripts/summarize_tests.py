#!/usr/bin/env python3
"""Counts test cases over every configuration's results: each GoogleTest case
from its XML report, and every other ctest test as one case. Prints a line per
configuration and the total as "N passed, N failed, N skipped".

A green total means every test ran:
- a test ctest could not start ("Not Run", a fixture that failed under it,
  "Disabled") is a failure, and so is a GoogleTest case that did not run;
- a configuration whose ctest run failed (--failed-step=PRESET:test) with no
  failing case found in its reports, or with no report at all, is a failure;
- with --strict (CI), a skipped case is a failure unless --allow-skip names it
  ("PRESET:Suite.Case|reason", the name may be an fnmatch pattern): the
  documented platform limits, printed with their reasons;
- fixture steps (ctest FIXTURES_SETUP/CLEANUP) are not counted as tests; one
  that failed is.
"""
import argparse
import fnmatch
import glob
import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

# ctest's own skips (SKIP_RETURN_CODE, SKIP_REGULAR_EXPRESSION); any other
# "notrun" is a test that could not be started.
CTEST_SKIP_MESSAGES = ("SKIP_RETURN_CODE", "SKIP_REGULAR_EXPRESSION")


def cases(path):
    """(name, state, why) of each testcase in a GoogleTest or ctest JUnit report; None if unreadable."""
    try:
        root = ET.parse(path).getroot()
    except (ET.ParseError, OSError):
        return None
    out = []
    for tc in root.iter("testcase"):
        name = tc.get("classname", "") + "." + tc.get("name", "")
        skipped = tc.find("skipped")
        why = skipped.get("message", "") if skipped is not None else ""
        status = tc.get("status")
        if tc.find("failure") is not None or tc.find("error") is not None or status == "fail":
            state = "failed"
        elif status == "disabled":
            state, why = "not run", "disabled"
        elif status == "notrun" and not why.startswith(CTEST_SKIP_MESSAGES):
            # ctest: not startable or a failed fixture; GoogleTest: a DISABLED_ case
            state, why = "not run", why or tc.get("result", "") or "not run"
        elif skipped is not None or tc.get("result") == "skipped":
            state = "skipped"
        else:
            state = "passed"
        out.append((name, state, why))
    return out


def fixture_steps(preset):
    """Names of the ctest tests of a build that set up or clean up a fixture."""
    try:
        listing = subprocess.run(["ctest", "--test-dir", os.path.join("build", preset), "--show-only=json-v1"],
                                 capture_output=True, text=True, check=True).stdout
        tests = json.loads(listing).get("tests", [])
    except (OSError, subprocess.CalledProcessError, ValueError):
        return set()
    steps = set()
    for t in tests:
        names = {p.get("name") for p in t.get("properties", [])}
        if names & {"FIXTURES_SETUP", "FIXTURES_CLEANUP"}:
            steps.add(t["name"])
    return steps


def allowed_reason(allow, preset, name):
    for entry in allow:
        pattern, _, reason = entry.partition("|")
        where, _, case = pattern.partition(":")
        if fnmatch.fnmatchcase(preset, where) and fnmatch.fnmatchcase(name, case):
            return reason or "(no reason given)"
    return None


def summarize(preset, steps, allow, strict):
    counts = {"passed": 0, "failed": 0, "skipped": 0}

    def fail(text):
        counts["failed"] += 1
        print("  FAILED %s: %s" % (preset, text))

    def count(name, state, why):
        if state == "passed":
            counts["passed"] += 1
        elif state == "failed":
            fail(name)
        elif state == "not run":
            fail("%s did not run (%s)" % (name, why))
        else:
            reason = allowed_reason(allow, preset, name)
            if strict and reason is None:
                fail("%s skipped under CI, not a documented platform limit (%s)" % (name, why))
            else:
                counts["skipped"] += 1
                print("  skipped %s: %s: %s" % (preset, name, reason or why))

    for step in steps:
        if step.startswith(preset + ":") and step != preset + ":test":
            fail(step)
    results = os.path.join("build", preset, "test-results")
    junit = os.path.join(results, "ctest.junit.xml")
    ran = cases(junit)
    if any(s.startswith(preset + ":") for s in steps if s != preset + ":test") and ran is None:
        return counts  # never built: nothing ran, and that is counted above
    detailed = set()
    for xml in sorted(glob.glob(os.path.join(results, "*.xml"))):
        if xml == junit:
            continue
        got = cases(xml) or []
        if got:
            detailed.add(os.path.basename(xml)[:-4])
        for name, state, why in got:
            count(name, state, why)
    if ran is None:
        fail("no ctest report (%s)" % junit)
    fixtures = fixture_steps(preset)
    for name, state, why in ran or []:
        test = name.split(".", 1)[-1]
        # A fixture step is no test of its own; it counts only when it failed.
        if test in fixtures and state != "failed":
            continue
        # A suite with its own report counts its cases; count it here only
        # when it failed or did not run as a whole (a crash, a sanitizer
        # report at exit, a program that could not be started).
        if test in detailed and state in ("passed", "skipped"):
            continue
        count(test + (" (as a whole)" if test in detailed else ""), state, why)
    if preset + ":test" in steps and counts["failed"] == 0:
        fail("ctest reported a failure that no report shows (see build/%s)" % preset)
    return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("presets", nargs="*")
    parser.add_argument("--failed-step", action="append", default=[], help="PRESET:STEP that failed")
    parser.add_argument("--allow-skip", action="append", default=[], help="PRESET:Suite.Case|reason")
    parser.add_argument("--strict", action="store_true", help="a skip not allowed is a failure (CI)")
    args = parser.parse_args()
    total = {"passed": 0, "failed": 0, "skipped": 0}
    for preset in args.presets:
        counts = summarize(preset, set(args.failed_step), args.allow_skip, args.strict)
        print("%-12s %d passed, %d failed, %d skipped" % (preset, counts["passed"], counts["failed"],
                                                            counts["skipped"]))
        for k in total:
            total[k] += counts[k]
    print("%d passed, %d failed, %d skipped" % (total["passed"], total["failed"], total["skipped"]))
    return 1 if total["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
