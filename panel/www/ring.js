// The ring of LEDs as an SVG drawing: channel 1 at the top, then clockwise,
// turned and mirrored as the room's plan needs (kept in this browser). Each
// LED is a button named "Channel N", pressed when the channel is nulled.

import { kLedCount as kLeds } from "./facts.js";

const SVG = "http://www.w3.org/2000/svg";
const kRadius = 90;
const kLedRadius = 15;
const kRotationKey = "orvo-ring-rotation";
const kMirrorKey = "orvo-ring-mirror";

function hex(value) {
  return value.toString(16).padStart(2, "0");
}
export function colourText(rgb) {
  return `#${hex(rgb[0])}${hex(rgb[1])}${hex(rgb[2])}`;
}

// What an LED shows: its effective colour with switched-off components dark,
// or the null colour when nulled.
export function shown(settings, channel) {
  if (settings.nulled.includes(channel)) return settings.null.slice();
  const entry = settings.channels.find((c) => c.channel === channel);
  if (!entry) return [0, 0, 0];
  return entry.rgb.map((value, i) => (entry.on[i] ? value : 0));
}

export class Ring {
  // svg: the element; onPress(channel): a click or key on an LED.
  constructor(svg, rotationSelect, mirrorBox, onPress) {
    this.svg = svg;
    this.onPress = onPress;
    this.rotation = Number(localStorage.getItem(kRotationKey)) || 0;
    this.mirror = localStorage.getItem(kMirrorKey) === "1";
    this.leds = [];
    for (let step = 0; step < kLeds; step += 1) {
      const option = document.createElement("option");
      option.value = String(step);
      option.textContent = `${step * (360 / kLeds)}°`;
      rotationSelect.append(option);
    }
    rotationSelect.value = String(this.rotation);
    mirrorBox.checked = this.mirror;
    rotationSelect.addEventListener("change", () => {
      this.rotation = Number(rotationSelect.value);
      localStorage.setItem(kRotationKey, String(this.rotation));
      this.place();
    });
    mirrorBox.addEventListener("change", () => {
      this.mirror = mirrorBox.checked;
      localStorage.setItem(kMirrorKey, this.mirror ? "1" : "0");
      this.place();
    });
    this.build();
    this.place();
  }

  build() {
    const plate = document.createElementNS(SVG, "circle");
    plate.setAttribute("r", String(kRadius + kLedRadius + 8));
    plate.setAttribute("class", "plate");
    this.svg.append(plate);
    for (let channel = 1; channel <= kLeds; channel += 1) {
      const led = document.createElementNS(SVG, "g");
      led.setAttribute("role", "button");
      led.setAttribute("tabindex", "0");
      led.setAttribute("aria-label", `Channel ${channel}`);
      led.setAttribute("aria-pressed", "false");
      led.setAttribute("class", "led");
      led.dataset.channel = String(channel);
      const dot = document.createElementNS(SVG, "circle");
      dot.setAttribute("r", String(kLedRadius));
      dot.setAttribute("fill", "#000000");
      const label = document.createElementNS(SVG, "text");
      label.setAttribute("text-anchor", "middle");
      label.setAttribute("dominant-baseline", "central");
      label.setAttribute("aria-hidden", "true");
      label.textContent = String(channel);
      led.append(dot, label);
      led.addEventListener("click", () => this.onPress(channel));
      led.addEventListener("keydown", (event) => {
        if (event.key === "Enter" || event.key === " ") {
          event.preventDefault();
          this.onPress(channel);
        }
      });
      this.svg.append(led);
      this.leds.push({ led, dot, label });
    }
  }

  place() {
    this.leds.forEach(({ led }, i) => {
      let angle = ((i + this.rotation) % kLeds) * ((2 * Math.PI) / kLeds);
      if (this.mirror) angle = -angle;
      const x = Math.sin(angle) * kRadius;
      const y = -Math.cos(angle) * kRadius;
      led.setAttribute("transform", `translate(${x.toFixed(1)} ${y.toFixed(1)})`);
    });
  }

  // Draws the appliance's LED state; null settings: unknown, all grey.
  draw(settings) {
    this.leds.forEach(({ led, dot, label }, i) => {
      const channel = i + 1;
      if (!settings) {
        dot.setAttribute("fill", "#808080");
        led.dataset.rgb = "";
        led.setAttribute("aria-pressed", "false");
        led.classList.remove("nulled");
        return;
      }
      const rgb = shown(settings, channel);
      const nulled = settings.nulled.includes(channel);
      dot.setAttribute("fill", colourText(rgb));
      led.dataset.rgb = rgb.join(",");
      led.setAttribute("aria-pressed", nulled ? "true" : "false");
      led.classList.toggle("nulled", nulled);
      // Dark text on bright LEDs.
      const light = rgb[0] * 0.3 + rgb[1] * 0.59 + rgb[2] * 0.11 > 140;
      label.setAttribute("class", light ? "on-light" : "on-dark");
    });
  }
}
