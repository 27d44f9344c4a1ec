#pragma once

#include <QString>

// What one remote-desktop viewer is built from: where the stream arrives and whose desktop it is.
struct struRmtDsktpTarget
{
    int iFirst = 0;   // 0 for a viewer
    int iPort = 0;    // local UDP port on which the stream is received (0: chosen by the decoder)
    QString strFirst; // empty for a viewer
    QString strName;  // the emulator's display name (second part of the window title)
    QString strAddr;  // the agent PC's IPv4 address, dotted
    QString strIdx;   // the emulator's index (memuIdx)
    QString strTitle; // the title of the drawer the viewer was opened from (first part of the title)
    QString strRunId; // the run the viewer's begin starts; its control connection names it
};
