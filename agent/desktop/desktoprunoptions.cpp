#include "desktoprunoptions.h"

#include "simusettings.h"

#include <QCoreApplication>

namespace {

int boundedSetting(const char* key, int fallback, int lowest, int highest)
{
    bool ok = false;
    const int value = SimuSettings::value(QString::fromLatin1(key), fallback).toInt(&ok);
    return ok ? qBound(lowest, value, highest) : fallback;
}

} // namespace

DesktopRunOptions DesktopRunOptions::fromSettings(quint16 controlPort, const QString& grabberPath)
{
    DesktopRunOptions o;
    o.controlPort = controlPort;
    o.grabberPath = grabberPath.isEmpty() ? defaultGrabberPath() : grabberPath;
    o.bitRateKbps = boundedSetting("desktop/bitRateKbps", o.bitRateKbps, 200, 50000);
    o.attachGraceMs = boundedSetting("desktop/attachGraceMs", o.attachGraceMs, 200, 600000);
    o.lostGraceMs = boundedSetting("desktop/lostGraceMs", o.lostGraceMs, 200, 600000);
    o.silenceMs = boundedSetting("desktop/silenceMs", o.silenceMs, 500, 600000);
    o.maxGrabberRestarts = boundedSetting("desktop/grabberRestarts", o.maxGrabberRestarts, 0, 100);
    return o;
}

QString DesktopRunOptions::defaultGrabberPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/ToviaMpeg.exe");
}
