#!/usr/bin/env python3
"""Sweeps the thread counts of a backup run, to justify each figure kept.

On the tree of --files files (made by gen_tree, reused from BENCH_DIR), times
quillfen_run with QUILLFEN_LOOKAHEAD set to each of --lookahead (0 is the
one-thread row: the run alone, no listing or look-ahead threads; "default" is
the program's own policy, 2 threads grown to 8 once the tree comes from the
disk, and N any other figure for both) on:
  noop       an up-to-date destination, warm cache
  noop-cold  the same, each run preceded by `sync` and a drop of the caches
             (root only; skipped with the reason otherwise)
and with QUILLFEN_COPIES set to each of --copies on:
  initial    a copy into an empty destination, followed by `sync`
The settings alternate within each round (A B C A B C ...) so that drift on a
shared machine falls on all of them; the table gives the median and min-max
of the timed runs and the ratio to the default setting. Every run's count of
copies is checked. Destinations are removed only after all timing.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

DROP = "/proc/sys/vm/drop_caches"


def run(argv, env=None):
    start = time.monotonic()
    done = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    elapsed = time.monotonic() - start
    if done.returncode != 0:
        sys.exit(f"thread_sweep: {' '.join(argv)} failed ({done.returncode}): {done.stderr[-500:]}")
    return elapsed, done.stdout


def copied(stdout):
    for line in stdout.splitlines():
        if line.startswith("copied="):
            return int(line[7:])
    return -1


def can_drop():
    try:
        with open(DROP, "w") as f:
            f.write("3")
        return True
    except OSError:
        return False


def drop():
    subprocess.run(["sync"], check=True)
    with open(DROP, "w") as f:
        f.write("3")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build-bench")
    parser.add_argument("--files", type=int, default=100000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--cold-runs", type=int, default=3)
    parser.add_argument("--lookahead", default="default,0,2,4,8")
    parser.add_argument("--copies", default="0,2,4")
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    quillfen = os.path.join(build, "bench", "quillfen_run")
    gen_tree = os.path.join(build, "bench", "gen_tree")
    base = os.environ.get("BENCH_DIR", "/var/tmp/quillfen-bench")
    src = os.path.join(base, f"src-n{args.files}-s{args.seed}-v1")
    if not os.path.isdir(src):
        os.makedirs(base, exist_ok=True)
        run([gen_tree, "create", "--files", str(args.files), "--seed", str(args.seed), src])
    work = os.path.join(base, f"sweep-{os.getpid()}")
    os.makedirs(work)
    results = []  # (case, setting, times)
    try:
        noop = os.path.join(work, "noop")
        subprocess.run(["cp", "-a", src, noop], check=True)
        subprocess.run(["sync"], check=True)
        settings = [s for s in args.lookahead.split(",")]

        def env_with(name, value):
            env = dict(os.environ)
            env.pop("QUILLFEN_LOOKAHEAD", None)
            env.pop("QUILLFEN_COPIES", None)
            if value != "default":  # the program's own policy
                env[name] = value
            return env

        # noop, warm: one warm-up round, then the timed ones.
        times = {s: [] for s in settings}
        for round_ in range(args.runs + 1):
            for s in settings:
                elapsed, out = run([quillfen, src, noop], env_with("QUILLFEN_LOOKAHEAD", s))
                if copied(out) != 0:
                    sys.exit(f"thread_sweep: a no-op run copied {copied(out)} files")
                if round_ > 0:
                    times[s].append(elapsed)
        for s in settings:
            results.append(("noop", f"lookahead={s}", times[s]))
        print("noop warm done", file=sys.stderr)

        if os.geteuid() == 0 and can_drop():
            times = {s: [] for s in settings}
            for _ in range(args.cold_runs):
                for s in settings:
                    drop()
                    elapsed, out = run([quillfen, src, noop], env_with("QUILLFEN_LOOKAHEAD", s))
                    if copied(out) != 0:
                        sys.exit("thread_sweep: a cold no-op run copied files")
                    times[s].append(elapsed)
            for s in settings:
                results.append(("noop-cold", f"lookahead={s}", times[s]))
            print("noop cold done", file=sys.stderr)
        else:
            print("noop-cold skipped: dropping the caches needs root", file=sys.stderr)

        copies = args.copies.split(",")
        times = {s: [] for s in copies}
        n = 0
        for _ in range(args.cold_runs):
            for s in copies:
                dst = os.path.join(work, f"initial-{n}")
                n += 1
                start = time.monotonic()
                _, out = run([quillfen, src, dst], env_with("QUILLFEN_COPIES", s))
                subprocess.run(["sync"], check=True)
                elapsed = time.monotonic() - start
                if copied(out) != args.files:
                    sys.exit(f"thread_sweep: an initial copy made {copied(out)} copies")
                times[s].append(elapsed)
                # Its data leaves the cache, which would otherwise fill.
                subprocess.run([gen_tree, "dropcache", dst], check=False)
        for s in copies:
            results.append(("initial", f"copies={s}", times[s]))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print(f"{args.files} files; warm cache unless the case says cold; "
          f"medians of {args.runs} (warm) and {args.cold_runs} (cold, initial) runs")
    print(f"{'case':10} {'setting':14} {'median':>8} {'min-max':>17} {'ratio':>6}")
    default = {"noop": "lookahead=default", "noop-cold": "lookahead=default",
               "initial": "copies=2"}
    medians = {(c, s): statistics.median(t) for c, s, t in results}
    for case, setting, t in results:
        ref = medians.get((case, default[case]))
        ratio = f"{medians[(case, setting)] / ref:6.2f}" if ref else "     -"
        print(f"{case:10} {setting:14} {statistics.median(t):8.3f} "
              f"[{min(t):.3f}-{max(t):.3f}] {ratio}")
    print("ratio: to the program's own policy (lookahead=default: 2 threads from the cache,"
          " grown to 8 once a thread sees the disk; copies=2)")


if __name__ == "__main__":
    main()
