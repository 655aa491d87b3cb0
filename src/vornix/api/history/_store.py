"""The embedded bar store: a directory of Parquet files.

Layout of a store directory::

    GENERATION                 counter, time stamp and store id; bumped by every write
    instruments.parquet        one row per target
    calendar.parquet           trading days (yyyymmdd)
    sessions.parquet           trading sessions per calendar name
    adjust.parquet             stock adjustment factors per target and day
    main_contracts.parquet     main contract per continuous target and day
    actions.parquet            stock corporate actions per target and ex-date
    bars/1m/MARKET.CODE.parquet, bars/1d/MARKET.CODE.parquet
    ticks/MARKET.CODE.parquet
    factors/NAME.parquet       daily factor values, one file per factor

    .write-lock                held (flock) by the one process writing the store; holds its pid
    .import-journal.json       only while a write step switches its files in (see below)

A write step (one import, one derived calendar, the sample market, ...) writes
every new file under a temporary name beside the file it replaces (".tmp-*",
flushed to disk) while the old files stay in place.  It then writes the journal
naming the step and each file with the size and SHA-1 of its old and new
content, moves the new files over the old ones, bumps GENERATION and removes the
journal.  The journal is the point of no return: a step stopped before it left
the store as it was (its temporary files are removed by the next write), a step
stopped after it is finished by the next write or by `vornix data repair` from
the temporary files the journal names.  Readers never take the lock; the history
service refuses a store whose journal was left by a writer that is gone, naming
the fix.  Small tables are read once per open store object; bar files are read
on each request.
"""

import contextlib
import datetime as _dt
import errno
import fcntl
import hashlib
import json
import os
import re
import tempfile
import threading
import time
import uuid
from typing import NamedTuple

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
from pyarrow import fs as pafs

from vornix.api.history._manifest import (
    MANIFEST_FILE,
    Manifest,
    entry_of,
    file_digests,
    no_manifest_error,
    read_checked,
    read_manifest,
    verify_mode,
    write_manifest,
)
from vornix.api.history._places import files_of
from vornix.tframe.sysdefine import GlobalDefine as gv
from vornix.tframe.utils.exceptions import StoreError
from vornix.tframe.utils.textshow import shown_text
from vornix.tframe.utils.utilfunc import atomic_path, process_umask

BAR_FIELDS = ("open", "high", "low", "close", "volume", "turnover", "open_interest")
BAR_COLUMNS = ("time",) + BAR_FIELDS
TICK_COLUMNS = ("time", "price", "volume")
FREQ_DIRS = {"min": "1m", "day": "1d"}

# instrument types of the store and their target-type codes
TYPE_NAMES = {
    "stock": gv.TARGETTYPE_STOCK,
    "future": gv.TARGETTYPE_FUTURE,
    "index": gv.TARGETTYPE_INDEX,
    "fund": gv.TARGETTYPE_FUND,
}

_SCHEMAS = {
    "instruments": pa.schema(
        [
            ("market", pa.string()),
            ("code", pa.string()),
            ("type", pa.string()),
            ("multiplier", pa.float64()),
            ("min_move", pa.float64()),
            ("list_date", pa.int64()),
            ("delist_date", pa.int64()),
            ("calendar", pa.string()),
            ("name", pa.string()),
            # optional: a stock under special treatment, and its own daily price limit
            ("st", pa.bool_()),
            ("limit_pct", pa.float64()),
            # optional: a future's margin as a fraction of the notional
            ("margin_rate", pa.float64()),
        ]
    ),
    "calendar": pa.schema([("date", pa.int64())]),
    "sessions": pa.schema(
        [
            ("calendar", pa.string()),
            ("open", pa.int64()),
            ("close", pa.int64()),
            ("day_offset", pa.int64()),
        ]
    ),
    "adjust": pa.schema([("target", pa.string()), ("date", pa.int64()), ("factor", pa.float64())]),
    "main_contracts": pa.schema(
        [("target", pa.string()), ("date", pa.int64()), ("contract", pa.string())]
    ),
    # corporate actions per share: cash dividend, bonus and transfer shares, split ratio
    "actions": pa.schema(
        [
            ("target", pa.string()),
            ("ex_date", pa.int64()),
            ("cash", pa.float64()),
            ("bonus", pa.float64()),
            ("split", pa.float64()),
        ]
    ),
    "factor": pa.schema([("date", pa.int64()), ("target", pa.string()), ("value", pa.float64())]),
    "bars": pa.schema([(c, pa.float64()) for c in BAR_COLUMNS]),
    "ticks": pa.schema([(c, pa.float64()) for c in TICK_COLUMNS]),
}


# columns a file may lack (written by an earlier version): their value where absent
_OPTIONAL = {"instruments": {"st": False, "limit_pct": float("nan"),
                             "margin_rate": float("nan")}}


def default_store_dir():
    return os.path.join(os.path.expanduser("~"), ".vornix", "store")


def _check_target_name(target):
    if not target or "/" in target or "\\" in target or target.startswith("."):
        raise StoreError("target code %r cannot name a store file" % (target,))


def write_text_atomic(path, text):
    with atomic_path(path) as tmp:
        with open(tmp, "w", encoding="utf-8") as fh:
            fh.write(text)


GENERATION_FILE = "GENERATION"
_STORE_ID = re.compile(r"[0-9a-f]{32}")
_GENERATION_MAX_BYTES = 4096


class GenerationInfo(NamedTuple):
    counter: int  # 0 for a store never written
    stamp: str  # time stamp of the last write ("" for none)
    store_id: str  # random id given at creation ("" for a store made before stores had one)


def _now():
    return _dt.datetime.now(_dt.timezone.utc).isoformat()


def read_generation_file(path):
    """GenerationInfo of the store at `path`; a missing file is a store never written.

    The file holds up to three lines: the counter, the time stamp of the last write
    and the store id.  A file that cannot be read or does not hold them raises a
    StoreError naming it."""
    files = files_of(path)
    gen_path = os.path.join(files.root, GENERATION_FILE)
    try:
        data = files.read_head(gen_path, _GENERATION_MAX_BYTES + 1)
    except FileNotFoundError:
        return GenerationInfo(0, "", "")
    except OSError as exc:
        raise StoreError("store generation file %s cannot be read: %s" % (gen_path, exc)) from exc
    try:
        if len(data) > _GENERATION_MAX_BYTES:
            raise ValueError("it is longer than %d bytes" % _GENERATION_MAX_BYTES)
        try:
            lines = data.decode("utf-8").splitlines()
        except UnicodeDecodeError:
            raise ValueError("it is not text") from None
        first = lines[0].strip() if lines else ""
        try:
            counter = int(first)
        except ValueError:
            raise ValueError("first line %r is not a number" % first) from None
        stamp = lines[1].strip() if len(lines) > 1 else ""
        store_id = lines[2].strip() if len(lines) > 2 else ""
        if store_id and not _STORE_ID.fullmatch(store_id):
            raise ValueError("third line %r is not a store id" % store_id)
    except ValueError as exc:
        raise StoreError("store generation file %s is damaged: %s" % (gen_path, exc)) from None
    return GenerationInfo(counter, stamp, store_id)


