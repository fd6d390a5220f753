"""Start-up, instance guard, information commands and the unattended mode."""
import os
import pty
import select
import shutil
import tempfile
import threading
import unittest
from unittest import mock

import harness
from harness import DriveTest, boxes, helper, kill, launches, wait_for, wine

CAPTION = "VELUMTAR       "
HELP_QUESTION = {"caption": CAPTION, "style": "4", "type": 324,
                 "text": "Would you like to open the help?", "answer": "4"}


class InformationCommands(DriveTest):
    def test_unknown_letter_is_shown_upper_cased_then_help_is_offered(self):
        code, entries = self.drive.run("x")
        self.assertEqual(code, 0)
        self.assertEqual(entries, [
            {"caption": CAPTION, "style": "0", "type": 64, "answer": "0",
             "text": "This is a command-line-tool, but\r\nthe actual command 'X' is not a "
                     "suitable command\r\nPlease confirm."},
            HELP_QUESTION])

    def test_no_argument_shows_an_underscore(self):
        code, entries = self.drive.run()
        self.assertEqual(code, 0)
        self.assertIn("the actual command '_' is not", boxes(entries)[0]["text"])

    def test_program_information_then_no_launches_nothing(self):
        code, entries = self.drive.run("?", answers="N")
        self.assertEqual(code, 0)
        self.assertEqual(len(boxes(entries)), 2)
        self.assertTrue(boxes(entries)[0]["text"].startswith(
            "Programinformation:\r\nVELUMTAR 4.01.03 File-Comparing-Tool" + " " * 16 + "\r\n"))
        self.assertEqual(launches(entries), [])

    def test_help_on_yes(self):
        code, entries = self.drive.run("  ?", answers="Y")
        self.assertEqual(code, 0)
        self.assertEqual(launches(entries),
                         [{"launch": "HH vlmhelpx.chm", "show": 1, "wait": False}])

    def test_show_log_without_a_log(self):
        code, entries = self.drive.run("l")
        self.assertEqual(code, 0)
        self.assertEqual(entries, [{"caption": CAPTION, "style": "0", "type": 64,
                                    "text": "No Log-File found.", "answer": "0"}])

    def test_show_log_launches_the_editor(self):
        self.drive.write("C:\\VELUMTAR.LOG", "2026.12.07 10:00 x\r\n\r\n")
        code, entries = self.drive.run("L")
        self.assertEqual(code, 0)
        self.assertEqual(entries, [{"launch": "NOTEPAD C:\\VELUMTAR.LOG", "show": 1,
                                    "wait": False}])
        self.assertFalse(self.drive.exists("C:\\VELUMTAR.AKT"))


    @unittest.skipIf(wine(), "the terminal viewer belongs to the Linux build")
    def test_viewer_on_a_terminal_runs_after_the_tool_which_still_exits_0(self):
        log = "C:\\VELUMTAR.LOG"
        self.drive.write(log, "2026.12.07 10:00 x\r\n\r\n")
        note = os.path.join(self.drive.scratch, "viewed")
        editor = os.path.join(self.drive.scratch, "editor")
        with open(editor, "w") as f:
            # Notes what it was given and whether the tool's marker is still
            # there, then ends with a code of its own.
            f.write("#!/bin/sh\n[ -e '%s' ] && m=held || m=released\n"
                    "echo \"$1 $m\" > '%s'\nexit 42\n"
                    % (self.drive.host("C:\\VELUMTAR.AKT"), note))
        os.chmod(editor, 0o755)
        env = self.drive.environment(transcript=False)
        env["VISUAL"] = editor
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(self.drive.start)
            os.execve(self.drive.command(["L"])[0], self.drive.command(["L"]), env)
        while True:
            try:
                if not os.read(fd, 4096):
                    break
            except OSError:
                break
        os.close(fd)
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        with open(note) as f:
            self.assertEqual(f.read(), self.drive.host(log) + " released\n")


