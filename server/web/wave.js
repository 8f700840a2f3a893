// The tune's waveform and the ringtone's window on it, dragged by touch or mouse, moved with the arrow keys.
import { $ } from './dom.js';
import { Tune, Wave } from './texts.js';

const ui = { box: $('wave-box'), wave: $('wave'), canvas: $('wave-canvas'), quiet: $('wave-status') };
const Bins = 1200;  // peaks kept per tune; each bar drawn takes the loudest of its share
const SliceMs = 12;  // the page's thread is given back this often while peaks are read
const Keys = { ArrowRight: 1, ArrowUp: 1, ArrowLeft: -1, ArrowDown: -1, PageUp: 10, PageDown: -10 };

let view = null;  // { peaks, duration } of the tune shown
let place = { start: 0, length: 30, last: 0, fade: 0 };
let reading = 0;  // which tune is being read: a late answer for one let go is dropped
let moved = null;  // told the start the user chose here
let grab = null;  // seconds between the pointer and the window's start while dragging
let locked = false;  // while the tune goes up

const colour = (name) => getComputedStyle(document.documentElement).getPropertyValue(name).trim();
const yieldThread = () => new Promise((go) => setTimeout(go));

async function decode(file) {
  const Context = window.OfflineAudioContext || window.webkitOfflineAudioContext;
  const context = new Context(1, 1, 44100);
  const bytes = await file.arrayBuffer();
  return new Promise((ok, bad) => {
    const p = context.decodeAudioData(bytes, ok, bad);
    if (p && p.catch) p.catch(bad);
  });
}

// The loudest sample of each bin over all channels, read in slices.
async function peaksOf(audio, which) {
  const channels = Array.from({ length: audio.numberOfChannels }, (_, i) => audio.getChannelData(i));
  const peaks = new Float32Array(Bins);
  const per = audio.length / Bins;
  let since = performance.now();
  for (let b = 0; b < Bins; b++) {
    let top = 0;
    for (const data of channels) {
      for (let i = Math.floor(b * per), end = Math.floor((b + 1) * per); i < end; i++) {
        const v = Math.abs(data[i]);
        if (v > top) top = v;
      }
    }
    peaks[b] = top;
    if (performance.now() - since > SliceMs) {
      await yieldThread();
      if (which !== reading) return null;
      since = performance.now();
    }
  }
  return peaks;
}

// The box takes its place at once, empty while the tune is read: what lies
// below it (发送) does not jump away from a finger about to tap it.
export async function showWave(file) {
  const which = ++reading;
  view = null;
  ui.box.hidden = false;
  ui.quiet.textContent = '';
  fit(ui.canvas);
  ui.canvas.getContext('2d').clearRect(0, 0, ui.canvas.width, ui.canvas.height);
  try {
    const audio = await decode(file);
    const peaks = which === reading && await peaksOf(audio, which);
    if (!peaks) return;
    const loudest = peaks.reduce((a, b) => Math.max(a, b), 0) || 1;
    view = { peaks: peaks.map((p) => p / loudest), duration: audio.duration };
    draw();
  } catch {
    if (which !== reading) return;
    ui.box.hidden = true;
    ui.quiet.textContent = Wave.undecodable;
  }
}

export function hideWave() {
  reading++;
  view = null;
  ui.box.hidden = true;
  ui.quiet.textContent = '';
}

// The start from the seconds box or slider; `length`, `last` and `fade` (the
// fade-out where the service cuts a tune short) are the service's limits.
export function placeWave(start, length, last, fade) {
  place = { start, length, last, fade };
  ui.wave.setAttribute('aria-valuemax', String(last));
  ui.wave.setAttribute('aria-valuenow', String(start));
  ui.wave.setAttribute('aria-valuetext', Tune.second(start));
  draw();
}

function fit(canvas) {
  const ratio = window.devicePixelRatio || 1;
  const width = Math.round(canvas.clientWidth * ratio), height = Math.round(canvas.clientHeight * ratio);
  if (canvas.width !== width || canvas.height !== height) [canvas.width, canvas.height] = [width, height];
  return ratio;
}

