#!/usr/bin/python3
"""Scriptable local HTTP/HTTPS service for the movu_mt5 test suites.

A "site" is a listener on 127.0.0.1 whose answers are scripted per path
through a small JSON control API; every request a site receives is recorded
so tests can inspect exactly what the client sent.

The layers are kept apart so other local tools can reuse them:
  * TestPki / server_ssl_context  - certificates (openssl CLI) and TLS setup
  * HttpRequest, read_* / send_*  - HTTP/1.1 framing on asyncio streams
  * FAULTS                        - broken-server behaviours
  * HttpListener                  - a listener that owns its connections
  * ScriptedSite, ControlApi      - the scripting service itself

Usage: movu_testservice.py --state-dir DIR [--extra-san NAME ...] [--verbose]
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import binascii
import collections
import contextlib
import dataclasses
import datetime
import http
import ipaddress
import itertools
import json
import logging
import os
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path
from typing import Awaitable, Callable

LOG = logging.getLogger("movu_testservice")
HOST = "127.0.0.1"
LISTEN_BACKLOG = 4096
STREAM_CHUNK = 256 * 1024


# ----------------------------------------------------------------------------
# Certificates and TLS


@dataclasses.dataclass(frozen=True)
class CertPair:
    cert: Path
    key: Path


DEFAULT_SANS = ("DNS:localhost", "IP:127.0.0.1", "DNS:secondary.movu.test")

_CA_CONFIG = """\
[ca]
default_ca = test_ca
[test_ca]
dir = .
database = index.txt
new_certs_dir = issued
rand_serial = yes
default_md = sha256
policy = any_name
unique_subject = no
preserve = yes
copy_extensions = none
[any_name]
commonName = supplied
organizationName = optional
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ext]
{extensions}
"""

_CA_EXTENSIONS = """\
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash"""

_LEAF_EXTENSIONS = """\
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
subjectAltName = {sans}"""


def san_entry(name: str) -> str:
    """Accept "DNS:x", "IP:x" or a bare host name / address."""
    if re.search(r"[\s,\\]", name) or not name:
        raise ValueError(f"invalid subject alternative name {name!r}")
    if name.startswith(("DNS:", "IP:")):
        return name
    try:
        ipaddress.ip_address(name)
        return "IP:" + name
    except ValueError:
        return "DNS:" + name


class TestPki:
    """Test CA plus the server certificates the sites can present.

    Certificates are valid from yesterday so clock skew (e.g. under Wine)
    never makes a fresh certificate "not yet valid".
    """

    # "tls13": the default certificate on a site that speaks TLS 1.3 only.
    CERT_NAMES = ("default", "untrusted", "wrongname", "tls13")

    def __init__(self, state_dir: Path, extra_sans: list[str] = (), openssl: str = "openssl"):
        self.state_dir = state_dir
        self.work = state_dir / "pki"
        self.openssl = openssl
        self.sans = list(DEFAULT_SANS) + [san_entry(n) for n in extra_sans]
        self.ca = CertPair(state_dir / "ca.pem", self.work / "ca.key")
        self.certs = {
            "default": CertPair(state_dir / "server.pem", state_dir / "server.key"),
            "untrusted": CertPair(state_dir / "untrusted.pem", state_dir / "untrusted.key"),
            "wrongname": CertPair(state_dir / "wrongname.pem", state_dir / "wrongname.key"),
        }

    def generate(self) -> None:
        shutil.rmtree(self.work, ignore_errors=True)
        (self.work / "issued").mkdir(parents=True)
        (self.work / "index.txt").write_text("")
        start = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=1)
        self._validity = (start, start + datetime.timedelta(days=30))

        self._issue("ca", "/O=movu tests/CN=movu test CA", _CA_EXTENSIONS, self.ca, signer=None)
        leaf = _LEAF_EXTENSIONS.format
        self._issue("server", "/O=movu tests/CN=localhost",
                    leaf(sans=",".join(self.sans)), self.certs["default"], signer=self.ca)
        self._issue("untrusted", "/O=untrusted/CN=localhost",
                    leaf(sans="DNS:localhost,IP:127.0.0.1"), self.certs["untrusted"], signer=None)
        self._issue("wrongname", "/O=movu tests/CN=other.movu.test",
                    leaf(sans="DNS:other.movu.test"), self.certs["wrongname"], signer=self.ca)

        # Wine's TLS looks for the bundle under /etc/ssl/certs; this folder is mounted there.
        certs_dir = self.state_dir / "certs"
        certs_dir.mkdir(exist_ok=True)
        ca_pem = self.ca.cert.read_bytes()
        for stale in certs_dir.iterdir():
            stale.unlink()
        write_atomic(certs_dir / "ca-certificates.crt", ca_pem)
        subject_hash = self._openssl("x509", "-in", str(self.ca.cert), "-noout", "-subject_hash").strip()
        write_atomic(certs_dir / f"{subject_hash}.0", ca_pem)

    def _issue(self, name: str, subject: str, extensions: str, out: CertPair,
               signer: CertPair | None) -> None:
        config = self.work / f"{name}.cnf"
        config.write_text(_CA_CONFIG.format(extensions=extensions))
        self._openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                      "-out", str(out.key))
        csr = self.work / f"{name}.csr"
        self._openssl("req", "-new", "-config", str(config), "-key", str(out.key),
                      "-subj", subject, "-out", str(csr))
        start, end = (t.strftime("%Y%m%d%H%M%SZ") for t in self._validity)
        signing = (["-cert", str(signer.cert), "-keyfile", str(signer.key)] if signer
                   else ["-selfsign", "-keyfile", str(out.key)])
        self._openssl("ca", "-batch", "-notext", "-config", str(config), *signing,
                      "-in", str(csr), "-out", str(out.cert), "-extensions", "ext",
                      "-startdate", start, "-enddate", end)

    def _openssl(self, *args: str) -> str:
        try:
            done = subprocess.run([self.openssl, *args], cwd=self.work, capture_output=True,
                                  text=True, timeout=60)
        except FileNotFoundError:
            raise RuntimeError(f"'{self.openssl}' not found: the openssl command-line tool is required")
        if done.returncode != 0:
            raise RuntimeError(f"openssl {args[0]} failed ({done.returncode}): {done.stderr.strip()}")
        return done.stdout


def server_ssl_context(pair: CertPair) -> ssl.SSLContext:
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(pair.cert, pair.key)
    # Older terminals still negotiate TLS 1.0/1.1; allow them where the local OpenSSL can.
    with contextlib.suppress(ValueError, ssl.SSLError):
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
    with contextlib.suppress(ValueError, ssl.SSLError), warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        ctx.minimum_version = ssl.TLSVersion.TLSv1
    return ctx


# ----------------------------------------------------------------------------
# HTTP/1.1 framing


class BadRequest(Exception):
    """The peer sent something that is not HTTP/1.1; answered with 400."""


@dataclasses.dataclass
class HttpRequest:
    method: str
    target: str
    version: str
    header_lines: list[str] = dataclasses.field(default_factory=list)
    body: bytearray = dataclasses.field(default_factory=bytearray)

    @property
    def path(self) -> str:
        return request_path(self.target)

    def header_values(self, name: str) -> list[str]:
        name = name.lower()
        values = []
        for line in self.header_lines:
            key, sep, value = line.partition(":")
            if sep and key.strip().lower() == name:
                values.append(value.strip(" \t"))
        return values

    def header(self, name: str) -> str | None:
        values = self.header_values(name)
        return values[0] if values else None

    def to_json(self) -> dict:
        return {"method": self.method, "target": self.target, "path": self.path,
                "version": self.version, "header_lines": self.header_lines,
                "body_b64": base64.b64encode(self.body).decode("ascii")}


def request_path(target: str) -> str:
    """The path of a request target: no query, and no scheme/authority in absolute form."""
    match = re.match(r"^[A-Za-z][A-Za-z0-9+.-]*://[^/?#]*", target)
    if match:
        target = target[match.end():] or "/"
    return target.split("?", 1)[0].split("#", 1)[0]


async def _read_line(reader: asyncio.StreamReader) -> str | None:
    """One line without its line ending (latin-1, so bytes survive), or None at EOF."""
    try:
        raw = await reader.readuntil(b"\n")
    except asyncio.IncompleteReadError as e:
        if e.partial:
            raise ConnectionError("connection closed in the middle of a line")
        return None
    except asyncio.LimitOverrunError:
        raise BadRequest("line too long")
    return raw[:-2 if raw.endswith(b"\r\n") else -1].decode("latin-1")


async def read_request_line(reader: asyncio.StreamReader) -> tuple[str, str, str] | None:
    """(method, target, version), or None when the peer closed before sending anything."""
    line = await _read_line(reader)
    if line == "":  # a stray empty line before the request line is allowed
        line = await _read_line(reader)
    if line is None:
        return None
    parts = line.split(" ")
    if len(parts) != 3 or not parts[0] or not parts[1] or not parts[2].startswith("HTTP/"):
        raise BadRequest(f"malformed request line {line!r}")
    return parts[0], parts[1], parts[2]


async def read_header_lines(reader: asyncio.StreamReader, limit: int = 1000) -> list[str]:
    lines = []
    while True:
        line = await _read_line(reader)
        if line is None:
            raise ConnectionError("connection closed inside the request head")
        if line == "":
            return lines
        if len(lines) >= limit:
            raise BadRequest("too many header lines")
        lines.append(line)


async def read_body(reader: asyncio.StreamReader, request: HttpRequest) -> None:
    """Read the body into request.body (what arrived is kept even if the peer drops)."""
    codings = ",".join(request.header_values("Transfer-Encoding")).lower()
    try:
        if "chunked" in codings:
            await _read_chunked(reader, request.body)
            return
        lengths = {v.strip() for v in request.header_values("Content-Length")}
        if not lengths:
            return
        if len(lengths) != 1 or not next(iter(lengths)).isdigit():
            raise BadRequest(f"invalid Content-Length {sorted(lengths)}")
        remaining = int(next(iter(lengths)))
        while remaining:
            chunk = await reader.read(min(remaining, STREAM_CHUNK))
            if not chunk:
                raise ConnectionError("connection closed inside the request body")
            request.body += chunk
            remaining -= len(chunk)
    except asyncio.IncompleteReadError as e:
        request.body += e.partial
        raise ConnectionError("connection closed inside the request body")


async def _read_chunked(reader: asyncio.StreamReader, body: bytearray) -> None:
    while True:
        line = await _read_line(reader)
        if line is None:
            raise ConnectionError("connection closed inside a chunked body")
        size_text = line.split(";", 1)[0].strip()
        if not re.fullmatch(r"[0-9A-Fa-f]{1,16}", size_text):
            raise BadRequest(f"invalid chunk size line {line!r}")
        size = int(size_text, 16)
        if size == 0:
            await read_header_lines(reader)  # trailers
            return
        body += await reader.readexactly(size)
        if await _read_line(reader) != "":
            raise BadRequest("chunk data not followed by CRLF")


async def read_request(reader: asyncio.StreamReader) -> HttpRequest | None:
    start = await read_request_line(reader)
    if start is None:
        return None
    request = HttpRequest(*start, header_lines=await read_header_lines(reader))
    await read_body(reader, request)
    return request


def reason_phrase(status: int) -> str:
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Unknown"


def response_head(status: int, headers: list[tuple[str, str]], reason: str | None = None) -> bytes:
    lines = [f"HTTP/1.1 {status} {reason_phrase(status) if reason is None else reason}"]
    lines += [f"{name}: {value}" for name, value in headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


_PATTERN = b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
_PATTERN_BLOCK = _PATTERN * (STREAM_CHUNK // len(_PATTERN) + 2)


def generated_bytes(offset: int, size: int) -> bytes:
    """Bytes [offset, offset+size) of the endless repetition of _PATTERN."""
    out = bytearray()
    while size > 0:
        n = min(size, STREAM_CHUNK)
        start = offset % len(_PATTERN)
        out += _PATTERN_BLOCK[start:start + n]
        offset += n
        size -= n
    return bytes(out)


@dataclasses.dataclass
class Body:
    """Literal bytes, or `size` generated bytes produced while streaming."""
    data: bytes = b""
    generated: int | None = None

    @property
    def size(self) -> int:
        return len(self.data) if self.generated is None else self.generated

    def chunks(self, limit: int | None = None):
        end = self.size if limit is None else min(limit, self.size)
        for offset in range(0, end, STREAM_CHUNK):
            n = min(STREAM_CHUNK, end - offset)
            if self.generated is None:
                yield memoryview(self.data)[offset:offset + n]
            else:
                yield generated_bytes(offset, n)


async def send_body(writer: asyncio.StreamWriter, body: Body, limit: int | None = None,
                    chunked: bool = False) -> None:
    for chunk in body.chunks(limit):
        if chunked:
            writer.write(b"%x\r\n" % len(chunk))
        writer.write(chunk)
        if chunked:
            writer.write(b"\r\n")
        await writer.drain()
    if chunked:
        writer.write(b"0\r\n\r\n")
    await writer.drain()


async def send_response(writer: asyncio.StreamWriter, status: int,
                        headers: list[tuple[str, str]] = (), body: Body | bytes = b"",
                        reason: str | None = None, head_only: bool = False) -> None:
    """Send a complete response that ends the connection.

    Content-Length and Connection are added unless the caller set them; a
    caller-set "Transfer-Encoding: chunked" makes the body go out chunked.
    """
    if isinstance(body, (bytes, bytearray)):
        body = Body(bytes(body))
    headers = list(headers)
    names = {name.lower() for name, _ in headers}
    chunked = any(n.lower() == "transfer-encoding" and "chunked" in v.lower() for n, v in headers)
    if not chunked and "content-length" not in names:
        headers.append(("Content-Length", str(body.size)))
    if "connection" not in names:
        headers.append(("Connection", "close"))
    writer.write(response_head(status, headers, reason))
    if head_only:
        await writer.drain()
    else:
        await send_body(writer, body, chunked=chunked)


async def send_json(writer: asyncio.StreamWriter, status: int, payload: dict) -> None:
    data = json.dumps(payload).encode("utf-8")
    await send_response(writer, status, [("Content-Type", "application/json")], data)


# ----------------------------------------------------------------------------
# Connection endings


def _raw_socket(writer: asyncio.StreamWriter):
    return writer.get_extra_info("socket")


def _unsent_bytes(writer: asyncio.StreamWriter) -> int:
    transport = writer.transport
    pending = transport.get_write_buffer_size()
    inner = getattr(getattr(transport, "_ssl_protocol", None), "_transport", None)
    if inner is not None:  # TLS: the ciphertext buffered below the TLS layer
        pending += inner.get_write_buffer_size()
    sock = _raw_socket(writer)
    if sock is not None and hasattr(socket, "SIOCOUTQ"):
        import fcntl
        with contextlib.suppress(OSError):
            raw = fcntl.ioctl(sock.fileno(), socket.SIOCOUTQ, b"\0\0\0\0")
            pending += struct.unpack("i", raw)[0]
    return pending


async def flush(writer: asyncio.StreamWriter, timeout: float = 2.0) -> None:
    """Wait until what was written has left this host (bounded), so a reset lands after it."""
    await writer.drain()
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while _unsent_bytes(writer) and loop.time() < deadline:
        await asyncio.sleep(0.005)


def abort_with_reset(writer: asyncio.StreamWriter) -> None:
    """Close with TCP RST (SO_LINGER 0), not FIN."""
    sock = _raw_socket(writer)
    if sock is not None:
        with contextlib.suppress(OSError):
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    writer.transport.abort()


async def close_gracefully(writer: asyncio.StreamWriter, timeout: float = 5.0) -> None:
    if writer.transport.is_closing():
        return
    with contextlib.suppress(Exception):
        await writer.drain()
    writer.close()
    try:
        await asyncio.wait_for(writer.wait_closed(), timeout)
    except (asyncio.TimeoutError, ConnectionError, ssl.SSLError, OSError):
        writer.transport.abort()


# ----------------------------------------------------------------------------
# Scripted responses and faults


@dataclasses.dataclass
class ScriptedResponse:
    status: int = 200
    reason: str | None = None
    headers: list[tuple[str, str]] = dataclasses.field(default_factory=list)
    body: Body = dataclasses.field(default_factory=Body)
    delay_ms: int = 0
    repeat: bool = False
    fault: str | None = None

    FIELDS = {"status", "reason", "headers", "body", "body_b64", "body_size", "delay_ms",
              "repeat", "fault"}

    @classmethod
    def from_json(cls, obj) -> "ScriptedResponse":
        """Validate one scripted response; ValueError names the offending field."""
        if not isinstance(obj, dict):
            raise ValueError("a response must be a JSON object")
        unknown = set(obj) - cls.FIELDS
        if unknown:
            raise ValueError(f"unknown response field(s): {', '.join(sorted(unknown))}")
        r = cls()
        r.status = _int_field(obj, "status", 200, 100, 999)
        if obj.get("reason") is not None:
            r.reason = _text_field(obj, "reason")
        headers = obj.get("headers", [])
        if not isinstance(headers, list):
            raise ValueError("'headers' must be a list of [name, value] pairs")
        for pair in headers:
            if (not isinstance(pair, list) or len(pair) != 2
                    or not all(isinstance(p, str) for p in pair)):
                raise ValueError(f"header {pair!r} is not a [name, value] pair of strings")
            name, value = pair
            if not name or ":" in name or any(c in name + value for c in "\r\n"):
                raise ValueError(f"header {pair!r} has an empty name, ':' in the name, or a line break")
            _latin1(name + value, "header")
            r.headers.append((name, value))
        given = [k for k in ("body", "body_b64", "body_size") if k in obj]
        if len(given) > 1:
            raise ValueError(f"give only one of body, body_b64, body_size (got {', '.join(given)})")
        if "body" in obj:
            if not isinstance(obj["body"], str):
                raise ValueError("'body' must be a string (use body_b64 for binary)")
            r.body = Body(obj["body"].encode("utf-8"))
        elif "body_b64" in obj:
            try:
                r.body = Body(base64.b64decode(obj["body_b64"], validate=True))
            except (binascii.Error, TypeError, ValueError):
                raise ValueError("'body_b64' is not valid base64")
        elif "body_size" in obj:
            r.body = Body(generated=_int_field(obj, "body_size", 0, 0, 1 << 40))
        r.delay_ms = _int_field(obj, "delay_ms", 0, 0, 3_600_000)
        r.repeat = obj.get("repeat", False)
        if not isinstance(r.repeat, bool):
            raise ValueError("'repeat' must be true or false")
        if obj.get("fault") is not None:
            r.fault = obj["fault"]
            if r.fault not in FAULTS:
                raise ValueError(f"unknown fault {r.fault!r}; known: {', '.join(sorted(FAULTS))}")
        return r


def _int_field(obj: dict, key: str, default: int, low: int, high: int) -> int:
    value = obj.get(key, default)
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"'{key}' must be an integer from {low} to {high}, got {value!r}")
    return value


def _text_field(obj: dict, key: str) -> str:
    value = obj[key]
    if not isinstance(value, str) or "\r" in value or "\n" in value:
        raise ValueError(f"'{key}' must be a single-line string")
    return _latin1(value, key)


def _latin1(text: str, what: str) -> str:
    try:
        text.encode("latin-1")
    except UnicodeEncodeError:
        raise ValueError(f"{what} holds characters beyond U+00FF (strings carry bytes as Latin-1)")
    return text


async def send_scripted(writer: asyncio.StreamWriter, r: ScriptedResponse,
                        head_only: bool = False) -> None:
    await send_response(writer, r.status, r.headers, r.body, r.reason, head_only)
    await close_gracefully(writer)


def _fault_body(r: ScriptedResponse, default_size: int) -> Body:
    return r.body if r.body.size else Body(generated=default_size)


async def _fault_reset(writer, r):
    abort_with_reset(writer)


async def _fault_reset_mid_header(writer, r):
    writer.write(b"HTTP/1.1 200 OK\r\nContent-Le")
    await flush(writer)
    abort_with_reset(writer)


async def _fault_reset_mid_body(writer, r):
    body = _fault_body(r, 1024)
    headers = [h for h in r.headers if h[0].lower() != "content-length"]
    headers += [("Content-Length", str(body.size)), ("Connection", "close")]
    writer.write(response_head(r.status, headers, r.reason))
    await send_body(writer, body, limit=body.size // 2)
    await flush(writer)
    abort_with_reset(writer)


async def _fault_stall(writer, r):
    await asyncio.Event().wait()  # ends when the listener closes and cancels us


async def _fault_malformed_status(writer, r):
    writer.write(b"HTTX/9 abc\r\n\r\nhello")
    await close_gracefully(writer)


async def _fault_close_no_response(writer, r):
    await close_gracefully(writer)


async def _fault_garbage(writer, r):
    remaining = r.body.size or 256
    while remaining:
        n = min(remaining, STREAM_CHUNK)
        writer.write(os.urandom(n))
        await writer.drain()
        remaining -= n
    await close_gracefully(writer)


async def _fault_broken_chunked(writer, r):
    writer.write(response_head(r.status, [("Transfer-Encoding", "chunked"), ("Connection", "close")],
                               r.reason))
    writer.write(b"5\r\nhello\r\nzz-not-a-size\r\nworld\r\n0\r\n\r\n")
    await close_gracefully(writer)


FaultFn = Callable[[asyncio.StreamWriter, ScriptedResponse], Awaitable[None]]
FAULTS: dict[str, FaultFn] = {
    "reset_after_request_line": _fault_reset,
    "reset_mid_header": _fault_reset_mid_header,
    "reset_mid_body": _fault_reset_mid_body,
    "stall": _fault_stall,
    "malformed_status": _fault_malformed_status,
    "close_no_response": _fault_close_no_response,
    "garbage": _fault_garbage,
    "broken_chunked": _fault_broken_chunked,
}
# Faults that strike before the request head has been read.
EARLY_FAULTS = {"reset_after_request_line"}


# ----------------------------------------------------------------------------
# Listeners


Handler = Callable[[asyncio.StreamReader, asyncio.StreamWriter], Awaitable[None]]


class HttpListener:
    """A 127.0.0.1 listener (plain or TLS) that owns its connections: close()
    ends the listener and every connection it accepted."""

    def __init__(self, handler: Handler, ssl_context: ssl.SSLContext | None = None,
                 name: str = "listener"):
        self.handler = handler
        self.ssl_context = ssl_context
        self.name = name
        self.port = 0
        self._server: asyncio.base_events.Server | None = None
        self._connections: dict[asyncio.Task, asyncio.StreamWriter] = {}

    async def start(self, port: int = 0) -> int:
        self._server = await asyncio.start_server(
            self._on_connection, HOST, port, backlog=LISTEN_BACKLOG, ssl=self.ssl_context,
            ssl_handshake_timeout=30 if self.ssl_context else None,
            ssl_shutdown_timeout=5 if self.ssl_context else None)
        self.port = self._server.sockets[0].getsockname()[1]
        return self.port

    async def close(self) -> None:
        if self._server is not None:
            self._server.close()
        connections = list(self._connections.items())
        for task, writer in connections:
            writer.transport.abort()
            task.cancel()
        if connections:
            await asyncio.wait([t for t, _ in connections], timeout=5)
        if self._server is not None:
            await self._server.wait_closed()
            self._server = None

    @property
    def connection_count(self) -> int:
        return len(self._connections)

    async def _on_connection(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter):
        task = asyncio.current_task()
        self._connections[task] = writer
        try:
            await self.handler(reader, writer)
        except BadRequest as e:
            LOG.info("%s: bad request: %s", self.name, e)
            with contextlib.suppress(Exception):
                await send_json(writer, 400, {"error": f"bad request: {e}"})
        except (ConnectionError, ssl.SSLError, asyncio.IncompleteReadError, OSError) as e:
            LOG.debug("%s: connection ended: %r", self.name, e)
        except asyncio.CancelledError:
            pass  # listener closing
        except Exception:
            LOG.exception("%s: connection handler failed", self.name)
        finally:
            self._connections.pop(task, None)
            if not writer.transport.is_closing():
                with contextlib.suppress(Exception):
                    await close_gracefully(writer)


class ScriptedSite:
    """Answers each request with the next scripted response for its path."""

    def __init__(self, site_id: int, tls: bool, cert: str, ssl_context: ssl.SSLContext | None):
        self.id = site_id
        self.tls = tls
        self.cert = cert
        self.scripts: dict[str, collections.deque[ScriptedResponse]] = {}
        self.requests: list[HttpRequest] = []
        self.listener = HttpListener(self.handle, ssl_context, name=f"site {site_id}")

    @property
    def port(self) -> int:
        return self.listener.port

    def describe(self) -> dict:
        return {"id": self.id, "port": self.port, "tls": self.tls,
                "cert": self.cert if self.tls else None}

    def script(self, path: str, responses: list[ScriptedResponse]) -> None:
        self.scripts.setdefault(path, collections.deque()).extend(responses)

    def _next(self, path: str, early: bool = False) -> ScriptedResponse | None:
        queue = self.scripts.get(path)
        if not queue:
            return None
        if early and queue[0].fault not in EARLY_FAULTS:
            return None
        return queue[0] if queue[0].repeat else queue.popleft()

    async def handle(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        start = await read_request_line(reader)
        if start is None:
            return
        method, target, version = start
        path = request_path(target)
        response = self._next(path, early=True)
        if response is not None:
            LOG.debug("site %d: %s %s -> fault %s", self.id, method, target, response.fault)
            await asyncio.sleep(response.delay_ms / 1000)
            await FAULTS[response.fault](writer, response)
            return

        request = HttpRequest(method, target, version, await read_header_lines(reader))
        try:
            if (request.header("Expect") or "").lower() == "100-continue" and (
                    request.header("Content-Length") not in (None, "0")
                    or request.header("Transfer-Encoding")):
                writer.write(b"HTTP/1.1 100 Continue\r\n\r\n")
            await read_body(reader, request)
        finally:
            self.requests.append(request)

        response = self._next(path)
        LOG.debug("site %d: %s %s -> %s", self.id, method, target,
                  response and (response.fault or response.status))
        if response is None:
            await send_json(writer, 404, {"error": "unscripted", "path": path})
            await close_gracefully(writer)
            return
        await asyncio.sleep(response.delay_ms / 1000)
        if response.fault:
            await FAULTS[response.fault](writer, response)
        else:
            await send_scripted(writer, response, head_only=method == "HEAD")


# ----------------------------------------------------------------------------
# Control API


class ApiError(Exception):
    def __init__(self, status: int, message: str, headers: list[tuple[str, str]] = ()):
        super().__init__(message)
        self.status = status
        self.headers = list(headers)


def closed_port() -> int:
    """A port that was just bound and released, so connecting to it is refused."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


