#!/usr/bin/python3
"""The dashboard in headless Chromium against korvan-host.

First korvan-host simulate --http on a free loopback port with a scenario that
fails rectifier module 2 after a few seconds: the system's page (reached by
its URL) must show what the API answers, each value under the vocabulary name
whose value the API gives, the fault once the API lists its alarm, and history
charts; saves a screenshot. Then korvan-host run with two systems, each a
korvan-sim: one with a rectifier fault, one that falls silent. The overview
must show each system's state in words and colour (the silent one "no reply"
before "communication lost") and the worst in the title and favicon; the
silent system's page, opened by its URL, every value stale; on a 412 px wide
screen nothing wider than the screen. The runtime, simulators and browser are
stopped in every case; every wait has a deadline and the whole run an overall
one.

  dashboard_test.py --host build/bin/korvan-host --sim build/bin/korvan-sim \
      --screenshot build/dashboard.png
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

FAULT_SCENARIO = "wait 6\nrectifier-fault 2 on\n"
# A few cycles publish records, then the simulator stops answering for long
# enough to be declared lost, and answers again.
SILENT_SCENARIO = "wait 4\nsilent on\nwait 50\nsilent off\n"
# The silent system's loss is declared this long after its last cycle; the
# page shows "no reply" in between.
SILENT_LOST_AFTER = 20
# The one way the page shows a time: "2026-12-09 19:48:11 +01:00".
PAGE_TIME = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d\d:\d\d$")
LISTENING = re.compile(r"HTTP server listening on http://127\.0\.0\.1:(\d+)/")
NUMBER = re.compile(r"^-?\d+(?:\.(\d+))?")


class Failure(Exception):
    pass


class Abort(BaseException):
    """The overall deadline or SIGTERM: ends every wait at once."""


class Deadline:
    def __init__(self, seconds):
        self.end = time.monotonic() + seconds

    def left(self):
        return self.end - time.monotonic()


def wait_for(what, check, seconds, overall, pause=0.5):
    """Calls check() until it returns something true; its last complaint
    (the Failure it raised) is reported at the deadline."""
    seconds = min(seconds, max(overall.left(), 0))
    end = time.monotonic() + seconds
    complaint = "never checked"
    while True:
        try:
            result = check()
            if result:
                return result
            complaint = "not yet"
        except Failure as failure:
            complaint = str(failure)
        if time.monotonic() >= end:
            raise Failure(f"{what}: not within {seconds:.0f} s: {complaint}")
        time.sleep(pause)


class Runtime:
    """korvan-host simulate with its HTTP server; its output is drained on a
    thread so that it can never block on a full pipe."""

    def __init__(self, command, deadline):
        self.lines = []
        self.process = subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True, errors="replace")
        threading.Thread(target=self._drain, daemon=True).start()
        try:
            self.port = wait_for("the HTTP server's port", self._port, 60, deadline)
        except BaseException:
            self.stop()
            raise

    @classmethod
    def simulate(cls, host, folder, name, scenario, options, deadline):
        script = os.path.join(folder, f"{name}.scenario")
        with open(script, "w") as out:
            out.write(scenario)
        return cls([host, "simulate", "--http", "127.0.0.1:0", "--db",
                    os.path.join(folder, f"{name}.db"), "--scenario", script,
                    "--site", "Browser test site", "--seconds", "600"] + options, deadline)

    def _drain(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))

    def _port(self):
        if self.process.poll() is not None:
            raise Failure(f"korvan-host ended with {self.process.returncode}")
        for line in list(self.lines):
            match = LISTENING.search(line)
            if match:
                return int(match.group(1))
        return None

    def api(self, path, missing=False):
        """The answer's JSON; None for a 404 when missing is allowed."""
        url = f"http://127.0.0.1:{self.port}{path}"
        try:
            with urllib.request.urlopen(url, timeout=10) as response:
                return json.load(response)
        except urllib.error.HTTPError as error:
            if missing and error.code == 404:
                return None
            raise Failure(f"GET {path}: {error}")
        except OSError as error:
            raise Failure(f"GET {path}: {error}")

    def stop(self):
        """SIGTERM, then wait; the exit code (or None when it had to be killed)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                return None
        return self.process.returncode


def start_browser(folder):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--disable-gpu", "--window-size=1280,2000",
                     f"--user-data-dir={os.path.join(folder, 'profile')}"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(60)
    driver.set_script_timeout(30)
    return driver


# Everything the page shows with a data-field hook, in one read.
PAGE_VALUES = """
return Array.from(document.querySelectorAll('[data-system][data-field]')).map(e => ({
  system: e.dataset.system, device: e.dataset.device || null, field: e.dataset.field,
  text: e.textContent.trim(), stale: e.dataset.stale || null, lost: e.dataset.lost || null}));
