#!/usr/bin/env python3
"""Holds every place that names the product's version to the one in CMake:
the examples' #property version, the client version the MQL5 kit sends, the
newest entry of CHANGELOG.md and what `movu --version` prints (the zip's name and the version resources are
checked with the package)."""
import argparse
import glob
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_exports import report  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--version", required=True, help="the version CMake holds")
    ap.add_argument("--source", required=True, help="the tree holding MQL5/")
    ap.add_argument("--movu", nargs="+", help="the command that runs movu (a wrapper first, if any)")
    args = ap.parse_args()
    want = args.version

    examples = []
    programs = sorted(p for top in ("Experts", "Indicators", "Scripts")
                      for p in glob.glob(os.path.join(args.source, "MQL5", top, "**", "*.mq5"), recursive=True))
    if not programs:
        examples.append("no example program under MQL5/Experts, MQL5/Indicators or MQL5/Scripts")
    for path in programs:
        found = re.findall(r'^#property\s+version\s+"([^"]*)"', open(path, encoding="utf-8").read(), re.M)
        if found != [want]:
            examples.append(f"{os.path.relpath(path, args.source)}: #property version {found or 'missing'}, not {want}")

    kit = os.path.join(args.source, "MQL5", "Include", "movu_mt5.mqh")
    found = re.findall(r'^#define\s+MOVU_CLIENT_VERSION\s+"([^"]*)"', open(kit, encoding="utf-8").read(), re.M)
    client = [] if found == [f"movu-mql5/{want}"] else [f"movu_mt5.mqh sends client version {found}, not movu-mql5/{want}"]

    log = os.path.join(args.source, "CHANGELOG.md")
    heads = re.findall(r"^## (\S+)", open(log, encoding="utf-8").read(), re.M) if os.path.exists(log) else []
    changes = [] if heads[:1] == [want] else [f"CHANGELOG.md: newest entry {heads[:1] or 'missing'}, not {want}"]

    host = []
    if args.movu:
        done = subprocess.run([*args.movu, "--version"], capture_output=True, text=True, timeout=120)
        if done.returncode != 0 or done.stdout.strip() != f"movu {want}":
            host.append(f"movu --version: exit {done.returncode}, {done.stdout.strip()!r} {done.stderr.strip()!r}, "
                        f"not 'movu {want}'")
    return report([("examples", examples), ("kit", client), ("changelog", changes), ("movu", host)])


if __name__ == "__main__":
    sys.exit(main())
