"""Small utility classes: attribute dictionaries, the output directory tree and
the process-wide status collector."""

import os
import shutil
import threading

from vornix.setting import get_setting


class DotDict(dict):
    """A dictionary whose keys can also be read and written as attributes."""

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None


def default_output_root():
    return get_setting("VX_OUTPUT_DIR", os.path.join(os.path.expanduser("~"), ".vornix", "output"))


class OutputFileManager:
    """The run's output root (the core's cache directory once known) and its sub-directories."""

    _root = None
    _task_id = None

    @classmethod
    def init(cls, root):
        if not isinstance(root, str) or not root:
            raise ValueError("output root must be a non-empty path, got %r" % (root,))
        os.makedirs(root, exist_ok=True)
        cls._root = os.path.abspath(root)

    @classmethod
    def root(cls):
        if cls._root is None:
            cls.init(default_output_root())
        return cls._root

    @classmethod
    def set_task_id(cls, task_id):
        cls._task_id = task_id

    @classmethod
    def task_id(cls):
        return cls._task_id

    @classmethod
    def _sub_path(cls, sub):
        if not isinstance(sub, str):
            raise TypeError("sub-directory must be text, got %r" % (sub,))
        root = cls.root()
        path = os.path.normpath(os.path.join(root, sub))
        # a sub-directory must stay inside the output root
        if os.path.commonpath([root, path]) != root:
            raise ValueError("sub-directory %r leaves the output root %s" % (sub, root))
        return path

    @classmethod
    def root_sub_dir(cls, sub=""):
        """Path of sub-directory `sub` of the output root, created if missing."""
        path = cls._sub_path(sub)
        os.makedirs(path, exist_ok=True)
        return path

    @classmethod
    def mk_root_sub_dir(cls, sub):
        return cls.root_sub_dir(sub)

    @classmethod
    def rm_root_sub_dir(cls, sub):
        path = cls._sub_path(sub)
        if path == cls.root():
            raise ValueError("refusing to remove the output root itself")
        if os.path.isdir(path):
            shutil.rmtree(path)
        return path

    @classmethod
    def cls_root_sub_dir(cls, sub):
        """Empty sub-directory `sub` (created if missing)."""
        path = cls._sub_path(sub)
        if os.path.isdir(path):
            for name in os.listdir(path):
                full = os.path.join(path, name)
                if os.path.isdir(full) and not os.path.islink(full):
                    shutil.rmtree(full)
                else:
                    os.remove(full)
        os.makedirs(path, exist_ok=True)
        return path


class StatusCollect:
    """Process-wide collector of status objects (the run's environment among them)."""

    _instance = None
    _lock = threading.Lock()

    def __init__(self):
        self.env = None

    @classmethod
    def instance(cls):
        with cls._lock:
            if cls._instance is None:
                cls._instance = cls()
            return cls._instance
