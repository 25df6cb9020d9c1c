#!/usr/bin/python3
# The panel in a real browser on a virtual site of three appliances (run
# through site_run, in the site's client network): headless Chromium driven
# by Selenium logs in with the printed token, discovers the site, opens one
# appliance and commissions it through the page as an integrator would; each
# change is checked on the appliance itself with orvo-udpc and in the ring's
# DOM. Then a room is saved from it and applied to the other two, and Revert
# puts the first one back. Any JavaScript error or content-policy violation
# fails the test. Screenshots at desktop and phone width are kept in --out.
#
# Prints one line per check, "ok N ..." or "not ok N ..." with "#" lines of
# evidence; exits 1 when any failed. Every wait is bounded.

import argparse
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

WAIT_S = 10  # the longest any one step may take to show
PORT = 9495

# Stands in for the wait in Selenium's own loops: a bounded poll.
def wait_until(probe, seconds=WAIT_S, step=0.1):
    deadline = time.monotonic() + seconds
    while True:
        try:
            value = probe()
        except WebDriverException:
            value = None
        if value:
            return value
        if time.monotonic() >= deadline:
            return value
        time.sleep(step)


class Tap:
    def __init__(self):
        self.count = 0
        self.failed = 0

    def check(self, description, passed, evidence=""):
        self.count += 1
        if passed:
            print(f"ok {self.count} {description}", flush=True)
        else:
            self.failed += 1
            print(f"not ok {self.count} {description}", flush=True)
            for line in str(evidence).splitlines() or [""]:
                print(f"#   {line}", flush=True)
        return passed

    def bail(self, why):
        print(f"Bail out! {why}", flush=True)
        raise SystemExit(1)

    def finish(self):
        print(f"1..{self.count}")
        print(f"# {self.count - self.failed} passed, {self.failed} failed")
        return 1 if self.failed else 0


# Installed into every document before its own scripts run: collects
# JavaScript errors, content-policy violations and the event streams the
# page opens (it may hold one at a time).
WATCH = r"""
window.__orvo = { errors: [], violations: [], streams: [], open: 0, most: 0 };
addEventListener("error", (e) => window.__orvo.errors.push(String(e.message || e)));
addEventListener("unhandledrejection", (e) => window.__orvo.errors.push("rejected: " + String(e.reason)));
document.addEventListener("securitypolicyviolation", (e) =>
  window.__orvo.violations.push(e.violatedDirective + " " + e.blockedURI));
(() => {
  const Real = window.EventSource;
  window.EventSource = class extends Real {
    constructor(url, init) {
      super(url, init);
      const w = window.__orvo;
      w.streams.push(String(url));
      w.open += 1;
      w.most = Math.max(w.most, w.open);
      const close = this.close.bind(this);
      let closed = false;
      this.close = () => { if (!closed) { closed = true; w.open -= 1; } close(); };
    }
  };
})();
"""


class Site:
    def __init__(self, udpc):
        self.udpc = udpc
        self.addresses = os.environ["ORVO_SITE_APPLIANCES"].split()
        self.subnet = os.environ["ORVO_SITE_SUBNET"]
        self.leds = [entry.split(",") for entry in os.environ["ORVO_SITE_LEDS"].split()]

    def ask(self, address, *words):
        done = subprocess.run([self.udpc, "-t", "3", address, *words], capture_output=True,
                              text=True, timeout=20)
        return done.stdout.strip()

    def settings(self, address):
        done = subprocess.run([self.udpc, "-s", address], capture_output=True, text=True,
                              timeout=30)
        return [line for line in done.stdout.splitlines() if line and not line.startswith("#")]

    def led1(self, i):
        values = []
        for path in self.leds[i]:
            with open(path) as f:
                values.append(int(f.read().strip() or 0))
        return tuple(values)


