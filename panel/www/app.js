// The page: logs in, then shows the site and the appliance picked from it,
// kept current by one event stream (or polling when that fails).

import * as api from "./api.js";
import { Activity } from "./activity.js";
import { AppliancePage } from "./appliance.js";
import { Live } from "./live.js";
import { SiteList } from "./site.js";

function $(id) {
  return document.getElementById(id);
}

const activity = new Activity($("activity"));
let appliancePage = null;

const siteList = new SiteList($("site-list"), $("site-empty"), $("mixed"), (address) =>
  appliancePage.show(address),
);

const live = new Live({
  site(data) {
    siteList.render(data);
    appliancePage.rooms(data.rooms || []);
    appliancePage.summaryChanged();
  },
  appliance(data) {
    appliancePage.update(data);
  },
  mode(text) {
    const names = {
      live: "Live",
      reconnecting: "Reconnecting…",
      polling: "Live stream unavailable: reading every 2 s",
      unreachable: "The panel does not answer",
    };
    $("connection").textContent = names[text] || text;
    document.body.dataset.live = text;
  },
});

appliancePage = new AppliancePage(activity, live, siteList);

function showLogin(text) {
  $("main").hidden = true;
  $("login").hidden = false;
  $("login-message").textContent = text;
  $("connection").textContent = "Not logged in";
}

function showMain() {
  $("login").hidden = true;
  $("main").hidden = false;
}

async function siteAction(what, action) {
  const status = $("apply-status");
  status.textContent = `${what}…`;
  try {
    const data = await action();
    if (data) siteList.render(data);
    status.textContent = `${what}: done.`;
  } catch (error) {
    status.textContent = `${what}: ${error.message}`;
  }
}

$("discover-form").addEventListener("submit", (event) => {
  event.preventDefault();
  const range = $("discover-range").value.trim();
  siteAction("Discover", () => api.discover(range));
});

$("add-form").addEventListener("submit", (event) => {
  event.preventDefault();
  const address = $("add-address").value.trim();
  siteAction(`Add ${address}`, () => api.add(address));
});

$("apply-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  const room = $("apply-room").value;
  const addresses = siteList.checked();
  const status = $("apply-status");
  if (!room) {
    status.textContent = "Choose the room to apply.";
    return;
  }
  if (addresses.length === 0) {
    status.textContent = "Tick the appliances to apply it to.";
    return;
  }
  for (const address of addresses) siteList.outcome(address, "applying…", "pending");
  status.textContent = `Applying ${room} to ${addresses.length}…`;
  const records = new Map(addresses.map((a) => [a, activity.sent(a, `apply room ${room}`)]));
  try {
    const { results } = await api.applyRoom(room, addresses);
    let failed = 0;
    for (const result of results) {
      const text =
        result.outcome === "done"
          ? "done"
          : `${result.outcome === "refused" ? "refused" : "no answer to"} line ${result.line}`;
      if (result.outcome !== "done") failed += 1;
      siteList.outcome(result.address, text, result.outcome);
      const record = records.get(result.address);
      if (record) record(result.outcome, text);
    }
    status.textContent = failed
      ? `${room}: ${failed} of ${results.length} failed.`
      : `${room} applied to ${results.length}.`;
  } catch (error) {
    for (const address of addresses) siteList.outcome(address, "not applied", "error");
    status.textContent = `Apply room: ${error.message}`;
  }
  live.refresh();
});

$("login-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  try {
    await api.loginWithPassword($("login-user").value, $("login-password").value);
    $("login-password").value = "";
    start();
  } catch (error) {
    $("login-message").textContent = "Wrong user or password (or too many tries: wait a little).";
  }
});

let started = false;
async function start() {
  try {
    siteList.render(await api.site());
  } catch (error) {
    if (error.status === 403) {
      showLogin("Open the address the panel printed when it started, or log in.");
      return;
    }
    $("connection").textContent = `The panel does not answer: ${error.message}`;
  }
  showMain();
  if (!started) {
    started = true;
    live.watch(null);
  }
}

api.whenForbidden(() => {
  if (started) showLogin("The session has ended: log in again.");
});

(async () => {
  const token = await api.loginFromFragment();
  if (token === false) activity.note("The login address was used before or is wrong.");
  start();
})();
