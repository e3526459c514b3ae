// The control events on the "control" data channel: one JSON object per
// message, "type" plus that case's members. Incoming messages come from the
// network and are checked member by member; one that does not fit is dropped.

export const MOUSE_BUTTONS = ['left', 'right', 'middle'];
export const MODIFIER_KEYS = ['cmd', 'shift', 'alt', 'ctrl'];
export const VIDEO_QUALITIES = ['high', 'low'];

const none = [];
const pointer = [['button', 'button'], ['x', 'double'], ['y', 'double']];

// Each case's members in encoding order, with their kinds.
export const EVENT_MEMBERS = {
  mouseMoved: [['x', 'double'], ['y', 'double']],
  mouseDown: pointer,
  mouseUp: pointer,
  mouseDragged: pointer,
  mouseClicked: pointer,
  doubleClick: pointer,
  middleClick: [['x', 'double'], ['y', 'double']],
  scrolled: [['deltaX', 'double'], ['deltaY', 'double']],
  keyEvent: [['keyCode', 'int'], ['modifiers', 'modifiers'], ['isDown', 'bool']],
  typeText: [['text', 'string']],
  volumeUp: none,
  volumeDown: none,
  mute: none,
  brightnessUp: none,
  brightnessDown: none,
  appSwitchGesture: none,
  resizeWindow: [['width', 'int'], ['height', 'int']],
  moveWindow: [['x', 'int'], ['y', 'int']],
  minimizeWindow: none,
  zoomWindow: none,
  closeWindow: none,
  titleBarZoom: none,
  toggleFullScreen: none,
  enlargeWindow: none,
  shrinkWindow: none,
  requestWindowList: none,
  switchToWindow: [['windowID', 'string']],
  setVideoQuality: [['quality', 'quality']],
  padScreenInfo: [['width', 'int'], ['height', 'int']],
  launchApp: [['text', 'string']],
  searchApps: [['text', 'string']],
  textFieldFocused: [['focused', 'bool']],
  windowList: [['windows', 'windows']],
  appSuggestions: [['text', 'string'], ['names', 'strings']],
  screenInfo: [['width', 'int'], ['height', 'int'], ['scaleFactor', 'double']],
  windowFocused: [['title', 'string'], ['appName', 'string']],
  localControlActive: [['active', 'bool']],
  captureStalled: [['active', 'bool']],
  peerVersion: [['build', 'int'], ['marketing', 'string']],
};

const isObject = (v) => typeof v === 'object' && v !== null && !Array.isArray(v);
const isString = (v) => typeof v === 'string';
const BASE64 = /^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/;

// A window record; "thumbnail" is optional but must be Base64 when present.
function readWindow(v) {
  if (!isObject(v) || !isString(v.id) || !isString(v.appName) || !isString(v.windowTitle)) return undefined;
  const out = { id: v.id, appName: v.appName, windowTitle: v.windowTitle };
  if (v.thumbnail !== undefined && v.thumbnail !== null) {
    if (!isString(v.thumbnail) || !BASE64.test(v.thumbnail)) return undefined;
    out.thumbnail = v.thumbnail;
  }
  return out;
}

const readers = {
  double: (v) => (typeof v === 'number' && Number.isFinite(v) ? v : undefined),
  int: (v) => (Number.isSafeInteger(v) ? v : undefined),
  bool: (v) => (typeof v === 'boolean' ? v : undefined),
  string: (v) => (isString(v) ? v : undefined),
  button: (v) => (MOUSE_BUTTONS.includes(v) ? v : undefined),
  quality: (v) => (VIDEO_QUALITIES.includes(v) ? v : undefined),
  modifiers: (v) => (Array.isArray(v) && v.every((m) => MODIFIER_KEYS.includes(m)) ? [...v] : undefined),
  strings: (v) => (Array.isArray(v) && v.every(isString) ? [...v] : undefined),
  windows: (v) => {
    if (!Array.isArray(v)) return undefined;
    const out = v.map(readWindow);
    return out.every((w) => w !== undefined) ? out : undefined;
  },
};

// The event as an object of exactly its members, or null when the text is not one.
export function decodeControlEvent(text) {
  let value;
  try {
    value = JSON.parse(text);
  } catch {
    return null;
  }
  if (!isObject(value) || !isString(value.type) || !Object.hasOwn(EVENT_MEMBERS, value.type)) return null;
  const event = { type: value.type };
  for (const [key, kind] of EVENT_MEMBERS[value.type]) {
    const member = readers[kind](value[key]);
    if (member === undefined) return null;
    event[key] = member;
  }
  return event;
}

// One message's text. Throws on an event this side would never send
// correctly: a programming error, not input.
export function encodeControlEvent(event) {
  const members = EVENT_MEMBERS[event.type];
  if (!members) throw new Error(`unknown control event ${event.type}`);
  const out = { type: event.type };
  for (const [key, kind] of members) {
    if (readers[kind](event[key]) === undefined) throw new Error(`${event.type}.${key} is not a valid ${kind}`);
    out[key] = event[key];
  }
  return JSON.stringify(out);
}

// Builders for what the pad sends.
export const events = {
  mouseMoved: (x, y) => ({ type: 'mouseMoved', x, y }),
  mouseDown: (button, x, y) => ({ type: 'mouseDown', button, x, y }),
  mouseUp: (button, x, y) => ({ type: 'mouseUp', button, x, y }),
  mouseDragged: (button, x, y) => ({ type: 'mouseDragged', button, x, y }),
  middleClick: (x, y) => ({ type: 'middleClick', x, y }),
  scrolled: (deltaX, deltaY) => ({ type: 'scrolled', deltaX, deltaY }),
  keyEvent: (keyCode, modifiers, isDown) => ({ type: 'keyEvent', keyCode, modifiers, isDown }),
  typeText: (text) => ({ type: 'typeText', text }),
  simple: (type) => ({ type }),
  switchToWindow: (windowID) => ({ type: 'switchToWindow', windowID }),
  setVideoQuality: (quality) => ({ type: 'setVideoQuality', quality }),
  padScreenInfo: (width, height) => ({ type: 'padScreenInfo', width, height }),
  launchApp: (text) => ({ type: 'launchApp', text }),
  searchApps: (text) => ({ type: 'searchApps', text }),
  peerVersion: (build, marketing) => ({ type: 'peerVersion', build, marketing }),
};
