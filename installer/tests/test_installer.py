"""The installer under Wine, in a prefix of its own: a silent install, the files,
the browsers' registrations and the manifests they name, the host started the
way a browser starts it (the manifest's "path", pipes on its standard streams),
then a silent uninstall through the apps list's entry that leaves nothing.
Then the cases where the installer must not claim a success it did not have:
an upgrade and an uninstall while the host runs (silent: exit code 3 and
nothing changed; with the person: asked, and the host closed), and a
reinstall into another folder, which removes the earlier one."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from peerlib import Host, frame  # noqa: E402

SETUP = os.environ.get("SKAN_SETUP")
EXE = os.environ.get("SKAN_EXE")
PDFWRITER = os.environ.get("SKAN_PDFWRITER")
PREFIX = os.environ.get("SKAN_INSTALLER_PREFIX")
PROBE = os.environ.get("SKAN_SETUP_PROBE")
MAKENSIS = os.environ.get("SKAN_MAKENSIS")
SCRIPT = os.environ.get("SKAN_NSIS_SCRIPT")
ICON = os.environ.get("SKAN_ICON")
BUILT_EXE = os.environ.get("SKAN_BUILT_EXE")
BUILT_PDFWRITER = os.environ.get("SKAN_BUILT_PDFWRITER")
# The extension ids the build put into the manifests, separated by commas.
CHROMIUM_IDS = os.environ.get("SKAN_CHROMIUM_IDS", "").split(",")
FIREFOX_IDS = os.environ.get("SKAN_FIREFOX_IDS", "").split(",")

# Exit codes of the installer and the uninstaller.
EXIT_DONE, EXIT_CANCELLED, EXIT_HOST_RUNNING, EXIT_FILES = 0, 1, 3, 4

HOST_NAME = "pl.skanowanie.host"
CHROMIUM_MANIFEST = HOST_NAME + ".chromium.json"
FIREFOX_MANIFEST = HOST_NAME + ".firefox.json"
INSTALLED = sorted(["Skanowanie.exe", "pdfwriter.dll", CHROMIUM_MANIFEST, FIREFOX_MANIFEST,
                    "tessdata", "uninstall.exe"])
# The OCR models in tessdata\, as Debian ships them.
MODELS = ["eng.traineddata", "pol.traineddata"]
MODELS_SOURCE = "/usr/share/tesseract-ocr/5/tessdata"

# Registration key of each browser and the manifest it must name.
BROWSERS = {
    "Chrome": (rf"HKCU\Software\Google\Chrome\NativeMessagingHosts\{HOST_NAME}", CHROMIUM_MANIFEST),
    "Edge": (rf"HKCU\Software\Microsoft\Edge\NativeMessagingHosts\{HOST_NAME}", CHROMIUM_MANIFEST),
    "Firefox": (rf"HKCU\Software\Mozilla\NativeMessagingHosts\{HOST_NAME}", FIREFOX_MANIFEST),
}
APPS_ENTRY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Skanowanie"
# Keys above the registrations: the uninstaller removes those it left empty.
PARENT_KEYS = [
    r"HKCU\Software\Google", r"HKCU\Software\Google\Chrome",
    r"HKCU\Software\Google\Chrome\NativeMessagingHosts",
    r"HKCU\Software\Microsoft\Edge", r"HKCU\Software\Microsoft\Edge\NativeMessagingHosts",
    r"HKCU\Software\Mozilla", r"HKCU\Software\Mozilla\NativeMessagingHosts",
]
# Other programs' entries that the uninstaller must leave alone: a sibling
# registration, and a value on a parent key that has no subkeys left.
OTHERS = [
    (r"HKCU\Software\Google\Chrome\NativeMessagingHosts\com.example.other", "",
     r"C:\other\com.example.other.json"),
    (r"HKCU\Software\Mozilla", "Other", "kept"),
]

# The user's local application data folder, as the shell finds it.
LOCAL_APPDATA = (r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders",
                 "Local AppData")
# A profile whose path has a space and letters outside ASCII: the manifests
# must carry it JSON-escaped and UTF-8 encoded.
ODD_PROFILE = r"C:\users\Anna Żółć-Nowak"


def env():
    e = dict(os.environ)
    e["WINEPREFIX"] = PREFIX
    e["WINEARCH"] = "win32"
    e["WINEDEBUG"] = "-all"
    e["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    # Command lines and paths cross into Wine as UTF-8.
    e["LC_ALL"] = "C.UTF-8"
    return e


def run(*command, timeout=300):
    """Runs a command in the test's prefix; returns (exit code, output). The
    output goes through a file: a Wine service started on the way would hold
    a pipe open long after the program has ended."""
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(list(command), stdout=out, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, env=env(), timeout=timeout).returncode
        out.seek(0)
        return code, out.read().decode("utf-8", "replace")


def key_exists(key):
    return run("wine", "reg", "query", key)[0] == 0


def registry():
    """Every key under HKCU\\Software as {key in lower case: {value name:
    text}}, the default value under "". Read through an export file, which
    keeps every character (reg query's console output would lose those outside
    the OEM code page)."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "software.reg")
        code, output = run("wine", "reg", "export", r"HKCU\Software", to_windows(path), "/y")
        if code != 0:
            raise AssertionError(f"reg export failed: {output}")
        with open(path, "rb") as f:
            text = f.read().decode("utf-16")
    keys, values = {}, None
    for line in text.splitlines():
        if line.startswith("["):
            values = keys.setdefault(line.strip("[]").replace("HKEY_CURRENT_USER", "HKCU").lower(), {})
        elif values is not None and (line.startswith("@=") or line.startswith('"')):
            if line.startswith("@="):
                name, data = "", line[2:]
            else:
                end = line.index('"=', 1)
                name, data = line[1:end], line[end + 2:]
            if data.startswith('"'):
                data = re.sub(r"\\(.)", r"\1", data[1:-1])
            values[name] = data
    return keys


