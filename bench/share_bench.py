#!/usr/bin/env python3
"""The backup onto a network share, side by side with the tools people use.

An OpenSSH server of its own on 127.0.0.1 serves a folder; sshfs mounts it
(as a user mounts a server: no reconnect, no extra connections). The case:
5,000 files of 4 KiB in 350 folders and 20 files of 10 MiB. Timed, in
alternating order, each from its start to its exit:

  initial   quillfen_run into an empty folder on the mount
            cp -r --preserve=timestamps to the mount
            rsync -rt over ssh to the server's folder
  no-op     quillfen_run again (nothing changed)
            rsync -rt over ssh again

Medians of --runs rounds, and the ratios the program is held to. Needs root
(FUSE, and a server on a port of its own); without it, or without sshd,
sshfs or rsync, it says why and exits with status 0.

Usage: share_bench.py --build BUILD-DIR [--runs N] [--copies N]
"""
import argparse
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time


def skip(reason):
    print(f"share bench skipped: {reason}")
    sys.exit(0)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(argv, **kwargs):
    return subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, **kwargs)


def timed(argv, env=None):
    start = time.monotonic()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, env=env)
    return time.monotonic() - start


def make_tree(root):
    rng = random.Random(7)
    for i in range(5000):
        folder = os.path.join(root, f"d{i % 50:02d}", f"s{i % 7}")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f"file{i:04d}.txt"), "wb") as f:
            f.write(rng.randbytes(4096))
    os.makedirs(os.path.join(root, "big"), exist_ok=True)
    for i in range(20):
        with open(os.path.join(root, "big", f"big{i:02d}.bin"), "wb") as f:
            f.write(rng.randbytes(10 << 20))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--copies", type=int, default=None,
                        help="QUILLFEN_COPIES for the program (default: its own policy)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        skip("mounting through FUSE and serving on a port of its own need root")
    tools = {name: shutil.which(name, path="/usr/sbin:/usr/bin:/sbin:/bin")
             for name in ("sshd", "sshfs", "ssh", "ssh-keygen", "rsync", "fusermount3")}
    missing = [name for name, path in tools.items() if path is None]
    if missing:
        skip("missing " + ", ".join(missing) + " (scripts/install-deps.sh bench)")
    quillfen = os.path.join(os.path.abspath(args.build), "bench", "quillfen_run")
    if not os.access(quillfen, os.X_OK):
        skip(f"{quillfen} is not built")

    work = tempfile.mkdtemp(prefix="quillfen-share-bench-", dir="/var/tmp")
    server = None
    mount = os.path.join(work, "mnt")
    try:
        export = os.path.join(work, "export")
        os.makedirs(export)
        os.makedirs(mount)
        for key in ("host_key", "client_key"):
            run([tools["ssh-keygen"], "-q", "-t", "ed25519", "-N", "", "-f",
                 os.path.join(work, key)])
        shutil.copy(os.path.join(work, "client_key.pub"), os.path.join(work, "authorized_keys"))
        port = free_port()
        os.makedirs("/run/sshd", exist_ok=True)
        config = os.path.join(work, "sshd_config")
        with open(config, "w") as f:
            f.write("\n".join([
                f"ListenAddress 127.0.0.1:{port}", f"HostKey {work}/host_key",
                f"PidFile {work}/sshd.pid", f"AuthorizedKeysFile {work}/authorized_keys",
                "PermitRootLogin prohibit-password", "PasswordAuthentication no",
                "KbdInteractiveAuthentication no", "UsePAM no", "UseDNS no", "StrictModes no",
                "Subsystem sftp /usr/lib/openssh/sftp-server", ""]))
        server = subprocess.Popen([tools["sshd"], "-D", "-f", config])
        ssh_options = ["-i", f"{work}/client_key", "-p", str(port), "-o",
                       "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                       "-o", "LogLevel=ERROR"]
        for _ in range(50):
            if subprocess.run([tools["ssh"], *ssh_options, "root@127.0.0.1", "true"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                break
            time.sleep(0.1)
        else:
            skip("the ssh server did not answer")
        run([tools["sshfs"], "-o",
             f"IdentityFile={work}/client_key,StrictHostKeyChecking=no,"
             f"UserKnownHostsFile=/dev/null,port={port}",
             f"root@127.0.0.1:{export}", mount])
        source = os.path.join(work, "src")
        make_tree(source)
        env = dict(os.environ)
        if args.copies is not None:
            env["QUILLFEN_COPIES"] = str(args.copies)
        rsync = [tools["rsync"], "-rt", "-e", " ".join([tools["ssh"], *ssh_options]),
                 source + "/"]
        times = {key: [] for key in ("q-initial", "cp-initial", "rsync-initial", "q-noop",
                                     "rsync-noop")}
        for round_number in range(args.runs):
            tag = f"r{round_number}"
            order = ["q", "cp", "rsync"] if round_number % 2 == 0 else ["rsync", "cp", "q"]
            for tool in order:
                run(["sync"])
                if tool == "q":
                    settings = os.path.join(work, f"{tag}.ini")
                    times["q-initial"].append(timed(
                        [quillfen, "--settings", settings, source, f"{mount}/q-{tag}"], env))
                    # A settings file of its own: the set is due again.
                    times["q-noop"].append(timed(
                        [quillfen, "--settings", settings + ".noop", source, f"{mount}/q-{tag}"],
                        env))
                elif tool == "cp":
                    times["cp-initial"].append(timed(
                        ["cp", "-r", "--preserve=timestamps", source, f"{mount}/cp-{tag}"]))
                else:
                    target = f"root@127.0.0.1:{export}/rsync-{tag}/"
                    times["rsync-initial"].append(timed(rsync + [target]))
                    times["rsync-noop"].append(timed(rsync + [target]))
            for name in os.listdir(export):
                shutil.rmtree(os.path.join(export, name))
        median = {key: statistics.median(values) for key, values in times.items()}
        print(f"share bench: sshfs on 127.0.0.1, 5,000 x 4 KiB + 20 x 10 MiB, "
              f"medians of {args.runs}")
        for key, values in times.items():
            spread = ", ".join(f"{v:.2f}" for v in values)
            print(f"  {key:14s} {median[key]:7.2f} s   ({spread})")
        print(f"  initial: {median['q-initial'] / median['cp-initial']:.2f} x cp to the mount "
              f"(held to <= 1.0), {median['q-initial'] / median['rsync-initial']:.2f} x rsync "
              f"over ssh (held to <= 2.0)")
        print(f"  no-op:   {median['q-noop'] / median['rsync-noop']:.2f} x rsync over ssh "
              f"(held to <= 1.0)")
    finally:
        if os.path.ismount(mount):
            subprocess.run([tools["fusermount3"], "-uz", mount])
        if server is not None:
            server.kill()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
