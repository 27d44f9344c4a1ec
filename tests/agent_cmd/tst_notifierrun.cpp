// The result notifier against a result server standing in for the console.
#include "consoleharness.h"
#include "notifierrun.h"
#include "simusettings.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

class TestNotifierRun : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void successfulStartSendsDocumentThenThumbnail();
    void failedStartSendsDocumentOnly();
    void otherOperationsStoreTheirStates_data();
    void otherOperationsStoreTheirStates();
    void missingScreenshotSendsDefaultTile();
    void consoleDownGivesSixFailuresThenGivesUp();

private:
    struSimuOper startOper(const QString& idx, int iTime) const;
    CCommResult runOnThread(const CCommResult& cRet, const struSimuOper& oper);

    QTemporaryDir* m_pDir = nullptr;
    ResultServer* m_pServer = nullptr;
    OperLogCapture* m_pLog = nullptr;
    struNotifierOptions m_options;
};

void TestNotifierRun::init()
{
    m_pDir = new QTemporaryDir;
    QVERIFY(m_pDir->isValid());
    SimuSettings::setDataDir(m_pDir->path());
    signIn(QStringLiteral("alice"));
    m_pServer = new ResultServer;
    QVERIFY(m_pServer->listen());
    m_options = m_pServer->notifierOptions();
    m_pLog = new OperLogCapture(m_pDir->path() + QStringLiteral("/log"));
}

void TestNotifierRun::cleanup()
{
    delete m_pLog;
    delete m_pServer;
    delete m_pDir;
}

struSimuOper TestNotifierRun::startOper(const QString& idx, int iTime) const
{
    struSimuOper o = ConsoleClient::makeOpers(eOperStartup, {idx}, iTime).first();
    o.centerIP = QStringLiteral("127.0.0.1");
    return o;
}

// The notifier blocks its thread (as it does on a responder's thread); the result server runs here.
CCommResult TestNotifierRun::runOnThread(const CCommResult& cRet, const struSimuOper& oper)
{
    CCommResult out;
    QThread* t = QThread::create([&] { out = NotifierRun(cRet, oper, m_options); });
    t->start();
    QElapsedTimer clock;
    clock.start();
    while (!t->isFinished() && clock.elapsed() < 60000)
        QTest::qWait(5);
    t->wait(1000);
    delete t;
    return out;
}

void TestNotifierRun::successfulStartSendsDocumentThenThumbnail()
{
    // A wide screenshot: the thumbnail is still 100 x 150.
    QImage shot(400, 100, QImage::Format_RGB32);
    shot.fill(QColor(200, 30, 30));
    QVERIFY(shot.save(SimuSettings::screenshotBakPath(QStringLiteral("MEmu_1"))));
    SimuSettings::updateSimuRecord(QStringLiteral("MEmu_1"), [](struSimuRecord& r) {
        r.iState = eStateStarting;
        r.iTime = 5;
    });

    CCommResult cRet;
    cRet.iExtraRet = 4321;
    cRet.str = QStringLiteral("机房一打开模拟器\"逍遥模拟器1\"成功\r\n");
    const CCommResult delivery = runOnThread(cRet, startOper(QStringLiteral("MEmu_1"), 5));
    QCOMPARE(delivery.iRet, 0);

    QVERIFY(m_pServer->waitForReports(1, 5000));
    const ConsoleReport& rep = m_pServer->reports().first();
    QCOMPARE(rep.usrName, QStringLiteral("alice"));
    QCOMPARE(rep.recordCount, 1);
    QCOMPARE(rep.oper.iOperType, int(eOperStartup));
    QCOMPARE(rep.oper.iReplyRet, 0);
    QCOMPARE(rep.oper.replyRet, cRet.str);
    QCOMPARE(rep.oper.iTime, 6);
    QCOMPARE(rep.oper.memuIdx, QStringLiteral("MEmu_1"));
    QCOMPARE(rep.oper.rmtNickName, QStringLiteral("机房一"));

    // The thumbnail follows the document after the pause, as a JPEG of exactly 100 x 150.
    QVERIFY(rep.tail.startsWith("\xFF\xD8"));
    QVERIFY2(rep.tailMs - rep.docMs >= 80, qPrintable(QString::number(rep.tailMs - rep.docMs)));
    const QImage img = rep.image();
    QCOMPARE(img.size(), QSize(100, 150));
    QVERIFY(qRed(img.pixel(50, 75)) > 150 && qGreen(img.pixel(50, 75)) < 90);

    // Stored as the report left: running, the started pid, one step later.
    QCOMPARE(rep.storedAtDoc.iState, int(eStateRunning));
    QCOMPARE(rep.storedAtDoc.iPid, 4321);
    QCOMPARE(rep.storedAtDoc.iTime, 6);
}

