// Every word the scripts show (the fixed ones stay in index.html), and how they write sizes, times and clocks.

export const label = (pcid) => '电脑 ' + pcid.slice(0, 8);
// A paired PC by the name this phone gave it, else as above.
export const pcLabel = (pc) => pc.name || label(pc.pcid);

const megabytes = (bytes) => String(Math.round(bytes / 104857.6) / 10);

function size(bytes) {
  return bytes >= 1024 * 1024 ? (bytes / 1024 / 1024).toFixed(1) + ' MB' : Math.max(1, Math.round(bytes / 1024)) + ' KB';
}

const timeFormat = new Intl.DateTimeFormat('zh-CN', { month: 'long', day: 'numeric', hour: '2-digit', minute: '2-digit' });
const when = (ms) => timeFormat.format(new Date(ms));
const clock = (s) => Math.floor(s / 60) + ':' + String(Math.floor(s % 60)).padStart(2, '0');

// What the device is called on the PC until its user names it.
export const DeviceNames = { iPhone: 'iPhone', iPad: 'iPad', Android: 'Android 手机', other: '我的手机' };

// The service's refusals, told by their code, never by the English it sends along.
const Words = {
  offline: '无法连接服务器，请检查网络后再试。',
  denied: '这部手机与这台电脑的配对已失效，请重新配对。',
  'not-found': '没有找到，可能已被电脑接收或已过期。',
  'unknown-pc': '没有找到这台电脑：还没有电脑用这个编号联网过。请核对编号，或重新拍摄电脑上的二维码。',
  'too-large': (limits) => (limits
    ? `文件太大了，请选择不超过 ${megabytes(limits.tune_max_bytes)} MB 的文件。`
    : '文件太大了，请选择小一些的文件。'),
  quota: '这台电脑还有太多铃声没有接收，请等它接收一些之后再发送。',
  'disk-full': '服务器的存储空间满了，暂时不能接收新的铃声，请稍后再试。',
  rate: '操作太频繁了，请稍等一会儿再试。',
  busy: '服务器正忙，请稍后再试。',
  name: '电脑上不能用这个名称作文件名，请换一个名称，例如去掉其中的符号。',
  'not-audio': '无法把这个文件做成铃声：它不是可用的音乐。请换一首 MP3、M4A、AAC、OGG、Opus、WAV 或 FLAC 格式的音乐。',
  internal: '服务器出了点问题，请稍后再试。',
};

// `own` says a code differently where it means something more precise.
export function problem(code, limits, own) {
  const words = (own && own[code]) || Words[code] || Words.internal;
  return typeof words === 'function' ? words(limits) : words;
}

export const Pairing = {
  waiting: '正在等这台电脑联网…',
  badId: '电脑编号不正确，请对照电脑上的编号检查。',
  pairing: '正在配对…',
  refused: { 'bad-request': '电脑编号或手机名称不正确，请检查后再试。' },
  paired: (pcid) => `已与${label(pcid)}配对，现在可以发送铃声了。`,
  reading: '正在识别二维码…',
  orType: (why) => why + '，或在下面输入电脑编号。',
  unreadable: '无法读取这张照片，请重拍',
  noCode: '照片里没有找到二维码。请对准二维码、靠近一些再拍',
  notOurs: '这不是 Carillo 的配对二维码。请拍摄电脑上的二维码',
  first: '与电脑配对',
  another: '配对另一台电脑',
};

export const Camera = {
  notAllowed: '没有得到使用摄像头的许可。可以改为拍摄二维码的照片。',
  failed: '无法打开摄像头，请改为拍摄二维码的照片。',
  notOurs: '这不是 Carillo 的配对二维码。请对准电脑上的二维码。',
};