def key_values(key, keys=None):
    return (keys if keys is not None else registry()).get(key.lower())


def to_windows(unix_path):
    return "Z:" + unix_path.replace("/", "\\")


def to_unix(windows_path):
    """Unix path of a file on the prefix's drive C."""
    assert windows_path[:3].upper() == "C:\\", windows_path
    return os.path.join(PREFIX, "drive_c", *windows_path[3:].split("\\"))


def chromium_origins(ids):
    return [f"chrome-extension://{i}/" for i in ids]


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.5)
    return condition()


@unittest.skipUnless(SETUP and EXE and PDFWRITER and PREFIX and PROBE and MAKENSIS,
                     "the SKAN_* variables of installer/CMakeLists.txt must be set")
class InstallerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A fresh prefix each run: "nothing left" is judged against it.
        shutil.rmtree(PREFIX, ignore_errors=True)
        cls.addClassCleanup(subprocess.run, ["wineserver", "-k"], env=env(), timeout=60,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
        subprocess.run(["bash", "-c", f'source "{ROOT}/tools/wine-env.sh"; skan_wine_prefix; '
                        "skan_wineserver_start"],
                       env=env(), check=True, timeout=600, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for key, name, data in OTHERS:
            code, output = run("wine", "reg", "add", key, *(["/v", name] if name else ["/ve"]),
                               "/d", data, "/f")
            assert code == 0, output
        keys = registry()
        cls.parents_before = {key: key.lower() in keys for key in PARENT_KEYS}
        code, output = run("wine", "cmd", "/c", "echo %LOCALAPPDATA%")
        cls.default_local = output.strip()
        code, output = run("wine", "cmd", "/c", "echo %TEMP%")
        cls.temp = to_unix(output.strip())
        cls.earlier = cls.make_earlier_installer()

    @classmethod
    def make_earlier_installer(cls):
        """An installer of an earlier version from the same script: other
        program files (the unstripped builds), another version number, and a
        second id for each browser, as when a store id has been added."""
        cls.tmp = tempfile.mkdtemp(prefix="skan-installer-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        setup = os.path.join(cls.tmp, "Skanowanie-0.9.0-setup.exe")
        cls.earlier_chromium = [CHROMIUM_IDS[0], "abcdefghijklmnopabcdefghijklmnop"]
        cls.earlier_firefox = [FIREFOX_IDS[0], "{12345678-9abc-def0-1234-56789abcdef0}"]
        origins = ", ".join(f'"{o}"' for o in chromium_origins(cls.earlier_chromium))
        extensions = ", ".join(f'"{e}"' for e in cls.earlier_firefox)
        subprocess.run([MAKENSIS, "-V2", "-NOCD", f"-DEXE={BUILT_EXE}", f"-DDLL={BUILT_PDFWRITER}",
                        f"-DOUTFILE={setup}", "-DVERSION=0.9.0", f"-DICON={ICON}",
                        f"-DCHROMIUM_ORIGINS={origins}", f"-DFIREFOX_EXTENSIONS={extensions}", SCRIPT],
                       check=True, timeout=300, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        return setup

    def setUp(self):
        # Each test starts with no installation, whatever an earlier one left.
        run("wine", "reg", "delete", APPS_ENTRY, "/f")
        shutil.rmtree(to_unix(self.default_local + r"\Programs"), ignore_errors=True)

    def test_install_start_and_uninstall(self):
        for label, profile in (("the prefix's own profile", None),
                               ("a profile path with a space and Polish letters", ODD_PROFILE)):
            with self.subTest(label):
                if profile:
                    local = profile + r"\AppData\Local"
                    os.makedirs(to_unix(local), exist_ok=True)
                    key, name = LOCAL_APPDATA
                    code, output = run("wine", "reg", "query", key, "/v", name)
                    original = re.search(r"REG_EXPAND_SZ\s+(\S.*)", output).group(1).strip()
                    self.addCleanup(run, "wine", "reg", "add", key, "/v", name, "/t", "REG_EXPAND_SZ",
                                    "/d", original, "/f")
                    code, output = run("wine", "reg", "add", key, "/v", name, "/t", "REG_EXPAND_SZ",
                                       "/d", local, "/f")
                    self.assertEqual(code, 0, output)
                else:
                    local = self.default_local
                folder = local + r"\Programs\Skanowanie"
                code, output = self.install()
                self.assertEqual(code, EXIT_DONE, output)
                self.check_installed(folder)
                self.end_host(self.start_registered_host())
                self.uninstall()
                self.wait_gone(folder)
                self.check_nothing_left(folder)

    def check_installed(self, folder, earlier=False):
        """The folder holds exactly the installation's files (of this version,
        or of the earlier one), and the registrations and the apps entry lead
        to it."""
        unix_folder = to_unix(folder)
        self.assertEqual(sorted(os.listdir(unix_folder)), INSTALLED)
        files = (BUILT_EXE, BUILT_PDFWRITER) if earlier else (EXE, PDFWRITER)
        for built, name in zip(files, ("Skanowanie.exe", "pdfwriter.dll")):
            with open(built, "rb") as a, open(os.path.join(unix_folder, name), "rb") as b:
                self.assertTrue(a.read() == b.read(), f"{name} differs from the built file")
        self.assertEqual(sorted(os.listdir(os.path.join(unix_folder, "tessdata"))), MODELS)
        for name in MODELS:
            with open(os.path.join(MODELS_SOURCE, name), "rb") as a, \
                    open(os.path.join(unix_folder, "tessdata", name), "rb") as b:
                self.assertTrue(a.read() == b.read(), f"{name} differs from Debian's model")

        exe = folder + r"\Skanowanie.exe"
        common = {"name": HOST_NAME, "path": exe, "type": "stdio"}
        chromium, firefox = ((self.earlier_chromium, self.earlier_firefox) if earlier
                             else (CHROMIUM_IDS, FIREFOX_IDS))
        expected = {
            CHROMIUM_MANIFEST: dict(common, allowed_origins=chromium_origins(chromium)),
            FIREFOX_MANIFEST: dict(common, allowed_extensions=firefox),
        }
        keys = registry()
        for browser, (key, manifest) in BROWSERS.items():
            registered = (key_values(key, keys) or {}).get("")
            self.assertEqual(registered, folder + "\\" + manifest, browser)
            with open(to_unix(registered), "rb") as f:
                # Strict UTF-8 without a byte-order mark, as the browsers read it.
                data = json.loads(f.read().decode("utf-8"))
            description = data.pop("description", None)
            self.assertTrue(isinstance(description, str) and description, browser)
            self.assertEqual(data, expected[manifest], browser)

        entry = key_values(APPS_ENTRY, keys) or {}
        self.assertEqual(entry.get("DisplayName"), "Skanowanie")
        self.assertEqual(entry.get("DisplayVersion"), "0.9.0" if earlier else "1.0.0")
        self.assertEqual(entry.get("InstallLocation"), folder)
        # "_?=" makes the uninstaller run in place and its caller wait for it.
        self.assertEqual(entry.get("UninstallString"), f'"{folder}\\uninstall.exe" _?={folder}')
        self.assertEqual(entry.get("QuietUninstallString"), f'"{folder}\\uninstall.exe" /S _?={folder}')

    def start_registered_host(self):
        """Starts the program that Chrome's registration leads to, as the
        browser does, and checks that it answers; the caller ends it."""
        key, _ = BROWSERS["Chrome"]
        with open(to_unix(key_values(key)[""]), "rb") as f:
            path = json.loads(f.read().decode("utf-8"))["path"]
        host = Host(path, env=env())
        self.addCleanup(host.kill)
        self.check_answers(host, timeout=120)
        return host

    def check_answers(self, host, timeout=60):
        host.send(b'{"POL":"IFSCANED"}')
        raw, _ = host.read_frame(timeout=timeout)
        self.assertEqual(raw, frame(b'{"POL":"IFSCANED","SCANED": ""}'))

    def end_host(self, host):
        host.send(b'{"POL":"END"}')
        raw, _ = host.read_frame(timeout=60)
        self.assertEqual(raw, frame(b'{"POL":"SCANEDqq","SCANED": "Pa Pa"}'))
        self.assertEqual(host.wait(60), 0)

    def install(self, *arguments, setup=None):
        """A silent install; returns (exit code, output)."""
        return run("wine", setup or SETUP, "/S", *arguments)

    def apps_command(self, value):
        """The apps entry's command line as a list of arguments."""
        command = key_values(APPS_ENTRY)[value]
        program, _, arguments = command[1:].partition('" ')
        # "_?=<folder>" is last and takes the rest of the line.
        words, _, inplace = arguments.partition("_?=")
        return [program, *words.split()] + (["_?=" + inplace] if inplace else [])

    def uninstall(self, expect=EXIT_DONE):
        """Runs the apps list's silent uninstall command and waits for it; its
        program file and folder go a moment after it has ended."""
        code, output = run("wine", *self.apps_command("QuietUninstallString"))
        self.assertEqual(code, expect, output)
        return output

    def run_interactive(self, command, *presses):
        """Runs an installer or uninstaller with its windows, pressing each
        (button, text the window shows) in turn as the person would; returns
        (exit code, what the pressed windows showed)."""
        out = tempfile.TemporaryFile()
        self.addCleanup(out.close)
        proc = subprocess.Popen(["wine", *command], stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, env=env())
        self.addCleanup(proc.kill)
        shown = []
        for button, text in presses:
            code, output = run("wine", PROBE, "click", button, text, timeout=180)
            self.assertEqual(code, 0, f"no window with {button!r} showing {text!r}: {output}")
            shown.append(output)
        return proc.wait(300), "\n".join(shown)

    def temp_files(self):
        return sorted(os.listdir(self.temp))

    def wait_gone(self, folder):
        if not wait_until(lambda: not os.path.exists(to_unix(folder)), 60):
            self.fail(f"{folder} is still there: {os.listdir(to_unix(folder))}")

    def test_upgrade_while_the_host_runs(self):
        folder = self.default_local + r"\Programs\Skanowanie"
        code, output = self.install(setup=self.earlier)
        self.assertEqual(code, EXIT_DONE, output)
        self.check_installed(folder, earlier=True)

        # A file held by another program: found before anything changes.
        holder = subprocess.Popen(["wine", PROBE, "hold", folder + r"\pdfwriter.dll"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env())
        self.addCleanup(holder.kill)
        self.assertEqual(holder.stdout.readline().strip(), b"held")
        code, output = self.install()
        self.assertEqual(code, EXIT_FILES, output)
        self.assertIn(folder + r"\pdfwriter.dll is in use", output)
        self.check_installed(folder, earlier=True)
        holder.stdin.close()
        self.assertEqual(holder.wait(60), 0)

        host = self.start_registered_host()

        # Silent: the host is serving a page and may hold the person's scan,
        # so it is left alone, nothing changes, and the exit code says why.
        code, output = self.install()
        self.assertEqual(code, EXIT_HOST_RUNNING, output)
        self.assertIn("is running from " + folder, output)
        self.check_installed(folder, earlier=True)
        self.check_answers(host)

        # With the person at the desk: asked first; Cancel changes nothing.
        code, shown = self.run_interactive([SETUP], ("Install", ""), ("Cancel", "is open"))
        self.assertEqual(code, EXIT_CANCELLED, shown)
        self.check_installed(folder, earlier=True)
        self.check_answers(host)

        # OK closes the host as the person would, and the upgrade is whole.
        code, shown = self.run_interactive([SETUP], ("Install", ""), ("OK", "is open"), ("Close", ""))
        self.assertEqual(code, EXIT_DONE, shown)
        self.assertEqual(host.proc.wait(60), 0)
        self.check_installed(folder)

        self.uninstall()
        self.wait_gone(folder)
        self.check_nothing_left(folder)

    def test_uninstall_while_the_host_runs(self):
        folder = self.default_local + r"\Programs\Skanowanie"
        temp_before = self.temp_files()
        code, output = self.install()
        self.assertEqual(code, EXIT_DONE, output)
        host = self.start_registered_host()

        output = self.uninstall(expect=EXIT_HOST_RUNNING)
        self.assertIn("is running from " + folder, output)
        self.check_installed(folder)
        self.check_answers(host)

        code, shown = self.run_interactive(self.apps_command("UninstallString"),
                                           ("Uninstall", ""), ("Cancel", "is open"))
        self.assertEqual(code, EXIT_CANCELLED, shown)
        self.check_installed(folder)
        self.check_answers(host)

        self.end_host(host)
        self.uninstall()
        self.wait_gone(folder)
        self.check_nothing_left(folder)

        # The uninstaller run without "_?=" hands over to a copy of itself in
        # a folder of TEMP and returns at once; the copy removes the
        # installation, then itself and that folder.
        code, output = self.install()
        self.assertEqual(code, EXIT_DONE, output)
        code, output = run("wine", folder + r"\uninstall.exe", "/S")
        self.assertEqual(code, EXIT_DONE, output)
        self.wait_gone(folder)
        self.check_nothing_left(folder)
        self.assertTrue(wait_until(lambda: self.temp_files() == temp_before, 60),
                        f"left in TEMP: {sorted(set(self.temp_files()) - set(temp_before))}")

    def test_reinstall_elsewhere(self):
        default = self.default_local + r"\Programs\Skanowanie"
        code, output = self.install()
        self.assertEqual(code, EXIT_DONE, output)
        # The person's own file in the installation folder, and a folder that
        # was there before the installer came.
        with open(os.path.join(to_unix(default), "notes.txt"), "w") as f:
            f.write("mine")
        tools = r"C:\Tools"
        os.makedirs(to_unix(tools))
        self.addCleanup(shutil.rmtree, to_unix(tools), ignore_errors=True)
        self.addCleanup(shutil.rmtree, to_unix(default), ignore_errors=True)

        # The earlier folder's host running stops a silent move before anything.
        host = self.start_registered_host()
        code, output = self.install("/D=" + tools)
        self.assertEqual(code, EXIT_HOST_RUNNING, output)
        self.assertEqual(os.listdir(to_unix(tools)), [])
        self.assertEqual(sorted(os.listdir(to_unix(default))), sorted(INSTALLED + ["notes.txt"]))
        self.end_host(host)

        code, output = self.install("/D=" + tools)
        self.assertEqual(code, EXIT_DONE, output)
        self.check_installed(tools)
        self.assertEqual(os.listdir(to_unix(default)), ["notes.txt"])

        # Into folders the installer makes; the one it did not make stays.
        nested = r"C:\Elsewhere\Skanowanie2"
        code, output = self.install("/D=" + nested)
        self.assertEqual(code, EXIT_DONE, output)
        self.check_installed(nested)
        self.assertEqual(os.listdir(to_unix(tools)), [])

        self.uninstall()
        self.wait_gone(r"C:\Elsewhere")
        self.check_nothing_left(nested)
        self.assertEqual(os.listdir(to_unix(tools)), [])
        self.assertEqual(os.listdir(to_unix(default)), ["notes.txt"])

    def check_nothing_left(self, folder):
        self.assertFalse(os.path.exists(to_unix(folder)), f"{folder} is still there")
        keys = registry()
        self.assertIsNone(key_values(APPS_ENTRY, keys), "the apps list entry is still there")
        for browser, (key, _) in BROWSERS.items():
            self.assertIsNone(key_values(key, keys), f"the {browser} registration is still there")
        for key, existed in self.parents_before.items():
            self.assertEqual(key.lower() in keys, existed, key)
        for key, name, data in OTHERS:
            self.assertEqual((key_values(key, keys) or {}).get(name), data, key)


if __name__ == "__main__":
    unittest.main()
