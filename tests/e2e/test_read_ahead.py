"""What a run reports does not depend on reading ahead: drives a Linux user
can make, and a process short of descriptors. (CMake runs every module with
and without reading ahead.)"""
import os
import resource
import subprocess
import sys
import unittest

from harness import CONFIG, DriveTest, boxes, wine

BUILD_DONE = "Finish NEW building of the basic database.\r\nPlease confirm"
NO_DIFFERENCES = "No differences detected" + " " * 19 + "\r\nPlease confirm"
TXT = "C:\\VELUMTAR.TXT"


class ReadAhead(DriveTest):
    def texts(self, letter="C"):
        code, entries = self.drive.run(letter, answers="N")
        self.assertEqual(code, 0)
        return [b["text"] for b in boxes(entries)]

    def reported(self):
        lines = self.drive.read(TXT).decode("utf-8", "replace").split("\r\n")[1:]
        return sorted((line[:7].strip(), line[87:].rstrip()) for line in lines if line)

    @unittest.skipIf(wine(), "names that differ only in case are a Linux drive's")
    def test_twin_files_in_directories_read_ahead(self):
        # Names of their own, made in both orders: the directories list
        # them in different orders.
        for i in range(6):
            spellings = ["f%d.exe" % i, "F%d.EXE" % i]
            for name in spellings if i % 2 else reversed(spellings):
                self.make("C:\\Dir%d\\%s" % (i, name), len(name) + i)
        self.assertEqual(self.texts("N"), [BUILD_DONE])
        texts = self.texts()
        self.assertTrue(texts[-1].endswith("Display list of details?"), texts)
        self.assertEqual(self.reported(),
                         [("LOCKED", "C:\\DIR%d\\f%d.exe" % (i, i)) for i in range(6)])

    @unittest.skipIf(wine(), "names that differ only in case are a Linux drive's")
    def test_twin_directories_are_never_confused(self):
        # Each spelling holds files of its own: whichever is watched, a
        # quiet drive shows no change, only the twins that are told.
        for lower, upper in [("t0", "T0"), ("y", "Y "), ("c\x02", "C\x01")]:
            self.make("C:\\%s\\in_lower.exe" % lower)
            self.make("C:\\%s\\in_upper.exe" % upper)
        self.assertEqual(self.texts("N"), [BUILD_DONE])
        for _ in range(2):
            texts = self.texts()
            self.assertTrue(texts[-1].endswith("Display list of details?"), texts)
            found = self.reported()
            self.assertEqual([status for status, _ in found], ["LOCKED"] * 3, found)

    @unittest.skipIf(wine(), "a limit of the Linux process")
    def test_few_descriptors_leave_the_tool_its_own(self):
        for i in range(300):
            self.make("C:\\D%03d\\S\\f.exe" % i)
        self.assertEqual(self.texts("N"), [BUILD_DONE])
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (40, hard))
        try:
            outcomes = [self.texts() for _ in range(3)]
        finally:
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        self.assertEqual(outcomes, [[NO_DIFFERENCES]] * 3)


    @unittest.skipIf(wine(), "the peak memory of the Linux process")
    def test_many_sub_directories_keep_memory_bounded(self):
        with open(CONFIG["exe"], "rb") as f:
            binary = f.read()
        if b"__asan_init" in binary or b"__tsan_init" in binary:
            self.skipTest("a sanitizer's memory is not the tool's")
        for i in range(50000):
            os.mkdir(os.path.join(self.drive.root, "D%05d" % i))
        # Each peak in a process of its own: the largest of its children.
        probe = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:]); "
                 "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
        peaks = []
        for setting in ("0", "8"):
            env = self.drive.environment(answers="N")
            env["VELUMTAR_READAHEAD"] = setting
            out = subprocess.run([sys.executable, "-c", probe] + self.drive.command(["N"]),
                                 cwd=self.drive.start, env=env, stdout=subprocess.PIPE,
                                 stdin=subprocess.DEVNULL, check=True).stdout
            peaks.append(int(out))
        # Reading ahead holds the names still to be read, not every one
        # announced (KiB).
        self.assertLess(peaks[1] - peaks[0], 2048, peaks)


if __name__ == "__main__":
    unittest.main()
