"""Drives the real velumtar executable through its unattended mode.

The same tests run against the native build (drive C: mapped onto a
temporary directory through VELUMTAR_DRIVE_C) and against velumtar.exe under
Wine (the prefix's drive C: is pointed at the same kind of temporary
directory for the length of each test).
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

CONFIG = {"mode": "native", "exe": None, "bin_dir": None}

# Runs a command as user 'nobody' (the caller is root).
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]

# Wine failing to bring a process up: its loader says so, either plainly (a
# line "wine: ...") or on one of its error channels ("err:virtual:... wine:
# failed to map the shared user data: c0000018" when the address space of a
# new process happens to be laid out so that Wine cannot place its fixed
# pages), or its fallback launcher does ("Application could not be started
# ..."); the status is 1, before any of the program has run. The tool itself
# writes nothing to standard output or standard error.
WINE_START_FAILURE = re.compile(
    rb"^((?:[0-9a-f]+:)?err:[\w-]+:\w+ wine: (?!Unhandled)|wine: (?!Unhandled)"
    rb"|Application could not be started)", re.MULTILINE)
WINE_START_STATUS = 1
WINE_START_ATTEMPTS = 4
# An exception inside the program ("wine: Unhandled ..."): Wine's debugger
# ends the process with the low byte of the exception code (5 for an access
# violation), but at times with 0; such a run is counted as failed.
WINE_CRASH = re.compile(rb"^wine: Unhandled", re.MULTILINE)
CRASH_STATUS = 255
# Every error channel of Wine, so that a failed run leaves the reason in the
# test output: with only some of them on, a start failure reported on another
# one ends the process with status 1 and no word at all.
# VELUMTAR_E2E_WINEDEBUG asks for more while a fault is hunted.
WINE_DEBUG = os.environ.get("VELUMTAR_E2E_WINEDEBUG") or "-all,err+all"


def wine():
    return CONFIG["mode"] == "wine"


def helper(name):
    """Path of a helper program built next to the tests."""
    path = os.path.join(CONFIG["bin_dir"], "tests", name + (".exe" if wine() else ""))
    return path


def repoint(link, target):
    """Points the symbolic link `link` at `target` in one step.

    Wine finds the system's libraries through drive C:; a process of another
    test that starts while the link is missing cannot load them (status
    c0000135), so the link is never removed, only replaced."""
    fresh = os.path.join(os.path.dirname(link), ".%s.%d" % (os.path.basename(link), os.getpid()))
    if os.path.lexists(fresh):
        os.remove(fresh)
    os.symlink(target, fresh)
    os.replace(fresh, link)


class Drive:
    """Drive C: for one test, with a start directory below its root."""

    def __init__(self):
        self.scratch = tempfile.mkdtemp(prefix="velumtar-e2e-")
        self.root = os.path.join(self.scratch, "drive_c")
        os.makedirs(self.root)
        if wine():
            # Drive C: of the Wine prefix is pointed at this test's own
            # directory; the system directory is reachable through a link,
            # which the walk does not enter.
            prefix = os.environ["WINEPREFIX"]
            os.symlink(os.path.join(prefix, "drive_c", "windows"),
                       os.path.join(self.root, "windows"))
            self.dosdevice = os.path.join(prefix, "dosdevices", "c:")
            repoint(self.dosdevice, self.root)
        self.start_name = "Start Dir"
        self.start = os.path.join(self.root, self.start_name)
        os.makedirs(self.start)
        self.transcript = os.path.join(self.scratch, "transcript.jsonl")

    def close(self):
        if wine():
            repoint(self.dosdevice, "../drive_c")
        subprocess.run(["chmod", "-R", "u+rwx", self.scratch], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.scratch, ignore_errors=True)

    def host(self, drive_path):
        """Host path of a drive path such as C:\\VELUMTAR.LOG."""
        assert drive_path[:3].upper() == "C:\\", drive_path
        rest = drive_path[3:].replace("\\", "/")
        return os.path.join(self.root, rest)

    def exists(self, drive_path):
        return os.path.lexists(self.host(drive_path))

    def write(self, drive_path, data):
        path = self.host(drive_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())

    def read(self, drive_path):
        with open(self.host(drive_path), "rb") as f:
            return f.read()

    def tool_path(self, host_path):
        """A host path as the tool's platform takes it (Z:\\... under Wine)."""
        if wine():
            return "Z:" + host_path.replace("/", "\\")
        return host_path

    def environment(self, answers=None, clock=None, transcript=True, faults=None):
        env = dict(os.environ)
        for key in ("VELUMTAR_TRANSCRIPT", "VELUMTAR_ANSWERS", "VELUMTAR_CLOCK",
                    "VELUMTAR_FAULTS"):
            env.pop(key, None)
        if faults is not None:
            env["VELUMTAR_FAULTS"] = faults
        if transcript:
            env["VELUMTAR_TRANSCRIPT"] = self.tool_path(self.transcript)
        if answers is not None:
            env["VELUMTAR_ANSWERS"] = answers
        if clock is not None:
            env["VELUMTAR_CLOCK"] = clock
        if not wine():
            env["VELUMTAR_DRIVE_C"] = self.root
        else:
            env["WINEDEBUG"] = WINE_DEBUG
        env.setdefault("TZ", "UTC")
        env.pop("DISPLAY", None)
        return env

    def command(self, args, as_nobody=False):
        """The command line of a run; as_nobody runs it as user 'nobody'."""
        exe = CONFIG["exe"]
        if as_nobody:
            return NOBODY + [self.runnable_copy()] + list(args)
        return (["wine", exe] if wine() else [exe]) + list(args)

    def runnable_copy(self):
        """A copy of the executable that another user can run: the build
        tree may lie in a folder only its owner can enter. The copy sits in
        the scratch directory, which is made enterable for everyone."""
        folder = os.path.join(self.scratch, "bin")
        copy = os.path.join(folder, os.path.basename(CONFIG["exe"]))
        if not os.path.exists(copy):
            os.makedirs(folder, exist_ok=True)
            shutil.copy(CONFIG["exe"], copy)
            os.chmod(copy, 0o755)
            os.chmod(folder, 0o755)
            os.chmod(self.scratch, os.stat(self.scratch).st_mode | 0o711)
        return copy

    def run(self, *args, answers=None, clock=None, timeout=300, faults=None):
        """Runs the tool to its end; returns (exit code, transcript entries)."""
        if os.path.exists(self.transcript):
            os.remove(self.transcript)
        # Every run of the tool ends with a box, so a transcript means that
        # the tool ran, whatever Wine said.
        code, _, _ = run_program(self.command(args), self.start,
                                 self.environment(answers, clock, faults=faults), timeout,
                                 args=args, ran=lambda: os.path.exists(self.transcript),
                                 state=self.transcript_state)
        return code, self.transcript_entries()

    def start_process(self, *args, answers=None, clock=None, **kw):
        return subprocess.Popen(self.command(args), cwd=self.start,
                                env=self.environment(answers, clock),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, **kw)

    def transcript_state(self):
        """How far a run got: the tool writes every box it shows."""
        if not os.path.exists(self.transcript):
            return "no transcript"
        with open(self.transcript, "rb") as f:
            return "transcript of %d lines" % f.read().count(b"\n")

    def transcript_entries(self):
        if not os.path.exists(self.transcript):
            return []
        with open(self.transcript, "rb") as f:
            return [json.loads(line) for line in f.read().decode("utf-8").splitlines()]


