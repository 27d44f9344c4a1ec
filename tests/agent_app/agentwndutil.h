#pragma once

// Helpers of the tests that run the agent window in-process: free ports, the operation log as the
// file and the pane show it.

#include "mainwnd.h"
#include "simusettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTextEdit>

namespace AgentWndUtil {

// Ports of the system's choice, no automatic login.
inline MainWnd::Options freePorts()
{
    MainWnd::Options opts;
    opts.udpPort = 0;
    opts.tcpPort = 0;
    opts.autoLogin = false;
    return opts;
}

inline bool touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

// The texts of the run's operation-log file(s) of the data directory, without their time stamps.
inline QStringList operLogTexts()
{
    QStringList texts;
    const QDir dir(SimuSettings::logDir());
    for (const QString& name : dir.entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name)) {
        if (name.startsWith(QLatin1String("log_")))
            continue; // the debug log
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QString& line :
             QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
            texts << line.section(QLatin1Char(':'), 3); // after "MM-dd hh:mm:ss:"
    }
    return texts;
}

// The lines of the window's log pane, without their time stamps.
inline QStringList paneTexts(const MainWnd& wnd)
{
    QStringList texts;
    for (const QString& line : wnd.logPane()->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        texts << line.section(QLatin1Char(':'), 3);
    return texts;
}

} // namespace AgentWndUtil