"""


def path_value(record, path):
    value = record
    for part in re.findall(r"[^.\[\]]+", path):
        if isinstance(value, list):
            index = int(part)
            value = value[index] if index < len(value) else None
        elif isinstance(value, dict):
            value = value.get(part)
        else:
            return None
    return value


def shown_number(text):
    """The number a cell shows and half its last digit: what rounding allows."""
    match = NUMBER.match(text)
    if not match:
        return None, None
    decimals = len(match.group(1) or "")
    return float(match.group(0)), 0.5 * 10 ** -decimals + 1e-9


def required_fields(kind, record):
    """The paths a device's section must show, by the shape of its record."""
    if kind == "ac":
        channels = [f"channels[{k}].{x}" for k in range(len(record.get("channels", [])))
                    for x in "abcf"]
        return ["ia", "ib", "ic"] + channels
    if kind == "dc":
        return ["v", "i"] + [f"m_value[{k}]" for k in range(len(record.get("m_value", [])))]
    return ["output_voltage"] + [f"modules[{k}].{x}" for k in range(len(record.get("modules", [])))
                                 for x in ("output_current", "fault")]


def compare_page_with_api(driver, runtime, shown_system, line=True):
    """Raises Failure naming every value the page shows otherwise than the API
    on the page of shown_system. line: also the line's counters (which a
    silent line counts up faster than the page polls)."""
    shown = driver.execute_script(PAGE_VALUES)
    site = runtime.api("/api/site")
    systems = runtime.api("/api/systems")
    problems = []
    by_key = {(v["system"], v["device"], v["field"]): v for v in shown}
    heading = driver.execute_script("return document.getElementById('site-name').textContent")
    if heading != site["site"]:
        problems.append(f"site name {heading!r}, API {site['site']!r}")
    for system in systems:
        name = system["name"]
        if name != shown_system:
            if any(d is not None and s == name for (s, d, _) in by_key):
                problems.append(f"{name}: devices shown on the page of {shown_system}")
            continue
        comm = by_key.get((name, None, "communication"))
        if comm is None or comm["lost"] != str(system["communication"]["lost"]).lower():
            problems.append(f"{name}: communication shown lost={comm and comm['lost']}, "
                            f"API {system['communication']}")
        for field in ("frames_good", "cycles", "error_replies", "lost_replies") if line else ():
            entry = by_key.get((name, None, f"line.{field}"))
            if entry is None or entry["text"] != str(system["line"][field]):
                problems.append(f"{name} line.{field}: page {entry and entry['text']!r}, "
                                f"API {system['line'][field]}")
        for device in system["devices"]:
            device_id = str(device["data_id"])
            answer = runtime.api(f"/api/systems/{urllib.parse.quote(name, safe='')}"
                                 f"/devices/{device_id}/record", missing=True)
            if answer is None:  # no record yet: the page shows none
                if any(s == name and d == device_id and path != "age_seconds"
                       for (s, d, path) in by_key):
                    problems.append(f"{name} device {device_id}: values shown, the API has no record")
                continue
            for path in required_fields(device["kind"], answer["record"]):
                if (name, device_id, path) not in by_key:
                    problems.append(f"{name} device {device_id}: {path} not shown")
            stale = answer["stale"] or system["communication"]["lost"]
            for (s, d, path), entry in by_key.items():
                if s != name or d != device_id or path == "age_seconds":
                    continue
                if entry["stale"] != str(stale).lower():
                    problems.append(f"{name} {device_id} {path}: stale {entry['stale']}, API {stale}")
                expected = path_value(answer["record"], path)
                if not isinstance(expected, (int, float)) or isinstance(expected, bool):
                    continue
                number, allowed = shown_number(entry["text"])
                if number is None:
                    continue  # a state word (on, limit, fault ...)
                if abs(number - expected) > allowed:
                    problems.append(f"{name} {device_id} {path}: page {entry['text']!r}, API {expected}")
    if not any(s["name"] == shown_system for s in systems):
        problems.append(f"no system {shown_system} in the API")
    if problems:
        raise Failure("; ".join(problems[:12]))
    return {"stale": sum(v["stale"] == "true" and v["device"] is not None for v in shown)}


