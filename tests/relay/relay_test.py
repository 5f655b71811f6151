#!/usr/bin/env python3
"""zephlink-relay from outside (a client written from the endpoints table, the
program's verification modes, redis-server on a free loopback port):
relay_test.py RELAY PROGRAM SHARED_DIR [unittest arguments]"""
import base64
import concurrent.futures
import http.client
import http.server
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

RELAY, PROGRAM, SHARED = sys.argv[1:4]
del sys.argv[1:4]
POOL = concurrent.futures.ThreadPoolExecutor(16)
TEXTS = ["macOS → Zephlink 🔐", "Windows → Zephlink 🔐", "Android → Zephlink 🔐"]


def b64(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def unb64(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def envelope(**changes):  # random bytes of the right sizes
    clip = {"v": 1, "id": os.urandom(16).hex(), "origin": os.urandom(16).hex(),
            "createdAt": int(time.time() * 1000), "nonce": b64(os.urandom(12)),
            "ciphertext": b64(os.urandom(48))}
    clip.update(changes)
    return clip


def aad(room, clip):
    return f"zephlink|1|{room}|{clip['id']}|{clip['origin']}|{clip['createdAt']}".encode()


def seal(room, key, text, **changes):  # as another implementation would
    clip = envelope(**changes)
    body = json.dumps({"text": text}, ensure_ascii=False).encode()
    clip["ciphertext"] = b64(AESGCM(unb64(key)).encrypt(unb64(clip["nonce"]), body,
                                                        aad(room, clip)))
    return clip


def open_clip(room, key, clip):
    body = AESGCM(unb64(key)).decrypt(unb64(clip["nonce"]), unb64(clip["ciphertext"]),
                                      aad(room, clip))
    return json.loads(body)["text"]


def program(*arguments):
    run = subprocess.run([PROGRAM, *arguments], capture_output=True, text=True, timeout=60)
    return f"{run.returncode} {run.stdout.strip()}"


class Relay:  # one process on an ephemeral loopback port
    def __init__(self, *options):
        self.options = options
        self.start()

    def start(self):
        self.process = subprocess.Popen([RELAY, "--listen", "127.0.0.1:0", *self.options],
                                        stderr=subprocess.PIPE, text=True)
        line = self.process.stderr.readline()  # where it listens, or why not
        found = re.search(r"on 127\.0\.0\.1:(\d+)(?:, metrics on 127\.0\.0\.1:(\d+))?", line)
        if not found:
            self.process.kill()
            raise RuntimeError("relay did not start: " + line)
        self.port, self.metrics_port = int(found.group(1)), int(found.group(2) or 0)
        self.url = f"http://127.0.0.1:{self.port}"
        threading.Thread(target=self.process.stderr.read, daemon=True).start()

    def call(self, method, path, body=None, token=None, headers=(), port=None, source=None):
        connection = http.client.HTTPConnection("127.0.0.1", port or self.port, timeout=30,
                                                source_address=(source, 0) if source else None)
        sent = {"Content-Type": "application/json", **dict(headers)}
        if token:
            sent["Authorization"] = "Bearer " + token
        try:
            connection.request(method, path, json.dumps(body) if isinstance(body, dict) else body,
                               sent)
            answer = connection.getresponse()
            return answer.status, answer.read()
        finally:
            connection.close()

    def create(self, **kw):
        answer = json.loads(self.call("POST", "/v1/rooms", "{}", **kw)[1])
        return answer["room"], answer["token"]

    def post(self, room, token, clip, **kw):
        status, body = self.call("POST", f"/v1/rooms/{room}/clips", clip, token=token, **kw)
        return status, json.loads(body) if body else None

    def poll(self, room, token, after=0, wait=0, **kw):
        status, body = self.call("GET", f"/v1/rooms/{room}/clips?after={after}&wait={wait}",
                                 token=token, **kw)
        return status, json.loads(body) if status == 200 else body

    def held(self, room, token, after, wait=20, **kw):
        """A poll started 0.3 s ago; calling the result waits for its answer."""
        future = POOL.submit(self.poll, room, token, after, wait, **kw)
        time.sleep(0.3)
        return lambda: future.result(wait + 10)

    def metric(self, name):
        text = self.call("GET", "/metrics", port=self.metrics_port)[1].decode()
        return int(re.search(rf"^{re.escape(name)} (\d+)$", text, re.M).group(1))

    def stop(self, sig=signal.SIGTERM):
        started = time.monotonic()
        self.process.send_signal(sig)
        return self.process.wait(10), time.monotonic() - started


def raw(port, data):  # the status of an answer to these bytes
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(data)
        answer = b""
        try:
            while b"\r\n" not in answer and (chunk := s.recv(4096)):
                answer += chunk
        except (ConnectionResetError, socket.timeout):
            pass
    found = re.match(rb"HTTP/1\.1 (\d+)", answer)
    return int(found.group(1)) if found else None


def tampering(relay, method, path_end, change):
    """A relay in front of `relay` whose answers to METHOD .../PATH_END pass
    through change(status, body); it records what it was asked."""
    seen = []

    class Handler(http.server.BaseHTTPRequestHandler):
        def forward(self):
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            token = (self.headers.get("Authorization") or "")[7:]
            seen.append(f"{self.command} {self.path}")
            status, answer = relay.call(self.command, self.path, body or None, token=token)
            if self.command == method and self.path.split("?")[0].endswith(path_end):
                status, answer = change(status, answer)
            self.send_response(status)
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)

        do_GET = do_POST = do_DELETE = forward

        log_message = lambda *_: None  # noqa: E731

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    server.seen, server.url = seen, f"http://127.0.0.1:{server.server_address[1]}"
    return server


class Endpoints:  # the endpoints table on both stores
    def check_endpoints(self, relay, other):
        room, token = relay.create()
        self.assertRegex(room, r"^[0-9a-f]{32}$")
        self.assertEqual(len(unb64(token)), 32)
        status, body = relay.call("GET", f"/v1/rooms/{room}/clips?after=0", token=token)
        self.assertEqual((status, body), (200, b'{"clips":[],"cursor":0,"reset":false}'))

        first = envelope()
        self.assertEqual(relay.post(room, token, first), (201, {"seq": 1}))
        shuffled = json.dumps(dict(reversed(list(first.items()))), indent=1)
        self.assertEqual(relay.post(room, token, shuffled), (200, {"seq": 1}), "same clip again")
        self.assertEqual(relay.post(room, token, {**first, "nonce": b64(os.urandom(12))}),
                         (409, {"seq": 1}), "other bytes, same id")

        waiting = other.held(room, token, after=1)
        second = envelope()
        self.assertEqual(relay.post(room, token, second), (201, {"seq": 2}))
        self.assertEqual(waiting(), (200, {"clips": [{"seq": 2, "envelope": second}],
                                           "cursor": 2, "reset": False}), "woken by the post")
        self.assertEqual(other.poll(room, token, after=2, wait=1),
                         (200, {"clips": [], "cursor": 2, "reset": False}), "wait ran out")
        status, body = relay.call("GET", f"/v1/rooms/{room}/clips?after=0", token=token)
        canonical = [json.dumps(c, sort_keys=True, separators=(",", ":")) for c in (first, second)]
        self.assertEqual(body.decode(), '{"clips":[{"envelope":%s,"seq":1},{"envelope":%s,"seq":2}'
                         '],"cursor":2,"reset":false}' % tuple(canonical))
        self.assertEqual(relay.poll(room, token, after=7)[1]["reset"], True, "cursor ahead")

        before = relay.poll(room, token)
        wrong = b64(os.urandom(32))
        clips = f"/v1/rooms/{room}/clips"
        hostile = [
            ("POST", clips, envelope(), wrong, 401),
            ("GET", clips + "?after=0", None, None, 401),
            ("GET", f"/v1/rooms/{'0' * 32}/clips?after=0", None, token, 401),
            ("DELETE", f"/v1/rooms/{room}", None, wrong, 401),
            ("GET", f"/v1/rooms/{room.upper()}/clips", None, token, 404),
            ("PUT", clips, envelope(), token, 405),
            ("GET", "/v1/rooms", None, None, 405),
            ("POST", clips, "{", token, 400),
            ("POST", clips, envelope(v=2), token, 400),
            ("POST", clips, envelope(nonce=b64(os.urandom(11))), token, 400),
            ("POST", clips, envelope(ciphertext=b64(os.urandom(40977))), token, 400),
            ("POST", clips, envelope(createdAt=int(time.time() * 1000) - 901000), token, 400),
            ("POST", clips, envelope(ciphertext=b64(os.urandom(45000))), token, 413),
            ("GET", clips + "?after=-1", None, token, 400),
            ("GET", clips + "?after=1&after=2", None, token, 400),
            ("GET", clips + "?after=1&wait=1&x=1", None, token, 400),
            ("GET", clips + "?after=x", None, wrong, 401),
        ]
        for method, path, body, key, expected in hostile:
            with self.subTest(method=method, path=path[-40:], expected=expected):
                self.assertEqual(relay.call(method, path, body, token=key)[0], expected)
        self.assertEqual(relay.poll(room, token), before, "hostile requests changed the room")

        revoked = other.held(room, token, after=2)
        self.assertEqual(relay.call("DELETE", f"/v1/rooms/{room}", token=token)[0], 204)
        self.assertEqual(revoked()[0], 401, "a held poll learns its room is gone")
        self.assertEqual(relay.poll(room, token)[0], 401)


class CryptoCheck(unittest.TestCase):
    def test_passes_only_on_a_sound_fixture(self):
        path = os.path.join(SHARED, "fixtures/crypto-fixture.json")
        self.assertEqual(program("--relay-check", "--crypto-check", path), "0 PASS: macOS "
                         "CryptoKit shared fixture and metadata authentication")
        with open(path, encoding="utf-8") as file:
            good = json.load(file)
        room, key = os.urandom(16).hex(), b64(os.urandom(32))
        bad = ["[]", {k: v for k, v in good.items() if k != "room"}, {**good, "text": TEXTS[0]},
               {**good, "envelope": {**good["envelope"], "createdAt": 1796546274176}},
               # Already from 32 "f": the altered copy still opens.
               {"room": room, "key": key, "text": "x", "envelope": seal(room, key, "x",
                                                                         origin="f" * 32)}]
        with tempfile.TemporaryDirectory() as folder:
            for n, contents in enumerate(bad):
                with open(os.path.join(folder, str(n)), "w", encoding="utf-8") as file:
                    file.write(contents if isinstance(contents, str) else json.dumps(contents))
                self.assertEqual(program("--crypto-check", file.name),
                                 "1 Crypto verification failed", contents)
        for arguments in [("--crypto-check", "/nonexistent.json"), ("--crypto-check",)]:
            self.assertEqual(program(*arguments), "1 Crypto verification failed")


class InMemory(unittest.TestCase, Endpoints):
    def setUp(self):
        self.relay = Relay("--rooms-per-hour", "1000")
        self.addCleanup(self.relay.stop)

    def test_endpoints(self):
        self.check_endpoints(self.relay, self.relay)

    def test_relay_check(self):
        passed = tampering(self.relay, "", "", None)
        self.assertEqual(program("--relay-check", "\u00a0" + passed.url + "\u2028"),
                         "0 PASS: macOS create, encrypted send, receive, decrypt and revoke "
                         "against relay")
        self.assertEqual([re.sub("[0-9a-f]{32}", "R", s) for s in passed.seen],
                         ["POST /v1/rooms", "POST /v1/rooms/R/clips",
                          "GET /v1/rooms/R/clips?after=0", "DELETE /v1/rooms/R"])
        duplicated = lambda status, body: (status, json.dumps(
            {**json.loads(body), "clips": 2 * json.loads(body)["clips"]}).encode())
        for method, path_end, change, message in [
                ("GET", "/clips", duplicated, "Roundtrip mismatch"),
                ("POST", "/v1/rooms", lambda *_: (302, b""), "Relay returned HTTP 302")]:
            relay = tampering(self.relay, method, path_end, change)
            self.assertEqual(program("--relay-check", relay.url),
                             "1 Relay verification failed: " + message)
            self.assertFalse([s for s in relay.seen if s.startswith("DELETE")], message)
            relay.shutdown()
        self.assertEqual(program("--relay-check"), "1 Relay verification failed: Use a server URL "
                         "without a path or credentials")

    def test_interop_with_foreign_clips(self):
        def interop(operation, *texts, sealed_for=None, **group):
            room, token = self.relay.create()
            key = b64(os.urandom(32))
            for text in texts:
                self.relay.post(room, token, seal(sealed_for or room, key, text))
            with tempfile.NamedTemporaryFile("w", suffix=".json") as file:
                json.dump({"server": self.relay.url, "room": room, "token": token, "key": key,
                           **group}, file)
                file.flush()
                return program("--interop", file.name, operation), (room, token, key)

        passed, (room, token, key) = interop("send")
        self.assertEqual(passed, "0 PASS: macOS interop send")
        sent = self.relay.poll(room, token)[1]["clips"][0]["envelope"]
        self.assertEqual(open_clip(room, key, sent), TEXTS[0])
        self.assertRegex(sent["origin"], r"^[0-9a-f]{32}$")
        mac, windows, android = TEXTS
        self.assertEqual(interop("receive", mac, windows, android, windows)[0],
                         "0 PASS: macOS interop receive")
        for operation, texts, changes in [
                ("receive", [mac, windows], {}),
                ("receive", [*TEXTS, "Linux → Zephlink 🔐"], {}),
                ("receive", TEXTS, {"sealed_for": "0" * 32}),
                ("receive", TEXTS, {"token": b64(os.urandom(32))}),
                ("send", [], {"room": "A" * 32})]:
            with self.subTest(texts=texts, changes=changes):
                self.assertEqual(interop(operation, *texts, **changes)[0], "1 macOS interop failed")
        self.assertEqual(program("--interop", "/nonexistent.json", "send"), "1 macOS interop failed")

    def test_limits_slow_clients_and_graceful_stop(self):
        relay = Relay("--requests-per-minute", "40", "--rooms-per-hour", "2",
                      "--polls-per-address", "2", "--max-polls", "3", "--max-clips", "3",
                      "--retention", "2", "--room-idle", "4", "--max-body", "4096",
                      "--request-timeout", "2",
                      "--trust-proxy", "127.0.0.1", "--metrics", "127.0.0.1:0")
        try:
            via = lambda address: {"X-Forwarded-For": f"198.51.100.7, {address}"}
            room, token = relay.create()
            relay.create()
            self.assertEqual(relay.call("POST", "/v1/rooms", "{}")[0], 429, "third room")
            idle = relay.create(headers=via("192.0.2.1"))  # the trusted proxy's client
            for n, expected in enumerate([201, 201, 429]):  # an untrusted peer's claim is ignored
                self.assertEqual(relay.call("POST", "/v1/rooms", "{}", source="127.0.0.2",
                                            headers=via(f"192.0.2.{n + 20}"))[0], expected)

            polls = [relay.held(room, token, 0, 3), relay.held(room, token, 0, 3)]
            self.assertEqual(relay.poll(room, token, 0, 3)[0], 429, "third poll of an address")
            polls.append(relay.held(room, token, 0, 3, headers=via("192.0.2.2")))
            self.assertEqual(relay.poll(room, token, 0, 3, headers=via("192.0.2.3"))[0], 503)
            self.assertEqual(relay.metric("zephlink_relay_held_polls"), 3)
            self.assertEqual([poll()[1]["cursor"] for poll in polls], [0, 0, 0])

            for n in range(1, 5):
                self.assertEqual(relay.post(room, token, envelope()), (201, {"seq": n}))
            batch = relay.poll(room, token)[1]
            self.assertEqual(([c["seq"] for c in batch["clips"]], batch["reset"]),
                             ([2, 3, 4], True), "three clips kept; clip 1 was missed")
            self.assertEqual(relay.call("POST", f"/v1/rooms/{room}/clips", "x" * 5000,
                                        token=token)[0], 413)

            # A client that leaves its held poll is forgotten at once.
            with socket.create_connection(("127.0.0.1", relay.port)) as s:
                s.sendall(f"GET /v1/rooms/{room}/clips?after=4&wait=20 HTTP/1.1\r\nHost: x\r\n"
                          f"Authorization: Bearer {token}\r\n\r\n".encode())
                time.sleep(0.3)
                self.assertEqual(relay.metric("zephlink_relay_held_polls"), 1)
            time.sleep(0.3)
            self.assertEqual(relay.metric("zephlink_relay_held_polls"), 0)

            head = f"POST /v1/rooms/{room}/clips HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " \
                   f"{token}\r\n"
            slow = POOL.submit(raw, relay.port, (head + "Content-Length: 300\r\n\r\n{").encode())
            body = json.dumps(envelope())
            self.assertEqual(raw(relay.port, (head + "Expect: 100-continue\r\nContent-Length: "
                                              f"{len(body)}\r\n\r\n{body}").encode()), 100)
            for request, expected in [(b"GET / HTTP/1.1\r\nX: " + b"a" * 9000 + b"\r\n\r\n", 431),
                                      (b"NOT A REQUEST\r\n\r\n", 400),
                                      (b"GET /health HTTP/1.1\r\nHost: x\r\n\r\n", 200)]:
                self.assertEqual(raw(relay.port, request), expected)
            self.assertEqual(slow.result(10), 408, "a sender too slow to finish")
            self.assertEqual(relay.poll(room, token)[1]["cursor"], 5, "slow sender stored nothing")

            time.sleep(2.1)
            self.assertEqual(relay.poll(room, token, after=5),
                             (200, {"clips": [], "cursor": 5, "reset": False}), "all expired")
            self.assertEqual(relay.poll(room, token, after=3)[1]["reset"], True)
            self.assertEqual(relay.poll(*idle)[0], 401, "a room unused for 4 s is forgotten")

            for _ in range(40):
                relay.poll(room, token, headers=via("192.0.2.9"))
            self.assertEqual(relay.poll(room, token, headers=via("192.0.2.9"))[0], 429)
            self.assertEqual(relay.poll(room, token, headers=via("192.0.2.10"))[0], 200)
            waiting = relay.held(room, token, 5, 20, headers=via("192.0.2.11"))
        finally:
            code, took = relay.stop()
        self.assertEqual(waiting()[0], 200, "a held poll is answered when the relay stops")
        self.assertEqual(code, 0)
        self.assertLess(took, 2.0)


class OnRedis(unittest.TestCase, Endpoints):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="zephlink-redis-")
        self.addCleanup(self.dir.cleanup)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.start_redis()
        self.addCleanup(lambda: self.redis.kill() or self.redis.wait(10))
        url = f"redis://127.0.0.1:{self.port}"
        self.relays = [Relay("--redis", url), Relay("--redis", url)]
        for relay in self.relays:
            self.addCleanup(lambda r: r.process.poll() is None and r.stop(), relay)

    def start_redis(self):
        # Append-only: what Redis acknowledged survives its restart.
        self.redis = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--dir", self.dir.name,
             "--appendonly", "yes", "--save", ""], stdout=subprocess.DEVNULL)
        for _ in range(100):
            if subprocess.run(["redis-cli", "-p", str(self.port), "ping"],
                              capture_output=True).stdout.strip() == b"PONG":
                return
            time.sleep(0.05)
        raise RuntimeError("redis-server did not start")

    def test_endpoints_across_two_relays(self):
        self.check_endpoints(*self.relays)

    def test_restarts_lose_no_clip_and_share_one_sequence(self):
        one, two = self.relays
        room, token = one.create()
        posted = POOL.map(lambda relay: relay.post(room, token, envelope())[1]["seq"],
                          25 * self.relays, timeout=60)
        self.assertEqual(sorted(posted), list(range(1, 51)), "one sequence")

        two.stop(signal.SIGKILL)
        two.start()
        batch = two.poll(room, token, after=0)[1]
        self.assertEqual(([c["seq"] for c in batch["clips"]], batch["cursor"]),
                         (list(range(1, 51)), 50), "relay restarted")
        self.redis.kill()
        self.redis.wait(10)
        self.assertEqual(one.post(room, token, envelope())[0], 503, "Redis is down")
        self.start_redis()
        deadline = time.monotonic() + 10
        while two.call("GET", "/health")[0] != 200 and time.monotonic() < deadline:
            time.sleep(0.1)
        waiting = two.held(room, token, after=50)
        clip = envelope()
        self.assertEqual(one.post(room, token, clip), (201, {"seq": 51}), "Redis restarted")
        self.assertEqual(waiting(), (200, {"clips": [{"seq": 51, "envelope": clip}],
                                           "cursor": 51, "reset": False}))


if __name__ == "__main__":
    unittest.main()
