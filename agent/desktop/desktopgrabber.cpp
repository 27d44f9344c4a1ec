#include "desktopgrabber.h"

#include "agentlogging.h"
#include "grabberrecord.h"
#include "rmtdsktpmsg.h"

#include <QDebug>
#include <QDir>
#include <QTimer>

namespace {

constexpr int kEndWaitMs = 100;
constexpr int kMaxLineBytes = 4096;

QString quotedCommandLine(const QString& program, const QStringList& args)
{
    return QStringLiteral("\"%1\" %2").arg(QDir::toNativeSeparators(program), args.join(QLatin1Char(' ')));
}

} // namespace

DesktopGrabber::DesktopGrabber(const QString& program, int bitRateKbps, int maxRestarts, QObject* parent)
    : QObject(parent), m_program(program), m_bitRateKbps(bitRateKbps), m_maxRestarts(maxRestarts)
{
}

DesktopGrabber::~DesktopGrabber()
{
    stop();
}

QStringList DesktopGrabber::arguments(const QString& strUrl, int bitRateKbps)
{
    // B-frames would hold every picture back until the next reference frame arrives; each picture
    // leaves at once instead of waiting in the output buffer for the next one. The bit rate is a
    // ceiling (a one-second buffer), not an average the encoder overshoots on a busy desktop.
    return {QStringLiteral("-hide_banner"),
            QStringLiteral("-nostats"),
            QStringLiteral("-loglevel"),
            QStringLiteral("warning"),
            QStringLiteral("-probesize"),
            QStringLiteral("32"),
            QStringLiteral("-f"),
            QStringLiteral("gdigrab"),
            QStringLiteral("-framerate"),
            QString::number(kFrameRate),
            QStringLiteral("-i"),
            QStringLiteral("desktop"),
            QStringLiteral("-vcodec"),
            QStringLiteral("mpeg2video"),
            QStringLiteral("-b:v"),
            QStringLiteral("%1k").arg(bitRateKbps),
            QStringLiteral("-maxrate"),
            QStringLiteral("%1k").arg(bitRateKbps),
            QStringLiteral("-bufsize"),
            QStringLiteral("%1k").arg(bitRateKbps),
            QStringLiteral("-g"),
            QString::number(kKeyFrameInterval),
            QStringLiteral("-bf"),
            QStringLiteral("0"),
            QStringLiteral("-flush_packets"),
            QStringLiteral("1"),
            QStringLiteral("-f"),
            QStringLiteral("mpeg2video"),
            strUrl};
}

qint64 DesktopGrabber::pid() const
{
    return m_pid;
}

void DesktopGrabber::start(const QString& strUrl)
{
    m_url = strUrl;
    m_stopped = false;
    m_restarts = 0;
    launch();
}

void DesktopGrabber::launch()
{
    if (m_stopped)
        return;
    m_pProcess = new QProcess(this);
    m_pProcess->setProcessChannelMode(QProcess::MergedChannels);
    m_pProcess->setProgram(QDir::toNativeSeparators(m_program));
    m_pProcess->setArguments(arguments(m_url, m_bitRateKbps));
    connect(m_pProcess, &QProcess::readyReadStandardOutput, this, &DesktopGrabber::onOutput);
    qCInfo(lcDesktop).noquote() << "start ffmpeg cmd:"
                                << quotedCommandLine(m_program, m_pProcess->arguments());
    m_pProcess->start(QIODevice::ReadWrite);
    if (!m_pProcess->waitForStarted(kStartWaitMs)) {
        const QString why = m_pProcess->errorString();
        qCWarning(lcDesktop).noquote() << "the grabber did not start:" << why;
        m_pProcess->deleteLater();
        m_pProcess = nullptr;
        emit sigFailed(RmtDsktpMsg::eEndGrabberFailed, QStringLiteral("%1: %2").arg(m_program, why));
        return;
    }
    m_pid = m_pProcess->processId();
    m_running.start();
    GrabberRecord::add(m_pid);
    connect(m_pProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &DesktopGrabber::onFinished);
    emit sigStarted(m_pid);
}

void DesktopGrabber::onOutput()
{
    while (m_pProcess && m_pProcess->canReadLine()) {
        const QString line = QString::fromLocal8Bit(m_pProcess->readLine()).trimmed();
        qCWarning(lcDesktop).noquote() << "ToviaMpeg:" << line;
        if (!line.isEmpty())
            m_lastWords = line;
    }
    // A line longer than the buffer would otherwise pile up.
    if (m_pProcess && m_pProcess->bytesAvailable() > kMaxLineBytes)
        qCWarning(lcDesktop).noquote()
            << "ToviaMpeg:" << QString::fromLocal8Bit(m_pProcess->readAll()).trimmed();
}

void DesktopGrabber::onFinished(int exitCode, QProcess::ExitStatus status)
{
    onOutput();
    const qint64 ranMs = m_running.elapsed();
    qCWarning(lcDesktop) << "grabber ended, exit code" << exitCode << "status" << status << "after" << ranMs
                         << "ms";
    forget();
    const QString lastWords =
        m_lastWords.isEmpty() ? QStringLiteral("exit code %1").arg(exitCode) : m_lastWords;
    if (ranMs < kQuickExitMs) {
        emit sigFailed(RmtDsktpMsg::eEndGrabberFailed, lastWords);
        return;
    }
    if (ranMs >= kWorkedMs)
        m_restarts = 0;
    if (m_restarts >= m_maxRestarts) {
        emit sigFailed(RmtDsktpMsg::eEndGrabberStopped, lastWords);
        return;
    }
    ++m_restarts;
    qCWarning(lcDesktop) << "grabber started again, restart" << m_restarts << "of" << m_maxRestarts;
    QTimer::singleShot(kRestartPauseMs, this, &DesktopGrabber::launch);
}

// The process object is let go; a running process is killed with it.
void DesktopGrabber::forget()
{
    if (!m_pProcess)
        return;
    disconnect(m_pProcess, nullptr, this, nullptr);
    if (m_pid > 0)
        GrabberRecord::remove(m_pid);
    m_pProcess->deleteLater();
    m_pProcess = nullptr;
}

void DesktopGrabber::stop()
{
    m_stopped = true;
    if (!m_pProcess)
        return;
    disconnect(m_pProcess, nullptr, this, nullptr);
    m_pProcess->waitForFinished(kEndWaitMs);
    m_pProcess->close(); // kills what still runs
    delete m_pProcess;
    m_pProcess = nullptr;
    if (m_pid > 0)
        GrabberRecord::remove(m_pid);
}
