#!/usr/bin/env python3
"""Whole-program comparison of qvcp with cp -a and rsync -a on generated trees.

Run by hand (not by the test suite):  bench/compare.py [--runs N] [--qvcp PATH] [--dir DIR]

Trees are generated reproducibly (fixed seed) under DIR (default /tmp/qvcp_bench):
  small: 20000 files of 0-8 KiB in 200 directories
  big:   8 files of 64 MiB
Each tool copies each tree into an empty output, the tools taking turns, N times (default 5);
the median wall time and the peak resident memory of each are printed, with the ratios
qvcp/cp and qvcp/rsync. The page cache is not dropped: every tool reads a warm input.

Two sync cases follow:
  noop:  a second sync over the unchanged output of the small tree: qvcp mode=sync vs rsync -a
  delta: one file (--delta-mib, default 1024) with 8 scattered 4 KiB changes; the output is put
         back before each run: qvcp mode=sync vs rsync -a --no-whole-file --inplace vs rsync -a;
         qvcp's total_write from its statistics report is printed too.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def gen_small(root):
    rnd = random.Random(42)
    for d in range(200):
        dp = os.path.join(root, "d%03d" % d)
        os.makedirs(dp, exist_ok=True)
        for f in range(100):
            size = rnd.randint(0, 8192)
            with open(os.path.join(dp, "f%03d.dat" % f), "wb") as fh:
                fh.write(rnd.randbytes(size))


def gen_big(root):
    rnd = random.Random(7)
    os.makedirs(root, exist_ok=True)
    block = rnd.randbytes(1 << 20)
    for f in range(8):
        with open(os.path.join(root, "big%d.bin" % f), "wb") as fh:
            for i in range(64):
                fh.write(block[i:] + block[:i])


def run(cmd):
    """Wall time of one command."""
    t0 = time.monotonic()
    p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.monotonic() - t0
    if p.returncode != 0:
        sys.exit("failed (%d): %s" % (p.returncode, " ".join(cmd)))
    return wall


def peak_of(cmd):
    """Peak resident memory (KiB) of one command, as GNU time reports it."""
    p = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       text=True)
    lines = p.stderr.strip().splitlines()
    return int(lines[-1]) if lines and lines[-1].isdigit() else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--qvcp", default=os.path.join(HERE, "..", "build", "qvcp"))
    ap.add_argument("--dir", default="/tmp/qvcp_bench")
    ap.add_argument("--delta-mib", type=int, default=1024)
    a = ap.parse_args()
    missing = [p for p, path in (("rsync", "/usr/bin/rsync"), ("time", "/usr/bin/time")) if not os.path.exists(path)]
    if missing:
        subprocess.run(["apt-get", "install", "-y", "-qq"] + missing, check=True)
    qvcp = os.path.abspath(a.qvcp)
    trees = {"small": gen_small, "big": gen_big}
    for name, gen in trees.items():
        src = os.path.join(a.dir, "src_" + name)
        if not os.path.isdir(src):
            gen(src)
    tools = {
        "qvcp": lambda s, d: [qvcp, "mode=cp", "if=" + s, "of=" + d],
        "cp": lambda s, d: ["cp", "-a", s, d],
        "rsync": lambda s, d: ["rsync", "-a", s + "/", d + "/"],
    }
    print("%-6s %-6s %10s %10s" % ("tree", "tool", "median_s", "peak_MiB"))
    for name in trees:
        src = os.path.join(a.dir, "src_" + name)
        times = {t: [] for t in tools}
        for _ in range(a.runs):
            for t, mk in tools.items():
                dst = os.path.join(a.dir, "dst")
                shutil.rmtree(dst, ignore_errors=True)
                wall = run(mk(src, dst))
                times[t].append(wall)
        med = {t: statistics.median(v) for t, v in times.items()}
        for t in tools:
            dst = os.path.join(a.dir, "dst")
            shutil.rmtree(dst, ignore_errors=True)
            peak = peak_of(tools[t](src, dst))
            print("%-6s %-6s %10.3f %10.1f" % (name, t, med[t], peak / 1024.0))
        print("%-6s ratios qvcp/cp=%.2f qvcp/rsync=%.2f" % (name, med["qvcp"] / med["cp"], med["qvcp"] / med["rsync"]))
    shutil.rmtree(os.path.join(a.dir, "dst"), ignore_errors=True)
    sync_cases(a, qvcp)


def report(name, times):
    med = {t: statistics.median(v) for t, v in times.items()}
    for t, m in med.items():
        print("%-6s %-22s %10.3f" % (name, t, m))
    q = med["qvcp"]
    print("%-6s ratios %s" % (name, " ".join("qvcp/%s=%.2f" % (t, q / m) for t, m in med.items() if t != "qvcp")))


def qvcp_total_write(cmd):
    p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                       env=dict(os.environ, QV_SH_DBG="1"))
    for line in p.stderr.splitlines():
        at = line.find("total_write=")
        if at >= 0:
            return line[at:].strip()
    return "total_write=?"


def sync_cases(a, qvcp):
    src = os.path.join(a.dir, "src_small")
    dq, dr = os.path.join(a.dir, "noop_q"), os.path.join(a.dir, "noop_r")
    for d in (dq, dr):
        shutil.rmtree(d, ignore_errors=True)
    run([qvcp, "mode=sync", "if=" + src, "of=" + dq])
    run(["rsync", "-a", src + "/", dr + "/"])
    times = {"qvcp": [], "rsync -a": []}
    for _ in range(a.runs):
        times["qvcp"].append(run([qvcp, "mode=sync", "if=" + src, "of=" + dq]))
        times["rsync -a"].append(run(["rsync", "-a", src + "/", dr + "/"]))
    print("%-6s %-22s %10s" % ("case", "tool", "median_s"))
    report("noop", times)
    for d in (dq, dr):
        shutil.rmtree(d, ignore_errors=True)

    size = a.delta_mib << 20
    base = os.path.join(a.dir, "delta_base")
    changed = os.path.join(a.dir, "delta_src")
    if not os.path.exists(base) or os.path.getsize(base) != size:
        rnd = random.Random(11)
        chunk = rnd.randbytes(1 << 20)
        with open(base, "wb") as f:
            for i in range(a.delta_mib):
                f.write(chunk[i % 4096:] + chunk[:i % 4096])
    os.makedirs(changed, exist_ok=True)
    src_file = os.path.join(changed, "f")
    shutil.copyfile(base, src_file)
    rnd = random.Random(12)
    with open(src_file, "r+b") as f:
        for k in range(8):
            f.seek((size // 8) * k + rnd.randrange(0, size // 8 - 4096))
            f.write(rnd.randbytes(4096))
    out = os.path.join(a.dir, "delta_out")
    os.makedirs(out, exist_ok=True)
    tools = {
        "qvcp": [qvcp, "mode=sync", "if=" + changed, "of=" + out],
        "rsync --no-whole-file --inplace": ["rsync", "-a", "--no-whole-file", "--inplace", changed + "/", out + "/"],
        "rsync -a": ["rsync", "-a", changed + "/", out + "/"],
    }
    times = {t: [] for t in tools}
    for _ in range(a.runs):
        for t, cmd in tools.items():
            shutil.copyfile(base, os.path.join(out, "f"))
            os.utime(os.path.join(out, "f"), (0, 0))
            times[t].append(run(cmd))
    report("delta", times)
    shutil.copyfile(base, os.path.join(out, "f"))
    os.utime(os.path.join(out, "f"), (0, 0))
    print("delta  qvcp %s" % qvcp_total_write(tools["qvcp"]))
    shutil.rmtree(out, ignore_errors=True)


if __name__ == "__main__":
    main()