export const Pcs = {
  askUnpair: (pcid) => `取消与${label(pcid)}的配对？之后要重新拍摄它的二维码才能再发送铃声。`,
  unpaired: (pcid) => `已取消与${label(pcid)}的配对。`,
  dropped: (pcid) => `与${label(pcid)}的配对已失效，可以在“已配对的电脑”里重新配对。`,
  pairedOn: (ms) => '配对于 ' + when(ms),
  droppedState: '配对已失效',
  repair: '重新配对',
  rename: '改名',
  askName: (pcid) => `给${label(pcid)}起个名字，例如“书房”。名字只保存在这部手机上：`,
  askCode: (pcid) => `要重新与${label(pcid)}配对，请再拍摄它屏幕上的二维码，或手动输入电脑编号。`,
  remove: '移除',
  removed: (pcid) => `已移除${label(pcid)}。`,
  unpair: '取消配对',
};

export const Tune = {
  limit: (limits) => `，最大 ${megabytes(limits.tune_max_bytes)} MB`,
  lengthHint: (limits) => `铃声最长 ${limits.tune_seconds} 秒，在服务器上做成 iPhone 铃声，截断处自动淡出。`,
  defaultName: '铃声',
  noName: '请填写铃声名称。',
  nameChars: (most) => `铃声名称最多 ${most} 个字。`,
  nameLong: '铃声名称太长了，请缩短一些。',
  startMax: (most) => `开始位置最多是第 ${most} 秒。`,
  startAt: (start, longest) => (longest ? `从第 ${start} 秒开始，最长 ${longest} 秒。` : `从第 ${start} 秒开始。`),
  startPast: (duration) => `开始位置超出了音乐的长度（${clock(duration)}）。`,
  part: (start, end) => `铃声片段：${clock(start)} – ${clock(end)}，共 ${Math.round(end - start)} 秒。`,
  empty: '这个文件是空的。',
  file: (file) => `${file.name}（${size(file.size)}）`,
  fileLasting: (file, duration) => `${file.name}（${size(file.size)}，${clock(duration)}）`,
  second: (s) => `第 ${s} 秒`,
  noDuration: '读不出这个文件的时长，它可能不是音乐文件。如果是，请直接输入从第几秒开始。',
  preview: '试听这一段',
  stopPreview: '停止试听',
  noPreview: '这首音乐在这里无法试听，但仍然可以发送。',
};

export const Wave = {
  label: '铃声片段：拖动金色框，或用方向键移动',
  undecodable: '这个浏览器画不出这首音乐的波形，请在下面输入从第几秒开始。',
};

export const Send = {
  uploaded: (percent) => `已上传 ${percent}%`,
  converting: '上传完成，正在做成铃声…',
  full: '这台电脑还有太多铃声没有接收。等它接收一些之后，才能再发送。',
  sending: (name) => `正在发送《${name}》…`,
  cancelled: '已取消上传。',
  sent: (name) => `《${name}》已发送，电脑联网时会自动接收。`,
  refused: {
    'bad-request': '无法发送：请检查铃声名称和开始位置。',
    'not-found': '服务器不接受网页上传，请联系服务器的管理员。',
  },
};

export const Sent = {
  meta: (t) => `${when(t.sent * 1000)} 发送 · ${size(t.size)}`,
  waiting: '等待电脑接收',
  fetched: '电脑已接收',
  next: '下一步：用 iTunes 同步 iPhone，再在 iPhone 上选用',
  nextSteps: [
    '在电脑上打开 iTunes，连接 iPhone，在“铃声”里勾选这首铃声后同步。',
    '在 iPhone 上打开“设置” › “声音与触感” › “电话铃声”。',
    '在列表里点选这首铃声。',
  ],
  withdraw: '撤回',
  refreshed: (count) => `已刷新，共 ${count} 首。`,
  askWithdraw: (name) => `撤回《${name}》？电脑将不会收到它。`,
  withdrawn: (name) => `已撤回《${name}》。`,
  refused: (name) => ({ 'not-found': `《${name}》已被电脑接收或已过期，无法撤回。` }),
};
