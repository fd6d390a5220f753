"""Injected record-file failures: the exact error box, how the run ends, and
that the next runs recover without losing or repeating a finding.

Runs only against a build with the fault hooks (VELUMTAR_E2E_FAULTS is set by
the test registration of such builds).
"""
import os
import unittest

from harness import T2020, DriveTest, boxes, wine

CAPTION = "VELUMTAR       "
LEFTOVERS = ("C:\\VELUCMPT.TMP", "C:\\VELUMTAR.AKT", "C:\\VELUTMPA.TMP", "C:\\VELULSTA.TMP")
DBI = "C:\\VELUMTAR.DBI"
WORK = "C:\\VELUCMPT.TMP"
TXT = "C:\\VELUMTAR.TXT"
LOG = "C:\\VELUMTAR.LOG"
EXT = "VELULIST.DBI"

FAULTS_BUILT = os.environ.get("VELUMTAR_E2E_FAULTS") == "1"


def error_box(word, name):
    return {"caption": CAPTION, "style": "1", "type": 16,
            "text": "ERROR: File handling.\r\n%-7s %-16s" % (word, name), "answer": "0"}


BUILD_DONE = "Finish NEW building of the basic database.\r\nPlease confirm"
NO_DIFFERENCES = "No differences detected" + " " * 19 + "\r\nPlease confirm"
INTERRUPTED = "Detect an interruption of an earlier action!"
DETAILS = "Display list of details?"
# The changes every compare scenario makes after the first build.
CHANGES = {("New", "C:\\APP\\NEW.EXE"), ("Changed", "C:\\APP\\T0.EXE"),
           ("Deleted", "C:\\APP\\L0.DLL")}


