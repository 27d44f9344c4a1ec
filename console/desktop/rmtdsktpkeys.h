#pragma once

// Keys of the viewer as the agent replays them: the Windows virtual-key code of the key that a US
// keyboard would press for a Qt key. Shifted symbols give their unshifted key ("!" gives "1"),
// since Shift travels as a key of its own. keypad: the key was on the numeric keypad.
// 0 when the key has no code.
namespace RmtDsktpKeys {
int virtualKeyOf(int qtKey, bool keypad = false);
}
