// Scanning with the camera: the back camera's frames go to the QR reader until one holds a code that is taken.
import { $, say } from './dom.js';
import { decodeQr } from './qr.js';
import { Camera } from './texts.js';

const ui = {
  button: $('camera-button'), box: $('camera'), view: $('camera-view'), stop: $('camera-stop'),
  status: $('pair-status'),
};
let stream = null;
let take = null;  // given a code's text: true once it is taken

// Browsers lend the camera to secure pages only; over plain HTTP the photo
// picker, which needs no permission, is the way.
const canScan = () => Boolean(window.isSecureContext && navigator.mediaDevices
  && typeof navigator.mediaDevices.getUserMedia === 'function');

async function startCamera() {
  say(ui.status, '');
  try {
    stream = await navigator.mediaDevices.getUserMedia({ video: { facingMode: 'environment' }, audio: false });
  } catch (e) {
    return say(ui.status, e && e.name === 'NotAllowedError' ? Camera.notAllowed : Camera.failed, 'error');
  }
  ui.view.srcObject = stream;
  ui.box.hidden = false;
  ui.button.hidden = true;
  ui.stop.focus();
  ui.view.play().catch(() => { /* frames are read all the same */ });
  scanFrame(stream);
}

async function scanFrame(from) {
  const video = ui.view;
  if (stream !== from) return;
  if (video.readyState >= 2 && video.videoWidth) {
    let text = null;
    try {
      text = await decodeQr(video, video.videoWidth, video.videoHeight, true);
    } catch (e) { /* the next frame */ }
    if (stream !== from) return;
    if (text && take(text)) return;
    if (text) say(ui.status, Camera.notOurs);
  }
  setTimeout(() => scanFrame(from), 150);
}

export function stopCamera() {
  if (!stream) return;
  for (const track of stream.getTracks()) track.stop();
  stream = null;
  ui.view.srcObject = null;
  ui.box.hidden = true;
  ui.button.hidden = false;
}

export function startScanning(taken) {
  take = taken;
  ui.button.hidden = !canScan();
  ui.button.addEventListener('click', startCamera);
  ui.stop.addEventListener('click', () => {
    stopCamera();
    ui.button.focus();
  });
}
