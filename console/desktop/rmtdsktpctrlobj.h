#pragma once

#include "commresult.h"
#include "jsonsplitter.h"
#include "rmtdsktpmsg.h"
#include "rmtdsktptarget.h"

#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QObject>

class QTcpSocket;
class QTimer;

// The control channel of one viewer, on a thread of its own: a TCP connection to the agent's
// control port that carries the viewer's mouse, keyboard and wheel messages. Its first message is
// the hello that names the viewer's run, and a heartbeat follows while it is connected, so that the
// agent serves it only for the run its own begin started and sees when the console is gone. The agent
// opens the port only once it has the begin command, and turns away a connection that reached an
// earlier run: a refused or lost connection is tried again until kConnectMs have passed, then code
// 40 is reported. When the agent tells why it ended the run, that is reported and nothing is tried
// again until the next run.
class RmtDsktpCtrlObj : public QObject
{
    Q_OBJECT
public:
    static constexpr int kConnectMs = 30000;
    static constexpr int kRetryMs = 200;

    explicit RmtDsktpCtrlObj(const struRmtDsktpTarget& target,
                             quint16 controlPort = RmtDsktpMsg::kControlPort, QObject* parent = nullptr);

    // Before the thread starts (tests shorten it with the agent's silence).
    void setHeartbeatMs(int ms) { m_heartbeatMs = ms; }
    // Messages written and messages dropped because the channel was not connected (any thread).
    int writtenCount() const { return m_written.loadRelaxed(); }
    int droppedCount() const { return m_dropped.loadRelaxed(); }

signals:
    void sigReplyResult(CCommResult* pRet);
    void sigConnected();
    // The agent ended the run and said why (RmtDsktpMsg::eEndReason and its detail).
    void sigRunEnded(int iReason, QString strDetail);

public slots:
    void slInitRmtDsktpCtrlObj();
    // A new run of the same viewer: the connection starts again and names it.
    void slBeginRun(QString strRunId);
    void slMouseClicked(int iType, int int1, int int2);
    void slCloseRmtDsktp();
    void slHostFound();
    void slConnected();
    void slError(QAbstractSocket::SocketError error);
    void slDataRcved();
    void slStateChanged(QAbstractSocket::SocketState state);

private:
    void connectSocketSignals();
    void restartConnecting();
    void tryConnect();
    void retrySoon();
    void giveUp();
    void onDisconnected();
    void write(const QByteArray& bytes);
    static QByteArray signedHello(const QString& runId);

    QTcpSocket* m_pSocket = nullptr;
    QTimer* m_pRetryTimer = nullptr;
    QTimer* m_pHeartbeatTimer = nullptr;
    struRmtDsktpTarget m_target;
    quint16 m_controlPort;
    int m_heartbeatMs = RmtDsktpMsg::kHeartbeatMs;
    QDeadlineTimer m_deadline;
    bool m_gaveUp = false;
    bool m_runEnded = false;
    JsonSplitter m_splitter{RmtDsktpMsg::kMaxMessageBytes};
    QAtomicInt m_written;
    QAtomicInt m_dropped;
};
