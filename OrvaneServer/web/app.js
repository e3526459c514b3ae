// The web pad: sign in, pick a computer, then see and control it.

import { clampedFractionAt, contentRect, fractionAt, loupeCenter, magnifiedContentOffset } from './geometry.js';
import { PointerGestures } from './input.js';
import { actionForInput, keyForKeydown, keyForName, SPECIAL_KEYS } from './keyboard.js';
import { LatencyReader } from './bench.js';
import { PadPeer } from './peer.js';
import { events } from './protocol.js';
import { Account, deviceNameFor, exchangeInvite, hashWithoutInvite, inviteFromHash, SignInError } from './signin.js';
import { SignalingClient, signalingUrl } from './signaling.js';
import { $, ago, renderList, setText, showScreen, Toast } from './ui.js';

const VERSION = { build: 1, marketing: '0.1.0' };
const ICE_SERVERS = [{ urls: 'stun:stun.l.google.com:19302' }];
const HOST_REFRESH_MS = 3000;
const CONNECT_TIMEOUT_MS = 20000;
const SCREEN_INFO_DEBOUNCE_MS = 300;
const SEARCH_DEBOUNCE_MS = 200;
const FAILED_OPENS_BEFORE_WARNING = 3;
const LOUPE_DIAMETER = 128;
const LOUPE_GAP = 28;
const LOUPE_ZOOM = 2.5;
const RECEIVED_KEPT = 50;
// ?bench=latency reads the latency test client's clock from every frame;
// &delay=default leaves the browser's own playout delay in place.
const PAGE_OPTIONS = new URLSearchParams(location.search);
const BENCH = PAGE_OPTIONS.get('bench') === 'latency';
const LOWEST_DELAY = PAGE_OPTIONS.get('delay') !== 'default';
// ?relay=only: candidates through the issued TURN relays alone, to check them.
const RELAY_ONLY = PAGE_OPTIONS.get('relay') === 'only';

// What an automated test may read; nothing else is global.
const status = {
  state: 'starting',      // signedOut | signingIn | hosts | connecting | connected | ended
  host: null,             // {id, name} of the computer in use
  connectMs: null,        // connection request → first decoded frame
  localControl: false,
  captureStalled: false,
  textFieldFocused: false,
  screen: null,           // the host's screenInfo
  received: [],           // the last control events from the host
  message: '',
  bench: null,            // with ?bench=latency: {clear(), take()} over the frames read
};
window.orvanePad = status;

class Pad {
  constructor() {
    this.account = new Account(localStorage);
    this.deviceName = deviceNameFor(navigator.userAgent, navigator.maxTouchPoints);
    this.signaling = null;
    this.peer = null;
    this.toast = new Toast($('toast'));
    this.video = $('video');
    this.modifiers = new Set();
    this.hostRound = 0;
    this.gestures = new PointerGestures({
      locate: (p, clamp) => this.locate(p, clamp),
      send: (event) => this.send(event),
      loupe: (p) => this.loupe(p),
      scrollScale: () => this.hostPointsPerPixel(),
    });
    this.bindSignIn();
    this.bindHosts();
    this.bindSession();
  }

  async boot() {
    // An invite opened in a tab that already shows the pad changes only the fragment.
    window.addEventListener('hashchange', () => this.takeInvite());
    if (await this.takeInvite()) return;
    if (this.account.sessionToken) this.showHosts();
    else this.showSignIn();
  }

  // Signs in with the invite in the address bar, if there is one.
  async takeInvite() {
    const invite = inviteFromHash(location.hash);
    if (!invite) return false;
    history.replaceState(null, '', location.pathname + location.search + hashWithoutInvite(location.hash));
    this.endSession();
    if (await this.signIn(invite)) this.showHosts();
    return true;
  }

  setState(state, message = '') {
    status.state = state;
    status.message = message;
  }

  // --- signing in ---------------------------------------------------------

  bindSignIn() {
    $('invite-form').addEventListener('submit', (e) => {
      e.preventDefault();
      const text = $('invite-input').value.trim();
      const hashAt = text.indexOf('#');
      const token = hashAt >= 0 ? inviteFromHash(text.slice(hashAt)) : text;
      $('invite-input').value = '';
      if (!token) return setText('signin-message', 'That is not an invite link.');
      this.signIn(token).then((ok) => ok && this.showHosts());
    });
    $('sign-out').addEventListener('click', () => this.signOut());
  }

  showSignIn(message) {
    this.setState('signedOut', message);
    if (message) setText('signin-message', message);
    showScreen('signin');
  }

