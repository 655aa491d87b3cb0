"""Logging: the system log (framework events) and the user log (warnings to the quant)."""

import contextlib
import datetime as _dt
import logging
import os
import threading

from vornix.setting import get_setting

SYS_LOGGER = "vornix.sys"
USER_LOGGER = "vornix.user"
_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"


_LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR")


def default_log_dir():
    return get_setting("VX_LOG_DIR", os.path.join(os.path.expanduser("~"), ".vornix", "log"))


def log_level():
    """The level of the log files (setting VX_LOG_LEVEL: DEBUG, INFO, WARNING or ERROR;
    default INFO)."""
    name = str(get_setting("VX_LOG_LEVEL", "INFO")).strip().upper()
    if name not in _LEVELS:
        raise ValueError("setting VX_LOG_LEVEL=%r: the levels are %s" % (name, ", ".join(_LEVELS)))
    return getattr(logging, name)


def _prune(folder, prefix, suffix, keep, spare=None):
    """Delete all but the `keep` newest files prefix*suffix of `folder` (never `spare`)."""
    try:
        names = [n for n in os.listdir(folder) if n.startswith(prefix) and n.endswith(suffix)
                 and n != spare]
        paths = sorted((os.path.join(folder, n) for n in names), key=os.path.getmtime)
    except OSError:
        return
    for path in paths[:max(len(paths) - keep, 0)]:
        try:
            os.remove(path)
        except OSError:
            pass


class LoggerManager:
    """Owns the file handler of the run's log; the log directory moves under the
    core's cache directory once it is known."""

    _lock = threading.RLock()
    _log_dir = None
    _file_name = None
    _handler = None

    @classmethod
    def log_timestamp(cls):
        return _dt.datetime.now().strftime("%Y%m%d_%H%M%S_%f")

    @classmethod
    def log_dir(cls):
        with cls._lock:
            if cls._log_dir is None:
                cls._log_dir = os.path.abspath(default_log_dir())
            os.makedirs(cls._log_dir, exist_ok=True)
            return cls._log_dir

    @classmethod
    def log_file(cls):
        with cls._lock:
            if cls._file_name is None:
                cls._file_name = "vornix_%s.log" % cls.log_timestamp()
            return os.path.join(cls.log_dir(), cls._file_name)

    @classmethod
    def init(cls, path):
        """Log into directory `path` from now on."""
        if not isinstance(path, str) or not path:
            raise ValueError("log directory must be a non-empty path, got %r" % (path,))
        with cls._lock:
            cls.remove_log_handler()
            cls._log_dir = os.path.abspath(path)
            os.makedirs(cls._log_dir, exist_ok=True)
            cls._attach()

    @classmethod
    def _attach(cls):
        level = log_level()
        path = cls.log_file()
        # a log file per process: the newest VX_LOG_KEEP (default 20) are kept, and as
        # many error snapshots
        keep = max(int(get_setting("VX_LOG_KEEP", 20)), 1)
        _prune(os.path.dirname(path), "vornix_", ".log", keep - 1, os.path.basename(path))
        _prune(os.path.dirname(path), "py_error_", ".mat", keep)
        handler = logging.FileHandler(path, encoding="utf-8", delay=True)
        handler.setFormatter(logging.Formatter(_FORMAT))
        handler.setLevel(level)
        for name in (SYS_LOGGER, USER_LOGGER):
            logger = logging.getLogger(name)
            # the user's warnings reach standard error whatever the level of the file
            logger.setLevel(min(level, logging.WARNING) if name == USER_LOGGER else level)
            logger.addHandler(handler)
        cls._handler = handler

    @classmethod
    def ensure_handler(cls):
        with cls._lock:
            if cls._handler is None:
                cls._attach()

    @classmethod
    def remove_log_handler(cls):
        with cls._lock:
            if cls._handler is not None:
                for name in (SYS_LOGGER, USER_LOGGER):
                    logging.getLogger(name).removeHandler(cls._handler)
                cls._handler.close()
                cls._handler = None

    @classmethod
    def rm_log_file(cls):
        """Close and delete the current log file (a fresh one starts on the next line)."""
        with cls._lock:
            path = cls.log_file()
            cls.remove_log_handler()
            if os.path.exists(path):
                os.remove(path)

    @classmethod
    def set_task_id_as_log_filename(cls, task_id):
        # the task id names a file in the log directory: separators, control characters
        # and overlong ids must not move the log elsewhere or make it unwritable
        safe = "".join(c if c.isalnum() or c in "-_." else "_" for c in str(task_id))[:100]
        with cls._lock:
            had_handler = cls._handler is not None
            cls.remove_log_handler()
            cls._file_name = "vornix_%s.log" % (safe.strip(".") or "_",)
            if had_handler:
                cls._attach()


def _console_handler():
    # the user's warnings also go to standard error, once per process
    logger = logging.getLogger(USER_LOGGER)
    if not any(getattr(h, "_vornix_console", False) for h in logger.handlers):
        handler = logging.StreamHandler()
        handler.setFormatter(logging.Formatter("vornix warning: %(message)s"))
        handler._vornix_console = True
        logger.addHandler(handler)


_console_handler()


def write_syslog(obj, level=logging.INFO):
    """Write one line (any object; exceptions with their type) to the system log."""
    LoggerManager.ensure_handler()
    if isinstance(obj, BaseException):
        text = "%s: %s" % (type(obj).__name__, obj)
        level = max(level, logging.ERROR)
    else:
        text = str(obj)
    logging.getLogger(SYS_LOGGER).log(level, text)


@contextlib.contextmanager
def console_quiet():
    """Warnings of the block go to the user log only, not to standard error (for a
    caller that tells the user the same in its own words)."""
    handlers = [h for h in logging.getLogger(USER_LOGGER).handlers
                if getattr(h, "_vornix_console", False)]
    levels = [h.level for h in handlers]
    for h in handlers:
        h.setLevel(logging.CRITICAL + 1)
    try:
        yield
    finally:
        for h, level in zip(handlers, levels):
            h.setLevel(level)


def user_warning(text):
    """Warn the user: logged to the user log and shown on standard error."""
    LoggerManager.ensure_handler()
    logging.getLogger(USER_LOGGER).warning(str(text))
