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
// command closes it. At most one run exists: a new begin closes the earlier run first.
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

    // Starts a run streaming to udp://peerAddr:port. Always a success; later failures are logged.
    CCommResult beginRmtDsktp(const QString& peerAddr, int port);
    // Closes the run and waits until its thread has ended. Without a run nothing happens.
    CCommResult endRmtDsktp();

    // Any thread.
    bool hasRun() const { return m_hasRun.load(); }
    DesktopVideoSender* sender() const { return m_pSender; }

signals:
    void sigSendVideoStrem(QString strUrl);
    // The run's sender was created (before its thread starts), for the log and tests.
    void sigRunStarted(DesktopVideoSender* pSender);

public slots:
    void slRmtDesktopBegin(QString strPeerAddr, QString strMemuIdx, int iExtra);
    void slRmtDesktopEnd();

private:
    struct Pending
    {
        bool begin = false;
        QString peerAddr;
        int port = 0;
    };

    bool deferWhileClosing(const Pending& command);
    void runPending();
    static void stopThread(QThread* pThread);

    quint16 m_controlPort;
    QString m_grabberPath;
    DesktopVideoSender* m_pSender = nullptr;
    QThread* m_pThread = nullptr;
    std::atomic_bool m_hasRun{false};
    bool m_closing = false;
    QList<Pending> m_pending;
};
