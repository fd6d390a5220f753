"""The tool as it is delivered: its help, the resources of velumtar.exe, the
packages, and the recipes for scheduled runs."""
import glob
import html
import os
import re
import shlex
import shutil
import struct
import subprocess
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET
import zipfile

from harness import CONFIG, NOBODY, DriveTest, helper, run_program, wine

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HELP = os.path.join(SOURCE, "doc", "help")
SCHEDULED = os.path.join(SOURCE, "doc", "scheduled")


def read(path):
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


def c_literals(path):
    """The string literals of a C++ file, adjacent ones joined, escapes undone."""
    text = re.sub(r"^\s*(#include|//).*$", "", read(path), flags=re.M)
    text = re.sub(r'"\s*"', "", text)
    return [bytes(m, "utf-8").decode("unicode_escape")
            for m in re.findall(r'"((?:[^"\\\n]|\\.)*)"', text)]


def page_text(markup):
    return " ".join(html.unescape(re.sub(r"<[^>]+>", " ", markup)).split())


def manual_text(roff):
    roff = roff.replace("\\e", "\\").replace("\\-", "-")
    return " ".join(re.sub(r"^\.\w+ ?", "", roff, flags=re.M).split())


def sitemap(path):
    """(Name, Local) pairs of a contents or index file."""
    return re.findall(r'name="Name" value="([^"]*)">\s*<param name="Local" value="([^"]*)"',
                      read(path))


class HelpSources(unittest.TestCase):
    def test_every_message_is_explained_in_the_help_and_the_manual(self):
        texts = set()
        for name in ("src/ui/messages.cpp", "src/ui/messages.h", "src/files/file_error.h"):
            texts.update(t for t in c_literals(os.path.join(SOURCE, name))
                         if len(t) > 2)
        self.assertIn("Would you like to open the help?", texts)
        documents = {"messages.html": page_text(read(os.path.join(HELP, "messages.html"))),
                     "velumtar.1": manual_text(read(os.path.join(SOURCE, "doc", "velumtar.1")))}
        for name, document in documents.items():
            for text in sorted(texts):
                self.assertIn(" ".join(text.split()), document, name)

    def test_contents_index_and_links_reach_every_page(self):
        pages = sorted(os.path.basename(p) for p in glob.glob(os.path.join(HELP, "*.html")))
        project = read(os.path.join(HELP, "vlmhelpx.hhp"))
        listed = project.split("[FILES]")[1].split()
        self.assertEqual(sorted(p for p in listed if p.endswith(".html")), pages)
        self.assertEqual(sorted(local for _, local in sitemap(os.path.join(HELP, "toc.hhc"))),
                         pages)
        targets = [local for _, local in sitemap(os.path.join(HELP, "index.hhk"))]
        for page in pages:
            targets += [page + t if t.startswith("#") else t
                        for t in re.findall(r'href="([^"]+)"', read(os.path.join(HELP, page)))
                        if not t.endswith(".css")]
        for target in targets:
            page, _, anchor = target.partition("#")
            self.assertIn(page, pages, target)
            if anchor:
                self.assertIn('id="%s"' % anchor, read(os.path.join(HELP, page)), target)


