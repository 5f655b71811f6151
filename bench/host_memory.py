#!/usr/bin/env python3
"""Resident memory of a nearby host while slow readers hold whole-room answers.

Run by bench/host_memory.sh inside a network namespace of its own, against
the host listening on 127.0.0.1:8788 (process HOST_PID). Stores FRAMES clips
of the largest size, then opens READERS connections that ask for the whole
room and never read, and samples the host's resident memory while they are
held; meanwhile one more client asks for the whole room and must get it.
"""
import base64
import json
import os
import socket
import sys
import threading
import time

host_pid, readers, frames = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
LARGEST_SEALED = 40976  # ciphertext and tag bytes the host accepts at most


def rss_kib():
    with open(f"/proc/{host_pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise SystemExit("host process is gone")


def b64(n):
    return base64.urlsafe_b64encode(os.urandom(n)).rstrip(b"=").decode()


def request(method, target, headers=(), body=b""):
    head = f"{method} {target} HTTP/1.1\r\n" + "".join(h + "\r\n" for h in headers)
    if body:
        head += f"Content-Length: {len(body)}\r\n"
    return (head + "\r\n").encode() + body


def transact(raw, timeout=10):
    with socket.create_connection(("127.0.0.1", 8788), timeout=timeout) as s:
        s.sendall(raw)
        data = b""
        while chunk := s.recv(1 << 16):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split()[1]), body


me = os.urandom(16).hex()
status, body = transact(request("POST", "/v1/local-session", body=json.dumps(
    {"device": me, "name": "bench", "platform": "android"}).encode()))
assert status == 200, status
session = json.loads(body)
clips = f"/v1/rooms/{session['room']}/clips"
bearer = [f"Authorization: Bearer {session['token']}"]
for _ in range(frames):
    envelope = {"v": 1, "id": os.urandom(16).hex(), "origin": me,
                "createdAt": int(time.time() * 1000), "nonce": b64(12),
                "ciphertext": b64(LARGEST_SEALED)}
    status, _ = transact(request("POST", clips, bearer, json.dumps(envelope).encode()))
    assert status == 201, status
whole_room = request("GET", clips + "?after=0", bearer)
status, body = transact(whole_room)
assert status == 200 and len(json.loads(body)["clips"]) == frames
answer_bytes = len(body)
time.sleep(1)
before = rss_kib()

held = []
for _ in range(readers):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # takes little off the host
    s.connect(("127.0.0.1", 8788))
    s.sendall(whole_room)
    held.append(s)

peak = before
result = {}


def another_client():
    time.sleep(0.5)
    started = time.monotonic()
    try:
        status, body = transact(whole_room)
        result["status"] = status
        result["clips"] = len(json.loads(body)["clips"]) if status == 200 else 0
    except OSError as error:
        result["status"] = str(error)
    result["seconds"] = time.monotonic() - started


other = threading.Thread(target=another_client)
other.start()
# The host gives up on a reader 3 seconds after its answer stops moving;
# sample from the first request until the other client has its answer.
started = time.monotonic()
while other.is_alive() or time.monotonic() < started + 2.5:
    peak = max(peak, rss_kib())
    time.sleep(0.02)
# A reader with bytes waiting was answered and is being held by the host.
answered = 0
for s in held:
    try:
        answered += len(s.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT)) > 0
    except BlockingIOError:
        pass
    s.close()

print(f"answer for the whole room: {answer_bytes / 1048576:.1f} MiB")
print(f"host RSS with {frames} frames stored: {before / 1024:.1f} MiB")
print(f"host RSS peak with {readers} readers held ({answered} answered, none reading): "
      f"{peak / 1024:.1f} MiB "
      f"(growth {(peak - before) / 1024:.1f} MiB)")
print(f"client {readers + 1} meanwhile: status {result.get('status')}, "
      f"{result.get('clips')} clips in {result.get('seconds', 0):.2f} s")
