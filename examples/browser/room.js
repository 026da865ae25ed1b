// A person in a corvel room. The page joins a Janus VideoRoom by number as a
// publisher (microphone, camera and a data channel), subscribes to everyone
// else in the room, plays what they send, and shows and sends messages.
//
// Query: janus=URL of the Janus API (default http://<this host>:8088/janus),
// room=NUMBER, user=NAME. The engine's bots publish Opus audio, H.264 video
// and messages (as a participant named "<user>#media"); a message is the engine's envelope (magic 0xC7, version 1,
// cmd_id and seq as big-endian 32-bit, the sender's length and bytes, then
// the payload), which this page reads and writes.
//
// probe=PATH turns on the automated check (tools/browser_check.py): after
// the page is in the room it POSTs {"phase":"ready"} to PATH, publishes the
// microphone for a while, then replaces it with short tone pips whose send
// times it notes, times the onsets of what it hears as the audio leaves the
// jitter buffer, and at the end POSTs its findings.
'use strict';

const params = new URLSearchParams(location.search);
const JANUS = params.get('janus') || `http://${location.hostname}:8088/janus`;
const ROOM = Number(params.get('room') || 1234);
const USER = params.get('user') || `guest-${Math.floor(Math.random() * 10000)}`;
const PROBE = params.get('probe');

const CHAT_CMD = 1;
const MAGIC = 0xc7, VERSION = 1, HEADER = 11, MAX_SENDER = 64;

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const wallNow = () => performance.timeOrigin + performance.now();
const $ = (id) => document.getElementById(id);

function status(text) {
  $('status').textContent = text;
}

function log(text) {
  console.log(text);
  const line = document.createElement('div');
  line.textContent = `${new Date().toLocaleTimeString()}  ${text}`;
  $('log').append(line);
  $('log').scrollTop = $('log').scrollHeight;
}

// ---- messages ---------------------------------------------------------------

function envelope(cmd, seq, sender, payload) {
  const name = new TextEncoder().encode(sender).slice(0, MAX_SENDER);
  const out = new Uint8Array(HEADER + name.length + payload.length);
  const view = new DataView(out.buffer);
  out[0] = MAGIC;
  out[1] = VERSION;
  view.setUint32(2, cmd);
  view.setUint32(6, seq);
  out[10] = name.length;
  out.set(name, HEADER);
  out.set(payload, HEADER + name.length);
  return out;
}

function openEnvelope(data) {
  if (typeof data === 'string') data = new TextEncoder().encode(data);
  const bytes = new Uint8Array(data);
  if (bytes.length < HEADER || bytes[0] !== MAGIC || bytes[1] !== VERSION) return null;
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const n = bytes[10];
  if (n > MAX_SENDER || bytes.length < HEADER + n) return null;
  return {
    cmd: view.getUint32(2),
    seq: view.getUint32(6),
    sender: new TextDecoder().decode(bytes.subarray(HEADER, HEADER + n)),
    text: new TextDecoder().decode(bytes.subarray(HEADER + n)),
  };
}

// ---- the Janus API over HTTP (long poll) ---------------------------------------

class Janus {
  constructor(url) {
    this.url = url;
    this.count = 0;
    this.waiters = new Map();  // transaction -> resolve
    this.handlers = new Map();  // handle -> event handler
  }

  async post(path, body) {
    const answer = await (await fetch(this.url + path, {
      method: 'POST',
      body: JSON.stringify(body),
    })).json();
    if (answer.janus === 'error') throw new Error(`Janus: ${answer.error.code} ${answer.error.reason}`);
    return answer;
  }

  transaction() {
    return `p${this.count++}`;
  }

  async start() {
    this.session = (await this.post('', {janus: 'create', transaction: this.transaction()})).data.id;
    this.poll();
    setInterval(() => this.post(`/${this.session}`, {janus: 'keepalive', transaction: this.transaction()})
      .catch(() => {}), 20000);
  }

  async poll() {
    for (;;) {
      let events;
      try {
        events = [].concat(await (await fetch(`${this.url}/${this.session}?maxev=10`)).json());
      } catch (e) {
        await sleep(1000);
        continue;
      }
      for (const e of events) {
        const waiter = e.transaction && e.janus === 'event' && this.waiters.get(e.transaction);
        if (waiter) {
          this.waiters.delete(e.transaction);
          waiter(e);
        } else if (this.handlers.has(e.sender)) {
          this.handlers.get(e.sender)(e);
        }
      }
    }
  }

