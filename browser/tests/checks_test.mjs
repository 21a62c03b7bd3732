// The extension's checks (extension/checks.js) in Node: which origins may
// ask, what a page's message may hold, the order of the administrator's and
// the person's decisions, and the limit on host starts.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import test from "node:test";
import vm from "node:vm";

const source = readFileSync(new URL("../extension/checks.js", import.meta.url), "utf8");
const context = vm.createContext({ URL });
vm.runInContext(source, context);
const checks = context.SkanowanieChecks;

test("only https sites and http on this computer may ask", () => {
  const cases = [
    ["https://office.example.com", true],
    ["https://office.example.com:8443", true],
    ["http://127.0.0.1:8080", true],
    ["http://localhost:3000", true],
    ["http://[::1]:8000", true],
    ["http://app.localhost", true],
    ["http://office.example.com", false],
    ["http://127.0.0.1.example.com", false],
    ["ftp://example.com", false],
    ["null", false],
    ["", false],
    ["https://example.com/path", false],  // not a serialised origin
    ["HTTPS://EXAMPLE.COM", false],  // not as the browser serialises it
  ];
  for (const [origin, expected] of cases) assert.equal(checks.mayAsk(origin), expected, origin);
});

test("a page's command is checked field by field", () => {
  const long = (n) => "a".repeat(n);
  const cyclic = { POL: "IFSCANED" };
  cyclic.self = cyclic;
  const cases = [
    [{ POL: "IFSCANED" }, null],
    [{ POL: "END" }, null],
    [{ POL: "Init_SCAN" }, null],
    [{ POL: "Init_SCAN", email: "biuro@example.com", serialnumber: "SN-1" }, null],
    [{ POL: "Init_SCAN", email: long(254) }, null],
    [{ POL: "Init_SCAN", email: long(255) }, /longer than 254/],
    [{ POL: "Init_SCAN", serialnumber: long(65) }, /longer than 64/],
    [{ POL: "Init_SCAN", email: "a\uD800b" }, /lone surrogate/],
    [{ POL: "Init_SCAN", email: "\uDC00" }, /lone surrogate/],
    [{ POL: "Init_SCAN", email: "\uD83D\uDE00" }, null],  // a whole pair is fine
    [{ POL: "Init_SCAN", email: 5 }, /must be a string/],
    [{ POL: "Init_SCAN", email: 5n }, /must be a string/],
    [{ POL: "Init_SCAN", email: ["x"] }, /must be a string/],
    [{ POL: "Init_SCAN", origin: "https://evil.example" }, /takes no field "origin"/],
    [{ POL: "IFSCANED", email: "x" }, /takes no field/],
    [cyclic, /takes no field "self"/],
    [{ POL: "ifscaned" }, /unknown command/],
    [{ POL: "Nieznane" }, /unknown command/],
    [{}, /unknown command/],
    [{ POL: 7 }, /unknown command \(none\)/],
    [["IFSCANED"], /plain object/],
    ["IFSCANED", /plain object/],
    [null, /plain object/],
  ];
  for (const [command, expected] of cases) {
    const problem = checks.commandProblem(command);
    if (expected === null) assert.equal(problem, null, JSON.stringify(command));
    else assert.match(problem ?? "", expected, String(command?.POL));
  }
});

