#include "adbshellsession.h"

#include "agentlogging.h"
#include "launchertuning.h"
#include "platform.h"

#include <QDateTime>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimer>

#include <atomic>

namespace {

constexpr int kAdbErrorCode = 22;
// A frame of a phone's screen is megabytes: read in a few large pieces rather than many small.
constexpr int kShellPipeBytes = 1 << 20;

// The shell's process, its output pipe widened in the child before adb runs.
class ShellProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override { platform::enlargePipe(1, kShellPipeBytes); }
};
// Output before a command's begin marker (a prompt, a banner) is dropped; this much is kept while
// the marker is looked for.
constexpr int kMaxPreambleBytes = 64 * 1024;
// Where a command's end marker is looked for: this much at the end of its output.
constexpr int kEndTailBytes = 512;

std::atomic<int> g_liveShells{0};

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Counts the process while it runs, whatever becomes of the session's own connections to it.
void countWhileRunning(QProcess* p)
{
    QObject::connect(p, &QProcess::started, p, [p] {
        p->setProperty("counted", true);
        ++g_liveShells;
    });
    QObject::connect(p, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), p, [p] {
        if (p->property("counted").toBool())
            --g_liveShells;
        p->setProperty("counted", false);
    });
}

} // namespace

AdbShellSession::AdbShellSession(QString program, QString serial, QObject* parent)
    : QObject(parent), m_program(std::move(program)), m_serial(std::move(serial)),
      m_nonce(QByteArray::number(QRandomGenerator::global()->generate64(), 36)),
      m_pDeadline(new QTimer(this)), m_pRestart(new QTimer(this)), m_lastUseMs(nowMs())
{
    m_pDeadline->setSingleShot(true);
    m_pRestart->setSingleShot(true);
    connect(m_pDeadline, &QTimer::timeout, this, &AdbShellSession::onDeadline);
    connect(m_pRestart, &QTimer::timeout, this, &AdbShellSession::startNext);
}

AdbShellSession::~AdbShellSession()
{
    close();
}

int AdbShellSession::liveShells()
{
    return g_liveShells;
}

QString AdbShellSession::quoteWord(const QString& word)
{
    if (word.isEmpty())
        return QStringLiteral("''");
    for (const QChar c : word) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QString();
    }
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_@%+:,./-]+$"));
    if (plain.match(word).hasMatch())
        return word;
    return QLatin1Char('\'') + QString(word).replace(QLatin1Char('\''), QLatin1String("'\\''")) +
           QLatin1Char('\'');
}

bool AdbShellSession::processRunning() const
{
    return m_pProcess && m_pProcess->state() != QProcess::NotRunning;
}

qint64 AdbShellSession::idleMs() const
{
    return idle() ? nowMs() - m_lastUseMs : 0;
}

struShellReply AdbShellSession::failure(const QString& str, const QString& log)
{
    struShellReply r;
    r.result = CCommResult::failure(kAdbErrorCode, str, log);
    return r;
}

bool AdbShellSession::enqueue(struRequest request)
{
    m_lastUseMs = nowMs();
    if (m_queue.size() >= kMaxQueued) {
        ++m_dropped;
        if (request.done)
            request.done(failure(QStringLiteral("adb命令过多"),
                                 QStringLiteral("%1: %2 commands queued").arg(m_serial).arg(m_queue.size())));
        return false;
    }
    m_queue.enqueue(std::move(request));
    startNext();
    return true;
}

void AdbShellSession::startNext()
{
    while (!m_bBusy && !m_queue.isEmpty()) {
        if (m_queue.head().deadline.hasExpired()) {
            const struRequest late = m_queue.dequeue();
            if (late.done)
                late.done(
                    failure(QStringLiteral("adb超时"), QStringLiteral("%1: no turn before the deadline of %2")
                                                           .arg(m_serial, late.words.join(' '))));
            continue;
        }
        if (!processRunning() && !m_restartAt.hasExpired()) {
            m_pRestart->start(int(qMax<qint64>(1, m_restartAt.remainingTime())));
            return;
        }
        m_current = m_queue.dequeue();
        m_bBusy = true;
        const QByteArray line = commandLine();
        if (line.isEmpty()) {
            finishCurrent(failure(
                QStringLiteral("adb命令参数不可用"),
                QStringLiteral("a word of %1 holds a control character").arg(m_current.words.value(0))));
            continue;
        }
        if (ensureProcess())
            writeCurrent(line);
    }
}