def pe_resources(data):
    """{(type id, name id): bytes} of a PE file, first language of each."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    directories = optional + (112 if struct.unpack_from("<H", data, optional)[0] == 0x20B else 96)
    rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    table = []
    for i in range(sections):
        vsize, va, raw_size, raw = struct.unpack_from("<IIII", data, optional + optional_size
                                                      + 40 * i + 8)
        table.append((va, max(vsize, raw_size), raw))

    def offset(address):
        return next(address - va + raw for va, size, raw in table if va <= address < va + size)

    base = offset(rva)

    def entries(directory):
        named, ids = struct.unpack_from("<HH", data, base + directory + 12)
        for i in range(named + ids):
            yield struct.unpack_from("<II", data, base + directory + 16 + 8 * i)

    found = {}
    for kind, names in entries(0):
        for name, languages in entries(names & 0x7FFFFFFF):
            _, leaf = next(entries(languages & 0x7FFFFFFF))
            address, size = struct.unpack_from("<II", data, base + leaf)
            found[(kind, name)] = data[offset(address):offset(address) + size]
    return found


def version_block(data, pos=0):
    """(key, value bytes, children) of a block of a version resource."""
    length, value_length, kind = struct.unpack_from("<HHH", data, pos)
    end, key_end = pos + length, pos + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[pos + 6:key_end].decode("utf-16-le")
    value = (key_end + 2 + 3) & ~3
    value_end = value + value_length * (2 if kind == 1 else 1)
    children, child = [], (value_end + 3) & ~3
    while child < end:
        children.append(version_block(data, child))
        child = (child + struct.unpack_from("<H", data, child)[0] + 3) & ~3
    return key, data[value:value_end], children


@unittest.skipUnless(wine(), "the resources of the Windows build")
class WindowsResources(unittest.TestCase):
    def setUp(self):
        with open(CONFIG["exe"], "rb") as f:
            self.resources = pe_resources(f.read())

    def test_version_information(self):
        key, fixed, children = version_block(self.resources[(16, 1)])
        self.assertEqual(key, "VS_VERSION_INFO")
        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
        self.assertEqual(signature, 0xFEEF04BD)
        self.assertEqual((file_ms, file_ls), (0x40001, 0x30000))
        self.assertEqual((product_ms, product_ls), (0x40001, 0x30000))
        strings = {name: value.decode("utf-16-le").rstrip("\0")
                   for block, _, tables in children if block == "StringFileInfo"
                   for _, _, entries in tables for name, value, _ in entries}
        self.assertEqual(strings["ProductName"], "VELUMTAR")
        self.assertEqual(strings["FileVersion"], "4.1.3")
        self.assertEqual(strings["ProductVersion"], "4.1.3")
        self.assertEqual(strings["OriginalFilename"], "velumtar.exe")
        self.assertIn("File-Comparing-Tool", strings["FileDescription"])
        self.assertTrue(strings["LegalCopyright"].startswith("Copyright (C) "))

    def test_manifest(self):
        root = ET.fromstring(self.resources[(24, 1)])
        elements = {}
        for element in root.iter():
            elements.setdefault(element.tag.split("}")[1], []).append(element)
        self.assertEqual(elements["requestedExecutionLevel"][0].get("level"), "asInvoker")
        self.assertEqual({e.get("Id") for e in elements["supportedOS"]}, {
            "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",    # 7
            "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",    # 8
            "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",    # 8.1
            "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})   # 10 and 11
        self.assertEqual(elements["dpiAware"][0].text, "true/pm")
        self.assertTrue(elements["dpiAwareness"][0].text.startswith("PerMonitorV2"))
        self.assertEqual(elements["longPathAware"][0].text, "true")
        controls = [e for e in elements["assemblyIdentity"]
                    if e.get("name") == "Microsoft.Windows.Common-Controls"]
        self.assertEqual(controls[0].get("version"), "6.0.0.0")

    def test_icon(self):
        group = self.resources[(14, 1)]
        reserved, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((reserved, kind), (0, 1))
        sizes = set()
        for i in range(count):
            width, _, _, _, _, bits, size, icon = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            image = self.resources[(3, icon)]
            self.assertEqual(len(image), size)
            self.assertEqual(struct.unpack_from("<I", image)[0], 40)  # a device-independent bitmap
            sizes.add((width, bits))
        self.assertEqual(sizes, {(16, 32), (32, 32)})


def help_title():
    return re.search(r"^Title=(.*)$", read(os.path.join(HELP, "vlmhelpx.hhp")), re.M).group(1)


@unittest.skipUnless(wine(), "the Windows help viewer")
@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("xdotool"), "needs Xvfb and xdotool")
class HelpWindow(unittest.TestCase):
    """HH vlmhelpx.chm, started from the tool's directory, under a virtual display."""

    def setUp(self):
        self.directory = os.path.dirname(CONFIG["exe"])
        if not os.path.exists(os.path.join(self.directory, "vlmhelpx.chm")):
            self.skipTest("vlmhelpx.chm was not built (chmcmd missing)")
        read_fd, write_fd = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                                      "1024x768x24", "-nolisten", "tcp"], pass_fds=(write_fd,),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            self.env = dict(os.environ, DISPLAY=":" + f.readline().strip())
        self.viewer = None

    def tearDown(self):
        for proc in (self.viewer, self.xvfb):
            if proc is not None and proc.poll() is None:
                proc.kill()
                proc.wait()

    def window(self, title):
        """Starts the viewer and waits for its window; the window's id or ''."""
        # Shortly after the Wine server has started without a display, a
        # viewer may still be handed Wine's display-less desktop and end at
        # once ("no driver could be loaded"); started again a little later,
        # it gets a desktop on this display.
        for attempt in range(5):
            time.sleep(2 * attempt)
            self.viewer = subprocess.Popen(["wine", "hh", "vlmhelpx.chm"], cwd=self.directory,
                                           env=self.env, stdin=subprocess.DEVNULL,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.time() + 30
            while time.time() < deadline and self.viewer.poll() is None:
                found = subprocess.run(["xdotool", "search", "--name", "^%s$" % re.escape(title)],
                                       env=self.env, capture_output=True, text=True).stdout
                if found.strip():
                    return found.strip()
                time.sleep(0.3)
            if self.viewer.poll() is None:
                self.viewer.kill()
            self.viewer.wait()
        return ""

    def test_the_help_window_shows_the_title_and_the_contents(self):
        title = help_title()
        self.assertTrue(self.window(title), "no window titled %r" % title)
        _, out, _ = run_program(["wine", helper("help_tree"), title, "30"], self.directory,
                                self.env, 120, name="help_tree")
        entries = out.decode("utf-8").replace("\r", "").splitlines()
        self.assertEqual(entries, [name for name, _ in sitemap(os.path.join(HELP, "toc.hhc"))])


def build_type():
    with open(os.path.join(CONFIG["bin_dir"], "CMakeCache.txt")) as f:
        found = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", f.read(), re.M)
    return found.group(1) if found else ""


# The packages do not depend on reading ahead: they are checked in one of the
# two runs of this module only.
once = unittest.skipIf(os.environ.get("VELUMTAR_READAHEAD") == "0",
                       "checked in the run with reading ahead")


def cpack(generator, into, suffix=None, version=None):
    """Makes a package into `into`; `version` stands for the project's."""
    defines = ["-D", "CPACK_PACKAGE_VERSION=" + version] if version else []
    subprocess.run(["cpack", "-G", generator, "-B", into, "--config",
                    os.path.join(CONFIG["bin_dir"], "CPackConfig.cmake")] + defines,
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=600)
    return glob.glob(os.path.join(into, "*." + (suffix or generator.lower())))[0]


def shortcut(path):
    """(target, arguments, working directory) of a shell link file."""
    with open(path, "rb") as f:
        data = f.read()
    flags = struct.unpack_from("<I", data, 20)[0]
    pos = 76
    if flags & 0x1:                          # the target as a list of item ids
        pos += 2 + struct.unpack_from("<H", data, pos)[0]
    target = ""
    if flags & 0x2:                          # the target's volume and path
        size, _, info_flags, _, base = struct.unpack_from("<5I", data, pos)
        if info_flags & 0x1:
            target = data[pos + base:data.index(b"\0", pos + base)].decode("latin-1")
        pos += size
    strings = {}
    width = 2 if flags & 0x80 else 1
    for bit in (0x4, 0x8, 0x10, 0x20, 0x40):  # name, relative path, directory, arguments, icon
        if flags & bit:
            count = struct.unpack_from("<H", data, pos)[0]
            text = data[pos + 2:pos + 2 + count * width]
            # Wine counts the terminating null.
            strings[bit] = text.decode("utf-16-le" if width == 2 else "latin-1").rstrip("\0")
            pos += 2 + count * width
    return target, strings.get(0x20, ""), strings.get(0x10, "").rstrip("\\")


UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
INSTALLED = "C:\\Program Files\\VELUMTAR"
EVENT_SOURCE = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\VELUMTAR"


class Packages(DriveTest):
    def setUp(self):
        super().setUp()
        self.packages = tempfile.mkdtemp(prefix="velumtar-packages-")

    def tearDown(self):
        shutil.rmtree(self.packages, ignore_errors=True)
        super().tearDown()

    def help_offered(self, exe):
        """Runs the installed `exe` with '?' and answers Yes to the help."""
        built = CONFIG["exe"]
        CONFIG["exe"] = exe
        try:
            code, entries = self.drive.run("?", answers="Y")
        finally:
            CONFIG["exe"] = built
        self.assertEqual(code, 0)
        self.assertTrue(entries[0]["text"].startswith("Programinformation:"))
        self.assertEqual(entries[1:], [
            {"caption": "VELUMTAR       ", "style": "4", "type": 324,
             "text": "Would you like to open the help?", "answer": "3"},
            {"launch": "HH vlmhelpx.chm", "show": 1, "wait": False}])

    @unittest.skipIf(wine() or not shutil.which("dpkg-deb"), "the Linux package")
    def test_deb_installs_and_runs(self):
        deb = cpack("DEB", self.packages)
        listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True,
                                 check=True).stdout
        files = {line.split()[-1].lstrip(".") for line in listing.splitlines()}
        pages = {"/usr/share/doc/velumtar/html/" + os.path.basename(p)
                 for p in glob.glob(os.path.join(HELP, "*.html"))}
        expected = {"/usr/bin/velumtar", "/usr/bin/velumtar-check", "/usr/share/man/man1/velumtar.1.gz",
                    "/usr/share/man/man1/velumtar-check.1.gz", "/usr/share/doc/velumtar/copyright",
                    "/usr/share/doc/velumtar/changelog.gz",
                    "/usr/share/doc/velumtar/examples/velumtar-compare.service",
                    "/usr/share/doc/velumtar/examples/velumtar-compare.timer",
                    "/usr/share/doc/velumtar/examples/velumtar.cron",
                    "/usr/share/doc/velumtar/examples/velumtar-rsyslog.conf",
                    "/usr/share/doc/velumtar/findings.schema.json"} | pages
        self.assertLessEqual(expected, files)
        root = os.path.join(self.packages, "root")
        subprocess.run(["dpkg", "-x", deb, root], check=True)
        self.help_offered(os.path.join(root, "usr", "bin", "velumtar"))

    @once
    @unittest.skipIf(wine() or build_type() != "Release", "the Linux package as delivered")
    def test_deb_is_policy_clean(self):
        if not shutil.which("lintian"):
            self.skipTest("lintian is not installed")
        deb = cpack("DEB", self.packages)
        result = subprocess.run(["lintian", "--fail-on", "error,warning", deb],
                                capture_output=True, text=True, timeout=600)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    @unittest.skipUnless(wine(), "the Windows package")
    def test_zip_holds_the_tool_its_help_and_a_readme(self):
        archive = cpack("ZIP", self.packages)
        with zipfile.ZipFile(archive) as z:
            names = sorted(n.split("/", 1)[1] for n in z.namelist() if not n.endswith("/"))
            expected = ["README.txt", "findings.schema.json", "velumtar-check.exe",
                        "velumtar-scheduled.cmd", "velumtar-subscription.xml", "velumtar.exe"]
            if os.path.exists(os.path.join(CONFIG["bin_dir"], "vlmhelpx.chm")):
                expected.append("vlmhelpx.chm")
            self.assertEqual(names, sorted(expected))
            top = z.namelist()[0].split("/")[0]
            z.extractall(self.drive.start)
        self.help_offered(os.path.join(self.drive.start, top, "velumtar.exe"))

    def wine_tool(self, name, *args, expected=(0,)):
        """Runs a Windows program to its end: (exit code, standard output)."""
        code, out, _ = run_program(["wine", name] + list(args), self.drive.start,
                                   self.drive.environment(transcript=False), 300, name=name,
                                   expected=expected)
        return code, out.decode("utf-8", "replace").replace("\r", "")

    def msiexec(self, *args, expected=(0,)):
        return self.wine_tool("msiexec", *args, "/qn", expected=expected)[0]

    def event_message_file(self):
        """The message file the event source VELUMTAR names, or None."""
        code, out = self.wine_tool("reg", "query", EVENT_SOURCE, "/v", "EventMessageFile",
                                   expected=(0, 1))
        found = re.search(r"EventMessageFile\s+REG_\w+\s+(.*)", out)
        return found.group(1).strip() if code == 0 and found else None

    def uninstall_entries(self):
        """{product code: values} of the installed programs named VELUMTAR."""
        entries, key = {}, None
        for line in self.wine_tool("reg", "query", UNINSTALL, "/s")[1].splitlines():
            if line.startswith("HKEY_"):
                key = entries.setdefault(line.rsplit("\\", 1)[1], {})
            else:
                value = re.match(r"^    (.+?)    REG_\w+    (.*)$", line)
                if key is not None and value:
                    key[value.group(1)] = value.group(2)
        return {code: values for code, values in entries.items()
                if values.get("DisplayName") == "VELUMTAR"}

    def menu(self):
        """Host path of the Start-menu folder (Wine puts a per-machine
        installation's shortcuts into the user's menu, Windows into everyone's)."""
        found = glob.glob(self.drive.host("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\"
                                          "Programs\\VELUMTAR")) + glob.glob(self.drive.host(
            "C:\\users\\*\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\VELUMTAR"))
        self.assertLessEqual(len(found), 1, found)
        return found[0] if found else None

    def assert_installed(self, version, files):
        self.assertEqual(sorted(os.listdir(self.drive.host(INSTALLED))), files)
        entries = list(self.uninstall_entries().values())
        self.assertEqual([(e["DisplayVersion"], e["Publisher"]) for e in entries],
                         [(version, "The VELUMTAR developers")])
        menu = self.menu()
        self.assertIsNotNone(menu, "no Start-menu folder VELUMTAR")
        tool = INSTALLED + "\\velumtar.exe"
        expected = {"Compare.lnk": (tool, "C", INSTALLED), "New build.lnk": (tool, "N", INSTALLED),
                    "Log.lnk": (tool, "L", INSTALLED), "Information.lnk": (tool, "?", INSTALLED)}
        if "vlmhelpx.chm" in files:
            expected["Help.lnk"] = (INSTALLED + "\\vlmhelpx.chm", "", INSTALLED)
        self.assertEqual({name: shortcut(os.path.join(menu, name)) for name in os.listdir(menu)},
                         expected)

    @once
    @unittest.skipUnless(wine(), "the Windows package")
    def test_msi_installs_runs_upgrades_and_uninstalls(self):
        if not shutil.which("wixl"):
            self.skipTest("wixl is not installed")
        msi = cpack("External", self.packages, "msi")
        version = re.search(r"velumtar-([\d.]+)-x64\.msi$", msi).group(1)
        major, minor, patch = version.split(".")
        newer_version = "%s.%s.%d" % (major, minor, int(patch) + 1)
        newer = cpack("External", os.path.join(self.packages, "newer"), "msi", newer_version)
        files = ["README.txt", "findings.schema.json", "velumtar-check.exe",
                 "velumtar-scheduled.cmd", "velumtar-subscription.xml", "velumtar.exe"]
        if os.path.exists(os.path.join(CONFIG["bin_dir"], "vlmhelpx.chm")):
            files = sorted(files + ["vlmhelpx.chm"])
        # The installer works in the user's temporary folder, which the
        # test's drive lacks, and keeps a copy of each package in C:\windows,
        # which is the prefix's own.
        prefix = os.environ["WINEPREFIX"]
        for user in os.listdir(os.path.join(prefix, "drive_c", "users")):
            os.makedirs(os.path.join(self.drive.root, "users", user, "Temp"))
        cache = os.path.join(prefix, "drive_c", "windows", "Installer")
        cached = set(os.listdir(cache)) if os.path.isdir(cache) else set()
        # The tool's data, made beforehand.
        self.make("C:\\App\\a.exe")
        self.assertEqual(self.drive.run("N")[0], 0)
        data = {name: self.drive.read(name) for name in ("C:\\VELUMTAR.DBI", "C:\\VELUMTAR.LOG")}
        try:
            self.assertEqual(self.msiexec("/i", self.drive.tool_path(msi)), 0)
            self.assert_installed(version, files)
            self.assertEqual(self.event_message_file(), INSTALLED + "\\velumtar.exe")
            self.help_offered(self.drive.host(INSTALLED + "\\velumtar.exe"))
            code, out = self.wine_tool(self.drive.host(INSTALLED + "\\velumtar-check.exe"),
                                       "C:\\VELUMTAR.DBI")
            self.assertEqual((code, out.split(":")[-1].strip()), (0, "sound, 1 records"))
            # The user's own extension list beside the tool.
            self.drive.write(INSTALLED + "\\VELULIST.EXT", ".ps1\r\n")

            self.assertEqual(self.msiexec("/i", self.drive.tool_path(newer)), 0)
            self.assert_installed(newer_version, sorted(files + ["VELULIST.EXT"]))
            self.assertNotEqual(self.msiexec("/i", self.drive.tool_path(msi),
                                             expected=range(1, 256)), 0)
            self.assert_installed(newer_version, sorted(files + ["VELULIST.EXT"]))

            self.assertEqual(self.msiexec("/x", self.drive.tool_path(newer)), 0)
            self.assertEqual(self.uninstall_entries(), {})
            self.assertIsNone(self.event_message_file())
            self.assertEqual(os.listdir(self.drive.host(INSTALLED)), ["VELULIST.EXT"])
            self.assertIsNone(self.menu())
            self.assertEqual({name: self.drive.read(name) for name in data}, data)
        finally:
            for code in self.uninstall_entries():
                self.msiexec("/x", code, expected=range(256))
            for name in set(os.listdir(cache) if os.path.isdir(cache) else ()) - cached:
                path = os.path.join(cache, name)
                if os.path.isdir(path):
                    shutil.rmtree(path)
                else:
                    os.remove(path)


