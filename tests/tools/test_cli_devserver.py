"""The movu host against movu-devserver, end to end, and the devserver itself.

  DevServerTests  the devserver over plain HTTP: tokens, calendar, faults
  HostTests       the native movu against a devserver (MOVU_CLI, MOVU_CLI_LIBRARY)
  WineHostTests   movu.exe under Wine (MOVU_CLI, MOVU_CLI_WINE = tests/tools/wine-run.sh)
"""

from __future__ import annotations

import calendar
import contextlib
import hashlib
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DEVSERVER = ROOT / "tools" / "devserver" / "movu_devserver.py"
HEADER = ROOT / "include" / "movu_mt5.h"
TMP_BASE = os.environ.get("MOVU_TEST_TMP") or None
TUESDAY, SATURDAY = "2024-03-05", "2024-03-09"


def header_exports() -> list[str]:
    return re.findall(r"MOVU_CALL (Movu_\w+)\(", HEADER.read_text())


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class DevServer:
    """A movu-devserver process on a free port, stopped on exit."""

    def __init__(self, *args: str):
        self.args = args
        self.dir = Path(tempfile.mkdtemp(prefix="devserver-", dir=TMP_BASE))
        self.port_file = self.dir / "port"
        self.log_path = self.dir / "console.log"

    def __enter__(self) -> "DevServer":
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen(
            [sys.executable, str(DEVSERVER), "--port", "0", "--port-file", str(self.port_file),
             "--parent-pid", str(os.getpid()), *self.args],
            stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while not self.port_file.exists():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("devserver did not start:\n" + self.log_path.read_text())
            time.sleep(0.05)
        self.port = int(self.port_file.read_text())
        return self

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()

    def __exit__(self, *exc) -> None:
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def request(self, method: str, target: str, headers: dict | None = None, body: bytes | None = None):
        """(status, headers, raw body) of one exchange."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request(method, target, body=body, headers=headers or {})
            response = conn.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            conn.close()

    def call(self, method: str, target: str, headers: dict | None = None, body: bytes | None = None):
        status, _, raw = self.request(method, target, headers, body)
        return status, json.loads(raw)

    def token(self, account: str) -> str:
        status, answer = self.call("GET", "/v1/client/token.php", {"X-Account": account})
        assert status == 200, answer
        return answer["token"]

    def auth(self, account: str, token: str | None = None) -> dict:
        token = token or self.token(account)
        return {"Authorization": f"Bearer {token}", "X-Client-Token": token, "X-Account": account}

    def signed(self, method: str, target: str, account: str, token: str | None = None, body: bytes | None = None):
        return self.request(method, target, self.auth(account, token), body)

    def seen(self, since: int = 0) -> list[dict]:
        return self.call("GET", f"/dev/requests?since={since}")[1]["requests"]

    def last_seq(self) -> int:
        seen = self.seen()
        return seen[-1]["seq"] if seen else 0


# ----------------------------------------------------------------------------


class DevServerTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = DevServer().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)

    def test_token_endpoint_hands_out_expiring_tokens_per_account(self):
        before = int(time.time())
        status, answer = self.server.call("GET", "/v1/client/token.php", {"X-Account": "1001"})
        after = int(time.time()) + 1
        self.assertEqual(status, 200)
        self.assertIs(answer["ok"], True)
        self.assertRegex(answer["expires_at"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        expires = calendar.timegm(time.strptime(answer["expires_at"], "%Y-%m-%dT%H:%M:%SZ"))
        self.assertTrue(before + 3600 <= expires <= after + 3600, answer["expires_at"])
        self.assertNotEqual(answer["token"], self.server.token("1001"), "every request gets its own token")

    def test_signed_endpoints_refuse_unknown_revoked_and_expired_tokens(self):
        token = self.server.token("2001")
        good = self.server.auth("2001", token)
        cases = {
            "no token": {"X-Account": "2001"},
            "unknown token": {**good, "Authorization": "Bearer dev-unknown", "X-Client-Token": "dev-unknown"},
            "another account": {**good, "X-Account": "2002"},
            "X-Client-Token differs": {**good, "X-Client-Token": token + "x"},
            "X-Client-Token missing": {k: v for k, v in good.items() if k != "X-Client-Token"},
        }
        for name, headers in cases.items():
            with self.subTest(name):
                self.assertEqual(self.server.call("GET", "/v1/client/ping.php", headers),
                                 (401, {"ok": False, "error": "UNAUTHORIZED"}))
        status, answer = self.server.call("GET", "/v1/client/ping.php", good)
        self.assertEqual((status, answer["pong"]), (200, True))

        # Revoking makes every current token unknown; a new one works.
        old = [self.server.token(a) for a in ("3001", "3002")]
        status, answer = self.server.call("POST", "/dev/revoke")
        self.assertEqual(status, 200)
        self.assertGreaterEqual(answer["revoked"], 2)
        mark = self.server.last_seq()
        for account, token in zip(("3001", "3002"), old):
            self.assertEqual(self.server.signed("GET", "/v1/client/ping.php", account, token)[0], 401)
        self.assertEqual([r["note"] for r in self.server.seen(mark)], ["revoked token"] * 2)
        self.assertEqual(self.server.signed("GET", "/v1/client/ping.php", "3001")[0], 200)

        with DevServer("--token-ttl", "0") as server:  # expired when handed out
            self.assertEqual(server.signed("GET", "/v1/client/ping.php", "9001")[0], 401)
            self.assertEqual(server.seen()[-1]["note"], "expired token")
        with DevServer("--token-ttl", "1") as server:
            _, answer = server.call("GET", "/v1/client/token.php", {"X-Account": "9002"})
            expires = calendar.timegm(time.strptime(answer["expires_at"], "%Y-%m-%dT%H:%M:%SZ"))
            time.sleep(max(0.0, expires - time.time()) + 0.1)
            self.assertEqual(server.signed("GET", "/v1/client/ping.php", "9002", answer["token"])[0], 401)

    def test_calendar_is_sample_data_deterministic_and_complete(self):
        auth = self.server.auth("4001")
        status, _, first = self.server.request("GET", f"/v1/calendar/day.php?date={TUESDAY}", auth)
        _, _, again = self.server.signed("GET", f"/v1/calendar/day.php?date={TUESDAY}", "4002")
        self.assertEqual((status, first), (200, again), "the same date must give the same answer")
        day = json.loads(first)
        _, meta = self.server.call("GET", "/v1/calendar/meta.php", auth)
        self.assertEqual((meta["sample"], day["sample"], day["count"]), (True, True, len(day["events"])))
        self.assertGreater(day["count"], 0)
        self.assertEqual([e["timestamp"] for e in day["events"]], sorted(e["timestamp"] for e in day["events"]))
        weekdays = {t["event"]: t["weekdays"] for t in meta["events"]}
        currencies = {c["code"] for c in meta["currencies"]}
        for event in day["events"]:
            with self.subTest(event=event["event"]):
                self.assertIs(event["sample"], True)
                self.assertTrue(event["title"].startswith("Sample "))
                self.assertTrue(event["time"].startswith(TUESDAY))
                self.assertIn(1, weekdays[event["event"]])  # Tuesday
                self.assertIn(event["currency"], currencies)
                self.assertIn(event["importance"], meta["importance_levels"])
                self.assertGreaterEqual(event["updated_at"], event["timestamp"])
        # Any weekday of any year has events; weekends have none.
        for date, expected_some in (("1999-12-31", True), ("2999-01-07", True), (SATURDAY, False)):
            with self.subTest(date=date):
                _, answer = self.server.call("GET", f"/v1/calendar/day.php?date={date}", auth)
                self.assertEqual(answer["count"] > 0, expected_some)
        # Changes are the day's events updated after since.
        for since in sorted({0} | {e["updated_at"] for e in day["events"]}):
            with self.subTest(since=since):
                _, changes = self.server.call("GET", f"/v1/calendar/changes.php?date={TUESDAY}&since={since}", auth)
                self.assertEqual(changes["events"], [e for e in day["events"] if e["updated_at"] > since])

    def test_client_endpoints_and_refused_requests(self):
        payload = {"equity": 10.5, "name": "Zürich"}
        status, _, raw = self.server.signed("POST", "/v1/client/heartbeat.php", "6001",
                                            body=json.dumps(payload).encode())
        answer = json.loads(raw)
        self.assertEqual((status, answer["echo"], answer["account"]), (200, payload, "6001"))
        # The VIP status is the same for an account every time.
        answers = [json.loads(self.server.signed("GET", "/v1/client/vip_status.php", a)[2])
                   for a in ("7001", "7002", "7001")]
        self.assertEqual(answers[0], answers[2])
        for answer in answers:
            self.assertEqual(answer["vip"], answer["level"] != "none")

        auth = self.server.auth("6001")
        cases = [  # (method, target, headers, body, status, error)
            ("GET", "/v1/client/token.php", {}, None, 400, "MISSING_ACCOUNT"),
            ("POST", "/v1/client/token.php", {"X-Account": "1"}, None, 405, "METHOD_NOT_ALLOWED"),
            ("GET", "/v1/client/heartbeat.php", auth, None, 405, "METHOD_NOT_ALLOWED"),
            ("POST", "/v1/client/heartbeat.php", auth, b"hello", 400, "INVALID_JSON"),
            ("GET", "/v1/client/nothing.php", auth, None, 404, "NOT_FOUND"),
            ("GET", "/v1/calendar/changes.php?since=soon", auth, None, 400, "BAD_SINCE"),
            *[("GET", f"/v1/calendar/day.php?date={d}", auth, None, 400, "BAD_DATE")
              for d in ("2024-02-30", "yesterday", "2024-3-5")],
        ]
        for method, target, headers, body, status, error in cases:
            with self.subTest(method=method, target=target):
                got, answer = self.server.call(method, target, headers, body)
                self.assertEqual((got, answer["error"]), (status, error))
        self.assertEqual(self.server.request("POST", "/v1/client/token.php", {"X-Account": "1"})[1]["Allow"], "GET")

    def test_fault_mode_answers_the_configured_faults(self):
        with DevServer("--fault-rate", "1", "--faults", "503") as server:
            for target in ("/v1/client/token.php", "/v1/calendar/meta.php"):
                status, headers, raw = server.request("GET", target, {"X-Account": "1"})
                self.assertEqual((status, headers.get("Retry-After"), json.loads(raw)["ok"]), (503, "1", False))
            self.assertEqual(server.call("GET", "/dev/requests")[0], 200, "control endpoints are never faulted")
        with DevServer("--fault-rate", "1", "--faults", "429,500", "--fault-seed", "7") as server:
            seen = {server.request("GET", "/v1/client/token.php", {"X-Account": "1"})[0] for _ in range(30)}
            self.assertEqual(seen, {429, 500})
        with DevServer("--fault-rate", "1", "--faults", "drop") as server:
            with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
                server.request("GET", "/v1/client/token.php", {"X-Account": "1"})
        with DevServer("--fault-rate", "0", "--faults", "500", "--fault-latency", "20") as server:
            self.assertEqual(server.request("GET", "/v1/client/token.php", {"X-Account": "1"})[0], 200)

    def test_bad_arguments_are_refused_clearly(self):
        cases = {("--fault-rate", "2"): "--fault-rate", ("--faults", "200"): "unknown fault",
                 ("--port", "70000"): "--port", ("--token-ttl", "-1"): "--token-ttl"}
        for args, message in cases.items():
            with self.subTest(args=args):
                done = subprocess.run([sys.executable, str(DEVSERVER), *args], capture_output=True, text=True,
                                      timeout=60)
                self.assertEqual(done.returncode, 2)
                self.assertIn(message, done.stderr)

    def test_console_logs_each_request_and_stopping_removes_the_port_file(self):
        with DevServer() as server:
            server.call("GET", "/v1/client/token.php", {"X-Account": "8001"})
            pattern = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} GET /v1/client/token\.php 200 \d+ms", re.M)
            deadline = time.monotonic() + 10
            while not pattern.search(server.log_path.read_text()) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertRegex(server.log_path.read_text(), pattern)
            self.assertTrue(server.port_file.exists())
            server.stop()
            self.assertFalse(server.port_file.exists())
            self.assertIn("movu-devserver: stopped", server.log_path.read_text())


# ----------------------------------------------------------------------------


class HostCase(unittest.TestCase):
    """Runs the movu under test; subclasses decide how."""

    wrapper: list[str] = []

    @classmethod
    def setUpClass(cls):
        cli = os.environ.get("MOVU_CLI")
        if not cli:
            raise unittest.SkipTest("MOVU_CLI (path of movu) is not set")
        cls.cli = cli
        cls.server = DevServer().__enter__()
        cls.tmp = Path(tempfile.mkdtemp(prefix="movu-cli-", dir=TMP_BASE))

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def movu(self, *args: str, env: dict | None = None, settings: bool = True,
             library: str | None = None) -> subprocess.CompletedProcess:
        pre = ["--base-url", self.server.base_url] if settings else []
        library = library or os.environ.get("MOVU_CLI_LIBRARY")
        if library:
            pre = ["--library", library, *pre]
        done = subprocess.run([*self.wrapper, self.cli, *pre, *args], capture_output=True, timeout=300,
                              env={**os.environ, **(env or {})})
        done.stdout = done.stdout.decode("utf-8")
        done.stderr = done.stderr.decode("utf-8", "replace")
        return done

    def ok(self, *args: str, **kw) -> str:
        done = self.movu(*args, **kw)
        self.assertEqual(done.returncode, 0, f"movu {' '.join(args)}:\n{done.stdout}\n{done.stderr}")
        return done.stdout

    def direct(self, target: str, account: str) -> str:
        return self.server.signed("GET", target, account)[2].decode("utf-8")

    @staticmethod
    def text_of(output: str) -> str:
        """The result text of a single-step run: everything after the status line."""
        return output.split("\n", 1)[1].removesuffix("\n")

    def account(self, stem: str) -> str:
        return f"{stem}-{os.getpid()}-{time.monotonic_ns() % 10**9}"

    @staticmethod
    def cache_file(data: Path, account: str) -> Path:
        name = "token_" + hashlib.sha256(account.encode()).hexdigest()[:16] + ".dat"
        return data / "MQL4" / "Files" / "qz_movu" / name


class HostTests(HostCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # A stand-in for the desktop opener: it records what it was asked to open.
        cls.opener = cls.tmp / "opener"
        cls.opener.mkdir()
        (cls.opener / "xdg-open").write_text('#!/bin/sh\nprintf "%s" "$1" > "$OPENED_FILE"\nexit "${OPENER_RC:-0}"\n')
        (cls.opener / "xdg-open").chmod(0o755)

    def opener_env(self, rc: int = 0) -> dict:
        return {"PATH": f"{self.opener}:{os.environ['PATH']}", "OPENED_FILE": str(self.tmp / "opened"),
                "OPENER_RC": str(rc)}

    def test_a_script_reaches_every_export_of_the_header(self):
        data = self.tmp / "every-export"
        blob = self.text_of(self.ok("protect", "--text", "x", settings=False))
        steps = [
            f"set-base-urls --base-urls '{self.server.base_url}'", f"set-base-urls -A --base-urls '{self.server.base_url}'",
            f"set-base-url -A --base-url {self.server.base_url}", f"set-base-url --base-url {self.server.base_url}",
            "set-secret --secret s", "set-secret --narrow --secret s",
            f"set-data-path --narrow --data-path '{data}'", f"set-data-path --data-path '{data}'",
        ]
        for command in ("calendar-day", "calendar-meta", "calendar-changes", "heartbeat", "vip-status"):
            steps += [f"{command} --date {TUESDAY}" if "calendar" in command else command,
                      f"{command} --narrow" + (f" --date {TUESDAY}" if "calendar" in command else "")]
        for command in ("start-calendar-day", "start-calendar-meta", "start-ping", "start-register",
                        "start-vip-status"):
            steps += [f"{command} --wait", f"{command} --narrow --wait"]
        steps += ["get-async --path /v1/client/ping.php --method GET --wait",
                  "get-async --narrow --path /v1/client/ping.php --method GET",
                  "poll --job last --wait", "cancel --job last",
                  "protect --text x", f"unprotect --text {blob}", "open-url --url http://127.0.0.1:1/page"]
        script = self.tmp / "every.txt"
        script.write_text("# every export once\n" + "\n".join(steps) + "\n")
        out = self.ok("--account", self.account("every"), "script", str(script), settings=False,
                      env=self.opener_env())
        called = set(re.findall(r"^(Movu_\w+)(?:\(job \d+\))?: ", out, re.M))
        self.assertEqual(set(header_exports()) - called, set())
        self.assertNotRegex(out, r"^Movu_\w+(\(job \d+\))?: -\d", "no step may fail")

    def test_help_names_every_export_and_each_command_has_its_own(self):
        out = self.ok("--help", settings=False)
        for name in header_exports():
            self.assertRegex(out, rf"\b{name}\b")
        section = out.split("\nCommands")[1].split("\n\n")[0]
        commands = re.findall(r"^  ([a-z][a-z-]+) ", section, re.M)
        self.assertEqual(len(commands), len(set(commands)))
        self.assertIn("calendar-day", commands)
        for command in commands:
            with self.subTest(command=command):
                own = self.ok(command, "--help", settings=False)
                self.assertTrue(own.startswith(f"usage: movu [GLOBAL OPTIONS] {command}"), own[:80])

    def test_answers_arrive_unchanged_in_both_buffer_forms(self):
        account = self.account("relay")
        for args, target in ((("calendar-day", "--date", TUESDAY), f"/v1/calendar/day.php?date={TUESDAY}"),
                             (("calendar-meta",), "/v1/calendar/meta.php"),
                             (("vip-status",), "/v1/client/vip_status.php")):
            served = self.direct(target, account)
            if args[0] == "calendar-day":
                self.assertIn("–", served, "the sample day should hold non-ASCII text")
            for form in ((), ("--narrow",)):
                with self.subTest(command=args[0], form=form):
                    self.assertEqual(self.text_of(self.ok("--raw", *args, *form, "--account", account)), served)
        # Pretty printing keeps content and member order; raw keeps the bytes.
        raw = self.text_of(self.ok("--raw", "calendar-meta", "--account", account))
        pretty = self.text_of(self.ok("calendar-meta", "--account", account))
        self.assertNotIn("\n", raw)
        self.assertEqual(list(json.loads(pretty).items()), list(json.loads(raw).items()))
        self.assertTrue(pretty.startswith('{\n  "ok": true,'), pretty[:40])
        payload = {"equity": 1000.25, "ea": "Sample € EA"}
        out = self.ok("heartbeat", "--account", account, "--payload", json.dumps(payload))
        self.assertEqual(json.loads(self.text_of(out))["echo"], payload)

    def test_each_command_line_gives_its_exit_code_and_report(self):
        account = self.account("codes")
        closed = f"http://127.0.0.1:{closed_port()}"
        missing = str(self.tmp / "nowhere" / "libmovu_mt5.so")
        with contextlib.ExitStack() as stack:
            faulty = {f: stack.enter_context(DevServer("--fault-rate", "1", "--faults", f))
                      for f in ("429", "503", "drop")}
            expired = stack.enter_context(DevServer("--token-ttl", "0"))
            # A bad command line runs nothing, exits with 2 and says why.
            cases = [(args, 2, "", message, {}) for args, message in (
                ((), "no command given"),
                (("frobnicate",), "unknown command 'frobnicate'"),
                (("calendar-day", "--colour", "red"), "unknown option --colour for 'calendar-day'"),
                (("calendar-day", "--date"), "option --date needs a value"),
                (("calendar-changes", "--since", "noon"), "option --since needs a whole number"),
                (("vip-status", "--buffer-size", "-1"), "option --buffer-size must lie between 0"),
                (("vip-status", "--then"), "--then needs a command after it"),
                (("vip-status", "--library", "x"), "--library is a global option"),
                (("vip-status", "--narrow", "--wide"), "--narrow and --wide exclude each other"),
                (("vip-status", "stray"), "unexpected word 'stray'"),
                (("poll",), "'poll' needs --job"),
                (("cancel", "--job", "last"), "no job has been started in this run"),
                (("protect", "--date", "x"), "option --date does not apply for 'protect'"),
                (("set-secret", "--expect", "0"), "option --expect does not apply for 'set-secret'"),
                (("calendar-day", "--account", "1", "--account", "2"), "option --account given twice"),
                (("script", str(ROOT / "no" / "such" / "file")), "cannot open script file"))]
            cases += [
                # (arguments, exit code, text in stdout, text in stderr (empty: none asked), keyword arguments of movu)
                (("vip-status", "--account", "1"), 3, "", missing, {"library": missing}),
                (("heartbeat", "--narrow", "--account", account, "--payload", "not json"), 1,
                 'Movu_HeartbeatA: -400 the service answered HTTP 400 (bad request)\n{\n  "ok": false,\n'
                 '  "error": "INVALID_JSON"', "", {}),
                (("start-vip-status", "--narrow"), 1, "Movu_StartVipStatusA: -2 account, path or method missing", "", {}),
                (("cancel", "--job", "1", "--expect", "-2"), 0, "Movu_Cancel(job 1): -2 no job with this id (as expected)",
                 "", {}),
                (("start-ping", "--account", account, "--then", "poll", "--job", "last", "--wait"), 0,
                 'Movu_PollA(job 1): 0 ok; state 1 succeeded, http 200\n{\n  "ok": true,\n  "pong": true', "", {}),
                (("get-async", "--account", account, "--path", "/v1/client/ping.php", "--expect", "-3"), 0,
                 "Movu_GetAsyncSignedW: -3 path or method empty (as expected)", "", {}),
                (("--base-urls", f"{closed};{self.server.base_url}", "vip-status", "--account", account), 0,
                 "Movu_VipStatus: 0 ok", "", {"settings": False}),
                (("--base-url", closed, "vip-status", "--account", account), 1,
                 "Movu_VipStatus: -12 transport: connecting failed", "", {"settings": False}),
                (("unprotect", "--text", "not base64!"), 1, "Movu_UnprotectTextW: -2 not valid base64", "",
                 {"settings": False}),
                (("protect",), 1, "Movu_ProtectTextW: -1 text or buffer missing", "", {"settings": False}),
                (("open-url", "--url", "http://127.0.0.1:1/"), 1, "Movu_OpenUrl: -2 the desktop refused", "",
                 {"settings": False, "env": self.opener_env(1)}),
                (("open-url", "--url", "   "), 1, "Movu_OpenUrl: -1 url missing or blank", "", {"settings": False}),
                (("--base-url", expired.base_url, "calendar-meta", "--account", "1"), 1,
                 "Movu_CalendarMeta: -401 unauthorized", "", {"settings": False}),
                *[(("--base-url", faulty[f].base_url, "calendar-meta", "--account", "1"), 1,
                   f"Movu_CalendarMeta: {expected}", "", {"settings": False})
                  for f, expected in (("429", "-429 too many requests"), ("503", "-500 server error"),
                                      ("drop", "-15 transport: no response"))],
            ]
            for args, code, out, err, kw in cases:
                with self.subTest(args=args):
                    done = self.movu(*args, **kw)
                    self.assertEqual(done.returncode, code, done.stdout + done.stderr)
                    for text, stream in ((out, done.stdout), (err, done.stderr)):
                        if text:
                            self.assertIn(text, stream)
                    if code == 2:
                        self.assertIn("movu", done.stderr.splitlines()[0])
                        self.assertEqual(done.stdout, "", "nothing may run when the command line is bad")
        done = self.movu("protect", "--buffer-size", "5", "--text", "abc", settings=False)
        self.assertEqual((done.returncode, len(self.text_of(done.stdout))), (0, 4))
        self.assertIn("may have been cut", done.stderr)
        # A run stops at the first unexpected result.
        done = self.movu("vip-status", "--account", account, "--expect", "-401", "--then", "calendar-meta", "--account", "x")
        self.assertEqual(done.returncode, 1)
        self.assertIn("gave 0, expected -401", done.stderr)
        self.assertNotIn("Movu_CalendarMeta", done.stdout)

    def test_the_cache_file_is_per_account_and_reads_back_through_unprotect(self):
        account, data = self.account("cache"), self.tmp / "terminal"
        self.ok("--data-path", str(data), "vip-status", "--account", account)
        cache = self.cache_file(data, account)
        self.assertTrue(cache.exists(), sorted(p.name for p in data.rglob("*")))
        mark = self.server.last_seq()
        self.ok("--data-path", str(data), "calendar-meta", "--account", account)  # a new process
        self.assertEqual([r["path"] for r in self.server.seen(mark) if r["account"] == account],
                         ["/v1/calendar/meta.php"], "the second process must use the cached token")
        plain = json.loads(self.text_of(self.ok("--raw", "unprotect", "--text", cache.read_text(), settings=False)))
        self.assertTrue(plain["token"].startswith("dev-"))

    def test_https_with_the_devserver_ca(self):
        state = self.tmp / "tls-state"
        with DevServer("--tls", "--state-dir", str(state)) as server:
            ca = state / "ca.pem"
            self.assertIn(f"CA certificate: {ca}", server.log_path.read_text())
            out = self.ok("--base-url", f"https://localhost:{server.port}", "vip-status", "--account", "1",
                          settings=False, env={"SSL_CERT_FILE": str(ca)})
            self.assertIn("Movu_VipStatus: 0 ok", out)


class WineHostTests(HostCase):
    """movu.exe under Wine against movu_mt5.dll: the key commands."""

    @classmethod
    def setUpClass(cls):
        wine = os.environ.get("MOVU_CLI_WINE")
        if not wine:
            raise unittest.SkipTest("MOVU_CLI_WINE (the Wine runner) is not set")
        cls.wrapper = [wine]
        super().setUpClass()

    def test_calendar_jobs_and_renewal(self):
        account, data = self.account("wine"), self.tmp / "terminal"
        self.server.call("POST", "/dev/revoke")  # nothing of an earlier run counts
        out = self.ok("--data-path", "Z:" + str(data), "--account", account, "--raw",
                      "calendar-day", "--date", TUESDAY, "--then", "calendar-day", "--narrow", "--date", TUESDAY,
                      "--then", "start-ping", "--wait", "--then", "start-vip-status", "--narrow",
                      "--then", "poll", "--job", "last", "--wait", "--then", "cancel", "--job", "last")
        served = self.direct(f"/v1/calendar/day.php?date={TUESDAY}", account)
        texts = re.findall(r"^Movu_CalendarDayA?: 0 ok\n(.*)$", out, re.M)
        self.assertEqual(texts, [served, served])
        self.assertIn("Movu_StartPingW: 0 ok; job 1", out)
        self.assertIn("Movu_PollA(job 2): 0 ok; state 1 succeeded, http 200", out)
        self.assertIn("Movu_Cancel(job 2): 0 ok", out)
        self.assertTrue(self.cache_file(data, account).exists())

        self.server.call("POST", "/dev/revoke")
        mark = self.server.last_seq()
        self.ok("--data-path", "Z:" + str(data), "vip-status", "--account", account)
        seen = [(r["path"], r["status"]) for r in self.server.seen(mark) if r["account"] == account]
        self.assertEqual(seen, [("/v1/client/vip_status.php", 401), ("/v1/client/token.php", 200),
                                ("/v1/client/vip_status.php", 200)])

    def test_protection_round_trip_and_usage_errors(self):
        text = "pässword € 1"
        blob = self.text_of(self.ok("--raw", "protect", "--text", text, settings=False))
        self.assertEqual(self.text_of(self.ok("--raw", "unprotect", "--text", blob, settings=False)), text)
        done = self.movu("calendar-day", "--colour", "red")
        self.assertEqual(done.returncode, 2)
        self.assertIn("unknown option --colour", done.stderr)
        self.assertTrue(self.ok("--help", settings=False).startswith("movu - "))


if __name__ == "__main__":
    unittest.main()
