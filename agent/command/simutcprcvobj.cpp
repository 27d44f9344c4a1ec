#include "simutcprcvobj.h"

#include "agentlogging.h"
#include "comgrpopermgr.h"
#include "commandpool.h"
#include "farmtrust.h"
#include "installrspsormgr.h"
#include "jsoncodec.h"
#include "jsonsplitter.h"
#include "loginret.h"
#include "resultcodes.h"
#include "tcplisten.h"

#include <QAtomicInt>
#include <QDebug>
#include <QHostAddress>
#include <QMetaMethod>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

namespace {
QAtomicInt g_documentWaitMs(SimuTcpRcvObj::kDocumentWaitMs);
// A command document is a few hundred bytes per record; anything this large is not one.
constexpr int kMaxDocumentBytes = 4 * 1024 * 1024;

// A command that the agent, still starting, could not take in time.
CCommResult notReadyRefusal(const QString& why)
{
    return CCommResult::failure(ResultCode::kCommandExpired,
                                QStringLiteral("被控端正在启动，指令未执行，请稍后再试"), why);
}

bool isGroupKind(int iOperType)
{
    return iOperType >= eOperGroupViewBegin && iOperType <= eOperGroupInput;
}

QString peerIPv4(const QTcpSocket* pSocket)
{
    bool ok = false;
    const quint32 v4 = pSocket->peerAddress().toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : pSocket->peerAddress().toString();
}
} // namespace

struct SimuTcpRcvObj::PendingCommand
{
    PendingCommand() : splitter(kMaxDocumentBytes) {}
    JsonSplitter splitter;
    QTimer* pTimer = nullptr;
};

SimuTcpRcvObj::SimuTcpRcvObj(quint16 port, QObject* parent) : SimuTcpRcvObj(port, Options(), parent) {}

SimuTcpRcvObj::SimuTcpRcvObj(quint16 port, const Options& options, QObject* parent)
    : QObject(parent), m_port(port), m_options(options), m_bReady(!options.bHoldUntilReady),
      m_pPool(new CommandPool(options.iMaxCommandThreads, this))
{
    m_clock.start();
}

SimuTcpRcvObj::~SimuTcpRcvObj()
{
    qDeleteAll(m_pending);
}

void SimuTcpRcvObj::SetDocumentWaitMs(int ms)
{
    g_documentWaitMs.storeRelaxed(ms);
}

int SimuTcpRcvObj::DocumentWaitMs()
{
    return g_documentWaitMs.loadRelaxed();
}

void SimuTcpRcvObj::slInitSocket()
{
    if (m_pServer)
        return;
    m_pServer = listenOnAnyIPv4(
        m_port, this, [this] { slNewConnection(); }, Qt::QueuedConnection);
    m_listenPort.storeRelease(m_pServer ? m_pServer->serverPort() : 0);
    emit sigListening(m_listenPort.loadRelaxed());
}

void SimuTcpRcvObj::slInventoryReady()
{
    if (m_bReady)
        return;
    m_bReady = true;
    if (m_pHoldTimer)
        m_pHoldTimer->stop();
    const QList<HeldCommand> held = m_held;
    m_held.clear();
    if (!held.isEmpty())
        qCInfo(lcCommand) << "SimuTcpRcvObj: inventory ready, running" << held.size() << "held commands";
    for (const HeldCommand& cmd : held)
        Dispatch(cmd.pSocket, cmd.opers, cmd.rest);
}

// Only an install keeps its connection while it waits (its file follows the document); every other
// command's connection ends as it would after dispatch, so that held commands hold no sockets.
void SimuTcpRcvObj::Hold(QTcpSocket* pSocket, const QList<struSimuOper>& opers, const QByteArray& rest)
{
    const int type = opers.first().iOperType;
    if (m_held.size() >= kMaxHeldCommands) {
        Refuse(pSocket, opers,
               notReadyRefusal(QStringLiteral("%1 commands held already").arg(m_held.size())));
        return;
    }
    if (type != eOperInstall) {
        EndConnection(pSocket, type);
        pSocket = nullptr;
    }
    qCInfo(lcCommand) << "SimuTcpRcvObj: command held until the inventory scan is done, at most"
                      << m_options.iHoldLimitMs << "ms";
    m_held.append(HeldCommand{pSocket, opers, rest, m_clock.elapsed()});
    if (!m_pHoldTimer) {
        m_pHoldTimer = new QTimer(this);
        connect(m_pHoldTimer, &QTimer::timeout, this, &SimuTcpRcvObj::DropExpiredHeld);
    }
    if (!m_pHoldTimer->isActive())
        m_pHoldTimer->start(qBound(10, m_options.iHoldLimitMs / 10, 1000));
}

