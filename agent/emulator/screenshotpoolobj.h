#pragma once

#include "objectguard.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QStringList>

class QThreadPool;
class QTimer;
namespace Screenshot {
struct struCapture;
}

// Keeps a live picture of every running instance for the consoles, on the pool's own thread, and
// the list of running instances (daemon/runningList, which the watchdog and discovery read).
// Every common/screenshotTimeSpan ms a tick
//   - has the product list its running instances (at most every kMinListingMs), on a thread of its own within
//   a deadline
//     (kListingDeadlineMs); a slow or failed listing keeps the list of the last one, and the
//     captures of the instances known to run go on meanwhile;
//   - while a console looks at this PC (a state query in the last kConsoleLookMs), captures each
//     running instance that a query asked for since its last capture, side by side on at most
//     kMaxParallelCaptures threads, each within kCaptureDeadlineMs. An instance whose capture is
//     still under way is passed over and keeps its last picture while the others refresh.
// With no console looking nothing is captured and the list is renewed every kIdleListingMs only.
// An instance's captures alternate between its main picture "<idx>.png" (odd captures) and its
// backup "<idx>_bak.png" (even ones), so one of the two always holds a complete picture; both hold
// the picture at the thumbnail size, whose JPEG goes straight to the thumbnail cache. An instance
// that the inventory cannot look up is skipped.
class ScreenshotPoolObj : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxParallelCaptures = 4;
    static constexpr int kCaptureDeadlineMs = 10000;
    static constexpr int kListingDeadlineMs = 10000;
    static constexpr int kConsoleLookMs = 5000;
    static constexpr int kIdleListingMs = 10000;
    // The product's listing is a process of its own: never more often than this, however short the
    // period of the captures.
    static constexpr int kMinListingMs = 1000;
    static constexpr int kShutdownWaitMs = 5000;

    // The deadlines (tests shorten them).
    struct struDeadlines
    {
        int listingMs = kListingDeadlineMs;
        int captureMs = kCaptureDeadlineMs;
    };

    explicit ScreenshotPoolObj(QObject* parent = nullptr) : ScreenshotPoolObj(struDeadlines(), parent) {}
    explicit ScreenshotPoolObj(const struDeadlines& deadlines, QObject* parent = nullptr);
    ~ScreenshotPoolObj() override;

    // One pass without the ticks, whether or not a console looks: the running list, then one
    // capture of every running instance; returns when all have ended.
    void runPass();
    // Listings that ended so far.
    int passCount() const { return m_passCount; }
    int capturesUnderWay() const { return m_iCapturing; }

signals:
    // A capture ended (its code; 0 when the picture was renewed).
    void sigCaptured(QString memuIdx, int iRet);

public slots:
    // Starts the ticks (the first at once).
    void slInitPool();

private:
    struct struShot
    {
        bool busy = false;
        int captures = 0;
        qint64 startedMs = -1;
        bool connected = false;
        bool rawWorks = true;
    };
    void tick();
    void startListing();
    void listed(const QStringList& running, bool complete);
    // The adb shells of instances that no longer run are closed.
    void closeShellsOfStopped();
    // A state query came within kConsoleLookMs.
    static bool consoleLooks();
    // Starts the captures of the running instances that a query asked for since their last one, as
    // many as there are free threads.
    void captureWanted();
    bool startCapture(const QString& idx, struShot& shot);
    void captured(const QString& idx, const Screenshot::struCapture& c);
    // Serves the thread's events until pred() holds or timeoutMs passed.
    template <typename Pred> void serveUntil(Pred pred, int timeoutMs);

    const struDeadlines m_deadlines;
    QThreadPool* m_pWorkers;
    QTimer* m_pTimer = nullptr;
    QElapsedTimer m_clock;
    QStringList m_running;
    QHash<QString, struShot> m_shots;
    bool m_bListing = false;
    qint64 m_lastListingMs = -1;
    int m_passCount = 0;
    int m_iCapturing = 0;
    ObjectGuard m_guard; // jobs may end after this object is gone
};
