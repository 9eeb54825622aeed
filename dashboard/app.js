// The site's dashboard: polls the runtime's JSON API every 2 s while the tab is
// visible and shows every power system: communication, line health, AC, DC,
// rectifier modules, active alarms and history charts (uPlot).
//
// Every shown value carries data-system, data-device (where it belongs to a
// device) and data-field (its path in the API's answer, the same path the
// history API takes: "v", "channels[0].a", "modules[1].output_current").
'use strict';

(function () {
  const POLL_MS = 2000;
  const WINDOWS = { hour: 3600, day: 86400, week: 7 * 86400 };
  const HISTORY_LIMIT = 20000;
  // The server answers at most this many values (rows x fields) per query.
  const HISTORY_VALUE_BUDGET = 200000;
  // Fields per query, as the server takes them: a chart over more is asked in parts.
  const HISTORY_MAX_FIELDS = 32;
  const COLORS = ['#1c5fb0', '#d9480f', '#2b8a3e', '#9c36b5', '#0b7285', '#c2255c', '#5c940d', '#e67700'];
  const DASH = '—';

  const page = {
    window: 'hour',
    timer: null,
    running: false,
    clockOffsetMs: 0, // server clock minus this browser's clock
    systems: new Map(), // name -> system view
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

  async function fetchJson(path) {
    const response = await fetch(path, { cache: 'no-store', headers: { Accept: 'application/json' } });
    if (response.status === 404) return null;
    if (!response.ok) {
      let text = response.statusText;
      try {
        text = (await response.json()).error || text;
      } catch (e) { /* not JSON */ }
      throw new Error(`${path}: ${response.status} ${text}`);
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

  // "2026-12-08 18:30:05+01:00" -> milliseconds, or NaN.
  function parseTime(text) {
    return typeof text === 'string' ? Date.parse(text.replace(' ', 'T')) : NaN;
  }

  function word(value, words) {
    return Number.isInteger(value) && value >= 0 && value < words.length ? words[value] : String(value);
  }

  // ---- what each device shows ----

  const ON_OFF = ['on', 'off'];
  const LIMIT = ['limit', 'no limit'];
  const CHARGE = ['float', 'equalise', 'test'];
  const FAULT = ['ok', 'fault'];
  const DC_STATE = ['normal', 'voltage low', 'voltage high'];

  // A value cell: a labelled field of a device's record.
  function valueCell(view, path, format) {
    const cell = el('td', { class: 'value', 'data-system': view.system, 'data-device': view.id, 'data-field': path });
    view.fields.push({ path, format, node: cell });
    return cell;
  }

  function numberFormat(decimals, unit) {
    return (value) => formatNumber(value, decimals, unit);
  }

  function table(caption, head, rows) {
    return el('table', {}, [
      el('caption', { text: caption }),
      el('thead', {}, [el('tr', {}, head.map((text) => el('th', { scope: 'col', text })))]),
      el('tbody', {}, rows),
    ]);
  }

  function row(label, cells) {
    return el('tr', {}, [el('th', { scope: 'row', text: label }), ...cells]);
  }

  function buildAc(view, record) {
    const voltage = numberFormat(1, 'V');
    const currents = table('Phase currents', ['', 'A', 'B', 'C'], [
      row('Current', ['ia', 'ib', 'ic'].map((f) => valueCell(view, f, numberFormat(2, 'A')))),
    ]);
    const channels = (record.channels || []).map((_, k) =>
      row(`Channel ${k + 1}`, [
        valueCell(view, `channels[${k}].a`, voltage),
        valueCell(view, `channels[${k}].b`, voltage),
        valueCell(view, `channels[${k}].c`, voltage),
        valueCell(view, `channels[${k}].f`, numberFormat(2, 'Hz')),
      ]));
    return [currents, table('Phase voltages and frequency', ['', 'A', 'B', 'C', 'Frequency'], channels)];
  }

  function buildDc(view, record) {
    const rows = [
      row('Voltage', [valueCell(view, 'v', numberFormat(2, 'V'))]),
      row('Current', [valueCell(view, 'i', numberFormat(2, 'A'))]),
      row('Output state', [valueCell(view, 'dc_state', (v) => word(v, DC_STATE))]),
    ];
    (record.m_value || []).forEach((_, k) =>
      rows.push(row(`Battery current ${k + 1}`, [valueCell(view, `m_value[${k}]`, numberFormat(2, 'A'))])));
    (record.n_value || []).forEach((_, k) =>
      rows.push(row(`N value ${k + 1}`, [valueCell(view, `n_value[${k}]`, numberFormat(2))])));
    (record.user_p || []).forEach((_, k) =>
      rows.push(row(`User value ${k + 1}`, [valueCell(view, `user_p[${k}]`, numberFormat(2))])));
    return [table('DC values', ['', 'Value'], rows)];
  }

  function buildRectifiers(view, record) {
    const summary = table('Rectifier group', ['', 'Value'], [
      row('Output voltage', [valueCell(view, 'output_voltage', numberFormat(2, 'V'))]),
      row('Modules', [valueCell(view, 'module_count', numberFormat(0))]),
    ]);
    const modules = (record.modules || []).map((_, k) => {
      const fault = valueCell(view, `modules[${k}].fault`, (v) => word(v, FAULT));
      fault.dataset.flag = 'fault';
      return el('tr', { 'data-module': String(k) }, [
        el('th', { scope: 'row', text: `Module ${k + 1}` }),
        valueCell(view, `modules[${k}].output_current`, numberFormat(2, 'A')),
        valueCell(view, `modules[${k}].on_off`, (v) => word(v, ON_OFF)),
        valueCell(view, `modules[${k}].current_limit`, (v) => word(v, LIMIT)),
        valueCell(view, `modules[${k}].charge_mode`, (v) => word(v, CHARGE)),
        fault,
      ]);
    });
    return [summary, table('Rectifier modules',
      ['', 'Output current', 'On/off', 'Current limit', 'Charge mode', 'Fault'], modules)];
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

  // The series each kind of device plots, by the record's shape.
  function chartSeries(kind, record) {
    if (kind === 'dc') {
      return {
        title: 'DC voltage and current',
        scales: [['V', 2], ['A', 2]],
        series: [
          { field: 'v', label: 'Voltage', scale: 'V' },
          { field: 'i', label: 'Current', scale: 'A' },
        ],
      };
    }
    if (kind === 'ac') {
      const series = [];
      (record.channels || []).forEach((_, k) => {
        for (const phase of ['a', 'b', 'c']) {
          series.push({ field: `channels[${k}].${phase}`, label: `Ch ${k + 1} ${phase.toUpperCase()}`, scale: 'V' });
        }
        series.push({ field: `channels[${k}].f`, label: `Ch ${k + 1} frequency`, scale: 'Hz' });
      });
      return { title: 'AC phase voltages and frequency', scales: [['V', 1], ['Hz', 2]], series };
    }
    return {
      title: 'Rectifier module currents',
      scales: [['A', 2]],
      series: (record.modules || []).map((_, k) => ({
        field: `modules[${k}].output_current`, label: `Module ${k + 1}`, scale: 'A',
      })),
    };
  }

  function makeChart(view, record) {
    const plan = chartSeries(view.kind, record);
    const box = el('figure', {
      class: 'chart',
      id: `chart-${view.systemIndex}-${view.id}`,
      'data-system': view.system,
      'data-device': view.id,
      'data-chart': view.kind,
      'data-rows': '0',
    }, [el('figcaption', { text: plan.title })]);
    const note = el('p', { class: 'chart-note', 'data-field': 'history-note' });
    box.append(note);
    const decimals = Object.fromEntries(plan.scales);
    const options = {
      width: chartWidth(view.root),
      height: 240,
      scales: { x: { time: true, range: timeRange } },
      series: [{}].concat(plan.series.map((s, k) => ({
        label: s.label,
        scale: s.scale,
        stroke: COLORS[k % COLORS.length],
        width: 2,
        spanGaps: false,
        value: (u, v) => (v === null || v === undefined ? DASH : `${v.toFixed(decimals[s.scale])} ${s.scale}`),
      }))),
      axes: [{}].concat(plan.scales.map(([unit], k) => ({
        scale: unit,
        side: k === 0 ? 3 : 1,
        label: unit,
        grid: { show: k === 0 },
        size: 60,
      }))),
    };
    for (const [unit] of plan.scales) options.scales[unit] = { auto: true };
    const data = [[]].concat(plan.series.map(() => []));
    const chart = { box, note, plan, data, lastT: null, loading: false, generation: 0, truncated: false };
    chart.plot = new uPlot(options, data, box);
    box.querySelector('canvas')?.setAttribute('aria-label', `${plan.title}, history`);
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
    return Math.max(300, Math.min(900, (container.clientWidth || 900) - 24));
  }

  // Rows per query: HISTORY_LIMIT, fewer when the chart's fields would pass the budget.
  function rowLimit(plan) {
    return Math.max(1, Math.min(HISTORY_LIMIT, Math.floor(HISTORY_VALUE_BUDGET / Math.max(1, plan.series.length))));
  }

  // Fetches the rows after the newest one shown (or the whole window), appends
  // them and drops rows older than the window.
  async function refreshChart(view) {
    const chart = view.chart;
    if (!chart || chart.loading) return;
    chart.loading = true;
    const generation = chart.generation;
    const start = Math.floor(serverNow() - WINDOWS[page.window]);
    const since = chart.lastT === null ? start : chart.lastT;
    const limit = rowLimit(chart.plan);
    // Parts of at most HISTORY_MAX_FIELDS fields (same device, bound and
    // limit), joined into one answer.
    const parts = [];
    for (let k = 0; k < chart.plan.series.length; k += HISTORY_MAX_FIELDS) {
      parts.push(chart.plan.series.slice(k, k + HISTORY_MAX_FIELDS).map((s) => s.field));
    }
    try {
      const answers = await Promise.all(parts.map((fields) => getJson(
        `/api/systems/${enc(view.system)}/devices/${view.id}/history` +
        `?fields=${fields.map(enc).join(',')}&since=${since}&limit=${limit}`)));
      if (answers.some((a) => !a) || generation !== chart.generation) return;
      // Rows are matched by time: a row stored between two parts' queries is
      // in the later part only.
      const answer = { t: answers[0].t, truncated: answers[0].truncated, values: {} };
      answers.forEach((part) => {
        const at = new Map(part.t.map((t, row) => [t, row]));
        for (const [field, column] of Object.entries(part.values || {})) {
          answer.values[field] = answer.t.map((t) => (at.has(t) ? column[at.get(t)] : null));
        }
      });
      const [times, ...columns] = chart.data;
      answer.t.forEach((t, row) => {
        if (chart.lastT !== null && t <= chart.lastT) return;
        times.push(t);
        chart.plan.series.forEach((s, k) => {
          const value = toNumber((answer.values[s.field] || [])[row]);
          columns[k].push(value === null || !Number.isFinite(value) ? null : value);
        });
        chart.lastT = t;
      });
      let drop = 0;
      while (drop < times.length && times[drop] < start) drop++;
      if (drop) chart.data.forEach((column) => column.splice(0, drop));
      if (since === start) chart.truncated = Boolean(answer.truncated);
      if (!times.length) chart.note.textContent = 'No history in this window yet.';
      else if (chart.truncated) chart.note.textContent = `Only the newest ${limit} rows of the window are shown.`;
      else chart.note.textContent = '';
      chart.plot.setData(chart.data);
      chart.box.dataset.rows = String(times.length);
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
    chart.data.forEach((column) => column.splice(0));
    chart.plot.setData(chart.data);
    chart.box.dataset.rows = '0';
  }

  // ---- devices ----

  function makeDevice(system, device) {
    const kind = KINDS[device.kind] ? device.kind : 'dc';
    const view = {
      system: system.name,
      systemIndex: system.index,
      id: String(device.data_id),
      kind,
      shape: null,
      fields: [],
      chart: null,
    };
    view.age = el('span', { class: 'age', 'data-system': view.system, 'data-device': view.id, 'data-field': 'age_seconds' });
    view.staleBadge = el('strong', { class: 'badge stale-badge', hidden: '' }, ['STALE']);
    view.body = el('div', { class: 'device-body' }, [el('p', { class: 'empty', text: 'No record yet.' })]);
    view.charts = el('div', { class: 'device-charts' });
    view.root = el('section', {
      class: `device device-${kind}`, 'data-system': view.system, 'data-device': view.id, 'data-kind': kind,
    }, [
      el('h3', {}, [`${KINDS[kind].title} ${view.id} `, view.staleBadge, ' ', view.age]),
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
    view.age.textContent = `record ${formatNumber(answer.age_seconds, 0, 's')} old, ${answer.time || DASH}`;
  }

  // ---- systems ----

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
      el('h2', {}, [name, ' ', hook('data_id')]),
      system.comm,
      el('p', { class: 'cycle' }, ['Last cycle: ', system.cycle, ' (', system.cycleAge, ')']),
      el('details', { class: 'line-health', open: '' }, [el('summary', { text: 'Line health' }), lineList]),
      el('h3', {}, ['Active alarms: ', system.alarmCount]),
      el('table', { class: 'alarms' }, [
        el('caption', { class: 'visually-hidden', text: `Active alarms of ${name}` }),
        el('thead', {}, [el('tr', {}, ['Level', 'Device', 'Alarm', 'Device text', 'Meaning', 'Since']
          .map((text) => el('th', { scope: 'col', text })))]),
        system.alarms,
      ]),
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
      ? `COMMUNICATION LOST since ${info.communication.since || DASH}: every value below is stale`
      : 'Communication OK';
    system.comm.dataset.lost = String(lost);
    system.cycle.textContent = info.last_cycle || 'none yet';
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
      const views = (info.devices || []).map((d) => system.devices.get(String(d.data_id)) || makeDevice(system, d));
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
      el('td', {}, [el('span', { class: 'badge', text: `Level ${alarm.level}` })]),
      el('td', { text: String(alarm.data_id) }),
      el('td', { text: `${alarm.id} ${alarm.code}` }),
      el('td', { class: 'device-text', lang: 'zh', text: alarm.text || alarm.name || '' }),
      el('td', { class: 'gloss', text: alarm.gloss || '' }),
      el('td', { text: alarm.time || '' }),
    ]));
    if (!rows.length) rows.push(el('tr', { class: 'none' }, [el('td', { colspan: '6', text: 'None active.' })]));
    system.alarms.replaceChildren(...rows);
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
    document.getElementById('site-name').textContent = site.site;
    document.getElementById('site-time').textContent = site.time;
    document.getElementById('site-version').textContent = `korvan-host ${site.version}`;
    document.title = `${site.site}: power systems`;

    const main = document.getElementById('systems');
    const names = systems.map((s) => s.name);
    for (const name of [...page.systems.keys()]) if (!names.includes(name)) page.systems.delete(name);
    const views = systems.map((info, index) => {
      let system = page.systems.get(info.name);
      if (!system) {
        system = makeSystem(info.name, index);
        page.systems.set(info.name, system);
      }
      return { system, info };
    });
    if (main.children.length !== views.length || views.some((v, k) => main.children[k] !== v.system.root)) {
      main.replaceChildren(...views.map((v) => v.system.root));
    }

    const work = [];
    for (const { system, info } of views) {
      const lost = showSystem(system, info);
      showAlarms(system, alarms.filter((a) => a.system === system.name));
      for (const device of system.devices.values()) {
        work.push(getJson(`/api/systems/${enc(system.name)}/devices/${device.id}/record`)
          .then((answer) => {
            showRecord(device, answer, lost);
            return refreshChart(device);
          }));
      }
    }
    await Promise.all(work);
  }

  async function tick() {
    page.timer = null;
    if (page.running) return;
    page.running = true;
    try {
      await poll();
      document.body.classList.remove('offline');
      status.textContent = `Updated ${new Date().toLocaleTimeString()}`;
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

  document.addEventListener('visibilitychange', () => {
    if (document.hidden) {
      clearTimeout(page.timer);
      page.timer = null;
    } else if (!page.running) {
      clearTimeout(page.timer);
      tick();
    }
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
          if (device.chart) device.chart.plot.setSize({ width: chartWidth(device.root), height: 240 });
        }
      }
    }, 200);
  });

  tick();
})();
