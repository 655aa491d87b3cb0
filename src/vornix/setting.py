"""Settings store: environment variables over a config file over the default.

The config file is JSON (an object of key -> value); its path is taken from the
environment variable VX_CONFIG_FILE, else ~/.vornix/config.json.  A value from the
environment is converted to the type of the default when the default is a
bool, int or float.
"""

import json
import os

_TRUE = {"1", "true", "yes", "on"}
_FALSE = {"0", "false", "no", "off", ""}


def config_file_path():
    return os.environ.get("VX_CONFIG_FILE") or os.path.join(
        os.path.expanduser("~"), ".vornix", "config.json"
    )


def _read_config():
    path = config_file_path()
    try:
        with open(path, encoding="utf-8") as fh:
            data = json.load(fh)
    except FileNotFoundError:
        return {}
    except (OSError, ValueError) as exc:
        raise ValueError("settings file %s cannot be read: %s" % (path, exc)) from exc
    if not isinstance(data, dict):
        raise ValueError("settings file %s must hold a JSON object, got %s" % (path, type(data).__name__))
    return data


def check_config():
    """Raise ValueError (one line naming the file and the fault) when the settings
    file exists and cannot be used; commands call it before anything else."""
    _read_config()


def _convert(key, raw, default):
    if default is None or type(raw) is type(default):
        return raw
    try:
        if isinstance(default, bool):
            text = str(raw).strip().lower()
            if text in _TRUE:
                return True
            if text in _FALSE:
                return False
            raise ValueError
        if isinstance(default, int):
            return int(str(raw).strip())
        if isinstance(default, float):
            return float(str(raw).strip())
    except ValueError:
        raise ValueError(
            "setting %s=%r is not a valid %s" % (key, raw, type(default).__name__)
        ) from None
    return raw


def get_setting(key, default=None):
    """Value of setting `key`: environment, then config file, then `default`."""
    if key in os.environ:
        return _convert(key, os.environ[key], default)
    config = _read_config()
    if key in config:
        return _convert(key, config[key], default)
    return default


def vornix_home():
    """The user's vornix folder, ~/.vornix."""
    return os.path.join(os.path.expanduser("~"), ".vornix")


def core_cache_dir():
    """The cache folder of the trading core and its clients (setting VX_CORE_CACHE_DIR)."""
    return str(get_setting("VX_CORE_CACHE_DIR", "") or os.path.join(vornix_home(), "cache"))
