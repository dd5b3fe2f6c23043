#!/usr/bin/env python3
"""Checks the Windows release zip: the terminal's data-folder layout with every
kit file in its place and identical to the source, SHA256SUMS listing every
file with its right hash, binaries stripped, carrying a version resource and
(the DLL) exporting exactly the header's names, and the debug symbols beside
the zip. Each group of checks is one testcase of the JUnit report."""
import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_exports  # noqa: E402
from check_mqh import write_junit  # noqa: E402


def sections(path, objdump):
    out = subprocess.run([objdump, "-h", path], capture_output=True, text=True, check=True).stdout
    return {line.split()[1] for line in out.splitlines() if line.strip()[:1].isdigit()}


def source_files(source):
    """Package path -> source path of everything copied from the tree."""
    want = {"README.md": "README.md", "LICENSE": "LICENSE", "include/movu_mt5.h": "include/movu_mt5.h"}
    for top in ("MQL5/Include", "MQL5/Scripts", "MQL5/Experts", "MQL5/Indicators", "docs"):
        for folder, _dirs, names in os.walk(os.path.join(source, top)):
            for n in names:
                rel = os.path.relpath(os.path.join(folder, n), source).replace(os.sep, "/")
                want[rel] = rel
    return want


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--zip", required=True)
    ap.add_argument("--symbols", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--header", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--devserver", action="store_true", help="movu-devserver.exe must be in the zip")
    ap.add_argument("--junit")
    args = ap.parse_args()

    layout, sums, binaries, symbols = [], [], [], []
    with zipfile.ZipFile(args.zip) as z, tempfile.TemporaryDirectory() as tmp:
        names = {n for n in z.namelist() if not n.endswith("/")}
        binary = ["MQL5/Libraries/movu_mt5.dll", "movu.exe"] + (["movu-devserver.exe"] if args.devserver else [])
        want = source_files(args.source)
        if args.devserver:  # the sample data it serves, for the user to edit
            want["sample_calendar.json"] = "tools/devserver/sample_calendar.json"
        layout += ["%s is missing" % n for n in sorted(set(want) | set(binary) | {"SHA256SUMS"}) if n not in names]
        layout += ["%s is not the source's %s" % (n, p) for n, p in sorted(want.items())
                   if n in names and z.read(n) != open(os.path.join(args.source, p), "rb").read()]
        layout += ["%s is not expected in the package" % n for n in sorted(names - set(want) - set(binary)
                   - {"SHA256SUMS", "movu-devserver.exe"})]

        listed = {}
        for line in z.read("SHA256SUMS").decode().splitlines() if "SHA256SUMS" in names else []:
            digest, _, path = line.partition("  ")
            listed[path] = digest
        sums += ["%s has no line in SHA256SUMS" % n for n in sorted(names - {"SHA256SUMS"} - set(listed))]
        sums += ["SHA256SUMS: %s does not match" % p for p, d in sorted(listed.items())
                 if p not in names or hashlib.sha256(z.read(p)).hexdigest() != d]

        utf16 = lambda s: s.encode("utf-16-le")
        for n in binary:
            if n not in names:
                continue
            path = z.extract(n, tmp)
            data = open(path, "rb").read()
            found = sections(path, args.objdump)
            binaries += ["%s still carries debug information (%s)" % (n, ", ".join(sorted(s for s in found if s.startswith(".debug"))))
                         for _ in [0] if any(s.startswith(".debug") for s in found)]
            binaries += ["%s has no version resource naming %s %s" % (n, k, v)
                         for k, v in (("ProductName", "movu_mt5"), ("ProductVersion", args.version))
                         if utf16(k) not in data or utf16(v) not in data or ".rsrc" not in found]
            if n.endswith(".dll"):
                exported = set(check_exports.dll_exports(path, args.objdump))
                wanted = set(check_exports.header_names(args.header))
                binaries += ["the packaged DLL exports %s, the header declares %s" % (
                    sorted(exported - wanted), sorted(wanted - exported))] if exported != wanted else []

    with zipfile.ZipFile(args.symbols) as z, tempfile.TemporaryDirectory() as tmp:
        for n in binary:
            debug = os.path.basename(n) + ".debug"
            if debug not in z.namelist():
                symbols.append("%s: no %s beside the package" % (n, debug))
            elif ".debug_info" not in sections(z.extract(debug, tmp), args.objdump):
                symbols.append("%s holds no debug information" % debug)

    groups = [("layout", layout), ("checksums", sums), ("binaries", binaries), ("symbols", symbols)]
    if args.junit:
        write_junit(args.junit, groups)
    for name, fails in groups:
        for f in fails:
            print("FAIL [%s] %s" % (name, f))
    bad = [n for n, f in groups if f]
    print("%s: %d files, %s" % (os.path.basename(args.zip), len(names), "groups failed: " + ", ".join(bad) if bad else "all groups passed"))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
