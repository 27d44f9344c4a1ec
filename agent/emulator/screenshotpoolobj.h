#pragma once

#include <QObject>

// Keeps a live picture of every running instance: an endless series of passes on the pool's own
// thread. Each pass lists the running instances (stored as daemon/runningList), sleeps
// common/screenshotTimeSpan ms, then captures each running instance once. Odd passes write the
// main picture "<idx>.png", even passes the backup "<idx>_bak.png", so one of the two always holds
// a complete picture. An instance that the inventory cannot look up is skipped.
class ScreenshotPoolObj : public QObject
{
    Q_OBJECT
public:
    explicit ScreenshotPoolObj(QObject* parent = nullptr);

    // One pass without scheduling the next one.
    void runPass();
    int passCount() const { return m_passCount; }

signals:
    void sigLoopScreenshot();

public slots:
    // One pass, then the next is queued behind the thread's other events.
    void slInitPool();

private:
    void captureRunning(const QStringList& running);

    int m_passCount = 0;
    bool m_inPass = false;
};
