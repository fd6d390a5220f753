"""Runs killed part-way: the run state left in the database steers the next run."""
import os
import random
import time
import unittest

from harness import DriveTest, boxes, kill, wait_for

REBUILD = ("Detect an interruption of an earlier action!\r\n"
           "The basic database must now built new again. In this case it's impossible to "
           "compare files right now.")
CONTINUE = ("Detect an interruption of an earlier action!\r\n"
            "The comparing of files will be continue, but eventually not all differences "
            "will be documentated with correct data.")


class KilledRuns(DriveTest):
    FILES = 12000
    KILL_ATTEMPTS = 30
    KILL_DELAYS = (0.05, 0.1, 0.02, 0.2, 0.01, 0.3)

    def populate(self, when=1592224496):
        rng = random.Random(7)
        for i in range(self.FILES // 10):
            d = self.drive.host("C:\\Tree%02d\\Sub%04d" % (i % 37, i))
            os.makedirs(d, exist_ok=True)
            for j in range(10):
                name = os.path.join(d, "f%d.%s" % (j, rng.choice(["exe", "dll", "txt"])))
                with open(name, "wb") as f:
                    f.write(b"x")
                os.utime(name, (when, when))

    def touch_all(self, when):
        for d, _, names in os.walk(self.drive.root):
            for n in names:
                if n.endswith((".exe", ".dll")):
                    os.utime(os.path.join(d, n), (when, when))

    extra = "C:\\EXTRA.EXE"

    def watched(self):
        out = set()
        for d, _, names in os.walk(self.drive.root):
            for n in names:
                if n.endswith((".exe", ".dll")):
                    rel = os.path.relpath(os.path.join(d, n), self.drive.root)
                    out.add(("C:\\" + rel.replace("/", "\\")).upper())
        return out

    def make_change(self):
        with open(self.drive.host(self.extra), "wb") as f:
            f.write(b"new")

    def changed_paths(self):
        lines = self.drive.read("C:\\VELUMTAR.TXT").decode().split("\r\n")[1:]
        return {line[87:].rstrip() for line in lines if line.startswith(("Changed", "New"))}

    def test_killed_build_forces_a_rebuild(self):
        self.populate()
        for delay in (0.05, 0.02, 0.1, 0.01, 0.2, 0.005, 0.3, 0.0):
            proc = self.drive.start_process("N")
            deadline = time.time() + 120
            while (not self.drive.exists("C:\\VELUCMPT.TMP") and proc.poll() is None
                   and time.time() < deadline):
                time.sleep(0.001)
            time.sleep(delay)
            finished = proc.poll() is not None
            kill(proc)
            if finished:
                continue  # the build ended before the kill
            code, entries = self.drive.run("C")
            texts = [b["text"] for b in boxes(entries)]
            if texts and texts[0].startswith(REBUILD):
                self.assertEqual(texts[1:], ["Finish NEW building of the basic database."
                                             "\r\nPlease confirm"])
                log = self.drive.read("C:\\VELUMTAR.LOG").decode()
                self.assertIn("The basic database must now built new again.", log)
                return
            # Killed before the run state was stored: nothing to warn about.
        self.fail("no kill landed inside the build")

    def test_killed_comparison_warns_and_compares(self):
        self.populate()
        code, entries = self.drive.run("N")
        self.assertEqual(code, 0)
        database = self.drive.host("C:\\VELUMTAR.DBI")
        # The first write to the database in a compare run begins the commit
        # of run state '2' at the start of the comparison passes. A kill before
        # that commit is synced leaves no state to warn about (on a busy disk
        # the sync takes a while), a kill after the passes finds it cleared
        # again: the kill comes at varying delays after the write, and again
        # until one lands inside the passes.
        missed = 0
        for attempt in range(self.KILL_ATTEMPTS):
            self.touch_all(1592224496 + 60 * (attempt + 1))
            before = os.stat(database).st_mtime_ns
            proc = self.drive.start_process("C")
            deadline = time.time() + 120
            while (os.stat(database).st_mtime_ns == before and proc.poll() is None
                   and time.time() < deadline):
                time.sleep(0.001)
            time.sleep(self.KILL_DELAYS[attempt % len(self.KILL_DELAYS)])
            finished = proc.poll() is not None
            kill(proc)
            if finished:
                continue
            code, entries = self.drive.run("C")
            texts = [b["text"] for b in boxes(entries)]
            if not texts[0].startswith(CONTINUE):
                missed += 1
                continue  # before the state was stored or after the passes
            if texts[1].startswith("No differences detected"):
                # The killed run had committed its comparison; its findings
                # are still pending in the database and come with the next
                # report that has something new to say.
                self.make_change()
                code, entries = self.drive.run("C")
            reported = self.changed_paths()
            self.assertEqual(reported - {self.extra}, self.watched() - {self.extra})
            self.assertFalse(self.drive.exists("C:\\VELUCMPT.TMP"))
            # Everything was committed: nothing is reported twice.
            code, entries = self.drive.run("C")
            self.assertEqual(boxes(entries)[0]["text"],
                             "No differences detected" + " " * 19 + "\r\nPlease confirm")
            return
        self.fail("no kill landed inside the comparison in %d tries (%d missed it)"
                  % (self.KILL_ATTEMPTS, missed))


if __name__ == "__main__":
    unittest.main()
