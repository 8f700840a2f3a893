// What was sent to the chosen PC: the list, kept fresh, and taking a tune back before the PC fetches it.
import { $, button, el, focusOn, say } from './dom.js';
import { credentials } from './keep.js';
import { call, codeOf, limits } from './net.js';
import { current, markFull } from './send.js';
import { Sent, problem } from './texts.js';

const ui = {
  section: $('sent'), title: $('sent-title'), refresh: $('refresh'), empty: $('sent-empty'), list: $('sent-list'),
  status: $('sent-status'),
};
let denied = null;  // told when the service no longer honours the pairing

// Once the PC has a tune, what is left is done on the PC and the iPhone:
// one line, and the steps a tap away. They stay open while the list refreshes.
const opened = new Set();

function nextSteps(id) {
  const more = el('details', 'next');
  more.open = opened.has(id);
  more.addEventListener('toggle', () => (more.open ? opened.add(id) : opened.delete(id)));
  more.append(el('summary', null, Sent.next));
  const steps = el('ol', 'steps');
  steps.append(...Sent.nextSteps.map((step) => el('li', null, step)));
  more.append(steps);
  return more;
}

function sentItem(pc, t) {
  const li = el('li');
  li.dataset.id = String(t.id);
  li.dataset.state = t.state;
  const what = el('span', 'what');
  const waiting = t.state !== 'fetched';
  const name = el('span', 'name', t.name);
  what.append(
    name,
    el('span', 'meta', Sent.meta(t)),
    el('span', 'state ' + (waiting ? 'waiting' : 'fetched'), waiting ? Sent.waiting : Sent.fetched),
  );
  if (!waiting) what.append(nextSteps(t.id));
  li.append(what);
  if (waiting) li.append(button(Sent.withdraw, name, (e) => withdraw(pc, t, e.currentTarget)));
  return li;
}

// Quietly, as after each change, only the list speaks; asked for, it says how many.
export async function refreshSent(quiet) {
  const pc = current();
  if (!pc) return ui.list.replaceChildren();
  const r = await call('phone/v1/sent', credentials(pc));
  if (!current() || current().pcid !== pc.pcid) return;  // another PC was chosen meanwhile
  if (r.status !== 200 || !Array.isArray(r.data.ringtones)) {
    if (codeOf(r) === 'denied') return denied(pc);
    if (!quiet) say(ui.status, problem(codeOf(r), limits()), 'error');
    return;
  }
  markFull(pc.pcid, r.data.full === true);
  const list = r.data.ringtones.filter((t) => t && typeof t.name === 'string');
  ui.list.replaceChildren(...list.map((t) => sentItem(pc, t)));
  ui.empty.hidden = list.length > 0;
  if (!quiet) say(ui.status, Sent.refreshed(list.length));
}

async function withdraw(pc, t, control) {
  if (!window.confirm(Sent.askWithdraw(t.name))) return;
  control.disabled = true;
  const r = await call('phone/v1/withdraw', { ...credentials(pc), id: t.id });
  if (r.status === 200) say(ui.status, Sent.withdrawn(t.name), 'done');
  else say(ui.status, problem(codeOf(r), limits(), Sent.refused(t.name)), 'error');
  await refreshSent(true);
  focusOn(ui.title);
}

// The list of one PC is not shown under another.
export const clearSent = () => ui.list.replaceChildren();
export const showSent = (any) => { ui.section.hidden = !any; };

export function startSent(drop) {
  denied = drop;
  ui.refresh.addEventListener('click', () => refreshSent(false));
}
