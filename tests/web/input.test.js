import assert from 'node:assert/strict';
import { test } from 'node:test';

import { clampedFractionAt, fractionAt } from '../../OrvaneServer/web/geometry.js';
import { LONG_PRESS_MS, LOUPE_DELAY_MS, PointerGestures } from '../../OrvaneServer/web/input.js';
import { FakeTimers } from './fakes.js';

// A 1000 x 500 picture under a 100 px bar; host points = CSS px × 2.
function setup() {
  const timers = new FakeTimers();
  const sent = [];
  const loupes = [];
  const content = { x: 0, y: 100, width: 1000, height: 500 };
  const gestures = new PointerGestures({
    locate: (p, clamp) => (clamp ? clampedFractionAt(p, content) : fractionAt(p, content)),
    send: (e) => sent.push(e),
    loupe: (p) => loupes.push(p && { x: p.x, y: p.y }),
    scrollScale: () => 2,
    timers,
    now: () => timers.now(),
  });
  const finger = (id, x, y, type = 'touch') => ({ id, type, x, y, button: 0 });
  return { timers, sent, loupes, gestures, finger };
}
const types = (sent) => sent.map((e) => (e.button ? `${e.type}:${e.button}` : e.type));

test('a tap clicks where the finger landed; a quick one shows no loupe', () => {
  const { timers, sent, loupes, gestures, finger } = setup();
  gestures.down(finger(1, 500, 350));
  timers.advance(80);
  gestures.move(finger(1, 506, 353));  // within the slop
  gestures.up(finger(1, 506, 353));
  assert.deepEqual(sent, [
    { type: 'mouseDown', button: 'left', x: 0.5, y: 0.5 },
    { type: 'mouseUp', button: 'left', x: 0.5, y: 0.5 },
  ]);
  assert.deepEqual(loupes.filter(Boolean), []);
  timers.advance(1000);
  assert.equal(sent.length, 2, 'no right click after the finger left');
});

test('a held finger shows the loupe, then right-clicks; a tap on the bars does nothing', () => {
  const { timers, sent, loupes, gestures, finger } = setup();
  gestures.down(finger(1, 250, 225));
  timers.advance(LOUPE_DELAY_MS);
  assert.deepEqual(loupes, [{ x: 250, y: 225 }]);
  timers.advance(LONG_PRESS_MS - LOUPE_DELAY_MS);
  assert.deepEqual(types(sent), ['mouseDown:right', 'mouseUp:right']);
  assert.deepEqual([sent[0].x, sent[0].y], [0.25, 0.25]);
  assert.equal(loupes.at(-1), null);
  gestures.up(finger(1, 250, 225));
  assert.equal(sent.length, 2);

  gestures.down(finger(2, 500, 50));  // the bar above the picture
  timers.advance(LONG_PRESS_MS);
  gestures.up(finger(2, 500, 50));
  assert.equal(sent.length, 2);
});

test('a drag presses at the start, follows the finger with the loupe and releases on the edge it overshot', () => {
  const { timers, sent, loupes, gestures, finger } = setup();
  gestures.down(finger(1, 100, 200));
  gestures.move(finger(1, 130, 200));
  gestures.move(finger(1, 1200, 200));
  timers.advance(LONG_PRESS_MS);
  gestures.up(finger(1, 1200, 200));
  assert.deepEqual(sent, [
    { type: 'mouseDown', button: 'left', x: 0.1, y: 0.2 },
    { type: 'mouseDragged', button: 'left', x: 0.13, y: 0.2 },
    { type: 'mouseDragged', button: 'left', x: 1, y: 0.2 },
    { type: 'mouseUp', button: 'left', x: 1, y: 0.2 },
  ]);
  assert.deepEqual(loupes, [{ x: 130, y: 200 }, { x: 1200, y: 200 }, null]);
});

test('two fingers scroll the content along in whole host units; a two-finger tap right-clicks', () => {
  const { timers, sent, gestures, finger } = setup();
  gestures.down(finger(1, 400, 300));
  gestures.down(finger(2, 600, 300));
  gestures.move(finger(1, 400, 300.5));  // centroid +0.25 px = 0.5 host px = 1/6 unit: carried
  gestures.move(finger(2, 600, 301));    // +0.25 px more: 1/3 unit in all, still carried
  gestures.move(finger(1, 400, 330.5));  // +15 px: 10 units sent, the third carried on
  assert.deepEqual(sent, [{ type: 'scrolled', deltaX: 0, deltaY: 10 }]);
  timers.advance(LONG_PRESS_MS);
  gestures.up(finger(1, 400, 330.5));
  gestures.up(finger(2, 600, 301));
  assert.equal(sent.length, 1, 'a scroll is no click');

  gestures.down(finger(3, 400, 300));
  gestures.down(finger(4, 600, 300));
  timers.advance(100);
  gestures.up(finger(3, 400, 300));
  gestures.up(finger(4, 600, 300));
  assert.deepEqual(types(sent.slice(1)), ['mouseDown:right', 'mouseUp:right']);
  assert.deepEqual([sent[1].x, sent[1].y], [0.4, 0.4]);
});

test('a mouse passes through, its wheel scrolls like the page would, and a cancel lets go', () => {
  const { timers, sent, gestures } = setup();
  const mouse = (x, y, button = 0) => ({ id: 1, type: 'mouse', x, y, button });
  gestures.move(mouse(500, 350));
  gestures.move(mouse(501, 350));   // within the same frame: skipped
  timers.advance(20);
  gestures.move(mouse(500, 50));    // over the bar: nothing
  gestures.down(mouse(200, 200, 2));
  gestures.move(mouse(300, 200));
  gestures.up(mouse(300, 200, 0));   // not the held button
  gestures.up(mouse(300, 200, 2));
  gestures.down(mouse(500, 350, 1));
  gestures.wheel({ deltaX: 0, deltaY: 3, deltaMode: 1 });
  gestures.down(mouse(500, 350, 0));
  gestures.cancel(mouse(500, 350, 0));
  assert.deepEqual(sent, [
    { type: 'mouseMoved', x: 0.5, y: 0.5 },
    { type: 'mouseDown', button: 'right', x: 0.2, y: 0.2 },
    { type: 'mouseDragged', button: 'right', x: 0.3, y: 0.2 },
    { type: 'mouseUp', button: 'right', x: 0.3, y: 0.2 },
    { type: 'middleClick', x: 0.5, y: 0.5 },
    { type: 'scrolled', deltaX: 0, deltaY: -32 },
    { type: 'mouseDown', button: 'left', x: 0.5, y: 0.5 },
    { type: 'mouseUp', button: 'left', x: 0.5, y: 0.5 },
  ]);
});
