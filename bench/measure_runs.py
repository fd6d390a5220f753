#!/usr/bin/env python3
"""Runs `velumtar N` then `velumtar C` on a drive and prints wall time, CPU time
and peak resident memory of each run.

    bench/measure_runs.py --exe build/release/velumtar DRIVE_DIR
"""
import argparse
import os
import resource
import subprocess
import tempfile
import time


def run(exe, drive, letter):
    transcript = tempfile.mktemp(prefix="velumtar-bench-")
    env = dict(os.environ, VELUMTAR_DRIVE_C=drive, VELUMTAR_TRANSCRIPT=transcript, TZ="UTC")
    start = time.monotonic()
    proc = subprocess.Popen([exe, letter], cwd=drive, env=env, stdin=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    if os.path.exists(transcript):
        os.remove(transcript)
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--exe", required=True)
    p.add_argument("drive")
    a = p.parse_args()
    for letter in ("N", "C"):
        wall, cpu, rss = run(os.path.abspath(a.exe), os.path.abspath(a.drive), letter)
        print("velumtar %s: wall %.2f s, cpu %.2f s, peak RSS %.1f MiB" % (letter, wall, cpu, rss))


if __name__ == "__main__":
    main()
