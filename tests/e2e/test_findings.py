"""Findings where administrators collect them, through the real executable:
the findings file (every record checked against doc/findings.schema.json),
the system's log (a private syslog socket natively, Wine's trace of the event
log under Wine) and the exit code of scheduled runs."""
import base64
import hashlib
import json
import os
import re
import shutil
import socket
import struct
import unittest

from harness import CONFIG, T2020, DriveTest, boxes, run_program, wine
from test_delivery import SOURCE, pe_resources

with open(os.path.join(SOURCE, "doc", "findings.schema.json"), encoding="utf-8") as _f:
    SCHEMA = json.load(_f)

CLOCK = "2026120710300000"
FAULTS_BUILT = os.environ.get("VELUMTAR_E2E_FAULTS") == "1"
ASKED = ("VELUMTAR_FINDINGS", "VELUMTAR_SYSTEM_LOG", "VELUMTAR_EXIT_CODE",
         "VELUMTAR_SYSLOG_SOCKET", "VELUMTAR_FINGERPRINTS")
TYPES = {"string": str, "object": dict, "array": list, "boolean": bool,
         "null": type(None), "integer": int}


def validate(value, schema, where="$"):
    """Raises AssertionError unless `value` keeps `schema` (the part of JSON
    Schema that the findings schema uses)."""
    if "$ref" in schema:
        target = SCHEMA
        for part in schema["$ref"][2:].split("/"):
            target = target[part]
        validate(value, target, where)
    if "oneOf" in schema:
        kept = 0
        for option in schema["oneOf"]:
            try:
                validate(value, option, where)
                kept += 1
            except AssertionError:
                pass
        assert kept == 1, "%s keeps %d of the record kinds: %r" % (where, kept, value)
    if "const" in schema:
        assert value == schema["const"] and type(value) is type(schema["const"]), where
    if "enum" in schema:
        assert value in schema["enum"], (where, value)
    if "type" in schema:
        kinds = schema["type"] if isinstance(schema["type"], list) else [schema["type"]]
        assert any(type(value) is TYPES[k] for k in kinds), (where, value)
    if isinstance(value, str) and "pattern" in schema:
        assert re.search(schema["pattern"], value), (where, value)
    if type(value) is int and "minimum" in schema:
        assert value >= schema["minimum"], (where, value)
    if isinstance(value, dict):
        known = schema.get("properties", {})
        for key in schema.get("required", []):
            assert key in value, "%s lacks %s" % (where, key)
        for key, item in value.items():
            if key in known:
                validate(item, known[key], where + "." + key)
            else:
                assert schema.get("additionalProperties", True) is not False, (where, key)


def event_texts(exe):
    """{event id: text} of the message table of a Windows executable."""
    table = pe_resources(open(exe, "rb").read())[(11, 1)]
    texts = {}
    for block in range(struct.unpack_from("<I", table, 0)[0]):
        low, high, at = struct.unpack_from("<III", table, 4 + 12 * block)
        for number in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", table, at)
            raw = table[at + 4:at + length]
            texts[number] = raw.decode("utf-16-le" if flags & 1 else "cp1252").rstrip("\0\r\n")
            at += length
    return texts


# Wine's trace of ReportEventW: the call with its type and event id, then each
# insert on the eventlog channel.
WINE_EVENT = re.compile(r"fixme:advapi:ReportEventW \(\w+,0x(\w+),0x\w+,0x(\w+),")
WINE_INSERT = re.compile(r'(?:trace|warn|err):eventlog:ReportEventW L"(.*)"$')
LEVELS = {4: "information", 2: "warning", 1: "error"}
PRIORITIES = {32 + 6: "information", 32 + 4: "warning", 32 + 3: "error"}  # LOG_AUTH


def wine_events(stderr, texts):
    """(id, level, text) of each event Wine traced, its text from the table."""
    events = []
    for line in stderr.decode("utf-8", "replace").splitlines():
        called = WINE_EVENT.search(line)
        if called:
            events.append([int(called.group(2), 16), LEVELS[int(called.group(1), 16)], []])
        insert = WINE_INSERT.search(line)
        if insert and events:
            events[-1][2].append(re.sub(r'\\(.)', r"\1", insert.group(1)))
    return [(number, level, re.sub(r"%(\d)", lambda m: inserts[int(m.group(1)) - 1],
                                   texts[number])) for number, level, inserts in events]


