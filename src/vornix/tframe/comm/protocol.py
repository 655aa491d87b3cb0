"""Wire format of the command channel to the trading core.

Every message is one JSON object encoded as UTF-8 and preceded by its length
as a 4-byte big-endian unsigned integer.  A request is
{"id": n, "cmd": name, "args": {...}}; its reply is
{"id": n, "ok": true, "result": ...} or {"id": n, "ok": false, "error": text}.

A connection starts with a handshake in which each side proves that it holds the
user's key (`vornix.tframe.utils.userkey`) without showing it:

    client -> core   {"hello": 1, "nonce": C}
    core -> client   {"nonce": S, "proof": HMAC(key, "core|C|S")}
    client -> core   {"proof": HMAC(key, "client|S|C")}

(C and S: 32 random bytes each, as hex).  The client refuses a core whose proof is
wrong, the core closes a connection whose proof is wrong or late.  Every later
message carries, after its JSON, the HMAC-SHA256 of its direction, sequence number
and bytes under a key drawn from both nonces: a process that relays the connection
can pass messages on, not change, replay, reorder or drop them unnoticed.
"""

import hashlib
import hmac
import json
import secrets
import socket
import struct
import time

import numpy as np

from vornix.tframe.utils.exceptions import VxAuthError, VxConnectionError, VxTimeoutError

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 3293
MAX_MESSAGE_BYTES = 16 * 1024 * 1024
HANDSHAKE_BYTES = 4096  # the most a handshake message may claim
AUTH_VERSION = 1
TAG_BYTES = 32
_HEADER = struct.Struct(">I")
_SEQ = struct.Struct(">Q")
_NONCE_HEX = 2 * 32


class Session:
    """The message tags of one authenticated connection, seen from `side`
    ("client" or "core")."""

    def __init__(self, key, client_nonce, core_nonce, side):
        self._key = hmac.new(key, ("session|%s|%s" % (client_nonce, core_nonce)).encode("ascii"),
                             hashlib.sha256).digest()
        self._out, self._in = (b"c", b"k") if side == "client" else (b"k", b"c")
        self._sent = 0
        self._received = 0

    def _tag(self, direction, seq, payload):
        return hmac.new(self._key, direction + _SEQ.pack(seq) + payload, hashlib.sha256).digest()

    def seal(self, payload):
        self._sent += 1
        return payload + self._tag(self._out, self._sent, payload)

    def open(self, data, peer):
        payload, tag = data[:-TAG_BYTES], data[-TAG_BYTES:]
        if len(data) < TAG_BYTES or not hmac.compare_digest(
                tag, self._tag(self._in, self._received + 1, payload)):
            raise VxAuthError("%s sent a message that does not carry the connection's tag: changed "
                              "on its way, or not from the peer that authenticated" % peer)
        self._received += 1
        return payload


def proof(key, label, first, second):
    """The HMAC that proves holding `key` in the handshake."""
    return hmac.new(key, ("%s|%s|%s" % (label, first, second)).encode("ascii"), hashlib.sha256).hexdigest()


def _nonce_of(message, peer, what):
    value = message.get("nonce") if isinstance(message, dict) else None
    if not isinstance(value, str) or len(value) != _NONCE_HEX or not all(
            c in "0123456789abcdef" for c in value):
        raise VxAuthError("%s sent no valid %s nonce in the handshake" % (peer, what))
    return value


def _proof_of(message, key, label, first, second, peer, refusal):
    value = message.get("proof") if isinstance(message, dict) else None
    if not isinstance(value, str) or not hmac.compare_digest(value, proof(key, label, first, second)):
        raise VxAuthError(refusal % peer)
    return value


def client_handshake(sock, key, wait, peer):
    """The client's side of the handshake; the connection's Session.  VxAuthError
    when the peer cannot prove it holds `key`, VxTimeoutError when it does not
    answer within `wait` seconds."""
    client_nonce = secrets.token_hex(32)
    sock.settimeout(wait)
    send_message(sock, {"hello": AUTH_VERSION, "nonce": client_nonce})
    try:
        reply = recv_message(sock, time.monotonic() + wait, peer, HANDSHAKE_BYTES)
    except VxTimeoutError:
        raise VxTimeoutError("%s did not answer the key handshake within %g s" % (peer, wait)) from None
    except VxConnectionError as exc:
        raise VxAuthError("%s does not speak the key handshake (%s)" % (peer, exc)) from None
    if reply is None:
        raise VxAuthError("%s closed the connection in the key handshake" % peer)
    core_nonce = _nonce_of(reply, peer, "core")
    _proof_of(reply, key, "core", client_nonce, core_nonce, peer,
              "%s could not prove that it holds the user's key")
    send_message(sock, {"proof": proof(key, "client", core_nonce, client_nonce)})
    return Session(key, client_nonce, core_nonce, "client")