  async signIn(identityToken) {
    this.setState('signingIn');
    showScreen('signin');
    setText('signin-message', 'Signing in…');
    try {
      const session = await exchangeInvite({ identityToken, deviceId: this.account.deviceId,
        deviceName: this.deviceName });
      this.stopSignaling();
      this.account.save(session);
      return true;
    } catch (error) {
      this.showSignIn(error instanceof SignInError ? error.message : `Sign-in failed: ${error.message}`);
      return false;
    }
  }

  signOut(message = 'Signed out. Open an invite link to sign in again.') {
    this.endSession();
    this.stopSignaling();
    this.account.signOut();
    this.showSignIn(message);
  }

  // --- the computers ------------------------------------------------------

  bindHosts() {
    $('refresh-hosts').addEventListener('click', () => this.refreshHosts());
  }

  startSignaling() {
    if (this.signaling) return;
    const client = new SignalingClient({ url: signalingUrl(location), token: this.account.sessionToken,
      deviceId: this.account.deviceId, deviceName: this.deviceName });
    let failedOpens = 0;
    client.onReady = () => { failedOpens = 0; };
    client.onClosed = ({ everOpened }) => {
      // A refused token shows only as a socket that never opens.
      failedOpens = everOpened ? 0 : failedOpens + 1;
      if (status.state === 'hosts') {
        setText('hosts-message', failedOpens >= FAILED_OPENS_BEFORE_WARNING
          ? 'Cannot reach the server, or this browser\'s sign-in has expired. Retrying… (Sign out and use a new invite if this persists.)'
          : 'Reconnecting to the server…');
      }
    };
    client.onServerError = (code, message) => {
      if (code === 'not_authorized' && !client.ready) {
        this.signOut('This sign-in belongs to another device. Open a new invite link.');
      } else if (status.state === 'connecting') {
        this.endSession(code === 'host_offline' ? 'That computer is offline.' : `The server refused: ${message || code}`);
      }
    };
    client.onOffer = (sdp) => this.peer?.handleOffer(sdp).catch((e) => this.endSession(`Cannot answer the computer: ${e.message}`));
    client.onIce = (candidate) => this.peer?.handleIce(candidate);
    client.onPeerGone = () => {
      if (status.state === 'connecting') this.endSession('The computer left before the connection was up.');
    };
    this.signaling = client;
    client.start();
  }

  stopSignaling() {
    this.signaling?.stop();
    this.signaling = null;
  }

  showHosts(message) {
    this.setState('hosts', message);
    showScreen('hosts');
    setText('hosts-message', message || 'Looking for your computers…');
    this.startSignaling();
    this.refreshHosts();
  }

  async refreshHosts() {
    clearTimeout(this.hostTimer);
    if (status.state !== 'hosts' || !this.signaling) return;
    // Only the latest listing counts: an older one is answered empty when a newer one starts.
    const round = ++this.hostRound;
    const hosts = await this.signaling.listHosts();
    if (status.state !== 'hosts' || round !== this.hostRound) return;
    if (this.signaling.ready) {
      if (hosts.length === 0) setText('hosts-message', 'No computer is online. Start Orvane on your computer.');
      else if (!status.message) setText('hosts-message', 'Choose a computer to control.');
      else setText('hosts-message', status.message);
      status.message = '';
      renderList($('host-list'), hosts, (h) => ({ title: h.name, detail: `seen ${ago(h.lastSeen)}` }),
        (h) => this.connect({ id: h.deviceId, name: h.name }));
    }
    this.hostTimer = setTimeout(() => this.refreshHosts(), HOST_REFRESH_MS);
  }

  // --- a session ----------------------------------------------------------

  connect(host) {
    clearTimeout(this.hostTimer);
    this.setState('connecting');
    Object.assign(status, { host, connectMs: null, localControl: false, captureStalled: false,
      textFieldFocused: false, screen: null, received: [] });
    setText('host-name', host.name);
    this.updateBadges();
    this.stageMessage(`Connecting to ${host.name}…`);
    showScreen('session');

    const iceServers = [...(RELAY_ONLY ? [] : ICE_SERVERS), ...this.signaling.iceServers];
    const peer = new PadPeer({ signaling: this.signaling, iceServers, relayOnly: RELAY_ONLY,
      lowestDelay: LOWEST_DELAY });
    this.peer = peer;
    peer.onTrack = (stream, receiver) => {
      this.video.srcObject = stream;
      this.video.play().catch(() => {});
      this.watchFirstFrame();
      if (BENCH) this.startBench(receiver);
    };
    peer.onChannelOpen = () => {
      this.send(events.peerVersion(VERSION.build, VERSION.marketing));
      this.sendScreenInfo();
    };
    peer.onControlEvent = (event) => this.received(event);
    peer.onConnected = () => {
      clearTimeout(this.connectTimer);
      this.setState('connected');
    };
    peer.onEnded = (reason) => {
      if (this.peer === peer) this.endSession(`Disconnected: ${reason}.`);
    };
    this.connectStartedAt = performance.now();
    this.connectTimer = setTimeout(() => this.endSession('The computer did not answer in time.'), CONNECT_TIMEOUT_MS);
    try {
      this.signaling.sendConnectionRequest(host.id);
    } catch {
      this.endSession('Not connected to the server; try again in a moment.');
    }
  }

