#include "taskresultrcver.h"

#include "consoletypes.h"
#include "jsoncodec.h"
#include "resultreport.h"
#include "tcplisten.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

// One report connection: reads the document as it arrives, then for a start the thumbnail until the
// connection ends, each step within its limit.
class ResultConnection : public QObject
{
public:
    ResultConnection(QTcpSocket* pSocket, TaskResultRcver* pRcver)
        : QObject(pRcver), m_pSocket(pSocket), m_pRcver(pRcver), m_pTimer(new QTimer(this))
    {
        pSocket->setParent(this);
        bool ok = false;
        const quint32 v4 = pSocket->peerAddress().toIPv4Address(&ok);
        m_peer = ok ? QHostAddress(v4).toString() : pSocket->peerAddress().toString();
        m_pTimer->setSingleShot(true);
        m_pTimer->setTimerType(Qt::PreciseTimer); // a coarse timer may end a limit 5 % early
        connect(m_pTimer, &QTimer::timeout, this, &ResultConnection::OnTimeout);
        connect(pSocket, &QTcpSocket::readyRead, this, &ResultConnection::OnReadyRead);
        connect(pSocket, &QTcpSocket::disconnected, this, &ResultConnection::OnEnded);
        connect(pSocket, &QTcpSocket::errorOccurred, this, &ResultConnection::OnEnded);
        m_pTimer->start(pRcver->GetLimits().documentWaitMs);
        OnReadyRead();
        if (pSocket->state() != QAbstractSocket::ConnectedState)
            OnEnded();
    }

private:
    enum Phase
    {
        Document,
        AwaitThumbnail,
        Thumbnail,
        Done
    };

    void OnReadyRead()
    {
        if (m_phase == Done)
            return;
        const QByteArray bytes = m_pSocket->readAll();
        m_bytesSeen += bytes.size();
        const ResultReportReader::Status st = m_reader.append(bytes);
        if (st == ResultReportReader::Invalid)
            return Drop(m_phase == Document ? QStringLiteral("not a result report")
                                            : QStringLiteral("thumbnail over its size limit"));
        if (st == ResultReportReader::NeedDocument)
            return;
        if (m_phase == Document)
            DocumentComplete();
        if (m_phase == AwaitThumbnail && !m_reader.tail().isEmpty()) {
            m_phase = Thumbnail;
            m_pTimer->start(m_pRcver->GetLimits().thumbnailEndMs);
        }
    }

    // Only a successful start is followed by a thumbnail; every other report is complete now.
    void DocumentComplete()
    {
        QList<struSimuOper> opers;
        JsonCodec::parseCommandDoc(m_reader.document(), opers, QString());
        if (opers.isEmpty() || opers.first().iOperType != eOperStartup)
            return Finish(false);
        m_phase = AwaitThumbnail;
        m_pTimer->start(m_pRcver->GetLimits().thumbnailWaitMs);
    }

    void OnTimeout()
    {
        switch (m_phase) {
        case Document:
            return Drop(QStringLiteral("等待准备可读数据失败: no complete report in time"));
        case AwaitThumbnail:
            return Finish(false); // no thumbnail: the stock picture stands in
        case Thumbnail:
            return Drop(QStringLiteral("thumbnail did not end in time"));
        case Done:
            return;
        }
    }

    void OnEnded()
    {
        if (m_phase == Done)
            return;
        if (m_pSocket->bytesAvailable() > 0)
            OnReadyRead();
        if (m_phase == Document)
            return Drop(QStringLiteral("connection ended before the report was complete"));
        if (m_phase != Done)
            Finish(m_phase == Thumbnail);
    }

    void Finish(bool withTail)
    {
        m_phase = Done;
        m_pTimer->stop();
        const QByteArray tail = withTail ? m_reader.tail() : QByteArray();
        m_pRcver->HandleReport(m_peer, m_reader.document(), tail, true);
        Close();
    }

    void Drop(const QString& why)
    {
        const bool hadDocument = m_phase != Document;
        m_phase = Done;
        m_pTimer->stop();
        qWarning().noquote() << "result connection from" << m_peer << "dropped:" << why
                             << m_pSocket->errorString();
        if (hadDocument) // a start report whose thumbnail went wrong still counts
            m_pRcver->HandleReport(m_peer, m_reader.document(), QByteArray(), false);
        else if (m_bytesSeen > 0)
            emit m_pRcver->sigReportUnreadable(m_peer);
        Close();
    }

