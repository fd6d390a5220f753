"""Odd and hostile input: each has a clear outcome and loses nothing."""
import json
import os
import socket
import stat
import subprocess
import threading
import unittest

from harness import NOBODY, T2020, DriveTest, boxes, wine

BUILD_DONE = "Finish NEW building of the basic database.\r\nPlease confirm"
NO_DIFFERENCES = "No differences detected" + " " * 19 + "\r\nPlease confirm"
TXT = "C:\\VELUMTAR.TXT"


def special_name_shown(host):
    """How the report shows the file at the host path `host` below the drive:
    upper case, a backslash of a name as U+F05C, every other character as
    listed."""
    return "C:\\" + "\\".join(
        "".join("\uf05c" if c == "\\" else c.upper() if "a" <= c <= "z" else c for c in name)
        for name in host.split("/"))


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

    @unittest.skipUnless(wine(), "Linux names the Windows build lists but cannot open by path")
    def test_names_windows_paths_cannot_reach_are_watched(self):
        # Characters the path rules take for syntax, device names, a
        # trailing dot or blank: listed, so watched and reported like any
        # other name, with and without reading ahead.
        names = ['quo"te.exe', "a*b.exe", "q?m.exe", "lt<x.exe", "gt>x.exe", "p|p.exe",
                 "co:lon.exe", "CON.EXE", "nul.dll", "blank.exe ", "dot.exe ."]
        hosts = [os.path.join(self.drive.host("C:\\Odd"), n) for n in names]
        for host in hosts:
            self.put(host)
        found = self.round_trip(hosts)
        self.assertEqual(sorted(p for _, p in found),
                         sorted("C:\\ODD\\" + n.upper().rstrip(" ") for n in names))
        for host in hosts:
            os.remove(host)
        self.texts()
        self.assertEqual([status for status, _ in self.reported()], ["Deleted"] * len(names))

    @unittest.skipIf(wine(), "names only a POSIX file system allows")
    def test_names_with_windows_path_syntax_reach_their_own_entries(self):
        # Each case: files (host paths below the drive, "/" the separator)
        # and empty directories. A character a Windows path takes for syntax
        # is an ordinary one in a POSIX name: each file is its own entry,
        # found new, unchanged, changed and deleted like any other, and no
        # directory is entered twice or leads back to its parent.
        cases = [
            (["X/Y.EXE", "X\\Y.EXE"], []),
            (["E/e.exe", "E\\/hidden.exe"], []),
            (["top.exe", "sub/s.exe"], ["\\", "sub/\\", "\\\\"]),
            (["w*ld/c?rd.exe", "dr:ve/<in>.exe", "p|pe.exe", '"q"/"q".exe', "a\\*.exe"], []),
            # A name holding the private-use form of a backslash itself.
            (["lit\uf05c.exe", "lit\\.exe", "lit\uf000\uf05c.exe"], ["\uf000"]),
        ]
        for files, directories in cases:
            with self.subTest(files=files):
                self.tearDown()
                self.setUp()
                self.put(self.drive.host("C:\\Base\\keep.exe"))
                self.assertEqual(self.texts("N"), [BUILD_DONE])
                for name in files:
                    self.put(os.path.join(self.drive.root, name))
                for name in directories:
                    os.makedirs(os.path.join(self.drive.root, name))
                shown = sorted(special_name_shown(name) for name in files)
                hosts = [os.path.join(self.drive.root, name) for name in files]
                for status, change in [("New", None), ("Changed", lambda h: self.put(h, b"new")),
                                       ("Deleted", os.remove)]:
                    for host in hosts if change else []:
                        change(host)
                    texts = self.texts()
                    self.assertTrue(texts[-1].endswith("Display list of details?"), texts)
                    self.assertEqual(self.reported(), [(status, p) for p in shown])
                    self.assertEqual(self.texts(), [NO_DIFFERENCES])

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

    def test_a_new_twin_never_displaces_a_watched_directory(self):
        # Each case: the files the build records; a newcomer (directories
        # ending in "/", files) spelt like a watched directory; the LOCKED
        # lines that tell the newcomers; a watched file then changed, beside
        # which a new one appears. The spelling watched stays watched: nothing
        # is reported deleted, its changes are reported, run after run.
        cases = [
            (["sys/F.EXE", "sys/deep/g.exe"], ["SYS/"], ["C:\\SYS"], "sys/deep/g.exe"),
            (["app/tools/t.exe", "app/z.exe"], ["app/Tools/"], ["C:\\APP\\Tools"],
             "app/tools/t.exe"),
            (["a/b/x.exe"], ["A/B/", "a/B/"], ["C:\\A", "C:\\A\\B"], "a/b/x.exe"),
            (["dir/F.EXE"], ["DIR/other.exe"], ["C:\\DIR"], "dir/F.EXE"),
            # The spelling of the key watched, a newcomer holding part of
            # its tree.
            (["SYS/F.EXE", "SYS/sub/s.exe"], ["sys/sub/"], ["C:\\sys"], "SYS/sub/s.exe"),
            # More spellings than are compared at once, all sorting first
            # (their trailing blanks make them one twin line).
            (["sys/F.EXE"], ["SYS" + " " * i + "/" for i in range(20)], ["C:\\SYS"], "sys/F.EXE"),
        ]
        for recorded, newcomers, told, changed in cases:
            with self.subTest(recorded=recorded, newcomers=newcomers):
                self.tearDown()
                self.setUp()
                for name in recorded:
                    self.put(os.path.join(self.drive.root, name))
                self.assertEqual(self.texts("N"), [BUILD_DONE])
                for name in newcomers:
                    host = os.path.join(self.drive.root, name)
                    if name.endswith("/"):
                        os.makedirs(host)
                    else:
                        self.put(host)
                locked = [("LOCKED", path) for path in told]
                new = os.path.join(os.path.dirname(changed), "n.exe")

                def drive_path(name):
                    return "C:\\" + name.upper().replace("/", "\\")
                for step in ("newcomers", "change", "quiet", "quiet"):
                    if step == "change":
                        self.put(os.path.join(self.drive.root, changed), b"changed")
                        self.put(os.path.join(self.drive.root, new))
                    texts = self.texts()
                    self.assertTrue(texts[-1].endswith("Display list of details?"), texts)
                    found = [("Changed", drive_path(changed)), ("New", drive_path(new))]
                    self.assertEqual(self.reported(),
                                     sorted(locked + (found if step == "change" else [])), step)

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
            # A line the device could not take whole is not left half there.
            for name in (TXT, "C:\\VELUMTAR.LOG"):
                if self.drive.exists(name):
                    data = self.drive.read(name)
                    self.assertTrue(data == b"" or data.endswith(b"\r\n"), name)
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


