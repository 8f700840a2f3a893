// Pairing with a PC by its client id: read from a photo of its QR code or the camera, or typed.
import { startScanning, stopCamera } from './camera.js';
import { $, focusOn, invalid, say } from './dom.js';
import { device, isToken, keepPairing, nameDevice } from './keep.js';
import { call, codeOf, limits } from './net.js';
import { readPhoto } from './qr.js';
import { Pairing, problem } from './texts.js';

const ui = {
  title: $('pair-title'), steps: $('steps'), qrLabel: $('qr-label'), qrFile: $('qr-file'), status: $('pair-status'),
  manual: $('manual'), form: $('pair-form'), pcid: $('pcid'), pcidStatus: $('pcid-status'),
  deviceName: $('device-name'), button: $('pair-button'), notice: $('notice'), next: $('send-title'),
};
let told = null;  // told of each new pairing

// People type ids with spaces and in any case; the service's form says
// which case counts, down to a single capital letter in it.
function normalise(text) {
  const form = limits() && limits().pcid;
  const typed = String(text).replace(/\s+/g, '');
  if (!form || form.test(typed)) return typed;
  const lower = typed.toLowerCase();
  if (form.test(lower)) return lower;
  for (let i = 0; i < lower.length; i++) {
    const guess = lower.slice(0, i) + lower[i].toUpperCase() + lower.slice(i + 1);
    if (form.test(guess)) return guess;
  }
  return typed;
}

const wellFormed = (pcid) => pcid !== '' && (!limits() || !limits().pcid || limits().pcid.test(pcid));

// A PC shows its code as soon as it starts, but the service knows it only
// from its first beat, up to ten seconds later. A code read off its screen
// is worth that wait; a typed one may hold a typo and is answered at once.
const FirstBeatMs = 15000;
const RetryMs = 3000;

async function askToPair(body, fromScreen, where) {
  const until = Date.now() + (fromScreen ? FirstBeatMs : 0);
  for (;;) {
    const r = await call('phone/v1/pair', body);
    if (r.status === 200 || codeOf(r) !== 'unknown-pc' || Date.now() + RetryMs > until) return r;
    say(where, Pairing.waiting);
    await new Promise((done) => setTimeout(done, RetryMs));
  }
}

// `where` says how it went: beside the typed id, the photo, or a dropped pairing.
export async function pair(text, where) {
  const pcid = normalise(text);
  const manual = where === ui.pcidStatus;
  for (const w of [ui.status, ui.pcidStatus]) say(w, '');
  invalid(ui.pcid, false);
  if (!wellFormed(pcid)) {
    say(where, Pairing.badId, 'error');
    invalid(ui.pcid, manual);
    return manual && ui.pcid.focus();
  }
  const d = nameDevice(ui.deviceName.value);
  ui.button.disabled = true;
  say(where, Pairing.pairing);
  const r = await askToPair({ pcid, device_id: d.id, device_name: d.name }, !manual, where);
  ui.button.disabled = false;
  if (r.status !== 200 || !isToken(r.data.device_token || '')) {
    const code = codeOf(r);
    say(where, problem(code, limits(), Pairing.refused), 'error');
    invalid(ui.pcid, manual && (code === 'unknown-pc' || code === 'bad-request'));
    return;
  }
  keepPairing(pcid, r.data.device_token);
  ui.pcid.value = '';
  ui.manual.open = false;
  say(where, '');
  told(pcid);
  say(ui.notice, Pairing.paired(pcid), 'done');
  focusOn(ui.next);
}

// The manual entry, just below the message, is the way on.
function photoFailed(why) {
  ui.manual.open = true;
  say(ui.status, Pairing.orType(why), 'error');
}

async function readQr() {
  const file = ui.qrFile.files[0];
  ui.qrFile.value = '';  // the same picture may be chosen again
  if (!file) return;
  stopCamera();
  say(ui.status, Pairing.reading);
  let text = null;
  try {
    text = await readPhoto(file);
  } catch (e) {
    return photoFailed(Pairing.unreadable);
  }
  if (text === null) return photoFailed(Pairing.noCode);
  const pcid = normalise(text);
  if (!wellFormed(pcid)) return photoFailed(Pairing.notOurs);
  await pair(pcid, ui.status);
}

// A code in the camera's frame: taken when it is a client id.
function scanned(text) {
  const pcid = normalise(text);
  if (!wellFormed(pcid)) return false;
  stopCamera();
  pair(pcid, ui.status);
  return true;
}

// Once paired, sending comes first and pairing another PC steps back.
export function showFirst(first) {
  ui.title.textContent = first ? Pairing.first : Pairing.another;
  ui.steps.hidden = !first;
  ui.qrLabel.classList.toggle('primary', first);
}

export const focusPairing = () => focusOn(ui.title);

// `paired(pcid)` hears of each new pairing before the page says it.
export function startPairing(paired) {
  told = paired;
  ui.deviceName.value = device().name;
  startScanning(scanned);
  ui.qrFile.addEventListener('change', readQr);
  ui.form.addEventListener('submit', (e) => {
    e.preventDefault();
    pair(ui.pcid.value, ui.pcidStatus);
  });
  // The id is on two lines to be read whole; Enter still pairs.
  ui.pcid.addEventListener('keydown', (e) => {
    if (e.key === 'Enter') {
      e.preventDefault();
      ui.form.requestSubmit();
    }
  });
}
