#pragma once

#include "simurecords.h"

#include <QString>
#include <QtEndian>

// One emulator instance as the inventory knows it: a fixed 164-byte record that is copied byte for
// byte into the discovery reply. Layout (little-endian, no padding):
//   0   4   adb port; the instance is reached as "127.0.0.1:<port>"
//   4   32  memuIdx, the instance's index text, NUL-terminated (at most 31 bytes)
//   36  128 display name, UTF-8, NUL-terminated (at most 127 bytes)
#pragma pack(push, 1)
struct SimuInfo
{
    static constexpr int kIdxSize = 32;
    static constexpr int kNameSize = 128;

    qint32_le iAdbPort;
    char memuIdx[kIdxSize];
    char simuName[kNameSize];

    SimuInfo() { clear(); }
    void clear();

    int adbPort() const { return iAdbPort; }
    void setAdbPort(int port) { iAdbPort = port; }
    // The texts are cut on a character boundary so that they never overrun their fields.
    void setIdx(const QString& idx);
    void setIdxLocal8Bit(const QString& idx);
    void setName(const QString& name);
    QString idx() const;
    QString name() const;
    // "127.0.0.1:<port>"
    QString adbSerial() const;
};
#pragma pack(pop)

using struSimuInfo = SimuInfo;

static_assert(sizeof(SimuInfo) == 164, "SimuInfo must stay 164 bytes: it is sent as it is");

// At most this many instances are read from a product (and created on this PC).
constexpr int kMaxSimuCount = kMaxSimusPerPc;
// The caller's buffer of GetSimusInfoArray: exactly kMaxSimuCount entries (8200 bytes).
constexpr int kSimuInfoArrayBytes = kMaxSimuCount * int(sizeof(SimuInfo));
