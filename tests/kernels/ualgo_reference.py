"""Slow, obviously correct pure-Python versions of the ualgo kernels.

Everything here loops over plain lists and follows the definitions word by
word; the tests compare the C++ kernels with these on small random inputs.
Matrices are lists of rows (lists of floats).
"""

import math

from vornix.tframe.sysdefine import GlobalDefine as gv

NAN = float("nan")
HEAD = gv.KMatrixPos_Head_len
BAR = gv.KMatrix_Bar_Len
ADJ = gv.Adj_KMatrix_Bar_Len
OP, HI, LO, CL = gv.KMatrix_Open, gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Close
VOL, TURN, OI = gv.KMatrix_Volume, gv.KMatrix_TurnOver, gv.KMatrix_OpenInterest
AO, AH, AL, AC = gv.Adj_KMatrix_Open, gv.Adj_KMatrix_High, gv.Adj_KMatrix_Low, gv.Adj_KMatrix_Close


def isnan(x):
    return x != x


def last_known(values, stop):
    """Last non-NaN entry of values[:stop], NaN if there is none."""
    for x in reversed(values[:stop]):
        if not isnan(x):
            return x
    return NAN


# --- time lines -------------------------------------------------------------


def begin_end_pos(base_tl, target_tl):
    begin, end = [], []
    for j, t in enumerate(target_tl):
        lo = target_tl[j - 1] if j else -math.inf
        cols = [i for i, b in enumerate(base_tl) if lo < b <= t]
        if cols:
            begin.append(cols[0])
            end.append(cols[-1])
        else:
            first = end[-1] + 1 if end else 0
            begin.append(first)
            end.append(first - 1)
    return begin, end


def owner_bar(t, second_tl):
    """The first bar of second_tl not earlier than t (len(second_tl) if none)."""
    for g, s in enumerate(second_tl):
        if s >= t:
            return g
    return len(second_tl)


def reg_begin_end_pos(base_tl, second_tl):
    gid = [owner_bar(t, second_tl) for t in base_tl]
    n = len(base_tl)
    begin = [min(k for k in range(n) if gid[k] == gid[i]) for i in range(n)]
    end = [max(k for k in range(n) if gid[k] == gid[i]) for i in range(n)]
    return begin, end


def current_bar(series_tl, main_tl):
    return [min(owner_bar(t, series_tl), len(series_tl) - 1) for t in main_tl]


def fresh_mask(day_pos, frequency_i, freq_num):
    n = len(day_pos)
    if frequency_i >= gv.KFreq_Day:
        return [(i + 1) % freq_num == 0 or i == n - 1 for i in range(n)]
    # split into days (runs of equal day position), count inside each day
    days, run = [], []
    for i, d in enumerate(day_pos):
        if run and d != day_pos[run[-1]]:
            days.append(run)
            run = []
        run.append(i)
    if run:
        days.append(run)
    mask = []
    for run in days:
        mask += [(p + 1) % freq_num == 0 or p == len(run) - 1 for p in range(len(run))]
    return mask


def unfill_complete(matrix, body_start, bar_len, volume_offset):
    n_targets = (len(matrix) - body_start) // bar_len
    refs, idxs = [], []
    for t in range(n_targets):
        vol = matrix[body_start + t * bar_len + volume_offset]
        idx = [c for c, v in enumerate(vol) if v > 0]
        ref = []
        for c in range(len(vol)):
            upto = [k for k in idx if k <= c]
            ref.append(float(len(upto) - 1) if upto else NAN)
        refs.append(ref)
        idxs.append(idx)
    return refs, idxs


def ismember(a, b):
    found, pos = [], []
    for x in a:
        hits = [j for j, y in enumerate(b) if y == x]
        found.append(bool(hits))
        pos.append(hits[0] if hits else -1)
    return found, pos


# --- bar combination --------------------------------------------------------------


