#pragma once

#include "ports.h"

// Codes of the remote-desktop control messages ({"type","int1","int2"} on the control connection,
// console to agent). Codes 1..16 are the mouse: x and y in the agent's screen pixels. Codes from 256
// on are the keyboard and the wheel. Any other code is ignored by the agent.
namespace RmtDsktpMsg {

enum eType
{
    eMouseMove = 1,
    eLeftDown = 2,
    eLeftUp = 4,
    eRightDown = 8,
    eRightUp = 16,
    eKeyDown = 256, // int1: Windows virtual-key code
    eKeyUp = 257,   // int1: Windows virtual-key code
    eWheel = 258,   // int1: notches, positive away from the user
};

// TCP port of the agent's control server during a run.
constexpr quint16 kControlPort = Tovia::kDesktopControlPort;

} // namespace RmtDsktpMsg
