// Options page: the person's answers per origin, each revocable, and the
// administrator's lists, read only.
"use strict";

const api = globalThis.browser ?? globalThis.chrome;
const GRANTS_KEY = "grants";
const LABELS = { allow: "Allowed", block: "Blocked" };

function cell(text) {
  const td = document.createElement("td");
  td.textContent = text;
  return td;
}

async function removeGrant(origin) {
  const grants = (await api.storage.local.get(GRANTS_KEY))[GRANTS_KEY] ?? {};
  delete grants[origin];
  await api.storage.local.set({ [GRANTS_KEY]: grants });
}

async function show() {
  const grants = (await api.storage.local.get(GRANTS_KEY))[GRANTS_KEY] ?? {};
  const rows = Object.entries(grants).sort(([a], [b]) => a.localeCompare(b)).map(([origin, grant]) => {
    const row = document.createElement("tr");
    row.dataset.origin = origin;
    const remove = document.createElement("button");
    remove.type = "button";
    remove.textContent = "Remove";
    remove.addEventListener("click", () => removeGrant(origin));
    const action = document.createElement("td");
    action.append(remove);
    row.append(cell(origin), cell(LABELS[grant.decision] ?? grant.decision), cell(grant.at ?? ""), action);
    return row;
  });
  document.querySelector("#grants tbody").replaceChildren(...rows);
  document.getElementById("none").hidden = rows.length > 0;

  let policy = {};
  try {
    policy = (await api.storage.managed.get(["allowedOrigins", "blockedOrigins"])) ?? {};
  } catch {}
  const managed = [
    ...(policy.blockedOrigins ?? []).map((origin) => [origin, "Blocked"]),
    ...(policy.allowedOrigins ?? []).map((origin) => [origin, "Allowed"]),
  ].map(([origin, decision]) => {
    const row = document.createElement("tr");
    row.append(cell(origin), cell(decision));
    return row;
  });
  document.querySelector("#managed tbody").replaceChildren(...managed);
  document.getElementById("managed").hidden = managed.length === 0;
  document.body.dataset.ready = "true";
}

api.storage.onChanged.addListener(show);
show();
