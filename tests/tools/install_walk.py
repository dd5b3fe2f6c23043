#!/usr/bin/env python3
"""Installs the release zip as a user does and uses it, under Wine: unzips it
into a fresh folder shaped like a terminal's data folder (its path holds a
space and non-ASCII letters), starts movu-devserver.exe from where the zip put
it, runs movu.exe from where the zip put it (no --library: it finds
MQL5/Libraries/movu_mt5.dll itself), fetches the sample day synchronously and
as a background job, checks the README's journal lines against what the server
answers, and stops the server. The zip's contents (layout, SHA256SUMS) are
check_package.py's."""
import argparse
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

DAY, ACCOUNT = "2024-03-05", "5550123"
# Where a terminal keeps its data folder, for a user with a space and
# non-ASCII letters in the name.
DATA_FOLDER = ("Users", "Zoë Ørsted", "AppData", "Roaming", "MetaQuotes", "Terminal", "D0E8209F77C8CF37AD8BF550E51FF075")


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


class Walk:
    def __init__(self, wine):
        self.wine, self.fails = wine, []

    def check(self, ok, what):
        print(("ok    " if ok else "FAIL  ") + what, flush=True)
        if not ok:
            self.fails.append(what)
        return ok

    def run(self, program, *args, cwd):
        done = subprocess.run([self.wine, str(program), *args], cwd=cwd, capture_output=True, timeout=300,
                              encoding="utf-8", errors="replace")
        return done.returncode, done.stdout, done.stderr


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--zip", required=True)
    ap.add_argument("--wine", required=True, help="the script that runs a Windows program")
    ap.add_argument("--tmp", help="where the fresh folder is made")
    ap.add_argument("--version", required=True, help="the version the zip is of")
    args = ap.parse_args()
    walk = Walk(os.path.abspath(args.wine))

    with tempfile.TemporaryDirectory(prefix="install-walk-", dir=args.tmp and os.path.abspath(args.tmp)) as tmp:
        data = Path(tmp).joinpath(*DATA_FOLDER)
        # A terminal's data folder before the install: its MQL5 tree exists.
        for sub in ("Experts", "Indicators", "Include", "Libraries", "Scripts", "Files", "Logs"):
            (data / "MQL5" / sub).mkdir(parents=True)
        (data / "origin.txt").write_text("C:\\Program Files\\MetaTrader 5\n", encoding="utf-16")

        with zipfile.ZipFile(args.zip) as z:
            z.extractall(data)
        library, movu, server = data / "MQL5" / "Libraries" / "movu_mt5.dll", data / "movu.exe", data / "movu-devserver.exe"
        for f in (library, movu, server, data / "sample_calendar.json"):
            walk.check(f.is_file(), f"{f.relative_to(data)} is where the zip put it")
        if walk.fails:
            return 1

        port_file = data.parent / "devserver.port"
        log = open(data.parent / "devserver.log", "w+", encoding="utf-8", errors="replace")
        proc = subprocess.Popen([walk.wine, str(server), "--port", "0", "--port-file", windows_path(port_file)],
                                cwd=data, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 120
            while not port_file.exists() and proc.poll() is None and time.monotonic() < deadline:
                time.sleep(0.05)
            if not walk.check(port_file.exists(), "movu-devserver.exe starts on a port it chose"):
                log.seek(0)
                print(log.read())
                return 1
            port = int(port_file.read_text())
            base = f"http://127.0.0.1:{port}"
            common = ("--base-url", base, "--data-path", windows_path(data), "--account", ACCOUNT, "--raw", "--quiet")

            rc, out, err = walk.run(movu, "--version", cwd=data)
            walk.check(out.strip() == f"movu {args.version}", f"movu.exe --version says {out.strip()!r}")
            rc, sync, err = walk.run(movu, *common, "calendar-day", "--date", DAY, "--narrow", cwd=data)
            if walk.check(rc == 0, f"movu.exe finds its library and fetches {DAY} (exit {rc}) {err.strip()}"):
                day = json.loads(sync)
                walk.check(day.get("date") == DAY and day.get("count") == len(day.get("events", [])) > 0,
                           f"the day holds its events ({day.get('count')})")
            rc, out, err = walk.run(movu, *common, "start-calendar-day", "--date", DAY, "--wait", cwd=data)
            if walk.check(rc == 0, f"the same day as a background job (exit {rc}) {err.strip()}"):
                walk.check(out == sync, "the job's text is the synchronous call's, byte for byte")
            cache = list((data / "MQL4" / "Files" / "qz_movu").glob("token_*.dat"))
            walk.check(len(cache) == 1, f"the token is cached under the data folder ({len(cache)} file)")

            # The user's README shows the journal lines the examples print
            # against this server: the VIP status among them, as answered.
            rc, out, err = walk.run(movu, *common, "vip-status", cwd=data)
            vip = out.strip()
            readme = (data / "README.txt").read_text(encoding="utf-8") if (data / "README.txt").exists() else ""
            walk.check(rc == 0 and f"movu: vip status: HTTP 200: {vip}" in readme,
                       f"README.txt shows the VIP answer the server gives: {vip}")
        finally:
            proc.terminate()
            try:
                proc.wait(30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(30)
            log.close()
        try:
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
            walk.check(False, "movu-devserver.exe stopped: its port still answers")
        except OSError:
            walk.check(True, "movu-devserver.exe stopped: its port is closed")
        log_text = (data.parent / "devserver.log").read_text(encoding="utf-8", errors="replace")
        served = re.findall(r"GET /v1/calendar/day\.php\?date=" + DAY + r" 200", log_text)
        walk.check(len(served) == 2, f"the server's log shows the day served twice ({len(served)})")

    print(f"install walk: {'passed' if not walk.fails else str(len(walk.fails)) + ' failed'}")
    return 1 if walk.fails else 0


if __name__ == "__main__":
    sys.exit(main())
