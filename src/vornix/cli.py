"""Command line of vornix: ``vornix run``, ``vornix demo`` and
``vornix data sample|import|calendar|derive-day|derive-main|derive-continuous|info|repair|upload``.

Each command group is a sub-parser built by a function ``_add_<group>(subparsers)``
that sets ``func`` on its parsers; new groups are added the same way.
"""

import argparse
import sys

from vornix.tframe.utils.exceptions import StoreError, VxError


def _say(text):
    """Print a message that may hold text from files and arguments: control
    characters escaped, long lines cut (vornix.tframe.utils.textshow)."""
    from vornix.tframe.utils.textshow import shown_message

    print(shown_message(text))


def _store_arg(parser):
    parser.add_argument(
        "--store", metavar="DIR", default=None,
        help="store directory, or a URL such as s3://bucket/store to read (default: setting "
             "VX_STORE_DIR, else ~/.vornix/store)",
    )


def _use_store(args):
    """`--store` of run, audit and sweep: the store of this process and of every run
    it starts (the setting VX_STORE_DIR, which child processes inherit)."""
    import os

    if getattr(args, "store", None):
        from vornix.api.history._places import normal_place

        os.environ["VX_STORE_DIR"] = normal_place(args.store)


def _store_path(args):
    from vornix.api.history._history import store_dir

    return args.store if args.store else store_dir()


def _cmd_sample(args):
    from vornix import data
    from vornix.api.history._places import normal_place

    path = normal_place(_store_path(args))
    market = data.sample(path, seed=args.seed, days=args.days, stocks=args.stocks)
    print(
        "wrote a sample market of %d stocks and %d futures (%d contracts) over %d trading days (%d-%d) into %s"
        % (args.stocks, len(market.contracts), sum(len(c) for c in market.contracts.values()), market.n_days,
           market.days[0], market.days[-1], path)
    )
    return 0


def _day_arg(text):
    """A day given as yyyymmdd or YYYY-MM-DD -> yyyymmdd integer."""
    digits = text.strip().replace("-", "")
    if len(digits) != 8 or not digits.isdigit() or text.strip().count("-") not in (0, 2):
        raise argparse.ArgumentTypeError("%r is not a day (yyyymmdd or YYYY-MM-DD)" % text)
    return int(digits)


def _cmd_import(args):
    from vornix import data
    from vornix.api.history._import import OPTION_KINDS

    given = {k: getattr(args, k) for k in OPTION_KINDS}
    # only the options given on the command line, so that each is checked against the kind
    options = {k: v for k, v in given.items() if v is not None and v is not False}
    summary = data.import_file(args.kind, args.file, _store_path(args), **options)
    _say("imported %s from %s: %s" % (args.kind, args.file, summary))
    return 0


def _cmd_calendar(args):
    from vornix.api.history._history import HistoryStore
    from vornix.api.history._import import derive_calendar

    store = HistoryStore(_store_path(args), create=True)
    _say("calendar from %s: %s" % (args.source, derive_calendar(store, args.source, args.begin, args.end)))
    return 0


def _cmd_derive_day(args):
    from vornix.api.history._history import HistoryStore
    from vornix.api.history._import import derive_day

    _say(derive_day(HistoryStore(_store_path(args)), args.targets))
    return 0


def _cmd_derive_main(args):
    from vornix.api.history._futures import derive_main
    from vornix.api.history._history import HistoryStore

    print(derive_main(HistoryStore(_store_path(args)), args.product, args.rule))
    return 0


def _cmd_derive_continuous(args):
    from vornix.api.history._futures import derive_continuous
    from vornix.api.history._history import HistoryStore

    print(derive_continuous(HistoryStore(_store_path(args)), args.target))
    return 0


def _cmd_info(args):
    from vornix.api.history._history import open_store
    from vornix.api.history._import import content_problems
    from vornix.api.history._store import check_store

    if args.check:
        ok, lines = check_store(_store_path(args), rules=content_problems)
        if ok:  # day bars that differ from their minutes combined: a note, not a problem
            from vornix.api.history._import import day_bar_notes

            lines += day_bar_notes(open_store(_store_path(args)))
        _say("\n".join(lines))
        return 0 if ok else 1
    store = open_store(_store_path(args))
    _say("\n".join(store.target_lines() if args.targets else store.summary()))
    return 0


