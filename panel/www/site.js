// The site list: one row per appliance, named by its address, with its room,
// version, state, DSP status and drift from its room's file; a box per row
// picks it for Apply room, whose outcome shows in the row.

const kStates = { up: "up", busy: "busy", silent: "not answering" };

function cell(text, className) {
  const td = document.createElement("td");
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

export class SiteList {
  constructor(body, empty, mixed, onOpen) {
    this.body = body;
    this.empty = empty;
    this.mixed = mixed;
    this.onOpen = onOpen;
    this.rows = new Map(); // address -> { row, box, outcome }
    this.selected = null;
    this.data = { appliances: [], mixed_versions: false, rooms: [] };
  }

  addresses() {
    return this.data.appliances.map((a) => a.address);
  }

  summary(address) {
    return this.data.appliances.find((a) => a.address === address) || null;
  }

  checked() {
    return [...this.rows.entries()].filter(([, r]) => r.box.checked).map(([address]) => address);
  }

  select(address) {
    this.selected = address;
    for (const [key, { row, open }] of this.rows) {
      const current = key === address;
      row.classList.toggle("selected", current);
      if (current) open.setAttribute("aria-current", "true");
      else open.removeAttribute("aria-current");
    }
  }

  outcome(address, text, className) {
    const entry = this.rows.get(address);
    if (!entry) return;
    entry.outcome.textContent = text;
    entry.outcome.className = className || "";
  }

  render(data) {
    this.data = data;
    this.mixed.hidden = !data.mixed_versions;
    this.empty.hidden = data.appliances.length > 0;
    const seen = new Set();
    data.appliances.forEach((appliance, i) => {
      seen.add(appliance.address);
      let entry = this.rows.get(appliance.address);
      if (!entry) entry = this.makeRow(appliance.address);
      this.fill(entry, appliance, data.mixed_versions);
      // The server's order; rows already in place stay (and keep the focus).
      const here = this.body.children[i] || null;
      if (here !== entry.row) this.body.insertBefore(entry.row, here);
    });
    for (const [address, entry] of this.rows) {
      if (!seen.has(address)) {
        entry.row.remove();
        this.rows.delete(address);
      }
    }
    this.select(this.selected);
  }

  makeRow(address) {
    const row = document.createElement("tr");
    const pick = document.createElement("td");
    const box = document.createElement("input");
    box.type = "checkbox";
    box.setAttribute("aria-label", `Select ${address}`);
    box.value = address;
    pick.append(box);
    const name = document.createElement("td");
    const open = document.createElement("button");
    open.type = "button";
    open.className = "link address";
    open.textContent = address;
    open.addEventListener("click", () => this.onOpen(address));
    name.append(open);
    const cells = {
      room: cell(""),
      version: cell(""),
      state: cell(""),
      dsp: cell(""),
      drift: cell(""),
    };
    const outcome = cell("");
    row.append(pick, name, cells.room, cells.version, cells.state, cells.dsp, cells.drift, outcome);
    const entry = { row, box, open, cells, outcome };
    this.rows.set(address, entry);
    return entry;
  }

  fill(entry, appliance, mixed) {
    const { cells } = entry;
    cells.room.textContent = appliance.room ?? "—";
    cells.version.textContent = appliance.version ?? "—";
    cells.version.classList.toggle("warning-text", Boolean(mixed && appliance.version));
    cells.version.title = mixed ? "The site runs more than one software version" : "";
    cells.state.textContent = kStates[appliance.state] || appliance.state;
    cells.state.className = `state-${appliance.state}`;
    entry.row.dataset.state = appliance.state;
    if (appliance.dsp_status === null || appliance.dsp_status === undefined) {
      cells.dsp.textContent = "—";
    } else {
      cells.dsp.textContent = `${appliance.dsp_up ? "up" : "down"} (${appliance.dsp_status})`;
    }
    cells.dsp.className = appliance.dsp_up === false ? "warning-text" : "";
    if (appliance.drift === null || appliance.drift === undefined) {
      cells.drift.textContent = appliance.room ? "—" : "no room";
      cells.drift.title = "";
    } else if (appliance.drift === 0) {
      cells.drift.textContent = "none";
      cells.drift.title = "";
    } else {
      cells.drift.textContent = String(appliance.drift);
      cells.drift.title = (appliance.differences || []).join(", ");
    }
    cells.drift.className = appliance.drift ? "warning-text" : "";
  }
}