  async attach(onEvent) {
    const handle = (await this.post(`/${this.session}`, {
      janus: 'attach', plugin: 'janus.plugin.videoroom', transaction: this.transaction(),
    })).data.id;
    this.handlers.set(handle, onEvent || (() => {}));
    return handle;
  }

  detach(handle) {
    this.handlers.delete(handle);
    this.post(`/${this.session}/${handle}`, {janus: 'detach', transaction: this.transaction()})
      .catch(() => {});
  }

  // Leaving the page ends the session at once (else the server waits for
  // its timeout).
  destroy() {
    if (this.session === undefined) return;
    fetch(`${this.url}/${this.session}`, {
      method: 'POST', keepalive: true,
      body: JSON.stringify({janus: 'destroy', transaction: this.transaction()}),
    }).catch(() => {});
  }

  // A VideoRoom request: its answer's data (and jsep), whether Janus gives it
  // at once or as an event later.
  async message(handle, body, jsep, timeoutMs = 10000) {
    const transaction = this.transaction();
    const later = new Promise((resolve, reject) => {
      this.waiters.set(transaction, resolve);
      setTimeout(() => {
        if (this.waiters.delete(transaction)) reject(new Error(`no answer to ${body.request}`));
      }, timeoutMs);
    });
    later.catch(() => {});
    const answer = await this.post(`/${this.session}/${handle}`, {
      janus: 'message', transaction, body, ...(jsep ? {jsep} : {}),
    });
    const event = answer.janus === 'success' ? answer : await later;
    this.waiters.delete(transaction);
    const data = event.plugindata ? event.plugindata.data : {};
    if (data.error_code) {
      const error = new Error(`${body.request}: ${data.error_code} ${data.error}`);
      error.code = data.error_code;
      throw error;
    }
    return {data, jsep: event.jsep};
  }
}

// Without trickle: the whole description once gathering ends (bounded).
function gathered(pc) {
  return new Promise((resolve) => {
    const check = () => pc.iceGatheringState === 'complete' && resolve();
    pc.addEventListener('icegatheringstatechange', check);
    check();
    setTimeout(resolve, 5000);
  });
}

// ---- the room -------------------------------------------------------------------

const janus = new Janus(JANUS);
const feeds = new Map();  // publisher id -> {display, pc, tile}
let myId = null;
let chat = null;
let chatSeq = 0;
const probe = PROBE ? new Probe() : null;

async function join(handle) {
  const request = {request: 'join', ptype: 'publisher', room: ROOM, display: USER};
  try {
    return (await janus.message(handle, request)).data;
  } catch (e) {
    if (e.code !== 426) throw e;  // no such room: make it as the engine does
  }
  try {
    await janus.message(handle, {request: 'create', room: ROOM, publishers: 6, audiocodec: 'opus',
                                 videocodec: 'h264,vp8', notify_joining: true});
  } catch (e) {
    if (e.code !== 427) throw e;  // made by someone else meanwhile
  }
  return (await janus.message(handle, request)).data;
}

async function publish(handle) {
  const media = await navigator.mediaDevices.getUserMedia({
    audio: true, video: {width: 320, height: 240, frameRate: 15},
  });
  $('local').srcObject = media;
  const pc = new RTCPeerConnection();
  for (const track of media.getTracks()) pc.addTrack(track, media);
  chat = pc.createDataChannel('JanusDataChannel');
  chat.binaryType = 'arraybuffer';
  await pc.setLocalDescription(await pc.createOffer());
  await gathered(pc);
  const answer = await janus.message(handle, {request: 'publish'},
                                     {type: 'offer', sdp: pc.localDescription.sdp, trickle: false});
  await pc.setRemoteDescription(answer.jsep);
  return {pc, media};
}

function onPublisherEvent(e) {
  const data = e.plugindata && e.plugindata.data;
  if (!data) return;
  for (const p of data.publishers || []) subscribe(p).catch((err) => log(`subscribing: ${err.message}`));
  const gone = data.unpublished || data.leaving;
  if (gone !== undefined && feeds.has(gone)) {
    const feed = feeds.get(gone);
    feeds.delete(gone);
    feed.tile.remove();
    if (feed.pc) feed.pc.close();
    if (feed.handle) janus.detach(feed.handle);
    log(`${feed.display} left`);
  }
}

