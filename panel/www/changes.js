// What a setting line the page sent changes in the appliance's settings (as
// the API shows them), so that the page shows an acknowledged change at once
// and keeps showing it until a reading of the appliance agrees, instead of
// flicking back to a reading taken before the change.

import * as facts from "./facts.js";

const kComponents = "RGB";

// The channels' indexes a channel argument names (0: all of them).
function channels(settings, channel) {
  const found = [];
  settings.channels.forEach((entry, i) => {
    if (channel === 0 || entry.channel === channel) found.push(i);
  });
  return found;
}

// [path, value] pairs, a path being the keys from the settings object down.
export function fields(line, settings) {
  const [keyword, ...words] = line.split(" ");
  const n = words.map(Number);
  switch (keyword) {
    case "TRACKING":
      return words.length === 1 ? [[["tracking"], n[0]]] : [];
    case "NOISESUP":
    case "NOISERED":
      return words.length === 1 ? [[["noise_suppression"], n[0]]] : [];
    case "APT":
      return words.length === 1 ? [[["apt_mode"], n[0]]] : [];
    case "EQ":
      return words.length === 2 ? [[["eq", n[0]], n[1]]] : [];
    case "ACTNULCOL":
      return words.length === 6
        ? [
            [["active"], n.slice(0, 3)],
            [["null"], n.slice(3, 6)],
          ]
        : [];
    case "NULL":
      if (words.length === 0) return [];
      return [[["nulled"], n[0] === 0 ? [] : n.slice().sort((a, b) => a - b)]];
    case "NULLMASK": {
      if (words.length !== 1) return [];
      const nulled = [];
      for (let c = 1; c <= facts.kLedCount; c += 1) if ((n[0] >> c) & 1) nulled.push(c);
      return [[["nulled"], nulled]];
    }
    case "SRGB":
      if (words.length !== 4) return [];
      return channels(settings, n[0]).flatMap((i) => [
        [["channels", i, "rgb"], n.slice(1, 4)],
        [["channels", i, "on"], [true, true, true]],
      ]);
    case "STS":
    case "STSB": {
      const [letter, value] = (words[1] || "").split("=");
      const k = kComponents.indexOf(letter);
      if (words.length !== 2 || k < 0 || letter === "") return [];
      const key = keyword === "STS" ? "on" : "percent";
      const v = keyword === "STS" ? value === "1" : Number(value);
      return channels(settings, n[0]).map((i) => [["channels", i, key, k], v]);
    }
    default:
      return [];
  }
}

export function getPath(object, path) {
  return path.reduce((at, key) => (at === undefined || at === null ? at : at[key]), object);
}

export function setPath(object, path, value) {
  const parent = getPath(object, path.slice(0, -1));
  if (parent !== undefined && parent !== null) parent[path[path.length - 1]] = value;
}
