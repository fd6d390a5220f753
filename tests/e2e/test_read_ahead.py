"""What a run reports does not depend on reading ahead: drives a Linux user
can make, and a process short of descriptors. (CMake runs every module with
and without reading ahead.)"""
import os
import resource
import unittest

from harness import DriveTest, boxes, wine

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
        for lower, upper in [("t0", "T0"), ("y", "Y "), ("c?", "C\x01")]:
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


if __name__ == "__main__":
    unittest.main()
