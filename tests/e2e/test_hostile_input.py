"""Odd and hostile input: each has a clear outcome and loses nothing."""
import json
import os
import socket
import stat
import subprocess
import threading
import unittest

from harness import T2020, DriveTest, boxes, wine

BUILD_DONE = "Finish NEW building of the basic database.\r\nPlease confirm"
NO_DIFFERENCES = "No differences detected" + " " * 19 + "\r\nPlease confirm"
TXT = "C:\\VELUMTAR.TXT"


class HostileInput(DriveTest):
    inputs = 0

    def put(self, host, data=b"x"):
        os.makedirs(os.path.dirname(host), exist_ok=True)
        with open(host, "wb") as f:
            f.write(data)
        os.utime(host, (T2020, T2020))

    def texts(self, letter="C", timeout=120):
        code, entries = self.drive.run(letter, answers="N", timeout=timeout)
        self.assertEqual(code, 0)
        HostileInput.inputs += 1
        return [b["text"] for b in boxes(entries)]

    def reported(self):
        lines = self.drive.read(TXT).decode("utf-8", "replace").split("\r\n")[1:]
        return sorted((line[:7].strip(), line[87:].rstrip()) for line in lines if line)

    def round_trip(self, hosts):
        """Builds, finds nothing, then finds each of `hosts` changed once."""
        self.assertEqual(self.texts("N"), [BUILD_DONE])
        self.assertEqual(self.texts(), [NO_DIFFERENCES])
        for host in hosts:
            self.put(host, b"changed")
        texts = self.texts()
        self.assertTrue(texts[-1].endswith("Display list of details?"), texts)
        found = self.reported()
        self.assertEqual(len(found), len(hosts), found)
        self.assertTrue(all(status == "Changed" for status, _ in found), found)
        self.assertEqual(self.texts(), [NO_DIFFERENCES])
        return found

    # -- the extension list -------------------------------------------------

    def list_case(self, text, watched, ignored=()):
        """With VELULIST.EXT holding `text`, files of the `watched` names are
        found new and those of the `ignored` names are not."""
        self.tearDown()
        self.setUp()
        with open(os.path.join(self.drive.start, "VELULIST.EXT"), "wb") as f:
            f.write(text)
        self.put(self.drive.host("C:\\Base\\keep.exe"))
        self.assertEqual(self.texts("N"), [BUILD_DONE])
        for name in list(watched) + list(ignored):
            self.put(os.path.join(self.drive.host("C:\\Files"), name))
        texts = self.texts()
        found = self.reported() if texts[-1].endswith("Display list of details?") else []
        # A control character of a name is shown as '?'.
        self.assertEqual(sorted(p for _, p in found),
                         sorted("C:\\FILES\\" + n.upper().replace("\t", "?") for n in watched),
                         text[:60])
        self.assertEqual(self.texts(), [NO_DIFFERENCES])

    def test_extension_list_variants(self):
        many = b"".join(b".%03d\r\n" % i for i in range(4000))
        cases = [
            (b".abc\r\n.xyz\r\n", ["a.abc", "b.xyz"], ["c.abd"]),
            (b".abc\r.xyz\r", ["a.abc", "b.xyz"], []),               # CR only
            (b".abc\n.xyz\n", ["a.abc", "b.xyz"], []),               # LF only
            (b".abc\r\n.ABC\r\n.Abc\r\n.aBC", ["a.abc"], []),        # duplicates, no last end
            (b".abcdefghij" * 100 + b"\r\n", ["a.abc"], ["b.abd"]),  # a long line
            (many, ["f.017", "g.399"], ["h.x"]),                     # thousands of lines
            (b".a\tb\r\n", ["x.a\tb"] if not wine() else [], []),   # a tab inside an entry
            (b"abc\r\n.xyz\r\n", [], ["a.abc", "b.xyz"]),            # invalid: ignored whole
            (b".a\x00c\r\n.xyz\r\n", ["b.xyz"], ["a.abc"]),          # a NUL byte
            (b"\x00" * 5000, [], ["a.abc"]),
            (b"\r\n\r\n\n\r", [], ["a.abc"]),                        # blank lines only
        ]
        for text, watched, ignored in cases:
            with self.subTest(text=text[:30]):
                self.list_case(text, watched, ignored)

    # -- names and paths ----------------------------------------------------

    def test_odd_names_round_trip(self):
        names = ["  leading blanks.exe", "caf\u00e9 \u0416.dll"]
        if not wine():
            # A name with double quotes cannot exist on Windows.
            names.append('say "hi".exe')
        hosts = [os.path.join(self.drive.host("C:\\Odd"), n) for n in names]
        if not wine():
            # Bytes that are not UTF-8 at all.
            raw = os.path.join(self.drive.host("C:\\Odd").encode(), b"bad\xff\xfename.exe")
            hosts.append(raw)
        # A directory that fits the path field, a file path that does not.
        deep = self.drive.host("C:\\" + "\\".join(["L%02d" % i + "y" * 30 for i in range(7)]))
        # Paths past the 253-character field (a 255-byte name among them) are
        # recorded without facts: their content changes go unseen, but their
        # disappearance is reported.
        longs = [os.path.join(self.drive.host("C:\\Odd"), "x" * 250 + ".exe"),
                 os.path.join(deep, "beyond-253-characters-" + "z" * 30 + ".exe")]
        for host in hosts + longs:
            self.put(host)
        # A 255-byte name leaves no blank after its extension in the name
        # field, so it never qualifies: it must appear in no report.
        self.put(os.path.join(self.drive.host("C:\\Odd"), "w" * 251 + ".exe"))
        self.round_trip(hosts)
        for host in longs:
            os.remove(host)
        self.texts()
        found = self.reported()
        self.assertEqual([status for status, _ in found], ["Deleted", "Deleted"], found)
        self.assertTrue(all(p.endswith("...") for _, p in found))

    @unittest.skipIf(wine(), "names only a POSIX file system allows")
    def test_posix_names_are_watched_and_shown_on_one_line(self):
        odd = self.drive.host("C:\\Odd")
        names = ['"quoted".exe', 'EVIL.EXE ', "line\nfeed.exe", "cr\rtab\t.exe", "Y /in.exe",
                 'Q "dir"/q.exe']
        hosts = [os.path.join(odd, n) for n in names]
        # A name in quotes whose extension is EXE" is not an executable's name.
        self.put(os.path.join(odd, '"whole.exe"'))
        for host in hosts:
            self.put(host)
        found = self.round_trip(hosts)
        self.assertEqual(sorted(p for _, p in found), sorted([
            'C:\\ODD\\"QUOTED".EXE', "C:\\ODD\\EVIL.EXE", "C:\\ODD\\LINE?FEED.EXE",
            "C:\\ODD\\CR?TAB?.EXE", "C:\\ODD\\Y\\IN.EXE", 'C:\\ODD\\Q "DIR"\\Q.EXE']))
        # A path cut at 253 bytes ends at a whole character: one line per
        # finding, every text valid UTF-8.
        e64 = "\u00e9" * 64
        self.put(self.drive.host("C:\\" + e64 + "\\" + e64 + ".exe"))
        os.remove(hosts[2])
        texts = self.texts()
        report = self.drive.read(TXT).decode("utf-8")
        lines = report.split("\r\n")
        self.assertEqual(len(lines), 4, lines)  # heading, two findings, end
        self.assertEqual(sorted(line[:7].strip() for line in lines[1:3]), ["Deleted", "New"])
        self.assertIn("C:\\" + e64 + "\\" + e64[:60] + " ...", report)
        for name in ("C:\\VELUMTAR.LOG", TXT):
            text = self.drive.read(name).decode("utf-8")
            self.assertEqual([c for c in text if ord(c) < 32 and c not in "\r\n"], [], name)
        self.assertNotIn("\\u00c3", json.dumps(texts))

    def test_case_twins_watch_one_spelling_and_tell_the_other(self):
        # Under Wine the Windows build meets the twins of a Linux directory.
        self.put(self.drive.host("C:\\Twins\\A.EXE"), b"upper")
        self.put(self.drive.host("C:\\Twins\\a.exe"), b"lower case")
        self.put(self.drive.host("C:\\Twins\\T\\in.exe"))
        self.put(self.drive.host("C:\\Twins\\t\\out.exe"))
        twins = [("LOCKED", "C:\\TWINS\\a.exe"), ("LOCKED", "C:\\TWINS\\t")]
        self.assertEqual(self.texts("N"), [BUILD_DONE])
        for change, reported in [(None, []),
                                 ("C:\\Twins\\a.exe", []),
                                 ("C:\\Twins\\t\\out.exe", []),
                                 ("C:\\Twins\\A.EXE", [("Changed", "C:\\TWINS\\A.EXE")])]:
            if change:
                self.put(self.drive.host(change), b"changed " + change.encode())
            texts = self.texts()
            self.assertTrue(texts[-1].endswith("Display list of details?"), texts)
            self.assertEqual(self.reported(), sorted(twins + reported), change)
            lines = self.drive.read(TXT).decode().split("\r\n")
            self.assertIn("Path-Name: C:\\TWINS\\a.exe", lines[1])
            self.assertIn("DIRECTORY: C:\\TWINS\\t", lines[2])

    def test_special_files_and_a_link_loop_are_passed_over(self):
        base = self.drive.host("C:\\Special")
        os.makedirs(base)
        sock = socket.socket(socket.AF_UNIX)
        if not wine():
            # Windows has no FIFOs or sockets in its file system; Wine shows
            # them as ordinary files whose facts cannot be read.
            os.mkfifo(os.path.join(base, "pipe.exe"))
            sock.bind(os.path.join(base, "sock.exe"))
        if os.geteuid() == 0 and not wine():
            os.mknod(os.path.join(base, "null.exe"), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        os.symlink("..", os.path.join(base, "loop"))
        os.symlink("loop2", os.path.join(base, "loop1"))
        os.symlink("loop1", os.path.join(base, "loop2"))
        os.symlink("missing.exe", os.path.join(base, "dangling.exe"))
        self.put(os.path.join(base, "real.exe"))
        try:
            # A FIFO opened for its facts would block the run for ever.
            found = self.round_trip([os.path.join(base, "real.exe")])
        finally:
            sock.close()
        self.assertEqual(found, [("Changed", "C:\\SPECIAL\\REAL.EXE")])

    def test_files_vanishing_and_changing_during_the_walk(self):
        base = self.drive.host("C:\\Churn")
        for i in range(300):
            self.put(os.path.join(base, "s%03d.exe" % i))
        stop = threading.Event()

        def churn():
            n = 0
            while not stop.is_set():
                path = os.path.join(base, "c%03d.exe" % (n % 50))
                if os.path.exists(path):
                    os.remove(path)
                else:
                    self.put(path, b"x" * (n % 7))
                n += 1
        worker = threading.Thread(target=churn)
        worker.start()
        try:
            for letter in ["N"] + ["C"] * 8:
                texts = self.texts(letter)
                for text in texts:
                    self.assertNotIn("ERROR", text)
        finally:
            stop.set()
            worker.join()
        # Once the tree is still, one more compare settles it and the next
        # finds nothing.
        self.texts()
        self.assertEqual(self.texts(), [NO_DIFFERENCES])

    @unittest.skipIf(wine() or os.geteuid() != 0, "needs a mount of its own (root, native)")
    def test_full_file_system_fails_cleanly_and_keeps_the_database(self):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", self.drive.root],
                       check=True)
        try:
            os.makedirs(self.drive.start)
            for i in range(20):
                self.put(self.drive.host("C:\\App\\f%02d.exe" % i))
            self.assertEqual(self.texts("N"), [BUILD_DONE])
            # Many new files, then fill what is left of the device.
            for i in range(400):
                self.put(self.drive.host("C:\\More\\n%03d.exe" % i))
            filler = self.drive.host("C:\\filler.bin")
            fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
            try:
                while os.write(fd, b"\0" * 4096):
                    pass
            except OSError:
                pass
            os.close(fd)
            texts = self.texts()
            self.assertTrue(texts and texts[0].startswith("ERROR: File handling."), texts)
            # The database still opens, and once there is room again the
            # changes come through.
            os.remove(filler)
            texts = self.texts()
            for text in texts:
                self.assertNotIn("ERROR", text)
            if texts[-1] == NO_DIFFERENCES:
                self.put(self.drive.host("C:\\App\\late.exe"))
                texts = self.texts()
            found = self.reported()
            self.assertGreaterEqual(len([f for f in found if f[0] == "New"]), 400)
        finally:
            subprocess.run(["umount", "-l", self.drive.root])


if __name__ == "__main__":
    unittest.main()