def core_handshake(sock, key, deadline, peer):
    """The core's side of the handshake; the connection's Session, or None when the
    peer closed the connection before it began.  VxAuthError (or VxTimeoutError past
    `deadline`) when the peer does not authenticate."""
    hello = recv_message(sock, deadline, peer, HANDSHAKE_BYTES)
    if hello is None:
        return None
    if hello.get("hello") != AUTH_VERSION:
        raise VxAuthError("%s did not begin with the key handshake" % peer)
    client_nonce = _nonce_of(hello, peer, "client")
    core_nonce = secrets.token_hex(32)
    send_message(sock, {"nonce": core_nonce, "proof": proof(key, "core", client_nonce, core_nonce)})
    answer = recv_message(sock, deadline, peer, HANDSHAKE_BYTES)
    if answer is None:
        raise VxAuthError("%s closed the connection in the key handshake" % peer)
    _proof_of(answer, key, "client", core_nonce, client_nonce, peer,
              "%s could not prove that it holds the user's key")
    return Session(key, client_nonce, core_nonce, "core")


def _json_default(obj):
    if isinstance(obj, np.ndarray):
        return obj.tolist()
    if isinstance(obj, np.generic):
        return obj.item()
    if isinstance(obj, (set, frozenset, tuple)):
        return list(obj)
    raise TypeError("%s cannot be sent to the trading core" % type(obj).__name__)


def encode(message, session=None):
    payload = json.dumps(message, default=_json_default, ensure_ascii=False).encode("utf-8")
    limit = MAX_MESSAGE_BYTES - (TAG_BYTES if session is not None else 0)
    if len(payload) > limit:
        raise ValueError("message of %d bytes exceeds the limit of %d" % (len(payload), limit))
    if session is not None:
        payload = session.seal(payload)
    return _HEADER.pack(len(payload)) + payload


def send_message(sock, message, session=None):
    sock.sendall(encode(message, session))


def _recv_exact(sock, count, deadline, peer):
    chunks = []
    while count:
        if deadline is not None:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise socket.timeout()
            sock.settimeout(remaining)
        chunk = sock.recv(min(count, 1 << 20))
        if not chunk:
            if chunks or count != _HEADER.size:
                raise VxConnectionError("%s closed the connection in the middle of a message" % peer)
            return None
        chunks.append(chunk)
        count -= len(chunk)
    return b"".join(chunks)


def recv_message(sock, deadline=None, peer="peer", limit=MAX_MESSAGE_BYTES, session=None):
    """Read one message; None when the peer closed the connection cleanly.

    Raises VxTimeoutError past `deadline` (a time.monotonic() value) and
    VxConnectionError for anything that is not a well-formed message, among them
    a length prefix above `limit` bytes (refused before any of the body is read)
    and, with a `session`, a message without its tag (VxAuthError).
    """
    try:
        header = _recv_exact(sock, _HEADER.size, deadline, peer)
        if header is None:
            return None
        (length,) = _HEADER.unpack(header)
        if length > limit:
            raise VxConnectionError(
                "%s sent a message of %d bytes, more than the limit of %d: not a vornix peer?"
                % (peer, length, limit)
            )
        payload = _recv_exact(sock, length, deadline, peer) if length else b""
    except socket.timeout:
        raise VxTimeoutError("%s did not answer in time" % peer) from None
    if payload is None:
        raise VxConnectionError("%s closed the connection in the middle of a message" % peer)
    if session is not None:
        payload = session.open(payload, peer)
    try:
        message = json.loads(payload.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise VxConnectionError("%s sent a message that is not JSON: %r" % (peer, payload[:80])) from None
    if not isinstance(message, dict):
        raise VxConnectionError("%s sent %r where a JSON object was expected" % (peer, message))
    return message
