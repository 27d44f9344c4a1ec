#include "taskresultrcver.h"

#include "consoletypes.h"
#include "farmtrust.h"
#include "jsoncodec.h"
#include "resultreport.h"
#include "tcplisten.h"
#include "thumbnail.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

QString peerText(const QTcpSocket* pSocket)
{
    bool ok = false;
    const quint32 v4 = pSocket->peerAddress().toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : pSocket->peerAddress().toString();
}

} // namespace

// One report connection: reads the document as it arrives and applies it at once; for a start it then
// reads the thumbnail and applies it as soon as the picture is whole (or the connection ends), each
// step within its limit.
class ResultConnection : public QObject
{
public:
    ResultConnection(QTcpSocket* pSocket, const QString& peer, TaskResultRcver* pRcver)
        : QObject(pRcver), m_pSocket(pSocket), m_pRcver(pRcver), m_pTimer(new QTimer(this)), m_peer(peer)
    {
        pSocket->setParent(this);
        m_pTimer->setSingleShot(true);
        m_pTimer->setTimerType(Qt::PreciseTimer); // a coarse timer may end a limit 5 % early
        connect(m_pTimer, &QTimer::timeout, this, &ResultConnection::OnTimeout);
        connect(pSocket, &QTcpSocket::readyRead, this, &ResultConnection::OnReadyRead);
        connect(pSocket, &QTcpSocket::disconnected, this, &ResultConnection::OnEnded);
        connect(pSocket, &QTcpSocket::errorOccurred, this, &ResultConnection::OnEnded);
        m_pTimer->start(pRcver->GetLimits().documentWaitMs);
        OnReadyRead();
        if (m_phase != Done && pSocket->state() != QAbstractSocket::ConnectedState)
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
        if (m_phase == Thumbnail && Thumbnail::isCompleteJpeg(m_reader.tail()))
            Finish(m_reader.tail());
    }

    // Applied at once; only a start is followed by a thumbnail.
    void DocumentComplete()
    {
        if (!m_pRcver->TakeReport(m_peer, m_reader.document(), m_oper, m_doc)) {
            m_phase = Done;
            return Close();
        }
        m_pRcver->ApplyReport(m_oper);
        if (m_oper.iOperType != eOperStartup) {
            m_phase = Done;
            return Close();
        }
        m_phase = AwaitThumbnail;
        m_pTimer->start(m_pRcver->GetLimits().thumbnailWaitMs);
    }

