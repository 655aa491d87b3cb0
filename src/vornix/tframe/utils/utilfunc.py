"""Array and MAT-file helpers."""

import contextlib
import os
import re
import tempfile
import warnings

import numpy as np
import scipy.io

_VALID_NAME = re.compile(r"^[A-Za-z][A-Za-z0-9_]*$")


def append_or_assign_2d_array_axis0(array, rows, pos=999999999, copy_=False):
    """Place `rows` at row `pos` of the two-dimensional `array` and return the result.

    While `array` is still empty (size 0 or not two-dimensional), the result is
    `rows` itself (a copy when `copy_` is true).  A `pos` at or beyond the row
    count appends below the existing rows; a smaller `pos` overwrites from there,
    growing the array when the new rows reach past its end.  The input array is
    never changed in place: a new array is returned.
    """
    rows = np.asarray(rows)
    if rows.ndim == 1:
        rows = rows.reshape(1, -1)
    if rows.ndim != 2:
        raise ValueError("rows must be one- or two-dimensional, got shape %s" % (rows.shape,))
    array = np.asarray(array)
    if array.size == 0 or array.ndim != 2:
        return rows.copy() if copy_ else rows
    if rows.shape[1] != array.shape[1]:
        raise ValueError(
            "rows have %d columns but the array has %d" % (rows.shape[1], array.shape[1])
        )
    pos = int(pos)
    if pos < 0:
        raise ValueError("pos must not be negative, got %d" % pos)
    if pos >= array.shape[0]:
        return np.concatenate([array, rows], axis=0)
    end = pos + rows.shape[0]
    out_rows = max(end, array.shape[0])
    out = np.empty((out_rows, array.shape[1]), dtype=np.result_type(array, rows))
    out[: array.shape[0]] = array
    out[pos:end] = rows
    return out


def _mat_name(key):
    """A MAT-file variable or field name for a key (letters, digits, underscore)."""
    name = re.sub(r"[^A-Za-z0-9_]", "_", str(key))
    if not name or not name[0].isalpha():
        name = "x" + name
    return name[:63]


def _storable(value):
    """`value` converted to what the MAT writer takes, or raise TypeError."""
    if value is None:
        return np.zeros((0, 0))
    if isinstance(value, dict):
        return {_mat_name(k): _storable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        items = [_storable(v) for v in value]
        if items and all(isinstance(v, (int, float, bool, np.number)) for v in items):
            return np.asarray(items)
        if all(isinstance(v, str) for v in items) and items:
            out = np.empty(len(items), dtype=object)
            out[:] = items
            return out
        out = np.empty(len(items), dtype=object)
        for i, v in enumerate(items):
            out[i] = v
        return out
    if isinstance(value, (str, bool, int, float, np.number, np.bool_)):
        return value
    if isinstance(value, np.ndarray):
        if value.dtype == object:
            out = np.empty(value.shape, dtype=object)
            for idx, v in np.ndenumerate(value):
                out[idx] = _storable(v)
            return out
        if value.dtype.kind in "biufcU":
            return value
    raise TypeError("a %s cannot be stored in a MAT file" % type(value).__name__)


def process_umask():
    """The process's file-mode mask (read by setting it and putting it back)."""
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


_UMASK = process_umask()


def pid_alive(pid):
    """Whether a process `pid` of this machine is running (one of another user's
    counts as running)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


@contextlib.contextmanager
def atomic_path(path, suffix="", mode=0o666, durable=False):
    """Yield a temporary path beside `path`; on success it replaces `path`.

    Readers see either the old file or the complete new one, never a half-written
    file; on failure the temporary file is removed and `path` is left as it was.
    The new file gets `mode` less the umask; `durable`: it is on disk before it
    replaces `path`.
    """
    directory = os.path.dirname(os.path.abspath(path)) or "."
    os.makedirs(directory, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=".tmp-", suffix=suffix, dir=directory)
    os.close(fd)
    try:
        yield tmp
        if durable:
            fd = os.open(tmp, os.O_RDONLY | os.O_CLOEXEC)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        # mkstemp makes the file private; the result gets the mode a plain open would
        os.chmod(tmp, mode & ~_UMASK)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.remove(tmp)
        except OSError:
            pass
        raise


def _atomic_savemat(path, data, compress=True):
    with atomic_path(path, ".mat") as tmp:
        with open(tmp, "wb") as fh:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                scipy.io.savemat(fh, data, do_compression=compress, oned_as="row")
            fh.flush()
            os.fsync(fh.fileno())


def save_mat(path, data, error="ignore", appendmat=False, compress=True):
    """Write the mapping `data` to the MAT file `path`, atomically.

    Keys become variable names (characters other than letters, digits and
    underscore are replaced by underscores).  With error="ignore", values that a
    MAT file cannot hold are skipped; with error="raise" they raise TypeError.
    With `appendmat` true, ".mat" is added to a path that lacks it.  With
    `compress` false the file is written uncompressed: larger, but several times
    faster to write and to read back.
    """
    if error not in ("ignore", "raise"):
        raise ValueError("error must be 'ignore' or 'raise', got %r" % (error,))
    if not isinstance(data, dict):
        raise TypeError("data must be a mapping of names to values, got %s" % type(data).__name__)
    if appendmat and not str(path).endswith(".mat"):
        path = str(path) + ".mat"
    out = {}
    for key, value in data.items():
        try:
            out[_mat_name(key)] = _storable(value)
        except TypeError:
            if error == "raise":
                raise
    try:
        _atomic_savemat(path, out, compress)
    except (TypeError, ValueError, UserWarning):
        if error == "raise":
            raise
        # one value the writer still refuses: store what it takes, one by one
        kept = {}
        for key, value in out.items():
            try:
                _atomic_savemat(path, dict(kept, **{key: value}), compress)
            except (TypeError, ValueError, UserWarning):
                continue
            kept[key] = value
    return path


def load_mat(path, error="raise", appendmat=True):
    """Read a MAT file into a dict of name -> array (MAT header entries left out).

    With error="raise" a missing or unreadable file raises (OSError or
    ValueError naming the file); with error="ignore" it yields an empty dict.
    """
    if error not in ("ignore", "raise"):
        raise ValueError("error must be 'ignore' or 'raise', got %r" % (error,))
    path = str(path)
    if appendmat and not path.endswith(".mat") and not os.path.exists(path):
        path = path + ".mat"
    try:
        data = scipy.io.loadmat(path, appendmat=False)
    except FileNotFoundError:
        if error == "raise":
            raise
        return {}
    except Exception as exc:  # scipy raises several types for damaged files
        if error == "raise":
            raise ValueError("MAT file %s cannot be read: %s" % (path, exc)) from exc
        return {}
    return {k: v for k, v in data.items() if not k.startswith("__")}