REFUSED = "The program already runs. You can't start it a 2nd or more times."
DETAILS = "Display list of details?"
WATCHED = (".EXE", ".DLL")
SECRET = b"not the tool's\n"


def file_error(word, name):
    return "ERROR: File handling.\r\n%-7s %-16s" % (word, name)


class OwnFiles(DriveTest):
    """The tool's own files: never reached through a link or a file that is
    not a regular one, never taken from a copy someone else put there. Each
    case checks that nothing outside the drive changed and that a later
    compare agrees with the tree on disk."""

    USERS = {"root": None, "nobody": NOBODY}

    def fresh(self, shared=False):
        self.tearDown()
        self.setUp()
        if shared:
            # The drive belongs to an unprivileged user; its runs write the
            # transcript next to it.
            os.chmod(self.drive.scratch, 0o777)
            subprocess.run(["chown", "-R", "65534:65534", self.drive.root], check=True)

    def own_host(self, name):
        if name == "VELULIST.DBI":
            return os.path.join(self.drive.start, name)
        return self.drive.host("C:\\" + name)

    def run_as(self, user, letter, timeout=60, answers="N"):
        if self.USERS[user] is None:
            code, entries = self.drive.run(letter, answers=answers, timeout=timeout)
        else:
            if os.path.exists(self.drive.transcript):
                os.remove(self.drive.transcript)
            proc = subprocess.run(self.drive.command([letter], as_nobody=True),
                                  cwd=self.drive.start, env=self.drive.environment(answers=answers),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, timeout=timeout)
            code, entries = proc.returncode, self.drive.transcript_entries()
        self.assertEqual(code, 0)
        return [b["text"] for b in boxes(entries)]

    def outside(self):
        """Everything below the test's scratch directory but the drive and the
        transcript: kind, owner, mode, size, times and content."""
        seen = {}
        for top, dirs, files in os.walk(self.drive.scratch):
            if top == self.drive.scratch:
                dirs[:] = [d for d in dirs if d != "drive_c"]
            for name in dirs + files:
                path = os.path.join(top, name)
                if path == self.drive.transcript:
                    continue
                st = os.lstat(path)
                data = None
                if stat.S_ISREG(st.st_mode):
                    with open(path, "rb") as f:
                        data = f.read()
                seen[path] = (st.st_mode, st.st_uid, st.st_size, st.st_mtime_ns, data)
        return seen

    def long_log(self):
        entry = ["2020.01.01 10:00 No differences detected", " " * 17 + "- without Errors", ""]
        self.drive.write("C:\\VELUMTAR.LOG", "\r\n".join(entry * 300) + "\r\n")

    def base(self, user):
        """A built database, a log long enough to be trimmed, then a new, a
        changed and a deleted file."""
        for name in ("t0.exe", "t1.exe", "l0.dll", "l1.dll", "x.abc"):
            self.put(self.drive.host("C:\\App\\" + name))
        with open(os.path.join(self.drive.start, "VELULIST.EXT"), "wb") as f:
            f.write(b".ABC\r\n")
        self.long_log()
        if self.USERS[user]:
            subprocess.run(["chown", "-R", "65534:65534", self.drive.root], check=True)
        self.assertEqual(self.run_as(user, "N"), [BUILD_DONE])
        self.put(self.drive.host("C:\\App\\new.exe"))
        self.put(self.drive.host("C:\\App\\t0.exe"), b"changed")
        os.remove(self.drive.host("C:\\App\\l0.dll"))
        if self.USERS[user]:
            subprocess.run(["chown", "-R", "65534:65534", self.drive.root], check=True)

    def put(self, host, data=b"x"):
        HostileInput.put(self, host, data)

    def plant(self, host, kind, target, user):
        """Puts a link, a directory or a FIFO where one of the tool's files
        goes, as `user`."""
        if os.path.lexists(host):
            os.remove(host)
        make = {"link": ["ln", "-s", target, host], "hardlink": ["ln", target, host],
                "dangling": ["ln", "-s", target + ".new", host],
                "dirlink": ["ln", "-s", os.path.dirname(target), host],
                "dir": ["mkdir", host], "fifo": ["mkfifo", host]}[kind]
        subprocess.run((self.USERS[user] or []) + make, check=True)

    def agrees_with_tree(self, user, with_list):
        """Settles pending findings, then removes every watched file: the
        next compare must report exactly those files as deleted."""
        self.run_as(user, "C")
        self.assertEqual(self.run_as(user, "C"), [NO_DIFFERENCES])
        watched = set()
        for top, _, files in os.walk(self.drive.root):
            for name in files:
                ext = os.path.splitext(name)[1].upper()
                if ext in WATCHED or (with_list and ext == ".ABC"):
                    path = os.path.join(top, name)
                    watched.add("C:" + path[len(self.drive.root):].replace("/", "\\").upper())
                    os.remove(path)
        texts = self.run_as(user, "C")
        self.assertTrue(texts[-1].endswith(DETAILS), texts)
        self.assertEqual(self.reported(), sorted(("Deleted", p) for p in watched))

    def reported(self):
        return HostileInput.reported(self)

    def assertNothingTaken(self, names, planted):
        """No other of the tool's names became a link, and no file on the
        drive but the planted one holds what lies outside it."""
        for name in names:
            if name != planted:
                self.assertFalse(os.path.islink(self.own_host(name)), name)
        for top, _, files in os.walk(self.drive.root):
            for name in files:
                path = os.path.join(top, name)
                if path == self.own_host(planted):
                    continue
                if os.path.isfile(path) and not os.path.islink(path):
                    with open(path, "rb") as f:
                        self.assertNotIn(SECRET, f.read(), path)

    def test_own_files_are_never_reached_through_links_or_special_files(self):
        names = ["VELUMTAR.AKT", "VELUMTAR.DBI", "VELUMTAR.TXT", "VELUMTAR.LOG",
                 "VELUCMPT.TMP", "VELUTMPA.TMP", "VELULSTA.TMP", "VELULIST.DBI"]
        # What the run shows first when the name is not a regular file.
        first = {"VELUMTAR.AKT": REFUSED, "VELUMTAR.TXT": file_error("OPEN", TXT),
                 "VELUMTAR.LOG": file_error("OPEN", "C:\\VELUMTAR.LOG"),
                 "VELULIST.DBI": file_error("OPEN", "VELULIST.DBI")}
        # Wine shows a link to a file as that file, which no program can tell
        # from the file itself; a link to a directory it shows as a reparse
        # point, a FIFO as a pipe, and a hard link with its count of names.
        kinds = ["dirlink", "dangling", "dir", "fifo", "hardlink"]
        if not wine():
            kinds.append("link")
        cases = [(name, kind, "root", "root") for name in names for kind in kinds]
        if not wine() and os.geteuid() == 0:
            # Planted by an unprivileged user in a drive it owns, the run as
            # root; and a run as that user against its own file outside.
            cases += [(name, "link", "nobody", "root") for name in names]
            cases += [(name, "link", "nobody", "nobody")
                      for name in ("VELUMTAR.TXT", "VELUMTAR.LOG", "VELULSTA.TMP")]
        for name, kind, planter, runner in cases:
            with self.subTest(name=name, kind=kind, planter=planter, runner=runner):
                self.fresh(shared=runner != "root" or planter != "root")
                target = os.path.join(self.drive.scratch, "secret.txt")
                with open(target, "wb") as f:
                    # Entries of a log long enough to be trimmed, were it
                    # taken for the log.
                    f.write((SECRET + b"\n") * 450)
                os.chmod(target, 0o600)
                if runner != "root":
                    os.chown(target, 65534, 65534)
                self.base(runner)
                # The compaction copy is made when the purge deletes entries:
                # the user's list goes for that case.
                with_list = name != "VELUTMPA.TMP"
                if not with_list:
                    os.remove(os.path.join(self.drive.start, "VELULIST.EXT"))
                if name == "VELULSTA.TMP":
                    # A trim file without a log is where a copy would be put
                    # in place.
                    os.remove(self.drive.host("C:\\VELUMTAR.LOG"))
                before = self.outside()
                host = self.own_host(name)
                self.plant(host, kind, target, planter)
                texts = self.run_as(runner, "C")
                if name in first:
                    self.assertEqual(texts[:1], [first[name]])
                self.assertEqual(self.outside(), before)
                self.assertNothingTaken(names, name)
                if os.path.isdir(host) and not os.path.islink(host):
                    os.rmdir(host)
                elif os.path.lexists(host):
                    os.remove(host)
                self.agrees_with_tree(runner, with_list)
                self.assertEqual(self.outside(), before)

    def test_copies_left_by_someone_else_are_not_put_in_place(self):
        # A complete compaction copy next to an intact database, and a trim
        # file without a log: both are removed unused.
        copy = "C:\\VELUTMPA.TMP"
        complete = "*COMPLETE COPY OF THE BASIC DATABASE"
        for planted in [copy, "C:\\VELULSTA.TMP"]:
            with self.subTest(planted=planted):
                self.fresh()
                self.base("root")
                if planted == copy:
                    # The copy of a database in which t1.exe is as it is now.
                    self.drive.write(copy, "F" + "C:\\APP\\NOTHING.EXE" + "\r\n" + complete + "\r\n")
                else:
                    os.remove(self.drive.host("C:\\VELUMTAR.LOG"))
                    self.drive.write(planted, "2020.01.01 10:00 planted history\r\n")
                texts = self.run_as("root", "C")
                self.assertTrue(texts[-1].endswith(DETAILS), texts)
                self.assertFalse(self.drive.exists(planted))
                self.assertEqual(self.reported(), [
                    ("Changed", "C:\\APP\\T0.EXE"), ("Deleted", "C:\\APP\\L0.DLL"),
                    ("New", "C:\\APP\\NEW.EXE")])
                self.assertNotIn(b"planted", self.drive.read("C:\\VELUMTAR.LOG"))
                self.agrees_with_tree("root", True)

    def test_user_list_may_be_a_link_but_not_a_pipe(self):
        # VELULIST.EXT is the user's: a link to a regular file is read, a
        # FIFO (directly or behind a link) never blocks the run and counts as
        # no list.
        cases = [("link", True), ("fifo", False), ("fifolink", False)]
        for kind, read in cases:
            with self.subTest(kind=kind):
                self.fresh()
                self.put(self.drive.host("C:\\App\\t.exe"))
                self.assertEqual(self.run_as("root", "N"), [BUILD_DONE])
                self.put(self.drive.host("C:\\App\\x.abc"))
                listed = os.path.join(self.drive.start, "VELULIST.EXT")
                outside = os.path.join(self.drive.scratch, "list")
                if kind == "link":
                    with open(outside, "wb") as f:
                        f.write(b".ABC\r\n")
                else:
                    os.mkfifo(outside if kind == "fifolink" else listed)
                if kind != "fifo":
                    os.symlink(outside, listed)
                texts = self.run_as("root", "C")
                if read:
                    self.assertTrue(texts[-1].endswith(DETAILS), texts)
                    self.assertEqual(self.reported(), [("New", "C:\\APP\\X.ABC")])
                else:
                    self.assertEqual(texts, [NO_DIFFERENCES])

    def test_pending_deletion_of_a_file_found_again(self):
        # The report that would list a deletion cannot be written; the file
        # comes back unchanged: it is not reported deleted while it exists.
        self.fresh()
        self.put(self.drive.host("C:\\App\\keep.exe"))
        self.put(self.drive.host("C:\\App\\away.exe"))
        self.assertEqual(self.run_as("root", "N"), [BUILD_DONE])
        away = self.drive.host("C:\\App\\away.exe")
        aside = os.path.join(self.drive.scratch, "away.exe")
        os.rename(away, aside)
        os.mkdir(self.drive.host(TXT))
        self.assertEqual(self.run_as("root", "C"), [file_error("OPEN", TXT)])
        os.rmdir(self.drive.host(TXT))
        os.rename(aside, away)
        self.assertEqual(self.run_as("root", "C"), [NO_DIFFERENCES])
        # Nor when a later report is written for another finding.
        self.put(self.drive.host("C:\\App\\new.exe"))
        self.assertTrue(self.run_as("root", "C")[-1].endswith(DETAILS))
        self.assertEqual(self.reported(), [("New", "C:\\APP\\NEW.EXE")])
        self.agrees_with_tree("root", False)