void TestNotifierRun::failedStartSendsDocumentOnly()
{
    SimuSettings::updateSimuRecord(QStringLiteral("3"), [](struSimuRecord& r) {
        r.iPid = 777;
        r.iTime = 10;
    });
    CCommResult cRet = CCommResult::failure(58, QStringLiteral("机房一打开模拟器\"雷电模拟器3\"失败。\r\n"));
    runOnThread(cRet, startOper(QStringLiteral("3"), 10));

    QVERIFY(m_pServer->waitForReports(1, 5000));
    const ConsoleReport& rep = m_pServer->reports().first();
    QCOMPARE(rep.oper.iReplyRet, 58);
    QCOMPARE(rep.oper.replyRet, cRet.str);
    QVERIFY2(rep.tail.isEmpty(), "no thumbnail after a failed start");

    struSimuRecord rec;
    SimuSettings::loadSimuRecord(QStringLiteral("3"), rec);
    QCOMPARE(rec.iState, int(eStateNotStarted));
    QCOMPARE(rec.iPid, 0);
    QCOMPARE(rec.iTime, 11);
}

void TestNotifierRun::otherOperationsStoreTheirStates_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("iRet");
    QTest::addColumn<int>("state");
    QTest::newRow("close") << int(eOperClose) << 0 << int(eStateNotStarted);
    QTest::newRow("close failed") << int(eOperClose) << 59 << int(eStateNotStarted);
    // The install responder stores the instance's real run state after the report.
    QTest::newRow("install keeps the state") << int(eOperInstall) << 57 << int(eStateClosing);
    QTest::newRow("delete") << int(eOperDelete) << 26 << int(eStateNotStarted);
    QTest::newRow("rename keeps the state") << int(eOperRename) << 0 << int(eStateClosing);
}

void TestNotifierRun::otherOperationsStoreTheirStates()
{
    QFETCH(int, type);
    QFETCH(int, iRet);
    QFETCH(int, state);
    SimuSettings::updateSimuRecord(QStringLiteral("1"), [](struSimuRecord& r) {
        r.iState = eStateClosing;
        r.iPid = 55;
        r.iTime = 100;
    });
    struSimuOper oper = startOper(QStringLiteral("1"), 100);
    oper.iOperType = type;
    runOnThread(CCommResult::failure(iRet, QStringLiteral("x")), oper);
    QVERIFY(m_pServer->waitForReports(1, 5000));
    QCOMPARE(m_pServer->reports().first().oper.iReplyRet, iRet);
    QVERIFY(m_pServer->reports().first().tail.isEmpty());
    struSimuRecord rec;
    SimuSettings::loadSimuRecord(QStringLiteral("1"), rec);
    QCOMPARE(rec.iState, state);
    QCOMPARE(rec.iTime, 101);
    QCOMPARE(rec.iPid, 55); // only a start reports a pid
}

void TestNotifierRun::missingScreenshotSendsDefaultTile()
{
    CCommResult ok;
    ok.iExtraRet = 1;
    runOnThread(ok, startOper(QStringLiteral("MEmu_9"), 1));
    QVERIFY(m_pServer->waitForReports(1, 5000));
    const QImage img = m_pServer->reports().first().image();
    QCOMPARE(img.size(), QSize(100, 150));
    QImage tile(QStringLiteral(":/res/vediobox/vedioBoxDef.png"));
    QVERIFY2(!tile.isNull(), "the default tile is built in");
    const QImage expected = tile.scaled(100, 150, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    const QColor a = img.pixelColor(50, 75), b = expected.pixelColor(50, 75);
    QVERIFY(qAbs(a.red() - b.red()) < 40 && qAbs(a.green() - b.green()) < 40 &&
            qAbs(a.blue() - b.blue()) < 40);
}

void TestNotifierRun::consoleDownGivesSixFailuresThenGivesUp()
{
    quint16 freePort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::AnyIPv4, 0));
        freePort = probe.serverPort();
    }
    m_options.resultPort = freePort;
    m_options.attemptWaitMs = 60;

    QElapsedTimer clock;
    clock.start();
    const CCommResult delivery =
        runOnThread(CCommResult::failure(0, QStringLiteral("ok")), startOper(QStringLiteral("2"), 7));
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(delivery.iRet, 52);
    QCOMPARE(delivery.str, QStringLiteral("客户端连接总控端(127.0.0.1)失败"));
    QCOMPARE(delivery.log, QStringLiteral("ok"));
    // Each attempt takes its wait even when refused at once: five pauses between six attempts.
    QVERIFY2(elapsed >= 5 * 60 - 10, qPrintable(QString::number(elapsed)));
    QVERIFY2(elapsed < 5000, qPrintable(QString::number(elapsed)));
    QTRY_COMPARE_WITH_TIMEOUT(m_pLog->count(QStringLiteral("客户端连接总控端(127.0.0.1)失败")), 6, 2000);
    // The stored state moved although nothing was delivered.
    struSimuRecord rec;
    SimuSettings::loadSimuRecord(QStringLiteral("2"), rec);
    QCOMPARE(rec.iState, int(eStateRunning));
    QCOMPARE(rec.iTime, 1);
}

QTEST_MAIN(TestNotifierRun)
#include "tst_notifierrun.moc"
