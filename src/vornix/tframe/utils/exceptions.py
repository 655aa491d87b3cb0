"""Exception types of the framework."""


class VxError(Exception):
    """Base class of the framework's own errors."""


class VxDataError(VxError):
    """Data that does not match the request (missing targets, wrong sizes, ...)."""


class UnExpectError(VxError):
    """A result of an unexpected form (for example a user indicator's output)."""


class VersionError(VxError):
    """The trading core and the framework do not support each other's versions."""


class VxConnectionError(VxError, ConnectionError):
    """The trading core cannot be reached or broke the protocol."""


class VxTimeoutError(VxConnectionError, TimeoutError):
    """The trading core did not answer within the configured time-out."""


class VxCommandError(VxError):
    """The trading core answered a command with an error."""


class StoreError(VxError):
    """The bar store is missing, damaged or cannot hold the data given."""
