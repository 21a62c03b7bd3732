"""The client library as a web developer gets it: the packed npm tarball
installed offline into an empty folder, imported from plain ESM in Node and
compiled by a strict TypeScript consumer."""
import json
import os
import subprocess
import tarfile
import tempfile
import textwrap
import unittest

PACKAGE = os.environ.get("SKAN_CLIENT_PACKAGE", "")
TSC = os.environ.get("SKAN_TSC", "")
NPM = os.environ.get("SKAN_NPM", "npm")
NODE = os.environ.get("SKAN_NODE", "node")
VERSION = os.environ.get("SKAN_VERSION", "")
NAME = "@skanowanie/client"

ESM_CONSUMER = """\
import assert from "node:assert/strict";
import { connect, extensionVersion, ErrorCode, SkanowanieError, Connection, readableState,
         DEFAULT_REPLY_TIMEOUT_MS, DEFAULT_WAIT_TIMEOUT_MS } from "@skanowanie/client";
import manifest from "@skanowanie/client/package.json" with { type: "json" };

assert.equal(typeof connect, "function");
assert.equal(typeof extensionVersion, "function");
assert.equal(typeof Connection, "function");
for (const code of ["NO_SCANNER", "SCANNER_BUSY", "UNSUPPORTED_SETTING", "USER_CANCELLED", "NO_REQUEST",
                    "INVALID_ARGUMENT", "PERMISSION_DENIED", "NOT_ALLOWED", "NO_DOCUMENT", "TIMEOUT"]) {
  assert.equal(ErrorCode[code], code);
}
assert.ok(Object.isFrozen(ErrorCode));
const error = new SkanowanieError(ErrorCode.UNSUPPORTED_SETTING, "no", { setting: "resolution", offered: [100] });
assert.ok(error instanceof Error);
assert.deepEqual([error.code, error.setting, error.offered], ["UNSUPPORTED_SETTING", "resolution", [100]]);
assert.deepEqual(["Begin_SCAN", "Prepared_SCAN", "Redy_SCAN", "Shared_complite"].map(readableState),
                 ["scanning", "assembling", "ready", "shared"]);
assert.ok(Number.isFinite(DEFAULT_WAIT_TIMEOUT_MS) && DEFAULT_WAIT_TIMEOUT_MS > 0, "waits have a default limit");
assert.ok(Number.isFinite(DEFAULT_REPLY_TIMEOUT_MS) && DEFAULT_REPLY_TIMEOUT_MS > 0);
console.log(manifest.version);
"""

TS_CONSUMER = """\
import {
  connect, ErrorCode, SkanowanieError, DEFAULT_WAIT_TIMEOUT_MS,
  type Connection, type LiveConnectionEvents, type PageEvent, type ScannedEvent, type ScannerInfo,
} from "@skanowanie/client";

// Today's flow: the status event is the host's text.
export async function classic(): Promise<Blob> {
  const c = await connect();
  c.on("status", (status: string) => console.log(status.toUpperCase()));
  // @ts-expect-error: page events need a connection with events
  c.on("page", () => {});
  await c.openScanRequest({ email: "biuro@example.com", serialnumber: "SN-1" });
  await c.waitForShare({ timeoutMs: 0 });
  return c.getPdf();
}

// Whether to ask for events is decided at run time.
export async function either(events: boolean): Promise<void> {
  const c = await connect({ events });
  c.on("status", (status) => console.log(typeof status === "string" ? status : status.state));
}

// The page drives the scan.
export async function live(signal: AbortSignal): Promise<Blob | null> {
  const c: Connection<LiveConnectionEvents> = await connect({ events: true, signal });
  const scanners: ScannerInfo[] = await c.listScanners({ signal });
  const scanner = scanners.find((s) => s.isDefault) ?? scanners[0];
  if (!scanner) return null;
  const offered = (await c.scannerCapabilities(scanner.id)).resolution;
  const dpi = offered === "UNSUPPORTED" || offered === undefined ? 300 : offered.values?.[0] ?? offered.min ?? 300;
  c.on("status", ({ state, raw }) => console.log(state, raw));
  c.on("page", (p: PageEvent) => console.log(p.page, p.thumbnail ?? "", p.thumbnailBlob?.size));
  c.on("scanned", (s: ScannedEvent) => console.log(s.outcome, s.document ?? s.reason));
  try {
    // @ts-expect-error: a colour mode the scanner API does not know
    await c.openScanRequest({ scan: { colour: "sepia" } }).catch(() => "");
    await c.openScanRequest({ scan: { scanner: scanner.id, resolution: dpi, colour: "grey", duplex: false,
                                      source: "feeder", paperSize: "A4", maxPages: 10, showScannerUI: false },
                              languages: "pol+eng", compression: "compact" }, { signal });
    const { document, pages } = await c.startScan({ signal, timeoutMs: DEFAULT_WAIT_TIMEOUT_MS });
    console.log(pages.toFixed(0));
    const share = await c.waitForShare({ signal });
    return await c.getPdf({ document: share.document ?? document, signal });
  } catch (e) {
    if (e instanceof SkanowanieError && e.code === ErrorCode.UNSUPPORTED_SETTING) console.log(e.setting, e.offered);
    if (e instanceof SkanowanieError && e.code === ErrorCode.USER_CANCELLED) return null;
    throw e;
  } finally {
    const wasRunning: boolean = await c.cancelScan();
    console.log(wasRunning);
  }
}
"""

