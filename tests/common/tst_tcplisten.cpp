// The servers that many PCs reach at once (the console's result server, the agent's command
// server) queue a burst of connections instead of dropping those beyond the first fifty.
#include "tcplisten.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <vector>

class TstTcpListen : public QObject
{
    Q_OBJECT
private slots:
    void aBurstOfConnectionsIsQueued();
};

// 300 connections at once to a server that takes none yet (its thread is busy): every one of them
// completes at once. With a queue of 50 the rest would wait for the system's retry of a second.
void TstTcpListen::aBurstOfConnectionsIsQueued()
{
    QObject owner;
    int heard = 0;
    QTcpServer* pServer = listenOnAnyIPv4(0, &owner, [&] { ++heard; });
    QVERIFY(pServer);
    QVERIFY(pServer->isListening());
    pServer->pauseAccepting(); // the busy console: nothing is taken from the system's queue
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < 300; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->connectToHost(QHostAddress::LocalHost, pServer->serverPort());
    }
    QElapsedTimer clock;
    clock.start();
    int connected = 0;
    while (clock.elapsed() < 700) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        connected = 0;
        for (const auto& s : sockets)
            connected += s->state() == QAbstractSocket::ConnectedState;
        if (connected == int(sockets.size()))
            break;
    }
    QCOMPARE(connected, int(sockets.size()));

    // Taken in once the server's thread is free again.
    pServer->resumeAccepting();
    pServer->setMaxPendingConnections(1000);
    QTRY_COMPARE_WITH_TIMEOUT(heard, int(sockets.size()), 10000);

    // A port in use: no server, the reason in the log.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^listen err: .*")));
    QVERIFY(!listenOnAnyIPv4(pServer->serverPort(), &owner, [] {}));
}

QTEST_GUILESS_MAIN(TstTcpListen)
#include "tst_tcplisten.moc"
