// Sample page: one whole scan request through the Skanowanie client library:
// in the Skanowanie window (the default), or with the scanner and settings
// chosen on this page, pages shown as they are scanned, and Cancel.
import { connect, ErrorCode } from "../client/skanowanie.js";

const $ = (id) => document.getElementById(id);
let connection = null;
let cancelled = false;
let scanning = false;  // a batch started from this page is under way

function phase(name, step) {
  document.body.dataset.phase = name;
  if (step) $("step").textContent = step;
}

function note(text) {
  const item = document.createElement("li");
  item.textContent = `${new Date().toLocaleTimeString()} ${text}`;
  $("events").append(item);
  item.scrollIntoView({ block: "nearest" });
}

// What the person at the desk can do about each failure.
const ADVICE = {
  [ErrorCode.EXTENSION_MISSING]: [
    "The Skanowanie extension is missing",
    "Install the Skanowanie extension in this browser (or enable it for this site), then reload this page.",
  ],
  [ErrorCode.HOST_MISSING]: [
    "The Skanowanie program is not installed",
    "Download and run the Skanowanie installer (no administrator rights needed), then press Start scanning again.",
  ],
  [ErrorCode.HOST_FAILED]: [
    "The Skanowanie program did not start",
    "Reinstall the Skanowanie program, then press Start scanning again.",
  ],
  [ErrorCode.HOST_FORBIDDEN]: [
    "The Skanowanie program does not accept this extension",
    "Install the Skanowanie extension from the store your Skanowanie installer names, or reinstall the program.",
  ],
  [ErrorCode.NOT_ALLOWED]: [
    "This page may not use the scanner",
    "Press Start scanning yourself (the scanner starts only on a click), from the site's own page.",
  ],
  [ErrorCode.PERMISSION_DENIED]: [
    "The scanner is not allowed for this site",
    "To allow it, remove this site from the blocked sites in the Skanowanie extension's options, then press Start scanning again.",
  ],
  [ErrorCode.BUSY]: [
    "The scanner is already in use in this tab",
    "Finish or cancel the scan that is running, then press Start scanning again.",
  ],
  [ErrorCode.RATE_LIMITED]: [
    "The scanner was started too often",
    "Wait a minute, then press Start scanning again.",
  ],
  [ErrorCode.CLOSED]: [
    "The Skanowanie window was closed",
    "The document was not sent. Press Start scanning to begin again.",
  ],
  [ErrorCode.NO_SCANNER]: [
    "The scanner is not there",
    "Check that the scanner is switched on and connected, press Find scanners and choose it again.",
  ],
  [ErrorCode.SCANNER_BUSY]: [
    "The scanner is busy",
    "Wait until the scanner has finished, or press Cancel, then press Start scanning again.",
  ],
  [ErrorCode.UNSUPPORTED_SETTING]: [
    "The scanner does not support a setting",
    "Choose another value, then press Start scanning again.",
  ],
  [ErrorCode.SCAN_FAILED]: [
    "The scanner stopped",
    "Check the scanner (paper jam, cover open), then press Start scanning again.",
  ],
  [ErrorCode.TIMEOUT]: [
    "Nothing happened for too long",
    "Press Start scanning to begin again.",
  ],
};

function problem(error) {
  const [title, advice] = ADVICE[error.code] ?? ["Scanning failed", "Press Start scanning to try again."];
  const box = $("problem");
  box.replaceChildren();
  const heading = document.createElement("h2");
  heading.textContent = title;
  const detail = document.createElement("p");
  const offered = Array.isArray(error.offered) ? error.offered.join(", ")
    : error.offered ? `${error.offered.min} to ${error.offered.max}` : "";
  detail.textContent = `${advice} (${error.message}${offered ? `; the scanner offers: ${offered}` : ""})`;
  box.append(heading, detail);
  box.hidden = false;
  document.body.dataset.error = error.code ?? "ERROR";
}

// What the person asked of the document, in words, for its line on the page.
function documentKind(request) {
  const chosen = (id) => $(id).selectedOptions[0]?.textContent.replace(/ \(.*\)$/, "") ?? "";
  const text = request.languages ? `text in ${chosen("languages")}` : "no text layer";
  return `${chosen("compression")} images, ${text}`;
}

function showPdf(blob, kind) {
  const frame = $("preview");
  if (frame.src) URL.revokeObjectURL(frame.src);
  frame.src = URL.createObjectURL(blob);
  frame.hidden = false;
  $("document").textContent = `${blob.size.toLocaleString()} bytes, ${blob.type}; ${kind}`;
}

function showPage(page) {
  const item = document.createElement("li");
  item.dataset.page = String(page.page);
  const image = document.createElement("img");
  image.alt = `Page ${page.page}`;
  if (page.thumbnail) image.src = page.thumbnail;
  const label = document.createElement("span");
  label.textContent = `page ${page.page}: ${page.pixelWidth} × ${page.pixelHeight}, ${page.dpi} dpi, ${page.colour}`;
  item.append(image, label);
  $("pages").append(item);
  $("page-count").textContent = String(page.page);
}

// Shows the host's status until the document is shared: from the host's
// events, and once a second from its answer (a host without events).
async function followStatus(conn) {
  while (!conn.isClosed && !conn.share) {
    try {
      $("status").textContent = await conn.readStatus();
    } catch {
      return;
    }
    await new Promise((resolve) => setTimeout(resolve, 1000));
  }
}

function option(select, value, text) {
  const item = document.createElement("option");
  item.value = String(value);
  item.textContent = text;
  select.append(item);
}

