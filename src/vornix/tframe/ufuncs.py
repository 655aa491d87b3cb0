"""Small shared functions: target code conversion and the on-disk matrix cache."""

import hashlib
import hmac
import io
import json
import logging
import os
import time
import uuid

import numpy as np

from vornix.setting import get_setting
from vornix.tframe.utils.datetimefunc import today_int
from vornix.tframe.utils.userkey import user_key


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
# the last variable of every entry: HMAC-SHA256 under the user's key and length of the
# bytes before it, checked before the entry is parsed (a damaged MAT file can crash the
# parser): an entry damaged, or written by anyone without the key, is not taken
_SUM_FIELD = "vxCacheSig"
_TEMP_PREFIX = ".tmp-"
_STALE_TEMP_SECONDS = 3600.0  # a temporary file this old belongs to a writer that is gone
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


def _sum_element(signature, size):
    """The MAT data element of the signature `signature` (hex) of `size` bytes."""
    import scipy.io

    buf = io.BytesIO()
    scipy.io.savemat(buf, {_SUM_FIELD: "%s%016x" % (signature, size)}, do_compression=False,
                     oned_as="row")
    return buf.getvalue()[128:]  # without the file header


def _signature_of(fh, size):
    """(HMAC-SHA256 hex under the user's key, count) of the next `size` bytes of an
    open file (fewer at its end)."""
    mac, left = hmac.new(user_key(), b"vornix matrix cache|", hashlib.sha256), size
    while left:
        chunk = fh.read(min(left, 1 << 22))
        if not chunk:
            break
        mac.update(chunk)
        left -= len(chunk)
    return mac.hexdigest(), size - left


def _sum_matches(fh):
    """Whether the open entry ends in the signature of everything before it."""
    size = os.fstat(fh.fileno()).st_size - len(_sum_element("0" * 64, 0))
    if size < 128:  # not even a file header
        return False
    signature, got = _signature_of(fh, size)
    return got == size and hmac.compare_digest(fh.read(), _sum_element(signature, size))


def load_mat_cache(cache_dir, key):
    """The mapping stored under `key`, or None when nothing (readable) is stored.

    An entry is parsed only once its signature matches: a truncated or damaged one
    (or one not signed with the user's key) is treated as absent.  It is
    removed, with a logged warning, and the caller's next save rewrites it.
    """
    import scipy.io

    from vornix.tframe.utils.logger import write_syslog

    path = _cache_path(cache_dir, key)
    try:
        fh = open(path, "rb")
    except FileNotFoundError:
        return None
    try:
        with fh:
            if not _sum_matches(fh):
                raise ValueError("it is truncated, damaged or not signed with the user's key (its "
                                 "signature does not match)")
            fh.seek(0)
            try:
                data = scipy.io.loadmat(fh, appendmat=False)
            except Exception as exc:  # scipy raises several types for damaged files
                raise ValueError("MAT file %s cannot be read: %s" % (path, exc)) from exc
        data = {k: v for k, v in data.items() if not k.startswith("__")}
        data.pop(_SUM_FIELD, None)
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
    """Store the mapping `value` under `key`.

    The entry is written under a temporary name, ended with its signature, flushed
    to disk and then moved into place: readers, and writers of the same entry in
    other processes, see no entry or a whole one, never half of one; a writer
    stopped part-way leaves only a temporary file, which a later save removes once
    it is an hour old.  Entries are written uncompressed: a cached matrix only pays
    when reading it back is clearly cheaper than computing it again, and inflating
    a compressed one is not."""
    from vornix.tframe.utils.utilfunc import save_mat

    if not isinstance(value, dict):
        raise TypeError("a cache value is a mapping of names to arrays, got %s" % type(value).__name__)
    for reserved in (_KEY_FIELD, _SUM_FIELD):
        if reserved in value:
            raise ValueError("%r is reserved in cache values" % reserved)
    os.makedirs(cache_dir, exist_ok=True)
    entry = dict(value)
    entry[_KEY_FIELD] = key
    path = _cache_path(cache_dir, key)
    staging = os.path.join(cache_dir, "%s%s-%s.mat" % (_TEMP_PREFIX, key, uuid.uuid4().hex[:12]))
    try:
        save_mat(staging, entry, error="raise", appendmat=False, compress=False)
        with open(staging, "r+b") as fh:
            size = os.fstat(fh.fileno()).st_size
            signature, _ = _signature_of(fh, size)
            fh.seek(size)
            fh.write(_sum_element(signature, size))
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(staging, path)
    except BaseException:
        try:
            os.remove(staging)
        except OSError:
            pass
        raise
    _remove_stale_temps(cache_dir)
    _WRITTEN.append(path)
    return path


def _remove_stale_temps(cache_dir):
    """Remove the temporary files of writers stopped long ago."""
    limit = time.time() - _STALE_TEMP_SECONDS
    try:
        names = os.listdir(cache_dir)
    except OSError:
        return
    for name in names:
        if name.startswith(_TEMP_PREFIX):
            try:
                if os.stat(os.path.join(cache_dir, name)).st_mtime < limit:
                    os.remove(os.path.join(cache_dir, name))
            except OSError:
                pass
