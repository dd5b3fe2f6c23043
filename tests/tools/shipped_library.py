#!/usr/bin/env python3
"""Puts the DLL of the release zip where the Windows suites load it: brings the
release build up to date (it makes the zip), takes MQL5/Libraries/movu_mt5.dll
out of the zip (release_package checks the zip's SHA256SUMS) and writes it into
the test programs' folder. The suites then run on the bytes a user installs."""
import argparse
import hashlib
import os
import re
import subprocess
import sys
import zipfile

LIBRARY = "MQL5/Libraries/movu_mt5.dll"
# The suites talk only to this machine: a release made for the real service
# is not one they may load.
LOCAL_HOSTS = {"MOVU_PRIMARY_HOST": "127.0.0.1", "MOVU_SECONDARY_HOST": "localhost", "MOVU_SECONDARY_IPV4": "127.0.0.1"}


def cache_values(build_dir):
    values = {}
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as cache:
        for line in cache:
            if m := re.match(r"^(\w+):\w+=(.*)$", line.rstrip("\n")):
                values[m.group(1)] = m.group(2)
    return values


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--source", required=True, help="the source tree (its CMakePresets.json)")
    ap.add_argument("--preset", required=True, help="the release preset that makes the zip")
    ap.add_argument("--zip", required=True)
    ap.add_argument("--into", required=True, help="folder of the test programs")
    args = ap.parse_args()

    build_dir = os.path.join(args.source, "build", args.preset)
    steps = [] if os.path.exists(os.path.join(build_dir, "CMakeCache.txt")) else [["cmake", "--preset", args.preset]]
    steps.append(["cmake", "--build", "--preset", args.preset])
    for step in steps:
        done = subprocess.run(step, cwd=args.source, capture_output=True, text=True)
        if done.returncode != 0:
            print(done.stdout[-4000:], done.stderr[-4000:], sep="\n")
            print(f"shipped library: {' '.join(step)} failed ({done.returncode})")
            return 1
    foreign = {k: v for k, v in cache_values(build_dir).items() if k in LOCAL_HOSTS and v != LOCAL_HOSTS[k]}
    if foreign:
        print(f"shipped library: {build_dir} is built for other hosts ({foreign}); the suites load only a "
              f"release for this machine: reconfigure it with {LOCAL_HOSTS}")
        return 1

    with zipfile.ZipFile(args.zip) as z:
        data = z.read(LIBRARY)  # checked against its CRC
    digest = hashlib.sha256(data).hexdigest()
    target = os.path.join(args.into, os.path.basename(LIBRARY))
    os.makedirs(args.into, exist_ok=True)
    with open(target + ".partial", "wb") as out:
        out.write(data)
    os.replace(target + ".partial", target)
    print(f"shipped library: {args.zip}!{LIBRARY} (sha256 {digest}) -> {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
