// What this browser keeps: the device's id and name, each pairing, and the PC last sent to.
import { DeviceNames } from './texts.js';

const Token = /^[0-9a-f]{64}$/;
const Keys = { device: 'belfry.device', pcs: 'belfry.pcs', target: 'belfry.target' };

// Private modes may refuse storage: then pairings last as long as the page.
const store = (() => {
  try {
    localStorage.setItem('belfry.probe', '1');
    localStorage.removeItem('belfry.probe');
    return localStorage;
  } catch (e) {
    return null;
  }
})();
const memory = new Map();

export const lasting = () => store !== null;
export const isToken = (text) => Token.test(text);

function load(key, fallback) {
  const text = store ? store.getItem(key) : memory.get(key);
  try {
    return text == null ? fallback : JSON.parse(text);
  } catch (e) {
    return fallback;
  }
}

function save(key, value) {
  const text = JSON.stringify(value);
  try {
    if (store) return store.setItem(key, text);
  } catch (e) { /* full: keep it for this visit */ }
  memory.set(key, text);
}

function guessName() {
  const ua = navigator.userAgent;
  if (/iPhone/.test(ua)) return DeviceNames.iPhone;
  if (/iPad/.test(ua)) return DeviceNames.iPad;
  if (/Android/.test(ua)) return DeviceNames.Android;
  return DeviceNames.other;
}

export function device() {
  let d = load(Keys.device, null);
  if (!d || typeof d.id !== 'string' || !/^web-[0-9a-f]{24}$/.test(d.id)) {
    const bytes = crypto.getRandomValues(new Uint8Array(12));
    d = { id: 'web-' + Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join(''), name: guessName() };
    save(Keys.device, d);
  }
  return d;
}

// An empty name falls back to the guess.
export function nameDevice(name) {
  const d = device();
  d.name = name.trim() || guessName();
  save(Keys.device, d);
  return d;
}

// Each pairing as kept here; a dropped one is a pairing that the PC or the
// service no longer honours, kept so that it can be paired again.
export function pcs() {
  const list = load(Keys.pcs, []);
  return Array.isArray(list) ? list.filter((p) => p && typeof p.pcid === 'string' && Token.test(p.token)) : [];
}

export const paired = () => pcs().filter((p) => !p.dropped);

// The newest pairing comes first and becomes the target; paired again, a PC
// keeps the name this phone gave it.
export function keepPairing(pcid, token) {
  const before = pcs().find((p) => p.pcid === pcid);
  const list = pcs().filter((p) => p.pcid !== pcid);
  list.unshift({ pcid, token, paired: Date.now(), name: before && before.name });
  save(Keys.pcs, list);
  save(Keys.target, pcid);
}

// A name for the PC that this phone alone knows (the service never sees it);
// empty takes it away.
export function namePc(pcid, name) {
  save(Keys.pcs, pcs().map((p) => (p.pcid === pcid ? { ...p, name: name || undefined } : p)));
}

export const forgetPairing = (pcid) => save(Keys.pcs, pcs().filter((p) => p.pcid !== pcid));

// False when it was not live: then there is nothing new to tell.
export function dropPairing(pcid) {
  if (!pcs().some((p) => p.pcid === pcid && !p.dropped)) return false;
  save(Keys.pcs, pcs().map((p) => (p.pcid === pcid ? { ...p, dropped: true } : p)));
  return true;
}

export const target = () => load(Keys.target, null);
export const chooseTarget = (pcid) => save(Keys.target, pcid);

export const credentials = (pc) => ({ pcid: pc.pcid, device_id: device().id, device_token: pc.token });
