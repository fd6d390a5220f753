"""Content fingerprints end to end, and the proof that without them every
file the tool writes is what the build before them wrote."""
import base64
import hashlib
import json
import os
import shutil
import subprocess
import sys
import unittest

from harness import T2020, DriveTest, wine

CLOCKS = ["2026120710300000", "2026120811450000", "2026120912000000"]
GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data",
                      "outputs_without_fingerprints.json")


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()


class FingerprintDrive(DriveTest):
    def contents(self, drive_path, data, when=T2020):
        host = self.drive.host(drive_path)
        os.makedirs(os.path.dirname(host), exist_ok=True)
        with open(host, "wb") as f:
            f.write(data)
        os.utime(host, (when, when))


class Scenario(FingerprintDrive):
    """A build and two compares over a small tree with every kind of finding
    and a file replaced with its size and time kept."""

    def scenario(self, environment=None):
        """Runs the scenario; returns the digest of every output after every run."""
        self.contents("C:\\App\\Tool.exe", b"tool" * 100)
        self.contents("C:\\App\\lib.dll", b"library " * 64)
        self.contents("C:\\Sys\\driver.sys", b"\0" * 4096)
        self.contents("C:\\App\\readme.txt", b"not watched")
        os.link(self.drive.host("C:\\App\\lib.dll"), self.drive.host("C:\\Sys\\link.dll"))
        outputs = {}
        saved = dict(os.environ)
        os.environ.update(environment or {})
        try:
            for step, (letter, clock) in enumerate(zip("NCC", CLOCKS)):
                if step == 1:
                    self.contents("C:\\App\\lib.dll", b"LIBRARY " * 64)  # same size and time
                    self.contents("C:\\App\\Tool.exe", b"tool" * 100, when=T2020 + 60)
                    os.remove(self.drive.host("C:\\Sys\\driver.sys"))
                    self.contents("C:\\App\\new.ocx", b"new")
                code, _ = self.drive.run(letter, answers="N", clock=clock)
                self.assertEqual(code, 0)
                for name in ("VELUMTAR.DBI", "VELUMTAR.LOG", "VELUMTAR.TXT"):
                    if self.drive.exists("C:\\" + name):
                        outputs["%d %s" % (step, name)] = sha256_hex(
                            self.drive.read("C:\\" + name))
                with open(self.drive.transcript, "rb") as f:
                    outputs["%d transcript" % step] = sha256_hex(f.read())
        finally:
            os.environ.clear()
            os.environ.update(saved)
        return outputs

    def test_outputs_without_fingerprints_are_those_of_the_build_before_them(self):
        environment = {"VELUMTAR_FINGERPRINTS": ""}
        if os.environ.get("VELUMTAR_E2E_WRITE_GOLDEN") == "1":
            with open(GOLDEN, "w") as f:
                json.dump(self.scenario(environment), f, indent=1, sort_keys=True)
                f.write("\n")
            return
        with open(GOLDEN) as f:
            golden = json.load(f)
        self.assertEqual(self.scenario(environment), golden)


FAULTS_BUILT = os.environ.get("VELUMTAR_E2E_FAULTS") == "1"
NO_DIFFERENCES = "No differences detected"
ON = {"VELUMTAR_FINGERPRINTS": "SHA256"}
OFF = {"VELUMTAR_FINGERPRINTS": ""}