bool AdbShellSession::ensureProcess()
{
    if (processRunning())
        return true;
    if (m_pProcess)
        m_pProcess->deleteLater();
    m_pProcess = new ShellProcess(this);
    countWhileRunning(m_pProcess);
    connect(m_pProcess, &QProcess::readyReadStandardOutput, this, &AdbShellSession::onOutput);
    connect(m_pProcess, &QProcess::readyReadStandardError, this, &AdbShellSession::onError);
    QProcess* pProcess = m_pProcess;
    connect(pProcess, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this, pProcess] { onEnded(pProcess); });
    connect(pProcess, &QProcess::errorOccurred, this, [this, pProcess](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            onEnded(pProcess);
    });
    m_bAnswered = false;
    m_out.clear();
    m_err.clear();
    m_pProcess->start(m_program, {QStringLiteral("-s"), m_serial, QStringLiteral("shell")},
                      QIODevice::ReadWrite);
    return m_pProcess != nullptr; // a start that failed at once has ended the command already
}

QByteArray AdbShellSession::commandLine()
{
    QStringList quoted;
    for (const QString& word : qAsConst(m_current.words)) {
        const QString q = quoteWord(word);
        if (q.isNull())
            return QByteArray();
        quoted << q;
    }
    const QByteArray seq = QByteArray::number(++m_seq);
    m_beginTag = "TVB" + m_nonce + '_' + seq + ':';
    m_endTag = "TVE" + m_nonce + '_' + seq + ':';
    // The markers are written with an empty quote inside ("TV''B..."), so that a shell that echoes
    // its input lines cannot show them before the command ran.
    const auto spelt = [](const QByteArray& tag) { return tag.left(2) + "''" + tag.mid(2); };
    return "echo " + spelt(m_beginTag) + "; " + quoted.join(QLatin1Char(' ')).toUtf8() +
           (m_current.stderrMode == eShellStderr::Merged ? " 2>&1" : " 2>/dev/null") + " </dev/null; echo " +
           spelt(m_endTag) + "$?\n";
}

void AdbShellSession::writeCurrent(const QByteArray& line)
{
    m_bBegun = false;
    m_pDeadline->start(int(qBound<qint64>(0, m_current.deadline.remainingTime(), INT_MAX)));
    m_pProcess->write(line);
}

void AdbShellSession::onOutput()
{
    if (!m_pProcess)
        return;
    const qint64 available = m_pProcess->bytesAvailable();
    if (available > 0) {
        const int old = m_out.size();
        m_out.resize(old + int(available));
        m_out.resize(old + int(qMax<qint64>(0, m_pProcess->read(m_out.data() + old, available))));
    }
    if (!m_bBusy) {
        m_out.clear(); // a prompt between commands
        return;
    }
    if (!m_bBegun) {
        const int at = m_out.indexOf(m_beginTag);
        const int nl = at < 0 ? -1 : m_out.indexOf('\n', at + m_beginTag.size());
        if (nl < 0) {
            if (m_out.size() > kMaxPreambleBytes)
                m_out.remove(0, m_out.size() - m_beginTag.size() - 2);
            return;
        }
        m_out.remove(0, nl + 1);
        m_bBegun = true;
        // Room for a reply as large as the last one (the frames of one screen), grown once.
        if (m_lastReplyBytes > m_out.capacity())
            m_out.reserve(int(qMin<qint64>(m_lastReplyBytes + 4096, m_current.maxBytes)));
    }
    if (takeReply())
        return;
    // What is under way is larger than the command may give: the stream is cut with the shell.
    if (m_out.size() > m_current.maxBytes + m_endTag.size() + 16) {
        const qint64 limit = m_current.maxBytes;
        killProcess();
        failCurrent(QStringLiteral("输出过长"), QStringLiteral("more than %1 bytes").arg(limit));
        startNext();
    }
}

