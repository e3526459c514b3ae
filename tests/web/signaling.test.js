import assert from 'node:assert/strict';
import { test } from 'node:test';

import { decodeEnvelope, encodeEnvelope, READY_TIMEOUT_MS, SignalingClient, signalingUrl }
  from '../../OrvaneServer/web/signaling.js';
import { FakeSocket, FakeTimers } from './fakes.js';

function client() {
  FakeSocket.all = [];
  const timers = new FakeTimers();
  const c = new SignalingClient({ url: 'ws://h/v1/ws', token: 'T0K', deviceId: 'P1', deviceName: 'Pad',
    WebSocket: FakeSocket, timers });
  return { c, timers };
}

test('envelopes: absent fields left out, bad fields reject the frame, nulls read as absent', () => {
  assert.equal(encodeEnvelope({ type: 'ice', sdp: 'c', sdpMLineIndex: 0, sdpMid: undefined }),
    '{"type":"ice","sdp":"c","sdpMLineIndex":0}');
  assert.deepEqual(decodeEnvelope('{"type":"hosts","hosts":[{"deviceId":"H","name":"N","lastSeen":90}],"id":null}'),
    { type: 'hosts', hosts: [{ deviceId: 'H', name: 'N', lastSeen: 90 }] });
  for (const text of ['{}', '[]', 'x', '{"type":1}', '{"type":"ice","sdpMLineIndex":2147483648}',
    '{"type":"hosts","hosts":[{"deviceId":"H","name":"N"}]}', '{"type":"offer","sdp":5}']) {
    assert.equal(decodeEnvelope(text), null, text);
  }
  assert.equal(signalingUrl({ protocol: 'https:', host: 'a:1' }), 'wss://a:1/v1/ws');
  assert.equal(signalingUrl({ protocol: 'http:', host: 'a' }), 'ws://a/v1/ws');
});

test('the token goes as a subprotocol, hello first, and a listing waits for the first frame', async () => {
  const { c, timers } = client();
  c.start();
  const socket = FakeSocket.last;
  assert.deepEqual(socket.protocols, ['orvane.v1', 'bearer.T0K']);
  socket.open();
  assert.deepEqual(socket.sent, [{ type: 'hello', role: 'pad', deviceId: 'P1', deviceName: 'Pad' }]);

  const first = c.listHosts();
  assert.equal(socket.sent.length, 1, 'not before the server spoke');
  socket.receive({ type: 'welcome', serverTime: 5 });
  assert.deepEqual(socket.sent.at(-1), { type: 'listHosts' });
  socket.receive({ type: 'hosts', hosts: [{ deviceId: 'H1', name: 'Desk', lastSeen: 1 }] });
  assert.deepEqual(await first, [{ deviceId: 'H1', name: 'Desk', lastSeen: 1 }]);

  // A newer listing answers the older one empty; an error frame ends it empty.
  const older = c.listHosts();
  const newer = c.listHosts();
  assert.deepEqual(await older, []);
  socket.receive({ type: 'error', code: 'bad_request' });
  assert.deepEqual(await newer, []);
  timers.advance(READY_TIMEOUT_MS);
  assert.equal(socket.sent.filter((e) => e.type === 'listHosts').length, 3);
});

test('a silent server still gets the listing after the ready timeout', async () => {
  const { c, timers } = client();
  c.start();
  FakeSocket.last.open();
  const listing = c.listHosts();
  timers.advance(READY_TIMEOUT_MS - 1);
  assert.equal(FakeSocket.last.sent.length, 1);
  timers.advance(1);
  assert.deepEqual(FakeSocket.last.sent.at(-1), { type: 'listHosts' });
  FakeSocket.last.drop();
  assert.deepEqual(await listing, [], 'a close ends it');
  c.stop();
});

