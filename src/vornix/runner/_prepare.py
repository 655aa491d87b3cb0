"""`prepare_run`: fill the state store the way a run needs it before `init` runs."""

import datetime
from collections import OrderedDict

import numpy as np

from vornix.tframe.ufuncs import todotmc


def _is_int(value):
    return isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_))


def _check_targets(targets):
    if isinstance(targets, (str, dict)):
        raise TypeError(
            "targets must be a list of targets, got the single target %r; pass [%r]"
            % (targets, targets)
        )
    if not isinstance(targets, (list, tuple, np.ndarray)):
        raise TypeError("targets must be a list of 'MARKET.CODE' codes, got %r" % (targets,))
    if len(targets) == 0:
        raise ValueError("targets must name at least one target, got an empty list")
    codes = todotmc(list(targets))
    seen = set()
    for code in codes:
        if code in seen:
            raise ValueError(
                "target %s is named twice in %r; each target may appear once"
                % (code, list(targets))
            )
        seen.add(code)
    return codes


def _check_frequency(gv, frequency):
    code = gv.frequency_to_int(frequency)  # ValueError / TypeError naming the value
    if code == gv.KFreq_Tick:
        raise ValueError(
            "the main frequency of a run cannot be %r: a run steps along bar times "
            "('min', 'day', 'week', 'month' or 'year')" % (frequency,)
        )
    return code


def _check_freq_num(freq_num):
    if not _is_int(freq_num):
        raise TypeError("freq_num must be a positive integer, got %r" % (freq_num,))
    if freq_num < 1:
        raise ValueError("freq_num must be a positive integer, got %r" % (freq_num,))
    return int(freq_num)


