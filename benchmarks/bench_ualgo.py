"""Speed of the ualgo kernels on a year of one-minute bars for 100 targets.

    python benchmarks/bench_ualgo.py [--quick] [--targets 100] [--days 250] [--repeat 3]

For every kernel the table shows the bytes it reads plus writes, its time, the
time of a plain numpy copy of the same number of bytes (``a.copy()`` of B
bytes reads B and writes B into a new array, so B is half the kernel's traffic), and the time of a
straightforward numpy/pandas formulation of the same computation, whose
result is checked against the kernel's.  Targets: kernel within 3x of the copy
and at least 10x faster than numpy/pandas.  The table reports them; the run
fails (exit status 1) only when a kernel's result differs from the formulation's.

--quick: 10 targets over 10 days, one round; for smoke runs (a few seconds).
"""

import argparse
import time

import numpy as np
import pandas as pd

from vornix.tframe import ualgo
from vornix.tframe.sysdefine import GlobalDefine as gv

HEAD, BAR, ADJ = gv.KMatrixPos_Head_len, gv.KMatrix_Bar_Len, gv.Adj_KMatrix_Bar_Len
OP, HI, LO, CL = gv.KMatrix_Open, gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Close
VOL, TURN, OI = gv.KMatrix_Volume, gv.KMatrix_TurnOver, gv.KMatrix_OpenInterest
FIRST_DAY = 739000  # any day number; times are day + fraction of the day


# --- data ------------------------------------------------------------------------------


def minute_offsets():
    """Bar times of one day as fractions: 09:31..11:30 and 13:01..15:00 (240 bars)."""
    mins = np.r_[np.arange(9 * 60 + 31, 11 * 60 + 31), np.arange(13 * 60 + 1, 15 * 60 + 1)]
    return mins / 1440.0


