import assert from 'node:assert/strict';
import { test } from 'node:test';

import { actionForInput, keyForKeydown, keyForName } from '../../OrvaneServer/web/keyboard.js';

const key = (key, code = '', mods = {}) => ({ key, code, metaKey: false, ctrlKey: false, altKey: false,
  shiftKey: false, isComposing: false, ...mods });

test('keys that are not text become virtual keys; chords use the physical key, modifiers in host order', () => {
  for (const [event, keyCode, modifiers = []] of [
    [key('Enter', 'Enter'), 36], [key('Tab', 'Tab', { shiftKey: true }), 48, ['shift']], [key('Escape'), 53],
    [key('Backspace'), 51], [key('Delete'), 117], [key('F5'), 96],
    [key('ArrowLeft'), 123], [key('ArrowRight'), 124], [key('ArrowDown'), 125], [key('ArrowUp'), 126],
    [key('c', 'KeyC', { ctrlKey: true }), 8, ['ctrl']],
    [key('Z', 'KeyZ', { metaKey: true, shiftKey: true }), 6, ['cmd', 'shift']],
    // A layout that puts "z" where ANSI has "y" still presses the key under the finger.
    [key('z', 'KeyY', { ctrlKey: true }), 16, ['ctrl']],
    // A virtual keyboard without physical codes falls back to the character.
    [key('a', '', { ctrlKey: true, altKey: true }), 0, ['alt', 'ctrl']],
    [key('1', 'Digit1', { altKey: true }), 18, ['alt']],
  ]) {
    assert.deepEqual(keyForKeydown(event), { keyCode, modifiers }, `${event.key} ${event.code}`);
  }
});

test('text stays text: plain and shifted characters, AltGr and Option symbols, compositions', () => {
  for (const event of [
    key('a', 'KeyA'), key('A', 'KeyA', { shiftKey: true }), key('€', 'KeyE', { ctrlKey: true, altKey: true }),
    key('@', 'KeyQ', { ctrlKey: true, altKey: true }), key('å', 'KeyA', { altKey: true }),
    key('Enter', 'Enter', { isComposing: true }), key('Unidentified', ''), key('Shift', 'ShiftLeft', { shiftKey: true }),
  ]) {
    assert.equal(keyForKeydown(event), null, `${event.key} ${event.code}`);
  }
});

test('input events of the field and the key strip', () => {
  for (const [type, data, expected] of [
    ['insertText', 'é', { text: 'é' }], ['insertFromPaste', 'two words', { text: 'two words' }],
    ['insertText', '', null], ['insertCompositionText', 'x', null],
    ['insertLineBreak', null, { keyCode: 36, modifiers: [] }],
    ['deleteContentBackward', null, { keyCode: 51, modifiers: [] }],
    ['deleteContentForward', null, { keyCode: 117, modifiers: [] }],
  ]) {
    assert.deepEqual(actionForInput(type, data), expected, type);
  }
  assert.deepEqual(keyForName('Escape', ['ctrl']), { keyCode: 53, modifiers: ['ctrl'] });
  assert.deepEqual(keyForName('T', ['cmd']), { keyCode: 17, modifiers: ['cmd'] });
  assert.equal(keyForName('€'), null);
});
