#!/usr/bin/env python3
"""Checks the benchmark's own tools before their figures are trusted.

A benchmark is only as good as its checks: if the generator were not
deterministic, figures from two machines would not compare; if the floor's
verification missed a stale file, a tool that skipped work would look fast.

Usage: test_harness.py --build DIR   (runs in a temporary folder, a few seconds)
"""

import argparse
import os
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_bench  # noqa: E402  (the driver's pure parts are checked below)

BUILD = None


def exe(name):
    return os.path.join(BUILD, "bench", name)


def run(*argv, check=True):
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if check and result.returncode != 0:
        raise AssertionError(f"{argv} failed ({result.returncode}): {result.stderr}")
    return result


def tree_state(root):
    """Every file under root: relative path -> (size, mtime ns, content)."""
    state = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            st = os.stat(path)
            with open(path, "rb") as f:
                state[os.path.relpath(path, root)] = (st.st_size, st.st_mtime_ns, f.read())
    return state


def floor_fields(output):
    return {k: int(v) for k, v in (kv.split("=") for kv in output.split())}


class GeneratorTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def create(self, name, files=300, seed=7):
        path = os.path.join(self.dir, name)
        run(exe("gen_tree"), "create", "--files", str(files), "--seed", str(seed), path)
        return path

    def test_same_seed_same_tree_other_seed_other_tree(self):
        a = tree_state(self.create("a"))
        self.assertEqual(len(a), 300)
        self.assertEqual(a, tree_state(self.create("b")))
        self.assertNotEqual(a, tree_state(self.create("c", seed=8)))

    def test_shape_folders_depth_and_sizes(self):
        root = self.create("a", files=2000)
        folders = [f for f, _, _ in os.walk(root)]
        self.assertEqual(len(folders), 200)
        depths = [os.path.relpath(f, root).count(os.sep) + 1 for f in folders[1:]]
        self.assertEqual(max(depths), 6)
        sizes = [s for s, _, _ in tree_state(root).values()]
        self.assertLessEqual(max(sizes), 8 << 20)
        self.assertGreater(sum(1 for s in sizes if s < 16384), 0.99 * len(sizes))

    def test_existing_tree_is_not_overwritten(self):
        root = self.create("a")
        self.assertNotEqual(run(exe("gen_tree"), "create", "--files", "300", "--seed", "7", root,
                                check=False).returncode, 0)

    def test_mutate_changes_listed_files_only_and_reset_restores(self):
        original = self.create("a", files=2000)
        changed = os.path.join(self.dir, "chg")
        run("cp", "-al", original, changed)
        listing = os.path.join(self.dir, "list")
        run(exe("gen_tree"), "mutate", "--files", "2000", "--seed", "7", "--percent", "1",
            "--list", listing, changed)
        with open(listing) as f:
            listed = {line.strip().lstrip("/") for line in f if line.strip()}
        self.assertTrue(5 <= len(listed) <= 40, len(listed))
        before, after = tree_state(original), tree_state(changed)
        self.assertEqual(before.keys(), after.keys())  # the hard-linked original is intact
        differing = {p for p in before if before[p] != after[p]}
        self.assertEqual(differing, listed)
        for p in listed:
            self.assertGreater(after[p][1], before[p][1])  # newer
            self.assertNotEqual(after[p][0], before[p][0])  # another size

        target = os.path.join(self.dir, "target")
        run("cp", "-a", changed, target)
        run(exe("gen_tree"), "reset", "--list", listing, original, target)
        self.assertEqual(tree_state(target), before)


class FloorTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.src = os.path.join(self.tmp.name, "src")
        run(exe("gen_tree"), "create", "--files", "500", "--seed", "3", self.src)
        self.dst = os.path.join(self.tmp.name, "dst")
        run("cp", "-a", self.src, self.dst)
        self.some = sorted(tree_state(self.src))[:3]

    def tearDown(self):
        self.tmp.cleanup()

    def verify(self):
        result = run(exe("floor"), "--verify", self.src, self.dst, check=False)
        return result.returncode, floor_fields(result.stdout)

    def test_mirror_passes_and_counts_everything(self):
        status, fields = self.verify()
        self.assertEqual(status, 0)
        self.assertEqual(fields["files"], 500)
        self.assertEqual(fields["folders"], 50)
        self.assertEqual(fields["mismatched"], 0)
        self.assertEqual(fields["bytes"], sum(s for s, _, _ in tree_state(self.src).values()))

    def test_each_kind_of_stale_target_fails(self):
        missing, resized, retimed = (os.path.join(self.dst, p) for p in self.some)
        os.remove(missing)
        with open(resized, "ab") as f:
            f.write(b"x")
        st = os.stat(retimed)
        os.utime(retimed, ns=(st.st_atime_ns, st.st_mtime_ns - 1))  # one nanosecond older
        status, fields = self.verify()
        self.assertEqual(status, 1)
        self.assertEqual(fields["mismatched"], 3)
        self.assertEqual(fields["missing"], 1)
        self.assertEqual(fields["older"], 1)  # appending made `resized` newer

    def test_missing_target_tree_counts_every_file_missing(self):
        result = run(exe("floor"), self.src, os.path.join(self.tmp.name, "none"))
        fields = floor_fields(result.stdout)
        self.assertEqual(fields["missing"], 500)

    def test_both_ways_counts_each_walk_apart(self):
        os.remove(os.path.join(self.dst, self.some[0]))
        result = run(exe("floor"), "--both-ways", self.src, self.dst)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 2)
        walks = sorted((f["files"], f["missing"]) for f in map(floor_fields, lines))
        # The copy against the source misses nothing; the source against the copy one file.
        self.assertEqual(walks, [(499, 0), (500, 1)])


class QuillfenRunTest(unittest.TestCase):
    def test_copies_then_does_nothing_and_reports_counts(self):
        with tempfile.TemporaryDirectory() as tmp:
            src, dst = os.path.join(tmp, "src"), os.path.join(tmp, "dst")
            run(exe("gen_tree"), "create", "--files", "400", "--seed", "5", src)
            self.assertEqual(run(exe("quillfen_run"), src, dst).stdout.strip(), "copied=400")
            self.assertEqual(run(exe("floor"), "--verify", src, dst).returncode, 0)
            self.assertEqual(run(exe("quillfen_run"), src, dst).stdout.strip(), "copied=0")
            settings = os.path.join(tmp, "Quillfen.ini")
            run(exe("quillfen_run"), "--settings", settings, src, dst)
            # The end time just written makes the same set due only in 24 hours.
            self.assertEqual(run(exe("quillfen_run"), "--settings", settings, src, dst,
                                 check=False).returncode, 3)


def fake_case(**medians):
    """A case's tools, each with three runs around the given median seconds."""
    tools = []
    for name, median in medians.items():
        tool = run_bench.Tool(name.replace("_", " ").replace("quillfen run", "quillfen_run"),
                              None)
        tool.times = [median * 0.9, median, median * 1.2]
        tool.rss = [1000, 1000, 1000]
        tools.append(tool)
    return tools


