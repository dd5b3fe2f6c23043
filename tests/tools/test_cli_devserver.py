# movu-devserver's own behaviour and the movu host against it: natively (MOVU_DEVSERVER, MOVU_CLI,
# MOVU_CLI_LIBRARY), or movu.exe and movu-devserver.exe under Wine (MOVU_CLI_WINE, MOVU_DEVSERVER_EXE).
import calendar
import hashlib
import http.client
import json
import os
import re
import socket
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TMP_BASE, TUESDAY, WINE = os.environ.get("MOVU_TEST_TMP") or None, "2024-03-05", os.environ.get("MOVU_CLI_WINE")
# Under Wine, movu-devserver.exe; it cannot watch a Linux process.
NATIVE_DEVSERVER = os.environ.get("MOVU_DEVSERVER") or str(ROOT / "build" / "native" / "bin" / "movu-devserver")
DEVSERVER = [WINE, os.environ.get("MOVU_DEVSERVER_EXE")] if WINE else [NATIVE_DEVSERVER, "--parent-pid", str(os.getpid())]


class DevServer:  # a movu-devserver on a free port, stopped on exit
    def __init__(self, *args):
        self.args = args

    def __enter__(self):
        self.dir = tempfile.TemporaryDirectory(prefix="devserver-", dir=TMP_BASE)
        port_file = Path(self.dir.name, "port")
        self.proc = subprocess.Popen([*DEVSERVER, "--port", "0", "--port-file", str(port_file), *self.args],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while not port_file.exists():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.__exit__()
                raise RuntimeError(f"devserver {self.args} did not start")
            time.sleep(0.05)
        self.port = int(port_file.read_text())
        self.base_url = f"http://127.0.0.1:{self.port}"
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(15)
        self.dir.cleanup()

    def request(self, method, target, headers={}, parse=json.loads):
        """(status, body, headers) of one exchange; the body parsed as JSON unless parse says otherwise."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        conn.request(method, target, headers=headers)
        response = conn.getresponse()
        return response.status, parse(response.read()), dict(response.getheaders())

    def call(self, method, target, headers={}):
        return self.request(method, target, headers)[:2]

    def auth(self, account, token=None):
        token = token or self.call("GET", "/v1/client/token.php", {"X-Account": account})[1]["token"]
        return {"Authorization": f"Bearer {token}", "X-Client-Token": token, "X-Account": account}

    def seen(self, since=0):
        return self.call("GET", f"/dev/requests?since={since}")[1]["requests"]

    def last_seq(self):
        return max((r["seq"] for r in self.seen()), default=0)


class DevServerTests(unittest.TestCase):
    def test_tokens_expire_per_account_and_bad_ones_get_401(self):
        with DevServer() as server, DevServer("--token-ttl", "0") as expiring:
            before = int(time.time())
            answer = server.call("GET", "/v1/client/token.php", {"X-Account": "1001"})[1]
            expires = calendar.timegm(time.strptime(answer["expires_at"], "%Y-%m-%dT%H:%M:%SZ"))
            self.assertTrue(before + 3600 <= expires <= time.time() + 3601, answer["expires_at"])
            revoked = server.auth("1002")
            server.call("POST", "/dev/revoke")
            good = server.auth("1001")  # revoking must not spoil tokens handed out later
            token = good["X-Client-Token"]
            self.assertNotEqual(answer["token"], token, "every request gets its own token")
            cases = [  # (name, server, headers, note in the request log or None)
                ("no token", server, {"X-Account": "1001"}, None),
                ("unknown token", server, server.auth("1001", "dev-unknown"), None),
                ("another account's token", server, {**good, "X-Account": "1002"}, None),
                ("X-Client-Token differs", server, {**good, "X-Client-Token": token + "x"}, None),
                ("revoked token", server, revoked, "revoked token"),
                ("expired token", expiring, expiring.auth("9001"), "expired token"),
            ]
            for name, srv, headers, note in cases:
                with self.subTest(name):
                    mark = srv.last_seq()
                    self.assertEqual(srv.call("GET", "/v1/client/ping.php", headers),
                                     (401, {"ok": False, "error": "UNAUTHORIZED"}))
                    if note:
                        self.assertEqual([r["note"] for r in srv.seen(mark)][:1], [note])
            self.assertEqual(server.call("GET", "/v1/client/ping.php", good)[0], 200)

    def test_sample_data_and_fault_mode(self):
        with DevServer() as server:  # sample data says so, down to each event's title
            day = server.call("GET", f"/v1/calendar/day.php?date={TUESDAY}", server.auth("4001"))[1]
            self.assertTrue(day["sample"] and day["count"] > 0, day)
            self.assertTrue(all(e["sample"] and e["title"].startswith("Sample ") for e in day["events"]), day)
        # (arguments, (status, Retry-After) seen over 30 token requests); HostTests meets 503 alone and drop
        faults = [(("--fault-rate", "1", "--faults", "429,500", "--fault-seed", "7"), {(429, "1"), (500, None)}),
            (("--fault-rate", "0", "--faults", "500"), {(200, None)}),
        ]
        for args, expected in faults:
            with self.subTest(args=args), DevServer(*args) as server:
                seen = set()
                for _ in range(30):
                    try:
                        status, _, headers = server.request("GET", "/v1/client/token.php", {"X-Account": "1"}, bytes)
                    except (http.client.RemoteDisconnected, ConnectionError):
                        status, headers = "dropped", {}
                    seen.add((status, headers.get("Retry-After")))
                self.assertEqual(seen, expected)
                self.assertEqual(server.call("GET", "/dev/requests")[0], 200, "control endpoints are never faulted")


class HostCase(unittest.TestCase):
    server = ()  # arguments of the class's movu-devserver

    @classmethod
    def setUpClass(cls):
        if not os.environ.get("MOVU_CLI") or bool(WINE) != cls.under_wine:
            raise unittest.SkipTest("MOVU_CLI (path of movu) is not set, or MOVU_CLI_WINE is not as this case needs")
        cls.server = cls.enterClassContext(DevServer(*cls.server))
        cls.tmp = Path(cls.enterClassContext(tempfile.TemporaryDirectory(prefix="movu-cli-", dir=TMP_BASE)))

    def movu(self, *args, settings=True, library=None):
        pre = ["--base-url", self.server.base_url] if settings else []
        if library := library or os.environ.get("MOVU_CLI_LIBRARY"):
            pre = ["--library", library, *pre]
        return subprocess.run([*[WINE] * self.under_wine, os.environ["MOVU_CLI"], *pre, *args], capture_output=True,
                              timeout=300, encoding="utf-8", errors="replace")

    def ok(self, *args, **kw):
        done = self.movu(*args, **kw)
        self.assertEqual(done.returncode, 0, f"movu {' '.join(args)}:\n{done.stdout}\n{done.stderr}")
        return done.stdout


class HostTests(HostCase):
    under_wine = False

    def test_each_command_line_gives_its_exit_code_and_report(self):
        account = f"codes-{os.getpid()}"
        with socket.socket() as probe:  # a port of ours, closed again: nothing listens there
            probe.bind(("127.0.0.1", 0))
            closed = "http://127.0.0.1:%d" % probe.getsockname()[1]
        missing = str(self.tmp / "nowhere" / "libmovu_mt5.so")
        at = {f: self.enterContext(DevServer(*a)).base_url for f, a in [("expired", ("--token-ttl", "0"))] + [
            (f, ("--fault-rate", "1", "--faults", f)) for f in ("429", "503", "drop")]}
        # A bad command line runs nothing and exits with 2.
        cases = [(args, 2, "", message, {}) for args, message in (
            ((), "no command given"), (("frobnicate",), "unknown command 'frobnicate'"), (("poll",), "'poll' needs --job"),
            (("calendar-day", "--colour", "red"), "unknown option --colour for 'calendar-day'"),
            (("calendar-day", "--date"), "option --date needs a value"), (("vip-status", "x"), "unexpected word 'x'"),
            (("calendar-changes", "--since", "noon"), "option --since needs a whole number"),
            (("vip-status", "--buffer-size", "-1"), "option --buffer-size must lie between 0"),
            (("vip-status", "--then"), "--then needs a command after it"),
            (("vip-status", "--library", "x"), "--library is a global option"),
            (("vip-status", "--narrow", "--wide"), "--narrow and --wide exclude each other"),
            (("cancel", "--job", "last"), "no job has been started in this run"),
            (("protect", "--date", "x"), "option --date does not apply for 'protect'"),
            (("calendar-day", "--account", "1", "--account", "2"), "option --account given twice"),
            (("script", str(ROOT / "no" / "such" / "file")), "cannot open script file"))]
        bare = {"settings": False}
        cases += [  # (arguments, exit code, text in stdout, text in stderr, keyword arguments of movu)
            (("vip-status", "--account", "1"), 3, "", missing, {"library": missing}),
            (("heartbeat", "--narrow", "--account", account, "--payload", "not json"), 1,
             'Movu_HeartbeatA: -400 the service answered HTTP 400 (bad request)\n{\n  "ok": false,', "", {}),
            (("start-vip-status", "--narrow"), 1, "Movu_StartVipStatusA: -2 account missing or empty", "", {}),
            (("cancel", "--job", "1", "--expect", "-2"), 0, "Movu_Cancel(job 1): -2 no job with this id", "", {}),
            (("get-async", "--account", account, "--path", "/v1/client/ping.php", "--expect", "-3"), 0,
             "Movu_GetAsyncSignedW: -3 path or method empty (as expected)", "", {}),
            (("vip-status", "--account", account, "--expect", "-401", "--then", "calendar-meta"), 1,
             "Movu_VipStatus: 0 ok", "gave 0, expected -401", {}),
            (("--base-urls", f"{closed};{self.server.base_url}", "vip-status", "--account", account), 0,
             "Movu_VipStatus: 0 ok", "", bare),
            (("--base-url", closed, "vip-status", "--account", account), 1,
             "Movu_VipStatus: -12 transport: connecting failed", "", bare),
            (("unprotect", "--text", "not base64!"), 1, "Movu_UnprotectTextW: -2 not valid base64", "", bare),
            (("protect", "--buffer-size", "5", "--text", "abc"), 0, "ProtectTextW: 0 ok\n", "may have been cut", bare),
            (("open-url", "--url", "   "), 1, "Movu_OpenUrl: -1 a required argument is missing or blank", "", bare),
            *[(("--base-url", at[f], "calendar-meta", "--account", "1"), 1, f"Movu_CalendarMeta: {expected}", "", bare)
              for f, expected in (("expired", "-401 unauthorized"), ("429", "-429 too many requests"),
                                  ("503", "-500 server error"), ("drop", "-15 transport: no response"))],
        ]
        for args, code, out, err, kw in cases:
            with self.subTest(args=args):
                done = self.movu(*args, **kw)
                self.assertEqual(done.returncode, code, done.stdout + done.stderr)
                self.assertIn(out, done.stdout)
                self.assertIn(err, done.stderr)
                if code == 2:
                    self.assertEqual(done.stdout, "", "nothing may run when the command line is bad")
                if "--expect" in args and code:
                    self.assertNotIn("Movu_CalendarMeta", done.stdout, "a run stops at the first surprise")


class WineTests(HostCase):  # movu.exe against movu-devserver.exe, both under Wine
    server, under_wine = ("--fault", "503:50@/v1/calendar/meta.php"), True

    def test_calendar_jobs_renewal_protection_and_a_fault(self):
        account, data = f"wine-{os.getpid()}", self.tmp / "terminal"
        out = self.ok("--data-path", "Z:" + str(data), "--account", account, "--raw",
                      "calendar-day", "--date", TUESDAY, "--then", "calendar-day", "--narrow", "--date", TUESDAY,
                      "--then", "start-ping", "--wait", "--then", "start-vip-status", "--narrow",
                      "--then", "poll", "--job", "last", "--wait", "--then", "cancel", "--job", "last")
        served = self.server.request("GET", f"/v1/calendar/day.php?date={TUESDAY}", self.server.auth(account), bytes)[1]
        self.assertIn("–".encode(), served, "the sample day should hold non-ASCII text")
        # Both buffer forms must relay the bytes unchanged.
        self.assertEqual(re.findall(r"^Movu_CalendarDayA?: 0 ok\n(.*)$", out, re.M), [served.decode()] * 2)
        # However many polls a job takes: its outcome is what counts.
        self.assertRegex(out, r"(?m)^Movu_StartPingW: 0 ok; job 1\n[\s\S]*^Movu_PollA\(job 2\): 0 ok; "
                              r"state 1 succeeded, http 200(, after \d+ polls)?\n[\s\S]*^Movu_Cancel\(job 2\): 0 ok")
        cache = "token_" + hashlib.sha256(account.encode()).hexdigest()[:16] + ".dat"
        self.assertTrue((data / "MQL4" / "Files" / "qz_movu" / cache).exists(), "the token is cached per account")

        # A revoked token is renewed once and the request retried.
        self.server.call("POST", "/dev/revoke")
        mark = self.server.last_seq()
        self.ok("--data-path", "Z:" + str(data), "vip-status", "--account", account)
        seen = [(r["path"], r["status"]) for r in self.server.seen(mark) if r["account"] == account]
        self.assertEqual(seen, [("/v1/client/vip_status.php", 401), ("/v1/client/token.php", 200),
                                ("/v1/client/vip_status.php", 200)])

        self.assertIn("Movu_CalendarMeta: -500 server error", self.movu("--account", "7", "calendar-meta").stdout)
        self.assertEqual({(r["path"], r["status"], r["note"]) for r in self.server.seen() if r["status"] != 200},
                         {("/v1/calendar/meta.php", 503, "fault: 503"), ("/v1/client/vip_status.php", 401, "revoked token")})

        text = "pässword € 1"
        blob = self.ok("--raw", "protect", "--text", text, settings=False).split("\n")[1]
        self.assertEqual(self.ok("--raw", "unprotect", "--text", blob, settings=False).split("\n")[1], text)


if __name__ == "__main__":
    unittest.main()