def read_generation(path):
    """Generation counter of the store at `path` (0 for a store never written)."""
    return read_generation_file(path).counter


def content_stamp(path):
    """What names the contents of the store at `path`: its id, generation counter and
    the time stamp of its last write.  The id is drawn at random when a store is
    created, so a store made again from scratch, or another store built by the same
    writes, never shares a stamp, while a store moved to another folder keeps it.  A
    store made before stores had an id is named by its folder until its next write
    gives it one."""
    info = read_generation_file(path)
    who = "store %s" % info.store_id if info.store_id else "folder %s" % files_of(path).root
    return "%s|%d|%s" % (who, info.counter, info.stamp)


def _write_generation(path, counter, store_id):
    write_text_atomic(
        os.path.join(path, GENERATION_FILE), "%d\n%s\n%s\n" % (counter, _now(), store_id)
    )


def _name_list(names):
    """Names in a message: all of a few, the first and last of many (they are in order)."""
    if not names:
        return "none"
    if len(names) <= 10:
        return ", ".join(names)
    return "%d files in name order, %s to %s" % (len(names), names[0], names[-1])


# ------------------------------------------------------------------ write lock

LOCK_FILE = ".write-lock"
JOURNAL_FILE = ".import-journal.json"
UPLOAD_MARK = ".upload-in-progress"  # in a store at a URL while `upload_store` fills it
LOCK_TIMEOUT_SETTING = "VX_STORE_LOCK_TIMEOUT"
DEFAULT_LOCK_TIMEOUT = 60.0
_TEMP_PREFIX = ".tmp-"
# rows per row group of the files written: about a month of one-minute bars, so
# that a read of a few months (a run's time chunk) skips the rest of a long file
ROW_GROUP_ROWS = 8192
_JOURNAL_FORMAT = 1
_STORE_DIRS = ("", os.path.join("bars", "1m"), os.path.join("bars", "1d"), "ticks", "factors")


def _is_base_folder(name):
    """Whether `name` is a folder of base bars under bars/: 1m or <N>m."""
    return name.endswith("m") and name[:-1].isdigit()


def _store_dirs(path):
    """The folders of a store that hold data files: the fixed ones and every
    bars/<N>m folder of base bars of several minutes."""
    files = files_of(path)
    bars = sorted(n for n in files.listdir(os.path.join(files.root, "bars")) if _is_base_folder(n) and n != "1m")
    return _STORE_DIRS + tuple(os.path.join("bars", n) for n in bars)


def local_place(path, action):
    """The local folder of a store that `action` (such as "import") writes; a store
    at a URL is read-only and raises a StoreError saying how to fill it."""
    files = files_of(path)
    if files.remote:
        raise StoreError(
            "the bar store %s is at a URL, which is read-only: cannot %s there. Write to a local "
            "store and copy it there with 'vornix data upload %s --store DIR'" % (files.root, action, files.root)
        )
    return files.root


_UMASK = process_umask()


def lock_timeout():
    """Seconds a writer waits for the store's write lock (setting VX_STORE_LOCK_TIMEOUT)."""
    from vornix.setting import get_setting

    raw = get_setting(LOCK_TIMEOUT_SETTING, DEFAULT_LOCK_TIMEOUT)
    try:
        value = float(raw)
    except (TypeError, ValueError):
        value = float("nan")
    if not (np.isfinite(value) and value >= 0):
        raise ValueError("setting %s=%r is not a number of seconds (0 or more)" % (LOCK_TIMEOUT_SETTING, raw))
    return value


class _Held:
    """The write lock of one store as held by this process: a thread lock makes it
    re-entrant for the thread holding it; the file lock is taken by the outermost."""

    def __init__(self):
        self.thread_lock = threading.RLock()
        self.depth = 0
        self.fd = None
        self.made = None  # top folder made for the lock, removed again if nothing is written


_held = {}
_held_guard = threading.Lock()


def _held_lock(path):
    # a child made by fork does not hold its parent's locks
    with _held_guard:
        return _held.setdefault((os.getpid(), os.path.realpath(path)), _Held())


def _make_dirs(path):
    """Make the folder `path` and its missing parents; the top one made here, or None."""
    missing = []
    probe = path
    while not os.path.isdir(probe):
        missing.append(probe)
        parent = os.path.dirname(probe)
        if parent == probe:
            break
        probe = parent
    top = None
    for folder in reversed(missing):
        try:
            os.mkdir(folder)
        except FileExistsError:
            continue
        top = top or folder
    return top


def _lock_holder(fd):
    try:
        text = os.pread(fd, 64, 0).decode("ascii", "replace").strip()
    except OSError:
        text = ""
    return text if text.isdigit() else ""


def _take_file_lock(path, deadline, timeout):
    lock_path = os.path.join(path, LOCK_FILE)
    while True:
        made = _make_dirs(path)
        fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        try:
            delay = 0.002
            while True:
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    break
                except BlockingIOError:
                    left = deadline - time.monotonic()
                    if left <= 0:
                        pid = _lock_holder(fd)
                        raise StoreError(
                            "the bar store %s is being written by another process (%s) and stayed "
                            "locked for %g s; try again when that write has finished, or wait longer "
                            "with the setting %s (seconds)"
                            % (path, "pid %s" % pid if pid else "pid not yet recorded in %s" % lock_path,
                               timeout, LOCK_TIMEOUT_SETTING)
                        ) from None
                    time.sleep(min(delay, left))
                    delay = min(delay * 2, 0.05)
            # a holder that wrote nothing into a store it made removes it: lock the new file
            try:
                same = os.path.samestat(os.fstat(fd), os.stat(lock_path))
            except FileNotFoundError:
                same = False
            if same:
                os.ftruncate(fd, 0)
                os.pwrite(fd, b"%d\n" % os.getpid(), 0)
                return fd, made
        except BaseException:
            os.close(fd)
            raise
        os.close(fd)


def _release_file_lock(path, fd, made):
    try:
        os.ftruncate(fd, 0)
        if made and not os.path.lexists(os.path.join(path, GENERATION_FILE)):
            # nothing was written into the store this lock made: leave nothing behind
            os.remove(os.path.join(path, LOCK_FILE))
            for root, _, _ in sorted(os.walk(path), key=lambda w: -len(w[0])):
                os.rmdir(root)
            folder = os.path.dirname(path)
            while len(folder) >= len(made) and folder.startswith(made):
                os.rmdir(folder)
                folder = os.path.dirname(folder)
    except OSError:
        pass
    finally:
        os.close(fd)