class GoalsTest(unittest.TestCase):
    """The verdicts under the table: every goal is listed, met or not, and a
    case that did not run is said so instead of being judged."""

    def results(self, cold=True):
        r = {
            "initial": fake_case(quillfen_run=1.0, **{"cp -r; sync": 1.0}),
            "noop": fake_case(quillfen_run=0.7, floor=1.0, cp_ru=2.0),
            "changed": fake_case(quillfen_run=0.5, cp_ru=0.6, **{"cp -ru; sync": 1.0}),
        }
        if cold:
            r["noop-cold"] = fake_case(quillfen_run=1.0, floor=2.5, cp_ru=2.0)
        return r

    def verdicts(self, lines):
        return {line.split(":")[0].strip(): line for line in lines[2:]}

    def test_each_goal_is_judged_at_its_bound(self):
        small, large = self.results(), self.results()
        for case in large.values():
            for tool in case:
                tool.times = [t * 12 for t in tool.times]  # 12x for 10x the files: too slow
                tool.rss = [1000 + 100000 * 40 // 1024] * 3  # 40 bytes per extra file
        other = run_bench.parse_other(
            "round trip: start-up read + close       4100.0 ms (read 1.0 ms, 1200000 sets)\n"
            "round trip: peak resident memory         900.0 MB (10.50 x the file's 85.7 MB)\n",
            "window opening: list, fill, paint            median   1900.0 ms  min 1 max 2\n"
            "比較選択 handler: statuses, selections   median    600.0 ms  min 1 max 2\n"
            "ALL on the compared left list                median     10.0 ms  min 1 max 2\n",
            1000000)
        other["large"] = {
            "large-initial": fake_case(quillfen_run=0.9, **{"cp -r; sync": 1.0}),
            "large-changed": fake_case(quillfen_run=1.2, **{"cp -r; sync": 1.0}, baseline=0.6),
        }
        lines = run_bench.target_lines({10000: small, 100000: large}, other)
        v = self.verdicts(lines)
        self.assertIn("0.90 (goal <= 1.0) met", v["large-initial, Quillfen / (cp -r; sync)"])
        self.assertIn("1.20 (goal <= 1.0) NOT met", v["large-changed, Quillfen / (cp -r; sync)"])
        self.assertIn("baseline build: 2.00", v["large-changed, Quillfen / baseline build"])
        self.assertTrue(v["no-op warm, Quillfen / floor"].endswith(" met"))
        self.assertIn("0.40 (goal <= 0.5) met", v["no-op cold, Quillfen / floor"])
        self.assertIn("0.50 (goal <= 0.4) NOT met", v["no-op cold, Quillfen / cp -ru"])
        self.assertTrue(v["initial, Quillfen / (cp -r; sync)"].endswith(" met"))
        # Against cp -ru with its sync (1.0 s), not without it (0.6 s).
        self.assertIn("0.50 (goal <= 0.6) met", v["1 % changed, Quillfen / (cp -ru; sync)"])
        growth = [line for line in lines if "growth" in line]
        self.assertEqual(len(growth), 4)  # every case, the cold one too
        self.assertTrue(all(line.endswith("NOT met") for line in growth))
        memory = [line for line in lines if "peak memory" in line and "settings" not in line]
        self.assertEqual(len(memory), 3)
        self.assertTrue(all(line.endswith(" met") for line in memory), memory)
        settings = next(line for line in lines if "settings file" in line)
        self.assertIn("4.10 s (goal < 5 s) met", settings)
        self.assertIn("10.50 x its size (goal < 10 x) NOT met", settings)
        window = [line for line in lines if "comparison window" in line]
        self.assertEqual(len(window), 5)
        self.assertIn("1900 ms (goal <= 2000 ms) met", window[0])
        self.assertIn("600 ms (goal <= 500 ms) NOT met", window[1])
        self.assertIn("10 ms (goal <= 50 ms) met", window[2])
        self.assertTrue(window[3].endswith("not measured"))

    def test_a_skipped_cold_case_is_named_not_judged(self):
        lines = run_bench.target_lines({10000: self.results(cold=False)}, {},
                                       "not root: dropping the page cache needs root")
        cold = [line for line in lines if "no-op cold" in line]
        self.assertEqual(len(cold), 2)
        for line in cold:
            self.assertIn("not measured (not root", line)
            self.assertNotIn("met", line.replace("measured", ""))
        self.assertIn("  settings file: not measured", lines)
        self.assertIn("  comparison window: not measured", lines)

    def test_cold_case_needs_root(self):
        refusal = run_bench.cold_cache_refusal()
        if os.geteuid() == 0:
            # Root may still lack the right in a container; then the reason says so.
            if refusal is not None:
                self.assertIn("not writable", refusal)
        else:
            self.assertIn("not root", refusal)


def main():
    global BUILD
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
