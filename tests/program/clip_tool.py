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
    envelope = {"v": 1, "id": os.urandom(16).hex(), "origin": origin,
                "createdAt": int(time.time() * 1000), "nonce": b64encode(os.urandom(12))}
    body = json.dumps({"text": text}, ensure_ascii=False).encode("utf-8")
    envelope["ciphertext"] = b64encode(AESGCM(b64decode(key)).encrypt(
        b64decode(envelope["nonce"]), body, associated(room, envelope)))
    return json.dumps(envelope)


def open_clip(room, key, envelope_json):
    envelope = json.loads(envelope_json)
    if envelope["v"] != 1:
        raise ValueError("version")
    body = AESGCM(b64decode(key)).decrypt(b64decode(envelope["nonce"]),
                                          b64decode(envelope["ciphertext"]),
                                          associated(room, envelope))
    return json.loads(body.decode("utf-8"))["text"]


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "seal":
        out = seal(*sys.argv[2:])
    elif len(sys.argv) == 5 and sys.argv[1] == "open":
        out = open_clip(*sys.argv[2:])
    else:
        sys.exit(__doc__)
    sys.stdout.buffer.write(out.encode("utf-8"))