@contextlib.contextmanager
def write_lock(path, timeout=None):
    """Hold the store's write lock (an exclusive flock on <store>/.write-lock) while
    inside; re-entrant in the thread that holds it.  Waits up to `timeout` seconds
    (default: setting VX_STORE_LOCK_TIMEOUT, 60) and then raises a StoreError
    naming the store and the holder's pid.  Yields True where this call took the
    lock for the process (the outermost holder)."""
    path = local_place(path, "write")
    timeout = lock_timeout() if timeout is None else float(timeout)
    deadline = time.monotonic() + timeout
    held = _held_lock(path)
    got = held.thread_lock.acquire(timeout=timeout) if timeout > 0 else held.thread_lock.acquire(False)
    if not got:
        raise StoreError(
            "the bar store %s is being written by another thread of this process (pid %d) and "
            "stayed locked for %g s (setting %s)" % (path, os.getpid(), timeout, LOCK_TIMEOUT_SETTING)
        )
    try:
        outermost = held.depth == 0
        if outermost:
            held.fd, held.made = _take_file_lock(path, deadline, timeout)
        held.depth += 1
        try:
            yield outermost
        finally:
            held.depth -= 1
            if not held.depth:
                fd, made, held.fd, held.made = held.fd, held.made, None, None
                _release_file_lock(path, fd, made)
    finally:
        held.thread_lock.release()


def _writer_active(path, then=None):
    """Whether a writer holds the store's lock; with `then`, call it while no writer
    can take the lock (a shared flock, tried without waiting) and return
    (False, its result).  Readers only do this when a journal is there."""
    with _held_guard:
        held = _held.get((os.getpid(), os.path.realpath(path)))
    if held is not None and held.depth:
        return True, None
    try:
        fd = os.open(os.path.join(path, LOCK_FILE), os.O_RDONLY | os.O_CLOEXEC)
    except FileNotFoundError:
        return False, then() if then else None
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            return True, None
        return False, then() if then else None
    finally:
        os.close(fd)


# ------------------------------------------------------------------ journal

def _sync_dirs(folders):
    for folder in sorted(set(folders)):
        fd = os.open(folder, os.O_RDONLY | os.O_CLOEXEC)
        try:
            os.fsync(fd)
        except OSError as exc:  # some file systems cannot sync a folder
            if exc.errno not in (errno.EINVAL, errno.ENOTSUP):
                raise
        finally:
            os.close(fd)


def _file_stamp(path, digests=None):
    """{"size", "sha1"} of a file's content, or None for no file (from its
    `digests` when they were taken already)."""
    digests = file_digests(path) if digests is None else digests
    return None if digests is None else {"size": digests["size"], "sha1": digests["sha1"]}


# ------------------------------------------------------------------ manifest

def _manifest_for_write(path):
    """The manifest entries of the local store at `path` (the caller holds the lock):
    as recorded, or for a store written before stores had a manifest, taken from
    its files as they are."""
    manifest = read_manifest(files_of(path), path)
    if manifest is not None:
        return dict(manifest.files)
    return {rel.replace(os.sep, "/"): [entry_of(file_digests(os.path.join(path, rel)))]
            for rel in _store_files(path)}


def _record_files(path, entries, rels):
    """Record the files `rels` as they are now in `entries` and write the manifest;
    a file gone is dropped."""
    for rel in rels:
        digests = file_digests(os.path.join(path, rel))
        key = rel.replace(os.sep, "/")
        if digests is None:
            entries.pop(key, None)
        else:
            entries[key] = [entry_of(digests)]
    write_manifest(path, entries)


def _stage_table(path, table):
    """Write `table` to a new temporary file beside `path`, flushed to disk; its path."""
    directory = os.path.dirname(path)
    os.makedirs(directory, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=_TEMP_PREFIX, suffix=".parquet", dir=directory)
    os.close(fd)
    try:
        # 'data info --check' verifies the page checksums; row groups of ROW_GROUP_ROWS
        # let a read of some months skip the others (read_bars' `times`)
        pq.write_table(table, tmp, write_page_checksum=True, row_group_size=ROW_GROUP_ROWS)
        fd = os.open(tmp, os.O_RDONLY | os.O_CLOEXEC)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        os.chmod(tmp, 0o666 & ~_UMASK)  # mkstemp makes it private
    except BaseException:
        _remove_quietly(tmp)
        raise
    return tmp


def _remove_quietly(path):
    try:
        os.remove(path)
    except OSError:
        pass


def _write_journal(path, journal):
    """Write the journal durably; once it is in place the step will be finished."""
    target = os.path.join(path, JOURNAL_FILE)
    fd, tmp = tempfile.mkstemp(prefix=_TEMP_PREFIX, suffix=".json", dir=path)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as fh:
            json.dump(journal, fh, indent=1)
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(tmp, target)
    except BaseException:
        _remove_quietly(tmp)
        raise
    _sync_dirs([path])


def _inside(path, rel):
    """`rel` (a path of the journal) as a path inside the store, or None."""
    if not isinstance(rel, str) or not rel or os.path.isabs(rel):
        return None
    norm = os.path.normpath(rel)
    if norm.startswith(os.pardir) or norm in (".", ""):
        return None
    return os.path.join(path, norm)


def _is_stamp(value):
    return isinstance(value, dict) and isinstance(value.get("size"), int) and isinstance(value.get("sha1"), str)


def _read_journal(path):
    """The journal of the store at `path`, or None; a damaged one raises StoreError."""
    name = os.path.join(path, JOURNAL_FILE)
    try:
        with open(name, encoding="utf-8") as fh:
            journal = json.load(fh)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as exc:
        raise StoreError("the write journal %s cannot be read: %s" % (name, exc)) from exc
    files = journal.get("files") if isinstance(journal, dict) else None
    good = isinstance(files, list) and all(
        isinstance(f, dict) and _inside(path, f.get("path")) and _inside(path, f.get("staged"))
        and _is_stamp(f.get("new")) and (f.get("old") is None or _is_stamp(f.get("old")))
        for f in files
    )
    if not good:
        raise StoreError(
            "the write journal %s is damaged (it is written whole, so it was changed by hand); the "
            "files of the step it names cannot be told apart" % name
        )
    return journal


def _step_name(journal):
    kind = journal.get("kind") or "write"
    source = journal.get("source")
    return "%s of %s" % (kind, source) if source else str(kind)