def combine(bars, prev_close, prev_oi):
    """One bar from a list of 7-field bars; prev_* are the last known values before them."""
    traded = [b for b in bars if b[VOL] > 0]
    out = [NAN] * BAR
    if not traded:
        out[OP] = out[HI] = out[LO] = out[CL] = prev_close
        out[VOL] = out[TURN] = 0.0
        out[OI] = prev_oi
        return out
    highs = [b[HI] for b in traded if not isnan(b[HI])]
    lows = [b[LO] for b in traded if not isnan(b[LO])]
    out[OP] = traded[0][OP]
    out[HI] = max(highs) if highs else NAN
    out[LO] = min(lows) if lows else NAN
    out[CL] = traded[-1][CL]
    out[VOL] = sum(b[VOL] for b in traded)
    out[TURN] = sum(b[TURN] for b in traded if not isnan(b[TURN]))
    out[OI] = traded[-1][OI]
    return out


def _bars(rows, first, cols):
    return [[rows[first + f][c] for f in range(BAR)] for c in cols]


def n_targets_of(matrix):
    return (len(matrix) - HEAD) // BAR


def combine_h_to_l(base, target, begin, end):
    out = [list(r) for r in target]
    for t in range(n_targets_of(base)):
        r0 = HEAD + t * BAR
        for j in range(len(target[0])):
            bars = _bars(base, r0, range(begin[j], end[j] + 1))
            bar = combine(
                bars, last_known(base[r0 + CL], begin[j]), last_known(base[r0 + OI], begin[j])
            )
            for f in range(BAR):
                out[r0 + f][j] = bar[f]
    return out


def _state_block(base, r0, begin):
    """Rows of one target's bars in progress: column i = state at base bar i."""
    n = len(begin)
    cols = []
    for i in range(n):
        s = begin[i]
        bars = _bars(base, r0, range(s, i + 1))
        cols.append(combine(bars, last_known(base[r0 + CL], s), last_known(base[r0 + OI], s)))
    return [[cols[i][f] for i in range(n)] for f in range(BAR)]


def combine_1_to_n(base, begin):
    out = [list(r) for r in base[:HEAD]]
    for t in range(n_targets_of(base)):
        out += _state_block(base, HEAD + t * BAR, begin)
    return out


def data_value_fresh(base, begin, n_targets):
    out = [list(base[gv.KMatrixPos_TimeLine])]
    for t in range(n_targets):
        out += _state_block(base, HEAD + t * BAR, begin)
    return out


def adj_traded(bar, last_close):
    """An adjusted bar traded unless a price is NaN or all four equal the last close."""
    if any(isnan(x) for x in bar):
        return False
    return not all(x == last_close for x in bar)


def known_max(values):
    """Largest non-NaN value, NaN if there is none."""
    known = [x for x in values if not isnan(x)]
    return max(known) if known else NAN


def known_min(values):
    known = [x for x in values if not isnan(x)]
    return min(known) if known else NAN


def data_value_fresh_adj(adj, begin, n_targets, base=None):
    """Adjusted bars in progress.  With `base` (the unadjusted K matrix of the same
    bars) a bar traded when its volume there is positive; without it, see adj_traded."""
    n = len(begin)
    out = [[NAN] * n for _ in range(n_targets * ADJ)]
    for t in range(n_targets):
        r0 = t * ADJ
        close = adj[r0 + AC]
        volume = base[HEAD + t * BAR + VOL] if base is not None else None
        for i in range(n):
            s = begin[i]
            traded = []
            for k in range(s, i + 1):
                bar = [adj[r0 + AO][k], adj[r0 + AH][k], adj[r0 + AL][k], close[k]]
                if base is not None:
                    trades = volume[k] > 0
                else:
                    trades = adj_traded(bar, last_known(close, k))
                if trades:
                    traded.append(bar)
            if traded:
                vals = [
                    traded[0][0],
                    known_max([b[1] for b in traded]),
                    known_min([b[2] for b in traded]),
                    traded[-1][3],
                ]
            else:
                vals = [last_known(close, s)] * 4
            for f, v in zip((AO, AH, AL, AC), vals):
                out[r0 + f][i] = v
    return out
