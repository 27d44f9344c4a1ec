// The agent's connection-state loop and operation log, each on a thread of its own as in the program.
#include "maindlgobj.h"
#include "operloggerobj.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {
// Starts a worker on its own thread the way the controller does and stops it at scope end.
struct WorkerThread
{
    QThread thread;
    explicit WorkerThread(QObject* worker)
    {
        worker->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    }
    ~WorkerThread()
    {
        thread.requestInterruption();
        thread.quit();
        thread.wait(5000);
    }
};
} // namespace

class TstAgentLoops : public QObject
{
    Q_OBJECT
private slots:
    void connectionStateFollowsDiscoveryAnswers();
    void operationLogKeepsEmissionOrderAcrossThreads();
    void operationLogFileNameAndLineFormat();
};

void TstAgentLoops::connectionStateFollowsDiscoveryAnswers()
{
    auto* obj = new MainDlgObj(5); // 5 ms instead of a second
    QSignalSpy states(obj, &MainDlgObj::sigUpdateConnectState);
    WorkerThread worker(obj);
    QObject::connect(&worker.thread, &QThread::started, obj, &MainDlgObj::slInitUiObj);
    worker.thread.start();

    QTRY_VERIFY_WITH_TIMEOUT(states.size() >= 1, 5000);
    QCOMPARE(states.first().first().toString(), QStringLiteral("正在连接总控端"));
    // Twenty silent ticks: not connected (and said again on every further tick).
    QTRY_VERIFY_WITH_TIMEOUT(states.size() >= 3, 5000);
    QCOMPARE(states.at(1).first().toString(), QStringLiteral("未连接总控端"));
    QCOMPARE(states.at(2).first().toString(), QStringLiteral("未连接总控端"));

    // A console was answered: connected, and the count starts again from zero. Ticks already queued
    // before the answer may still say "not connected" first.
    states.clear();
    QMetaObject::invokeMethod(obj, "slInitTickCnt", Qt::QueuedConnection);
    const auto connectedAt = [&states] {
        for (int i = 0; i < states.size(); ++i) {
            if (states.at(i).first().toString() == QStringLiteral("已连接总控端"))
                return i;
        }
        return -1;
    };
    QTRY_VERIFY_WITH_TIMEOUT(connectedAt() >= 0, 5000);
    const int at = connectedAt();
    QTRY_VERIFY_WITH_TIMEOUT(states.size() >= at + 2, 5000);
    QCOMPARE(states.at(at + 1).first().toString(), QStringLiteral("未连接总控端"));
}

void TstAgentLoops::operationLogKeepsEmissionOrderAcrossThreads()
{
    QTemporaryDir dir;
    auto* logger = new OperLoggerObj(dir.path());
    QSignalSpy pane(logger, &OperLoggerObj::sigAppendLog);
    WorkerThread worker(logger);
    QObject::connect(&worker.thread, &QThread::started, logger, &OperLoggerObj::slInitOperLogger);
    OperLoggerObj::setInstance(logger);
    worker.thread.start();

    constexpr int kLines = 200;
    const auto produce = [](const QString& tag) {
        for (int i = 0; i < kLines; ++i)
            operLog(QStringLiteral("%1-%2 收到操作指令").arg(tag).arg(i, 3, 10, QLatin1Char('0')));
    };
    QThread* a = QThread::create(produce, QStringLiteral("A"));
    QThread* b = QThread::create(produce, QStringLiteral("B"));
    a->start();
    b->start();
    QVERIFY(a->wait(10000) && b->wait(10000));
    delete a;
    delete b;
    QTRY_COMPARE_WITH_TIMEOUT(pane.size(), 2 * kLines, 10000);
    OperLoggerObj::setInstance(nullptr);

    const QString fileName = logger->fileName();
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines =
        QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2 * kLines);
    int nextA = 0, nextB = 0;
    for (const QString& line : lines) {
        const QString body = line.section(QLatin1Char(':'), 3); // after "MM-dd hh:mm:ss:"
        QVERIFY2(body.endsWith(QStringLiteral(" 收到操作指令")), qPrintable(line));
        int& next = body.startsWith(QLatin1Char('A')) ? nextA : nextB;
        QCOMPARE(body.mid(2, 3).toInt(), next);
        ++next;
    }
    QCOMPARE(nextA, kLines);
    QCOMPARE(nextB, kLines);
}

void TstAgentLoops::operationLogFileNameAndLineFormat()
{
    QTemporaryDir dir;
    auto* logger = new OperLoggerObj(dir.path());
    QSignalSpy pane(logger, &OperLoggerObj::sigAppendLog);
    WorkerThread worker(logger);
    QObject::connect(&worker.thread, &QThread::started, logger, &OperLoggerObj::slInitOperLogger);
    worker.thread.start();
    emit logger->sigBeginMsgHandler(0, 1, QStringLiteral("强制行"), QByteArray());
    QTRY_COMPARE_WITH_TIMEOUT(pane.size(), 1, 5000);

    QVERIFY(QRegularExpression(QStringLiteral("^\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:强制行$"))
                .match(pane.first().at(0).toString())
                .hasMatch());
    QCOMPARE(pane.first().at(1).toInt(), 1); // the parameter travels as the force flag
    QVERIFY(QRegularExpression(QStringLiteral("/\\d{4}-\\d{6}\\.txt$")).match(logger->fileName()).hasMatch());
}

QTEST_GUILESS_MAIN(TstAgentLoops)
#include "tst_agentloops.moc"
