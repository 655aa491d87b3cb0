"""Helpers shared by the tests: a local core, a silent peer, a hand-built run."""

import socket
import threading

import numpy as np


class SilentPeer:
    """Accepts connections on loopback and never answers (or answers `reply` bytes)."""

    def __init__(self, reply=None):
        self.reply = reply
        self._sock = socket.socket()
        self._sock.bind(("127.0.0.1", 0))
        self._sock.listen(8)
        self.port = self._sock.getsockname()[1]
        self._conns = []
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        self._sock.settimeout(0.1)
        while not self._stop:
            try:
                conn, _ = self._sock.accept()
            except OSError:
                continue
            self._conns.append(conn)
            if self.reply is not None:
                try:
                    conn.recv(65536)
                    conn.sendall(self.reply)
                except OSError:
                    pass

    def close(self):
        self._stop = True
        self._thread.join(timeout=2)
        for c in self._conns:
            c.close()
        self._sock.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def kmatrix(gv, times, bars):
    """A K matrix from a time line and per-target lists of (o, h, l, c, v, t, oi) bars."""
    n = len(bars)
    m = np.zeros((gv.KMatrixPos_Head_len + gv.KMatrix_Bar_Len * n, len(times)))
    m[gv.KMatrixPos_TimeLine] = times
    for t, target_bars in enumerate(bars):
        block = gv.KMatrixPos_Head_len + t * gv.KMatrix_Bar_Len
        m[block:block + gv.KMatrix_Bar_Len] = np.asarray(target_bars, dtype=float).T
    return m