    void Close()
    {
        disconnect(m_pSocket, nullptr, this, nullptr);
        m_pSocket->abort();
        m_pRcver->ConnectionDone(this);
    }

    QTcpSocket* m_pSocket;
    TaskResultRcver* m_pRcver;
    QTimer* m_pTimer;
    QString m_peer;
    ResultReportReader m_reader;
    qint64 m_bytesSeen = 0;
    Phase m_phase = Document;
};

TaskResultRcver::TaskResultRcver(quint16 port, QObject* parent) : QObject(parent), m_port(port)
{
    ConsoleTypes::registerMetaTypes();
}

TaskResultRcver::~TaskResultRcver() = default;

void TaskResultRcver::slInitSocket()
{
    if (m_pServer)
        return;
    m_pServer = listenOnAnyIPv4(m_port, this, [this] { slNewConnection(); });
    m_listenPort.storeRelease(m_pServer ? m_pServer->serverPort() : 0);
    emit sigListening(m_listenPort.loadRelaxed());
}

// Beyond the limit, connections wait in the server's pending list, whose own bound stops the server
// accepting, and behind it in the listen queue; each finished connection lets the next one in.
void TaskResultRcver::slNewConnection()
{
    while (m_pServer && m_active < m_limits.maxConnections && m_pServer->hasPendingConnections()) {
        QTcpSocket* pSocket = m_pServer->nextPendingConnection();
        qWarning() << "new Connection" << pSocket->peerAddress().toString();
        ++m_active;
        new ResultConnection(pSocket, this);
    }
}

void TaskResultRcver::ConnectionDone(ResultConnection* pConn)
{
    pConn->deleteLater();
    --m_active;
    if (m_pServer && m_pServer->hasPendingConnections())
        QMetaObject::invokeMethod(this, &TaskResultRcver::slNewConnection, Qt::QueuedConnection);
}

void TaskResultRcver::HandleReport(const QString& peer, const QByteArray& doc, const QByteArray& tail,
                                   bool tailAwaited)
{
    QList<struSimuOper> opers;
    const CCommResult parsed = JsonCodec::parseCommandDoc(doc, opers, QString());
    if (!parsed.ok() || opers.isEmpty()) {
        qWarning().noquote() << "result report from" << peer << "unreadable:" << parsed.log
                             << QString::fromUtf8(doc.left(512));
        emit sigReportUnreadable(peer);
        return;
    }
    const struSimuOper& o = opers.first();
    qWarning().noquote() << "result from" << peer << o.rmtPcName << o.memuIdx << "type" << o.iOperType
                         << "ret" << o.iReplyRet << o.replyRet;
    const bool ok = o.iReplyRet == 0;
    switch (o.iOperType) {
    case eOperStartup:
        if (tailAwaited)
            HandleStart(o, tail);
        emit sigSetState(o.rmtPcName, o.memuIdx, ok ? eStateRunning : eStateNotStarted, o.iTime);
        return;
    case eOperClose:
        emit sigSetState(o.rmtPcName, o.memuIdx, ok ? eStateNotStarted : eStateRunning, o.iTime + 1);
        return;
    case eOperInstall:
        emit sigSetState(o.rmtPcName, o.memuIdx, eStateRunning, o.iTime);
        emit sigInstallState(o.rmtPcName, o.memuIdx, 2, 0);
        return;
    case eOperDelete:
        emit sigSetState(o.rmtPcName, o.memuIdx, ok ? eStateDeleted : eStateNotStarted, -1);
        return;
    case eOperRename:
        if (!ok)
            EmitResultReport(o);
        return;
    default:
        EmitResultReport(o);
        return;
    }
}

// The thumbnail behind a start report; without one the stock picture stands in, and one that does
// not decode leaves the tile's picture as it is.
void TaskResultRcver::HandleStart(const struSimuOper& oper, const QByteArray& tail)
{
    auto* pImg = new QImage;
    if (tail.isEmpty())
        pImg->load(StockPicturePath());
    else
        pImg->loadFromData(tail);
    if (pImg->isNull()) {
        qWarning().noquote() << "thumbnail of" << oper.rmtPcName << oper.memuIdx << "not decodable,"
                             << tail.size() << "bytes";
        delete pImg;
        return;
    }
    emit sigTskRstRcverImageArrived(oper.rmtPcName, oper.memuIdx, pImg);
}

void TaskResultRcver::EmitResultReport(const struSimuOper& oper)
{
    auto* pRet = new CCommResult;
    pRet->str = oper.replyRet;
    pRet->log = QStringLiteral("结果");
    emit sigTaskResultReply(pRet);
}
