#!/usr/bin/env python3
"""zephlink-relay from the outside: a client written from the relay endpoints
table alone (http.client, no code of the program), real relay processes on
loopback, and a real redis-server on a free loopback port in a temporary
directory. Every wait is bounded.

    relay_test.py RELAY PROGRAM CLIP_TOOL [unittest arguments]
"""
import base64
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

RELAY, PROGRAM, CLIP_TOOL = sys.argv[1:4]
del sys.argv[1:4]
FIXTURES = ["macOS → Zephlink 🔐", "Windows → Zephlink 🔐", "Android → Zephlink 🔐"]


def b64(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def envelope(**changes):
    """A clip the relay cannot open and need not: random bytes of the right sizes."""
    clip = {"v": 1, "id": os.urandom(16).hex(), "origin": os.urandom(16).hex(),
            "createdAt": int(time.time() * 1000), "nonce": b64(os.urandom(12)),
            "ciphertext": b64(os.urandom(48))}
    clip.update(changes)
    return clip


def canonical(clip):
    return json.dumps(clip, sort_keys=True, separators=(",", ":"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Relay:
    """One relay process on an ephemeral loopback port."""

    def __init__(self, *options):
        self.options = options
        self.start()

    def start(self):
        self.process = subprocess.Popen([RELAY, "--listen", "127.0.0.1:0", *self.options],
                                        stderr=subprocess.PIPE, text=True)
        line = self.process.stderr.readline()  # the relay says where it listens, or why not
        found = re.search(r"listening on 127\.0\.0\.1:(\d+)(?:, metrics on 127\.0\.0\.1:(\d+))?",
                          line)
        if not found:
            self.process.kill()
            raise RuntimeError("relay did not start: " + line)
        self.port = int(found.group(1))
        self.metrics_port = int(found.group(2) or 0)
        self.log = []  # shown when the relay ends badly
        threading.Thread(target=lambda: self.log.extend(self.process.stderr), daemon=True).start()

    def call(self, method, path, body=None, token=None, headers=(), port=None, source=None,
             timeout=30):
        connection = http.client.HTTPConnection("127.0.0.1", port or self.port, timeout=timeout,
                                                source_address=(source, 0) if source else None)
        sent = {"Content-Type": "application/json", **dict(headers)}
        if token:
            sent["Authorization"] = "Bearer " + token
        if isinstance(body, dict):
            body = json.dumps(body)
        try:
            connection.request(method, path, body=body, headers=sent)
            answer = connection.getresponse()
            return answer.status, answer.read()
        finally:
            connection.close()

    def create(self, **kw):
        status, body = self.call("POST", "/v1/rooms", "{}", **kw)
        assert status == 201, status
        room = json.loads(body)
        return room["room"], room["token"]

    def post(self, room, token, clip, **kw):
        status, body = self.call("POST", f"/v1/rooms/{room}/clips", clip, token=token, **kw)
        return status, json.loads(body) if body else None

    def poll(self, room, token, after=0, wait=0, **kw):
        status, body = self.call("GET", f"/v1/rooms/{room}/clips?after={after}&wait={wait}",
                                 token=token, **kw)
        return status, json.loads(body) if status == 200 else body

    def held(self, room, token, after, wait=20, **kw):
        """A poll on its own thread; .result() joins it (bounded)."""
        box = {}
        thread = threading.Thread(
            target=lambda: box.setdefault("answer", self.poll(room, token, after, wait, **kw)))
        thread.start()

        def result():
            thread.join(wait + 10)
            return box.get("answer")
        return result

    def metric(self, name):
        _, text = self.call("GET", "/metrics", port=self.metrics_port)
        found = re.search(rf"^{re.escape(name)} (\d+)$", text.decode(), re.M)
        return int(found.group(1)) if found else None

    def stop(self, sig=signal.SIGTERM):
        started = time.monotonic()
        self.process.send_signal(sig)
        code = self.process.wait(10)
        if code not in (0, -signal.SIGKILL):
            sys.stderr.write("".join(self.log))
        return code, time.monotonic() - started


class Redis:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="zephlink-redis-")
        self.port = free_port()
        self.start()

    def start(self):
        # Append-only: what Redis acknowledged survives its restart.
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--dir", self.dir,
             "--appendonly", "yes", "--save", ""], stdout=subprocess.DEVNULL)
        for _ in range(100):
            if subprocess.run(["redis-cli", "-p", str(self.port), "ping"], capture_output=True,
                              text=True).stdout.strip() == "PONG":
                return
            time.sleep(0.05)
        raise RuntimeError("redis-server did not start")

    def kill(self):
        self.process.kill()
        self.process.wait(10)

    def close(self):
        self.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    @property
    def url(self):
        return f"redis://127.0.0.1:{self.port}"