def _cmd_repair(args):
    from vornix.api.history._store import repair_store

    _say(repair_store(_store_path(args), rehash=args.rehash))
    return 0


def _cmd_upload(args):
    from vornix.api.history._store import upload_store

    _say(upload_store(_store_path(args), args.url, progress=True))
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

    p = sub.add_parser("import", help="import a CSV or Parquet file (see docs/data-format.md)")
    p.add_argument("kind", choices=KINDS, metavar="KIND",
                   help="what the file holds: %s (bars-Nm: base bars of N minutes)" % ", ".join(KINDS))
    p.add_argument("file", help="CSV or Parquet file")
    _store_arg(p)
    p.add_argument("--target", metavar="SYMBOL",
                   help="the one target of a file without market/code or symbol columns, such as SHF.RB2305")
    p.add_argument("--columns", metavar="FILE=STORE,...",
                   help="file columns under the store's names, such as dt=time,vol=volume")
    p.add_argument("--stamp", choices=("end", "start"), default=None,
                   help="minute bars stamped with their end (default) or start time")
    p.add_argument("--auction", choices=("fold", "drop"), default=None,
                   help="an opening-auction bar (up to the session open): fold it into the day's "
                        "first bar or drop it")
    p.add_argument("--volume-scale", dest="volume_scale", type=float, default=None, metavar="N",
                   help="multiply volumes by N (100 for lots of 100 shares)")
    p.add_argument("--derive-day", dest="derive_day", action="store_true",
                   help="after minute bars, write the imported targets' day bars combined from them")
    p.add_argument("--force", action="store_true",
                   help="sessions, night-sessions: replace sessions or store overrides even when stored "
                        "minute bars fall outside them")
    p.set_defaults(func=_cmd_import)

    p = sub.add_parser("calendar", help="fill the trading days from the stored bars or from XSHG")
    p.add_argument("source", choices=("bars", "xshg"))
    p.add_argument("--begin", type=_day_arg, default=None, help="first day, yyyymmdd or YYYY-MM-DD")
    p.add_argument("--end", type=_day_arg, default=None, help="last day, yyyymmdd or YYYY-MM-DD")
    _store_arg(p)
    p.set_defaults(func=_cmd_calendar)

    p = sub.add_parser("derive-day", help="write day bars combined from the stored minute bars")
    p.add_argument("--targets", metavar="A,B", default=None,
                   help="targets (default: every target with minute bars)")
    _store_arg(p)
    p.set_defaults(func=_cmd_derive_day)

    p = sub.add_parser("derive-main", help="write a futures product's main-contract table from its contracts' "
                                           "day bars")
    p.add_argument("product", metavar="PRODUCT",
                   help="the product, such as SHF.RB or RB (contracts SHF.RB2305, ...); the table is written for "
                        "its continuous target SHF.RB00")
    p.add_argument("--rule", choices=("oi", "volume"), default="oi",
                   help="switch to a later contract from the day after its open interest (default) or volume "
                        "passes the main contract's at a close")
    _store_arg(p)
    p.set_defaults(func=_cmd_derive_main)

    p = sub.add_parser("derive-continuous", help="write a continuous future's bars stitched from its main "
                                                 "contracts")
    p.add_argument("target", metavar="TARGET", help="the continuous target, such as SHF.RB00")
    _store_arg(p)
    p.set_defaults(func=_cmd_derive_continuous)

    p = sub.add_parser("info", help="summarise what the store holds")
    _store_arg(p)
    p.add_argument("--check", action="store_true",
                   help="check the store instead: an interrupted write (which files hold their new "
                        "content, which their old), files that cannot be decoded, and the import's "
                        "rules on every file's contents (each problem with file, row and value); "
                        "exit status 1 if any")
    p.add_argument("--targets", action="store_true",
                   help="one line per target: type, listing dates, and per kind of bar the count "
                        "and the first and last bar")
    p.set_defaults(func=_cmd_info)

    p = sub.add_parser("repair", help="finish a write that was interrupted part-way")
    _store_arg(p)
    p.add_argument("--rehash", action="store_true",
                   help="then record the store's files as they are in its manifest: accepts changes "
                        "made to them outside a write step, which runs refuse until then")
    p.set_defaults(func=_cmd_repair)

    p = sub.add_parser("upload", help="copy the store to a URL (s3://bucket/store, ...) that runs read")
    p.add_argument("url", help="where the copy goes: a URL that pyarrow's file systems open")
    _store_arg(p)
    p.set_defaults(func=_cmd_upload)


