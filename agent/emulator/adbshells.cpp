#include "adbshells.h"

#include "adbbridge.h"
#include "agentlogging.h"
#include "launchertuning.h"

#include <QCoreApplication>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <QWaitCondition>

#include <atomic>
#include <memory>

namespace {

constexpr int kSweepMs = 5000;
// A shell with no process and no work is forgotten after this long (its restart pause with it).
constexpr int kForgetDeadMs = 10000;
// The hand-over of a reply from the shells' thread, beyond the command's own deadline.
constexpr int kHandOverMs = 2000;
constexpr int kQuitWaitMs = 5000;

std::atomic<int> g_dropped{0};

QString keyOf(const QString& program, const QString& serial)
{
    return program + QLatin1Char('\n') + serial;
}

// Owns the sessions, on the shells' thread.
class AdbShellHost : public QObject
{
public:
    AdbShellHost()
    {
        auto* pSweep = new QTimer(this);
        connect(pSweep, &QTimer::timeout, this, &AdbShellHost::sweep);
        pSweep->start(kSweepMs);
    }

    void submit(const QString& program, const QString& serial, AdbShellSession::struRequest request)
    {
        AdbShellSession*& pSession = m_sessions[keyOf(program, serial)];
        if (!pSession)
            pSession = new AdbShellSession(program, serial, this);
        const int droppedBefore = pSession->dropped();
        pSession->enqueue(std::move(request));
        if (pSession->dropped() > droppedBefore) {
            const int all = ++g_dropped;
            if (pSession->dropped() == 1 || pSession->dropped() % 100 == 0)
                qCWarning(lcEmulator).noquote() << "adb shell of" << serial << "is behind: dropped"
                                                << pSession->dropped() << "commands (" << all << "in all)";
        }
    }

    void closeExcept(const QSet<QString>& keep)
    {
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            if (!keep.contains(it.key()) && it.value()->idle() &&
                it.value()->idleMs() >= AdbShells::kCloseGraceMs) {
                delete it.value();
                it = m_sessions.erase(it);
            } else {
                ++it;
            }
        }
    }

    void close(const QString& key) { delete m_sessions.take(key); }

private:
    void sweep()
    {
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            AdbShellSession* pSession = it.value();
            const qint64 idle = pSession->idleMs();
            if (pSession->idle() &&
                (idle >= AdbShells::kIdleCloseMs || (!pSession->processRunning() && idle >= kForgetDeadMs))) {
                delete pSession;
                it = m_sessions.erase(it);
            } else {
                ++it;
            }
        }
    }

    QHash<QString, AdbShellSession*> m_sessions;
};

QMutex g_mutex;
QThread* g_pThread = nullptr;
AdbShellHost* g_pHost = nullptr;
bool g_bRoutineAdded = false;

// Runs fn(host) on the shells' thread, starting it when needed. False on that thread itself.
template <typename Fn> bool postToHost(Fn fn)
{
    QMutexLocker lock(&g_mutex);
    if (g_pThread && QThread::currentThread() == g_pThread)
        return false;
    if (!g_pHost) {
        g_pThread = new QThread;
        g_pThread->setObjectName(QStringLiteral("AdbShells"));
        g_pHost = new AdbShellHost;
        g_pHost->moveToThread(g_pThread);
        g_pThread->start(QThread::InheritPriority);
        if (!g_bRoutineAdded && QCoreApplication::instance()) {
            qAddPostRoutine(AdbShells::shutdown);
            g_bRoutineAdded = true;
        }
    }
    AdbShellHost* pHost = g_pHost;
    QMetaObject::invokeMethod(
        pHost, [pHost, fn = std::move(fn)]() mutable { fn(*pHost); }, Qt::QueuedConnection);
    return true;
}

struct struWaiter
{
    QMutex mutex;
    QWaitCondition cond;
    bool done = false;
    struShellReply reply;
};

struShellReply failed(const QString& str, const QString& log)
{
    struShellReply r;
    r.result = CCommResult::failure(22, str, log);
    return r;
}

} // namespace