// Connects once (the first time the extension asks the person) and keeps
// the connection for later requests of this page.
async function connected() {
  if (connection && !connection.isClosed) return connection;
  phase("connecting", "starting the Skanowanie program");
  const conn = await connect({ events: true });
  connection = conn;
  conn.on("message", (m) => console.debug("host:", JSON.stringify(m)));
  conn.on("status", ({ raw, state }) => {
    $("status").textContent = raw;
    $("status").title = state;
  });
  conn.on("page", showPage);
  conn.on("scanned", (s) => note(s.outcome === "done" ? `Scanned ${s.pages} page(s).`
    : `The scan ended (${s.outcome})${s.reason ? `: ${s.reason}` : ""}.`));
  conn.on("progress", (p) => note(p.number === 5 ? p.text : "The document is being assembled."));
  conn.on("shared", (s) => note(`The document is shared (port ${s.port}).`));
  conn.on("close", ({ reason }) => {
    // After END the browser's text ("host has exited") says nothing new.
    const expected = ["received", "done"].includes(document.body.dataset.phase);
    note(`The Skanowanie program has ended${reason && !expected ? `: ${reason}` : "."}`);
  });
  return conn;
}

// Fills the scanner list; the settings follow the scanner chosen.
async function findScanners() {
  $("problem").hidden = true;
  delete document.body.dataset.error;
  try {
    const conn = await connected();
    const select = $("scanner");
    select.length = 1;
    const scanners = await conn.listScanners();
    for (const s of scanners) option(select, s.id, `${s.name}${s.manufacturer ? ` (${s.manufacturer})` : ""}`);
    const chosen = scanners.find((s) => s.isDefault) ?? scanners[0];
    if (chosen) select.value = chosen.id;
    await scannerChosen();
    phase("idle", scanners.length ? `${scanners.length} scanner(s) found` : "no scanner found");
  } catch (error) {
    phase("error", "stopped");
    problem(error);
  }
}

// Offers the resolutions the chosen scanner has.
async function scannerChosen() {
  const id = $("scanner").value;
  $("settings").disabled = !id;
  const select = $("resolution");
  select.length = 1;
  if (!id || !connection) return;
  const offer = (await connection.scannerCapabilities(id)).resolution;
  if (!offer || offer === "UNSUPPORTED") return;
  const values = offer.values ?? [100, 150, 200, 300, 600].filter((v) => v >= offer.min && v <= offer.max);
  for (const value of values) option(select, value, `${value} dpi`);
  if (offer.current !== undefined) select.value = String(offer.current);
}

function chosenSettings() {
  // Only what the person chose: a scanner without duplex need not hear of it.
  const scan = { scanner: $("scanner").value, maxPages: Number($("max-pages").value) || 50 };
  if ($("duplex").checked) scan.duplex = true;
  if ($("show-ui").checked) scan.showScannerUI = true;
  if ($("resolution").value) scan.resolution = Number($("resolution").value);
  if ($("colour").value) scan.colour = $("colour").value;
  if ($("source").value !== "auto") scan.source = $("source").value;
  return scan;
}

async function scan(event) {
  event.preventDefault();
  $("problem").hidden = true;
  delete document.body.dataset.error;
  $("start").disabled = true;
  $("find").disabled = true;
  cancelled = false;
  $("pages").replaceChildren();
  $("page-count").textContent = "–";
  try {
    const conn = await connected();
    $("cancel").disabled = false;
    const byPage = Boolean($("scanner").value);
    // The recognised text's languages ("" for none) and the image encoding
    // go with every request, whoever chooses the scanner.
    const request = {
      email: $("email").value,
      serialnumber: $("serial").value,
      languages: $("languages").value,
      compression: $("compression").value,
    };
    const kind = documentKind(request);
    if (byPage) request.scan = chosenSettings();
    $("scan-id").textContent = await conn.openScanRequest(request);
    let documentId;
    if (byPage) {
      phase("scanning", "scanning");
      scanning = true;
      ({ document: documentId } = await conn.startScan().finally(() => (scanning = false)));
      phase("scanning", 'In the Skanowanie window: check the pages, then "Confirm and send"');
    } else {
      phase("scanning", 'In the Skanowanie window: "Scan to PDF", then "Confirm and send"');
    }
    followStatus(conn);
    await conn.waitForShare();

    phase("receiving", "receiving the document");
    // The document scanned from this page, exactly: a later scan in the
    // window before "Confirm and send" gives NO_DOCUMENT.
    showPdf(await conn.getPdf(documentId ? { document: documentId } : {}), kind);
    phase("received", "document received");
    await conn.end();
    phase("done", "done: the document is below");
  } catch (error) {
    if (cancelled || error.code === ErrorCode.USER_CANCELLED) {
      phase("idle", "cancelled");
    } else {
      phase("error", "stopped");
      problem(error);
    }
    // A refused setting or a cancelled batch leaves the connection usable.
    if (![ErrorCode.UNSUPPORTED_SETTING, ErrorCode.USER_CANCELLED, ErrorCode.NO_SCANNER].includes(error.code)) {
      connection?.close();
    }
  } finally {
    if (connection?.isClosed) connection = null;
    $("start").disabled = false;
    $("find").disabled = false;
    $("cancel").disabled = true;
  }
}

$("request").addEventListener("submit", scan);
$("find").addEventListener("click", findScanners);
$("scanner").addEventListener("change", () => scannerChosen().catch(problem));
$("cancel").addEventListener("click", () => {
  cancelled = true;
  // A batch of this page stops at the scanner; otherwise the request ends.
  if (scanning) connection?.cancelScan().catch(() => connection?.close());
  else connection?.close();
});
