"""The manifest of a bar store: what each of its files holds.

MANIFEST.json, at the top of a store, lists every data file (path relative to the
store) with its size, the SHA-256 of its bytes and the SHA-256 of its Parquet footer
(the footer holds the file's layout, the sizes and statistics of every column chunk
and page: any rewrite changes it).  Every write step writes it (`BarStore`, `vornix
data repair`, `vornix data upload` copies it), so a file changed outside a write
step no longer matches.  While a step switches its files in, the manifest lists
both the old and the new entry of each of them, so that readers, which never wait
for a writer, accept either.

Readers check every file they open: its size and footer digest, a few KiB read from
the end of the file (setting VX_STORE_VERIFY=stamp, the default: about 0.2% of a
fetch); or the SHA-256 of the whole file (VX_STORE_VERIFY=hash, and always for a
store at a URL, whose files are fetched whole anyway).  A change that keeps a
file's size and footer (bytes changed in place inside a page) passes the stamp;
`vornix data info --check` finds it (it hashes every file and verifies the
checksum of every page), as does the hash.  A file that does not match is refused, naming the file and how to accept
an intended change: `vornix data repair --rehash`.
"""

import hashlib
import json
import os
import struct

import pyarrow as pa
import pyarrow.parquet as pq

from vornix.setting import get_setting
from vornix.tframe.utils.exceptions import StoreError
from vornix.tframe.utils.utilfunc import atomic_path

MANIFEST_FILE = "MANIFEST.json"
VERIFY_SETTING = "VX_STORE_VERIFY"
_FORMAT = 1
_MAGIC = b"PAR1"
_MAX_FOOTER = 64 << 20


def verify_mode(remote):
    """"hash" or "stamp": how files are checked when they are opened."""
    mode = str(get_setting(VERIFY_SETTING, "stamp")).strip().lower()
    if mode not in ("stamp", "hash"):
        raise ValueError("setting %s must be 'stamp' or 'hash', got %r" % (VERIFY_SETTING, mode))
    return "hash" if remote else mode


def footer_digest(read_at, size):
    """SHA-256 (hex) of a Parquet file's footer and its last 8 bytes; "" when the
    file has no footer.  `read_at(count, offset)` reads from the file."""
    if size < 12:
        return ""
    tail = read_at(8, size - 8)
    if len(tail) != 8 or tail[4:] != _MAGIC:
        return ""
    (length,) = struct.unpack("<I", tail[:4])
    if length > min(size - 12, _MAX_FOOTER):
        return ""
    return hashlib.sha256(read_at(length, size - 8 - length) + tail).hexdigest()


def file_digests(path):
    """{"size", "sha1", "sha256", "footer"} of a local file in one reading, or None
    for no file (sha1 names contents in the write journal)."""
    sha1, sha256, size = hashlib.sha1(), hashlib.sha256(), 0
    try:
        with open(path, "rb") as fh:
            for chunk in iter(lambda: fh.read(1 << 20), b""):
                sha1.update(chunk)
                sha256.update(chunk)
                size += len(chunk)

            def read_at(count, offset):
                fh.seek(offset)
                return fh.read(count)

            footer = footer_digest(read_at, size)
    except FileNotFoundError:
        return None
    return {"size": size, "sha1": sha1.hexdigest(), "sha256": sha256.hexdigest(), "footer": footer}


def entry_of(digests):
    """The manifest entry of a file's digests."""
    return {"size": digests["size"], "sha256": digests["sha256"], "footer": digests["footer"]}


def _is_entry(value):
    return (isinstance(value, dict) and isinstance(value.get("size"), int)
            and isinstance(value.get("sha256"), str) and isinstance(value.get("footer"), str))


class Manifest:
    """The entries of a store's manifest: relative path -> accepted entries."""

    def __init__(self, files):
        self.files = files

    @classmethod
    def parse(cls, raw, where):
        try:
            data = json.loads(raw.decode("utf-8"))
            files = data["files"]
            if data.get("format") != _FORMAT or not isinstance(files, dict):
                raise ValueError("not a manifest of format %d" % _FORMAT)
            for rel, entries in files.items():
                if not isinstance(rel, str) or not isinstance(entries, list) or not entries or not all(
                        _is_entry(e) for e in entries):
                    raise ValueError("the entry of %r is malformed" % (rel,))
        except (UnicodeDecodeError, ValueError, KeyError, TypeError) as exc:
            raise StoreError("the store's manifest %s is damaged (%s); record the store's files again "
                             "with 'vornix data repair --rehash'" % (where, exc)) from None
        return cls(files)

    def digest(self):
        """SHA-256 of the entries: names the contents of the whole store."""
        text = json.dumps(self.files, sort_keys=True, separators=(",", ":"))
        return hashlib.sha256(text.encode("utf-8")).hexdigest()

    def entries(self, rel):
        return self.files.get(rel.replace(os.sep, "/"))