class ScheduledRuns(DriveTest):
    """The recipes of the README, run as they stand with their paths replaced."""

    def test_readme_carries_the_recipes_as_delivered(self):
        readme = read(os.path.join(SOURCE, "README.md"))
        for name in ("velumtar-compare.service", "velumtar-compare.timer", "velumtar.cron",
                     "velumtar-rsyslog.conf", "velumtar-subscription.xml"):
            self.assertIn(read(os.path.join(SCHEDULED, name)), readme, name)
        script = read(os.path.join(SCHEDULED, "velumtar-scheduled.cmd"))
        self.assertTrue(script.endswith("\r\n") and "\n" not in script.replace("\r\n", ""))
        self.assertIn(script.replace("\r\n", "\n"), readme)

    def test_subscription_collects_the_events_of_the_velumtar_source(self):
        space = "{http://schemas.microsoft.com/2006/03/windows/events/subscription}"
        root = ET.parse(os.path.join(SCHEDULED, "velumtar-subscription.xml")).getroot()
        self.assertEqual(root.tag, space + "Subscription")
        self.assertEqual(root.find(space + "SubscriptionType").text, "SourceInitiated")
        self.assertEqual(root.find(space + "LogFile").text, "ForwardedEvents")
        query = ET.fromstring(root.find(space + "Query").text.strip())
        select = query.find("Query/Select")
        self.assertEqual(select.get("Path"), "Application")
        self.assertEqual(select.text, "*[System[Provider[@Name='VELUMTAR'] and "
                                      "(EventID >= 1000 and EventID <= 1004)]]")

    @unittest.skipIf(wine(), "systemd units are for the Linux build")
    def test_systemd_units_verify(self):
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed")
        units = tempfile.mkdtemp(prefix="velumtar-units-")
        try:
            for name in ("velumtar-compare.service", "velumtar-compare.timer"):
                # Quoted: the build tree's path may hold blanks.
                text = read(os.path.join(SCHEDULED, name)).replace("/usr/bin/velumtar",
                                                                   '"%s"' % CONFIG["exe"])
                with open(os.path.join(units, name), "w") as f:
                    f.write(text)
            # The units name velumtar(1) as their documentation: the built one.
            env = dict(os.environ, MANPATH=os.path.join(CONFIG["bin_dir"], "man") + ":")
            result = subprocess.run(["systemd-analyze", "verify", "velumtar-compare.service",
                                     "velumtar-compare.timer"], cwd=units, env=env,
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        finally:
            shutil.rmtree(units)

    @unittest.skipIf(wine(), "the cron line is for the Linux build")
    def test_cron_line_says_yes_to_every_locked_directory(self):
        self.make("C:\\App\\a.exe")
        self.assertEqual(self.drive.run("N")[0], 0)
        self.make("C:\\App\\b.dll")
        command = read(os.path.join(SCHEDULED, "velumtar.cron")).split(" root ", 1)[1]
        for recipe, here in (("/var/lib/velumtar/transcript.jsonl", self.drive.transcript),
                             ("/var/lib/velumtar", self.drive.start),
                             ("/mnt/windows", self.drive.root),
                             ("/usr/bin/velumtar", CONFIG["exe"])):
            command = command.replace(recipe, shlex.quote(here))
        argv = ["sh", "-c", command]
        locked = 0
        if os.geteuid() != 0 or shutil.which("setpriv"):
            # Two directories the run cannot enter: each asks its question.
            # Run as root, the run itself is made as 'nobody'.
            names = ("C:\\Locked One", "C:\\Locked Two")
            for name in names:
                self.make(name + "\\c.exe")
            if os.geteuid() == 0:
                for d, _, files in os.walk(self.drive.scratch):
                    os.chmod(d, 0o777)
                    for f in files:
                        os.chmod(os.path.join(d, f), 0o666)
                argv = NOBODY + ["sh", "-c", command.replace(shlex.quote(CONFIG["exe"]),
                                                             shlex.quote(self.drive.runnable_copy()))]
            for name in names:
                os.chmod(self.drive.host(name), 0)
            locked = len(names)
        env = self.drive.environment(transcript=False)
        subprocess.run(argv, env=env, check=True, timeout=300, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        entries = self.drive.transcript_entries()
        questions = [e for e in entries if e.get("text", "").startswith("Ignore locked")]
        self.assertEqual([q["answer"] for q in questions], ["3"] * locked)
        self.assertTrue(entries[-2]["text"].endswith("Display list of details?"))
        self.assertIn("Path-Name: C:\\APP\\B.DLL", self.drive.read("C:\\VELUMTAR.TXT").decode())

    @unittest.skipUnless(wine(), "the .cmd is for the Windows build")
    def test_cmd_runs_the_compare_and_copies_the_results_to_the_share(self):
        tools = self.drive.host("C:\\TOOLS")
        os.makedirs(tools)
        shutil.copy(CONFIG["exe"], os.path.join(tools, "velumtar.exe"))
        shutil.copy(os.path.join(SCHEDULED, "velumtar-scheduled.cmd"), tools)
        self.make("C:\\App\\a.exe")
        self.assertEqual(self.drive.run("N")[0], 0)
        self.make("C:\\App\\b.dll")
        share = os.path.join(self.drive.scratch, "share")
        os.makedirs(share)
        written = os.path.join(tools, "velumtar-transcript.jsonl")
        code, _, _ = run_program(["wine", "cmd", "/c", "C:\\TOOLS\\velumtar-scheduled.cmd",
                                  self.drive.tool_path(share)], self.drive.start,
                                 self.drive.environment(transcript=False), 300,
                                 name="velumtar-scheduled.cmd", ran=lambda: os.path.exists(written),
                                 expected=(1,))
        self.assertEqual(code, 1)  # New
        _, registered, _ = run_program(["wine", "reg", "query", EVENT_SOURCE, "/v",
                                        "EventMessageFile"],
                                       self.drive.start, self.drive.environment(transcript=False),
                                       60, name="reg query")
        self.assertIn(b"C:\\TOOLS\\velumtar.exe", registered)
        transcript = read(written)
        self.assertIn("Display list of details?", transcript.splitlines()[-2])
        computers = os.listdir(share)
        self.assertEqual(len(computers), 1, computers)
        copied = os.path.join(share, computers[0])
        self.assertEqual(sorted(os.listdir(copied)),
                         ["VELUMTAR.LOG", "VELUMTAR.TXT", "velumtar-findings.jsonl",
                          "velumtar-transcript.jsonl"])
        self.assertIn('"path": "C:\\\\APP\\\\B.DLL"',
                      read(os.path.join(copied, "velumtar-findings.jsonl")))
        self.assertEqual(read(os.path.join(copied, "velumtar-transcript.jsonl")), transcript)
        self.assertIn("Path-Name: C:\\APP\\B.DLL", read(os.path.join(copied, "VELUMTAR.TXT")))