test("the scanner commands and the request's settings, languages and compression", () => {
  const init = (fields) => ({ POL: "Init_SCAN", ...fields });
  const scan = (settings) => init({ scan: settings });
  const cases = [
    [{ POL: "List_SCANNERS" }, null],
    [{ POL: "Caps_SCANNER", scanner: "Virtual Scanner" }, null],
    [{ POL: "Start_SCAN" }, null],
    [{ POL: "Cancel_SCAN" }, null],
    [{ POL: "Caps_SCANNER" }, /needs the field scanner/],
    [{ POL: "Caps_SCANNER", scanner: "" }, /must not be empty/],
    [{ POL: "Caps_SCANNER", scanner: "x".repeat(65) }, /longer than 64/],
    [{ POL: "Caps_SCANNER", scanner: 3 }, /must be a string/],
    [{ POL: "Start_SCAN", scan: {} }, /takes no field "scan"/],
    [{ POL: "List_SCANNERS", scanner: "x" }, /takes no field/],
    [{ POL: "start_scan" }, /unknown command/],
    // Every setting at once, and each at its bounds.
    [scan({ scanner: "Virtual Scanner", resolution: 300, colour: "grey", duplex: true, source: "feeder",
            paperSize: "A4", maxPages: 10, showScannerUI: false }), null],
    [scan({}), null],
    [scan({ resolution: 1 }), null],
    [scan({ resolution: 19200 }), null],
    [scan({ maxPages: 1 }), null],
    [scan({ maxPages: 1000 }), null],
    ...["colour", "grey", "bw"].map((colour) => [scan({ colour }), null]),
    ...["feeder", "flatbed", "auto"].map((source) => [scan({ source }), null]),
    ...["A4", "A5", "Letter", "Legal", "auto"].map((paperSize) => [scan({ paperSize }), null]),
    [scan({ resolution: 0 }), /scan\.resolution must be a whole number from 1 to 19200/],
    [scan({ resolution: 300.5 }), /scan\.resolution must be a whole number/],
    [scan({ resolution: "300" }), /scan\.resolution must be a whole number/],
    [scan({ resolution: NaN }), /scan\.resolution/],
    [scan({ maxPages: 0 }), /scan\.maxPages must be a whole number from 1 to 1000/],
    [scan({ maxPages: 1001 }), /scan\.maxPages/],
    [scan({ colour: "color" }), /scan\.colour must be one of "colour", "grey", "bw"/],
    [scan({ colour: "COLOUR" }), /scan\.colour/],
    [scan({ source: "adf" }), /scan\.source/],
    [scan({ paperSize: "a4" }), /scan\.paperSize/],
    [scan({ duplex: "true" }), /scan\.duplex must be true or false/],
    [scan({ showScannerUI: 1 }), /scan\.showScannerUI must be true or false/],
    [scan({ scanner: "" }), /scan\.scanner must not be empty/],
    [scan({ scanner: "a\uD800" }), /scan\.scanner is not well-formed/],
    [scan({ resolution: undefined }), /scan\.resolution/],
    [scan({ dpi: 300 }), /takes no setting "dpi"/],
    [scan({ origin: "https://evil.example" }), /takes no setting "origin"/],
    [scan(null), /Init_SCAN\.scan must be an object/],
    [scan([300]), /Init_SCAN\.scan must be an object/],
    [scan("resolution=300"), /Init_SCAN\.scan must be an object/],
    [init({ languages: "pol+eng" }), null],
    [init({ languages: "" }), null],
    [init({ languages: "chi_sim" }), null],
    [init({ languages: "x".repeat(64) }), null],
    [init({ languages: "x".repeat(65) }), /languages is longer than 64/],
    [init({ languages: "pol eng" }), /languages must be language codes/],
    [init({ languages: "pol+" }), /languages must be language codes/],
    [init({ languages: "../eng" }), /languages must be language codes/],
    [init({ languages: ["pol"] }), /languages must be a string/],
    [init({ compression: "compact" }), null],
    [init({ compression: "lossless" }), null],
    [init({ compression: "jpeg" }), /compression must be one of "compact", "lossless"/],
    [init({ compression: true }), /compression must be one of/],
    // Asking for the host's events: a boolean on any command.
    [{ POL: "IFSCANED", events: true }, null],
    [init({ events: false, email: "a@example.com" }), null],
    [{ POL: "IFSCANED", events: "yes" }, /IFSCANED\.events must be true or false/],
  ];
  for (const [command, expected] of cases) {
    const problem = checks.commandProblem(command);
    const what = JSON.stringify(command, (_, v) => (Number.isNaN(v) ? "NaN" : v === undefined ? "undefined" : v));
    if (expected === null) assert.equal(problem, null, what);
    else assert.match(problem ?? "(admitted)", expected, what);
  }
});

