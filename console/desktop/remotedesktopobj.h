#pragma once

#include "commresult.h"
#include "desktopdecoder.h"
#include "latestframe.h"
#include "rmtdsktptarget.h"

#include <QObject>
#include <QSharedPointer>
#include <QSize>

#include <atomic>

// The decoder of one viewer, on a thread of its own: chooses the stream port when the target has
// none, opens it, decodes the agent's desktop and hands each picture to the window through a
// latest-frame buffer. Cleared by stop(),
// its running flag interrupts every blocking FFmpeg call, so the thread ends by itself.
class RemoteDesktopObj : public QObject
{
    Q_OBJECT
public:
    static constexpr int kOpenAttempts = 20;
    static constexpr int kMaxFailures = 10; // consecutive read or decode failures tolerated
    static constexpr int kRetryMs = 100;

    explicit RemoteDesktopObj(const struRmtDsktpTarget& target,
                              const DesktopDecoderFactory& factory = DesktopDecoderFactory(),
                              QObject* parent = nullptr);

    // Any thread: ends the run soon (also before it began).
    void stop() { m_running.store(false); }
    bool running() const { return m_running.load(); }
    QSharedPointer<LatestFrame> frames() const { return m_pFrames; }

signals:
    void sigBeginRun();
    // The stream port is bound: the agent may be asked to send now.
    void sigInputOpened(int iPort);
    // A new picture waits in frames().
    void sigFrameReady();
    void sigReplyResult(CCommResult* pRet);
    void sigSizeChanged(QSize size);

public slots:
    void slInitRmtDsktpSocket();
    void slRun();

private:
    CCommResult open(IDesktopDecoder& decoder, const QString& url);
    CCommResult decodeLoop(IDesktopDecoder& decoder);
    void deliver(const QImage& picture, QSize& lastSize);

    std::atomic_bool m_running{true};
    struRmtDsktpTarget m_target;
    DesktopDecoderFactory m_factory;
    QSharedPointer<LatestFrame> m_pFrames;
};
