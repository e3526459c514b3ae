// Pointer input on the picture → control events. A mouse is passed through
// as it is. A finger or pen: tap = click, hold = right click, drag = drag,
// two fingers = scroll (a two-finger tap is a right click too), with the
// loupe under the finger while it aims or drags.

import { events } from './protocol.js';

export const TAP_SLOP = 10;            // CSS px a finger may wander and still tap
export const LONG_PRESS_MS = 550;
export const LOUPE_DELAY_MS = 150;     // a quick tap shows no loupe
export const TWO_FINGER_TAP_MS = 300;
export const MOUSE_MOVE_INTERVAL_MS = 16;
const LINE_PX = 16;

const distance = (a, b) => Math.hypot(a.x - b.x, a.y - b.y);
const BUTTONS = ['left', 'middle', 'right'];  // by DOM button number

export class PointerGestures {
  // locate(point, clamp) → fractions of the picture, or null outside it
  //   (with clamp: pulled onto its edge instead);
  // send(event); loupe(point | null): show the loupe for that screen point or hide it;
  // scrollScale(): host points per CSS pixel; timers: {setTimeout, clearTimeout}; now(): ms.
  constructor({ locate, send, loupe = () => {}, scrollScale = () => 1, timers = globalThis, now = () => performance.now() }) {
    Object.assign(this, { locate, send, loupe, scrollScale, timers, now });
    this.touches = new Map();
    this.mode = 'idle';
    this.mouse = null;          // the pressed mouse button's name
    this.lastMouseMove = -Infinity;
    this.scrollRest = { x: 0, y: 0 };
  }

  down(p) {
    if (p.type === 'mouse') return this.mouseDown(p);
    this.touches.set(p.id, { start: p, last: p });
    if (this.touches.size === 1) return this.firstFinger(p);
    if (this.touches.size === 2 && this.mode === 'pending') {
      this.clearTimers();
      this.loupe(null);
      this.mode = 'scroll';
      this.scrollStartedAt = this.now();
      this.scrollMoved = false;
      this.scrollLast = this.centroid();
    }
  }

  move(p) {
    if (p.type === 'mouse') return this.mouseMove(p);
    const touch = this.touches.get(p.id);
    if (!touch) {
      // A pen hovering over the picture moves the pointer.
      if (p.type === 'pen' && this.touches.size === 0) this.hover(p);
      return;
    }
    touch.last = p;
    if (this.mode === 'pending') {
      if (distance(p, touch.start) <= TAP_SLOP) {
        if (this.loupeShown) this.loupe(p);
        return;
      }
      this.clearTimers();
      this.mode = 'drag';
      this.send(events.mouseDown('left', touch.startAt.x, touch.startAt.y));
    }
    if (this.mode === 'drag') {
      const at = this.locate(p, true);
      this.send(events.mouseDragged('left', at.x, at.y));
      this.loupeShown = true;
      this.loupe(p);
    } else if (this.mode === 'scroll') {
      this.scrollBy(this.centroid());
    }
  }

  up(p) {
    if (p.type === 'mouse') return this.mouseUp(p);
    const touch = this.touches.get(p.id);
    if (!touch) return;
    touch.last = p;
    if (this.mode === 'pending') {
      this.clearTimers();
      const at = touch.startAt;
      this.send(events.mouseDown('left', at.x, at.y));
      this.send(events.mouseUp('left', at.x, at.y));
      this.mode = 'done';
    } else if (this.mode === 'drag') {
      const at = this.locate(p, true);
      this.send(events.mouseUp('left', at.x, at.y));
      this.mode = 'done';
    } else if (this.mode === 'scroll' && this.touches.size === 2) {
      const quick = this.now() - this.scrollStartedAt <= TWO_FINGER_TAP_MS;
      if (quick && !this.scrollMoved) {
        const first = [...this.touches.values()][0];
        this.rightClick(first.startAt ?? this.locate(first.start, true));
      }
      this.mode = 'done';
    }
    this.touches.delete(p.id);
    if (this.touches.size === 0) this.reset();
  }

  // The system took the pointer (a browser gesture, a palm): let go of what is held.
  cancel(p) {
    if (p.type === 'mouse') return this.mouseUp({ ...p, button: undefined });
    if (!this.touches.has(p.id)) return;
    if (this.mode === 'drag') {
      const at = this.locate(this.touches.get(p.id).last, true);
      this.send(events.mouseUp('left', at.x, at.y));
    }
    this.mode = 'done';
    this.touches.delete(p.id);
    if (this.touches.size === 0) this.reset();
  }