def quoted(name):
    return urllib.parse.quote(name, safe="")


NAMED_CELLS = """
return Array.from(document.querySelectorAll('td[data-name][data-device]')).map(e => ({
  device: e.dataset.device, field: e.dataset.field, name: e.dataset.name}));
"""


def names_agree(driver, runtime, system):
    """Every value cell's vocabulary name is the one whose value the values API
    gives for the record field the cell shows: records and values read from
    the same records (a record read before and after the values)."""
    measures = {v["name"] for v in runtime.api("/api/vocabulary") if v["kind"] == "measure"}
    cells = driver.execute_script(NAMED_CELLS)
    devices = {c["device"] for c in cells}
    if len(devices) < 3:
        raise Failure(f"named values of only {len(devices)} devices on the page")

    def records():
        return {d: runtime.api(f"/api/systems/{quoted(system)}/devices/{d}/record")["record"]
                for d in devices}

    before = records()
    values = runtime.api(f"/api/systems/{quoted(system)}/values")["values"]
    if records() != before:
        return False  # a cycle in between: again
    problems = []
    compared = 0
    for cell in cells:
        expected = path_value(before[cell["device"]], cell["field"])
        if cell["name"] not in values:
            problems.append(f"{cell['field']} named {cell['name']}, which the values API lacks")
            continue
        generic = re.sub(r"^(ac|dc)\.\d+\.", r"\1.{u}.", cell["name"])
        generic = re.sub(r"\.\d+\.", ".{n}.", generic)
        if generic not in measures or not isinstance(expected, (int, float)):
            continue
        compared += 1
        if abs(values[cell["name"]] - expected) > 1e-3 * max(1, abs(expected)):
            problems.append(f"device {cell['device']} {cell['field']} = {expected}, "
                            f"named {cell['name']} = {values[cell['name']]}")
    if problems:
        raise Failure("; ".join(problems[:8]))
    if compared < 20:
        raise Failure(f"only {compared} measured values compared by name")
    return compared


def fault_shown(driver, runtime, seen):
    """Once /api/alarms lists the rectifier fault, the page must show its row
    (id, level, text, gloss) and module 2 marked faulty."""
    if not seen:
        for alarm in runtime.api("/api/alarms"):
            record = runtime.api(f"/api/systems/{urllib.parse.quote(alarm['system'], safe='')}"
                                 f"/devices/{alarm['data_id']}/record")
            modules = record["record"].get("modules")
            if modules and len(modules) > 1 and modules[1]["fault"] == 1:
                seen.append(alarm)
                break
        return False
    alarm = seen[0]
    rows = driver.execute_script(
        "return Array.from(document.querySelectorAll('tr.alarm')).map(r => ({"
        "system: r.dataset.system, device: r.dataset.device, id: r.dataset.alarmId,"
        "level: r.className, text: r.textContent,"
        "time: (r.querySelector('td.time') || {}).textContent}))")
    match = [r for r in rows if r["system"] == alarm["system"] and r["id"] == alarm["id"]
             and r["device"] == str(alarm["data_id"])]
    if not match:
        raise Failure(f"alarm {alarm['id']} {alarm['code']} not on the page (rows: {rows})")
    for part in ("text", "gloss"):  # the device's own text and its English meaning
        if alarm.get(part) and alarm[part] not in match[0]["text"]:
            raise Failure(f"alarm row {match[0]['text']!r} lacks the {part} {alarm[part]!r}")
    if f"level-{alarm['level']}" not in match[0]["level"]:
        raise Failure(f"alarm row class {match[0]['level']!r}, level {alarm['level']}")
    # The page's one time format, the API's local time and offset.
    expected = re.sub(r"^(\S+)T(\S+?)([+-]\d\d:\d\d|Z)$",
                      lambda m: f"{m[1]} {m[2]} {'+00:00' if m[3] == 'Z' else m[3]}", alarm["time"])
    site_time = driver.execute_script("return document.getElementById('site-time').textContent")
    if match[0]["time"] != expected or not PAGE_TIME.match(expected) or not PAGE_TIME.match(site_time):
        raise Failure(f"alarm since {match[0]['time']!r} and site time {site_time!r}, "
                      f"API {alarm['time']!r}")
    cell = driver.execute_script(
        "const c = document.querySelector(arguments[0]);"
        "return c ? [c.textContent, c.closest('tr').className] : null;",
        f'[data-device="{alarm["data_id"]}"][data-field="modules[1].fault"]')
    if not cell or cell[0].strip() != "fault" or "module-fault" not in cell[1]:
        raise Failure(f"module 2's fault cell shows {cell}")
    return True


