// Client library for web pages: scans documents through the Skanowanie host.
//
// The page talks to the extension's content script with window.postMessage;
// the extension starts the host by native messaging and relays. A shared
// document arrives from a hidden frame of the extension. A connection
// is one running host: open a scan request, follow its status and progress,
// take the shared PDF as a Blob, end. With connect({events: true}) the page
// also drives the scan: it lists the scanners, asks what one offers, opens a
// request with its settings, starts and cancels the batch, and follows it
// page by page from the host's pushed events. The first connect() of a site
// asks the person (the extension's own prompt), so it must be called while
// the page handles a click or a key press. Every call that waits takes an
// AbortSignal and has a time limit. Types: skanowanie.d.ts.

const FROM_PAGE = "skanowanie/page";
const TO_PAGE = "skanowanie/extension";

/** Texts of the host's own messages. */
const POL_INIT = "Init_SCAN";
const POL_STATUS = "IFSCANED";
const POL_END = "SCANEDqq";
const POL_SHARED = "Shared_complite";
const POL_EVENT = "Event";
/** The scanner commands: each reply has the command's own name. */
const SCANNER_COMMANDS = ["List_SCANNERS", "Caps_SCANNER", "Start_SCAN", "Cancel_SCAN"];
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
  NO_SCANNER: "NO_SCANNER",
  SCANNER_BUSY: "SCANNER_BUSY",
  UNSUPPORTED_SETTING: "UNSUPPORTED_SETTING",
  USER_CANCELLED: "USER_CANCELLED",
  NO_REQUEST: "NO_REQUEST",
  SCAN_FAILED: "SCAN_FAILED",
  ABORTED: "ABORTED",
  NOT_SUPPORTED: "NOT_SUPPORTED",
});

/**
 * How long a call waits unless it says otherwise: a reply of the host, and
 * what waits for the person at the desk or for a batch (a status, the share,
 * a scan). timeoutMs 0 (or Infinity) waits without a limit.
 */
export const DEFAULT_REPLY_TIMEOUT_MS = 120000;
export const DEFAULT_WAIT_TIMEOUT_MS = 30 * 60000;

