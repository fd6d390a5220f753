"""Content fingerprints end to end, and the proof that without them every
file the tool writes is what the build before them wrote."""
import hashlib
import json
import os
import sys

from harness import T2020, DriveTest

CLOCKS = ["2026120710300000", "2026120811450000", "2026120912000000"]
GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data",
                      "outputs_without_fingerprints.json")


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()


class Scenario(DriveTest):
    """A build and two compares over a small tree with every kind of finding
    and a file replaced with its size and time kept."""

    def contents(self, drive_path, data, when=T2020):
        host = self.drive.host(drive_path)
        os.makedirs(os.path.dirname(host), exist_ok=True)
        with open(host, "wb") as f:
            f.write(data)
        os.utime(host, (when, when))

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


if __name__ == "__main__":
    sys.exit("run through tests/e2e/run.py")
