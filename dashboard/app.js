// The site's dashboard: polls the runtime's JSON API every 2 s while the tab is
// visible. On top, the site overview: one tile per power system with its state
// in colour and words and its DC output; "#/system/NAME" (a click on a tile,
// a bookmark, the back button) shows one system below it: communication, line
// health, active alarms, its devices' values and history charts (uPlot).
//
// Values are named by the vocabulary (GET /api/vocabulary, `korvan-host list`).
// Every shown value carries data-system, data-device (where it belongs to a
// device) and data-field (its path in the device's record, "v",
// "channels[0].a", "modules[1].output_current"; on a tile its vocabulary name).
'use strict';

(function () {
  const POLL_MS = 2000;
  const WINDOWS = { hour: 3600, day: 86400, week: 7 * 86400 };
  // The first load of a long window asks for one row per span of this many
  // seconds (history `every`), about a thousand per chart; what follows comes
  // row by row.
  const THIN = { hour: 0, day: 120, week: 600 };
  const HISTORY_LIMIT = 20000;
  // The server answers at most this many values (rows x fields) per query.
  const HISTORY_VALUE_BUDGET = 200000;
  // Fields per query, as the server takes them: explicit names are asked in parts.
  const HISTORY_MAX_FIELDS = 32;
  // A plot breaks where two rows are farther apart than this many sampling intervals.
  const GAP_INTERVALS = 3;
  // A system whose last cycle is older than this many cycle intervals (and at
  // least NO_REPLY_MIN_S) shows "no reply" before the runtime declares the loss.
  const NO_REPLY_CYCLES = 2;
  const NO_REPLY_MIN_S = 4;
  const COLORS = ['#1c5fb0', '#d9480f', '#2b8a3e', '#9c36b5', '#0b7285', '#c2255c', '#5c940d', '#e67700'];
  const DASH = '—';
  // The tile's values: the system's standard names.
  const TILE_VALUES = ['output.voltage', 'output.current', 'battery.current'];
  // Worst first.
  const STATE_RANK = { lost: 4, noreply: 3, alarm: 2, ok: 1 };

  const page = {
    window: 'hour',
    timer: null,
    running: false,
    clockOffsetMs: 0, // server clock minus this browser's clock
    offsetMinutes: null, // the server's offset from UTC, from /api/site's time
    offsetText: '',
    vocabulary: null, // [{name, unit, meaning, record_type, field, first, stride, re}]
    wildcards: true, // the server expands "*" in history fields (until it answers 400)
    route: null, // name of the system shown, or null for the overview alone
    systems: new Map(), // name -> system view
    tiles: new Map(), // name -> tile
    cycles: new Map(), // name -> {cycles, at, interval}: the cycle interval seen
  };

  // ---- helpers ----

  function el(tag, attrs, children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      if (value === undefined || value === null) continue;
      if (key === 'class') node.className = value;
      else if (key === 'text') node.textContent = value;
      else node.setAttribute(key, value);
    }
    for (const child of children || []) node.append(child);
    return node;
  }

  // At most this many requests at once: the runtime's server has few threads,
  // and a browser's sixth connection would wait for an idle one to time out.
  const MAX_REQUESTS = 3;
  let requests = 0;
  const waiting = [];

  async function limited(task) {
    // A finished request hands its slot straight to the next one waiting.
    if (requests >= MAX_REQUESTS) await new Promise((resolve) => waiting.push(resolve));
    else requests++;
    try {
      return await task();
    } finally {
      const next = waiting.shift();
      if (next) next();
      else requests--;
    }
  }

  function getJson(path) {
    return limited(() => fetchJson(path));
  }

  // The answer's JSON; null for a 404; an Error with `status` otherwise.
  async function fetchJson(path) {
    const response = await fetch(path, { cache: 'no-store', headers: { Accept: 'application/json' } });
    if (response.status === 404) return null;
    if (!response.ok) {
      let text = response.statusText;
      try {
        text = (await response.json()).error || text;
      } catch (e) { /* not JSON */ }
      const error = new Error(`${path}: ${response.status} ${text}`);
      error.status = response.status;
      throw error;
    }
    return response.json();
  }

  const enc = encodeURIComponent;

  // A value of the API as a number: NaN and the infinities come as texts.
  function toNumber(value) {
    if (typeof value === 'number') return value;
    if (value === 'NaN') return NaN;
    if (value === 'Infinity') return Infinity;
    if (value === '-Infinity') return -Infinity;
    return null;
  }

  function formatNumber(value, decimals, unit) {
    const number = toNumber(value);
    if (number === null) return DASH;
    if (!Number.isFinite(number)) return String(value);
    return unit ? `${number.toFixed(decimals)} ${unit}` : number.toFixed(decimals);
  }

  // "channels[0].a" -> record.channels[0].a
  function pathValue(object, path) {
    let value = object;
    for (const part of path.match(/[^.[\]]+/g)) {
      if (value === null || value === undefined) return undefined;
      value = value[part];
    }
    return value;
  }

  function serverNow() {
    return (Date.now() + page.clockOffsetMs) / 1000;
  }

  // "2026-12-08T18:30:05+01:00" -> milliseconds, or NaN.
  function parseTime(text) {
    return typeof text === 'string' ? Date.parse(text.replace(' ', 'T')) : NaN;
  }

  // Every time on the page is shown one way: the runtime's local time with its
  // offset, "2026-12-09 19:48:11 +01:00".
  const ISO_TIME = /^(\d{4}-\d\d-\d\d)[T ](\d\d:\d\d:\d\d)(?:\.\d+)?\s*(Z|[+-]\d\d:?\d\d)$/;

  function showTime(text) {
    if (typeof text !== 'string') return DASH;
    const match = ISO_TIME.exec(text);
    if (!match) return text;
    const offset = match[3] === 'Z' ? '+00:00' : match[3].replace(/^([+-]\d\d):?(\d\d)$/, '$1:$2');
    return `${match[1]} ${match[2]} ${offset}`;
  }

  // Unix seconds in the runtime's offset (the one its last /api/site answer
  // gave; this browser's own before that).
  function showUnix(t) {
    if (typeof t !== 'number' || !Number.isFinite(t)) return DASH;
    const minutes = page.offsetMinutes ?? -new Date(t * 1000).getTimezoneOffset();
    const shifted = new Date((t + minutes * 60) * 1000).toISOString(); // its UTC fields read as local
    const sign = minutes < 0 ? '-' : '+';
    const magnitude = Math.abs(minutes);
    const offset = `${sign}${String(Math.floor(magnitude / 60)).padStart(2, '0')}:${String(magnitude % 60).padStart(2, '0')}`;
    return `${shifted.slice(0, 10)} ${shifted.slice(11, 19)} ${offset}`;
  }

  function learnOffset(text) {
    const match = ISO_TIME.exec(text || '');
    if (!match) return;
    if (match[3] === 'Z') {
      page.offsetMinutes = 0;
      return;
    }
    const [, sign, hours, minutes] = /^([+-])(\d\d):?(\d\d)$/.exec(match[3]);
    page.offsetMinutes = (sign === '-' ? -1 : 1) * (Number(hours) * 60 + Number(minutes));
  }

  function word(value, words) {
    return Number.isInteger(value) && value >= 0 && value < words.length ? words[value] : String(value);
  }

  function plural(count, one, many) {
    return `${count} ${count === 1 ? one : many}`;
  }

  // ---- the vocabulary ----

  // Loads the table once; without it (an older runtime) values keep their
  // record paths as labels.
  async function loadVocabulary() {
    if (page.vocabulary) return;
    let table = null;
    try {
      table = await getJson('/api/vocabulary');
    } catch (error) { /* labels by record path */ }
    if (!Array.isArray(table)) {
      page.vocabulary = [];
      return;
    }
    page.vocabulary = table.map((v) => {
      const field = String(v.field || '').split('.').map((part) =>
        (part === '*' ? '(\\d+)' : part.replace(/[.*+?^${}()|[\]\\-]/g, '\\$&'))).join('\\.');
      return { ...v, re: v.field ? new RegExp(`^${field}$`) : null };
    });
  }

  // The variable of the standard or otherwise fixed `name`.
  function variableNamed(name) {
    return (page.vocabulary || []).find((v) => v.name === name) || null;
  }

  // The vocabulary's name, meaning and unit of `path` ("channels[1].a") in a
  // record of `recordType` of the unit numbered `unit`; null for a field the
  // vocabulary does not name.
  function nameOf(recordType, unit, path) {
    const dotted = path.replace(/\[(\d+)\]/g, '.$1');
    for (const v of page.vocabulary || []) {
      if (v.record_type !== recordType || !v.re) continue;
      const match = v.re.exec(dotted);
      if (!match) continue;
      let item = 0;
      if (match[1] !== undefined) {
        const offset = Number(match[1]) - (v.first || 0);
        const stride = v.stride || 1;
        if (offset < 0 || offset % stride) continue;
        item = offset / stride + 1;
      }
      const fill = (text) => text.replace(/\{u\}/g, String(unit)).replace(/\{n\}/g, String(item));
      return { name: fill(v.name), meaning: fill(v.meaning), unit: v.unit, pattern: v.name, item, unitNumber: unit };
    }
    return null;
  }

  // The name `pattern` ("rectifier.{n}.current") with the unit filled in and
  // "*" for the item: the history's wildcard.
  function wildcardOf(pattern, unit) {
    return pattern.replace(/\{u\}/g, String(unit)).replace(/\{n\}/g, '*');
  }

  // ---- what each device shows ----

  const ON_OFF = ['on', 'off'];
  const LIMIT = ['limit', 'no limit'];
  const CHARGE = ['float', 'equalise', 'test'];
  const FAULT = ['ok', 'fault'];
  const DC_STATE = ['normal', 'voltage low', 'voltage high'];
  const UNIT_TEXT = { degC: '°C' };

  function numberFormat(decimals, unit) {
    return (value) => formatNumber(value, decimals, UNIT_TEXT[unit] || unit);
  }

  // A value cell: a field of a device's record, titled with its name and meaning.
  function valueCell(view, path, format, named) {
    const cell = el('td', {
      class: 'value',
      'data-system': view.system,
      'data-device': view.id,
      'data-field': path,
      'data-name': named ? named.name : null,
      title: named ? `${named.name}: ${named.meaning}` : path,
    });
    view.fields.push({ path, format, node: cell });
    return cell;
  }

  function scroller(table) {
    return el('div', { class: 'table-scroll' }, [table]);
  }

  function table(caption, head, rows) {
    return scroller(el('table', {}, [
      el('caption', { text: caption }),
      el('thead', {}, [el('tr', {}, head.map((text) => el('th', { scope: 'col', text })))]),
      el('tbody', {}, rows),
    ]));
  }

  function sharedPrefix(names) {
    const split = names.map((n) => n.split('.'));
    let k = 0;
    while (split.every((parts) => k < parts.length - 1 && parts[k] === split[0][k])) k++;
    return k;
  }

  // A grid of record fields: rows of cells [path, format, fallback column
  // label]. Named by the vocabulary, a row is headed by its names' shared
  // prefix ("ac.1.channel.2") and a column by the rest ("L1-N.voltage").
  function grid(view, caption, rows, rowAttrs) {
    const named = rows.map((r) => r.cells.map(([path]) => nameOf(view.recordType, view.unit, path)));
    const allNamed = named.length > 0 && named.every((cells) => cells.every(Boolean));
    let heads = rows.length ? rows[0].cells.map(([, , label]) => label) : [];
    if (allNamed) {
      const cut = sharedPrefix(named[0].map((n) => n.name));
      heads = named[0].map((n) => n.name.split('.').slice(cut).join('.'));
    }
    const body = rows.map((r, k) => {
      let label = r.label;
      if (allNamed) label = named[k][0].name.split('.').slice(0, sharedPrefix(named[k].map((n) => n.name))).join('.');
      return el('tr', rowAttrs ? rowAttrs(k) : {}, [
        el('th', { scope: 'row', text: label }),
        ...r.cells.map(([path, format], c) => valueCell(view, path, format, named[k][c])),
      ]);
    });
    return table(caption, [''].concat(heads), body);
  }

  // A list of record fields [path, format]: name, meaning, value.
  function list(view, caption, rows) {
    return table(caption, ['Name', 'Meaning', 'Value'], rows.map(([path, format, fallback]) => {
      const named = nameOf(view.recordType, view.unit, path);
      return el('tr', {}, [
        el('th', { scope: 'row', text: named ? named.name : path }),
        el('td', { class: 'meaning', text: named ? named.meaning : fallback }),
        valueCell(view, path, format, named),
      ]);
    }));
  }

  function buildAc(view, record) {
    const voltage = numberFormat(1, 'V');
    const currents = grid(view, 'Phase currents', [{
      label: 'Current',
      cells: [['ia', numberFormat(2, 'A'), 'A'], ['ib', numberFormat(2, 'A'), 'B'], ['ic', numberFormat(2, 'A'), 'C']],
    }]);
    const channels = grid(view, 'Channels: phase voltages and frequency', (record.channels || []).map((_, k) => ({
      label: `Channel ${k + 1}`,
      cells: [
        [`channels[${k}].a`, voltage, 'A'],
        [`channels[${k}].b`, voltage, 'B'],
        [`channels[${k}].c`, voltage, 'C'],
        [`channels[${k}].f`, numberFormat(2, 'Hz'), 'Frequency'],
      ],
    })));
    return [currents, channels];
  }

  function buildDc(view, record) {
    const rows = [
      ['v', numberFormat(2, 'V'), 'Voltage'],
      ['i', numberFormat(2, 'A'), 'Current'],
      ['dc_state', (v) => word(v, DC_STATE), 'Output state'],
    ];
    (record.m_value || []).forEach((_, k) => rows.push([`m_value[${k}]`, numberFormat(2, 'A'), `Battery current ${k + 1}`]));
    (record.n_value || []).forEach((_, k) => rows.push([`n_value[${k}]`, numberFormat(2), `N value ${k + 1}`]));
    (record.user_p || []).forEach((_, k) => {
      const named = nameOf(view.recordType, view.unit, `user_p[${k}]`);
      rows.push([`user_p[${k}]`, numberFormat(2, named ? named.unit : ''), `User value ${k + 1}`]);
    });
    return [list(view, 'DC values', rows)];
  }

  function buildRectifiers(view, record) {
    const summary = list(view, 'Rectifier group', [
      ['output_voltage', numberFormat(2, 'V'), 'Output voltage'],
      ['module_count', numberFormat(0), 'Modules'],
    ]);
    const modules = grid(view, 'Rectifier modules', (record.modules || []).map((_, k) => ({
      label: `Module ${k + 1}`,
      cells: [
        [`modules[${k}].output_current`, numberFormat(2, 'A'), 'Output current'],
        [`modules[${k}].on_off`, (v) => word(v, ON_OFF), 'On/off'],
        [`modules[${k}].current_limit`, (v) => word(v, LIMIT), 'Current limit'],
        [`modules[${k}].charge_mode`, (v) => word(v, CHARGE), 'Charge mode'],
        [`modules[${k}].fault`, (v) => word(v, FAULT), 'Fault'],
      ],
    })), (k) => ({ 'data-module': String(k) }));
    for (const cell of modules.querySelectorAll('td[data-field$=".fault"]')) cell.dataset.flag = 'fault';
    return [summary, modules];
  }

  const KINDS = {
    ac: { title: 'AC unit', build: buildAc, shape: (r) => `${(r.channels || []).length}` },
    dc: {
      title: 'DC unit',
      build: buildDc,
      shape: (r) => ['m_value', 'n_value', 'user_p'].map((k) => (r[k] || []).length).join(','),
    },
    rectifiers: { title: 'Rectifiers', build: buildRectifiers, shape: (r) => `${(r.modules || []).length}` },
  };

  // ---- history charts ----

  // The series a device plots, by the record's shape: each by its vocabulary
  // name (the history's field), or by its record path without a vocabulary.
  // `wildcards` asks for them all in one request ("rectifier.*.current").
  function chartSeries(view, record) {
    const series = (path, label, scale) => {
      const named = nameOf(view.recordType, view.unit, path);
      return {
        key: named ? named.name : path,
        label: named ? named.name : label,
        title: named ? named.meaning : label,
        scale,
        wildcard: named && named.item ? wildcardOf(named.pattern, view.unit) : null,
      };
    };
    let plan;
    if (view.kind === 'dc') {
      plan = {
        title: 'DC output voltage and load current',
        scales: [['V', 2], ['A', 2]],
        series: [series('v', 'Voltage', 'V'), series('i', 'Current', 'A')],
      };
    } else if (view.kind === 'ac') {
      const list = [];
      (record.channels || []).forEach((_, k) => {
        for (const phase of ['a', 'b', 'c']) {
          list.push(series(`channels[${k}].${phase}`, `Ch ${k + 1} ${phase.toUpperCase()}`, 'V'));
        }
        list.push(series(`channels[${k}].f`, `Ch ${k + 1} frequency`, 'Hz'));
      });
      plan = { title: 'AC input: phase voltages and frequency per channel', scales: [['V', 1], ['Hz', 2]], series: list };
    } else {
      plan = {
        title: 'Rectifier module output currents',
        scales: [['A', 2]],
        series: (record.modules || []).map((_, k) => series(`modules[${k}].output_current`, `Module ${k + 1}`, 'A')),
      };
    }
    const wild = [...new Set(plan.series.map((s) => s.wildcard))];
    plan.wildcards = plan.series.length > 1 && wild.every(Boolean) && wild.length < plan.series.length ? wild : null;
    return plan;
  }

  function makeChart(view, record) {
    const plan = chartSeries(view, record);
    const box = el('figure', {
      class: 'chart',
      id: `chart-${view.systemIndex}-${view.id}`,
      'data-system': view.system,
      'data-device': view.id,
      'data-chart': view.kind,
      'data-rows': '0',
      'data-gaps': '0',
    }, [el('figcaption', { text: plan.title })]);
    const note = el('p', { class: 'chart-note', 'data-field': 'history-note' });
    box.append(note);
    const decimals = Object.fromEntries(plan.scales);
    const options = {
      width: chartWidth(view.charts),
      height: 240,
      scales: { x: { time: true, range: timeRange } },
      series: [{ value: (u, t) => showUnix(t) }].concat(plan.series.map((s, k) => ({
        label: s.label,
        scale: s.scale,
        stroke: COLORS[k % COLORS.length],
        width: 2,
        spanGaps: false,
        value: (u, v) => (v === null || v === undefined ? DASH : `${v.toFixed(decimals[s.scale])} ${s.scale}`),
      }))),
      axes: [{
        space: 120,
        size: 48,
        // The page's one time format, the date above the time.
        values: (u, splits) => splits.map((t) => showUnix(t).replace(' ', '\n')),
      }].concat(plan.scales.map(([unit], k) => ({
        scale: unit,
        side: k === 0 ? 3 : 1,
        label: unit,
        grid: { show: k === 0 },
        size: 56,
      }))),
    };
    for (const [unit] of plan.scales) options.scales[unit] = { auto: true };
    const data = [[]].concat(plan.series.map(() => []));
    const chart = {
      box, note, plan, data, lastT: null, every: 0, thinnedUntil: null,
      loading: false, generation: 0, truncated: false,
      rows: { t: [], columns: plan.series.map(() => []) }, gaps: 0,
    };
    chart.plot = new uPlot(options, data, box);
    box.querySelector('canvas')?.setAttribute('aria-label', `${plan.title}, history`);
    plan.series.forEach((s, k) => {
      const row = box.querySelectorAll('.u-legend .u-series')[k + 1];
      if (row) row.title = s.title;
    });
    return chart;
  }

  // The rows' span; a lone row (or a few seconds of them) gets a few minutes
  // around it, where uPlot would stretch the axis over years.
  function timeRange(u) {
    const times = u.data[0];
    if (!times.length) return [serverNow() - WINDOWS[page.window], serverNow()];
    const first = times[0];
    const last = times[times.length - 1];
    return last - first < 60 ? [last - 300, last + 60] : [first, last];
  }

  function chartWidth(container) {
    return Math.max(220, Math.min(900, (container.clientWidth || 900) - 4));
  }

  // Rows per query: HISTORY_LIMIT, fewer when the chart's fields would pass the budget.
  function rowLimit(plan) {
    return Math.max(1, Math.min(HISTORY_LIMIT, Math.floor(HISTORY_VALUE_BUDGET / Math.max(1, plan.series.length))));
  }

  function median(numbers) {
    const sorted = [...numbers].sort((a, b) => a - b);
    return sorted[Math.floor(sorted.length / 2)];
  }

  // Appends the rows after chart.lastT to the rows kept (chart.rows).
  function appendRows(chart, times, columns) {
    times.forEach((t, row) => {
      if (chart.lastT !== null && t <= chart.lastT) return;
      chart.rows.t.push(t);
      chart.rows.columns.forEach((column, k) => column.push(columns[k][row]));
      chart.lastT = t;
    });
  }

  // The plotted data: the rows kept, and where two rows are farther apart
  // than GAP_INTERVALS sampling intervals (the median step of the newest 256
  // rows), a row of nulls between them that breaks every line. Rebuilt from
  // all rows, so a gap found before the interval was known breaks too.
  function plotData(chart) {
    const { t: times, columns } = chart.rows;
    const steps = [];
    for (let k = Math.max(1, times.length - 256); k < times.length; k++) steps.push(times[k] - times[k - 1]);
    const interval = steps.length >= 3 ? median(steps) : null;
    // Rows of a thinned first load are `every` apart: no gap at that step.
    const spacing = (t) => (chart.thinnedUntil !== null && t <= chart.thinnedUntil
      ? Math.max(interval, chart.every) : interval);
    const data = [[]].concat(columns.map(() => []));
    let gaps = 0;
    times.forEach((t, row) => {
      const previous = row ? times[row - 1] : null;
      if (interval && previous !== null && t - previous > GAP_INTERVALS * spacing(t)) {
        data[0].push(previous + Math.min(interval, (t - previous) / 2));
        for (let k = 1; k < data.length; k++) data[k].push(null);
        gaps++;
      }
      data[0].push(t);
      columns.forEach((column, k) => data[k + 1].push(column[row]));
    });
    chart.data = data;
    chart.gaps = gaps;
  }

  // One history request per part of fields; the answers joined by time (a row
  // stored between two parts' queries is in the later part only).
  async function fetchHistory(view, parts, since, limit, every) {
    const thinned = every ? `&every=${every}` : '';
    const answers = await Promise.all(parts.map((fields) => getJson(
      `/api/systems/${enc(view.system)}/devices/${view.id}/history` +
      `?fields=${fields.map(enc).join(',')}&since=${since}&limit=${limit}${thinned}`)));
    if (answers.some((a) => !a)) return null;
    const answer = { t: answers[0].t, truncated: answers.some((a) => a.truncated), values: {} };
    answers.forEach((part) => {
      const at = new Map(part.t.map((t, row) => [t, row]));
      for (const [field, column] of Object.entries(part.values || {})) {
        answer.values[field] = answer.t.map((t) => (at.has(t) ? column[at.get(t)] : null));
      }
    });
    return answer;
  }

  // Fetches the rows after the newest one shown (or the whole window), appends
  // them and drops rows older than the window.
  async function refreshChart(view) {
    const chart = view.chart;
    if (!chart || chart.loading) return;
    chart.loading = true;
    const generation = chart.generation;
    const start = Math.floor(serverNow() - WINDOWS[page.window]);
    const since = chart.lastT === null ? start : chart.lastT + 1;
    const every = since === start ? THIN[page.window] : 0;
    const limit = rowLimit(chart.plan);
    const names = chart.plan.series.map((s) => s.key);
    let answer = null;
    try {
      if (page.wildcards && chart.plan.wildcards) {
        try {
          answer = await fetchHistory(view, [chart.plan.wildcards], since, limit, every);
        } catch (error) {
          // A runtime that does not expand "*" refuses the field: explicit names from now on.
          if (error.status !== 400 && error.status !== 413) throw error;
          page.wildcards = false;
        }
      }
      if (!answer) {
        const parts = [];
        for (let k = 0; k < names.length; k += HISTORY_MAX_FIELDS) parts.push(names.slice(k, k + HISTORY_MAX_FIELDS));
        answer = await fetchHistory(view, parts, since, limit, every);
      }
      if (!answer || generation !== chart.generation) return;
      appendRows(chart, answer.t, names.map((name) => (answer.values[name] || []).map((value) => {
        const number = toNumber(value);
        return number === null || !Number.isFinite(number) ? null : number;
      })));
      if (every) {
        chart.every = every;
        chart.thinnedUntil = chart.lastT;
      }
      const times = chart.rows.t;
      let drop = 0;
      while (drop < times.length && times[drop] < start) drop++;
      if (drop) [times, ...chart.rows.columns].forEach((column) => column.splice(0, drop));
      if (since === start) chart.truncated = Boolean(answer.truncated);
      if (!times.length) chart.note.textContent = 'No history in this window yet.';
      else if (chart.truncated) chart.note.textContent = `Only the newest ${limit} rows of the window are shown.`;
      else chart.note.textContent = '';
      if (answer.t.length || drop || !chart.data[0].length) {
        plotData(chart);
        chart.plot.setData(chart.data);
      }
      chart.box.dataset.rows = String(times.length);
      chart.box.dataset.gaps = String(chart.gaps);
    } catch (error) {
      chart.note.textContent = `History unavailable: ${error.message}`;
    } finally {
      chart.loading = false;
    }
  }

  function resetChart(view) {
    const chart = view.chart;
    if (!chart) return;
    chart.generation++;
    chart.loading = false;
    chart.lastT = null;
    chart.every = 0;
    chart.thinnedUntil = null;
    chart.rows = { t: [], columns: chart.plan.series.map(() => []) };
    plotData(chart);
    chart.plot.setData(chart.data);
    chart.box.dataset.rows = '0';
    chart.box.dataset.gaps = '0';
  }

  // ---- devices ----

  // unit: the device's place among the system's devices of its kind, from 1
  // ("ac.2." is the second AC unit).
  function makeDevice(system, device, unit) {
    const kind = KINDS[device.kind] ? device.kind : 'dc';
    const view = {
      system: system.name,
      systemIndex: system.index,
      id: String(device.data_id),
      kind,
      recordType: device.record_type,
      unit,
      shape: null,
      fields: [],
      chart: null,
    };
    view.age = el('span', { class: 'age', 'data-system': view.system, 'data-device': view.id, 'data-field': 'age_seconds' });
    view.staleBadge = el('strong', { class: 'badge stale-badge', hidden: '' }, ['STALE']);
    view.body = el('div', { class: 'device-body' }, [el('p', { class: 'empty', text: 'No record yet.' })]);
    view.charts = el('div', { class: 'device-charts' });
    const prefix = kind === 'rectifiers' ? 'rectifier' : `${kind}.${unit}`;
    view.root = el('section', {
      class: `device device-${kind}`, 'data-system': view.system, 'data-device': view.id, 'data-kind': kind,
    }, [
      el('h3', {}, [`${KINDS[kind].title} ${prefix} (data id ${view.id}) `, view.staleBadge, ' ', view.age]),
      view.body,
      view.charts,
    ]);
    return view;
  }

  function showRecord(view, answer, commLost) {
    if (!answer) return;
    const record = answer.record || {};
    const shape = KINDS[view.kind].shape(record);
    if (shape !== view.shape) {
      view.fields = [];
      view.body.replaceChildren(...KINDS[view.kind].build(view, record));
      view.shape = shape;
      if (view.chart) view.chart.plot.destroy();
      view.charts.replaceChildren();
      view.chart = makeChart(view, record);
      view.charts.append(view.chart.box);
    }
    const stale = Boolean(answer.stale) || commLost;
    for (const field of view.fields) {
      const value = pathValue(record, field.path);
      field.node.textContent = field.format(value);
      field.node.classList.toggle('stale', stale);
      field.node.dataset.stale = String(stale);
      if (field.node.dataset.flag === 'fault') {
        field.node.closest('tr').classList.toggle('module-fault', value === 1);
      }
    }
    view.root.classList.toggle('stale', stale);
    view.staleBadge.hidden = !stale;
    view.age.textContent = `record ${formatNumber(answer.age_seconds, 0, 's')} old, ${showTime(answer.time)}`;
  }

  function destroySystem(system) {
    for (const device of system.devices.values()) if (device.chart) device.chart.plot.destroy();
  }

  // ---- one system's page ----

  const LINE_FIELDS = [
    ['port_open', 'Port', (v) => (v ? 'open' : 'closed')],
    ['port_error', 'Port error', (v) => v || 'none'],
    ['cycles', 'Cycles', String],
    ['frames_good', 'Frames good', String],
    ['dropped_total', 'Frames dropped', String],
    ['error_replies', 'Error replies', String],
    ['lost_replies', 'Lost replies', String],
    ['send_failures', 'Send failures', String],
    ['early_repeats', 'Repeats after a damaged reply', String],
  ];

  function makeSystem(name, index) {
    const system = { name, index, devices: new Map(), deviceOrder: '' };
    const hook = (field, tag = 'span') => el(tag, { 'data-system': name, 'data-field': field });
    system.comm = el('p', { class: 'comm', 'data-system': name, 'data-field': 'communication' });
    system.cycle = hook('last_cycle');
    system.cycleAge = hook('cycle_age_seconds');
    system.line = new Map();
    const lineList = el('dl', { class: 'line' });
    for (const [field, label] of LINE_FIELDS) {
      const value = hook(`line.${field}`, 'dd');
      system.line.set(field, value);
      lineList.append(el('div', {}, [el('dt', { text: label }), value]));
    }
    system.alarmCount = hook('active_alarms');
    system.alarms = el('tbody');
    system.deviceBox = el('div', { class: 'devices' });
    system.root = el('section', { class: 'system', 'data-system': name, 'aria-label': `Power system ${name}` }, [
      el('p', { class: 'back' }, [el('a', { href: '#/', text: '← Site overview' })]),
      el('h2', {}, [name, ' ', hook('data_id')]),
      system.comm,
      el('p', { class: 'cycle' }, ['Last cycle: ', system.cycle, ' (', system.cycleAge, ')']),
      el('details', { class: 'line-health', open: '' }, [el('summary', { text: 'Line health' }), lineList]),
      el('h3', {}, ['Active alarms: ', system.alarmCount]),
      scroller(el('table', { class: 'alarms' }, [
        el('caption', { class: 'visually-hidden', text: `Active alarms of ${name}` }),
        el('thead', {}, [el('tr', {}, ['Level', 'Device', 'Alarm', 'Device text', 'Meaning', 'Since']
          .map((text) => el('th', { scope: 'col', text })))]),
        system.alarms,
      ])),
      system.deviceBox,
    ]);
    return system;
  }

  function showSystem(system, info) {
    const lost = Boolean(info.communication && info.communication.lost);
    system.root.querySelector('[data-field="data_id"]').textContent = `(data id ${info.data_id})`;
    system.root.classList.toggle('comm-lost', lost);
    system.comm.setAttribute('role', lost ? 'alert' : 'status');
    system.comm.textContent = lost
      ? `COMMUNICATION LOST since ${showTime(info.communication.since)}: every value below is stale`
      : 'Communication OK';
    system.comm.dataset.lost = String(lost);
    system.cycle.textContent = info.last_cycle ? showTime(info.last_cycle) : 'none yet';
    system.cycleAge.textContent = info.cycle_age_seconds === null || info.cycle_age_seconds === undefined
      ? 'no cycle yet' : `${formatNumber(info.cycle_age_seconds, 0, 's')} ago`;
    for (const [field, , format] of LINE_FIELDS) {
      const value = info.line ? info.line[field] : undefined;
      const node = system.line.get(field);
      node.textContent = value === undefined ? DASH : format(value);
      if (field === 'dropped_total' && info.line && info.line.dropped) {
        const reasons = Object.entries(info.line.dropped).map(([why, n]) => `${why}: ${n}`).join(', ');
        node.title = reasons;
        if (reasons) node.textContent += ` (${reasons})`;
      }
    }
    system.alarmCount.textContent = String(info.active_alarms ?? 0);

    const order = (info.devices || []).map((d) => `${d.kind}:${d.data_id}`).join(' ');
    if (order !== system.deviceOrder) {
      const counts = {};
      const views = (info.devices || []).map((d) => {
        counts[d.kind] = (counts[d.kind] || 0) + 1;
        const old = system.devices.get(String(d.data_id));
        if (old && old.kind === d.kind && old.unit === counts[d.kind]) return old;
        if (old && old.chart) old.chart.plot.destroy();
        return makeDevice(system, d, counts[d.kind]);
      });
      system.devices = new Map(views.map((v) => [v.id, v]));
      system.deviceBox.replaceChildren(...views.map((v) => v.root));
      system.deviceOrder = order;
    }
    return lost;
  }

  function showAlarms(system, alarms) {
    const rows = alarms.map((alarm) => el('tr', {
      class: `alarm level-${alarm.level}`,
      'data-system': system.name,
      'data-device': String(alarm.data_id),
      'data-alarm-id': alarm.id,
      'data-alarm-code': alarm.code,
    }, [
      el('td', {}, [el('span', { class: 'badge', text: `Level ${alarm.level}`, title: LEVELS[alarm.level] })]),
      el('td', { text: String(alarm.data_id) }),
      el('td', { text: `${alarm.id} ${alarm.code}` }),
      el('td', { class: 'device-text', lang: 'zh', text: alarm.text || alarm.name || '' }),
      el('td', { class: 'gloss', text: alarm.gloss || '' }),
      el('td', { class: 'time', text: showTime(alarm.time) }),
    ]));
    if (!rows.length) rows.push(el('tr', { class: 'none' }, [el('td', { colspan: '6', text: 'None active.' })]));
    system.alarms.replaceChildren(...rows);
  }

  // ---- the site overview ----

  const LEVELS = {
    1: 'level 1: critical, act now (the runtime raises its communication loss at this level)',
    2: 'level 2: major, a part has failed (a rectifier module fault)',
    3: 'level 3: minor, a warning',
  };

  function makeTile(name) {
    const tile = { name, values: new Map() };
    tile.state = el('p', { class: 'tile-state', 'data-system': name, 'data-field': 'state' });
    const list = el('dl', { class: 'tile-values' });
    for (const key of TILE_VALUES) {
      const variable = variableNamed(key);
      const meaning = variable ? variable.meaning : key;
      const value = el('dd', { 'data-system': name, 'data-field': key, 'data-name': key });
      tile.values.set(key, value);
      // The meaning up to its first comma or parenthesis; the title keeps all of it.
      list.append(el('div', { title: `${key}: ${meaning}` }, [
        el('dt', { text: meaning.replace(/\s*[,(].*$/, '') }), value]));
    }
    tile.root = el('a', {
      class: 'tile', href: `#/system/${enc(name)}`, 'data-system': name, 'data-tile': name,
    }, [el('h2', { text: name }), tile.state, list]);
    return tile;
  }

  // The cycle interval seen from the line's cycle count between two answers.
  function cycleInterval(info) {
    const seen = page.cycles.get(info.name) || { cycles: null, at: null, interval: null };
    const cycles = info.line ? info.line.cycles : null;
    const now = Date.now() / 1000;
    if (typeof cycles === 'number') {
      if (seen.cycles !== null && cycles > seen.cycles) {
        const interval = (now - seen.at) / (cycles - seen.cycles);
        seen.interval = seen.interval === null ? interval : 0.7 * seen.interval + 0.3 * interval;
      }
      if (seen.cycles === null || cycles !== seen.cycles) {
        seen.cycles = cycles;
        seen.at = now;
      }
    }
    page.cycles.set(info.name, seen);
    return seen.interval;
  }

  // A system's state: lost, no reply (its last cycles missed), alarm, ok.
  function stateOf(info, alarms) {
    const interval = cycleInterval(info);
    const age = info.cycle_age_seconds;
    const levels = {};
    for (const alarm of alarms) levels[alarm.level] = (levels[alarm.level] || 0) + 1;
    const counts = Object.keys(levels).sort().map((level) => `${levels[level]} × level ${level}`).join(', ');
    if (info.communication && info.communication.lost) {
      return { state: 'lost', color: 'red', words: 'communication lost', alarms: alarms.length, counts };
    }
    const limit = Math.max(NO_REPLY_MIN_S, NO_REPLY_CYCLES * (interval || POLL_MS / 1000));
    if (age === null || age === undefined || age > limit) {
      const words = age === null || age === undefined ? 'no reply yet' : `no reply for ${Math.floor(age)} s`;
      return { state: 'noreply', color: 'amber', words, alarms: alarms.length, counts };
    }
    if (alarms.length) {
      return {
        state: 'alarm', color: levels[1] ? 'red' : 'amber', words: `alarm: ${counts}`, alarms: alarms.length, counts,
      };
    }
    return { state: 'ok', color: 'green', words: 'ok', alarms: 0, counts };
  }

  function showTile(tile, state, answer) {
    tile.root.className = `tile state-${state.state} color-${state.color}`;
    tile.root.dataset.state = state.state;
    tile.root.dataset.color = state.color;
    tile.root.setAttribute('aria-current', String(page.route === tile.name));
    let words = state.words;
    // A lost system's alarms include the loss itself: its words say it all.
    if (state.state === 'noreply' && state.alarms) words += `; alarm: ${state.counts}`;
    tile.state.textContent = words;
    const values = (answer && answer.values) || {};
    const stale = !answer || Boolean(answer.stale);
    for (const [key, node] of tile.values) {
      const value = toNumber(values[key]);
      const variable = variableNamed(key);
      let text = formatNumber(values[key], 2, variable ? variable.unit : '');
      if (key === 'battery.current' && value !== null && value !== 0 && Number.isFinite(value)) {
        text += value > 0 ? ' charging' : ' discharging';
      }
      node.textContent = text;
      node.classList.toggle('stale', stale);
      node.dataset.stale = String(stale);
    }
  }

  // The worst state in the title and the favicon.
  function showWorst(site, states) {
    let worst = { state: 'ok', color: 'green' };
    let name = '';
    let alarms = 0;
    for (const [system, state] of states) {
      alarms += state.alarms;
      const rank = STATE_RANK[state.state];
      if (rank > STATE_RANK[worst.state] || (rank === STATE_RANK[worst.state] && state.color === 'red')) {
        worst = state;
        name = system;
      }
    }
    let title;
    if (worst.state === 'lost') title = `✖ ${name}: communication lost`;
    else if (worst.state === 'noreply') title = `⚠ ${name}: ${worst.words}`;
    else if (worst.state === 'alarm') title = `⚠ ${plural(alarms, 'alarm', 'alarms')}`;
    else title = states.length ? '✓ ok' : 'no systems';
    document.title = `${title} — ${site}`;
    const icon = document.getElementById('favicon');
    // A file per colour: the page's Content-Security-Policy allows no data: URLs.
    if (icon.dataset.color !== worst.color) {
      icon.href = `/assets/favicon-${worst.color}.svg`;
      icon.dataset.color = worst.color;
    }
    document.body.dataset.worst = worst.state;
  }

  function showTiles(systems, alarms, answers) {
    const box = document.getElementById('overview');
    const names = systems.map((s) => s.name);
    for (const name of [...page.tiles.keys()]) if (!names.includes(name)) page.tiles.delete(name);
    const tiles = systems.map((info) => {
      if (!page.tiles.has(info.name)) page.tiles.set(info.name, makeTile(info.name));
      return page.tiles.get(info.name);
    });
    if (box.children.length !== tiles.length || tiles.some((t, k) => box.children[k] !== t.root)) {
      box.replaceChildren(...tiles.map((t) => t.root));
    }
    return systems.map((info, k) => {
      const state = stateOf(info, alarms.filter((a) => a.system === info.name));
      showTile(tiles[k], state, answers[k]);
      return [info.name, state];
    });
  }

  // ---- routes: "#/" the overview, "#/system/NAME" one system below it ----

  function routeOf(hash) {
    const match = /^#\/system\/(.+)$/.exec(hash || '');
    if (!match) return null;
    try {
      return decodeURIComponent(match[1]);
    } catch (error) {
      return match[1];
    }
  }

  function applyRoute() {
    page.route = routeOf(location.hash);
    document.body.dataset.route = page.route === null ? 'overview' : 'system';
    document.querySelector('.window').hidden = page.route === null;
    for (const [name, system] of page.systems) {
      if (name !== page.route) {
        destroySystem(system);
        page.systems.delete(name);
      }
    }
    const main = document.getElementById('systems');
    if (page.route === null) main.replaceChildren();
    for (const tile of page.tiles.values()) tile.root.setAttribute('aria-current', String(page.route === tile.name));
  }

  // ---- polling ----

  const status = document.getElementById('status');

  async function poll() {
    const [site, systems, alarms] = await Promise.all([
      getJson('/api/site'), getJson('/api/systems'), getJson('/api/alarms'),
    ]);
    if (!site || !systems || !alarms) throw new Error('the runtime answers no API');
    const now = parseTime(site.time);
    if (Number.isFinite(now)) page.clockOffsetMs = now - Date.now();
    learnOffset(site.time);
    await loadVocabulary();
    document.getElementById('site-name').textContent = site.site;
    document.getElementById('site-time').textContent = showTime(site.time);
    document.getElementById('site-version').textContent = `korvan-host ${site.version}`;

    // Each system's values by name: a system that does not answer them shows dashes.
    const answers = await Promise.all(systems.map((info) =>
      getJson(`/api/systems/${enc(info.name)}/values`).catch(() => null)));
    showWorst(site.site, showTiles(systems, alarms, answers));

    const main = document.getElementById('systems');
    if (page.route === null) return;
    const index = systems.findIndex((s) => s.name === page.route);
    if (index < 0) {
      main.replaceChildren(el('p', { class: 'missing', role: 'alert', text: `No system named ${page.route}.` }));
      return;
    }
    const info = systems[index];
    let system = page.systems.get(info.name);
    if (!system) {
      system = makeSystem(info.name, index);
      page.systems.set(info.name, system);
    }
    if (main.firstChild !== system.root || main.children.length !== 1) main.replaceChildren(system.root);
    const lost = showSystem(system, info);
    showAlarms(system, alarms.filter((a) => a.system === system.name));
    await Promise.all([...system.devices.values()].map((device) =>
      getJson(`/api/systems/${enc(system.name)}/devices/${device.id}/record`).then((answer) => {
        showRecord(device, answer, lost);
        return refreshChart(device);
      })));
  }

  async function tick() {
    page.timer = null;
    if (page.running) return;
    page.running = true;
    try {
      await poll();
      document.body.classList.remove('offline');
      status.textContent = `Updated ${document.getElementById('site-time').textContent}`;
    } catch (error) {
      document.body.classList.add('offline');
      status.textContent = `Cannot reach the runtime (${error.message}); the values shown are old.`;
    } finally {
      page.running = false;
      schedule();
    }
  }

  function schedule() {
    if (page.timer !== null || document.hidden) return;
    page.timer = setTimeout(tick, POLL_MS);
  }

  // Polls now (or right after the poll under way).
  function pollSoon() {
    clearTimeout(page.timer);
    page.timer = null;
    if (page.running) schedule();
    else tick();
  }

  document.addEventListener('visibilitychange', () => {
    if (document.hidden) {
      clearTimeout(page.timer);
      page.timer = null;
    } else {
      pollSoon();
    }
  });

  window.addEventListener('hashchange', () => {
    applyRoute();
    pollSoon();
  });

  for (const button of document.querySelectorAll('button[data-window]')) {
    button.addEventListener('click', () => {
      page.window = button.dataset.window;
      for (const other of document.querySelectorAll('button[data-window]')) {
        other.setAttribute('aria-pressed', String(other === button));
      }
      for (const system of page.systems.values()) {
        for (const device of system.devices.values()) {
          resetChart(device);
          refreshChart(device);
        }
      }
    });
  }

  let resizeTimer = null;
  window.addEventListener('resize', () => {
    clearTimeout(resizeTimer);
    resizeTimer = setTimeout(() => {
      for (const system of page.systems.values()) {
        for (const device of system.devices.values()) {
          if (device.chart) device.chart.plot.setSize({ width: chartWidth(device.charts), height: 240 });
        }
      }
    }, 200);
  });

  applyRoute();
  tick();
})();