  endSession(message) {
    clearTimeout(this.connectTimer);
    this.gestures.reset();
    const peer = this.peer;
    this.peer = null;
    if (!peer) return;
    status.bench?.stop();
    peer.onEnded = null;
    peer.close();
    this.signaling?.sendBye();
    this.video.srcObject = null;
    this.closePanels();
    this.setKeyboard(false);
    status.host = null;
    this.showHosts(message);
  }

  watchFirstFrame() {
    const started = this.connectStartedAt;
    const done = (now) => {
      if (status.connectMs !== null || this.connectStartedAt !== started) return;
      status.connectMs = Math.round(now - started);
      this.stageMessage('');
    };
    if ('requestVideoFrameCallback' in this.video) this.video.requestVideoFrameCallback((now) => done(now));
    else this.video.addEventListener('playing', () => done(performance.now()), { once: true });
  }

  startBench(receiver) {
    status.bench?.stop();
    const reader = new LatencyReader(this.video, {
      screenSize: () => status.screen && { width: status.screen.width * status.screen.scaleFactor,
        height: status.screen.height * status.screen.scaleFactor },
    });
    reader.start();
    const inbound = async () => {
      const report = await receiver.getStats();
      for (const entry of report.values()) if (entry.type === 'inbound-rtp') return entry;
      return null;
    };
    status.bench = {
      stop: () => reader.stop(),
      clear: async () => {
        reader.clear();
        status.bench.since = { stats: await inbound(), at: performance.timeOrigin + performance.now() };
      },
      take: async () => ({ samples: reader.samples, missed: reader.missed, since: status.bench.since,
        stats: await inbound(), at: performance.timeOrigin + performance.now() }),
    };
  }

  send(event) {
    this.peer?.send(event);
  }

  received(event) {
    status.received.push(event);
    if (status.received.length > RECEIVED_KEPT) status.received.shift();
    switch (event.type) {
      case 'localControlActive':
        status.localControl = event.active;
        if (event.active) this.gestures.reset();
        this.updateBadges();
        break;
      case 'captureStalled':
        status.captureStalled = event.active;
        this.updateBadges();
        break;
      case 'textFieldFocused':
        status.textFieldFocused = event.focused;
        $('open-keyboard').classList.toggle('attention', event.focused && $('keyboard').hidden);
        break;
      case 'screenInfo':
        status.screen = { width: event.width, height: event.height, scaleFactor: event.scaleFactor };
        break;
      case 'windowList':
        this.showWindows(event.windows);
        break;
      case 'windowFocused':
        this.toast.show(event.title ? `${event.title}${event.appName ? ` — ${event.appName}` : ''}` : event.appName);
        break;
      case 'appSuggestions':
        if (event.text === $('app-query').value) this.showSuggestions(event.names);
        break;
      case 'peerVersion':
        setText('session-info', `Computer runs Orvane ${event.marketing} (${event.build}); this pad ${VERSION.marketing} (${VERSION.build}).`);
        break;
      default:
        break;
    }
  }

  updateBadges() {
    $('badge-local').hidden = !status.localControl;
    $('badge-stalled').hidden = !status.captureStalled;
    const banner = $('banner');
    if (status.localControl) {
      banner.textContent = 'Someone is using the computer: your input is paused until they stop.';
    } else if (status.captureStalled) {
      banner.textContent = 'The picture has stopped updating; the computer is trying to restart its capture.';
    }
    banner.className = status.localControl ? 'warn' : 'bad';
    banner.hidden = !status.localControl && !status.captureStalled;
  }

  stageMessage(text) {
    const element = $('stage-message');
    element.textContent = text;
    element.hidden = !text;
  }

  // The viewport in CSS pixels: the host fits windows to this aspect.
  sendScreenInfo() {
    this.send(events.padScreenInfo(Math.round(window.innerWidth), Math.round(window.innerHeight)));
  }

