'use strict';
// The phone's page: pairs with PCs through their QR code, sends tunes to them
// and lists what was sent. The device id and the pairings stay in this
// browser's storage; the service does the rest.
(() => {
  const Token = /^[0-9a-f]{64}$/;
  const RefreshMs = 20000;
  const Keys = { device: 'belfry.device', pcs: 'belfry.pcs', target: 'belfry.target' };

  const $ = (id) => document.getElementById(id);
  const ui = {
    storageWarning: $('storage-warning'), notice: $('notice'),
    pairTitle: $('pair-title'), steps: $('steps'), qrLabel: $('qr-label'), manual: $('manual'), qrFile: $('qr-file'),
    cameraButton: $('camera-button'), camera: $('camera'), cameraView: $('camera-view'), cameraStop: $('camera-stop'),
    pairForm: $('pair-form'), pcid: $('pcid'), pcidStatus: $('pcid-status'), deviceName: $('device-name'),
    pairButton: $('pair-button'), pairStatus: $('pair-status'),
    pcs: $('pcs'), pcsTitle: $('pcs-title'), pcList: $('pc-list'),
    send: $('send'), sendTitle: $('send-title'), sendForm: $('send-form'), target: $('target'), tuneFile: $('tune-file'),
    tuneLimit: $('tune-limit'), sendFull: $('send-full'), lengthHint: $('length-hint'),
    tuneInfo: $('tune-info'), details: $('tune-details'), tuneName: $('tune-name'), nameStatus: $('name-status'),
    range: $('start-range'), seconds: $('start-seconds'), span: $('start-span'), preview: $('preview'),
    sendButton: $('send-button'), cancelButton: $('cancel-button'),
    progressBox: $('progress-box'), progress: $('progress'), progressLabel: $('progress-label'),
    sendStatus: $('send-status'), player: $('player'),
    sent: $('sent'), sentTitle: $('sent-title'), refresh: $('refresh'), sentEmpty: $('sent-empty'),
    sentList: $('sent-list'), sentStatus: $('sent-status'),
  };

  // ---- What this browser keeps ----------------------------------------

  // Private modes may refuse storage: then pairings last as long as the page.
  const store = (() => {
    try {
      localStorage.setItem('belfry.probe', '1');
      localStorage.removeItem('belfry.probe');
      return localStorage;
    } catch (e) {
      return null;
    }
  })();
  const memory = new Map();

  function load(key, fallback) {
    const text = store ? store.getItem(key) : memory.get(key);
    try {
      return text == null ? fallback : JSON.parse(text);
    } catch (e) {
      return fallback;
    }
  }

  function save(key, value) {
    const text = JSON.stringify(value);
    try {
      if (store) return store.setItem(key, text);
    } catch (e) { /* full: keep it for this visit */ }
    memory.set(key, text);
  }

  function guessName() {
    const ua = navigator.userAgent;
    if (/iPhone/.test(ua)) return 'iPhone';
    if (/iPad/.test(ua)) return 'iPad';
    if (/Android/.test(ua)) return 'Android 手机';
    return '我的手机';
  }

  function device() {
    let d = load(Keys.device, null);
    if (!d || typeof d.id !== 'string' || !/^web-[0-9a-f]{24}$/.test(d.id)) {
      const bytes = crypto.getRandomValues(new Uint8Array(12));
      d = { id: 'web-' + Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join(''), name: guessName() };
      save(Keys.device, d);
    }
    return d;
  }

  // Each pairing as kept here; a dropped one is a pairing that the PC or the
  // service no longer honours, kept so that it can be paired again.
  function pcs() {
    const list = load(Keys.pcs, []);
    return Array.isArray(list) ? list.filter((p) => p && typeof p.pcid === 'string' && Token.test(p.token)) : [];
  }

  const paired = () => pcs().filter((p) => !p.dropped);
  const label = (pcid) => '电脑 ' + pcid.slice(0, 8);
  const current = () => paired().find((p) => p.pcid === ui.target.value) || null;
  const full = new Set();  // PCs whose last answer said they take no more

  // ---- Talking to the service -----------------------------------------

  // The service's own limits and the form of a client id. Until they are
  // known, nothing is checked here and the service's refusal tells.
  let limits = null;

  async function loadLimits() {
    const r = await call('phone/v1/limits');
    if (r.status !== 200 || !Number.isFinite(r.data.tune_max_bytes)) return;
    let pcid = null;
    try {
      pcid = new RegExp('^(?:' + r.data.pcid_pattern + ')$');
    } catch (e) { /* the service checks ids alone */ }
    limits = { ...r.data, pcid };
    showLimits();
  }

  const Words = {
    offline: '无法连接服务器，请检查网络后再试。',
    denied: '这部手机与这台电脑的配对已失效，请重新配对。',
    'not-found': '没有找到，可能已被电脑接收或已过期。',
    'unknown-pc': '没有找到这台电脑：还没有电脑用这个编号联网过。请核对编号，或重新拍摄电脑上的二维码。',
    'too-large': () => (limits
      ? `文件太大了，请选择不超过 ${megabytes(limits.tune_max_bytes)} MB 的文件。`
      : '文件太大了，请选择小一些的文件。'),
    quota: '这台电脑还有太多铃声没有接收，请等它接收一些之后再发送。',
    'disk-full': '服务器的存储空间满了，暂时不能接收新的铃声，请稍后再试。',
    rate: '操作太频繁了，请稍等一会儿再试。',
    busy: '服务器正忙，请稍后再试。',
    name: '电脑上不能用这个名称作文件名，请换一个名称，例如去掉其中的符号。',
    'not-audio': '无法把这个文件做成铃声：它不是可用的音乐。请换一首 MP3、M4A、AAC、OGG、WAV 或 FLAC 格式的音乐。',
    internal: '服务器出了点问题，请稍后再试。',
  };

  // A proxy in front of the service answers some refusals itself, without its JSON.
  const ByStatus = { 0: 'offline', 413: 'too-large', 429: 'rate', 502: 'busy', 503: 'busy', 504: 'busy' };
  const codeOf = (r) => (typeof r.data.code === 'string' && r.data.code) || ByStatus[r.status] || 'internal';

  function problem(code, own) {
    const words = (own && own[code]) || Words[code] || Words.internal;
    return typeof words === 'function' ? words() : words;
  }

  async function call(path, body) {
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

  const credentials = (pc) => ({ pcid: pc.pcid, device_id: device().id, device_token: pc.token });

  // ---- Small helpers for the page -------------------------------------

  function el(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text != null) e.textContent = text;
    return e;
  }

  function button(text, name, click) {
    const b = el('button', 'button quiet small-button', text);
    b.type = 'button';
    b.setAttribute('aria-label', name);
    b.addEventListener('click', click);
    return b;
  }

  // Errors interrupt a screen reader; everything else waits its turn.
  function say(where, text, kind) {
    where.setAttribute('role', kind === 'error' ? 'alert' : 'status');
    where.textContent = text || '';
    for (const k of ['error', 'done', 'warn']) where.classList.toggle(k, kind === k);
  }

  function invalid(field, bad) {
    if (bad) field.setAttribute('aria-invalid', 'true');
    else field.removeAttribute('aria-invalid');
  }

  // Where focus goes when the control that had it disappears.
  function focusOn(heading) {
    heading.tabIndex = -1;
    heading.focus();
  }

  const megabytes = (bytes) => String(Math.round(bytes / 104857.6) / 10);

  function size(bytes) {
    return bytes >= 1024 * 1024 ? (bytes / 1024 / 1024).toFixed(1) + ' MB' : Math.max(1, Math.round(bytes / 1024)) + ' KB';
  }

  const timeFormat = new Intl.DateTimeFormat('zh-CN', { month: 'long', day: 'numeric', hour: '2-digit', minute: '2-digit' });
  const when = (ms) => timeFormat.format(new Date(ms));
  const clock = (s) => Math.floor(s / 60) + ':' + String(Math.floor(s % 60)).padStart(2, '0');

  // ---- Pairing -------------------------------------------------------

  // People type ids with spaces and in any case; the service's form says
  // which case counts, down to a single capital letter in it.
  function normalise(text) {
    const typed = String(text).replace(/\s+/g, '');
    if (!limits || !limits.pcid || limits.pcid.test(typed)) return typed;
    const lower = typed.toLowerCase();
    if (limits.pcid.test(lower)) return lower;
    for (let i = 0; i < lower.length; i++) {
      const guess = lower.slice(0, i) + lower[i].toUpperCase() + lower.slice(i + 1);
      if (limits.pcid.test(guess)) return guess;
    }
    return typed;
  }

  const wellFormed = (pcid) => pcid !== '' && (!limits || !limits.pcid || limits.pcid.test(pcid));

  // A PC shows its code as soon as it starts, but the service knows it only
  // from its first beat, up to ten seconds later. A code read off its screen
  // is worth that wait; a typed one may hold a typo and is answered at once.
  const FirstBeatMs = 15000;
  const RetryMs = 3000;

  async function askToPair(body, fromScreen, where) {
    const until = Date.now() + (fromScreen ? FirstBeatMs : 0);
    for (;;) {
      const r = await call('phone/v1/pair', body);
      if (r.status === 200 || codeOf(r) !== 'unknown-pc' || Date.now() + RetryMs > until) return r;
      say(where, '正在等这台电脑联网…');
      await new Promise((done) => setTimeout(done, RetryMs));
    }
  }

  async function pair(text, where) {
    const pcid = normalise(text);
    const manual = where === ui.pcidStatus;
    for (const w of [ui.pairStatus, ui.pcidStatus]) say(w, '');
    invalid(ui.pcid, false);
    if (!wellFormed(pcid)) {
      say(where, '电脑编号不正确，请对照电脑上的编号检查。', 'error');
      invalid(ui.pcid, manual);
      return manual && ui.pcid.focus();
    }
    const d = device();
    d.name = ui.deviceName.value.trim() || guessName();
    save(Keys.device, d);
    ui.pairButton.disabled = true;
    say(where, '正在配对…');
    const r = await askToPair({ pcid, device_id: d.id, device_name: d.name }, !manual, where);
    ui.pairButton.disabled = false;
    if (r.status !== 200 || !Token.test(r.data.device_token || '')) {
      const code = codeOf(r);
      say(where, problem(code, { 'bad-request': '电脑编号或手机名称不正确，请检查后再试。' }), 'error');
      invalid(ui.pcid, manual && (code === 'unknown-pc' || code === 'bad-request'));
      return;
    }
    const list = pcs().filter((p) => p.pcid !== pcid);
    list.unshift({ pcid, token: r.data.device_token, paired: Date.now() });
    save(Keys.pcs, list);
    save(Keys.target, pcid);
    full.delete(pcid);
    ui.pcid.value = '';
    ui.manual.open = false;
    say(where, '');
    renderPcs();
    refreshSent(true);
    say(ui.notice, `已与${label(pcid)}配对，现在可以发送铃声了。`, 'done');
    focusOn(ui.sendTitle);
  }

  // ---- Reading QR codes ----------------------------------------------

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
  async function decodeQr(source, width, height, quick) {
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

  // The manual entry, just below the message, is the way on.
  function photoFailed(why) {
    ui.manual.open = true;
    say(ui.pairStatus, why + '，或在下面输入电脑编号。', 'error');
  }

  async function readQr() {
    const file = ui.qrFile.files[0];
    ui.qrFile.value = '';  // the same picture may be chosen again
    if (!file) return;
    stopCamera();
    say(ui.pairStatus, '正在识别二维码…');
    worker();  // starts while the photo is decoded
    let text = null;
    try {
      const image = await createImageBitmap(file);
      try {
        text = await decodeQr(image, image.width, image.height, false);
      } finally {
        image.close();
      }
    } catch (e) {
      return photoFailed('无法读取这张照片，请重拍');
    }
    if (text === null) return photoFailed('照片里没有找到二维码。请对准二维码、靠近一些再拍');
    const pcid = normalise(text);
    if (!wellFormed(pcid)) return photoFailed('这不是 Carillo 的配对二维码。请拍摄电脑上的二维码');
    await pair(pcid, ui.pairStatus);
  }

  // ---- Scanning with the camera --------------------------------------

  // Browsers lend the camera to secure pages only; over plain HTTP the photo
  // picker, which needs no permission, is the way.
  const canScan = () => Boolean(window.isSecureContext && navigator.mediaDevices
    && typeof navigator.mediaDevices.getUserMedia === 'function');
  let stream = null;

  async function startCamera() {
    say(ui.pairStatus, '');
    try {
      stream = await navigator.mediaDevices.getUserMedia({ video: { facingMode: 'environment' }, audio: false });
    } catch (e) {
      return say(ui.pairStatus, e && e.name === 'NotAllowedError'
        ? '没有得到使用摄像头的许可。可以改为拍摄二维码的照片。'
        : '无法打开摄像头，请改为拍摄二维码的照片。', 'error');
    }
    ui.cameraView.srcObject = stream;
    ui.camera.hidden = false;
    ui.cameraButton.hidden = true;
    ui.cameraStop.focus();
    ui.cameraView.play().catch(() => { /* frames are read all the same */ });
    scanFrame(stream);
  }

  async function scanFrame(from) {
    const video = ui.cameraView;
    if (stream !== from) return;
    if (video.readyState >= 2 && video.videoWidth) {
      let text = null;
      try {
        text = await decodeQr(video, video.videoWidth, video.videoHeight, true);
      } catch (e) { /* the next frame */ }
      if (stream !== from) return;
      const pcid = text && normalise(text);
      if (pcid && wellFormed(pcid)) {
        stopCamera();
        return pair(pcid, ui.pairStatus);
      }
      if (text) say(ui.pairStatus, '这不是 Carillo 的配对二维码。请对准电脑上的二维码。');
    }
    setTimeout(() => scanFrame(from), 150);
  }

  function stopCamera() {
    if (!stream) return;
    for (const track of stream.getTracks()) track.stop();
    stream = null;
    ui.cameraView.srcObject = null;
    ui.camera.hidden = true;
    ui.cameraButton.hidden = false;
  }

  // ---- Pairings ------------------------------------------------------

  async function unpair(pc) {
    if (!window.confirm(`取消与${label(pc.pcid)}的配对？之后要重新拍摄它的二维码才能再发送铃声。`)) return;
    const r = await call('phone/v1/unpair', credentials(pc));
    // Denied: the PC or the service forgot this pairing already.
    if (r.status !== 200 && codeOf(r) !== 'denied') return say(ui.notice, problem(codeOf(r)), 'error');
    forget(pc, `已取消与${label(pc.pcid)}的配对。`);
  }

  function forget(pc, words) {
    save(Keys.pcs, pcs().filter((p) => p.pcid !== pc.pcid));
    renderPcs();
    refreshSent(true);
    say(ui.notice, words, 'done');
    focusOn(pcs().length ? ui.pcsTitle : ui.pairTitle);
  }

  function drop(pc) {
    if (!pcs().some((p) => p.pcid === pc.pcid && !p.dropped)) return;
    save(Keys.pcs, pcs().map((p) => (p.pcid === pc.pcid ? { ...p, dropped: true } : p)));
    full.delete(pc.pcid);
    renderPcs();
    say(ui.notice, `与${label(pc.pcid)}的配对已失效，可以在“已配对的电脑”里重新配对。`, 'warn');
  }

  // A PC may have let this phone go while the page was closed.
  function checkPairings() {
    for (const pc of paired()) {
      call('phone/v1/sent', credentials(pc)).then((r) => codeOf(r) === 'denied' && drop(pc));
    }
  }

  function pcItem(pc) {
    const li = el('li');
    li.dataset.id = pc.pcid;
    li.dataset.state = pc.dropped ? 'dropped' : 'paired';
    const what = el('span', 'what');
    what.append(el('span', 'name', label(pc.pcid)), el('span', 'meta', '配对于 ' + when(pc.paired)));
    const actions = el('span', 'item-actions');
    if (pc.dropped) {
      what.append(el('span', 'state dropped', '配对已失效'));
      actions.append(
        button('重新配对', `重新与${label(pc.pcid)}配对`, () => pair(pc.pcid, ui.notice)),
        button('移除', `移除${label(pc.pcid)}`, () => forget(pc, `已移除${label(pc.pcid)}。`)));
    } else {
      actions.append(button('取消配对', `取消与${label(pc.pcid)}的配对`, () => unpair(pc)));
    }
    li.append(what, actions);
    return li;
  }

  function renderPcs() {
    const all = pcs();
    const live = all.filter((p) => !p.dropped);
    const chosen = load(Keys.target, null);
    ui.pcList.replaceChildren(...all.map(pcItem));
    ui.pcs.hidden = all.length === 0;
    ui.send.hidden = ui.sent.hidden = live.length === 0;
    // Once paired, sending comes first and pairing another PC steps back.
    ui.pairTitle.textContent = live.length ? '配对另一台电脑' : '与电脑配对';
    ui.steps.hidden = live.length > 0;
    ui.qrLabel.classList.toggle('primary', live.length === 0);
    ui.target.replaceChildren(...live.map((p) => new Option(label(p.pcid), p.pcid)));
    ui.target.value = live.some((p) => p.pcid === chosen) ? chosen : live.length ? live[0].pcid : '';
    updateSendButton();
  }

  // ---- Choosing a tune -----------------------------------------------

  let tune = null;  // { file, duration }
  let upload = null;

  function showLimits() {
    ui.tuneLimit.textContent = `，最大 ${megabytes(limits.tune_max_bytes)} MB`;
    ui.lengthHint.textContent = `铃声最长 ${limits.tune_seconds} 秒，在服务器上做成 iPhone 铃声，截断处自动淡出。`;
    if (tune) tuneLoaded();
    showSpan();
  }

  const utf8 = new TextEncoder();

  function fitsName(name) {
    return !limits || (Array.from(name).length <= limits.name_max_chars
      && utf8.encode(name).length <= limits.name_max_bytes);
  }

  // A suggestion from the file's name; what the PC can take is the service's to say.
  function cleanName(fileName) {
    let name = Array.from(fileName.replace(/\.[A-Za-z0-9]{1,5}$/, '').replace(/\s+/g, ' ').trim());
    while (name.length && !fitsName(name.join(''))) name.pop();
    return name.join('').trim() || '铃声';
  }

  // Only the length is checked while typing: the rest needs the PC's rule.
  function nameProblem(name) {
    if (!name) return '请填写铃声名称。';
    if (fitsName(name)) return '';
    return Array.from(name).length > limits.name_max_chars
      ? `铃声名称最多 ${limits.name_max_chars} 个字。`
      : '铃声名称太长了，请缩短一些。';
  }

  function checkName(typing) {
    const bad = nameProblem(ui.tuneName.value.trim());
    const shown = typing && !ui.tuneName.value.trim() ? '' : bad;
    say(ui.nameStatus, shown, shown ? 'error' : undefined);
    invalid(ui.tuneName, Boolean(shown));
    return !bad;
  }

  function startValue() {
    const s = Math.floor(Number(ui.seconds.value));
    return Number.isFinite(s) && s > 0 ? s : 0;
  }

  function setStart(seconds) {
    ui.seconds.value = ui.range.value = String(seconds);
    showSpan();
  }

  function showSpan() {
    const start = startValue();
    const longest = limits ? limits.tune_seconds : null;
    invalid(ui.seconds, false);
    if (limits && start > limits.start_max_seconds) {
      invalid(ui.seconds, true);
      ui.span.textContent = `开始位置最多是第 ${limits.start_max_seconds} 秒。`;
    } else if (!tune || !Number.isFinite(tune.duration)) {
      ui.span.textContent = longest ? `从第 ${start} 秒开始，最长 ${longest} 秒。` : `从第 ${start} 秒开始。`;
    } else if (start >= tune.duration) {
      invalid(ui.seconds, true);
      ui.span.textContent = `开始位置超出了音乐的长度（${clock(tune.duration)}）。`;
    } else {
      const end = Math.min(tune.duration, start + (longest || Infinity));
      ui.span.textContent = `铃声片段：${clock(start)} – ${clock(end)}，共 ${Math.round(end - start)} 秒。`;
    }
  }

  function chooseTune() {
    stopPreview();
    const file = ui.tuneFile.files[0];
    if (!file) return;
    if (file.size === 0 || (limits && file.size > limits.tune_max_bytes)) {
      clearTune();
      return say(ui.sendStatus, file.size ? problem('too-large') : '这个文件是空的。', 'error');
    }
    tune = { file, duration: NaN };
    ui.tuneInfo.textContent = `${file.name}（${size(file.size)}）`;
    ui.tuneInfo.hidden = ui.details.hidden = false;
    ui.tuneName.value = cleanName(file.name);
    checkName(true);
    ui.range.max = '0';
    ui.range.disabled = true;
    ui.seconds.removeAttribute('max');
    setStart(0);
    if (ui.player.src) URL.revokeObjectURL(ui.player.src);
    ui.player.src = URL.createObjectURL(file);
    say(ui.sendStatus, '');
    say(ui.notice, '');
    updateSendButton();
  }

  function tuneLoaded() {
    if (!tune || !Number.isFinite(ui.player.duration)) return;
    tune.duration = ui.player.duration;
    let last = Math.max(0, Math.ceil(tune.duration) - 1);
    if (limits) last = Math.min(last, limits.start_max_seconds);
    ui.range.max = ui.seconds.max = String(last);
    ui.range.disabled = false;
    ui.range.setAttribute('aria-valuetext', `第 ${startValue()} 秒`);
    ui.tuneInfo.textContent = `${tune.file.name}（${size(tune.file.size)}，${clock(tune.duration)}）`;
    showSpan();
  }

  // Browsers play fewer formats than the service takes: the start can still
  // be typed, and the service judges the file.
  function tuneUnreadable() {
    if (!tune) return;
    ui.range.disabled = true;
    ui.span.textContent = '读不出这个文件的时长，它可能不是音乐文件。如果是，请直接输入从第几秒开始。';
  }

  function clearTune() {
    stopPreview();
    tune = null;
    ui.tuneFile.value = '';
    ui.tuneInfo.hidden = ui.details.hidden = true;
    if (ui.player.src) URL.revokeObjectURL(ui.player.src);
    ui.player.removeAttribute('src');
    updateSendButton();
  }

  function updateSendButton() {
    const pc = current();
    ui.sendFull.hidden = !pc || !full.has(pc.pcid);
    ui.sendButton.disabled = !tune || !pc || full.has(pc.pcid) || upload !== null;
  }

  let previewEnd = 0;

  function stopPreview() {
    ui.player.pause();
    ui.preview.textContent = '试听这一段';
    ui.preview.setAttribute('aria-pressed', 'false');
  }

  function togglePreview() {
    if (!ui.player.paused) return stopPreview();
    ui.player.currentTime = startValue();
    previewEnd = startValue() + (limits ? limits.tune_seconds : Infinity);
    ui.player.play().then(() => {
      ui.preview.textContent = '停止试听';
      ui.preview.setAttribute('aria-pressed', 'true');
    }, () => say(ui.sendStatus, '这首音乐在这里无法试听，但仍然可以发送。'));
  }

  // ---- Sending -------------------------------------------------------

  function busy(on) {
    for (const c of [ui.target, ui.tuneFile, ui.tuneName, ui.range, ui.seconds, ui.preview]) c.disabled = on;
    if (!on && tune && !Number.isFinite(tune.duration)) ui.range.disabled = true;
    ui.cancelButton.hidden = !on;
    ui.progressBox.hidden = !on;
    updateSendButton();
  }

  function showProgress(percent) {
    ui.progress.value = percent;
    ui.progressLabel.textContent = `已上传 ${percent}%`;
  }

  function sendTune() {
    const pc = current();
    if (!pc || !tune || upload) return;
    const name = ui.tuneName.value.trim();
    if (!checkName(false)) return ui.tuneName.focus();
    const start = startValue();
    if (ui.seconds.getAttribute('aria-invalid')) {
      say(ui.sendStatus, ui.span.textContent, 'error');
      return ui.seconds.focus();
    }
    stopPreview();
    const query = new URLSearchParams({ pcid: pc.pcid, device_id: device().id, name, start: String(start) });
    const xhr = new XMLHttpRequest();
    upload = xhr;
    xhr.open('POST', 'phone/v1/tune?' + query.toString());
    xhr.setRequestHeader('Authorization', 'Bearer ' + pc.token);
    xhr.setRequestHeader('Content-Type', 'application/octet-stream');
    xhr.upload.addEventListener('progress', (e) => {
      if (e.lengthComputable) showProgress(Math.floor((e.loaded * 100) / e.total));
    });
    xhr.upload.addEventListener('load', () => {
      ui.progress.removeAttribute('value');
      ui.progressLabel.textContent = '上传完成，正在做成铃声…';
      say(ui.sendStatus, '上传完成，正在做成铃声…');
    });
    xhr.addEventListener('load', () => finishUpload(pc, xhr, name));
    xhr.addEventListener('error', () => finishUpload(pc, null, name));
    xhr.addEventListener('abort', () => finishUpload(pc, undefined, name));
    busy(true);
    showProgress(0);
    say(ui.sendStatus, `正在发送《${name}》…`);
    xhr.send(tune.file);
  }

  function finishUpload(pc, xhr, name) {
    upload = null;
    busy(false);
    if (xhr === undefined) return say(ui.sendStatus, '已取消上传。');
    const status = xhr ? xhr.status : 0;
    if (status === 201 || status === 200) {
      clearTune();
      say(ui.sendStatus, `《${name}》已发送，电脑联网时会自动接收。`, 'done');
      ui.tuneFile.focus();
      return refreshSent(true);
    }
    let data = {};
    try {
      data = JSON.parse(xhr.responseText) || {};
    } catch (e) { /* no JSON */ }
    const code = codeOf({ status, data });
    if (code === 'name') {
      // Said beside the name, where focus goes.
      say(ui.sendStatus, '');
      say(ui.nameStatus, problem(code), 'error');
      invalid(ui.tuneName, true);
      return ui.tuneName.focus();
    }
    say(ui.sendStatus, problem(code, {
      'bad-request': '无法发送：请检查铃声名称和开始位置。',
      'not-found': '服务器不接受网页上传，请联系服务器的管理员。',
    }), 'error');
    if (code === 'quota') {
      full.add(pc.pcid);
      updateSendButton();
    } else if (code === 'denied') {
      drop(pc);
    }
  }

  // ---- What was sent -------------------------------------------------

  function sentItem(pc, t) {
    const li = el('li');
    li.dataset.id = String(t.id);
    li.dataset.state = t.state;
    const what = el('span', 'what');
    const waiting = t.state !== 'fetched';
    what.append(
      el('span', 'name', t.name),
      el('span', 'meta', `${when(t.sent * 1000)} 发送 · ${size(t.size)}`),
      el('span', 'state ' + (waiting ? 'waiting' : 'fetched'), waiting ? '等待电脑接收' : '电脑已接收'),
    );
    li.append(what);
    if (waiting) li.append(button('撤回', `撤回《${t.name}》`, (e) => withdraw(pc, t, e.currentTarget)));
    return li;
  }

  async function refreshSent(quiet) {
    const pc = current();
    if (!pc) return ui.sentList.replaceChildren();
    const r = await call('phone/v1/sent', credentials(pc));
    if (!current() || current().pcid !== pc.pcid) return;  // another PC was chosen meanwhile
    if (r.status !== 200 || !Array.isArray(r.data.ringtones)) {
      if (codeOf(r) === 'denied') return drop(pc);
      if (!quiet) say(ui.sentStatus, problem(codeOf(r)), 'error');
      return;
    }
    if (r.data.full === true) full.add(pc.pcid);
    else full.delete(pc.pcid);
    updateSendButton();
    const list = r.data.ringtones.filter((t) => t && typeof t.name === 'string');
    ui.sentList.replaceChildren(...list.map((t) => sentItem(pc, t)));
    ui.sentEmpty.hidden = list.length > 0;
    if (!quiet) say(ui.sentStatus, `已刷新，共 ${list.length} 首。`);
  }

  async function withdraw(pc, t, control) {
    if (!window.confirm(`撤回《${t.name}》？电脑将不会收到它。`)) return;
    control.disabled = true;
    const r = await call('phone/v1/withdraw', { ...credentials(pc), id: t.id });
    if (r.status === 200) say(ui.sentStatus, `已撤回《${t.name}》。`, 'done');
    else say(ui.sentStatus, problem(codeOf(r), { 'not-found': `《${t.name}》已被电脑接收或已过期，无法撤回。` }), 'error');
    await refreshSent(true);
    focusOn(ui.sentTitle);
  }

  // ---- Wiring --------------------------------------------------------

  function start() {
    ui.storageWarning.hidden = store !== null;
    ui.deviceName.value = device().name;
    ui.cameraButton.hidden = !canScan();
    ui.qrFile.addEventListener('change', readQr);
    ui.cameraButton.addEventListener('click', startCamera);
    ui.cameraStop.addEventListener('click', () => {
      stopCamera();
      ui.cameraButton.focus();
    });
    ui.pairForm.addEventListener('submit', (e) => {
      e.preventDefault();
      pair(ui.pcid.value, ui.pcidStatus);
    });
    // The id is on two lines to be read whole; Enter still pairs.
    ui.pcid.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') {
        e.preventDefault();
        ui.pairForm.requestSubmit();
      }
    });
    ui.target.addEventListener('change', () => {
      save(Keys.target, ui.target.value);
      ui.sentList.replaceChildren();
      updateSendButton();
      refreshSent(true);
    });
    ui.tuneFile.addEventListener('change', chooseTune);
    ui.tuneName.addEventListener('input', () => checkName(true));
    ui.player.addEventListener('loadedmetadata', tuneLoaded);
    ui.player.addEventListener('error', tuneUnreadable);
    ui.player.addEventListener('timeupdate', () => {
      if (ui.player.currentTime >= previewEnd) stopPreview();
    });
    ui.player.addEventListener('ended', stopPreview);
    ui.range.addEventListener('input', () => {
      setStart(Number(ui.range.value));
      ui.range.setAttribute('aria-valuetext', `第 ${startValue()} 秒`);
    });
    ui.seconds.addEventListener('input', () => {
      ui.range.value = String(startValue());
      showSpan();
    });
    ui.preview.addEventListener('click', togglePreview);
    ui.sendForm.addEventListener('submit', (e) => {
      e.preventDefault();
      sendTune();
    });
    ui.cancelButton.addEventListener('click', () => upload && upload.abort());
    ui.refresh.addEventListener('click', () => refreshSent(false));
    setInterval(() => {
      if (document.visibilityState !== 'visible' || upload) return;
      if (!limits) loadLimits();
      refreshSent(true);
    }, RefreshMs);
    document.addEventListener('visibilitychange', () => {
      if (document.visibilityState === 'visible') refreshSent(true);
      else stopCamera();
    });
    renderPcs();
    loadLimits();
    checkPairings();
    refreshSent(true);
  }

  start();
})();
