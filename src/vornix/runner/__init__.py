"""Setting up a run in the process-wide state store before the strategy's `init`."""

from vornix.runner._prepare import prepare_run

__all__ = ["prepare_run"]
