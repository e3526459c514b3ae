import assert from 'node:assert/strict';
import { test } from 'node:test';

import { decodeControlEvent, encodeControlEvent, EVENT_MEMBERS } from '../../OrvaneServer/web/protocol.js';

test('host messages decode to exactly their members, extra members ignored', () => {
  assert.deepEqual(decodeControlEvent('{"type":"mute","text":"x"}'), { type: 'mute' });
  assert.deepEqual(decodeControlEvent('{"active":true,"type":"captureStalled"}'), { type: 'captureStalled', active: true });
  assert.deepEqual(decodeControlEvent('{"type":"screenInfo","width":1920,"height":1080,"scaleFactor":1,"x":3}'),
    { type: 'screenInfo', width: 1920, height: 1080, scaleFactor: 1 });
  assert.deepEqual(decodeControlEvent('{"type":"windowList","windows":[{"id":"42","appName":"A","windowTitle":"T","thumbnail":null}]}'),
    { type: 'windowList', windows: [{ id: '42', appName: 'A', windowTitle: 'T' }] });
  assert.deepEqual(decodeControlEvent('{"type":"keyEvent","keyCode":8,"modifiers":["cmd","cmd"],"isDown":true}'),
    { type: 'keyEvent', keyCode: 8, modifiers: ['cmd', 'cmd'], isDown: true });
});

test('a message that does not fit its case is rejected whole', () => {
  for (const text of [
    'not json', '[]', 'null', '{"type":"Mute"}', '{"type":"nothing"}', '{"kind":"mute"}', '{"type":7}',
    '{"type":"toString"}',
    '{"type":"mouseDown","x":0.5,"y":0.5}',
    '{"type":"mouseMoved","x":"0.5","y":0.5}',
    '{"type":"captureStalled","stalled":true}',
    '{"type":"screenInfo","width":1920.5,"height":1080,"scaleFactor":1}',
    '{"type":"keyEvent","keyCode":8,"modifiers":["cmd","meta"],"isDown":true}',
    '{"type":"textFieldFocused","focused":null}',
    '{"type":"windowList","windows":[{"id":42,"appName":"A","windowTitle":"T"}]}',
    '{"type":"windowList","windows":[{"id":"1","appName":"A"}]}',
    '{"type":"windowList","windows":[{"id":"1","appName":"A","windowTitle":"T","thumbnail":"no base64!"}]}',
    '{"type":"appSuggestions","text":"x","names":["a",1]}',
    '{"type":"setVideoQuality","quality":"medium"}',
  ]) {
    assert.equal(decodeControlEvent(text), null, text);
  }
});

test('what the pad sends round-trips, and a malformed event is a programming error', () => {
  const samples = {
    double: 0.25, int: 7, bool: false, string: 'héllo €', button: 'right', quality: 'low',
    modifiers: ['cmd', 'shift'], strings: [], windows: [],
  };
  assert.equal(Object.keys(EVENT_MEMBERS).length, 39);
  for (const [type, members] of Object.entries(EVENT_MEMBERS)) {
    const event = { type };
    for (const [key, kind] of members) event[key] = samples[kind];
    const text = encodeControlEvent(event);
    assert.equal(Object.keys(JSON.parse(text))[0], 'type');
    assert.deepEqual(decodeControlEvent(text), event, type);
  }
  assert.throws(() => encodeControlEvent({ type: 'mouseDown', button: 'left', x: 0.5 }));
  assert.throws(() => encodeControlEvent({ type: 'keyEvent', keyCode: 1.5, modifiers: [], isDown: true }));
  assert.throws(() => encodeControlEvent({ type: 'bogus' }));
});