def _run_options(p):
    p.add_argument("--out", metavar="DIR", default=None,
                   help="results folder (default ./vornix-results/<strategy>-<time stamp>)")
    p.add_argument("--quiet", action="store_true", help="no progress bar and no summary")
    p.add_argument("--core", metavar="HOST:PORT", default="auto",
                   help="trading core: auto (the one listening on 127.0.0.1:3293, else a "
                        "local one in this process), local, or HOST:PORT (default auto)")


def _cmd_run(args):
    from vornix.runner import run
    from vornix.runner._strategy import load_strategy, parse_param

    _use_store(args)
    strategy = load_strategy(args.strategy)
    params = dict(parse_param(text, strategy.params) for text in args.param)
    run(strategy, targets=args.targets, frequency=args.frequency, count=args.count,
        begin=args.begin, end=args.end, adjust=args.adjust, lookback=args.lookback,
        memory=args.memory, chunk=args.chunk, params=params, out=args.out,
        quiet=args.quiet, core=args.core, report=args.report, **_broker_args(args))
    return 0


def _cmd_report(args):
    from vornix.runner._report import write_report

    print("report: %s" % write_report(args.folder))
    return 0


def _cmd_self_audit(args):
    from vornix.audit._self import default_range, self_audit
    from vornix.runner._strategy import as_yyyymmdd

    begin, end = default_range()
    begin = as_yyyymmdd(args.begin, "begin") if args.begin else begin
    end = as_yyyymmdd(args.end, "end") if args.end else end
    reports = self_audit(begin, end, cuts=args.cuts, seed=args.seed)
    for report in reports:
        print(report.text())
    return max(r.exit_code for r in reports)


def _cmd_audit(args):
    from vornix.audit import audit
    from vornix.runner._strategy import load_strategy, parse_param

    if args.self_audit == (args.strategy is not None):
        print("vornix: error: give a strategy file or --self", file=sys.stderr)
        return 2
    try:
        _use_store(args)
        if args.self_audit:
            return _cmd_self_audit(args)
        strategy = load_strategy(args.strategy)
        params = dict(parse_param(text, strategy.params) for text in args.param)
        report = audit(strategy.path, cuts=args.cuts, seed=args.seed, targets=args.targets,
                       frequency=args.frequency, count=args.count, begin=args.begin,
                       end=args.end, adjust=args.adjust, lookback=args.lookback, params=params,
                       memory=args.memory, chunk=args.chunk, **_broker_args(args))
    except (VxError, ValueError, TypeError, RuntimeError, OSError) as exc:
        print("vornix: error: %s" % exc, file=sys.stderr)
        return 2
    print(report.text())
    return report.exit_code


def example_path(name):
    """Path of a bundled example: installed beside the package, or in the source tree."""
    import os

    here = os.path.dirname(os.path.abspath(__file__))
    for folder in (os.path.join(here, "examples"),
                   os.path.join(os.path.dirname(os.path.dirname(here)), "examples")):
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            return path
    raise OSError("the bundled example %s is not installed" % name)


def _cmd_demo(args):
    from vornix import data
    from vornix.api.history import _history
    from vornix.runner import run

    path = _history.store_dir()
    try:
        empty = len(_history.open_store(path).target_table()) == 0
    except StoreError:
        empty = True
    if empty:
        print("the bar store at %s is empty: writing the sample market there" % path)
        data.sample(path)
    run(example_path("weekly_trend.py"), out=args.out, quiet=args.quiet, core=args.core)
    return 0


