#!/usr/bin/env python3
"""Checks the Windows release zip: the terminal's data-folder layout with every
kit file in its place and identical to the source, SHA256SUMS listing every
file with its right hash, binaries stripped, carrying a version resource and
(the DLL) exporting exactly the header's names, holding nothing of the test
hooks, and the debug symbols beside the zip."""
import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_exports import differ, exports, header, report  # noqa: E402


# What the test hooks leave in a binary: the names they read from the
# environment and the paths they answer. A shipped binary holds none of them.
HOOK_MARKS = (b"MOVU_TEST_", b"/movu-test/")


def hook_marks(data):
    """The hook marks in a binary, as 8-bit and as UTF-16 text."""
    return [m.decode() for m in HOOK_MARKS if m in data or m.decode().encode("utf-16-le") in data]


def sections(path, objdump):
    out = subprocess.run([objdump, "-h", path], capture_output=True, text=True, check=True).stdout
    return {line.split()[1] for line in out.splitlines() if line.strip()[:1].isdigit()}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--hooks-only", metavar="BINARY", help="check only that BINARY holds no test hook")
    ap.add_argument("--expect-hooks", action="store_true", help="with --hooks-only: BINARY must hold every hook")
    for option in ("--zip", "--symbols", "--source", "--header", "--version", "--objdump"):
        ap.add_argument(option)
    ap.add_argument("--devserver", action="store_true", help="movu-devserver.exe must be in the zip")
    args = ap.parse_args()
    if args.hooks_only:
        marks = hook_marks(open(args.hooks_only, "rb").read())
        if args.expect_hooks:  # the test library: every hook must be there
            fails = [f"{args.hooks_only} lacks the test hook mark {m.decode()}" for m in HOOK_MARKS
                     if m.decode() not in marks]
        else:
            fails = [f"{args.hooks_only} holds the test hook mark {m}" for m in marks]
        return report([("hooks", fails)])
    missing = [o for o in ("zip", "symbols", "source", "header", "version", "objdump") if not getattr(args, o)]
    if missing:
        ap.error("required: " + ", ".join("--" + o for o in missing))

    # Package path -> source path of everything copied from the tree.
    want = {p: p for p in ("CHANGELOG.md", "LICENSE", "include/movu_mt5.h")}
    want["README.txt"] = "package/README.txt"  # the user's, not the developers' README.md
    for top in ("MQL5/Include", "MQL5/Scripts", "MQL5/Experts", "MQL5/Indicators", "docs", "package/licenses"):
        for folder, _dirs, files in os.walk(os.path.join(args.source, top)):
            paths = (os.path.relpath(os.path.join(folder, f), args.source) for f in files)
            want.update({p.removeprefix("package/"): p for p in paths})
    binary = ["MQL5/Libraries/movu_mt5.dll", "movu.exe"] + ["movu-devserver.exe"] * args.devserver
    if args.devserver:  # the sample data it serves, for the user to edit
        want["sample_calendar.json"] = "tools/devserver/sample_calendar.json"
    # The licences of what is linked into the binaries: the C++ runtime,
    # winpthreads and the mingw-w64 start-up code in all three, Boost and
    # nlohmann-json in the tools.
    notices = {f"licenses/{n}.txt" for n in ("GCC-runtime", "winpthreads", "mingw-w64-runtime", "Boost", "nlohmann-json")}
    expected = set(want) | set(binary) | notices | {"SHA256SUMS"}

    binaries, symbols = [], []
    with zipfile.ZipFile(args.zip) as z, tempfile.TemporaryDirectory() as tmp:
        names = {n for n in z.namelist() if not n.endswith("/")}
        layout = [f"{n} is missing" for n in sorted(expected - names)]
        layout += [f"{n} is not expected in the package" for n in sorted(names - expected)]
        layout += [f"{n} is not the source's {p}" for n, p in sorted(want.items())
                   if n in names and z.read(n) != open(os.path.join(args.source, p), "rb").read()]
        if "README.txt" in names and b"scripts/" in z.read("README.txt"):
            layout.append("README.txt names scripts/ commands, which the zip does not hold")
        lines = z.read("SHA256SUMS").decode().splitlines() if "SHA256SUMS" in names else []
        listed = {path: digest for digest, _, path in (line.partition("  ") for line in lines)}
        sums = [f"{n} has no line in SHA256SUMS" for n in sorted(names - {"SHA256SUMS"} - set(listed))]
        sums += [f"SHA256SUMS: {p} does not match" for p, d in sorted(listed.items())
                 if p not in names or hashlib.sha256(z.read(p)).hexdigest() != d]
        for n in sorted(names & set(binary)):
            path = z.extract(n, tmp)
            data, found = open(path, "rb").read(), sections(path, args.objdump)
            binaries += [f"{n} still carries {s}" for s in sorted(found) if s.startswith(".debug")]
            binaries += [f"{n} has no version resource naming {k} {v}"
                         for k, v in (("ProductName", "movu_mt5"), ("ProductVersion", args.version))
                         if ".rsrc" not in found or not all(t.encode("utf-16-le") in data for t in (k, v))]
            binaries += [f"{n} holds the test hook mark {m}" for m in hook_marks(data)]
            if n.endswith(".dll"):
                binaries += differ("the packaged DLL", exports(path, args.objdump), set(header(args.header)))

    with zipfile.ZipFile(args.symbols) as z, tempfile.TemporaryDirectory() as tmp:
        for debug in (os.path.basename(n) + ".debug" for n in binary):
            if debug not in z.namelist():
                symbols.append(f"no {debug} beside the package")
            elif ".debug_info" not in sections(z.extract(debug, tmp), args.objdump):
                symbols.append(f"{debug} holds no debug information")
    return report([("layout", layout), ("checksums", sums), ("binaries", binaries), ("symbols", symbols)])


if __name__ == "__main__":
    sys.exit(main())
