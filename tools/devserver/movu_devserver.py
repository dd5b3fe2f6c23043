#!/usr/bin/python3
"""movu-devserver: a local stand-in for the movu calendar and client service.

Listens on 127.0.0.1 only. Issues expiring bearer tokens per account, serves a
synthetic sample calendar for any date, answers the client endpoints, and can
inject latency and faults. Every request is logged on the console.

  movu-devserver [--port 8787 | --port 0 --port-file F] [--tls] [--token-ttl S]
                 [--fault-rate R --faults 429,500,503,drop] [--fault-latency MS]
  movu-devserver revoke   --port P    every current token becomes unknown
  movu-devserver requests --port P    what the server has seen, as JSON
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import dataclasses
import datetime
import hashlib
import json
import os
import random
import re
import secrets
import signal
import ssl
import subprocess
import sys
import time
import urllib.error
import urllib.request
from collections import deque
from pathlib import Path
from typing import Callable
from urllib.parse import parse_qs, urlsplit

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "testservice"))

from movu_testservice import (  # noqa: E402  (path set just above)
    write_atomic,
    BadRequest, HttpListener, HttpRequest, TestPki, close_gracefully, read_request,
    send_response, server_ssl_context)

HOST = "127.0.0.1"
DEFAULT_PORT = 8787
DEFAULT_TOKEN_TTL = 3600
SAMPLE_CALENDAR = HERE / "sample_calendar.json"
DEFAULT_FAULTS = "429,500,503,drop"
LOG_LIMIT = 10000


def iso_utc(unix: int) -> str:
    return datetime.datetime.fromtimestamp(unix, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def json_bytes(payload) -> bytes:
    # Compact and UTF-8 as the real service answers; non-ASCII stays as it is.
    return json.dumps(payload, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


class HttpError(Exception):
    def __init__(self, status: int, error: str, **extra):
        super().__init__(error)
        self.status = status
        self.payload = {"ok": False, "error": error, **extra}
        self.headers: list[tuple[str, str]] = []


# ----------------------------------------------------------------------------
# Sample calendar


def parse_date(text: str | None, today: Callable[[], datetime.date]) -> datetime.date:
    if text is None or text == "":
        return today()
    if not re.fullmatch(r"\d{4}-\d{2}-\d{2}", text):
        raise HttpError(400, "BAD_DATE", detail="date must be YYYY-MM-DD")
    try:
        return datetime.date.fromisoformat(text)
    except ValueError:
        raise HttpError(400, "BAD_DATE", detail="no such day")


class SampleCalendar:
    """Events made from a small set of templates, placed on the weekdays each
    template names; values are derived from the date, so any date works and
    the same date always gives the same events."""

    TEMPLATE_FIELDS = {"id", "title", "currency", "importance", "source", "weekdays", "time", "unit",
                       "base", "spread", "decimals", "revision_minutes"}

    def __init__(self, data: dict):
        if data.get("sample") is not True:
            raise ValueError("the calendar file must say \"sample\": true at its top")
        self.data = data
        self.templates = data["templates"]
        levels = set(data["importance_levels"])
        currencies = {c["code"] for c in data["currencies"]}
        sources = {s["id"] for s in data["sources"]}
        for t in self.templates:
            missing = self.TEMPLATE_FIELDS - set(t)
            if missing:
                raise ValueError(f"template {t.get('id')!r} lacks {', '.join(sorted(missing))}")
            if t["importance"] not in levels or t["currency"] not in currencies or t["source"] not in sources:
                raise ValueError(f"template {t['id']!r} names an unknown importance, currency or source")
            if not re.fullmatch(r"([01]\d|2[0-3]):[0-5]\d", t["time"]):
                raise ValueError(f"template {t['id']!r}: time must be HH:MM")

    @classmethod
    def load(cls, path: Path) -> "SampleCalendar":
        with open(path, encoding="utf-8") as f:
            return cls(json.load(f))

    @staticmethod
    def _fraction(*parts) -> float:
        digest = hashlib.sha256("|".join(map(str, parts)).encode()).digest()
        return int.from_bytes(digest[:8], "big") / 2 ** 64

    def _value(self, t: dict, day: datetime.date, which: str):
        value = t["base"] + t["spread"] * (self._fraction(day.isoformat(), t["id"], which) - 0.5)
        value = round(value, t["decimals"])
        return int(value) if t["decimals"] == 0 else value

    def events(self, day: datetime.date) -> list[dict]:
        out = []
        for index, t in enumerate(self.templates):
            if day.weekday() not in t["weekdays"]:
                continue
            hour, minute = map(int, t["time"].split(":"))
            moment = datetime.datetime(day.year, day.month, day.day, hour, minute, tzinfo=datetime.timezone.utc)
            unix = int(moment.timestamp())
            source = next(s["name"] for s in self.data["sources"] if s["id"] == t["source"])
            out.append({
                "id": int(day.strftime("%Y%m%d")) * 100 + index,
                "sample": True,
                "event": t["id"],
                "title": t["title"],
                "currency": t["currency"],
                "importance": t["importance"],
                "source": source,
                "time": iso_utc(unix),
                "timestamp": unix,
                "unit": t["unit"],
                "actual": self._value(t, day, "actual"),
                "forecast": self._value(t, day, "forecast"),
                "previous": self._value(t, day, "previous"),
                "updated_at": unix + 60 * t["revision_minutes"],
            })
        out.sort(key=lambda e: (e["timestamp"], e["id"]))
        return out

    def meta(self) -> dict:
        return {
            "currencies": self.data["currencies"],
            "importance_levels": self.data["importance_levels"],
            "sources": self.data["sources"],
            "events": [{"event": t["id"], "title": t["title"], "currency": t["currency"],
                        "importance": t["importance"], "unit": t["unit"], "weekdays": t["weekdays"],
                        "time": t["time"]} for t in self.templates],
        }


# ----------------------------------------------------------------------------
# Tokens


@dataclasses.dataclass
class Token:
    account: str
    expires: int


class TokenStore:
    def __init__(self, ttl: int, clock: Callable[[], float] = time.time):
        self.ttl = ttl
        self.clock = clock
        self.tokens: dict[str, Token] = {}
        self.revoked: deque[str] = deque(maxlen=LOG_LIMIT)

    def issue(self, account: str) -> tuple[str, int]:
        token = "dev-" + secrets.token_hex(16)
        expires = int(self.clock()) + self.ttl
        self.tokens[token] = Token(account, expires)
        return token, expires

    def refusal(self, token: str | None, account: str) -> str | None:
        """Why the token does not authorise a request of this account, or None."""
        if not token:
            return "no bearer token"
        held = self.tokens.get(token)
        if held is None:
            return "revoked token" if token in self.revoked else "unknown token"
        if self.clock() >= held.expires:
            return "expired token"
        if held.account != account:
            return "token of another account"
        return None

    def revoke_all(self) -> int:
        count = len(self.tokens)
        self.revoked.extend(self.tokens)
        self.tokens.clear()
        return count


# ----------------------------------------------------------------------------
# Faults


class FaultPlan:
    def __init__(self, rate: float = 0.0, faults: list = (), latency_ms: int = 0, seed: int | None = None):
        self.rate = rate
        self.faults = list(faults)
        self.latency_ms = latency_ms
        self.rng = random.Random(seed)

    @staticmethod
    def parse_faults(text: str) -> list:
        faults = []
        for item in filter(None, (p.strip() for p in text.split(","))):
            if item == "drop":
                faults.append(item)
            elif item.isdigit() and 400 <= int(item) <= 599:
                faults.append(int(item))
            else:
                raise ValueError(f"unknown fault {item!r}: give HTTP statuses 400-599 or 'drop'")
        if not faults:
            raise ValueError("no fault given")
        return faults

    def pick(self):
        if self.rate <= 0 or not self.faults or self.rng.random() >= self.rate:
            return None
        return self.rng.choice(self.faults)


FAULT_ERRORS = {429: "RATE_LIMITED", 500: "INTERNAL_ERROR", 502: "BAD_GATEWAY", 503: "UNAVAILABLE",
                504: "GATEWAY_TIMEOUT"}


# ----------------------------------------------------------------------------
# The service


@dataclasses.dataclass
class Answer:
    status: int
    payload: dict | None = None      # None: close without answering
    headers: list = dataclasses.field(default_factory=list)
    note: str = ""


class DevService:
    SIGNED = {
        "/v1/calendar/day.php": ("GET",),
        "/v1/calendar/meta.php": ("GET",),
        "/v1/calendar/changes.php": ("GET",),
        "/v1/client/heartbeat.php": ("POST",),
        "/v1/client/ping.php": ("GET", "POST"),
        "/v1/client/register.php": ("GET", "POST"),
        "/v1/client/vip_status.php": ("GET",),
    }
    TOKEN_PATH = "/v1/client/token.php"
    VIP_LEVELS = ("none", "bronze", "silver", "gold")

    def __init__(self, calendar: SampleCalendar, tokens: TokenStore, faults: FaultPlan,
                 out=sys.stdout, clock: Callable[[], float] = time.time):
        self.calendar = calendar
        self.tokens = tokens
        self.faults = faults
        self.out = out
        self.clock = clock
        self.log: deque[dict] = deque(maxlen=LOG_LIMIT)
        self.seq = 0
        self.listener = HttpListener(self.handle, name="devserver")

    def today(self) -> datetime.date:
        return datetime.datetime.fromtimestamp(self.clock(), datetime.timezone.utc).date()

    # -- connection --------------------------------------------------------

    async def handle(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        started = time.monotonic()
        try:
            request = await read_request(reader)
        except BadRequest as e:
            self._record("-", "-", "-", 400, started, f"bad request: {e}")
            raise
        if request is None:
            return
        account = (request.header("X-Account") or "").strip()
        try:
            answer = await self.answer(request, account)
        except HttpError as e:
            answer = Answer(e.status, e.payload, e.headers)
        except Exception as e:  # a fault of ours must still answer and be logged
            answer = Answer(500, {"ok": False, "error": "DEVSERVER_BUG", "detail": repr(e)})
        self._record(request.method, request.target, account, answer.status, started, answer.note)
        if answer.payload is None:
            await close_gracefully(writer)
            return
        await send_response(writer, answer.status,
                            answer.headers + [("Content-Type", "application/json; charset=utf-8")],
                            json_bytes(answer.payload))
        await close_gracefully(writer)

    def _record(self, method: str, target: str, account: str, status: int, started: float, note: str) -> None:
        ms = int((time.monotonic() - started) * 1000)
        now = self.clock()
        path = urlsplit(target).path
        if not path.startswith("/dev/"):  # the record is of the service's traffic only
            self.seq += 1
            self.log.append({"seq": self.seq, "time": iso_utc(int(now)), "method": method, "target": target,
                             "path": path, "account": account, "status": status, "ms": ms, "note": note})
        clock = datetime.datetime.fromtimestamp(now, datetime.timezone.utc).strftime("%H:%M:%S.%f")[:-3]
        shown = "dropped" if status == 0 else str(status)
        line = f"{clock} {method} {target} {shown} {ms}ms"
        if note:
            line += f"  [{note}]"
        print(line, file=self.out, flush=True)

    # -- routing -------------------------------------------------------------

    async def answer(self, request: HttpRequest, account: str) -> Answer:
        split = urlsplit(request.target)
        path = split.path
        query = {k: v[-1] for k, v in parse_qs(split.query, keep_blank_values=True).items()}
        if path.startswith("/dev/"):
            return self.dev(request.method, path, query)

        if self.faults.latency_ms:
            await asyncio.sleep(self.faults.latency_ms / 1000)
        fault = self.faults.pick()
        if fault == "drop":
            return Answer(0, None, note="fault: dropped")
        if fault is not None:
            error = FAULT_ERRORS.get(fault, "INJECTED_FAULT")
            headers = [("Retry-After", "1")] if fault in (429, 503) else []
            return Answer(fault, {"ok": False, "error": error, "injected": True}, headers, f"fault {fault}")

        if path == self.TOKEN_PATH:
            self._allow(request.method, ("GET",))
            return self.issue_token(account)
        methods = self.SIGNED.get(path)
        if methods is None:
            raise HttpError(404, "NOT_FOUND", path=path)
        self._allow(request.method, methods)
        bearer = request.header("Authorization") or ""
        token = bearer[7:].strip() if bearer[:7].lower() == "bearer " else None
        refusal = self.tokens.refusal(token, account)
        if refusal is None and request.header("X-Client-Token") != token:
            refusal = "X-Client-Token differs from the bearer token"
        if refusal is not None:
            return Answer(401, {"ok": False, "error": "UNAUTHORIZED"}, note=refusal)
        return Answer(200, self.signed(path, query, request, account))

    @staticmethod
    def _allow(method: str, methods: tuple) -> None:
        if method not in methods:
            e = HttpError(405, "METHOD_NOT_ALLOWED", allowed=list(methods))
            e.headers = [("Allow", ", ".join(methods))]
            raise e

    def issue_token(self, account: str) -> Answer:
        if not account:
            raise HttpError(400, "MISSING_ACCOUNT", detail="send the account in X-Account")
        token, expires = self.tokens.issue(account)
        return Answer(200, {"ok": True, "token": token, "expires_at": iso_utc(expires), "account": account},
                      note=f"token for {account}")

    def signed(self, path: str, query: dict, request: HttpRequest, account: str) -> dict:
        now = int(self.clock())
        if path == "/v1/calendar/day.php":
            day = parse_date(query.get("date"), self.today)
            events = self.calendar.events(day)
            return {"ok": True, "sample": True, "date": day.isoformat(), "count": len(events), "events": events}
        if path == "/v1/calendar/meta.php":
            date = parse_date(query["date"], self.today).isoformat() if query.get("date") else None
            return {"ok": True, "sample": True, "date": date, **self.calendar.meta()}
        if path == "/v1/calendar/changes.php":
            day = parse_date(query.get("date"), self.today)
            since_text = query.get("since", "0")
            if not re.fullmatch(r"-?\d{1,19}", since_text):
                raise HttpError(400, "BAD_SINCE", detail="since must be a unix time in seconds")
            since = int(since_text)
            events = [e for e in self.calendar.events(day) if e["updated_at"] > since]
            return {"ok": True, "sample": True, "date": day.isoformat(), "since": since,
                    "count": len(events), "events": events}
        if path == "/v1/client/heartbeat.php":
            try:
                echo = json.loads(request.body.decode("utf-8"))
            except (UnicodeDecodeError, json.JSONDecodeError) as e:
                raise HttpError(400, "INVALID_JSON", detail=str(e))
            return {"ok": True, "account": account, "server_time": iso_utc(now), "server_unix": now, "echo": echo}
        if path == "/v1/client/ping.php":
            return {"ok": True, "pong": True, "server_time": iso_utc(now)}
        if path == "/v1/client/register.php":
            identity = {name: (request.header(header) or "") for name, header in (
                ("platform", "X-Platform"), ("broker", "X-Broker"), ("server", "X-Server"),
                ("client_version", "X-Client-Version"))}
            client_id = hashlib.sha256("|".join([account, *identity.values()]).encode()).hexdigest()[:16]
            return {"ok": True, "registered": True, "account": account, "client_id": "dev-" + client_id,
                    **identity}
        # vip_status: the same answer for an account every time
        level = self.VIP_LEVELS[hashlib.sha256(account.encode()).digest()[0] % len(self.VIP_LEVELS)]
        return {"ok": True, "sample": True, "account": account, "vip": level != "none", "level": level}

    def dev(self, method: str, path: str, query: dict) -> Answer:
        if path == "/dev/revoke":
            self._allow(method, ("POST",))
            count = self.tokens.revoke_all()
            return Answer(200, {"ok": True, "revoked": count}, note=f"revoked {count} token(s)")
        if path == "/dev/requests":
            self._allow(method, ("GET",))
            since = int(query["since"]) if query.get("since", "").isdigit() else 0
            return Answer(200, {"ok": True, "requests": [e for e in self.log if e["seq"] > since]})
        if path == "/dev/health":
            self._allow(method, ("GET",))
            return Answer(200, {"ok": True, "pid": os.getpid(), "tokens": len(self.tokens.tokens)})
        raise HttpError(404, "NOT_FOUND", path=path)


# ----------------------------------------------------------------------------
# Process


def default_state_dir() -> Path:
    base = os.environ.get("XDG_STATE_HOME") or str(Path.home() / ".local" / "state")
    return Path(base) / "movu-devserver"


def tls_context(state_dir: Path) -> tuple[ssl.SSLContext, Path]:
    """A CA and server certificate (localhost, 127.0.0.1) made with the openssl
    command; kept in the state folder and reused while valid for another day."""
    pki = TestPki(state_dir)
    cert = pki.certs["default"]
    fresh = all(p.exists() for p in (pki.ca.cert, cert.cert, cert.key))
    if fresh:
        check = subprocess.run(["openssl", "x509", "-checkend", "86400", "-noout", "-in", str(cert.cert)],
                               capture_output=True)
        fresh = check.returncode == 0
    if not fresh:
        state_dir.mkdir(parents=True, exist_ok=True)
        pki.generate()
    return server_ssl_context(cert), pki.ca.cert


def _quiet(loop: asyncio.AbstractEventLoop, context: dict) -> None:
    # Clients that drop connections are routine (fault tests, Ctrl-C in a client).
    if not isinstance(context.get("exception"), (ConnectionError, ssl.SSLError, OSError)):
        loop.default_exception_handler(context)


async def serve(args, service: DevService, ssl_context: ssl.SSLContext | None, ca: Path | None) -> None:
    loop = asyncio.get_running_loop()
    loop.set_exception_handler(_quiet)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    service.listener.ssl_context = ssl_context
    try:
        port = await service.listener.start(args.port)
    except OSError as e:
        print(f"movu-devserver: cannot listen on {HOST}:{args.port}: {e.strerror or e}", file=sys.stderr)
        raise SystemExit(1)
    scheme, host = ("https", "localhost") if ssl_context else ("http", HOST)
    base = f"{scheme}://{host}:{port}"
    print(f"movu-devserver: serving {base} (sample data; tokens live {args.token_ttl} s)", flush=True)
    print(f"  base URL for the library: {base}", flush=True)
    if ca:
        print(f"  CA certificate: {ca}  (Linux: SSL_CERT_FILE={ca})", flush=True)
    print(f"  revoke every token: POST {base}/dev/revoke", flush=True)
    if args.fault_rate or args.fault_latency:
        print(f"  faults: rate {args.fault_rate}, kinds {args.faults}, latency {args.fault_latency} ms", flush=True)
    port_text = f"{port}\n"
    if args.port_file:
        write_atomic(args.port_file, port_text.encode())
    watch = asyncio.create_task(watch_parent(args.parent_pid, stop)) if args.parent_pid else None
    try:
        await stop.wait()
    finally:
        if watch:
            watch.cancel()
        await service.listener.close()
        if args.port_file:
            with contextlib.suppress(OSError):
                if args.port_file.read_text() == port_text:
                    args.port_file.unlink()
        print("movu-devserver: stopped", flush=True)


async def watch_parent(pid: int, stop: asyncio.Event) -> None:
    """Stops the server once the process that started it is gone, so a killed
    demo or test run leaves nothing listening."""
    while True:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            print(f"movu-devserver: process {pid} has ended; stopping", flush=True)
            stop.set()
            return
        except PermissionError:
            pass  # alive, owned by someone else
        await asyncio.sleep(1)


def client(args) -> int:
    """The revoke and requests actions: talk to a running server."""
    port = args.port
    if args.port_file:
        try:
            port = int(args.port_file.read_text().strip())
        except (OSError, ValueError) as e:
            print(f"movu-devserver: cannot read the port from {args.port_file}: {e}", file=sys.stderr)
            return 1
    context = None
    if args.tls:
        context = ssl.create_default_context(cafile=str(args.ca) if args.ca else None)
    base = f"{'https://localhost' if args.tls else 'http://' + HOST}:{port}"
    if args.action == "revoke":
        request = urllib.request.Request(base + "/dev/revoke", data=b"", method="POST")
    else:
        request = urllib.request.Request(base + f"/dev/requests?since={args.since}")
    try:
        with urllib.request.urlopen(request, timeout=10, context=context) as response:
            body = json.loads(response.read())
    except (urllib.error.URLError, OSError, ValueError) as e:
        print(f"movu-devserver: no devserver answered at {base}: {e}", file=sys.stderr)
        return 1
    if args.action == "revoke":
        print(f"revoked {body['revoked']} token(s)")
    else:
        print(json.dumps(body["requests"], indent=2))
    return 0


def port_number(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 65535:
        raise ValueError(text)
    return value


port_number.__name__ = "port"


def rate(text: str) -> float:
    value = float(text)
    if not 0 <= value <= 1:
        raise ValueError(text)
    return value


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] in ("revoke", "requests"):
        parser = argparse.ArgumentParser(prog=f"movu-devserver {argv[0]}",
                                         description="Talk to a running movu-devserver.")
        where = parser.add_mutually_exclusive_group()
        where.add_argument("--port", type=port_number, default=DEFAULT_PORT)
        where.add_argument("--port-file", type=Path)
        parser.add_argument("--tls", action="store_true", help="the server runs with --tls")
        parser.add_argument("--ca", type=Path, help="CA certificate to trust (with --tls)")
        if argv[0] == "requests":
            parser.add_argument("--since", type=int, default=0, help="only requests after this sequence number")
        args = parser.parse_args(argv[1:])
        args.action = argv[0]
        return client(args)

    parser = argparse.ArgumentParser(
        prog="movu-devserver",
        description="Local stand-in for the movu service on 127.0.0.1: tokens, a sample calendar, "
                    "client endpoints, fault injection. Other actions: 'revoke', 'requests' (see --help of each).")
    parser.add_argument("--port", type=port_number, default=DEFAULT_PORT,
                        help=f"port on 127.0.0.1 (default {DEFAULT_PORT}; 0 picks a free one)")
    parser.add_argument("--port-file", type=Path, help="write the port here once listening")
    parser.add_argument("--tls", action="store_true", help="serve HTTPS with a local CA (see --state-dir)")
    parser.add_argument("--state-dir", type=Path, default=None,
                        help=f"where the CA and certificate are kept (default {default_state_dir()})")
    parser.add_argument("--token-ttl", type=int, default=DEFAULT_TOKEN_TTL, metavar="SECONDS",
                        help=f"token lifetime (default {DEFAULT_TOKEN_TTL}; 0: expired when issued)")
    parser.add_argument("--calendar", type=Path, default=SAMPLE_CALENDAR, help="sample calendar file")
    parser.add_argument("--fault-rate", type=rate, default=0.0, metavar="R",
                        help="share of /v1/ requests answered with a fault, 0 to 1")
    parser.add_argument("--faults", default=DEFAULT_FAULTS,
                        help=f"faults to choose from: HTTP statuses and 'drop' (default {DEFAULT_FAULTS})")
    parser.add_argument("--fault-latency", type=int, default=0, metavar="MS", help="delay every /v1/ answer")
    parser.add_argument("--fault-seed", type=int, default=None, help="seed for reproducible faults")
    parser.add_argument("--parent-pid", type=int, default=None, metavar="PID",
                        help="stop when this process has ended (for scripts that start the server)")
    args = parser.parse_args(argv)

    if args.token_ttl < 0:
        parser.error("--token-ttl must be 0 or more")
    if args.fault_latency < 0:
        parser.error("--fault-latency must be 0 or more")
    try:
        faults = FaultPlan.parse_faults(args.faults)
    except ValueError as e:
        parser.error(f"--faults: {e}")
    try:
        calendar = SampleCalendar.load(args.calendar)
    except (OSError, ValueError, KeyError, TypeError) as e:
        parser.error(f"cannot use the calendar {args.calendar}: {e!r}")

    ssl_context = ca = None
    if args.tls:
        try:
            ssl_context, ca = tls_context((args.state_dir or default_state_dir()).resolve())
        except (OSError, RuntimeError, ssl.SSLError) as e:
            print(f"movu-devserver: cannot set up TLS: {e}", file=sys.stderr)
            return 1
    if args.port_file:
        args.port_file = args.port_file.resolve()
        with contextlib.suppress(FileNotFoundError):
            args.port_file.unlink()

    service = DevService(calendar, TokenStore(args.token_ttl),
                         FaultPlan(args.fault_rate, faults, args.fault_latency, args.fault_seed))
    asyncio.run(serve(args, service, ssl_context, ca))
    return 0


if __name__ == "__main__":
    sys.exit(main())
