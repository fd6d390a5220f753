#!/usr/bin/env python3
"""Generates a deterministic synthetic drive: directories, files, depth, a
share of watched extensions, hidden and read-only files, mixed-case names,
names with blanks and some long paths.

    bench/gen_tree.py DIR --files 200000 --dirs 20000 [--seed 1] [--realistic-sizes]

Files hold up to 63 bytes. With --realistic-sizes the watched files have the
sizes of executables instead (log-normal, median 100 KiB, at most 50 MiB, and
three of 60, 90 and 150 MiB); 60,000 files hold about 3 GiB of them.
"""
import argparse
import math
import os
import random

WATCHED = ["exe", "dll", "sys", "com", "ocx", "msi", "bat", "cmd", "jar", "bin", "scr"]
OTHER = ["txt", "png", "jpg", "xml", "ini", "log", "dat", "html", "cfg", "h", "cpp", "md"]


MEDIAN_SIZE = 100 * 1024
SIZE_SIGMA = 1.5
MOST_SIZE = 50 * 1024 * 1024
LARGE_SIZES = [60 << 20, 90 << 20, 150 << 20]


def write_contents(f, size, serial, block):
    """`size` bytes that differ from every other file's: the file's number,
    then a random block over and over."""
    head = b"%d:" % serial
    f.write(head[:size])
    left = size - min(size, len(head))
    while left > 0:
        f.write(block[:left])
        left -= min(left, len(block))


def generate(root, files, dirs, seed=1, watched_share=0.15, realistic=False):
    rng = random.Random(seed)
    block = rng.randbytes(1 << 20) if realistic else b""
    large = list(LARGE_SIZES)
    os.makedirs(root, exist_ok=True)
    directories = [root]
    for i in range(dirs):
        parent = rng.choice(directories[-200:]) if rng.random() < 0.7 else rng.choice(directories)
        if len(parent) > len(root) + 180:
            parent = root
        name = rng.choice(["Lib", "bin", "Data", "Program Files", "Common", "x64", "Cache",
                           "Resources", "Module"]) + "%d" % i
        if rng.random() < 0.02:
            name = "." + name
        if rng.random() < 0.005:
            name = name + "_" + "LongDirectoryName" * 6
        path = os.path.join(parent, name)
        os.makedirs(path, exist_ok=True)
        directories.append(path)
    made = 0
    for i in range(files):
        d = directories[i % len(directories)] if i < len(directories) else rng.choice(directories)
        ext = rng.choice(WATCHED) if rng.random() < watched_share else rng.choice(OTHER)
        base = rng.choice(["setup", "Readme", "core", "Helper Tool", "data", "MIXEDcase"])
        name = "%s%d.%s" % (base, i, ext if rng.random() < 0.8 else ext.upper())
        if rng.random() < 0.01:
            name = "." + name
        path = os.path.join(d, name)
        with open(path, "wb") as f:
            if realistic and ext in WATCHED:
                size = large.pop() if large else min(
                    MOST_SIZE, int(rng.lognormvariate(math.log(MEDIAN_SIZE), SIZE_SIGMA)))
                write_contents(f, size, i, block)
            else:
                f.write(b"v" * rng.randrange(0, 64))
        t = 1_500_000_000 + rng.randrange(0, 200_000_000)
        os.utime(path, (t, t))
        if rng.random() < 0.02:
            os.chmod(path, 0o444)
        made += 1
    return made


def main():
    p = argparse.ArgumentParser()
    p.add_argument("root")
    p.add_argument("--files", type=int, default=20000)
    p.add_argument("--dirs", type=int, default=2000)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--realistic-sizes", dest="realistic", action="store_true")
    a = p.parse_args()
    n = generate(a.root, a.files, a.dirs, a.seed, realistic=a.realistic)
    print("generated %d files in %d directories under %s" % (n, a.dirs, a.root))


if __name__ == "__main__":
    main()
