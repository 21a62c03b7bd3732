// Client library for web pages: scans documents through the Skanowanie host.
//
// The page talks to the extension's content script with window.postMessage;
// the extension starts the host by native messaging and relays. A shared
// document arrives from a hidden frame of the extension. A connection
// is one running host: open a scan request, follow its status and progress,
// take the shared PDF as a Blob, end. The first connect() of a site asks the
// person (the extension's own prompt), so it must be called while the page
// handles a click or a key press. Types: skanowanie.d.ts.

const FROM_PAGE = "skanowanie/page";
const TO_PAGE = "skanowanie/extension";

/** Texts of the host's own messages. */
const POL_INIT = "Init_SCAN";
const POL_STATUS = "IFSCANED";
const POL_END = "SCANEDqq";
const POL_SHARED = "Shared_complite";
const KEY_NOTICE = "Nieznane polecenie ";
const KEY_HELLO = "Czesc ";
const TEXT_SCANNED = "Dokument zeskanowany, przygotowuję do wysyłki.";

export const ErrorCode = Object.freeze({
  EXTENSION_MISSING: "EXTENSION_MISSING",
  HOST_MISSING: "HOST_MISSING",
  HOST_FAILED: "HOST_FAILED",
  CLOSED: "CLOSED",
  TIMEOUT: "TIMEOUT",
  NO_DOCUMENT: "NO_DOCUMENT",
  NOT_ALLOWED: "NOT_ALLOWED",
  PERMISSION_DENIED: "PERMISSION_DENIED",
  BUSY: "BUSY",
  RATE_LIMITED: "RATE_LIMITED",
  INVALID_ARGUMENT: "INVALID_ARGUMENT",
  HOST_FORBIDDEN: "HOST_FORBIDDEN",
});

export class SkanowanieError extends Error {
  constructor(code, message) {
    super(message);
    this.name = "SkanowanieError";
    this.code = code;
  }
}

const MESSAGES = {
  EXTENSION_MISSING:
    "The Skanowanie browser extension is not installed or not enabled for this page. " +
    "Install the extension, then reload the page.",
  // Firefox says the same when the host's installation lists other
  // extensions than this one, so the text names both.
  HOST_MISSING:
    "The Skanowanie program is not installed on this computer (the browser found no native " +
    "messaging host pl.skanowanie.host), or its installation does not accept this copy of the " +
    "browser extension. Run the Skanowanie installer, then try again.",
  HOST_FAILED:
    "The Skanowanie program ended before it answered. It may not be installed, or it could " +
    "not start",
  HOST_FORBIDDEN:
    "The Skanowanie program is installed but does not accept this copy of the browser extension " +
    "(its installation lists other extension ids). Install the extension from the store the " +
    "Skanowanie installer names, or reinstall the program.",
};

// What the browser says when a native messaging host exists but does not
// list the extension (Chromium; Firefox names the permission).
const FORBIDDEN_PATTERN = /forbidden|does not have permission|not allowed/i;
const MISSING_PATTERN = /not found|no such native application/i;

// Unguessable ids: a document is accepted only for the id the page asked with.
function newId(prefix) {
  return `${prefix}-${Array.from(crypto.getRandomValues(new Uint32Array(4)), (n) => n.toString(36)).join("")}`;
}

// Posts to this window itself. A sandboxed page has an opaque origin
// (window.origin "null", whatever its address says), which only "*" reaches.
function post(message) {
  window.postMessage({ channel: FROM_PAGE, ...message }, window.origin === "null" ? "*" : window.origin);
}

function invalid(text) {
  return new SkanowanieError(ErrorCode.INVALID_ARGUMENT, text);
}

/**
 * Listens to the extension's messages; returns a function that stops
 * listening. The content script posts from this window itself; a document
 * comes from the extension's hidden frame, and is taken only for a request
 * whose id the frame was given.
 */
function listen(handler) {
  const listener = (event) => {
    const message = event.data;
    if (!message || message.channel !== TO_PAGE) return;
    if (event.source !== window && message.type !== "document" && message.type !== "document-error") return;
    handler(message);
  };
  window.addEventListener("message", listener);
  return () => window.removeEventListener("message", listener);
}