def raw(port, data, timeout=10):
    """Sends bytes as they are and returns the status line's code, or None."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        answer = b""
        try:
            while b"\r\n" not in answer:
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
        except (ConnectionResetError, socket.timeout):
            pass
    found = re.match(rb"HTTP/1\.1 (\d+)", answer)
    return int(found.group(1)) if found else None


class Endpoints:
    """The endpoints table, with every status a client can meet; run on both stores."""

    def check_endpoints(self, relay, other=None):
        other = other or relay
        room, token = relay.create()
        self.assertRegex(room, r"^[0-9a-f]{32}$")
        self.assertEqual(len(base64.urlsafe_b64decode(token + "=")), 32)
        status, body = relay.call("GET", f"/v1/rooms/{room}/clips?after=0", token=token)
        self.assertEqual((status, body), (200, b'{"clips":[],"cursor":0,"reset":false}'))

        first = envelope()
        self.assertEqual(relay.post(room, token, first), (201, {"seq": 1}))
        shuffled = json.dumps(dict(reversed(list(first.items()))), indent=1)
        self.assertEqual(relay.post(room, token, shuffled), (200, {"seq": 1}), "same clip again")
        self.assertEqual(relay.post(room, token, {**first, "nonce": b64(os.urandom(12))}),
                         (409, {"seq": 1}), "other bytes, same id")

        waiting = other.held(room, token, after=1)
        time.sleep(0.3)
        second = envelope()
        self.assertEqual(relay.post(room, token, second), (201, {"seq": 2}))
        self.assertEqual(waiting(), (200, {"clips": [{"seq": 2, "envelope": second}],
                                           "cursor": 2, "reset": False}), "woken by the post")
        self.assertEqual(other.poll(room, token, after=2, wait=1),
                         (200, {"clips": [], "cursor": 2, "reset": False}), "wait ran out")
        status, body = relay.call("GET", f"/v1/rooms/{room}/clips?after=0", token=token)
        self.assertEqual(body.decode(), '{"clips":[{"envelope":%s,"seq":1},{"envelope":%s,"seq":2}'
                         '],"cursor":2,"reset":false}' % (canonical(first), canonical(second)))
        self.assertEqual(relay.poll(room, token, after=7)[1]["reset"], True, "cursor ahead")

        before = relay.poll(room, token)
        other_room, other_token = relay.create()
        wrong = b64(os.urandom(32))
        too_big = envelope(ciphertext=b64(os.urandom(45000)))
        hostile = [
            ("POST", f"/v1/rooms/{room}/clips", envelope(), wrong, 401),
            ("GET", f"/v1/rooms/{room}/clips?after=0", None, None, 401),
            ("GET", f"/v1/rooms/{'0' * 32}/clips?after=0", None, token, 401),
            ("DELETE", f"/v1/rooms/{room}", None, wrong, 401),
            ("GET", f"/v1/rooms/{room.upper()}/clips", None, token, 404),
            ("PUT", f"/v1/rooms/{room}/clips", envelope(), token, 405),
            ("GET", "/v1/rooms", None, None, 405),
            ("POST", f"/v1/rooms/{room}/clips", "{", token, 400),
            ("POST", f"/v1/rooms/{room}/clips", envelope(v=2), token, 400),
            ("POST", f"/v1/rooms/{room}/clips", envelope(nonce=b64(os.urandom(11))), token, 400),
            ("POST", f"/v1/rooms/{room}/clips", envelope(ciphertext=b64(os.urandom(40977))),
             token, 400),
            ("POST", f"/v1/rooms/{room}/clips",
             envelope(createdAt=int(time.time() * 1000) - 901000), token, 400),
            ("POST", f"/v1/rooms/{room}/clips", too_big, token, 413),
            ("GET", f"/v1/rooms/{room}/clips?after=-1", None, token, 400),
            ("GET", f"/v1/rooms/{room}/clips?after=1&after=2", None, token, 400),
            ("GET", f"/v1/rooms/{room}/clips?after=1&wait=1&x=1", None, token, 400),
            ("GET", f"/v1/rooms/{room}/clips?after=x", None, wrong, 401),
        ]
        for method, path, body, key, expected in hostile:
            with self.subTest(method=method, path=path[-40:], expected=expected):
                self.assertEqual(relay.call(method, path, body, token=key)[0], expected)
        self.assertEqual(relay.poll(room, token), before, "hostile requests changed the room")
        self.assertEqual(relay.poll(other_room, other_token)[1]["cursor"], 0)

        revoked = other.held(room, token, after=2)
        time.sleep(0.3)
        self.assertEqual(relay.call("DELETE", f"/v1/rooms/{room}", token=token)[0], 204)
        self.assertEqual(revoked()[0], 401, "a held poll learns its room is gone")
        self.assertEqual(relay.poll(room, token)[0], 401)
        self.assertEqual(relay.post(other_room, other_token, envelope())[0], 201)

    def check_program(self, relay):
        """The program's own verification modes, with two foreign peers' clips."""
        check = subprocess.run([PROGRAM, "--relay-check", f"http://127.0.0.1:{relay.port}"],
                               capture_output=True, text=True, timeout=60)
        self.assertEqual(check.stdout.strip(), "PASS: macOS create, encrypted send, receive, "
                         "decrypt and revoke against relay", check.stderr)
        room, token = relay.create()
        key = b64(os.urandom(32))
        with tempfile.NamedTemporaryFile("w", suffix=".json") as group:
            json.dump({"server": f"http://127.0.0.1:{relay.port}", "room": room, "token": token,
                       "key": key}, group)
            group.flush()
            for text in FIXTURES[1:]:
                sealed = subprocess.run(["/usr/bin/python3", CLIP_TOOL, "seal", room, key,
                                         os.urandom(16).hex(), text], capture_output=True,
                                        text=True, check=True, timeout=30).stdout
                self.assertEqual(relay.post(room, token, sealed)[0], 201)
            for operation in ["send", "receive"]:
                run = subprocess.run([PROGRAM, "--interop", group.name, operation],
                                     capture_output=True, text=True, timeout=60)
                self.assertEqual(run.stdout.strip(), "PASS: macOS interop " + operation)


class InMemory(unittest.TestCase, Endpoints):
    def test_endpoints_and_program_checks(self):
        relay = Relay()
        try:
            self.check_endpoints(relay)
            self.check_program(relay)
        finally:
            relay.stop()

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
            time.sleep(0.3)
            self.assertEqual(relay.poll(room, token, 0, 3)[0], 429, "third poll of an address")
            polls.append(relay.held(room, token, 0, 3, headers=via("192.0.2.2")))
            time.sleep(0.3)
            self.assertEqual(relay.poll(room, token, 0, 3, headers=via("192.0.2.3"))[0], 503)
            self.assertEqual(relay.metric("zephlink_relay_held_polls"), 3)
            for poll in polls:
                self.assertEqual(poll()[1]["cursor"], 0)

            for n in range(1, 5):
                self.assertEqual(relay.post(room, token, envelope()), (201, {"seq": n}))
            status, batch = relay.poll(room, token)
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
            slow = {}
            sender = threading.Thread(target=lambda: slow.setdefault("status", raw(
                relay.port, (head + "Content-Length: 300\r\n\r\n{").encode())))
            sender.start()
            body = json.dumps(envelope())
            self.assertEqual(raw(relay.port, (head + "Expect: 100-continue\r\nContent-Length: "
                                              f"{len(body)}\r\n\r\n{body}").encode()), 100)
            for request, expected in [(b"GET / HTTP/1.1\r\nX: " + b"a" * 9000 + b"\r\n\r\n", 431),
                                      (b"NOT A REQUEST\r\n\r\n", 400),
                                      (b"GET /health HTTP/1.1\r\nHost: x\r\n\r\n", 200)]:
                self.assertEqual(raw(relay.port, request), expected)
            sender.join(10)
            self.assertEqual(slow.get("status"), 408, "a sender too slow to finish")
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
            time.sleep(0.3)
        finally:
            code, took = relay.stop()
        self.assertEqual(waiting()[0], 200, "a held poll is answered when the relay stops")
        self.assertEqual(code, 0)
        self.assertLess(took, 2.0)


class OnRedis(unittest.TestCase, Endpoints):
    def setUp(self):
        self.redis = Redis()
        self.relays = [Relay("--redis", self.redis.url), Relay("--redis", self.redis.url)]

    def tearDown(self):
        try:
            for relay in self.relays:
                if relay.process.poll() is None:
                    self.assertEqual(relay.stop()[0], 0)
        finally:
            self.redis.close()

    def test_endpoints_across_two_relays(self):
        self.check_endpoints(*self.relays)

    def test_restarts_lose_no_clip_and_share_one_sequence(self):
        one, two = self.relays
        room, token = one.create()
        seqs = []
        lock = threading.Lock()

        def post_many(relay):
            for _ in range(25):
                status, answer = relay.post(room, token, envelope())
                with lock:
                    seqs.append((status, answer["seq"]))
        threads = [threading.Thread(target=post_many, args=(r,)) for r in self.relays]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        self.assertEqual(sorted(seqs), [(201, n) for n in range(1, 51)], "one sequence")

        two.stop(signal.SIGKILL)
        two.start()
        status, batch = two.poll(room, token, after=0)
        self.assertEqual(([c["seq"] for c in batch["clips"]], batch["cursor"]),
                         (list(range(1, 51)), 50), "relay restarted")
        self.redis.kill()
        self.assertEqual(one.post(room, token, envelope())[0], 503, "Redis is down")
        self.redis.start()
        deadline = time.monotonic() + 10
        while two.call("GET", "/health")[0] != 200 and time.monotonic() < deadline:
            time.sleep(0.1)
        waiting = two.held(room, token, after=50)
        time.sleep(0.3)
        clip = envelope()
        self.assertEqual(one.post(room, token, clip), (201, {"seq": 51}), "Redis restarted")
        self.assertEqual(waiting(), (200, {"clips": [{"seq": 51, "envelope": clip}],
                                           "cursor": 51, "reset": False}))


if __name__ == "__main__":
    unittest.main()
