'use strict';
// The phone's page: pairs with PCs through their QR code, sends tunes to them
// and lists what was sent. The device id and the pairings stay in this
// browser's storage; the service does the rest.
(() => {
  const ClientId = /^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-fR][0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}$/;
  const Token = /^[0-9a-f]{64}$/;
  const MaxBytes = 40 * 1024 * 1024;
  const RingtoneSeconds = 30;
  const RefreshMs = 20000;
  const Keys = { device: 'belfry.device', pcs: 'belfry.pcs', target: 'belfry.target' };

  const $ = (id) => document.getElementById(id);
  const ui = {
    storageWarning: $('storage-warning'), notice: $('notice'),
    pairTitle: $('pair-title'), steps: $('steps'), qrLabel: $('qr-label'), manual: $('manual'), qrFile: $('qr-file'), pairForm: $('pair-form'), pcid: $('pcid'), deviceName: $('device-name'),
    pairButton: $('pair-button'), pairStatus: $('pair-status'),
    pcs: $('pcs'), pcsTitle: $('pcs-title'), pcList: $('pc-list'),
    send: $('send'), sendTitle: $('send-title'), sendForm: $('send-form'), target: $('target'), tuneFile: $('tune-file'),
    tuneInfo: $('tune-info'), details: $('tune-details'), tuneName: $('tune-name'),
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
    if (!d || typeof d.id !== 'string' || !/^[A-Za-z0-9._:+-]{1,64}$/.test(d.id)) {
      const bytes = crypto.getRandomValues(new Uint8Array(12));
      d = { id: 'web-' + Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join(''), name: guessName() };
      save(Keys.device, d);
    }
    return d;
  }

  function pcs() {
    const list = load(Keys.pcs, []);
    return Array.isArray(list) ? list.filter((p) => p && ClientId.test(p.pcid) && Token.test(p.token)) : [];
  }

  const label = (pcid) => '电脑 ' + pcid.slice(0, 8);
  const current = () => pcs().find((p) => p.pcid === ui.target.value) || null;

  // ---- Talking to the service -----------------------------------------

  const Problems = {
    0: '无法连接服务器，请检查网络后再试。',
    403: '这部手机与这台电脑的配对已失效，请重新配对。',
    404: '没有找到，可能已被电脑接收或已过期。',
    413: '文件太大了，请选择不超过 40 MB 的文件。',
    429: '操作太频繁了，请稍等一会儿再试。',
    503: '服务器正忙，请稍后再试。',
    507: '这台电脑还有太多铃声没有接收，请等它接收后再发送。',
  };

  function problem(status, own) {
    return (own && own[status]) || Problems[status] || '服务器出了点问题，请稍后再试。';
  }

  async function call(path, body) {
    try {
      const r = await fetch(path, {
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

  function say(where, text, kind) {
    where.textContent = text || '';
    where.classList.toggle('error', kind === 'error');
    where.classList.toggle('done', kind === 'done');
  }

  // Where focus goes when the control that had it disappears.
  function focusOn(heading) {
    heading.tabIndex = -1;
    heading.focus();
  }

  function size(bytes) {
    return bytes >= 1024 * 1024 ? (bytes / 1024 / 1024).toFixed(1) + ' MB' : Math.max(1, Math.round(bytes / 1024)) + ' KB';
  }

  const timeFormat = new Intl.DateTimeFormat('zh-CN', { month: 'long', day: 'numeric', hour: '2-digit', minute: '2-digit' });
  const when = (ms) => timeFormat.format(new Date(ms));
  const clock = (s) => Math.floor(s / 60) + ':' + String(Math.floor(s % 60)).padStart(2, '0');

  // ---- Pairing -------------------------------------------------------

  // People type ids in any case; only the version digit may be a capital R.
  function normalise(text) {
    const id = String(text).trim().toLowerCase();
    return id.length === 36 && id[14] === 'r' ? id.slice(0, 14) + 'R' + id.slice(15) : id;
  }

  async function pair(text) {
    const pcid = normalise(text);
    if (!ClientId.test(pcid)) {
      say(ui.pairStatus, '电脑编号不正确：应为 36 个字符，形如 xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx。', 'error');
      ui.pcid.focus();
      return;
    }
    const d = device();
    d.name = ui.deviceName.value.trim() || guessName();
    save(Keys.device, d);
    ui.pairButton.disabled = true;
    say(ui.pairStatus, '正在配对…');
    const r = await call('phone/v1/pair', { pcid, device_id: d.id, device_name: d.name });
    ui.pairButton.disabled = false;
    if (r.status !== 200 || !Token.test(r.data.device_token || '')) {
      say(ui.pairStatus, problem(r.status, { 400: '电脑编号或手机名称不正确，请检查后再试。' }), 'error');
      return;
    }
    const list = pcs().filter((p) => p.pcid !== pcid);
    list.unshift({ pcid, token: r.data.device_token, paired: Date.now() });
    save(Keys.pcs, list);
    save(Keys.target, pcid);
    ui.pcid.value = '';
    ui.manual.open = false;
    renderPcs();
    refreshSent(true);
    say(ui.pairStatus, '');
    say(ui.notice, `已与${label(pcid)}配对，现在可以发送铃声了。`, 'done');
    focusOn(ui.sendTitle);
  }

  function picture(file) {
    if (window.createImageBitmap) return createImageBitmap(file);
    return new Promise((resolve, reject) => {
      const img = new Image();
      const url = URL.createObjectURL(file);
      img.onload = () => { URL.revokeObjectURL(url); resolve(img); };
      img.onerror = () => { URL.revokeObjectURL(url); reject(new Error('not a picture')); };
      img.src = url;
    });
  }

  // Phone photos are large; the code is found faster and as surely on a
  // smaller copy, and a larger one helps when the code fills little of it.
  async function decodeQr(file) {
    const image = await picture(file);
    const width = image.naturalWidth || image.width, height = image.naturalHeight || image.height;
    const canvas = document.createElement('canvas');
    const context = canvas.getContext('2d', { willReadFrequently: true });
    const tried = new Set();
    for (const longest of [1000, 1800, 600]) {
      const scale = Math.min(1, longest / Math.max(width, height));
      canvas.width = Math.max(1, Math.round(width * scale));
      canvas.height = Math.max(1, Math.round(height * scale));
      if (tried.has(canvas.width)) continue;
      tried.add(canvas.width);
      context.drawImage(image, 0, 0, canvas.width, canvas.height);
      const pixels = context.getImageData(0, 0, canvas.width, canvas.height);
      const code = jsQR(pixels.data, canvas.width, canvas.height, { inversionAttempts: 'attemptBoth' });
      if (code && code.data) return code.data;
    }
    return null;
  }

  async function readQr() {
    const file = ui.qrFile.files[0];
    ui.qrFile.value = '';  // the same picture may be chosen again
    if (!file) return;
    say(ui.pairStatus, '正在识别二维码…');
    let text = null;
    try {
      text = await decodeQr(file);
    } catch (e) {
      return say(ui.pairStatus, '无法读取这张照片，请重拍，或在下面输入电脑编号。', 'error');
    }
    if (text === null) {
      return say(ui.pairStatus, '照片里没有找到二维码。请对准二维码、靠近一些再拍，或在下面输入电脑编号。', 'error');
    }
    if (!ClientId.test(normalise(text))) return say(ui.pairStatus, '这不是 Carillo 的配对二维码。', 'error');
    ui.pcid.value = normalise(text);
    await pair(text);
  }

  async function unpair(pc) {
    if (!window.confirm(`取消与${label(pc.pcid)}的配对？之后要重新拍摄它的二维码才能再发送铃声。`)) return;
    const r = await call('phone/v1/unpair', credentials(pc));
    // 403: the PC or the service forgot this pairing already.
    if (r.status !== 200 && r.status !== 403) return say(ui.notice, problem(r.status), 'error');
    save(Keys.pcs, pcs().filter((p) => p.pcid !== pc.pcid));
    renderPcs();
    refreshSent(true);
    say(ui.notice, `已取消与${label(pc.pcid)}的配对。`, 'done');
    focusOn(pcs().length ? ui.pcsTitle : ui.pairTitle);
  }

  function pcItem(pc) {
    const li = el('li');
    const what = el('span', 'what');
    what.append(el('span', 'name', label(pc.pcid)), el('span', 'meta', '配对于 ' + when(pc.paired)));
    const button = el('button', 'button quiet small-button', '取消配对');
    button.type = 'button';
    button.setAttribute('aria-label', `取消与${label(pc.pcid)}的配对`);
    button.addEventListener('click', () => unpair(pc));
    li.append(what, button);
    return li;
  }

  function renderPcs() {
    const list = pcs();
    const chosen = load(Keys.target, null);
    ui.pcList.replaceChildren(...list.map(pcItem));
    ui.send.hidden = ui.sent.hidden = ui.pcs.hidden = list.length === 0;
    // Once paired, sending comes first and pairing another PC steps back.
    ui.pairTitle.textContent = list.length ? '配对另一台电脑' : '与电脑配对';
    ui.steps.hidden = list.length > 0;
    ui.qrLabel.classList.toggle('primary', list.length === 0);
    ui.target.replaceChildren(...list.map((p) => new Option(label(p.pcid), p.pcid)));
    ui.target.value = list.some((p) => p.pcid === chosen) ? chosen : list.length ? list[0].pcid : '';
    updateSendButton();
  }

  // ---- Choosing a tune -----------------------------------------------

  let tune = null;  // { file, duration }
  let upload = null;

  function cleanName(fileName) {
    const name = fileName
      .replace(/\.[A-Za-z0-9]{1,5}$/, '')
      .replace(/[/\\:*?"<>|\u0000-\u001f\u007f]/g, ' ')
      .replace(/\s+/g, ' ')
      .replace(/^[.\s]+|[.\s]+$/g, '');
    return Array.from(name).slice(0, 80).join('') || '铃声';
  }

  // The name becomes a file name on the PC.
  function nameProblem(name) {
    if (!name) return '请填写铃声名称。';
    if (Array.from(name).length > 80) return '铃声名称最多 80 个字。';
    if (/[/\\:*?"<>|\u0000-\u001f\u007f]/.test(name)) return '铃声名称不能包含 / \\ : * ? " < > | 这些符号。';
    if (/^[.\s]|[.\s]$/.test(name)) return '铃声名称不能以点或空格开头或结尾。';
    if (/^(con|prn|aux|nul|com[1-9]|lpt[1-9])(\..*)?$/i.test(name)) return '这个名称在 Windows 上不能用作文件名，请换一个。';
    return '';
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
    if (!tune || !Number.isFinite(tune.duration)) {
      ui.span.textContent = `从第 ${start} 秒开始，最长 ${RingtoneSeconds} 秒。`;
      return;
    }
    const end = Math.min(tune.duration, start + RingtoneSeconds);
    ui.span.textContent = start >= tune.duration
      ? `开始位置超出了音乐的长度（${clock(tune.duration)}）。`
      : `铃声片段：${clock(start)} – ${clock(end)}，共 ${Math.round(end - start)} 秒。`;
  }

  function chooseTune() {
    stopPreview();
    const file = ui.tuneFile.files[0];
    if (!file) return;
    if (file.size > MaxBytes || file.size === 0) {
      clearTune();
      return say(ui.sendStatus, file.size ? problem(413) : '这个文件是空的。', 'error');
    }
    tune = { file, duration: NaN };
    ui.tuneInfo.textContent = `${file.name}（${size(file.size)}）`;
    ui.tuneInfo.hidden = ui.details.hidden = false;
    ui.tuneName.value = cleanName(file.name);
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
    const last = String(Math.max(0, Math.ceil(tune.duration) - 1));
    ui.range.max = ui.seconds.max = last;
    ui.range.disabled = false;
    ui.range.setAttribute('aria-valuetext', `第 ${startValue()} 秒`);
    ui.tuneInfo.textContent = `${tune.file.name}（${size(tune.file.size)}，${clock(tune.duration)}）`;
    showSpan();
  }

  // Some browsers cannot play every format the service takes: then the start
  // is typed, and the service checks it against the tune's length.
  function tuneUnreadable() {
    if (!tune) return;
    ui.range.disabled = true;
    ui.span.textContent = '这个浏览器读不出这首音乐的时长，请直接输入从第几秒开始。';
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
    ui.sendButton.disabled = !tune || !current() || upload !== null;
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
    previewEnd = startValue() + RingtoneSeconds;
    ui.player.play().then(() => {
      ui.preview.textContent = '停止试听';
      ui.preview.setAttribute('aria-pressed', 'true');
    }, () => say(ui.sendStatus, '这个浏览器无法播放这首音乐，但仍然可以发送。'));
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
    const bad = nameProblem(name);
    if (bad) {
      say(ui.sendStatus, bad, 'error');
      return ui.tuneName.focus();
    }
    const start = startValue();
    if (Number.isFinite(tune.duration) && start >= tune.duration) {
      say(ui.sendStatus, '开始位置超出了音乐的长度。', 'error');
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
    xhr.addEventListener('load', () => finishUpload(xhr, name));
    xhr.addEventListener('error', () => finishUpload(null, name));
    xhr.addEventListener('abort', () => finishUpload(undefined, name));
    busy(true);
    showProgress(0);
    say(ui.sendStatus, `正在发送《${name}》…`);
    xhr.send(tune.file);
  }

  function finishUpload(xhr, name) {
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
    let error = '';
    try {
      error = String(JSON.parse(xhr.responseText).error || '');
    } catch (e) { /* no JSON */ }
    const own = {
      400: /name/i.test(error)
        ? '铃声名称不可用，请换一个名称。'
        : '无法把这个文件做成铃声。请换一首 MP3、M4A、AAC、OGG、WAV 或 FLAC 格式的音乐，或换一个开始位置。',
      404: '服务器不接受网页上传，请联系服务器的管理员。',
    };
    say(ui.sendStatus, problem(status, own), 'error');
  }

  // ---- What was sent -------------------------------------------------

  function sentItem(pc, t) {
    const li = el('li');
    const what = el('span', 'what');
    const waiting = t.state !== 'fetched';
    what.append(
      el('span', 'name', t.name),
      el('span', 'meta', `${when(t.sent * 1000)} 发送 · ${size(t.size)}`),
      el('span', 'state ' + (waiting ? 'waiting' : 'fetched'), waiting ? '等待电脑接收' : '电脑已接收'),
    );
    li.append(what);
    if (waiting) {
      const button = el('button', 'button quiet small-button', '撤回');
      button.type = 'button';
      button.setAttribute('aria-label', `撤回《${t.name}》`);
      button.addEventListener('click', () => withdraw(pc, t, button));
      li.append(button);
    }
    return li;
  }

  async function refreshSent(quiet) {
    const pc = current();
    if (!pc) return ui.sentList.replaceChildren();
    const r = await call('phone/v1/sent', credentials(pc));
    if (!current() || current().pcid !== pc.pcid) return;  // another PC was chosen meanwhile
    if (r.status !== 200 || !Array.isArray(r.data.ringtones)) {
      if (!quiet) say(ui.sentStatus, problem(r.status), 'error');
      return;
    }
    const list = r.data.ringtones.filter((t) => t && typeof t.name === 'string');
    ui.sentList.replaceChildren(...list.map((t) => sentItem(pc, t)));
    ui.sentEmpty.hidden = list.length > 0;
    if (!quiet) say(ui.sentStatus, `已刷新，共 ${list.length} 首。`);
  }

  async function withdraw(pc, t, button) {
    button.disabled = true;
    const r = await call('phone/v1/withdraw', { ...credentials(pc), id: t.id });
    if (r.status === 200) say(ui.sentStatus, `已撤回《${t.name}》。`, 'done');
    else say(ui.sentStatus, problem(r.status, { 404: `《${t.name}》已被电脑接收或已过期，无法撤回。` }), 'error');
    await refreshSent(true);
    focusOn(ui.sentTitle);
  }

  // ---- Wiring --------------------------------------------------------

  function start() {
    ui.storageWarning.hidden = store !== null;
    ui.deviceName.value = device().name;
    ui.qrFile.addEventListener('change', readQr);
    ui.pairForm.addEventListener('submit', (e) => {
      e.preventDefault();
      pair(ui.pcid.value);
    });
    ui.target.addEventListener('change', () => {
      save(Keys.target, ui.target.value);
      ui.sentList.replaceChildren();
      refreshSent(true);
    });
    ui.tuneFile.addEventListener('change', chooseTune);
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
      if (document.visibilityState === 'visible' && !upload) refreshSent(true);
    }, RefreshMs);
    document.addEventListener('visibilitychange', () => {
      if (document.visibilityState === 'visible') refreshSent(true);
    });
    renderPcs();
    refreshSent(true);
  }

  start();
})();
