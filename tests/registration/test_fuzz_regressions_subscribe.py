"""Inputs found by fuzz/fuzz_subscribe.py and fuzz/fuzz_sysstate.py that made a call fail
with something other than its documented exceptions.  A size that cannot be served
must be refused with ValueError before anything is allocated, and an integer
argument that does not fit must be refused with OverflowError, TypeError or
ValueError, never a RuntimeError.

Each call runs with at most 1 GiB of address space added to the process (a soft
limit, put back afterwards), so that a call that tries the allocation fails at once
with MemoryError instead of taking the machine's memory."""

import contextlib
import resource

import numpy as np
import pytest

from vornix.api.subscribe import _subscribe as sub
from vornix.api.subscribe import _windows
from vornix.runner import prepare_run
from vornix.tframe import sysstate as ss

HUGE = 2**40


@contextlib.contextmanager
def headroom(extra=1 << 30):
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    limit = used + extra if hard == resource.RLIM_INFINITY else min(used + extra, hard)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


@pytest.fixture
def short_run(run_state):
    """Three stocks over two days at one minute, with a five-minute, an adjusted day
    series and two factors registered."""
    market = run_state.market
    codes = ["%s.%s" % (i[0], i[1]) for i in market.instruments if i[2] == "stock"][:3]
    days = [int(d) for d in market.days[:2]]
    prepare_run(codes, "min", 1, *days)
    run_state.idx = {
        "min5": sub.reg_k_data("min", 5),
        "day_adj": sub.reg_k_data("day", 1, True),
        "factor": sub.reg_factor(["pe", "pb"], codes, *days),
    }
    return run_state


# (function, registration, step, length, fill_up): the window readers allocate
# `length` rows per target before looking at what the series holds
WINDOWS = [
    (sub.get_reg_k_data, "min5", 5, HUGE, True),
    (sub.get_reg_k_data_adj, "day_adj", -2, HUGE, True),
    (_windows.get_reg_k_data_values, "min5", 5, HUGE, True),
    (_windows.get_reg_k_data_adj_values, "day_adj", 5, HUGE, False),
]


@pytest.mark.parametrize("read, reg, step, length, fill_up", WINDOWS,
                         ids=["object", "object-adj", "values", "values-adj"])
def test_window_of_a_huge_length_is_refused(short_run, read, reg, step, length, fill_up):
    with headroom(), pytest.raises(ValueError, match="length"):
        read(short_run.idx[reg], step, length, fill_up)


def test_factor_window_of_a_huge_length_is_refused(short_run):
    with headroom(), pytest.raises(ValueError, match="length"):
        sub.get_reg_factor(np.asarray(short_run.idx["factor"]), 5, HUGE)


def test_instruments_of_a_huge_length_are_refused(short_run):
    with headroom(), pytest.raises(ValueError, match="past_len"):
        sub.get_instruments([0, 1], 5, HUGE)


def test_empty_registration_index_for_too_many_targets_is_refused(short_run):
    with headroom(), pytest.raises(ValueError, match="targets_len"):
        sub.gen_empty_reg_k_data_idx(2**31 - 1)


@pytest.mark.parametrize("span", [10**30, -(10**30)], ids=["huge", "huge-negative"])
def test_fetch_with_a_date_span_beyond_64_bits(short_run, span):
    with pytest.raises((OverflowError, ValueError)):
        sub.fetch_1_freq_k_data("day", span, False)


@pytest.mark.parametrize("make, counts", [
    (lambda env, n, m: env.generate_kmatrix_array(n, m), (2**24, 2**24)),
    (lambda env, n, m: env.generate_kmatrix_df(n, m), (2**31, 0)),
], ids=["array", "data-frame"])
def test_empty_k_matrix_of_a_huge_size_is_refused(short_run, make, counts):
    with headroom(), pytest.raises(ValueError):
        make(ss.env, *counts)


def misaligned(values, dtype):
    """`values` as an array of `dtype` whose memory starts one byte off alignment
    (a view into a byte buffer), and a version with a stride that is not a whole
    number of elements (a field of a packed record)."""
    values = np.asarray(values, dtype=dtype)
    raw = np.zeros(values.nbytes + 1, dtype=np.uint8)
    off = np.frombuffer(raw.data, dtype=dtype, count=values.size, offset=1).reshape(values.shape)
    off[...] = values
    packed = np.zeros(values.size, dtype=[("v", dtype), ("pad", "i1")])
    packed["v"] = values.ravel()
    field = packed["v"].reshape(values.shape)
    assert not off.flags.aligned and field.strides[-1] % field.itemsize != 0
    return off, field


def test_misaligned_arrays_read_as_their_aligned_copies(short_run):
    """Arrays whose elements are not aligned (found under the undefined-behaviour
    sanitizer: a misaligned double was read through a typed pointer) give the same
    results as aligned copies of them."""
    idx = short_run.idx
    times = np.asarray(ss.env.fresh_bar_timeline, dtype=np.float64)[::7].copy()
    data = np.arange(times.size * 2, dtype=np.float64).reshape(-1, 2)
    want = sub.get_reg_user_data(sub.reg_user_data(times, data), 30, 4)
    for t_arr, d_arr in zip(misaligned(times, np.float64), misaligned(data, np.float64)):
        got = sub.get_reg_user_data(sub.reg_user_data(t_arr, d_arr), 30, 4)
        for g, w in zip(got, want):
            np.testing.assert_array_equal(g, w)
    for arr in misaligned(idx["min5"], np.float64):
        np.testing.assert_array_equal(_windows.get_reg_k_data_values(arr, 30, 5, True),
                                      _windows.get_reg_k_data_values(idx["min5"], 30, 5, True))
    want = sub.get_reg_factor(np.asarray(idx["factor"]), 30, 3)
    for arr in misaligned(idx["factor"], np.int64):
        for g, w in zip(sub.get_reg_factor(arr, 30, 3), want):
            np.testing.assert_array_equal(g, w)
