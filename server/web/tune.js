// Choosing a tune: the file, its name on the PC, where the ringtone starts, and a preview of that part.
import { $, invalid, say } from './dom.js';
import { limits } from './net.js';
import { Tune, problem } from './texts.js';
import { hideWave, lockWave, placeWave, showWave, startWave } from './wave.js';

const ui = {
  file: $('tune-file'), limit: $('tune-limit'), lengthHint: $('length-hint'), info: $('tune-info'),
  details: $('tune-details'), name: $('tune-name'), nameStatus: $('name-status'), range: $('start-range'),
  seconds: $('start-seconds'), span: $('start-span'), preview: $('preview'), player: $('player'),
  status: $('send-status'), notice: $('notice'),
};
const utf8 = new TextEncoder();
let tune = null;  // { file, duration }
let previewEnd = 0;
let changed = null;  // told when a tune is chosen or let go

export const chosenTune = () => tune;

export function showLimits() {
  ui.limit.textContent = Tune.limit(limits());
  ui.lengthHint.textContent = Tune.lengthHint(limits());
  if (tune) tuneLoaded();
  showSpan();
}

function fitsName(name) {
  const known = limits();
  return !known || (Array.from(name).length <= known.name_max_chars
    && utf8.encode(name).length <= known.name_max_bytes);
}

// A suggestion from the file's name; what the PC can take is the service's to say.
function cleanName(fileName) {
  let name = Array.from(fileName.replace(/\.[A-Za-z0-9]{1,5}$/, '').replace(/\s+/g, ' ').trim());
  while (name.length && !fitsName(name.join(''))) name.pop();
  return name.join('').trim() || Tune.defaultName;
}

// Only the length is checked while typing: the rest needs the PC's rule.
function nameProblem(name) {
  if (!name) return Tune.noName;
  if (fitsName(name)) return '';
  return Array.from(name).length > limits().name_max_chars ? Tune.nameChars(limits().name_max_chars) : Tune.nameLong;
}

function checkName(typing) {
  const bad = nameProblem(ui.name.value.trim());
  const shown = typing && !ui.name.value.trim() ? '' : bad;
  say(ui.nameStatus, shown, shown ? 'error' : undefined);
  invalid(ui.name, Boolean(shown));
  return !bad;
}

// The service's refusal of a name, said beside it, where focus goes.
export function nameRefused(words) {
  say(ui.nameStatus, words, 'error');
  invalid(ui.name, true);
  ui.name.focus();
}

function startValue() {
  const s = Math.floor(Number(ui.seconds.value));
  return Number.isFinite(s) && s > 0 ? s : 0;
}

function setStart(seconds) {
  ui.seconds.value = ui.range.value = String(seconds);
  showSpan();
}

function startChosen(seconds) {
  setStart(seconds);
  ui.range.setAttribute('aria-valuetext', Tune.second(startValue()));
}

function showSpan() {
  const start = startValue();
  const known = limits();
  const longest = known ? known.tune_seconds : null;
  placeWave(start, longest || Infinity, ui.seconds.max ? Number(ui.seconds.max) : start, known ? known.fade_seconds : 0);
  invalid(ui.seconds, false);
  if (known && start > known.start_max_seconds) {
    invalid(ui.seconds, true);
    ui.span.textContent = Tune.startMax(known.start_max_seconds);
  } else if (!tune || !Number.isFinite(tune.duration)) {
    ui.span.textContent = Tune.startAt(start, longest);
  } else if (start >= tune.duration) {
    invalid(ui.seconds, true);
    ui.span.textContent = Tune.startPast(tune.duration);
  } else {
    const end = Math.min(tune.duration, start + (longest || Infinity));
    ui.span.textContent = Tune.part(start, end);
  }
}

