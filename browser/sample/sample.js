// Sample page: one whole scan request through the Skanowanie client library.
import { connect, ErrorCode } from "../client/skanowanie.js";

const $ = (id) => document.getElementById(id);
let connection = null;
let cancelled = false;

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
};

function problem(error) {
  const [title, advice] = ADVICE[error.code] ?? ["Scanning failed", "Press Start scanning to try again."];
  const box = $("problem");
  box.replaceChildren();
  const heading = document.createElement("h2");
  heading.textContent = title;
  const detail = document.createElement("p");
  detail.textContent = `${advice} (${error.message})`;
  box.append(heading, detail);
  box.hidden = false;
  document.body.dataset.error = error.code ?? "ERROR";
}

function showPdf(blob) {
  const frame = $("preview");
  if (frame.src) URL.revokeObjectURL(frame.src);
  frame.src = URL.createObjectURL(blob);
  frame.hidden = false;
  $("document").textContent = `${blob.size.toLocaleString()} bytes, ${blob.type}`;
}

// Shows the host's status once a second until the document is shared.
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

async function scan(event) {
  event.preventDefault();
  $("problem").hidden = true;
  delete document.body.dataset.error;
  $("start").disabled = true;
  cancelled = false;
  try {
    phase("connecting", "starting the Skanowanie program");
    connection = await connect();
    const conn = connection;
    $("cancel").disabled = false;
    conn.on("message", (m) => console.debug("host:", JSON.stringify(m)));
    conn.on("progress", (p) => note(p.number === 5 ? p.text : "The document is being assembled."));
    conn.on("shared", (s) => note(`The document is shared (port ${s.port}).`));
    conn.on("close", ({ reason }) => {
      // After END the browser's text ("host has exited") says nothing new.
      const expected = ["received", "done"].includes(document.body.dataset.phase);
      note(`The Skanowanie program has ended${reason && !expected ? `: ${reason}` : "."}`);
    });

    $("scan-id").textContent = await conn.openScanRequest({ email: $("email").value, serialnumber: $("serial").value });
    phase("scanning", 'In the Skanowanie window: "Scan to PDF", then "Confirm and send"');
    followStatus(conn);
    await conn.waitForShare();

    phase("receiving", "receiving the document");
    showPdf(await conn.getPdf());
    phase("received", "document received");
    await conn.end();
    phase("done", "done: the document is below");
  } catch (error) {
    connection?.close();
    if (cancelled) {
      phase("idle", "cancelled");
    } else {
      phase("error", "stopped");
      problem(error);
    }
  } finally {
    connection = null;
    $("start").disabled = false;
    $("cancel").disabled = true;
  }
}

$("request").addEventListener("submit", scan);
$("cancel").addEventListener("click", () => {
  cancelled = true;
  connection?.close();
});
