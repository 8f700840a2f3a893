// The service's API as the page calls it: JSON calls, a refusal's code, the service's limits and the upload.

// A proxy in front of the service answers some refusals itself, without its JSON.
const ByStatus = { 0: 'offline', 413: 'too-large', 429: 'rate', 502: 'busy', 503: 'busy', 504: 'busy' };
export const codeOf = (r) => (typeof r.data.code === 'string' && r.data.code) || ByStatus[r.status] || 'internal';

export async function call(path, body) {
  try {
    const r = await fetch(path, body === undefined ? { cache: 'no-store' } : {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
      cache: 'no-store',
    });
    let data = null;
    try {
      data = await r.json();
    } catch (e) { /* an answer without JSON */ }
    return { status: r.status, data: data || {} };
  } catch (e) {
    return { status: 0, data: {} };
  }
}

// The service's own limits and the form of a client id. Until they are
// known, nothing is checked on the page and the service's refusal tells.
let known = null;
export const limits = () => known;

// True once they are known.
export async function loadLimits() {
  const r = await call('phone/v1/limits');
  if (r.status !== 200 || !Number.isFinite(r.data.tune_max_bytes)) return false;
  let pcid = null;
  try {
    pcid = new RegExp('^(?:' + r.data.pcid_pattern + ')$');
  } catch (e) { /* the service checks ids alone */ }
  known = { ...r.data, pcid };
  return true;
}

function answerOf(xhr) {
  let data = {};
  try {
    data = JSON.parse(xhr.responseText) || {};
  } catch (e) { /* no JSON */ }
  return { status: xhr.status, data };
}

// Through XMLHttpRequest, the one way to learn how much of a body went up.
// `on.done` gets the answer, or null when the upload was cancelled.
export function upload(pc, query, file, on) {
  const xhr = new XMLHttpRequest();
  xhr.open('POST', 'phone/v1/tune?' + new URLSearchParams(query).toString());
  xhr.setRequestHeader('Authorization', 'Bearer ' + pc.token);
  xhr.setRequestHeader('Content-Type', 'application/octet-stream');
  xhr.upload.addEventListener('progress', (e) => {
    if (e.lengthComputable) on.progress(Math.floor((e.loaded * 100) / e.total));
  });
  xhr.upload.addEventListener('load', on.uploaded);
  xhr.addEventListener('load', () => on.done(answerOf(xhr)));
  xhr.addEventListener('error', () => on.done({ status: 0, data: {} }));
  xhr.addEventListener('abort', () => on.done(null));
  xhr.send(file);
  return xhr;
}
