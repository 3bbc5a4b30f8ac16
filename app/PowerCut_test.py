#!/usr/bin/env python3
"""Power cuts during backup runs, on ext4, xfs and btrfs.

The destination and the settings file live on a test file system in an image
file, loop-mounted; that image lies on an xfs file system with reflinks, in
an image of its own. While a run writes, reflink clones of the inner image are
taken at random moments: a clone holds every write the loop device had
completed and nothing still only in the page cache, which is what the disk
holds after a power cut at that moment. Each clone is then checked by the
file system's own checker, mounted, and looked at:

- every file that had a copy is its old or its new version (content and
  last-write time together), never empty, zero-filled or partly written;
  a file new in this run is absent or complete;
- the settings file is the old one or a new whole one, and when it holds the
  set's new end time every copy is the new version;
- a recovery run makes the destination equal the source, with no temporary
  file left.

A second case lets files that are not yet on the disk stand in the
destination (as a run stopped before its flush leaves them) and makes a run
that copies nothing: its end time must not reach the disk before they do.

Needs root (loop devices, mounts) and mkfs.xfs; a file system whose tools
are missing is skipped. Exit status 77 (skipped) says why on stdout.

usage: PowerCut_test.py QUILLFEN_RUN [ext4|xfs|btrfs ...]
"""

import fcntl
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
FICLONE = 0x40049409
END_KEY = "終了時刻"
SET_NAME = "photos"
OLD_END = "2020/01/01 0:00:00"


def run(*args, check=True, **kwargs):
    return subprocess.run(args, check=check, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kwargs)


def skip(reason):
    print("SKIPPED: " + reason)
    sys.exit(SKIP)


class Mounts:
    """Loop devices and mounts made by the test, undone in reverse order."""

    def __init__(self):
        self.undo = []

    def loop(self, image):
        device = run("losetup", "--find", "--show", image).stdout.strip()
        self.undo.append(("loop", device))
        return device

    def mount(self, device, point, fstype, options=None):
        args = ["mount", "-t", fstype]
        if options:
            args += ["-o", options]
        run(*args, device, point)
        self.undo.append(("mount", point))

    def release(self, what):
        """Unmounts or detaches `what` (the last entry naming it)."""
        for i in range(len(self.undo) - 1, -1, -1):
            if self.undo[i][1] == what:
                kind, name = self.undo.pop(i)
                if kind == "mount":
                    run("umount", name, check=False)
                else:
                    run("losetup", "-d", name, check=False)
                return

    def close(self):
        while self.undo:
            self.release(self.undo[-1][1])


def content(seed, size):
    data = random.Random(seed).randbytes(size)
    return data if any(data) else b"\x01" + data[1:]


