"""Quick start on the embedded sample market.

    python examples/quickstart.py

1. Writes the seeded sample market into the bar store (setting VX_STORE_DIR,
   default ~/.vornix/store) unless a store is there already.
2. Brings up the local trading core (or uses one listening on 127.0.0.1:3293)
   and performs the start-up handshake through the state layer.
3. Loads one month of day bars of a few targets into the state store the way a
   run does, steps the bar clock through them and prints what the environment
   reports at each step.
"""

import socket

import numpy as np

from vornix.api.history import _history
from vornix.api.history._sample import write_sample_market
from vornix.core import CoreServer
from vornix.tframe.utils.datetimefunc import datenum_to_datetime
from vornix.tframe.utils.exceptions import StoreError


def core_is_listening(port=3293):
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def ensure_store():
    try:
        return _history.open_store()
    except StoreError:
        path = _history.store_dir()
        print("no bar store at %s: writing the sample market there" % path)
        write_sample_market(_history.HistoryStore(path, create=True))
        return _history.open_store()


def load_run(sysstate, targets, begin, end):
    """Fill the state store as the framework does before a day-bar run starts."""
    from vornix.tframe import ualgo
    from vornix.tframe.uclass import KDataItem

    vr, env, gv = sysstate.vr, sysstate.env, sysstate.gv
    info = vr.g_VornixInputInfo
    info.TargetList = list(targets)
    info.TargetListDot = list(targets)
    info.KFrequency, info.KFrequencyI, info.KFreNum = "day", gv.KFreq_Day, 1
    info.BeginDate, info.EndDate = begin, end
    for record in _history.get_target_info(list(targets)):
        vr.g_VornixTargetsInfo[record["DotCode"]] = record
    bars = _history.get_k_data_multi({
        "targets": list(targets), "frequency": "day", "freq_num": 1, "begin_date": begin,
        "end_date": end, "filled_up": True, "fq_type": gv.FQType_Forward, "need_show_ui_tip": False,
    })
    vr.g_VornixDataValueFresh = bars["TimeLine"].reshape(1, -1).copy()
    matrix = env.generate_kmatrix_array(len(targets), bars["TimeLine"].size)
    matrix[gv.KMatrixPos_TimeLine] = bars["TimeLine"]
    matrix[gv.KMatrixPos_DayPos] = bars["DayPos"]
    matrix[gv.KMatrixPos_Head_len:] = bars["KArray"]
    ref, idx = ualgo.vxMatrixUnfillComplete(matrix, gv.KMatrixPos_End + 1, gv.KMatrix_Bar_Len,
                                            gv.KMatrix_Volume)
    current = ualgo.vxCalcKDataCurrentBar(matrix[gv.KMatrixPos_TimeLine], env.fresh_bar_timeline)
    vr.g_VornixKDataList.append(KDataItem(KFrequency="day", KFreqNum=1, Matrix=matrix,
                                          UnfilledBarRef=ref, UnfilledIdx=idx, CurrentBar=current,
                                          DataSource=0))
    info.RefreshKDataIdx = len(vr.g_VornixKDataList) - 1


def main():
    store = ensure_store()
    days = _history.get_trading_days(0, 99999999)
    stocks = [i for i in _history.get_target_info(list(store.target_table())) if i["Type"] == 1][:3]
    targets = [s["DotCode"] for s in stocks]
    core = None if core_is_listening() else CoreServer(port=3293).start()
    try:
        from vornix.tframe import sysstate
        from vornix.tframe.comm import vxcmd

        env = sysstate.env
        vxcmd.command_client().request("Ping")  # first command: handshake, cache directory
        info = env.more_info()
        print("bar store             :", store.path)
        print("trading core version  :", info["vxcore_version"], "(supports vornix",
              ", ".join(info["vxcore_support"]) + ")")
        print("vornix version        :", info["vornix_version"], "(supports cores",
              ", ".join(info["vornix_support"]) + ")")
        print("output root           :", env.root_sub_dir())

        begin, end = int(days[0]), int(days[min(21, days.size - 1)])
        load_run(sysstate, targets, begin, end)
        print("targets               :", ", ".join(targets))
        print("main time line        : %d day bars, %s to %s" % (
            env.fresh_bar_timeline.size, begin, end))
        print()
        print("%-10s %s" % ("step", "  ".join("%-28s" % t for t in targets)))
        for step in range(env.fresh_bar_timeline.size):
            sysstate.vr.g_VornixSimCurBarFresh = step
            bar = env.get_bar(np.arange(len(targets)))
            cells = ["close %8.2f  next open %8.2f" % (c, env.market_price(i, 1))
                     for i, c in enumerate(bar["close"])]
            when = datenum_to_datetime(env.fresh_bar_time).strftime("%Y-%m-%d")
            print("%-10s %s" % (when, "  ".join(cells)))
        env.vx_disconnect_to()
    finally:
        if core is not None:
            core.stop()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