def _run_settings(p, runs):
    """The settings of a run (each overrides the strategy's RUN or PARAMS), for
    `vornix run` and `vornix sweep` (`runs`: "run" or "runs", for the help)."""
    p.add_argument("--targets", metavar="A,B", help="targets, such as SH.600000,SZ.000011")
    p.add_argument("--frequency", help="main frequency: min, day, week, month or year")
    p.add_argument("--count", type=int, help="periods of the frequency per step; minutes for min (default 1)")
    p.add_argument("--begin", metavar="DATE", help="first day, such as 2023-01-03")
    p.add_argument("--end", metavar="DATE", help="last day, such as 2023-06-30")
    p.add_argument("--adjust", choices=("none", "forward", "backward"),
                   help="price adjustment of the %s (default none)" % runs)
    p.add_argument("--lookback", metavar="60d|12w|day=20,min=240", default=None,
                   help="history loaded before --begin for the windows of the first steps: "
                        "trading days (d), weeks (w), months (M), years (y), bars per "
                        "frequency, or a number of main bars (default 30d)")
    p.add_argument("--memory", metavar="SIZE", default=None,
                   help="budget for the data of one time chunk, such as 1GB or 500MB: a run "
                        "whose data would not fit runs in consecutive time chunks (default "
                        "1GB; 0: no limit)")
    p.add_argument("--chunk", metavar="LENGTH", default=None,
                   help="run in time chunks of this length: trading days (d), weeks (w), "
                        "months (M) or years (y), such as 1M; 0 runs in one piece (default: "
                        "by --memory)")
    p.add_argument("--param", metavar="NAME=VALUE", action="append", default=[],
                   help="a%s strategy parameter (overrides its PARAMS); repeatable"
                        % (" fixed" if runs == "runs" else ""))
    p.add_argument("--cash", default=None, metavar="AMOUNT|stock=A,future=B",
                   help="starting cash of each account the run holds, or per account "
                        "(default 1000000)")
    p.add_argument("--fee-stock", type=float, default=None,
                   help="stock commission in ten-thousandths of the traded value (default 3)")
    p.add_argument("--min-commission", type=float, default=None,
                   help="least commission of a stock fill (default 5)")
    p.add_argument("--stamp-duty", type=float, default=None,
                   help="stamp duty rate on stock sales (default by date: 0.001, 0.0005 from "
                        "2023-08-28)")
    p.add_argument("--fee-future", type=float, default=None,
                   help="futures fee as a fraction of the traded notional (default 0.0001)")
    p.add_argument("--slippage", type=float, default=None,
                   help="slippage of every fill in ticks of the target's minimum move (default 0)")
    p.add_argument("--volume-limit", type=float, default=None,
                   help="largest share of a bar's volume a stock fill takes; 0 for no cap "
                        "(default 0.25)")
    p.add_argument("--t-plus-1", default=None, choices=("on", "off"),
                   help="stock shares bought on a day are sold from the next one (default on)")
    p.add_argument("--price-limits", default=None, choices=("on", "off"),
                   help="stocks trade within their daily price limits (default on)")
    p.add_argument("--dividend-tax", type=float, default=None,
                   help="share of cash dividends withheld (default 0)")
    p.add_argument("--roll", choices=("auto", "manual"), default=None,
                   help="futures: where the main contract changes, roll a position into the new "
                        "contract (auto, default) or leave it to the strategy's on_roll (manual)")
    p.add_argument("--margin-rate", dest="margin_rate", type=float, default=None, metavar="RATE",
                   help="futures: margin as a fraction of the notional for every contract "
                        "(default: the instruments' margin_rate, else 0.1)")
    p.add_argument("--force-liquidation", dest="force_liquidation", action="store_const",
                   const=True, default=None,
                   help="futures: close every position at the next open after a settlement that "
                        "leaves equity below the margin held (default: only refuse opening orders)")
    p.add_argument("--benchmark", metavar="TARGET", default=None,
                   help="a stored target (an index too) the statistics compare with")
    p.add_argument("--risk-free", type=float, default=None,
                   help="risk-free rate a year of the Sharpe and Sortino ratios (default 0)")


