#!/usr/bin/env python3
"""Times Quillfen's backup run side by side with rsync, cp and the floor.

For each tree size it measures three cases, warm cache:
  initial  copy into an empty destination
  noop     every file already up to date
  changed  1 % of the files changed (newer modification time, new content)
and, as root, the no-op case once more with a cold cache (below), and once
for large files (--large-files, default 200 files of 8 MiB):
  large-initial  copy into an empty destination
  large-changed  every file changed (newer, new content) over older copies

  noop-cold  before every run of every tool `sync` and
             `echo 3 > /proc/sys/vm/drop_caches`, no warm-up, median of 3
Without root the cold case is skipped and the table says why.

Every case runs each tool once as a warm-up and then --runs more times,
alternating the tools (A B C A B C ...) so that drift on a shared machine
cancels out. Setup and reset happen outside the timed part, and every run is
checked afterwards: the destination must hold every source file with the same
size and modification time, or the run is marked as failed.

Trees are generated once (deterministic, seeded) under BENCH_DIR and reused by
later invocations. Destinations live in one work folder that is removed only
after all timing is done (a bulk delete slows file creation for minutes).

Usage: run_bench.py [--build DIR] [--sizes 10000,100000] [--million]
                    [--only-quillfen] [--runs 5] [--seed 1] [--keep] [--no-cold]
                    [--no-other]
                    [--settings-sets 1200000] [--compare-files 1000000]
                    [--large-files 200] [--baseline PATH-TO-ANOTHER-quillfen_run]
With --baseline, another build of quillfen_run (an earlier commit) runs in
every case beside this one, as "baseline": the cost of a change, such as
making every copy durable, measured in the same invocation.
Environment: BENCH_DIR (default /var/tmp/quillfen-bench), BENCH_RUNS,
             BENCH_SIZES.
"""

import argparse
import csv
import datetime
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
TREE_VERSION = 1  # bump when gen_tree's output changes
COLD_RUNS = 3  # timed runs of each tool in the cold-cache case
DROP_CACHES = "/proc/sys/vm/drop_caches"


START = time.monotonic()


def log(*args):
    print(f"[{time.monotonic() - START:6.0f}s]", *args, flush=True)


class Tools:
    def __init__(self, build, baseline=None):
        self.baseline = os.path.abspath(baseline) if baseline else None
        if self.baseline and not os.access(self.baseline, os.X_OK):
            sys.exit(f"run_bench: the baseline {self.baseline} is not a program")
        self.gen_tree = os.path.join(build, "bench", "gen_tree")
        self.floor = os.path.join(build, "bench", "floor")
        self.quillfen_run = os.path.join(build, "bench", "quillfen_run")
        self.list_bench = os.path.join(build, "bench", "list_bench")
        self.compare_bench = os.path.join(build, "bench", "compare_bench")
        self.settings_bench = os.path.join(build, "bench", "settings_bench")
        for exe in (self.gen_tree, self.floor, self.quillfen_run):
            if not os.access(exe, os.X_OK):
                sys.exit(f"run_bench: {exe} is missing; build the bench programs first")
        for exe in ("rsync", "cp", "sync", "/usr/bin/time"):
            if shutil.which(exe) is None:
                sys.exit(f"run_bench: {exe} is not installed (scripts/install-deps.sh bench)")


def run_checked(argv, **kwargs):
    """Runs an untimed setup command; stops the benchmark when it fails."""
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            **kwargs)
    if result.returncode != 0:
        sys.exit(f"run_bench: {' '.join(map(shlex.quote, argv))} failed:\n{result.stdout}")
    return result.stdout


def timed(argv):
    """Runs argv once; returns (seconds, exit status, peak RSS in KiB, CPU
    seconds (user + system), output).

    Every command runs under /usr/bin/time -f %M, which reports the largest
    resident set of the command and the children it waited for. (Taking the
    counter from this script's own wait would count the Python process too:
    a spawned child starts with its parent's memory.) The wrapper costs every
    tool the same."""
    with tempfile.TemporaryFile() as out, tempfile.NamedTemporaryFile("r") as rss_file:
        argv = ["/usr/bin/time", "-f", "%M %U %S", "-o", rss_file.name] + argv
        actions = [(os.POSIX_SPAWN_DUP2, out.fileno(), 1), (os.POSIX_SPAWN_DUP2, out.fileno(), 2)]
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
        _, status, _ = os.wait4(pid, 0)
        seconds = time.perf_counter() - start
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
        # The last line; a command killed by a signal gets a line before it.
        fields = (rss_file.read().strip().splitlines() or [""])[-1].split()
    try:
        rss, cpu = int(fields[0]), float(fields[1]) + float(fields[2])
    except (IndexError, ValueError):
        rss, cpu = 0, 0.0
    return seconds, os.waitstatus_to_exitcode(status), rss, cpu, text