class ControlApi:
    """JSON control API over HTTP/1.1, one request per connection."""

    def __init__(self, pki: TestPki):
        self.pki = pki
        self.sites: dict[int, ScriptedSite] = {}
        self._ids = itertools.count(1)
        self._contexts: dict[str, ssl.SSLContext] = {}
        self.stopping = asyncio.Event()
        self.listener = HttpListener(self.handle, name="control")
        S = r"/sites/(\d+)"
        self.routes: list[tuple[str, str, Callable]] = [
            ("GET", "/health", self.health),
            ("GET", "/sites", self.list_sites),
            ("POST", "/sites", self.open_site),
            ("DELETE", S, self.close_site),
            ("POST", S + "/script", self.script),
            ("GET", S + "/requests", self.get_requests),
            ("DELETE", S + "/requests", self.clear_requests),
            ("POST", "/reset", self.reset),
            ("GET", "/closed-port", self.closed_port),
            ("POST", "/shutdown", self.shutdown),
        ]

    async def handle(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        request = await read_request(reader)
        if request is None:
            return
        try:
            status, payload = 200, await self.dispatch(request)
            headers = []
        except ApiError as e:
            status, payload, headers = e.status, {"error": str(e)}, e.headers
        except Exception as e:
            LOG.exception("control: %s %s failed", request.method, request.target)
            status, payload, headers = 500, {"error": f"internal error: {e!r}"}, []
        if status >= 400:
            LOG.info("control: %s %s -> %d %s", request.method, request.target, status, payload)
        data = json.dumps(payload).encode("utf-8")
        await send_response(writer, status, headers + [("Content-Type", "application/json")], data)
        await close_gracefully(writer)

    async def dispatch(self, request: HttpRequest):
        path = request.path
        allowed = []
        for method, pattern, fn in self.routes:
            match = re.fullmatch(pattern, path)
            if not match:
                continue
            if method != request.method:
                allowed.append(method)
                continue
            args = [self._site(int(g)) for g in match.groups()]
            if method in ("POST", "PUT"):
                args.append(self._json_body(request))
            return await fn(*args)
        if allowed:
            raise ApiError(405, f"{request.method} not allowed on {path}",
                           [("Allow", ", ".join(allowed))])
        raise ApiError(404, f"no such endpoint: {request.method} {path}")

    def _site(self, site_id: int) -> ScriptedSite:
        site = self.sites.get(site_id)
        if site is None:
            raise ApiError(404, f"no site {site_id}")
        return site

    @staticmethod
    def _json_body(request: HttpRequest) -> dict:
        if not request.body.strip():
            return {}
        try:
            body = json.loads(request.body.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as e:
            raise ApiError(400, f"request body is not valid JSON: {e}")
        if not isinstance(body, dict):
            raise ApiError(400, "request body must be a JSON object")
        return body

    def _ssl_context(self, cert: str) -> ssl.SSLContext:
        if cert not in self._contexts:
            ctx = server_ssl_context(self.pki.certs["default" if cert == "tls13" else cert])
            if cert == "tls13":
                ctx.minimum_version = ssl.TLSVersion.TLSv1_3
            self._contexts[cert] = ctx
        return self._contexts[cert]

    async def health(self):
        return {"status": "ok", "pid": os.getpid(), "sites": len(self.sites)}

    async def list_sites(self):
        return {"sites": [s.describe() for s in self.sites.values()]}

    async def open_site(self, body: dict):
        unknown = set(body) - {"tls", "cert"}
        if unknown:
            raise ApiError(400, f"unknown field(s): {', '.join(sorted(unknown))}")
        tls = body.get("tls", False)
        cert = body.get("cert", "default")
        if not isinstance(tls, bool):
            raise ApiError(400, "'tls' must be true or false")
        if cert not in TestPki.CERT_NAMES:
            raise ApiError(400, f"unknown cert {cert!r}; known: {', '.join(TestPki.CERT_NAMES)}")
        site = ScriptedSite(next(self._ids), tls, cert, self._ssl_context(cert) if tls else None)
        await site.listener.start()
        self.sites[site.id] = site
        LOG.info("site %d opened on port %d (%s)", site.id, site.port,
                 f"tls, cert {cert}" if tls else "plain")
        return {"id": site.id, "port": site.port}

    async def close_site(self, site: ScriptedSite):
        del self.sites[site.id]
        await site.listener.close()
        LOG.info("site %d closed", site.id)
        return {"closed": site.id}

    async def script(self, site: ScriptedSite, body: dict):
        unknown = set(body) - {"path", "responses"}
        if unknown:
            raise ApiError(400, f"unknown field(s): {', '.join(sorted(unknown))}")
        path = body.get("path")
        if not isinstance(path, str) or not path.startswith("/") or "?" in path:
            raise ApiError(400, "'path' must be a string starting with '/' and without a query")
        try:
            _latin1(path, "path")
        except ValueError as e:
            raise ApiError(400, str(e))
        responses = body.get("responses")
        if not isinstance(responses, list) or not responses:
            raise ApiError(400, "'responses' must be a non-empty list")
        parsed = []
        for i, item in enumerate(responses):
            try:
                parsed.append(ScriptedResponse.from_json(item))
            except ValueError as e:
                raise ApiError(400, f"responses[{i}]: {e}")
        site.script(path, parsed)
        return {"queued": len(site.scripts[path])}

    async def get_requests(self, site: ScriptedSite):
        return {"requests": [r.to_json() for r in site.requests]}

    async def clear_requests(self, site: ScriptedSite):
        site.requests.clear()
        return {"cleared": site.id}

    async def reset(self, body: dict):
        await self.close_all_sites()
        return {"reset": True}

    async def closed_port(self):
        return {"port": closed_port()}

    async def shutdown(self, body: dict):
        # Let this answer go out first; serve() then closes everything.
        asyncio.get_running_loop().call_later(0.05, self.stopping.set)
        return {"stopping": True}

    async def close_all_sites(self) -> None:
        sites = list(self.sites.values())
        self.sites.clear()
        await asyncio.gather(*(s.listener.close() for s in sites))


# ----------------------------------------------------------------------------
# Process


def write_atomic(path: Path, data: bytes) -> None:
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _remove_if_ours(path: Path, content: str) -> None:
    with contextlib.suppress(OSError):
        if path.read_text() == content:
            path.unlink()


def _quiet_exception_handler(loop: asyncio.AbstractEventLoop, context: dict) -> None:
    # Clients that drop connections or reject our certificates are routine in fault tests.
    if isinstance(context.get("exception"), (ConnectionError, ssl.SSLError, OSError)):
        LOG.debug("%s: %r", context.get("message"), context.get("exception"))
    else:
        loop.default_exception_handler(context)


async def serve(state_dir: Path, pki: TestPki) -> None:
    loop = asyncio.get_running_loop()
    loop.set_exception_handler(_quiet_exception_handler)
    api = ControlApi(pki)
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, api.stopping.set)
    port = await api.listener.start()
    pid_text, port_text = f"{os.getpid()}\n", f"{port}\n"
    # pid first: once control.port exists, a fixture can always find whom to stop.
    write_atomic(state_dir / "service.pid", pid_text.encode())
    write_atomic(state_dir / "control.port", port_text.encode())
    LOG.info("control API on %s:%d (pid %d, state dir %s)", HOST, port, os.getpid(), state_dir)
    try:
        await api.stopping.wait()
    finally:
        LOG.info("stopping")
        _remove_if_ours(state_dir / "control.port", port_text)
        await api.close_all_sites()
        await api.listener.close()
        _remove_if_ours(state_dir / "service.pid", pid_text)
        LOG.info("stopped")


def _raise_fd_limit() -> None:
    with contextlib.suppress(ImportError, ValueError, OSError):
        import resource
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard == resource.RLIM_INFINITY or hard > soft:
            resource.setrlimit(resource.RLIMIT_NOFILE,
                               (65536 if hard == resource.RLIM_INFINITY else hard, hard))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Scriptable local HTTP/HTTPS test service.")
    parser.add_argument("--state-dir", required=True, type=Path,
                        help="folder for certificates, control.port and service.pid")
    parser.add_argument("--extra-san", action="append", default=[], metavar="NAME",
                        help="another name (DNS:x, IP:x or bare) for the default server certificate")
    parser.add_argument("--verbose", action="store_true", help="log every site request")
    args = parser.parse_args(argv)
    for name in args.extra_san:
        try:
            san_entry(name)
        except ValueError as e:
            parser.error(str(e))

    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.INFO, stream=sys.stderr,
                        format="%(asctime)s %(levelname)s %(message)s")
    _raise_fd_limit()
    state_dir = args.state_dir.resolve()
    try:
        state_dir.mkdir(parents=True, exist_ok=True)
        for stale in ("control.port", "service.pid"):
            with contextlib.suppress(FileNotFoundError):
                (state_dir / stale).unlink()
        pki = TestPki(state_dir, args.extra_san)
        pki.generate()
    except (OSError, RuntimeError, subprocess.SubprocessError) as e:
        LOG.error("cannot prepare %s: %s", state_dir, e)
        return 1
    asyncio.run(serve(state_dir, pki))
    return 0


if __name__ == "__main__":
    sys.exit(main())
