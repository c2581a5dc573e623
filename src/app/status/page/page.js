// The status page: the hub's health and its combined channels, live from the event stream
// (GET /events: "health" events with the /status document, "record" events with each combined
// record), and a trend of the ticked channels over the last ten minutes (first filled from the
// recording, GET /records, when the hub keeps one). Texts from the hub are set as text, never as
// markup. The browser's EventSource reconnects by itself; when it gives up (the hub answered
// with an error while restarting) the page opens a new one.
'use strict';

(function () {
  const kTrendSpanMs = 10 * 60 * 1000;
  const kChartRefreshMs = 1000;
  const kReopenMs = 3000;
  const kTokenKey = 'tessamer-token';
  const kColours = ['#0b4f8a', '#c0392b', '#1e8449', '#8e44ad', '#d35400', '#117a65', '#7d6608', '#2e4053'];

  const page = {
    names: [],            // the combined channels' names, in order
    units: {},            // name -> unit
    owners: {},           // name -> the agent index of its box
    values: {},           // name -> newest value (null: none)
    ticked: new Set(),    // names shown in the trend
    series: new Map(),    // name -> [{x: ms, y: value}]
    newest: 0,            // received_at of the newest record, ms
    boxes: [],            // the last health's boxes
    chart: null,
    chartDue: false,
    filled: false,        // the trend was filled from the recording
  };

  // --- the token: given once in the address, kept for the session -----------------------------

  function Token() {
    const given = new URLSearchParams(window.location.search).get('token');
    if (given) {
      window.sessionStorage.setItem(kTokenKey, given);
      window.history.replaceState(null, '', window.location.pathname);
    }
    return window.sessionStorage.getItem(kTokenKey) || '';
  }
  const token = Token();

  function WithToken(path) {
    if (!token) return path;
    return path + (path.includes('?') ? '&' : '?') + 'token=' + encodeURIComponent(token);
  }

  // --- texts ------------------------------------------------------------------------------------

  function Two(n) { return String(n).padStart(2, '0'); }

  function TimeText(ms) {
    const t = new Date(ms);
    return Two(t.getHours()) + ':' + Two(t.getMinutes()) + ':' + Two(t.getSeconds());
  }

  function SinceText(iso) {
    if (!iso) return '\u2014';
    const ms = Date.parse(iso);
    const text = TimeText(ms);
    if (Date.now() - ms < 24 * 3600 * 1000) return text;
    const t = new Date(ms);
    return t.getFullYear() + '-' + Two(t.getMonth() + 1) + '-' + Two(t.getDate()) + ' ' + text;
  }

  function ValueText(value) {
    if (value === null || value === undefined) return '\u2014';
    return Number(value).toFixed(2);
  }

  // A cell of `row` with `text`; it carries its column's heading for the narrow layout, where a
  // row is shown as a card of labelled values.
  function Cell(row, text, className) {
    const cell = row.insertCell();
    cell.textContent = text;
    if (className) cell.className = className;
    const heading = row.closest('table').tHead.rows[0].cells[cell.cellIndex];
    if (heading) cell.dataset.label = heading.textContent;
    return cell;
  }

  // The box a combined channel comes from, as the health names it.
  function BoxOf(name) {
    const agent = page.owners[name];
    if (agent === undefined) return null;
    return page.boxes.find((box) => box.agent === agent) || null;
  }

  // --- health -----------------------------------------------------------------------------------

  function ShowRun(run) {
    const line = document.getElementById('run');
    if (!run.outcome) {
      line.textContent = 'No run yet';
    } else if (run.active) {
      line.textContent = 'Run since ' + SinceText(run.startedAt) + ' \u00B7 ' +
          run.recordsPublished.toLocaleString('en') + ' records published';
    } else {
      line.textContent = 'Run ended: ' + run.outcome;
    }
  }

  function ShowBoxes(boxes) {
    const body = document.querySelector('#boxes tbody');
    body.replaceChildren();
    for (const box of boxes) {
      const row = body.insertRow();
      row.dataset.row = box.row;
      row.dataset.state = box.state;
      if (box.state === 'silent') row.className = 'silent';
      Cell(row, String(box.row + 1));
      Cell(row, box.address + ':' + box.port, 'address');
      const state = Cell(row, box.state, 'state');
      const lamp = document.createElement('span');
      lamp.className = 'lamp ' + box.state;
      state.prepend(lamp);
      Cell(row, SinceText(box.stateSince));
      Cell(row, box.recordsPerSecond.toFixed(1), 'number');
      Cell(row, box.newestRecordAgeMs === null ? '\u2014' : (box.newestRecordAgeMs / 1000).toFixed(1) + ' s ago');
      Cell(row, box.lastError, 'error');
      Cell(row, box.serialNumber);
      Cell(row, box.firmware);
    }
  }

  function ShowViewers(viewers) {
    const body = document.querySelector('#viewers tbody');
    body.replaceChildren();
    for (const viewer of viewers) {
      const row = body.insertRow();
      Cell(row, viewer.peerAddress + ':' + viewer.peerPort);
      Cell(row, SinceText(viewer.connectedSince));
      Cell(row, viewer.linesSent.toLocaleString('en'), 'number');
      Cell(row, viewer.bytesQueued.toLocaleString('en'), 'number');
      Cell(row, viewer.closedForFallingBehind ? 'closed: fell behind' : (viewer.connected ? 'connected' : 'gone'));
    }
  }

  function ShowFacts(sectionId, listId, facts) {
    const section = document.getElementById(sectionId);
    section.hidden = !facts;
    if (!facts) return;
    const list = document.getElementById(listId);
    list.replaceChildren();
    for (const [term, value] of facts) {
      const dt = document.createElement('dt');
      dt.textContent = term;
      const dd = document.createElement('dd');
      dd.textContent = value === null || value === undefined || value === '' ? '\u2014' : String(value);
      list.append(dt, dd);
    }
  }

  function ShowOutputs(health) {
    const recording = health.recording;
    ShowFacts('recording-section', 'recording', recording && [
      ['State', recording.state], ['File', recording.file], ['Records', recording.records],
      ['Size', (recording.size_bytes / 1048576).toFixed(1) + ' MiB'], ['Oldest', SinceText(recording.oldest)],
      ['Newest', SinceText(recording.newest)], ['Waiting', recording.waiting], ['Dropped', recording.dropped],
      ['Last error', recording.last_error]]);
    const uplink = health.uplink;
    ShowFacts('uplink-section', 'uplink', uplink && [
      ['State', uplink.state], ['Broker', uplink.broker], ['Backlog', uplink.backlog],
      ['In flight', uplink.in_flight], ['Sent', uplink.sent], ['Reconnections', uplink.reconnections],
      ['Last error', uplink.last_error]]);
  }

  function OnHealth(health) {
    page.boxes = health.boxes;
    ShowRun(health.run);
    ShowBoxes(health.boxes);
    ShowViewers(health.viewers);
    ShowOutputs(health);
    const names = health.channels.map((channel) => channel.name);
    for (const channel of health.channels) {
      page.units[channel.name] = channel.unit;
      page.owners[channel.name] = channel.box;
      if (!(channel.name in page.values)) page.values[channel.name] = channel.value;
    }
    if (names.join('\n') !== page.names.join('\n')) NewChannels(names);
    ShowChannels();
    if (health.recording && !page.filled) FillFromRecording();
  }

  // --- channels and the trend -------------------------------------------------------------------

  // A new channel list (a new run): the first channel of each box is ticked, as in the window.
  function NewChannels(names) {
    page.names = names;
    page.ticked.clear();
    const seen = new Set();
    for (const name of names) {
      const box = BoxOf(name);
      const key = box ? box.agent : name;
      if (!seen.has(key)) {
        seen.add(key);
        page.ticked.add(name);
      }
    }
    const body = document.querySelector('#channels tbody');
    body.replaceChildren();
    for (const name of names) {
      const row = body.insertRow();
      row.dataset.name = name;
      const tick = document.createElement('input');
      tick.type = 'checkbox';
      tick.checked = page.ticked.has(name);
      tick.setAttribute('aria-label', 'Show ' + name + ' in the trend');
      tick.addEventListener('change', () => {
        if (tick.checked) page.ticked.add(name); else page.ticked.delete(name);
        RebuildDatasets();
      });
      row.insertCell().append(tick);
      Cell(row, name);
      Cell(row, '');
      Cell(row, '');
      Cell(row, '', 'number');
    }
    RebuildDatasets();
  }

  function ShowChannels() {
    for (const row of document.querySelectorAll('#channels tbody tr')) {
      const name = row.dataset.name;
      const box = BoxOf(name);
      row.cells[2].textContent = box ? box.address : '';
      row.cells[3].textContent = page.units[name] || '';
      row.cells[4].textContent = ValueText(page.values[name]);
    }
  }

  function AddRecord(record) {
    const x = Date.parse(record.received_at);
    if (Number.isNaN(x)) return;
    page.newest = Math.max(page.newest, x);
    for (const [name, value] of Object.entries(record.values)) {
      if (!page.series.has(name)) page.series.set(name, []);
      page.series.get(name).push({ x: x, y: value });
      page.values[name] = value;
    }
  }

  function OnRecord(record) {
    AddRecord(record);
    ShowChannels();
    ChartDue();
  }

  function FillFromRecording() {
    page.filled = true;
    const from = new Date(Date.now() - kTrendSpanMs).toISOString();
    const headers = token ? { Authorization: 'Bearer ' + token } : {};
    fetch('/records?from=' + encodeURIComponent(from) + '&format=jsonl', { headers: headers })
      .then((response) => (response.ok ? response.text() : ''))
      .then((text) => {
        for (const line of text.split('\n')) {
          if (line.trim()) AddRecord(JSON.parse(line));
        }
        for (const points of page.series.values()) points.sort((a, b) => a.x - b.x);
        ChartDue();
      })
      .catch(() => {});  // no recording to read: the trend fills live
  }

  function RebuildDatasets() {
    if (!page.chart) return;
    let colour = 0;
    page.chart.data.datasets = page.names.filter((name) => page.ticked.has(name)).map((name) => {
      if (!page.series.has(name)) page.series.set(name, []);
      const unit = page.units[name] ? ' (' + page.units[name] + ')' : '';
      return {
        label: name + unit,
        data: page.series.get(name),
        borderColor: kColours[colour++ % kColours.length],
        backgroundColor: 'transparent',
        borderWidth: 2,
        pointRadius: 0,
        spanGaps: false,
      };
    });
    ChartDue();
  }

  function ChartDue() {
    if (page.chartDue || !page.chart) return;
    page.chartDue = true;
    window.setTimeout(RefreshChart, kChartRefreshMs);
  }

  function RefreshChart() {
    page.chartDue = false;
    const end = page.newest || Date.now();
    const start = end - kTrendSpanMs;
    let points = 0;
    for (const series of page.series.values()) {
      const old = series.findIndex((point) => point.x >= start);
      series.splice(0, old < 0 ? series.length : old);
    }
    for (const dataset of page.chart.data.datasets) points += dataset.data.length;
    page.chart.options.scales.x.min = start;
    page.chart.options.scales.x.max = end;
    page.chart.update('none');
    document.getElementById('trend').dataset.points = String(points);
  }

  function MakeChart() {
    if (typeof window.Chart !== 'function') return;
    page.chart = new window.Chart(document.getElementById('trend'), {
      type: 'line',
      data: { datasets: [] },
      options: {
        animation: false,
        parsing: false,
        normalized: true,
        responsive: true,
        maintainAspectRatio: false,
        interaction: { mode: 'nearest', axis: 'x', intersect: false },
        scales: {
          x: { type: 'linear', ticks: { maxTicksLimit: 6, callback: (value) => TimeText(value) } },
          y: { type: 'linear', grace: '5%' },
        },
        plugins: {
          legend: { position: 'bottom', labels: { boxWidth: 14 } },
          tooltip: { callbacks: { title: (items) => (items.length ? TimeText(items[0].parsed.x) : '') } },
        },
      },
    });
  }

  // --- the event stream -------------------------------------------------------------------------

  function SetLink(state, text) {
    const link = document.getElementById('link');
    link.dataset.state = state;
    link.textContent = text;
  }

  function Connect() {
    const events = new EventSource(WithToken('/events'));
    events.addEventListener('open', () => SetLink('live', 'Live'));
    events.addEventListener('health', (event) => OnHealth(JSON.parse(event.data)));
    events.addEventListener('record', (event) => OnRecord(JSON.parse(event.data)));
    events.addEventListener('error', () => {
      SetLink('connecting', 'Reconnecting\u2026');
      if (events.readyState === EventSource.CLOSED) window.setTimeout(Connect, kReopenMs);
    });
  }

  MakeChart();
  RebuildDatasets();
  Connect();
})();