  // --- the picture and the pointer ------------------------------------------

  content() {
    const box = this.video.getBoundingClientRect();
    return contentRect({ x: box.left, y: box.top, width: box.width, height: box.height }, this.video.videoWidth,
      this.video.videoHeight);
  }

  locate(p, clamp) {
    const content = this.content();
    return clamp ? clampedFractionAt(p, content) : fractionAt(p, content);
  }

  hostPointsPerPixel() {
    const content = this.content();
    const width = status.screen?.width || this.video.videoWidth;
    return content && width ? width / content.width : 1;
  }

  loupe(p) {
    const element = $('loupe');
    cancelAnimationFrame(this.loupeFrame);
    if (!p) {
      element.hidden = true;
      return;
    }
    const stage = $('stage').getBoundingClientRect();
    const centre = loupeCenter({ x: p.x - stage.left, y: p.y - stage.top },
      { x: 0, y: 0, width: stage.width, height: stage.height }, LOUPE_DIAMETER, LOUPE_GAP);
    element.style.left = `${centre.x - LOUPE_DIAMETER / 2}px`;
    element.style.top = `${centre.y - LOUPE_DIAMETER / 2}px`;
    element.hidden = false;
    const canvas = $('loupe-canvas');
    const ratio = window.devicePixelRatio || 1;
    canvas.width = canvas.height = Math.round(LOUPE_DIAMETER * ratio);
    const draw = () => {
      const content = this.content();
      const at = clampedFractionAt(p, content);
      const context = canvas.getContext('2d');
      context.setTransform(ratio, 0, 0, ratio, 0, 0);
      context.fillStyle = '#000';
      context.fillRect(0, 0, LOUPE_DIAMETER, LOUPE_DIAMETER);
      if (at) {
        const size = { width: content.width * LOUPE_ZOOM, height: content.height * LOUPE_ZOOM };
        const origin = magnifiedContentOffset(at, size, LOUPE_DIAMETER);
        context.drawImage(this.video, origin.x, origin.y, size.width, size.height);
      }
      this.loupeFrame = requestAnimationFrame(draw);
    };
    draw();
  }

  bindSession() {
    const stage = $('stage');
    const point = (e) => ({ id: e.pointerId, type: e.pointerType || 'mouse', button: e.button, x: e.clientX,
      y: e.clientY });
    stage.addEventListener('pointerdown', (e) => {
      if (e.target.closest('#loupe')) return;
      stage.setPointerCapture?.(e.pointerId);
      e.preventDefault();
      this.gestures.down(point(e));
    });
    stage.addEventListener('pointermove', (e) => this.gestures.move(point(e)));
    stage.addEventListener('pointerup', (e) => this.gestures.up(point(e)));
    stage.addEventListener('pointercancel', (e) => this.gestures.cancel(point(e)));
    stage.addEventListener('contextmenu', (e) => e.preventDefault());
    stage.addEventListener('wheel', (e) => {
      e.preventDefault();
      this.gestures.wheel({ deltaX: e.deltaX, deltaY: e.deltaY, deltaMode: e.deltaMode,
        pageHeight: stage.clientHeight });
    }, { passive: false });

    $('disconnect').addEventListener('click', () => this.endSession('Disconnected.'));
    $('open-keyboard').addEventListener('click', () => this.setKeyboard($('keyboard').hidden));
    $('open-windows').addEventListener('click', () => {
      this.openPanel('panel-windows');
      setText('windows-message', 'Asking for the window list…');
      this.send(events.simple('requestWindowList'));
    });
    $('open-apps').addEventListener('click', () => {
      this.openPanel('panel-apps');
      $('app-query').focus();
    });
    $('open-more').addEventListener('click', () => this.openPanel('panel-more'));
    for (const button of document.querySelectorAll('.close-panel')) {
      button.addEventListener('click', () => this.closePanels());
    }
    for (const button of document.querySelectorAll('[data-event]')) {
      button.addEventListener('click', () => this.send(events.simple(button.dataset.event)));
    }
    for (const button of document.querySelectorAll('[data-quality]')) {
      button.addEventListener('click', () => {
        this.send(events.setVideoQuality(button.dataset.quality));
        for (const b of document.querySelectorAll('[data-quality]')) b.setAttribute('aria-checked', String(b === button));
      });
    }
    this.bindApps();
    this.bindKeyboard();

    window.addEventListener('resize', () => {
      clearTimeout(this.screenInfoTimer);
      this.screenInfoTimer = setTimeout(() => this.sendScreenInfo(), SCREEN_INFO_DEBOUNCE_MS);
    });
    // Tell the computer at once rather than letting it notice the silence.
    window.addEventListener('pagehide', () => {
      this.peer?.close();
      this.signaling?.sendBye();
    });
  }