# Rows plotted and saturated pixels on the chart's canvas: the axes, grid and
# labels are grey, the series coloured, so coloured pixels mean drawn lines.
CHART_PIXELS = """
const box = document.querySelector('figure.chart[data-chart="dc"]');
if (!box) return null;
const canvas = box.querySelector('canvas');
if (!canvas || !canvas.width || !canvas.height) return [Number(box.dataset.rows), 0, box.id];
const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
let coloured = 0;
for (let k = 0; k < pixels.length; k += 4) {
  const r = pixels[k], g = pixels[k + 1], b = pixels[k + 2], a = pixels[k + 3];
  if (a > 128 && Math.max(r, g, b) - Math.min(r, g, b) > 60) coloured++;
}
return [Number(box.dataset.rows), coloured, box.id];
"""


MODULE_CHART = """
const box = document.querySelector('figure.chart[data-chart="rectifiers"]');
if (!box) return null;
return [Number(box.dataset.rows), box.textContent];
"""


def module_chart_filled(driver):
    """The module chart asks in parts of at most 32 fields: above 32 modules
    it must still get its rows, not a refusal."""
    result = driver.execute_script(MODULE_CHART)
    if result is None:
        raise Failure("no rectifier module chart on the page")
    rows, text = result
    if "unavailable" in text or rows < 3:
        raise Failure(f"module chart: {rows} rows; {text[:200]}")
    return True


def chart_drawn(driver):
    result = driver.execute_script(CHART_PIXELS)
    if result is None:
        raise Failure("no DC history chart on the page")
    rows, coloured, chart_id = result
    if rows < 3 or coloured < 50:
        raise Failure(f"chart {chart_id}: {rows} rows, {coloured} coloured pixels")
    return True


TILES = """
return Array.from(document.querySelectorAll('#overview .tile')).map(t => {
  const box = t.getBoundingClientRect();
  return {system: t.dataset.system, state: t.dataset.state, color: t.dataset.color,
    background: getComputedStyle(t.querySelector('.tile-state')).backgroundColor,
    words: t.querySelector('[data-field="state"]').textContent,
    values: Object.fromEntries(Array.from(t.querySelectorAll('dd[data-name]')).map(
      d => [d.dataset.name, [d.textContent, d.dataset.stale]])),
    bottom: box.bottom, right: box.right};
}).concat([{title: document.title, icon: document.getElementById('favicon').dataset.color,
  height: innerHeight, width: innerWidth}]);
"""

# The tile's state colour as the page's style draws it.
COLOR_RGB = {"green": "rgb(26, 127, 55)", "amber": "rgb(179, 92, 0)", "red": "rgb(179, 38, 30)"}


