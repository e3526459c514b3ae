// The latency benchmark's reader (the pad opened with ?bench=latency): a test
// client on the host draws its clock as a strip of black and white cells at
// the screen's top-left; every decoded frame's strip is read back here and
// kept with the browser's own timing of that frame.
//
// The strip: 2 rows of 48 cells of 16 screen pixels; cell row*48+col is bit
// row*48+col, white = 1. Bits 0-55 the draw time (CLOCK_REALTIME, µs), 56-79
// the frame number mod 2^24, 80-95 CRC-16/CCITT-FALSE of those 10 bytes; all
// most significant bit first.

export const CELL = 16;
export const COLUMNS = 48;
export const ROWS = 2;
export const MAX_SAMPLES = 20000;  // about 5 minutes at 60 frames a second

export function crc16(bytes) {
  let crc = 0xffff;
  for (const byte of bytes) {
    crc ^= byte << 8;
    for (let bit = 0; bit < 8; ++bit) crc = crc & 0x8000 ? ((crc << 1) ^ 0x1021) & 0xffff : (crc << 1) & 0xffff;
  }
  return crc;
}

// bits: 96 numbers 0/1 → {timeUs, frame}, or null when the check fails.
export function codeFromBits(bits) {
  const field = (from, count) => {
    let value = 0;
    for (let i = from; i < from + count; ++i) value = value * 2 + bits[i];
    return value;
  };
  const timeUs = field(0, 56);  // below 2^53 until the year 2255
  const frame = field(56, 24);
  const bytes = [];
  for (let i = 0; i < 80; i += 8) bytes.push(field(i, 8));
  return crc16(bytes) === field(80, 16) ? { timeUs, frame } : null;
}

// Reads the strip from RGBA pixels of the picture's top-left corner, where
// one screen pixel is `scaleX` × `scaleY` picture pixels.
export function decodeStrip(rgba, width, height, scaleX = 1, scaleY = 1) {
  const cellW = CELL * scaleX;
  const cellH = CELL * scaleY;
  if (Math.ceil(COLUMNS * cellW) > width || Math.ceil(ROWS * cellH) > height) return null;
  // The middle half of a cell: its edges blur into the neighbours.
  const halfW = Math.max(1, Math.floor(cellW / 4));
  const halfH = Math.max(1, Math.floor(cellH / 4));
  const bits = [];
  for (let row = 0; row < ROWS; ++row) {
    for (let col = 0; col < COLUMNS; ++col) {
      const cx = Math.floor((col + 0.5) * cellW);
      const cy = Math.floor((row + 0.5) * cellH);
      let sum = 0;
      let count = 0;
      for (let y = Math.max(0, cy - halfH); y < Math.min(height, cy + halfH); ++y) {
        for (let x = Math.max(0, cx - halfW); x < Math.min(width, cx + halfW); ++x) {
          const i = (y * width + x) * 4;
          sum += 0.299 * rgba[i] + 0.587 * rgba[i + 1] + 0.114 * rgba[i + 2];
          ++count;
        }
      }
      bits.push(sum / count >= 128 ? 1 : 0);
    }
  }
  return codeFromBits(bits);
}

// Reads every frame the video element presents, with requestVideoFrameCallback.
// `screenSize()` gives the host's screen size when known (for the scale).
// Times are milliseconds since the epoch, on this machine's clock.
export class LatencyReader {
  constructor(video, { screenSize = () => null, performance = globalThis.performance, document = globalThis.document }) {
    Object.assign(this, { video, screenSize, performance });
    this.canvas = document.createElement('canvas');
    this.context = null;
    this.samples = [];
    this.missed = 0;  // frames with no readable strip
    this.lastFrame = null;
    this.running = false;
  }

  start() {
    if (this.running || !('requestVideoFrameCallback' in this.video)) return false;
    this.running = true;
    this.video.requestVideoFrameCallback((now, metadata) => this.onFrame(now, metadata));
    return true;
  }

  stop() {
    this.running = false;
  }

  clear() {
    this.samples = [];
    this.missed = 0;
  }

  epoch(t) {
    return t === undefined ? null : this.performance.timeOrigin + t;
  }

  onFrame(now, metadata) {
    if (!this.running) return;
    this.video.requestVideoFrameCallback((n, m) => this.onFrame(n, m));
    const code = this.read(metadata.width, metadata.height);
    const readMs = this.epoch(this.performance.now());
    if (!code) {
      ++this.missed;
      return;
    }
    // A picture sent again without a change shows an old draw: only the first
    // showing of each draw is its delay.
    const repeated = code.frame === this.lastFrame;
    this.lastFrame = code.frame;
    if (repeated || this.samples.length >= MAX_SAMPLES) return;
    this.samples.push({
      frame: code.frame,
      drawMs: code.timeUs / 1000,
      captureMs: this.epoch(metadata.captureTime),
      receiveMs: this.epoch(metadata.receiveTime),
      presentedMs: this.epoch(metadata.presentationTime),
      displayMs: this.epoch(metadata.expectedDisplayTime),
      callbackMs: this.epoch(now),
      decodeMs: metadata.processingDuration === undefined ? null : metadata.processingDuration * 1000,
      readMs,
    });
  }

  // Copies only the strip's corner out of the frame on screen.
  read(width, height) {
    const screen = this.screenSize();
    const scaleX = screen?.width ? width / screen.width : 1;
    const scaleY = screen?.height ? height / screen.height : 1;
    const w = Math.min(width, Math.ceil(COLUMNS * CELL * scaleX));
    const h = Math.min(height, Math.ceil(ROWS * CELL * scaleY));
    if (w <= 0 || h <= 0) return null;
    if (this.canvas.width !== w || this.canvas.height !== h || !this.context) {
      this.canvas.width = w;
      this.canvas.height = h;
      this.context = this.canvas.getContext('2d', { willReadFrequently: true });
    }
    this.context.drawImage(this.video, 0, 0, w, h, 0, 0, w, h);
    return decodeStrip(this.context.getImageData(0, 0, w, h).data, w, h, scaleX, scaleY);
  }
}
