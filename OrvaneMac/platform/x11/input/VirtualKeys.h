#pragma once

#include <X11/X.h>

#include "OrvaneMac/platform/CGEvent.h"

namespace orvane::x11 {

// What the command keys become. Control keeps the shortcuts a Mac user types
// (cmd+c, cmd+v, cmd+z) working in most Linux applications; Super suits
// desktops set up to use it the way macOS uses command.
enum class CommandKey { control, super };

// The X keysym of a macOS virtual key code of the ANSI layout; NoSymbol for
// keys X has no counterpart for. Both command keys and both of every other
// modifier pair give the left-hand keysym: those are the ones every keymap
// lists in its modifier map.
KeySym keysymForVirtualKey(CGKeyCode key, CommandKey command);

// The keysym of a media key (NX_KEYTYPE_* of a system-defined event); NoSymbol
// for key types that have none.
KeySym keysymForMediaKey(int keyType);

// The keysym that types one code point: Return, Tab, BackSpace and Escape for
// the controls a text carries, the Latin-1 keysym below U+0100, else the
// Unicode keysym range. NoSymbol for other controls and non-characters.
KeySym keysymForCharacter(char32_t codePoint);

}  // namespace orvane::x11
