#!/usr/bin/env python3
"""Another implementation of the nearby-host protocol and of the sealed-clip
format, written apart from the program with Python's standard library and
python3-cryptography only, so that end-to-end tests can hold the program
against a host (or a device) that merely honours the protocol.

    foreign_host.py serve GROUP_FILE [--post-delay MS]
        Runs a nearby host (identifier 000…0, so that it sorts first) until
        SIGTERM: discovery on UDP 8789, HTTP on TCP 8788. It invents its
        group and writes it to GROUP_FILE once it listens. Every request is
        logged on stdout as "METHOD TARGET STATUS"; every registered device
        as "device ID PLATFORM NAME"; every discovery request answered as
        "discover SENDER DESTINATION". With --post-delay, each clip post is
        answered MS milliseconds late.
    foreign_host.py session BASE GROUP_FILE
        Asks the host at BASE for a session as a device, writes the group to
        GROUP_FILE and prints the session.
    foreign_host.py post GROUP_FILE TEXT [--key KEY] [--age MS]
        Seals TEXT with the group key (or another) and posts it; prints seq.
    foreign_host.py clips GROUP_FILE
        Prints every clip the host keeps, opened, one JSON object a line.
    foreign_host.py count GROUP_FILE TEXT [--origin ID]
        Prints how many kept clips open to exactly TEXT (from ORIGIN); fails
        when any kept clip does not open.
    foreign_host.py discover ADDRESS
        Sends one discovery request to ADDRESS and prints "HOSTID SENDER" for
        every reply within a second.
"""
import argparse
import base64
import http.server
import json
import os
import signal
import socket
import socketserver
import struct
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

HTTP_PORT = 8788
DISCOVERY_PORT = 8789
DISCOVERY_GROUP = "239.255.77.77"
HOST_ID = "0" * 32
HOST_NAME = "Foreign host"
HOST_PLATFORM = "windows"
PLATFORMS = ("mac", "windows", "android")

MAX_DATAGRAM = 1024
MAX_BODY = 60000
MAX_SESSION_BODY = 1024
MAX_FRAMES = 100
MAX_IDS = 1000
MAX_DEVICES = 64
MAX_NAME = 80
MAX_WAIT_SECONDS = 20
DEVICE_SILENCE_SECONDS = 20
FRAME_LIFETIME_SECONDS = 900
PAST_LIMIT_MS = 900000
FUTURE_LIMIT_MS = 120000
NONCE_BYTES = 12
MIN_SEALED_BYTES = 16
MAX_SEALED_BYTES = 40976
CLIENT_TIMEOUT_SECONDS = 10


# ------------------------------------------------------------ encodings