class Page:
    def __init__(self, driver):
        self.driver = driver

    # The element of the given kind whose accessible name is name.
    def named(self, name, kind="button", seconds=WAIT_S):
        paths = {
            "button": "//button|//*[@role='button']",
            "control": "//input|//select",
            "link": "//a",
        }

        def find():
            for element in self.driver.find_elements(By.XPATH, paths[kind]):
                if element.accessible_name == name and element.is_displayed():
                    return element
            return None

        found = wait_until(find, seconds)
        if found is None:
            raise LookupError(f"no {kind} named {name!r} on the page")
        return found

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    # Sets a control's value as a user's change would end (one change event).
    def set_value(self, element, value):
        self.js(
            "arguments[0].value = arguments[1];"
            "arguments[0].dispatchEvent(new Event('input', {bubbles: true}));"
            "arguments[0].dispatchEvent(new Event('change', {bubbles: true}));",
            element, value)

    # A user's click: the element scrolled to the middle first, clear of the
    # appliance's sticky heading.
    def click(self, element):
        self.js("arguments[0].scrollIntoView({block: 'center'});", element)
        element.click()

    def led(self, channel):
        return self.named(f"Channel {channel}")

    def led_state(self, channel):
        led = self.led(channel)
        return led.get_attribute("data-rgb"), led.get_attribute("aria-pressed")

    def text(self, element_id):
        return self.driver.find_element(By.ID, element_id).text


def start_panel(args, site, state):
    panel = subprocess.Popen(
        [args.panel, "--listen", f"127.0.0.1:{PORT}", "--targets", site.subnet, "--state-dir",
         state, "--pages", args.pages, "--timeout", "1"],
        stdout=subprocess.PIPE, stderr=sys.stderr, text=True)
    url = None
    deadline = time.monotonic() + WAIT_S
    while url is None and time.monotonic() < deadline:
        ready, _, _ = select.select([panel.stdout], [], [], 0.5)
        if ready:
            line = panel.stdout.readline()
            if not line:
                break
            found = re.match(r"orvo-panel: open (http://\S+#token=[0-9a-f]{64})$", line.strip())
            if found:
                url = found.group(1)
    return panel, url


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--no-first-run", "--window-size=1280,1000", f"--user-data-dir={profile}"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(30)
    driver.set_script_timeout(30)
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": WATCH})
    return driver


def facts_agree(source, tap):
    # The page's copy of the appliance's facts against protocol/.
    headers = ""
    for name in ("commands.h", "platform.h", "protocol.h"):
        with open(os.path.join(source, "protocol", name)) as f:
            headers += f.read()
    with open(os.path.join(source, "panel", "www", "facts.js")) as f:
        page = f.read()
    wrong = []
    for name, value in re.findall(r"export const (k\w+) = (-?\d+);", page):
        found = re.search(rf"constexpr \w+ {name} = (-?\d+);", headers)
        if not found or found.group(1) != value:
            wrong.append(f"{name}: page {value}, protocol {found.group(1) if found else 'none'}")
    for keyword, seconds in re.findall(r"(\w+): (\d+)", page.split("kLongCommands")[1]):
        row = re.search(rf'\{{"{keyword}", \w+, [^}}]*, (\d+)\}}', headers)
        if keyword != "MICTEST" and (not row or row.group(1) != seconds):
            wrong.append(f"{keyword}: page {seconds} s, protocol {row.group(1) if row else 'none'}")
    tap.check("the page's facts (LEDs, ranges, running times) are protocol/'s", not wrong,
              "\n".join(wrong))


def scenario(args, tap, site, driver, page, state):
    a, b, c = site.addresses[:3]
    panel, url = start_panel(args, site, state)
    try:
        run(args, tap, site, driver, page, state, panel, url, a, b, c)
    finally:
        panel.terminate()
        try:
            panel.wait(10)
        except subprocess.TimeoutExpired:
            panel.kill()
            panel.wait()


