// One appliance: its room and address, Identify, the ring, the audio and LED
// settings, the long commands and the rooms. Nothing is sent until Edit is
// pressed; each control sends one line when it is changed or released (never
// on every step of a drag), and every line and its reply goes to the activity
// list. After a refusal the appliance is read again.

import * as api from "./api.js";
import * as facts from "./facts.js";
import { Ring, colourText } from "./ring.js";

const kComponents = ["R", "G", "B"];
const kComponentNames = ["red", "green", "blue"];
const kRoomName = /^[A-Za-z0-9_-]{1,64}$/;

function $(id) {
  return document.getElementById(id);
}

function rgbOf(text) {
  const value = parseInt(text.slice(1), 16);
  return [(value >> 16) & 255, (value >> 8) & 255, value & 255];
}

function same(a, b) {
  return JSON.stringify(a) === JSON.stringify(b);
}

export class AppliancePage {
  constructor(activity, live, siteList) {
    this.activity = activity;
    this.live = live;
    this.siteList = siteList;
    this.address = null;
    this.data = null;
    this.editing = false;
    this.revertLines = null;
    this.held = null; // the control a pointer is on: not overwritten meanwhile
    this.longRunning = false;
    this.section = $("appliance");
    this.message = $("message");
    this.ring = new Ring($("ring"), $("ring-rotation"), $("ring-mirror"), (channel) =>
      this.pressChannel(channel),
    );
    this.controls = [];
    this.buildAudio();
    this.buildChannels();
    this.wire();
    this.setEditing(false);
  }

  // The controls that change settings: enabled only while editing.
  control(element) {
    this.controls.push(element);
    element.addEventListener("pointerdown", () => {
      this.held = element;
    });
    element.addEventListener("pointerup", () => {
      if (this.held === element) this.held = null;
    });
    return element;
  }

  buildAudio() {
    const box = $("eq-bands");
    this.eq = [];
    for (let band = 0; band < facts.kEqBands; band += 1) {
      const label = document.createElement("label");
      label.className = "eq";
      const input = document.createElement("input");
      input.type = "range";
      input.min = String(facts.kEqGainMin);
      input.max = String(facts.kEqGainMax);
      input.step = "1";
      input.id = `eq-${band}`;
      const output = document.createElement("output");
      output.htmlFor = input.id;
      input.addEventListener("input", () => {
        output.textContent = `${input.value} dB`;
      });
      input.addEventListener("change", () => {
        this.held = null;
        this.send(`EQ ${band} ${input.value}`);
      });
      label.append(`EQ band ${band} `, input, " ", output);
      box.append(label);
      this.eq.push({ input: this.control(input), output });
    }
    for (const id of ["tracking", "noise", "apt", "active-colour", "null-colour"]) {
      this.control($(id));
    }
    $("tracking").addEventListener("change", (e) =>
      this.send(`TRACKING ${e.target.checked ? 1 : 0}`),
    );
    $("noise").addEventListener("change", (e) => this.send(`NOISESUP ${e.target.checked ? 1 : 0}`));
    $("apt").addEventListener("change", (e) => this.send(`APT ${e.target.value}`));
    const colours = () => {
      const active = rgbOf($("active-colour").value);
      const nulled = rgbOf($("null-colour").value);
      this.send(`ACTNULCOL ${[...active, ...nulled].join(" ")}`);
    };
    $("active-colour").addEventListener("change", colours);
    $("null-colour").addEventListener("change", colours);
  }

