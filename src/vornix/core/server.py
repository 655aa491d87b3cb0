"""The local trading core.

It answers the commands of the framework's command channel: the version
handshake, the cache directory, and the factor file paths.  One thread per
connection; requests on a connection are answered in order.

Limits, all set per server: at most `max_connections` connections are served at
once (a connection beyond them waits up to `accept_wait` seconds for a free slot,
then is closed); a client has `idle_timeout` seconds to deliver each whole message
(waiting included), else its connection is closed; a message may claim at most
`max_message_bytes` bytes, and a longer claim or a malformed frame closes that
connection only, with a log line.

Every connection begins with the key handshake of `protocol`: a client that does
not prove it holds the user's key within `auth_timeout` seconds of being accepted
(or its idle time-out, if shorter) is closed, so that other processes can neither
use the core nor hold its slots.
"""

import logging
import os
import socket
import socketserver
import threading
import time

import vornix
from vornix.setting import core_cache_dir
from vornix.tframe.comm import protocol
from vornix.tframe.utils.exceptions import StoreError, VxConnectionError, VxTimeoutError
from vornix.tframe.utils.userkey import user_key

CORE_VERSION = "1.0"
DEFAULT_MAX_CONNECTIONS = 32
DEFAULT_IDLE_TIMEOUT = 30.0
DEFAULT_ACCEPT_WAIT = 1.0
DEFAULT_AUTH_TIMEOUT = 2.0
CONNECTION_THREAD_NAME = "vornix-core-connection"


def connection_thread_name(port):
    """The name of the threads serving the connections of the core on `port`."""
    return "%s:%d" % (CONNECTION_THREAD_NAME, port)
log = logging.getLogger("vornix.core")


def default_cache_dir():
    return core_cache_dir()


def _safe_name(text):
    return "".join(c if c.isalnum() or c in "-_." else "_" for c in str(text))


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        server = self.server
        core = server.core
        sock = self.request
        peer = "client %s:%d" % self.client_address[:2]
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                wait = min(server.auth_timeout, server.idle_timeout)
                session = protocol.core_handshake(sock, core.key, time.monotonic() + wait, peer)
            except VxTimeoutError:
                log.warning("closing %s: not authenticated within %.3g s", peer, wait)
                return
            except (VxConnectionError, OSError) as exc:
                log.warning("closing %s: %s", peer, exc)
                return
            if session is None:
                return
            while True:
                deadline = time.monotonic() + server.idle_timeout
                try:
                    message = protocol.recv_message(sock, deadline, peer, server.max_message_bytes,
                                                    session)
                except VxTimeoutError:
                    log.info("closing %s: no whole message within %.3g s", peer, server.idle_timeout)
                    return
                except (VxConnectionError, OSError) as exc:
                    log.warning("dropping %s: %s", peer, exc)
                    return
                if message is None:
                    return
                reply = core.answer(message)
                try:
                    data = protocol.encode(reply, session)
                except (ValueError, TypeError) as exc:  # a reply that cannot be encoded
                    log.error("cannot answer %s: %s", peer, exc)
                    data = protocol.encode({"id": reply.get("id"), "ok": False, "error": str(exc)},
                                           session)
                sock.sendall(data)
        except OSError:
            return
        except Exception:  # whatever a client sent, the core goes on serving the others
            log.exception("dropping %s after an unexpected error", peer)


class _TCPServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    """One thread per connection, at most `max_connections` of them at once."""

    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, max_connections, accept_wait, idle_timeout, max_message_bytes,
                 auth_timeout):
        super().__init__(address, _Handler, bind_and_activate=False)
        self.request_queue_size = max(16, 2 * max_connections)  # the flood waits in the backlog
        self.max_connections = max_connections
        self.accept_wait = accept_wait
        self.idle_timeout = idle_timeout
        self.auth_timeout = auth_timeout
        self.max_message_bytes = max_message_bytes
        self._slots = threading.BoundedSemaphore(max_connections)
        self._count_lock = threading.Lock()
        self._ending = []  # connection threads past their last line
        self.live = 0
        self.peak = 0
        self.refused = 0
        try:
            self.server_bind()
            self.server_activate()
        except BaseException:
            self.server_close()
            raise

    def process_request(self, request, client_address):
        if not self._slots.acquire(timeout=self.accept_wait):
            with self._count_lock:
                self.refused += 1
            log.warning("refusing client %s:%d: %d connections are being served",
                        client_address[0], client_address[1], self.max_connections)
            self.shutdown_request(request)
            return
        with self._count_lock:
            self.live += 1
            self.peak = max(self.peak, self.live)
            ending, self._ending = self._ending, []
        for done in ending:  # threads that gave their slot back end first: the bound holds
            done.join(timeout=1.0)
        try:
            thread = threading.Thread(target=self.process_request_thread, args=(request, client_address),
                                      name=connection_thread_name(self.server_address[1]),
                                      daemon=True)
            thread.start()
        except BaseException:
            self._release()
            self.shutdown_request(request)
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._release()

    def _release(self):
        with self._count_lock:
            self.live -= 1
            if threading.current_thread().name.startswith(CONNECTION_THREAD_NAME):
                self._ending.append(threading.current_thread())
        self._slots.release()

    def handle_error(self, request, client_address):
        log.exception("error on the connection of %s", client_address)


