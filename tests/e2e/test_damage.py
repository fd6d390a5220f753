"""A damaged basic database: told, repaired from the pages that survive, and
compared against what was recovered.

One database of 3,000 files with pending changes spread over the tree is
damaged in each kind of page (both meta pages, the branch, a leaf, a free
page), cut short, and given pages whose checksums are good but whose keys are
out of place (two leaves swapped in their branch, a leaf written over another
as a second writer would); each time the compare must show the file-error
box, log the repair, report every change whose record survived exactly as the
undamaged database does, and the compare after it must find nothing.
"""
import os
import struct

from harness import CONFIG, DriveTest, boxes, run_program, wine

DBI = "C:\\VELUMTAR.DBI"
TXT = "C:\\VELUMTAR.TXT"
LOG = "C:\\VELUMTAR.LOG"
PAGE = 4096
KEY = 254
BUILD_DONE = "Finish NEW building of the basic database.\r\nPlease confirm"
NO_DIFFERENCES = "No differences detected" + " " * 19 + "\r\nPlease confirm"
REPAIRED = "ERROR: basic database damaged, replaced by the records it still held:"
RUN_ERRORS = "- with ERRORs (basic database damaged)"


def error_box(word):
    return {"caption": "VELUMTAR       ", "style": "1", "type": 16,
            "text": "ERROR: File handling.\r\n%-7s %-16s" % (word, DBI), "answer": "0"}


MASK = (1 << 64) - 1
PRIMES = (0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9)


def checksum64(data):
    """The checksum of a page (its bytes after the checksum field)."""
    p1, p2, p3 = PRIMES
    a, b = [1, 2, 3, 4], [0, 0, 0, 0]
    padded = data + bytes(-len(data) % 32)
    for i in range(0, len(padded), 32):
        for j in range(4):
            a[j] = (a[j] + int.from_bytes(padded[i + 8 * j:i + 8 * j + 8], "little")) & MASK
            b[j] = (b[j] + a[j]) & MASK

    def rotl(v, s):
        return ((v << s) | (v >> (64 - s))) & MASK

    h = len(data) * p3 & MASK
    for j in range(4):
        h = rotl(h ^ (a[j] * p1 & MASK), 27) * p2 & MASK
        h = rotl(h ^ (b[j] * p2 & MASK), 31) * p1 & MASK
    h ^= h >> 33
    h = h * p2 & MASK
    h ^= h >> 29
    h = h * p3 & MASK
    return h ^ (h >> 32)


def sealed(data, number):
    """`data` with page `number`'s checksum made good again."""
    at = number * PAGE
    page = data[at + 8:at + PAGE]
    return data[:at] + struct.pack("<Q", checksum64(page)) + data[at + 8:]


def varint(data, at):
    if data[at] < 128:
        return data[at], at + 1
    return (data[at] & 0x7F) | (data[at + 1] << 7), at + 2


class Pages:
    """The pages of a keyed file as its format lays them out."""

    def __init__(self, data):
        self.data = data

    def page(self, number):
        return self.data[number * PAGE:(number + 1) * PAGE]

    def newest_meta(self):
        metas = [struct.unpack_from("<QIII", self.page(i), 32) for i in (0, 1)]
        return max(metas)  # sequence, root, height, page count

    def keys_and_children(self, number):
        p = self.page(number)
        leaf = p[12] == 1
        count, prefix = struct.unpack_from("<HH", p, 14)
        keys, children = [], [] if leaf else [struct.unpack_from("<I", p, 20)[0]]
        for slot in range(count):
            at = struct.unpack_from("<H", p, 24 + prefix + 2 * slot)[0]
            if not leaf:
                children.append(struct.unpack_from("<I", p, at)[0])
                at += 4
            length, at = varint(p, at)
            if leaf:
                _, at = varint(p, at)
            keys.append((p[24:24 + prefix] + p[at:at + length]).decode("latin-1"))
        return keys, children

    def tree(self):
        """Page number -> "branch" or "leaf", for the newest tree."""
        _, root, height, _ = self.newest_meta()
        kinds, level = {}, [root]
        for depth in range(height):
            kinds.update((n, "leaf" if depth + 1 == height else "branch") for n in level)
            level = [c for n in level for c in self.keys_and_children(n)[1]]
        return kinds