def make_market(n_targets, n_days, seed=1):
    """Minute K matrix with late listings (NaN bars) and suspended stretches."""
    rng = np.random.default_rng(seed)
    day_no = FIRST_DAY + np.arange(n_days) + 2 * (np.arange(n_days) // 5)  # skip weekends
    tl = (day_no[:, None] + minute_offsets()[None, :]).ravel()
    n = tl.size
    m = np.empty((HEAD + n_targets * BAR, n))
    m[gv.KMatrixPos_TimeLine] = tl
    m[gv.KMatrixPos_DayPos] = np.repeat(np.arange(n_days), 240)
    m[gv.KMatrixPos_FreshIdx] = 1.0
    close = 50 + np.cumsum(rng.normal(0, 0.05, (n_targets, n)), axis=1).round(2)
    close = np.maximum(close, 1.0)
    opn = np.concatenate([close[:, :1], close[:, :-1]], axis=1)
    vol = rng.integers(1, 500, (n_targets, n)).astype(float)
    # about one bar in fifty has no trade, and a tenth of the targets is
    # suspended for a few days: such bars repeat the last close with volume 0
    idle = rng.random((n_targets, n)) < 0.02
    for t in range(0, n_targets, 10):
        s = rng.integers(0, n - 2000)
        idle[t, s : s + 1200] = True
    vol[idle] = 0.0
    close = close.copy()
    for t in range(n_targets):
        # carry the close forward over idle bars (filled bars show the last close)
        c = np.where(idle[t], np.nan, close[t])
        c = pd.Series(c).ffill().to_numpy().copy()
        c[np.isnan(c)] = close[t, 0]
        close[t] = c
    opn = np.where(idle, close, opn)
    high = np.where(idle, close, np.maximum(opn, close) + 0.01)
    low = np.where(idle, close, np.minimum(opn, close) - 0.01)
    turn = vol * close
    oi = np.where(idle, np.nan, rng.integers(1000, 2000, (n_targets, n)).astype(float))
    oi = pd.DataFrame(oi.T).ffill().to_numpy().T
    fields = {OP: opn, HI: high, LO: low, CL: close, VOL: vol, TURN: turn, OI: oi}
    for f, arr in fields.items():
        m[HEAD + f :: BAR] = arr
    # late listings: NaN bars before the first listed day
    for t in range(5, n_targets, 20):
        first = int(rng.integers(1, n_days // 2)) * 240
        m[HEAD + t * BAR : HEAD + (t + 1) * BAR, :first] = np.nan
    return m


# --- timing ---------------------------------------------------------------------------------


def best_time(fn, repeat):
    best = float("inf")
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def copy_time(nbytes, repeat):
    """Time of a plain numpy copy of nbytes (reads nbytes, writes nbytes into a
    new array, as the kernels write theirs)."""
    src = np.ones(max(nbytes // 8, 1))
    return best_time(src.copy, repeat)[0]


def same(a, b):
    np.testing.assert_allclose(
        np.asarray(a, float), np.asarray(b, float), rtol=1e-9, equal_nan=True
    )


# --- numpy / pandas formulations ------------------------------------------------------------


def np_begin_end(base_tl, target_tl):
    end = np.searchsorted(base_tl, target_tl, side="right") - 1
    begin = np.r_[0, end[:-1] + 1]
    return begin, end


def np_reg_begin_end(base_tl, second_tl):
    gid = np.searchsorted(second_tl, base_tl, side="left")
    idx = np.arange(gid.size)
    starts = np.r_[True, gid[1:] != gid[:-1]]
    begin = np.maximum.accumulate(np.where(starts, idx, 0))
    ends = np.r_[gid[1:] != gid[:-1], True]
    end = np.minimum.accumulate(np.where(ends, idx, gid.size)[::-1])[::-1]
    return begin, end


def frames(m, rows0, stride, fields):
    """Bars x targets frames of the given fields."""
    return {f: pd.DataFrame(m[rows0 + f :: stride].T) for f in fields}


def pd_in_progress(m, begin, gid):
    """State of each group's bar at every base bar, with pandas groupby cumulatives."""
    fr = frames(m, HEAD, BAR, (OP, HI, LO, CL, VOL, TURN, OI))
    traded = fr[VOL] > 0
    grp = lambda df: df.groupby(gid)  # noqa: E731
    count = grp(traded.astype(np.int64)).cumsum()
    none = count == 0
    first = traded & (count == 1)
    out = {
        OP: grp(fr[OP].where(first)).ffill(),
        HI: grp(grp(fr[HI].where(traded)).cummax()).ffill(),
        LO: grp(grp(fr[LO].where(traded)).cummin()).ffill(),
        CL: grp(fr[CL].where(traded)).ffill(),
        VOL: grp(fr[VOL].where(traded, 0.0)).cumsum(),
        TURN: grp(fr[TURN].where(traded, 0.0).fillna(0.0)).cumsum(),
        OI: grp(fr[OI].where(traded)).ffill(),
    }
    prev_close = fr[CL].ffill().shift(1).to_numpy()[begin]
    prev_oi = fr[OI].ffill().shift(1).to_numpy()[begin]
    for f in (OP, HI, LO, CL):
        out[f] = out[f].mask(none, prev_close)
    out[OI] = out[OI].mask(none, prev_oi)
    res = np.empty((len(out) * m[HEAD::BAR].shape[0], m.shape[1]))
    for f, df in out.items():
        res[f::BAR] = df.to_numpy().T
    return res


def pd_h_to_l(m, begin, end, n_target_bars):
    fr = frames(m, HEAD, BAR, (OP, HI, LO, CL, VOL, TURN, OI))
    traded = fr[VOL] > 0
    n = m.shape[1]
    gid = np.full(n, -1)
    for j in np.flatnonzero(end >= begin):  # one slice per target bar
        gid[begin[j] : end[j] + 1] = j
    keep = gid >= 0
    agg = {
        OP: fr[OP].where(traded)[keep].groupby(gid[keep]).first(),
        HI: fr[HI].where(traded)[keep].groupby(gid[keep]).max(),
        LO: fr[LO].where(traded)[keep].groupby(gid[keep]).min(),
        CL: fr[CL].where(traded)[keep].groupby(gid[keep]).last(),
        VOL: fr[VOL].where(traded, 0.0)[keep].groupby(gid[keep]).sum(),
        TURN: fr[TURN].where(traded, 0.0)[keep].groupby(gid[keep]).sum(),
        OI: fr[OI].where(traded)[keep].groupby(gid[keep]).last(),
    }
    bars = pd.RangeIndex(n_target_bars)
    agg = {f: df.reindex(bars) for f, df in agg.items()}
    agg[VOL] = agg[VOL].fillna(0.0)
    agg[TURN] = agg[TURN].fillna(0.0)
    none = agg[VOL] == 0
    prev_close = fr[CL].ffill().shift(1).reindex(range(n + 1)).to_numpy()[begin]
    prev_oi = fr[OI].ffill().shift(1).reindex(range(n + 1)).to_numpy()[begin]
    for f in (OP, HI, LO, CL):
        agg[f] = agg[f].mask(none, prev_close)
    agg[OI] = agg[OI].mask(none, prev_oi)
    res = np.empty((HEAD + len(agg) * fr[OP].shape[1], n_target_bars))
    for f, df in agg.items():
        res[HEAD + f :: BAR] = df.to_numpy().T
    return res


def pd_in_progress_adj(adj, begin, gid, base=None):
    """Adjusted bars in progress; with `base` a bar traded when its volume there is
    positive, else when no price is NaN and the four are not all the last close."""
    fr = frames(adj, 0, ADJ, (0, 1, 2, 3))
    o, h, lo, c = fr[0], fr[1], fr[2], fr[3]
    if base is not None:
        traded = pd.DataFrame(base[HEAD + VOL :: BAR].T) > 0
    else:
        last = c.ffill().shift(1)
        flat = o.eq(last) & h.eq(last) & lo.eq(last) & c.eq(last)
        traded = ~(o.isna() | h.isna() | lo.isna() | c.isna()) & ~flat
    grp = lambda df: df.groupby(gid)  # noqa: E731
    count = grp(traded.astype(np.int64)).cumsum()
    none = count == 0
    first = traded & (count == 1)
    out = [
        grp(o.where(first)).ffill(),
        grp(grp(h.where(traded)).cummax()).ffill(),
        grp(grp(lo.where(traded)).cummin()).ffill(),
        grp(c.where(traded)).ffill(),
    ]
    prev_close = c.ffill().shift(1).to_numpy()[begin]
    res = np.empty_like(adj)
    for k, df in enumerate(out):
        res[k::ADJ] = df.mask(none, prev_close).to_numpy().T
    return res


def np_fresh_mask(day_pos, n):
    s = pd.Series(day_pos)
    pos = s.groupby(day_pos).cumcount().to_numpy()
    last = np.r_[day_pos[1:] != day_pos[:-1], True]
    return ((pos + 1) % n == 0) | last


def np_unfill(m, body, bar_len, vol_off):
    vol = m[body + vol_off :: bar_len]
    traded = vol > 0
    ref = np.cumsum(traded, axis=1) - 1.0
    ref[ref < 0] = np.nan
    return list(ref), [np.flatnonzero(r) for r in traded]


def np_current_bar(series_tl, main_tl):
    return np.minimum(np.searchsorted(series_tl, main_tl, side="left"), series_tl.size - 1)


def np_ismember(a, b):
    uniq, first = np.unique(b, return_index=True)
    k = np.clip(np.searchsorted(uniq, a), 0, max(uniq.size - 1, 0))
    found = uniq[k] == a
    return found, np.where(found, first[k], -1)


# --- main ----------------------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small market, one round (smoke runs)")
    ap.add_argument("--targets", type=int, default=None, help="targets (default 100, --quick 10)")
    ap.add_argument("--days", type=int, default=None, help="trading days (default 250, --quick 10)")
    ap.add_argument("--repeat", type=int, default=None, help="rounds (default 3, --quick 1)")
    args = ap.parse_args()
    args.targets = args.targets or (10 if args.quick else 100)
    args.days = args.days or (10 if args.quick else 250)
    args.repeat = args.repeat or (1 if args.quick else 3)
    nt, rep = args.targets, args.repeat

    m = make_market(nt, args.days)
    n = m.shape[1]
    tl = m[gv.KMatrixPos_TimeLine]
    day_pos = m[gv.KMatrixPos_DayPos]
    day_tl = tl[239::240]  # day bars stamped at 15:00
    mask5 = ualgo.vxCalculateFreshMask(day_pos, gv.KFreq_Min, 5)
    five_tl = tl[mask5]
    hb, he = ualgo.vxCalcKDataBeginEndPos(tl, day_tl)
    b5, e5 = ualgo.vxCalcRegKDataBeginEndPos(tl, five_tl, 0)
    bd, ed = ualgo.vxCalcRegKDataBeginEndPos(tl, day_tl, 0)
    target = np.zeros((m.shape[0], day_tl.size))
    target[gv.KMatrixPos_TimeLine] = day_tl
    adj = np.ascontiguousarray(
        np.concatenate([m[HEAD + t * BAR + OP : HEAD + t * BAR + CL + 1] * 1.1 for t in range(nt)])
    )
    floor_tl = np.floor(tl)
    dates = np.floor(day_tl)
    body = nt * BAR * n * 8
    print(f"{nt} targets x {n} minute bars ({args.days} days of 240), best of {rep}\n")

    cases = [
        (
            "vxCalcKDataBeginEndPos",
            8 * (n + 3 * day_tl.size),
            lambda: ualgo.vxCalcKDataBeginEndPos(tl, day_tl),
            lambda: np_begin_end(tl, day_tl),
        ),
        (
            "vxCalcRegKDataBeginEndPos",
            8 * (3 * n + five_tl.size),
            lambda: ualgo.vxCalcRegKDataBeginEndPos(tl, five_tl, 0),
            lambda: np_reg_begin_end(tl, five_tl),
        ),
        (
            "vxCalcCombineMatrixHtoL",
            body + 8 * (HEAD + 2 + nt * BAR + HEAD) * day_tl.size,
            lambda: ualgo.vxCalcCombineMatrixHtoL(m, target, hb, he, BAR, 0)[HEAD:],
            lambda: pd_h_to_l(m, hb, he, day_tl.size)[HEAD:],
        ),
        (
            "vxCalcCombineMatrix1toN",
            2 * m.nbytes + 16 * n,
            lambda: ualgo.vxCalcCombineMatrix1toN(m, b5, e5, BAR, 0)[HEAD:],
            lambda: pd_in_progress(m, b5, b5),
        ),
        (
            "vxCalculateFreshMask",
            9 * n,
            lambda: ualgo.vxCalculateFreshMask(day_pos, gv.KFreq_Min, 5),
            lambda: np_fresh_mask(day_pos, 5),
        ),
        (
            "vxMatrixUnfillComplete",
            2 * nt * n * 8 + 8 * int((m[HEAD + VOL :: BAR] > 0).sum()),
            lambda: ualgo.vxMatrixUnfillComplete(m, HEAD, BAR, VOL),
            lambda: np_unfill(m, HEAD, BAR, VOL),
        ),
        (
            "vxCalcKDataCurrentBar",
            8 * (2 * n + five_tl.size),
            lambda: ualgo.vxCalcKDataCurrentBar(five_tl, tl),
            lambda: np_current_bar(five_tl, tl),
        ),
        (
            "vxCalcDataValueFresh",
            2 * (body + 8 * n) + 16 * n,
            lambda: ualgo.vxCalcDataValueFresh(m, bd, ed, BAR, nt, 0)[1:],
            lambda: pd_in_progress(m, bd, bd),
        ),
        (
            "vxCalcDataValueFresh_Adj",
            2 * adj.nbytes + 16 * n,
            lambda: ualgo.vxCalcDataValueFresh_Adj(adj, bd, ed, ADJ, nt, 0),
            lambda: pd_in_progress_adj(adj, bd, bd),
        ),
        (
            "vxCalcDataValueFresh_Adj base",
            2 * adj.nbytes + nt * n * 8 + 16 * n,
            lambda: ualgo.vxCalcDataValueFresh_Adj(adj, bd, ed, ADJ, nt, 0, base=m),
            lambda: pd_in_progress_adj(adj, bd, bd, base=m),
        ),
        (
            "ismember",
            8 * (n + dates.size) + 9 * n,
            lambda: ualgo.ismember(floor_tl, dates),
            lambda: np_ismember(floor_tl, dates),
        ),
    ]

    head = (
        f"{'kernel':<31}{'MB r+w':>9}{'kernel ms':>11}{'GB/s':>7}{'copy ms':>9}"
        f"{'x copy':>8}{'np/pd ms':>10}{'speed-up':>10}"
    )
    print(head)
    print("-" * len(head))
    for name, nbytes, kernel, formulation in cases:
        # small kernels: more repeats so that the best time is stable
        reps = rep if nbytes > 50e6 else max(rep, 20)
        tk, got = best_time(kernel, reps)
        tp, want = best_time(formulation, rep if nbytes > 50e6 else max(rep, 5))
        tc = copy_time(nbytes // 2, reps)
        if isinstance(got, tuple):
            for g, w in zip(got, want):
                if isinstance(g, list):
                    for gi, wi in zip(g, w):
                        same(gi, wi)
                else:
                    same(g, w)
        else:
            same(got, want)
        print(
            f"{name:<31}{nbytes / 1e6:>9.1f}{tk * 1e3:>11.2f}{nbytes / tk / 1e9:>7.2f}"
            f"{tc * 1e3:>9.2f}{tk / tc:>8.2f}{tp * 1e3:>10.1f}{tp / tk:>10.1f}"
        )


if __name__ == "__main__":
    main()
