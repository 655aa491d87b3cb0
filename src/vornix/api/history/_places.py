"""Where a bar store is: a local folder, or a URL that pyarrow's file systems open.

A store at a URL (``s3://bucket/prefix``, ``gs://bucket/prefix``, ``hdfs://...``,
``file:///...``) is read through pyarrow and is read-only: runs and sweeps on a
cluster read it, and it is filled from a local store by ``vornix data upload``.
Credentials and endpoints come the way of each file system: for S3 the AWS_*
variables and files, or the URL's query (``?endpoint_override=host:9000&scheme=http``).
Messages name a URL without its user part and query, which may hold secrets.

Both kinds of place answer the same few questions (`Files`): paths inside a store
are built with ``os.path.join`` on the store's shown root either way and mapped
to the file system's own paths here.
"""

import os
import re
import threading
from urllib.parse import urlsplit

import pyarrow as pa
from pyarrow import fs as pafs

from vornix.tframe.utils.exceptions import StoreError

_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.\-]*://")


def is_url(path):
    return isinstance(path, str) and _URL.match(path) is not None


def normal_place(path):
    """A store's place in normal form: a URL as given, without a trailing '/' on its
    path, or an absolute local folder."""
    text = os.fspath(path) if isinstance(path, os.PathLike) else str(path)
    if is_url(text):
        head, sep, query = text.partition("?")
        stripped = head.rstrip("/")
        if stripped.endswith(":"):  # nothing but the scheme and '/'s
            stripped = head
        return stripped + sep + query
    return os.path.abspath(os.path.expanduser(text))


def shown_url(url):
    """A URL as messages show it: scheme, host and path, no user part or query."""
    parts = urlsplit(url)
    host = parts.hostname or ""
    if parts.port:
        host += ":%d" % parts.port
    return "%s://%s%s" % (parts.scheme, host, parts.path.rstrip("/"))


class LocalFiles:
    """A store in a local folder."""

    remote = False

    def __init__(self, root):
        self.root = root

    def exists(self, path):
        return os.path.exists(path)

    def isdir(self, path):
        return os.path.isdir(path)

    def listdir(self, path):
        """Names in a folder; none for a missing folder."""
        try:
            return os.listdir(path)
        except (FileNotFoundError, NotADirectoryError):
            return []

    def read_head(self, path, limit):
        """Up to `limit` bytes of a file; FileNotFoundError for none."""
        with open(path, "rb") as fh:
            return fh.read(limit)

    def read_bytes(self, path):
        """A whole file as a pyarrow Buffer; FileNotFoundError for none."""
        with pa.OSFile(path) as fh:
            return fh.read_buffer()

    def open_random(self, path):
        """A file open for reading at any offset (pyarrow's size(), read_at(n, at));
        FileNotFoundError for none."""
        return pa.OSFile(path)


class RemoteFiles:
    """A store at a URL, read through a pyarrow file system (read-only)."""

    remote = True

    def __init__(self, url):
        try:
            self.fs, base = pafs.FileSystem.from_uri(url)
        except (pa.ArrowException, OSError, ValueError) as exc:
            raise StoreError("the bar store URL %s cannot be opened: %s" % (shown_url(url), exc)) from None
        self.root = shown_url(url)
        self.base = base.rstrip("/") or base

    def key(self, path):
        """The file system's path of a path under the shown root."""
        if path == self.root:
            return self.base
        if not path.startswith(self.root + "/"):
            raise StoreError("%s is not inside the bar store %s" % (path, self.root))
        return self.base.rstrip("/") + "/" + path[len(self.root) + 1:]

    def _info(self, path):
        try:
            return self.fs.get_file_info(self.key(path))
        except OSError as exc:
            raise StoreError("the bar store %s cannot be read at %s: %s" % (self.root, path, exc)) from None

    def exists(self, path):
        return self._info(path).type != pafs.FileType.NotFound

    def isdir(self, path):
        return self._info(path).type == pafs.FileType.Directory

    def listdir(self, path):
        try:
            found = self.fs.get_file_info(pafs.FileSelector(self.key(path), allow_not_found=True))
        except OSError as exc:  # a file, not a folder, or the service refused
            if self._info(path).type == pafs.FileType.File:
                return []
            raise StoreError("the bar store %s cannot be listed at %s: %s" % (self.root, path, exc)) from None
        return [info.base_name for info in found]

    def read_head(self, path, limit):
        with self.fs.open_input_stream(self.key(path)) as fh:
            return fh.read(limit)

    def read_bytes(self, path):
        with self.fs.open_input_file(self.key(path)) as fh:
            return fh.read_buffer()

    def open_random(self, path):
        return self.fs.open_input_file(self.key(path))


_opened = {}
_opened_guard = threading.Lock()


def files_of(path):
    """The Files of the store at `path` (a folder, or a URL; a URL's shown form finds
    the file system the full URL opened before)."""
    place = normal_place(path)
    if not is_url(place):
        return LocalFiles(place)
    with _opened_guard:
        files = _opened.get(place)
    if files is None:
        files = RemoteFiles(place)
        with _opened_guard:
            files = _opened.setdefault(place, files)
            _opened.setdefault(files.root, files)
    return files
