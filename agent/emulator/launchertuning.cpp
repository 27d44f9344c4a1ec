#include "launchertuning.h"

#include "agentsettings.h"
#include "platform.h"

#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

namespace {

thread_local ToolDeadline* t_pDeadline = nullptr;

int positiveSetting(const char* key)
{
    bool ok = false;
    const int value = SimuSettings::value(QLatin1String(key)).toInt(&ok);
    return ok && value > 0 ? value : 0;
}

} // namespace

int LauncherTuning::sleepStepMs()
{
    const int value = positiveSetting("tuning/sleepStepMs");
    return value > 0 ? value : kDefaultSleepStepMs;
}

int LauncherTuning::toolTimeoutMs(int defaultMs)
{
    const int value = positiveSetting("tuning/toolTimeoutMs");
    return value > 0 ? qMin(value, defaultMs) : defaultMs;
}

int LauncherTuning::adbTimeoutMs(int seconds)
{
    const int defaultMs = seconds * 1000;
    const int value = positiveSetting("tuning/adbTimeoutMs");
    return value > 0 ? qMin(value, defaultMs) : defaultMs;
}

bool LauncherTuning::adbShellsOn()
{
    return SimuSettings::value(QStringLiteral("tuning/adbShells"), 1).toInt() != 0;
}

qint64 LauncherTuning::bootGraceMs()
{
    const int polls = AgentSettings::startupTimeout;
    return qint64(polls > 0 ? polls : AgentSettings::startupTimeout.defaultValue()) * sleepStepMs();
}

bool LauncherTuning::isBooting(qint64 pid)
{
    const qint64 age = platform::processAgeMs(pid);
    return age >= 0 && age < bootGraceMs();
}

void LauncherTuning::sleepMs(int ms)
{
    if (ms <= 0)
        return;
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

ToolDeadline::ToolDeadline(int ms) : m_deadline(qMax(0, ms)), m_pOuter(t_pDeadline)
{
    if (m_pOuter && m_pOuter->m_deadline < m_deadline)
        m_deadline = m_pOuter->m_deadline;
    t_pDeadline = this;
}

ToolDeadline::~ToolDeadline()
{
    t_pDeadline = m_pOuter;
}

int ToolDeadline::bound(int ms)
{
    if (!t_pDeadline)
        return ms;
    return int(qMin<qint64>(ms, t_pDeadline->m_deadline.remainingTime()));
}

bool ToolDeadline::expired()
{
    return t_pDeadline && t_pDeadline->m_deadline.hasExpired();
}

namespace ToolProcess {

QString nativeProgram(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

bool run(QProcess& process, const QString& program, const QStringList& args, int timeoutMs)
{
    process.start(program, args, QIODevice::ReadWrite);
    if (!process.waitForStarted(ToolDeadline::bound(timeoutMs)))
        return false;
    if (!process.waitForFinished(ToolDeadline::bound(timeoutMs)))
        stop(process);
    return true;
}

void stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(kKillWaitMs);
}

QString decodeUtf8(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

} // namespace ToolProcess
