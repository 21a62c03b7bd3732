// Background of the extension: one native host per page connection.
//
// The content script of a page opens a runtime port named "skanowanie" for
// each connection its page asks for. For every such port this script starts
// the host by native messaging, relays the page's commands to the host and
// the host's messages to the page, and disconnects the host when the page
// goes away (the browser then closes the host's standard input, which ends
// it). When the host shares its document it names a loopback port; on the
// page's request this script fetches the document from that port with the
// extension's own host permission and hands the bytes to the content script,
// so that the public page never makes a request to the local network itself.
"use strict";

const api = globalThis.browser ?? globalThis.chrome;
const HOST_NAME = "pl.skanowanie.host";
const PAGE_PORT_NAME = "skanowanie";
// The document travels to the content script in pieces of this many bytes.
const CHUNK_BYTES = 4 * 1024 * 1024;
// Firefox copies binary data through runtime ports (structured clone);
// Chromium only carries JSON, so there the pieces travel as Base64 text.
const PORTS_CARRY_BINARY = typeof api.runtime.getBrowserInfo === "function";

function toBase64(bytes) {
  if (typeof bytes.toBase64 === "function") return bytes.toBase64();
  let text = "";
  for (let i = 0; i < bytes.length; i += 0x8000) {
    text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  }
  return btoa(text);
}

function joinBytes(parts, length) {
  if (parts.length === 1) return parts[0];
  const out = new Uint8Array(length);
  let at = 0;
  for (const part of parts) {
    out.set(part, at);
    at += part.length;
  }
  return out;
}

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
      this.fetchDocument(message.id);
    } else if (message.type === "close") {
      this.pageGone();
    }
  }

  async fetchDocument(id) {
    if (!this.sharePort) {
      this.toPage({ type: "document-error", id, error: "The host has not shared a document yet." });
      return;
    }
    try {
      const response = await fetch(`http://127.0.0.1:${this.sharePort}/scan.pdf`, { cache: "no-store" });
      if (!response.ok) throw new Error(`the host answered ${response.status} ${response.statusText}`);
      this.toPage({
        type: "document-start",
        id,
        contentType: response.headers.get("Content-Type") ?? "",
        size: Number(response.headers.get("Content-Length") ?? -1),
      });
      const reader = response.body.getReader();
      let parts = [];
      let held = 0;
      const flush = () => {
        if (held === 0) return;
        const bytes = joinBytes(parts, held);
        this.toPage({ type: "document-chunk", id, data: PORTS_CARRY_BINARY ? bytes : toBase64(bytes) });
        parts = [];
        held = 0;
      };
      for (;;) {
        const { done, value } = await reader.read();
        if (done) break;
        parts.push(value);
        held += value.length;
        if (held >= CHUNK_BYTES) flush();
      }
      flush();
      this.toPage({ type: "document-end", id });
    } catch (e) {
      this.toPage({ type: "document-error", id, error: `Could not fetch the document: ${e.message ?? e}` });
    }
  }
}

api.runtime.onConnect.addListener((page) => {
  if (page.name === PAGE_PORT_NAME) new Session(page);
});
