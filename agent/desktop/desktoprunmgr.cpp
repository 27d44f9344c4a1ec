#include "desktoprunmgr.h"

#include "agentlogging.h"
#include "desktopvideosender.h"
#include "grabberrecord.h"
#include "simutcprcvobj.h"

#include <QDebug>
#include <QHostAddress>
#include <QThread>
#include <QTimer>

namespace {
constexpr int kThreadEndMs = 10000;
}

DesktopRunMgr::DesktopRunMgr(QObject* parent, quint16 controlPort, const QString& grabberPath)
    : QObject(parent), m_controlPort(controlPort),
      m_grabberPath(grabberPath.isEmpty() ? DesktopRunOptions::defaultGrabberPath() : grabberPath)
{
    // An agent that crashed left its grabbers streaming to a console that no longer watches.
    const int ended = GrabberRecord::endLeftovers(m_grabberPath);
    if (ended > 0)
        qCWarning(lcDesktop) << "remote desktop: ended" << ended
                             << "grabbers left running by an earlier agent";
}

DesktopRunMgr::~DesktopRunMgr()
{
    // Shutdown: the event loop of this thread may be gone, so no hand-shake; ending the sender's
    // thread deletes the sender, which tells its console, kills the grabber and closes its sockets.
    stopThread(m_pThread);
}

void DesktopRunMgr::attach(SimuTcpRcvObj* pRcvObj)
{
    if (!connect(pRcvObj, &SimuTcpRcvObj::sigRmtDesktopBegin, this, &DesktopRunMgr::slRmtDesktopBegin))
        qCWarning(lcDesktop)
            << "connect SimuTcpRcvObj::sigRmtDesktopBegin DesktopRunMgr::slRmtDesktopBegin err";
    if (!connect(pRcvObj, &SimuTcpRcvObj::sigRmtDesktopEnd, this, &DesktopRunMgr::slRmtDesktopEnd))
        qCWarning(lcDesktop) << "connect SimuTcpRcvObj::sigRmtDesktopEnd DesktopRunMgr::slRmtDesktopEnd err";
}

void DesktopRunMgr::slRmtDesktopBegin(QString strPeerAddr, QString strMemuIdx, int iExtra, QString strRunId)
{
    Q_UNUSED(strMemuIdx);
    beginRmtDsktp(strPeerAddr, iExtra, strRunId);
}

void DesktopRunMgr::slRmtDesktopEnd(QString strPeerAddr, QString strRunId)
{
    endRmtDsktp(strPeerAddr, strRunId);
}

CCommResult DesktopRunMgr::beginRmtDsktp(const QString& peerAddr, int port, const QString& runId)
{
    qCInfo(lcDesktop).noquote() << "begin remote desktop server for" << peerAddr << "run" << runId;
    if (deferWhileClosing({true, peerAddr, port, runId}))
        return CCommResult();
    if (port <= 0 || port > 65535) {
        qCWarning(lcDesktop) << "remote desktop begin with the stream port" << port << "refused: not a port";
        return CCommResult();
    }
    if (m_pSender) {
        const bool sameConsole =
            QHostAddress(peerAddr).isEqual(m_pSender->consoleAddr(), QHostAddress::ConvertV4MappedToIPv4);
        qCInfo(lcDesktop).noquote() << "a remote desktop run of" << m_pSender->consoleAddr().toString()
                                    << "is active: it is closed first";
        closeRun(sameConsole ? RmtDsktpMsg::eEndReplaced : RmtDsktpMsg::eEndTakenOver, peerAddr);
    }
    GrabberRecord::endLeftovers(m_grabberPath);
    m_pSender = new DesktopVideoSender(QHostAddress(peerAddr), runId,
                                       DesktopRunOptions::fromSettings(m_controlPort, m_grabberPath));
    m_pThread = new QThread;
    m_pSender->moveToThread(m_pThread);
    if (!connect(this, SIGNAL(sigSendVideoStrem(QString)), m_pSender, SLOT(slSendVideoStream(QString))))
        qCWarning(lcDesktop)
            << "connect DesktopRunMgr::sigSendVideoStrem DesktopVideoSender::slSendVideoStream err";
    if (!connect(m_pThread, &QThread::finished, m_pSender, &QObject::deleteLater))
        qCWarning(lcDesktop) << "connect QThread::finished DesktopVideoSender::deleteLater err";
    DesktopVideoSender* pSender = m_pSender;
    connect(pSender, &DesktopVideoSender::sigRunEnded, this, [this, pSender] { onRunEnded(pSender); });
    emit sigRunStarted(m_pSender);
    const QString url = QStringLiteral("udp://%1:%2").arg(peerAddr).arg(port);
    m_hasRun.store(true);
    m_pThread->start(QThread::InheritPriority);
    emit sigSendVideoStrem(url);
    return CCommResult();
}

