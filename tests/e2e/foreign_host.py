#!/usr/bin/env python3
"""Another nearby host and clip format, written apart from the program. Commands:
serve GROUP [--post-delay=MS] (host 000…0; logs requests, devices, discovery datagrams),
session BASE GROUP, post GROUP TEXT [--key=K] [--age=MS], count GROUP TEXT [--origin=ID]."""
import base64, http.server, json, os, signal, socket, sys, threading, time
import urllib.error, urllib.parse, urllib.request

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

HOST_ID = "0" * 32


def b64(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def unb64(text):
    data = base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
    if b64(data) != text:
        raise ValueError("not unpadded base64url")
    return data


def hex_id(value):
    return isinstance(value, str) and len(value) == 32 and all(c in "0123456789abcdef" for c in value)


def aad(room, e):
    return f"zephlink|1|{room}|{e['id']}|{e['origin']}|{e['createdAt']}".encode()


def seal(group, text, key=None, age=0):
    e = {"v": 1, "id": os.urandom(16).hex(), "origin": group["device"],
         "createdAt": int(time.time() * 1000) - age, "nonce": b64(os.urandom(12))}
    body = json.dumps({"text": text}, ensure_ascii=False).encode()
    e["ciphertext"] = b64(AESGCM(unb64(key or group["key"])).encrypt(
        unb64(e["nonce"]), body, aad(group["room"], e)))
    return e


def open_clip(group, e):
    body = AESGCM(unb64(group["key"])).decrypt(unb64(e["nonce"]), unb64(e["ciphertext"]),
                                               aad(group["room"], e))
    return json.loads(body)["text"]


def opened(group, e):
    """Raises for any clip that does not open, but those forged here."""
    try:
        return open_clip(group, e)
    except Exception:
        if e["origin"] != HOST_ID:
            raise


def well_formed(e):
    try:
        now = time.time() * 1000
        return (e["v"] == 1 and hex_id(e["id"]) and hex_id(e["origin"])
                and len(unb64(e["nonce"])) == 12 and 16 <= len(unb64(e["ciphertext"])) <= 40976
                and type(e["createdAt"]) is int and now - 900000 <= e["createdAt"] <= now + 120000)
    except (KeyError, TypeError, ValueError):
        return False


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, value=None):
        body = b"" if value is None else json.dumps(value).encode()
        self.send_response_only(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        print(self.command, self.path, status, flush=True)

    def handle_one(self):
        h = self.server.host
        try:
            data = json.loads(self.rfile.read(int(self.headers.get("content-length", "0"))) or "null")
        except ValueError:
            return self.reply(400)
        path, _, query = self.path.partition("?")
        if self.command == "POST" and path == "/v1/local-session":
            if not (isinstance(data, dict) and hex_id(data.get("device"))
                    and data.get("platform") in ("mac", "windows", "android")
                    and isinstance(data.get("name"), str) and 0 < len(data["name"]) <= 80):
                return self.reply(400)
            print("device", data["device"], data["platform"], data["name"], flush=True)
            me = {"device": HOST_ID, "name": "Foreign host", "platform": "windows"}
            return self.reply(200, dict(h["group"], v=1, mode="trusted-lan", hostId=HOST_ID,
                                        name=me["name"], devices=[me]))
        if (self.headers.get("authorization") != "Bearer " + h["group"]["token"]
                or path != f"/v1/rooms/{h['group']['room']}/clips"):
            return self.reply(401)
        cond = h["cond"]
        if self.command == "POST":
            time.sleep(h["delay"])
            if not well_formed(data):
                return self.reply(400)
            with cond:
                h["clips"].append({"seq": len(h["clips"]) + 1, "envelope": data})
                cond.notify_all()
                return self.reply(201, {"seq": len(h["clips"])})
        q = dict(urllib.parse.parse_qsl(query))
        after, wait = int(q.get("after", 0)), min(int(q.get("wait", 0)), 20)
        with cond:
            cond.wait_for(lambda: len(h["clips"]) != after, wait)
            self.reply(200, {"clips": h["clips"][after:], "cursor": len(h["clips"]),
                             "reset": after > len(h["clips"])})

    do_GET = do_POST = handle_one


def responder():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("0.0.0.0", 8789))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                    socket.inet_aton("239.255.77.77") + socket.inet_aton("0.0.0.0"))
    pktinfo = getattr(socket, "IP_PKTINFO", 8)
    sock.setsockopt(socket.IPPROTO_IP, pktinfo, 1)  # the destination tells how each came
    while True:
        try:
            data, ancillary, _, sender = sock.recvmsg(1025, 64)
            request = json.loads(data)
        except (OSError, ValueError):
            continue
        if (len(data) > 1024 or not isinstance(request, dict) or request.get("v") != 1
                or request.get("type") != "zephlink.discover" or not hex_id(request.get("nonce"))):
            continue
        sock.sendto(json.dumps({"type": "zephlink.here", "v": 1, "nonce": request["nonce"],
                                "hostId": HOST_ID, "name": "Foreign host", "port": 8788}).encode(), sender)
        to = [socket.inet_ntoa(v[8:12]) for level, kind, v in ancillary if kind == pktinfo]
        print("discover", sender[0], *to, flush=True)


def serve(group_file, delay):
    group = {"room": os.urandom(16).hex(), "token": b64(os.urandom(32)), "key": b64(os.urandom(32))}
    server = http.server.ThreadingHTTPServer(("0.0.0.0", 8788), Handler)
    server.host = {"group": group, "clips": [], "cond": threading.Condition(), "delay": delay}
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    threading.Thread(target=responder, daemon=True).start()
    write(group_file, dict(group, server="http://127.0.0.1:8788", device=HOST_ID))
    threading.Event().wait()


def write(path, value):
    with open(path + ".part", "w") as file:
        json.dump(value, file)
    os.replace(path + ".part", path)


def request(method, url, token=None, body=None):
    headers = {"Content-Type": "application/json", "Authorization": f"Bearer {token}"}
    data = None if body is None else json.dumps(body).encode()
    try:
        with urllib.request.urlopen(urllib.request.Request(url, data, headers, method=method),
                                    timeout=10) as answer:
            return answer.status, json.loads(answer.read() or "null")
    except urllib.error.HTTPError as error:
        return error.code, None


def main():
    command, *rest = sys.argv[1:]
    opts = dict(a[2:].split("=", 1) for a in rest if a.startswith("--"))
    words = [a for a in rest if not a.startswith("--")]
    if command == "serve":
        return serve(words[0], int(opts.get("post-delay", 0)) / 1000)
    if command == "session":
        device = os.urandom(16).hex()
        status, answer = request("POST", words[0] + "/v1/local-session", body={
            "device": device, "name": "e2e observer", "platform": "android"})
        if status != 200:
            sys.exit(f"no session: {status}")
        write(words[1], dict(answer, server=words[0], device=device))
        return print(json.dumps(answer))
    group = json.load(open(words[0]))
    clips = f"{group['server']}/v1/rooms/{group['room']}/clips"
    if command == "post":
        status, _ = request("POST", clips, group["token"],
                            seal(group, words[1], opts.get("key"), int(opts.get("age", 0))))
        return status == 201 or sys.exit(f"post answered {status}")
    status, batch = request("GET", clips + "?after=0", group["token"])
    envelopes = [c["envelope"] for c in batch["clips"]]
    texts = [opened(group, e) for e in envelopes]
    origin = opts.get("origin")
    print(sum(t == words[1] and origin in (None, e["origin"]) for t, e in zip(texts, envelopes)))


if __name__ == "__main__":
    main()