def run_program(command, cwd, env, timeout, args=None, name="velumtar", ran=None, state=None,
                expected=(0,)):
    """Runs a program to its end; returns (exit code, standard output,
    standard error).

    A run that Wine failed to start is started again, a bounded number of
    times, each time noted in the test output; `ran` tells whether the program
    ran all the same. Any other status than the `expected` ones is returned
    as it is and noted with what the process wrote."""
    for attempt in range(1, WINE_START_ATTEMPTS + 1):
        # Files, not pipes: a process that outlives the run must not hold the
        # test up.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=err, timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            stdout, stderr = out.read(), err.read()
        output = stdout + stderr
        if code == 0 and wine() and WINE_CRASH.search(output):
            code = CRASH_STATUS
        started = not wine_start_failed(code, output, ran)
        if started and code in expected:
            break
        what = ("%s failed" if started else "Wine could not start %s") % name
        again = ("" if started or attempt == WINE_START_ATTEMPTS
                 else ", attempt %d of %d, starting again" % (attempt, WINE_START_ATTEMPTS))
        note("%s %r, status %d%s%s:\n%s" % (
            what, list(args if args is not None else command[1:]), code,
            ", " + state() if state else "", again,
            output.decode("utf-8", "replace").rstrip() or "(no output)"))
        if started:
            break
        time.sleep(0.5 * attempt)
    return code, stdout, stderr


def wine_start_failed(code, output, ran=None):
    """Whether a run's status and output are Wine's own start failure.

    Wine's line alone is the sign when `ran` can tell whether the program
    ran: a script that starts the program may end with any status of its
    own after the program could not be started."""
    if not wine() or not WINE_START_FAILURE.search(output):
        return False
    if ran is not None:
        return not ran()
    return code == WINE_START_STATUS


def note(text):
    """A line in the test output."""
    sys.stderr.write("\n[harness] %s\n" % text)
    sys.stderr.flush()


def boxes(entries):
    return [e for e in entries if "caption" in e]


def launches(entries):
    return [e for e in entries if "launch" in e]


def wait_for(predicate, timeout=30.0):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def kill(proc):
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGKILL)
    proc.wait()


# 2020-06-15 12:34:56 UTC: the last-write time the tests give their files.
T2020 = 1592224496


class DriveTest(unittest.TestCase):
    def setUp(self):
        self.drive = Drive()

    def make(self, drive_path, size=10, when=T2020):
        """A file of `size` bytes on the test's drive, last written at `when`."""
        host = self.drive.host(drive_path)
        os.makedirs(os.path.dirname(host), exist_ok=True)
        with open(host, "wb") as f:
            f.write(b"x" * size)
        os.utime(host, (when, when))

    def drive_process(self, program, args):
        """Starts a helper that holds a file (hold_file) in the drive's
        environment; returns it once it holds the file."""
        command = (["wine", program] if wine() else [program]) + args
        for attempt in range(1, WINE_START_ATTEMPTS + 1):
            with tempfile.TemporaryFile() as err:
                proc = subprocess.Popen(command, cwd=self.drive.start,
                                        env=self.drive.environment(transcript=False),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=err)
                # A holder says "held" once it holds its file.
                line = proc.stdout.readline()
                if b"held" in line:
                    return proc
                output = line + proc.stdout.read()
                proc.wait()
                err.seek(0)
                output += err.read()
            note("%s, status %d, attempt %d:\n%s" % (
                command, proc.returncode, attempt, output.decode("utf-8", "replace")))
            if not wine_start_failed(proc.returncode, output):
                break
        self.fail("the helper did not start")

    def tearDown(self):
        self.drive.close()
