"""Wire format of the command channel to the trading core.

Every message is one JSON object encoded as UTF-8 and preceded by its length
as a 4-byte big-endian unsigned integer.  A request is
{"id": n, "cmd": name, "args": {...}}; its reply is
{"id": n, "ok": true, "result": ...} or {"id": n, "ok": false, "error": text}.
"""

import json
import socket
import struct
import time

import numpy as np

from vornix.tframe.utils.exceptions import VxConnectionError, VxTimeoutError

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 3293
MAX_MESSAGE_BYTES = 16 * 1024 * 1024
_HEADER = struct.Struct(">I")


def _json_default(obj):
    if isinstance(obj, np.ndarray):
        return obj.tolist()
    if isinstance(obj, np.generic):
        return obj.item()
    if isinstance(obj, (set, frozenset, tuple)):
        return list(obj)
    raise TypeError("%s cannot be sent to the trading core" % type(obj).__name__)


def encode(message):
    payload = json.dumps(message, default=_json_default, ensure_ascii=False).encode("utf-8")
    if len(payload) > MAX_MESSAGE_BYTES:
        raise ValueError("message of %d bytes exceeds the limit of %d" % (len(payload), MAX_MESSAGE_BYTES))
    return _HEADER.pack(len(payload)) + payload


def send_message(sock, message):
    sock.sendall(encode(message))


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


def recv_message(sock, deadline=None, peer="peer", limit=MAX_MESSAGE_BYTES):
    """Read one message; None when the peer closed the connection cleanly.

    Raises VxTimeoutError past `deadline` (a time.monotonic() value) and
    VxConnectionError for anything that is not a well-formed message, among them
    a length prefix above `limit` bytes (refused before any of the body is read).
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
    try:
        message = json.loads(payload.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise VxConnectionError("%s sent a message that is not JSON: %r" % (peer, payload[:80])) from None
    if not isinstance(message, dict):
        raise VxConnectionError("%s sent %r where a JSON object was expected" % (peer, message))
    return message
