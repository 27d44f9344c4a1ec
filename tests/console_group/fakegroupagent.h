#pragma once

#include "groupcontrol.h"
#include "simurecords.h"

#include <QHostAddress>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

// An agent PC of the group tests played on a loopback address: takes the console's command
// documents on the command port, keeps them, and answers each group command with the reply
// document the answer function makes (every item Ok unless told otherwise). A silent agent takes
// the document and never answers. It can play the lead's live view too: connect to the console's
// port from its own address and write frames.
class FakeGroupAgent : public QObject
{
    Q_OBJECT
public:
    using AnswerFn = std::function<GroupReply(const QList<struSimuOper>& records)>;

    explicit FakeGroupAgent(QObject* parent = nullptr);

    bool listen(const QString& addr, quint16 port);
    QString address() const { return m_addr; }
    quint16 port() const { return m_server.serverPort(); }

    // Every document taken, its records; those of one kind.
    QList<QList<struSimuOper>> docs;
    QList<QList<struSimuOper>> docsOfKind(int iKind) const;
    // The per-item code and text given to an instance (default Ok).
    void setItemCode(const QString& memuIdx, int code, const QString& text = QString());
    bool silent = false;

    // A stream to the console's live-view port from this agent's address.
    QTcpSocket* openStream(quint16 consolePort);
    static QByteArray jpegFrame(const QImage& picture, quint64 captureMs);

signals:
    void sigDoc(int iKind);

private:
    void take(QTcpSocket* pSocket);
    GroupReply reply(const QList<struSimuOper>& records) const;

    QTcpServer m_server;
    QString m_addr;
    QHash<QString, QPair<int, QString>> m_codes;
    QList<QPointer<QTcpSocket>> m_held;
};