def encode64(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def decode64(text):
    """Strict unpadded base64url; None when text is not exactly that."""
    if not isinstance(text, str) or "=" in text or len(text) % 4 == 1:
        return None
    try:
        data = base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
    except (ValueError, TypeError):
        return None
    return data if encode64(data) == text else None


def valid_id(text):
    return (isinstance(text, str) and len(text) == 32 and
            all(c in "0123456789abcdef" for c in text))


def is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def private_address(text):
    parts = text.split(".")
    if len(parts) != 4 or not all(p.isdigit() and int(p) <= 255 for p in parts):
        return False
    a, b = int(parts[0]), int(parts[1])
    return (a in (10, 127) or (a == 169 and b == 254) or (a == 172 and 16 <= b <= 31) or
            (a == 192 and b == 168))


def now_ms():
    return int(time.time() * 1000)


# ------------------------------------------------------------ clips

def associated(room, envelope):
    return "zephlink|1|{}|{}|{}|{}".format(
        room, envelope["id"], envelope["origin"], envelope["createdAt"]).encode("utf-8")


def seal(group, origin, text, key=None, created_at=None):
    envelope = {
        "v": 1,
        "id": os.urandom(16).hex(),
        "origin": origin,
        "createdAt": now_ms() if created_at is None else created_at,
        "nonce": encode64(os.urandom(NONCE_BYTES)),
    }
    body = json.dumps({"text": text}, ensure_ascii=False, separators=(",", ":"))
    sealed = AESGCM(decode64(key or group["key"])).encrypt(
        decode64(envelope["nonce"]), body.encode("utf-8"), associated(group["room"], envelope))
    envelope["ciphertext"] = encode64(sealed)
    return envelope


def open_clip(group, envelope):
    """The text of an envelope; raises when it does not open."""
    if envelope.get("v") != 1:
        raise ValueError("version")
    body = AESGCM(decode64(group["key"])).decrypt(
        decode64(envelope["nonce"]), decode64(envelope["ciphertext"]),
        associated(group["room"], envelope))
    value = json.loads(body.decode("utf-8"))
    if not isinstance(value, dict) or not isinstance(value.get("text"), str):
        raise ValueError("clip body")
    return value["text"]


def envelope_problem(envelope, now):
    """Why an envelope is refused, or None."""
    if not isinstance(envelope, dict):
        return "not an object"
    for name, kind in (("v", int), ("id", str), ("origin", str), ("createdAt", int),
                       ("nonce", str), ("ciphertext", str)):
        value = envelope.get(name)
        if kind is int and not is_int(value) or kind is str and not isinstance(value, str):
            return "member " + name
    nonce = decode64(envelope["nonce"])
    sealed = decode64(envelope["ciphertext"])
    if envelope["v"] != 1 or not valid_id(envelope["id"]) or not valid_id(envelope["origin"]):
        return "version or identifiers"
    if nonce is None or len(nonce) != NONCE_BYTES:
        return "nonce"
    if sealed is None or not MIN_SEALED_BYTES <= len(sealed) <= MAX_SEALED_BYTES:
        return "ciphertext"
    if not now - PAST_LIMIT_MS <= envelope["createdAt"] <= now + FUTURE_LIMIT_MS:
        return "createdAt"
    return None


def canonical(envelope):
    return json.dumps(envelope, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


# ------------------------------------------------------------ the host

class Host:
    """The host's state, all under one condition variable."""

    def __init__(self):
        self.condition = threading.Condition()
        self.stopped = False
        self.group = {
            "room": os.urandom(16).hex(),
            "token": encode64(os.urandom(32)),
            "key": encode64(os.urandom(32)),
        }
        self.sequence = 0
        self.frames = []  # (seq, envelope, monotonic time stored)
        self.ids = {}  # id -> (seq, canonical bytes), in insertion order
        # The host is a device of its own group too, as a peer's host is.
        self.devices = {}  # id -> (record, monotonic time last seen)
        self.own = {"device": HOST_ID, "name": HOST_NAME, "platform": HOST_PLATFORM}

    def prune(self):
        now = time.monotonic()
        self.devices = {k: v for k, v in self.devices.items()
                        if now - v[1] <= DEVICE_SILENCE_SECONDS}
        self.frames = [f for f in self.frames if now - f[2] <= FRAME_LIFETIME_SECONDS]

    def session(self, record):
        device = record.get("device") if isinstance(record, dict) else None
        name = record.get("name") if isinstance(record, dict) else None
        platform = record.get("platform") if isinstance(record, dict) else None
        if (not valid_id(device) or not isinstance(name, str) or not 0 < len(name) <= MAX_NAME
                or platform not in PLATFORMS):
            return 400, None
        if device not in self.devices and len(self.devices) >= MAX_DEVICES:
            return 400, None
        self.devices[device] = (record, time.monotonic())
        devices = [self.own] + [{"device": r["device"], "name": r["name"],
                                 "platform": r["platform"]} for r, _ in self.devices.values()]
        return 200, {"v": 1, "mode": "trusted-lan", "hostId": HOST_ID, "name": HOST_NAME,
                     "room": self.group["room"], "token": self.group["token"],
                     "key": self.group["key"], "devices": devices}

    def post(self, envelope):
        if envelope_problem(envelope, now_ms()) is not None:
            return 400, None
        text = canonical(envelope)
        known = self.ids.get(envelope["id"])
        if known is not None:
            return (200 if known[1] == text else 409), {"seq": known[0]}
        self.sequence += 1
        self.frames.append((self.sequence, envelope, time.monotonic()))
        del self.frames[:-MAX_FRAMES]
        self.ids[envelope["id"]] = (self.sequence, text)
        while len(self.ids) > MAX_IDS:
            del self.ids[next(iter(self.ids))]
        self.condition.notify_all()
        return 201, {"seq": self.sequence}

    def poll(self, query):
        items = urllib.parse.parse_qsl(query, keep_blank_values=True)
        names = [name for name, _ in items]
        if len(items) > 2 or len(set(names)) != len(names) or not set(names) <= {"after", "wait"}:
            return 400, None
        values = dict(items)
        after = values.get("after") or "0"
        wait = values.get("wait") or "0"
        if not after.isdigit() or not wait.isdigit() or int(wait) > MAX_WAIT_SECONDS:
            return 400, None
        after = int(after)
        deadline = time.monotonic() + int(wait)
        while after == self.sequence and not self.stopped:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            self.condition.wait(left)
        if self.stopped:
            return 503, None
        self.prune()
        if self.sequence < after:
            reset = True
        elif self.frames:
            reset = after < self.frames[0][0] - 1
        else:
            reset = after < self.sequence
        clips = [{"seq": seq, "envelope": envelope} for seq, envelope, _ in self.frames
                 if reset or seq > after]
        return 200, {"clips": clips, "cursor": self.sequence, "reset": reset}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    host = None  # set by serve()
    post_delay = 0.0  # seconds

    def log_message(self, *args):
        pass

    def reply(self, status, value):
        body = b"" if value is None else json.dumps(value, separators=(",", ":")).encode()
        self.send_response_only(status, "Response")
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True
        print("{} {} {}".format(self.command, self.path, status), flush=True)

    def body(self):
        """The request body, or an error status."""
        if "origin" in self.headers or "transfer-encoding" in self.headers:
            return 403
        length = self.headers.get("content-length", "0").strip()
        if not length.lstrip("+").isdigit() or int(length) > MAX_BODY:
            return 413
        if self.path == "/v1/local-session" and int(length) > MAX_SESSION_BODY:
            return 413
        self.connection.settimeout(3)
        try:
            data = self.rfile.read(int(length))
        except OSError:
            return 400
        return data if len(data) == int(length) else 400

    def handle_request(self):
        data = self.body()
        if isinstance(data, int):
            return self.reply(data, None)
        host = self.host
        if self.command == "POST" and self.path.startswith("/v1/rooms/"):
            time.sleep(self.post_delay)
        with host.condition:
            if host.stopped:
                return self.reply(503, None)
            if self.command == "GET" and self.path == "/health":
                return self.reply(200, {"ok": True, "protocol": 1, "autoJoin": True,
                                        "hostId": HOST_ID})
            host.prune()
            if self.command == "POST" and self.path == "/v1/local-session":
                try:
                    record = json.loads(data.decode("utf-8"))
                except ValueError:
                    return self.reply(400, None)
                status, value = host.session(record)
                if status == 200:
                    print("device {} {} {}".format(record["device"], record["platform"],
                                                   record["name"]), flush=True)
                return self.reply(status, value)
            path, _, query = self.path.partition("?")
            if (self.headers.get("authorization") != "Bearer " + host.group["token"] or
                    path != "/v1/rooms/{}/clips".format(host.group["room"])):
                return self.reply(401, None)
            if self.command == "POST":
                try:
                    envelope = json.loads(data.decode("utf-8"))
                except ValueError:
                    return self.reply(400, None)
                return self.reply(*host.post(envelope))
            if self.command == "GET":
                return self.reply(*host.poll(query))
            return self.reply(405, None)

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = handle_request


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    allow_reuse_address = True
    daemon_threads = True

    def verify_request(self, request, client_address):
        # Devices on private addresses only; others are closed without a word.
        return private_address(client_address[0])


def responder(host, stop):
    """Answers discovery requests until stop is set."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    sock.bind(("0.0.0.0", DISCOVERY_PORT))
    try:
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                        socket.inet_aton(DISCOVERY_GROUP) + socket.inet_aton("0.0.0.0"))
    except OSError:
        pass  # unicast and broadcast requests are still answered
    # The destination of each datagram says whether it came by multicast,
    # broadcast or unicast.
    pktinfo = getattr(socket, "IP_PKTINFO", 8)
    sock.setsockopt(socket.IPPROTO_IP, pktinfo, 1)
    sock.settimeout(0.5)

    def serve():
        with sock:
            while not stop.is_set():
                try:
                    data, ancillary, _, sender = sock.recvmsg(MAX_DATAGRAM + 1, 64)
                except OSError:  # time-outs included
                    continue
                destination = "?"
                for level, kind, value in ancillary:
                    if level == socket.IPPROTO_IP and kind == pktinfo and len(value) >= 12:
                        destination = socket.inet_ntoa(value[8:12])
                if not 1 <= len(data) <= MAX_DATAGRAM or not private_address(sender[0]):
                    continue
                try:
                    request = json.loads(data.decode("utf-8"))
                except ValueError:
                    continue
                if (not isinstance(request, dict) or request.get("type") != "zephlink.discover"
                        or not is_int(request.get("v")) or request["v"] != 1
                        or not valid_id(request.get("nonce"))):
                    continue
                reply = {"type": "zephlink.here", "v": 1, "nonce": request["nonce"],
                         "hostId": HOST_ID, "name": HOST_NAME, "port": HTTP_PORT}
                try:
                    sock.sendto(json.dumps(reply).encode(), sender)
                except OSError:
                    pass
                print("discover {} {}".format(sender[0], destination), flush=True)

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    return thread


def write_group(path, group):
    temporary = path + ".part"
    with open(temporary, "w", encoding="utf-8") as file:
        json.dump(group, file)
    os.replace(temporary, path)


def serve(args):
    host = Host()
    Handler.host = host
    Handler.post_delay = args.post_delay / 1000
    stop = threading.Event()
    server = Server(("0.0.0.0", HTTP_PORT), Handler)
    listener = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2},
                                daemon=True)
    listener.start()
    answering = responder(host, stop)
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    write_group(args.group_file, dict(host.group, server="http://127.0.0.1:8788",
                                      hostId=HOST_ID, device=HOST_ID))
    while not stop.wait(0.2):
        pass
    with host.condition:
        host.stopped = True
        host.condition.notify_all()
    server.shutdown()
    server.server_close()
    answering.join(2)
    return 0


# ------------------------------------------------------------ a device

def request(method, url, token=None, body=None):
    """(status, parsed body or None) of one HTTP exchange."""
    headers = {"Content-Type": "application/json"}
    if token:
        headers["Authorization"] = "Bearer " + token
    data = None if body is None else json.dumps(body, ensure_ascii=False).encode("utf-8")
    try:
        with urllib.request.urlopen(urllib.request.Request(url, data, headers, method=method),
                                    timeout=CLIENT_TIMEOUT_SECONDS) as answer:
            content = answer.read()
            return answer.status, json.loads(content) if content else None
    except urllib.error.HTTPError as error:
        return error.code, None


def read_group(path):
    with open(path, encoding="utf-8") as file:
        return json.load(file)


def clips_path(group):
    return "{}/v1/rooms/{}/clips".format(group["server"], group["room"])


def session(args):
    device = os.urandom(16).hex()
    status, answer = request("POST", args.base + "/v1/local-session",
                             body={"device": device, "name": "e2e observer",
                                   "platform": "android"})
    if status != 200 or not isinstance(answer, dict):
        sys.stderr.write("no session from {}: {}\n".format(args.base, status))
        return 1
    write_group(args.group_file, {"server": args.base, "room": answer["room"],
                                  "token": answer["token"], "key": answer["key"],
                                  "hostId": answer["hostId"], "device": device})
    print(json.dumps(answer))
    return 0


def post(args):
    group = read_group(args.group_file)
    envelope = seal(group, group["device"], args.text, key=args.key,
                    created_at=now_ms() - args.age)
    status, answer = request("POST", clips_path(group), group["token"], envelope)
    if status != 201:
        sys.stderr.write("post answered {}\n".format(status))
        return 1
    print(answer["seq"])
    return 0


def kept(group):
    """Every kept clip as (envelope, text or None)."""
    status, batch = request("GET", clips_path(group) + "?after=0", group["token"])
    if status != 200:
        raise RuntimeError("poll answered {}".format(status))
    result = []
    for item in batch["clips"]:
        try:
            result.append((item["envelope"], open_clip(group, item["envelope"])))
        except Exception:  # any failure to open is the finding itself
            result.append((item["envelope"], None))
    return result


def clips(args):
    for envelope, text in kept(read_group(args.group_file)):
        print(json.dumps({"id": envelope["id"], "origin": envelope["origin"],
                          "createdAt": envelope["createdAt"], "text": text},
                         ensure_ascii=False))
    return 0


def count(args):
    found = kept(read_group(args.group_file))
    broken = [envelope["id"] for envelope, text in found if text is None]
    if broken:
        sys.stderr.write("clips that do not open: {}\n".format(" ".join(broken)))
        return 1
    print(sum(1 for envelope, text in found
              if text == args.text and args.origin in (None, envelope["origin"])))
    return 0


def discover(args):
    nonce = os.urandom(16).hex()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sock.settimeout(0.2)
        sock.sendto(json.dumps({"type": "zephlink.discover", "v": 1, "nonce": nonce}).encode(),
                    (args.address, DISCOVERY_PORT))
        deadline = time.monotonic() + 1
        while time.monotonic() < deadline:
            try:
                data, sender = sock.recvfrom(MAX_DATAGRAM + 1)
                reply = json.loads(data.decode("utf-8"))
            except (socket.timeout, ValueError):
                continue
            if (isinstance(reply, dict) and reply.get("type") == "zephlink.here" and
                    reply.get("nonce") == nonce and reply.get("port") == HTTP_PORT):
                print(reply.get("hostId"), sender[0])
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    command = commands.add_parser("serve")
    command.add_argument("group_file")
    command.add_argument("--post-delay", type=int, default=0, help="milliseconds")
    command.set_defaults(run=serve)
    command = commands.add_parser("session")
    command.add_argument("base")
    command.add_argument("group_file")
    command.set_defaults(run=session)
    command = commands.add_parser("post")
    command.add_argument("group_file")
    command.add_argument("text")
    command.add_argument("--key", help="seal with this key instead of the group's")
    command.add_argument("--age", type=int, default=0, help="milliseconds before now")
    command.set_defaults(run=post)
    command = commands.add_parser("clips")
    command.add_argument("group_file")
    command.set_defaults(run=clips)
    command = commands.add_parser("count")
    command.add_argument("group_file")
    command.add_argument("text")
    command.add_argument("--origin")
    command.set_defaults(run=count)
    command = commands.add_parser("discover")
    command.add_argument("address")
    command.set_defaults(run=discover)
    args = parser.parse_args(argv[1:])
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
