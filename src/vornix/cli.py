"""Command line of vornix: ``vornix data sample|import|calendar|info``.

Each command group is a sub-parser built by a function ``_add_<group>(subparsers)``
that sets ``func`` on its parsers; new groups are added the same way.
"""

import argparse
import sys

from vornix.tframe.utils.exceptions import StoreError


def _store_arg(parser):
    parser.add_argument(
        "--store", metavar="DIR", default=None,
        help="store directory (default: setting VX_STORE_DIR, else ~/.vornix/store)",
    )


def _store_path(args):
    from vornix.api.history._history import store_dir

    return args.store if args.store else store_dir()


def _cmd_sample(args):
    from vornix.api.history._history import HistoryStore
    from vornix.api.history._sample import write_sample_market

    store = HistoryStore(_store_path(args), create=True)
    market = write_sample_market(store, seed=args.seed, days=args.days, stocks=args.stocks)
    print(
        "wrote a sample market of %d stocks and %d futures over %d trading days (%d-%d) into %s"
        % (args.stocks, len(market.bars_1m) - args.stocks, market.n_days, market.days[0], market.days[-1], store.path)
    )
    return 0


def _cmd_import(args):
    from vornix.api.history._history import HistoryStore
    from vornix.api.history._import import import_csv

    store = HistoryStore(_store_path(args), create=True)
    print("imported %s from %s: %s" % (args.kind, args.file, import_csv(store, args.kind, args.file)))
    return 0


def _cmd_calendar(args):
    from vornix.api.history._history import HistoryStore
    from vornix.api.history._import import derive_calendar

    store = HistoryStore(_store_path(args))
    print("calendar from %s: %s" % (args.source, derive_calendar(store, args.source, args.begin, args.end)))
    return 0


def _cmd_info(args):
    from vornix.api.history._history import HistoryStore

    print("\n".join(HistoryStore(_store_path(args)).summary()))
    return 0


def _add_data(subparsers):
    from vornix.api.history._import import KINDS

    data = subparsers.add_parser("data", help="bar store: sample market, CSV import, summary")
    sub = data.add_subparsers(dest="data_command", metavar="COMMAND")
    sub.required = True

    p = sub.add_parser("sample", help="write a deterministic synthetic market into the store")
    _store_arg(p)
    p.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    p.add_argument("--days", type=int, default=260, help="trading days (default 260)")
    p.add_argument("--stocks", type=int, default=10, help="number of stocks (default 10)")
    p.set_defaults(func=_cmd_sample)

    p = sub.add_parser("import", help="import a CSV file (see docs/data-format.md)")
    p.add_argument("kind", choices=KINDS, help="what the file holds")
    p.add_argument("file", help="CSV file")
    _store_arg(p)
    p.set_defaults(func=_cmd_import)

    p = sub.add_parser("calendar", help="fill the trading days from the stored bars or from XSHG")
    p.add_argument("source", choices=("bars", "xshg"))
    p.add_argument("--begin", type=int, default=None, help="first day yyyymmdd")
    p.add_argument("--end", type=int, default=None, help="last day yyyymmdd")
    _store_arg(p)
    p.set_defaults(func=_cmd_calendar)

    p = sub.add_parser("info", help="summarise what the store holds")
    _store_arg(p)
    p.set_defaults(func=_cmd_info)


def build_parser():
    parser = argparse.ArgumentParser(prog="vornix", description="vornix command line")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    subparsers.required = True
    _add_data(subparsers)
    return parser


def main(argv=None):
    """Run the command line; returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        return args.func(args)
    except (StoreError, ValueError, ImportError, OSError) as exc:
        print("vornix: error: %s" % exc, file=sys.stderr)
        return 1
