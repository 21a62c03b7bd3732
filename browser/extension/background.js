// Background of the extension: the person's consent per origin, and one
// native host per page connection.
//
// The content script opens a runtime port named "skanowanie" for each
// connection its page asks for, and only while the page has transient user
// activation (a click or a key press). For each port this script decides
// whether the page's origin may use the scanner: the administrator's lists
// (managed storage) first, then the person's stored answer, else a prompt of
// the extension's own that names the origin ("Allow once", "Always allow",
// "Block"). Only then does it start the host by native messaging, tell the
// host the origin (a field added to the first message; the page cannot set
// it), relay the page's checked commands and the host's messages, and
// disconnect the host when the page goes away (the browser then closes the
// host's standard input, which ends it).
//
// A page whose library asks for the host's events (on its "open") gets
// `events: true` on its first message; the host then pushes status, page and
// batch events, which reach the page like any other message of the host.
//
// When the person confirms a document, the host names a loopback port and a
// fresh secret. The secret stays here: the page's copy of that message has
// none. On the page's request the content script loads a hidden frame of the
// extension (document.html) that fetches the document with the secret and
// hands the bytes to the page, so the public page never makes a request to
// the local network itself and nobody else can read the document.
"use strict";

const api = globalThis.browser ?? globalThis.chrome;
if (typeof importScripts === "function") importScripts("checks.js");
const { ErrorCode, mayAsk, originOf, commandProblem, isId, DOCUMENT_ID, StartLimiter, CommandLimiter, decide } =
  globalThis.SkanowanieChecks;

const HOST_NAME = "pl.skanowanie.host";
const PAGE_PORT_NAME = "skanowanie";
// Document frames not loaded yet: one-time token -> the session and request.
const documentFrames = new Map();
const FRAME_TOKEN_LIFETIME_MS = 60000;
// A prompt nobody answers is closed and counts as no.
const PROMPT_LIFETIME_MS = 120000;
// Tabs with a connection that is asking or running: one host per tab.
const busyTabs = new Set();
const limiter = new StartLimiter();

function sharePortOf(message) {
  if (!message || typeof message !== "object" || message.POL !== "Shared_complite") return 0;
  const port = Number(message.port);
  return Number.isInteger(port) && port > 0 && port < 65536 ? port : 0;
}

// ---- The person's answers, kept in the extension's local storage.

const GRANTS_KEY = "grants";

async function loadGrants() {
  const stored = await api.storage.local.get(GRANTS_KEY);
  return stored[GRANTS_KEY] ?? {};
}

async function storeGrant(origin, decision) {
  const grants = await loadGrants();
  grants[origin] = { decision, at: new Date().toISOString() };
  await api.storage.local.set({ [GRANTS_KEY]: grants });
}

// The administrator's lists; none when no policy is set (Firefox rejects
// the read then).
async function loadPolicy() {
  try {
    return (await api.storage.managed.get(["allowedOrigins", "blockedOrigins"])) ?? {};
  } catch {
    return {};
  }
}

// ---- The prompt: a small window of the extension's own.

const prompts = new Map();  // prompt id -> {origin, resolve, windowId, timer}

function ask(origin) {
  return new Promise((resolve) => {
    const id = crypto.randomUUID();
    const prompt = { origin, windowId: null, timer: null };
    prompt.resolve = (answer) => {
      if (!prompts.has(id)) return;
      prompts.delete(id);
      clearTimeout(prompt.timer);
      if (prompt.windowId !== null) api.windows.remove(prompt.windowId).catch(() => {});
      resolve(answer);
    };
    prompts.set(id, prompt);
    prompt.timer = setTimeout(() => prompt.resolve(null), PROMPT_LIFETIME_MS);
    api.windows
      .create({ url: api.runtime.getURL(`consent.html#${id}`), type: "popup", width: 480, height: 320, focused: true })
      .then((window) => {
        prompt.windowId = window.id;
        if (!prompts.has(id)) api.windows.remove(window.id).catch(() => {});
      })
      .catch(() => prompt.resolve(null));
  });
}

api.windows.onRemoved.addListener((windowId) => {
  for (const prompt of prompts.values()) if (prompt.windowId === windowId) prompt.resolve(null);
});

// ---- One page connection.

class Session {
  constructor(page) {
    this.page = page;
    this.host = null;
    this.sharePort = 0;
    this.secret = "";
    // The id of the shared document, when the host gives ids (to a
    // connection that asked for events).
    this.sharedDocument = "";
    this.firstMessage = true;
    this.events = false;
    this.commands = new CommandLimiter();
    this.tab = page.sender?.tab?.id ?? -1;
    this.origin = originOf(page.sender?.url ?? "");
    this.inFrame = (page.sender?.frameId ?? 0) !== 0;
    page.onMessage.addListener((message) => this.fromPage(message));
    page.onDisconnect.addListener(() => this.pageGone());
    this.start();
  }

