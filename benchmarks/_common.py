"""What the benchmarks of whole runs share: a sample market in a temporary store, a
measured child process, and the results file with its checks."""

import contextlib
import json
import os
import platform
import subprocess
import sys
import tempfile
import time

RESULTS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")


@contextlib.contextmanager
def sample_store(prefix, days, stocks):
    """A temporary folder holding the sample market (`stocks` stocks over `days` trading
    days); yields (folder, env), env pointing HOME and the store there, the matrix
    cache off."""
    with tempfile.TemporaryDirectory(prefix=prefix) as tmp:
        env = dict(os.environ)
        env.update({"HOME": tmp, "VX_STORE_DIR": os.path.join(tmp, "store"), "VX_MAT_CACHE": "0"})
        subprocess.run([sys.executable, "-m", "vornix", "data", "sample", "--days", str(days),
                        "--stocks", str(stocks)], env=env, check=True, capture_output=True)
        yield tmp, env


def run_child(script, args, env, what):
    """`python script --child ARGS...` in a fresh process; its last output line as JSON.
    A failing child ends the benchmark with its output."""
    proc = subprocess.run([sys.executable, script, "--child", *args], env=env,
                          capture_output=True, text=True)
    if proc.returncode != 0:
        sys.stderr.write(proc.stdout + proc.stderr)
        raise SystemExit("the %s child failed" % what)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def finish(name, args, payload, failures, missed):
    """Writes results/<name>[_quick].json and prints the failed checks and missed
    targets; returns the exit status (missed targets fail full runs only)."""
    os.makedirs(RESULTS_DIR, exist_ok=True)
    path = os.path.join(RESULTS_DIR, "%s%s.json" % (name, "_quick" if args.quick else ""))
    record = {"when": time.strftime("%Y-%m-%d %H:%M:%S"), "machine": platform.platform(),
              "python": platform.python_version(), "args": vars(args)}
    record.update(payload)
    with open(path, "w") as fh:
        json.dump(record, fh, indent=2)
    for f in failures:
        print("CHECK FAILED:", f)
    for m in missed:
        print("TARGET MISSED:", m)
    return 1 if failures or (missed and not args.quick) else 0


def bench_args(doc, child, options, quick, switches=()):
    """The arguments of a benchmark with a measured child: `options` are (flag, default)
    pairs of integer options, `switches` the flags of further modes, plus --quick and
    the hidden --child CONFIG (JSON).  With --child this process is the child: it
    prints child(config) as JSON and exits.  In a quick run the values of `quick`
    (option name -> value) replace the options'."""
    import argparse

    parser = argparse.ArgumentParser(description=doc.split("\n")[0])
    parser.add_argument("--quick", action="store_true")
    for flag in switches:
        parser.add_argument(flag, action="store_true")
    for flag, default in options:
        parser.add_argument(flag, type=int, default=default)
    parser.add_argument("--child", default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(json.loads(args.child))))
        raise SystemExit(0)
    if args.quick:
        for name, value in quick.items():
            setattr(args, name, value)
    return args
