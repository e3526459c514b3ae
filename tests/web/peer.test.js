import assert from 'node:assert/strict';
import { test } from 'node:test';

import { DISCONNECT_GRACE_MS, lowestPlayoutDelay, MAX_QUEUED_EVENTS, PadPeer } from '../../OrvaneServer/web/peer.js';
import { FakeTimers } from './fakes.js';

class FakePeerConnection {
  constructor(config) {
    this.config = config;
    this.log = [];
    this.closed = false;
  }
  async setRemoteDescription(d) { this.log.push(['remote', d.type]); }
  async addIceCandidate(c) {
    this.log.push(['candidate', c.candidate]);
    if (c.candidate === 'bad') throw new Error('rejected');
  }
  async createAnswer() { return { type: 'answer', sdp: 'answer-sdp' }; }
  async setLocalDescription(d) { this.localDescription = d; this.log.push(['local', d.type]); }
  close() { this.closed = true; }
}

class FakeChannel {
  constructor(readyState = 'connecting') {
    this.label = 'control';
    this.readyState = readyState;
    this.sent = [];
  }
  send(text) { this.sent.push(JSON.parse(text)); }
  open() { this.readyState = 'open'; this.onopen?.(); }
  close() { this.readyState = 'closed'; }
}

function setup() {
  const timers = new FakeTimers();
  const signaled = [];
  const signaling = { sendAnswer: (sdp) => signaled.push(['answer', sdp]), sendIce: (c) => signaled.push(['ice', c]) };
  const peer = new PadPeer({ signaling, iceServers: [], RTCPeerConnection: FakePeerConnection, timers });
  return { peer, pc: peer.pc, signaled, timers };
}

test('candidates that come before the offer are added after it, a bad one does not stop the rest', async () => {
  const { peer, pc, signaled } = setup();
  await peer.handleIce({ candidate: 'early', sdpMLineIndex: 0, sdpMid: '0' });
  await peer.handleIce({ candidate: 'bad', sdpMLineIndex: 0, sdpMid: '0' });
  await peer.handleOffer('offer-sdp');
  await peer.handleIce({ candidate: 'late', sdpMLineIndex: 0, sdpMid: '0' });
  assert.deepEqual(pc.log, [['remote', 'offer'], ['candidate', 'early'], ['candidate', 'bad'], ['local', 'answer'],
    ['candidate', 'late']]);
  assert.deepEqual(signaled, [['answer', 'answer-sdp']]);

  pc.onicecandidate({ candidate: { candidate: 'candidate:1 1 udp', sdpMLineIndex: 0, sdpMid: '0' } });
  pc.onicecandidate({ candidate: null });
  assert.deepEqual(signaled.at(-1), ['ice', { candidate: 'candidate:1 1 udp', sdpMLineIndex: 0, sdpMid: '0' }]);
  assert.equal(signaled.length, 2);
});

test('events wait for the control channel and go out in order; the host\'s junk is dropped', () => {
  const { peer, pc } = setup();
  const opened = [];
  const received = [];
  peer.onChannelOpen = () => opened.push(true);
  peer.onControlEvent = (e) => received.push(e);
  peer.send({ type: 'peerVersion', build: 1, marketing: '0.1.0' });
  peer.send({ type: 'padScreenInfo', width: 1280, height: 800 });
  const channel = new FakeChannel();
  pc.ondatachannel({ channel: { label: 'other' } });  // not ours
  pc.ondatachannel({ channel });
  assert.deepEqual(channel.sent, []);
  channel.open();
  channel.onopen();  // some browsers report it twice
  assert.deepEqual(channel.sent.map((e) => e.type), ['peerVersion', 'padScreenInfo']);
  assert.equal(opened.length, 1);
  peer.send({ type: 'mute' });
  assert.deepEqual(channel.sent.at(-1), { type: 'mute' });

  channel.onmessage({ data: '{"type":"localControlActive","active":true}' });
  channel.onmessage({ data: '{"type":"localControlActive"}' });
  channel.onmessage({ data: new ArrayBuffer(4) });
  assert.deepEqual(received, [{ type: 'localControlActive', active: true }]);
  peer.close();  // the host hears it from the channel, not from the silence
  assert.equal(channel.readyState, 'closed');

  const { peer: idle } = setup();
  for (let i = 0; i < MAX_QUEUED_EVENTS + 10; i++) idle.send({ type: 'mute' });
  assert.equal(idle.queue.length, MAX_QUEUED_EVENTS);
});

test('a lost connection ends after a grace period unless it recovers; the end is reported once', () => {
  const { peer, pc, timers } = setup();
  const ended = [];
  peer.onEnded = (reason) => ended.push(reason);
  peer.onConnected = () => ended.push('up');
  pc.connectionState = 'connected';
  pc.onconnectionstatechange();
  pc.connectionState = 'disconnected';
  pc.onconnectionstatechange();
  timers.advance(DISCONNECT_GRACE_MS - 1);
  pc.connectionState = 'connected';
  pc.onconnectionstatechange();
  timers.advance(DISCONNECT_GRACE_MS);
  assert.deepEqual(ended, ['up']);
  pc.connectionState = 'disconnected';
  pc.onconnectionstatechange();
  timers.advance(DISCONNECT_GRACE_MS);
  peer.close();
  assert.deepEqual(ended, ['up', 'the connection was lost']);
  assert.ok(pc.closed);
});

test('the receiver is asked for the smallest playout delay under either name', () => {
  const modern = { jitterBufferTarget: null };
  const older = {};
  [modern, older, undefined].forEach((receiver) => lowestPlayoutDelay(receiver));
  assert.deepEqual([modern.jitterBufferTarget, older.playoutDelayHint], [0, 0]);
});

test('the issued servers reach the connection; relay-only keeps candidates to the relays', () => {
  const signaling = { sendAnswer() {}, sendIce() {} };
  const turn = { urls: ['turn:r:3478?transport=tcp'], username: '99:ann', credential: 'c' };
  const open = new PadPeer({ signaling, iceServers: [turn], RTCPeerConnection: FakePeerConnection });
  assert.deepEqual(open.pc.config, { iceServers: [turn] });
  const relay = new PadPeer({ signaling, iceServers: [turn], relayOnly: true, RTCPeerConnection: FakePeerConnection });
  assert.deepEqual(relay.pc.config, { iceServers: [turn], iceTransportPolicy: 'relay' });
});