class _FileState(NamedTuple):
    path: str  # relative to the store
    state: str  # "new", "old" or "changed" (neither the old nor the new content)
    staged_ok: bool  # the new content waits whole in its temporary file


def _journal_states(path, journal):
    out = []
    for f in journal["files"]:
        stamp = _file_stamp(_inside(path, f["path"]))
        if stamp == f["new"]:
            state = "new"
        elif stamp == f.get("old"):
            state = "old"
        else:
            state = "changed"
        staged_ok = state != "new" and _file_stamp(_inside(path, f["staged"])) == f["new"]
        out.append(_FileState(f["path"], state, staged_ok))
    return out


def _leftover_journal(path):
    """The journal left by a writer that is gone, or None (no journal, or a writer
    is switching its files in right now)."""
    if not os.path.lexists(os.path.join(path, JOURNAL_FILE)):
        return None
    active, journal = _writer_active(path, lambda: _read_journal(path))
    return None if active else journal


def _repair_hint(path, journal):
    hint = "run 'vornix data repair --store %s' to finish it" % path
    if journal.get("source"):
        hint += ", or run the same %s again" % _step_name(journal)
    return hint


def _remote_unfinished(files):
    """Why a store at a URL is not read, or None: an upload into it that has not
    finished, or the journal of a write step stopped part-way, copied there from
    the store it was written in.  One listing of the store's top folder."""
    names = set(files.listdir(files.root))
    if UPLOAD_MARK in names:
        mark = os.path.join(files.root, UPLOAD_MARK)
        try:
            note = json.loads(files.read_head(mark, 4096).decode("utf-8"))
            who = "from %s (pid %s on %s), started %s" % (
                note["source"], note["pid"], note["host"], note["time"])
        except (OSError, ValueError, KeyError, TypeError):
            who = "(its mark %s cannot be read)" % UPLOAD_MARK
        return ("an upload into it %s has not finished (or was stopped); it is read again once "
                "'vornix data upload' completes" % who)
    if JOURNAL_FILE in names:
        return ("it holds the journal %s of a write step stopped part-way in the store it was copied "
                "from; finish the step there ('vornix data repair') and upload that store again" % JOURNAL_FILE)
    return None


def refuse_interrupted(path):
    """Raise a StoreError when the store at `path` holds a write step that was
    stopped part-way (a journal left by a writer that is gone): it is not read until
    the step is finished.  Costs one stat when there is no journal (a store at a
    URL: one listing of its top folder, see `_remote_unfinished`)."""
    files = files_of(path)
    if files.remote:
        problem = _remote_unfinished(files)
        if problem:
            raise StoreError("the bar store %s is not read: %s" % (files.root, problem))
        return
    path = files.root
    journal = _leftover_journal(path)
    if journal is None:
        return
    states = _journal_states(path, journal)
    new = sum(1 for s in states if s.state == "new")
    raise StoreError(
        "the bar store %s was left half-written: the %s started %s (pid %s) was stopped after %d of its "
        "%d files were switched in (journal %s; 'vornix data info --check' lists them). It is not read "
        "until the step is finished: %s"
        % (path, _step_name(journal), journal.get("time", "?"), journal.get("pid", "?"), new, len(states),
           JOURNAL_FILE, _repair_hint(path, journal))
    )


def _entries(path):
    """(folder relative to the store, name) of every entry of the store's data folders."""
    files = files_of(path)
    for sub in _store_dirs(path):
        for name in files.listdir(os.path.join(files.root, sub)):
            yield sub, name


def _temp_files(path):
    return sorted(os.path.join(path, sub, n) for sub, n in _entries(path) if n.startswith(_TEMP_PREFIX))


def _bump_generation(path):
    info = read_generation_file(path)
    # a store made before stores had an id gets one with its first write
    counter, store_id = info.counter + 1, info.store_id or uuid.uuid4().hex
    _write_generation(path, counter, store_id)
    return counter, store_id


def _finish_interrupted(path):
    """Finish the step a journal names (the caller holds the lock) and remove the
    temporary files of steps stopped before their journal; a message, or None."""
    journal = _read_journal(path)
    if journal is None:
        for tmp in _temp_files(path):
            _remove_quietly(tmp)
        return None
    states = _journal_states(path, journal)
    lost = [s.path for s in states if s.state != "new" and not s.staged_ok]
    if lost:
        raise StoreError(
            "the interrupted %s cannot be finished in the bar store %s: the new content of %s is gone "
            "(its temporary file is missing or changed). Write those files again (run the %s again "
            "after deleting %s) or restore the store from a copy"
            % (_step_name(journal), path, _name_list(lost), _step_name(journal),
               os.path.join(path, JOURNAL_FILE))
        )
    todo = [f for f, s in zip(journal["files"], states) if s.state != "new"]
    for f in todo:
        os.replace(_inside(path, f["staged"]), _inside(path, f["path"]))
    _sync_dirs(os.path.dirname(_inside(path, f["path"])) for f in journal["files"])
    _record_files(path, _manifest_for_write(path),
                  [os.path.relpath(_inside(path, f["path"]), path) for f in journal["files"]])
    _bump_generation(path)
    os.remove(os.path.join(path, JOURNAL_FILE))
    for tmp in _temp_files(path):
        _remove_quietly(tmp)
    return "finished the interrupted %s (started %s): %d of its %d files switched in now" % (
        _step_name(journal), journal.get("time", "?"), len(todo), len(states))


def _rehash(path):
    """Record every file of the store as it is now (the caller holds the lock); a message."""
    old = read_manifest(files_of(path), path)
    entries = {}
    rels = _store_files(path)
    _record_files(path, entries, rels)
    counter, _ = _bump_generation(path)
    if old is None:
        return "bar store %s: recorded its %d file(s) in a new manifest (generation %d)" % (
            path, len(rels), counter)
    changed = sorted(k for k, v in entries.items() if old.entries(k) != v)
    gone = sorted(set(old.files) - set(entries))
    return ("bar store %s: recorded its %d file(s) as they are (generation %d); changed since the last "
            "write step: %s; gone: %s" % (path, len(rels), counter, _name_list(changed), _name_list(gone)))


def repair_store(path, rehash=False):
    """Finish a write step that was stopped part-way (`vornix data repair`); a message.
    With `rehash`, then record the store's files as they are in its manifest, which
    accepts changes made to them outside a write step."""
    path = local_place(path, "repair")
    if not os.path.isdir(path):
        raise StoreError("no bar store at %s" % path)
    with write_lock(path):
        temps = len(_temp_files(path))
        done = _finish_interrupted(path)
        if rehash:
            text = _rehash(path)
            return "%s; %s" % ("bar store %s: %s" % (path, done), text) if done else text
    if done:
        return "bar store %s: %s" % (path, done)
    if temps:
        return ("bar store %s: no interrupted step to finish; removed %d temporary file(s) of writes "
                "stopped before they changed anything" % (path, temps))
    return "bar store %s: nothing to repair" % path


