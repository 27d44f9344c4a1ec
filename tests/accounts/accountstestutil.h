#pragma once

// Helpers of the account tests: the real account service on a free loopback port, and a tiny HTTP
// server whose answers the test chooses (odd bodies, no answer at all, a held answer).

#include "messagecatcher.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QList>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

class AccountSvcProcess
{
public:
    ~AccountSvcProcess() { stop(); }

    static QString program()
    {
        return QDir(qEnvironmentVariable("TOVIA_BIN_DIR")).filePath(QStringLiteral("ToviaAccountSvc"));
    }
    static bool available() { return QFileInfo(program()).isExecutable(); }

    // Runs a management command; returns the exit code (-1 when it did not end within 30 s).
    static int run(const QStringList& args, QByteArray* out = nullptr, QByteArray* err = nullptr)
    {
        QProcess p;
        p.start(program(), args);
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished(5000);
            return -1;
        }
        if (out) {
            *out = p.readAllStandardOutput();
        }
        if (err) {
            *err = p.readAllStandardError();
        }
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

    // Serves db on 127.0.0.1 with a port of the system's choice (or the given one, with extra
    // options); true once it listens.
    bool start(const QString& db, quint16 port = 0, const QStringList& options = QStringList())
    {
        m_proc.start(program(),
                     QStringList{"--db", db, "--listen", QStringLiteral("127.0.0.1:%1").arg(port)} + options);
        if (!m_proc.waitForStarted(10000)) {
            return false;
        }
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000 && !m_out.contains('\n')) {
            m_proc.waitForReadyRead(200);
            m_out += m_proc.readAllStandardOutput();
        }
        const QByteArray line = m_out.left(m_out.indexOf('\n'));
        if (!line.startsWith("listening on 127.0.0.1:")) {
            return false;
        }
        m_port = line.mid(line.lastIndexOf(':') + 1).split(' ').value(0).toInt(); // "PORT" or "PORT (https)"
        return m_port > 0;
    }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
    int port() const { return m_port; }
    qint64 pid() const { return m_proc.processId(); }
    // Resident memory of the service in KiB (0 when unknown).
    qint64 rssKiB() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
        if (!status.open(QIODevice::ReadOnly)) {
            return 0;
        }
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:")) {
                return line.mid(6).trimmed().split(' ').value(0).toLongLong();
            }
        }
        return 0;
    }
    // A port that nothing listens on right now.
    static quint16 freePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

    // SIGTERM, then the exit code (-1: no clean exit within 5 s).
    int stop()
    {
        if (m_proc.state() == QProcess::NotRunning) {
            return m_proc.exitStatus() == QProcess::NormalExit ? m_proc.exitCode() : -1;
        }
        m_proc.terminate();
        if (!m_proc.waitForFinished(5000)) {
            m_proc.kill();
            m_proc.waitForFinished(5000);
            return -1;
        }
        return m_proc.exitStatus() == QProcess::NormalExit ? m_proc.exitCode() : -1;
    }
    QByteArray stderrText() { return m_proc.readAllStandardError(); }

private:
    QProcess m_proc;
    QByteArray m_out;
    int m_port = 0;
};

// Answers every request with a fixed body, or holds the connection until release() / for ever.
class FakeActServer : public QObject
{
    Q_OBJECT
public:
    FakeActServer() { connect(&m_server, &QTcpServer::newConnection, this, &FakeActServer::onNewConnection); }
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }

    void setReply(const QByteArray& body) { m_body = body; }
    void setHold(bool hold) { m_hold = hold; }
    int requests() const { return m_requests; }
    QByteArray lastRequestLine() const { return m_lastRequestLine; }

    // Answers the held requests with body.
    void release(const QByteArray& body)
    {
        for (const QPointer<QTcpSocket>& s : qAsConst(m_held)) {
            if (s) {
                answer(s, body);
            }
        }
        m_held.clear();
    }

private:
    void onNewConnection()
    {
        while (QTcpSocket* s = m_server.nextPendingConnection()) {
            auto buffer = QSharedPointer<QByteArray>::create();
            connect(s, &QTcpSocket::readyRead, this, [this, s, buffer]() {
                buffer->append(s->readAll());
                if (!buffer->contains("\r\n\r\n") || s->property("seen").toBool()) {
                    return;
                }
                s->setProperty("seen", true);
                ++m_requests;
                m_lastRequestLine = buffer->left(buffer->indexOf("\r\n"));
                if (m_hold) {
                    m_held.append(s);
                } else {
                    answer(s, m_body);
                }
            });
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    }
    static void answer(QTcpSocket* s, const QByteArray& body)
    {
        s->write(
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
            QByteArray::number(body.size()) + "\r\n\r\n" + body);
        s->disconnectFromHost();
    }

    QTcpServer m_server;
    QByteArray m_body;
    bool m_hold = false;
    int m_requests = 0;
    QByteArray m_lastRequestLine;
    QList<QPointer<QTcpSocket>> m_held;
};
