"""Quick start on the embedded sample market.

    python examples/quickstart.py

1. Writes the seeded sample market into the bar store (setting VX_STORE_DIR,
   default ~/.vornix/store) unless a store is there already.
2. Brings up the local trading core (or uses one listening on 127.0.0.1:3293)
   and performs the start-up handshake through the state layer.
3. Sets up a run of one month of day bars of a few targets (vornix.runner.
   prepare_run), registers a weekly series as a strategy's init would, steps the
   bar clock through the month and prints, per target, the day close and the
   weekly bar as it stands at that step (open/high/low/close so far).
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


def main():
    store = ensure_store()
    days = _history.get_trading_days(0, 99999999)
    stocks = [i for i in _history.get_target_info(list(store.target_table())) if i["Type"] == 1][:3]
    targets = [s["DotCode"] for s in stocks]
    core = None if core_is_listening() else CoreServer(port=3293).start()
    try:
        from vornix.api.subscribe import _subscribe
        from vornix.runner import prepare_run
        from vornix.tframe import sysstate

        env, gv = sysstate.env, sysstate.gv
        begin, end = int(days[0]), int(days[min(21, days.size - 1)])
        # the first command to the core performs the handshake and names the cache directory
        prepare_run(targets, "day", 1, begin, end, gv.FQType_Forward)
        week_idx = _subscribe.reg_k_data("week", 1)
        info = env.more_info()
        print("bar store             :", store.path)
        print("trading core version  :", info["vxcore_version"], "(supports vornix",
              ", ".join(info["vxcore_support"]) + ")")
        print("vornix version        :", info["vornix_version"], "(supports cores",
              ", ".join(info["vornix_support"]) + ")")
        print("output root           :", env.root_sub_dir())
        print("targets               :", ", ".join(targets))
        print("main time line        : %d day bars, %s to %s" % (
            env.fresh_bar_timeline.size, begin, end))
        print()
        print("%-10s  %-10s  %9s   %s" % (
            "day", "target", "close", "week so far: open / high / low / close"))
        for step in range(env.fresh_bar_timeline.size):
            sysstate.vr.g_VornixSimCurBarFresh = step
            bar = env.get_bar(np.arange(len(targets)))
            week = _subscribe.get_reg_k_data(week_idx, step, 1, True)
            when = datenum_to_datetime(env.fresh_bar_time).strftime("%Y-%m-%d")
            for i, code in enumerate(targets):
                o, h, lo, c = (float(v) for v in week[i, 2:6])
                print("%-10s  %-10s  %9.2f   %8.2f / %8.2f / %8.2f / %8.2f" % (
                    when if i == 0 else "", code, bar["close"][i], o, h, lo, c))
        env.vx_disconnect_to()
    finally:
        if core is not None:
            core.stop()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