CHECK_SHOWN = 20  # problems listed per file by `check_store`


def store_file_kind(sub, name):
    """The schema name of the store file `name` in the store folder `sub` (None for
    a file that is no store file)."""
    if sub == "ticks":
        return "ticks"
    if sub == "factors":
        return "factor"
    folder, base = os.path.split(sub)
    if folder == "bars" and (base == "1d" or _is_base_folder(base)):
        return "bars"
    if not sub:
        table = name[: -len(".parquet")]
        return table if table in _SCHEMAS and table not in ("bars", "ticks", "factor") else None
    return None


def _schema_problems(kind, table):
    """(None, message) for each column of the store's schema that a file lacks or
    holds with another type: the store writes exactly its schema."""
    schema = _SCHEMAS.get(kind)
    if schema is None:
        return []
    problems = []
    for f in schema:
        if f.name not in table.column_names:
            problems.append((None, "column %s is missing" % f.name))
        elif table.schema.field(f.name).type != f.type:
            problems.append((None, "column %s holds %s, the store writes %s"
                             % (f.name, table.schema.field(f.name).type, f.type)))
    return problems


def _against_manifest(manifest, rel, size, digest):
    """What is wrong with the store file `rel` of `size` bytes and SHA-256 `digest`
    by `manifest`, or None."""
    entries = manifest.entries(rel)
    if entries is None:
        return "%s (not in the manifest)" % rel
    if any(e["size"] == size and e["sha256"] == digest for e in entries):
        return None
    return "%s (%d bytes, SHA-256 %s...; the manifest records %d bytes, %s...)" % (
        rel, size, digest[:12], entries[0]["size"], entries[0]["sha256"][:12])


class _Hashing:
    """A file read through, its bytes counted and hashed (SHA-256) on the way."""

    def __init__(self, fh):
        self.fh, self.sha256, self.size = fh, hashlib.sha256(), 0

    def read(self, count=-1):
        data = self.fh.read(count)
        self.sha256.update(data)
        self.size += len(data)
        return data


def check_store(path, rules=None):
    """(ok, lines) of `vornix data info --check`: an interrupted write step (which of
    its files hold their new content and which their old), a damaged generation
    file, store files that cannot be decoded to the last page (or whose pages do
    not match their checksums) and columns that are not the store's are problems.
    `rules(kind, table, rel)`, when given, gives the (row, message) problems of the
    contents of the store file `rel` (kind: its schema name) and the number of rows
    with any.  A store at a URL is checked for an
    unfinished upload instead of a write step."""
    files = files_of(path)
    path = files.root
    if not files.isdir(path):
        raise StoreError("no bar store at %s" % path)
    lines, ok = ["store: %s" % path], True
    try:
        info = read_generation_file(path)
        lines.append("generation: %d (id %s)" % (info.counter, info.store_id or "none yet"))
    except StoreError as exc:
        lines.append("PROBLEM: %s" % exc)
        ok = False
    if files.remote:
        problem = _remote_unfinished(files)
        if problem:
            lines.append("PROBLEM: %s" % problem)
            ok = False
    elif os.path.lexists(os.path.join(path, JOURNAL_FILE)):
        try:
            live, journal = _writer_active(path, lambda: _read_journal(path))
        except StoreError as exc:
            live, journal = False, None
            lines.append("PROBLEM: %s" % exc)
            ok = False
        if live:
            lines.append("a write step is switching its files in right now (pid %s)"
                         % (_lock_holder_of(path) or "?"))
        elif journal is not None:
            ok = False
            states = _journal_states(path, journal)
            lines.append(
                "PROBLEM: interrupted write: the %s started %s (pid %s) was stopped part-way (journal %s)"
                % (_step_name(journal), journal.get("time", "?"), journal.get("pid", "?"), JOURNAL_FILE))
            for label, state in (("new content", "new"), ("old content", "old"),
                                 ("neither old nor new content", "changed")):
                names = [s.path for s in states if s.state == state]
                if names:
                    lines.append("  %d file(s) hold their %s: %s" % (len(names), label, ", ".join(names)))
            waiting = [s.path for s in states if s.state != "new" and not s.staged_ok]
            if waiting:
                lines.append("  the new content of %s is gone: 'vornix data repair' cannot finish it"
                             % ", ".join(waiting))
            lines.append("  fix: %s" % _repair_hint(path, journal))
    elif not files.remote and _temp_files(path):
        lines.append("%d temporary file(s) of writes stopped before they changed anything (the next "
                     "write or 'vornix data repair' removes them)" % len(_temp_files(path)))
    manifest, counter = None, None
    with contextlib.suppress(StoreError):  # a damaged generation file is reported above
        counter = read_generation_file(path).counter
    try:
        manifest = read_manifest(files, path)
        if manifest is None and counter:
            lines.append("PROBLEM: %s" % no_manifest_error(path, files.remote))
            ok = False
    except StoreError as exc:
        lines.append("PROBLEM: %s" % exc)
        ok = False
    listed = set() if manifest is None else set(manifest.files)
    damaged, bad_files, changed = [], 0, []
    for sub, name in sorted(_entries(path)):
        if name.startswith(".") or not name.endswith(".parquet"):
            continue
        rel = os.path.join(sub, name)
        try:
            data = files.read_bytes(os.path.join(path, rel))
        except (pa.ArrowException, OSError) as exc:
            damaged.append("%s (%s)" % (rel, shown_text(exc)))
            continue
        if manifest is not None:
            listed.discard(rel.replace(os.sep, "/"))
            problem = _against_manifest(manifest, rel, len(data), hashlib.sha256(data).hexdigest())
            if problem:
                changed.append(problem)
        try:  # every page decoded, and checked against its checksum where it has one
            table = pq.read_table(pa.BufferReader(data), page_checksum_verification=True)
        except (pa.ArrowException, OSError) as exc:
            damaged.append("%s (%s)" % (rel, shown_text(exc)))
            continue
        finally:
            data = None
        kind = store_file_kind(sub, name)
        problems = _schema_problems(kind, table)
        if problems:
            lines.append("PROBLEM: %s: its columns are not the store's" % rel)
        elif rules is not None and kind is not None:
            problems, rows = rules(kind, table, rel)
            if problems:
                lines.append("PROBLEM: %s: %d row(s) break the import's rules" % (rel, rows))
        if problems:
            bad_files += 1
            lines += ["  %s%s" % ("" if row is None else "row %d: " % row, message)
                      for row, message in problems[:CHECK_SHOWN]]
            if len(problems) > CHECK_SHOWN:
                lines.append("  ... and more in %s" % rel)
    if damaged:
        ok = False
        lines.append("PROBLEM: %d store file(s) cannot be read: %s" % (len(damaged), "; ".join(damaged)))
    changed += ["%s (listed in the manifest, missing)" % rel for rel in sorted(listed)]
    if changed:
        ok = False
        lines.append("PROBLEM: %d store file(s) changed outside a write step: %s. Runs refuse them; if "
                     "the change was intended, record them with %s"
                     % (len(changed), "; ".join(changed),
                        "'vornix data repair --rehash' on the store it was uploaded from, then upload "
                        "it again" if files.remote else "'vornix data repair --rehash --store %s'" % path))
    if bad_files:
        ok = False
    if ok:
        lines.append("no problems found")
    return ok, lines


