#include "desktoprunmgr.h"

#include "desktopvideosender.h"
#include "simutcprcvobj.h"

#include <QDebug>
#include <QHostAddress>
#include <QThread>
#include <QTimer>

namespace {
constexpr int kThreadEndMs = 10000;
}

DesktopRunMgr::DesktopRunMgr(QObject* parent, quint16 controlPort, const QString& grabberPath)
    : QObject(parent), m_controlPort(controlPort), m_grabberPath(grabberPath)
{
}

DesktopRunMgr::~DesktopRunMgr()
{
    // Shutdown: the event loop of this thread may be gone, so no hand-shake; ending the sender's
    // thread deletes the sender, which kills the grabber and closes its sockets.
    stopThread(m_pThread);
}

void DesktopRunMgr::attach(SimuTcpRcvObj* pRcvObj)
{
    if (!connect(pRcvObj, &SimuTcpRcvObj::sigRmtDesktopBegin, this, &DesktopRunMgr::slRmtDesktopBegin))
        qWarning() << "connect SimuTcpRcvObj::sigRmtDesktopBegin DesktopRunMgr::slRmtDesktopBegin err";
    if (!connect(pRcvObj, &SimuTcpRcvObj::sigRmtDesktopEnd, this, &DesktopRunMgr::slRmtDesktopEnd))
        qWarning() << "connect SimuTcpRcvObj::sigRmtDesktopEnd DesktopRunMgr::slRmtDesktopEnd err";
}

void DesktopRunMgr::slRmtDesktopBegin(QString strPeerAddr, QString strMemuIdx, int iExtra)
{
    Q_UNUSED(strMemuIdx);
    beginRmtDsktp(strPeerAddr, iExtra);
}

void DesktopRunMgr::slRmtDesktopEnd()
{
    endRmtDsktp();
}

CCommResult DesktopRunMgr::beginRmtDsktp(const QString& peerAddr, int port)
{
    qWarning() << "begin remote desktop server";
    if (deferWhileClosing({true, peerAddr, port}))
        return CCommResult();
    if (m_pThread) {
        qWarning() << "a remote desktop run is active: it is closed first";
        endRmtDsktp();
    }
    if (port <= 0 || port > 65535) {
        qWarning() << "remote desktop begin with the stream port" << port << "refused: not a port";
        return CCommResult();
    }
    m_pSender = new DesktopVideoSender(QHostAddress(peerAddr), m_controlPort, m_grabberPath);
    m_pThread = new QThread;
    m_pSender->moveToThread(m_pThread);
    if (!connect(this, SIGNAL(sigSendVideoStrem(QString)), m_pSender, SLOT(slSendVideoStream(QString))))
        qWarning() << "connect &QThread::started &DesktopVideoSender::slRun err";
    if (!connect(m_pThread, &QThread::finished, m_pSender, &QObject::deleteLater))
        qWarning() << "connect &QThread::quit &QObject::deleteLater err";
    emit sigRunStarted(m_pSender);
    const QString url = QStringLiteral("udp://%1:%2").arg(peerAddr).arg(port);
    m_hasRun.store(true);
    m_pThread->start(QThread::InheritPriority);
    emit sigSendVideoStrem(url);
    return CCommResult();
}

CCommResult DesktopRunMgr::endRmtDsktp()
{
    if (deferWhileClosing({false, QString(), 0}))
        return CCommResult();
    if (!m_pThread) {
        qWarning() << "remote desktop end without a run: ignored";
        return CCommResult();
    }
    // The wait below serves this thread's events, so further commands may arrive meanwhile: they
    // are kept and carried out in order once this run is closed.
    DesktopVideoSender* pSender = m_pSender;
    QThread* pThread = m_pThread;
    m_pSender = nullptr;
    m_pThread = nullptr;
    m_closing = true;
    disconnect(this, nullptr, pSender, nullptr);
    pSender->closeStreamAndWait();
    stopThread(pThread);
    m_closing = false;
    m_hasRun.store(false);
    if (!m_pending.isEmpty())
        QTimer::singleShot(0, this, &DesktopRunMgr::runPending);
    return CCommResult();
}

bool DesktopRunMgr::deferWhileClosing(const Pending& command)
{
    if (!m_closing)
        return false;
    qWarning() << "remote desktop command kept until the closing run has ended";
    m_pending.append(command);
    return true;
}

void DesktopRunMgr::runPending()
{
    while (!m_pending.isEmpty() && !m_closing) {
        const Pending command = m_pending.takeFirst();
        if (command.begin)
            beginRmtDsktp(command.peerAddr, command.port);
        else
            endRmtDsktp();
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
        qWarning() << "remote desktop thread did not end within" << kThreadEndMs << "ms";
        connect(pThread, &QThread::finished, pThread, &QObject::deleteLater);
    }
}
