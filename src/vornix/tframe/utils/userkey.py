"""The user's secret key.

The local trading core and its clients prove to each other that they hold it (see
`vornix.tframe.comm.protocol`), and matrix-cache entries are signed with it, so that
neither another process on the machine nor whoever can write the cache folder can
pass data off as the user's own.  The key is 32 random bytes, kept as hex text in
~/.vornix/core.key, made on first use with mode 0600; the setting VX_CORE_KEY_FILE
names another file (for a core started under another home, or a shared key).
"""

import os
import secrets

from vornix.setting import get_setting
from vornix.tframe.utils.exceptions import KeyFileError

KEY_SETTING = "VX_CORE_KEY_FILE"
KEY_BYTES = 32
_loaded = {}  # path -> (inode, mtime, size, key)


def key_path():
    """Path of the key file: the setting VX_CORE_KEY_FILE, else ~/.vornix/core.key."""
    path = get_setting(KEY_SETTING, "") or os.path.join(os.path.expanduser("~"), ".vornix", "core.key")
    return os.path.abspath(os.path.expanduser(str(path)))


def _create(path):
    """Make the key file at `path` unless another process made it first."""
    folder = os.path.dirname(path)
    os.makedirs(folder, mode=0o700, exist_ok=True)
    tmp = os.path.join(folder, ".tmp-key-%d-%s" % (os.getpid(), secrets.token_hex(4)))
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    try:
        try:
            os.write(fd, (secrets.token_hex(KEY_BYTES) + "\n").encode("ascii"))
            os.fsync(fd)
        finally:
            os.close(fd)
        try:
            os.link(tmp, path)  # whole or not at all; the first of two makers wins
        except FileExistsError:
            pass
    finally:
        os.remove(tmp)


def user_key(create=True):
    """The key as bytes, made first when there is none (with `create`).

    KeyFileError when the file is not the user's own, can be read or written by
    other users, or does not hold a key."""
    path = key_path()
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | getattr(os, "O_NOFOLLOW", 0))
    except FileNotFoundError:
        if not create:
            raise KeyFileError("there is no key file %s (setting %s)" % (path, KEY_SETTING)) from None
        try:
            _create(path)
        except OSError as exc:
            raise KeyFileError("cannot make the key file %s: %s" % (path, exc)) from exc
        return user_key(create=False)
    except OSError as exc:
        raise KeyFileError("cannot read the key file %s: %s" % (path, exc)) from exc
    try:
        st = os.fstat(fd)
        if st.st_uid != os.geteuid():
            raise KeyFileError("the key file %s belongs to another user (uid %d): remove it, or name "
                               "your own with the setting %s" % (path, st.st_uid, KEY_SETTING))
        if st.st_mode & 0o077:
            raise KeyFileError("the key file %s can be used by other users (mode %04o): make it private "
                               "with 'chmod 600 %s'" % (path, st.st_mode & 0o7777, path))
        seen = _loaded.get(path)
        if seen is not None and seen[:3] == (st.st_ino, st.st_mtime_ns, st.st_size):
            return seen[3]
        raw = os.read(fd, 4 * KEY_BYTES + 16)
    finally:
        os.close(fd)
    try:
        key = bytes.fromhex(raw.decode("ascii").strip())
    except (UnicodeDecodeError, ValueError):
        key = b""
    if len(key) != KEY_BYTES:
        raise KeyFileError("the key file %s does not hold a key of %d hex bytes: remove it (a new one "
                           "is made on the next use) and restart the trading core" % (path, KEY_BYTES))
    _loaded[path] = (st.st_ino, st.st_mtime_ns, st.st_size, key)
    return key
