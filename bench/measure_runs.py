#!/usr/bin/env python3
"""The drive benchmark: on each generated drive, in one invocation and with a
warm cache, measures

  limit  bench/walk_limit: lists every directory, stats only the files with a
         watched extension and does nothing else; with one thread (the floor
         the ratios refer to), and with 2 and 16 threads;
  peer   AIDE selecting the same files by extension and checking only
         permissions, size and modification time: --init, then --check;
  ours   `velumtar N`, then `velumtar C` on the unchanged drive, then
         `velumtar C` after a number of mutations (bench/mutate_tree.py),
         whose New/Changed/Deleted lines must equal the mutator's lists;

each --runs times (median), and prints wall time, CPU time and peak RSS with
the ratios ours/limit and ours/peer. `velumtar C` is also measured with its
reading ahead turned off (VELUMTAR_READAHEAD=0). --baseline EXE measures
another build's `N` and `C` in the same rounds, right after ours ("base"
rows), for a comparison that the machine's load affects alike.

--floor build/release/bench/hash_floor adds a fingerprint section (after
the others; --fingerprints-only leaves those out): the floor (hash_floor,
which lists every directory and reads and hashes every watched file) with 2
and 16 threads, `velumtar C` without fingerprints, and `velumtar N` and
`velumtar C` with VELUMTAR_FINGERPRINTS=SHA256, each warmed by an unmeasured
run of the floor (which reads the files' contents into the cache); with
--cold also cold, against the floor with 16 threads. It ends with a
`velumtar N` without fingerprints, so the drive's database has none.

--cold adds a cold-cache section: before each measured run the page, dentry
and inode caches are dropped (`sync; echo 3 > /proc/sys/vm/drop_caches`,
root only; skipped with a note otherwise), and the limit with 1 and 16
threads, `velumtar C` and `velumtar N` (and `C` without reading ahead) are
measured; ratios against both.

    bench/measure_runs.py --exe build/release/velumtar \
        --limit build/release/bench/walk_limit DRIVE_DIR [DRIVE_DIR...]

Each program is started through bench/run_measured (built beside walk_limit),
which reads its wall time, CPU time and peak RSS.

The mutations stay on the drive: run the generator again for a pristine one.
AIDE is installed with apt-get when it is missing (--no-peer leaves it out).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mutate_tree  # noqa: E402

AIDE_RULE = r".*\.(?i:dll|exe|msi|com|ocx|jar|bin|scr|sys|vb|bat|cmd)$"
REPORT = "VELUMTAR.TXT"
AIDE = "aide"
# bench/run_measured, found beside walk_limit.
RUNNER = None
STATUS_WORDS = {"New": "new", "Changed": "changed", "Deleted": "deleted"}


def measure(argv, cwd=None, env=None, ok_codes=(0,)):
    """Runs a program through run_measured; returns (wall s, cpu s, peak RSS
    MiB)."""
    out_path = os.path.join(tempfile.gettempdir(), "velumtar-bench-%d.out" % os.getpid())
    proc = subprocess.run([RUNNER, out_path] + argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if proc.returncode != 0:
        sys.exit("run_measured failed: %s" % proc.stderr.decode(errors="replace")[-2000:])
    with open(out_path) as f:
        wall, cpu, rss, code = f.read().split()
    os.remove(out_path)
    if int(code) not in ok_codes:
        sys.exit("%s failed with %s: %s" % (argv[0], code,
                                           proc.stderr.decode(errors="replace")[-2000:]))
    return float(wall), float(cpu), int(rss) / 1024.0


class Ours:
    def __init__(self, exe, drive, work):
        self.exe, self.drive = exe, drive
        self.transcript = os.path.join(work, "transcript.jsonl")
        self.env = dict(os.environ, VELUMTAR_DRIVE_C=drive, VELUMTAR_TRANSCRIPT=self.transcript,
                        TZ="UTC")

    def run(self, letter, read_ahead=True, before=None, fingerprints=False):
        report = os.path.join(self.drive, REPORT)
        if os.path.exists(report):
            os.remove(report)
        env = dict(self.env)
        if not read_ahead:
            env["VELUMTAR_READAHEAD"] = "0"
        if fingerprints:
            env["VELUMTAR_FINGERPRINTS"] = "SHA256"
        if before:
            before()
        result = measure([self.exe, letter], cwd=self.drive, env=env)
        os.remove(self.transcript)
        return result

    def findings(self):
        """The New/Changed/Deleted paths of the last report."""
        found = {"new": [], "changed": [], "deleted": []}
        path = os.path.join(self.drive, REPORT)
        if not os.path.exists(path):
            return found
        with open(path, "rb") as f:
            for raw in f.read().decode("utf-8", errors="replace").splitlines():
                word = raw[0:7].strip()
                if word in STATUS_WORDS:
                    found[STATUS_WORDS[word]].append(raw[87:340].rstrip())
        return {k: sorted(v) for k, v in found.items()}


class Peer:
    def __init__(self, drive, work):
        self.db = os.path.join(work, "aide.db")
        self.config = os.path.join(work, "aide.conf")
        with open(self.config, "w") as f:
            f.write("database_in=file:%s\n" % self.db)
            f.write("database_out=file:%s.new\n" % self.db)
            f.write("gzip_dbout=no\nreport_url=stdout\n")
            f.write("VELUMTAR_FACTS = p+s+m\n")
            f.write("%s/%s f VELUMTAR_FACTS\n" % (drive.rstrip("/"), AIDE_RULE))

    def init(self):
        result = measure([AIDE, "--config=" + self.config, "--init"])
        os.replace(self.db + ".new", self.db)
        return result

    def check(self):
        # Exit codes 1 to 7 report differences found.
        return measure([AIDE, "--config=" + self.config, "--check"], ok_codes=range(0, 8))


def ensure_aide():
    global AIDE
    if shutil.which("aide"):
        AIDE = shutil.which("aide")
        return True
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], env=env, check=False)
    subprocess.run(["apt-get", "install", "-y", "-qq", "aide"], env=env, check=False)
    AIDE = shutil.which("aide")
    return AIDE is not None


def median(samples, index):
    return statistics.median(s[index] for s in samples)


DROP_CACHES = "/proc/sys/vm/drop_caches"


def drop_caches():
    """Empties the page, dentry and inode caches; False when not allowed."""
    try:
        os.sync()
        with open(DROP_CACHES, "w") as f:
            f.write("3\n")
        return True
    except OSError:
        return False


def limit_argv(a, drive, threads):
    return [a.limit, "--threads", str(threads), drive]


def print_table(times, floor_name, extra_floor=None):
    floor = median(times[floor_name], 0)
    head = "%-20s %9s %9s %10s %11s" % ("run", "wall s", "cpu s", "RSS MiB", "ours/" + floor_name)
    if extra_floor:
        head += " %11s" % ("ours/" + extra_floor)
    print(head)
    for name, samples in times.items():
        if not samples:
            continue
        wall, cpu, rss = median(samples, 0), median(samples, 1), max(s[2] for s in samples)
        line = "%-20s %9.3f %9.3f %10.1f" % (name, wall, cpu, rss)
        if name.startswith(("ours", "base")):
            line += " %11.2f" % (wall / floor)
            if extra_floor:
                line += " %11.2f" % (wall / median(times[extra_floor], 0))
        print(line)


def bench_cold(a, drive, ours):
    if not drop_caches():
        print("cold cache: skipped (dropping the caches needs root: %s)" % DROP_CACHES)
        return
    times = {k: [] for k in ("limit", "limit 16 threads", "ours C", "ours N",
                             "ours C no read-ahead", "base C", "base N")}
    base = Ours(a.baseline, drive, os.path.dirname(ours.transcript)) if a.baseline else None
    for r in range(a.runs):
        drop_caches()
        times["limit"].append(measure(limit_argv(a, drive, 1)))
        drop_caches()
        times["limit 16 threads"].append(measure(limit_argv(a, drive, 16)))
        times["ours C"].append(ours.run("C", before=drop_caches))
        times["ours N"].append(ours.run("N", before=drop_caches))
        times["ours C no read-ahead"].append(ours.run("C", read_ahead=False, before=drop_caches))
        if base:
            times["base C"].append(base.run("C", before=drop_caches))
            times["base N"].append(base.run("N", before=drop_caches))
        print("  cold round %d done" % (r + 1), flush=True)
    print("cold cache (caches dropped before each run):")
    print_table(times, "limit", "limit 16 threads")


def bench_fingerprints(a, drive, ours):
    def floor(threads):
        return measure([a.floor, "--threads", str(threads), drive])

    def warm():
        floor(2)

    times = {k: [] for k in ("floor 2 threads", "floor 16 threads", "ours C",
                             "ours N fingerprints", "ours C fingerprints")}
    print("== %s, fingerprints" % drive, flush=True)
    for r in range(a.runs):
        # The database remembers fingerprints: one without them first.
        ours.run("N", before=warm)
        for threads in (2, 16):
            warm()
            times["floor %d threads" % threads].append(floor(threads))
        times["ours C"].append(ours.run("C", before=warm))
        times["ours N fingerprints"].append(ours.run("N", fingerprints=True, before=warm))
        times["ours C fingerprints"].append(ours.run("C", fingerprints=True, before=warm))
        print("  round %d done" % (r + 1), flush=True)
    print("warm cache:")
    print_table(times, "floor 2 threads", "floor 16 threads")
    if a.cold and drop_caches():
        times = {k: [] for k in ("floor 16 threads", "floor 2 threads", "ours C fingerprints",
                                 "ours N fingerprints")}
        for r in range(a.runs):
            for threads in (16, 2):
                drop_caches()
                times["floor %d threads" % threads].append(floor(threads))
            times["ours C fingerprints"].append(ours.run("C", before=drop_caches))
            times["ours N fingerprints"].append(ours.run("N", fingerprints=True,
                                                         before=drop_caches))
            print("  cold round %d done" % (r + 1), flush=True)
        print("cold cache (caches dropped before each run):")
        print_table(times, "floor 16 threads", "floor 2 threads")
    elif a.cold:
        print("cold cache: skipped (dropping the caches needs root: %s)" % DROP_CACHES)
    ours.run("N")


def bench_drive(a, drive):
    work = tempfile.mkdtemp(prefix="velumtar-bench-")
    ours = Ours(a.exe, drive, work)
    if a.floor and a.fingerprints_only:
        bench_fingerprints(a, drive, ours)
        return True
    peer = Peer(drive, work) if a.peer else None
    times = {k: [] for k in ("limit", "limit 2 threads", "limit 16 threads", "peer init",
                             "peer check", "ours N", "ours C", "ours C no read-ahead",
                             "ours C mutated", "base N", "base C")}
    base = Ours(a.baseline, drive, work) if a.baseline else None
    print("== %s" % drive, flush=True)

    # Each run is measured right after an unmeasured walk that warms the
    # cache: a memory manager may page out what went unused for a second or
    # two (and the peer's hundred megabytes push the tree out), and "warm"
    # must mean the same for every run.
    def warm():
        measure([a.limit, drive])

    for r in range(a.runs):
        for name, threads in (("limit", 1), ("limit 2 threads", 2), ("limit 16 threads", 16)):
            warm()
            times[name].append(measure(limit_argv(a, drive, threads)))
        if peer:
            warm()
            times["peer init"].append(peer.init())
            warm()
            times["peer check"].append(peer.check())
        times["ours N"].append(ours.run("N", before=warm))
        times["ours C"].append(ours.run("C", before=warm))
        times["ours C no read-ahead"].append(ours.run("C", read_ahead=False, before=warm))
        if base:
            times["base N"].append(base.run("N", before=warm))
            times["base C"].append(base.run("C", before=warm))
        print("  round %d done" % (r + 1), flush=True)
    checked = True
    for r in range(a.runs if a.mutations else 0):
        lists = os.path.join(work, "mutation%d" % r)
        new, changed, deleted = mutate_tree.mutate(drive, a.mutations, 1000 + r)
        times["ours C mutated"].append(ours.run("C", before=warm))
        got = ours.findings()
        want = {"new": new, "changed": changed, "deleted": deleted}
        os.makedirs(lists, exist_ok=True)
        for kind in want:
            with open(os.path.join(lists, kind + ".txt"), "w") as f:
                f.writelines(p + "\n" for p in want[kind])
            same = got[kind] == want[kind]
            checked = checked and same
            print("  mutation round %d: %s %d reported, %d made: %s" %
                  (r + 1, kind, len(got[kind]), len(want[kind]), "equal" if same else "DIFFERENT"),
                  flush=True)
    limit_wall = median(times["limit"], 0)
    limit2_wall = median(times["limit 2 threads"], 0)
    print("%-20s %9s %9s %10s %11s %10s %10s" % ("run", "wall s", "cpu s", "RSS MiB", "ours/limit",
                                                 "ours/peer", "ours/2thr"))
    pairs = {"ours N": "peer init", "ours C": "peer check", "ours C no read-ahead": "peer check",
             "ours C mutated": "peer check", "base N": "peer init", "base C": "peer check"}
    for name, samples in times.items():
        if not samples:
            continue
        wall, cpu, rss = median(samples, 0), median(samples, 1), max(s[2] for s in samples)
        ratio_limit = ratio_peer = ratio_two = ""
        if name.startswith(("ours", "base")):
            ratio_limit = "%.2f" % (wall / limit_wall)
            ratio_two = "%.2f" % (wall / limit2_wall)
            if times[pairs[name]]:
                ratio_peer = "%.3f" % (wall / median(times[pairs[name]], 0))
        elif name.startswith("peer"):
            ratio_limit = "(%.1f)" % (wall / limit_wall)
        print("%-20s %9.3f %9.3f %10.1f %11s %10s %10s" % (name, wall, cpu, rss, ratio_limit,
                                                           ratio_peer, ratio_two))
    print("findings after mutations %s the mutator's lists (kept in %s)" %
          ("equal" if checked else "DIFFER FROM", work), flush=True)
    if a.cold:
        bench_cold(a, drive, ours)
    if a.floor:
        bench_fingerprints(a, drive, ours)
    return checked


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--exe", required=True)
    p.add_argument("--limit", required=True)
    p.add_argument("--baseline", help="another build's velumtar, measured beside ours")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--mutations", type=int, default=1000)
    p.add_argument("--no-peer", dest="peer", action="store_false")
    p.add_argument("--cold", action="store_true", help="add the cold-cache section (root)")
    p.add_argument("--floor", help="bench/hash_floor: add the fingerprint section")
    p.add_argument("--fingerprints-only", action="store_true")
    p.add_argument("drives", nargs="+")
    a = p.parse_args()
    global RUNNER
    a.exe, a.limit = os.path.abspath(a.exe), os.path.abspath(a.limit)
    if a.baseline:
        a.baseline = os.path.abspath(a.baseline)
    if a.floor:
        a.floor = os.path.abspath(a.floor)
    if a.fingerprints_only:
        a.peer = False
    RUNNER = os.path.join(os.path.dirname(a.limit), "run_measured")
    if a.peer and not ensure_aide():
        sys.exit("aide could not be installed; run with --no-peer")
    ok = all([bench_drive(a, os.path.abspath(d)) for d in a.drives])
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
