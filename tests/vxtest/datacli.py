"""Writing input files and calling `vornix data ...` in tests of the importer."""

import os


def write(folder, name, text):
    """Writes `text` to folder/name; returns the path."""
    path = os.path.join(str(folder), name)
    with open(path, "w") as fh:
        fh.write(text)
    return path


def cli(*args, store):
    """`vornix data ARGS --store STORE` in this process; returns the exit status."""
    from vornix.cli import main

    return main(["data", *args, "--store", str(store)])
