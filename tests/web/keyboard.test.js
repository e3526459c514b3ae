import assert from 'node:assert/strict';
import { test } from 'node:test';

import { actionForInput, keyForKeydown, keyForName } from '../../OrvaneServer/web/keyboard.js';

const key = (key, code = '', mods = {}) => ({ key, code, metaKey: false, ctrlKey: false, altKey: false,
  shiftKey: false, isComposing: false, ...mods });

test('keys that are not text become virtual keys with their modifiers', () => {
  assert.deepEqual(keyForKeydown(key('Enter', 'Enter')), { keyCode: 36, modifiers: [] });
  assert.deepEqual(keyForKeydown(key('Tab', 'Tab', { shiftKey: true })), { keyCode: 48, modifiers: ['shift'] });
  assert.deepEqual(keyForKeydown(key('Escape')), { keyCode: 53, modifiers: [] });
  assert.deepEqual(keyForKeydown(key('Backspace')), { keyCode: 51, modifiers: [] });
  assert.deepEqual(keyForKeydown(key('Delete')), { keyCode: 117, modifiers: [] });
  assert.deepEqual(['ArrowLeft', 'ArrowRight', 'ArrowDown', 'ArrowUp'].map((k) => keyForKeydown(key(k)).keyCode),
    [123, 124, 125, 126]);
  assert.deepEqual(keyForKeydown(key('F5')), { keyCode: 96, modifiers: [] });
});

test('chords use the physical key, in the host order of modifiers', () => {
  assert.deepEqual(keyForKeydown(key('c', 'KeyC', { ctrlKey: true })), { keyCode: 8, modifiers: ['ctrl'] });
  assert.deepEqual(keyForKeydown(key('Z', 'KeyZ', { metaKey: true, shiftKey: true })),
    { keyCode: 6, modifiers: ['cmd', 'shift'] });
  // A layout that puts "z" where ANSI has "y" still presses the key under the finger.
  assert.deepEqual(keyForKeydown(key('z', 'KeyY', { ctrlKey: true })), { keyCode: 16, modifiers: ['ctrl'] });
  // A virtual keyboard without physical codes falls back to the character.
  assert.deepEqual(keyForKeydown(key('a', '', { ctrlKey: true, altKey: true })), { keyCode: 0, modifiers: ['alt', 'ctrl'] });
  assert.deepEqual(keyForKeydown(key('1', 'Digit1', { altKey: true })), { keyCode: 18, modifiers: ['alt'] });
});

test('text stays text: plain and shifted characters, AltGr and Option symbols, compositions', () => {
  assert.equal(keyForKeydown(key('a', 'KeyA')), null);
  assert.equal(keyForKeydown(key('A', 'KeyA', { shiftKey: true })), null);
  assert.equal(keyForKeydown(key('€', 'KeyE', { ctrlKey: true, altKey: true })), null);
  assert.equal(keyForKeydown(key('@', 'KeyQ', { ctrlKey: true, altKey: true })), null);
  assert.equal(keyForKeydown(key('å', 'KeyA', { altKey: true })), null);
  assert.equal(keyForKeydown(key('Enter', 'Enter', { isComposing: true })), null);
  assert.equal(keyForKeydown(key('Unidentified', '')), null);
  assert.equal(keyForKeydown(key('Shift', 'ShiftLeft', { shiftKey: true })), null);
});

test('input events of the field and the key strip', () => {
  assert.deepEqual(actionForInput('insertText', 'é'), { text: 'é' });
  assert.deepEqual(actionForInput('insertFromPaste', 'two words'), { text: 'two words' });
  assert.equal(actionForInput('insertText', ''), null);
  assert.deepEqual(actionForInput('insertLineBreak', null), { keyCode: 36, modifiers: [] });
  assert.deepEqual(actionForInput('deleteContentBackward', null), { keyCode: 51, modifiers: [] });
  assert.deepEqual(actionForInput('deleteContentForward', null), { keyCode: 117, modifiers: [] });
  assert.equal(actionForInput('insertCompositionText', 'x'), null);
  assert.deepEqual(keyForName('Escape', ['ctrl']), { keyCode: 53, modifiers: ['ctrl'] });
  assert.deepEqual(keyForName('T', ['cmd']), { keyCode: 17, modifiers: ['cmd'] });
  assert.equal(keyForName('€'), null);
});
