// A hidden frame of the extension inside the page: fetches the document the
// host shares, with the secret of its confirmation, and hands it to the page
// as a Blob. The page makes no request to the local network itself, and the
// bytes never pass through the page's messaging with the extension.
"use strict";

(async () => {
  const api = globalThis.browser ?? globalThis.chrome;
  const token = location.hash.slice(1);
  const source = await api.runtime.sendMessage({ type: "document-source", token });
  if (!source || !source.origin) return;  // not a request of this extension
  const answer = { channel: "skanowanie/extension", connection: source.connection, id: source.id };
  try {
    let blob, contentType;
    if (location.protocol === "moz-extension:") {
      // Firefox counts a frame inside a public page as public and refuses it
      // the loopback address; the background fetches, and Firefox's
      // extension messaging carries the Blob itself.
      const result = await api.runtime.sendMessage({ type: "document-fetch", source });
      if (!result || result.error) throw new Error(result?.error ?? "no answer");
      ({ blob, contentType } = result);
    } else {
      const response = await fetch(source.url, { cache: "no-store", headers: { Authorization: `Bearer ${source.secret}` } });
      if (!response.ok) throw new Error(`the host answered ${response.status} ${response.statusText}`);
      // A Blob crosses to the page as a handle on the browser's copy of the
      // bytes, without copying them again.
      blob = await response.blob();
      contentType = response.headers.get("Content-Type") ?? "";
    }
    parent.postMessage({ ...answer, type: "document", contentType, blob }, source.origin);
  } catch (e) {
    parent.postMessage({ ...answer, type: "document-error", error: `Could not fetch the document: ${e.message ?? e}` },
      source.origin);
  }
})();
