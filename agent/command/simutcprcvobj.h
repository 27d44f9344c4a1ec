#pragma once

#include "commresult.h"
#include "msgauth.h"
#include "notifierrun.h"
#include "ports.h"
#include "simurecords.h"

#include <QAtomicInteger>
#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>

class CommandPool;
class ComGrpOperMgr;
class RspsorGrpOperMgr;
class JsonSplitter;
class QTcpServer;
class QTcpSocket;
class QTimer;

// The agent's command server, living on the command thread. The console opens one connection per
// command and writes one command document (for an install followed by the APK's bytes); nothing is
// sent back on it. Commands are carried out on the threads of a bounded pool (CommandPool), so
// commands run in parallel and this thread only accepts and reads them; installs run one at a time
// (they share the received file), and a stalled or trickling APK holds up no other command.
// Command kinds are dispatched in Dispatch(): the emulator operations go to a group manager on the
// pool, the remote-desktop kinds to their signals, the group-control kinds (8-10) to
// sigGroupCommand; those are the only commands answered on their own connection (one GroupReply).
class SimuTcpRcvObj : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = Tovia::kCommandPort;
    // Longest time from accepting a connection until its command document is complete.
    static constexpr int kDocumentWaitMs = 30000;
    // Commands held at most at once; one more is refused at once.
    static constexpr int kMaxHeldCommands = 64;
    // Longest wait of a group-control command's connection for its reply.
    static constexpr int kGroupReplyWaitMs = 5000;

    struct Options
    {
        // Commands that arrive before slInventoryReady() wait for it (the start-up inventory scan
        // would otherwise overwrite what they store), but no longer than this: a command held
        // longer is dropped with a result to its console.
        bool bHoldUntilReady = false;
        int iHoldLimitMs = 90000;
        // An install's whole receive ends after this long plus its declared size at the rate below.
        int iInstallBaseMs = 30000;
        int iInstallMinBytesPerSec = 256 * 1024;
        // How every command's outcome reaches the console.
        struNotifierOptions notifier;
        // Commands carried out at the same time; more wait for a thread.
        int iMaxCommandThreads = 8;
    };

    explicit SimuTcpRcvObj(quint16 port = kDefaultPort, QObject* parent = nullptr);
    SimuTcpRcvObj(quint16 port, const Options& options, QObject* parent = nullptr);
    ~SimuTcpRcvObj() override;

    // The port actually listened on (useful with port 0); 0 before listening or after a failure.
    quint16 ServerPort() const { return m_listenPort.loadAcquire(); }

    static void SetDocumentWaitMs(int ms);
    static int DocumentWaitMs();

signals:
    // Listening started (port) or failed (0).
    void sigListening(quint16 port);
    void sigNewSimuStarted(QString strSimuName, QString strMemuIndex);
    void sigSimuClosed(QString strSimuName, QString strMemuIndex);
    void sigMsgParam(int iMsgType, int iParam, QString str, QByteArray aryParam);
    // A remote-desktop begin (console address, marker, the console's UDP port, the run's id) or end
    // command (console address, the id of the run it ends; empty ids: the console names no run).
    void sigRmtDesktopBegin(QString strPeerAddr, QString strMemuIdx, int iExtra, QString strRunId);
    void sigRmtDesktopEnd(QString strPeerAddr, QString strRunId);
    // A command was accepted and handed on (tests and the log follow it).
    void sigCommandAccepted(int iOperType, int iRecordCount);
    // A group-control command (view begin, view end, input); its connection waits for the reply
    // (slGroupReply with the same ticket). Without a receiver these commands are dropped unanswered,
    // as an agent that knows no group control drops them.
    void sigGroupCommand(quint64 iTicket, QList<struSimuOper> opers);

public slots:
    void slInitSocket();
    void slNewConnection();
    // The start-up inventory scan is done: commands held until now run, in their order.
    void slInventoryReady();
    // The reply document of a group-control command: written to its connection, which then ends.
    void slGroupReply(quint64 iTicket, QByteArray reply);

private:
    struct PendingCommand;
    struct HeldCommand
    {
        QTcpSocket* pSocket; // an install's connection, which carries its file; null otherwise
        QList<struSimuOper> opers;
        QByteArray rest;
        qint64 heldSinceMs;
    };

    void BeginReading(QTcpSocket* pSocket);
    void ReadCommand(QTcpSocket* pSocket);
    void AbandonCommand(QTcpSocket* pSocket, const CCommResult& why);
    void StopReading(QTcpSocket* pSocket);
    void HandleDocument(QTcpSocket* pSocket, const QByteArray& doc, const QByteArray& rest);
    void Dispatch(QTcpSocket* pSocket, const QList<struSimuOper>& opers, const QByteArray& rest);
    void Hold(QTcpSocket* pSocket, const QList<struSimuOper>& opers, const QByteArray& rest);
    void DropExpiredHeld();
    // Runs nothing and tells the console why, for each record, from a thread of its own.
    void Refuse(QTcpSocket* pSocket, const QList<struSimuOper>& opers, const CCommResult& why);
    // What the connection of a command of this type needs once the command is read.
    void EndConnection(QTcpSocket* pSocket, int iOperType);
    void RunGroupCommand(QTcpSocket* pSocket, const QList<struSimuOper>& opers);
    void RunInstall(QTcpSocket* pSocket, const QList<struSimuOper>& opers, const QByteArray& rest);
    void StartComGroup(const QList<struSimuOper>& opers);
    void StartGroup(RspsorGrpOperMgr* pMgr, QTcpSocket* pSocket = nullptr);
    void CloseConnection(QTcpSocket* pSocket);
    void LeaveToConsole(QTcpSocket* pSocket);

    quint16 m_port;
    Options m_options;
    bool m_bReady = true;
    QList<HeldCommand> m_held;
    QTimer* m_pHoldTimer = nullptr;
    QElapsedTimer m_clock;
    QAtomicInteger<quint16> m_listenPort;
    QTcpServer* m_pServer = nullptr;
    QHash<QTcpSocket*, PendingCommand*> m_pending;
    QHash<quint64, QPointer<QTcpSocket>> m_groupWaits;
    quint64 m_lastTicket = 0;
    CommandPool* m_pPool;
    MsgVerifier m_verifier{MsgAuth::eChannel::Command};
};
