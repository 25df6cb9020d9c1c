// The activity list: every line the page sent, to which appliance, and the
// reply (newest first; the oldest drop off after a few hundred).

const kKept = 300;

function time() {
  return new Date().toLocaleTimeString();
}

export class Activity {
  constructor(list) {
    this.list = list;
  }

  // A line on its way; returns a function that records its outcome.
  sent(address, line) {
    const item = document.createElement("li");
    const when = document.createElement("time");
    when.textContent = time();
    const where = document.createElement("span");
    where.className = "address";
    where.textContent = address;
    const what = document.createElement("code");
    what.textContent = line;
    const reply = document.createElement("span");
    reply.className = "reply pending";
    reply.textContent = "…";
    item.append(when, " ", where, " ", what, " → ", reply);
    item.dataset.line = line;
    item.dataset.address = address;
    this.list.prepend(item);
    while (this.list.children.length > kKept) this.list.lastElementChild.remove();
    return (outcome, text) => {
      reply.className = `reply ${outcome}`;
      reply.textContent = text;
      item.dataset.outcome = outcome;
    };
  }

  note(text) {
    const item = document.createElement("li");
    const when = document.createElement("time");
    when.textContent = time();
    item.append(when, " ", text);
    this.list.prepend(item);
  }
}
