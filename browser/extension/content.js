// Content script: the bridge between the page and the extension's background.
//
// The page (through the client library) talks to this script with
// window.postMessage, so it never needs the extension's id. Every message of
// the page carries channel "skanowanie/page" and the id of one of its
// connections; this script opens one runtime port per connection and answers
// on channel "skanowanie/extension". A document fetched by the background
// arrives here in pieces and goes to the page as one ArrayBuffer.
"use strict";

(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  const FROM_PAGE = "skanowanie/page";
  const TO_PAGE = "skanowanie/extension";
  const VERSION = api.runtime.getManifest().version;
  const connections = new Map();

  function toPage(message, transfer) {
    // The target is this window itself, so no other origin can read it.
    window.postMessage({ channel: TO_PAGE, ...message }, "*", transfer ?? []);
  }

  function fromBase64(text) {
    if (typeof Uint8Array.fromBase64 === "function") return Uint8Array.fromBase64(text);
    const binary = atob(text);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes;
  }

  // Collects the pieces of one document; the size is known from the header.
  class Document {
    constructor(size) {
      this.bytes = new Uint8Array(size >= 0 ? size : 0);
      this.length = 0;
    }
    add(piece) {
      const bytes = typeof piece === "string" ? fromBase64(piece) : new Uint8Array(piece);
      if (this.length + bytes.length > this.bytes.length) {
        const grown = new Uint8Array(Math.max(this.bytes.length * 2, this.length + bytes.length));
        grown.set(this.bytes.subarray(0, this.length));
        this.bytes = grown;
      }
      this.bytes.set(bytes, this.length);
      this.length += bytes.length;
    }
    buffer() {
      return this.length === this.bytes.length
        ? this.bytes.buffer
        : this.bytes.slice(0, this.length).buffer;
    }
  }

  function open(connection) {
    const port = api.runtime.connect({ name: "skanowanie" });
    const documents = new Map();
    connections.set(connection, port);
    port.onMessage.addListener((message) => {
      switch (message.type) {
        case "document-start":
          documents.set(message.id, { contentType: message.contentType, data: new Document(message.size) });
          break;
        case "document-chunk":
          documents.get(message.id)?.data.add(message.data);
          break;
        case "document-end": {
          const document = documents.get(message.id);
          documents.delete(message.id);
          if (!document) break;
          const buffer = document.data.buffer();
          toPage({ connection, type: "document", id: message.id, contentType: document.contentType, buffer }, [buffer]);
          break;
        }
        case "document-error":
          documents.delete(message.id);
          toPage({ connection, ...message });
          break;
        default:
          toPage({ connection, ...message });
      }
    });
    port.onDisconnect.addListener(() => {
      connections.delete(connection);
      toPage({ connection, type: "closed" });
    });
  }

  window.addEventListener("message", (event) => {
    const message = event.data;
    if (event.source !== window || !message || message.channel !== FROM_PAGE) return;
    const connection = String(message.connection ?? "");
    switch (message.type) {
      case "ping":
        toPage({ type: "pong", version: VERSION, nonce: message.nonce });
        break;
      case "open":
        if (connection && !connections.has(connection)) open(connection);
        break;
      case "send":
        connections.get(connection)?.postMessage({ type: "send", message: message.message });
        break;
      case "fetch-document":
        connections.get(connection)?.postMessage({ type: "fetch-document", id: message.id });
        break;
      case "close": {
        const port = connections.get(connection);
        connections.delete(connection);
        port?.disconnect();
        break;
      }
    }
  });

  // Lets the library tell at once that the extension is there.
  document.documentElement?.setAttribute("data-skanowanie-extension", VERSION);
  toPage({ type: "pong", version: VERSION });
})();