def _check_date(value, what):
    if value is None:
        raise ValueError(
            "the %s date of the run is needed (a yyyymmdd integer such as 20240102)" % what
        )
    if not _is_int(value):
        raise TypeError("the %s date must be a yyyymmdd integer, got %r" % (what, value))
    v = int(value)
    try:
        datetime.date(v // 10000, v // 100 % 100, v % 100)
    except ValueError:
        raise ValueError("the %s date %r is not a valid yyyymmdd date" % (what, value)) from None
    return v


def _check_fq_type(gv, fq_type):
    allowed = (gv.FQType_None, gv.FQType_Forward, gv.FQType_Backward)
    if not _is_int(fq_type) or int(fq_type) not in allowed:
        raise ValueError(
            "fq_type must be %d (no adjustment), %d (forward) or %d (backward), got %r"
            % (gv.FQType_None, gv.FQType_Forward, gv.FQType_Backward, fq_type)
        )
    return int(fq_type)


def _fresh_cache(old):
    """A new cache manager carrying over the results of the version handshake:
    the connection stays up across runs, so the handshake is not sent again."""
    from vornix.tframe.uclass import CacheMgr

    cache = CacheMgr()
    for name in ("allow_comm_vx", "not_allow_comm_vx_tips", "vx_version", "vx_support_list"):
        if hasattr(old, name):
            setattr(cache, name, getattr(old, name))
    return cache


def _reset_registrations(vr):
    from vornix.tframe import uclass

    vr.g_VornixKDataList = uclass.KDataContainer()
    vr.g_VornixKDataList_Adj = uclass.AdjKDataContainer()
    vr.g_VornixRegKDataInfo = uclass.RegKDataContainer()
    vr.g_VornixRegKDataInfo_Adj = uclass.AdjRegKDataContainer()
    vr.g_VornixDataValueFresh_Adj = np.array([])
    vr.g_VornixDataValueFreshUserD = np.array([])
    vr.g_VornixDataValueFreshUserI = np.array([])
    vr.g_VornixFactorValueDict = {}
    vr.g_VornixInputInfo.FactorList = []
    vr.g_VornixCache = _fresh_cache(vr.g_VornixCache)
    vr.g_VornixSimCurBarFresh = np.nan
    vr.g_VornixTargetsInfo = OrderedDict()
    vr.g_VornixInstrument = uclass.InstrumentTimeSeriesData()


def _main_time_line(codes, frequency_i, freq_num, begin, end):
    """Bar end times of the run's main series: the calendar bars of the frequency
    over the range, and with freq_num > 1 the bars that close a group of freq_num
    of them (groups restart every trading day for intraday frequencies; the last
    bar of the range always closes a group)."""
    from vornix.api.history import _history
    from vornix.tframe import sysstate, ualgo

    gv = sysstate.gv
    times, day_pos = _history.get_trading_time(codes, gv.int_to_frequency(frequency_i), begin, end)
    times = np.asarray(times, dtype=np.float64)
    if freq_num > 1:
        day_pos = np.ascontiguousarray(day_pos, dtype=float)
        mask = ualgo.vxCalculateFreshMask(day_pos, frequency_i, freq_num)
        times = times[np.asarray(mask, dtype=bool)]
    return times


def prepare_run(targets, frequency, freq_num=1, begin=None, end=None, fq_type=0,
                data_begin=None, fq_base=0):
    """Set up a run in the process-wide state store `sysstate.vr` and register its
    main series; returns the main registration index (one row per target).

    What it fills:

    - `vr.g_VornixInputInfo`: TargetList and TargetListDot (dotted codes), KFrequency
      and KFrequencyI (main frequency name and code), KFreNum, BeginDate, EndDate,
      FQ and, after the registration, RefreshKDataIdx (position of the main series in
      `vr.g_VornixKDataList`, which `env.get_bar` and `env.market_price` read); the
      account list is left as it is;
    - `vr.g_VornixTargetsInfo` (dotted code -> instrument record, in target order)
      and `vr.g_VornixInstrument` (each record valid from its listing day, or from
      `begin` when the listing day is unknown);
    - the main time line: row 0 of `vr.g_VornixDataValueFresh` (also
      `env.fresh_bar_timeline` and `vr.g_VornixCache.dvf_tl`), the bar end times of
      `freq_num` periods of `frequency` from `begin` to `end`; step s is column s;
    - the main series itself, registered through `_subscribe.reg_k_data`.

    `data_begin` (yyyymmdd, at most `begin`; default `begin`) is the first day every
    registration loads bars from, the run's look-back: BeginDate holds it, while
    the main time line, and so the steps, start at `begin`.  Each series maps the
    steps to its own bar columns (its CurrentBar), so the bars before `begin` only
    lengthen the windows of the first steps.

    `fq_base` (yyyymmdd, FQBase; 0: the first day each series fetches) is the day
    backward-adjusted prices are relative to: the consecutive parts of a run that
    is executed in time chunks all show the prices of the whole run.

    Before anything is filled, one command goes to the trading core, so that the
    connection comes up, the version handshake runs and the cache directory is the
    core's; a core that cannot be reached raises the channel's VxConnectionError.

    There is one run per process: `vr` is process-wide. Calling `prepare_run` again
    starts a new run: the registrations, refresh matrices, target information and
    bar clock of the previous one are dropped (connections and handshake results
    are kept), so registration indexes of the old run must not be used any more.

    Arguments are checked first (ValueError / TypeError naming the value); targets
    unknown to the bar store raise the history service's ValueError. A call refused
    by these checks, by the bar store or by the core leaves the state store as it
    was; an error inside the registration of the main series propagates with the
    new run half set up.
    """
    from vornix.api.history import _history
    from vornix.api.subscribe import _subscribe
    from vornix.tframe import sysstate
    from vornix.tframe.comm import vxcmd

    vr, gv = sysstate.vr, sysstate.gv

    codes = _check_targets(targets)
    frequency_i = _check_frequency(gv, frequency)
    freq_num = _check_freq_num(freq_num)
    begin = _check_date(begin, "begin")
    end = _check_date(end, "end")
    if begin > end:
        raise ValueError("the begin date %d is after the end date %d" % (begin, end))
    fq_type = _check_fq_type(gv, fq_type)
    data_begin = begin if data_begin is None else _check_date(data_begin, "data begin")
    if data_begin > begin:
        raise ValueError("the data begin date %d is after the begin date %d" % (data_begin, begin))

    # Everything read from outside comes first, so that a refusal changes nothing.
    records = _history.get_target_info(codes)  # ValueError for unknown targets
    time_line = _main_time_line(codes, frequency_i, freq_num, begin, end)
    vxcmd.command_client().request("Ping")  # connection up: handshake, cache directory

    _reset_registrations(vr)
    info = vr.g_VornixInputInfo
    info.TargetList = list(codes)
    info.TargetListDot = todotmc(info.TargetList)
    info.KFrequency = gv.int_to_frequency(frequency_i)
    info.KFrequencyI = frequency_i
    info.KFreNum = freq_num
    info.BeginDate = data_begin
    info.EndDate = end
    info.FQ = fq_type
    info.FQBase = int(fq_base or 0)
    for record in records:
        code = record["DotCode"]
        vr.g_VornixTargetsInfo[code] = record
        listed = int(record.get("ListDate") or 0)
        vr.g_VornixInstrument.set(code, listed if listed > 0 else data_begin, record)

    vr.g_VornixDataValueFresh = time_line.reshape(1, -1).copy()
    vr.g_VornixCache.set_dvf_time_line_cache(vr.g_VornixDataValueFresh[gv.KMatrixPos_TimeLine])

    reg_idx = _subscribe.reg_k_data(info.KFrequency, freq_num)
    info.RefreshKDataIdx = int(reg_idx[0, 0])
    return reg_idx