def _lock_holder_of(path):
    try:
        fd = os.open(os.path.join(path, LOCK_FILE), os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return ""
    try:
        return _lock_holder(fd)
    finally:
        os.close(fd)


def _unreadable(path, exc):
    """The error of a store file that cannot be read: a file that is not Parquet is
    damaged; an input/output error (a broken footer, a permission, the network of a
    store at a URL) may be either."""
    what = "is damaged or cannot be read" if isinstance(exc, OSError) else "is damaged"
    return StoreError("store file %s %s: %s" % (path, what, exc))


class BarStore:
    """A bar store directory.  Reading needs an existing directory unless `create`;
    then the directory is made by the first write (with the store's id), so that a
    store to which nothing was written leaves nothing behind.

    Every write belongs to a step (see `writing`): its files are written beside the
    ones they replace and switched in together at the end of the step; until then
    this object reads the new content (the rest of the world the old)."""

    def __init__(self, path, create=False):
        self._files = files_of(path)
        self.path = self._files.root
        self.remote = self._files.remote
        if create and self.remote:
            local_place(path, "create or write a store")
        if not create and not self._files.isdir(self.path):
            raise StoreError(
                "no bar store at %s; create one with 'vornix data sample' or "
                "'vornix data import'" % self.path
            )
        info = read_generation_file(self.path)
        self.generation, self.store_id = info.counter, info.store_id
        self._tables = {}
        self._manifest = None
        self._manifest_seen = None  # (inode, mtime, size) of a local manifest when it was read
        self._batch = 0
        self._staged = {}  # store file -> temporary file with its new content (in a step)
        self._step = None  # what the step being written is (kind, source)

    # ------------------------------------------------------------------ paths
    def _table_path(self, name):
        return os.path.join(self.path, name + ".parquet")

    def bar_path(self, target, frequency):
        _check_target_name(target)
        try:
            sub = FREQ_DIRS[frequency]
        except KeyError:
            raise ValueError(
                "the store holds 'min' and 'day' bars only, not frequency %r" % (frequency,)
            ) from None
        return os.path.join(self.path, "bars", sub, target + ".parquet")

    def tick_path(self, target):
        _check_target_name(target)
        return os.path.join(self.path, "ticks", target + ".parquet")

    def factor_path(self, name):
        _check_target_name(name)
        return os.path.join(self.path, "factors", name + ".parquet")

    # --------------------------------------------------------------- reading
    def _source(self, path):
        """Where the content of a store file is: its new content while a step writes it."""
        return self._staged.get(path, path)

    def manifest(self, again=False):
        """The store's Manifest (read once, and again when a local one changed;
        `again`: read it anew).  A store that was written but has none is refused,
        except by a write step, which gives it one."""
        if not self.remote and self._manifest is not None:
            try:
                st = os.stat(os.path.join(self.path, MANIFEST_FILE))
                seen = (st.st_ino, st.st_mtime_ns, st.st_size)
            except OSError:
                seen = None
            again = again or seen != self._manifest_seen
        if self._manifest is None or again:
            if not self.remote:
                with contextlib.suppress(OSError):
                    st = os.stat(os.path.join(self.path, MANIFEST_FILE))
                    self._manifest_seen = (st.st_ino, st.st_mtime_ns, st.st_size)
            manifest = read_manifest(self._files, self.path)
            if manifest is None and self._batch and not self.remote:
                # a write step (under the lock) on a store written before stores had a
                # manifest: its files as they are, which the step's manifest records
                manifest = Manifest(_manifest_for_write(self.path))
            elif manifest is None:
                if self.generation or self._files.exists(os.path.join(self.path, GENERATION_FILE)):
                    raise no_manifest_error(self.path, self.remote)
                manifest = Manifest({})
            self._manifest = manifest
        return self._manifest

    def manifest_digest(self):
        return self.manifest().digest()

    def _checked(self, path, metadata_only=False, times=None):
        """A store file read and checked against the manifest (see _manifest); a
        mismatch is looked at again with the manifest as it is now, since a writer
        may have switched the file in since it was read.  `times`: see read_bars."""
        if path in self._staged:  # the new content of this object's own step
            source = self._staged[path]
            return pq.read_metadata(source) if metadata_only else pq.read_table(source)
        rel = os.path.relpath(path, self.path) if not self.remote else path[len(self.path) + 1:]
        mode = verify_mode(self.remote)
        try:
            return read_checked(self._files, self.path, rel, self.manifest(), mode, metadata_only,
                                times)
        except StoreError:
            return read_checked(self._files, self.path, rel, self.manifest(again=True), mode,
                                metadata_only, times)

    def _read(self, path, schema_name, missing_ok, times=None):
        try:
            table = self._checked(path, times=times)
        except FileNotFoundError:
            if missing_ok:
                return None
            raise StoreError("store file %s is missing" % path) from None
        except (pa.ArrowException, OSError) as exc:
            raise _unreadable(path, exc) from exc
        schema = _SCHEMAS[schema_name]
        optional = _OPTIONAL.get(schema_name, {})
        for name, value in optional.items():
            if name not in table.column_names:
                field = schema.field(name)
                table = table.append_column(field, pa.array([value] * table.num_rows, field.type))
        missing = [f.name for f in schema if f.name not in table.column_names]
        if missing:
            raise StoreError(
                "store file %s is damaged: columns %s are missing" % (path, ", ".join(missing))
            )
        try:
            return table.select(schema.names).cast(schema)
        except (pa.ArrowException, ValueError) as exc:
            raise StoreError("store file %s has columns of the wrong type: %s" % (path, exc)) from exc

    def _table(self, name):
        """A small table as a pandas frame, read once per store object (empty if absent)."""
        if name not in self._tables:
            table = self._read(self._table_path(name), name, missing_ok=True)
            if table is None:
                table = _SCHEMAS[name].empty_table()
            self._tables[name] = table.to_pandas()
        return self._tables[name]

    def instruments(self):
        return self._table("instruments")

    def trading_days(self):
        if "_days" not in self._tables:
            days = self._table("calendar")["date"].to_numpy(dtype=np.int64)
            self._tables["_days"] = np.unique(days)
        return self._tables["_days"]

    def sessions(self):
        return self._table("sessions")

    def adjust_factors(self):
        return self._table("adjust")

    def main_contracts(self):
        return self._table("main_contracts")

    def corporate_actions(self):
        return self._table("actions")

    def read_bars(self, target, frequency, times=None):
        """Bars of a target as a dict of float64 arrays, or None if none are stored.
        With `times` (first, last time-line value), at least the bars between them:
        the row groups of the file that hold them (a file written in one row group is
        read whole)."""
        table = self._read(self.bar_path(target, frequency), "bars", missing_ok=True,
                           times=times)
        if table is None:
            return None
        return {c: table.column(c).to_numpy() for c in BAR_COLUMNS}

    def bar_count(self, target, frequency):
        path = self.bar_path(target, frequency)
        try:
            return self._checked(path, metadata_only=True).num_rows
        except FileNotFoundError:
            return 0
        except (pa.ArrowException, OSError) as exc:
            raise _unreadable(path, exc) from exc

    def read_ticks(self, target):
        table = self._read(self.tick_path(target), "ticks", missing_ok=True)
        if table is None:
            return None
        return {c: table.column(c).to_numpy() for c in TICK_COLUMNS}

    def factor_names(self):
        directory = os.path.join(self.path, "factors")
        return sorted(
            f[: -len(".parquet")]
            for f in self._files.listdir(directory)
            if f.endswith(".parquet") and not f.startswith(".")
        )

    def read_factor(self, name):
        """Values of a factor as a pandas frame (date, target, value), or None."""
        table = self._read(self.factor_path(name), "factor", missing_ok=True)
        return None if table is None else table.to_pandas()

    # --------------------------------------------------------------- writing
    def _bump(self):
        self.generation, self.store_id = _bump_generation(self.path)
        self._tables.clear()
        self._manifest = None

    @contextlib.contextmanager
    def writing(self, kind=None, source=None):
        """Context manager: one write step, under the store's write lock.

        The lock (see `write_lock`) is held for the whole step, so that what the
        step reads from the store and merges is not changed by another writer in
        between; steps nest (the outermost one is the step).  Entering the outermost
        step of the process finishes a step an earlier writer left half-done and
        reads the store again.  On leaving, the files written in the step are
        switched in together and the generation moves on once; an exception leaves
        the store as it was.  `kind` and `source` name the step in the journal
        (such as "import bars-1m" and the file imported)."""
        with write_lock(self.path) as outermost:
            if not self._batch:
                if outermost:
                    # a damaged generation file refuses every write before it touches the data
                    read_generation_file(self.path)
                    done = _finish_interrupted(self.path)
                    if done:
                        from vornix.tframe.utils.logger import write_syslog

                        write_syslog("bar store %s: %s" % (self.path, done))
                info = read_generation_file(self.path)
                self.generation, self.store_id = info.counter, info.store_id
                self._tables.clear()
                self._step = {"kind": kind or "write", "source": source}
            self._batch += 1
            try:
                yield self
            except BaseException:
                self._batch -= 1
                if not self._batch:
                    self._discard()
                raise
            self._batch -= 1
            if not self._batch:
                self._commit()

    def batch(self):
        """Context manager: several writes, one step (see `writing`)."""
        return self.writing()

    def _discard(self):
        staged, self._staged = self._staged, {}
        for tmp in staged.values():
            _remove_quietly(tmp)
        self._tables.clear()

    def _stage(self, path, table):
        """Write the new content of a store file beside it (inside a step)."""
        try:
            tmp = _stage_table(path, table)
        except OSError as exc:
            raise StoreError("cannot write %s: %s; the store is left as it was" % (path, exc)) from exc
        old = self._staged.pop(path, None)
        if old:
            _remove_quietly(old)
        self._staged[path] = tmp
        self._tables.clear()

    def _commit(self):
        """Switch the files of the step in: journal, renames, generation, no journal."""
        staged, self._staged = self._staged, {}
        self._tables.clear()
        if not staged:
            return
        paths = sorted(staged)

        def rel(p):
            return os.path.relpath(p, self.path)

        journal_path = os.path.join(self.path, JOURNAL_FILE)
        try:
            new = {p: file_digests(staged[p]) for p in paths}
            journal = dict(self._step or {"kind": "write", "source": None}, format=_JOURNAL_FORMAT,
                           time=_now(), pid=os.getpid(), files=[
                               {"path": rel(p), "staged": rel(staged[p]), "old": _file_stamp(p),
                                "new": _file_stamp(staged[p], new[p])} for p in paths])
            # while the files are switched in, readers accept the old or the new content
            entries = _manifest_for_write(self.path)
            switching = dict(entries)
            for p in paths:
                key = rel(p).replace(os.sep, "/")
                switching[key] = [entry_of(new[p])] + entries.get(key, [])
            _sync_dirs(os.path.dirname(p) for p in paths)
            _write_journal(self.path, journal)
        except BaseException:
            if not os.path.lexists(journal_path):  # nothing was decided: nothing changes
                for tmp in staged.values():
                    _remove_quietly(tmp)
            raise
        done = 0
        try:
            write_manifest(self.path, switching)
            for p in paths:
                os.replace(staged[p], p)
                done += 1
            _sync_dirs(os.path.dirname(p) for p in paths)
            for p in paths:
                entries[rel(p).replace(os.sep, "/")] = [entry_of(new[p])]
            write_manifest(self.path, entries)
            self._bump()
            os.remove(journal_path)
        except OSError as exc:
            names = [rel(p) for p in paths]
            raise StoreError(
                "the store %s was written in part: %d of the %d files of this step hold their new data "
                "(%s), the others (%s) their old; switching them in failed (%s). The journal %s names the "
                "step: run 'vornix data repair --store %s' to finish it"
                % (self.path, done, len(paths), _name_list(names[:done]), _name_list(names[done:]), exc,
                   JOURNAL_FILE, self.path)
            ) from exc

    @staticmethod
    def _build(path, schema_name, columns):
        schema = _SCHEMAS[schema_name]
        optional = _OPTIONAL.get(schema_name, {})
        try:
            n = len(next(iter(columns.values()))) if columns else 0
            return pa.table({f.name: columns[f.name] if f.name in columns or f.name not in optional
                             else [optional[f.name]] * n for f in schema}, schema=schema)
        except (KeyError, pa.ArrowException, TypeError, ValueError) as exc:
            raise StoreError("cannot build the data of %s: %s" % (path, exc)) from exc

    def _write(self, path, schema_name, columns):
        table = self._build(path, schema_name, columns)
        with self.batch():
            self._stage(path, table)

    def write_files(self, items):
        """Write several files in one step (see `writing`).

        `items` are (path, schema name, make); make() returns the file's columns,
        typically the stored file merged with new rows.  Files are made and written
        in path order beside the ones they replace, one at a time; a stored file
        that cannot be read or a failed write stops the step with the store as it
        was.
        """
        with self.batch():
            for path, schema_name, make in sorted(items, key=lambda item: item[0]):
                self._stage(path, self._build(path, schema_name, make()))

    def write_table(self, name, frame):
        """Replace a small table (instruments, calendar, sessions, adjust, main_contracts,
        actions)."""
        self._write(self._table_path(name), name, {c: frame[c] for c in frame})

    def write_bars(self, target, frequency, columns):
        self._write(self.bar_path(target, frequency), "bars", columns)

    def write_ticks(self, target, columns):
        self._write(self.tick_path(target), "ticks", columns)

    def write_factor(self, name, frame):
        self._write(self.factor_path(name), "factor", {c: frame[c] for c in frame})


# ------------------------------------------------------------------ upload

def _store_files(path):
    """Paths (relative to the store) of the data files of the local store at `path`."""
    return sorted(os.path.join(sub, n) for sub, n in _entries(path)
                  if n.endswith(".parquet") and not n.startswith(".") and os.path.isfile(os.path.join(path, sub, n)))


def _is_store_folder(rel):
    """Whether `rel` (relative to a store) is one of the folders `_store_dirs` names."""
    folder, name = os.path.split(rel)
    return rel in _STORE_DIRS or (folder == "bars" and _is_base_folder(name))


def upload_store(path, url, progress=False):
    """Copy the local store at `path` to the URL `url` (`vornix data upload`); a message.

    The URL ends as a copy of the store: its files, then GENERATION (so the copy
    keeps the store's id and generation, and the matrix-cache entries built from
    either serve both), and store files at the URL that the store lacks are
    removed.  A mark at the URL, put first and removed last, makes readers refuse
    the copy while it is written; a stopped upload is finished by running it
    again.  The local store stays under its write lock meanwhile, so it does not
    change while it is copied."""
    import shutil
    import socket

    from tqdm import tqdm

    source = files_of(path)
    if source.remote:
        raise StoreError("an upload copies a local store to a URL; %s is a URL itself" % source.root)
    dest = files_of(url)
    if not dest.remote:
        raise StoreError(
            "an upload copies a store to a URL (such as s3://bucket/prefix); %s is a local folder: "
            "copy the store's folder instead" % dest.root
        )
    path = source.root
    if not os.path.isdir(path):
        raise StoreError("no bar store at %s" % path)
    with write_lock(path):
        # under the lock a journal can only be one left by a writer that is gone
        journal = _read_journal(path)
        if journal is not None:
            raise StoreError(
                "the bar store %s holds a write step that was stopped part-way (the %s); it is not "
                "uploaded until the step is finished: %s" % (path, _step_name(journal), _repair_hint(path, journal))
            )
        info = read_generation_file(path)
        if not info.counter:
            raise StoreError("the bar store %s holds nothing yet: there is nothing to upload" % path)
        if not os.path.exists(os.path.join(path, MANIFEST_FILE)):
            raise no_manifest_error(path, False)
        names = _store_files(path)
        manifest = read_manifest(source, path)
        fs = dest.fs

        def key(rel):
            return dest.key(os.path.join(dest.root, rel))

        def put(rel, data):
            with fs.open_output_stream(key(rel)) as out:
                out.write(data)

        try:
            there = [f for f in fs.get_file_info(pafs.FileSelector(dest.base, recursive=True, allow_not_found=True))
                     if f.type == pafs.FileType.File]
            top = {os.path.relpath(f.path, dest.base) for f in there}
            if there and GENERATION_FILE not in top and UPLOAD_MARK not in top:
                raise StoreError(
                    "%s holds %d file(s) but no bar store (no %s): upload to an empty place or to an earlier "
                    "upload, nothing there is replaced" % (dest.root, len(there), GENERATION_FILE))
            fs.create_dir(dest.base, recursive=True)
            put(UPLOAD_MARK, json.dumps({"source": path, "pid": os.getpid(), "host": socket.gethostname(),
                                         "time": _now(), "generation": info.counter}).encode("utf-8"))
            made, size = set(), 0
            for rel in tqdm(names, desc="upload", unit="file", disable=not progress or len(names) < 20):
                folder = os.path.dirname(rel)
                if folder not in made:
                    fs.create_dir(key(folder) if folder else dest.base, recursive=True)
                    made.add(folder)
                with open(os.path.join(path, rel), "rb") as fh, fs.open_output_stream(key(rel)) as out:
                    src = _Hashing(fh)
                    shutil.copyfileobj(src, out, 1 << 22)
                    size += src.size
                # a file changed outside a write step is not spread: the copy stays refused
                problem = _against_manifest(manifest, rel, src.size, src.sha256.hexdigest())
                if problem:
                    raise StoreError(
                        "store file %s does not match the store's manifest: it was changed outside "
                        "a write step. The copy at %s is refused until an upload finishes: record "
                        "the change, if it was intended, with 'vornix data repair --rehash --store %s' "
                        "and upload again" % (problem, dest.root, path))
            # the store's files that the URL holds and the store no longer does (only in
            # the store's own folders: whatever else shares the place stays)
            keep = {key(rel) for rel in names}
            stale = [
                f.path for f in there
                if f.path not in keep and _is_store_folder(os.path.dirname(os.path.relpath(f.path, dest.base)))
                and (f.base_name.endswith(".parquet") or f.base_name == JOURNAL_FILE
                     or f.base_name.startswith(_TEMP_PREFIX))
            ]
            for stale_key in stale:
                fs.delete_file(stale_key)
            with open(os.path.join(path, MANIFEST_FILE), "rb") as fh:
                put(MANIFEST_FILE, fh.read())
            with open(os.path.join(path, GENERATION_FILE), "rb") as fh:
                put(GENERATION_FILE, fh.read())
            fs.delete_file(key(UPLOAD_MARK))
        except (OSError, pa.ArrowException) as exc:
            raise StoreError(
                "the upload of the bar store %s to %s stopped: %s. Readers refuse the URL until an "
                "upload finishes: run it again" % (path, dest.root, exc)
            ) from exc
    return ("uploaded the bar store %s (generation %d, id %s) to %s: %d file(s), %.1f MB; removed %d file(s) "
            "it no longer holds" % (path, info.counter, info.store_id, dest.root, len(names) + 1, size / 1e6,
                                    len(stale)))
