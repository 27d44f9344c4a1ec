#pragma once

#include "rmtdsktpmsg.h"

#include <QString>

// How one remote-desktop run behaves: where it listens, what it starts, how long it waits for its
// console. Read from the agent's settings at each begin (keys under "desktop/"), so a changed value
// applies to the next run.
struct DesktopRunOptions
{
    quint16 controlPort = RmtDsktpMsg::kControlPort;
    QString grabberPath; // the ToviaMpeg.exe that is started
    // The stream's bit rate ("desktop/bitRateKbps"): a sharp 1080p desktop on a 100 Mb/s LAN.
    int bitRateKbps = 4000;
    // From the begin until the console's control connection is there ("desktop/attachGraceMs"),
    // from losing it until it is back ("desktop/lostGraceMs"); then the run ends.
    int attachGraceMs = 15000;
    int lostGraceMs = 5000;
    // A console that names its run sends heartbeats; its connection silent this long counts as lost
    // ("desktop/silenceMs").
    int silenceMs = 10000;
    // A grabber that dies while streaming is started again this often in a row
    // ("desktop/grabberRestarts").
    int maxGrabberRestarts = 3;

    static DesktopRunOptions fromSettings(quint16 controlPort, const QString& grabberPath);
    static QString defaultGrabberPath();
};
