// The pad's side of the signalling WebSocket: JSON envelopes on /v1/ws, the
// session token offered as the subprotocol "bearer.<token>" (a browser cannot
// set the Authorization header), hello first, reconnects with back-off.

export const WS_TYPES = ['hello', 'listHosts', 'connectRequest', 'offer', 'answer', 'ice', 'bye', 'welcome', 'hosts',
  'peerGone', 'error'];
export const SUBPROTOCOL = 'orvane.v1';
export const RECONNECT_DELAYS_MS = [500, 1000, 2000, 4000, 8000];
export const READY_TIMEOUT_MS = 8000;
const STRING_FIELDS = ['id', 'role', 'deviceId', 'deviceName', 'targetDeviceId', 'fromDeviceId', 'fromName', 'sdp',
  'sdpMid', 'peerDeviceId', 'code', 'message'];
const INT32 = (v) => Number.isInteger(v) && v >= -(2 ** 31) && v < 2 ** 31;
// A "welcome"'s relays: a few servers, each a few short URLs and credentials.
const MAX_ICE_SERVERS = 8;
const MAX_ICE_URLS = 8;
const MAX_ICE_FIELD = 512;
const ICE_URL = /^(stuns?|turns?):./;
const ICE_TEXT = (v) => typeof v === 'string' && v.length <= MAX_ICE_FIELD && !/[\u0000-\u001f\u007f]/.test(v);

// The servers in the RTCIceServer shape, or null when any is malformed.
function decodeIceServers(list) {
  if (!Array.isArray(list) || list.length > MAX_ICE_SERVERS) return null;
  const out = [];
  for (const s of list) {
    if (typeof s !== 'object' || s === null || !Array.isArray(s.urls)) return null;
    if (s.urls.length === 0 || s.urls.length > MAX_ICE_URLS) return null;
    if (!s.urls.every((u) => typeof u === 'string' && u.length <= MAX_ICE_FIELD && ICE_URL.test(u))) return null;
    const server = { urls: [...s.urls] };
    for (const key of ['username', 'credential']) {
      if (s[key] === undefined || s[key] === null) continue;
      if (!ICE_TEXT(s[key])) return null;
      server[key] = s[key];
    }
    out.push(server);
  }
  return out;
}

// One frame's envelope, or null when it is not one: "type" must be a string,
// every other field absent, null or of its type; null fields are dropped.
export function decodeEnvelope(text) {
  let v;
  try {
    v = JSON.parse(text);
  } catch {
    return null;
  }
  if (typeof v !== 'object' || v === null || Array.isArray(v) || typeof v.type !== 'string') return null;
  const out = { type: v.type };
  for (const key of STRING_FIELDS) {
    if (v[key] === undefined || v[key] === null) continue;
    if (typeof v[key] !== 'string') return null;
    out[key] = v[key];
  }
  if (v.sdpMLineIndex !== undefined && v.sdpMLineIndex !== null) {
    if (!INT32(v.sdpMLineIndex)) return null;
    out.sdpMLineIndex = v.sdpMLineIndex;
  }
  if (v.serverTime !== undefined && v.serverTime !== null) {
    if (!Number.isInteger(v.serverTime)) return null;
    out.serverTime = v.serverTime;
  }
  if (v.hosts !== undefined && v.hosts !== null) {
    if (!Array.isArray(v.hosts)) return null;
    const hosts = [];
    for (const h of v.hosts) {
      if (typeof h !== 'object' || h === null || typeof h.deviceId !== 'string' || typeof h.name !== 'string' ||
          !Number.isInteger(h.lastSeen)) {
        return null;
      }
      hosts.push({ deviceId: h.deviceId, name: h.name, lastSeen: h.lastSeen });
    }
    out.hosts = hosts;
  }
  if (v.iceServers !== undefined && v.iceServers !== null) {
    const servers = decodeIceServers(v.iceServers);
    if (!servers) return null;
    out.iceServers = servers;
  }
  return out;
}

// Absent fields are left out, never written as null.
export function encodeEnvelope(envelope) {
  const out = {};
  for (const [key, value] of Object.entries(envelope)) {
    if (value !== undefined && value !== null) out[key] = value;
  }
  return JSON.stringify(out);
}

export function reconnectDelay(attempt, delays = RECONNECT_DELAYS_MS) {
  return delays[Math.min(delays.length - 1, attempt)];
}

// The WebSocket URL of the page's own server.
export function signalingUrl(location) {
  return `${location.protocol === 'https:' ? 'wss:' : 'ws:'}//${location.host}/v1/ws`;
}

export class SignalingClient {
  // Callbacks: onReady(), onOffer(sdp), onIce({candidate, sdpMLineIndex, sdpMid}), onPeerGone(),
  // onServerError(code, message), onClosed({everOpened, attempt}).
  // iceServers: the relays the latest "welcome" issued, for the next session.
  constructor({ url, token, deviceId, deviceName, WebSocket = globalThis.WebSocket, timers = globalThis }) {
    Object.assign(this, { url, token, deviceId, deviceName, WebSocketImpl: WebSocket, timers });
    this.socket = null;
    this.ready = false;
    this.stopped = true;
    this.attempt = 0;
    this.pendingHosts = null;     // {resolve}
    this.listHostsDeferred = false;
    this.iceServers = [];
  }

