"""Hypothesis strategies for the ualgo tests: time lines and K / adjusted matrices
with NaN bars (not listed yet), filled and zero-volume bars, and traded bars."""

import numpy as np
import ualgo_reference as ref
from hypothesis import strategies as st

from vxtest.support import kmatrix

NAN = float("nan")
price = st.integers(1, 30).map(float)  # small integers: equal prices happen often
open_interest = st.one_of(st.just(NAN), st.integers(0, 500).map(float))


def time_line(max_size=24, min_size=0):
    """Ascending distinct bar times."""
    return st.lists(st.integers(0, 80), min_size=min_size, max_size=max_size, unique=True).map(
        lambda xs: [float(x) for x in sorted(xs)]
    )


@st.composite
def k_block(draw, n):
    """The seven field rows of one target over n bars."""
    rows = [[NAN] * n for _ in range(ref.BAR)]
    last = NAN
    for c in range(n):
        kind = draw(st.sampled_from(["nan", "filled", "zero", "trade", "trade"]))
        if kind == "nan":
            continue
        vol, turn = 0.0, 0.0
        if kind == "filled":
            p = last if last == last else draw(price)
            o = h = lo = cl = p
        else:
            o, cl = draw(price), draw(price)
            h = max(o, cl) + draw(st.integers(0, 3))
            lo = min(o, cl) - draw(st.integers(0, 3))
            if kind == "trade":
                vol = float(draw(st.integers(1, 9)))
                turn = draw(st.one_of(st.just(NAN), st.just(vol * cl)))
        bar = {
            ref.OP: o,
            ref.HI: h,
            ref.LO: lo,
            ref.CL: cl,
            ref.VOL: vol,
            ref.TURN: turn,
            ref.OI: draw(open_interest),
        }
        for f, v in bar.items():
            rows[f][c] = v
        last = cl
    return rows


@st.composite
def k_matrix(draw, tl, n_targets=None):
    """K matrix over time line tl: header rows, then one block per target."""
    n = len(tl)
    if n_targets is None:
        n_targets = draw(st.integers(1, 3))
    day_pos = [float(int(t) // 10) for t in tl]
    fresh = [float(draw(st.integers(0, 1))) for _ in tl]
    blocks = [np.array(draw(k_block(n)), dtype=float).reshape(ref.BAR, n) for _ in range(n_targets)]
    return kmatrix(np.array(tl, dtype=float), blocks, day_pos=day_pos, fresh=fresh)


@st.composite
def adj_block(draw, n):
    """The four adjusted price rows of one target: NaN, flat (filled) and traded bars."""
    rows = [[NAN] * n for _ in range(ref.ADJ)]
    last = NAN
    for c in range(n):
        kind = draw(st.sampled_from(["nan", "flat", "trade", "trade"]))
        if kind == "nan":
            continue
        if kind == "flat" and last == last:
            o = h = lo = cl = last
        else:
            o, cl = draw(price), draw(price)
            h = max(o, cl) + draw(st.integers(0, 2))
            lo = min(o, cl) - draw(st.integers(0, 2))
        for f, v in zip((ref.AO, ref.AH, ref.AL, ref.AC), (o, h, lo, cl)):
            rows[f][c] = v
        last = cl
    return rows


@st.composite
def adj_matrix(draw, n, n_targets):
    rows = [r for _ in range(n_targets) for r in draw(adj_block(n))]
    return np.array(rows, dtype=float).reshape(len(rows), n)


def rows_of(a):
    return [list(map(float, r)) for r in a]
