#include "desktoprunmgr.h"

#include "desktopvideosender.h"
#include "simutcprcvobj.h"

#include <QDebug>
#include <QHostAddress>
#include <QThread>

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
    stopThread();
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
    if (!m_pThread) {
        qWarning() << "remote desktop end without a run: ignored";
        return CCommResult();
    }
    m_pSender->closeStreamAndWait();
    stopThread();
    return CCommResult();
}

void DesktopRunMgr::stopThread()
{
    if (!m_pThread)
        return;
    disconnect(this, nullptr, m_pSender, nullptr);
    m_pThread->quit();
    if (m_pThread->wait(kThreadEndMs)) {
        delete m_pThread;
    } else {
        qWarning() << "remote desktop thread did not end within" << kThreadEndMs << "ms";
        connect(m_pThread, &QThread::finished, m_pThread, &QObject::deleteLater);
    }
    m_pThread = nullptr;
    m_pSender = nullptr;
    m_hasRun.store(false);
}