def _broker_args(args):
    """The order simulator's and the statistics' settings given on the command line."""
    from vornix.runner._strategy import BROKER_KEYS, RESULT_KEYS

    return {k: getattr(args, k) for k in BROKER_KEYS + RESULT_KEYS
            if getattr(args, k, None) is not None}


def _add_run(subparsers):
    p = subparsers.add_parser(
        "run", help="run a strategy file over the stored bars",
        description="Run STRATEGY.py (init(context) and on_data(context)) over the bar store. "
                    "Settings not given here come from the strategy's RUN dict.")
    p.add_argument("strategy", metavar="STRATEGY.py", help="the strategy file")
    _run_settings(p, "run")
    _run_options(p)
    p.add_argument("--report", action="store_true",
                   help="also write report.html into the results folder")
    _store_arg(p)
    p.set_defaults(func=_cmd_run)

    p = subparsers.add_parser(
        "report", help="write report.html of a results or sweep folder",
        description="Writes FOLDER/report.html, one self-contained page (figures embedded): "
                    "of a run's results folder, its statistics, charts, monthly returns, round "
                    "trips and settings; of a sweep folder, its table, heat map and the best "
                    "runs' equity curves.")
    p.add_argument("folder", metavar="FOLDER", help="a results folder of vornix run or sweep")
    p.set_defaults(func=_cmd_report)

    p = subparsers.add_parser(
        "audit", help="prove that a strategy saw no data from after each step",
        description="Runs STRATEGY.py over the whole range, then again on views of the bar "
                    "store that end at cut steps, and compares every window read, every "
                    "value recorded and every order placed, filled or cancelled up to each "
                    "cut. Exit code 0: clean; 1: look-ahead found; 2: error; 3: "
                    "nondeterministic (two runs over the whole range differ).")
    p.add_argument("strategy", metavar="STRATEGY.py", nargs="?", help="the strategy file")
    p.add_argument("--self", dest="self_audit", action="store_true",
                   help="audit every registration kind of the library under one-minute, "
                        "five-minute and day steps on the store (the sample market; default "
                        "range: ten trading days around the first roll of SHF.RB00)")
    _run_settings(p, "run")
    p.add_argument("--cuts", type=int, default=20, help="cut steps (default 20)")
    p.add_argument("--seed", type=int, default=0, help="seed of the random cuts (default 0)")
    _store_arg(p)
    p.set_defaults(func=_cmd_audit)

    p = subparsers.add_parser(
        "demo", help="run the bundled weekly-trend example on the sample market",
        description="Writes the sample market into the bar store if the store is empty, "
                    "then runs the weekly-trend example and writes its results folder.")
    _run_options(p)
    p.set_defaults(func=_cmd_demo)


def _cmd_sweep(args):
    from vornix.runner._results import default_folder
    from vornix.runner._strategy import load_strategy, parse_param
    from vornix.sweep import parse_grid, parse_walk_forward, sweep, walk_forward

    _use_store(args)
    strategy = load_strategy(args.strategy)
    params = dict(parse_param(text, strategy.params) for text in args.param)
    grid = parse_grid(args.grid, strategy.params)
    options = dict(jobs=args.jobs, engine=args.engine, scheduler=args.scheduler,
                   address=args.address, metric=args.metric, quiet=args.quiet,
                   run_timeout=args.run_timeout,
                   targets=args.targets, frequency=args.frequency, count=args.count,
                   begin=args.begin, end=args.end, adjust=args.adjust,
                   lookback=args.lookback, memory=args.memory, chunk=args.chunk,
                   params=params, core=args.core, **_broker_args(args))
    if args.walk_forward:
        train, test = parse_walk_forward(args.walk_forward)
        out = args.out or default_folder(strategy.name + "-walk-forward")
        result = walk_forward(strategy.path, grid, train, test, out=out, **options)
        return 0 if result.windows["error"].isna().any() else 1
    out = args.out or default_folder(strategy.name + "-sweep")
    rows = sweep(strategy.path, grid, out=out, **options)
    return 0 if rows["error"].isna().any() else 1


