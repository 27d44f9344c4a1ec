#include "groupviewreceiver.h"

#include "groupcontrol.h"
#include "latestframe.h"

#include <QBuffer>
#include <QDebug>
#include <QImageReader>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

GroupViewReceiver::GroupViewReceiver(const QString& runId, QSharedPointer<LatestFrame> frames,
                                     QObject* parent)
    : QObject(parent), m_runId(runId), m_pFrames(std::move(frames))
{
}

GroupViewReceiver::~GroupViewReceiver()
{
    slStop();
}

void GroupViewReceiver::slListen()
{
    if (!m_pServer) {
        m_pServer = new QTcpServer(this);
        m_pServer->setMaxPendingConnections(kMaxPending);
        connect(m_pServer, &QTcpServer::newConnection, this, &GroupViewReceiver::accept);
    }
    if (!m_pServer->isListening() && !m_pServer->listen(QHostAddress::AnyIPv4, 0))
        qWarning().noquote() << "group view: no port:" << m_pServer->errorString();
    emit sigListening(m_pServer->isListening() ? int(m_pServer->serverPort()) : 0);
}

void GroupViewReceiver::slSetLeadAddresses(QList<QHostAddress> addresses)
{
    m_lead = addresses;
    const QList<Peer> peers = m_peers;
    for (const Peer& p : peers) {
        if (!fromLead(p.pSocket->peerAddress()))
            drop(p.pSocket);
    }
}

void GroupViewReceiver::slStop()
{
    while (!m_peers.isEmpty())
        drop(m_peers.first().pSocket);
    if (m_pServer)
        m_pServer->close();
}

bool GroupViewReceiver::fromLead(const QHostAddress& addr) const
{
    for (const QHostAddress& a : m_lead) {
        if (!a.isNull() && a.isEqual(addr, QHostAddress::TolerantConversion))
            return true;
    }
    return false;
}

GroupViewReceiver::Peer* GroupViewReceiver::peerOf(QTcpSocket* pSocket)
{
    for (Peer& p : m_peers) {
        if (p.pSocket == pSocket)
            return &p;
    }
    return nullptr;
}

void GroupViewReceiver::accept()
{
    while (QTcpSocket* s = m_pServer->nextPendingConnection()) {
        int waiting = 0;
        for (const Peer& p : qAsConst(m_peers))
            waiting += p.bHello ? 0 : 1;
        if (!fromLead(s->peerAddress()) || waiting >= kMaxPending) {
            qWarning().noquote() << "group view: a stream from" << s->peerAddress().toString() << "refused";
            s->abort();
            s->deleteLater();
            continue;
        }
        s->setParent(this);
        m_peers.append(Peer{s, new GroupViewFrameReader, false});
        connect(s, &QTcpSocket::readyRead, this, [this, s] { readPeer(s); });
        connect(s, &QTcpSocket::disconnected, this, [this, s] {
            const bool wasStream = s == m_pStream;
            drop(s);
            if (wasStream)
                emit sigStreamEnded(QString());
        });
        // A peer that owes its hello after the wait is closed.
        QTimer::singleShot(kHelloWaitMs, s, [this, s] {
            if (Peer* p = peerOf(s); p && !p->bHello)
                drop(s);
        });
    }
}

void GroupViewReceiver::drop(QTcpSocket* pSocket)
{
    for (int i = 0; i < m_peers.size(); ++i) {
        if (m_peers.at(i).pSocket != pSocket)
            continue;
        delete m_peers.at(i).pReader;
        m_peers.removeAt(i);
        break;
    }
    if (m_pStream == pSocket)
        m_pStream = nullptr;
    pSocket->disconnect(this);
    pSocket->abort();
    pSocket->deleteLater();
}

// Every frame that has arrived is taken apart; only the last picture among them is decoded.
void GroupViewReceiver::readPeer(QTcpSocket* pSocket)
{
    Peer* p = peerOf(pSocket);
    if (!p)
        return;
    QByteArray jpeg;
    quint64 captureMs = 0;
    while (pSocket->bytesAvailable() > 0) {
        p->pReader->append(pSocket->read(kReadChunk));
        GroupViewFrame f;
        GroupViewFrameReader::eResult r;
        while ((r = p->pReader->next(f)) == GroupViewFrameReader::Complete) {
            if (!p->bHello) {
                if (f.kind != GroupViewFrame::Hello || f.text() != m_runId) {
                    qWarning().noquote() << "group view: a stream without the run's hello from"
                                         << pSocket->peerAddress().toString();
                    return drop(pSocket);
                }
                p->bHello = true;
                if (m_pStream && m_pStream != pSocket)
                    drop(m_pStream); // the newer stream of the lead wins
                p = peerOf(pSocket);
                m_pStream = pSocket;
                emit sigStreamBegun();
                continue;
            }
            if (f.kind == GroupViewFrame::End) {
                const QString reason = f.text();
                drop(pSocket);
                emit sigStreamEnded(reason);
                return;
            }
            if (f.kind != GroupViewFrame::Jpeg)
                continue;
            m_skipped.fetch_add(jpeg.isEmpty() ? 0 : 1);
            jpeg = f.payload;
            captureMs = f.captureMs;
            if (f.width > quint32(kMaxSide) || f.height > quint32(kMaxSide))
                jpeg.clear();
        }
        if (r == GroupViewFrameReader::Invalid) {
            qWarning().noquote() << "group view: a malformed frame from" << pSocket->peerAddress().toString();
            return drop(pSocket);
        }
    }
    if (!jpeg.isEmpty())
        decode(jpeg, captureMs);
}

void GroupViewReceiver::decode(const QByteArray& jpeg, quint64 captureMs)
{
    QBuffer buffer;
    buffer.setData(jpeg);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > kMaxSide || size.height() > kMaxSide)
        return;
    QImage picture = reader.read();
    if (picture.isNull())
        return;
    picture.setText(QStringLiteral("captureMs"), QString::number(captureMs));
    m_decoded.fetch_add(1);
    if (m_pFrames->put(picture))
        emit sigFrameReady();
}
