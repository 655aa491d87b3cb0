"""Client side of the command channel to the trading core."""

import socket
import threading
import time

from vornix.setting import get_setting
from vornix.tframe.comm import protocol
from vornix.tframe.utils.exceptions import (
    VxAuthError,
    VxCommandError,
    VxConnectionError,
    VxTimeoutError,
)
from vornix.tframe.utils.userkey import KEY_SETTING, key_path, user_key

DEFAULT_AUTH_TIMEOUT = 10.0


class HeatBeat:
    """Heartbeat record of a core connection."""

    def __init__(self):
        self.last_time = None
        self.count = 0

    def beat(self):
        self.last_time = time.time()
        self.count += 1


class ClientSocket:
    """A request/reply connection to the trading core.

    Nothing happens on construction: the connection is made when the first
    command is sent.  It begins with the key handshake (see `protocol`): a peer
    that cannot prove it holds the user's key is refused, within `timeout`
    seconds and at most the setting VX_CORE_AUTH_TIMEOUT (default 10 s).  Right
    after it comes up, the connected callback (if any) runs once, on the thread
    that sends; it may itself send commands.  Every wait for the core is bounded
    by `timeout` seconds.
    """

    def __init__(self, host=protocol.DEFAULT_HOST, port=protocol.DEFAULT_PORT, timeout=300):
        timeout = float(timeout)
        if not timeout > 0:
            raise ValueError("time-out must be a positive number of seconds, got %r" % (timeout,))
        self.host = host
        self.port = int(port)
        self.timeout = timeout
        self.heartbeat = HeatBeat()
        self._sock = None
        self._session = None
        self._lock = threading.RLock()
        self._callback_connected = None
        self._next_id = 0

    @property
    def peer(self):
        return "the trading core at %s:%d" % (self.host, self.port)

    def set_callback_connected(self, callback):
        if callback is not None and not callable(callback):
            raise TypeError("connected callback must be callable, got %r" % (callback,))
        self._callback_connected = callback

    def is_connected(self):
        return self._sock is not None

    def connect(self):
        with self._lock:
            if self._sock is not None:
                return
            try:
                sock = socket.create_connection((self.host, self.port), timeout=self.timeout)
            except socket.timeout:
                raise VxTimeoutError(
                    "%s did not accept a connection within %g s" % (self.peer, self.timeout)
                ) from None
            except OSError as exc:
                raise VxConnectionError(
                    "cannot reach %s (%s); start it with `python -m vornix.core`" % (self.peer, exc)
                ) from None
            try:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                self._session = self._authenticate(sock)
            except BaseException:
                sock.close()
                raise
            self._sock = sock
            self.heartbeat.beat()
            if self._callback_connected is not None:
                try:
                    self._callback_connected()
                except BaseException:
                    self.disconnect()
                    raise

    def _authenticate(self, sock):
        wait = min(self.timeout, float(get_setting("VX_CORE_AUTH_TIMEOUT", DEFAULT_AUTH_TIMEOUT)))
        key = user_key()
        hint = ("Stop the process listening on port %d, or run with --core local (a core of the "
                "run's own), or, if it is your core started with another key, name that key file "
                "with the setting %s (now %s)" % (self.port, KEY_SETTING, key_path()))
        try:
            return protocol.client_handshake(sock, key, wait, self.peer)
        except VxAuthError as exc:
            raise VxAuthError("%s; refused it: it is not a vornix core of this user. %s"
                              % (exc, hint)) from None
        except VxTimeoutError as exc:
            raise VxTimeoutError("%s (a vornix core answers at once). %s" % (exc, hint)) from None
        except OSError as exc:
            raise VxConnectionError("lost %s in the key handshake: %s" % (self.peer, exc)) from None

    def disconnect(self):
        with self._lock:
            sock, self._sock = self._sock, None
            self._session = None
            if sock is not None:
                try:
                    sock.close()
                except OSError:
                    pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.disconnect()

    def __del__(self):
        sock = getattr(self, "_sock", None)
        if sock is not None:
            sock.close()

    def request(self, cmd, **args):
        """Send command `cmd` with keyword arguments and return the core's result."""
        with self._lock:
            self.connect()
            self._next_id += 1
            req_id = self._next_id
            deadline = time.monotonic() + self.timeout
            try:
                self._sock.settimeout(self.timeout)
                protocol.send_message(self._sock, {"id": req_id, "cmd": cmd, "args": args},
                                      self._session)
                reply = protocol.recv_message(self._sock, deadline, self.peer,
                                              session=self._session)
            except VxTimeoutError:
                self.disconnect()
                raise VxTimeoutError(
                    "%s did not answer the command %r within %g s (setting VX_SOCKET_TIMEOUT)"
                    % (self.peer, cmd, self.timeout)
                ) from None
            except socket.timeout:
                self.disconnect()
                raise VxTimeoutError(
                    "%s did not take the command %r within %g s" % (self.peer, cmd, self.timeout)
                ) from None
            except VxConnectionError:
                self.disconnect()
                raise
            except OSError as exc:
                self.disconnect()
                raise VxConnectionError("lost %s during %r: %s" % (self.peer, cmd, exc)) from None
            if reply is None:
                self.disconnect()
                raise VxConnectionError("%s closed the connection during %r" % (self.peer, cmd))
            if reply.get("id") != req_id or "ok" not in reply:
                self.disconnect()
                raise VxConnectionError("%s sent a malformed reply to %r: %r" % (self.peer, cmd, reply))
            self.heartbeat.beat()
            if not reply["ok"]:
                raise VxCommandError("%s refused %r: %s" % (self.peer, cmd, reply.get("error")))
            return reply.get("result")
