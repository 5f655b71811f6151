#!/usr/bin/env python3
"""Seals and opens clips with python3-cryptography, sharing no code with the
program, so that tests can check the wire format from the outside.

    clip_tool.py seal ROOM KEY ORIGIN TEXT    prints the envelope JSON
    clip_tool.py open ROOM KEY ENVELOPE_JSON  prints the text
"""
import base64
import json
import os
import sys
import time

from cryptography.hazmat.primitives.ciphers.aead import AESGCM


def b64encode(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def b64decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def associated(room, envelope):
    return "zephlink|1|{}|{}|{}|{}".format(
        room, envelope["id"], envelope["origin"], envelope["createdAt"]).encode("utf-8")


def seal(room, key, origin, text):
    envelope = {
        "v": 1,
        "id": os.urandom(16).hex(),
        "origin": origin,
        "createdAt": int(time.time() * 1000),
        "nonce": b64encode(os.urandom(12)),
    }
    body = json.dumps({"text": text}, ensure_ascii=False).encode("utf-8")
    sealed = AESGCM(b64decode(key)).encrypt(
        b64decode(envelope["nonce"]), body, associated(room, envelope))
    envelope["ciphertext"] = b64encode(sealed)
    return json.dumps(envelope)


def open_clip(room, key, envelope_json):
    envelope = json.loads(envelope_json)
    if envelope["v"] != 1:
        raise ValueError("version")
    body = AESGCM(b64decode(key)).decrypt(
        b64decode(envelope["nonce"]), b64decode(envelope["ciphertext"]),
        associated(room, envelope))
    return json.loads(body.decode("utf-8"))["text"]


def main(argv):
    if len(argv) == 6 and argv[1] == "seal":
        out = seal(argv[2], argv[3], argv[4], argv[5])
    elif len(argv) == 5 and argv[1] == "open":
        out = open_clip(argv[2], argv[3], argv[4])
    else:
        sys.stderr.write(__doc__)
        return 2
    sys.stdout.buffer.write(out.encode("utf-8"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
