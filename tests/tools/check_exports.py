#!/usr/bin/env python3
"""Compares the export table of the built library with the public header and
with the full list of the library's exports.

The header must declare only names of the full list; the binary must export
exactly the names the header declares, nothing more (no C++ runtime symbols,
no internal functions)."""
import argparse
import re
import subprocess
import sys
from xml.sax.saxutils import escape

# The library's complete interface.
ALL_EXPORTS = {
    "Movu_SetBaseUrl", "Movu_SetBaseUrlA", "Movu_SetBaseUrls", "Movu_SetBaseUrlsA",
    "Movu_SetProductSecret", "Movu_SetProductSecretA", "Movu_SetTerminalDataPath",
    "Movu_SetTerminalDataPathA",
    "Movu_CalendarDay", "Movu_CalendarDayA", "Movu_CalendarMeta", "Movu_CalendarMetaA",
    "Movu_CalendarChanges", "Movu_CalendarChangesA",
    "Movu_Heartbeat", "Movu_HeartbeatA", "Movu_VipStatus", "Movu_VipStatusA",
    "Movu_GetAsyncSignedA", "Movu_GetAsyncSignedW",
    "Movu_StartCalendarDayA", "Movu_StartCalendarDayW", "Movu_StartCalendarMetaA",
    "Movu_StartCalendarMetaW", "Movu_StartPingA", "Movu_StartPingW", "Movu_StartRegisterA",
    "Movu_StartRegisterW", "Movu_StartVipStatusA", "Movu_StartVipStatusW",
    "Movu_PollA", "Movu_Cancel",
    "Movu_ProtectTextW", "Movu_UnprotectTextW", "Movu_OpenUrl",
}


def header_names(path):
    text = open(path, encoding="utf-8").read()
    return re.findall(r"MOVU_CALL\s+(Movu_[A-Za-z0-9]+)\s*\(", text)


def dll_exports(binary, objdump):
    out = subprocess.run([objdump, "-p", binary], check=True, capture_output=True, text=True).stdout
    names, in_table = [], False
    for line in out.splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            in_table = True
            continue
        if in_table:
            m = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s*$", line)
            if m:
                names.append(m.group(1))
            elif line.strip() == "":
                in_table = False
    return names


def so_exports(binary, _objdump):
    out = subprocess.run(["nm", "-D", "--defined-only", binary], check=True, capture_output=True,
                         text=True).stdout
    return [line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--header", required=True)
    ap.add_argument("--binary", required=True)
    ap.add_argument("--objdump", default="objdump")
    ap.add_argument("--junit")
    args = ap.parse_args()

    failures = []
    declared = header_names(args.header)
    if len(set(declared)) != len(declared):
        failures.append("header declares a name twice")
    unknown = set(declared) - ALL_EXPORTS
    if unknown:
        failures.append("header declares names outside the interface: %s" % sorted(unknown))
    missing_decl = ALL_EXPORTS - set(declared)
    if missing_decl:
        failures.append("header lacks: %s" % sorted(missing_decl))

    if args.binary.lower().endswith(".dll"):
        exported = dll_exports(args.binary, args.objdump)
    else:
        exported = so_exports(args.binary, args.objdump)
    extra = sorted(set(exported) - set(declared))
    lacking = sorted(set(declared) - set(exported))
    if extra:
        failures.append("binary exports names the header does not declare: %s" % extra[:20])
    if lacking:
        failures.append("binary does not export: %s" % lacking)
    if not exported:
        failures.append("no export found in %s" % args.binary)

    if args.junit:
        with open(args.junit, "w", encoding="utf-8") as f:
            body = "".join('<failure message="%s"/>' % escape(x, {'"': "&quot;"}) for x in failures)
            f.write('<?xml version="1.0"?><testsuites tests="1" failures="%d"><testsuite name="exports" '
                    'tests="1" failures="%d"><testcase name="export_table">%s</testcase></testsuite>'
                    '</testsuites>\n' % (len(failures) > 0, len(failures) > 0, body))
    for f in failures:
        print("FAIL:", f)
    if failures:
        return 1
    print("export table matches the header: %d names" % len(exported))
    return 0


if __name__ == "__main__":
    sys.exit(main())
