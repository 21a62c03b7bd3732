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

  // The commands a page may send, and the fields each may carry: type and
  // bound. An e-mail address is at most 254 characters (RFC 5321's path
  // limit less the brackets); a serial number is a short label.
  const COMMANDS = Object.freeze({
    Init_SCAN: { email: 254, serialnumber: 64 },
    IFSCANED: {},
    END: {},
  });

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
      if (!Object.hasOwn(fields, key)) return `${name} takes no field ${JSON.stringify(key.slice(0, 40))}`;
      const value = command[key];
      if (typeof value !== "string") return `${name}.${key} must be a string`;
      if (value.length > fields[key]) return `${name}.${key} is longer than ${fields[key]} characters`;
      if (!wellFormed(value)) return `${name}.${key} is not well-formed text (a lone surrogate)`;
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
    if (message.type === "fetch-document" && !isId(message.id)) return "the request id must be a short token";
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
    ErrorCode, COMMANDS, START_BURST, START_WINDOW_MS, CommandLimiter, originOf, mayAsk, commandProblem, pageMessageProblem,
    isId, StartLimiter, decide,
  });
})(globalThis);
