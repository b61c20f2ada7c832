#!/usr/bin/env python3
"""Whole-tool benchmark suite: qvcp against cp -a, rsync -a and the raw copy_file_range limit.

Started by bench/run, which builds the programs first. Data is generated with fixed seeds under
--dir (kept between runs, regenerated when its parameters change). Each case runs its tools in
turn, one warm-up round and then --runs counted rounds; the page cache is never dropped, so every
tool reads a warm input. The table gives the median wall, user and system time, the peak resident
memory and the ratio qvcp/peer of the wall times; the targets follow it.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

FULL = dict(small_dirs=200, small_files=100, big_files=4, big_mib=256, delta_mib=1024,
            wide_dirs=2000, wide_files=100, runs=5)
QUICK = dict(small_dirs=20, small_files=100, big_files=4, big_mib=32, delta_mib=128,
             wide_dirs=200, wide_files=100, runs=3)


class Sample:
    def __init__(self, wall, user, sys_, peak_kib):
        self.wall, self.user, self.sys, self.peak = wall, user, sys_, peak_kib


TIME_OUT = "/tmp/qvcp_bench_time.%d" % os.getpid()


def measure(cmd):
    """Runs one command under GNU time: wall time from the clock, user/system time and peak RSS
    from time's report (a child forked by this Python process would inherit its resident size)."""
    t0 = time.monotonic()
    p = subprocess.run(["/usr/bin/time", "-o", TIME_OUT, "-f", "%U %S %M"] + cmd, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    wall = time.monotonic() - t0
    if p.returncode != 0:
        sys.exit("failed (%d): %s" % (p.returncode, " ".join(cmd)))
    user, sys_, peak = open(TIME_OUT).read().split()[-3:]
    return Sample(wall, float(user), float(sys_), int(peak))


def stamp_ok(root, key):
    path = root + ".stamp"
    return os.path.isdir(root) and os.path.exists(path) and open(path).read() == key


def stamp_set(root, key):
    with open(root + ".stamp", "w") as f:
        f.write(key)


def gen_small(root, dirs, files):
    key = "small %d %d seed 42" % (dirs, files)
    if stamp_ok(root, key):
        return
    shutil.rmtree(root, ignore_errors=True)
    rnd = random.Random(42)
    for d in range(dirs):
        dp = os.path.join(root, "d%04d" % d)
        os.makedirs(dp)
        for f in range(files):
            with open(os.path.join(dp, "f%03d.dat" % f), "wb") as fh:
                fh.write(rnd.randbytes(rnd.randint(1024, 16384)))
    stamp_set(root, key)


def gen_big(root, files, mib):
    key = "big %d %d seed 7" % (files, mib)
    if stamp_ok(root, key):
        return
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    rnd = random.Random(7)
    for f in range(files):
        block = rnd.randbytes(1 << 20)
        with open(os.path.join(root, "big%d.bin" % f), "wb") as fh:
            for i in range(mib):
                fh.write(block[i:] + block[:i])
    stamp_set(root, key)


def gen_wide(root, dirs, files):
    key = "wide %d %d" % (dirs, files)
    if stamp_ok(root, key):
        return
    shutil.rmtree(root, ignore_errors=True)
    for d in range(dirs):
        dp = os.path.join(root, "d%04d" % d)
        os.makedirs(dp)
        for f in range(files):
            os.close(os.open(os.path.join(dp, "e%03d" % f), os.O_WRONLY | os.O_CREAT, 0o644))
    stamp_set(root, key)


def gen_delta(base, src_dir, mib):
    """A base file and an input copy of it with 8 scattered 4 KiB changes."""
    size = mib << 20
    key = "delta %d seed 11/12" % mib
    if stamp_ok(src_dir, key) and os.path.exists(base):
        return
    rnd = random.Random(11)
    chunk = rnd.randbytes(1 << 20)
    with open(base, "wb") as f:
        for i in range(mib):
            f.write(chunk[i % 4096:] + chunk[:i % 4096])
    shutil.rmtree(src_dir, ignore_errors=True)
    os.makedirs(src_dir)
    src = os.path.join(src_dir, "f")
    shutil.copyfile(base, src)
    rnd = random.Random(12)
    with open(src, "r+b") as f:
        for k in range(8):
            f.seek((size // 8) * k + rnd.randrange(0, size // 8 - 4096))
            f.write(rnd.randbytes(4096))
    stamp_set(src_dir, key)


def rounds(tools, runs, prepare):
    """tools: name -> command. prepare(name) runs untimed before each run. Round 0 is a warm-up."""
    got = {t: [] for t in tools}
    for r in range(runs + 1):
        for t, cmd in tools.items():
            prepare(t)
            s = measure(cmd)
            if r > 0:
                got[t].append(s)
    return {t: Sample(statistics.median(x.wall for x in v), statistics.median(x.user for x in v),
                      statistics.median(x.sys for x in v), max(x.peak for x in v)) for t, v in got.items()}


class Table:
    def __init__(self):
        self.rows = []
        self.res = {}

    def add(self, case, med, ref="qvcp"):
        self.res[case] = med
        q = med.get(ref)
        for t, s in med.items():
            ratio = "" if t == ref or q is None else "%.2f" % (q.wall / s.wall)
            self.rows.append((case, t, "%.3f" % s.wall, "%.3f" % s.user, "%.3f" % s.sys,
                              "%.1f" % (s.peak / 1024.0), ratio))

    def show(self):
        head = ("case", "tool", "wall s", "user s", "sys s", "peak MiB", "qvcp/tool")
        w = [max(len(r[i]) for r in self.rows + [head]) for i in range(len(head))]
        line = lambda r: "| " + " | ".join(c.ljust(w[i]) if i < 2 else c.rjust(w[i]) for i, c in enumerate(r)) + " |"
        print(line(head))
        print("|" + "|".join("-" * (x + 1) + ("-" if i < 2 else ":") for i, x in enumerate(w)) + "|")
        for r in self.rows:
            print(line(r))
        sys.stdout.flush()


def total_write(cmd):
    p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                       env=dict(os.environ, QV_SH_DBG="1"))
    for line in p.stderr.splitlines():
        at = line.find("total_write=")
        if at >= 0:
            return int(line[at + len("total_write="):].split()[0])
    return -1


def free_port():
    import socket
    with socket.socket() as so:
        so.bind(("127.0.0.1", 0))
        return so.getsockname()[1]


class Servers:
    """qvsd and an rsync daemon exporting the same folder on loopback, for the remote cases."""

    def __init__(self, qvsd, root):
        self.root, self.qvsd, self.plain = root, qvsd, None
        self.log = os.path.join(os.path.dirname(root), "qvsd.log")
        if os.path.exists(self.log):
            os.unlink(self.log)
        self.q, self.port, self.tls_port, self.fp = self.start(self.log, True)
        self.rport = free_port()
        conf = os.path.join(os.path.dirname(root), "rsyncd.conf")
        with open(conf, "w") as f:
            f.write("[mod]\n path = %s\n read only = false\n use chroot = false\n uid = %d\n gid = %d\n"
                    % (root, os.getuid(), os.getgid()))
        self.r = subprocess.Popen(["rsync", "--daemon", "--no-detach", "--port=%d" % self.rport, "--config=" + conf],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        import socket
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", self.rport), 0.1).close()
                break
            except OSError:
                time.sleep(0.05)

    def start(self, log, tls):
        """A qvsd over the root on free loopback ports: (process, TCP port, TLS port, fingerprint)."""
        import re
        q = subprocess.Popen([self.qvsd, "root=" + self.root, "anonymous=yes", "listen=127.0.0.1", "port=0",
                              "tls_port=" + ("0" if tls else "off"), "level=info", "log=" + log],
                             stderr=subprocess.PIPE, text=True)
        port = tls_port = 0
        fp = ""
        deadline = time.monotonic() + 20
        while (not port or (tls and not tls_port)) and time.monotonic() < deadline:
            line = q.stderr.readline()
            if not line:
                break
            m = re.search(r"listening on .*:(\d+) \(tcp\)", line)
            if m:
                port = int(m.group(1))
            m = re.search(r"listening on .*:(\d+) \(tls, sha256 ([0-9A-F:]+)\)", line)
            if m:
                tls_port, fp = int(m.group(1)), m.group(2)
        if not port or (tls and not tls_port):
            sys.exit("qvsd did not start")
        return q, port, tls_port, fp

    def start_plain(self):
        """A second qvsd without a TLS listener, as the daemon has none: the memory of a server
        that serves what the daemon serves. Its URL is plain_url()."""
        if not self.plain:
            self.plain = self.start(os.path.join(os.path.dirname(self.root), "qvsd_plain.log"), False)
        return self.plain[0]

    def plain_url(self, path):
        return "qvp://127.0.0.1:%d%s" % (self.plain[1], path)

    def url(self, path, tls=False):
        if tls:
            return "qvps://127.0.0.1:%d%s?tls_fingerprint=%s" % (self.tls_port, path, self.fp)
        return "qvp://127.0.0.1:%d%s" % (self.port, path)

    def rurl(self, path):
        return "rsync://127.0.0.1:%d/mod%s" % (self.rport, path)

    def wire_mark(self):
        return len(open(self.log).read().splitlines()) if os.path.exists(self.log) else 0

    def wire_since(self, mark):
        """Bytes in and out of the sessions qvsd logged after mark."""
        import re
        time.sleep(0.2)  # the last session's line is written when it ends
        total = 0
        for line in open(self.log).read().splitlines()[mark:]:
            m = re.search(r"bytes_in=(\d+) bytes_out=(\d+)", line)
            if m:
                total += int(m.group(1)) + int(m.group(2))
        return total

    def peak_kib(self, q=None):
        for line in open("/proc/%d/status" % (q or self.q).pid):
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
        return 0

    def reset_peak(self, q=None):
        """Starts qvsd's peak resident size anew (VmHWM), so that one case's peak can be read."""
        try:
            with open("/proc/%d/clear_refs" % (q or self.q).pid, "w") as f:
                f.write("5")
        except OSError:
            pass

    def close(self):
        for p in (self.q, self.r) + ((self.plain[0],) if self.plain else ()):
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()


class PeakSampler:
    """The largest resident size of the children of a process (an rsync daemon forks one per
    connection), sampled every 10 ms in a thread until stop(). With own=True the process itself is
    sampled instead. The anonymous part (RssAnon: what a session allocates, without the mapped
    program and libraries) is kept beside the whole."""

    def __init__(self, parent, own=False):
        import threading
        self.parent, self.own, self.peak, self.anon, self.done = parent, own, 0, 0, False
        self.t = threading.Thread(target=self.run, daemon=True)
        self.t.start()

    def children(self):
        if self.own:
            return [self.parent]
        try:
            with open("/proc/%d/task/%d/children" % (self.parent, self.parent)) as f:
                return [int(x) for x in f.read().split()]
        except OSError:
            return []

    def run(self):
        while not self.done:
            for c in self.children():
                try:
                    for line in open("/proc/%d/status" % c):
                        if line.startswith("VmHWM:"):
                            self.peak = max(self.peak, int(line.split()[1]))
                        elif line.startswith("RssAnon:"):
                            self.anon = max(self.anon, int(line.split()[1]))
                except OSError:
                    pass
            time.sleep(0.01)

    def stop(self):
        self.done = True
        self.t.join()


def rsync_wire(cmd):
    """Bytes sent and received by an rsync run, from its --stats."""
    import re
    p = subprocess.run(cmd[:1] + ["--stats"] + cmd[1:], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    sent = re.search(r"Total bytes sent: ([\d,]+)", p.stdout)
    recv = re.search(r"Total bytes received: ([\d,]+)", p.stdout)
    if not sent or not recv:
        return -1
    return int(sent.group(1).replace(",", "")) + int(recv.group(1).replace(",", ""))


def remote_cases(cases, d, p, runs, qvcp, qvsd, tab, extra):
    """Push, pull, big files, no-op sync and a delta against an rsync daemon on the same loopback."""
    srv = Servers(qvsd, d)
    rm = lambda path: shutil.rmtree(path, ignore_errors=True)
    small, big = os.path.join(d, "small"), os.path.join(d, "big")
    wire = {}

    def record(case, qcmd, rcmd, prepare):
        prepare(None)
        m = srv.wire_mark()
        measure(qcmd)
        q = srv.wire_since(m)
        prepare(None)
        wire[case] = (q, rsync_wire(rcmd))

    try:
        if "rpush" in cases or "rnoop" in cases or "rpull" in cases or "rtls" in cases:
            gen_small(small, p["small_dirs"], p["small_files"])
        if "rpush" in cases:
            out = os.path.join(d, "rpush")
            prep = lambda _t: rm(out)
            qc, rc = [qvcp, "mode=cp", "if=" + small, "of=" + srv.url("/rpush")], ["rsync", "-a", small + "/", srv.rurl("/rpush/")]
            tab.add("remote push", rounds({"qvcp": qc, "rsync daemon": rc}, runs, prep))
            record("remote push", qc, rc, prep)
            rm(out)
        if "rpull" in cases:
            dst = os.path.join(d, "dst")
            prep = lambda _t: rm(dst)
            qc, rc = [qvcp, "mode=cp", "if=" + srv.url("/small"), "of=" + dst], ["rsync", "-a", srv.rurl("/small/"), dst + "/"]
            tab.add("remote pull", rounds({"qvcp": qc, "rsync daemon": rc}, runs, prep))
            record("remote pull", qc, rc, prep)
            rm(dst)
        if "rbig" in cases:
            gen_big(big, p["big_files"], p["big_mib"])
            out = os.path.join(d, "rbig")
            prep = lambda _t: rm(out)
            qc, rc = [qvcp, "mode=cp", "if=" + big, "of=" + srv.url("/rbig")], ["rsync", "-a", big + "/", srv.rurl("/rbig/")]
            tab.add("remote big", rounds({"qvcp": qc, "rsync daemon": rc}, runs, prep))
            record("remote big", qc, rc, prep)
            extra["remote big bytes"] = p["big_files"] * (p["big_mib"] << 20)
            rm(out)
        if "rnoop" in cases:
            oq, orr = os.path.join(d, "rnoop_q"), os.path.join(d, "rnoop_r")
            rm(oq)
            rm(orr)
            qc, rc = [qvcp, "mode=sync", "if=" + small, "of=" + srv.url("/rnoop_q")], ["rsync", "-a", small + "/", srv.rurl("/rnoop_r/")]
            measure(qc)
            measure(rc)
            tab.add("remote noop", rounds({"qvcp": qc, "rsync daemon": rc}, runs, lambda _t: None))
            record("remote noop", qc, rc, lambda _t: None)
            rm(oq)
            rm(orr)
        if "rdelta" in cases:
            base, src = os.path.join(d, "delta_base"), os.path.join(d, "delta_src")
            gen_delta(base, src, p["delta_mib"])
            out = os.path.join(d, "rdelta")
            os.makedirs(out, exist_ok=True)

            def restore(_t):
                shutil.copyfile(base, os.path.join(out, "f"))
                os.utime(os.path.join(out, "f"), (0, 0))
            qc = [qvcp, "mode=sync", "if=" + src, "of=" + srv.url("/rdelta")]
            rc = ["rsync", "-a", "--no-whole-file", "--inplace", src + "/", srv.rurl("/rdelta/")]
            tab.add("remote delta", rounds({"qvcp": qc, "rsync daemon --no-whole-file --inplace": rc}, runs, restore))
            record("remote delta", qc, rc, restore)
            rm(out)
        if "rwide" in cases:
            # The wide tree (200,000 empty files) synced once, then no-op syncs: the per-entry cost of
            # a remote listing, and the memory of both ends (the daemon's forked children sampled).
            wide = os.path.join(d, "wide")
            gen_wide(wide, p["wide_dirs"], p["wide_files"])
            oq, orr = os.path.join(d, "rwide_q"), os.path.join(d, "rwide_r")
            rm(oq)
            rm(orr)
            plain = srv.start_plain()
            qc = [qvcp, "mode=sync", "if=" + wide, "of=" + srv.plain_url("/rwide_q")]
            rc = ["rsync", "-a", wide + "/", srv.rurl("/rwide_r/")]
            measure(qc)
            measure(rc)
            srv.reset_peak(plain)
            sampler = PeakSampler(srv.r.pid)
            own = PeakSampler(plain.pid, own=True)
            tab.add("remote wide noop", rounds({"qvcp": qc, "rsync daemon": rc}, runs, lambda _t: None))
            sampler.stop()
            own.stop()
            extra["rwide qvsd peak KiB"] = srv.peak_kib(plain)
            extra["rwide rsyncd peak KiB"] = sampler.peak
            extra["rwide qvsd anon KiB"] = own.anon
            extra["rwide rsyncd anon KiB"] = sampler.anon
            # The same no-op against the server that also listens for TLS (its library is loaded).
            srv.reset_peak()
            measure([qvcp, "mode=sync", "if=" + wide, "of=" + srv.url("/rwide_q")])
            extra["rwide qvsd tls peak KiB"] = srv.peak_kib()
            rm(oq)
            rm(orr)
        if "rtls" in cases:
            out = os.path.join(d, "rtls")
            prep = lambda _t: rm(out)
            tab.add("remote push tls", rounds({
                "qvcp qvps": [qvcp, "mode=cp", "if=" + small, "of=" + srv.url("/rtls", True)],
                "qvcp qvp": [qvcp, "mode=cp", "if=" + small, "of=" + srv.url("/rtls")]}, runs, prep), ref="qvcp qvps")
            rm(out)
        extra["qvsd peak MiB"] = srv.peak_kib() / 1024.0
        extra["wire"] = wire
    finally:
        srv.close()


def main():
    ap = argparse.ArgumentParser(description="qvcp against cp -a and rsync -a")
    ap.add_argument("--quick", action="store_true", help="scaled-down data, 3 counted runs")
    ap.add_argument("--runs", type=int, help="counted runs per tool (default 5, quick 3)")
    ap.add_argument("--dir", default="/tmp/qvcp_bench", help="scratch directory")
    ap.add_argument("--cases", default="small,big,noop,delta,wide,rpush,rpull,rbig,rnoop,rdelta,rtls,rwide",
                    help="comma-separated cases; 'real' (a copy of /usr/share) is run only when named")
    ap.add_argument("--qvcp", required=True)
    ap.add_argument("--cfr", required=True, help="the copy_file_range program")
    ap.add_argument("--qvsd", help="the qvsd server (remote cases rpush,rpull,rbig,rnoop,rdelta,rtls,rwide)")
    a = ap.parse_args()
    p = dict(QUICK if a.quick else FULL)
    runs = a.runs or p["runs"]
    cases = a.cases.split(",")
    qvcp, cfr = os.path.abspath(a.qvcp), os.path.abspath(a.cfr)
    d = os.path.join(a.dir, "quick" if a.quick else "full")
    os.makedirs(d, exist_ok=True)
    dst = os.path.join(d, "dst")
    clear = lambda _t: shutil.rmtree(dst, ignore_errors=True)
    tab = Table()
    extra = {}

    small = os.path.join(d, "small")
    if "small" in cases or "noop" in cases:
        gen_small(small, p["small_dirs"], p["small_files"])
    if "small" in cases:
        tab.add("small", rounds({
            "qvcp": [qvcp, "mode=cp", "if=" + small, "of=" + dst],
            "cp -a": ["cp", "-a", small, dst],
            "rsync -a": ["rsync", "-a", small + "/", dst + "/"]}, runs, clear))
    if "big" in cases:
        big = os.path.join(d, "big")
        gen_big(big, p["big_files"], p["big_mib"])
        tab.add("big", rounds({
            "qvcp": [qvcp, "mode=cp", "if=" + big, "of=" + dst],
            "cp -a": ["cp", "-a", big, dst],
            "rsync -a": ["rsync", "-a", big + "/", dst + "/"],
            "copy_file_range": [cfr, big, dst]}, runs, clear))
    if "noop" in cases:
        oq, orr = os.path.join(d, "noop_q"), os.path.join(d, "noop_r")
        for o in (oq, orr):
            shutil.rmtree(o, ignore_errors=True)
        measure([qvcp, "mode=sync", "if=" + small, "of=" + oq])
        measure(["rsync", "-a", small + "/", orr + "/"])
        tab.add("noop", rounds({
            "qvcp": [qvcp, "mode=sync", "if=" + small, "of=" + oq],
            "rsync -a": ["rsync", "-a", small + "/", orr + "/"]}, runs, lambda _t: None))
        for o in (oq, orr):
            shutil.rmtree(o, ignore_errors=True)
    clear(None)
    if "delta" in cases:
        base, src = os.path.join(d, "delta_base"), os.path.join(d, "delta_src")
        gen_delta(base, src, p["delta_mib"])
        out = os.path.join(d, "delta_out")
        os.makedirs(out, exist_ok=True)

        def restore(_t):
            shutil.copyfile(base, os.path.join(out, "f"))
            os.utime(os.path.join(out, "f"), (0, 0))
        qcmd = [qvcp, "mode=sync", "if=" + src, "of=" + out]
        tab.add("delta", rounds({
            "qvcp": qcmd,
            "rsync --no-whole-file --inplace": ["rsync", "-a", "--no-whole-file", "--inplace", src + "/", out + "/"],
            "rsync -a": ["rsync", "-a", src + "/", out + "/"]}, runs, restore))
        restore(None)
        extra["total_write"] = total_write(qcmd)
        shutil.rmtree(out, ignore_errors=True)
    if "wide" in cases:
        wide = os.path.join(d, "wide")
        gen_wide(wide, p["wide_dirs"], p["wide_files"])
        oq, orr = os.path.join(d, "wide_q"), os.path.join(d, "wide_r")
        for o in (oq, orr):
            shutil.rmtree(o, ignore_errors=True)
        measure([qvcp, "mode=sync", "if=" + wide, "of=" + oq])
        measure(["rsync", "-a", wide + "/", orr + "/"])
        med = rounds({
            "qvcp": [qvcp, "mode=sync", "if=" + wide, "of=" + oq],
            "qvcp ls olist=none": [qvcp, "mode=ls", "if=" + wide, "olist=none"],
            "rsync -a": ["rsync", "-a", wide + "/", orr + "/"]}, runs, lambda _t: None)
        tab.add("wide", med)
        for o in (oq, orr):
            shutil.rmtree(o, ignore_errors=True)

    if any(c in cases for c in ("rpush", "rpull", "rbig", "rnoop", "rdelta", "rtls", "rwide")):
        if not a.qvsd:
            sys.exit("the remote cases need --qvsd")
        remote_cases(cases, d, p, runs, qvcp, os.path.abspath(a.qvsd), tab, extra)

    if "real" in cases:
        # A real tree: a copy of /usr/share (tens of thousands of entries in small directories, links,
        # hard links on some systems), made once in the scratch directory.
        real = os.path.join(a.dir, "real_share")
        if not os.path.isdir(real):
            subprocess.run(["cp", "-a", "/usr/share", real], check=False)
        rq, rr, rh = (os.path.join(d, n) for n in ("real_q", "real_r", "real_h"))
        tab.add("real copy", rounds({
            "qvcp": [qvcp, "mode=cp", "if=" + real, "of=" + dst],
            "cp -a": ["cp", "-a", real, dst],
            "rsync -a": ["rsync", "-a", real + "/", dst + "/"]}, runs, clear))
        for o in (rq, rr, rh):
            shutil.rmtree(o, ignore_errors=True)
        measure([qvcp, "mode=sync", "if=" + real, "of=" + rq, "flag=hardlinks,xattr"])
        measure(["rsync", "-aHX", real + "/", rr + "/"])
        floor = ["sh", "-c", "find '%s' -printf '%%s\\n' >/dev/null & find '%s' -printf '%%s\\n' >/dev/null; wait"
                 % (real, rq)]
        tab.add("real noop", rounds({
            "qvcp": [qvcp, "mode=sync", "if=" + real, "of=" + rq],
            "rsync -a": ["rsync", "-a", real + "/", rr + "/"],
            "two find (floor)": floor}, runs, lambda _t: None))
        tab.add("real noop HX", rounds({
            "qvcp": [qvcp, "mode=sync", "if=" + real, "of=" + rq, "flag=hardlinks,xattr"],
            "rsync -aHX": ["rsync", "-aHX", real + "/", rr + "/"]}, runs, lambda _t: None))
        for o in (rq, rr, rh):
            shutil.rmtree(o, ignore_errors=True)
        clear(None)

    print("\n%s data, median of %d runs after a warm-up, %d cores\n" % ("quick" if a.quick else "full", runs,
                                                                        os.cpu_count()))
    tab.show()
    targets(tab.res, extra)
    os.unlink(TIME_OUT)


def targets(res, extra):
    checks = []

    def ratio(case, a, b, limit, what=None):
        if case in res:
            r = res[case][a].wall / res[case][b].wall
            checks.append((case, what or "%s / %s wall" % (a, b), r, "<= %.2f" % limit, r <= limit))
    ratio("small", "qvcp", "rsync -a", 0.8)
    ratio("small", "qvcp", "cp -a", 1.0)
    ratio("big", "qvcp", "cp -a", 1.0)
    ratio("big", "qvcp", "rsync -a", 0.3)
    if "big" in res:
        r = res["big"]["copy_file_range"].wall / res["big"]["qvcp"].wall
        checks.append(("big", "qvcp throughput / copy_file_range", r, ">= 0.80", r >= 0.8))
    ratio("noop", "qvcp", "rsync -a", 0.5)
    ratio("delta", "qvcp", "rsync --no-whole-file --inplace", 0.5)
    if "total_write" in extra:
        tw = extra["total_write"]
        checks.append(("delta", "qvcp total_write bytes", tw, "<= %d" % (8 << 16), 0 <= tw <= 8 << 16))
    if "wide" in res:
        w = res["wide"]
        qp = max(w["qvcp"].peak, w["qvcp ls olist=none"].peak)
        checks.append(("wide", "qvcp peak / rsync peak", qp / w["rsync -a"].peak, "<= 1.00",
                       qp <= w["rsync -a"].peak))
        ratio("wide", "qvcp", "rsync -a", 0.5, "qvcp no-op sync / rsync -a wall")
    ratio("real copy", "qvcp", "cp -a", 0.8)
    ratio("real noop", "qvcp", "rsync -a", 0.5)
    ratio("real noop", "qvcp", "two find (floor)", 1.3)
    ratio("real noop HX", "qvcp", "rsync -aHX", 0.6)
    if "real noop HX" in res:
        h = res["real noop HX"]
        checks.append(("real noop HX", "qvcp peak / rsync -aHX peak", h["qvcp"].peak / h["rsync -aHX"].peak,
                       "<= 1.00", h["qvcp"].peak <= h["rsync -aHX"].peak))
    ratio("remote push", "qvcp", "rsync daemon", 0.6)
    ratio("remote pull", "qvcp", "rsync daemon", 0.6)
    ratio("remote big", "qvcp", "rsync daemon", 0.5)
    if "remote big" in res:
        gbs = extra["remote big bytes"] / res["remote big"]["qvcp"].wall / 1e9
        checks.append(("remote big", "qvcp GB/s", gbs, ">= 1.00", gbs >= 1.0))
    ratio("remote noop", "qvcp", "rsync daemon", 0.5)
    ratio("remote delta", "qvcp", "rsync daemon --no-whole-file --inplace", 0.5)
    ratio("remote push tls", "qvcp qvps", "qvcp qvp", 1.3)
    ratio("remote wide noop", "qvcp", "rsync daemon", 0.5)
    if "remote wide noop" in res:
        w = res["remote wide noop"]
        checks.append(("remote wide noop", "qvcp peak / rsync peak (clients)", w["qvcp"].peak / w["rsync daemon"].peak,
                       "<= 1.00", w["qvcp"].peak <= w["rsync daemon"].peak))
        qs, rs = extra.get("rwide qvsd peak KiB", 0), extra.get("rwide rsyncd peak KiB", 0)
        if qs and rs:
            checks.append(("remote wide noop", "qvsd peak / rsync daemon peak (servers)", qs / rs, "<= 1.00", qs <= rs))
        if extra.get("rwide qvsd tls peak KiB"):
            checks.append(("remote wide noop", "qvsd peak KiB with a TLS listener", extra["rwide qvsd tls peak KiB"], "",
                           True))
        qa, ra = extra.get("rwide qvsd anon KiB", 0), extra.get("rwide rsyncd anon KiB", 0)
        if qa and ra:
            checks.append(("remote wide noop", "anonymous peak KiB qvsd / rsync daemon child", "%d / %d" % (qa, ra),
                           "", True))
    for case, (q, r) in sorted(extra.get("wire", {}).items()):
        checks.append((case, "bytes on the wire qvcp / rsync", "%d / %d" % (q, r), "", True))
        if case == "remote delta":
            checks.append((case, "qvcp bytes on the wire", q, "<= %d" % (2 << 20), q <= 2 << 20))
    if "qvsd peak MiB" in extra:
        checks.append(("remote", "qvsd peak MiB (all cases)", extra["qvsd peak MiB"], "", True))
    peak = max([res[c]["qvcp"].peak for c in ("small", "big", "noop", "delta") if c in res] or [0]) / 1024.0
    if peak:
        checks.append(("1-4", "qvcp peak MiB", peak, "<= 64", peak <= 64))
    print("\n| case | target | measured | limit | met |\n|---|---|---:|---:|---|")
    for c, what, v, lim, ok in checks:
        print("| %s | %s | %s | %s | %s |" % (c, what, ("%.2f" % v) if isinstance(v, float) else v, lim,
                                              "yes" if ok else "NO"))


if __name__ == "__main__":
    main()
