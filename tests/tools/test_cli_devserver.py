# movu-devserver's own behaviour and the movu host against it: natively (MOVU_DEVSERVER, MOVU_CLI,
# MOVU_CLI_LIBRARY), or movu.exe and movu-devserver.exe under Wine (MOVU_CLI_WINE, MOVU_DEVSERVER_EXE).
import contextlib
import hashlib
import http.client
import json
import os
import re
import select
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
    def __init__(self, *args, env=None):
        self.args, self.env = args, env

    def __enter__(self):
        self.dir = tempfile.TemporaryDirectory(prefix="devserver-", dir=TMP_BASE)
        port_file = Path(self.dir.name, "port")
        self.proc = subprocess.Popen([*DEVSERVER, "--port", "0", "--port-file", str(port_file), *self.args],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                     env=self.env)
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

    def request(self, method, target, headers={}, parse=json.loads, body=None):
        """(status, body, headers) of one exchange; the body parsed as JSON unless parse says otherwise."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        if method == "POST" and target.startswith("/dev/"):  # the control API takes JSON only
            headers = {"Content-Type": "application/json", **headers}
        conn.request(method, target, body=body, headers=headers)
        response = conn.getresponse()
        return response.status, parse(response.read()), dict(response.getheaders())

    def call(self, method, target, headers={}, body=None):
        return self.request(method, target, headers, body=body)[:2]

    def auth(self, account):
        token = self.call("GET", "/v1/client/token.php", {"X-Account": account})[1]["token"]
        return {"Authorization": f"Bearer {token}", "X-Client-Token": token, "X-Account": account}

    def seen(self, since=0):
        entries, more = [], True
        while more:
            page = self.call("GET", f"/dev/requests?since={since}")[1]
            entries += page["requests"]
            more, since = page["more"], page["next"]
        return entries

    def raw(self, data, timeout=30):
        """The bytes the server sends back for `data` before it closes."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
            s.sendall(data)
            out = b""
            while chunk := s.recv(65536):
                out += chunk
            return out

    def rss_kib(self):
        return int(re.search(r"VmRSS:\s+(\d+)", Path(f"/proc/{self.proc.pid}/status").read_text()).group(1))


