#!/usr/bin/env python3
"""Checks that the folders of src/ form a one-way stack.

Each folder may include headers from its own folder and from the folders
below it, never from one above. The tests mirror the folders: a test under
tests/<folder>/ may include from that folder and those below it, and from the
shared test scaffolding. Prints every include that points the wrong way and
exits with 1 when there is one.

    scripts/check-layers.py [repository root]
"""

import pathlib
import re
import sys

# Bottom first.
LAYERS = [
    "util",      # fixed-width text fields, digits: no dependencies
    "platform",  # the operating-system seam and its wrappers
    "store",     # the record-file engine: pager, tree, line files
    "ui",        # message boxes, launches, unattended mode
    "files",     # the tool's own records, file names and file-error report
    "db",        # basic database, work file, extension database
    "scan",      # directory walk, extension list
    "report",    # differences report, run log
    "control",   # the program's entry and its runs
]
RANK = {name: i for i, name in enumerate(LAYERS)}

# Test scaffolding any test may include: it is wired from every layer.
TEST_SHARED = {"support", "helpers"}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(relative):
    """The layer of a path relative to src/ or tests/, or None."""
    return relative.parts[0] if len(relative.parts) > 1 else None


def check_tree(root, tree, shared):
    """Wrong-way includes under root/tree, as printable lines."""
    problems = []
    base = root / tree
    for path in sorted(base.rglob("*")):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        relative = path.relative_to(base)
        own = layer_of(relative)
        if own in shared:
            continue
        name = path.relative_to(root).as_posix()
        if own not in RANK:
            problems.append(f"{name}: folder '{own}' is not a declared layer")
            continue
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match or "/" not in match.group(1):
                continue  # a header next to the file itself
            target = match.group(1).split("/")[0]
            if target in shared:
                continue
            if target not in RANK:
                problems.append(f"{name}:{number}: includes from '{target}', not a declared layer")
            elif RANK[target] > RANK[own]:
                problems.append(
                    f"{name}:{number}: {own} -> {target} points up "
                    f'(#include "{match.group(1)}"; order: {" < ".join(LAYERS)})'
                )
    return problems


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    problems = check_tree(root, "src", set())
    problems += check_tree(root, "tests", TEST_SHARED | {"e2e", "fuzz"})
    for problem in problems:
        print(problem)
    if problems:
        print(f"check-layers: {len(problems)} include(s) against the layer order")
        return 1
    print(f"check-layers: {' < '.join(LAYERS)}: no include points up")
    return 0


if __name__ == "__main__":
    sys.exit(main())