function withTimeout(promise, ms, what) {
  if (!(ms > 0) || ms === Infinity) return promise;
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new SkanowanieError(ErrorCode.TIMEOUT, `${what}: no answer within ${ms} ms.`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

/**
 * Resolves to the extension's version when the extension is there, to null
 * when it does not answer within timeoutMs.
 */
export function extensionVersion({ timeoutMs = 1500 } = {}) {
  return new Promise((resolve) => {
    const nonce = newId("ping");
    const stop = listen((message) => {
      if (message.type !== "pong") return;
      stop();
      clearTimeout(timer);
      resolve(String(message.version ?? ""));
    });
    const timer = setTimeout(() => {
      stop();
      resolve(null);
    }, timeoutMs);
    post({ type: "ping", nonce });
  });
}

function classify(message) {
  if (!message || typeof message !== "object") return { kind: "other" };
  if (message.POL === POL_INIT) return { kind: "reply", command: "Init_SCAN", value: String(message.Initscan_id ?? "") };
  if (message.POL === POL_STATUS) return { kind: "reply", command: "IFSCANED", value: String(message.SCANED ?? "") };
  if (message.POL === POL_END) return { kind: "reply", command: "END", value: String(message.SCANED ?? "") };
  if (message.POL === POL_SHARED) return { kind: "shared", port: Number(message.port), filename: String(message.filename ?? "") };
  if (message[KEY_NOTICE] === TEXT_SCANNED) return { kind: "progress", number: 5, text: TEXT_SCANNED };
  if (KEY_HELLO in message) return { kind: "progress", number: 6, text: String(message[KEY_HELLO]) };
  if (KEY_NOTICE in message) return { kind: "unknown-command", text: String(message[KEY_NOTICE]) };
  return { kind: "other" };
}

/** One running host, reached through the extension. */
export class Connection {
  constructor(id, options) {
    this.id = id;
    this.replyTimeoutMs = options.replyTimeoutMs ?? 120000;
    this.status = null;
    this.scanId = null;
    this.share = null;
    this.isClosed = false;
    this.closeReason = null;
    this._pending = [];
    this._opened = null;
    this._documents = new Map();
    this._listeners = new Map();
    this._shareWaiters = [];
    this._stop = listen((message) => {
      if (message.connection === this.id) this._receive(message);
    });
    this.closed = new Promise((resolve) => (this._resolveClosed = resolve));
  }

  /** Adds a listener; returns a function that removes it. */
  on(type, listener) {
    if (!this._listeners.has(type)) this._listeners.set(type, new Set());
    this._listeners.get(type).add(listener);
    return () => this._listeners.get(type)?.delete(listener);
  }

  _emit(type, detail) {
    for (const listener of this._listeners.get(type) ?? []) {
      try {
        listener(detail);
      } catch (e) {
        setTimeout(() => {
          throw e;
        });
      }
    }
  }

  _receive(message) {
    switch (message.type) {
      case "opened":
      case "refused":
        this._opened?.(message);
        break;
      case "error": {
        // A message the extension refused: the call that sent it fails at once.
        const error = new SkanowanieError(message.code || ErrorCode.INVALID_ARGUMENT, String(message.error ?? ""));
        const i = this._pending.findIndex((p) => p.id === message.id);
        const document = this._documents.get(message.id);
        if (i >= 0) this._pending.splice(i, 1)[0].reject(error);
        else if (document) {
          this._documents.delete(message.id);
          document.reject(error);
        } else if (!message.id) this._opened?.({ type: "refused", code: error.code, error: error.message });
        break;
      }
      case "host":
        this._fromHost(message.message);
        break;
      case "host-gone":
        this._close(message.error || "");
        break;
      case "closed":
        this._close(this.closeReason ?? "");
        break;
      case "document":
      case "document-error": {
        const waiter = this._documents.get(message.id);
        if (!waiter) break;
        this._documents.delete(message.id);
        if (message.type === "document-error") {
          waiter.reject(new SkanowanieError(ErrorCode.NO_DOCUMENT, message.error));
        } else {
          waiter.resolve({ blob: message.blob, contentType: message.contentType });
        }
        break;
      }
    }
  }

  _fromHost(message) {
    this._emit("message", message);
    const what = classify(message);
    if (what.kind === "reply") {
      if (what.command === "IFSCANED") {
        this.status = what.value;
        this._emit("status", what.value);
      } else if (what.command === "Init_SCAN") {
        this.scanId = what.value;
      }
      const i = this._pending.findIndex((p) => p.command === what.command);
      if (i >= 0) this._pending.splice(i, 1)[0].resolve(what.value);
    } else if (what.kind === "progress") {
      this._emit("progress", { number: what.number, text: what.text });
    } else if (what.kind === "shared") {
      this.share = { port: what.port, filename: what.filename };
      this._emit("shared", this.share);
      for (const waiter of this._shareWaiters.splice(0)) waiter.resolve(this.share);
    }
  }

  _close(reason) {
    if (this.isClosed) return;
    this.isClosed = true;
    this.closeReason = reason;
    this._stop();
    const error = () => new SkanowanieError(ErrorCode.CLOSED, `The connection to the host has closed${reason ? `: ${reason}` : "."}`);
    for (const p of this._pending.splice(0)) p.reject(error());
    for (const w of this._shareWaiters.splice(0)) w.reject(error());
    for (const w of this._documents.values()) w.reject(error());
    this._documents.clear();
    this._emit("close", { reason });
    this._resolveClosed({ reason });
  }

  _command(command, body, timeoutMs) {
    if (this.isClosed) return Promise.reject(new SkanowanieError(ErrorCode.CLOSED, "The connection to the host has closed."));
    const entry = { id: newId("cmd") };
    const reply = new Promise((resolve, reject) => Object.assign(entry, { command, resolve, reject }));
    this._pending.push(entry);
    post({ type: "send", connection: this.id, id: entry.id, message: body });
    return withTimeout(reply, timeoutMs ?? this.replyTimeoutMs, command).catch((e) => {
      const i = this._pending.indexOf(entry);
      if (i >= 0) this._pending.splice(i, 1);
      throw e;
    });
  }

  /** Opens a new scan request (Init_SCAN); resolves to its identifier. */
  openScanRequest({ email = "", serialnumber = "" } = {}, { timeoutMs } = {}) {
    if (typeof email !== "string") return Promise.reject(invalid("email must be a string."));
    if (typeof serialnumber !== "string") return Promise.reject(invalid("serialnumber must be a string."));
    this.share = null;
    return this._command("Init_SCAN", { POL: "Init_SCAN", email, serialnumber }, timeoutMs);
  }

  /** Asks for the status (IFSCANED); resolves to its text, e.g. "Redy_SCAN". */
  readStatus({ timeoutMs } = {}) {
    return this._command("IFSCANED", { POL: "IFSCANED" }, timeoutMs);
  }

  /** Polls the status until it equals `status`. */
  async waitForStatus(status, { intervalMs = 1000, timeoutMs = 0 } = {}) {
    const deadline = timeoutMs > 0 ? Date.now() + timeoutMs : Infinity;
    for (;;) {
      if ((await this.readStatus()) === status) return status;
      if (Date.now() + intervalMs > deadline) {
        throw new SkanowanieError(ErrorCode.TIMEOUT, `The status did not become ${status} within ${timeoutMs} ms.`);
      }
      await new Promise((resolve) => setTimeout(resolve, intervalMs));
    }
  }

  /** Resolves when the user has pressed "Confirm and send" in the host. */
  waitForShare({ timeoutMs = 0 } = {}) {
    if (this.share) return Promise.resolve(this.share);
    if (this.isClosed) return Promise.reject(new SkanowanieError(ErrorCode.CLOSED, "The connection to the host has closed."));
    const waiter = {};
    const shared = new Promise((resolve, reject) => Object.assign(waiter, { resolve, reject }));
    this._shareWaiters.push(waiter);
    return withTimeout(shared, timeoutMs, "Waiting for the shared document");
  }

  /** The shared document as a Blob (the extension fetches it from the host). */
  async getPdf({ timeoutMs = 120000 } = {}) {
    if (!this.share) throw new SkanowanieError(ErrorCode.NO_DOCUMENT, "The host has not shared a document yet.");
    if (this.isClosed) throw new SkanowanieError(ErrorCode.CLOSED, "The connection to the host has closed.");
    const id = newId("doc");
    const fetched = new Promise((resolve, reject) => this._documents.set(id, { resolve, reject }));
    post({ type: "fetch-document", connection: this.id, id });
    const { blob, contentType } = await withTimeout(fetched, timeoutMs, "Fetching the document").finally(() =>
      this._documents.delete(id),
    );
    const type = String(contentType ?? "").split(";")[0].trim().toLowerCase();
    if (type !== "application/pdf") {
      throw new SkanowanieError(ErrorCode.NO_DOCUMENT, `The host served no PDF (${type || "no content type"}).`);
    }
    return new Blob([blob], { type: "application/pdf" });
  }

  /** Ends the host (END); resolves to its farewell text once it has gone. */
  async end({ timeoutMs } = {}) {
    const farewell = await this._command("END", { POL: "END" }, timeoutMs);
    await withTimeout(this.closed, 10000, "Waiting for the host to exit").catch(() => this.close());
    return farewell;
  }

  /** Drops the connection; the host ends because its input closes. */
  close() {
    if (this.isClosed) return;
    post({ type: "close", connection: this.id });
    this._close("closed by the page");
  }
}

// The extension answers an open at once, or when the person has answered
// its prompt, which closes itself after two minutes.
const OPEN_TIMEOUT_MS = 180000;

/**
 * Starts a host through the extension and waits for its first answer. Call
 * it while the page handles a click or a key press: the first time, the
 * extension asks the person whether this site may use the scanner.
 * Rejects with EXTENSION_MISSING, NOT_ALLOWED, PERMISSION_DENIED, BUSY,
 * RATE_LIMITED, HOST_MISSING, HOST_FORBIDDEN, HOST_FAILED or TIMEOUT.
 */
export async function connect({ extensionTimeoutMs = 1500, startTimeoutMs = 60000, replyTimeoutMs } = {}) {
  // Transient activation lasts a few seconds; the extension's answer to a
  // ping comes at once, so this wait does not use it up.
  if ((await extensionVersion({ timeoutMs: extensionTimeoutMs })) === null) {
    throw new SkanowanieError(ErrorCode.EXTENSION_MISSING, MESSAGES.EXTENSION_MISSING);
  }
  const connection = new Connection(newId("conn"), { replyTimeoutMs });
  const opened = new Promise((resolve) => (connection._opened = resolve));
  post({ type: "open", connection: connection.id });
  const answer = await withTimeout(Promise.race([opened, connection.closed.then(() => ({ type: "closed" }))]),
    OPEN_TIMEOUT_MS, "Waiting for the extension").catch((e) => {
    connection.close();
    throw e;
  });
  connection._opened = null;
  if (answer.type !== "opened") {
    connection.close();
    if (answer.type === "refused") throw new SkanowanieError(answer.code, String(answer.error ?? ""));
    throw new SkanowanieError(ErrorCode.CLOSED, "The extension closed the connection.");
  }
  try {
    await connection.readStatus({ timeoutMs: startTimeoutMs });
  } catch (e) {
    connection.close();
    if (e.code !== ErrorCode.CLOSED) throw e;
    const reason = connection.closeReason ?? "";
    if (FORBIDDEN_PATTERN.test(reason)) throw new SkanowanieError(ErrorCode.HOST_FORBIDDEN, MESSAGES.HOST_FORBIDDEN);
    if (MISSING_PATTERN.test(reason)) throw new SkanowanieError(ErrorCode.HOST_MISSING, MESSAGES.HOST_MISSING);
    throw new SkanowanieError(ErrorCode.HOST_FAILED, `${MESSAGES.HOST_FAILED}${reason ? ` (${reason})` : ""}.`);
  }
  return connection;
}