class CoreServer:
    """The core, listening on `host`:`port` (port 0 picks a free one); `key` is the
    secret its clients must prove they hold (default: the user's key)."""

    def __init__(self, host=protocol.DEFAULT_HOST, port=protocol.DEFAULT_PORT, cache_dir=None,
                 version=CORE_VERSION, supported_toolbox=None, max_connections=DEFAULT_MAX_CONNECTIONS,
                 idle_timeout=DEFAULT_IDLE_TIMEOUT, accept_wait=DEFAULT_ACCEPT_WAIT,
                 max_message_bytes=protocol.MAX_MESSAGE_BYTES, auth_timeout=DEFAULT_AUTH_TIMEOUT,
                 key=None):
        if isinstance(max_connections, bool) or not isinstance(max_connections, int) or max_connections < 1:
            raise ValueError("max_connections must be a positive integer, got %r" % (max_connections,))
        for name, value in (("idle_timeout", idle_timeout), ("accept_wait", accept_wait),
                            ("auth_timeout", auth_timeout)):
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
                raise ValueError("%s must be a positive number of seconds, got %r" % (name, value))
        if (isinstance(max_message_bytes, bool) or not isinstance(max_message_bytes, int)
                or not 0 < max_message_bytes <= protocol.MAX_MESSAGE_BYTES):
            raise ValueError("max_message_bytes must be in 1..%d, got %r"
                             % (protocol.MAX_MESSAGE_BYTES, max_message_bytes))
        self.key = user_key() if key is None else bytes(key)
        self.cache_dir = os.path.abspath(cache_dir or default_cache_dir())
        self.version = str(version)
        self.supported_toolbox = list(
            supported_toolbox if supported_toolbox is not None else [vornix.get_version()]
        )
        self._server = _TCPServer((host, int(port)), max_connections, float(accept_wait),
                                  float(idle_timeout), max_message_bytes, float(auth_timeout))
        self._server.core = self
        self._thread = None

    @property
    def address(self):
        return self._server.server_address[:2]

    @property
    def port(self):
        return self._server.server_address[1]

    @property
    def max_connections(self):
        return self._server.max_connections

    @property
    def connections(self):
        """(live, peak, refused): connections served now, the most served at once so far,
        and those closed for want of a free slot."""
        srv = self._server
        with srv._count_lock:
            return srv.live, srv.peak, srv.refused

    # --- commands -------------------------------------------------------------

    def cmd_ToolboxCheck(self, toolbox="python", version="", support=()):
        log.info("handshake from %s %s (supports cores %s)", toolbox, version, list(support))
        return {"listSupportedToolbox": list(self.supported_toolbox), "wstrCoreVer": self.version}

    def cmd_GetToolBoxRootofCacheDir(self, toolbox="python"):
        path = os.path.join(self.cache_dir, _safe_name(toolbox))
        os.makedirs(path, exist_ok=True)
        return path

    def cmd_GetFactorMultiFilePath(self, factors=(), targets=(), begin_date=0, end_date=0, flag=0):
        """One MAT file per factor, prepared from the bar store: "Date" (day numbers)
        and per target "bp_<market>_<code>".  A factor the store lacks gets a path
        where no file exists, so that the framework asks its factor service."""
        folder = os.path.join(self.cache_dir, "factor")
        os.makedirs(folder, exist_ok=True)
        paths = []
        for factor in factors:
            path = os.path.join(
                folder, "%s_%d_%d.mat" % (_safe_name(factor), int(begin_date), int(end_date))
            )
            self._write_factor_file(path, factor, targets, begin_date, end_date)
            paths.append(path)
        return paths

    @staticmethod
    def _write_factor_file(path, factor, targets, begin_date, end_date):
        from vornix.api.bpfactor._factors import get_factor_by_factor
        from vornix.tframe.utils.utilfunc import save_mat

        try:
            values = get_factor_by_factor(factor, list(targets), begin_date, end_date, 0)
        except (ValueError, OSError, StoreError) as exc:
            log.info("no factor file for %r: %s", factor, exc)
            if os.path.exists(path):
                os.remove(path)  # never leave a file from older data behind
            return
        content = {"Date": values.pop("date")}
        for code, series in values.items():
            market, symbol = code.split(".", 1)
            content["bp_%s_%s" % (market.lower(), symbol)] = series
        save_mat(path, content, error="raise", appendmat=False)

    def cmd_Ping(self):
        return "pong"

    def answer(self, message):
        req_id = message.get("id")
        cmd = message.get("cmd")
        args = message.get("args") or {}
        handler = getattr(self, "cmd_%s" % cmd, None) if isinstance(cmd, str) else None
        if handler is None:
            return {"id": req_id, "ok": False, "error": "unknown command %r" % (cmd,)}
        if not isinstance(args, dict):
            return {"id": req_id, "ok": False, "error": "arguments of %r must be an object" % cmd}
        try:
            return {"id": req_id, "ok": True, "result": handler(**args)}
        except Exception as exc:  # a bad request must not take the core down
            log.exception("command %r failed", cmd)
            return {"id": req_id, "ok": False, "error": "%s: %s" % (type(exc).__name__, exc)}

    # --- life cycle -----------------------------------------------------------

    def serve_forever(self):
        self._server.serve_forever(poll_interval=0.2)

    def start(self):
        """Serve on a background thread; returns self."""
        self._thread = threading.Thread(target=self.serve_forever, name="vornix-core", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._server.shutdown()
        self._server.server_close()
        if self._thread is not None:
            self._thread.join(timeout=5)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