@unittest.skipUnless(wine(), "Wine starts the Windows build")
class WineStart(DriveTest):
    """Only Wine's own failure to start a process is tried again."""

    def run_exe(self, exe, *args):
        with mock.patch.dict(harness.CONFIG, exe=exe), mock.patch.object(harness, "note") as note:
            code, _ = self.drive.run(*args)
        return code, [call.args[0] for call in note.call_args_list]

    def test_start_failures_are_retried_and_program_failures_are_not(self):
        # A program file Wine cannot map: its launcher says so and ends with 1.
        damaged = os.path.join(self.drive.scratch, "damaged.exe")
        with open(damaged, "wb") as f:
            f.write(b"MZ" + b"\0" * 62)
        code, notes = self.run_exe(damaged, "C")
        self.assertEqual(code, 1)
        self.assertEqual(len(notes), harness.WINE_START_ATTEMPTS)
        self.assertTrue(all("Application could not be started" in n for n in notes), notes)
        self.assertIn("starting again", notes[0])
        self.assertNotIn("starting again", notes[-1])
        # Wine's loader failing on an error channel, with the same status: the
        # line as Wine writes it when it cannot place its fixed pages.
        code, notes = self.run_exe("cmd", "/c", "echo err:virtual:virtual_alloc_first_teb wine: "
                                   "failed to map the shared user data: c0000018& exit 1")
        self.assertEqual(code, 1)
        self.assertEqual(len(notes), harness.WINE_START_ATTEMPTS, notes)
        self.assertIn("Wine could not start velumtar", notes[0])
        # A script whose program Wine could not start ends with a status of
        # its own: the line and the program's missing trace tell.
        with mock.patch.object(harness, "note") as note:
            code, _, _ = harness.run_program(
                ["wine", "cmd", "/c", "echo wine: could not load kernel32.dll& exit 0"],
                self.drive.start, self.drive.environment(transcript=False), 120,
                ran=lambda: False)
        self.assertEqual((code, note.call_count), (0, harness.WINE_START_ATTEMPTS))
        # A program that ran and ended with the same status is not.
        code, notes = self.run_exe("cmd", "/c", "exit 1")
        self.assertEqual(code, 1)
        self.assertEqual(len(notes), 1, notes)
        self.assertNotIn("starting again", notes[0])
        # A program that crashed fails, whatever status Wine leaves.
        code, notes = self.run_exe(helper("access_violation"))
        self.assertNotEqual(code, 0)
        self.assertEqual(len(notes), 1, notes)
        self.assertIn("wine: Unhandled page fault", notes[0])

    def test_unit_test_runner_retries_only_start_failures(self):
        import subprocess
        runner = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                              "wine_run.sh")
        cases = [
            # Wine's loader failing, as it writes it: tried four times.
            ("echo err:virtual:virtual_alloc_first_teb wine: failed to map the shared user "
             "data: c0000018 1>&2& exit 1", 3),
            # The program ran (it wrote to standard output) and failed.
            ("echo [==========] 1 test ran& echo wine: a word of the program 1>&2& exit 1", 0),
            ("exit 1", 0),
        ]
        for command, retries in cases:
            with self.subTest(command=command):
                proc = subprocess.run([runner, "cmd", "/c", command], capture_output=True,
                                      env=self.drive.environment(transcript=False))
                self.assertEqual(proc.returncode, 1)
                self.assertEqual(proc.stderr.count(b"[wine_run] Wine could not start"), retries,
                                 proc.stderr)


class DriveLink(unittest.TestCase):
    def test_drive_c_is_never_missing_while_it_is_pointed_elsewhere(self):
        # Under Wine a process of another test may start at any moment and
        # must find the system's libraries through drive C:.
        base = tempfile.mkdtemp(prefix="velumtar-link-")
        self.addCleanup(shutil.rmtree, base)
        link = os.path.join(base, "c:")
        for drive in ("a", "b"):
            os.makedirs(os.path.join(base, drive, "windows"))
        os.symlink(os.path.join(base, "a"), link)
        missing = []
        done = threading.Event()

        def watch():
            while not done.is_set():
                if not os.path.exists(os.path.join(link, "windows")):
                    missing.append(1)

        watcher = threading.Thread(target=watch)
        watcher.start()
        for i in range(2000):
            harness.repoint(link, os.path.join(base, "ab"[i % 2]))
        done.set()
        watcher.join()
        self.assertEqual(len(missing), 0)
        self.assertEqual(sorted(os.listdir(base)), ["a", "b", "c:"])