class Fingerprints(FingerprintDrive):
    """Files replaced with their size and time kept, unreadable, growing and
    of several names, with the switch and without it."""

    def setUp(self):
        super().setUp()
        self.contents("C:\\App\\lib.dll", b"library " * 64)
        self.contents("C:\\App\\Tool.exe", b"tool" * 100)

    def run_tool(self, letter, environment, faults=None):
        saved = dict(os.environ)
        os.environ.update(environment)
        try:
            code, entries = self.drive.run(letter, answers="N", clock=CLOCKS[0], faults=faults)
        finally:
            os.environ.clear()
            os.environ.update(saved)
        self.assertEqual(code, 0)
        return entries[-1]["text"] if entries else ""

    def report(self):
        return self.drive.read("C:\\VELUMTAR.TXT").decode().split("\r\n")[1:-1]

    def log_entry(self):
        """The lines of the last log entry after its first one."""
        lines = self.drive.read("C:\\VELUMTAR.LOG").decode().split("\r\n")[:-2]
        start = max(i for i, line in enumerate(lines) if line[:1].isdigit())
        return [line.strip() for line in lines[start + 1:]]

    def stomp(self, drive_path):
        """Other bytes of the same length, the write time put back."""
        host = self.drive.host(drive_path)
        before = os.stat(host)
        with open(host, "r+b") as f:
            data = f.read()
            f.seek(0)
            f.write(bytes(b ^ 0x20 for b in data))
        os.utime(host, ns=(before.st_atime_ns, before.st_mtime_ns))

    def changed_lines(self):
        return [line[:8] + line[line.index("Path-Name:"):].rstrip()
                for line in self.report()]

    def test_replaced_file_with_size_and_time_kept(self):
        for environment, expected in ((OFF, NO_DIFFERENCES), (ON, "Display list of details?")):
            with self.subTest(fingerprints=bool(environment["VELUMTAR_FINGERPRINTS"])):
                self.run_tool("N", environment)
                self.stomp("C:\\App\\lib.dll")
                self.assertIn(expected, self.run_tool("C", environment))
        self.assertEqual(self.changed_lines(), ["Changed Path-Name: C:\\APP\\LIB.DLL"])
        # The line shows the same date, time and size as the build's.
        self.assertIn("Date/time: 2020.06.15 / 12:34:56 Size: 0000000000000512", self.report()[0])

    def test_fingerprints_are_the_sha256_of_the_contents(self):
        self.run_tool("N", ON)
        database = self.drive.read("C:\\VELUMTAR.DBI")
        for name in ("C:\\App\\lib.dll", "C:\\App\\Tool.exe"):
            digest = hashlib.sha256(self.drive.read(name)).digest()
            text = base64.b64encode(digest[:21])
            self.assertIn(text[:12], database, name)
            self.assertIn(text[12:], database, name)

    def test_switched_on_over_an_old_database_then_kept_until_a_build_without(self):
        self.run_tool("N", OFF)
        # The first compare with fingerprints records them and finds nothing.
        self.assertIn(NO_DIFFERENCES, self.run_tool("C", ON))
        self.assertIn("2 fingerprints of file contents recorded (compared from now on)",
                      self.log_entry())
        self.assertIn(NO_DIFFERENCES, self.run_tool("C", OFF))
        self.assertNotIn("fingerprints", " ".join(self.log_entry()))
        # The database remembers them: a compare without the switch checks.
        self.stomp("C:\\App\\Tool.exe")
        self.assertIn("Display list of details?", self.run_tool("C", OFF))
        self.assertEqual(self.changed_lines(), ["Changed Path-Name: C:\\APP\\TOOL.EXE"])
        # A new build without the switch turns them off.
        self.run_tool("N", OFF)
        self.stomp("C:\\App\\Tool.exe")
        self.assertIn(NO_DIFFERENCES, self.run_tool("C", OFF))

    def test_names_of_one_file_are_read_once_and_found_changed_together(self):
        os.makedirs(self.drive.host("C:\\Links"))
        for i in range(20):
            os.link(self.drive.host("C:\\App\\lib.dll"),
                    self.drive.host("C:\\Links\\link%02d.dll" % i))
        self.run_tool("N", ON)
        self.stomp("C:\\App\\lib.dll")
        # A second reading through another name would make the file grow.
        faults = ",".join("grow:C:\\LINKS\\LINK%02d.DLL:1" % i for i in range(20))
        self.assertIn("Display list of details?", self.run_tool("C", ON, faults))
        self.assertEqual(len(self.changed_lines()), 21)
        self.assertEqual(os.path.getsize(self.drive.host("C:\\App\\lib.dll")), 512)

    @unittest.skipUnless(FAULTS_BUILT, "needs a build with the fault hooks")
    def test_a_file_growing_while_it_is_read(self):
        # Grown at the first reading (then read again and settled), or at
        # every reading: changed in that run, with the facts taken before the
        # reading; the next run finds the facts changed, the one after nothing.
        for grown in ((1,), (1, 2, 3)):
            with self.subTest(grown=grown):
                self.run_tool("N", ON)
                faults = ",".join("grow:C:\\APP\\LIB.DLL:%d" % n for n in grown)
                self.assertIn("Display list of details?", self.run_tool("C", ON, faults))
                self.assertEqual(self.changed_lines(), ["Changed Path-Name: C:\\APP\\LIB.DLL"])
                self.assertIn("Size: 0000000000000512", self.report()[0])
                self.assertIn("Display list of details?", self.run_tool("C", ON))
                self.assertIn("Size: %016d" % (512 + len(grown)), self.report()[0])
                self.assertIn(NO_DIFFERENCES, self.run_tool("C", ON))
                self.contents("C:\\App\\lib.dll", b"library " * 64)

    @unittest.skipIf(wine() or os.geteuid() != 0 or shutil.which("setpriv") is None,
                     "needs root to run the tool as an unprivileged user")
    def test_a_file_that_cannot_be_read_keeps_its_fingerprint(self):
        os.chmod(self.drive.scratch, 0o777)
        for d, _, names in os.walk(self.drive.scratch):
            os.chmod(d, 0o777)
            for name in names:
                os.chmod(os.path.join(d, name), 0o666)

        def run(letter, environment):
            saved = dict(os.environ)
            os.environ.update(environment)
            try:
                env = self.drive.environment(answers="N", clock=CLOCKS[0])
            finally:
                os.environ.clear()
                os.environ.update(saved)
            subprocess.run(self.drive.command([letter], as_nobody=True), cwd=self.drive.start,
                           env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True, timeout=120)
            return self.drive.transcript_entries()[-1]["text"]

        self.assertIn("Finish NEW", run("N", ON))
        lib = self.drive.host("C:\\App\\lib.dll")
        os.chmod(lib, 0o600)  # not for 'nobody'; the owner may write: not read-only
        os.utime(lib, (T2020, T2020))
        for environment in (OFF, ON):
            self.assertIn(NO_DIFFERENCES, run("C", environment))
            self.assertIn("1 files could not be read: compared by date, time, size and "
                          "attributes only", self.log_entry())
        os.chmod(lib, 0o666)
        os.utime(lib, (T2020, T2020))
        self.assertIn(NO_DIFFERENCES, run("C", ON))
        self.assertEqual(self.log_entry(), ["- without Errors"])
        self.stomp("C:\\App\\lib.dll")
        self.assertIn("Display list of details?", run("C", ON))


if __name__ == "__main__":
    sys.exit("run through tests/e2e/run.py")