def _add_sweep(subparsers):
    from vornix.sweep._engines import ENGINES
    from vornix.sweep._sweep import LOWER_IS_BETTER, METRICS

    p = subparsers.add_parser(
        "sweep", help="run a strategy over a grid of parameters, or walk forward",
        description="Runs STRATEGY.py once per combination of the --grid values, each run "
                    "in a process of its own, and writes sweep.parquet, sweep.csv (one row "
                    "per combination: parameters, summary statistics, run time, error) and, "
                    "for two grid parameters, heatmap.png. With --walk-forward, chooses the "
                    "best combination on each train window and runs it on the window after "
                    "it. Exit status 1 when no run succeeded.")
    p.add_argument("strategy", metavar="STRATEGY.py", help="the strategy file")
    p.add_argument("--grid", metavar="NAME=V1,V2,...", action="append", default=[],
                   help="values of a strategy parameter to sweep; repeatable")
    p.add_argument("--metric", choices=METRICS, default="sharpe",
                   help="statistic of the heat map and of the walk-forward choice (default "
                        "sharpe; higher is better except for %s)" % ", ".join(LOWER_IS_BETTER))
    p.add_argument("--walk-forward", metavar="train=120d,test=20d", default=None,
                   help="walk-forward windows in trading days of the store's calendar")
    p.add_argument("--jobs", type=int, default=None,
                   help="runs at once (default: the number of cores; with --engine dask and no "
                        "--scheduler, the workers of the local cluster)")
    p.add_argument("--engine", choices=ENGINES, default="local",
                   help="where the runs execute (default local; dask and ray need the extras "
                        "vornix[dask] and vornix[ray])")
    p.add_argument("--scheduler", metavar="tcp://HOST:8786", default=None,
                   help="dask scheduler (default: a local cluster)")
    p.add_argument("--address", metavar="ADDRESS", default=None,
                   help="ray cluster address (default: a local ray)")
    p.add_argument("--run-timeout", dest="run_timeout", type=float, metavar="SECONDS", default=None,
                   help="stop a run that takes longer and report it in its row (default: no limit)")
    _run_settings(p, "runs")
    p.add_argument("--out", metavar="DIR", default=None,
                   help="results folder (default ./vornix-results/<strategy>-sweep-<time stamp>)")
    p.add_argument("--quiet", action="store_true", help="no progress bar and no summary")
    p.add_argument("--core", metavar="HOST:PORT", default="auto",
                   help="trading core of each run: auto, local or HOST:PORT (default auto)")
    _store_arg(p)
    p.set_defaults(func=_cmd_sweep)


def build_parser():
    from vornix import __version__

    parser = argparse.ArgumentParser(prog="vornix", description="vornix command line")
    parser.add_argument("--version", action="version", version="vornix " + __version__)
    parser.add_argument("--log-level", choices=("debug", "info", "warning", "error"), default=None,
                        help="level of the log files (setting VX_LOG_LEVEL, default info)")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    subparsers.required = True
    _add_run(subparsers)
    _add_data(subparsers)
    _add_sweep(subparsers)
    return parser


def main(argv=None):
    """Run the command line; returns the exit status."""
    from vornix.setting import check_config
    from vornix.tframe.utils.textshow import shown_message

    args = build_parser().parse_args(argv)
    if args.log_level:  # for this process and the runs it starts
        import os

        os.environ["VX_LOG_LEVEL"] = args.log_level
    try:
        check_config()  # a broken settings file: one line, before any module starts up
        return args.func(args)
    except (VxError, ValueError, TypeError, NotImplementedError, ImportError, OSError) as exc:
        print("vornix: error: %s" % shown_message(str(exc)), file=sys.stderr)
        return 1