class InstanceGuard(DriveTest):
    def holder(self):
        """Holds the marker from another real process, as a running instance does."""
        release = os.path.join(self.drive.scratch, "release")
        proc = self.drive_process(helper("hold_file"),
                                  ["C:\\VELUMTAR.AKT", self.drive.tool_path(release)])
        self.assertTrue(wait_for(lambda: self.drive.exists("C:\\VELUMTAR.AKT")))
        return proc, release

    def drive_process(self, program, args):
        import subprocess
        import tempfile
        command = (["wine", program] if wine() else [program]) + args
        for attempt in range(1, harness.WINE_START_ATTEMPTS + 1):
            with tempfile.TemporaryFile() as err:
                proc = subprocess.Popen(command, cwd=self.drive.start,
                                        env=self.drive.environment(transcript=False),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=err)
                # The holder says "held" once it holds the marker.
                line = proc.stdout.readline()
                if b"held" in line:
                    return proc
                output = line + proc.stdout.read()
                proc.wait()
                err.seek(0)
                output += err.read()
            harness.note("%s, status %d, attempt %d:\n%s" % (
                command, proc.returncode, attempt, output.decode("utf-8", "replace")))
            if not harness.wine_start_failed(proc.returncode, output):
                break
        self.fail("the marker holder did not start")

    def test_second_instance_is_refused_while_the_first_holds_the_marker(self):
        proc, release = self.holder()
        try:
            code, entries = self.drive.run("?")
            self.assertEqual(code, 0)
            self.assertEqual(entries, [{
                "caption": CAPTION, "style": "0", "type": 64, "answer": "0",
                "text": "The program already runs. You can't start it a 2nd or more times."}])
            # The refused instance must not have removed the running one's marker.
            self.assertTrue(self.drive.exists("C:\\VELUMTAR.AKT"))
            code, entries = self.drive.run("l")
            self.assertIn("already runs", entries[0]["text"])
        finally:
            open(release, "w").close()
            proc.wait(timeout=60)

    def test_marker_of_a_killed_process_is_taken_over_silently(self):
        proc, _ = self.holder()
        kill(proc)
        self.assertTrue(self.drive.exists("C:\\VELUMTAR.AKT"))
        code, entries = self.drive.run("x")
        self.assertEqual(code, 0)
        self.assertEqual(len(entries), 2)
        self.assertIn("'X'", entries[0]["text"])
        self.assertFalse(self.drive.exists("C:\\VELUMTAR.AKT"))

    @unittest.skipUnless(wine(), "Windows keeps the name of a file held open")
    def test_a_held_marker_cannot_be_deleted_or_moved_by_another_program(self):
        proc, release = self.holder()
        try:
            for command in ("del C:\\VELUMTAR.AKT", "ren C:\\VELUMTAR.AKT MOVED.AKT",
                            "move /y C:\\VELUMTAR.AKT C:\\MOVED.AKT"):
                # cmd says "Sharing violation." and ends with 1.
                harness.run_program(["wine", "cmd", "/c", command], self.drive.start,
                                    self.drive.environment(transcript=False), 120, name="cmd",
                                    expected=(0, 1))
                self.assertTrue(self.drive.exists("C:\\VELUMTAR.AKT"), command)
                self.assertFalse(self.drive.exists("C:\\MOVED.AKT"), command)
            code, entries = self.drive.run("C")
            self.assertIn("already runs", entries[0]["text"])
        finally:
            open(release, "w").close()
            proc.wait(timeout=60)

    @unittest.skipIf(wine(), "a box blocks only on a terminal")
    def test_a_compare_keeps_the_drive_whatever_becomes_of_its_marker(self):
        """A compare waits at its closing question on its terminal while its
        marker's name is removed, moved away or taken by another file: a second
        compare is still refused and changes nothing; the first ends with a
        sound database."""
        import subprocess
        self.make("C:\\App\\a.exe")
        self.make("C:\\App\\b.dll")
        code, entries = self.drive.run("N")
        self.assertEqual(code, 0)
        marker = self.drive.host("C:\\VELUMTAR.AKT")
        check = os.path.join(harness.CONFIG["bin_dir"], "velumtar-check")
        def replace(m):
            with open(m + ".new", "w") as f:
                f.write("another file")
            os.replace(m + ".new", m)

        ways = [("unlinked", os.remove), ("renamed", lambda m: os.rename(m, m + ".old")),
                ("replaced", replace)]
        for number, (way, change) in enumerate(ways):
            with self.subTest(way=way):
                self.make("C:\\App\\a.exe", size=20 + number)
                pid, fd = pty.fork()
                if pid == 0:
                    os.chdir(self.drive.start)
                    env = self.drive.environment(transcript=False)
                    os.execve(self.drive.command(["C"])[0], self.drive.command(["C"]), env)
                try:
                    seen = b""
                    while b"Display list of details?" not in seen:
                        self.assertTrue(select.select([fd], [], [], 60)[0], seen)
                        seen += os.read(fd, 4096)
                    change(marker)
                    kept = {name: self.drive.read(name) for name in
                            ("C:\\VELUMTAR.DBI", "C:\\VELUMTAR.LOG", "C:\\VELUMTAR.TXT",
                             "C:\\VELUCMPT.TMP")}
                    code, entries = self.drive.run("C", answers="N")
                    self.assertEqual(code, 0)
                    self.assertEqual(entries, [{
                        "caption": CAPTION, "style": "0", "type": 64, "answer": "0",
                        "text": "The program already runs. You can't start it a 2nd or more "
                                "times."}])
                    if way != "replaced":
                        self.assertFalse(os.path.lexists(marker))
                    for name, data in kept.items():
                        self.assertEqual(self.drive.read(name), data, name)
                    os.write(fd, b"\r")  # No: the report is not shown
                    self.assertTrue(wait_for(lambda: os.waitpid(pid, os.WNOHANG)[0] != 0,
                                             timeout=30))
                    pid = 0
                finally:
                    if pid:
                        os.kill(pid, 9)
                        os.waitpid(pid, 0)
                    os.close(fd)
                if os.path.exists(marker + ".old"):
                    os.remove(marker + ".old")
                self.assertEqual(subprocess.run([check, "C:\\VELUMTAR.DBI"], cwd=self.drive.start,
                                                env=self.drive.environment(transcript=False),
                                                stdout=subprocess.DEVNULL).returncode, 0)
                code, entries = self.drive.run("C", answers="N")
                self.assertEqual([b["text"] for b in boxes(entries)],
                                 ["No differences detected" + " " * 19 + "\r\nPlease confirm"])

    @unittest.skipIf(wine(), "a box blocks only on a terminal")
    def test_two_real_instances(self):
        """The first instance waits at a box on its terminal; the second is refused."""
        import pty
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(self.drive.start)
            env = self.drive.environment(transcript=False)
            os.execve(self.drive.command(["?"])[0], self.drive.command(["?"]), env)
        try:
            self.assertTrue(wait_for(lambda: self.drive.exists("C:\\VELUMTAR.AKT")))
            code, entries = self.drive.run("?")
            self.assertEqual(code, 0)
            self.assertIn("already runs", entries[0]["text"])
            self.assertTrue(self.drive.exists("C:\\VELUMTAR.AKT"))
            # Enter on the information box, Enter (No) on the help question.
            os.write(fd, b"\r")
            wait_for(lambda: False, timeout=0.3)
            os.write(fd, b"\r")
            self.assertTrue(wait_for(lambda: os.waitpid(pid, os.WNOHANG)[0] != 0, timeout=30))
            pid = 0
            self.assertFalse(self.drive.exists("C:\\VELUMTAR.AKT"))
        finally:
            if pid:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
            os.close(fd)


if __name__ == "__main__":
    unittest.main()
