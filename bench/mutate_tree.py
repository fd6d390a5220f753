#!/usr/bin/env python3
"""Applies a given number of changes to a generated drive, chosen by a seed
among the files with a watched extension, and writes the exact lists of what
it changed, as the tool names them (upper-case drive paths, "C:\\..."):

    bench/mutate_tree.py DRIVE_DIR --count 1000 --seed 7 --lists OUT_DIR

The changes are spread evenly over five kinds: touches (a new last-write
time), size changes, attribute changes (the owner write bit, seen as
read-only), deletions and creations. OUT_DIR receives new.txt, changed.txt and
deleted.txt, one path a line, sorted. Only files whose drive path fits the
tool's 253-character path field are chosen, since a longer one is recorded
without facts.
"""
import argparse
import os
import random
import stat

WATCHED = {"dll", "exe", "msi", "com", "ocx", "jar", "bin", "scr", "sys", "vb", "bat", "cmd"}
PATH_FIELD = 253
# The tool's own files in the drive root.
OWN_FILES = {"VELUMTAR.DBI", "VELUCMPT.TMP", "VELUMTAR.TXT", "VELUMTAR.LOG", "VELUMTAR.AKT",
             "VELUTMPA.TMP", "VELULIST.DBI", "VELULIST.EXT"}


def drive_path(root, path):
    rel = os.path.relpath(path, root)
    return ("C:\\" + rel.replace("/", "\\")).upper()


def watched(name):
    dot = name.rfind(".")
    return dot >= 0 and name[dot + 1:].lower() in WATCHED


def scan(root):
    """Every watched regular file and every directory below root, in a
    deterministic order."""
    files, dirs = [], [root]
    stack = [root]
    while stack:
        d = stack.pop()
        with os.scandir(d) as it:
            entries = sorted(it, key=lambda e: e.name)
        for e in entries:
            if e.is_symlink():
                continue
            if e.is_dir():
                stack.append(e.path)
                dirs.append(e.path)
            elif e.is_file() and watched(e.name) and e.name.upper() not in OWN_FILES:
                if len(drive_path(root, e.path)) <= PATH_FIELD:
                    files.append(e.path)
    return files, dirs


def mutate(root, count, seed):
    rng = random.Random(seed)
    files, dirs = scan(root)
    per_kind = [count // 5 + (1 if i < count % 5 else 0) for i in range(5)]
    touches, sizes, attrs, deletions, creations = per_kind
    chosen = rng.sample(files, touches + sizes + attrs + deletions)
    new, changed, deleted = [], [], []
    at = 0
    for path in chosen[at:at + touches]:
        st = os.lstat(path)
        t = int(st.st_mtime) + rng.randrange(3600, 86400 * 30)
        os.utime(path, (t, t))
        changed.append(drive_path(root, path))
    at += touches
    for path in chosen[at:at + sizes]:
        st = os.lstat(path)
        writable = st.st_mode & stat.S_IWUSR
        if not writable:
            os.chmod(path, st.st_mode | stat.S_IWUSR)
        with open(path, "ab") as f:
            f.write(b"+" * rng.randrange(1, 100))
        # Same last-write time as before: only the size tells the change.
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
        if not writable:
            os.chmod(path, st.st_mode)
        changed.append(drive_path(root, path))
    at += sizes
    for path in chosen[at:at + attrs]:
        st = os.lstat(path)
        os.chmod(path, st.st_mode ^ stat.S_IWUSR)
        changed.append(drive_path(root, path))
    at += attrs
    for path in chosen[at:at + deletions]:
        os.remove(path)
        deleted.append(drive_path(root, path))
    ext = sorted(WATCHED - {"vb"})
    for i in range(creations):
        for _ in range(100):
            d = rng.choice(dirs)
            name = "Created %d-%d.%s" % (seed, i, rng.choice(ext))
            path = os.path.join(d, name)
            if len(drive_path(root, path)) <= PATH_FIELD and not os.path.exists(path):
                break
        with open(path, "wb") as f:
            f.write(b"n" * rng.randrange(0, 64))
        new.append(drive_path(root, path))
    return sorted(new), sorted(changed), sorted(deleted)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("root")
    p.add_argument("--count", type=int, default=1000)
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--lists", required=True)
    a = p.parse_args()
    new, changed, deleted = mutate(os.path.abspath(a.root), a.count, a.seed)
    os.makedirs(a.lists, exist_ok=True)
    for name, items in (("new", new), ("changed", changed), ("deleted", deleted)):
        with open(os.path.join(a.lists, name + ".txt"), "w") as f:
            f.writelines(item + "\n" for item in items)
    print("mutated: %d new, %d changed, %d deleted" % (len(new), len(changed), len(deleted)))


if __name__ == "__main__":
    main()
