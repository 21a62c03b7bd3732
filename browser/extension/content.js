// Content script: the bridge between the page and the extension's background.
//
// The page (through the client library) talks to this script with
// window.postMessage, so it never needs the extension's id. Every message of
// the page carries channel "skanowanie/page" and the id of one of its
// connections; this script opens one runtime port per connection and answers
// on channel "skanowanie/extension". For a document it loads the extension's
// hidden document frame, which answers the page directly.
"use strict";

(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  const FROM_PAGE = "skanowanie/page";
  const TO_PAGE = "skanowanie/extension";
  const VERSION = api.runtime.getManifest().version;
  const connections = new Map();

  function toPage(message) {
    // The target is this window itself, so no other origin can read it.
    window.postMessage({ channel: TO_PAGE, ...message }, "*");
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

  function open(connection) {
    const port = api.runtime.connect({ name: "skanowanie" });
    connections.set(connection, port);
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
        connections.get(connection)?.postMessage({ type: "fetch-document", id: message.id, connection });
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
