"""Value and momentum: a daily factor and an indicator of your own.

    vornix run examples/value_momentum.py

Shows two registrations besides bars:

- `context.reg_factor("pe")`: a daily factor of every target. A value stamped with
  day d is visible from the first step of day d on (the sample market stamps the
  pe computed from a day's close with the next trading day, so it is never seen
  before it could be known).
- `context.reg_indicator(momentum)`: a function of the context evaluated once per
  step while the strategy initialises, the context standing at that step, so its
  windows end there; its results are read back during the run like any other data.

The run steps through five-minute bars. Recorded per target at every step: `pe`,
the factor value in force; `momentum`, the last five-minute close against the
average close of the last `lookback` five-minute bars, minus 1; `value_momentum`,
momentum per unit of pe (higher is cheaper and rising).
"""

import numpy as np

RUN = {
    "targets": ["SH.600000", "SZ.000011", "SH.600020", "SZ.000031"],
    "frequency": "min",
    "count": 5,
    "begin": "2023-01-03",
    "end": "2023-03-31",
    "adjust": "none",
}
PARAMS = {"lookback": 20}

def momentum(context):
    """Last close / average close of the last `lookback` bars - 1, per target."""
    n = context.params["lookback"]
    closes = context.bars.close(n)  # (targets, n), the bar of the step last
    known = ~np.isnan(closes)
    count = known.sum(axis=1)
    total = np.where(known, closes, 0.0).sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        return closes[:, -1] / (total / count) - 1.0


def init(context):
    context.bars = context.reg_bars("min", count=5)
    context.pe = context.reg_factor("pe")
    context.momentum = context.reg_indicator(momentum)


def on_data(context):
    _, pe = context.pe.values(1)
    _, mom = context.momentum.values(1)
    pe, mom = pe[:, -1], mom[:, -1]
    context.record("pe", pe)
    context.record("momentum", mom)
    with np.errstate(invalid="ignore", divide="ignore"):
        context.record("value_momentum", mom / pe)