test("a page's message needs a known type and short ids", () => {
  const ok = { connection: "conn-abc", id: "cmd-1" };
  const cases = [
    [{ type: "ping" }, null],
    [{ type: "open", connection: "conn-abc" }, null],
    [{ type: "send", ...ok, message: { POL: "END" } }, null],
    [{ type: "send", ...ok, message: { POL: "END", x: "1" } }, /takes no field/],
    [{ type: "send", connection: "conn-abc", message: { POL: "END" } }, /request id/],
    [{ type: "fetch-document", ...ok }, null],
    [{ type: "fetch-document", ...ok, document: `d${"0a".repeat(16)}` }, null],
    [{ type: "fetch-document", ...ok, document: `d${"0A".repeat(16)}` }, /document id/],
    [{ type: "fetch-document", ...ok, document: "d123" }, /document id/],
    [{ type: "fetch-document", ...ok, document: 5 }, /document id/],
    [{ type: "open", connection: "conn-abc", events: true }, null],
    [{ type: "open", connection: "conn-abc", events: 1 }, /events must be true or false/],
    [{ type: "close", connection: "conn-abc" }, null],
    [{ type: "open", connection: "x".repeat(65) }, /connection id/],
    [{ type: "open", connection: "a b" }, /connection id/],
    [{ type: "open" }, /connection id/],
    [{ type: "launch", connection: "conn-abc" }, /unknown message type/],
    [[1, 2], /plain object/],
  ];
  for (const [message, expected] of cases) {
    const problem = checks.pageMessageProblem(message);
    if (expected === null) assert.equal(problem, null, JSON.stringify(message));
    else assert.match(problem ?? "", expected, JSON.stringify(message));
  }
});

test("the administrator's block wins, then the administrator's allow, then the person", () => {
  const site = "https://office.example.com";
  const cases = [
    [{}, {}, "ask"],
    [{}, { [site]: { decision: "allow" } }, "allow"],
    [{}, { [site]: { decision: "block" } }, "block"],
    [{}, { "https://other.example": { decision: "allow" } }, "ask"],
    [{ allowedOrigins: [site] }, { [site]: { decision: "block" } }, "allow"],
    [{ blockedOrigins: [site] }, { [site]: { decision: "allow" } }, "block"],
    [{ allowedOrigins: [site], blockedOrigins: [site] }, {}, "block"],
    [{ blockedOrigins: ["*"] }, {}, "block"],
    [{ allowedOrigins: ["*"] }, {}, "allow"],
    [{ allowedOrigins: "https://office.example.com" }, {}, "ask"],  // not a list: ignored
  ];
  for (const [policy, grants, expected] of cases) {
    assert.equal(checks.decide(site, policy, grants), expected, JSON.stringify([policy, grants]));
  }
});

test("host starts are limited per origin within a sliding window", () => {
  let now = 0;
  const limiter = new checks.StartLimiter(3, 1000, () => now);
  const a = "https://a.example";
  const b = "https://b.example";
  assert.deepEqual([1, 2, 3, 4].map(() => limiter.take(a)), [true, true, true, false]);
  assert.equal(limiter.take(b), true, "another origin has its own count");
  now = 999;
  assert.equal(limiter.take(a), false);
  now = 1000;
  assert.equal(limiter.take(a), true, "the first start has left the window");
  assert.equal(limiter.take(a), true);
  assert.equal(limiter.take(a), true);
  assert.equal(limiter.take(a), false);
});

test("lone surrogates are found also where String.prototype.isWellFormed is missing", () => {
  const older = vm.createContext({ URL });
  vm.runInContext("delete String.prototype.isWellFormed", older);
  vm.runInContext(source, older);
  const cases = [["a\uD800b", false], ["\uDC00", false], ["x\uD800", false], ["\uD83D\uDE00", true], ["zażółć", true]];
  for (const [text, wellFormed] of cases) {
    const problem = older.SkanowanieChecks.commandProblem({ POL: "Init_SCAN", email: text });
    assert.equal(problem === null, wellFormed, JSON.stringify(text));
  }
});

test("a connection's commands are limited, scan requests more than the rest", () => {
  let now = 0;
  const limiter = new checks.CommandLimiter(() => now);
  const status = { POL: "IFSCANED" };
  const request = { POL: "Init_SCAN" };
  const within = (n, command) => Array.from({ length: n }, () => limiter.problem(command));
  assert.deepEqual(within(100, status), Array(100).fill(null));
  assert.match(limiter.problem(status) ?? "", /100 commands within a second/);
  now = 1000;
  assert.deepEqual(within(10, request), Array(10).fill(null));
  now = 2000;
  assert.match(limiter.problem(request) ?? "", /10 scan requests within a minute/);
  assert.equal(limiter.problem(status), null, "other commands still go");
  now = 61000;
  assert.equal(limiter.problem(request), null, "the first requests have left the window");
});