def with_sync(command):
    """A shell command line: the command, then sync; the command's status."""
    return ["sh", "-c", command + "; s=$?; sync; exit $s"]


class Trees:
    """The source tree of one size and its copy with 1 % of the files changed."""

    def __init__(self, tools, bench_dir, files, seed):
        stem = f"n{files}-s{seed}-v{TREE_VERSION}"
        self.files = files
        self.source = os.path.join(bench_dir, "src-" + stem)
        self.changed = os.path.join(bench_dir, "chg-" + stem)
        self.changed_list = self.changed + ".list"
        if not os.path.isdir(self.source):
            log(f"generating {self.source} ...")
            run_checked([tools.gen_tree, "create", "--files", str(files), "--seed", str(seed),
                         self.source])
        if not os.path.isdir(self.changed):
            log(f"generating {self.changed} ...")
            partial = self.changed + ".partial"
            if os.path.exists(partial):
                shutil.rmtree(partial)
            # Hard links: the unchanged files share the source's data; gen_tree
            # replaces each changed file by a new one instead of writing into it.
            run_checked(["cp", "-al", self.source, partial])
            run_checked([tools.gen_tree, "mutate", "--files", str(files), "--seed", str(seed),
                         "--percent", "1", "--list", self.changed_list, partial])
            os.rename(partial, self.changed)
        with open(self.changed_list, encoding="utf-8", errors="surrogateescape") as f:
            self.changed_count = sum(1 for line in f if line.strip())
        summary = run_checked([tools.floor, self.source, self.source])
        fields = dict(kv.split("=") for kv in summary.split())
        self.folders = int(fields["folders"])
        self.bytes = int(fields["bytes"])
        if int(fields["files"]) != files:
            sys.exit(f"run_bench: {self.source} holds {fields['files']} files, not {files}; "
                     "remove it and run again")


class Tool:
    """One contender in a case: how to run it, and what to do around a run."""

    def __init__(self, name, argv_for, prepare=None, check=None):
        self.name = name
        self.argv_for = argv_for  # destination -> argv
        self.prepare = prepare    # () -> destination, untimed
        self.check = check        # (destination, output) -> error text or None, untimed
        self.times = []
        self.rss = []
        self.cpu = []
        self.failures = []


def run_case(case, tools_in_case, runs, warm_up=True):
    """Warm-up (unless not `warm_up`), then `runs` rounds, each tool once per
    round in a fixed order."""
    for round_index in range(0 if warm_up else 1, runs + 1):
        for tool in tools_in_case:
            destination = tool.prepare()
            seconds, status, rss, cpu, output = timed(tool.argv_for(destination))
            problem = None
            if status != 0:
                problem = f"exit status {status}: {output.strip()[:300]}"
            elif tool.check is not None:
                problem = tool.check(destination, output)
            if problem:
                tool.failures.append(problem)
                log(f"  {case} {tool.name}: FAILED: {problem}")
            if round_index == 0:
                continue  # warm-up
            tool.times.append(seconds)
            tool.rss.append(rss)
            tool.cpu.append(cpu)
        if round_index > 0:
            log(f"  {case} round {round_index}/{runs}: " +
                ", ".join(f"{t.name} {t.times[-1]:.3f}s" for t in tools_in_case))


def cold_cache_refusal():
    """None when the page cache can be dropped; else why the cold case is skipped."""
    if os.geteuid() != 0:
        return f"not root: dropping the page cache ({DROP_CACHES}) needs root"
    if not os.access(DROP_CACHES, os.W_OK):
        return f"{DROP_CACHES} is not writable here (a container without that right?)"
    return None


def drop_caches():
    """Writes dirty data back, then drops the page cache, dentries and inodes."""
    subprocess.run(["sync"], check=True)
    with open(DROP_CACHES, "w", encoding="ascii") as f:
        f.write("3\n")


