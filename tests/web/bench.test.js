import assert from 'node:assert/strict';
import { test } from 'node:test';

import { CELL, COLUMNS, crc16, decodeStrip, LatencyReader, ROWS } from '../../OrvaneServer/web/bench.js';

// The client's strip for (timeUs, frame), as RGBA of a width x height picture
// showing a screenWidth-wide screen (nearest-pixel scaling), then blurred.
function strip(timeUs, frame, { width = 800, height = 40, scale = 1, blur = 0, flip = -1 } = {}) {
  const bits = [];
  const push = (value, count) => {
    for (let i = count - 1; i >= 0; --i) bits.push(Math.floor(value / 2 ** i) % 2);
  };
  push(timeUs, 56);
  push(frame, 24);
  const bytes = [];
  for (let i = 0; i < 80; i += 8) bytes.push(bits.slice(i, i + 8).reduce((v, b) => v * 2 + b, 0));
  push(crc16(bytes), 16);
  if (flip >= 0) bits[flip] ^= 1;
  const luma = new Float64Array(width * height);
  for (let y = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x) {
      const col = Math.floor(x / scale / CELL);
      const row = Math.floor(y / scale / CELL);
      luma[y * width + x] = col < COLUMNS && row < ROWS && bits[row * COLUMNS + col] ? 255 : 0;
    }
  }
  const rgba = new Uint8ClampedArray(width * height * 4);
  for (let y = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x) {
      let sum = 0;
      let n = 0;
      for (let dy = -blur; dy <= blur; ++dy) {
        for (let dx = -blur; dx <= blur; ++dx) {
          const yy = Math.min(height - 1, Math.max(0, y + dy));
          const xx = Math.min(width - 1, Math.max(0, x + dx));
          sum += luma[yy * width + xx];
          ++n;
        }
      }
      rgba.fill(sum / n, (y * width + x) * 4, (y * width + x) * 4 + 3);
      rgba[(y * width + x) * 4 + 3] = 255;
    }
  }
  return rgba;
}

const now = 1_796_000_000_123_456;  // µs, December 2026

test('the strip reads back at full size, scaled and blurred, and refuses a damaged or cut one', () => {
  assert.equal(crc16([0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39]), 0x29b1);
  assert.deepEqual(decodeStrip(strip(now, 77), 800, 40), { timeUs: now, frame: 77 });
  assert.deepEqual(decodeStrip(strip(now, 0xffffff, { width: 540, height: 24, scale: 2 / 3, blur: 2 }), 540, 24, 2 / 3,
    2 / 3), { timeUs: now, frame: 0xffffff });
  assert.equal(decodeStrip(strip(now, 5, { flip: 60 }), 800, 40), null);
  assert.equal(decodeStrip(strip(now, 5), 700, 40), null);  // narrower than the strip
});

test('the reader keeps the first frame showing each draw with the browser timing, on the epoch clock', () => {
  const pixels = strip(now, 9, { width: 768, height: 32 });
  const canvas = {
    getContext: () => ({ drawImage: () => {}, getImageData: (x, y, w, h) => ({ data: pixels, width: w, height: h }) }),
  };
  const callbacks = [];
  const video = { requestVideoFrameCallback: (fn) => callbacks.push(fn) };
  const reader = new LatencyReader(video, {
    performance: { timeOrigin: 1_796_000_000_000, now: () => 200 },
    document: { createElement: () => canvas },
  });
  assert.ok(reader.start());
  callbacks.shift()(150, { width: 800, height: 40, receiveTime: 120, expectedDisplayTime: 160, processingDuration: 0.004 });
  assert.equal(reader.samples.length, 1);
  const s = reader.samples[0];
  assert.deepEqual([s.frame, s.drawMs, s.receiveMs, s.displayMs, s.decodeMs, s.readMs, s.captureMs],
    [9, now / 1000, 1_796_000_000_120, 1_796_000_000_160, 4, 1_796_000_000_200, null]);
  callbacks.shift()(165, { width: 800, height: 40 });  // the same draw again: not a new delay
  pixels.fill(0);
  callbacks.shift()(170, { width: 800, height: 40 });
  assert.deepEqual([reader.samples.length, reader.missed], [1, 1]);
  reader.stop();
  callbacks.shift()(190, { width: 800, height: 40 });
  assert.equal(callbacks.length, 0);
});