class DevServerTests(unittest.TestCase):
    def test_sample_data_and_fault_mode(self):
        with DevServer() as server:  # sample data says so, down to each event's title
            day = server.call("GET", f"/v1/calendar/day.php?date={TUESDAY}", server.auth("4001"))[1]
            self.assertTrue(day["sample"] and day["count"] > 0, day)
            self.assertTrue(all(e["sample"] and e["title"].startswith("Sample ") for e in day["events"]), day)
        # (status, Retry-After) over 30 token requests; HostTests meets 503 alone and drop.
        with DevServer("--fault-rate", "1", "--faults", "429,500", "--fault-seed", "7") as server:
            got = [server.request("GET", "/v1/client/token.php", {"X-Account": "1"}, bytes) for _ in range(30)]
            self.assertEqual({(status, head.get("Retry-After")) for status, _, head in got}, {(429, "1"), (500, None)})
            self.assertEqual(server.call("GET", "/dev/requests")[0], 200, "control endpoints are never faulted")

    def test_smaller_faults_of_the_command_line_and_the_wire(self):
        with DevServer() as server:
            for name, data, status in [("bare LF", b"GET /v1/client/ping.php HTTP/1.1\nHost: x\n\n", b" 400 "),
                                       ("a declared body over 1 MiB", b"POST /v1/client/heartbeat.php HTTP/1.1\r\n"
                                        b"Content-Length: 2000000\r\n\r\n", b" 413 ")]:
                with self.subTest(name):
                    self.assertIn(status, server.raw(data, timeout=5).split(b"\r\n")[0])
            for _ in range(1100):  # more than one page of the record
                server.call("GET", "/v1/client/token.php", {"X-Account": "5"})
            done = subprocess.run([NATIVE_DEVSERVER, "requests", "--port", str(server.port)], capture_output=True,
                                  text=True, timeout=120)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(sum(r["path"] == "/v1/client/token.php" for r in json.loads(done.stdout)), 1100)
        with tempfile.TemporaryDirectory(prefix="devserver-", dir=TMP_BASE) as tmp:
            cases = [  # (arguments, exit code, text in stdout, text in stderr)
                (("revoke", "--help"), 0, "usage: movu-devserver revoke", ""),
                (("fault",), 2, "", "give a fault rule KIND[:COUNT][@PATH]"),
                (("requests", "--port-file"), 2, "", "usage: movu-devserver requests"),
                (("--help",), 0, "below 300 it fetches a new token", ""),
                (("--port", "0", "--port-file", str(Path(tmp, "no", "such", "dir", "port"))), 1, "", "cannot write"),
                (("--port", "0", "--head-timeout", "0"), 2, "",
                 "--head-timeout must lie"),
            ]
            for args, code, out, err in cases:
                with self.subTest(args=args):
                    done = subprocess.run([NATIVE_DEVSERVER, *args], capture_output=True, text=True, timeout=60)
                    self.assertEqual(done.returncode, code, done.stdout + done.stderr)
                    self.assertIn(out, done.stdout)
                    self.assertIn(err, done.stderr)
                    self.assertNotIn("serving", done.stdout, "no banner before a failure")

    def test_control_is_off_beyond_loopback_unless_asked(self):
        for args, status in [(("0.0.0.0",), 403), (("0.0.0.0", "--remote-control"), 200), (("localhost",), 200)]:
            with self.subTest(args=args), DevServer("--listen", *args) as server:
                self.assertEqual(server.call("GET", "/dev/health")[0], status)
                self.assertEqual(server.call("GET", "/v1/client/token.php", {"X-Account": "1"})[0], 200)

    def test_slow_clients_neither_lock_others_out_nor_stay(self):
        with DevServer("--max-connections", "8", "--head-timeout", "2") as server, contextlib.ExitStack() as held:
            slow = [held.enter_context(socket.create_connection(("127.0.0.1", server.port), timeout=30))
                    for _ in range(20)]
            for _ in range(3):  # each sends a byte now and then, never a whole head
                for s in slow:
                    with contextlib.suppress(OSError):
                        s.sendall(b"G")
                self.assertEqual(server.call("GET", "/v1/client/token.php", {"X-Account": "1"})[0], 200)
            # The newest of them keeps sending a byte every half second: the head's deadline still ends it.
            last, answer, deadline = slow[-1], b"", time.monotonic() + 30
            while not answer and time.monotonic() < deadline:
                if select.select([last], [], [], 0.5)[0]:
                    answer = last.recv(4096) or b"(closed)"
                else:
                    last.sendall(b"T")
            self.assertIn(b" 408 ", answer.split(b"\r\n")[0])
        # When every connection is being served, a newcomer hears 503.
        with DevServer("--max-connections", "3") as server, contextlib.ExitStack() as held:
            server.call("POST", "/dev/faults", body='{"fault":"stall","count":100,"delay_ms":60000}')
            status, deadline = None, time.monotonic() + 60
            while status != 503 and time.monotonic() < deadline:
                s = held.enter_context(socket.create_connection(("127.0.0.1", server.port), timeout=30))
                s.sendall(b"GET /v1/client/ping.php HTTP/1.1\r\nHost: x\r\n\r\n")
                s.settimeout(0.5)
                try:
                    head = s.recv(4096)
                    status = int(head.split(b" ")[1]) if head else None
                except socket.timeout:
                    status = None  # stalled, as planned
            self.assertEqual(status, 503)
            self.assertIn(b"TOO_MANY_CONNECTIONS", head)

    @unittest.skipUnless(Path("/proc/self/status").exists(), "reads the server's RSS from /proc")
    def test_memory_stays_bounded_under_long_texts(self):
        # AddressSanitizer keeps freed blocks in quarantine and the sanitizers keep shadow memory: the budget
        # of a sanitizer build (MOVU_RSS_GROWTH_LIMIT_KIB) is looser, and its quarantine is off for the server.
        limit = int(os.environ.get("MOVU_RSS_GROWTH_LIMIT_KIB", 40 * 1024))
        asan = os.environ.get("ASAN_OPTIONS", "")
        with DevServer(env=dict(os.environ, ASAN_OPTIONS=f"{asan}:quarantine_size_mb=0".lstrip(":"))) as server:
            before = server.rss_kib()
            long_target = "/v1/calendar/day.php?pad=" + "x" * 60000
            for i in range(1500):
                server.request("GET", "/v1/client/token.php", {"X-Account": "a" * 60000}, bytes)
                server.request("GET", long_target, {"X-Account": str(i)}, bytes)
            grown = server.rss_kib() - before
            # Kept whole, the texts alone would take 180 MB.
            self.assertLess(grown, limit, f"RSS grew by {grown} KiB")
            self.assertEqual(len(server.seen()), 3000)


class HostCase(unittest.TestCase):
    server = ()  # arguments of the class's movu-devserver

    @classmethod
    def setUpClass(cls):
        if bool(WINE) != cls.under_wine:
            raise unittest.SkipTest("for the other build: MOVU_CLI_WINE says whether movu runs under Wine")
        if not os.environ.get("MOVU_CLI"):
            raise RuntimeError("MOVU_CLI (the path of movu) is not set; the test command sets it")
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
            (("heartbeat", "--account", account, "--payload", "\u00e9"), 1, '"error": "INVALID_JSON"', "", {}),
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
        mark = max((r["seq"] for r in self.server.seen()), default=0)
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