  openPanel(id) {
    this.closePanels();
    $(id).hidden = false;
  }

  closePanels() {
    for (const panel of document.querySelectorAll('.panel')) panel.hidden = true;
  }

  showWindows(windows) {
    setText('windows-message', windows.length ? 'Tap a window to bring it forward.' : 'No windows are open.');
    renderList($('window-list'), windows, (w) => ({ title: w.windowTitle || w.appName, detail: w.appName }), (w) => {
      this.send(events.switchToWindow(w.id));
      this.closePanels();
    });
  }

  bindApps() {
    const query = $('app-query');
    query.addEventListener('input', () => {
      clearTimeout(this.searchTimer);
      const text = query.value;
      if (!text.trim()) return this.showSuggestions([]);
      this.searchTimer = setTimeout(() => this.send(events.searchApps(text)), SEARCH_DEBOUNCE_MS);
    });
    $('app-form').addEventListener('submit', (e) => {
      e.preventDefault();
      this.launch(query.value);
    });
  }

  showSuggestions(names) {
    renderList($('app-list'), names, (name) => ({ title: name }), (name) => this.launch(name));
  }

  launch(name) {
    if (!name.trim()) return;
    this.send(events.launchApp(name.trim()));
    this.toast.show(`Opening ${name.trim()}…`);
    $('app-query').value = '';
    this.showSuggestions([]);
    this.closePanels();
  }

  // --- the keyboard ---------------------------------------------------------

  setKeyboard(open) {
    $('keyboard').hidden = !open;
    $('open-keyboard').setAttribute('aria-pressed', String(open));
    $('open-keyboard').classList.remove('attention');
    if (open) $('keys').focus();
  }

  pressKey({ keyCode, modifiers }) {
    this.send(events.keyEvent(keyCode, modifiers, true));
    this.send(events.keyEvent(keyCode, modifiers, false));
  }

  // Sticky modifiers from the strip apply to the next key, then let go.
  withStickyModifiers(key) {
    const modifiers = [...new Set([...key.modifiers, ...this.modifiers])];
    this.modifiers.clear();
    for (const b of document.querySelectorAll('[data-modifier]')) b.setAttribute('aria-pressed', 'false');
    return { keyCode: key.keyCode, modifiers: ['cmd', 'shift', 'alt', 'ctrl'].filter((m) => modifiers.includes(m)) };
  }

  bindKeyboard() {
    const keys = $('keys');
    keys.addEventListener('keydown', (e) => {
      let key = keyForKeydown(e);
      if (!key && this.modifiers.size && !e.isComposing && e.key.length === 1) key = keyForName(e.key);
      if (!key) return;
      e.preventDefault();
      this.pressKey(this.withStickyModifiers(key));
    });
    keys.addEventListener('beforeinput', (e) => {
      if (e.isComposing || e.inputType === 'insertCompositionText' || e.inputType === 'insertFromComposition') return;
      const action = actionForInput(e.inputType, e.data);
      if (!action) return;
      if (e.cancelable) e.preventDefault();
      if (action.text !== undefined) this.send(events.typeText(action.text));
      else this.pressKey(this.withStickyModifiers(action));
    });
    keys.addEventListener('compositionend', (e) => {
      if (e.data) this.send(events.typeText(e.data));
      keys.value = '';
    });
    // Whatever the browser put in the field anyway has been sent; keep it empty.
    keys.addEventListener('input', (e) => {
      if (!e.isComposing) keys.value = '';
    });

    const strip = $('key-strip');
    // Keep the field focused (and a phone's keyboard up) while using the strip.
    strip.addEventListener('pointerdown', (e) => e.preventDefault());
    strip.addEventListener('click', (e) => {
      const button = e.target.closest('button');
      if (!button) return;
      if (button.dataset.modifier) {
        const m = button.dataset.modifier;
        if (this.modifiers.has(m)) this.modifiers.delete(m);
        else this.modifiers.add(m);
        button.setAttribute('aria-pressed', String(this.modifiers.has(m)));
      } else if (Object.hasOwn(SPECIAL_KEYS, button.dataset.key)) {
        this.pressKey(this.withStickyModifiers(keyForName(button.dataset.key)));
      }
    });
  }
}

new Pad().boot();