namespace AdbShells {

struShellReply run(const QString& serial, const QStringList& words, int timeoutMs, qint64 maxBytes,
                   eShellStderr stderrMode)
{
    const int boundMs = ToolDeadline::bound(timeoutMs);
    if (boundMs <= 0)
        return failed(QStringLiteral("adb超时"), QStringLiteral("no time left for %1").arg(words.join(' ')));
    auto pWaiter = std::make_shared<struWaiter>();
    AdbShellSession::struRequest request;
    request.words = words;
    request.stderrMode = stderrMode;
    request.maxBytes = maxBytes;
    request.deadline = QDeadlineTimer(boundMs);
    request.done = [pWaiter](const struShellReply& reply) {
        QMutexLocker lock(&pWaiter->mutex);
        pWaiter->reply = reply;
        pWaiter->done = true;
        pWaiter->cond.wakeAll();
    };
    const QString program = AdbBridge::adbProgram();
    if (!postToHost(
            [program, serial, request](AdbShellHost& host) { host.submit(program, serial, request); })) {
        qCWarning(lcEmulator) << "AdbShells::run called on the shells' own thread";
        return failed(QStringLiteral("adb shell不可用"), QStringLiteral("called on the shells' thread"));
    }
    QMutexLocker lock(&pWaiter->mutex);
    const QDeadlineTimer wait(boundMs + kHandOverMs);
    while (!pWaiter->done) {
        if (!pWaiter->cond.wait(&pWaiter->mutex, wait))
            break;
    }
    if (!pWaiter->done)
        return failed(QStringLiteral("adb超时"),
                      QStringLiteral("%1: no reply to %2").arg(serial, words.join(' ')));
    return std::move(pWaiter->reply);
}

void post(const QString& serial, const QStringList& words, int timeoutMs, ShellDone done)
{
    AdbShellSession::struRequest request;
    request.words = words;
    request.deadline = QDeadlineTimer(qMax(1, timeoutMs));
    request.done = [serial, words, done = std::move(done)](const struShellReply& reply) {
        if (reply.result.iRet != 0)
            qCDebug(lcEmulator).noquote() << "adb shell of" << serial << ":" << words.join(' ')
                                          << "failed:" << reply.result.str << reply.result.log;
        if (done)
            done(reply);
    };
    const QString program = AdbBridge::adbProgram();
    postToHost([program, serial, request](AdbShellHost& host) { host.submit(program, serial, request); });
}

void closeExcept(const QStringList& serials)
{
    const QString program = AdbBridge::adbProgram();
    QSet<QString> keep;
    for (const QString& serial : serials)
        keep.insert(keyOf(program, serial));
    QMutexLocker lock(&g_mutex);
    if (g_pHost)
        QMetaObject::invokeMethod(
            g_pHost, [pHost = g_pHost, keep] { pHost->closeExcept(keep); }, Qt::QueuedConnection);
}

void close(const QString& serial)
{
    const QString key = keyOf(AdbBridge::adbProgram(), serial);
    QMutexLocker lock(&g_mutex);
    if (g_pHost)
        QMetaObject::invokeMethod(
            g_pHost, [pHost = g_pHost, key] { pHost->close(key); }, Qt::QueuedConnection);
}

void shutdown()
{
    QMutexLocker lock(&g_mutex);
    if (!g_pHost || QThread::currentThread() == g_pThread)
        return;
    // The sessions end their processes as the host goes, on their own thread.
    QMetaObject::invokeMethod(
        g_pHost, [pHost = g_pHost] { delete pHost; }, Qt::BlockingQueuedConnection);
    g_pHost = nullptr;
    g_pThread->quit();
    if (g_pThread->wait(kQuitWaitMs))
        delete g_pThread;
    else
        qCWarning(lcEmulator) << "the adb shells' thread did not end in time";
    g_pThread = nullptr;
}

int liveShells()
{
    return AdbShellSession::liveShells();
}

int dropped()
{
    return g_dropped;
}

} // namespace AdbShells
