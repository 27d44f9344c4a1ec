#pragma once

#include "commresult.h"
#include "rmtdsktpmsg.h"

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>

class DesktopVideoSender;
class QThread;
class SimuTcpRcvObj;

// The agent's remote-desktop runs, on the command server's thread: a begin command starts a
// DesktopVideoSender on a thread of its own that streams to the console that sent it; an end
// command from that console closes it. At most one run exists: a new begin closes the earlier run
// first (its console is told it was taken over). A run that ends by itself is let go here. At
// start-up and at each begin, grabbers left running by an earlier agent of this install are ended.
class DesktopRunMgr : public QObject
{
    Q_OBJECT
public:
    // controlPort: the control server's port; grabberPath empty: ToviaMpeg.exe beside the program.
    explicit DesktopRunMgr(QObject* parent = nullptr, quint16 controlPort = RmtDsktpMsg::kControlPort,
                           const QString& grabberPath = QString());
    ~DesktopRunMgr() override;

    // Follows the command server's begin and end commands (call on the command server's thread).
    void attach(SimuTcpRcvObj* pRcvObj);

    // Starts a run streaming to udp://peerAddr:port for the run runId (empty: the console names
    // none). A port that is none is refused; later failures reach the console on its control
    // connection.
    CCommResult beginRmtDsktp(const QString& peerAddr, int port, const QString& runId = QString());
    // An end command from peerAddr: closes the run when that console began it (and, when runId is
    // given, when it is that run), and waits until its thread has ended. Anything else is ignored.
    CCommResult endRmtDsktp(const QString& peerAddr, const QString& runId = QString());

    // Any thread.
    bool hasRun() const { return m_hasRun.load(); }
    DesktopVideoSender* sender() const { return m_pSender; }

signals:
    void sigSendVideoStrem(QString strUrl);
    // The run's sender was created (before its thread starts), for the log and tests.
    void sigRunStarted(DesktopVideoSender* pSender);

public slots:
    void slRmtDesktopBegin(QString strPeerAddr, QString strMemuIdx, int iExtra, QString strRunId);
    void slRmtDesktopEnd(QString strPeerAddr, QString strRunId);

private:
    struct Pending
    {
        bool begin = false;
        QString peerAddr;
        int port = 0;
        QString runId;
    };

    bool deferWhileClosing(const Pending& command);
    void runPending();
    void closeRun(int reason, const QString& detail);
    void onRunEnded(DesktopVideoSender* pSender);
    static void stopThread(QThread* pThread);

    quint16 m_controlPort;
    QString m_grabberPath;
    DesktopVideoSender* m_pSender = nullptr;
    QThread* m_pThread = nullptr;
    std::atomic_bool m_hasRun{false};
    bool m_closing = false;
    QList<Pending> m_pending;
};
