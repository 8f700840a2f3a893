// Starts the page and wires its parts: who hears of a pairing made or let go, of a tune sent, and when lists refresh.
import { stopCamera } from './camera.js';
import { $ } from './dom.js';
import { lasting } from './keep.js';
import { limits, loadLimits } from './net.js';
import { showFirst, startPairing } from './pairing.js';
import { checkPairings, drop, renderPcs, startPcs } from './pcs.js';
import { markFull, showTargets, startSending, uploading } from './send.js';
import { clearSent, refreshSent, showSent, startSent } from './sent.js';
import { showLimits } from './tune.js';

const RefreshMs = 20000;

async function learnLimits() {
  if (await loadLimits()) showLimits();
}

function paired(pcid) {
  markFull(pcid, false);
  renderPcs();
  refreshSent(true);
}

function pairingsChanged(live) {
  showFirst(live.length === 0);
  showTargets(live);
  showSent(live.length > 0);
}

function wireParts() {
  startPairing(paired);
  startPcs({ changed: pairingsChanged, forgotten: () => refreshSent(true), dropped: (pcid) => markFull(pcid, false) });
  startSending({
    sent: () => refreshSent(true),
    denied: drop,
    retarget: () => {
      clearSent();
      refreshSent(true);
    },
  });
  startSent(drop);
}

function keepFresh() {
  setInterval(() => {
    if (document.visibilityState !== 'visible' || uploading()) return;
    if (!limits()) learnLimits();
    refreshSent(true);
  }, RefreshMs);
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'visible') refreshSent(true);
    else stopCamera();
  });
}

$('storage-warning').hidden = lasting();
wireParts();
keepFresh();
renderPcs();
learnLimits();
checkPairings();
refreshSent(true);
