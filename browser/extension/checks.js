// Checks shared by the content script and the background: which origins may
// ask for the scanner, what a page's message may hold, the error codes, and
// the per-origin limit on host starts. Everything a page sends is untrusted:
// it is checked where it enters (the content script) and again where it
// leaves for the host (the background), and a bad message is answered at once
// with INVALID_ARGUMENT, never with silence.
"use strict";

(function (root) {
  const ErrorCode = Object.freeze({
    NOT_ALLOWED: "NOT_ALLOWED",
    PERMISSION_DENIED: "PERMISSION_DENIED",
    BUSY: "BUSY",
    RATE_LIMITED: "RATE_LIMITED",
    INVALID_ARGUMENT: "INVALID_ARGUMENT",
  });

  // What a field may hold: a check returns null or the text that says what
  // is wrong (after "<command>.<field> ").
  const text = (max) => (value) => {
    if (typeof value !== "string") return "must be a string";
    if (value.length > max) return `is longer than ${max} characters`;
    if (!wellFormed(value)) return "is not well-formed text (a lone surrogate)";
    return null;
  };
  const oneOf = (...values) => (value) =>
    values.includes(value) ? null : `must be one of ${values.map((v) => JSON.stringify(v)).join(", ")}`;
  const flag = (value) => (typeof value === "boolean" ? null : "must be true or false");
  const integer = (min, max) => (value) =>
    Number.isInteger(value) && value >= min && value <= max ? null : `must be a whole number from ${min} to ${max}`;
  const nonEmpty = (check) => (value) => (value === "" ? "must not be empty" : check(value));

  // OCR languages: "+"-joined model codes ("pol+eng"), or "" for no OCR; at
  // most 64 bytes, which ASCII letters, digits and "_" keep equal to characters.
  const languages = (value) => {
    if (typeof value !== "string") return "must be a string";
    if (value.length > 64) return "is longer than 64 characters";
    if (value !== "" && !/^[A-Za-z0-9_]+(\+[A-Za-z0-9_]+)*$/.test(value)) {
      return 'must be language codes joined by "+", e.g. "pol+eng", or "" for none';
    }
    return null;
  };

  // A scanner's id is its TWAIN product name (at most 32 characters); the
  // bound leaves room for a source that writes more.
  const SCANNER_ID_LENGTH = 64;
  const scannerId = nonEmpty(text(SCANNER_ID_LENGTH));

  // The scan settings of a request, each optional. Resolutions are dots per
  // inch; the scanner itself says which it offers.
  const SCAN_SETTINGS = Object.freeze({
    scanner: scannerId,
    resolution: integer(1, 19200),
    colour: oneOf("colour", "grey", "bw"),
    duplex: flag,
    source: oneOf("feeder", "flatbed", "auto"),
    paperSize: oneOf("A4", "A5", "Letter", "Legal", "auto"),
    maxPages: integer(1, 1000),
    showScannerUI: flag,
  });
  const scanSettings = (value) => {
    if (!isPlainObject(value)) return "must be an object of scan settings";
    for (const key of Object.keys(value)) {
      if (!Object.hasOwn(SCAN_SETTINGS, key)) {
        return `takes no setting ${JSON.stringify(key.slice(0, 40))}; known: ${Object.keys(SCAN_SETTINGS).join(", ")}`;
      }
      const problem = SCAN_SETTINGS[key](value[key]);
      if (problem) return `.${key} ${problem}`;
    }
    return null;
  };

  // The commands a page may send, and the fields each may carry. An e-mail
  // address is at most 254 characters (RFC 5321's path limit less the
  // brackets); a serial number is a short label. `events` (any command)
  // asks the host for its pushed events; only the first message's counts.
  const COMMANDS = Object.freeze({
    Init_SCAN: {
      email: text(254), serialnumber: text(64), languages, compression: oneOf("compact", "lossless"),
      scan: scanSettings,
    },
    IFSCANED: {},
    END: {},
    List_SCANNERS: {},
    Caps_SCANNER: { scanner: scannerId },
    Start_SCAN: {},
    Cancel_SCAN: {},
  });
  // Fields a command cannot go without.
  const REQUIRED = Object.freeze({ Caps_SCANNER: ["scanner"] });
  const COMMON_FIELDS = Object.freeze({ events: flag });

  // A document id, as the host makes them: "d" and 32 hex digits.
  const DOCUMENT_ID = /^d[0-9a-f]{32}$/;

  // What a page may post to the content script.
  const PAGE_MESSAGE_TYPES = Object.freeze(["ping", "open", "send", "fetch-document", "close"]);
  // Connection and request ids are the library's own random tokens.
  const MAX_ID_LENGTH = 64;

  // Host starts per origin: at most START_BURST within START_WINDOW_MS. A
  // person does not start a scanner more often; a page that loops does.
  const START_BURST = 5;
  const START_WINDOW_MS = 60000;

  // Commands per connection: a page polls its status (a benchmark does so
  // back to back, some 50 times a second under Wine)
  // and opens a scan request now and then; 2,000 requests at once would
  // leave 2,000 folders behind.
  const COMMAND_BURST = 100;
  const COMMAND_WINDOW_MS = 1000;
  const SCAN_REQUEST_BURST = 10;
  const SCAN_REQUEST_WINDOW_MS = 60000;

  const LOOPBACK_HOSTS = new Set(["localhost", "127.0.0.1", "[::1]"]);

  function isLoopbackHost(hostname) {
    return LOOPBACK_HOSTS.has(hostname) || /^127\.\d{1,3}\.\d{1,3}\.\d{1,3}$/.test(hostname) ||
      hostname.endsWith(".localhost");
  }

  // The origin of a URL as the browser serialises it, or "" for URLs without
  // a tuple origin (data:, blob: of an opaque origin, file:).
  function originOf(url) {
    try {
      const parsed = new URL(url);
      if (parsed.protocol !== "https:" && parsed.protocol !== "http:") return "";
      return parsed.origin;
    } catch {
      return "";
    }
  }

  // Only secure sites ask for the scanner; plain http only on this machine,
  // for development.
  function mayAsk(origin) {
    let parsed;
    try {
      parsed = new URL(origin);
    } catch {
      return false;
    }
    if (parsed.origin !== origin) return false;
    if (parsed.protocol === "https:") return true;
    return parsed.protocol === "http:" && isLoopbackHost(parsed.hostname);
  }

  // A plain object, also one that came from the page's own realm (a
  // structured clone of the page's message).
  function isPlainObject(value) {
    return value !== null && typeof value === "object" && !Array.isArray(value) &&
      Object.prototype.toString.call(value) === "[object Object]";
  }

  function isId(value) {
    return typeof value === "string" && value.length > 0 && value.length <= MAX_ID_LENGTH && /^[\w-]+$/.test(value);
  }

  function wellFormed(text) {
    if (typeof text.isWellFormed === "function") return text.isWellFormed();
    return !/[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/.test(text);
  }

  // Checks a command for the host; returns null when it may go, or the text
  // that says what is wrong with it.
  function commandProblem(command) {
    if (!isPlainObject(command)) return "a command must be a plain object";
    const name = command.POL;
    if (typeof name !== "string" || !Object.hasOwn(COMMANDS, name)) {
      return `unknown command ${typeof name === "string" ? JSON.stringify(name.slice(0, 40)) : "(none)"}; ` +
        `known: ${Object.keys(COMMANDS).join(", ")}`;
    }
    const fields = COMMANDS[name];
    for (const key of Object.keys(command)) {
      if (key === "POL") continue;
      const check = Object.hasOwn(fields, key) ? fields[key] : Object.hasOwn(COMMON_FIELDS, key) ? COMMON_FIELDS[key] : null;
      if (!check) return `${name} takes no field ${JSON.stringify(key.slice(0, 40))}`;
      const problem = check(command[key]);
      if (problem) return `${name}.${key}${problem.startsWith(".") ? "" : " "}${problem}`;
    }
    for (const key of REQUIRED[name] ?? []) {
      if (!Object.hasOwn(command, key)) return `${name} needs the field ${key}`;
    }
    return null;
  }

  // Checks a message of the page to the content script; returns null or the
  // text that says what is wrong. Messages without a known type are not
  // the library's and are ignored by the caller, so they are not checked here.
  function pageMessageProblem(message) {
    if (!isPlainObject(message)) return "a message must be a plain object";
    if (!PAGE_MESSAGE_TYPES.includes(message.type)) return `unknown message type ${String(message.type).slice(0, 40)}`;
    if (message.type === "ping") return null;
    if (!isId(message.connection)) return "the connection id must be a short token";
    if (message.type === "send") {
      if (!isId(message.id)) return "the request id must be a short token";
      return commandProblem(message.message);
    }
    if (message.type === "fetch-document") {
      if (!isId(message.id)) return "the request id must be a short token";
      if (message.document !== undefined && !(typeof message.document === "string" && DOCUMENT_ID.test(message.document))) {
        return 'the document id must be "d" and 32 hex digits';
      }
    }
    if (message.type === "open" && message.events !== undefined && typeof message.events !== "boolean") {
      return "events must be true or false";
    }
    return null;
  }

  // Host starts per origin within a sliding window.
  class StartLimiter {
    constructor(burst = START_BURST, windowMs = START_WINDOW_MS, now = () => Date.now()) {
      Object.assign(this, { burst, windowMs, now, starts: new Map() });
    }

    // Counts a start and says whether it may happen.
    take(origin) {
      const now = this.now();
      const recent = (this.starts.get(origin) ?? []).filter((t) => now - t < this.windowMs);
      if (recent.length >= this.burst) {
        this.starts.set(origin, recent);
        return false;
      }
      recent.push(now);
      this.starts.set(origin, recent);
      return true;
    }
  }

  // The administrator's lists (managed storage) and the person's answers
  // decide; the administrator's block comes first, then the administrator's
  // allow, then the person's own answer. Returns "allow", "block" or "ask".
  function decide(origin, policy, grants) {
    const listed = (list) => Array.isArray(list) && list.some((entry) => entry === origin || entry === "*");
    if (listed(policy?.blockedOrigins)) return "block";
    if (listed(policy?.allowedOrigins)) return "allow";
    const grant = grants?.[origin];
    if (grant?.decision === "allow" || grant?.decision === "block") return grant.decision;
    return "ask";
  }

  // The limits of one connection's commands: returns null when the command
  // may go, or the text that says why not.
  class CommandLimiter {
    constructor(now = () => Date.now()) {
      this.all = new StartLimiter(COMMAND_BURST, COMMAND_WINDOW_MS, now);
      this.scanRequests = new StartLimiter(SCAN_REQUEST_BURST, SCAN_REQUEST_WINDOW_MS, now);
    }

    problem(command) {
      if (!this.all.take("")) return `more than ${COMMAND_BURST} commands within a second`;
      if (command.POL === "Init_SCAN" && !this.scanRequests.take("")) {
        return `more than ${SCAN_REQUEST_BURST} scan requests within a minute`;
      }
      return null;
    }
  }

  root.SkanowanieChecks = Object.freeze({
    ErrorCode, COMMANDS, DOCUMENT_ID, START_BURST, START_WINDOW_MS, CommandLimiter, originOf, mayAsk, commandProblem, pageMessageProblem,
    isId, StartLimiter, decide,
  });
})(globalThis);