def run(args, tap, site, driver, page, state, panel, url, a, b, c):
    if not tap.check("the panel prints its address with a login token", url is not None):
        tap.bail("no token URL from orvo-panel")

    # Log in: the token leaves the address bar.
    driver.get(url)
    shown = wait_until(lambda: driver.find_element(By.ID, "main").is_displayed())
    tap.check("the token logs in and is taken out of the address", shown and
              "token" not in driver.current_url, driver.current_url)
    if not shown:
        tap.bail("not logged in")

    # Discover: an entry per appliance, named by its address.
    page.click(page.named("Discover"))
    try:
        entries = [page.named(address) for address in (a, b, c)]
    except LookupError as error:
        entries = []
        tap.check("Discover lists the three appliances by address", False, error)
        tap.bail("nothing to open")
    tap.check("Discover lists the three appliances by address", len(entries) == 3)

    # One appliance: its address in sight, the ring drawn from its LEDs.
    before = site.settings(a)
    page.click(entries[0])
    drawn = wait_until(lambda: page.led_state(1)[0] not in (None, ""))
    tap.check("the appliance opens with its address and the ring drawn",
              drawn and page.text("appliance-address") == a,
              f"address {page.text('appliance-address')!r}, LED 1 {page.led_state(1)}")
    grgb = site.ask(a, "GRGB", "1")
    colour = re.search(r"CH1 (\d+) (\d+) (\d+)", grgb)
    tap.check("LED 1 in the ring has the colour GRGB reports",
              colour and page.led_state(1)[0] == ",".join(colour.groups()),
              f"GRGB: {grgb}; ring: {page.led_state(1)}")

    # Identify, before editing: LED 1 blinks white and dark.
    page.click(page.named("Identify"))
    pressed = wait_until(lambda: page.named("Identify").get_attribute("aria-pressed") == "true")
    seen = set()
    deadline = time.monotonic() + 4
    while time.monotonic() < deadline and len(seen) < 2:
        seen.add(site.led1(0) == (255, 255, 255))
        time.sleep(0.05)
    tap.check("Identify shows as running and blinks the appliance's LEDs", pressed and seen ==
              {True, False}, f"pressed {pressed}, LED 1 white/not seen: {sorted(seen)}")
    page.click(page.named("Identify"))
    stopped = wait_until(lambda: page.named("Identify").get_attribute("aria-pressed") == "false")
    tap.check("Identify again stops it", stopped)

    # Nothing is sent before Edit.
    page.click(page.led(5))
    time.sleep(0.5)
    tap.check("a ring click before Edit sends nothing and says why",
              site.ask(a, "NULLMASK") == "ACK NULLMASK 0" and "Edit" in page.text("message"),
              f"{site.ask(a, 'NULLMASK')}; message {page.text('message')!r}")

    page.click(page.named("Edit"))
    editing = wait_until(lambda: page.named("Edit").get_attribute("aria-pressed") == "true" and
                         page.named("EQ band 1", "control").is_enabled())
    if not tap.check("Edit switches the controls on", editing):
        tap.bail("cannot edit")

    # EQ band 1 to -3.
    page.set_value(page.named("EQ band 1", "control"), "-3")
    tap.check("EQ band 1 set to -3 reaches the appliance",
              wait_until(lambda: site.ask(a, "EQ", "1") == "ACK EQ 1 -3"), site.ask(a, "EQ", "1"))

    # Tracking off, with a real click.
    tracking = page.named("Tracking", "control")
    if not tracking.is_selected():
        tap.check("Tracking is on to begin with", False, "it was off")
    page.click(tracking)
    tap.check("Tracking off reaches the appliance",
              wait_until(lambda: site.ask(a, "TRACKING") == "ACK TRACKING 0"),
              site.ask(a, "TRACKING"))

    # Null channels 3 and 7 by clicking the ring; a third is refused.
    page.click(page.led(3))
    wait_until(lambda: page.led_state(3)[1] == "true")
    page.click(page.led(7))
    both = wait_until(lambda: page.led_state(7)[1] == "true" and page.led_state(3)[1] == "true")
    mask = site.ask(a, "NULLMASK")
    tap.check("clicking channels 3 and 7 nulls them on the appliance and presses them",
              both and mask == f"ACK NULLMASK {(1 << 3) | (1 << 7)}", f"{mask}; "
              f"3: {page.led_state(3)}, 7: {page.led_state(7)}")
    page.click(page.led(9))
    said = wait_until(lambda: "At most" in page.text("message"), 3)
    tap.check("a third channel is refused with the reason, nothing sent",
              said and page.led_state(9)[1] == "false" and
              site.ask(a, "NULLMASK") == f"ACK NULLMASK {(1 << 3) | (1 << 7)}",
              f"message {page.text('message')!r}; {site.ask(a, 'NULLMASK')}")

    # New colours: active red, null blue; channel 5 yellow, then its green off.
    page.set_value(page.named("Active colour", "control"), "#ff0000")
    wait_until(lambda: site.ask(a, "ACTNULCOL").startswith("ACK ACTNULCOL 255 0 0"))
    page.set_value(page.named("Null colour", "control"), "#0000ff")
    colours = wait_until(lambda: site.ask(a, "ACTNULCOL") == "ACK ACTNULCOL 255 0 0 0 0 255")
    ring = wait_until(lambda: page.led_state(3)[0] == "0,0,255" and
                      page.led_state(7)[0] == "0,0,255")
    tap.check("active and null colours reach the appliance; nulled LEDs show the null colour",
              colours and ring, f"{site.ask(a, 'ACTNULCOL')}; 3: {page.led_state(3)}")
    page.click(driver.find_element(By.CSS_SELECTOR, "#channels-box summary"))
    page.set_value(page.named("Channel 5 colour", "control"), "#ffff00")
    yellow = wait_until(lambda: re.search(r"CH5 255 255 0\b", site.ask(a, "GRGB", "5")))
    drawn = wait_until(lambda: page.led_state(5)[0] == "255,255,0")
    tap.check("a channel's colour reaches the appliance and the ring",
              yellow and drawn, f"{site.ask(a, 'GRGB', '5')}; ring {page.led_state(5)}")
    page.click(page.named("Channel 5 green on", "control"))
    off = wait_until(lambda: "CH5G=0" in site.ask(a, "GTS", "5"))
    dark = wait_until(lambda: page.led_state(5)[0] == "255,0,0")
    tap.check("a switched-off component reaches the appliance and goes dark in the ring",
              off and dark, f"{site.ask(a, 'GTS', '5')}; ring {page.led_state(5)}")

    # Another tool changes the appliance: the page follows by itself.
    site.ask(a, "EQ", "0", "4")
    eq0 = page.named("EQ band 0", "control")
    tap.check("a change made with orvo-udpc shows in the page",
              wait_until(lambda: eq0.get_attribute("value") == "4"), eq0.get_attribute("value"))

    # The activity list shows the lines and replies.
    log = page.text("activity")
    tap.check("the activity list shows each line sent and its reply",
              "EQ 1 -3" in log and "ACK EQ 1 -3" in log and "NULL 3 7" in log, log[:400])

    # Save as room: the file is the appliance's snapshot.
    page.click(page.named("Save as room"))
    prompt = wait_until(lambda: driver.switch_to.alert, 5)
    if prompt:
        prompt.send_keys("hall")
        prompt.accept()
    room = os.path.join(state, "hall")
    saved = wait_until(lambda: os.path.exists(room))
    lines = []
    if saved:
        with open(room) as f:
            lines = [line for line in f.read().splitlines() if line and not line.startswith("#")]
    commissioned = site.settings(a)
    tap.check("Save as room writes the appliance's settings as the room",
              saved and lines == commissioned and "EQ 1 -3" in lines,
              "\n".join(f"{x!r} / {y!r}" for x, y in zip(lines, commissioned) if x != y) or
              f"saved {saved}, {len(lines)} lines")

    # Apply it to the other two, which then answer alike.
    for address in (b, c):
        box = page.named(f"Select {address}", "control")
        if not box.is_selected():
            page.click(box)
    room_select = page.named("Room to apply", "control")
    wait_until(lambda: "hall" in room_select.text)
    page.set_value(room_select, "hall")
    page.click(page.named("Apply room"))
    outcomes = wait_until(lambda: all(row_outcome(page, x) == "done" for x in (b, c)), 30)
    tap.check("Apply room reports done for each appliance picked",
              outcomes, f"{b}: {row_outcome(page, b)!r}, {c}: {row_outcome(page, c)!r}")
    tap.check("the other two now answer as the room",
              site.settings(b) == commissioned and site.settings(c) == commissioned,
              f"{b} differs in {diff(site.settings(b), commissioned)}; "
              f"{c} differs in {diff(site.settings(c), commissioned)}")

    screenshots(args, driver, tap)

    # Revert: the settings read when editing began, back on the appliance.
    page.click(page.named("Revert"))
    reverted = wait_until(lambda: site.settings(a) == before, 30)
    tap.check("Revert puts back the settings the appliance had when editing began",
              reverted, f"differs in {diff(site.settings(a), before)}")
    tap.check("the ring follows the revert",
              wait_until(lambda: page.led_state(3)[1] == "false" and
                         page.led_state(7)[1] == "false"),
              f"3: {page.led_state(3)}, 7: {page.led_state(7)}")

    # The room against the reverted appliance: the page names what differs,
    # and the site list shows the drift.
    page.set_value(page.named("Compare with room", "control"), "hall")
    differs = wait_until(lambda: "eq_band_1" in page.text("diff-result") and
                         "tracking" in page.text("diff-result"))
    tap.check("the differences against the room are named", differs, page.text("diff-result"))
    drift = wait_until(lambda: row_cell(page, a, 6) not in ("none", "—", "no room", ""))
    tap.check("the site list shows the appliance's drift from its room", drift,
              repr(row_cell(page, a, 6)))

    watched = page.js("return window.__orvo")
    tap.check("one event stream at a time, about the appliance on screen",
              watched["most"] == 1 and watched["streams"] and
              watched["streams"][-1].endswith(f"address={a}"), watched["streams"])


