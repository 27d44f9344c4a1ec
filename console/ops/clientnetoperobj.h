#pragma once

#include "commresult.h"
#include "ports.h"

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QQueue>
#include <QStringList>

#include <memory>

class AgentRegistry;
class DevControlAbsMgr;
class SentOperLedger;
struct OpsPcSend;

// The command client of one agent PC. Each operation marks its target emulators busy, sends one
// command to the agent's command server (an install streams the APK behind it) and, when the console
// itself cannot deliver it, puts the states back and reports the failure.
//
// Operations reach it by queued calls and wait in its queue: one is delivered at a time, in the order
// they came, so operations on one PC keep their order. A delivery blocks nothing: its manager works
// on the event loop of the client's thread, so the clients of every PC share one thread (the
// ConsoleOpsService's) and different PCs are delivered side by side.
//
// With a registry, every operation goes to the PC's address and nick name as the registry has them at
// that moment (a PC that got another address is reached there); without one, to those it was made
// with. With a ledger, the targets of every operation are entered there before it is sent, so that
// the result server takes the agent's reports of it (and only those).
class ClientNetOperObj : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 kDefaultAgentPort = Tovia::kCommandPort;

    ClientNetOperObj(const QString& pcName, const QString& nickName, const QString& ipAddr,
                     quint16 agentPort = kDefaultAgentPort, QObject* parent = nullptr);

    // Waits of the delivery (defaults: connect 6000 ms, 30000 ms per write, 100 ms before the file).
    void SetWaits(int connectWaitMs, int writeWaitMs, int filePauseMs);
    void SetRegistry(std::shared_ptr<const AgentRegistry> registry) { m_pRegistry = std::move(registry); }
    void SetLedger(std::shared_ptr<SentOperLedger> ledger) { m_pLedger = std::move(ledger); }
    QString PcName() const { return m_pcName; }
    // The address the next operation goes to.
    QString IpAddr() const;
    QString NickName() const;
    // The time the next operation would carry: the clock's, or one second after the previous
    // operation's when that is not earlier (so the order within the PC holds without running ahead).
    int NextOperTime();

    // Marker targets of the two remote-desktop commands.
    static QString RemoteDesktopBeginMarker() { return QStringLiteral("remoteDesktop"); }
    static QString RemoteDesktopEndMarker() { return QStringLiteral("closeRmtDsktp"); }

signals:
    void sigNetOperReplyResult(CCommResult* pRet);
    // The targets' states shown while an operation runs and after it failed. The JSON form, one
    // message per target, is made only while something is connected to it.
    void sigSimuStates(QString strPcName, QStringList strMemuIdxList, int iState, int iTime);
    void sigNewSimuStateParamArrived(QByteArray aryJson);
    void sigNewSimuImgArrived(QString strMemuIdx, QImage* pImg);
    void sigNewSimuStateChangedByIndex(QString strIndex, int iState);
    void sigBeginInstall(QString strMemuIdx);
    void sigInstallProgress(QString strMemuIdx, int iProgress);
    void sigInstallFinished(QString strMemuIdx);
    // Every operation when its delivery is over: its type, the targets and the delivery's code.
    void sigOperDelivered(int iType, QStringList strMemuIdxList, int iRet);

public slots:
    void slInitSocket();
    void slSetStateAtBegin(int iType, QStringList strMemuIdxList, int iTime);
    // The operation reached the agent: its targets keep their busy state until the agent reports.
    void slSetStateAtEndIfSuccess(int iType, QStringList strMemuIdxList);
    // The argument of the next operation (the APK path of an install, the new name of a rename).
    // Queued in order with the operations, so each operation takes the argument set just before it.
    void slSetOperArgument(QString strArg);
    void slOperateSimus(int iType, QStringList strMemuIdxList);
    void slSetStateAtEndIfFail(int iType, QStringList strMemuIdxList);
    void slSetStateWhenCenterToolErr(int iType, QStringList strMemuIdxList, int iTime);
    void slInstallApk4Simus(QStringList strSimusList, QString strPath);
    // Remote desktop: begin the run strRunId streaming to the given UDP port of this console, or end
    // the run last begun.
    void slRemoteDesktop(int iVideoPort, QString strRunId = QString());
    void slCloseRemoteDesktop();
    // A delivery's outcome: a failure goes to the user (sigNetOperReplyResult takes pRet), success is
    // only logged. The slot owns pRet.
    void slReplyResult(CCommResult* pRet);
    void slEmitBeginInstall(QString strMemuIdx);
    void slEmitInstallProgress(QString strMemuIdx, int iProgress);
    void slEmitInstallFinished(QString strMemuIdx);

public:
    // One checked operation of this PC with its argument: queued like the slots above.
    void Operate(const OpsPcSend& oper);
    // Operations waiting and the one under way.
    int PendingCount() const { return m_queue.size() + (m_pRunning ? 1 : 0); }

private:
    // An operation as it was asked for, with the argument and remote-desktop values of that moment.
    struct struQueuedOper
    {
        int iType = 0;
        QStringList memuIdxs;
        QString strArg;
        int iVideoPort = 0;
        QString runId;
    };
    void Enqueue(int iType, const QStringList& memuIdxs);
    void StartNext();
    void Delivered(const struQueuedOper& oper, int iTime, const CCommResult& r);
    DevControlAbsMgr* CreateMgr(const struQueuedOper& oper, int iTime);
    void EmitStates(const QStringList& memuIdxs, int iState, int iTime);
    bool isJsonStateConnected() const;

    QString m_pcName;
    QString m_nickName;
    QString m_ipAddr;
    quint16 m_agentPort;
    QString m_strArg;
    int m_iRmtDesktopPort = 0;
    QString m_strRmtDesktopRunId;
    int m_iLastOperTime = 0;
    int m_connectWaitMs = 6000;
    int m_writeWaitMs = 30000;
    int m_filePauseMs = 100;
    std::shared_ptr<const AgentRegistry> m_pRegistry;
    std::shared_ptr<SentOperLedger> m_pLedger;
    QQueue<struQueuedOper> m_queue;
    DevControlAbsMgr* m_pRunning = nullptr;
};
