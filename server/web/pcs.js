// The PCs this phone is paired with: their list, unpairing, and a pairing the PC or the service let go.
import { $, button, el, focusOn, say } from './dom.js';
import { credentials, dropPairing, forgetPairing, namePc, paired, pcs } from './keep.js';
import { call, codeOf, limits } from './net.js';
import { focusPairing } from './pairing.js';
import { Pcs, label, pcLabel, problem } from './texts.js';

const ui = { section: $('pcs'), title: $('pcs-title'), list: $('pc-list'), notice: $('notice') };
let hooks = null;

async function unpair(pc) {
  if (!window.confirm(Pcs.askUnpair(pc.pcid))) return;
  const r = await call('phone/v1/unpair', credentials(pc));
  // Denied: the PC or the service forgot this pairing already.
  if (r.status !== 200 && codeOf(r) !== 'denied') return say(ui.notice, problem(codeOf(r), limits()), 'error');
  forget(pc, Pcs.unpaired(pc.pcid));
}

// Someone with two PCs tells them apart by names of their own.
function rename(pc) {
  const given = window.prompt(Pcs.askName(pc.pcid), pc.name || '');
  if (given === null) return;
  namePc(pc.pcid, given.trim());
  renderPcs();
}

function forget(pc, words) {
  forgetPairing(pc.pcid);
  renderPcs();
  hooks.forgotten();
  say(ui.notice, words, 'done');
  if (pcs().length) focusOn(ui.title);
  else focusPairing();
}

// The PC's owner may have let this phone go on purpose: pairing again takes
// the code again, from the PC's screen, not the id this phone remembers.
function askAgain(pc) {
  say(ui.notice, Pcs.askCode(pc.pcid), 'warn');
  focusPairing();
}

export function drop(pc) {
  if (!dropPairing(pc.pcid)) return;
  hooks.dropped(pc.pcid);
  renderPcs();
  say(ui.notice, Pcs.dropped(pc.pcid), 'warn');
}

// A PC may have let this phone go while the page was closed.
export function checkPairings() {
  for (const pc of paired()) {
    call('phone/v1/sent', credentials(pc)).then((r) => codeOf(r) === 'denied' && drop(pc));
  }
}

function pcItem(pc) {
  const li = el('li');
  li.dataset.id = pc.pcid;
  li.dataset.state = pc.dropped ? 'dropped' : 'paired';
  const what = el('span', 'what');
  const name = el('span', 'name', pcLabel(pc));
  const when = Pcs.pairedOn(pc.paired);
  what.append(name, el('span', 'meta', pc.name ? label(pc.pcid) + ' · ' + when : when));
  const actions = el('span', 'item-actions');
  if (pc.dropped) {
    what.append(el('span', 'state dropped', Pcs.droppedState));
    actions.append(
      button(Pcs.repair, name, () => askAgain(pc)),
      button(Pcs.remove, name, () => forget(pc, Pcs.removed(pc.pcid))));
  } else {
    actions.append(button(Pcs.rename, name, () => rename(pc)), button(Pcs.unpair, name, () => unpair(pc)));
  }
  li.append(what, actions);
  return li;
}

// The rest of the page hears which pairings are live after each change.
export function renderPcs() {
  const all = pcs();
  ui.list.replaceChildren(...all.map(pcItem));
  ui.section.hidden = all.length === 0;
  hooks.changed(all.filter((p) => !p.dropped));
}

// `changed(live)` after each change, `forgotten()` once a pairing is gone,
// `dropped(pcid)` before the list shows a pairing let go.
export function startPcs(given) {
  hooks = given;
}