function chooseTune() {
  stopPreview();
  const file = ui.file.files[0];
  if (!file) return;
  if (file.size === 0 || (limits() && file.size > limits().tune_max_bytes)) {
    clearTune();
    return say(ui.status, file.size ? problem('too-large', limits()) : Tune.empty, 'error');
  }
  tune = { file, duration: NaN };
  ui.info.textContent = Tune.file(file);
  ui.info.hidden = ui.details.hidden = false;
  ui.name.value = cleanName(file.name);
  checkName(true);
  ui.range.max = '0';
  ui.range.disabled = true;
  ui.preview.disabled = false;
  ui.seconds.removeAttribute('max');
  setStart(0);
  if (ui.player.src) URL.revokeObjectURL(ui.player.src);
  ui.player.src = URL.createObjectURL(file);
  showWave(file);
  say(ui.status, '');
  say(ui.notice, '');
  changed();
}

function tuneLoaded() {
  if (!tune || !Number.isFinite(ui.player.duration)) return;
  tune.duration = ui.player.duration;
  let last = Math.max(0, Math.ceil(tune.duration) - 1);
  if (limits()) last = Math.min(last, limits().start_max_seconds);
  ui.range.max = ui.seconds.max = String(last);
  ui.range.disabled = false;
  ui.range.setAttribute('aria-valuetext', Tune.second(startValue()));
  ui.info.textContent = Tune.fileLasting(tune.file, tune.duration);
  showSpan();
}

// Browsers play fewer formats than the service takes: the start can still
// be typed, and the service judges the file.
function tuneUnreadable() {
  if (!tune) return;
  ui.range.disabled = ui.preview.disabled = true;
  ui.span.textContent = Tune.noDuration;
}

export function clearTune() {
  stopPreview();
  tune = null;
  hideWave();
  ui.file.value = '';
  ui.info.hidden = ui.details.hidden = true;
  if (ui.player.src) URL.revokeObjectURL(ui.player.src);
  ui.player.removeAttribute('src');
  changed();
}

// What goes up: null, with the field at fault in focus, while the name or the start is wrong.
export function readyTune() {
  const name = ui.name.value.trim();
  if (!checkName(false)) return void ui.name.focus();
  const start = startValue();
  if (ui.seconds.getAttribute('aria-invalid')) {
    say(ui.status, ui.span.textContent, 'error');
    return void ui.seconds.focus();
  }
  stopPreview();
  return { file: tune.file, name, start };
}

function stopPreview() {
  ui.player.pause();
  ui.preview.textContent = Tune.preview;
  ui.preview.setAttribute('aria-pressed', 'false');
}

function togglePreview() {
  if (!ui.player.paused) return stopPreview();
  ui.player.currentTime = startValue();
  previewEnd = startValue() + (limits() ? limits().tune_seconds : Infinity);
  ui.player.play().then(() => {
    ui.preview.textContent = Tune.stopPreview;
    ui.preview.setAttribute('aria-pressed', 'true');
  }, () => say(ui.status, Tune.noPreview));
}

// Nothing of the tune changes while it goes up.
export function lockTune(on) {
  for (const c of [ui.file, ui.name, ui.range, ui.seconds, ui.preview]) c.disabled = on;
  lockWave(on);
  if (on || !tune) return;
  // What the browser cannot play stays off: no slider, no preview.
  if (!Number.isFinite(tune.duration)) ui.range.disabled = true;
  if (ui.player.error) ui.preview.disabled = true;
}

export const focusTune = () => ui.file.focus();

function wirePlayer() {
  ui.player.addEventListener('loadedmetadata', tuneLoaded);
  ui.player.addEventListener('error', tuneUnreadable);
  ui.player.addEventListener('timeupdate', () => {
    if (ui.player.currentTime >= previewEnd) stopPreview();
  });
  ui.player.addEventListener('ended', stopPreview);
  ui.preview.addEventListener('click', togglePreview);
}

export function startTune(choice) {
  changed = choice;
  ui.file.addEventListener('change', chooseTune);
  ui.name.addEventListener('input', () => checkName(true));
  ui.range.addEventListener('input', () => startChosen(Number(ui.range.value)));
  startWave(startChosen);
  ui.seconds.addEventListener('input', () => {
    ui.range.value = String(startValue());
    showSpan();
  });
  wirePlayer();
  // Safari's engine gives a reloaded page back the file chosen before, out of
  // sight (the input is hidden), and choosing it again is then no change.
  if (ui.file.files.length) chooseTune();
}
