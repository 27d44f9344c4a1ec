#include "lannet.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace {
constexpr int kToolMs = 15000;
} // namespace

QString findTool(const QString& name)
{
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
    return path;
}

// Runs the LAN helper (or any program) to its end, bounded.
ToolRun runTool(const QString& program, const QStringList& args)
{
    ToolRun run;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(kToolMs)) {
        p.kill();
        p.waitForFinished(2000);
        run.output = QStringLiteral("%1 did not finish within %2 ms").arg(program).arg(kToolMs);
        return run;
    }
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    run.output = QString::fromUtf8(p.readAll()).trimmed();
    return run;
}

ToolRun lanns(const QStringList& args)
{
    return runTool(QStringLiteral("/bin/sh"), QStringList{QStringLiteral(TOVIA_LANNS_SCRIPT)} + args);
}

QString tailOf(const QString& path, int lines)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("(no %1)").arg(path);
    const QStringList all = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    return all.mid(qMax(0, all.size() - lines)).join(QLatin1Char('\n'));
}

bool NetnsSwitch::enter(const QString& ns, QString& error)
{
    m_home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target =
        ::open(QFile::encodeName(QStringLiteral("/run/netns/") + ns).constData(), O_RDONLY | O_CLOEXEC);
    const bool ok = m_home >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (!ok)
        error =
            QStringLiteral("cannot enter namespace %1: %2").arg(ns, QString::fromLocal8Bit(strerror(errno)));
    if (target >= 0)
        ::close(target);
    return ok;
}

void NetnsSwitch::leave()
{
    if (m_home < 0)
        return;
    if (::setns(m_home, CLONE_NEWNET) != 0)
        qWarning("cannot return to the test's own network namespace: %s", strerror(errno));
    ::close(m_home);
    m_home = -1;
}
