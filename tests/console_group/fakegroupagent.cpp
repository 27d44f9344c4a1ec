#include "fakegroupagent.h"

#include "jsoncodec.h"

#include <QBuffer>

FakeGroupAgent::FakeGroupAgent(QObject* parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = m_server.nextPendingConnection()) {
            s->setParent(this);
            connect(s, &QTcpSocket::readyRead, this, [this, s] { take(s); });
        }
    });
}

bool FakeGroupAgent::listen(const QString& addr, quint16 port)
{
    m_addr = addr;
    return m_server.listen(QHostAddress(addr), port);
}

QList<QList<struSimuOper>> FakeGroupAgent::docsOfKind(int iKind) const
{
    QList<QList<struSimuOper>> out;
    for (const QList<struSimuOper>& d : docs) {
        if (!d.isEmpty() && d.first().iOperType == iKind)
            out.append(d);
    }
    return out;
}

void FakeGroupAgent::setItemCode(const QString& memuIdx, int code, const QString& text)
{
    m_codes.insert(memuIdx, {code, text});
}

GroupReply FakeGroupAgent::reply(const QList<struSimuOper>& records) const
{
    GroupReply r;
    r.type = records.first().iOperType;
    r.runId = records.first().runId;
    for (const struSimuOper& o : records) {
        const QPair<int, QString> code = m_codes.value(o.memuIdx, {eGroupOk, QString()});
        r.items.append(GroupReplyItem{o.memuIdx, code.first, code.second, 0});
    }
    return r;
}

// The document is whole once it parses; the console waits for the reply without closing.
void FakeGroupAgent::take(QTcpSocket* pSocket)
{
    QByteArray bytes = pSocket->property("buf").toByteArray() + pSocket->readAll();
    pSocket->setProperty("buf", bytes);
    QList<struSimuOper> records;
    if (!JsonCodec::parseCommandDoc(bytes, records, pSocket->peerAddress().toString()).ok() ||
        records.isEmpty())
        return;
    pSocket->setProperty("buf", QByteArray());
    docs.append(records);
    emit sigDoc(records.first().iOperType);
    if (silent) {
        m_held.append(pSocket);
        return;
    }
    pSocket->write(groupReplyToJson(reply(records)));
    pSocket->disconnectFromHost();
}

QTcpSocket* FakeGroupAgent::openStream(quint16 consolePort)
{
    auto* s = new QTcpSocket(this);
    s->bind(QHostAddress(m_addr));
    s->connectToHost(QHostAddress(QHostAddress::LocalHost), consolePort);
    return s;
}

QByteArray FakeGroupAgent::jpegFrame(const QImage& picture, quint64 captureMs)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "JPEG", 80);
    return encodeGroupViewFrame(GroupViewFrame::jpeg(jpeg, picture.size(), captureMs));
}
