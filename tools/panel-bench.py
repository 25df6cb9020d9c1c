#!/usr/bin/python3
# Figures of the commissioning panel in a real browser, on a virtual site:
# the page's first load, a site of APPLIANCES discovered and listed, a ring
# click to the appliance's ACK and to the ring redrawn, a change made with
# orvo-udpc to the page, and the panel's memory, CPU and datagrams per second
# with PAGES pages open for SECONDS. Prints the figures; asserts nothing.
#
#   tools/panel-bench.py [-n APPLIANCES] [-p PAGES] [-d SECONDS] [--build DIR]
#
# Needs root (the site's namespaces), a build (orvo-panel, orvo-udpc,
# tests/site_run) and Debian's chromium, chromium-driver, python3-selenium.

import argparse
import http.client
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests"))


def arguments():
    parser = argparse.ArgumentParser(description="figures of orvo-panel in a browser")
    parser.add_argument("-n", "--appliances", type=int, default=50)
    parser.add_argument("-p", "--pages", type=int, default=10)
    parser.add_argument("-d", "--seconds", type=int, default=600)
    parser.add_argument("-r", "--rounds", type=int, default=20)
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"))
    return parser.parse_args()


def ms(values):
    return (f"median {statistics.median(values) * 1000:.0f} ms, "
            f"max {max(values) * 1000:.0f} ms ({len(values)} rounds)")


def udp_sent():
    # This network namespace's datagrams sent: the panel is the only sender
    # here while nothing else runs.
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Udp:")]
    return int(rows[1][rows[0].index("OutDatagrams")])


def process(pid):
    with open(f"/proc/{pid}/status") as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return rss, cpu


# One page's event stream, read until stop is set.
def stream(url, cookie, address, stop, events):
    host = url.split("/")[2]
    connection = http.client.HTTPConnection(host, timeout=2)
    connection.request("GET", f"/api/events?address={address}",
                       headers={"Cookie": f"orvo_session={cookie}"})
    response = connection.getresponse()
    while not stop.is_set():
        try:
            line = response.fp.readline()
        except (TimeoutError, OSError):
            continue
        if not line:
            break
        if line.startswith(b"event:"):
            events.append(line)
    connection.close()


def figures(args):
    import browser_test as bt
    from selenium.webdriver.common.by import By

    site = bt.Site(os.path.join(args.build, "orvo-udpc"))
    work = tempfile.mkdtemp(prefix="orvo-panel-bench.")
    state = os.path.join(work, "state")
    os.mkdir(state)

    class Options:
        panel = os.path.join(args.build, "panel", "orvo-panel")
        pages = os.path.join(SOURCE, "panel", "www")

    panel, url = bt.start_panel(Options, site, state)
    driver = bt.start_browser(os.path.join(work, "profile"))
    page = bt.Page(driver)
    try:
        start = time.monotonic()
        driver.get(url)
        bt.wait_until(lambda: driver.find_element(By.ID, "main").is_displayed(), 30, 0.01)
        print(f"first load, token login to the site shown: "
              f"{(time.monotonic() - start) * 1000:.0f} ms")

        rows = "return document.querySelectorAll('#site-list tr').length"
        start = time.monotonic()
        page.click(page.named("Discover"))
        listed = bt.wait_until(lambda: page.js(rows) >= len(site.addresses), 60, 0.01)
        print(f"Discover to {page.js(rows)} of {len(site.addresses)} appliances listed: "
              f"{(time.monotonic() - start) * 1000:.0f} ms" + ("" if listed else " (not all)"))

        a = site.addresses[0]
        page.click(page.named(a))
        bt.wait_until(lambda: page.led_state(1)[0] not in (None, ""), 30)
        page.click(page.named("Edit"))
        bt.wait_until(lambda: page.named("EQ band 1", "control").is_enabled(), 30)

        # A ring click: to the ring pressed, and to the ACK in the activity list.
        redrawn, acked = [], []
        for i in range(args.rounds):
            led = page.led(4)
            before = page.js("return document.querySelectorAll('#activity li').length")
            want = "false" if led.get_attribute("aria-pressed") == "true" else "true"
            start = time.monotonic()
            led.click()
            bt.wait_until(lambda: led.get_attribute("aria-pressed") == want, 30, 0.005)
            redrawn.append(time.monotonic() - start)
            bt.wait_until(lambda: page.js(
                "const li = document.querySelectorAll('#activity li');"
                "return li.length > arguments[0] && li[0].dataset.outcome === 'done';", before),
                30, 0.005)
            acked.append(time.monotonic() - start)
            time.sleep(0.3)
        print(f"ring click to the ring redrawn: {ms(redrawn)}")
        print(f"ring click to the appliance's ACK in the page: {ms(acked)}")

        # Another tool's change to the page.
        eq = page.named("EQ band 2", "control")
        followed = []
        for i in range(args.rounds // 2):
            gain = str(-1 - i % 5)
            start = time.monotonic()
            site.ask(a, "EQ", "2", gain)
            bt.wait_until(lambda: eq.get_attribute("value") == gain, 30, 0.01)
            followed.append(time.monotonic() - start)
            time.sleep(1)
        print(f"orvo-udpc's change to the page: {ms(followed)}")

        # PAGES pages watching one appliance each, for SECONDS: this page and
        # further event streams with its session (a browser holds at most six
        # connections to one host, so more tabs of one browser cannot all
        # stream).
        page.click(page.named("Edit"))
        cookie = driver.get_cookie("orvo_session")["value"]
        stop = threading.Event()
        events = []
        readers = [threading.Thread(target=stream, args=(
            url, cookie, site.addresses[(i + 1) % len(site.addresses)], stop, events))
            for i in range(args.pages - 1)]
        for reader in readers:
            reader.start()
        time.sleep(5)
        rss0, cpu0 = process(panel.pid)
        sent0, start = udp_sent(), time.monotonic()
        samples = []
        while time.monotonic() - start < args.seconds:
            time.sleep(min(30, args.seconds))
            rss, cpu = process(panel.pid)
            samples.append(rss)
        rss1, cpu1 = process(panel.pid)
        took = time.monotonic() - start
        stop.set()
        for reader in readers:
            reader.join(5)
        print(f"{args.pages} pages ({len(events)} events to the streams) for {took:.0f} s: panel resident {rss0 / 1024:.1f} MiB at "
              f"the start, {rss1 / 1024:.1f} MiB at the end (samples: "
              f"{', '.join(f'{s / 1024:.1f}' for s in samples)}); CPU "
              f"{(cpu1 - cpu0) / took * 100:.2f} %; "
              f"{(udp_sent() - sent0) / took:.1f} datagrams/s sent by its poller")
    finally:
        driver.quit()
        panel.terminate()
        panel.wait(10)
        subprocess.run(["rm", "-rf", work])


def main():
    args = arguments()
    if "ORVO_SITE_APPLIANCES" in os.environ:
        figures(args)
        return 0
    runner = os.path.join(args.build, "tests", "site_run")
    limit = args.seconds + 600
    return subprocess.call([runner, str(args.appliances), str(limit), "/usr/bin/python3",
                            os.path.abspath(__file__), *sys.argv[1:]])


if __name__ == "__main__":
    sys.exit(main())
