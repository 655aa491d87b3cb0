"""Exception types of the framework."""


class VxError(Exception):
    """Base class of the framework's own errors."""


class VxDataError(VxError):
    """Data that does not match the request (missing targets, wrong sizes, ...)."""


class UnExpectError(VxError, ValueError):
    """A result of an unexpected form (for example a user indicator's output of another
    shape, or of different lengths at different steps); a ValueError as well."""


class VersionError(VxError):
    """The trading core and the framework do not support each other's versions."""


class VxConnectionError(VxError, ConnectionError):
    """The trading core cannot be reached or broke the protocol."""


class VxTimeoutError(VxConnectionError, TimeoutError):
    """The trading core did not answer within the configured time-out."""


class VxAuthError(VxConnectionError):
    """The peer on the command port could not prove that it holds the user's key."""


class KeyFileError(VxError):
    """The user's key file cannot be made, read or trusted."""


class VxCommandError(VxError):
    """The trading core answered a command with an error."""


class StoreError(VxError):
    """The bar store is missing, damaged or cannot hold the data given."""


class RunStateError(VxError, RuntimeError):
    """An operation called at a point of a run where it cannot be answered (a window
    read in `init`, a registration during the steps, a second run in one process)."""


class ChunkSeamError(RunStateError):
    """A run executed in time chunks: a window at a chunk's first steps asks for more
    history than the chunk loaded, so it would differ from the run in one piece."""


class StrategyError(VxError):
    """A strategy failed: its file cannot be loaded or lacks a function, or its code
    raised.  The message carries the strategy's own traceback; `snapshot` is the
    path of the error snapshot (empty when none was written) and `step` the step at
    which it failed (None outside the steps)."""

    def __init__(self, message, snapshot="", step=None):
        super().__init__(message, snapshot, step)
        self.message = message
        self.snapshot = snapshot
        self.step = step

    def __str__(self):
        return self.message
