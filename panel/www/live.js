// Live updates: one event stream for the page, about the site and the
// appliance on screen. When the stream keeps failing (a proxy that buffers
// it, say), the page asks every two seconds instead.

import * as api from "./api.js";

const kFailuresBeforePolling = 3;
const kPollMs = 2000;

export class Live {
  // handlers: { site(json), appliance(json), mode(text) }
  constructor(handlers) {
    this.handlers = handlers;
    this.address = null;
    this.source = null;
    this.failures = 0;
    this.polling = false;
    this.timer = null;
  }

  // Watches the given appliance (null: the site only); reopens the stream.
  watch(address) {
    this.address = address;
    if (this.polling) {
      this.poll();
      return;
    }
    this.open();
  }

  open() {
    if (this.source) this.source.close();
    const url = this.address
      ? `/api/events?${new URLSearchParams({ address: this.address })}`
      : "/api/events";
    const source = new EventSource(url);
    this.source = source;
    source.addEventListener("open", () => {
      this.handlers.mode("live");
    });
    source.addEventListener("site", (event) => {
      this.failures = 0;
      this.deliver("site", event.data);
    });
    source.addEventListener("appliance", (event) => {
      this.failures = 0;
      this.deliver("appliance", event.data);
    });
    source.addEventListener("error", () => {
      if (source !== this.source) return;
      this.failures += 1;
      this.handlers.mode("reconnecting");
      if (this.failures >= kFailuresBeforePolling || source.readyState === EventSource.CLOSED) {
        source.close();
        this.source = null;
        this.startPolling();
      }
    });
  }

  deliver(kind, data) {
    let value;
    try {
      value = JSON.parse(data);
    } catch (error) {
      return;
    }
    this.handlers[kind](value);
  }

  startPolling() {
    if (this.polling) return;
    this.polling = true;
    this.handlers.mode("polling");
    this.poll();
  }

  async poll() {
    clearTimeout(this.timer);
    this.round = (this.round || 0) + 1;
    const round = this.round;
    try {
      this.handlers.site(await api.site());
      const address = this.address;
      if (address) {
        const appliance = await api.appliance(address);
        if (address === this.address) this.handlers.appliance(appliance);
      }
      this.handlers.mode("polling");
    } catch (error) {
      this.handlers.mode("unreachable");
    }
    // A newer round (the appliance on screen changed meanwhile) keeps the timer.
    if (round === this.round) this.timer = setTimeout(() => this.poll(), kPollMs);
  }

  // Reads everything now (after a change the page made itself).
  async refresh() {
    try {
      this.handlers.site(await api.site());
      if (this.address) {
        const address = this.address;
        const appliance = await api.appliance(address);
        if (address === this.address) this.handlers.appliance(appliance);
      }
    } catch (error) {
      // The stream or the next poll brings it.
    }
  }
}
