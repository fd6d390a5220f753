"""The compare and build runs end to end: walk, passes, log, report, messages."""
import os
import shutil
import stat
import subprocess
import unittest

from harness import T2020, DriveTest, boxes, launches, wine

CAPTION = "VELUMTAR       "
CLOCK = "2026120710300000"
STAMP = "2026.12.07 10:30"


def box(text, style="0", answer="0"):
    types = {"0": 64, "1": 16, "4": 324}
    return {"caption": CAPTION, "style": style, "type": types[style], "text": text,
            "answer": answer}


BUILD_DONE = box("Finish NEW building of the basic database.\r\nPlease confirm")
NO_DIFFERENCES = box("No differences detected" + " " * 19 + "\r\nPlease confirm")


def report_line(status, path, size, attrs="A", when=(2020, 6, 15, 12, 34, 56), long=False):
    y, mo, d, h, mi, s = when
    return ("%-7s Date/time: %04d.%02d.%02d / %02d:%02d:%02d Size: %016d Attr.: %-4s "
            "Path-Name: %-253s%s" % (status, y, mo, d, h, mi, s, size, attrs, path,
                                     "..." if long else "")).rstrip()


def locked_line(path):
    return ("LOCKED  Date/time:     .  .   /   :  :   Size:                  Attr.:      "
            "DIRECTORY: " + path).rstrip()


def count_line(count, word):
    digits = "{:,}".format(count).rjust(11)
    return " " * 17 + digits + " " + word