  // A wheel or touchpad: the picture scrolls the way the page would.
  wheel({ deltaX, deltaY, deltaMode = 0, pageHeight = 800 }) {
    const unit = deltaMode === 1 ? LINE_PX : deltaMode === 2 ? pageHeight : 1;
    this.scrollPixels(-deltaX * unit, -deltaY * unit);
  }

  // Lets go of everything, e.g. when the connection ends mid-gesture.
  reset() {
    this.clearTimers();
    if (this.loupeShown || this.touches.size) this.loupe(null);
    this.loupeShown = false;
    this.touches.clear();
    this.mode = 'idle';
    this.scrollRest = { x: 0, y: 0 };
  }

  firstFinger(p) {
    const at = this.locate(p, false);
    if (!at) {
      this.mode = 'ignored';  // on the letterbox bars
      return;
    }
    this.touches.get(p.id).startAt = at;
    this.mode = 'pending';
    this.loupeShown = false;
    this.loupeTimer = this.timers.setTimeout(() => {
      this.loupeShown = true;
      this.loupe(this.touches.get(p.id)?.last ?? p);
    }, LOUPE_DELAY_MS);
    this.pressTimer = this.timers.setTimeout(() => {
      const touch = this.touches.get(p.id);
      if (this.mode !== 'pending' || !touch) return;
      this.timers.clearTimeout(this.loupeTimer);
      this.mode = 'pressed';
      this.loupeShown = false;
      this.loupe(null);
      this.rightClick(this.locate(touch.last, true));
    }, LONG_PRESS_MS);
  }

  rightClick(at) {
    this.send(events.mouseDown('right', at.x, at.y));
    this.send(events.mouseUp('right', at.x, at.y));
  }

  clearTimers() {
    this.timers.clearTimeout(this.loupeTimer);
    this.timers.clearTimeout(this.pressTimer);
  }

  centroid() {
    let x = 0;
    let y = 0;
    for (const t of this.touches.values()) {
      x += t.last.x;
      y += t.last.y;
    }
    return { x: x / this.touches.size, y: y / this.touches.size };
  }

  scrollBy(c) {
    const dx = c.x - this.scrollLast.x;
    const dy = c.y - this.scrollLast.y;
    this.scrollLast = c;
    if (Math.hypot(dx, dy) > 0) this.scrollMoved = true;
    // Content follows the fingers: fingers moving down scroll up.
    this.scrollPixels(dx, dy);
  }

  // Sends whole host units only: the host truncates each event's scaled
  // delta, so fractions would be lost; they are carried to the next one.
  scrollPixels(dx, dy) {
    const scale = this.scrollScale() / 3;  // the host multiplies by 3
    const x = this.scrollRest.x + dx * scale;
    const y = this.scrollRest.y + dy * scale;
    const sx = Math.trunc(x);
    const sy = Math.trunc(y);
    this.scrollRest = { x: x - sx, y: y - sy };
    if (sx !== 0 || sy !== 0) this.send(events.scrolled(sx, sy));
  }

  hover(p) {
    const t = this.now();
    if (t - this.lastMouseMove < MOUSE_MOVE_INTERVAL_MS) return;
    const at = this.locate(p, false);
    if (!at) return;
    this.lastMouseMove = t;
    this.send(events.mouseMoved(at.x, at.y));
  }

  mouseDown(p) {
    const at = this.locate(p, false);
    if (!at || this.mouse) return;
    const button = BUTTONS[p.button];
    if (button === 'middle') return this.send(events.middleClick(at.x, at.y));
    if (!button) return;
    this.mouse = button;
    this.send(events.mouseDown(button, at.x, at.y));
  }

  mouseMove(p) {
    if (!this.mouse) return this.hover(p);
    const at = this.locate(p, true);
    this.send(events.mouseDragged(this.mouse, at.x, at.y));
  }

  mouseUp(p) {
    // Another button's release while one is held is not ours to pass on.
    if (!this.mouse || (p.button !== undefined && BUTTONS[p.button] !== this.mouse)) return;
    const at = this.locate(p, true);
    this.send(events.mouseUp(this.mouse, at.x, at.y));
    this.mouse = null;
  }
}