async function subscribe(publisher) {
  if (publisher.id === myId || feeds.has(publisher.id)) return;
  // A bot's media comes from a participant of its own named "<user>#media".
  const display = (publisher.display || String(publisher.id)).replace(/#media$/, '');
  const feed = {display, pc: null, tile: null};
  feeds.set(publisher.id, feed);
  feed.tile = document.createElement('figure');
  const video = document.createElement('video');
  video.autoplay = true;
  video.playsInline = true;
  video.muted = true;
  const caption = document.createElement('figcaption');
  caption.textContent = feed.display;
  feed.tile.append(video, caption);
  $('remotes').append(feed.tile);
  log(`${feed.display} is here`);

  const handle = await janus.attach((e) => {
    if (e.jsep && e.jsep.type === 'offer') answer(e.jsep).catch((err) => log(err.message));
  });
  feed.handle = handle;
  const pc = new RTCPeerConnection();
  feed.pc = pc;
  pc.ontrack = (e) => {
    if (e.track.kind === 'video') {
      video.srcObject = new MediaStream([e.track]);
      return;
    }
    // Chrome plays (and decodes) remote audio only into a media element.
    const audio = new Audio();
    audio.srcObject = new MediaStream([e.track]);
    audio.play().catch(() => log('press anywhere on the page to hear the room'));
    document.addEventListener('click', () => audio.play(), {once: true});
    if (probe) probe.listen(feed.display, e.track);
  };
  pc.ondatachannel = (e) => {
    e.channel.binaryType = 'arraybuffer';
    e.channel.onmessage = (m) => received(feed.display, m.data);
  };
  async function answer(offer) {
    await pc.setRemoteDescription(offer);
    // Janus sends a subscriber the room's messages only once it opened a
    // data channel of its own.
    if (!feed.ownChannel) {
      feed.ownChannel = pc.createDataChannel('JanusDataChannel');
      feed.ownChannel.binaryType = 'arraybuffer';
      feed.ownChannel.onmessage = (m) => received(feed.display, m.data);
    }
    await pc.setLocalDescription(await pc.createAnswer());
    await gathered(pc);
    await janus.message(handle, {request: 'start'},
                        {type: 'answer', sdp: pc.localDescription.sdp, trickle: false});
  }
  const attached = await janus.message(handle, {request: 'join', ptype: 'subscriber', room: ROOM,
                                                streams: [{feed: publisher.id}]});
  await answer(attached.jsep);
}

function received(from, data) {
  const m = openEnvelope(data);
  if (!m) {
    log(`${from}: ${typeof data === 'string' ? data : '(binary)'}`);
    return;
  }
  log(`${from}: ${m.text}`);
  if (probe) probe.messages.push({from, cmd: m.cmd, seq: m.seq, text: m.text});
}

function sendChat(text) {
  if (!chat || chat.readyState !== 'open') return false;
  chat.send(envelope(CHAT_CMD, chatSeq++, USER, new TextEncoder().encode(text)));
  return true;
}

$('send').addEventListener('submit', (e) => {
  e.preventDefault();
  const text = $('text').value.trim();
  if (text && sendChat(text)) {
    log(`me: ${text}`);
    $('text').value = '';
  }
});

// ---- the automated check ------------------------------------------------------------

function Probe() {
  const context = new AudioContext({latencyHint: 'interactive'});
  const found = {heard: {}, pips: [], messages: [], errors: []};
  this.messages = found.messages;

  // Onsets (wall clock ms) and the strongest frequency of a remote track.
  // Onsets are taken as the decoded audio leaves the jitter buffer for
  // playout (a track processor sees each 10 ms as it is rendered); the
  // frequency from the page's audio graph.
  this.listen = (who, track) => {
    const heard = found.heard[who] = {onsets: [], peaks: {}};
    const source = context.createMediaStreamSource(new MediaStream([track]));
    watchOnsets(track, heard).catch((e) => found.errors.push(`onsets: ${e.message}`));
    const analyser = context.createAnalyser();
    analyser.fftSize = 8192;
    const bins = new Float32Array(analyser.frequencyBinCount);
    setInterval(() => {
      analyser.getFloatFrequencyData(bins);
      let best = 1;
      for (let i = 2; i < bins.length; i++) if (bins[i] > bins[best]) best = i;
      if (bins[best] > -50) {
        const hz = Math.round(best * context.sampleRate / analyser.fftSize);
        heard.peaks[hz] = (heard.peaks[hz] || 0) + 1;
      }
    }, 100);
    source.connect(analyser);
  };

  async function watchOnsets(track, heard) {
    const reader = new MediaStreamTrackProcessor({track}).readable.getReader();
    let loud = false;
    let samples = new Float32Array(0);
    for (;;) {
      const {value: data, done} = await reader.read();
      if (done) return;
      const at = wallNow();
      const n = data.numberOfFrames;
      if (samples.length < n) samples = new Float32Array(n);
      data.copyTo(samples, {planeIndex: 0, format: 'f32-planar'});
      data.close();
      let sum = 0;
      for (let i = 0; i < n; i++) sum += samples[i] * samples[i];
      const now = Math.sqrt(sum / n) > 0.03;
      if (now && !loud) heard.onsets.push(at);
      loud = now;
    }
  }

  // Short pips in place of the microphone, each send time noted.
  this.pips = async (sender, count, everyMs) => {
    const tone = context.createOscillator();
    tone.frequency.value = 1000;
    const gate = context.createGain();
    gate.gain.value = 0;
    const out = context.createMediaStreamDestination();
    tone.connect(gate).connect(out);
    tone.start();
    await sender.replaceTrack(out.stream.getAudioTracks()[0]);
    await sleep(300);
    const start = context.currentTime + 0.1;
    const base = wallNow() + (start - context.currentTime) * 1000;
    for (let k = 0; k < count; k++) {
      const t = start + k * everyMs / 1000;
      gate.gain.setValueAtTime(0.5, t);
      gate.gain.setValueAtTime(0, t + 0.02);
      found.pips.push(base + k * everyMs);
    }
    await sleep(count * everyMs + 300);
  };

  this.post = (body) => fetch(PROBE, {method: 'POST', body: JSON.stringify(body)}).catch(() => {});

  this.run = async (publisher) => {
    await context.resume();
    await this.post({phase: 'ready', user: USER, at: wallNow()});
    await sleep(Number(params.get('mic_ms') || 4000));
    const sender = publisher.pc.getSenders().find((s) => s.track && s.track.kind === 'audio');
    await this.pips(sender, Number(params.get('pips') || 25), 200);
    for (let k = 0; k < 3; k++) {
      sendChat(`hello ${k} from ${USER}`);
      await sleep(100);
    }
    const deadline = wallNow() + Number(params.get('wait_ms') || 15000);
    while (wallNow() < deadline && found.messages.length < Number(params.get('messages') || 1))
      await sleep(100);
    await sleep(500);
    for (const feed of feeds.values()) {
      const stats = await feed.pc.getStats();
      stats.forEach((s) => {
        if (s.type === 'inbound-rtp' && s.kind === 'audio')
          found.heard[feed.display] = {
            ...found.heard[feed.display], packets: s.packetsReceived, energy: s.totalAudioEnergy,
            jitter_buffer_ms: 1000 * s.jitterBufferDelay / Math.max(1, s.jitterBufferEmittedCount),
          };
      });
    }
    const stats = await publisher.pc.getStats();
    stats.forEach((s) => {
      if (s.type === 'outbound-rtp' && s.kind === 'video') found.video_sent = s.framesEncoded;
      if (s.type === 'codec' && s.mimeType.startsWith('video/')) found.video_codec = s.mimeType;
    });
    found.audio_output_ms = 1000 * (context.baseLatency + (context.outputLatency || 0));
    await this.post({phase: 'done', ...found});
    location.replace('about:blank');  // and leaves, as a person closing the page
  };

  window.addEventListener('error', (e) => found.errors.push(String(e.message)));
}

window.addEventListener('pagehide', () => janus.destroy());

(async () => {
  $('room').textContent = ROOM;
  $('me').textContent = USER;
  try {
    status(`joining room ${ROOM} as ${USER}…`);
    await janus.start();
    const handle = await janus.attach(onPublisherEvent);
    const joined = await join(handle);
    myId = joined.id;
    for (const p of joined.publishers || []) subscribe(p).catch((err) => log(`subscribing: ${err.message}`));
    status(`in room ${ROOM} as ${USER}; publishing…`);
    const publisher = await publish(handle);
    status(`in room ${ROOM} as ${USER}`);
    if (probe) await probe.run(publisher);
  } catch (e) {
    status(`failed: ${e.message}`);
    if (probe) probe.post({phase: 'failed', error: e.message});
  }
})();