class Tree:
    """The source tree, version 1 and then version 2, with what each file holds."""

    def __init__(self, root, rng):
        self.root = root
        self.old = {}  # relative path -> (sha256, mtime_ns) of version 1
        self.new = {}  # relative path -> (sha256, mtime_ns) of version 2
        self.names = []
        for d in range(16):
            for f in range(rng.randint(40, 140)):
                self.names.append(f"d{d:02}/s{f % 3}/file{f:03}.dat" if f % 5 == 0 else
                                  f"d{d:02}/file{f:03}.dat")
        self.sizes = {}
        for name in self.names:
            pick = rng.random()
            self.sizes[name] = (rng.randint(1, 16384) if pick < 0.9 else
                                rng.randint(65536, 524288) if pick < 0.98 else
                                rng.randint(3 << 20, 6 << 20))
        count = len(self.names)
        self.first = set(self.names[: count * 4 // 5])  # in version 1
        self.changed = {n for n in self.first if rng.random() < 0.75}

    def write(self, name, version, mtime_ns):
        path = os.path.join(self.root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        data = content(f"{name}:{version}", self.sizes[name] + version * 7)
        with open(path, "wb") as out:
            out.write(data)
        os.utime(path, ns=(mtime_ns, mtime_ns))
        return (hashlib.sha256(data).hexdigest(), mtime_ns)

    def version1(self):
        base = 1_700_000_000 * 10**9
        for i, name in enumerate(sorted(self.first)):
            self.old[name] = self.write(name, 1, base + i * 1_000_003)
        self.new = dict(self.old)

    def version2(self):
        base = 1_750_000_000 * 10**9
        for i, name in enumerate(self.names):
            if name in self.changed or name not in self.first:
                self.new[name] = self.write(name, 2, base + i * 1_000_003)


def file_state(path):
    """(sha256, mtime_ns) of the file at `path`, or None when there is none."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    with open(path, "rb") as f:
        return (hashlib.sha256(f.read()).hexdigest(), st.st_mtime_ns)


def is_temporary(name):
    return name.startswith(".quillfen-")


def walk_files(root):
    found = set()
    for folder, dirs, files in os.walk(root):
        for name in files:
            found.add(os.path.relpath(os.path.join(folder, name), root))
    return found


def settings_text(end):
    lines = ["[" + SET_NAME + "]", END_KEY + "=" + end]
    # A settings file of some size, so that a torn write would show.
    lines += ["[padding]"] + [f"key{i}=" + "x" * 60 for i in range(200)]
    return "\r\n".join(lines) + "\r\n"


def read_end_time(path):
    """The set's end time in the settings file, and whether the file is whole."""
    with open(path, "rb") as f:
        raw = f.read()
    text = raw.decode("utf-8", errors="replace")
    whole = "[padding]" in text and ("key199=" + "x" * 60) in text
    end = None
    section = None
    for line in text.replace("\r", "").split("\n"):
        if line.startswith("["):
            section = line.strip("[]")
        elif section == SET_NAME and line.startswith(END_KEY + "="):
            end = line.split("=", 1)[1]
    return end, whole


class Case:
    """One file system: its image, the runs on it and the clones taken."""

    def __init__(self, fstype, work, outer, runner, mounts):
        self.fstype = fstype
        self.work = work
        self.outer = outer
        self.runner = runner
        self.mounts = mounts
        self.image = os.path.join(outer, fstype + ".img")
        self.point = os.path.join(work, fstype)
        self.clones = []
        self.failures = []

    def mkfs(self, device):
        if self.fstype == "ext4":
            run("mkfs.ext4", "-q", "-F", device)
        elif self.fstype == "xfs":
            run("mkfs.xfs", "-q", "-f", device)
        else:
            run("mkfs.btrfs", "-q", "-f", device)

    def options(self):
        return "nouuid" if self.fstype == "xfs" else None

    def clone(self, label):
        path = os.path.join(self.outer, f"{self.fstype}-{len(self.clones):02}.img")
        with open(self.image, "rb") as src, open(path, "wb") as dst:
            fcntl.ioctl(dst.fileno(), FICLONE, src.fileno())
        self.clones.append((path, label))

    def run_backup(self, source, destination, settings):
        return subprocess.Popen([self.runner, "--settings", settings, "--name", SET_NAME, source,
                                 destination], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True)

    def cut_during(self, process, rng, limit=10):
        """Clones the image at random moments until `process` ends."""
        while process.poll() is None and len(self.clones) < limit:
            time.sleep(rng.uniform(0.01, 0.12))
            self.clone("during the run")
        output = process.communicate()[0]
        return process.returncode, output

    def fail(self, clone, text):
        self.failures.append(f"{self.fstype}, {os.path.basename(clone[0])} ({clone[1]}): {text}")

    def fsck(self, device, point, clone):
        """Replays the journal by a mount, then runs the file system's checker."""
        self.mounts.mount(device, point, self.fstype, self.options())
        self.mounts.release(point)
        if self.fstype == "ext4":
            result = run("e2fsck", "-fn", device, check=False)
            ok = result.returncode == 0
        elif self.fstype == "xfs":
            result = run("xfs_repair", "-n", device, check=False)
            ok = result.returncode == 0
        else:
            result = run("btrfs", "check", "--readonly", device, check=False)
            ok = result.returncode == 0
        if not ok:
            self.fail(clone, "the file system checker found damage:\n" + result.stdout[-2000:])
        return ok


def check_copies(case, clone, tree, destination, settings, expect_changes=True):
    """The checks of one power-cut state; returns whether the set's end time is new."""
    end, whole = read_end_time(settings)
    if not whole or end is None:
        case.fail(clone, f"the settings file is torn or lost (end time {end!r})")
    new_end = end is not None and end != OLD_END
    bad = []
    for name in tree.names:
        state = file_state(os.path.join(destination, name))
        old = tree.old.get(name)
        new = tree.new.get(name)
        if state is not None and state == new:
            continue
        if state == old and not new_end:
            continue  # the old copy, or no copy yet of a new file
        bad.append(f"{name}: {describe(state, old, new, os.path.join(destination, name))}")
    extra = [n for n in walk_files(destination)
             if n not in tree.new and not is_temporary(os.path.basename(n))]
    if extra:
        bad.append("files that are no copy: " + ", ".join(sorted(extra)[:5]))
    if bad:
        what = "the end time is new but" if new_end else "damaged copies:"
        case.fail(clone, f"{what} {len(bad)} files wrong, e.g.\n  " + "\n  ".join(bad[:8]))
    return new_end


def describe(state, old, new, path):
    if state is None:
        return "missing"
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        zeros = size > 0 and not any(f.read())
    kind = "empty" if size == 0 else "all zeros" if zeros else "neither version"
    times = ("the new last-write time" if new and state[1] == new[1] else
             "the old last-write time" if old and state[1] == old[1] else "another time")
    return f"{kind}, {size} bytes, {times}"


def check_recovery(case, clone, tree, source, destination, settings):
    with open(settings, "w", newline="") as f:
        f.write(settings_text(OLD_END))
    result = run(case.runner, "--settings", settings, "--name", SET_NAME, source, destination,
                 check=False)
    if result.returncode != 0:
        case.fail(clone, f"the recovery run failed ({result.returncode}): {result.stdout[-500:]}")
        return
    wrong = [n for n in tree.names if file_state(os.path.join(destination, n)) != tree.new[n]]
    found = walk_files(destination)
    temporaries = sorted(n for n in found if is_temporary(os.path.basename(n)))
    extra = sorted(found - set(tree.names) - set(temporaries))
    if wrong or temporaries or extra:
        case.fail(clone, f"after the recovery run: {len(wrong)} copies differ from the source "
                  f"({wrong[:3]}), temporaries left: {temporaries[:3]}, extra: {extra[:3]}")


def check_clones(case, checker):
    """Mounts every clone of the case in turn and runs `checker` on it."""
    for clone in case.clones:
        device = case.mounts.loop(clone[0])
        point = os.path.join(case.work, "clone")
        os.makedirs(point, exist_ok=True)
        try:
            if case.fstype == "btrfs":
                run("btrfs", "device", "scan", "--forget", check=False)
            if not case.fsck(device, point, clone):
                continue
            case.mounts.mount(device, point, case.fstype, case.options())
            checker(clone, point)
        finally:
            case.mounts.release(point)
            case.mounts.release(device)
        os.unlink(clone[0])


def backup_cut(case, rng):
    """Power cuts during a run that replaces old copies and makes new ones."""
    source = os.path.join(case.work, "source")
    shutil.rmtree(source, ignore_errors=True)
    tree = Tree(source, rng)
    tree.version1()
    destination = os.path.join(case.point, "backup")
    settings = os.path.join(case.point, "Quillfen.ini")
    first = run(case.runner, "--name", SET_NAME, source, destination, check=False)
    if first.returncode != 0:
        raise RuntimeError("the first run failed: " + first.stdout)
    with open(settings, "w", newline="") as f:
        f.write(settings_text(OLD_END))
    os.sync()
    tree.version2()
    os.sync()  # the source is not what is tried here
    process = case.run_backup(source, destination, settings)
    code, output = case.cut_during(process, rng)
    if code != 0:
        raise RuntimeError(f"the run failed ({code}): {output}")
    case.clone("just after the run")

    def checker(clone, point):
        dest = os.path.join(point, "backup")
        ini = os.path.join(point, "Quillfen.ini")
        check_copies(case, clone, tree, dest, ini)
        check_recovery(case, clone, tree, source, dest, ini)

    return checker


def unwritten_then_noop(case, rng):
    """Copies an earlier run left unflushed, then a run with nothing to copy."""
    source = os.path.join(case.work, "source2")
    shutil.rmtree(source, ignore_errors=True)
    tree = Tree(source, rng)
    tree.first = set(tree.names)
    tree.version1()
    destination = os.path.join(case.point, "backup2")
    settings = os.path.join(case.point, "Quillfen2.ini")
    with open(settings, "w", newline="") as f:
        f.write(settings_text(OLD_END))
    os.makedirs(destination)
    os.sync()
    # Copies that are made but not on the disk yet, as a run stopped after
    # its copies and before its flush leaves them.
    for name in tree.names:
        target = os.path.join(destination, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(source, name), target)
        os.utime(target, ns=(tree.old[name][1], tree.old[name][1]))
    tree.old = {}  # nothing of it is on the disk before the run
    result = run(case.runner, "--settings", settings, "--name", SET_NAME, source, destination,
                 check=False)
    if result.returncode != 0:
        raise RuntimeError(f"the run with nothing to copy failed: {result.stdout}")
    case.clone("after a run with nothing to copy")

    def checker(clone, point):
        dest = os.path.join(point, "backup2")
        ini = os.path.join(point, "Quillfen2.ini")
        end, _ = read_end_time(ini)
        if end is not None and end != OLD_END:
            wrong = [n for n in tree.names if file_state(os.path.join(dest, n)) != tree.new[n]]
            if wrong:
                case.fail(clone, f"the end time is new but {len(wrong)} copies are not on "
                          f"the disk, e.g. {wrong[:3]}")

    return checker


def try_file_system(case, rng):
    os.makedirs(case.point, exist_ok=True)
    with open(case.image, "wb") as f:
        f.truncate(900 << 20)
    device = case.mounts.loop(case.image)
    case.mkfs(device)
    case.mounts.mount(device, case.point, case.fstype)
    try:
        checkers = []
        for scenario in (backup_cut, unwritten_then_noop):
            first = len(case.clones)
            checker = scenario(case, rng)
            checkers.append((first, len(case.clones), checker))
    finally:
        case.mounts.release(case.point)
        case.mounts.release(device)
    clones = case.clones
    for first, last, checker in checkers:
        case.clones = clones[first:last]
        check_clones(case, checker)
    case.clones = clones
    os.unlink(case.image)


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    runner = os.path.abspath(sys.argv[1])
    wanted = sys.argv[2:] or ["ext4", "xfs", "btrfs"]
    if os.geteuid() != 0:
        skip("needs root for loop devices and mounts")
    tools = {"ext4": ["mkfs.ext4", "e2fsck"], "xfs": ["mkfs.xfs", "xfs_repair"],
             "btrfs": ["mkfs.btrfs", "btrfs"]}
    if shutil.which("mkfs.xfs") is None or shutil.which("losetup") is None:
        skip("mkfs.xfs and losetup are needed for the image that holds the test images")
    available = [fs for fs in wanted if all(shutil.which(t) for t in tools[fs])]
    for fs in sorted(set(wanted) - set(available)):
        print(f"{fs}: skipped, its tools are not installed")
    seed = int(os.environ.get("POWER_CUT_SEED", str(int(time.time()))))
    print(f"seed {seed} (POWER_CUT_SEED repeats it)")
    rng = random.Random(seed)
    work = tempfile.mkdtemp(prefix="quillfen-power-cut-")
    mounts = Mounts()
    failures = []
    try:
        outer_image = os.path.join(work, "outer.img")
        with open(outer_image, "wb") as f:
            f.truncate(4 << 30)
        try:
            outer_device = mounts.loop(outer_image)
        except subprocess.CalledProcessError as e:
            skip("no loop device: " + e.stdout.strip())
        run("mkfs.xfs", "-q", "-f", "-m", "reflink=1", outer_device)
        outer = os.path.join(work, "outer")
        os.makedirs(outer)
        try:
            mounts.mount(outer_device, outer, "xfs")
        except subprocess.CalledProcessError as e:
            skip("cannot mount xfs here: " + e.stdout.strip())
        for fstype in available:
            case = Case(fstype, work, outer, runner, mounts)
            started = time.monotonic()
            try:
                try_file_system(case, rng)
            except subprocess.CalledProcessError as e:
                if "unknown filesystem type" in (e.stdout or ""):
                    print(f"{fstype}: skipped, the kernel cannot mount it")
                    continue
                raise
            during = sum(1 for clone in case.clones if clone[1] == "during the run")
            print(f"{fstype}: {len(case.clones)} power-cut states ({during} during a run) checked in "
                  f"{time.monotonic() - started:.1f} s, {len(case.failures)} wrong")
            failures += case.failures
    finally:
        mounts.close()
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