class DriveBounds(DriveTest):
    """The walk never leaves the drive: a directory is entered only when no
    part of its path is a link. Each case checks that nothing outside the
    drive changed or was recorded, and that once the link is gone the compares
    agree with the tree on disk."""

    USERS = OwnFiles.USERS
    run_as = OwnFiles.run_as
    outside = OwnFiles.outside
    agrees_with_tree = OwnFiles.agrees_with_tree
    reported = OwnFiles.reported
    put = OwnFiles.put

    def test_a_link_beside_the_listed_directory_is_never_entered(self):
        # The listing delivers the directory d; its path asks for D, which on
        # a file system that tells case apart is a link to a tree outside.
        # The Linux build lists enough directories before d's turn that its
        # lookup of the path no longer remembers the one listed, and finds
        # the link; Wine looks every path up afresh.
        outside = os.path.join(self.drive.scratch, "outside")
        for name in ("secret.exe", "E/deep.exe", "E/F/deeper.dll"):
            self.put(os.path.join(outside, name), SECRET)
        for i in range(0 if wine() else 2100):
            os.makedirs(self.drive.host("C:\\T\\A\\x%04d" % i))
        listed = self.drive.host("C:\\T\\d\\in.exe")
        self.put(listed)
        os.symlink(outside, self.drive.host("C:\\T\\D"))
        before = self.outside()
        # Where the link is found (under Wine without reading ahead, which
        # looks the path up itself), D is a directory the walk cannot enter:
        # answered Yes, its files are kept.
        self.assertEqual(self.run_as("root", "N", answers="Y*")[-1], BUILD_DONE)
        self.put(listed, b"changed")
        texts = self.run_as("root", "C", answers="Y*")
        self.assertTrue(texts[-1].endswith(DETAILS), texts)
        found = self.reported()
        changed = ("Changed", "C:\\T\\D\\IN.EXE")
        if wine():
            self.assertIn(found, [[changed], [("LOCKED", "C:\\T\\D")]])
        else:
            self.assertEqual(found, [changed])
        for name in ("C:\\VELUMTAR.DBI", TXT, "C:\\VELUMTAR.LOG"):
            self.assertNotIn(b"SECRET", self.drive.read(name).upper(), name)
        self.assertEqual(self.outside(), before)
        os.remove(self.drive.host("C:\\T\\D"))
        self.agrees_with_tree("root", False)
        self.assertEqual(self.outside(), before)


if __name__ == "__main__":
    unittest.main()
