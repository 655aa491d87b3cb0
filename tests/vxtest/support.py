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


def kmatrix(times, blocks, day_pos=None, fresh=None):
    """The one K-matrix builder of the tests.

    Header rows: the time line `times`, the day positions (`day_pos`, default
    the floor of the times) and the refresh flags (`fresh`, default 0); then
    one block per target: 7 rows (open, high, low, close, volume, turnover,
    open interest) by bars, placed at the layout's field offsets (`bar_rows`
    turns a list of bars into such a block).
    """
    from vornix.tframe.sysdefine import GlobalDefine as gv

    times = np.asarray(times, dtype=float)
    n = times.size
    fields = (gv.KMatrix_Open, gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Close,
              gv.KMatrix_Volume, gv.KMatrix_TurnOver, gv.KMatrix_OpenInterest)
    m = np.zeros((gv.KMatrixPos_Head_len + gv.KMatrix_Bar_Len * len(blocks), n))
    m[gv.KMatrixPos_TimeLine] = times
    m[gv.KMatrixPos_DayPos] = np.floor(times) if day_pos is None else day_pos
    if fresh is not None:
        m[gv.KMatrixPos_FreshIdx] = fresh
    for t, block in enumerate(blocks):
        rows = np.asarray(block, dtype=float).reshape(7, n)
        first = gv.KMatrixPos_Head_len + t * gv.KMatrix_Bar_Len
        for k, offset in enumerate(fields):
            m[first + offset] = rows[k]
    return m


def bar_rows(bars):
    """A block of 7 field rows from a list of (o, h, l, c, v, t, oi) bars."""
    return np.asarray(bars, dtype=float).reshape(-1, 7).T
