"""The local core under abuse: its connection bound, idle time-out, message-size bound
and malformed frames, each on loopback with small limits, then all at once in a
flood after which a normal command must still be answered."""

import random
import socket
import struct
import threading
import time

import pytest

from vornix.core import CoreServer
from vornix.core.server import connection_thread_name
from vornix.tframe.comm import protocol
from vornix.tframe.comm.vxclient import ClientSocket

BOUND = 4
IDLE = 0.4


@pytest.fixture
def core(tmp_path):
    with CoreServer(port=0, cache_dir=str(tmp_path / "cache"), max_connections=BOUND,
                    idle_timeout=IDLE, accept_wait=0.2, max_message_bytes=4096) as server:
        yield server


def connect(core):
    sock = socket.create_connection(("127.0.0.1", core.port), timeout=5)
    return sock


def authenticated(core):
    sock = connect(core)
    return sock, protocol.client_handshake(sock, core.key, 3, "test core")


def closed_by_core(sock, within=3.0):
    """True when the core closes the connection (EOF or reset) within `within` seconds."""
    sock.settimeout(within)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def ping(core, timeout=3):
    return ClientSocket("127.0.0.1", core.port, timeout).request("Ping")


def connection_threads(core):
    """The threads serving connections of `core` (other cores of the session may still
    be ending theirs)."""
    name = connection_thread_name(core.port)
    return sum(t.name == name for t in threading.enumerate())


@pytest.mark.parametrize("frame", [
    struct.pack(">I", 0xFFFFFFFF),                    # claims 4 GiB
    struct.pack(">I", 4097) + b"{",                   # one byte over the server's bound
    struct.pack(">I", 3) + b"{{{",                    # not JSON
    struct.pack(">I", 2) + b"[]",                     # JSON, not an object
    struct.pack(">I", 2) + b"\xff\xfe",               # not UTF-8
], ids=["4GiB", "over-bound", "not-json", "not-object", "not-utf8"])
def test_malformed_frame_closes_only_that_connection(core, frame):
    with connect(core) as bad:
        bad.sendall(frame)
        assert closed_by_core(bad)
    assert ping(core) == "pong"


@pytest.mark.parametrize("sent", [b"", b"\x00\x00", struct.pack(">I", 50) + b'{"id": 1'],
                         ids=["silent", "half-header", "half-body"])
def test_idle_or_stalled_client_is_closed_after_the_time_out(core, sent):
    with connect(core) as idle:
        idle.sendall(sent)
        started = time.monotonic()
        assert closed_by_core(idle, within=IDLE * 8)
        assert time.monotonic() - started >= IDLE * 0.5


def test_connection_beyond_the_bound_is_refused_then_served_once_a_slot_frees(core):
    holders = [authenticated(core) for _ in range(BOUND)]
    try:
        for h, session in holders:  # every holder is being served
            protocol.send_message(h, {"id": 1, "cmd": "Ping"}, session)
            assert protocol.recv_message(h, time.monotonic() + 3, session=session)["result"] == "pong"
        with connect(core) as extra:
            assert closed_by_core(extra, within=2)
        assert core.connections[2] >= 1
    finally:
        for h, _ in holders:
            h.close()
    assert ping(core) == "pong"


@pytest.mark.parametrize("kwargs", [{"max_connections": 0}, {"max_connections": True},
                                    {"idle_timeout": 0}, {"accept_wait": -1}, {"auth_timeout": 0},
                                    {"max_message_bytes": protocol.MAX_MESSAGE_BYTES + 1}])
def test_limits_are_checked(tmp_path, kwargs):
    with pytest.raises(ValueError):
        CoreServer(port=0, cache_dir=str(tmp_path), **kwargs)


def test_flood_of_abusive_clients(core):
    """Many connections at once from several threads: random bytes, half frames, huge
    length prefixes, idle clients and well-formed pings.  Bounded in count and time.
    Afterwards the thread count stayed within the bound and a ping is answered."""
    rng = random.Random(5)
    payloads = [bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 64))) for _ in range(40)]
    peak_threads = [0]
    stop = threading.Event()

    def watch():
        while not stop.is_set():
            peak_threads[0] = max(peak_threads[0], connection_threads(core))
            time.sleep(0.005)

    def abuse(kind, i):
        try:
            with socket.create_connection(("127.0.0.1", core.port), timeout=2) as s:
                if kind == "random":
                    s.sendall(payloads[i % len(payloads)])
                elif kind == "half":
                    s.sendall(struct.pack(">I", 100) + b'{"id": ')
                elif kind == "huge":
                    s.sendall(struct.pack(">I", 0x7FFFFFFF))
                elif kind == "ping":
                    protocol.send_message(s, {"id": i, "cmd": "Ping"})
                closed_by_core(s, within=IDLE * 4)
        except OSError:
            pass  # refused or reset under the flood: that is the bound at work

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    kinds = ["random", "half", "huge", "idle", "ping"]
    clients = [threading.Thread(target=abuse, args=(kinds[i % len(kinds)], i), daemon=True)
               for i in range(60)]
    for c in clients:
        c.start()
    for c in clients:
        c.join(timeout=10)
    stop.set()
    watcher.join(timeout=2)
    assert not any(c.is_alive() for c in clients)
    live, peak, refused = core.connections
    assert peak <= BOUND and peak_threads[0] <= BOUND
    assert refused > 0  # the flood went past the bound
    assert ping(core) == "pong"
    deadline = time.monotonic() + 3
    while core.connections[0] and time.monotonic() < deadline:
        time.sleep(0.05)
    assert core.connections[0] == 0 and connection_threads(core) == 0
