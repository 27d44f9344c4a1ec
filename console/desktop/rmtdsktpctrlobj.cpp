#include "rmtdsktpctrlobj.h"

#include "desktopdecoder.h"
#include "jsoncodec.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

RmtDsktpCtrlObj::RmtDsktpCtrlObj(const struRmtDsktpTarget& target, quint16 controlPort, QObject* parent)
    : QObject(parent), m_target(target), m_controlPort(controlPort)
{
    qRegisterMetaType<QAbstractSocket::SocketError>("QAbstractSocket::SocketError");
    qRegisterMetaType<QAbstractSocket::SocketState>("QAbstractSocket::SocketState");
}

void RmtDsktpCtrlObj::slInitRmtDsktpCtrlObj()
{
    m_pSocket = new QTcpSocket(this);
    m_pSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (!connect(m_pSocket, &QTcpSocket::hostFound, this, &RmtDsktpCtrlObj::slHostFound) ||
        !connect(m_pSocket, &QTcpSocket::connected, this, &RmtDsktpCtrlObj::slConnected))
        qWarning() << "connect QTcpSocket::hostFound VedioRcvDataObj::slHostFound err";
    if (!connect(m_pSocket, &QAbstractSocket::errorOccurred, this, &RmtDsktpCtrlObj::slError))
        qWarning() << "connect QTcpSocket::error VedioRcvDataObj::slError err";
    if (!connect(m_pSocket, &QTcpSocket::readyRead, this, &RmtDsktpCtrlObj::slDataRcved))
        qWarning() << "connect QTcpSocket::readyRead VedioRcvDataObj::slDataRcved err";
    if (!connect(m_pSocket, &QTcpSocket::stateChanged, this, &RmtDsktpCtrlObj::slStateChanged))
        qWarning() << "connect SIGNAL(stateChanged(QAbstractSocket::SocketState)) "
                      "SLOT(slStateChanged(QAbstractSocket::SocketState)) err";
    m_pRetryTimer = new QTimer(this);
    m_pRetryTimer->setSingleShot(true);
    connect(m_pRetryTimer, &QTimer::timeout, this, &RmtDsktpCtrlObj::tryConnect);
    m_deadline.setRemainingTime(kConnectMs);
    tryConnect();
}

void RmtDsktpCtrlObj::tryConnect()
{
    if (!m_pSocket)
        return;
    if (m_deadline.hasExpired()) {
        giveUp();
        return;
    }
    m_pSocket->abort();
    m_pSocket->connectToHost(m_target.strAddr, m_controlPort, QIODevice::ReadWrite);
    // A connection attempt that hangs (no answer at all) is cut at the deadline.
    m_pRetryTimer->start(int(qMax<qint64>(m_deadline.remainingTime(), 0)));
}

void RmtDsktpCtrlObj::giveUp()
{
    m_pRetryTimer->stop();
    if (m_gaveUp)
        return;
    m_gaveUp = true;
    m_pSocket->abort();
    CCommResult* pRet = new CCommResult(CCommResult::failure(
        RmtDsktpCode::ControlConnectFailed, QStringLiteral("连接远程桌面端口（%1）失败").arg(m_controlPort)));
    qWarning().noquote() << pRet->str;
    emit sigReplyResult(pRet);
}

void RmtDsktpCtrlObj::slMouseClicked(int iType, int int1, int int2)
{
    if (!m_pSocket || m_pSocket->state() != QAbstractSocket::ConnectedState) {
        m_dropped.fetchAndAddRelaxed(1);
        return;
    }
    const CCommResult msg = JsonCodec::serializeTypeIntMsg(iType, int1, int2);
    m_pSocket->write(msg.str.toLatin1());
    m_written.fetchAndAddRelaxed(1);
}

void RmtDsktpCtrlObj::slCloseRmtDsktp()
{
    if (m_pRetryTimer)
        m_pRetryTimer->stop();
    if (m_pSocket) {
        m_pSocket->flush();
        m_pSocket->close();
        delete m_pSocket;
        m_pSocket = nullptr;
    }
    // Nothing is left to do on this thread.
    if (thread() != QCoreApplication::instance()->thread())
        thread()->quit();
}

void RmtDsktpCtrlObj::slHostFound()
{
    qWarning() << "slHostfound";
}

void RmtDsktpCtrlObj::slConnected()
{
    qWarning() << "slConnected";
    m_pRetryTimer->stop();
    emit sigConnected();
}

void RmtDsktpCtrlObj::slError(QAbstractSocket::SocketError error)
{
    qWarning() << "slError" << error << (m_pSocket ? m_pSocket->errorString() : QString());
    if (!m_pSocket || m_pSocket->state() == QAbstractSocket::ConnectedState)
        return;
    // Refused while the agent is still opening its port: try again shortly, up to the deadline.
    if (m_deadline.hasExpired())
        giveUp();
    else
        m_pRetryTimer->start(int(qMin<qint64>(kRetryMs, m_deadline.remainingTime())));
}

void RmtDsktpCtrlObj::slDataRcved()
{
    qWarning() << "slDataRcved";
    m_pSocket->readAll();
}

void RmtDsktpCtrlObj::slStateChanged(QAbstractSocket::SocketState state)
{
    qWarning() << "RmtDsktpCtrlObj::slStateChanged:" << state;
}
