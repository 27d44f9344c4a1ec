#pragma once

#include "commresult.h"
#include "rmtdsktpmsg.h"
#include "rmtdsktptarget.h"

#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QObject>

class QTcpSocket;
class QTimer;

// The control channel of one viewer, on a thread of its own: a TCP connection to the agent's
// control port that carries the viewer's mouse, keyboard and wheel messages. The agent opens the
// port only once it has the begin command, so a refused connection is tried again until kConnectMs
// have passed; then code 40 is reported.
class RmtDsktpCtrlObj : public QObject
{
    Q_OBJECT
public:
    static constexpr int kConnectMs = 30000;
    static constexpr int kRetryMs = 200;

    explicit RmtDsktpCtrlObj(const struRmtDsktpTarget& target,
                             quint16 controlPort = RmtDsktpMsg::kControlPort, QObject* parent = nullptr);

    // Messages written and messages dropped because the channel was not connected (any thread).
    int writtenCount() const { return m_written.loadRelaxed(); }
    int droppedCount() const { return m_dropped.loadRelaxed(); }

signals:
    void sigReplyResult(CCommResult* pRet);
    void sigConnected();

public slots:
    void slInitRmtDsktpCtrlObj();
    void slMouseClicked(int iType, int int1, int int2);
    void slCloseRmtDsktp();
    void slHostFound();
    void slConnected();
    void slError(QAbstractSocket::SocketError error);
    void slDataRcved();
    void slStateChanged(QAbstractSocket::SocketState state);

private:
    void tryConnect();
    void giveUp();

    QTcpSocket* m_pSocket = nullptr;
    QTimer* m_pRetryTimer = nullptr;
    struRmtDsktpTarget m_target;
    quint16 m_controlPort;
    QDeadlineTimer m_deadline;
    bool m_gaveUp = false;
    QAtomicInt m_written;
    QAtomicInt m_dropped;
};