# The text of a cell of an appliance's row in the site list (0: the box).
def row_cell(page, address, column):
    return page.js(
        "for (const b of document.querySelectorAll('#site-list button')) {"
        "  if (b.textContent === arguments[0])"
        "    return b.closest('tr').children[arguments[1]].textContent;"
        "} return null;", address, column)


def row_outcome(page, address):
    return row_cell(page, address, 7)


def diff(got, wanted):
    return [line for line in got if line not in wanted] + [
        f"missing {line}" for line in wanted if line not in got]


def screenshots(args, driver, tap):
    os.makedirs(args.out, exist_ok=True)
    shots = (("desktop", 1280, 1000, "site"), ("phone", 390, 844, "site"),
             ("phone-appliance", 390, 844, "appliance"))
    for name, width, height, shown in shots:
        driver.set_window_size(width, height)
        driver.execute_script("document.getElementById(arguments[0]).scrollIntoView();", shown)
        time.sleep(0.3)
        path = os.path.abspath(os.path.join(args.out, f"panel-{name}.png"))
        saved = driver.get_screenshot_as_file(path)
        overflow = driver.execute_script(
            "return document.documentElement.scrollWidth > window.innerWidth + 1")
        tap.check(f"screenshot at {name} width ({width} px): {path}",
                  saved and not (width < 500 and overflow),
                  "the page is wider than the phone's screen" if overflow else "not saved")
    driver.set_window_size(1280, 1000)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--panel", required=True)
    parser.add_argument("--udpc", required=True)
    parser.add_argument("--pages", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    tap = Tap()
    facts_agree(args.source, tap)
    site = Site(args.udpc)
    work = tempfile.mkdtemp(prefix="orvo-browser.")
    state = os.path.join(work, "state")
    os.mkdir(state)
    driver = None
    try:
        driver = start_browser(os.path.join(work, "profile"))
        page = Page(driver)
        try:
            scenario(args, tap, site, driver, page, state)
        except (LookupError, WebDriverException) as error:
            tap.check("the scenario runs to its end", False, f"{type(error).__name__}: {error}")
        if driver is not None:
            watched = page.js("return window.__orvo") or {}
            errors = [entry["message"] for entry in driver.get_log("browser")
                      if entry["level"] == "SEVERE"]
            tap.check("no JavaScript error", not errors and not watched.get("errors"),
                      "\n".join(errors + watched.get("errors", [])))
            tap.check("no content-policy violation", not watched.get("violations"),
                      "\n".join(watched.get("violations", [])))
    finally:
        if driver is not None:
            driver.quit()
        shutil.rmtree(work, ignore_errors=True)
    return tap.finish()


if __name__ == "__main__":
    sys.exit(main())
