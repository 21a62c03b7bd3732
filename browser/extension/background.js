// Background of the extension: one native host per page connection.
//
// The content script of a page opens a runtime port named "skanowanie" for
// each connection its page asks for. For every such port this script starts
// the host by native messaging, relays the page's commands to the host and
// the host's messages to the page, and disconnects the host when the page
// goes away (the browser then closes the host's standard input, which ends
// it). When the host shares its document it names a loopback port; on the
// page's request this script has the content script load a hidden frame of
// the extension (document.html), which fetches the document from that port
// with the extension's own host permission and hands the bytes to the page,
// so that the public page never makes a request to the local network itself.
"use strict";

const api = globalThis.browser ?? globalThis.chrome;
const HOST_NAME = "pl.skanowanie.host";
const PAGE_PORT_NAME = "skanowanie";
// Document frames not loaded yet: one-time token -> the session and request.
const documentFrames = new Map();
const FRAME_TOKEN_LIFETIME_MS = 60000;

function sharePortOf(message) {
  if (!message || typeof message !== "object" || message.POL !== "Shared_complite") return 0;
  const port = Number(message.port);
  return Number.isInteger(port) && port > 0 && port < 65536 ? port : 0;
}

class Session {
  constructor(page) {
    this.page = page;
    this.sharePort = 0;
    this.host = api.runtime.connectNative(HOST_NAME);
    this.host.onMessage.addListener((message) => this.fromHost(message));
    this.host.onDisconnect.addListener((port) => this.hostGone(port));
    page.onMessage.addListener((message) => this.fromPage(message));
    page.onDisconnect.addListener(() => this.pageGone());
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
    if (port) this.sharePort = port;
    this.toPage({ type: "host", message });
  }

  hostGone(port) {
    // Chromium reports why in runtime.lastError, Firefox in port.error; a
    // host that could not start may also end without any error text.
    const error = port?.error?.message ?? api.runtime.lastError?.message ?? "";
    this.host = null;
    this.toPage({ type: "host-gone", error });
    if (this.page) {
      this.page.disconnect();
      this.page = null;
    }
  }

  pageGone() {
    this.page = null;
    if (this.host) {
      this.host.disconnect();
      this.host = null;
    }
  }

  fromPage(message) {
    if (!message || typeof message !== "object") return;
    if (message.type === "send") {
      if (this.host && message.message && typeof message.message === "object") {
        this.host.postMessage(message.message);
      }
    } else if (message.type === "fetch-document") {
      this.fetchDocument(message.id, String(message.connection ?? ""));
    } else if (message.type === "close") {
      this.pageGone();
    }
  }

  fetchDocument(id, connection) {
    if (!this.sharePort) {
      this.toPage({ type: "document-error", id, error: "The host has not shared a document yet." });
      return;
    }
    const token = crypto.randomUUID();
    documentFrames.set(token, { session: this, id, connection });
    setTimeout(() => documentFrames.delete(token), FRAME_TOKEN_LIFETIME_MS);
    this.toPage({ type: "document-frame", id, url: `${api.runtime.getURL("document.html")}#${token}` });
  }
}

// A document frame asks where its document is. Only a frame with a live
// token, in the tab of the page that asked, learns the port.
api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  if (!message || message.type !== "document-source") return false;
  const frame = documentFrames.get(message.token);
  documentFrames.delete(message.token);
  const page = frame?.session.page;
  if (!page || sender.id !== api.runtime.id || sender.tab?.id !== page.sender?.tab?.id) {
    sendResponse(null);
    return false;
  }
  sendResponse({
    url: `http://127.0.0.1:${frame.session.sharePort}/scan.pdf`,
    origin: page.sender.origin ?? new URL(page.sender.url).origin,
    connection: frame.connection,
    id: frame.id,
  });
  return false;
});

api.runtime.onConnect.addListener((page) => {
  if (page.name === PAGE_PORT_NAME) new Session(page);
});
