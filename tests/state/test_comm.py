"""The command channel against the real local core over loopback, and the
start-up handshake of sysstate."""

import os
import socket
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

import vornix
from vornix.api.bpfactor._factors import get_factor_by_factor
from vornix.core import CoreServer
from vornix.tframe import sysdefine
from vornix.tframe import sysstate as ss
from vornix.tframe.comm import protocol, vxcmd
from vornix.tframe.comm.vxclient import ClientSocket
from vornix.tframe.utils.exceptions import (
    KeyFileError,
    VersionError,
    VxAuthError,
    VxCommandError,
    VxConnectionError,
    VxTimeoutError,
)
from vornix.tframe.utils.logger import LoggerManager
from vornix.tframe.utils.userkey import user_key
from vornix.tframe.utils.utilcls import OutputFileManager
from vornix.tframe.utils.utilfunc import load_mat
from vxtest.runs import fresh_state
from vxtest.support import SilentPeer, free_port


@pytest.fixture
def core(tmp_path):
    with CoreServer(port=0, cache_dir=str(tmp_path / "cache")) as server:
        yield server


def test_request_reply_and_connected_callback(core):
    client = ClientSocket("127.0.0.1", core.port, 2)
    seen = []
    client.set_callback_connected(lambda: seen.append(client.request("Ping")))
    assert not client.is_connected() and seen == []
    reply = client.request("ToolboxCheck", toolbox="python", version="0.1.0", support=["1.0"])
    assert reply == {"listSupportedToolbox": [vornix.get_version()], "wstrCoreVer": "1.0"}
    assert client.request("Ping") == "pong"
    assert seen == ["pong"]  # once per connection, before the first command
    assert client.heartbeat.count >= 3
    with pytest.raises(VxCommandError, match="unknown command 'Bogus'"):
        client.request("Bogus")
    with pytest.raises(VxCommandError, match="TypeError"):
        client.request("Ping", unexpected=1)
    assert client.request("Ping") == "pong"  # the connection survives refused commands
    client.disconnect()
    client.disconnect()
    assert client.request("Ping") == "pong" and seen == ["pong", "pong"]


def test_cache_dir_and_factor_files(core, use_sample):
    client = ClientSocket("127.0.0.1", core.port, 2)
    path = client.request("GetToolBoxRootofCacheDir", toolbox="python")
    assert os.path.isdir(path) and path.startswith(core.cache_dir)
    codes = ["%s.%s" % (i[0], i[1]) for i in use_sample.instruments if i[2] == "stock"][:2]
    days = use_sample.days
    paths = client.request("GetFactorMultiFilePath", factors=["pe", "no/such"], targets=codes,
                           begin_date=int(days[0]), end_date=int(days[4]), flag=0)
    client.disconnect()
    assert len(paths) == 2 and all(p.startswith(os.path.join(core.cache_dir, "factor")) for p in paths)
    assert "/" not in os.path.basename(paths[1]) and not os.path.exists(paths[1])
    content = load_mat(paths[0])
    expected = get_factor_by_factor("pe", codes, int(days[0]), int(days[4]), 0)
    np.testing.assert_array_equal(content["Date"].ravel(), expected["date"])
    for code in codes:
        market, symbol = code.split(".")
        key = "bp_%s_%s" % (market.lower(), symbol)
        np.testing.assert_array_equal(content[key].ravel(), expected[code])


def test_core_down_fails_fast():
    client = ClientSocket("127.0.0.1", free_port(), 2)
    start = time.monotonic()
    with pytest.raises(VxConnectionError, match="cannot reach"):
        client.request("Ping")
    assert time.monotonic() - start < 2
    assert not client.is_connected()


def test_core_that_never_answers_times_out():
    peer = SilentPeer()
    try:
        client = ClientSocket("127.0.0.1", peer.port, 0.5)
        start = time.monotonic()
        with pytest.raises(VxTimeoutError, match="within 0.5 s"):
            client.request("Ping")
        assert time.monotonic() - start < 3
        assert not client.is_connected()
    finally:
        peer.close()


@pytest.mark.parametrize("reply", [
    b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",  # length prefix far too large
    struct.pack(">I", 5) + b"nope!",  # not JSON
    struct.pack(">I", 2) + b"[]",  # JSON, but not an object
    struct.pack(">I", 10) + b"{}",  # closes in the middle of a message
])
def test_garbage_from_the_core_is_an_error(reply):
    peer = SilentPeer(reply=reply)
    try:
        client = ClientSocket("127.0.0.1", peer.port, 1)
        with pytest.raises(VxConnectionError):
            client.request("Ping")
        assert not client.is_connected()
    finally:
        peer.close()


def test_reply_to_another_request_is_rejected(core, monkeypatch):
    monkeypatch.setattr(core, "answer", lambda message: {"id": 99, "ok": True, "result": 1})
    with pytest.raises(VxConnectionError, match="malformed reply"):
        ClientSocket("127.0.0.1", core.port, 1).request("Ping")


