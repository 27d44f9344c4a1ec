#pragma once

#include "discovery.h"

#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QVector>

// Records the console's discovery worker hands to the GUI thread. They travel by value through
// queued signals, so nothing is leaked when a receiver is gone.

// One decoded PC information reply (kind 0) and the address it came from.
struct struPcInfoReply
{
    struPcUdpInfo header;
    QList<struSimuEntry> simus;
    QHostAddress from;
};

// One emulator's state report (kind 1) with its thumbnail. The JPEG bytes stay encoded: tiles decode
// them only when they are painted.
struct struSimuReport
{
    QString pcName;
    QString memuIdx;
    int iState = 0;
    int iTime = 0;
    int iDaemonModel = 0;
    QByteArray jpeg; // empty: no picture, or the emulator is not shown as running or installing
};

// What a tile is made from, and the target of a remote-desktop window: two integers and five texts.
struct struVedioBoxInfo
{
    int iReserved = 0;
    int iPort = 0;         // remote desktop: the video port
    QString strPcName;     // the agent PC's name (its key)
    QString strSimuName;   // the emulator's display name
    QString strIpAddr;     // the agent PC's IPv4 address, dotted
    QString strMemuIdx;    // the emulator's index
    QString strPcNickName; // the title of the PC's tile drawer
};

using SimuReportList = QVector<struSimuReport>;

Q_DECLARE_METATYPE(struPcInfoReply)
Q_DECLARE_METATYPE(struSimuReport)
Q_DECLARE_METATYPE(SimuReportList)
Q_DECLARE_METATYPE(struVedioBoxInfo)

namespace ConsoleTypes {
// Registers the records above for queued connections; safe to call more than once.
void registerMetaTypes();
} // namespace ConsoleTypes
