"""The local trading core.

It answers the commands of the framework's command channel: the version
handshake, the cache directory, and the factor file paths.  One thread per
connection; requests on a connection are answered in order.
"""

import logging
import os
import socket
import socketserver
import threading

import vornix
from vornix.setting import get_setting
from vornix.tframe.comm import protocol
from vornix.tframe.utils.exceptions import StoreError, VxConnectionError

CORE_VERSION = "1.0"
log = logging.getLogger("vornix.core")


def default_cache_dir():
    return get_setting("VX_CORE_CACHE_DIR", os.path.join(os.path.expanduser("~"), ".vornix", "cache"))


def _safe_name(text):
    return "".join(c if c.isalnum() or c in "-_." else "_" for c in str(text))


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        core = self.server.core
        sock = self.request
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        peer = "client %s:%d" % self.client_address[:2]
        while True:
            try:
                message = protocol.recv_message(sock, None, peer)
            except (VxConnectionError, OSError) as exc:
                log.warning("dropping %s: %s", peer, exc)
                return
            if message is None:
                return
            reply = core.answer(message)
            try:
                protocol.send_message(sock, reply)
            except OSError:
                return


class _TCPServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True


class CoreServer:
    """The core, listening on `host`:`port` (port 0 picks a free one)."""

    def __init__(self, host=protocol.DEFAULT_HOST, port=protocol.DEFAULT_PORT, cache_dir=None,
                 version=CORE_VERSION, supported_toolbox=None):
        self.cache_dir = os.path.abspath(cache_dir or default_cache_dir())
        self.version = str(version)
        self.supported_toolbox = list(
            supported_toolbox if supported_toolbox is not None else [vornix.get_version()]
        )
        self._server = _TCPServer((host, int(port)), _Handler, bind_and_activate=True)
        self._server.core = self
        self._thread = None

    @property
    def address(self):
        return self._server.server_address[:2]

    @property
    def port(self):
        return self._server.server_address[1]

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