void SimuTcpRcvObj::DropExpiredHeld()
{
    const qint64 now = m_clock.elapsed();
    for (int i = m_held.size() - 1; i >= 0; --i) {
        if (now - m_held.at(i).heldSinceMs < m_options.iHoldLimitMs)
            continue;
        const HeldCommand cmd = m_held.takeAt(i);
        Refuse(cmd.pSocket, cmd.opers,
               notReadyRefusal(QStringLiteral("held %1 ms while the start-up inventory scan ran")
                                   .arg(now - cmd.heldSinceMs)));
    }
    if (m_held.isEmpty())
        m_pHoldTimer->stop();
}

void SimuTcpRcvObj::Refuse(QTcpSocket* pSocket, const QList<struSimuOper>& opers, const CCommResult& why)
{
    qCWarning(lcCommand).noquote() << "SimuTcpRcvObj: command of type" << opers.first().iOperType
                                   << "not run:" << why.log;
    if (pSocket)
        CloseConnection(pSocket);
    auto* pMgr = new ComGrpOperMgr(m_options.notifier);
    pMgr->SetOpers(opers);
    pMgr->Refuse(why);
    StartGroup(pMgr);
}

void SimuTcpRcvObj::slNewConnection()
{
    while (m_pServer && m_pServer->hasPendingConnections()) {
        QTcpSocket* pSocket = m_pServer->nextPendingConnection();
        if (pSocket->state() != QAbstractSocket::ConnectedState &&
            !pSocket->waitForConnected(DocumentWaitMs())) {
            qCWarning(lcCommand).noquote() << "tcpSocket连接失败" << pSocket->errorString();
            pSocket->deleteLater();
            continue;
        }
        BeginReading(pSocket);
    }
}

// The document is read as it arrives, for as long as it takes within the document wait, so a
// console that sends it in pieces, or together with the file behind it, is understood.
void SimuTcpRcvObj::BeginReading(QTcpSocket* pSocket)
{
    auto* pPending = new PendingCommand;
    pPending->pTimer = new QTimer(pSocket);
    pPending->pTimer->setSingleShot(true);
    m_pending.insert(pSocket, pPending);
    connect(pPending->pTimer, &QTimer::timeout, this, [this, pSocket] {
        AbandonCommand(pSocket, CCommResult::failure(ResultCode::WaitReadyReadFailed,
                                                     QStringLiteral("等待准备可读数据失败"),
                                                     QStringLiteral("command document incomplete")));
    });
    connect(pSocket, &QTcpSocket::readyRead, this, [this, pSocket] { ReadCommand(pSocket); });
    connect(pSocket, &QTcpSocket::disconnected, this, [this, pSocket] {
        ReadCommand(pSocket);
        if (m_pending.contains(pSocket))
            AbandonCommand(pSocket, CCommResult::failure(ResultCode::WaitReadyReadFailed,
                                                         QStringLiteral("等待准备可读数据失败"),
                                                         QStringLiteral("connection ended")));
    });
    pPending->pTimer->start(DocumentWaitMs());
    if (pSocket->bytesAvailable() > 0)
        ReadCommand(pSocket);
}

void SimuTcpRcvObj::ReadCommand(QTcpSocket* pSocket)
{
    PendingCommand* pPending = m_pending.value(pSocket);
    if (!pPending)
        return;
    pPending->splitter.append(pSocket->readAll());
    QByteArray doc;
    switch (pPending->splitter.next(doc)) {
    case JsonSplitter::Incomplete:
        return;
    case JsonSplitter::Invalid: {
        const QByteArray bad = pPending->splitter.takeBuffered();
        qCWarning(lcCommand).noquote()
            << "SimuTcpRcvObj: not a command document:" << QString::fromUtf8(bad.left(512));
        StopReading(pSocket);
        CloseConnection(pSocket);
        return;
    }
    case JsonSplitter::Complete: {
        const QByteArray rest = pPending->splitter.takeBuffered();
        StopReading(pSocket);
        HandleDocument(pSocket, doc, rest);
        return;
    }
    }
}

