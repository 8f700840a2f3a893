// Reads QR codes away from the page's thread: a phone's photo can keep jsQR
// busy for a second or more, and the page must stay responsive meanwhile.
'use strict';
importScripts('vendor/jsQR.js');

// Grey, averaged over each pixel's 3 × 3 neighbourhood. The canvas scales a
// photo down by sampling, so a phone's sensor grain survives it; in jsQR's
// local thresholds that grain becomes a field of specks, each a candidate
// finder pattern, and it then searches long and finds nothing.
function smoothed(rgba, width, height) {
  const grey = new Float32Array(width * height);
  for (let i = 0, p = 0; i < grey.length; i++, p += 4) {
    grey[i] = 0.299 * rgba[p] + 0.587 * rgba[p + 1] + 0.114 * rgba[p + 2];
  }
  const across = new Float32Array(grey.length);
  for (let y = 0; y < height; y++) {
    const row = y * width;
    for (let x = 0; x < width; x++) {
      across[row + x] = (grey[row + Math.max(0, x - 1)] + grey[row + x] + grey[row + Math.min(width - 1, x + 1)]) / 3;
    }
  }
  const out = new Uint8ClampedArray(grey.length);
  for (let y = 0; y < height; y++) {
    const above = Math.max(0, y - 1) * width, row = y * width, below = Math.min(height - 1, y + 1) * width;
    for (let x = 0; x < width; x++) out[row + x] = (across[above + x] + across[row + x] + across[below + x]) / 3;
  }
  return out;
}

// Otsu's level: the one that splits the picture into two groups of grey that
// lie furthest apart. Where light falls evenly on the code it beats jsQR's
// local levels, which a strong grain still fools at times.
function otsu(grey) {
  const histogram = new Float64Array(256);
  let total = 0;
  for (const v of grey) {
    histogram[v]++;
    total += v;
  }
  let below = 0, belowSum = 0, best = -1, level = 128;
  for (let v = 0; v < 255; v++) {
    below += histogram[v];
    belowSum += v * histogram[v];
    const above = grey.length - below;
    if (!below || !above) continue;
    const spread = below * above * (belowSum / below - (total - belowSum) / above) ** 2;
    if (spread > best) {
      best = spread;
      level = v;
    }
  }
  return level;
}

onmessage = (event) => {
  const { id, pixels, width, height, binarise } = event.data;
  const grey = smoothed(new Uint8ClampedArray(pixels), width, height);
  const level = binarise ? otsu(grey) : -1;
  const rgba = new Uint8ClampedArray(grey.length * 4);
  for (let i = 0, p = 0; i < grey.length; i++, p += 4) {
    rgba[p] = rgba[p + 1] = rgba[p + 2] = level < 0 ? grey[i] : grey[i] > level ? 255 : 0;
    rgba[p + 3] = 255;
  }
  let text = null;
  try {
    // Codes on screens are dark on light; the last try also takes them inverted.
    const code = jsQR(rgba, width, height, { inversionAttempts: binarise ? 'attemptBoth' : 'dontInvert' });
    if (code && code.data) text = code.data;
  } catch (e) { /* a picture jsQR cannot take is one without a code */ }
  postMessage({ id, text });
};
