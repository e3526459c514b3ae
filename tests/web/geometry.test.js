import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import { clampedFractionAt, contentRect, fractionAt, loupeCenter, magnifiedContentOffset, windowPoint }
  from '../../OrvaneServer/web/geometry.js';

const vectors = JSON.parse(readFileSync(new URL('../OrvaneCore/protocol/geometry-vectors.json', import.meta.url)));
const rect = ([x, y, width, height]) => ({ x, y, width, height });
const point = ([x, y]) => ({ x, y });

test('the shared vectors give the same answers as the core', () => {
  for (const c of vectors.windowPoint) {
    assert.deepEqual(windowPoint(c.normalized[0], c.normalized[1], rect(c.frame)), point(c.expected), c.case);
  }
  for (const c of vectors.loupeCenter) {
    assert.deepEqual(loupeCenter(point(c.finger), rect(c.bounds), c.diameter, c.gap), point(c.expected), c.case);
  }
  for (const c of vectors.magnifiedContentOffset) {
    const size = { width: c.size[0], height: c.size[1] };
    assert.deepEqual(magnifiedContentOffset(point(c.point), size, c.diameter), point(c.expected), c.case);
  }
  assert.ok(vectors.windowPoint.length && vectors.loupeCenter.length && vectors.magnifiedContentOffset.length);
});

test('the picture is letterboxed inside its element, and only it maps to fractions', () => {
  // 16:9 in a 1280 x 752 box: full width, bars above and below.
  const wide = contentRect({ x: 0, y: 48, width: 1280, height: 752 }, 1920, 1080);
  assert.deepEqual(wide, { x: 0, y: 48 + (752 - 720) / 2, width: 1280, height: 720 });
  // The same picture on a portrait phone: bars above and below too, narrower.
  const tall = contentRect({ x: 0, y: 0, width: 390, height: 700 }, 1920, 1080);
  assert.equal(tall.width, 390);
  assert.equal(tall.y, (700 - 219.375) / 2);
  // A 4:3 picture in a wide box: bars left and right.
  assert.deepEqual(contentRect({ x: 10, y: 0, width: 1600, height: 900 }, 1024, 768),
    { x: 10 + (1600 - 1200) / 2, y: 0, width: 1200, height: 900 });
  assert.equal(contentRect({ x: 0, y: 0, width: 100, height: 100 }, 0, 0), null);

  assert.deepEqual(fractionAt({ x: 640, y: 64 + 360 }, wide), { x: 0.5, y: 0.5 });
  assert.deepEqual(fractionAt({ x: 1280, y: 64 }, wide), { x: 1, y: 0 });
  assert.equal(fractionAt({ x: 640, y: 60 }, wide), null, 'the bar above');
  assert.equal(fractionAt({ x: 640, y: 400 }, null), null);
  assert.deepEqual(clampedFractionAt({ x: -50, y: 2000 }, wide), { x: 0, y: 1 });
});