TS_CONFIG = {
    "compilerOptions": {
        "strict": True, "noEmit": True, "target": "es2022", "module": "nodenext", "moduleResolution": "nodenext",
        "lib": ["es2022", "dom"], "exactOptionalPropertyTypes": True, "noUncheckedIndexedAccess": True,
        "skipLibCheck": False,
    },
    "files": ["consumer.ts"],
}


def run(command, cwd, **options):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=180, **options)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(command)} failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result.stdout


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(PACKAGE):
            raise AssertionError(f"no package at {PACKAGE!r}: build the native tree first (npm pack)")
        cls.folder = tempfile.TemporaryDirectory(prefix="skan-package-")
        cls.app = cls.folder.name
        with open(os.path.join(cls.app, "package.json"), "w") as f:
            json.dump({"name": "consumer", "private": True, "type": "module"}, f)
        # Offline: the package has no dependencies, so npm needs no registry.
        env = dict(os.environ, npm_config_cache=os.path.join(cls.app, ".npm-cache"))
        run([NPM, "install", "--offline", "--no-audit", "--no-fund", PACKAGE], cls.app, env=env)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_the_tarball_holds_the_library_its_types_and_readme(self):
        with tarfile.open(PACKAGE) as tar:
            names = sorted(tar.getnames())
            manifest = json.load(tar.extractfile("package/package.json"))
        self.assertEqual(names, ["package/README.md", "package/package.json", "package/skanowanie.d.ts",
                                 "package/skanowanie.js"])
        self.assertEqual((manifest["name"], manifest["version"], manifest["type"]), (NAME, VERSION, "module"),
                         "the package's version is the product's")
        self.assertEqual(manifest["exports"]["."], {"types": "./skanowanie.d.ts", "default": "./skanowanie.js"})
        self.assertNotIn("dependencies", manifest)

    def test_plain_esm_imports_it(self):
        with open(os.path.join(self.app, "consumer.mjs"), "w") as f:
            f.write(ESM_CONSUMER)
        self.assertEqual(run([NODE, "consumer.mjs"], self.app).strip(), VERSION)

    def test_a_strict_typescript_consumer_compiles(self):
        if not os.access(TSC, os.X_OK):
            raise AssertionError(f"no TypeScript compiler at {TSC!r}: run tools/install-deps.sh")
        with open(os.path.join(self.app, "consumer.ts"), "w") as f:
            f.write(TS_CONSUMER)
        with open(os.path.join(self.app, "tsconfig.json"), "w") as f:
            json.dump(TS_CONFIG, f)
        run([TSC, "-p", "."], self.app)

    def test_typescript_finds_a_wrong_use(self):
        """The consumer above passes only if the types are precise: the same
        consumer with a misspelt setting must not compile."""
        if not os.access(TSC, os.X_OK):
            raise AssertionError(f"no TypeScript compiler at {TSC!r}: run tools/install-deps.sh")
        folder = os.path.join(self.app, "wrong")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "consumer.ts"), "w") as f:
            f.write(textwrap.dedent("""\
                import { connect } from "@skanowanie/client";
                const c = await connect({ events: true });
                await c.openScanRequest({ scan: { dpi: 300 } });
                """))
        with open(os.path.join(folder, "tsconfig.json"), "w") as f:
            json.dump(TS_CONFIG, f)
        result = subprocess.run([TSC, "-p", "."], cwd=folder, capture_output=True, text=True, timeout=180)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("dpi", result.stdout)


if __name__ == "__main__":
    unittest.main()