def read_manifest(files, root):
    """The Manifest of the store at `root` (through its Files), or None for none."""
    where = os.path.join(root, MANIFEST_FILE)
    try:
        raw = files.read_head(where, 1 << 30)
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise StoreError("the store's manifest %s cannot be read: %s" % (where, exc)) from None
    return Manifest.parse(raw, where)


def write_manifest(path, files):
    """Write the manifest of the local store at `path` durably and whole."""
    data = json.dumps({"format": _FORMAT, "files": {k.replace(os.sep, "/"): v for k, v in sorted(files.items())}},
                      separators=(",", ":"), sort_keys=True)
    with atomic_path(os.path.join(path, MANIFEST_FILE), ".json", mode=0o644,
                     durable=True) as tmp:
        with open(tmp, "w", encoding="utf-8") as fh:
            fh.write(data)



def mismatch_error(root, rel, why, remote):
    fix = ("'vornix data repair --rehash --store DIR' on the store it was uploaded from, then upload it "
           "again" if remote else "'vornix data repair --rehash --store %s'" % root)
    return StoreError(
        "store file %s %s: it was changed outside a write step (the store's manifest %s records "
        "every file a write step wrote). It is not read. If the change was intended, record the "
        "store's files as they are with %s" % (os.path.join(root, rel), why, MANIFEST_FILE, fix))


def no_manifest_error(root, remote):
    fix = ("run 'vornix data repair --rehash' on the store it was uploaded from and upload it again"
           if remote else "record its files with 'vornix data repair --rehash --store %s'" % root)
    return StoreError("the bar store %s has no manifest %s (it was written before stores had one, or "
                      "the manifest was removed), so its files cannot be checked: %s"
                      % (root, MANIFEST_FILE, fix))


def _why(entries, size, footer=None, sha256=None):
    """Why a file of `size` bytes (footer digest, SHA-256 where given) matches none of
    its manifest `entries`, or None when it matches one."""
    if any(e["size"] == size and footer in (None, e["footer"]) and sha256 in (None, e["sha256"])
           for e in entries):
        return None
    if all(e["size"] != size for e in entries):
        return "has %d bytes, the manifest records %d" % (size, entries[0]["size"])
    if footer is not None:
        return "has another Parquet footer than the manifest records"
    return "has another SHA-256 than the manifest records"


def _read_table(source, times):
    """The table of a Parquet file; with `times` (first, last), only its row groups
    whose "time" column may hold a value between them (all where the statistics
    are missing)."""
    if times is None:
        return pq.read_table(source)
    pf = pq.ParquetFile(source)
    meta = pf.metadata
    if meta.num_row_groups < 2 or "time" not in pf.schema_arrow.names:
        return pf.read()
    col = pf.schema_arrow.get_field_index("time")
    keep = []
    for g in range(meta.num_row_groups):
        st = meta.row_group(g).column(col).statistics
        if st is None or not st.has_min_max or (st.max >= times[0] and st.min <= times[1]):
            keep.append(g)
    return pf.read_row_groups(keep) if keep else pf.schema_arrow.empty_table()


def read_checked(files, root, rel, manifest, mode, metadata_only=False, times=None):
    """The Table (or with `metadata_only` the FileMetaData) of the store file `rel`,
    checked against `manifest` (see the module's text); FileNotFoundError for a file
    that neither exists nor is listed.  StoreError for a file that does not match;
    pyarrow and OS errors of a damaged file pass through."""
    path = os.path.join(root, rel)
    entries = manifest.entries(rel)
    try:
        if mode == "hash":
            data = files.read_bytes(path)
            if entries is None:
                raise mismatch_error(root, rel, "is not in the store's manifest", files.remote)
            why = _why(entries, len(data), sha256=hashlib.sha256(data).hexdigest())
            if why:
                raise mismatch_error(root, rel, why, files.remote)
            source = pa.BufferReader(data)
            return pq.read_metadata(source) if metadata_only else _read_table(source, times)
        with files.open_random(path) as fh:
            if entries is None:
                raise mismatch_error(root, rel, "is not in the store's manifest", files.remote)
            size = fh.size()
            why = _why(entries, size, footer=footer_digest(lambda n, at: fh.read_at(n, at), size))
            if why:
                raise mismatch_error(root, rel, why, files.remote)
            return pq.read_metadata(fh) if metadata_only else _read_table(fh, times)
    except FileNotFoundError:
        if entries is not None:
            raise mismatch_error(root, rel, "is missing", files.remote) from None
        raise
