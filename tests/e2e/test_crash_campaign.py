"""Compare and build runs killed at random moments, many times over one
drive: after each kill the database opens, the next compare completes, and
every change made to the tree is reported by exactly one later report.

The model of what is owed: each change made before a run is owed once. A
compare that finds nothing new says "No differences detected" and leaves the
owed findings pending; they come with the next report. A new build starts
over and owes nothing. A finding may come twice only when a killed report
listed it: the report makes its findings durable in groups, after their
lines, so the kill may have come before the database took the group in.
Nothing owed is ever missing, and a complete report never repeats a finding.
"""
import os
import random
import time
import unittest

from harness import T2020, DriveTest, boxes, kill, wine

BUILD_DONE = "Finish NEW building of the basic database.\r\nPlease confirm"
NO_DIFFERENCES = "No differences detected" + " " * 19 + "\r\nPlease confirm"
LEFTOVERS = ("C:\\VELUCMPT.TMP", "C:\\VELUMTAR.AKT", "C:\\VELUTMPA.TMP", "C:\\VELULSTA.TMP")
TXT = "C:\\VELUMTAR.TXT"


class CrashCampaign(DriveTest):
    TRIALS = 30 if wine() else 200
    DIRS = 60 if wine() else 300
    PER_DIR = 10

    def setUp(self):
        super().setUp()
        self.rng = random.Random(int(os.environ.get("VELUMTAR_CRASH_SEED", "20261207")))
        self.present = {}  # upper-case drive path -> drive path of each watched file
        self.serial = 0

    def populate(self):
        for d in range(self.DIRS):
            for j in range(self.PER_DIR):
                ext = ("exe", "dll", "sys", "txt")[j % 4]
                path = "C:\\Tree%02d\\D%04d\\f%d.%s" % (d % 17, d, j, ext)
                self.make(path, 1)
                if ext != "txt":
                    self.present[path.upper()] = path

    def change(self, owed):
        """A few new, changed and deleted files; none touches an owed one."""
        busy = {p for _, p in owed}
        free = sorted(set(self.present) - busy)
        for _ in range(self.rng.randint(1, 3)):
            self.serial += 1
            path = "C:\\Tree%02d\\New%06d.exe" % (self.serial % 17, self.serial)
            self.make(path, 2)
            self.present[path.upper()] = path
            owed.add(("New", path.upper()))
        for path in self.rng.sample(free, 4):
            if self.rng.random() < 0.5:
                host = self.drive.host(self.present[path])
                size = os.path.getsize(host) + 1
                with open(host, "wb") as f:
                    f.write(b"y" * size)
                os.utime(host, (T2020, T2020))
                owed.add(("Changed", path))
            else:
                os.remove(self.drive.host(self.present.pop(path)))
                owed.add(("Deleted", path))

    def report(self):
        if not self.drive.exists(TXT):
            return []
        lines = self.drive.read(TXT).decode("latin-1").split("\r\n")[1:]
        found = [(line[:7].strip(), line[87:].rstrip()) for line in lines
                 if line[:7].strip() in ("New", "Changed", "Deleted")]
        os.remove(self.drive.host(TXT))
        return found

    def settle(self, reported, owed, killed=()):
        repeatable = set(killed)
        for finding in reported:
            if finding in owed:
                owed.discard(finding)
            elif finding in repeatable:
                repeatable.discard(finding)  # its group was not committed: once more
            else:
                self.fail("reported twice or never owed: %r" % (finding,))

    def full_compare(self, owed):
        code, entries = self.drive.run("C", answers="N")
        self.assertEqual(code, 0)
        texts = [b["text"] for b in boxes(entries)]
        self.assertTrue(texts)
        for text in texts:
            self.assertNotIn("ERROR", text)
        for name in LEFTOVERS:
            self.assertFalse(self.drive.exists(name), name)
        return texts

    def test_random_kills(self):
        self.populate()
        self.assertEqual([b["text"] for b in boxes(self.drive.run("N")[1])], [BUILD_DONE])
        started = time.time()
        self.drive.run("C")
        span = time.time() - started
        owed = set()
        kills = rebuilds = 0
        trials = 0
        # Trials go on until enough kills have landed inside a running process.
        while kills < self.TRIALS and trials < 3 * self.TRIALS:
            trials += 1
            self.change(owed)
            letter = "N" if self.rng.random() < 0.2 else "C"
            proc = self.drive.start_process(letter, answers="N")
            time.sleep(self.rng.uniform(0, span * 0.8))
            if proc.poll() is None:
                kills += 1
            kill(proc)
            killed = self.report()
            texts = self.full_compare(owed)
            after = self.report()
            if letter == "N" or texts[-1] == BUILD_DONE:
                # The killed build may have replaced the database (nothing is
                # owed any more) or died before touching it (all is reported).
                # A build killed after its last commit took every change in:
                # the compare after it has nothing to say.
                if (texts[-1] == BUILD_DONE or not (owed - set(killed + after))
                        or (letter == "N" and not killed and not after)):
                    rebuilds += texts[-1] == BUILD_DONE
                    self.assertLessEqual(len(after), len(owed) + 1,
                                         "a new build left a database that reports everything")
                    owed.clear()
                    continue
            self.settle(killed + after, owed, killed)
        # One more change and a complete compare: nothing may still be owed.
        self.change(owed)
        texts = self.full_compare(owed)
        self.settle(self.report(), owed)
        self.assertEqual(owed, set())
        self.assertEqual(self.full_compare(owed), [NO_DIFFERENCES])
        self.assertGreaterEqual(kills, self.TRIALS)
        print("\ncrash campaign: %d trials, %d runs killed while running, %d rebuilds, "
              "%d watched files" % (trials, kills, rebuilds, len(self.present)))


if __name__ == "__main__":
    unittest.main()