CCommResult DesktopRunMgr::endRmtDsktp(const QString& peerAddr, const QString& runId)
{
    if (deferWhileClosing({false, peerAddr, 0, runId}))
        return CCommResult();
    if (!m_pSender) {
        qCWarning(lcDesktop) << "remote desktop end without a run: ignored";
        return CCommResult();
    }
    const bool ownConsole =
        QHostAddress(peerAddr).isEqual(m_pSender->consoleAddr(), QHostAddress::ConvertV4MappedToIPv4);
    if (!ownConsole || (!runId.isEmpty() && runId != m_pSender->runId())) {
        qCWarning(lcDesktop).noquote()
            << "remote desktop end from" << peerAddr << "for run" << runId << "ignored: the run is"
            << m_pSender->runId() << "of" << m_pSender->consoleAddr().toString();
        return CCommResult();
    }
    closeRun(RmtDsktpMsg::eEndByConsole, QString());
    return CCommResult();
}

// The wait below serves this thread's events, so further commands may arrive meanwhile: they are
// kept and carried out in order once this run is closed.
void DesktopRunMgr::closeRun(int reason, const QString& detail)
{
    DesktopVideoSender* pSender = m_pSender;
    QThread* pThread = m_pThread;
    m_pSender = nullptr;
    m_pThread = nullptr;
    m_closing = true;
    disconnect(this, nullptr, pSender, nullptr);
    disconnect(pSender, nullptr, this, nullptr);
    pSender->closeStreamAndWait(reason, detail);
    stopThread(pThread);
    m_closing = false;
    m_hasRun.store(m_pSender != nullptr);
    if (!m_pending.isEmpty())
        QTimer::singleShot(0, this, &DesktopRunMgr::runPending);
}

// A run that ended by itself is closed already; only its thread is left to end.
void DesktopRunMgr::onRunEnded(DesktopVideoSender* pSender)
{
    if (pSender != m_pSender || m_closing)
        return;
    closeRun(RmtDsktpMsg::eEndNone, QString());
}

bool DesktopRunMgr::deferWhileClosing(const Pending& command)
{
    if (!m_closing)
        return false;
    qCInfo(lcDesktop) << "remote desktop command kept until the closing run has ended";
    m_pending.append(command);
    return true;
}

void DesktopRunMgr::runPending()
{
    while (!m_pending.isEmpty() && !m_closing) {
        const Pending command = m_pending.takeFirst();
        if (command.begin)
            beginRmtDsktp(command.peerAddr, command.port, command.runId);
        else
            endRmtDsktp(command.peerAddr, command.runId);
    }
}

void DesktopRunMgr::stopThread(QThread* pThread)
{
    if (!pThread)
        return;
    pThread->quit();
    if (pThread->wait(kThreadEndMs)) {
        delete pThread;
    } else {
        qCWarning(lcDesktop) << "remote desktop thread did not end within" << kThreadEndMs << "ms";
        connect(pThread, &QThread::finished, pThread, &QObject::deleteLater);
    }
}
