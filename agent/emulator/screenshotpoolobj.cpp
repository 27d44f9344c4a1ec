#include "screenshotpoolobj.h"

#include "adbshells.h"
#include "agentlogging.h"
#include "agentsettings.h"
#include "inventorycache.h"
#include "launcherfactory.h"
#include "launchertuning.h"
#include "screenshot.h"
#include "simusettings.h"
#include "simustatestore.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

ScreenshotPoolObj::ScreenshotPoolObj(const struDeadlines& deadlines, QObject* parent)
    : QObject(parent), m_deadlines(deadlines), m_pWorkers(new QThreadPool), m_guard(this)
{
    // The listing and the captures.
    m_pWorkers->setMaxThreadCount(kMaxParallelCaptures + 1);
    m_clock.start();
}

ScreenshotPoolObj::~ScreenshotPoolObj()
{
    m_guard.release();
    m_pWorkers->clear();
    if (m_pWorkers->waitForDone(kShutdownWaitMs))
        delete m_pWorkers;
    else // a tool is still in its wait: its threads end with the program
        qCWarning(lcShots) << "ScreenshotPoolObj: a listing or capture was still under way at shutdown";
}

void ScreenshotPoolObj::slInitPool()
{
    if (m_pTimer)
        return;
    m_pTimer = new QTimer(this);
    connect(m_pTimer, &QTimer::timeout, this, &ScreenshotPoolObj::tick);
    m_pTimer->start(qMax(50, AgentSettings::screenshotTimeSpan.value()));
    tick();
}

void ScreenshotPoolObj::tick()
{
    if (QThread::currentThread()->isInterruptionRequested()) {
        m_pTimer->stop();
        return;
    }
    m_pTimer->setInterval(qMax(50, AgentSettings::screenshotTimeSpan.value()));
    const bool looked = consoleLooks();
    const qint64 sinceListing = m_lastListingMs < 0 ? kIdleListingMs : m_clock.elapsed() - m_lastListingMs;
    const bool listingDue = sinceListing >= (looked ? kMinListingMs : kIdleListingMs);
    if (listingDue && !m_bListing)
        startListing();
    if (looked)
        captureWanted();
}

bool ScreenshotPoolObj::consoleLooks()
{
    const qint64 since = SimuStateStore::instance().msSinceStateQuery();
    return since >= 0 && since <= kConsoleLookMs;
}

void ScreenshotPoolObj::startListing()
{
    m_bListing = true;
    m_pWorkers->start([this, guard = m_guard, deadlineMs = m_deadlines.listingMs] {
        QStringList running;
        bool complete = false;
        {
            const ToolDeadline deadline(deadlineMs);
            complete = SimuListRunning(running).iRet == 0 && !ToolDeadline::expired();
        }
        guard.post([this, running, complete] { listed(running, complete); });
    });
}

void ScreenshotPoolObj::listed(const QStringList& running, bool complete)
{
    m_bListing = false;
    m_lastListingMs = m_clock.elapsed();
    if (!complete) {
        qCWarning(lcShots).noquote() << QStringLiteral(
                                            "the running list took longer than %1 ms or failed: the "
                                            "instances known to run (%2) are captured meanwhile")
                                            .arg(m_deadlines.listingMs)
                                            .arg(m_running.join(QLatin1Char(',')));
        return;
    }
    ++m_passCount;
    if (running != m_running)
        qCInfo(lcShots).noquote() << "running instances:" << running.join(QLatin1Char(','));
    m_running = running;
    SimuStateStore::instance().setRunningList(running);
    closeShellsOfStopped();
    for (auto it = m_shots.begin(); it != m_shots.end();) {
        if (!running.contains(it.key()) && !it->busy)
            it = m_shots.erase(it);
        else
            ++it;
    }
}

void ScreenshotPoolObj::closeShellsOfStopped()
{
    QStringList serials;
    for (const QString& idx : qAsConst(m_running)) {
        SimuInfo info;
        if (InventoryCache::instance().find(idx, info) && info.adbPort() > 0)
            serials << info.adbSerial();
    }
    AdbShells::closeExcept(serials);
}

void ScreenshotPoolObj::captureWanted()
{
    const qint64 since = SimuStateStore::instance().msSinceStateQuery();
    const qint64 queriedAtMs = since < 0 ? -1 : m_clock.elapsed() - since;
    for (const QString& idx : qAsConst(m_running)) {
        if (m_iCapturing >= kMaxParallelCaptures)
            return;
        struShot& shot = m_shots[idx];
        // A capture under way keeps the last picture; a picture taken after the latest query is
        // what the next query gets.
        if (!shot.busy && shot.startedMs < queriedAtMs)
            startCapture(idx, shot);
    }
}

bool ScreenshotPoolObj::startCapture(const QString& idx, struShot& shot)
{
    SimuInfo info;
    // Without an inventory entry there is no serial to capture (and no name for the file).
    if (!InventoryCache::instance().find(idx, info) || info.adbPort() <= 0)
        return false;
    shot.busy = true;
    shot.startedMs = m_clock.elapsed();
    ++shot.captures;
    ++m_iCapturing;
    const QString file =
        shot.captures % 2 == 1 ? SimuSettings::screenshotPath(idx) : SimuSettings::screenshotBakPath(idx);
    m_pWorkers->start([this, guard = m_guard, idx, serial = info.adbSerial(), file,
                       connected = shot.connected, rawWorks = shot.rawWorks,
                       deadlineMs = m_deadlines.captureMs] {
        Screenshot::struCapture c;
        {
            const ToolDeadline deadline(deadlineMs);
            c = Screenshot::capture(serial, file, connected, rawWorks);
        }
        guard.post([this, idx, c] { captured(idx, c); });
    });
    return true;
}

void ScreenshotPoolObj::captured(const QString& idx, const Screenshot::struCapture& c)
{
    --m_iCapturing;
    struShot& shot = m_shots[idx];
    shot.busy = false;
    shot.connected = c.connected;
    if (shot.rawWorks && !c.rawWorks)
        qCInfo(lcShots) << idx << "gives no raw frames: its pictures are pulled as files";
    shot.rawWorks = c.rawWorks;
    if (c.result.iRet != 0)
        qCDebug(lcShots).noquote() << "capture of" << idx << "failed:" << c.result.iRet << c.result.str
                                   << c.result.log;
    emit sigCaptured(idx, c.result.iRet);
    // A thread is free: the next instance a query asked for need not wait for the tick.
    if (consoleLooks())
        captureWanted();
}

template <typename Pred> void ScreenshotPoolObj::serveUntil(Pred pred, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!pred() && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

void ScreenshotPoolObj::runPass()
{
    serveUntil([this] { return !m_bListing; }, m_deadlines.listingMs + m_deadlines.captureMs);
    startListing();
    serveUntil([this] { return !m_bListing; }, m_deadlines.listingMs + m_deadlines.captureMs);
    for (const QString& idx : QStringList(m_running)) {
        serveUntil([this] { return m_iCapturing < kMaxParallelCaptures; },
                   m_deadlines.captureMs + kShutdownWaitMs);
        struShot& shot = m_shots[idx];
        if (!shot.busy)
            startCapture(idx, shot);
    }
    serveUntil([this] { return m_iCapturing == 0; }, m_deadlines.captureMs + kShutdownWaitMs);
}