class CompareRuns(DriveTest):

    def tree(self):
        self.make("C:\\App\\Tool.exe", 10)
        self.make("C:\\App\\lib.dll", 20)
        self.make("C:\\App\\readme.txt", 30)
        self.make("C:\\Sys\\driver.sys", 40)
        self.make("C:\\Program Files\\Thing\\Run.Exe", 50)
        self.make("C:\\pagefile.sys", 60)

    def run_tool(self, letter, answers=None):
        code, entries = self.drive.run(letter, answers=answers, clock=CLOCK)
        self.assertEqual(code, 0)
        for name in ("VELUCMPT.TMP", "VELUMTAR.AKT", "VELUTMPA.TMP", "VELULSTA.TMP"):
            self.assertFalse(self.drive.exists("C:\\" + name), name)
        return entries

    def log_lines(self):
        # Run with fingerprints, a build tells how many it recorded.
        recorded = "fingerprints of file contents recorded (compared from now on)"
        lines = self.drive.read("C:\\VELUMTAR.LOG").decode().split("\r\n")
        return [line for line in lines if not line.endswith(recorded)]

    def test_first_compare_builds_then_finds_nothing(self):
        self.tree()
        self.assertEqual(self.run_tool("c"), [BUILD_DONE])
        self.assertTrue(self.drive.exists("C:\\VELUMTAR.DBI"))
        self.assertEqual(self.run_tool("compare"), [NO_DIFFERENCES])
        self.assertFalse(self.drive.exists("C:\\VELUMTAR.TXT"))
        self.assertEqual(self.log_lines(), [
            STAMP + " Finish NEW building of the basic database.",
            " " * 17 + "- without Errors",
            "",
            STAMP + " No differences detected",
            " " * 17 + "- without Errors",
            "",
            ""])

    def test_new_changed_deleted_and_attribute_only_changes(self):
        self.tree()
        self.run_tool("N")
        later = T2020 + 3600
        os.utime(self.drive.host("C:\\App\\Tool.exe"), (later, later))
        os.chmod(self.drive.host("C:\\App\\lib.dll"), 0o444)   # read-only: attribute only
        os.remove(self.drive.host("C:\\Sys\\driver.sys"))
        self.make("C:\\App\\New.com", 7)
        self.make("C:\\App\\notes.txt", 7)                      # not watched
        entries = self.run_tool("C", answers="Y")
        summary = [STAMP + " Differences from last check - result ",
                   count_line(1, "New"), count_line(2, "Changed"),
                   count_line(1, "Deleted"), ""]
        text = "".join(line.ljust(54) + "\r\n" for line in summary) + "Display list of details?"
        self.assertEqual(entries, [box(text, style="4", answer="3"),
                                   {"launch": "NOTEPAD C:\\VELUMTAR.TXT", "show": 1,
                                    "wait": False}])
        report = self.drive.read("C:\\VELUMTAR.TXT").decode().split("\r\n")
        self.assertEqual(report, [
            STAMP + " Data of new, changed and/or deleted files:",
            report_line("Changed", "C:\\APP\\LIB.DLL", 20, "AR"),
            report_line("New", "C:\\APP\\NEW.COM", 7),
            report_line("Changed", "C:\\APP\\TOOL.EXE", 10, when=(2020, 6, 15, 13, 34, 56)),
            report_line("Deleted", "C:\\SYS\\DRIVER.SYS", 40),
            ""])
        self.assertEqual(self.log_lines()[3:], [
            STAMP + " Differences from last check - result of comparing files:",
            " " * 17 + "- without Errors",
            count_line(1, "New"), count_line(2, "Changed"), count_line(1, "Deleted"),
            "", ""])
        # The findings were committed: the next compare finds nothing and
        # leaves the report alone.
        self.assertEqual(self.run_tool("C"), [NO_DIFFERENCES])
        self.assertEqual(self.drive.read("C:\\VELUMTAR.TXT").decode().split("\r\n"), report)

    def test_details_declined_launches_nothing(self):
        self.tree()
        self.run_tool("N")
        self.make("C:\\App\\Second.exe")
        entries = self.run_tool("C")
        self.assertEqual(len(boxes(entries)), 1)
        self.assertEqual(boxes(entries)[0]["answer"], "4")
        self.assertEqual(launches(entries), [])

    def test_long_paths_names_and_excluded_directories(self):
        deep = "C:\\" + "\\".join(["D%02d" % i + "x" * 20 for i in range(10)])
        self.make(deep + "\\Far_away_long_name.exe")  # a path over 253 characters
        self.make("C:\\System Volume Information\\hidden.exe")
        self.make("C:\\MyRecycler\\bin.exe")
        self.make("C:\\$Recycle.Bin\\old.exe")
        self.make("C:\\with space\\a b.exe")
        self.make("C:\\Caf\u00e9\\\u0416\u0443\u043a.dll")
        self.run_tool("N")
        self.make("C:\\new.exe")
        self.run_tool("C")
        report = self.drive.read("C:\\VELUMTAR.TXT").decode("utf-8").split("\r\n")
        self.assertEqual(report[1:], [report_line("New", "C:\\NEW.EXE", 10), ""])
        # Everything else was recorded once and is unchanged.
        os.remove(self.drive.host(deep + "\\Far_away_long_name.exe"))
        os.remove(self.drive.host("C:\\with space\\a b.exe"))
        self.run_tool("C")
        report = self.drive.read("C:\\VELUMTAR.TXT").decode("utf-8").split("\r\n")
        long_path = (deep.upper() + "\\FAR_AWAY_LONG_NAME.EXE")[:253]
        self.assertEqual(report[1:], [
            ("Deleted Date/time: 0000.00.00 / 00:00:00 Size: %016d Attr.:      "
             "Path-Name: %s..." % (0, long_path)),
            report_line("Deleted", "C:\\WITH SPACE\\A B.EXE", 10),
            ""])

    def test_log_is_trimmed_to_whole_recent_entries(self):
        self.tree()
        old = []
        for i in range(300):  # 900 lines of three-line entries
            old += ["2025.01.%02d 08:00 No differences detected" % (i % 28 + 1),
                    " " * 17 + "- without Errors", ""]
        self.drive.write("C:\\VELUMTAR.LOG", "\r\n".join(old) + "\r\n")
        self.run_tool("N")
        lines = self.log_lines()
        # 900 lines: 500 dropped, then the rest of the entry that was cut.
        self.assertEqual(lines[:-4], old[501:])
        self.assertEqual(lines[-4], STAMP + " Finish NEW building of the basic database.")

    def test_no_database_and_interrupted_states_are_handled(self):
        self.tree()
        self.assertEqual(self.run_tool("C"), [BUILD_DONE])
        os.remove(self.drive.host("C:\\VELUMTAR.DBI"))
        self.assertEqual(self.run_tool("C"), [BUILD_DONE])