bool AdbShellSession::takeReply()
{
    // The end marker is the last thing the line prints (a prompt at most after it): only the tail of
    // what came is looked at, never the megabytes of a frame before it.
    const int at = m_out.indexOf(m_endTag, qMax(0, m_out.size() - kEndTailBytes));
    if (at < 0)
        return false;
    const int statusFrom = at + m_endTag.size();
    const int nl = m_out.indexOf('\n', statusFrom);
    if (nl < 0)
        return false;
    struShellReply reply;
    bool ok = false;
    reply.exitStatus = m_out.mid(statusFrom, nl - statusFrom).trimmed().toInt(&ok);
    if (!ok)
        reply.exitStatus = -1;
    m_out.truncate(at);
    m_lastReplyBytes = at;
    reply.out = std::move(m_out);
    m_out = QByteArray();
    m_bAnswered = true;
    m_failedStarts = 0;
    if (reply.exitStatus != 0) {
        // Text output says what went wrong; binary output says nothing.
        const QString text = m_current.stderrMode == eShellStderr::Merged
                                 ? QString::fromUtf8(reply.out.left(512)).trimmed()
                                 : QString();
        reply.result =
            CCommResult::failure(kAdbErrorCode, text.isEmpty() ? QStringLiteral("adb命令失败") : text,
                                 QStringLiteral("%1: %2 ended with %3")
                                     .arg(m_serial, m_current.words.join(' '))
                                     .arg(reply.exitStatus));
    }
    finishCurrent(reply);
    startNext();
    return true;
}

void AdbShellSession::onError()
{
    if (!m_pProcess)
        return;
    const QByteArray bytes = m_pProcess->readAllStandardError();
    if (m_err.size() < kMaxErrorBytes)
        m_err += bytes.left(kMaxErrorBytes - m_err.size());
}

void AdbShellSession::onEnded(QProcess* pProcess)
{
    if (!pProcess || pProcess != m_pProcess)
        return;
    onOutput(); // what came before the end may complete the command under way
    if (m_pProcess != pProcess)
        return; // that output was too long: the process is gone already
    onError();
    const QString why = QString::fromUtf8(m_err).trimmed() + QLatin1Char(' ') + pProcess->errorString();
    if (!m_bAnswered)
        pauseRestarts();
    qCDebug(lcEmulator).noquote() << "adb shell of" << m_serial << "ended:" << why;
    pProcess->deleteLater();
    m_pProcess = nullptr;
    if (m_bBusy)
        failCurrent(QStringLiteral("adb shell已结束"), QStringLiteral("%1: %2").arg(m_serial, why));
    startNext();
}

void AdbShellSession::pauseRestarts()
{
    ++m_failedStarts;
    m_restartAt.setRemainingTime(
        qMin(kMaxRestartPauseMs, kFirstRestartPauseMs << qMin(m_failedStarts - 1, 8)));
}

void AdbShellSession::onDeadline()
{
    if (!m_bBusy)
        return;
    killProcess();
    failCurrent(QStringLiteral("adb超时"),
                QStringLiteral("%1: %2 did not end in time").arg(m_serial, m_current.words.join(' ')));
    startNext();
}

void AdbShellSession::finishCurrent(const struShellReply& reply)
{
    m_pDeadline->stop();
    m_bBusy = false;
    m_bBegun = false;
    m_lastUseMs = nowMs();
    const auto done = std::move(m_current.done);
    m_current = struRequest();
    if (done)
        done(reply);
}

void AdbShellSession::failCurrent(const QString& str, const QString& log)
{
    if (m_bBusy)
        finishCurrent(failure(str, log));
}

void AdbShellSession::failQueued(const QString& str, const QString& log)
{
    while (!m_queue.isEmpty()) {
        const struRequest r = m_queue.dequeue();
        if (r.done)
            r.done(failure(str, log));
    }
}

void AdbShellSession::killProcess()
{
    if (!m_pProcess)
        return;
    QProcess* pProcess = m_pProcess;
    m_pProcess = nullptr;
    disconnect(pProcess, nullptr, this, nullptr);
    if (!m_bAnswered)
        pauseRestarts();
    ToolProcess::stop(*pProcess);
    pProcess->deleteLater();
}

void AdbShellSession::close()
{
    m_pRestart->stop();
    killProcess();
    const QString log = QStringLiteral("%1: the shell was closed").arg(m_serial);
    failCurrent(QStringLiteral("adb shell已关闭"), log);
    failQueued(QStringLiteral("adb shell已关闭"), log);
}
