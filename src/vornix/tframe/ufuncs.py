"""Small shared functions: target code conversion and the on-disk matrix cache."""

import hashlib
import json
import logging
import os

import numpy as np

from vornix.setting import get_setting
from vornix.tframe.utils.datetimefunc import today_int


def _one_dotmc(target):
    if isinstance(target, dict):
        try:
            market, code = target["Market"], target["Code"]
        except KeyError:
            raise ValueError(
                "a target given as a mapping needs the keys 'Market' and 'Code', got %r" % (target,)
            ) from None
        return ("%s.%s" % (market, code)).upper()
    if isinstance(target, str):
        parts = target.strip().split(".")
        if len(parts) != 2 or not parts[0] or not parts[1]:
            raise ValueError("a target code must look like MARKET.CODE, got %r" % (target,))
        return target.strip().upper()
    raise TypeError(
        "a target is a 'MARKET.CODE' text or a mapping with 'Market' and 'Code', got %r" % (target,)
    )


def todotmc(targets):
    """Dotted upper-case market code of a target, or a list of them for a list.

    A target is either a text "MARKET.CODE" or a mapping with the keys "Market"
    and "Code" (the form held in StrategyItem.TargetList).
    """
    if isinstance(targets, (list, tuple, np.ndarray)):
        return [_one_dotmc(t) for t in targets]
    return _one_dotmc(targets)


# --- on-disk matrix cache ---------------------------------------------------------

_KEY_FIELD = "vxCacheKey"  # every entry names its own key: a check against damage
_KEY_CHARS = set("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-")


# The history service names the bar store's contents here when it is imported
# (ufuncs itself imports no service): see set_data_stamp_source.
_stamp_source = None


def set_data_stamp_source(source):
    """Register the callable that names the bar store and its contents; cache keys
    include what it returns, so that cached matrices built from older data, or
    from another store, are not taken for current ones.  A store whose contents
    cannot be named makes it raise: no cache entry may be taken for it then."""
    global _stamp_source
    _stamp_source = source


def _data_stamp():
    return "" if _stamp_source is None else str(_stamp_source())


def calc_hash_value(items, suffix=""):
    """Cache key of a list of one-entry dicts describing what is cached.

    Equal inputs give equal keys; the key also changes when the bar store's
    contents change.
    """
    text = json.dumps(items, sort_keys=True, default=str, ensure_ascii=True)
    digest = hashlib.sha1((text + "|" + _data_stamp()).encode("utf-8")).hexdigest()
    key = digest + str(suffix)
    if not set(key) <= _KEY_CHARS:
        raise ValueError("cache key suffix may hold letters, digits, '_' and '-', got %r" % (suffix,))
    return key


def can_cache(end_date):
    """Whether results of a run ending on `end_date` (yyyymmdd) may be cached:
    caching is switched on (setting VX_MAT_CACHE) and the range lies wholly in
    the past, so its data can no longer grow."""
    if not get_setting("VX_MAT_CACHE", True):
        return False
    try:
        end = int(end_date)
    except (TypeError, ValueError):
        return False
    return 0 < end < today_int()


def _cache_path(cache_dir, key):
    if not isinstance(key, str) or not key or not set(key) <= _KEY_CHARS:
        raise ValueError("not a cache key: %r" % (key,))
    return os.path.join(cache_dir, key + ".mat")


def load_mat_cache(cache_dir, key):
    """The mapping stored under `key`, or None when nothing (readable) is stored.

    An entry that cannot be read is treated as absent: it is removed, with a
    logged warning, and the caller's next save rewrites it.
    """
    from vornix.tframe.utils.logger import write_syslog
    from vornix.tframe.utils.utilfunc import load_mat

    path = _cache_path(cache_dir, key)
    if not os.path.exists(path):
        return None
    try:
        data = load_mat(path, "raise", False)
        stored_key = data.pop(_KEY_FIELD, None)
        if stored_key is None or str(np.ravel(stored_key)[0]) != key:
            raise ValueError("the entry does not name its key")
    except (OSError, ValueError, IndexError) as exc:
        write_syslog(
            "matrix cache entry %s is unreadable and will be rebuilt: %s" % (path, exc),
            logging.WARNING,
        )
        try:
            os.remove(path)
        except OSError:
            pass
        return None
    return data


# paths of the cache entries this process wrote, in order (see entries_written_since)
_WRITTEN = []


def entries_written():
    """A mark for entries_written_since: how many entries this process wrote so far."""
    return len(_WRITTEN)


def entries_written_since(mark):
    """Paths of the cache entries this process wrote after `mark`."""
    return list(_WRITTEN[mark:])


def save_mat_cache(cache_dir, key, value):
    """Store the mapping `value` under `key` (atomically: no half-written entry).

    Entries are written uncompressed: a cached matrix only pays when reading it
    back is clearly cheaper than computing it again, and inflating a compressed
    one is not."""
    from vornix.tframe.utils.utilfunc import save_mat

    if not isinstance(value, dict):
        raise TypeError("a cache value is a mapping of names to arrays, got %s" % type(value).__name__)
    if _KEY_FIELD in value:
        raise ValueError("%r is reserved in cache values" % _KEY_FIELD)
    os.makedirs(cache_dir, exist_ok=True)
    entry = dict(value)
    entry[_KEY_FIELD] = key
    path = _cache_path(cache_dir, key)
    result = save_mat(path, entry, error="raise", appendmat=False, compress=False)
    _WRITTEN.append(path)
    return result
