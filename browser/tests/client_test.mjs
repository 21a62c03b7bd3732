// The client library in Node, against a simulated extension and host: how
// replies, refusals, events and waits become results and errors. The real
// extension and browsers are the browser tests' part.
import assert from "node:assert/strict";
import test from "node:test";

const TO_PAGE = "skanowanie/extension";
const listeners = new Set();
let host = () => {};  // answers a command: (command, reply) => void
const sent = [];  // every command the page sent, in order

function toPage(message) {
  const event = { data: { channel: TO_PAGE, ...message }, source: globalThis.window };
  setTimeout(() => listeners.forEach((listener) => listener(event)));
}

globalThis.window = {
  origin: "https://app.example",
  addEventListener: (type, listener) => listeners.add(listener),
  removeEventListener: (type, listener) => listeners.delete(listener),
  // The extension: answers a ping, opens every connection, relays commands.
  postMessage(message) {
    if (message.channel !== "skanowanie/page") return;
    if (message.type === "ping") toPage({ type: "pong", version: "1.0.0" });
    if (message.type === "open") toPage({ connection: message.connection, type: "opened" });
    if (message.type === "send") {
      sent.push(message.message);
      const reply = (body, delayMs = 0) =>
        setTimeout(() => toPage({ connection: message.connection, type: "host", message: body }), delayMs);
      if (message.message.POL === "IFSCANED" && sent.length === 1) reply({ POL: "IFSCANED", SCANED: "" });
      else host(message.message, reply);
    }
  },
};

const { connect, ErrorCode } = await import("../client/skanowanie.js");

async function connection(options) {
  sent.length = 0;
  host = () => {};
  return connect(options);
}

const event = (members) => ({ POL: "Event", ...members });
const outcome = (promise) => promise.then((ok) => ({ ok }), (e) => ({ code: e.code, message: e.message, e }));

test("a reply that comes after its call gave up does not answer the next call", async () => {
  const c = await connection();
  let n = 0;
  // The host answers in order: the first answer late, the second after it.
  host = (command, reply) => reply({ POL: "IFSCANED", SCANED: ++n === 1 ? "Init_SCAN" : "Redy_SCAN" }, n === 1 ? 100 : 120);
  assert.equal((await outcome(c.readStatus({ timeoutMs: 20 }))).code, ErrorCode.TIMEOUT);
  assert.equal(await c.readStatus(), "Redy_SCAN");
});

test("the host's refusals become errors with their details", async () => {
  const c = await connection({ events: true });
  const refusals = [
    [{ POL: "Init_SCAN", Initscan_id: "",
       error: { code: "UNSUPPORTED_SETTING", setting: "resolution", offered: [100, 200, 300] } },
     () => c.openScanRequest({ scan: { resolution: 2400 } }),
     { code: "UNSUPPORTED_SETTING", setting: "resolution", offered: [100, 200, 300], text: /offers 100, 200, 300/ }],
    [{ POL: "Init_SCAN", Initscan_id: "",
       error: { code: "UNSUPPORTED_SETTING", setting: "resolution", offered: { min: 50, max: 600, step: 1 },
                message: "Skaner nie obsługuje 2400 dpi." } },
     () => c.openScanRequest({ scan: { resolution: 2400 } }),
     { code: "UNSUPPORTED_SETTING", setting: "resolution", offered: { min: 50, max: 600, step: 1 },
       text: /^Skaner nie obsługuje 2400 dpi\.$/ }],
    [{ POL: "Start_SCAN", error: { code: "NO_REQUEST" } }, () => c.startScan(), { code: "NO_REQUEST", text: /open one/ }],
    [{ POL: "Caps_SCANNER", scanner: "x", error: { code: "NO_SCANNER", message: "Nie ma skanera x." } },
     () => c.scannerCapabilities("x"), { code: "NO_SCANNER", text: /Nie ma skanera x/ }],
    [{ POL: "Init_SCAN", Initscan_id: "", error: { code: "INVALID_ARGUMENT", field: "languages" } },
     () => c.openScanRequest({ languages: "xx" }), { code: "INVALID_ARGUMENT", field: "languages", text: /refused/ }],
    // A host older than the call answers it as an unknown command.
    [{ "Nieznane polecenie ": "List_SCANNERS" }, () => c.listScanners(), { code: "NOT_SUPPORTED", text: /too old/ }],
  ];
  for (const [answer, call, expected] of refusals) {
    host = (command, reply) => reply(answer);
    const { code, message, e } = await outcome(call());
    assert.equal(code, expected.code, JSON.stringify(answer));
    assert.match(message, expected.text);
    for (const key of ["setting", "offered", "field"]) assert.deepEqual(e[key], expected[key], key);
  }
  assert.equal(c.scanId, null, "a refused request is no request");
});