@unittest.skipIf(wine() or os.geteuid() != 0 or shutil.which("setpriv") is None,
                 "needs root to run the tool as an unprivileged user")
class LockedDirectories(DriveTest):
    """A directory the tool cannot enter, made real by running as 'nobody'."""

    def setUp(self):
        super().setUp()
        os.chmod(self.drive.scratch, 0o777)
        for d, _, _ in os.walk(self.drive.scratch):
            os.chmod(d, 0o777)
        self.make("C:\\Open\\a.exe", 1)
        self.make("C:\\Locked Dir\\b.exe", 1)
        os.chmod(self.drive.host("C:\\Locked Dir"), 0)

    def run_as_nobody(self, letter, answers):
        if os.path.exists(self.drive.transcript):
            os.remove(self.drive.transcript)
        env = self.drive.environment(answers=answers, clock=CLOCK)
        subprocess.run(self.drive.command([letter], as_nobody=True), cwd=self.drive.start, env=env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True, timeout=120)
        return self.drive.transcript_entries()

    def locked_boxes(self, answer):
        path = '"C:\\LOCKED DIR"'.ljust(255)
        return [box("ERROR: Enter into directory:\r\n" + path +
                    "\r\nPlease read the help for more information", style="1"),
                box("Ignore locked directory (continue work)?\r\n" + path, style="4",
                    answer=answer)]

    def test_yes_goes_on_and_reports_the_directory(self):
        entries = self.run_as_nobody("N", "Y")
        self.assertEqual(entries, self.locked_boxes("3") + [BUILD_DONE])
        entries = self.run_as_nobody("C", "Y")
        self.assertEqual(entries[:2], self.locked_boxes("3"))
        report = self.drive.read("C:\\VELUMTAR.TXT").decode().split("\r\n")
        self.assertEqual(report[1:], [locked_line("C:\\LOCKED DIR"), ""])
        log = self.drive.read("C:\\VELUMTAR.LOG").decode().split("\r\n")
        self.assertIn(" " * 17 + "- with ERRORs (subdir LOCKED)", log)
        self.assertIn(count_line(1, "LOCKED"), log)

    def test_files_of_a_locked_directory_are_kept(self):
        # Readable at the build, locked at the next compare: its files are
        # not deleted; changed while locked, they are changed once it opens.
        locked = self.drive.host("C:\\Locked Dir")
        os.chmod(locked, 0o777)
        self.make("C:\\Locked Dir\\Inner\\c.dll", 1)
        os.chmod(self.drive.host("C:\\Locked Dir\\Inner"), 0o777)
        self.assertEqual(self.run_as_nobody("N", ""), [BUILD_DONE])
        os.chmod(locked, 0)
        entries = self.run_as_nobody("C", "Y")
        self.assertEqual(entries[:2], self.locked_boxes("3"))
        report = self.drive.read("C:\\VELUMTAR.TXT").decode().split("\r\n")
        self.assertEqual(report[1:], [locked_line("C:\\LOCKED DIR"), ""])
        self.make("C:\\Locked Dir\\b.exe", 2)
        os.chmod(locked, 0o777)
        self.run_as_nobody("C", "")
        report = self.drive.read("C:\\VELUMTAR.TXT").decode().split("\r\n")
        self.assertEqual(report[1:], [report_line("Changed", "C:\\LOCKED DIR\\B.EXE", 2), ""])
        self.assertEqual(self.run_as_nobody("C", ""), [NO_DIFFERENCES])

    def test_no_stops_and_leaves_no_database(self):
        entries = self.run_as_nobody("N", "N")
        self.assertEqual(entries, self.locked_boxes("4"))
        self.assertFalse(self.drive.exists("C:\\VELUMTAR.DBI"))
        os.chmod(self.drive.host("C:\\Locked Dir"), 0o777)
        self.assertEqual(self.run_as_nobody("C", ""), [BUILD_DONE])


if __name__ == "__main__":
    unittest.main()