test('frames reach their callbacks; junk and unknown types are dropped', () => {
  const { c } = client();
  const seen = [];
  c.onOffer = (sdp) => seen.push(['offer', sdp]);
  c.onIce = (i) => seen.push(['ice', i]);
  c.onPeerGone = () => seen.push(['gone']);
  c.onServerError = (code, message) => seen.push(['error', code, message]);
  c.start();
  const s = FakeSocket.last;
  s.open();
  s.receive('{"type":"offer"');
  s.receive({ type: 'surprise', sdp: 'x' });
  s.receive({ type: 'offer' });
  s.receive({ type: 'offer', sdp: 'v=0' });
  s.receive({ type: 'ice', sdp: 'candidate:1' });
  s.receive({ type: 'ice', sdp: 'candidate:2', sdpMLineIndex: 1, sdpMid: 'video0' });
  s.receive({ type: 'peerGone' });
  s.receive({ type: 'error' });
  assert.deepEqual(seen, [
    ['offer', 'v=0'],
    ['ice', { candidate: 'candidate:1', sdpMLineIndex: 0, sdpMid: null }],
    ['ice', { candidate: 'candidate:2', sdpMLineIndex: 1, sdpMid: 'video0' }],
    ['gone'],
    ['error', '', ''],
  ]);
  c.sendIce({ candidate: 'candidate:3', sdpMLineIndex: 0, sdpMid: null });
  assert.deepEqual(s.sent.at(-1), { type: 'ice', sdp: 'candidate:3', sdpMLineIndex: 0 });
});

test('reconnects back off 0.5, 1, 2, 4, 8, 8 s, reset by a good frame; stop ends it; sends fail while down', () => {
  const { c, timers } = client();
  const closes = [];
  c.onClosed = (info) => closes.push(info.everOpened);
  c.start();
  const waits = [];
  for (let i = 0; i < 6; i++) {
    FakeSocket.last.drop();
    const count = FakeSocket.all.length;
    let waited = 0;
    while (FakeSocket.all.length === count) {
      timers.advance(100);
      waited += 100;
    }
    waits.push(waited);
  }
  assert.deepEqual(waits, [500, 1000, 2000, 4000, 8000, 8000]);
  assert.deepEqual(closes, [false, false, false, false, false, false]);
  assert.throws(() => c.sendConnectionRequest('H1'), /not connected/);

  FakeSocket.last.open();
  FakeSocket.last.receive({ type: 'welcome' });
  FakeSocket.last.drop();
  assert.equal(closes.at(-1), true);
  timers.advance(500);
  assert.equal(FakeSocket.all.length, 8, 'back to the first delay');
  c.stop();
  assert.equal(FakeSocket.last.closedWith, 1000);
  timers.advance(60000);
  assert.equal(FakeSocket.all.length, 8);
});

test('a welcome issues the relays for the next session; a bad list rejects the frame', () => {
  const { c } = client();
  c.start();
  const socket = FakeSocket.last;
  socket.open();
  assert.deepEqual(c.iceServers, []);
  const turn = { urls: ['turn:r.example:3478?transport=tcp'], username: '99:ann', credential: 'c2VjcmV0' };
  socket.receive({ type: 'welcome', serverTime: 5, iceServers: [turn] });
  assert.deepEqual(c.iceServers, [turn]);
  // Unshaped lists drop the whole frame, so the last good set stays.
  for (const iceServers of [{}, [{ urls: 'turn:x' }], [{ urls: ['http://x'] }], [{ urls: ['turn:x'], credential: 5 }],
    new Array(9).fill({ urls: ['turn:x'] })]) {
    assert.equal(decodeEnvelope(JSON.stringify({ type: 'welcome', iceServers })), null, JSON.stringify(iceServers));
    socket.receive({ type: 'welcome', iceServers });
    assert.deepEqual(c.iceServers, [turn]);
  }
  // A server without relays clears them.
  socket.receive({ type: 'welcome', serverTime: 6 });
  assert.deepEqual(c.iceServers, []);
  c.stop();
});
