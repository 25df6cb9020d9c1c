// The panel's HTTP API: JSON replies; every POST a form with the header the
// panel requires of changes. Errors come back as values, never thrown.

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

// Called with the status of a reply that says the session is gone (403).
let onForbidden = () => {};
export function whenForbidden(callback) {
  onForbidden = callback;
}

async function parse(response) {
  const type = response.headers.get("Content-Type") || "";
  const body = type.startsWith("application/json") ? await response.json() : await response.text();
  if (!response.ok) {
    if (response.status === 403) onForbidden(response.status);
    const why = body && typeof body === "object" && body.error ? body.error : `HTTP ${response.status}`;
    throw new ApiError(response.status, why);
  }
  return body;
}

export async function get(path, query = {}) {
  const search = new URLSearchParams(query).toString();
  const response = await fetch(search ? `${path}?${search}` : path, {
    credentials: "same-origin",
    cache: "no-store",
  });
  return parse(response);
}

export async function post(path, fields = {}) {
  const response = await fetch(path, {
    method: "POST",
    credentials: "same-origin",
    headers: { "X-Orvo-Panel": "1" },
    body: new URLSearchParams(fields),
  });
  if (response.status === 204) return null;
  return parse(response);
}

// Trades the one-time token of the URL's fragment for a session, then takes
// the fragment out of the address bar and the history. True when a token was
// there and accepted.
export async function loginFromFragment() {
  const fragment = new URLSearchParams(location.hash.replace(/^#/, ""));
  const token = fragment.get("token");
  if (token === null) return null;
  history.replaceState(null, "", location.pathname + location.search);
  try {
    await post("/api/login", { token });
    return true;
  } catch (error) {
    return false;
  }
}

export async function loginWithPassword(user, password) {
  await post("/api/login", { user, password });
}

export const site = () => get("/api/site");
export const appliance = (address) => get("/api/appliance", { address });
export const discover = (range) => post("/api/discover", range ? { range } : {});
export const add = (address) => post("/api/add", { address });
export const send = (address, line) => post("/api/send", { address, line });
export const diff = (address, room) => get("/api/rooms/diff", { address, room });
export const saveRoom = (address, room) => post("/api/rooms/save", { address, room });
export const applyRoom = (room, addresses) =>
  post("/api/rooms/apply", { room, addresses: addresses.join(",") });
export const snapshotUrl = (address) => `/api/snapshot?${new URLSearchParams({ address })}`;
export const snapshot = (address) => get("/api/snapshot", { address });
