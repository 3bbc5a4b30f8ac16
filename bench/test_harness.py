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


def main():
    global BUILD
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
