// The admin page: asks for the admin token once (kept for this tab only),
// then charts the service's last hour from /admin/v1/history every 10 s.
// uPlot (vendor/) draws; nothing loads from elsewhere.
"use strict";

(() => {
  const KEY = "belfry-admin-token";
  const EVERY_MS = 10000;
  const COLOURS = ["#1f6feb", "#d9901a", "#1d7a46", "#b3261e", "#7a3fb0", "#0f8a8a", "#8a5a00", "#566079"];
  const HEIGHT = 160;
  const $ = (id) => document.getElementById(id);
  const charts = new Map();
  let timer = 0;

  // Per second between samples, from counters as they stood at each.
  const rate = (samples, value) =>
    samples.map((s, i) => {
      if (i === 0) return null;
      const seconds = s.t - samples[i - 1].t;
      return seconds > 0 ? Math.max(0, value(s) - value(samples[i - 1])) / seconds : null;
    });
  const level = (samples, value) => samples.map(value);
  const sum = (list) => list.reduce((a, b) => a + b, 0);

  // Each chart: its title, its unit and its lines as [label, values].
  const CHARTS = [
    ["beats", "Beats", "per second", (d) => [["beats", rate(d.samples, (s) => s.beats)]]],
    ["deliveries", "Deliveries, uploads", "per second", (d) => [
      ["confirmed", rate(d.samples, (s) => s.confirmations)],
      ["sent whole", rate(d.samples, (s) => s.deliveries)],
      ["uploads", rate(d.samples, (s) => s.uploads)],
    ]],
    ["refusals", "Refusals by code", "per second", refusalLines],
    ["conversion", "Conversion time", "s", (d) => [
      ["p50", level(d.samples, (s) => s.conversion_p50)],
      ["p99", level(d.samples, (s) => s.conversion_p99)],
    ]],
    ["queue", "Conversions running or waiting", "", (d) => [["queue", level(d.samples, (s) => s.queue)]]],
    ["memory", "Upload and file memory", "MiB", (d) => [
      ["uploads", level(d.samples, (s) => s.upload_bytes / 1048576)],
      ["files", level(d.samples, (s) => s.file_bytes / 1048576)],
    ]],
    ["connections", "Open connections", "", (d) => [["connections", level(d.samples, (s) => s.connections)]]],
    ["store", "Store latency, p99", "ms", (d) => [["p99", level(d.samples, (s) => s.store_p99 * 1000)]]],
  ];

  // One line per code that was refused within the hour; all of them as one
  // line while none was.
  function refusalLines(d) {
    const lines = d.codes
      .map((code, i) => [code, rate(d.samples, (s) => s.refusals[i])])
      .filter(([, values]) => values.some((v) => v > 0));
    return lines.length ? lines : [["all codes", rate(d.samples, (s) => sum(s.refusals))]];
  }

  function ask(message) {
    clearTimeout(timer);
    $("board").hidden = true;
    $("forget").hidden = true;
    $("login").hidden = false;
    $("login-error").textContent = message;
    $("login-error").hidden = !message;
    $("token").value = "";
    $("token").focus();
  }

  async function load() {
    clearTimeout(timer);
    const token = sessionStorage.getItem(KEY);
    if (!token) return ask("");
    let answer;
    try {
      answer = await fetch("admin/v1/history", {headers: {Authorization: "Bearer " + token}, cache: "no-store"});
    } catch (e) {
      return later("The service cannot be reached; trying again.");
    }
    if (answer.status === 401) {
      sessionStorage.removeItem(KEY);
      return ask("The service refused this token. Check the admin-token file of this service.");
    }
    if (!answer.ok) return later("The service answered " + answer.status + "; trying again.");
    show(await answer.json());
    later("Updated " + new Date().toLocaleTimeString() + ".");
  }

  function later(status) {
    $("status").textContent = status;
    timer = setTimeout(load, EVERY_MS);
  }

  function show(d) {
    // The service adds a sample of this moment to its ring: one just after
    // the ring's last makes rates of a second's noise.
    const n = d.samples.length;
    if (n > 2 && d.samples[n - 1].t - d.samples[n - 2].t < d.every / 2)
      d.samples.pop();
    $("login").hidden = true;
    $("board").hidden = false;
    $("forget").hidden = false;
    tiles(d);
    const times = d.samples.map((s) => s.t);
    for (const [id, title, unit, lines] of CHARTS)
      draw(id, title, unit, times, lines(d));
  }

  function tiles(d) {
    const last = (values) => values[values.length - 1];
    const beats = last(rate(d.samples, (s) => s.beats));
    const refused = last(rate(d.samples, (s) => sum(s.refusals)));
    const now = d.samples[d.samples.length - 1];
    $("now-beats").textContent = beats === null || beats === undefined ? "–" : beats.toFixed(1);
    $("now-refusals").textContent = refused === null || refused === undefined ? "–" : refused.toFixed(2);
    $("now-connections").textContent = now.connections;
    $("now-queue").textContent = now.queue;
    $("now-disk").textContent = now.disk_full ? "FULL" : "room";
    $("disk-tile").className = "tile " + (now.disk_full ? "full" : "ok");
  }

  // A chart is made anew when its lines change (a code refused for the first
  // time), otherwise given the new data.
  function draw(id, title, unit, times, lines) {
    const names = lines.map(([label]) => label).join("\n");
    const data = [times, ...lines.map(([, values]) => values)];
    const known = charts.get(id);
    if (known && known.names === names) return known.plot.setData(data);
    if (known) known.plot.destroy();
    let box = $("chart-" + id);
    if (!box) {
      box = document.createElement("figure");
      box.className = "chart";
      box.id = "chart-" + id;
      const heading = document.createElement("h2");
      heading.textContent = title + (unit ? " (" + unit + ")" : "");
      const plot = document.createElement("div");
      plot.className = "plot";
      box.append(heading, plot);
      $("charts").append(box);
    }
    const target = box.querySelector(".plot");
    const options = {
      width: Math.max(300, target.clientWidth),
      height: HEIGHT,
      scales: {x: {time: true}, y: {range: (u, min, max) => [0, max > 0 ? max * 1.1 : 1]}},
      axes: [{values: clock, space: 70}, {size: 56}],
      legend: {live: false},
      series: [{}, ...lines.map(([label], i) => ({label, stroke: COLOURS[i % COLOURS.length], width: 2,
        value: (u, v) => (v === null || v === undefined ? "–" : +v.toFixed(3))}))],
    };
    charts.set(id, {names, plot: new uPlot(options, data, target)});
  }

  function resize() {
    for (const {plot} of charts.values())
      plot.setSize({width: Math.max(300, plot.root.parentElement.clientWidth), height: HEIGHT});
  }

  // The time of day on the axis: with seconds while the hour is short.
  function clock(u, splits) {
    const span = u.scales.x.max - u.scales.x.min;
    const shown = {hour: "2-digit", minute: "2-digit", hour12: false};
    if (span < 600)
      shown.second = "2-digit";
    return splits.map((t) => new Date(t * 1000).toLocaleTimeString([], shown));
  }

  $("login").addEventListener("submit", (event) => {
    event.preventDefault();
    const token = $("token").value.trim();
    if (!token) return;
    sessionStorage.setItem(KEY, token);
    load();
  });
  $("forget").addEventListener("click", () => {
    sessionStorage.removeItem(KEY);
    ask("");
  });
  window.addEventListener("resize", resize);
  load();
})();