  start() {
    this.stopped = false;
    this.attempt = 0;
    this.timers.clearTimeout(this.reconnectTimer);
    this.connect();
  }

  stop() {
    this.stopped = true;
    this.timers.clearTimeout(this.reconnectTimer);
    this.timers.clearTimeout(this.readyTimer);
    const socket = this.socket;
    this.socket = null;
    this.ready = false;
    if (socket) {
      socket.onopen = socket.onmessage = socket.onclose = socket.onerror = null;
      socket.close(1000);
    }
    this.answerHosts([]);
  }

  // The user's hosts; an empty list when the server errs or the socket closes
  // first, or when a newer call takes over.
  listHosts() {
    this.answerHosts([]);
    const promise = new Promise((resolve) => { this.pendingHosts = { resolve }; });
    if (this.ready) {
      this.trySend({ type: 'listHosts' });
    } else {
      this.listHostsDeferred = true;
      this.timers.clearTimeout(this.readyTimer);
      this.readyTimer = this.timers.setTimeout(() => {
        if (!this.listHostsDeferred) return;
        this.listHostsDeferred = false;
        this.trySend({ type: 'listHosts' });
      }, READY_TIMEOUT_MS);
    }
    return promise;
  }

  // These throw when the socket is not open: nothing is queued, as the
  // session they belong to would be stale by the time it reopens.
  sendConnectionRequest(hostId) { this.send({ type: 'connectRequest', targetDeviceId: hostId }); }
  sendAnswer(sdp) { this.send({ type: 'answer', sdp }); }
  sendIce({ candidate, sdpMLineIndex, sdpMid }) {
    this.send({ type: 'ice', sdp: candidate, sdpMLineIndex: sdpMLineIndex ?? 0, sdpMid: sdpMid ?? undefined });
  }
  sendBye() { this.trySend({ type: 'bye' }); }

  send(envelope) {
    if (!this.socket || this.socket.readyState !== 1) throw new Error('not connected to the server');
    this.socket.send(encodeEnvelope(envelope));
  }

  trySend(envelope) {
    try {
      this.send(envelope);
      return true;
    } catch {
      return false;
    }
  }

  connect() {
    this.ready = false;
    let socket;
    try {
      socket = new this.WebSocketImpl(this.url, [SUBPROTOCOL, `bearer.${this.token}`]);
    } catch {
      this.scheduleReconnect();
      return;
    }
    this.socket = socket;
    let opened = false;
    socket.onopen = () => {
      opened = true;
      this.trySend({ type: 'hello', role: 'pad', deviceId: this.deviceId, deviceName: this.deviceName });
    };
    socket.onmessage = (message) => {
      if (typeof message.data === 'string') this.frame(message.data);
    };
    socket.onclose = () => {
      if (this.socket !== socket) return;
      this.socket = null;
      this.ready = false;
      this.listHostsDeferred = false;
      this.answerHosts([]);
      this.onClosed?.({ everOpened: opened, attempt: this.attempt });
      this.scheduleReconnect();
    };
    socket.onerror = () => {};  // a close follows
  }

  frame(text) {
    const e = decodeEnvelope(text);
    if (!e || !WS_TYPES.includes(e.type)) return;
    this.attempt = 0;
    const wasReady = this.ready;
    this.ready = true;
    if (this.listHostsDeferred) {
      this.listHostsDeferred = false;
      this.timers.clearTimeout(this.readyTimer);
      this.trySend({ type: 'listHosts' });
    }
    if (!wasReady && e.type !== 'error') this.onReady?.();
    switch (e.type) {
      case 'welcome':
        this.iceServers = e.iceServers ?? [];
        break;
      case 'hosts':
        this.answerHosts(e.hosts ?? []);
        break;
      case 'offer':
        if (e.sdp !== undefined) this.onOffer?.(e.sdp);
        break;
      case 'ice':
        if (e.sdp !== undefined) {
          this.onIce?.({ candidate: e.sdp, sdpMLineIndex: e.sdpMLineIndex ?? 0, sdpMid: e.sdpMid ?? null });
        }
        break;
      case 'peerGone':
        this.onPeerGone?.();
        break;
      case 'error':
        this.answerHosts([]);
        this.onServerError?.(e.code ?? '', e.message ?? '');
        break;
      default:
        break;
    }
  }

  answerHosts(hosts) {
    const pending = this.pendingHosts;
    this.pendingHosts = null;
    pending?.resolve(hosts);
  }

  scheduleReconnect() {
    if (this.stopped) return;
    const delay = reconnectDelay(this.attempt);
    this.attempt = Math.min(RECONNECT_DELAYS_MS.length, this.attempt + 1);
    this.timers.clearTimeout(this.reconnectTimer);
    this.reconnectTimer = this.timers.setTimeout(() => {
      if (!this.stopped) this.connect();
    }, delay);
  }
}