class DamagedDatabase(DriveTest):
    def setUp(self):
        super().setUp()
        self.paths = ["C:\\APP%02d\\FILE%03d.EXE" % (d, f) for d in range(30) for f in range(100)]
        for path in self.paths:
            self.make(path)
        self.run_ok("N", [BUILD_DONE])
        # A first round of changes, reported, leaves older page versions.
        self.mutate(range(0, 3000, 97), range(50, 3000, 89), ["C:\\APP07\\EARLY.EXE"])
        self.run_ok("C")
        self.run_ok("C", [NO_DIFFERENCES])
        # The changes the damaged compares must find, spread over the tree.
        self.expected = self.mutate(range(3, 3000, 61), range(20, 3000, 71),
                                    ["C:\\APP%02d\\NEW.EXE" % d for d in range(0, 30, 4)], 5)
        self.database = self.drive.read(DBI)

    def mutate(self, changed, deleted, new, size=7):
        expected = set()
        for i in deleted:
            if os.path.exists(self.drive.host(self.paths[i])):
                os.remove(self.drive.host(self.paths[i]))
                expected.add(("Deleted", self.paths[i]))
        for i in changed:
            if os.path.exists(self.drive.host(self.paths[i])):
                self.make(self.paths[i], size)
                expected.add(("Changed", self.paths[i]))
        for path in new:
            self.make(path)
            expected.add(("New", path))
        return expected

    def run_ok(self, letter, expected=None):
        for name in (TXT, LOG):
            if self.drive.exists(name):
                os.remove(self.drive.host(name))
        code, entries = self.drive.run(letter, answers="N")
        self.assertEqual(code, 0)
        texts = [b["text"] for b in boxes(entries)]
        if expected is not None:
            self.assertEqual(texts, expected)
        return boxes(entries)

    def findings(self):
        if not self.drive.exists(TXT):
            return set()
        lines = self.drive.read(TXT).decode("latin-1").split("\r\n")[1:]
        return {(line[:7].strip(), line[87:].rstrip()) for line in lines
                if line[:7].strip() in ("New", "Changed", "Deleted")}

    def check_tool(self, said=None):
        """Runs velumtar-check on the database: (exit code, pages damaged);
        its first line is checked to end in `said` when that is given."""
        exe = os.path.join(CONFIG["bin_dir"], "velumtar-check" + (".exe" if wine() else ""))
        env = self.drive.environment(transcript=False)
        code, out, _ = run_program((["wine", exe] if wine() else [exe]) + [DBI], self.drive.start,
                                   env, 120, name="velumtar-check", expected=(0, 1))
        lines = out.decode("latin-1").splitlines()
        if said is not None:
            self.assertEqual(lines[0].strip(), "%s: %s" % (DBI, said))
        damaged = [line.split(":")[1].strip() for line in lines if "pages damaged" in line]
        return code, damaged[0] if damaged else "0"

    def log(self):
        return self.drive.read(LOG).decode("latin-1") if self.drive.exists(LOG) else ""

    def stretch(self, keys, pages):
        """Test for the paths between the neighbours of the keys of `pages`:
        their records may be lost, or come back from an older version."""
        ranges = []
        for number in pages:
            on_page = pages[number]
            below = [k for k in keys if k < on_page[0]]
            above = [k for k in keys if k > on_page[-1]]
            ranges.append((below[-1] if below else "", above[0] if above else None))
        return lambda path: any(low < "F" + path and (high is None or "F" + path < high)
                                for low, high in ranges)

    def test_damage_in_every_kind_of_page_and_cut_files(self):
        pages = Pages(self.database)
        kinds = pages.tree()
        leaves = sorted(n for n, kind in kinds.items() if kind == "leaf")
        branches = [n for n, kind in kinds.items() if kind == "branch"]
        free = [n for n in range(2, len(self.database) // PAGE) if n not in kinds]
        self.assertTrue(branches and free and len(leaves) > 20)
        keys = sorted(k for n in leaves for k in pages.keys_and_children(n)[0])
        leaf = leaves[len(leaves) // 2]
        half = len(self.database) // PAGE // 2

        def flip(number):
            return lambda d: d[:number * PAGE + 40] + bytes([d[number * PAGE + 40] ^ 0x20]) \
                + d[number * PAGE + 41:]

        def cut(size):
            return lambda d: d[:size]

        # The check tells a missing database from an empty one.
        os.remove(self.drive.host(DBI))
        self.assertEqual(self.check_tool("not present"), (0, "0"))
        self.drive.write(DBI, b"")
        self.assertEqual(self.check_tool("empty"), (0, "0"))

        _, root, _, _ = pages.newest_meta()

        def swap_children(d):
            # The root's second and third children trade places.
            count, prefix = struct.unpack_from("<HH", d, root * PAGE + 14)
            first, second = (root * PAGE + struct.unpack_from("<H", d, root * PAGE + 24 + prefix
                                                               + 2 * slot)[0] for slot in (0, 1))
            d = bytearray(d)
            d[first:first + 4], d[second:second + 4] = d[second:second + 4], d[first:first + 4]
            return sealed(bytes(d), root)

        def written_over(source, target):
            # What a second writer leaves: its page where the tree has another.
            def damage(d):
                page = d[source * PAGE:(source + 1) * PAGE]
                page = page[:8] + struct.pack("<I", target) + page[12:]
                return sealed(d[:target * PAGE] + page + d[(target + 1) * PAGE:], target)
            return damage

        # What the undamaged database reports.
        self.drive.write(DBI, self.database)
        self.assertEqual(self.check_tool(), (0, "0"))
        self.run_ok("C")
        self.assertEqual(self.findings(), self.expected)

        cases = [
            # name, damage, box word, pages whose records may be lost
            ("newer meta page", flip(0), "OPEN", []),
            ("older meta page", flip(1), "OPEN", []),
            ("branch", flip(branches[0]), "OPEN", []),
            ("leaf", flip(leaf), "READ", [leaf]),
            ("free page", flip(free[0]), None, []),
            ("cut within the last page", cut(len(self.database) - 100), "OPEN",
             [n for n in leaves if n == len(self.database) // PAGE - 1]),
            ("cut to half", cut(half * PAGE), "OPEN", [n for n in leaves if n >= half]),
            ("leaves swapped in their branch", swap_children, "READ", []),
            ("leaf written over another", written_over(leaves[0], leaf), "READ", [leaf]),
        ]
        figures = []
        for name, damage, word, lost_pages in cases:
            with self.subTest(case=name):
                self.drive.write(DBI, damage(self.database))
                checked, pages_damaged = self.check_tool()
                self.assertEqual(checked, 0 if word is None else 1, name)
                shown = self.run_ok("C")
                log = self.log()
                found = self.findings()
                if word is None:
                    # A page no commit uses is never read.
                    self.assertEqual([b["style"] for b in shown], ["4"])
                    self.assertNotIn(REPAIRED, log)
                    self.assertIn("- without Errors", log)
                else:
                    self.assertEqual(shown[0], error_box(word))
                    self.assertIn(REPAIRED, log)
                    self.assertIn(RUN_ERRORS, log)
                    self.assertNotIn("without Errors", log)
                self.assertNotIn(BUILD_DONE, [b["text"] for b in shown])
                for b in shown[1:]:
                    self.assertNotIn("ERROR", b["text"], name)
                may_differ = self.stretch(keys, {n: pages.keys_and_children(n)[0]
                                                 for n in lost_pages})
                for finding in self.expected:
                    self.assertTrue(finding in found or may_differ(finding[1]),
                                    "%s: %s missing" % (name, finding))
                for finding in found - self.expected:
                    self.assertTrue(may_differ(finding[1]), "%s: %s extra" % (name, finding))
                recovered = [line.split()[0] for line in log.splitlines()
                             if line.endswith("records recovered")]
                figures.append("%-31s box %-5s pages damaged %2s, records recovered %6s, "
                               "changes reported %4d (%d without the damage)" % (
                                   name, word or "none", pages_damaged,
                                   recovered[0] if recovered else "-", len(found),
                                   len(self.expected)))
                # The compare after it finds nothing and shows no error.
                self.run_ok("C", [NO_DIFFERENCES])
        print("\n" + "\n".join(figures))
