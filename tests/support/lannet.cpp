#include "lannet.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>

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

std::unique_ptr<QProcess> startLanAccountService(const QString& prefix, const QString& dir,
                                                 const QStringList& users, const QString& password,
                                                 const QString& ip, quint16 port, QString& error)
{
    const QString svc = qEnvironmentVariable("TOVIA_BIN_DIR") + QStringLiteral("/ToviaAccountSvc");
    const QString db = QDir(dir).filePath(QStringLiteral("accounts.db"));
    const QString out = QDir(dir).filePath(QStringLiteral("accountsvc.out"));
    for (const QString& user : users) {
        const ToolRun add =
            runTool(svc, {QStringLiteral("--db"), db, QStringLiteral("adduser"), user, password});
        if (add.exitCode != 0) {
            error = QStringLiteral("adduser %1: %2").arg(user, add.output);
            return nullptr;
        }
    }
    auto pSvc = std::make_unique<QProcess>();
    pSvc->setProcessChannelMode(QProcess::MergedChannels);
    pSvc->setStandardOutputFile(out);
    pSvc->start(QStringLiteral("/bin/sh"),
                {QStringLiteral(TOVIA_LANNS_SCRIPT), QStringLiteral("run"), prefix + QStringLiteral("-con"),
                 svc, QStringLiteral("--db"), db, QStringLiteral("--listen"),
                 QStringLiteral("%1:%2").arg(ip).arg(port)});
    if (!pSvc->waitForStarted(5000)) {
        error = QStringLiteral("account service did not start: ") + pSvc->errorString();
        return nullptr;
    }
    // Listening is checked from inside the console host.
    NetnsSwitch inCon;
    if (!inCon.enter(prefix + QStringLiteral("-con"), error))
        return nullptr;
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && pSvc->state() == QProcess::Running) {
        QTcpSocket s;
        s.connectToHost(QHostAddress(ip), port);
        if (s.waitForConnected(500))
            return pSvc;
        QTest::qWait(100);
    }
    error =
        QStringLiteral("account service not listening on %1:%2: %3").arg(ip).arg(port).arg(tailOf(out, 10));
    return nullptr;
}

QString testBinDir()
{
    return qEnvironmentVariable("TOVIA_BIN_DIR");
}

QString lanSkipReason(const QStringList& tools, const QStringList& programs)
{
    if (::geteuid() != 0)
        return QStringLiteral("network namespaces need root; this test runs as root in CI");
    for (const QString& tool : tools) {
        if (findTool(tool).isEmpty())
            return QStringLiteral("the '%1' tool is missing").arg(tool);
    }
    for (const QString& name : programs) {
        if (!QFile::exists(testBinDir() + QLatin1Char('/') + name))
            return QStringLiteral("%1 not built (TOVIA_BIN_DIR is '%2')").arg(name, testBinDir());
    }
    return QString();
}

ToolRun lanUp(const QString& stem, QString& prefix, int agentHosts)
{
    lanns({QStringLiteral("reap"), stem});
    prefix = QStringLiteral("%1-%2").arg(stem).arg(QCoreApplication::applicationPid());
    return lanns({QStringLiteral("up"), prefix, QString::number(agentHosts)});
}

void lanDown(const QString& prefix, bool& lanUp, std::unique_ptr<QProcess>& pAccountSvc)
{
    if (pAccountSvc) {
        pAccountSvc->kill();
        pAccountSvc->waitForFinished(3000);
        pAccountSvc.reset();
    }
    if (!lanUp)
        return;
    const ToolRun down = lanns({QStringLiteral("down"), prefix});
    if (down.exitCode != 0)
        qWarning().noquote() << "LAN tear-down:" << down.output;
    lanUp = false;
}

bool copyProgram(const QString& name, const QString& dir, QString* pOut)
{
    QDir().mkpath(dir);
    const QString to = dir + QLatin1Char('/') + name;
    if (pOut)
        *pOut = to;
    return QFile::copy(testBinDir() + QLatin1Char('/') + name, to);
}

QString readProgramLogs(const QString& home, int tailLines)
{
    QString all;
    const QString dir = home + QStringLiteral("/log");
    for (const QString& name : QDir(dir).entryList({QStringLiteral("log_*.txt")}, QDir::Files, QDir::Name)) {
        const QString path = dir + QLatin1Char('/') + name;
        if (tailLines >= 0) {
            all += tailOf(path, tailLines);
            continue;
        }
        QFile f(path);
        if (f.open(QIODevice::ReadOnly))
            all += QString::fromUtf8(f.readAll());
    }
    return all;
}

LanHostProgram::LanHostProgram() = default;
LanHostProgram::~LanHostProgram() = default;

bool LanHostProgram::start(QString& error)
{
    pProc = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (!keepDisplay)
        env.remove(QStringLiteral("DISPLAY"));
    pProc->setProcessEnvironment(env);
    pProc->setStandardInputFile(QProcess::nullDevice());
    pProc->setProcessChannelMode(QProcess::MergedChannels);
    pProc->setStandardOutputFile(outPath(), QIODevice::Append);
    pProc->start(QStringLiteral("/bin/sh"),
                 QStringList{QStringLiteral(TOVIA_LANNS_SCRIPT), QStringLiteral("run"), ns, program,
                             QStringLiteral("--home"), home, QStringLiteral("--batch")} +
                     args);
    if (!pProc->waitForStarted(5000)) {
        error = QStringLiteral("%1 did not start in %2").arg(program, ns);
        return false;
    }
    return true;
}

bool LanHostProgram::running() const
{
    return pProc && pProc->state() == QProcess::Running;
}

void LanHostProgram::kill()
{
    if (!pProc)
        return;
    pProc->kill();
    pProc->waitForFinished(5000);
    pProc.reset();
}

QString LanHostProgram::logTail(int lines) const
{
    return tailOf(outPath(), 10) + QLatin1Char('\n') + readProgramLogs(home, lines);
}