def verify(tools, source, destination):
    """None when destination mirrors source (sizes, times); else the reason."""
    result = subprocess.run([tools.floor, "--verify", source, destination],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        return "destination differs from source: " + result.stdout.strip()[-300:]
    return None


def copied_count(output):
    for line in output.splitlines():
        if line.startswith("copied="):
            return int(line.split("=", 1)[1])
    return None


def syscall_profile(argv):
    """strace -c of one untimed run: the busiest system calls and the total."""
    with tempfile.NamedTemporaryFile("r") as out:
        subprocess.run(["strace", "-c", "-f", "-o", out.name] + argv, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
        table = out.read().rstrip().splitlines()
    head, body = table[:2], [line for line in table[2:] if line and not line.startswith("-")]
    return head + body[:6] + [line for line in body if line.rstrip().endswith("total")]


def disk_counters(path):
    """The /proc/diskstats fields of the disk holding `path` (reads, sectors
    read, ms reading, weighted ms of requests in flight), or None."""
    dev = os.stat(path).st_dev
    want = (os.major(dev), os.minor(dev))
    with open("/proc/diskstats", encoding="ascii") as f:
        for line in f:
            fields = line.split()
            if (int(fields[0]), int(fields[1])) == want:
                return int(fields[3]), int(fields[5]), int(fields[6]), int(fields[13])
    return None


def disk_profile(argv, path):
    """One run of argv from dropped caches: what the disk of `path` was asked
    for meanwhile (another process's reads count too: run on a quiet machine)."""
    drop_caches()
    before = disk_counters(path)
    if before is None:
        return "disk not found in /proc/diskstats"
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    seconds = time.perf_counter() - start
    after = disk_counters(path)
    reads, sectors, read_ms, weighted_ms = (a - b for a, b in zip(after, before))
    return (f"{seconds:.3f} s, {reads} reads, {sectors // 2} KiB, "
            f"{read_ms / max(reads, 1):.3f} ms per read, "
            f"{weighted_ms / 1000 / seconds:.2f} requests in flight on average")


def measure_size(tools, trees, work, runs, profiles, cold=True, only_quillfen=False):
    """All three cases for one tree size, and the cold no-op case when `cold`
    (root only); returns {case: [Tool, ...]}. Appends to `profiles` the system
    calls of one no-op run of Quillfen and of the floor, when strace is
    installed. With `only_quillfen`, rsync and cp are left out (Quillfen and
    the floor only: for growth and memory at sizes where every tool's copies
    would not fit on the disk)."""
    q = shlex.quote
    src, chg = trees.source, trees.changed
    results = {}

    # Initial copy: every run gets a new empty folder; after the run its data
    # is written back and dropped from the page cache so that memory does not
    # fill up with copies.
    counter = [0]

    def fresh(tag):
        def prepare():
            counter[0] += 1
            path = os.path.join(work, f"init-{tag}-{counter[0]}")
            os.mkdir(path)
            return path
        return prepare

    def settle(path):
        subprocess.run(["sync"], check=False)
        subprocess.run([tools.gen_tree, "dropcache", path], check=False)

    def check_initial(expect_copies):
        def check(destination, output):
            problem = verify(tools, src, destination)
            if problem is None and expect_copies:
                n = copied_count(output)
                if n != trees.files:
                    problem = f"reported {n} copies, expected {trees.files}"
            settle(destination)
            return problem
        return check

    initial = [
        Tool("quillfen_run; sync",
             lambda d: with_sync(f"{q(tools.quillfen_run)} {q(src)} {q(d)}"),
             fresh("quillfen"), check_initial(True)),
        Tool("rsync -rt; sync",
             lambda d: with_sync(f"rsync -rt {q(src + '/')} {q(d + '/')}"),
             fresh("rsync"), check_initial(False)),
        Tool("cp -r; sync",
             lambda d: with_sync(f"cp -r --preserve=timestamps {q(src + '/.')} {q(d)}"),
             fresh("cpsync"), check_initial(False)),
        Tool("cp -r",
             lambda d: ["cp", "-r", "--preserve=timestamps", src + "/.", d],
             fresh("cp"), check_initial(False)),
        Tool("floor", lambda d: [tools.floor, src, d], fresh("floor"), None),
    ]
    if tools.baseline:
        initial.insert(1, Tool("baseline; sync",
                               lambda d: with_sync(f"{q(tools.baseline)} {q(src)} {q(d)}"),
                               fresh("baseline"), check_initial(True)))
    if only_quillfen:
        initial = [t for t in initial if not t.name.startswith(("rsync", "cp"))]
    log(f"case initial ({trees.files} files)")
    run_case("initial", initial, runs)
    results["initial"] = initial

    # The update runs of every tool from `source` into a prepared destination:
    # Quillfen's own report is checked by check(True), the others' by
    # check(False); the floor is not checked.
    def update_tools(source, prepare, check, synced=False):
        baseline = ([Tool("baseline", lambda d: [tools.baseline, source, d], prepare, check(True))]
                    if tools.baseline else [])
        if only_quillfen:
            return [
                Tool("quillfen_run", lambda d: [tools.quillfen_run, source, d], prepare,
                     check(True)),
            ] + baseline + [
                Tool("floor", lambda d: [tools.floor, source, d], prepare, None),
            ]
        cp_sync = ([Tool("cp -ru; sync",
                         lambda d: with_sync(f"cp -ru --preserve=timestamps {q(source + '/.')} "
                                             f"{q(d)}"), prepare, check(False))]
                   if synced else [])
        return [
            Tool("quillfen_run", lambda d: [tools.quillfen_run, source, d], prepare, check(True)),
        ] + baseline + cp_sync + [
            Tool("rsync -rt --update",
                 lambda d: ["rsync", "-rt", "--update", source + "/", d + "/"], prepare,
                 check(False)),
            Tool("cp -ru", lambda d: ["cp", "-ru", "--preserve=timestamps", source + "/.", d],
                 prepare, check(False)),
            Tool("floor", lambda d: [tools.floor, source, d], prepare, None),
        ]

    # No-op: one destination made up to date before timing; a no-op run leaves
    # it as it was (checked after every run), so all runs share it.
    noop_dest = os.path.join(work, "noop")
    run_checked(["cp", "-a", src, noop_dest])
    run_checked(["sync"])

    def same_noop():
        # Written back first: a run that flushes its destination (Quillfen
        # does) would otherwise pay for what the tool before it left dirty
        # (cp -ru sets the times of every folder anew).
        run_checked(["sync"])
        return noop_dest

    def check_noop(expect_zero):
        def check(destination, output):
            problem = verify(tools, src, destination)
            if problem is None and expect_zero and copied_count(output) != 0:
                problem = f"reported {copied_count(output)} copies on an up-to-date tree"
            return problem
        return check

    noop = update_tools(src, same_noop, check_noop)
    log(f"case noop ({trees.files} files)")
    run_case("noop", noop, runs)
    results["noop"] = noop

    # The same no-op runs from a cold cache: every tool reads the metadata of
    # both trees from the disk. The dropping happens before the timing.
    if cold and cold_cache_refusal() is None:
        def cold_noop():
            drop_caches()
            return noop_dest

        noop_cold = update_tools(src, cold_noop, check_noop)
        log(f"case noop-cold ({trees.files} files, page cache dropped before every run)")
        run_case("noop-cold", noop_cold, COLD_RUNS, warm_up=False)
        results["noop-cold"] = noop_cold
        profiles.append(f"disk of one cold no-op run, {trees.files} files (/proc/diskstats):")
        for tool in noop_cold:
            profiles.append(f"  {tool.name}: " + disk_profile(tool.argv_for(noop_dest), noop_dest))
    if shutil.which("strace"):
        for name, argv in (("quillfen_run", [tools.quillfen_run, src, noop_dest]),
                           ("floor", [tools.floor, src, noop_dest])):
            profiles.append(f"strace -c -f of one no-op run of {name}, {trees.files} files:")
            profiles.extend("  " + line for line in syscall_profile(argv))

    # 1 % changed: the destination mirrors the original tree; each run brings
    # it up to date with the changed tree, and before the next run the changed
    # files are put back from the original tree (in place, then synced) and
    # the whole destination is checked against the original again.
    chg_dest = os.path.join(work, "changed")
    run_checked(["cp", "-a", src, chg_dest])
    run_checked(["sync"])

    def reset_changed():
        run_checked([tools.gen_tree, "reset", "--list", trees.changed_list, src, chg_dest])
        run_checked(["sync"])
        problem = verify(tools, src, chg_dest)
        if problem:
            sys.exit("run_bench: reset of the changed case failed: " + problem)
        return chg_dest

    def check_changed(expect_copies):
        def check(destination, output):
            problem = verify(tools, chg, destination)
            if problem is None and expect_copies and copied_count(output) != trees.changed_count:
                problem = (f"reported {copied_count(output)} copies, "
                           f"expected {trees.changed_count}")
            return problem
        return check

    changed = update_tools(chg, reset_changed, check_changed, synced=True)
    log(f"case changed 1% ({trees.changed_count} of {trees.files} files)")
    run_case("changed", changed, runs)
    results["changed"] = changed
    return results


def summary(tool):
    if not tool.times:
        return None
    return (statistics.median(tool.times), min(tool.times), max(tool.times),
            statistics.median(tool.rss), statistics.median(tool.cpu))


def quillfen_of(tools_in_case):
    return next(t for t in tools_in_case if t.name.startswith("quillfen_run"))


def machine_line(bench_dir):
    """nproc, CPU, memory, file system of the trees, kernel."""
    cpu = "?"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f
                        if line.startswith("model name")), "?")
    except OSError:
        pass
    mem = "?"
    try:
        with open("/proc/meminfo", encoding="utf-8") as f:
            kib = next(int(line.split()[1]) for line in f if line.startswith("MemTotal:"))
            mem = f"{kib / 2**20:.1f} GiB"
    except (OSError, StopIteration):
        pass
    fs = subprocess.run(["findmnt", "-n", "-o", "FSTYPE,SOURCE,OPTIONS", "-T", bench_dir],
                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout.strip()
    return (f"Machine: {os.cpu_count()} CPUs ({cpu}), {mem} memory, kernel {os.uname().release}, "
            f"trees in {bench_dir} on {fs or '?'}")


LARGE_SIZE = 8 << 20  # bytes of each file of the large-file cases


def large_tree(bench_dir, files, version):
    """The tree of `files` files of LARGE_SIZE random bytes, made once under
    bench_dir; version 2 has other content and later modification times."""
    path = os.path.join(bench_dir, f"large-{files}-v{version}")
    if os.path.isdir(path):
        return path
    log(f"generating {path} ...")
    partial = path + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    os.makedirs(partial)
    base = 1_600_000_000 if version == 1 else 1_700_000_000
    for i in range(files):
        name = os.path.join(partial, f"d{i % 4}", f"video{i:04}.bin")
        os.makedirs(os.path.dirname(name), exist_ok=True)
        with open(name, "wb") as f:
            for _ in range(LARGE_SIZE >> 20):
                f.write(os.urandom(1 << 20))
        os.utime(name, (base + i, base + i))
    os.rename(partial, path)
    return path


def measure_large(tools, bench_dir, work, runs, files):
    """The large-file cases; returns {case: [Tool, ...]}. Every run gets a
    destination of its own, removed (untimed) once the run is checked: files
    this large leave the inode allocator alone."""
    q = shlex.quote
    old, new = large_tree(bench_dir, files, 1), large_tree(bench_dir, files, 2)
    counter = [0]

    def prepare_from(copy_of):
        def prepare():
            counter[0] += 1
            path = os.path.join(work, f"large-{counter[0]}")
            if copy_of:
                run_checked(["cp", "-a", copy_of, path])
            else:
                os.mkdir(path)
            run_checked(["sync"])
            return path
        return prepare

    def check(expect_copies):
        def checker(destination, output):
            problem = verify(tools, new, destination)
            if problem is None and expect_copies and copied_count(output) != files:
                problem = f"reported {copied_count(output)} copies, expected {files}"
            subprocess.run(["sync"], check=False)
            shutil.rmtree(destination, ignore_errors=True)
            return problem
        return checker

    results = {}
    for case, copy_of in (("large-initial", None), ("large-changed", old)):
        prepare = prepare_from(copy_of)
        contenders = [
            Tool("quillfen_run", lambda d: [tools.quillfen_run, new, d], prepare, check(True)),
            Tool("cp -r; sync",
                 lambda d: with_sync(f"cp -r --preserve=timestamps {q(new + '/.')} {q(d)}"),
                 prepare, check(False)),
        ]
        if tools.baseline:
            contenders.insert(1, Tool("baseline; sync",
                                      lambda d: with_sync(f"{q(tools.baseline)} {q(new)} {q(d)}"),
                                      prepare, check(True)))
        log(f"case {case} ({files} files of {LARGE_SIZE >> 20} MiB)")
        run_case(case, contenders, runs)
        results[case] = contenders
    return results


def case_lines(case, tools_in_case, case_width, tool_width, lines, rows, row_base):
    """The table lines of one case, one per tool, appended to `lines`, and
    its CSV rows (`row_base` and the tool's figures) to `rows`."""
    q = summary(quillfen_of(tools_in_case))
    for tool in tools_in_case:
        s = summary(tool)
        if s is None:
            lines.append(f"{case:{case_width}} {tool.name:{tool_width}} {'-':>8}")
            continue
        note = f"FAILED {len(tool.failures)}x" if tool.failures else ""
        ratio = q[0] / s[0] if q and s[0] > 0 else float("nan")
        lines.append(f"{case:{case_width}} {tool.name:{tool_width}} {s[0]:8.3f} "
                     f"{'[' + f'{s[1]:.3f}-{s[2]:.3f}' + ']':>17} {s[4]:6.2f} "
                     f"{s[3] / 1024:8.1f} {ratio:6.2f}  {note}")
        rows.append(dict(row_base, **{
            "case": case, "tool": tool.name,
            "runs": len(tool.times), "median_s": round(s[0], 4), "min_s": round(s[1], 4),
            "max_s": round(s[2], 4), "peak_rss_kib": int(s[3]), "cpu_s": round(s[4], 3),
            "quillfen_ratio": round(ratio, 3), "failed_runs": len(tool.failures),
            "all_s": " ".join(f"{t:.4f}" for t in tool.times)}))


def print_table(all_results, trees_by_size, runs, csv_path, stamp, bench_dir, other=None,
                cold_note=None):
    rows = []
    cold = (f"noop-cold rows: page cache dropped (sync; echo 3 > {DROP_CACHES}) before every "
            f"run of every tool, no warm-up, {COLD_RUNS} timed runs."
            if cold_note is None else f"noop-cold case skipped: {cold_note}.")
    lines = ["", f"Backup benchmark, {stamp}, warm cache (trees already in the page cache) "
             "unless the case says cold.", cold,
             machine_line(bench_dir),
             f"{runs} timed runs per tool after one warm-up (cold case: see above), "
             "tools alternating; "
             "median [min-max] in seconds; peak RSS median in MiB; "
             "CPU s = median user + system time; "
             "ratio = Quillfen's median / this tool's median.",
             "quillfen_run makes every copy durable and syncs the destination file system "
             "itself at the end of every run; other tools only where '; sync' is shown."]
    for size, results in all_results.items():
        trees = trees_by_size[size]
        lines.append("")
        lines.append(f"{size} files in {trees.folders} folders, "
                     f"{trees.bytes / 2**20:.0f} MiB; 1 % case changes {trees.changed_count} files")
        lines.append(f"{'case':8} {'tool':22} {'median':>8} {'min-max':>17} {'CPU s':>6} "
                     f"{'RSS MiB':>8} {'ratio':>6}  note")
        for case, tools_in_case in results.items():
            case_lines(case, tools_in_case, 8, 22, lines, rows,
                       {"date": stamp, "files": size, "folders": trees.folders,
                        "mib": round(trees.bytes / 2**20, 1)})
    large = (other or {}).get("large")
    if large:
        lines.append("")
        lines.append(f"large files: {other.get('large_label', '')}")
        for case, tools_in_case in large.items():
            case_lines(case, tools_in_case, 14, 16, lines, rows,
                       {"date": stamp, "files": other.get("large_files"), "folders": 4, "mib": ""})
    lines.extend(target_lines(all_results, other, cold_note))
    text = "\n".join(lines)
    print(text, flush=True)
    os.makedirs(os.path.dirname(csv_path), exist_ok=True)
    with open(csv_path, "w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0].keys()) if rows else ["date"])
        writer.writeheader()
        writer.writerows(rows)
    print(f"\nCSV: {csv_path}", flush=True)
    return text


def median_of(results, case, prefix):
    for tool in results[case]:
        if tool.name.startswith(prefix) and tool.times:
            return statistics.median(tool.times)
    return None


def growth_pairs(sizes):
    """Pairs (small, large) of measured sizes whose growth is judged: each size
    against the next, so 100,000 -> 1,000,000 is its own pair."""
    return list(zip(sizes, sizes[1:]))


def target_lines(all_results, other=None, cold_note=None):
    """Quillfen's ratios against the goals of the speed work, each marked met
    or NOT met (or not measured). `other` holds the figures parsed from the
    settings and comparison-window benchmarks (see parse_other); `cold_note`
    says why the cold case was skipped, if it was."""
    other = other or {}
    lines = ["", "Quillfen against the goals (largest size measured):"]
    size = max(all_results)
    r = all_results[size]

    def verdict(ok):
        return "met" if ok else "NOT met"

    def ratio_line(label, num, den, goal, why_missing=None):
        if num is None or den is None:
            return f"  {label}: not measured" + (f" ({why_missing})" if why_missing else "")
        value = num / den
        return f"  {label}: {value:.2f} (goal <= {goal}) {verdict(value <= goal)}"

    def med(case, prefix):
        return median_of(r, case, prefix) if case in r else None

    qn = med("noop", "quillfen_run")
    lines.append(ratio_line("no-op warm, Quillfen / floor", qn, med("noop", "floor"), 0.7))
    qcold = med("noop-cold", "quillfen_run")
    lines.append(ratio_line("no-op cold, Quillfen / floor", qcold, med("noop-cold", "floor"),
                            0.5, cold_note))
    lines.append(ratio_line("no-op cold, Quillfen / cp -ru", qcold, med("noop-cold", "cp"), 0.4,
                            cold_note))
    lines.append(ratio_line("initial, Quillfen / (cp -r; sync)", med("initial", "quillfen_run"),
                            med("initial", "cp -r; sync"), 1.0))
    lines.append(ratio_line("1 % changed, Quillfen / (cp -ru; sync)",
                            med("changed", "quillfen_run"), med("changed", "cp -ru; sync"), 0.6))
    for case, label in (("noop", "no-op warm"), ("initial", "initial"),
                        ("changed", "1 % changed")):
        base = med(case, "baseline")
        if base:
            lines.append(f"  {label}, Quillfen / baseline build: "
                         f"{med(case, 'quillfen_run') / base:.2f}")
    large = other.get("large") or {}
    for case in ("large-initial", "large-changed"):
        if case not in large:
            lines.append(f"  {case}: not measured")
            continue
        lines.append(ratio_line(f"{case}, Quillfen / (cp -r; sync)",
                                median_of(large, case, "quillfen_run"),
                                median_of(large, case, "cp -r; sync"), 1.0))
        base = median_of(large, case, "baseline")
        if base:
            lines.append(f"  {case}, Quillfen / baseline build: "
                         f"{median_of(large, case, 'quillfen_run') / base:.2f}")

    sizes = sorted(all_results)
    pairs = growth_pairs(sizes)
    if not pairs:
        lines.append("  growth: not measured (one size only)")
    for small, large in pairs:
        goal = 1.1 * large / small
        for case in ("initial", "noop", "noop-cold", "changed"):
            if case not in all_results[small] or case not in all_results[large]:
                continue
            a = median_of(all_results[small], case, "quillfen_run")
            b = median_of(all_results[large], case, "quillfen_run")
            if a and b:
                lines.append(f"  growth {case}, {large} / {small} files: {b / a:.1f}x "
                             f"(goal <= {goal:.0f}x) {verdict(b / a <= goal)}")
    if len(sizes) >= 2:
        small, large = sizes[0], sizes[-1]
        for case in ("initial", "noop", "changed"):
            qs = quillfen_of(all_results[small][case])
            ql = quillfen_of(all_results[large][case])
            if qs.rss and ql.rss:
                per_file = ((statistics.median(ql.rss) - statistics.median(qs.rss)) * 1024 /
                            (large - small))
                lines.append(f"  peak memory {case}: {statistics.median(ql.rss) / 1024:.1f} MiB "
                             f"for {large} files, {statistics.median(qs.rss) / 1024:.1f} MiB for "
                             f"{small}: {per_file:.0f} bytes per extra file (goal <= 50) "
                             f"{verdict(per_file <= 50)}")
    else:
        lines.append("  peak memory per file: not measured (one size only)")

    settings = other.get("settings")
    if settings:
        lines.append(f"  settings file, {settings['sets']} sections read and written back: "
                     f"{settings['seconds']:.2f} s (goal < 5 s) {verdict(settings['seconds'] < 5)}"
                     f"; peak memory {settings['ratio']:.2f} x its size (goal < 10 x) "
                     f"{verdict(settings['ratio'] < 10)}")
    else:
        lines.append("  settings file: not measured")
    window = other.get("compare")
    if window:
        files = window.get("files", "?")
        for label, key, goal in COMPARE_GOALS:
            ms = window.get(key)
            if ms is None:
                lines.append(f"  comparison window, {label}: not measured")
            else:
                lines.append(f"  comparison window at {files} files per side, {label}: "
                             f"{ms:.0f} ms (goal <= {goal} ms) {verdict(ms <= goal)}")
    else:
        lines.append("  comparison window: not measured")
    return lines


# The comparison window's goals: label, the start of compare_bench's line,
# the goal in milliseconds.
COMPARE_GOALS = [
    ("listing and filling both lists", "window opening", 2000),
    ("比較選択", "比較選択 handler", 500),
    ("ALL", "ALL on the compared", 50),
    ("a ctrl-click", "ctrl-click toggle", 50),
    ("a click", "plain click", 50),
]


def parse_other(settings_output, compare_output, compare_files):
    """The figures of the goals from the outputs of settings_bench and
    compare_bench (None where a benchmark did not run or printed no figure)."""
    other = {}
    if settings_output:
        seconds = ratio = sets = None
        for line in settings_output.splitlines():
            if line.startswith("round trip: start-up read + close"):
                seconds = float(line.split()[6]) / 1000
                sets = int(line.split(",")[-1].split()[0])
            elif line.startswith("round trip: peak resident memory"):
                ratio = float(line.split("(")[1].split()[0])
        if seconds is not None and ratio is not None:
            other["settings"] = {"seconds": seconds, "ratio": ratio, "sets": sets}
    if compare_output:
        window = {"files": compare_files}
        for line in compare_output.splitlines():
            for _, key, _ in COMPARE_GOALS:
                if line.startswith(key) and " median " in line:
                    window[key] = float(line.split(" median ")[1].split()[0])
        other["compare"] = window
    return other


def run_other_benches(tools, bench_dir, settings_sets, compare_files):
    """The listing, settings and comparison-window benchmarks, when they are
    built; returns their output lines and the figures of their goals."""
    lines = []
    outputs = {}
    programs = (("list_bench", tools.list_bench, []),
                ("settings_bench", tools.settings_bench, [str(settings_sets)]),
                ("compare_bench", tools.compare_bench, ["--files", str(compare_files)]))
    for name, exe, extra in programs:
        if not os.access(exe, os.X_OK):
            lines.append(f"{name}: not built, skipped")
            continue
        log(f"running {name} {' '.join(extra)} ...")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        # Their trees go to their own default folders unless BENCH_DIR is set.
        tree = ([os.path.join(bench_dir, f"{name}-tree-{compare_files}")]
                if name == "compare_bench" else [os.path.join(bench_dir, name + "-tree")])
        argv = [exe] + extra + (tree if "BENCH_DIR" in os.environ and name != "settings_bench"
                                else [])
        result = subprocess.run(argv, env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        outputs[name] = result.stdout if result.returncode == 0 else None
        lines.append(f"{name} (exit status {result.returncode}, warm cache):")
        lines.extend("  " + line for line in result.stdout.rstrip().splitlines())
    return lines, parse_other(outputs.get("settings_bench"), outputs.get("compare_bench"),
                              compare_files)


def free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(REPO, "build-bench"))
    parser.add_argument("--sizes", default=os.environ.get("BENCH_SIZES", "10000,100000"))
    parser.add_argument("--million", action="store_true", help="also 1,000,000 files")
    parser.add_argument("--only-quillfen", action="store_true",
                        help="time Quillfen and the floor only (growth and memory at sizes "
                             "where every tool's copies would not fit on the disk)")
    parser.add_argument("--runs", type=int, default=int(os.environ.get("BENCH_RUNS", "5")))
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--keep", action="store_true", help="keep the destinations")
    parser.add_argument("--no-other", action="store_true",
                        help="skip list_bench, settings_bench and compare_bench")
    parser.add_argument("--no-cold", action="store_true", help="skip the cold-cache no-op case")
    parser.add_argument("--settings-sets", type=int, default=1200000,
                        help="sections of settings_bench's file")
    parser.add_argument("--compare-files", type=int, default=1000000,
                        help="files per side of compare_bench")
    parser.add_argument("--large-files", type=int, default=200,
                        help="files of 8 MiB in the large-file cases (0 skips them)")
    parser.add_argument("--baseline", help="another build's quillfen_run, timed beside this one")
    args = parser.parse_args()

    sizes = [int(s) for s in args.sizes.split(",") if s.strip()]
    if args.million and 1000000 not in sizes:
        sizes.append(1000000)
    sizes.sort()
    if args.runs < 1:
        sys.exit("run_bench: --runs must be at least 1")
    tools = Tools(os.path.abspath(args.build), args.baseline)
    bench_dir = os.path.abspath(os.environ.get("BENCH_DIR", "/var/tmp/quillfen-bench"))
    os.makedirs(bench_dir, exist_ok=True)
    old = [d for d in os.listdir(bench_dir) if d.startswith("work-")]
    if old:
        log(f"note: earlier work folders left in {bench_dir} ({', '.join(old)}); "
            "they are removed at the end")

    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H%M%SZ")
    work_root = os.path.join(bench_dir, "work-" + stamp)
    os.mkdir(work_root)
    trees_by_size, all_results, profiles = {}, {}, []
    cold_note = "--no-cold given" if args.no_cold else cold_cache_refusal()
    if cold_note:
        log(f"cold-cache case skipped: {cold_note}")
    try:
        for size in sizes:
            trees = Trees(tools, bench_dir, size, args.seed)
            # 4 copying tools (or Quillfen alone) x (runs + 1) initial copies,
            # plus two destinations.
            copying = 1 if args.only_quillfen else 4
            need = (trees.bytes + 4096 * size) * (copying * (args.runs + 1) + 2)
            if free_bytes(bench_dir) < need:
                sys.exit(f"run_bench: {size} files need about {need / 2**30:.0f} GiB free "
                         f"in {bench_dir}; use fewer --runs or another BENCH_DIR")
            trees_by_size[size] = trees
            work = os.path.join(work_root, f"n{size}")
            os.mkdir(work)
            log(f"== {size} files: {trees.folders} folders, {trees.bytes / 2**20:.0f} MiB, "
                f"warm cache")
            all_results[size] = measure_size(tools, trees, work, args.runs, profiles,
                                             cold=cold_note is None,
                                             only_quillfen=args.only_quillfen)
        other_lines, other = (([], {}) if args.no_other else
                              run_other_benches(tools, bench_dir, args.settings_sets,
                                                args.compare_files))
        if args.large_files > 0:
            work = os.path.join(work_root, "large")
            os.mkdir(work)
            other["large_files"] = args.large_files
            other["large_label"] = (f"{args.large_files} files of {LARGE_SIZE >> 20} MiB "
                                    f"({args.large_files * LARGE_SIZE / 2**30:.1f} GiB), "
                                    "warm source")
            other["large"] = measure_large(tools, bench_dir, work, args.runs, args.large_files)
        extra = profiles + other_lines
        csv_path = os.path.join(HERE, "out", f"results-{stamp}.csv")
        text = print_table(all_results, trees_by_size, args.runs, csv_path, stamp, bench_dir,
                           other, cold_note)
        if extra:
            print("\n" + "\n".join(extra), flush=True)
        with open(os.path.join(HERE, "out", f"results-{stamp}.txt"), "w", encoding="utf-8") as f:
            f.write(text + "\n\n" + "\n".join(extra) + "\n")
    finally:
        if not args.keep:
            # All timing is over: now the bulk delete can do no harm.
            for d in os.listdir(bench_dir):
                if d.startswith("work-"):
                    shutil.rmtree(os.path.join(bench_dir, d), ignore_errors=True)
    failed = sum(len(t.failures) for r in all_results.values() for ts in r.values() for t in ts)
    if failed:
        log(f"\n{failed} runs failed their check; see FAILED above")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