@unittest.skipUnless(FAULTS_BUILT, "the build carries no fault hooks")
class InjectedFaults(DriveTest):
    injected = 0


    def extension_list(self, text):
        with open(os.path.join(self.drive.start, "VELULIST.EXT"), "wb") as f:
            f.write(text.encode())

    def base(self):
        """A built database, then a new, a changed and a deleted file."""
        for i in range(3):
            self.make("C:\\App\\t%d.exe" % i)
            self.make("C:\\App\\l%d.dll" % i)
        self.make("C:\\App\\x.abc")
        self.extension_list(".ABC\r\n")
        code, entries = self.drive.run("N")
        self.assertEqual([b["text"] for b in boxes(entries)], [BUILD_DONE])
        self.make("C:\\App\\new.exe")
        self.make("C:\\App\\t0.exe", 99)
        os.remove(self.drive.host("C:\\App\\l0.dll"))

    def report_findings(self):
        if not self.drive.exists(TXT):
            return []
        lines = self.drive.read(TXT).decode("latin-1").split("\r\n")[1:]
        return [(line[:7].strip(), line[87:].rstrip()) for line in lines
                if line[:7].strip() in ("New", "Changed", "Deleted")]

    def faulted(self, letter, fault, expected):
        """Runs with one fault; the first box must be `expected`."""
        if self.drive.exists(TXT):
            os.remove(self.drive.host(TXT))
        code, entries = self.drive.run(letter, faults=fault)
        self.assertEqual(code, 0)
        shown = boxes(entries)
        self.assertTrue(shown, "no box for " + fault)
        self.assertEqual(shown[0], expected, fault)
        InjectedFaults.injected += 1
        return shown[1:]

    def recover(self, reported):
        """Runs compares until a report comes; returns every finding reported
        by the faulted run and the later ones."""
        sentinel = ("New", "C:\\APP\\SENTINEL.EXE")
        for attempt in range(3):
            if attempt == 1:
                # A compare without new findings leaves pending ones for the
                # next report: give it one.
                self.make("C:\\App\\sentinel.exe")
            if self.drive.exists(TXT):
                os.remove(self.drive.host(TXT))
            code, entries = self.drive.run("C", answers="N")
            self.assertEqual(code, 0)
            texts = [b["text"] for b in boxes(entries)]
            for text in texts:
                self.assertNotIn("ERROR", text)
            for name in LEFTOVERS:
                self.assertFalse(self.drive.exists(name), name)
            reported += self.report_findings()
            if texts and texts[-1] == BUILD_DONE:
                return reported, True
            if texts and texts[-1].endswith(DETAILS):
                break
            self.assertEqual(texts[-1], NO_DIFFERENCES)
        if attempt >= 1:
            self.assertIn(sentinel, reported)
            reported.remove(sentinel)
        return reported, False

    def check_compare(self, fault, expected, then=None, extra=None, recommitted=None,
                      also=(), unsynced=False):
        """A faulted compare, then recovery: each change reported exactly once.

        `recommitted` is the finding whose line was written but whose commit
        in the database failed: it is reported again by the next report.
        With `unsynced` the faulted report's lines never reached the device
        for sure: none of its findings counts as reported."""
        self.base()
        if extra:
            extra()
        rest = self.faulted("C", fault, expected)
        if then is not None:
            self.assertEqual([b["text"] for b in rest], then, fault)
        reported = [] if unsynced else self.report_findings()
        reported, rebuilt = self.recover(reported)
        findings = [f for f in reported if not f[1].endswith(".ABC")]
        if recommitted:
            self.assertEqual(findings.count(recommitted), 2, fault)
            findings.remove(recommitted)
        if rebuilt:
            # A rebuild starts over: nothing is pending any more.
            self.assertEqual(findings, [])
            return reported
        self.assertEqual(sorted(findings), sorted(CHANGES | set(also)), fault)
        return reported

    def test_basic_database(self):
        cases = [
            # the update open of the compare run
            ("open:%s:4" % DBI, error_box("OPEN", DBI), None),
            # storing run state 2 before the first pass
            ("write:%s:1" % DBI, error_box("WRITE", DBI), None),
            # the changed file in the first pass
            ("rewrite:%s:1" % DBI, error_box("REWRITE", DBI), None),
            # the new file in the first pass
            ("write:%s:2" % DBI, error_box("WRITE", DBI), None),
            # storing run state 2 before the sweep
            ("write:%s:3" % DBI, error_box("WRITE", DBI), None),
            # the deleted file in the sweep
            ("rewrite:%s:2" % DBI, error_box("REWRITE", DBI), None),
            # committing the reported changed file
            ("rewrite:%s:4" % DBI, error_box("REWRITE", DBI), ("Changed", "C:\\APP\\T0.EXE")),
            # committing the reported deleted file
            ("delete:%s:3" % DBI, error_box("DELETE", DBI), ("Deleted", "C:\\APP\\L0.DLL")),
        ]
        for fault, expected, recommitted in cases:
            with self.subTest(fault=fault):
                self.tearDown()
                self.setUp()
                self.check_compare(fault, expected, [], recommitted=recommitted)

    def test_cleared_run_state_failure_goes_on(self):
        # The run state cannot be removed after the first pass: the message,
        # then the comparison finishes; the next compare warns.
        self.check_compare("delete:%s:1" % DBI, error_box("DELETE", DBI))

    def test_work_file(self):
        cases = [
            ("open:%s:1" % WORK, error_box("OPEN", WORK)),
            ("write:%s:2" % WORK, error_box("WRITE", WORK)),
            ("delete:%s:1" % WORK, error_box("DELETE", WORK)),
            # the walk's next directory after the root (read 5: reads 1 to 4
            # recorded the root and its two directories, then found the root)
            ("read:%s:5" % WORK, error_box("READ", WORK)),
        ]
        for fault, expected in cases:
            with self.subTest(fault=fault):
                self.tearDown()
                self.setUp()
                self.check_compare(fault, expected, [])

    def test_work_file_rewrite(self):
        # Two files whose paths agree in their first 253 characters share one
        # work-file record: the second sighting rewrites it.
        def twins():
            deep = "C:\\" + "\\".join(["D" * 60] * 4) + "\\" + "E" * 1
            self.assertEqual(len(deep), 248)
            self.make(deep + "\\twins1.exe")
            self.make(deep + "\\twins2.exe")
        twin = "C:\\" + "\\".join(["D" * 60] * 4) + "\\E\\TWIN..."
        self.check_compare("rewrite:%s:1" % WORK, error_box("REWRITE", WORK), [], twins,
                           also=[("New", twin)])

    def test_report(self):
        for fault, expected in [("open:%s:1" % TXT, error_box("OPEN", TXT)),
                                ("write:%s:1" % TXT, error_box("WRITE", TXT)),
                                ("write:%s:3" % TXT, error_box("WRITE", TXT))]:
            with self.subTest(fault=fault):
                self.tearDown()
                self.setUp()
                self.check_compare(fault, expected, [])

    def test_report_not_on_the_device(self):
        # The report's lines cannot be forced to the device: no finding is
        # committed, each comes with the next report.
        self.check_compare("commit:%s:1" % TXT, error_box("WRITE", TXT), [], unsynced=True)

    def test_purge_lost_at_close(self):
        # The purge's deletions cannot be made durable at the close: the
        # failure is shown, the run goes on, and the next run purges again.
        # Two closes of the database, the first after its check for damage,
        # come before the purge's.
        def drop_entry():
            self.extension_list(".XYZ\r\n")
        reported = self.check_compare("close:%s:3" % DBI, error_box("DELETE", DBI),
                                      extra=drop_entry)
        self.assertEqual([f for f in reported if f[1].endswith(".ABC")], [])

    def test_silent_file_operations(self):
        # The extension database's removal and the log trim's move go through
        # the record-file layer: a fault there is silent, leaves things as they
        # were, and the next run does what was left undone.
        def ext():
            return os.path.exists(os.path.join(self.drive.start, EXT))
        entry = ["2020.01.01 10:00 No differences detected", " " * 17 + "- without Errors", ""]

        def long_log():
            self.drive.write(LOG, "\r\n".join(entry * 300) + "\r\n")

        def log_lines():
            return len(self.drive.read(LOG).split(b"\r\n")) - 1
        cases = [
            ("delete:%s:1" % EXT, lambda: os.remove(os.path.join(self.drive.start, "VELULIST.EXT")),
             ext, lambda: not ext()),
            ("rename:C:\\VELULSTA.TMP:1", long_log,
             lambda: log_lines() > 800, lambda: log_lines() <= 410),
        ]
        for fault, prepare, undone, done in cases:
            with self.subTest(fault=fault):
                self.tearDown()
                self.setUp()
                self.base()
                prepare()
                code, entries = self.drive.run("C", answers="N", faults=fault)
                self.assertNotIn("ERROR", " ".join(b["text"] for b in boxes(entries)))
                self.assertTrue(undone(), fault)
                for name in LEFTOVERS:
                    self.assertFalse(self.drive.exists(name), name)
                code, entries = self.drive.run("C", answers="N")
                self.assertNotIn("ERROR", " ".join(b["text"] for b in boxes(entries)))
                self.assertTrue(done(), fault)
                InjectedFaults.injected += 1

    def test_log(self):
        # A comparison entry that cannot be written: no report, and no
        # details question, which could only open an earlier run's report;
        # the findings stay pending.
        for fault, expected in [("open:%s:3" % LOG, error_box("OPEN", LOG)),
                                ("write:%s:1" % LOG, error_box("WRITE", LOG))]:
            with self.subTest(fault=fault):
                self.tearDown()
                self.setUp()
                self.check_compare(fault, expected, [])
                self.assertTrue(self.drive.exists(LOG))

    def test_extension_database(self):
        def add_entry():
            self.extension_list(".ABC\r\n.XYZ\r\n")

        def drop_entry():
            self.extension_list(".XYZ\r\n")
        for fault, expected, extra in [
                ("open:%s:2" % EXT, error_box("OPEN", EXT), None),
                ("open:%s:3" % EXT, error_box("OPEN", EXT), None),
                ("rewrite:%s:1" % EXT, error_box("REWRITE", EXT), None),
                ("write:%s:1" % EXT, error_box("WRITE", EXT), add_entry),
                ("delete:%s:1" % EXT, error_box("DELETE", EXT), drop_entry)]:
            with self.subTest(fault=fault):
                self.tearDown()
                self.setUp()
                reported = self.check_compare(fault, expected, extra=extra)
                # The file watched through the user's list was not looked at:
                # neither reported deleted nor, later, new.
                self.assertEqual([f for f in reported if f[1].endswith(".ABC")], [], fault)
                # The extension database is usable again afterwards.
                code, entries = self.drive.run("C", answers="N")
                self.assertNotIn("ERROR", " ".join(b["text"] for b in boxes(entries)))

    def test_read_failures_are_told_not_taken_as_missing(self):
        # A failed read is neither a missing record nor the end of the file.
        # The database is repaired and compared in the same run; the work
        # file's run ends; the walk goes on without the user's extensions.
        for fault in ("read:%s:4" % DBI, "read:%s:3" % WORK, "read:%s:1" % EXT,
                      "read:%s:4" % EXT):
            with self.subTest(fault=fault):
                self.tearDown()
                self.setUp()
                name = fault.split(":", 1)[1].rsplit(":", 1)[0]
                self.check_compare(fault, error_box("READ", name))

    def test_failed_build_leaves_no_database(self):
        for fault, expected in [("write:%s:2" % DBI, error_box("WRITE", DBI)),
                                ("delete:%s:1" % DBI, error_box("DELETE", DBI)),
                                ("open:%s:1" % WORK, error_box("OPEN", WORK)),
                                ("write:%s:1" % WORK, error_box("WRITE", WORK))]:
            with self.subTest(fault=fault):
                self.tearDown()
                self.setUp()
                self.make("C:\\App\\t.exe")
                self.assertEqual(self.faulted("N", fault, expected), [])
                self.assertFalse(self.drive.exists(DBI) and fault.startswith("write:C:\\VELUMTAR"))
                code, entries = self.drive.run("C")
                texts = [b["text"] for b in boxes(entries)]
                self.assertEqual(texts[-1], BUILD_DONE, fault)
                code, entries = self.drive.run("C")
                self.assertEqual([b["text"] for b in boxes(entries)], [NO_DIFFERENCES])


if __name__ == "__main__":
    unittest.main()