def test_a_core_without_the_users_key_is_refused(tmp_path):
    with CoreServer(port=0, cache_dir=str(tmp_path), key=os.urandom(32)) as impostor:
        client = ClientSocket("127.0.0.1", impostor.port, 2)
        with pytest.raises(VxAuthError) as info:
            client.request("Ping")
    text = str(info.value)
    assert "could not prove that it holds the user's key" in text
    assert "port %d" % impostor.port in text and "--core local" in text and "VX_CORE_KEY_FILE" in text
    assert not client.is_connected()


def _hello(sock):
    nonce = "ab" * 32
    protocol.send_message(sock, {"hello": protocol.AUTH_VERSION, "nonce": nonce})
    reply = protocol.recv_message(sock, time.monotonic() + 2)
    return nonce, reply["nonce"]


@pytest.mark.parametrize("client", ["silent", "wrong proof", "untagged command"])
def test_the_core_closes_a_client_that_does_not_authenticate(tmp_path, client):
    """Within its short deadline (far below the idle time-out), whatever the client
    holds back or forges; the core keeps serving clients that hold the key."""
    with CoreServer(port=0, cache_dir=str(tmp_path), auth_timeout=0.3, idle_timeout=30) as core:
        sock = socket.create_connection(("127.0.0.1", core.port), timeout=5)
        if client != "silent":
            ours, theirs = _hello(sock)
            key = core.key if client == "untagged command" else os.urandom(32)
            protocol.send_message(sock, {"proof": protocol.proof(key, "client", theirs, ours)})
            if client == "untagged command":
                protocol.send_message(sock, {"id": 1, "cmd": "Ping", "args": {}})
        start = time.monotonic()
        sock.settimeout(5)
        assert sock.recv(1) == b"" and time.monotonic() - start < 2
        sock.close()
        assert ClientSocket("127.0.0.1", core.port, 2).request("Ping") == "pong"


def test_key_file_is_private_and_refused_when_it_is_not(tmp_path, monkeypatch):
    path = tmp_path / "home" / "core.key"
    monkeypatch.setenv("VX_CORE_KEY_FILE", str(path))
    key = user_key()
    assert len(key) == 32 and (os.stat(path).st_mode & 0o777) == 0o600 and user_key() == key
    os.chmod(path, 0o644)
    with pytest.raises(KeyFileError, match="chmod 600"):
        user_key()
    path.write_text("not a key\n")
    os.chmod(path, 0o600)
    with pytest.raises(KeyFileError, match="does not hold a key"):
        user_key()


def test_core_survives_garbage_clients(core):
    with socket.create_connection(("127.0.0.1", core.port)) as raw:
        raw.sendall(b"\xff\xff\xff\xff garbage")
    with socket.create_connection(("127.0.0.1", core.port)) as raw:
        raw.sendall(struct.pack(">I", 3) + b"{{{")
    assert ClientSocket("127.0.0.1", core.port, 2).request("Ping") == "pong"


def test_client_rejects_bad_construction():
    with pytest.raises(ValueError):
        ClientSocket("127.0.0.1", 3293, 0)
    with pytest.raises(TypeError):
        ClientSocket().set_callback_connected(5)


@pytest.mark.parametrize("extra, fits", [(0, True), (1, False)])
def test_send_limit_at_the_byte(extra, fits):
    overhead = len(protocol.encode({"x": ""})) - protocol._HEADER.size
    message = {"x": "a" * (protocol.MAX_MESSAGE_BYTES - overhead + extra)}
    if fits:
        assert len(protocol.encode(message)) == protocol._HEADER.size + protocol.MAX_MESSAGE_BYTES
    else:
        with pytest.raises(ValueError, match="exceeds the limit"):
            protocol.encode(message)


def test_receive_limit_is_refused_at_the_header():
    """A peer announcing a message above the limit is refused as soon as the
    header arrives, without waiting for the body or the time-out."""
    left, right = socket.socketpair()
    try:
        left.sendall(struct.pack(">I", protocol.MAX_MESSAGE_BYTES + 1))
        started = time.monotonic()
        with pytest.raises(VxConnectionError, match="more than the limit"):
            protocol.recv_message(right, time.monotonic() + 30, "test peer")
        assert time.monotonic() - started < 5  # refused at once, not by the 30 s deadline
    finally:
        left.close()
        right.close()


# --- handshake and cache directory through the state store -------------------------------------------


