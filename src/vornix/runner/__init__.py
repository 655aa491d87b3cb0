"""Running strategies: `run(strategy, **settings)` over the stored bars, and the run
set-up `prepare_run` that it builds on."""

from vornix.runner._context import BarHandle, Context
from vornix.runner._prepare import prepare_run
from vornix.runner._run import Registration, RunResult, run

__all__ = ["BarHandle", "Context", "Registration", "RunResult", "prepare_run", "run"]
