// Reads QR codes away from the page's thread: a phone's photo can keep jsQR
// busy for a second or more, and the page must stay responsive meanwhile.
'use strict';
importScripts('vendor/jsQR.js');

// The picture in grey, one byte a pixel.
function greyOf(rgba, width, height) {
  const grey = new Uint8ClampedArray(width * height);
  for (let i = 0, p = 0; i < grey.length; i++, p += 4) {
    grey[i] = (77 * rgba[p] + 150 * rgba[p + 1] + 29 * rgba[p + 2]) >> 8;
  }
  return grey;
}

// A copy whose longest side is `longest`, each pixel the mean of the block
// of the picture it covers. A phone's sensor grain averages out here; a
// browser's own scaling differs by engine (WebKit's keeps much of the grain,
// and jsQR then searches ten times as long among its flecks).
function shrunk(grey, width, height, longest) {
  const f = Math.max(1, Math.max(width, height) / longest);
  const w = Math.max(1, Math.round(width / f)), h = Math.max(1, Math.round(height / f));
  const columns = new Uint32Array(w + 1);
  for (let x = 0; x <= w; x++) columns[x] = Math.min(width, Math.round(x * f));
  const sums = new Uint32Array(w);
  const out = new Uint8ClampedArray(w * h);
  for (let y = 0; y < h; y++) {
    const top = Math.round(y * f), bottom = Math.max(top + 1, Math.min(height, Math.round((y + 1) * f)));
    sums.fill(0);
    for (let row = top; row < bottom; row++) {
      const line = row * width;
      for (let x = 0; x < w; x++) {
        let s = 0;
        for (let i = line + columns[x], end = line + Math.max(columns[x] + 1, columns[x + 1]); i < end; i++) s += grey[i];
        sums[x] += s;
      }
    }
    for (let x = 0; x < w; x++) {
      out[y * w + x] = sums[x] / ((bottom - top) * Math.max(1, columns[x + 1] - columns[x]));
    }
  }
  return { grey: out, width: w, height: h };
}

// Averaged over each pixel's 3 × 3 neighbourhood: what grain is left after
// the shrinking still turns, in jsQR's local thresholds, into flecks that
// each look like a finder pattern.
function smoothed(grey, width, height) {
  const across = new Uint16Array(grey.length);
  for (let y = 0; y < height; y++) {
    const row = y * width;
    for (let x = 0; x < width; x++) {
      across[row + x] = grey[row + Math.max(0, x - 1)] + grey[row + x] + grey[row + Math.min(width - 1, x + 1)];
    }
  }
  const out = new Uint8ClampedArray(grey.length);
  for (let y = 0; y < height; y++) {
    const above = Math.max(0, y - 1) * width, row = y * width, below = Math.min(height - 1, y + 1) * width;
    for (let x = 0; x < width; x++) out[row + x] = (across[above + x] + across[row + x] + across[below + x]) / 9;
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

// One try: the text, or null.
function read(grey, width, height, binarise) {
  const level = binarise ? otsu(grey) : -1;
  const rgba = new Uint8ClampedArray(grey.length * 4);
  for (let i = 0, p = 0; i < grey.length; i++, p += 4) {
    rgba[p] = rgba[p + 1] = rgba[p + 2] = level < 0 ? grey[i] : grey[i] > level ? 255 : 0;
    rgba[p + 3] = 255;
  }
  try {
    // Codes on screens are dark on light; the last try also takes them inverted.
    const code = jsQR(rgba, width, height, { inversionAttempts: binarise ? 'attemptBoth' : 'dontInvert' });
    return code && code.data ? code.data : null;
  } catch (e) {
    return null;  // a picture jsQR cannot take is one without a code
  }
}

// Tries each size in turn, then (with `binarise`) the first size at one
// global level, and stops at the first hit. Each try's stages in
// milliseconds go back with the answer.
onmessage = (event) => {
  const { id, pixels, width, height, sizes, binarise } = event.data;
  let started = performance.now();
  const grey = greyOf(new Uint8ClampedArray(pixels), width, height);
  const tries = [{ grey: performance.now() - started }];
  const plan = sizes.map((longest) => [longest, false]).concat(binarise ? [[sizes[0], true]] : []);
  let text = null;
  for (const [longest, binarised] of plan) {
    started = performance.now();
    const copy = shrunk(grey, width, height, longest);
    const ready = smoothed(copy.grey, copy.width, copy.height);
    const shrunkAt = performance.now();
    text = read(ready, copy.width, copy.height, binarised);
    tries.push({ longest, binarise: binarised, shrink: shrunkAt - started, jsqr: performance.now() - shrunkAt,
                 found: !!text });
    if (text) break;
  }
  postMessage({ id, text, tries });
};
