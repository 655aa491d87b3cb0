"""Start the local trading core: python -m vornix.core [--port 3293] [--cache-dir DIR]."""

import argparse
import logging
import sys

from vornix.core.server import CORE_VERSION, CoreServer, default_cache_dir
from vornix.tframe.comm import protocol


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m vornix.core", description=__doc__)
    parser.add_argument("--host", default=protocol.DEFAULT_HOST)
    parser.add_argument("--port", type=int, default=protocol.DEFAULT_PORT)
    parser.add_argument("--cache-dir", default=None, help="default: %s" % default_cache_dir())
    parser.add_argument("--version", default=CORE_VERSION, help="the core version to report")
    parser.add_argument(
        "--support", default=None,
        help="comma-separated framework versions this core accepts (default: the installed one)",
    )
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s: %(message)s")
    support = [s for s in args.support.split(",") if s] if args.support is not None else None
    try:
        core = CoreServer(args.host, args.port, args.cache_dir, args.version, support)
    except OSError as exc:
        print("cannot listen on %s:%d: %s" % (args.host, args.port, exc), file=sys.stderr)
        return 2
    host, port = core.address
    print("vornix core %s listening on %s:%d, cache directory %s" % (core.version, host, port, core.cache_dir),
          flush=True)
    try:
        core.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
