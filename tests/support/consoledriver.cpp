#include "consoledriver.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

bool ConsoleDriverClient::connect(const QString& path, int timeoutMs, const std::function<bool()>& alive,
                                  QString& error)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && alive()) {
        m_socket.connectToServer(path);
        if (m_socket.waitForConnected(500))
            return true;
        QTest::qWait(200);
    }
    error = QStringLiteral("no test driver at %1: %2").arg(path, m_socket.errorString());
    return false;
}

QJsonObject ConsoleDriverClient::call(const QString& line, int timeoutMs)
{
    if (m_socket.state() != QLocalSocket::ConnectedState)
        return QJsonObject{{QStringLiteral("error"), QStringLiteral("driver not connected")}};
    m_socket.write(line.toUtf8() + '\n');
    QDeadlineTimer deadline(timeoutMs);
    while (!m_socket.canReadLine() && !deadline.hasExpired() &&
           m_socket.state() == QLocalSocket::ConnectedState)
        m_socket.waitForReadyRead(100);
    if (!m_socket.canReadLine())
        return QJsonObject{{QStringLiteral("error"), QStringLiteral("no answer to '%1'").arg(line)}};
    return QJsonDocument::fromJson(m_socket.readLine()).object();
}

QJsonObject ConsoleDriverClient::waitDump(int timeoutMs, const std::function<bool(const QJsonObject&)>& done)
{
    QDeadlineTimer deadline(timeoutMs);
    QJsonObject dump;
    do {
        dump = call(QStringLiteral("dump"));
        if (done(dump))
            return dump;
        QTest::qWait(250);
    } while (!deadline.hasExpired());
    qInfo().noquote() << "last dump:" << QJsonDocument(dump).toJson(QJsonDocument::Indented);
    return dump;
}

QJsonObject pcOf(const QJsonObject& dump, const QString& pc)
{
    for (const QJsonValue& v : dump.value(QStringLiteral("pcs")).toArray()) {
        if (v.toObject().value(QStringLiteral("pc")).toString() == pc)
            return v.toObject();
    }
    return QJsonObject();
}

QJsonObject rowOf(const QJsonObject& dump, const QString& pc, const QString& idx)
{
    for (const QJsonValue& v : pcOf(dump, pc).value(QStringLiteral("rows")).toArray()) {
        if (v.toObject().value(QStringLiteral("idx")).toString() == idx)
            return v.toObject();
    }
    return QJsonObject();
}

int stateOf(const QJsonObject& dump, const QString& pc, const QString& idx)
{
    return rowOf(dump, pc, idx).value(QStringLiteral("state")).toInt(-100);
}
