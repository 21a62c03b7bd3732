// Content script: the bridge between the page and the extension's background.
//
// The page (through the client library) talks to this script with
// window.postMessage, so it never needs the extension's id. Every message of
// the page carries channel "skanowanie/page" and the id of one of its
// connections; this script checks it (checks.js), opens one runtime port per
// connection and answers on channel "skanowanie/extension". A connection is
// opened only while the page has transient user activation, and only from
// the top-level page or a frame of the same origin as the top-level page. For
// a document it loads the extension's hidden document frame, which answers
// the page directly.
"use strict";

(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  const { ErrorCode, pageMessageProblem } = globalThis.SkanowanieChecks;
  const FROM_PAGE = "skanowanie/page";
  const TO_PAGE = "skanowanie/extension";
  const VERSION = api.runtime.getManifest().version;
  const connections = new Map();

  function toPage(message) {
    // The target is this window itself; a sandboxed page has an opaque
    // origin, which only "*" reaches.
    window.postMessage({ channel: TO_PAGE, ...message }, window.origin === "null" ? "*" : window.origin);
  }

  function refuse(connection, id, code, error) {
    toPage({ connection, id, type: "error", code, error });
  }

  // Loads the extension's hidden document frame; it posts the document to
  // the page itself and is removed once it has.
  function loadDocumentFrame(url) {
    const frame = document.createElement("iframe");
    frame.src = url;
    frame.hidden = true;
    frame.style.display = "none";
    const done = () => {
      window.removeEventListener("message", fromFrame);
      frame.remove();
    };
    const fromFrame = (event) => {
      if (event.source === frame.contentWindow) setTimeout(done);
    };
    window.addEventListener("message", fromFrame);
    setTimeout(done, 300000);
    (document.body ?? document.documentElement).append(frame);
  }

  // A frame may ask only when it is of the top-level page's own origin.
  function sameOriginAsTop() {
    if (window === window.top) return true;
    try {
      return window.top.location.origin === window.location.origin && window.origin !== "null";
    } catch {
      return false;
    }
  }

  function open(connection, events) {
    if (connections.has(connection)) return refuse(connection, "", ErrorCode.BUSY, "This connection is open already.");
    if (!navigator.userActivation?.isActive) {
      return refuse(connection, "", ErrorCode.NOT_ALLOWED,
        "connect() must be called while the page handles a click or a key press of the person.");
    }
    if (!sameOriginAsTop()) {
      return refuse(connection, "", ErrorCode.NOT_ALLOWED,
        "Only the top-level page, or a frame of its own origin, may use the scanner.");
    }
    const port = api.runtime.connect({ name: "skanowanie" });
    connections.set(connection, port);
    // The library's wish for the host's events goes first, before any command.
    if (events) port.postMessage({ type: "open", events: true });
    port.onMessage.addListener((message) => {
      if (message.type === "document-frame") loadDocumentFrame(message.url);
      else toPage({ connection, ...message });
    });
    port.onDisconnect.addListener(() => {
      connections.delete(connection);
      toPage({ connection, type: "closed" });
    });
  }

  window.addEventListener("message", (event) => {
    const message = event.data;
    if (event.source !== window || !message || typeof message !== "object" || message.channel !== FROM_PAGE) return;
    const { channel, ...rest } = message;
    const connection = typeof message.connection === "string" ? message.connection.slice(0, 64) : "";
    const id = typeof message.id === "string" ? message.id.slice(0, 64) : "";
    const problem = pageMessageProblem(rest);
    if (problem) return refuse(connection, id, ErrorCode.INVALID_ARGUMENT, problem);
    switch (message.type) {
      case "ping":
        toPage({ type: "pong", version: VERSION, nonce: typeof message.nonce === "string" ? message.nonce : "" });
        break;
      case "open":
        open(connection, message.events === true);
        break;
      case "send":
      case "fetch-document": {
        const port = connections.get(connection);
        if (!port) return refuse(connection, id, ErrorCode.NOT_ALLOWED, "The connection is not open.");
        port.postMessage(message.type === "send" ? { type: "send", id, message: message.message }
                                                 : { type: "fetch-document", id, connection, document: message.document });
        break;
      }
      case "close": {
        const port = connections.get(connection);
        connections.delete(connection);
        port?.disconnect();
        break;
      }
    }
  });
})();
