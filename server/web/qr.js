// Reading a QR code from a picture or a camera's frame: the browser's own reader, else jsQR in qr-worker.js.

// The longest side of the pixels the worker gets: an iPhone's 4032 × 3024
// photo at half, each pixel the mean of four by the canvas's own scaling.
// A quarter of the pixels to draw, read and hand over, and no try larger
// than this reads a noisy photo anyway (nor may a canvas on iOS exceed 16
// megapixels). Each try is averaged down from these in the worker.
const Largest = 2048;
// jsQR reads a module of this many pixels surely; the fewer pixels a try
// has, the faster it is read.
const ModulePixels = 5;
// A client id's code is 29 modules wide, and in a phone's photo of a PC's
// screen it spans at least this share of the picture's longest side.
const CodeModules = 29;
const CodeShare = 0.15;
// Each later try is this much larger, for a code smaller still. Larger
// copies keep more of the grain, in which jsQR searches for seconds: the
// tries stop at three.
const Larger = 1.7;
const Tries = 3;
// A camera's frame gets one try at this size: the next frame comes soon.
const FrameSize = 1000;

let reader = null;
let asked = 0;
const answers = new Map();

function worker() {
  if (!reader) {
    reader = new Worker('qr-worker.js');
    reader.onmessage = (e) => {
      const done = answers.get(e.data.id);
      answers.delete(e.data.id);
      if (done) done.resolve(e.data);
    };
    reader.onerror = () => {
      for (const done of answers.values()) done.reject(new Error('the QR reader failed'));
      answers.clear();
      reader = null;
    };
  }
  return reader;
}

// The sizes of the tries for a picture whose longest side is `longest`:
// the first one at which the smallest code we expect has modules of
// ModulePixels, then larger ones, the picture itself at most.
function sizesFor(longest) {
  const sizes = [];
  let size = Math.ceil((CodeModules * ModulePixels) / CodeShare);
  // A try hardly smaller than the picture is the picture.
  while (sizes.length < Tries - 1 && size * 1.2 < longest) {
    sizes.push(Math.round(size));
    size *= Larger;
  }
  return sizes.concat(Math.min(Math.round(size), longest));
}

// The picture's pixels, at most Largest on its longest side.
function pixelsOf(source, width, height) {
  const scale = Math.min(1, Largest / Math.max(width, height));
  const canvas = document.createElement('canvas');
  canvas.width = Math.max(1, Math.round(width * scale));
  canvas.height = Math.max(1, Math.round(height * scale));
  const context = canvas.getContext('2d', { willReadFrequently: true });
  context.drawImage(source, 0, 0, canvas.width, canvas.height);
  return context.getImageData(0, 0, canvas.width, canvas.height);
}

// Every try in the worker; `trace` (the bench's) gets each stage in milliseconds.
function readPixels(source, width, height, quick, trace) {
  const started = performance.now();
  const { data, width: w, height: h } = pixelsOf(source, width, height);
  const sent = performance.now();
  return new Promise((resolve, reject) => {
    const id = ++asked;
    answers.set(id, { resolve, reject });
    const sizes = quick ? [Math.min(FrameSize, Math.max(w, h))] : sizesFor(Math.max(w, h));
    worker().postMessage({ id, pixels: data.buffer, width: w, height: h, sizes, binarise: !quick }, [data.buffer]);
  }).then((answer) => {
    if (trace) trace.push({ pixels: sent - started, worker: performance.now() - sent, tries: answer.tries });
    return answer.text;
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

// The first hit wins. A camera's frame (`quick`) gets one try: the next
// frame comes soon.
export async function decodeQr(source, width, height, quick, trace) {
  const native = await nativeReader();
  if (native) {
    try {
      const found = await native.detect(source);
      if (found.length) return found[0].rawValue;
    } catch (e) { /* jsQR tries */ }
    if (quick) return null;
  }
  return readPixels(source, width, height, quick, trace);
}

// The picture in a file, decoded as an <img>: in WebKit that is about twice
// as fast as createImageBitmap, and no slower in Chromium.
function pictureOf(file) {
  const url = URL.createObjectURL(file);
  const picture = new Image();
  return new Promise((resolve, reject) => {
    picture.onload = () => resolve(picture);
    picture.onerror = () => reject(new Error('not a picture this browser reads'));
    picture.src = url;
  }).finally(() => URL.revokeObjectURL(url));
}

// A photo's file, decoded and read; null when it holds no code. Throws
// when the browser cannot decode the file.
export async function readPhoto(file, trace) {
  worker();  // started while the photo is decoded, it is ready when its pixels are
  const started = performance.now();
  const picture = await pictureOf(file);
  if (trace) trace.push({ decode: performance.now() - started });
  return decodeQr(picture, picture.naturalWidth, picture.naturalHeight, false, trace);
}