  buildChannels() {
    const body = $("channel-list");
    this.channelRows = [];
    for (let channel = 1; channel <= facts.kLedStateChannels; channel += 1) {
      const row = document.createElement("tr");
      const name = document.createElement("th");
      name.scope = "row";
      name.textContent = channel <= facts.kLedCount ? String(channel) : `${channel} (no LED)`;
      const colourCell = document.createElement("td");
      const colour = this.control(document.createElement("input"));
      colour.type = "color";
      colour.setAttribute("aria-label", `Channel ${channel} colour`);
      colour.addEventListener("change", () =>
        this.send(`SRGB ${channel} ${rgbOf(colour.value).join(" ")}`),
      );
      colourCell.append(colour);
      const onCell = document.createElement("td");
      const levelCell = document.createElement("td");
      const on = [];
      const level = [];
      kComponents.forEach((letter, i) => {
        const box = this.control(document.createElement("input"));
        box.type = "checkbox";
        box.setAttribute("aria-label", `Channel ${channel} ${kComponentNames[i]} on`);
        box.addEventListener("change", () =>
          this.send(`STS ${channel} ${letter}=${box.checked ? 1 : 0}`),
        );
        onCell.append(box);
        on.push(box);
        const select = this.control(document.createElement("select"));
        select.setAttribute("aria-label", `Channel ${channel} ${kComponentNames[i]} level`);
        for (let p = 0; p <= facts.kPercentFull; p += facts.kPercentStep) {
          const option = document.createElement("option");
          option.value = String(p);
          option.textContent = String(p);
          select.append(option);
        }
        select.addEventListener("change", () =>
          this.send(`STSB ${channel} ${letter}=${select.value}`),
        );
        levelCell.append(select);
        level.push(select);
      });
      row.append(name, colourCell, onCell, levelCell);
      body.append(row);
      this.channelRows.push({ colour, on, level });
    }
  }

  wire() {
    $("edit").addEventListener("click", () => this.toggleEditing());
    $("revert").addEventListener("click", () => this.revert());
    $("identify").addEventListener("click", () => this.identify());
    $("clear-nulls").addEventListener("click", () => {
      if (this.mayChange()) this.send("NULL 0");
    });
    this.controls.push($("clear-nulls"));
    $("mictest").addEventListener("click", () => this.long("MICTEST", "Mic test"));
    $("fu").addEventListener("click", () => this.long("FU", "FU"));
    $("impress").addEventListener("click", () => this.long("IMPRESS", "IMPRESS"));
    this.controls.push($("mictest"), $("fu"), $("impress"), $("defaults"));
    $("defaults").addEventListener("click", () => this.defaults());
    $("save-room").addEventListener("click", () => this.saveRoom());
    $("diff-room").addEventListener("change", () => this.showDiff());
  }

  say(text) {
    this.message.textContent = text;
  }

  // Opens an appliance (its entry was clicked).
  show(address) {
    if (address !== this.address) {
      this.setEditing(false);
      this.data = null;
      this.say("");
      $("diff-result").textContent = "";
    }
    this.address = address;
    this.section.hidden = false;
    $("appliance-address").textContent = address;
    $("snapshot").href = api.snapshotUrl(address);
    $("snapshot").setAttribute("download", `${address}.orvo`);
    this.siteList.select(address);
    this.live.watch(address);
    this.renderHeader(this.siteList.summary(address));
  }

  renderHeader(summary) {
    const room = summary ? summary.room : null;
    $("appliance-room").textContent = room ? `Room ${room}` : "No room";
    const states = { up: "up", busy: "busy", silent: "not answering" };
    const parts = [];
    if (summary) {
      parts.push(states[summary.state] || summary.state);
      if (summary.version) parts.push(`version ${summary.version}`);
      if (summary.dsp_status !== null && summary.dsp_status !== undefined)
        parts.push(`DSP ${summary.dsp_up ? "up" : "down"} (status ${summary.dsp_status})`);
    }
    if (this.data && this.data.busy) parts.push(`running ${this.data.busy}`);
    $("appliance-state").textContent = parts.join(" · ");
    this.section.dataset.state = summary ? summary.state : "";
  }

