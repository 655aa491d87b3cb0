"""Parameter sweeps and walk-forward runs of a strategy file.

`sweep(strategy, grid={...}, jobs=..., engine=..., **run_settings)` runs every
combination of the grid, each in a process of its own, and returns one row per
combination; `walk_forward(strategy, grid, train, test, ...)` chooses parameters on
each train window and runs them on the window after it.  The runs execute on this
machine (engine 'local'), on a dask cluster ('dask') or a ray cluster ('ray')."""

from vornix.sweep._engines import ENGINES, make_engine
from vornix.sweep._sweep import LOWER_IS_BETTER, METRICS, parse_grid, sweep
from vornix.sweep._walk import WalkForwardResult, parse_walk_forward, split_windows, walk_forward

__all__ = [
    "ENGINES",
    "LOWER_IS_BETTER",
    "METRICS",
    "WalkForwardResult",
    "make_engine",
    "parse_grid",
    "parse_walk_forward",
    "split_windows",
    "sweep",
    "walk_forward",
]
