// The extension's own prompt: names the origin exactly and sends the
// person's answer to the background. Closing the window answers no.
"use strict";

(async () => {
  const api = globalThis.browser ?? globalThis.chrome;
  const prompt = location.hash.slice(1);
  const details = await api.runtime.sendMessage({ type: "consent-details", prompt });
  if (!details) {
    document.getElementById("origin").textContent = "(this question has expired)";
    for (const button of document.querySelectorAll("button")) button.disabled = true;
    return;
  }
  document.getElementById("manage").addEventListener("click", (event) => {
    event.preventDefault();
    api.runtime.openOptionsPage();
  });
  document.getElementById("origin").textContent = details.origin;
  document.title = `Skanowanie: allow ${details.origin}?`;
  for (const answer of ["once", "always", "block"]) {
    document.getElementById(answer).addEventListener("click", () => {
      api.runtime.sendMessage({ type: "consent-answer", prompt, answer });
    });
  }
})();
