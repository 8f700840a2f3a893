// Sending the chosen tune to a paired PC: the target, the upload with its progress, and what the service said.
import { $, say } from './dom.js';
import { chooseTarget, device, paired, target } from './keep.js';
import { codeOf, limits, upload } from './net.js';
import { Send, pcLabel, problem } from './texts.js';
import { chosenTune, clearTune, focusTune, lockTune, nameRefused, readyTune, startTune } from './tune.js';

const ui = {
  section: $('send'), form: $('send-form'), target: $('target'), full: $('send-full'), button: $('send-button'),
  cancel: $('cancel-button'), progressBox: $('progress-box'), progress: $('progress'),
  progressLabel: $('progress-label'), status: $('send-status'),
};
const full = new Set();  // PCs whose last answer said they take no more
let going = null;  // the upload under way
let hooks = null;

export const current = () => paired().find((p) => p.pcid === ui.target.value) || null;
export const uploading = () => going !== null;

const mayNotSend = (pc) => !chosenTune() || !pc || full.has(pc.pcid) || going !== null;

// 发送 keeps its focus when it may not send, so that a screen reader still
// reaches it and hears why (aria-describedby: #send-full).
function updateSendButton() {
  const pc = current();
  const isFull = pc !== null && full.has(pc.pcid);
  if (isFull !== (ui.full.textContent !== '')) ui.full.textContent = isFull ? Send.full : '';
  if (mayNotSend(pc)) ui.button.setAttribute('aria-disabled', 'true');
  else ui.button.removeAttribute('aria-disabled');
}

export function markFull(pcid, isFull) {
  if (isFull) full.add(pcid);
  else full.delete(pcid);
  updateSendButton();
}

// The live pairings to choose from; the one chosen last stays chosen.
export function showTargets(live) {
  const chosen = target();
  ui.section.hidden = live.length === 0;
  ui.target.replaceChildren(...live.map((p) => new Option(pcLabel(p), p.pcid)));
  ui.target.value = live.some((p) => p.pcid === chosen) ? chosen : live.length ? live[0].pcid : '';
  updateSendButton();
}

function busy(on) {
  ui.target.disabled = on;
  lockTune(on);
  ui.cancel.hidden = !on;
  ui.progressBox.hidden = !on;
  updateSendButton();
}

function showProgress(percent) {
  ui.progressLabel.hidden = false;
  ui.progress.setAttribute('aria-labelledby', 'progress-label');
  ui.progress.value = percent;
  ui.progressLabel.textContent = Send.uploaded(percent);
}

function sendTune() {
  const pc = current();
  if (mayNotSend(pc)) return;
  const tune = readyTune();
  if (!tune) return;
  const query = { pcid: pc.pcid, device_id: device().id, name: tune.name, start: String(tune.start) };
  going = upload(pc, query, tune.file, {
    progress: showProgress,
    uploaded: () => {
      ui.progress.removeAttribute('value');
      ui.progressLabel.hidden = true;
      ui.progress.setAttribute('aria-labelledby', 'send-status');
      say(ui.status, Send.converting);
    },
    done: (answer) => finishUpload(pc, answer, tune.name),
  });
  busy(true);
  showProgress(0);
  say(ui.status, Send.sending(tune.name));
}

// `answer` is null when the user cancelled.
function finishUpload(pc, answer, name) {
  going = null;
  busy(false);
  if (answer === null) return say(ui.status, Send.cancelled);
  if (answer.status === 201 || answer.status === 200) {
    clearTune();
    say(ui.status, Send.sent(name), 'done');
    focusTune();
    return hooks.sent();
  }
  const code = codeOf(answer);
  if (code === 'name') {
    say(ui.status, '');
    return nameRefused(problem(code, limits()));
  }
  say(ui.status, problem(code, limits(), Send.refused), 'error');
  if (code === 'quota') markFull(pc.pcid, true);
  else if (code === 'denied') hooks.denied(pc);
}

// `sent()` once a tune went up, `denied(pc)` when the PC let the phone go,
// `retarget()` when another PC is chosen.
export function startSending(given) {
  hooks = given;
  startTune(updateSendButton);
  ui.target.addEventListener('change', () => {
    chooseTarget(ui.target.value);
    updateSendButton();
    hooks.retarget();
  });
  ui.form.addEventListener('submit', (e) => {
    e.preventDefault();
    sendTune();
  });
  ui.cancel.addEventListener('click', () => going && going.abort());
}
