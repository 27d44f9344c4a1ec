#pragma once

// Stand-ins for agents on loopback, as the console's command clients meet them.

#include "simurecords.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

// Takes every command connection on a free port and keeps what came on it until the console closed
// it: the bytes, and what they carry (the document's records and user, the bytes after it: a file).
class RecordingAgent : public QObject
{
public:
    struct Conn
    {
        QByteArray bytes;
        bool ended = false;
        QList<struSimuOper> opers;
        QString usrName;
        QByteArray file;
    };

    explicit RecordingAgent(const QHostAddress& at = QHostAddress::LocalHost);
    bool ok() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    // Waits (bounded) until n connections have come and the n-th of them has ended.
    bool waitEnded(int n, int ms = 10000);

    QList<Conn> conns;               // in the order they came
    QList<QByteArray> received;      // each connection's bytes, in the order they ended
    QList<QList<struSimuOper>> docs; // the records of each that carried some, in the order they ended

private:
    void ended(int at, QTcpSocket* pSocket);

    QTcpServer m_server;
};

// An address and port whose listen queue is full: connections are neither taken nor refused, as with
// a PC that is switched off.
class BlackHole
{
public:
    BlackHole() = default;
    BlackHole(const BlackHole&) = delete;
    BlackHole& operator=(const BlackHole&) = delete;
    ~BlackHole();
    // Port 0: a free one.
    bool open(const char* addr = "127.0.0.1", quint16 port = 0);
    quint16 port() const { return m_port; }

private:
    int m_fd = -1;
    quint16 m_port = 0;
    QTcpSocket m_filler;
};