  // A reading of the appliance on screen arrived (stream, poll or re-read).
  update(data) {
    if (!data || data.address !== this.address) return;
    this.data = data;
    this.renderHeader(data);
    const identify = $("identify");
    identify.setAttribute("aria-pressed", data.identify ? "true" : "false");
    $("identify-state").textContent = data.identify ? "Blinking: press Identify to stop" : "";
    const settings = data.settings;
    this.ring.draw(settings);
    if (!settings) return;
    const put = (element, apply) => {
      if (element !== this.held) apply();
    };
    put($("tracking"), () => ($("tracking").checked = settings.tracking === 1));
    put($("noise"), () => ($("noise").checked = settings.noise_suppression === 1));
    put($("apt"), () => ($("apt").value = String(settings.apt_mode)));
    this.eq.forEach(({ input, output }, band) => {
      const gain = settings.eq[band];
      put(input, () => {
        if (gain === null || gain === undefined) {
          output.textContent = "off";
          return;
        }
        input.value = String(gain);
        output.textContent = `${gain} dB`;
      });
    });
    put($("active-colour"), () => ($("active-colour").value = colourText(settings.active)));
    put($("null-colour"), () => ($("null-colour").value = colourText(settings.null)));
    for (const entry of settings.channels) {
      const row = this.channelRows[entry.channel - 1];
      if (!row) continue;
      put(row.colour, () => (row.colour.value = colourText(entry.rgb)));
      entry.on.forEach((on, i) => put(row.on[i], () => (row.on[i].checked = Boolean(on))));
      entry.percent.forEach((p, i) => put(row.level[i], () => (row.level[i].value = String(p))));
    }
  }

  summaryChanged() {
    if (this.address) this.renderHeader(this.siteList.summary(this.address));
  }

  mayChange() {
    if (!this.editing) {
      this.say("Press Edit first: nothing is sent to the appliance until then.");
      return false;
    }
    return true;
  }

  setEditing(on) {
    this.editing = on;
    $("edit").setAttribute("aria-pressed", on ? "true" : "false");
    $("revert").disabled = !on || !this.revertLines;
    for (const element of this.controls) element.disabled = !on;
    this.section.classList.toggle("editing", on);
  }

  async toggleEditing() {
    if (this.editing) {
      this.setEditing(false);
      this.say("Editing ended.");
      return;
    }
    if (!this.address) return;
    const address = this.address;
    // What Revert puts back: the appliance's settings as lines, read now.
    try {
      const text = await api.snapshot(address);
      this.revertLines = text
        .split("\n")
        .map((line) => line.trim())
        .filter((line) => line !== "" && !line.startsWith("#"));
    } catch (error) {
      this.say(`Cannot read the settings to keep for Revert: ${error.message}`);
      return;
    }
    if (address !== this.address) return;
    this.setEditing(true);
    this.say("Editing: each change is sent at once.");
  }

  async revert() {
    if (!this.editing || !this.revertLines) return;
    const address = this.address;
    let failed = 0;
    for (const line of this.revertLines) {
      const result = await this.send(line, { quiet: true, address });
      if (!result || result.outcome !== "done") failed += 1;
    }
    this.say(
      failed
        ? `Revert: ${failed} of ${this.revertLines.length} lines were not taken.`
        : "Reverted to the settings read when editing began.",
    );
    await this.live.refresh();
  }

  // Sends one line to the appliance on screen (or the given one); records it
  // in the activity list. The API's reply, or null when it failed.
  async send(line, options = {}) {
    const address = options.address || this.address;
    if (!address) return null;
    if (!options.always && !this.mayChange()) {
      this.update(this.data); // put the control back
      return null;
    }
    const record = this.activity.sent(address, line);
    let result;
    try {
      result = await api.send(address, line);
    } catch (error) {
      record("error", error.message);
      this.say(`${line}: ${error.message}`);
      await this.live.refresh();
      return null;
    }
    if (result.outcome === "done") {
      record("done", result.reply);
    } else if (result.outcome === "refused") {
      record("refused", result.reply || "NACK");
      this.say(`The appliance refused ${line}; read again.`);
    } else {
      record("silent", "no answer");
      this.say(`No answer to ${line}.`);
    }
    if (result.outcome !== "done" || !options.quiet) await this.live.refresh();
    return result;
  }

