"""Self-test of the local test service: /usr/bin/python3 -m unittest test_testservice"""

import asyncio
import base64
import http.client
import json
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
FIXTURE = HERE / "run_fixture.sh"
STATE: Path = Path()
CONTROL_PORT = 0


def setUpModule():
    global STATE, CONTROL_PORT
    STATE = Path(tempfile.mkdtemp(prefix="movu-testservice-"))
    subprocess.run([str(FIXTURE), "start", str(STATE), "--extra-san", "extra.movu.test"],
                   check=True, stdout=subprocess.DEVNULL)
    CONTROL_PORT = int((STATE / "control.port").read_text())


def tearDownModule():
    subprocess.run([str(FIXTURE), "stop", str(STATE)], check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(STATE, ignore_errors=True)


def control(method, path, body=None, port=None):
    conn = http.client.HTTPConnection("127.0.0.1", port or CONTROL_PORT, timeout=10)
    try:
        conn.request(method, path, None if body is None else json.dumps(body))
        resp = conn.getresponse()
        return resp.status, json.loads(resp.read())
    finally:
        conn.close()


def recv_all(sock):
    data = b""
    while chunk := sock.recv(65536):
        data += chunk
    return data


class SiteCase(unittest.TestCase):
    tls = False
    cert = "default"

    def setUp(self):
        status, site = control("POST", "/sites", {"tls": self.tls, "cert": self.cert})
        self.assertEqual(status, 200, site)
        self.site, self.port = site["id"], site["port"]
        self.addCleanup(control, "DELETE", f"/sites/{self.site}")

    def script(self, path, *responses):
        status, answer = control("POST", f"/sites/{self.site}/script",
                                 {"path": path, "responses": list(responses)})
        self.assertEqual(status, 200, answer)

    def recorded(self):
        return control("GET", f"/sites/{self.site}/requests")[1]["requests"]

    def get(self, path, method="GET"):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request(method, path)
        resp = conn.getresponse()
        result = resp.status, resp.reason, resp.getheaders(), resp.read()
        conn.close()
        return result

    def raw(self, data=b"GET /f HTTP/1.1\r\nHost: x\r\n\r\n", timeout=5):
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        self.addCleanup(sock.close)
        sock.sendall(data)
        return sock


class ScriptingTests(SiteCase):
    def test_each_path_answers_in_script_order_and_repeat_sticks(self):
        self.script("/a", {"body": "a1"}, {"status": 201, "reason": "Made", "body": "a2"})
        self.script("/b", {"status": 202, "body": "b", "repeat": True, "headers": [["X-One", "1"]]})
        self.assertEqual(self.get("/a")[::3], (200, b"a1"))
        status, reason, headers, body = self.get("/b?q=1")
        self.assertEqual((status, reason, body), (202, "Accepted", b"b"))
        self.assertIn(("X-One", "1"), headers)
        self.assertIn(("Content-Length", "1"), headers)
        self.assertEqual(self.get("/a")[:2] + (self.get("/b")[3],), (201, "Made", b"b"))
        status, _, _, body = self.get("/a")
        self.assertEqual((status, json.loads(body)), (404, {"error": "unscripted", "path": "/a"}))

    def test_bodies_binary_generated_chunked_and_head(self):
        blob = bytes(range(256)) * 4
        self.script("/bin", {"body_b64": base64.b64encode(blob).decode()})
        self.script("/big", {"body_size": 3 * 1024 * 1024 + 7})
        self.script("/chunked", {"headers": [["Transfer-Encoding", "chunked"]], "body": "x" * 70000})
        self.script("/head", {"body": "twelve bytes"})
        self.assertEqual(self.get("/bin")[3], blob)
        big = self.get("/big")[3]
        pattern = b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
        self.assertEqual(big, (pattern * (len(big) // len(pattern) + 1))[:3 * 1024 * 1024 + 7])
        _, _, headers, body = self.get("/chunked")
        self.assertEqual(body, b"x" * 70000)
        self.assertNotIn("Content-Length", dict(headers))
        _, _, headers, body = self.get("/head", method="HEAD")
        self.assertEqual((dict(headers)["Content-Length"], body), ("12", b""))

    def test_bad_input_is_rejected_with_a_reason(self):
        cases = [
            ("POST", f"/sites/{self.site}/script", {"path": "/x", "responses": [{"fault": "nope"}]}, 400),
            ("POST", f"/sites/{self.site}/script", {"path": "/x", "responses": [{"body": "a", "body_size": 1}]}, 400),
            ("POST", f"/sites/{self.site}/script", {"path": "x", "responses": [{}]}, 400),
            ("POST", f"/sites/{self.site}/script", {"path": "/x", "responses": [{"status": "200"}]}, 400),
            ("POST", "/sites", {"tls": True, "cert": "missing"}, 400),
            ("POST", "/sites/999999/script", {"path": "/x", "responses": [{}]}, 404),
            ("GET", "/shutdown", None, 405),
        ]
        for method, path, body, expected in cases:
            with self.subTest(path=path, body=body):
                status, answer = control(method, path, body)
                self.assertEqual(status, expected)
                self.assertTrue(answer["error"])
        conn = http.client.HTTPConnection("127.0.0.1", CONTROL_PORT, timeout=10)
        conn.request("POST", "/sites", b"{not json")
        self.assertEqual(conn.getresponse().status, 400)
        conn.close()


class RecordingTests(SiteCase):
    def test_header_lines_and_bodies_are_recorded_exactly(self):
        self.script("/up", {"body": "ok", "repeat": True})
        head = b"POST /up?z=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nx-Dup:  1 \r\nX-DUP: \xe92\r\n"
        recv_all(self.raw(head + b"Content-Length: 5\r\n\r\nhello"))
        recv_all(self.raw(head + b"Transfer-Encoding: chunked\r\n\r\n"
                          b"3;ext=1\r\nabc\r\n4\r\n\x00\xff\r\n\r\n0\r\nTrailer: t\r\n\r\n"))
        recv_all(self.raw(b"GET /up HTTP/1.1\r\nHost: a\r\n\r\n"))
        first, second, third = self.recorded()
        self.assertEqual((first["method"], first["target"], first["path"]), ("POST", "/up?z=1", "/up"))
        self.assertEqual(first["header_lines"],
                         ["Host: 127.0.0.1", "x-Dup:  1 ", "X-DUP: \xe92", "Content-Length: 5"])
        self.assertEqual(base64.b64decode(first["body_b64"]), b"hello")
        self.assertEqual(base64.b64decode(second["body_b64"]), b"abc\x00\xff\r\n")
        self.assertEqual((third["method"], third["body_b64"]), ("GET", ""))
        self.assertEqual(control("DELETE", f"/sites/{self.site}/requests")[0], 200)
        self.assertEqual(self.recorded(), [])


class TlsTests(unittest.TestCase):
    def fetch(self, cert, name):
        _, site = control("POST", "/sites", {"tls": True, "cert": cert})
        self.addCleanup(control, "DELETE", f"/sites/{site['id']}")
        control("POST", f"/sites/{site['id']}/script", {"path": "/t", "responses": [{"body": "secure"}]})
        ctx = ssl.create_default_context(cafile=str(STATE / "ca.pem"))
        with socket.create_connection(("127.0.0.1", site["port"]), timeout=10) as raw:
            with ctx.wrap_socket(raw, server_hostname=name) as tls:
                tls.sendall(b"GET /t HTTP/1.1\r\nHost: x\r\n\r\n")
                return recv_all(tls)

    def test_default_cert_verifies_with_test_ca_for_every_name(self):
        for name in ("secondary.movu.test", "localhost", "127.0.0.1", "extra.movu.test"):
            with self.subTest(name=name):
                self.assertTrue(self.fetch("default", name).endswith(b"\r\n\r\nsecure"))
        self.assertTrue((STATE / "certs" / "ca-certificates.crt").read_bytes().startswith(b"-----BEGIN"))

    def test_untrusted_and_wrong_name_certs_fail_verification(self):
        for cert in ("untrusted", "wrongname"):
            with self.subTest(cert=cert), self.assertRaises(ssl.SSLCertVerificationError):
                self.fetch(cert, "localhost")


class FaultTests(SiteCase):
    def read_until_reset(self, sock):
        data = b""
        with self.assertRaises(ConnectionResetError):
            while chunk := sock.recv(65536):
                data += chunk
        return data

    def test_resets(self):
        self.script("/f", {"fault": "reset_after_request_line"}, {"fault": "reset_mid_header"},
                    {"fault": "reset_mid_body", "body_size": 100000})
        self.assertEqual(self.read_until_reset(self.raw()), b"")
        self.assertEqual(self.read_until_reset(self.raw()), b"HTTP/1.1 200 OK\r\nContent-Le")
        head, _, body = self.read_until_reset(self.raw()).partition(b"\r\n\r\n")
        self.assertIn(b"Content-Length: 100000", head)
        self.assertEqual(len(body), 50000)
        self.assertEqual(len(self.recorded()), 2)  # the first never sent a full head

    def test_broken_responses(self):
        self.script("/f", {"fault": "malformed_status"}, {"fault": "close_no_response"},
                    {"fault": "garbage", "body_size": 1000}, {"fault": "broken_chunked"})
        self.assertEqual(recv_all(self.raw()), b"HTTX/9 abc\r\n\r\nhello")
        self.assertEqual(recv_all(self.raw()), b"")
        self.assertEqual(len(recv_all(self.raw())), 1000)
        with self.assertRaises((http.client.HTTPException, ValueError)):
            self.get("/f")

    def test_stall_blocks_only_its_own_connection_until_site_closes(self):
        self.script("/f", {"fault": "stall"})
        self.script("/other", {"body": "served"})
        stalled = self.raw(timeout=0.5)
        with self.assertRaises(TimeoutError):
            stalled.recv(1)
        self.assertEqual(self.get("/other")[3], b"served")
        self.assertEqual(control("DELETE", f"/sites/{self.site}")[0], 200)
        stalled.settimeout(5)
        try:
            self.assertEqual(stalled.recv(1), b"")
        except ConnectionResetError:
            pass
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", self.port), timeout=5)


class LoadTests(SiteCase):
    def test_thousand_concurrent_delayed_connections_all_complete(self):
        self.script("/slow", {"body": "done", "delay_ms": 100, "repeat": True})

        async def one():
            reader, writer = await asyncio.open_connection("127.0.0.1", self.port)
            writer.write(b"GET /slow HTTP/1.1\r\nHost: x\r\n\r\n")
            data = await reader.read()
            writer.close()
            return data

        async def all_of_them():
            return await asyncio.wait_for(asyncio.gather(*(one() for _ in range(1000))), 10)

        answers = asyncio.run(all_of_them())
        self.assertEqual(sum(a.startswith(b"HTTP/1.1 200 OK") and a.endswith(b"done")
                             for a in answers), 1000)
        self.assertEqual(len(self.recorded()), 1000)


class ServiceTests(unittest.TestCase):
    def test_closed_port_refuses(self):
        status, answer = control("GET", "/closed-port")
        self.assertEqual(status, 200)
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", answer["port"]), timeout=5)

    def test_shutdown_closes_every_listener_and_exits(self):
        state = Path(tempfile.mkdtemp(prefix="movu-testservice-"))
        self.addCleanup(shutil.rmtree, state, True)
        proc = subprocess.Popen([sys.executable, str(HERE / "movu_testservice.py"),
                                 "--state-dir", str(state)], stderr=subprocess.DEVNULL)
        self.addCleanup(proc.kill)
        deadline = time.monotonic() + 20
        while not (state / "control.port").exists():
            self.assertLess(time.monotonic(), deadline, "service did not start")
            time.sleep(0.05)
        port = int((state / "control.port").read_text())
        site = control("POST", "/sites", {}, port=port)[1]
        control("POST", f"/sites/{site['id']}/script", {"path": "/s", "responses": [{"fault": "stall"}]},
                port=port)
        stalled = socket.create_connection(("127.0.0.1", site["port"]), timeout=10)
        self.addCleanup(stalled.close)
        stalled.sendall(b"GET /s HTTP/1.1\r\n\r\n")
        self.assertEqual(control("POST", "/shutdown", port=port)[0], 200)
        self.assertEqual(proc.wait(timeout=10), 0)
        self.assertFalse((state / "control.port").exists())
        self.assertFalse((state / "service.pid").exists())
        for p in (port, site["port"]):
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", p), timeout=5)


if __name__ == "__main__":
    unittest.main()
