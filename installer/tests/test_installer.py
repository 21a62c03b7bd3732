"""The installer under Wine, in a prefix of its own: a silent install, the files,
the browsers' registrations and the manifests they name, the host started the
way a browser starts it (the manifest's "path", pipes on its standard streams),
then a silent uninstall through the apps list's entry that leaves nothing."""
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

HOST_NAME = "pl.skanowanie.host"
CHROMIUM_ORIGIN = "chrome-extension://dlalfaanhjcmepimhkpfccloopamahbp/"
FIREFOX_EXTENSION = "skanowanie@skanowanie.local"
CHROMIUM_MANIFEST = HOST_NAME + ".chromium.json"
FIREFOX_MANIFEST = HOST_NAME + ".firefox.json"
INSTALLED = sorted(["Skanowanie.exe", "pdfwriter.dll", CHROMIUM_MANIFEST, FIREFOX_MANIFEST,
                    "uninstall.exe"])

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


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.5)
    return condition()


@unittest.skipUnless(SETUP and EXE and PDFWRITER and PREFIX,
                     "SKAN_SETUP, SKAN_EXE, SKAN_PDFWRITER and SKAN_INSTALLER_PREFIX must be set")
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

    def test_install_start_and_uninstall(self):
        for label, profile in (("the prefix's own profile", None),
                               ("a profile path with a space and Polish letters", ODD_PROFILE)):
            with self.subTest(label):
                if profile:
                    local = profile + r"\AppData\Local"
                    os.makedirs(to_unix(local), exist_ok=True)
                    key, name = LOCAL_APPDATA
                    code, output = run("wine", "reg", "add", key, "/v", name, "/t", "REG_EXPAND_SZ",
                                       "/d", local, "/f")
                    self.assertEqual(code, 0, output)
                else:
                    local = self.default_local
                folder = local + r"\Programs\Skanowanie"
                code, output = run("wine", SETUP, "/S")
                self.assertEqual(code, 0, output)
                self.check_installed(folder)
                self.start_registered_host()
                self.uninstall()
                self.check_nothing_left(folder)

    def check_installed(self, folder):
        unix_folder = to_unix(folder)
        self.assertEqual(sorted(os.listdir(unix_folder)), INSTALLED)
        for built, name in ((EXE, "Skanowanie.exe"), (PDFWRITER, "pdfwriter.dll")):
            with open(built, "rb") as a, open(os.path.join(unix_folder, name), "rb") as b:
                self.assertTrue(a.read() == b.read(), f"{name} differs from the built file")

        exe = folder + r"\Skanowanie.exe"
        common = {"name": HOST_NAME, "path": exe, "type": "stdio"}
        expected = {
            CHROMIUM_MANIFEST: dict(common, allowed_origins=[CHROMIUM_ORIGIN]),
            FIREFOX_MANIFEST: dict(common, allowed_extensions=[FIREFOX_EXTENSION]),
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
        self.assertEqual(entry.get("InstallLocation"), folder)
        self.assertEqual(entry.get("UninstallString"), f'"{folder}\\uninstall.exe"')
        self.assertEqual(entry.get("QuietUninstallString"), f'"{folder}\\uninstall.exe" /S')

    def start_registered_host(self):
        """Starts the program that Chrome's registration leads to and talks to it."""
        key, _ = BROWSERS["Chrome"]
        with open(to_unix(key_values(key)[""]), "rb") as f:
            path = json.loads(f.read().decode("utf-8"))["path"]
        host = Host(path, env=env())
        try:
            host.send(b'{"POL":"IFSCANED"}')
            raw, _ = host.read_frame(timeout=120)
            self.assertEqual(raw, frame(b'{"POL":"IFSCANED","SCANED": ""}'))
            host.send(b'{"POL":"END"}')
            raw, _ = host.read_frame(timeout=60)
            self.assertEqual(raw, frame(b'{"POL":"SCANEDqq","SCANED": "Pa Pa"}'))
            self.assertEqual(host.wait(60), 0)
        finally:
            host.kill()

    def uninstall(self):
        """Runs the apps list's silent uninstall command. The uninstaller
        hands over to a copy of itself and returns at once; the copy removes
        the apps entry last, so its disappearance marks the end."""
        quiet = key_values(APPS_ENTRY)["QuietUninstallString"]
        program, _, arguments = quiet[1:].partition('" ')
        code, output = run("wine", program, *arguments.split())
        self.assertEqual(code, 0, output)
        wait_until(lambda: not key_exists(APPS_ENTRY), 120)

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