test("a batch: pages in order, the end with its document, and each way it ends otherwise", async () => {
  const c = await connection({ events: true });
  const seen = [];
  c.on("status", (s) => seen.push(`status ${s.state} ${s.raw}`));
  c.on("page", (p) => seen.push(`page ${p.page} ${p.thumbnail?.slice(0, 22)} ${p.thumbnailBlob?.type}`));
  c.on("scanned", (s) => seen.push(`scanned ${s.outcome}`));
  const document = `d${"ab".repeat(16)}`;
  const batches = [
    [[event({ event: "page", page: 1, thumbnail: "/9j/AA==" }), event({ event: "page", page: 2, thumbnail: "/9j/AA==" }),
      event({ event: "status", status: "Redy_SCAN" }), event({ event: "scanned", pages: 2, outcome: "done", document })],
     { ok: { pages: 2, outcome: "done", document } }],
    [[event({ event: "scanned", pages: 1, outcome: "cancelled" })], { code: "USER_CANCELLED" }],
    [[event({ event: "scanned", pages: 0, outcome: "failed", reason: "paper jam" })],
     { code: "SCAN_FAILED", message: "The scan failed: paper jam." }],
  ];
  for (const [events, expected] of batches) {
    host = (command, reply) => {
      reply({ POL: "Start_SCAN", started: true });
      // The batch begins before the start's reply has reached the page.
      reply(event({ event: "status", status: "Begin_SCAN" }));
      events.forEach((e) => reply(e, 5));
    };
    const result = await outcome(c.startScan());
    for (const [key, value] of Object.entries(expected)) assert.deepEqual(result[key], value);
  }
  assert.deepEqual(seen.slice(0, 5), ["status scanning Begin_SCAN", "page 1 data:image/jpeg;base64 image/jpeg",
    "page 2 data:image/jpeg;base64 image/jpeg", "status ready Redy_SCAN", "scanned done"]);
  assert.equal(c.document, document);
});

test("aborting a scan's wait cancels the batch", async () => {
  const c = await connection({ events: true });
  host = (command, reply) => reply({ POL: command.POL, ...(command.POL === "Start_SCAN" ? { started: true } : { cancelled: true }) });
  const controller = new AbortController();
  const scan = outcome(c.startScan({ signal: controller.signal }));
  await new Promise((resolve) => setTimeout(resolve, 20));
  controller.abort();
  assert.equal((await scan).code, ErrorCode.ABORTED);
  await new Promise((resolve) => setTimeout(resolve, 20));
  assert.deepEqual(sent.slice(1).map((m) => m.POL), ["Start_SCAN", "Cancel_SCAN"]);
});

test("a connection without events keeps today's status events and has no startScan", async () => {
  const c = await connection();
  const statuses = [];
  c.on("status", (s) => statuses.push(s));
  host = (command, reply) => reply({ POL: "IFSCANED", SCANED: "Begin_SCAN" });
  await c.readStatus();
  await c.readStatus();
  assert.deepEqual(statuses, ["Begin_SCAN", "Begin_SCAN"], "each answer, as text");
  assert.equal((await outcome(c.startScan())).code, ErrorCode.INVALID_ARGUMENT);
  assert.deepEqual(sent.map((m) => m.POL), ["IFSCANED", "IFSCANED", "IFSCANED"], "nothing sent for startScan");
});