export class SkanowanieError extends Error {
  constructor(code, message, details = {}, options = undefined) {
    super(message, options);
    this.name = "SkanowanieError";
    this.code = code;
    // What the host adds to some errors: the setting and the values the
    // scanner offers (UNSUPPORTED_SETTING), the field (INVALID_ARGUMENT).
    for (const key of ["setting", "offered", "field", "requested"]) {
      if (details[key] !== undefined) this[key] = details[key];
    }
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
// Texts for the host's error codes, when the host sends none of its own.
const HOST_ERROR_TEXTS = {
  NO_SCANNER: "No such scanner is connected. Check that it is switched on and connected, or choose another one.",
  SCANNER_BUSY: "The scanner is busy with another batch; wait until it ends or cancel it.",
  UNSUPPORTED_SETTING: "The scanner does not support this setting.",
  USER_CANCELLED: "The scan was cancelled.",
  NO_REQUEST: "There is no scan request to scan for; open one first (openScanRequest).",
  INVALID_ARGUMENT: "The Skanowanie program refused a value of this call.",
};

function offeredText(offered) {
  if (Array.isArray(offered)) return offered.join(", ");
  if (offered && typeof offered === "object" && "min" in offered && "max" in offered) {
    return `${offered.min} to ${offered.max}${offered.step > 1 ? ` in steps of ${offered.step}` : ""}`;
  }
  return "";
}

// The error a reply of the host carries, as a SkanowanieError.
function hostError(error) {
  const code = typeof error?.code === "string" && error.code ? error.code : ErrorCode.HOST_FAILED;
  let message = typeof error?.message === "string" && error.message ? error.message : HOST_ERROR_TEXTS[code] ?? "";
  if (code === ErrorCode.UNSUPPORTED_SETTING && error.setting && !(typeof error.message === "string" && error.message)) {
    const offered = offeredText(error.offered);
    message = `The scanner does not support this ${error.setting}${offered ? `; it offers ${offered}` : ""}.`;
  }
  return new SkanowanieError(code, message || `The Skanowanie program refused the call (${code}).`, error ?? {});
}

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

function aborted(signal, what) {
  return new SkanowanieError(ErrorCode.ABORTED, `${what}: stopped by the page.`, {}, { cause: signal.reason });
}

// Waits for `promise` at most `ms` (none when 0 or Infinity) and until
// `signal` aborts; `onStop` runs when either ends the wait first.
function bounded(promise, { ms, signal, what, onStop }) {
  if (signal?.aborted) {
    onStop?.();
    return Promise.reject(aborted(signal, what));
  }
  const limited = ms > 0 && ms !== Infinity;
  if (!limited && !signal) return promise;
  let timer;
  let onAbort;
  const stop = new Promise((_, reject) => {
    if (limited) {
      timer = setTimeout(() => {
        onStop?.();
        reject(new SkanowanieError(ErrorCode.TIMEOUT, `${what}: no answer within ${ms} ms.`));
      }, ms);
    }
    if (signal) {
      onAbort = () => {
        onStop?.();
        reject(aborted(signal, what));
      };
      signal.addEventListener("abort", onAbort, { once: true });
    }
  });
  return Promise.race([promise, stop]).finally(() => {
    clearTimeout(timer);
    if (onAbort) signal.removeEventListener("abort", onAbort);
  });
}

function withTimeout(promise, ms, what) {
  return bounded(promise, { ms, what });
}

function checkSignal(signal) {
  if (signal !== undefined && !(signal instanceof AbortSignal)) throw invalid("signal must be an AbortSignal.");
}

// A pause that ends early when `signal` aborts (the caller checks it).
function pause(ms, signal) {
  return new Promise((resolve) => {
    const timer = setTimeout(done, ms);
    function done() {
      clearTimeout(timer);
      signal?.removeEventListener("abort", done);
      resolve();
    }
    signal?.addEventListener("abort", done, { once: true });
  });
}

/** Readable states of the host's statuses. */
const STATES = {
  "": "idle",
  Init_SCAN: "requested",
  Begin_SCAN: "scanning",
  Prepared_SCAN: "assembling",
  Redy_SCAN: "ready",
  Shared_complite: "shared",
};

export function readableState(raw) {
  return Object.hasOwn(STATES, raw) ? STATES[raw] : "unknown";
}

// A page event's thumbnail: base64 JPEG from the host, as a data URL and
// as a Blob.
function thumbnailOf(base64) {
  if (typeof base64 !== "string" || !base64) return { thumbnail: null, thumbnailBlob: null };
  let blob = null;
  try {
    const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
    blob = new Blob([bytes], { type: "image/jpeg" });
  } catch {
    return { thumbnail: null, thumbnailBlob: null };  // not base64
  }
  return { thumbnail: `data:image/jpeg;base64,${base64}`, thumbnailBlob: blob };
}

const number = (value) => (Number.isFinite(Number(value)) ? Number(value) : null);

// Drops members the page left undefined, which the extension would refuse
// (a structured clone keeps them).
function defined(object) {
  return Object.fromEntries(Object.entries(object).filter(([, value]) => value !== undefined));
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
  if (message.error && typeof message.POL === "string") return { kind: "refusal", command: message.POL, error: message.error };
  if (message.POL === POL_EVENT) return { kind: "event", event: message };
  if (SCANNER_COMMANDS.includes(message.POL)) return { kind: "reply", command: message.POL, value: message };
  if (message.POL === POL_INIT) return { kind: "reply", command: "Init_SCAN", value: String(message.Initscan_id ?? "") };
  if (message.POL === POL_STATUS) return { kind: "reply", command: "IFSCANED", value: String(message.SCANED ?? "") };
  if (message.POL === POL_END) return { kind: "reply", command: "END", value: String(message.SCANED ?? "") };
  if (message.POL === POL_SHARED) {
    const share = { port: Number(message.port), filename: String(message.filename ?? "") };
    if (typeof message.document === "string") share.document = message.document;
    return { kind: "shared", share };
  }
  if (message[KEY_NOTICE] === TEXT_SCANNED) return { kind: "progress", number: 5, text: TEXT_SCANNED };
  if (KEY_HELLO in message) return { kind: "progress", number: 6, text: String(message[KEY_HELLO]) };
  if (KEY_NOTICE in message) return { kind: "unknown-command", text: String(message[KEY_NOTICE]) };
  return { kind: "other" };
}

/** One running host, reached through the extension. */
export class Connection {
  constructor(id, options) {
    this.id = id;
    this.events = options.events === true;
    this.replyTimeoutMs = options.replyTimeoutMs ?? DEFAULT_REPLY_TIMEOUT_MS;
    this.waitTimeoutMs = options.waitTimeoutMs ?? DEFAULT_WAIT_TIMEOUT_MS;
    this.status = null;
    this.state = null;
    this.scanId = null;
    this.share = null;
    this.document = null;
    this.isClosed = false;
    this.closeReason = null;
    this._pending = [];
    this._opened = null;
    this._documents = new Map();
    this._listeners = new Map();
    this._shareWaiters = [];
    this._scanWaiters = [];
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

  // The oldest call waiting for `command`'s reply, taken off the list.
  _takePending(command) {
    const i = this._pending.findIndex((p) => p.command === command);
    return i >= 0 ? this._pending.splice(i, 1)[0] : null;
  }

  _fromHost(message) {
    this._emit("message", message);
    const what = classify(message);
    switch (what.kind) {
      case "reply":
        if (what.command === "IFSCANED") {
          if (this.events) this._setStatus(what.value);
          else {
            this.status = what.value;
            this.state = readableState(what.value);
            this._emit("status", what.value);
          }
        } else if (what.command === "Init_SCAN") {
          this.scanId = what.value;
        }
        this._takePending(what.command)?.resolve(what.value);
        break;
      case "refusal":
        this._takePending(what.command)?.reject(hostError(what.error));
        break;
      case "unknown-command": {
        // A host older than the page's library answers a command it does
        // not know with its name.
        const pending = SCANNER_COMMANDS.includes(what.text) ? this._takePending(what.text) : null;
        pending?.reject(new SkanowanieError(ErrorCode.NOT_SUPPORTED,
          "The Skanowanie program on this computer is too old for this call; install its current version."));
        break;
      }
      case "event":
        this._event(what.event);
        break;
      case "progress":
        this._emit("progress", { number: what.number, text: what.text });
        break;
      case "shared":
        this.share = what.share;
        if (this.events) this._setStatus(POL_SHARED);
        this._emit("shared", this.share);
        for (const waiter of this._shareWaiters.splice(0)) waiter.resolve(this.share);
        break;
    }
  }

  // A status in a connection with events: each change once, from the
  // host's events or from an answer to readStatus.
  _setStatus(raw) {
    if (raw === this.status) return;
    this.status = raw;
    this.state = readableState(raw);
    this._emit("status", { state: this.state, raw });
  }

  _event(event) {
    switch (event.event) {
      case "status":
        this._setStatus(String(event.status ?? ""));
        break;
      case "page":
        this._emit("page", {
          page: number(event.page), pixelWidth: number(event.pixelWidth), pixelHeight: number(event.pixelHeight),
          dpi: number(event.dpi), colour: String(event.colour ?? ""), ...thumbnailOf(event.thumbnail),
        });
        break;
      case "scanned": {
        const outcome = String(event.outcome ?? "");
        const scanned = { pages: number(event.pages) ?? 0, outcome };
        if (typeof event.reason === "string") scanned.reason = event.reason;
        if (typeof event.document === "string") scanned.document = this.document = event.document;
        this._emit("scanned", scanned);
        for (const waiter of this._scanWaiters.splice(0)) {
          if (outcome === "done") waiter.resolve(scanned);
          else if (outcome === "cancelled") {
            waiter.reject(new SkanowanieError(ErrorCode.USER_CANCELLED,
              `The scan was cancelled${scanned.reason ? `: ${scanned.reason}` : ""}.`));
          } else {
            waiter.reject(new SkanowanieError(ErrorCode.SCAN_FAILED,
              `The scan failed${scanned.reason ? `: ${scanned.reason}` : ""}.`));
          }
        }
        break;
      }
    }
  }

  _closedError() {
    const reason = this.closeReason;
    return new SkanowanieError(ErrorCode.CLOSED, `The connection to the host has closed${reason ? `: ${reason}` : "."}`);
  }

  _close(reason) {
    if (this.isClosed) return;
    this.isClosed = true;
    this.closeReason = reason;
    this._stop();
    for (const p of this._pending.splice(0)) p.reject(this._closedError());
    for (const w of this._shareWaiters.splice(0)) w.reject(this._closedError());
    for (const w of this._scanWaiters.splice(0)) w.reject(this._closedError());
    for (const w of this._documents.values()) w.reject(this._closedError());
    this._documents.clear();
    this._emit("close", { reason });
    this._resolveClosed({ reason });
  }

  _command(command, body, { timeoutMs, signal } = {}) {
    if (this.isClosed) return Promise.reject(this._closedError());
    try {
      checkSignal(signal);
    } catch (e) {
      return Promise.reject(e);
    }
    if (signal?.aborted) return Promise.reject(aborted(signal, command));
    const entry = { id: newId("cmd") };
    const reply = new Promise((resolve, reject) => Object.assign(entry, { command, resolve, reject }));
    this._pending.push(entry);
    post({ type: "send", connection: this.id, id: entry.id, message: body });
    // A reply that comes after the caller stopped waiting is dropped, and
    // does not answer a later call of the same command.
    const forget = () => {
      entry.resolve = entry.reject = () => {};
    };
    return bounded(reply, { ms: timeoutMs ?? this.replyTimeoutMs, signal, what: command, onStop: forget });
  }

  _needsEvents(call) {
    if (this.events) return null;
    return invalid(`${call} needs a connection with the host's events: connect({ events: true }).`);
  }

  /**
   * Opens a new scan request (Init_SCAN); resolves to its identifier. With
   * `scan`, the host sets up the scanner at once and refuses settings it
   * does not take (UNSUPPORTED_SETTING) before any page is scanned.
   */
  openScanRequest({ email = "", serialnumber = "", scan, languages, compression } = {}, { timeoutMs, signal } = {}) {
    if (typeof email !== "string") return Promise.reject(invalid("email must be a string."));
    if (typeof serialnumber !== "string") return Promise.reject(invalid("serialnumber must be a string."));
    if (scan !== undefined && (scan === null || typeof scan !== "object" || Array.isArray(scan))) {
      return Promise.reject(invalid("scan must be an object of scan settings."));
    }
    if (languages !== undefined && typeof languages !== "string") return Promise.reject(invalid("languages must be a string."));
    if (compression !== undefined && typeof compression !== "string") {
      return Promise.reject(invalid("compression must be a string."));
    }
    const body = defined({ POL: "Init_SCAN", email, serialnumber, languages, compression });
    if (scan !== undefined) body.scan = defined({ ...scan });
    return this._command("Init_SCAN", body, { timeoutMs, signal }).then((id) => {
      this.share = null;
      this.document = null;
      return id;
    });
  }

  /** Asks for the status (IFSCANED); resolves to its text, e.g. "Redy_SCAN". */
  readStatus({ timeoutMs, signal } = {}) {
    return this._command("IFSCANED", { POL: "IFSCANED" }, { timeoutMs, signal });
  }

  /** Polls the status until it equals `status`. */
  async waitForStatus(status, { intervalMs = 1000, timeoutMs, signal } = {}) {
    checkSignal(signal);
    const limit = timeoutMs ?? this.waitTimeoutMs;
    const deadline = limit > 0 ? Date.now() + limit : Infinity;
    const what = `Waiting for the status ${status}`;
    for (;;) {
      if (signal?.aborted) throw aborted(signal, what);
      if ((await this.readStatus({ signal })) === status) return status;
      if (Date.now() + intervalMs > deadline) {
        throw new SkanowanieError(ErrorCode.TIMEOUT, `The status did not become ${status} within ${limit} ms.`);
      }
      await pause(intervalMs, signal);
    }
  }

  /** Resolves when the user has pressed "Confirm and send" in the host. */
  waitForShare({ timeoutMs, signal } = {}) {
    if (this.share) return Promise.resolve(this.share);
    if (this.isClosed) return Promise.reject(this._closedError());
    return this._wait(this._shareWaiters, "Waiting for the shared document", { timeoutMs, signal });
  }

  // Waits on a list of waiters (the share's, the scan's) with a limit.
  _wait(list, what, { timeoutMs, signal, onStop }) {
    try {
      checkSignal(signal);
    } catch (e) {
      return Promise.reject(e);
    }
    const waiter = {};
    const done = new Promise((resolve, reject) => Object.assign(waiter, { resolve, reject }));
    list.push(waiter);
    const leave = () => {
      const i = list.indexOf(waiter);
      if (i >= 0) list.splice(i, 1);
      onStop?.();
    };
    return bounded(done, { ms: timeoutMs ?? this.waitTimeoutMs, signal, what, onStop: leave });
  }

  /**
   * The shared document as a Blob (the extension fetches it from the host).
   * With `document`, exactly that one: NO_DOCUMENT when the host has shared
   * another.
   */
  async getPdf({ document, timeoutMs = DEFAULT_REPLY_TIMEOUT_MS, signal } = {}) {
    checkSignal(signal);
    if (document !== undefined && typeof document !== "string") throw invalid("document must be a document id (a string).");
    if (!this.share) throw new SkanowanieError(ErrorCode.NO_DOCUMENT, "The host has not shared a document yet.");
    if (this.isClosed) throw this._closedError();
    if (document !== undefined && this.share.document !== document) {
      throw new SkanowanieError(ErrorCode.NO_DOCUMENT, this.share.document
        ? `The host has shared another document (${this.share.document}), not ${document}.`
        : `The host's shared document has no id, so it cannot be told to be ${document}; connect with { events: true }.`);
    }
    const id = newId("doc");
    const fetched = new Promise((resolve, reject) => this._documents.set(id, { resolve, reject }));
    post(defined({ type: "fetch-document", connection: this.id, id, document }));
    const { blob, contentType } = await bounded(fetched, { ms: timeoutMs, signal, what: "Fetching the document" })
      .finally(() => this._documents.delete(id));
    const type = String(contentType ?? "").split(";")[0].trim().toLowerCase();
    if (type !== "application/pdf") {
      throw new SkanowanieError(ErrorCode.NO_DOCUMENT, `The host served no PDF (${type || "no content type"}).`);
    }
    return new Blob([blob], { type: "application/pdf" });
  }

  /** The scanners the host sees: [{id, name, manufacturer, productFamily, isDefault}]. */
  async listScanners({ timeoutMs, signal } = {}) {
    const reply = await this._command("List_SCANNERS", { POL: "List_SCANNERS" }, { timeoutMs, signal });
    return (Array.isArray(reply.scanners) ? reply.scanners : []).map((s) => ({
      id: String(s?.id ?? ""), name: String(s?.name ?? ""), manufacturer: String(s?.manufacturer ?? ""),
      productFamily: String(s?.productFamily ?? ""), isDefault: s?.isDefault === true,
    }));
  }

  /**
   * What a scanner offers: resolution, colour, duplex, source, paperSize,
   * showScannerUI, each with its current, default and allowed values, or
   * "UNSUPPORTED" where the scanner answers nothing.
   */
  async scannerCapabilities(scanner, { timeoutMs, signal } = {}) {
    if (typeof scanner !== "string" || !scanner) throw invalid("scannerCapabilities needs a scanner id from listScanners().");
    const reply = await this._command("Caps_SCANNER", { POL: "Caps_SCANNER", scanner }, { timeoutMs, signal });
    return reply.capabilities && typeof reply.capabilities === "object" ? reply.capabilities : {};
  }

  /**
   * Starts the batch of the open request with its settings, as "Scan to PDF"
   * in the host's window would; resolves when the batch ends with
   * {pages, outcome: "done", document}. Rejects with NO_REQUEST, SCANNER_BUSY,
   * NO_SCANNER, USER_CANCELLED (cancelScan(), or the person in the driver's
   * dialog), SCAN_FAILED, TIMEOUT, or ABORTED (the signal also cancels the batch).
   */
  async startScan({ timeoutMs, signal } = {}) {
    checkSignal(signal);
    const missing = this._needsEvents("startScan()");
    if (missing) throw missing;
    if (signal?.aborted) throw aborted(signal, "Scanning");
    // The batch's end is awaited from the moment it is asked for: its events
    // may follow the reply at once.
    const waiter = {};
    const ended = new Promise((resolve, reject) => Object.assign(waiter, { resolve, reject }));
    ended.catch(() => {});
    this._scanWaiters.push(waiter);
    const leave = () => {
      const i = this._scanWaiters.indexOf(waiter);
      if (i >= 0) this._scanWaiters.splice(i, 1);
    };
    // The host takes commands in order, so a cancel after the start stops
    // the batch even when the start's reply has not come yet.
    const cancelIfAborted = () => {
      if (signal?.aborted) this.cancelScan().catch(() => {});
    };
    try {
      await this._command("Start_SCAN", { POL: "Start_SCAN" }, { signal });
    } catch (e) {
      leave();
      cancelIfAborted();
      throw e;
    }
    return bounded(ended, {
      ms: timeoutMs ?? this.waitTimeoutMs, signal, what: "Scanning", onStop: () => {
        leave();
        cancelIfAborted();
      },
    });
  }

  /** Cancels the batch under way; resolves to whether one was. The scan's own call rejects with USER_CANCELLED. */
  async cancelScan({ timeoutMs, signal } = {}) {
    const reply = await this._command("Cancel_SCAN", { POL: "Cancel_SCAN" }, { timeoutMs, signal });
    return reply.cancelled === true;
  }

  /** Ends the host (END); resolves to its farewell text once it has gone. */
  async end({ timeoutMs, signal } = {}) {
    const farewell = await this._command("END", { POL: "END" }, { timeoutMs, signal });
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
 * With `events`, the host pushes status, page and batch events (and gives
 * documents ids) for the scanner calls. Rejects with EXTENSION_MISSING,
 * NOT_ALLOWED, PERMISSION_DENIED, BUSY, RATE_LIMITED, HOST_MISSING,
 * HOST_FORBIDDEN, HOST_FAILED, TIMEOUT or ABORTED.
 */
export async function connect({
  extensionTimeoutMs = 1500, startTimeoutMs = 60000, replyTimeoutMs, waitTimeoutMs, events = false, signal,
} = {}) {
  checkSignal(signal);
  if (typeof events !== "boolean") throw invalid("events must be true or false.");
  if (signal?.aborted) throw aborted(signal, "Connecting");
  // Transient activation lasts a few seconds; the extension's answer to a
  // ping comes at once, so this wait does not use it up.
  if ((await extensionVersion({ timeoutMs: extensionTimeoutMs })) === null) {
    throw new SkanowanieError(ErrorCode.EXTENSION_MISSING, MESSAGES.EXTENSION_MISSING);
  }
  const connection = new Connection(newId("conn"), { replyTimeoutMs, waitTimeoutMs, events });
  const opened = new Promise((resolve) => (connection._opened = resolve));
  post(events ? { type: "open", connection: connection.id, events } : { type: "open", connection: connection.id });
  const answer = await bounded(Promise.race([opened, connection.closed.then(() => ({ type: "closed" }))]),
    { ms: OPEN_TIMEOUT_MS, signal, what: "Waiting for the extension" }).catch((e) => {
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
    await connection.readStatus({ timeoutMs: startTimeoutMs, signal });
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
