// Reading a QR code from a picture or a camera's frame: the browser's own reader, else jsQR in qr-worker.js.

// The longest side of each try. A phone's photo is read fastest, and about
// as surely, at 1000 px; larger copies help when the code fills little of
// the picture.
const Scales = [1000, 1700, 2600];
let reader = null;
let asked = 0;
const answers = new Map();

function worker() {
  if (!reader) {
    reader = new Worker('qr-worker.js');
    reader.onmessage = (e) => {
      const done = answers.get(e.data.id);
      answers.delete(e.data.id);
      if (done) done.resolve(e.data.text);
    };
    reader.onerror = () => {
      for (const done of answers.values()) done.reject(new Error('the QR reader failed'));
      answers.clear();
      reader = null;
    };
  }
  return reader;
}

// Started while a photo is still being decoded, it is ready when its pixels are.
export const warmUp = () => void worker();

function readPixels(pixels, binarise) {
  return new Promise((resolve, reject) => {
    const id = ++asked;
    answers.set(id, { resolve, reject });
    const { data, width, height } = pixels;
    worker().postMessage({ id, pixels: data.buffer, width, height, binarise }, [data.buffer]);
  });
}

let detector;  // the browser's own reader where it has one, else null

async function nativeReader() {
  if (detector === undefined) {
    detector = null;
    try {
      if ('BarcodeDetector' in window && (await BarcodeDetector.getSupportedFormats()).includes('qr_code')) {
        detector = new BarcodeDetector({ formats: ['qr_code'] });
      }
    } catch (e) { /* jsQR reads alone */ }
  }
  return detector;
}

function copyAt(source, width, height, longest, canvas) {
  const scale = longest / Math.max(width, height);
  canvas.width = Math.max(1, Math.round(width * scale));
  canvas.height = Math.max(1, Math.round(height * scale));
  const context = canvas.getContext('2d', { willReadFrequently: true });
  context.imageSmoothingQuality = 'high';
  context.drawImage(source, 0, 0, canvas.width, canvas.height);
  return context.getImageData(0, 0, canvas.width, canvas.height);
}

// The first hit wins. A camera's frame (`quick`) gets one try: the next
// frame comes soon.
export async function decodeQr(source, width, height, quick) {
  const native = await nativeReader();
  if (native) {
    try {
      const found = await native.detect(source);
      if (found.length) return found[0].rawValue;
    } catch (e) { /* jsQR tries */ }
    if (quick) return null;
  }
  const canvas = document.createElement('canvas');
  const sizes = [...new Set(Scales.map((s) => Math.min(s, Math.max(width, height))))];
  for (const longest of quick ? sizes.slice(0, 1) : sizes) {
    const text = await readPixels(copyAt(source, width, height, longest, canvas), false);
    if (text) return text;
  }
  return quick ? null : readPixels(copyAt(source, width, height, sizes[0], canvas), true);
}