  pressChannel(channel) {
    if (!this.mayChange()) return;
    if (!this.data || !this.data.settings) {
      this.say("The appliance's settings are not read yet.");
      return;
    }
    const nulled = this.data.settings.nulled.slice();
    let next;
    if (nulled.includes(channel)) {
      next = nulled.filter((c) => c !== channel);
    } else if (nulled.length >= facts.kMaxNulledChannels) {
      this.say(
        `At most ${facts.kMaxNulledChannels} channels can be nulled, and ${nulled.join(" and ")} are: ` +
          "press one of them to free it, or Clear nulls.",
      );
      return;
    } else {
      next = [...nulled, channel].sort((a, b) => a - b);
    }
    this.send(next.length ? `NULL ${next.join(" ")}` : "NULL 0");
  }

  async identify() {
    const on = $("identify").getAttribute("aria-pressed") !== "true";
    const result = await this.send(`ID ${on ? 1 : 0}`, { always: true });
    if (result && result.outcome === "done") {
      $("identify").setAttribute("aria-pressed", on ? "true" : "false");
      $("identify-state").textContent = on ? "Blinking: press Identify to stop" : "";
    }
  }

  async long(keyword, label) {
    if (!this.mayChange() || this.longRunning) return;
    this.longRunning = true;
    const seconds = facts.kLongCommands[keyword];
    const progress = $("long-progress");
    const state = $("long-state");
    progress.hidden = false;
    progress.max = seconds * 10;
    progress.value = 0;
    state.textContent = `${label} running (about ${seconds} s)…`;
    const started = Date.now();
    const timer = setInterval(() => {
      progress.value = Math.min(progress.max, (Date.now() - started) / 100);
    }, 200);
    const result = await this.send(keyword, { quiet: true });
    clearInterval(timer);
    progress.value = progress.max;
    state.textContent = result ? `${label}: ${result.reply || result.outcome}` : `${label} failed`;
    this.longRunning = false;
    await this.live.refresh();
  }

  defaults() {
    if (!this.mayChange()) return;
    const summary = this.siteList.summary(this.address);
    const room = summary && summary.room ? `room ${summary.room}` : "no room";
    const question =
      `Put the appliance ${this.address} (${room}) back to its factory defaults? ` +
      "Its audio settings, null colours and null channels are lost.";
    if (window.confirm(question)) this.send("DEFAULTS");
  }

  async saveRoom() {
    if (!this.address) return;
    const summary = this.siteList.summary(this.address);
    const name = window.prompt(
      "Room name (letters, digits, - and _):",
      (summary && summary.room) || "",
    );
    if (name === null) return;
    if (!kRoomName.test(name)) {
      this.say("A room name is 1 to 64 letters, digits, - or _.");
      return;
    }
    const record = this.activity.sent(this.address, `save as room ${name}`);
    try {
      await api.saveRoom(this.address, name);
      record("done", `room ${name} saved`);
      this.say(`Saved as room ${name}.`);
    } catch (error) {
      record("error", error.message);
      this.say(`Cannot save room ${name}: ${error.message}`);
    }
    await this.live.refresh();
  }

  async showDiff() {
    const room = $("diff-room").value;
    const result = $("diff-result");
    if (!room || !this.address) {
      result.textContent = "";
      return;
    }
    try {
      const { differences } = await api.diff(this.address, room);
      result.textContent = differences.length
        ? `Differs from ${room} in: ${differences.join(", ")}`
        : `Same as ${room}.`;
    } catch (error) {
      result.textContent = `Cannot compare: ${error.message}`;
    }
  }

  rooms(names) {
    for (const select of [$("diff-room"), $("apply-room")]) {
      const current = select.value;
      const wanted = ["", ...names];
      const have = [...select.options].map((o) => o.value);
      if (same(have, wanted)) continue;
      select.replaceChildren();
      for (const name of wanted) {
        const option = document.createElement("option");
        option.value = name;
        option.textContent = name || "(choose a room)";
        select.append(option);
      }
      select.value = names.includes(current) ? current : "";
    }
  }
}
