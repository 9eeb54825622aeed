#!/usr/bin/python3
"""The dashboard in headless Chromium against korvan-host simulate --http.

Starts the runtime on a free loopback port with a scenario that fails
rectifier module 2 after a few seconds, opens the dashboard through
chromedriver and checks that the page shows what the API answers, that the
fault appears on the page once the API lists its alarm, and that a history
chart draws; saves a screenshot. Then runs again on the same database with a
simulator that does not answer, and checks that the page shows the lost
communication and every value stale. The runtime and the browser are stopped
in every case; every wait has a deadline and the whole run an overall one.

  dashboard_test.py --host build/bin/korvan-host --screenshot build/dashboard.png
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

FAULT_SCENARIO = "wait 6\nrectifier-fault 2 on\n"
# A few cycles publish records, then the simulator stops answering.
SILENT_SCENARIO = "wait 4\nsilent on\n"
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

    def __init__(self, host, folder, name, scenario, options, deadline):
        script = os.path.join(folder, f"{name}.scenario")
        with open(script, "w") as out:
            out.write(scenario)
        self.lines = []
        self.process = subprocess.Popen(
            [host, "simulate", "--http", "127.0.0.1:0", "--db", os.path.join(folder, f"{name}.db"),
             "--scenario", script, "--site", "Browser test site", "--seconds", "600"] + options,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True, errors="replace")
        threading.Thread(target=self._drain, daemon=True).start()
        try:
            self.port = wait_for("the HTTP server's port", self._port, 60, deadline)
        except BaseException:
            self.stop()
            raise

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


def compare_page_with_api(driver, runtime, line=True):
    """Raises Failure naming every value the page shows otherwise than the API.
    line: also the line's counters (which a silent line counts up faster than
    the page polls)."""
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
    if problems:
        raise Failure("; ".join(problems[:12]))
    return {"stale": sum(v["stale"] == "true" for v in shown)}


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
        "level: r.className, text: r.textContent}))")
    match = [r for r in rows if r["system"] == alarm["system"] and r["id"] == alarm["id"]
             and r["device"] == str(alarm["data_id"])]
    if not match:
        raise Failure(f"alarm {alarm['id']} {alarm['code']} not on the page (rows: {rows})")
    for part in ("text", "gloss"):  # the device's own text and its English meaning
        if alarm.get(part) and alarm[part] not in match[0]["text"]:
            raise Failure(f"alarm row {match[0]['text']!r} lacks the {part} {alarm[part]!r}")
    if f"level-{alarm['level']}" not in match[0]["level"]:
        raise Failure(f"alarm row class {match[0]['level']!r}, level {alarm['level']}")
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
    parser.add_argument("--screenshot", required=True, help="where to save the page's picture")
    parser.add_argument("--deadline", type=float, default=180, help="seconds for the whole run")
    args = parser.parse_args()

    overall = Deadline(args.deadline)
    # A last resort should a browser call hang past every deadline of its own.
    signal.signal(signal.SIGALRM, on_alarm)
    # ctest's own time-out ends the test with SIGTERM: clean up all the same.
    signal.signal(signal.SIGTERM, on_alarm)
    signal.alarm(int(args.deadline) + 30)

    runtimes = []
    driver = None
    shot = False
    failed = None
    with tempfile.TemporaryDirectory(prefix="korvan-dashboard-") as folder:
        try:
            runtime = Runtime(args.host, folder, "fault", FAULT_SCENARIO, [
                "--ac", "3,3", "--dc", "2", "--rc", "40",
                "--history-every", "0", "--commit-interval", "0"], overall)
            runtimes.append(runtime)
            wait_for("the first polling cycle",
                     lambda: all(s["last_cycle"] for s in runtime.api("/api/systems")),
                     60, overall)
            driver = start_browser(folder)
            driver.get(f"http://127.0.0.1:{runtime.port}/")

            wait_for("the page showing the API's values",
                     lambda: compare_page_with_api(driver, runtime), 60, overall, pause=1)
            print("page values agree with the API")

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

            # A simulator that falls silent: its records turn stale and
            # communication is lost.
            runtime = Runtime(args.host, folder, "silent", SILENT_SCENARIO,
                              ["--comm-lost-after", "10"], overall)
            runtimes.append(runtime)
            driver.get(f"http://127.0.0.1:{runtime.port}/")
            wait_for("the API reporting the lost communication",
                     lambda: all(s["communication"]["lost"] for s in runtime.api("/api/systems")),
                     60, overall)
            stale = wait_for("the page showing the lost communication and stale values",
                             lambda: compare_page_with_api(driver, runtime, line=False),
                             30, overall, pause=1)["stale"]
            if stale < 10:
                raise Failure(f"only {stale} values shown stale after the communication was lost")
            print(f"lost communication and {stale} stale values shown")
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
