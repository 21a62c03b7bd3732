// The browser tests' page: connects on a click, keeps the connection, and
// posts raw messages to the extension to see how it answers them.
import * as skanowanie from "../../client/skanowanie.js";

const FROM_PAGE = "skanowanie/page";
const TO_PAGE = "skanowanie/extension";

const lab = {
  skanowanie,
  connection: null,
  result: null,  // "connected", or the error code of the last connect()
  messages: [],  // every message of the host, as the page saw it
  frameResult: null,  // the outcome a frame of this page posted
  options: undefined,  // what the Connect button passes to connect()
  events: [],  // the connection's status, page and scanned events: [type, detail, performance.now()]

  async connect(options = lab.options) {
    lab.result = null;
    const start = performance.now();
    try {
      lab.connection = await skanowanie.connect(options);
      lab.seconds = (performance.now() - start) / 1000;
      lab.connection.on("message", (message) => lab.messages.push(message));
      lab.events = [];
      for (const type of ["status", "page", "scanned"]) {
        lab.connection.on(type, (detail) => lab.events.push([type, detail, performance.now()]));
      }
      lab.result = "connected";
    } catch (e) {
      lab.result = e.code ?? String(e);
    }
    if (window !== window.parent) window.parent.postMessage({ labResult: lab.result }, "*");
    return lab.result;
  },

  // Runs `call` (a function of the connection) and resolves to its outcome:
  // {ok: value} or {code, message, setting, offered, ms}.
  async outcome(call) {
    const start = performance.now();
    try {
      return { ok: await call(lab.connection), ms: performance.now() - start };
    } catch (e) {
      return { code: e.code ?? String(e), message: e.message, setting: e.setting, offered: e.offered,
               ms: performance.now() - start };
    }
  },

  // Posts a raw message on the page's channel and resolves to the first
  // answer for `id` (or for the connection, without id) within timeoutMs:
  // {type, code, ms}, or {type: "none"}.
  raw(message, { id = message.id, connection = message.connection, timeoutMs = 3000 } = {}) {
    const start = performance.now();
    return new Promise((resolve) => {
      const listener = (event) => {
        const m = event.data;
        if (event.source !== window || !m || m.channel !== TO_PAGE || m.connection !== connection) return;
        if (id !== undefined && m.id !== id) return;
        done({ type: m.type, code: m.code ?? null, ms: performance.now() - start });
      };
      const timer = setTimeout(() => done({ type: "none", ms: timeoutMs }), timeoutMs);
      const done = (answer) => {
        clearTimeout(timer);
        window.removeEventListener("message", listener);
        resolve(answer);
      };
      window.addEventListener("message", listener);
      window.postMessage({ channel: FROM_PAGE, ...message }, "*");
    });
  },
};

window.lab = lab;
window.addEventListener("message", (event) => {
  if (event.data?.labResult) lab.frameResult = event.data.labResult;
});
document.getElementById("connect").addEventListener("click", () => lab.connect());
document.body.dataset.ready = "true";