// Bars two CSS pixels wide with a gap between, as tall as the loudest sample they cover.
function drawPeaks(g, w, h, x0, x1, ratio) {
  const mid = h / 2, bar = 2 * ratio, step = 3 * ratio;
  const [inside, outside] = [colour('--navy'), colour('--muted')];
  for (let x = 0; x < w; x += step) {
    const from = Math.floor((x / w) * Bins), to = Math.max(from + 1, Math.floor(((x + bar) / w) * Bins));
    let top = 0;
    for (let b = from; b < Math.min(to, Bins); b++) top = Math.max(top, view.peaks[b]);
    const half = Math.max(ratio / 2, top * (mid - 6 * ratio));
    g.fillStyle = x >= x0 && x < x1 ? inside : outside;
    g.fillRect(x, mid - half, bar, half * 2);
  }
}

// The window: its ground, its edges, and the ringtone's loudness over it (flat, then the fade where the tune is cut).
function drawWindow(g, w, h, x0, x1, ratio) {
  const cut = view.duration > place.start + place.length;
  g.strokeStyle = colour('--gold-dark');
  g.lineWidth = 2 * ratio;
  g.strokeRect(x0 + ratio, ratio, Math.max(0, x1 - x0 - 2 * ratio), h - 2 * ratio);
  const fadeX = cut ? x1 - (place.fade / view.duration) * w : x1;
  g.beginPath();
  g.moveTo(x0, 3 * ratio);
  g.lineTo(fadeX, 3 * ratio);
  g.lineTo(x1, cut ? h - 3 * ratio : 3 * ratio);
  g.lineTo(x1, h);
  g.lineTo(x0, h);
  g.closePath();
  g.globalAlpha = 0.3;
  g.fillStyle = colour('--gold');
  g.fill();
  g.globalAlpha = 1;
  return cut ? fadeX : null;
}

// The fade's slope, over the bars, so that it shows however loud the tune is there.
function drawFade(g, h, fadeX, x1, ratio) {
  g.beginPath();
  g.moveTo(fadeX, 3 * ratio);
  g.lineTo(x1 - ratio, h - 3 * ratio);
  g.strokeStyle = colour('--gold-dark');
  g.lineWidth = 2 * ratio;
  g.stroke();
}

function draw() {
  if (!view || ui.box.hidden) return;
  const ratio = fit(ui.canvas);
  const g = ui.canvas.getContext('2d');
  const { width: w, height: h } = ui.canvas;
  const x0 = (place.start / view.duration) * w;
  const x1 = (Math.min(view.duration, place.start + place.length) / view.duration) * w;
  g.clearRect(0, 0, w, h);
  const fadeX = drawWindow(g, w, h, x0, x1, ratio);
  drawPeaks(g, w, h, x0, x1, ratio);
  if (fadeX !== null) drawFade(g, h, fadeX, x1, ratio);
}

function choose(start) {
  if (locked) return;
  const s = Math.min(place.last, Math.max(0, Math.round(start)));
  if (s !== place.start) moved(s);
}

function secondsAt(event) {
  const box = ui.canvas.getBoundingClientRect();
  return ((event.clientX - box.left) / box.width) * view.duration;
}

function wirePointer() {
  ui.wave.addEventListener('pointerdown', (event) => {
    if (!view || event.button > 0) return;
    const at = secondsAt(event);
    const inside = at >= place.start && at <= place.start + place.length;
    grab = inside ? at - place.start : place.length / 2;  // a tap outside centres the window there
    ui.wave.setPointerCapture(event.pointerId);
    ui.wave.focus();
    choose(at - grab);
    event.preventDefault();
  });
  ui.wave.addEventListener('pointermove', (event) => {
    if (grab !== null && view) choose(secondsAt(event) - grab);
  });
  for (const end of ['pointerup', 'pointercancel']) ui.wave.addEventListener(end, () => { grab = null; });
}

function wireKeys() {
  ui.wave.addEventListener('keydown', (event) => {
    const to = event.key === 'Home' ? 0 : event.key === 'End' ? place.last
      : event.key in Keys ? place.start + Keys[event.key] : null;
    if (to === null) return;
    choose(to);
    event.preventDefault();
  });
}

export function lockWave(on) {
  locked = on;
  grab = null;
  if (on) ui.wave.setAttribute('aria-disabled', 'true');
  else ui.wave.removeAttribute('aria-disabled');
}

export function startWave(chosen) {
  moved = chosen;
  $('wave-label').textContent = Wave.label;
  wirePointer();
  wireKeys();
  window.addEventListener('resize', draw);
}
