// Pad-side geometry: where a fraction of the host's picture lies on this
// screen, and where the loupe goes. Rectangles are {x, y, width, height} in
// CSS pixels, y downwards; like the native pad's rectangles, a negative width
// or height is read as the standardised rectangle.

export function minX(r) { return Math.min(r.x, r.x + r.width); }
export function maxX(r) { return Math.max(r.x, r.x + r.width); }
export function minY(r) { return Math.min(r.y, r.y + r.height); }
export function maxY(r) { return Math.max(r.y, r.y + r.height); }

// The point at the given fractions of the frame; fractions outside 0...1 land outside it.
export function windowPoint(normalizedX, normalizedY, frame) {
  return {
    x: minX(frame) + Math.abs(frame.width) * normalizedX,
    y: minY(frame) + Math.abs(frame.height) * normalizedY,
  };
}

// The loupe's centre: `gap` above the finger, below it when its top would
// leave the bounds, then kept inside them. The upper clamp comes last, so
// bounds smaller than the loupe pin it to maxX - r / maxY - r.
export function loupeCenter(finger, bounds, diameter, gap) {
  const r = diameter * 0.5;
  let y = finger.y - gap - r;
  if (y - r < minY(bounds)) y = finger.y + gap + r;
  const x = Math.min(Math.max(finger.x, minX(bounds) + r), maxX(bounds) - r);
  y = Math.min(Math.max(y, minY(bounds) + r), maxY(bounds) - r);
  return { x, y };
}

// Origin of the magnified picture inside the loupe that puts the normalised
// point at the loupe's centre; `magnifiedSize` is the whole picture as drawn.
export function magnifiedContentOffset(normalizedPoint, magnifiedSize, diameter) {
  return {
    x: diameter * 0.5 - normalizedPoint.x * magnifiedSize.width,
    y: diameter * 0.5 - normalizedPoint.y * magnifiedSize.height,
  };
}

// The picture's box inside an element that shows it scaled to fit
// (object-fit: contain): letterboxed on the long sides, centred.
export function contentRect(box, videoWidth, videoHeight) {
  if (!(videoWidth > 0 && videoHeight > 0 && box.width > 0 && box.height > 0)) return null;
  const scale = Math.min(box.width / videoWidth, box.height / videoHeight);
  const width = videoWidth * scale;
  const height = videoHeight * scale;
  return { x: box.x + (box.width - width) / 2, y: box.y + (box.height - height) / 2, width, height };
}

// Fractions of the picture under a point of the screen, or null outside it
// (the letterbox bars are not part of the host's screen). Edges count as inside.
export function fractionAt(point, content) {
  if (!content) return null;
  const fx = (point.x - content.x) / content.width;
  const fy = (point.y - content.y) / content.height;
  if (!(fx >= 0 && fx <= 1 && fy >= 0 && fy <= 1)) return null;
  return { x: fx, y: fy };
}

// Like fractionAt, but a point outside is pulled to the nearest edge: a drag
// that overshoots the picture keeps going along its border.
export function clampedFractionAt(point, content) {
  if (!content) return null;
  const clamp = (v) => Math.min(1, Math.max(0, v));
  return { x: clamp((point.x - content.x) / content.width), y: clamp((point.y - content.y) / content.height) };
}