  async start() {
    if (!mayAsk(this.origin)) {
      return this.refuse(ErrorCode.NOT_ALLOWED,
        `Only secure (https) sites, and http on this computer, may use the scanner; not ${this.origin || "this page"}.`);
    }
    if (busyTabs.has(this.tab)) {
      return this.refuse(ErrorCode.BUSY, "This tab already has a connection to the scanner; close it first.");
    }
    busyTabs.add(this.tab);
    this.holdsTab = true;
    if (!limiter.take(this.origin)) {
      return this.refuse(ErrorCode.RATE_LIMITED, "This site has started the scanner too often; wait a minute.");
    }
    let decision = decide(this.origin, await loadPolicy(), await loadGrants());
    // A frame never asks: it may use what its site was allowed from a
    // top-level page (the content script lets only same-origin frames ask).
    if (decision === "ask" && this.inFrame) {
      return this.refuse(ErrorCode.NOT_ALLOWED,
        "A frame may use the scanner only once its site is always allowed; ask from the top-level page first.");
    }
    if (decision === "ask") {
      const answer = await ask(this.origin);
      if (answer === "always") await storeGrant(this.origin, "allow");
      if (answer === "block") await storeGrant(this.origin, "block");
      decision = answer === "once" || answer === "always" ? "allow" : "block";
    }
    if (!this.page) return;
    if (decision !== "allow") {
      return this.refuse(ErrorCode.PERMISSION_DENIED, `The scanner is not allowed for ${this.origin}.`);
    }
    this.host = api.runtime.connectNative(HOST_NAME);
    this.host.onMessage.addListener((message) => this.fromHost(message));
    this.host.onDisconnect.addListener((port) => this.hostGone(port));
    this.toPage({ type: "opened", origin: this.origin });
  }

  refuse(code, error) {
    this.toPage({ type: "refused", code, error });
    this.pageGone();
  }

  toPage(message) {
    if (!this.page) return;
    try {
      this.page.postMessage(message);
    } catch {
      this.pageGone();
    }
  }

  fromHost(message) {
    const port = sharePortOf(message);
    if (port) {
      this.sharePort = port;
      this.secret = typeof message.secret === "string" ? message.secret : "";
      this.sharedDocument = typeof message.document === "string" ? message.document : "";
      const { secret, ...rest } = message;
      message = rest;
    }
    this.toPage({ type: "host", message });
  }

  hostGone(port) {
    // Chromium reports why in runtime.lastError, Firefox in port.error; a
    // host that could not start may also end without any error text.
    const error = port?.error?.message ?? api.runtime.lastError?.message ?? "";
    this.host = null;
    this.toPage({ type: "host-gone", error });
    this.pageGone();
  }

  pageGone() {
    if (this.page) {
      const page = this.page;
      this.page = null;
      try {
        page.disconnect();
      } catch {}
    }
    if (this.holdsTab) {
      busyTabs.delete(this.tab);
      this.holdsTab = false;
    }
    if (this.host) {
      this.host.disconnect();
      this.host = null;
    }
  }

  fromPage(message) {
    if (!message || typeof message !== "object") return;
    const id = isId(message.id) ? message.id : "";
    if (message.type === "send") {
      const problem = commandProblem(message.message);
      if (problem) return this.toPage({ type: "error", id, code: ErrorCode.INVALID_ARGUMENT, error: problem });
      if (!this.host) return this.toPage({ type: "error", id, code: ErrorCode.NOT_ALLOWED, error: "The connection is not open." });
      const tooMany = this.commands.problem(message.message);
      if (tooMany) return this.toPage({ type: "error", id, code: ErrorCode.RATE_LIMITED, error: tooMany });
      // The host learns who asks from the first message; the page's own
      // fields never include the origin (the check above refuses unknown
      // ones). The host reads `events` on the first message only.
      const { events, ...command } = message.message;
      const body = this.firstMessage
        ? { ...command, ...(this.events || events === true ? { events: true } : {}), origin: this.origin }
        : command;
      this.firstMessage = false;
      this.host.postMessage(body);
    } else if (message.type === "open") {
      // The content script passes the library's wish for events with the port.
      if (message.events === true) this.events = true;
    } else if (message.type === "fetch-document") {
      if (!id) return;
      const document = typeof message.document === "string" && DOCUMENT_ID.test(message.document) ? message.document : "";
      this.fetchDocument(id, String(message.connection ?? ""), document);
    } else if (message.type === "close") {
      this.pageGone();
    }
  }