class Overview:
    """Reads the overview's tiles and checks each against the API: the alarm
    system's words, counts and colour; the silent system's words in the order
    ok, "no reply for N s", "communication lost"; the worst state in the
    title and favicon; both tiles inside a 1280 x 800 screen."""

    def __init__(self, runtime, alarm_system, silent_system):
        self.runtime = runtime
        self.alarm_system = alarm_system
        self.silent_system = silent_system
        self.silent_states = []

    def check(self, driver):
        *tiles, page = driver.execute_script(TILES)
        by_name = {t["system"]: t for t in tiles}
        if set(by_name) != {self.alarm_system, self.silent_system}:
            raise Failure(f"tiles of {sorted(by_name)}")
        for tile in tiles:
            if tile["background"] != COLOR_RGB.get(tile["color"]):
                raise Failure(f"{tile['system']}: colour {tile['color']} drawn {tile['background']}")
            if tile["bottom"] > page["height"] or tile["right"] > page["width"]:
                raise Failure(f"{tile['system']}'s tile ends at {tile['right']} x {tile['bottom']}, "
                              f"outside the {page['width']} x {page['height']} screen")
        silent = by_name[self.silent_system]
        if not self.silent_states or self.silent_states[-1] != silent["state"]:
            self.silent_states.append(silent["state"])
        if silent["state"] == "noreply":
            if not re.fullmatch(r"no reply for \d+ s", silent["words"]) or silent["color"] != "amber":
                raise Failure(f"silent system shows {silent['words']!r} in {silent['color']}")
        alarms = [a for a in self.runtime.api("/api/alarms") if a["system"] == self.alarm_system]
        tile = by_name[self.alarm_system]
        levels = sorted({a["level"] for a in alarms})
        counts = ", ".join(f"{sum(a['level'] == k for a in alarms)} × level {k}" for k in levels)
        if tile["state"] != "alarm" or tile["words"] != f"alarm: {counts}" or not alarms:
            raise Failure(f"alarm system shows {tile['words']!r}, API alarms {counts!r}")
        if tile["color"] != ("red" if 1 in levels else "amber"):
            raise Failure(f"alarm system (levels {levels}) in {tile['color']}")
        values = self.runtime.api(f"/api/systems/{quoted(self.alarm_system)}/values")["values"]
        for name, (text, _) in tile["values"].items():
            number, allowed = shown_number(text)
            # The tile shows an answer up to a poll old; the simulator's values drift a little.
            if number is None or abs(number - values[name]) > allowed + 0.02 * abs(values[name]):
                raise Failure(f"{self.alarm_system} {name}: tile {text!r}, API {values[name]}")
        current = tile["values"]["battery.current"][0]
        if not current.endswith(" charging" if values["battery.current"] > 0 else " discharging"):
            raise Failure(f"battery current {current!r}, API {values['battery.current']}")
        if silent["state"] == "lost":
            if silent["words"] != "communication lost" or silent["color"] != "red":
                raise Failure(f"lost system shows {silent['words']!r} in {silent['color']}")
            if any(stale != "true" for _, stale in silent["values"].values()):
                raise Failure(f"lost system's values not stale: {silent['values']}")
            if not page["title"].startswith(f"✖ {self.silent_system}: communication lost — "):
                raise Failure(f"title {page['title']!r} with {self.silent_system} lost")
            if page["icon"] != "red":
                raise Failure(f"favicon {page['icon']} with {self.silent_system} lost")
            return True
        if silent["state"] == "ok":
            expected = f"⚠ {len(alarms)} alarm{'s' if len(alarms) != 1 else ''} — "
            if not page["title"].startswith(expected) or page["icon"] != tile["color"]:
                raise Failure(f"title {page['title']!r}, favicon {page['icon']} with "
                              f"{len(alarms)} alarms and no loss")
        return False


PHONE_WIDTH = 412
# Whether anything is wider than the screen, and the widest element that is.
OVERFLOW = """
const width = document.documentElement.clientWidth;
let widest = null;
for (const e of document.querySelectorAll('body *')) {
  const box = e.getBoundingClientRect();
  if (box.right > width + 1 && !e.closest('.table-scroll, .chart') && (!widest || box.right > widest[1]))
    widest = [e.tagName + (e.className ? '.' + String(e.className).split(' ')[0] : ''), box.right];
}
return [document.documentElement.scrollWidth, Math.max(innerWidth, width), widest,
  document.querySelectorAll('figure.chart canvas').length, document.querySelectorAll('tr.alarm').length];
"""


def fits_phone(driver):
    scroll, width, widest, charts, alarms = driver.execute_script(OVERFLOW)
    if charts < 3 or alarms < 1:
        raise Failure(f"{charts} charts and {alarms} alarm rows drawn yet")
    # A mobile browser zooms out to a page wider than the screen, and then its
    # innerWidth is the page's width: the screen's 412 px are the measure.
    if scroll > PHONE_WIDTH or width > PHONE_WIDTH:
        raise Failure(f"page {scroll} px wide, viewport {width} px, on a {PHONE_WIDTH} px "
                      f"screen; widest {widest}")
    return True


def viewport(driver, width, height, mobile):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})


CHART_GAPS = """
const box = document.querySelector(`figure.chart[data-chart="dc"][data-system="${arguments[0]}"]`);
const tile = document.querySelector(`#overview .tile[data-system="${arguments[0]}"]`);
return box && tile ? [Number(box.dataset.rows), Number(box.dataset.gaps), tile.dataset.state] : null;
"""