void SimuTcpRcvObj::AbandonCommand(QTcpSocket* pSocket, const CCommResult& why)
{
    if (!m_pending.contains(pSocket))
        return;
    qCWarning(lcCommand).noquote() << why.str << why.log << pSocket->errorString();
    StopReading(pSocket);
    CloseConnection(pSocket);
}

void SimuTcpRcvObj::StopReading(QTcpSocket* pSocket)
{
    PendingCommand* pPending = m_pending.take(pSocket);
    if (!pPending)
        return;
    pPending->pTimer->stop();
    pPending->pTimer->deleteLater();
    disconnect(pSocket, nullptr, this, nullptr);
    delete pPending;
}

void SimuTcpRcvObj::HandleDocument(QTcpSocket* pSocket, const QByteArray& doc, const QByteArray& rest)
{
    qCDebug(lcCommand).noquote() << "SimuTcpRcvObj received:" << QString::fromUtf8(doc);
    const QString peer = peerIPv4(pSocket);
    const FarmTrust::ReadDoc read = FarmTrust::readCommandDoc(doc, m_verifier, peer);
    if (!read.parse.ok()) {
        CloseConnection(pSocket);
        return;
    }
    // Nothing is told to a sender that cannot prove it knows the farm key.
    if (!read.accepted()) {
        qCWarning(lcCommand).noquote()
            << "SimuTcpRcvObj: command from" << peer << "refused:" << MsgAuth::verdictText(read.verdict);
        CloseConnection(pSocket);
        return;
    }
    const QList<struSimuOper>& opers = read.opers;
    const QString userName = LoginRecord::userName();
    if (opers.isEmpty() || userName.isEmpty() || read.parse.str != userName) {
        qCWarning(lcCommand).noquote() << "SimuTcpRcvObj: command ignored, records" << opers.size() << "user"
                                       << read.parse.str << "signed in as" << userName;
        LeaveToConsole(pSocket);
        return;
    }
    if (opers.first().iOperType == eOperRmtDesktopBegin && read.verdict == MsgAuth::eVerdict::Ok)
        FarmTrust::noteRunBegin(opers.first().runId, MsgAuth::nonceOf(read.doc));
    // Group control stores nothing, so it need not wait for the inventory scan.
    if (!m_bReady && !isGroupKind(opers.first().iOperType)) {
        Hold(pSocket, opers, rest);
        return;
    }
    Dispatch(pSocket, opers, rest);
}

void SimuTcpRcvObj::Dispatch(QTcpSocket* pSocket, const QList<struSimuOper>& opers, const QByteArray& rest)
{
    const int type = opers.first().iOperType;
    // Group input comes many times a second: its commands are logged only when asked for.
    const QString line = QStringLiteral("command of type %1 with %2 record(s) from %3")
                             .arg(type)
                             .arg(opers.size())
                             .arg(opers.first().centerIP);
    if (type == eOperGroupInput)
        qCDebug(lcCommand).noquote() << line;
    else
        qCInfo(lcCommand).noquote() << line;
    emit sigCommandAccepted(type, opers.size());
    switch (type) {
    case eOperInstall:
        RunInstall(pSocket, opers, rest);
        return;
    case eOperRmtDesktopBegin:
        qCInfo(lcCommand) << "SimuTcpRcvObj: remote desktop begin, port" << opers.first().iExtra;
        emit sigRmtDesktopBegin(opers.first().centerIP, opers.first().memuIdx, opers.first().iExtra,
                                opers.first().runId);
        EndConnection(pSocket, type);
        return;
    case eOperRmtDesktopEnd:
        qCInfo(lcCommand) << "SimuTcpRcvObj: remote desktop end";
        emit sigRmtDesktopEnd(opers.first().centerIP, opers.first().runId);
        EndConnection(pSocket, type);
        return;
    case eOperGroupViewBegin:
    case eOperGroupViewEnd:
    case eOperGroupInput:
        RunGroupCommand(pSocket, opers);
        return;
    default:
        EndConnection(pSocket, type);
        StartComGroup(opers);
        return;
    }
}