class Findings(DriveTest):
    def setUp(self):
        super().setUp()
        self.findings = os.path.join(self.drive.scratch, "findings.jsonl")

    def run_tool(self, letter, expected=0, wine_debug=None, **variables):
        """Runs the tool; returns what it wrote on standard error."""
        env = self.drive.environment(answers="Y*", clock=CLOCK)
        for name in ASKED:
            env.pop(name, None)
        env.update(variables)
        if wine_debug and wine():
            env["WINEDEBUG"] += "," + wine_debug
        if os.path.exists(self.drive.transcript):
            os.remove(self.drive.transcript)
        code, _, err = run_program(self.drive.command([letter]), self.drive.start, env, 300,
                                   args=[letter], expected=(expected,),
                                   ran=lambda: os.path.exists(self.drive.transcript),
                                   state=self.drive.transcript_state)
        self.assertEqual(code, expected, letter)
        return err

    def asked(self, **more):
        return dict({"VELUMTAR_FINDINGS": self.drive.tool_path(self.findings)}, **more)

    def records(self):
        with open(self.findings, "rb") as f:
            data = f.read()
        self.assertTrue(data.endswith(b"\n"))
        out = [json.loads(line) for line in data.decode("utf-8").split("\n")[:-1]]
        for record in out:
            validate(record, SCHEMA)
        self.assertFalse(os.path.exists(self.findings + ".part"))
        return out

    def test_the_exit_code_and_the_file_tell_what_each_run_found(self):
        for name, size in (("keep.exe", 10), ("change.dll", 20), ("gone.sys", 30)):
            self.make("C:\\App\\" + name, size)

        def twins():
            self.make("C:\\Twins\\A.EXE", 1)
            self.make("C:\\Twins\\a.exe", 2)

        def report_blocked(name):
            os.remove(self.drive.host("C:\\Twins\\a.exe"))
            if not os.path.isdir(self.drive.host("C:\\VELUMTAR.TXT")):
                os.remove(self.drive.host("C:\\VELUMTAR.TXT"))
                os.mkdir(self.drive.host("C:\\VELUMTAR.TXT"))
            self.make("C:\\App\\" + name, 5)

        blocked = "ERROR: File handling.\r\nOPEN    C:\\VELUMTAR.TXT"
        # Each step: letter, change, exit code asked for, findings (kind,
        # path, size of the facts), the error box shown.
        steps = [
            ("N", lambda: None, 0, [], None),
            ("C", lambda: self.make("C:\\App\\new.exe", 40), 1,
             [("New", "C:\\APP\\NEW.EXE", 40)], None),
            ("C", lambda: self.make("C:\\App\\change.dll", 21), 2,
             [("Changed", "C:\\APP\\CHANGE.DLL", 21)], None),
            ("C", lambda: os.remove(self.drive.host("C:\\App\\gone.sys")), 4,
             [("Deleted", "C:\\APP\\GONE.SYS", 30)], None),
            ("C", lambda: None, 0, [], None),
            ("C", twins, 1 | 8,
             [("LOCKED", "C:\\TWINS\\a.exe", None), ("New", "C:\\TWINS\\A.EXE", 1)], None),
            ("C", lambda: report_blocked("x.exe"), 1 | 16, [], blocked),
        ]
        for letter, change, code, found, error in steps:
            change()
            self.run_tool(letter, code, **self.asked(VELUMTAR_EXIT_CODE="findings"))
            records = self.records()
            start, run = records[0], records[-1]
            self.assertEqual((start["record"], start["command"]), ("start", letter))
            self.assertEqual((run["record"], run["ran"], run["completed"]),
                             ("run", letter, error is None))
            self.assertEqual([(r["kind"], r["path"], (r.get("new") or r.get("old") or {})
                               .get("size")) for r in records if r["record"] == "finding"],
                             found)
            self.assertEqual([r["text"] for r in records if r["record"] == "error"],
                             [error] if error else [])
            self.assertEqual(run["findings"], len(found))
        # Without the request the exit code stays 0, here on a run that does
        # not complete either.
        self.make("C:\\App\\y.exe", 6)
        self.run_tool("C", 0, **self.asked())
        self.assertFalse(self.records()[-1]["completed"])

    def test_each_finding_reaches_the_system_log(self):
        for name, size in (("change.dll", 20), ("gone.sys", 30)):
            self.make("C:\\App\\" + name, size)
        self.make("C:\\Twins\\A.EXE", 1)
        self.make("C:\\Twins\\a.exe", 2)
        self.run_tool("N")
        self.make("C:\\App\\new.exe", 40)
        self.make("C:\\App\\change.dll", 21)
        os.remove(self.drive.host("C:\\App\\gone.sys"))
        written = "written 2020-06-15 12:34:56"
        expected = [
            (1004, "warning", "LOCKED file, not examined: C:\\TWINS\\a.exe"),
            (1002, "warning", "Changed: C:\\APP\\CHANGE.DLL (now %s, 21 bytes, attributes A)"
             % written),
            (1003, "warning", "Deleted: C:\\APP\\GONE.SYS (last recorded as %s, 30 bytes, "
             "attributes A)" % written),
            (1001, "warning", "New: C:\\APP\\NEW.EXE (%s, 40 bytes, attributes A)" % written),
            (1000, "warning", "Compare completed: 1 New, 1 Changed, 1 Deleted, 1 LOCKED, "
             "0 errors shown."),
        ]
        if wine():
            err = self.run_tool("C", wine_debug="+eventlog,fixme+advapi",
                                **self.asked(VELUMTAR_SYSTEM_LOG="1"))
            self.assertEqual(wine_events(err, event_texts(CONFIG["exe"])), expected)
            return
        path = os.path.join(self.drive.scratch, "log.sock")
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as log:
            log.bind(path)
            self.run_tool("C", **self.asked(VELUMTAR_SYSTEM_LOG="1", VELUMTAR_SYSLOG_SOCKET=path))
            log.setblocking(False)
            frames = []
            while True:
                try:
                    frames.append(log.recv(65536).decode())
                except BlockingIOError:
                    break
        sent = []
        for frame in frames:
            parts = re.fullmatch(r"<(\d+)>\w{3} [ \d]\d \d\d:\d\d:\d\d velumtar\[\d+\]: (.*)",
                                 frame)
            self.assertTrue(parts, frame)
            sent.append((PRIORITIES[int(parts.group(1))], parts.group(2)))
        self.assertEqual(sent, [(level, text) for _, level, text in expected])
        self.assertEqual(self.records()[-1]["system_log"], {"asked": True, "sent": 5, "failed": 0})
        # A log that takes nothing (the socket is gone) changes nothing but
        # the count: the twin's line and the summary.
        self.run_tool("C", **self.asked(VELUMTAR_SYSTEM_LOG="on", VELUMTAR_SYSLOG_SOCKET=path))
        run = self.records()[-1]
        self.assertEqual(run["system_log"], {"asked": True, "sent": 0, "failed": 2})
        self.assertTrue(run["completed"])

    def test_a_changed_content_is_told_with_its_fingerprint(self):
        self.make("C:\\App\\a.dll", 30)
        self.run_tool("N", VELUMTAR_FINGERPRINTS="SHA256")
        host = self.drive.host("C:\\App\\a.dll")
        with open(host, "wb") as f:
            f.write(b"y" * 30)
        os.utime(host, (T2020, T2020))
        self.run_tool("C", **self.asked())
        found = [r for r in self.records() if r["record"] == "finding"]
        digest = base64.b64encode(hashlib.sha256(b"y" * 30).digest()[:21]).decode()
        self.assertEqual([(r["kind"], r["new"]) for r in found],
                         [("Changed", {"written": "2020-06-15T12:34:56", "size": 30,
                                       "attributes": "A", "fingerprint": digest})])

    @unittest.skipUnless(FAULTS_BUILT, "needs a build with the fault hooks")
    def test_records_of_a_run_that_stopped_early_are_kept_for_the_next(self):
        self.make("C:\\App\\a.exe")
        self.run_tool("N")
        self.make("C:\\App\\b.exe")
        self.make("C:\\App\\c.exe")
        # The start record, b's record, then c's fails.
        self.run_tool("C", 1 | 16, VELUMTAR_FAULTS="write:findings.jsonl:3",
                      **self.asked(VELUMTAR_EXIT_CODE="findings"))
        shown = [b["text"] for b in boxes(self.drive.transcript_entries())]
        self.assertEqual(shown, ["ERROR: File handling.\r\nWRITE   "
                                 + self.drive.tool_path(self.findings)])
        self.assertFalse(os.path.exists(self.findings))
        # The next report tells b and c again, their commit having waited for
        # their records; the part file's records come first.
        self.make("C:\\App\\d.exe")
        self.run_tool("C", **self.asked())
        self.assertEqual([(r["record"], r.get("path")) for r in self.records()],
                         [("start", None), ("finding", "C:\\APP\\B.EXE"), ("start", None),
                          ("finding", "C:\\APP\\B.EXE"), ("finding", "C:\\APP\\C.EXE"),
                          ("finding", "C:\\APP\\D.EXE"), ("run", None)])

    def test_asking_changes_nothing_the_tool_writes(self):
        def outcome(variables):
            for name in os.listdir(self.drive.root):
                path = os.path.join(self.drive.root, name)
                if not os.path.islink(path):
                    shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
            os.makedirs(self.drive.start)
            self.make("C:\\App\\a.exe")
            self.make("C:\\App\\b.dll")
            self.run_tool("N", **variables)
            self.make("C:\\App\\b.dll", 11)
            self.make("C:\\App\\c.exe")
            self.run_tool("C", 3 if variables else 0, **variables)
            return [self.drive.read(name) for name in
                    ("C:\\VELUMTAR.TXT", "C:\\VELUMTAR.LOG", "C:\\VELUMTAR.DBI")] + [
                        open(self.drive.transcript, "rb").read()]

        quiet = outcome({})
        self.assertEqual(outcome(self.asked(
            VELUMTAR_SYSTEM_LOG="1", VELUMTAR_EXIT_CODE="findings",
            VELUMTAR_SYSLOG_SOCKET=os.path.join(self.drive.scratch, "none"))), quiet)
        self.assertEqual(len(self.records()), 4)


if __name__ == "__main__":
    unittest.main()
