// What the keyboard field sends: text as typeText, and keys that are not
// text (Return, arrows, chords with Control/Command/Alt) as keyEvent with the
// host's virtual key codes (the ANSI layout's physical positions).

// DOM `code` (physical key) → virtual key.
const CODES = {
  KeyA: 0, KeyS: 1, KeyD: 2, KeyF: 3, KeyH: 4, KeyG: 5, KeyZ: 6, KeyX: 7, KeyC: 8, KeyV: 9,
  KeyB: 11, KeyQ: 12, KeyW: 13, KeyE: 14, KeyR: 15, KeyY: 16, KeyT: 17,
  Digit1: 18, Digit2: 19, Digit3: 20, Digit4: 21, Digit6: 22, Digit5: 23, Equal: 24, Digit9: 25,
  Digit7: 26, Minus: 27, Digit8: 28, Digit0: 29, BracketRight: 30, KeyO: 31, KeyU: 32,
  BracketLeft: 33, KeyI: 34, KeyP: 35, KeyL: 37, KeyJ: 38, Quote: 39, KeyK: 40, Semicolon: 41,
  Backslash: 42, Comma: 43, Slash: 44, KeyN: 45, KeyM: 46, Period: 47, Backquote: 50,
};

// DOM `key` of keys that are never text → virtual key.
export const SPECIAL_KEYS = {
  Enter: 36, Tab: 48, Backspace: 51, Escape: 53, Delete: 117,
  ArrowLeft: 123, ArrowRight: 124, ArrowDown: 125, ArrowUp: 126,
  Home: 115, End: 119, PageUp: 116, PageDown: 121, Insert: 114,
  F1: 122, F2: 120, F3: 99, F4: 118, F5: 96, F6: 97, F7: 98, F8: 100, F9: 101, F10: 109, F11: 103, F12: 111,
};

// Letters and digits by the character when the physical key is unknown
// (some virtual keyboards leave `code` empty).
const CHARACTERS = {};
for (const [code, vkey] of Object.entries(CODES)) {
  if (code.startsWith('Key')) CHARACTERS[code.slice(3).toLowerCase()] = vkey;
  if (code.startsWith('Digit')) CHARACTERS[code.slice(5)] = vkey;
}
Object.assign(CHARACTERS, { ' ': 49, '=': 24, '-': 27, ']': 30, '[': 33, "'": 39, ';': 41, '\\': 42, ',': 43,
  '/': 44, '.': 47, '`': 50 });

export const KEY_SPACE = 49;

// Modifiers in the order the host presses them.
export function modifiersOf(e) {
  const out = [];
  if (e.metaKey) out.push('cmd');
  if (e.shiftKey) out.push('shift');
  if (e.altKey) out.push('alt');
  if (e.ctrlKey) out.push('ctrl');
  return out;
}

// The keyEvent a keydown stands for, or null when it is text (sent through the
// input events) or nothing the host knows. Shift alone keeps a printable key
// text; Control, Command or Alt make it a chord.
export function keyForKeydown(e) {
  if (e.isComposing || e.key === 'Process' || e.key === 'Dead') return null;
  const modifiers = modifiersOf(e);
  if (Object.hasOwn(SPECIAL_KEYS, e.key)) return { keyCode: SPECIAL_KEYS[e.key], modifiers };
  if (!e.metaKey && !e.ctrlKey && !e.altKey) return null;
  // AltGr or Option typing a symbol ("€", "@", "å"): text, not a shortcut.
  if (e.altKey && !e.metaKey && [...e.key].length === 1 && !/^[a-z0-9]$/i.test(e.key)) return null;
  const keyCode = Object.hasOwn(CODES, e.code) ? CODES[e.code] : CHARACTERS[e.key.toLowerCase()];
  return keyCode === undefined ? null : { keyCode, modifiers };
}

// The key the on-screen strip's button names, with its sticky modifiers.
export function keyForName(name, modifiers = []) {
  if (Object.hasOwn(SPECIAL_KEYS, name)) return { keyCode: SPECIAL_KEYS[name], modifiers: [...modifiers] };
  const keyCode = CHARACTERS[name.toLowerCase()];
  return keyCode === undefined ? null : { keyCode, modifiers: [...modifiers] };
}

// What a `beforeinput` of the keyboard field sends: text, a key, or nothing.
export function actionForInput(inputType, data) {
  switch (inputType) {
    case 'insertText':
    case 'insertReplacementText':
    case 'insertFromPaste':
    case 'insertFromDrop':
      return data ? { text: data } : null;
    case 'insertLineBreak':
    case 'insertParagraph':
      return { keyCode: SPECIAL_KEYS.Enter, modifiers: [] };
    case 'deleteContentBackward':
    case 'deleteWordBackward':
      return { keyCode: SPECIAL_KEYS.Backspace, modifiers: [] };
    case 'deleteContentForward':
    case 'deleteWordForward':
      return { keyCode: SPECIAL_KEYS.Delete, modifiers: [] };
    default:
      return null;
  }
}