// Starts, closes, deletes, creates and the remote-desktop commands end their connection at once;
// for the others the console closes it.
void SimuTcpRcvObj::EndConnection(QTcpSocket* pSocket, int iOperType)
{
    if (!pSocket)
        return;
    switch (iOperType) {
    case eOperStartup:
    case eOperClose:
    case eOperDelete:
    case eOperCreate:
    case eOperRmtDesktopBegin:
    case eOperRmtDesktopEnd:
        CloseConnection(pSocket);
        return;
    default:
        LeaveToConsole(pSocket);
        return;
    }
}

void SimuTcpRcvObj::RunGroupCommand(QTcpSocket* pSocket, const QList<struSimuOper>& opers)
{
    if (!isSignalConnected(QMetaMethod::fromSignal(&SimuTcpRcvObj::sigGroupCommand)) || !pSocket) {
        if (pSocket)
            CloseConnection(pSocket);
        return;
    }
    const quint64 ticket = ++m_lastTicket;
    m_groupWaits.insert(ticket, pSocket);
    connect(pSocket, &QTcpSocket::disconnected, pSocket, &QObject::deleteLater);
    QTimer::singleShot(kGroupReplyWaitMs, pSocket, [this, ticket, pSocket] {
        if (!m_groupWaits.remove(ticket))
            return; // answered
        qCWarning(lcCommand) << "SimuTcpRcvObj: no reply to group command" << ticket << "in time";
        pSocket->abort();
        pSocket->deleteLater();
    });
    emit sigGroupCommand(ticket, opers);
}

void SimuTcpRcvObj::slGroupReply(quint64 iTicket, QByteArray reply)
{
    const QPointer<QTcpSocket> pSocket = m_groupWaits.take(iTicket);
    if (!pSocket)
        return;
    pSocket->write(reply);
    pSocket->disconnectFromHost();
    LeaveToConsole(pSocket);
}

// The install runs on a thread of its own with the connection: the command thread goes on accepting
// commands however long the APK takes to arrive.
void SimuTcpRcvObj::RunInstall(QTcpSocket* pSocket, const QList<struSimuOper>& opers, const QByteArray& rest)
{
    disconnect(pSocket, nullptr, this, nullptr);
    pSocket->setParent(nullptr);
    auto* pMgr = new InstallRspsorMgr(pSocket, rest, m_options.notifier);
    pMgr->SetOpers(opers);
    pMgr->SetReceiveDeadline(m_options.iInstallBaseMs, m_options.iInstallMinBytesPerSec);
    StartGroup(pMgr, pSocket);
}

void SimuTcpRcvObj::StartComGroup(const QList<struSimuOper>& opers)
{
    auto* pMgr = new ComGrpOperMgr(m_options.notifier);
    pMgr->SetOpers(opers);
    StartGroup(pMgr);
}

void SimuTcpRcvObj::StartGroup(RspsorGrpOperMgr* pMgr, QTcpSocket* pSocket)
{
    if (auto* pComMgr = qobject_cast<ComGrpOperMgr*>(pMgr)) {
        connect(pComMgr, &ComGrpOperMgr::sigNewSimuStarted, this, &SimuTcpRcvObj::sigNewSimuStarted);
        connect(pComMgr, &ComGrpOperMgr::sigSimuClosed, this, &SimuTcpRcvObj::sigSimuClosed);
    }
    // An install's group reads the connection on its thread and ends it there.
    m_pPool->submit(pMgr, pSocket, qobject_cast<InstallRspsorMgr*>(pMgr) != nullptr);
}

void SimuTcpRcvObj::CloseConnection(QTcpSocket* pSocket)
{
    disconnect(pSocket, nullptr, this, nullptr);
    pSocket->close();
    pSocket->deleteLater();
}

// The console closes these connections itself; a peer that never does is dropped after the
// document wait so that no connection stays open for good.
void SimuTcpRcvObj::LeaveToConsole(QTcpSocket* pSocket)
{
    if (pSocket->state() == QAbstractSocket::UnconnectedState) {
        pSocket->deleteLater();
        return;
    }
    connect(pSocket, &QTcpSocket::disconnected, pSocket, &QObject::deleteLater);
    QTimer::singleShot(DocumentWaitMs(), pSocket, [pSocket] {
        pSocket->abort();
        pSocket->deleteLater();
    });
}