  fetchDocument(id, connection, document) {
    if (!this.sharePort || !this.host) {
      this.toPage({ type: "document-error", id, error: "The host has not shared a document yet." });
      return;
    }
    // The page asked for one document by its id: the host serves only the
    // one it shared last, so another id gets nothing.
    if (document && document !== this.sharedDocument) {
      this.toPage({ type: "document-error", id,
        error: `The host has shared ${this.sharedDocument ? `document ${this.sharedDocument}` : "a document without an id"}, not ${document}.` });
      return;
    }
    // The frame gets the secret of the share the page asked about: should
    // the person confirm again meanwhile, the host refuses it rather than
    // hand over another document.
    const token = crypto.randomUUID();
    documentFrames.set(token, { session: this, id, connection, secret: this.secret });
    setTimeout(() => documentFrames.delete(token), FRAME_TOKEN_LIFETIME_MS);
    this.toPage({ type: "document-frame", id, url: `${api.runtime.getURL("document.html")}#${token}` });
  }
}

// A document frame asks for its document. Only a frame with a live token,
// in the tab of the page that asked, learns where it is and the secret.
function documentSource(message, sender) {
  const frame = documentFrames.get(message.token);
  documentFrames.delete(message.token);
  const session = frame?.session;
  if (!session?.page || sender.id !== api.runtime.id || sender.tab?.id !== session.tab) return null;
  return {
    url: `http://127.0.0.1:${session.sharePort}/scan.pdf`,
    secret: frame.secret,
    origin: session.page.sender.origin ?? originOf(session.page.sender.url),
    connection: frame.connection,
    id: frame.id,
  };
}

// Fetches the document for a frame that cannot itself (Firefox refuses a
// frame inside a public page the loopback address; the background is no
// part of any page). Firefox's extension messaging carries the Blob itself.
async function fetchForFrame(source) {
  const response = await fetch(source.url, {
    cache: "no-store",
    headers: source.secret ? { Authorization: `Bearer ${source.secret}` } : {},
  });
  if (!response.ok) throw new Error(`the host answered ${response.status} ${response.statusText}`);
  return { blob: await response.blob(), contentType: response.headers.get("Content-Type") ?? "" };
}

// Which of the extension's own pages sent a message (a web-accessible page
// may be addressed by the extension's dynamic id, so only the path counts).
function fromPage(sender, page) {
  if (sender.id !== api.runtime.id) return false;
  try {
    const url = new URL(sender.url);
    return url.protocol === new URL(api.runtime.getURL("")).protocol && url.pathname === `/${page}`;
  } catch {
    return false;
  }
}

api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  if (!message || typeof message !== "object") return false;
  const fromDocumentFrame = fromPage(sender, "document.html");
  const fromPrompt = fromPage(sender, "consent.html");
  if (!fromDocumentFrame && !fromPrompt) return false;
  if (fromDocumentFrame !== String(message.type).startsWith("document-")) return false;
  switch (message.type) {
    case "document-source":
      sendResponse(documentSource(message, sender));
      return false;
    case "document-fetch": {
      // Only the frame that holds a live source (its token already spent)
      // can name one; the source it sends back is checked against the
      // sessions so a frame cannot point the background elsewhere.
      const session = [...sessions].find((s) => s.page && s.sharePort && s.secret === message.source?.secret &&
        s.tab === sender.tab?.id);
      if (!session) {
        sendResponse({ error: "no such document" });
        return false;
      }
      fetchForFrame({ url: `http://127.0.0.1:${session.sharePort}/scan.pdf`, secret: session.secret }).then(
        (result) => sendResponse(result), (e) => sendResponse({ error: String(e.message ?? e) }));
      return true;
    }
    case "consent-details": {
      const prompt = prompts.get(message.prompt);
      sendResponse(prompt ? { origin: prompt.origin } : null);
      return false;
    }
    case "consent-answer": {
      if (["once", "always", "block"].includes(message.answer)) prompts.get(message.prompt)?.resolve(message.answer);
      return false;
    }
  }
  return false;
});

const sessions = new Set();

api.runtime.onConnect.addListener((page) => {
  if (page.name !== PAGE_PORT_NAME || page.sender?.id !== api.runtime.id) return;
  const session = new Session(page);
  sessions.add(session);
  page.onDisconnect.addListener(() => sessions.delete(session));
});