def chart_gap(driver, system):
    """Once the system is ok again, its DC chart holds rows on both sides of
    one break."""
    found = driver.execute_script(CHART_GAPS, system)
    if not found:
        raise Failure(f"no DC chart or tile of {system}")
    rows, gaps, state = found
    if state != "ok" or rows < 6:
        return False
    if gaps != 1:
        raise Failure(f"{system}'s DC chart: {gaps} breaks in {rows} rows, one silence")
    return gaps


def save_screenshot(driver, path):
    try:
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        return driver.save_screenshot(path)
    except Exception as error:  # noqa: BLE001 - a missing picture fails nothing
        print(f"no screenshot: {error}", file=sys.stderr)
        return False


def on_alarm(signum, frame):
    if signum == signal.SIGTERM:
        raise Abort("ended by SIGTERM")
    raise Abort("the overall deadline passed inside a call that did not return")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", required=True, help="the korvan-host program")
    parser.add_argument("--sim", required=True, help="the korvan-sim program")
    parser.add_argument("--screenshot", required=True, help="where to save the page's picture")
    parser.add_argument("--deadline", type=float, default=240, help="seconds for the whole run")
    args = parser.parse_args()

    overall = Deadline(args.deadline)
    # A last resort should a browser call hang past every deadline of its own.
    signal.signal(signal.SIGALRM, on_alarm)
    # ctest's own time-out ends the test with SIGTERM: clean up all the same.
    signal.signal(signal.SIGTERM, on_alarm)
    signal.alarm(int(args.deadline) + 30)

    runtimes = []
    sims = []
    driver = None
    shot = False
    failed = None
    with tempfile.TemporaryDirectory(prefix="korvan-dashboard-") as folder:
        try:
            runtime = Runtime.simulate(args.host, folder, "fault", FAULT_SCENARIO, [
                "--ac", "3,3", "--dc", "2", "--rc", "40",
                "--history-every", "0", "--commit-interval", "0"], overall)
            runtimes.append(runtime)
            wait_for("the first polling cycle",
                     lambda: all(s["last_cycle"] for s in runtime.api("/api/systems")),
                     60, overall)
            name = runtime.api("/api/systems")[0]["name"]
            driver = start_browser(folder)
            viewport(driver, 1280, 2000, False)
            driver.get(f"http://127.0.0.1:{runtime.port}/#/system/{quoted(name)}")

            wait_for("the page showing the API's values",
                     lambda: compare_page_with_api(driver, runtime, name), 60, overall, pause=1)
            print("page values agree with the API")
            compared = wait_for("values named as the values API names them",
                                lambda: names_agree(driver, runtime, name), 30, overall)
            print(f"{compared} measured values named as the values API names them")

            seen = []
            wait_for("the rectifier fault on the page",
                     lambda: fault_shown(driver, runtime, seen), 60, overall)
            print(f"alarm {seen[0]['id']} {seen[0]['code']} shown with module 2 faulty")

            wait_for("a drawn history chart", lambda: chart_drawn(driver), 45, overall, pause=1)
            print("DC history chart drawn")
            wait_for("the 40-module chart's rows", lambda: module_chart_filled(driver), 45, overall,
                     pause=1)
            print("module chart of 40 modules filled")
            shot = save_screenshot(driver, args.screenshot)

            code = runtime.stop()
            if code != 0:
                raise Failure(f"korvan-host exited with {code} after SIGTERM")

            # Two systems, each a korvan-sim: "alpha" with a rectifier fault,
            # "beta" that falls silent, so that its records turn stale and its
            # communication is lost.
            systems = []
            for k, (system, options) in enumerate([
                    ("alpha", ["--set", "rectifier-fault 2 on"]),
                    ("beta", ["--scenario", os.path.join(folder, "silent.scenario")])]):
                with open(os.path.join(folder, "silent.scenario"), "w") as out:
                    out.write(SILENT_SCENARIO)
                link = os.path.join(folder, f"tty-{system}")
                sims.append(subprocess.Popen(
                    [args.sim, "--link", link] + options, stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
                wait_for(f"{system}'s pseudo-terminal", lambda: os.path.exists(link), 30, overall,
                         pause=0.1)
                base = 100 * (k + 1)
                systems.append({"name": system, "port": link, "data_id": base,
                                "acSetting": [{"data_id": base + 11}],
                                "dcSetting": [{"data_id": base + 21}], "rcSetting": {},
                                "comm_lost_after": SILENT_LOST_AFTER})
            config = os.path.join(folder, "two.json")
            with open(config, "w") as out:
                json.dump({"systems": systems, "site": "Browser test site"}, out)
            runtime = Runtime([args.host, "run", "--config", config, "--http", "127.0.0.1:0",
                               "--db", os.path.join(folder, "two.db"), "--history-every", "0",
                               "--commit-interval", "0", "--seconds", "600"], overall)
            runtimes.append(runtime)
            viewport(driver, 1280, 800, False)
            driver.get(f"http://127.0.0.1:{runtime.port}/")
            overview = Overview(runtime, "alpha", "beta")
            wait_for("the overview: alpha's alarm, beta silent then lost", lambda: overview.check(driver),
                     SILENT_LOST_AFTER + 40, overall)
            if overview.silent_states[-2:] != ["noreply", "lost"]:
                raise Failure(f"beta's states on its tile: {overview.silent_states}")
            print(f"overview: beta {' -> '.join(overview.silent_states)}; alarm, title and favicon")

            # A click opens a system's page; back returns to the overview.
            driver.find_element(By.CSS_SELECTOR, '#overview .tile[data-system="alpha"]').click()
            wait_for("alpha's page after a click", lambda: driver.execute_script(
                "return location.hash === '#/system/alpha' && "
                "!!document.querySelector('main section.system[data-system=\"alpha\"]')"), 20, overall)
            driver.back()
            wait_for("the overview after going back", lambda: driver.execute_script(
                "return location.hash !== '#/system/alpha' && "
                "!document.querySelector('main section.system')"), 20, overall)

            # The silent system's page by its URL: lost communication, stale values.
            driver.get(f"http://127.0.0.1:{runtime.port}/#/system/beta")
            stale = wait_for("beta's page showing the lost communication and stale values",
                             lambda: compare_page_with_api(driver, runtime, "beta", line=False),
                             30, overall, pause=1)["stale"]
            if stale < 10:
                raise Failure(f"only {stale} values shown stale after the communication was lost")
            print(f"lost communication and {stale} stale values shown")

            # A phone: the alarm system's page (its alarm table and charts) and the
            # overview no wider than the screen.
            viewport(driver, PHONE_WIDTH, 915, True)
            driver.get(f"http://127.0.0.1:{runtime.port}/#/system/alpha")
            wait_for("alpha's page on a 412 px screen", lambda: fits_phone(driver), 30, overall)
            driver.get(f"http://127.0.0.1:{runtime.port}/")
            wait_for("the overview on a 412 px screen", lambda: driver.execute_script(
                "return document.querySelectorAll('#overview .tile').length === 2 && "
                "Math.max(document.documentElement.scrollWidth, innerWidth) <= arguments[0]",
                PHONE_WIDTH), 20, overall)
            print("nothing wider than a 412 px screen")

            # Beta answers again: its tile turns ok and its DC chart breaks
            # where the rows of its silence are missing.
            viewport(driver, 1280, 800, False)
            driver.get(f"http://127.0.0.1:{runtime.port}/#/system/beta")
            gaps = wait_for("beta answering again, its DC chart broken at the silence",
                            lambda: chart_gap(driver, "beta"), 60, overall, pause=1)
            print(f"beta ok again; its DC chart has {gaps} gap(s)")
        except BaseException as error:  # noqa: BLE001 - reported and failed below
            failed = f"{type(error).__name__}: {error}"
        finally:
            # The cleanup runs to its end: no second SIGTERM cuts it short, and
            # a browser that does not quit is given up after its own deadline.
            signal.signal(signal.SIGTERM, signal.SIG_IGN)
            signal.alarm(90)
            if driver is not None:
                try:
                    if not shot:
                        save_screenshot(driver, args.screenshot)
                    driver.quit()
                except BaseException as error:  # noqa: BLE001
                    print(f"browser did not quit cleanly: {error}", file=sys.stderr)
            signal.alarm(0)
            codes = [runtime.stop() for runtime in runtimes]
            for sim in sims:
                sim.terminate()
                try:
                    sim.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    sim.kill()
                    sim.wait()
        if failed is None and codes and codes[-1] != 0:
            failed = f"korvan-host exited with {codes[-1]} after SIGTERM"

    if failed:
        print(f"FAILED: {failed}", file=sys.stderr)
        if runtimes:
            print("korvan-host's last output:\n  " + "\n  ".join(runtimes[-1].lines[-30:]),
                  file=sys.stderr)
        return 1
    print(f"screenshot: {args.screenshot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
