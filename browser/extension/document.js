// A hidden frame of the extension inside the page: fetches the document the
// host shares and hands it to the page as a Blob. The fetch runs with the
// extension's own origin and host permission, so the page makes no request
// to the local network itself, and the bytes never pass through extension
// messaging.
"use strict";

(async () => {
  const api = globalThis.browser ?? globalThis.chrome;
  const token = location.hash.slice(1);
  const source = await api.runtime.sendMessage({ type: "document-source", token });
  if (!source || !source.origin) return;  // not a request of this extension
  const answer = { channel: "skanowanie/extension", connection: source.connection, id: source.id };
  try {
    const response = await fetch(source.url, { cache: "no-store" });
    if (!response.ok) throw new Error(`the host answered ${response.status} ${response.statusText}`);
    // A Blob crosses to the page as a handle on the browser's copy of the
    // bytes, without copying them again.
    const blob = await response.blob();
    const contentType = response.headers.get("Content-Type") ?? "";
    parent.postMessage({ ...answer, type: "document", contentType, blob }, source.origin);
  } catch (e) {
    parent.postMessage({ ...answer, type: "document-error", error: `Could not fetch the document: ${e.message ?? e}` },
      source.origin);
  }
})();
