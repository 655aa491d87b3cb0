"""Start the local trading core: python -m vornix.core [--port 3293] [--cache-dir DIR]."""

import argparse
import logging
import sys

from vornix.core.server import (
    CORE_VERSION,
    DEFAULT_AUTH_TIMEOUT,
    DEFAULT_IDLE_TIMEOUT,
    DEFAULT_MAX_CONNECTIONS,
    CoreServer,
    default_cache_dir,
)
from vornix.tframe.comm import protocol
from vornix.tframe.utils.exceptions import KeyFileError
from vornix.tframe.utils.userkey import key_path


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
    parser.add_argument("--max-connections", type=int, default=DEFAULT_MAX_CONNECTIONS,
                        help="connections served at once (default %(default)s)")
    parser.add_argument("--idle-timeout", type=float, default=DEFAULT_IDLE_TIMEOUT,
                        help="seconds a client has for each message before it is closed (default %(default)s)")
    parser.add_argument("--auth-timeout", type=float, default=DEFAULT_AUTH_TIMEOUT,
                        help="seconds a client has to prove it holds the user's key (default %(default)s)")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s: %(message)s")
    support = [s for s in args.support.split(",") if s] if args.support is not None else None
    try:
        core = CoreServer(args.host, args.port, args.cache_dir, args.version, support,
                          max_connections=args.max_connections, idle_timeout=args.idle_timeout,
                          auth_timeout=args.auth_timeout)
    except KeyFileError as exc:
        print("vornix core: %s" % exc, file=sys.stderr)
        return 2
    except ValueError as exc:
        parser.error(str(exc))
    except OSError as exc:
        print("cannot listen on %s:%d: %s" % (args.host, args.port, exc), file=sys.stderr)
        return 2
    host, port = core.address
    print("vornix core %s listening on %s:%d, cache directory %s, clients authenticated with the key in %s"
          % (core.version, host, port, core.cache_dir, key_path()), flush=True)
    try:
        core.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
