"""Vectorised bar operations: laying bars onto a time line and combining minute bars into days."""

import numpy as np

OPEN, HIGH, LOW, CLOSE, VOLUME, TURNOVER, OPEN_INTEREST = range(7)
FIELDS = ("open", "high", "low", "close", "volume", "turnover", "open_interest")


def place_bars(out, grid_keys, bar_keys, bars, filled_up, valid_until=None):
    """Write one target's bars into `out` (7 rows, one column per grid time).

    `grid_keys` and `bar_keys` are ascending integer keys of the grid and of the
    bars; bars whose key is not on the grid are left out.  With `filled_up` a
    grid time without a bar after the target's first bar (counting bars before
    the grid) gets a filled bar: all prices the previous close, volume and
    turnover 0, open interest carried.
    Other entries are NaN; so is every column from `valid_until` on.
    """
    out.fill(np.nan)
    n = grid_keys.size
    if bar_keys.size == 0 or n == 0:
        return
    lo = np.searchsorted(bar_keys, grid_keys[0], side="left")
    hi = np.searchsorted(bar_keys, grid_keys[-1], side="right")
    keys = bar_keys[lo:hi]
    pos = np.searchsorted(grid_keys, keys)
    on_grid = grid_keys[np.minimum(pos, n - 1)] == keys
    rows = np.arange(lo, hi)
    if not on_grid.all():
        pos, rows = pos[on_grid], rows[on_grid]
    if filled_up and (pos.size or lo > 0):
        # the last bar before the grid, if any, carries into the first columns
        src = np.full(n, lo - 1, dtype=np.int64)
        src[pos] = rows
        last = np.maximum.accumulate(src)
        have = last >= 0
        if have.any():
            first = int(np.argmax(have))
            prev = last[first:]
            close = bars["close"][prev]
            for f in (OPEN, HIGH, LOW, CLOSE):
                out[f, first:] = close
            out[VOLUME, first:] = 0.0
            out[TURNOVER, first:] = 0.0
            out[OPEN_INTEREST, first:] = bars["open_interest"][prev]
    if pos.size:
        for f, name in enumerate(FIELDS):
            out[f, pos] = bars[name][rows]
    if valid_until is not None and valid_until < n:
        out[:, valid_until:] = np.nan


def combine_by_group(group_start, bars):
    """Combine consecutive bars into one bar per group.

    `group_start` holds the first bar index of every group (ascending, first 0).
    A bar trades when its volume is above 0.  Per group: open of the first traded
    bar, highest high and lowest low of traded bars, close and open interest of
    the last traded bar, volume and turnover summed.  A group without a traded
    bar is a filled bar at the previous group's close (its own last close when it
    is the first group), volume and turnover 0.
    Returns a dict of float64 arrays, one entry per group.
    """
    starts = np.asarray(group_start, dtype=np.int64)
    n = bars["close"].size
    traded = bars["volume"] > 0
    idx = np.arange(n)
    big = np.iinfo(np.int64).max
    first_traded = np.minimum.reduceat(np.where(traded, idx, big), starts)
    last_traded = np.maximum.reduceat(np.where(traded, idx, -1), starts)
    any_traded = last_traded >= 0
    ft = np.where(any_traded, first_traded, 0)
    lt = np.where(any_traded, last_traded, 0)
    high = np.maximum.reduceat(np.where(traded, bars["high"], -np.inf), starts)
    low = np.minimum.reduceat(np.where(traded, bars["low"], np.inf), starts)
    out = {
        "open": bars["open"][ft],
        "high": high,
        "low": low,
        "close": bars["close"][lt],
        "volume": np.add.reduceat(bars["volume"], starts),
        "turnover": np.add.reduceat(bars["turnover"], starts),
        "open_interest": bars["open_interest"][lt],
    }
    if not any_traded.all():
        # groups without trading: carry the last close of the groups before
        g = np.arange(starts.size)
        src = np.maximum.accumulate(np.where(any_traded, g, -1))
        group_end = np.r_[starts[1:], n] - 1
        prev = np.r_[-1, src[:-1]]
        carried_close = np.where(prev >= 0, out["close"][np.maximum(prev, 0)], bars["close"][group_end])
        carried_oi = np.where(
            prev >= 0, out["open_interest"][np.maximum(prev, 0)], bars["open_interest"][group_end]
        )
        dead = ~any_traded
        for f in ("open", "high", "low", "close"):
            out[f][dead] = carried_close[dead]
        out["open_interest"][dead] = carried_oi[dead]
        out["volume"][dead] = 0.0
        out["turnover"][dead] = 0.0
    return out
