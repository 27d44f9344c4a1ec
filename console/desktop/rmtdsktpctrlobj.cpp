#include "rmtdsktpctrlobj.h"

#include "desktopdecoder.h"
#include "farmtrust.h"
#include "jsoncodec.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
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
    connectSocketSignals();
    m_pRetryTimer = new QTimer(this);
    m_pRetryTimer->setSingleShot(true);
    connect(m_pRetryTimer, &QTimer::timeout, this, &RmtDsktpCtrlObj::tryConnect);
    m_pHeartbeatTimer = new QTimer(this);
    connect(m_pHeartbeatTimer, &QTimer::timeout, this, [this] { write(RmtDsktpMsg::heartbeatMessage()); });
    restartConnecting();
}

void RmtDsktpCtrlObj::connectSocketSignals()
{
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
    if (!connect(m_pSocket, &QTcpSocket::disconnected, this, &RmtDsktpCtrlObj::onDisconnected))
        qWarning() << "connect QTcpSocket::disconnected RmtDsktpCtrlObj::onDisconnected err";
}

void RmtDsktpCtrlObj::slBeginRun(QString strRunId)
{
    m_target.strRunId = strRunId;
    m_runEnded = false;
    if (m_pSocket)
        restartConnecting();
}

void RmtDsktpCtrlObj::restartConnecting()
{
    m_gaveUp = false;
    m_pHeartbeatTimer->stop();
    m_deadline.setRemainingTime(kConnectMs);
    tryConnect();
}

void RmtDsktpCtrlObj::tryConnect()
{
    if (!m_pSocket || m_runEnded)
        return;
    if (m_deadline.hasExpired()) {
        giveUp();
        return;
    }
    m_splitter.clear();
    m_pSocket->abort();
    m_pSocket->connectToHost(m_target.strAddr, m_controlPort, QIODevice::ReadWrite);
    // A connection attempt that hangs (no answer at all) is cut at the deadline.
    m_pRetryTimer->start(int(qMax<qint64>(m_deadline.remainingTime(), 0)));
}

void RmtDsktpCtrlObj::retrySoon()
{
    if (m_deadline.hasExpired())
        giveUp();
    else
        m_pRetryTimer->start(int(qMin<qint64>(kRetryMs, m_deadline.remainingTime())));
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

void RmtDsktpCtrlObj::write(const QByteArray& bytes)
{
    if (m_pSocket && m_pSocket->state() == QAbstractSocket::ConnectedState)
        m_pSocket->write(bytes);
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
        disconnect(m_pSocket, nullptr, this, nullptr);
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

// The hello proves that it comes from the console whose signed begin started the run.
QByteArray RmtDsktpCtrlObj::signedHello(const QString& runId)
{
    QJsonObject hello = RmtDsktpMsg::helloObject(runId);
    FarmTrust::sign(hello, MsgAuth::eChannel::DesktopControl, FarmTrust::runBinding(runId));
    return QJsonDocument(hello).toJson(QJsonDocument::Compact);
}

void RmtDsktpCtrlObj::slConnected()
{
    qWarning().noquote() << "slConnected, run" << m_target.strRunId;
    m_pRetryTimer->stop();
    if (!m_target.strRunId.isEmpty())
        write(signedHello(m_target.strRunId));
    m_pHeartbeatTimer->start(m_heartbeatMs);
    emit sigConnected();
}

// A connection that reached an earlier run, or an agent that closed it, is tried again.
void RmtDsktpCtrlObj::onDisconnected()
{
    m_pHeartbeatTimer->stop();
    if (m_runEnded || m_gaveUp)
        return;
    qWarning() << "remote desktop control connection lost: connecting again";
    m_deadline.setRemainingTime(kConnectMs);
    retrySoon();
}

void RmtDsktpCtrlObj::slError(QAbstractSocket::SocketError error)
{
    qWarning() << "slError" << error << (m_pSocket ? m_pSocket->errorString() : QString());
    if (!m_pSocket || m_runEnded || m_pSocket->state() == QAbstractSocket::ConnectedState)
        return;
    // Refused while the agent is still opening its port: try again shortly, up to the deadline.
    retrySoon();
}

void RmtDsktpCtrlObj::slDataRcved()
{
    m_splitter.append(m_pSocket->readAll());
    QByteArray doc;
    JsonSplitter::Status status;
    while ((status = m_splitter.next(doc)) == JsonSplitter::Complete) {
        RmtDsktpMsg::Message msg;
        if (!RmtDsktpMsg::decode(doc, msg) || msg.type != RmtDsktpMsg::eRunEnded)
            continue;
        qWarning().noquote() << "remote desktop run ended by the agent, reason" << msg.int1 << msg.text;
        m_runEnded = true;
        m_pHeartbeatTimer->stop();
        m_pRetryTimer->stop();
        m_pSocket->abort(); // the agent waits for this before it closes its side
        emit sigRunEnded(msg.int1, msg.text);
        return;
    }
    if (status == JsonSplitter::Invalid)
        m_splitter.clear();
}

void RmtDsktpCtrlObj::slStateChanged(QAbstractSocket::SocketState state)
{
    qWarning() << "RmtDsktpCtrlObj::slStateChanged:" << state;
}