    void OnTimeout()
    {
        switch (m_phase) {
        case Document:
            return Drop(QStringLiteral("等待准备可读数据失败: no complete report in time"));
        case AwaitThumbnail:
            return Finish(QByteArray()); // no thumbnail: the stock picture stands in
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
            Finish(m_reader.tail());
    }

    void Finish(const QByteArray& jpeg)
    {
        m_phase = Done;
        m_pTimer->stop();
        // A signed report names the digest of its thumbnail: other bytes behind it are not its own.
        if (!jpeg.isEmpty() && MsgAuth::isSignedJson(m_doc) && !MsgAuth::tailMatches(m_doc, jpeg))
            qWarning().noquote() << "thumbnail from" << m_peer
                                 << "refused: not the one its report was signed with";
        else
            m_pRcver->ApplyThumbnail(m_oper, jpeg);
        Close();
    }

    void Drop(const QString& why)
    {
        const bool hadDocument = m_phase != Document;
        m_phase = Done;
        m_pTimer->stop();
        qWarning().noquote() << "result connection from" << m_peer << "dropped:" << why
                             << m_pSocket->errorString();
        if (!hadDocument && m_bytesSeen > 0)
            emit m_pRcver->sigReportUnreadable(m_peer);
        Close();
    }

    void Close()
    {
        disconnect(m_pSocket, nullptr, this, nullptr);
        m_pSocket->abort();
        m_pRcver->ConnectionDone(this, m_peer);
    }

    QTcpSocket* m_pSocket;
    TaskResultRcver* m_pRcver;
    QTimer* m_pTimer;
    QString m_peer;
    ResultReportReader m_reader;
    struSimuOper m_oper;
    QJsonObject m_doc;
    qint64 m_bytesSeen = 0;
    Phase m_phase = Document;
};

TaskResultRcver::TaskResultRcver(quint16 port, QObject* parent) : QObject(parent), m_port(port)
{
    ConsoleTypes::registerMetaTypes();
}

TaskResultRcver::~TaskResultRcver() = default; // connections and waiting sockets are children

void TaskResultRcver::slInitSocket()
{
    if (m_pServer)
        return;
    m_pServer = listenOnAnyIPv4(m_port, this, [this] { slNewConnection(); });
    m_listenPort.storeRelease(m_pServer ? m_pServer->serverPort() : 0);
    emit sigListening(m_listenPort.loadRelaxed());
}

// Beyond the limit, connections wait in the server's pending list, whose own bound stops the server
// accepting, and behind it in the listen queue; each finished connection lets the next one in. One
// address is served maxPerSource at a time: its others wait (not read beyond a small buffer) for its
// own connections to end, and beyond maxWaitingPerSource they are closed at once.
void TaskResultRcver::slNewConnection()
{
    while (m_pServer && m_active < m_limits.maxConnections && m_pServer->hasPendingConnections()) {
        QTcpSocket* pSocket = m_pServer->nextPendingConnection();
        const QString peer = peerText(pSocket);
        if (m_activeBySource.value(peer) < m_limits.maxPerSource) {
            Serve(pSocket, peer);
            continue;
        }
        QQueue<QTcpSocket*>& waiting = m_waitingBySource[peer];
        if (waiting.size() >= m_limits.maxWaitingPerSource) {
            qWarning().noquote() << "result connection from" << peer << "closed:" << m_limits.maxPerSource
                                 << "served and" << waiting.size() << "waiting from there already";
            pSocket->abort();
            pSocket->deleteLater();
            continue;
        }
        pSocket->setReadBufferSize(ResultReport::kMaxDocumentBytes);
        pSocket->setParent(this);
        waiting.enqueue(pSocket);
    }
}

void TaskResultRcver::Serve(QTcpSocket* pSocket, const QString& peer)
{
    qWarning().noquote() << "new Connection" << peer;
    ++m_active;
    ++m_activeBySource[peer];
    pSocket->setReadBufferSize(0);
    new ResultConnection(pSocket, peer, this);
}

void TaskResultRcver::ConnectionDone(ResultConnection* pConn, const QString& peer)
{
    pConn->deleteLater();
    --m_active;
    if (--m_activeBySource[peer] <= 0)
        m_activeBySource.remove(peer);
    auto waiting = m_waitingBySource.find(peer);
    if (waiting != m_waitingBySource.end()) {
        QTcpSocket* pNext = waiting->dequeue();
        if (waiting->isEmpty())
            m_waitingBySource.erase(waiting);
        Serve(pNext, peer);
    }
    if (m_pServer && m_pServer->hasPendingConnections())
        QMetaObject::invokeMethod(this, &TaskResultRcver::slNewConnection, Qt::QueuedConnection);
}

bool TaskResultRcver::TakeReport(const QString& peer, const QByteArray& doc, struSimuOper& oper,
                                 QJsonObject& received)
{
    const FarmTrust::ReadDoc read = FarmTrust::readCommandDoc(doc, m_verifier, QString());
    if (read.parse.ok() && !read.accepted()) {
        qWarning().noquote() << "result report from" << peer
                             << "refused:" << MsgAuth::verdictText(read.verdict);
        return false;
    }
    const QList<struSimuOper>& opers = read.opers;
    if (!read.parse.ok() || opers.isEmpty()) {
        qWarning().noquote() << "result report from" << peer << "unreadable:" << read.parse.log
                             << QString::fromUtf8(doc.left(512));
        emit sigReportUnreadable(peer);
        return false;
    }
    received = read.doc;
    oper = opers.first();
    qWarning().noquote() << "result from" << peer << oper.rmtPcName << oper.memuIdx << "type"
                         << oper.iOperType << "ret" << oper.iReplyRet << oper.replyRet;
    if (m_filter && !m_filter(peer, oper)) {
        qWarning().noquote() << "result from" << peer << "refused: no operation of type" << oper.iOperType
                             << "at" << oper.iTime << "was sent to" << oper.rmtPcName << oper.memuIdx
                             << "at that address";
        emit sigReportRefused(peer, oper.rmtPcName, oper.memuIdx);
        return false;
    }
    return true;
}

void TaskResultRcver::ApplyReport(const struSimuOper& o)
{
    const bool ok = o.iReplyRet == 0;
    emit sigReportTaken(o.rmtPcName, o.memuIdx, o.iOperType, o.iReplyRet, o.replyRet);
    switch (o.iOperType) {
    case eOperStartup:
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
// not decode (or declares far more than a thumbnail) leaves the tile's picture as it is.
void TaskResultRcver::ApplyThumbnail(const struSimuOper& oper, const QByteArray& jpeg)
{
    auto* pImg = new QImage;
    QString why;
    if (jpeg.isEmpty())
        pImg->load(StockPicturePath());
    else
        Thumbnail::decodeJpeg(jpeg, *pImg, &why);
    if (pImg->isNull()) {
        qWarning().noquote() << "thumbnail of" << oper.rmtPcName << oper.memuIdx << "refused," << jpeg.size()
                             << "bytes:" << why;
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