@pytest.fixture
def wired(monkeypatch, tmp_path):
    """A fresh store and environment whose command connection points at a core
    started by the test; output and log managers are restored afterwards."""
    for cls, names in ((OutputFileManager, ("_root",)),
                       (LoggerManager, ("_log_dir", "_file_name", "_handler"))):
        for name in names:
            monkeypatch.setattr(cls, name, getattr(cls, name))
    monkeypatch.setenv("VX_CORE_CACHE_DIR", str(tmp_path / "cache"))
    env = fresh_state(monkeypatch)
    var = env.vr
    servers = []

    def start(version="1.0", support=None):
        server = CoreServer(port=0, cache_dir=str(tmp_path / "cache"), version=version,
                            supported_toolbox=support).start()
        servers.append(server)
        var.g_VornixSocket.port = server.port
        return server

    yield env, start
    env.vx_disconnect_to()
    LoggerManager.remove_log_handler()
    for server in servers:
        server.stop()


@pytest.mark.parametrize("core_version, core_support", [
    ("9.9", None),  # the core lists our version, we do not list it
    (vornix.get_support()[0], ["0.0.0"]),  # we list the core, it does not list us
])
def test_handshake_accepted_either_way(wired, core_version, core_support):
    env, start = wired
    server = start(core_version, core_support)
    paths = vxcmd.vxSendCmdGetFactorMultiFilePath(["pe"], ["SHSE.600000"], 20240101, 20240131)
    assert len(paths) == 1
    info = env.more_info()
    assert info == {
        "vxcore_version": core_version,
        "vxcore_support": core_support or [vornix.get_version()],
        "vornix_version": vornix.get_version(),
        "vornix_support": vornix.get_support(),
    }
    assert env.vr.g_VornixCache.allow_comm_vx is True
    cache_dir = os.path.join(server.cache_dir, "python")
    assert OutputFileManager.root() == cache_dir
    assert LoggerManager.log_dir() == os.path.join(cache_dir, "log")
    assert env.root_sub_dir("mat") == os.path.join(cache_dir, "mat")


def test_handshake_refused(wired, monkeypatch):
    env, start = wired
    start("7.7", ["0.0.0"])
    monkeypatch.delattr(sysdefine, "vxcore_name")
    with pytest.raises(VersionError) as info:
        vxcmd.vxSendCmdGetToolBoxRootofCacheDir()
    text = str(info.value)
    assert "7.7" in text and vornix.get_version() in text and "Vornix" in text
    cache = env.vr.g_VornixCache
    assert cache.allow_comm_vx is False and cache.not_allow_comm_vx_tips == text
    assert cache.vx_version == "7.7" and cache.vx_support_list == ["0.0.0"]
    assert not env.vr.g_VornixSocket.is_connected()
    with pytest.raises(VersionError):  # and again on the next attempt
        vxcmd.vxSendCmdGetToolBoxRootofCacheDir()


def test_handshake_reply_without_keys(wired, monkeypatch):
    env, start = wired
    server = start()
    monkeypatch.setattr(server, "cmd_ToolboxCheck", lambda **kw: {"wstrCoreVer": "1.0"})
    with pytest.raises(KeyError):
        vxcmd.vxSendCmdGetToolBoxRootofCacheDir()
    assert not hasattr(env.vr.g_VornixCache, "vx_version")
    with pytest.raises(AttributeError):
        env.more_info()


def test_core_module_starts_from_the_command_line(tmp_path):
    port = free_port()
    proc = subprocess.Popen(
        [sys.executable, "-m", "vornix.core", "--port", str(port), "--cache-dir", str(tmp_path)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, cwd=tmp_path,
    )
    try:
        line = proc.stdout.readline()
        assert "listening on 127.0.0.1:%d" % port in line
        with ClientSocket("127.0.0.1", port, 5) as client:
            assert client.request("Ping") == "pong"
    finally:
        proc.terminate()
        proc.wait(timeout=10)
        proc.stdout.close()


# --- exit hook -----------------------------------------------------------------------------------------

EXIT_SCRIPT = """
import sys
from vornix.tframe import sysstate
from vornix.tframe.utils.logger import LoggerManager
print(LoggerManager.log_file(), flush=True)
mode = sys.argv[1]
if mode == "none":
    sysstate.env = None
elif mode == "failing":
    def broken():
        raise RuntimeError("socket already gone")
    sysstate.vr.g_VornixSocket.disconnect = broken
"""


@pytest.mark.parametrize("mode", ["normal", "none", "failing"])
def test_exit_hook(mode, tmp_path):
    environ = dict(os.environ, VX_LOG_DIR=str(tmp_path))
    # run outside the source tree, so that the installed package is imported
    out = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, mode], env=environ, cwd=tmp_path,
                         capture_output=True, text=True, timeout=60, check=True)
    log_path = out.stdout.strip().splitlines()[-1]
    with open(log_path, encoding="utf-8") as fh:
        lines = fh.read().splitlines()
    assert lines[-1].endswith("Python interpreter exit!")
    if mode == "failing":
        assert len(lines) == 2 and "RuntimeError: socket already gone" in lines[0]
    else:
        assert len(lines) == 1
    assert ss.sys_exit.__name__ == "sys_exit"
