#include "launchertuning.h"

#include "platform.h"
#include "simusettings.h"

#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

namespace {

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

qint64 LauncherTuning::bootGraceMs()
{
    const int polls = SimuSettings::getStartupTimeout().iExtraRet;
    return qint64(polls > 0 ? polls : SimuSettings::kDefaultStartupTimeout) * sleepStepMs();
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

namespace ToolProcess {

QString nativeProgram(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

bool run(QProcess& process, const QString& program, const QStringList& args, int timeoutMs)
{
    process.start(program, args, QIODevice::ReadWrite);
    if (!process.waitForStarted(timeoutMs))
        return false;
    process.waitForFinished(timeoutMs);
    return true;
}

QString decodeUtf8(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

} // namespace ToolProcess
