"""vornix: the data layer of a quantitative trading and backtesting framework."""

__version__ = "0.1.0"

# Versions of the trading core that this framework release can talk to.
SUPPORTED_CORE_VERSIONS = ("1.0",)


def get_version():
    """The framework's own version text."""
    return __version__


def get_support():
    """The trading-core versions this framework supports, as a tuple of texts."""
    return SUPPORTED_CORE_VERSIONS
