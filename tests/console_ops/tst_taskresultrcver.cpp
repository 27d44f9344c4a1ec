// The console's result server against test agents on loopback: what every kind of report turns into,
// reports and thumbnails that arrive in pieces, and connections that stall, misbehave or come a
// hundred at once.
#include "farmtrust.h"
#include "jsoncodec.h"
#include "loginret.h"
#include "taskresultrcver.h"
#include "thumbjpeg.h"

#include <QJsonDocument>
#include <QTcpSocket>
#include <QtTest>

namespace {

// Everything the server emits, as text in arrival order; heap objects are freed here.
class Collector : public QObject
{
public:
    explicit Collector(TaskResultRcver* pRcver)
    {
        connect(pRcver, &TaskResultRcver::sigSetState, this, [this](QString pc, QString idx, int s, int t) {
            events << QStringLiteral("state %1/%2 %3 %4").arg(pc, idx).arg(s).arg(t);
        });
        connect(
            pRcver, &TaskResultRcver::sigTskRstRcverImageArrived, this,
            [this](QString pc, QString idx, QImage* p) {
                images << *p;
                events << QStringLiteral("image %1/%2 %3x%4").arg(pc, idx).arg(p->width()).arg(p->height());
                delete p;
            });
        connect(pRcver, &TaskResultRcver::sigInstallState, this,
                [this](QString pc, QString idx, int s, int pr) {
                    events << QStringLiteral("install %1/%2 %3 %4").arg(pc, idx).arg(s).arg(pr);
                });
        connect(pRcver, &TaskResultRcver::sigTaskResultReply, this, [this](CCommResult* p) {
            events << QStringLiteral("result %1 %2 %3").arg(p->iRet).arg(p->log, p->str);
            delete p;
        });
        connect(pRcver, &TaskResultRcver::sigReportUnreadable, this,
                [this](QString peer) { events << QStringLiteral("unreadable ") + peer; });
    }
    int count(const QString& prefix) const { return events.filter(QRegularExpression("^" + prefix)).size(); }
    QStringList events;
    QList<QImage> images;
};

struSimuOper report(int type, const QString& idx, int ret, int time, const QString& text = QString())
{
    struSimuOper o;
    o.iOperType = type;
    o.memuIdx = idx;
    o.iReplyRet = ret;
    o.iTime = time;
    o.replyRet = text;
    o.rmtPcName = QStringLiteral("pc1");
    o.centerIP = QStringLiteral("127.0.0.1");
    return o;
}

QByteArray doc(const QList<struSimuOper>& opers)
{
    return JsonCodec::serializeCommandDoc(opers, QStringLiteral("alice"));
}

} // namespace

class TstTaskResultRcver : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void everyKindOfReport();
    void reportsAndThumbnailsInPieces();
    void stalledAndHostileConnectionsHoldUpNobody();
    void onlyReportsOfTheFarmAreShown();

private:
    // Connects, writes the pieces with a pause between them, closes.
    QTcpSocket* open();
    void send(const QList<QByteArray>& pieces, int pauseMs = 0);

    QThread* m_pThread = nullptr;
    TaskResultRcver* m_pRcver = nullptr;
    Collector* m_pCollector = nullptr;
    quint16 m_port = 0;
};

void TstTaskResultRcver::init()
{
    // The agents played here report as agents without a farm key do (signedReportsOnly aside).
    FarmTrust::setAcceptUnsigned(true);
    m_pThread = new QThread;
    m_pRcver = new TaskResultRcver(0);
    m_pCollector = new Collector(m_pRcver);
    m_pRcver->moveToThread(m_pThread);
    QSignalSpy listening(m_pRcver, &TaskResultRcver::sigListening);
    connect(m_pThread, &QThread::started, m_pRcver, &TaskResultRcver::slInitSocket);
    connect(m_pThread, &QThread::finished, m_pRcver, &QObject::deleteLater);
    m_pThread->start();
    // Waited for by its count: the signal may come from the new thread before a wait() would start.
    QTRY_VERIFY_WITH_TIMEOUT(listening.count() > 0, 30000);
    m_port = listening.first().first().value<quint16>();
    QVERIFY(m_port != 0);
}

void TstTaskResultRcver::cleanup()
{
    m_pThread->quit();
    m_pThread->wait(10000);
    delete m_pThread;
    delete m_pCollector;
}

QTcpSocket* TstTaskResultRcver::open()
{
    auto* s = new QTcpSocket(this);
    s->connectToHost(QHostAddress::LocalHost, m_port);
    if (!s->waitForConnected(5000))
        qWarning() << "test agent cannot connect" << s->errorString();
    return s;
}

void TstTaskResultRcver::send(const QList<QByteArray>& pieces, int pauseMs)
{
    QTcpSocket* s = open();
    for (int i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            QTest::qWait(pauseMs);
        s->write(pieces.at(i));
        s->waitForBytesWritten(5000);
    }
    s->disconnectFromHost();
    s->deleteLater();
}

void TstTaskResultRcver::everyKindOfReport()
{
    const QByteArray red = thumbJpeg(Qt::red);
    send({doc({report(0, "s1", 0, 100)}), red}, 100); // start with its thumbnail
    send({doc({report(0, "s2", 58, 101, "失败")})});  // failed start: no thumbnail
    send({doc({report(1, "c1", 0, 200)})});
    send({doc({report(1, "c2", 3, 201)})});
    send({doc({report(2, "i1", 0, 300)})});
    send({doc({report(2, "i2", 9, 301)})});
    send({doc({report(3, "d1", 0, 400)})});
    send({doc({report(3, "d2", 26, 401)})});
    send({doc({report(4, "r1", 0, 500, "改名成功")})});
    send({doc({report(4, "r2", 69, 501, "暂不支持逍遥模拟器重命名")})});
    send({doc({report(5, "", 0, 600, "机房一创建模拟器成功\r\n")})});
    // Several records: the first one counts.
    send({doc({report(1, "m1", 0, 700), report(0, "m2", 0, 700)})});
    QTRY_VERIFY_WITH_TIMEOUT(m_pCollector->events.size() >= 15, 10000);
    QTest::qWait(100);
    const QStringList expected{"image pc1/s1 100x150",
                               "state pc1/s1 1 100",
                               "image pc1/s2 100x150",
                               "state pc1/s2 -1 101",
                               "state pc1/c1 -1 201",
                               "state pc1/c2 1 202",
                               "state pc1/i1 1 300",
                               "install pc1/i1 2 0",
                               "state pc1/i2 1 301",
                               "install pc1/i2 2 0",
                               "state pc1/d1 7 -1",
                               "state pc1/d2 -1 -1",
                               QStringLiteral("result 0 结果 暂不支持逍遥模拟器重命名"),
                               QStringLiteral("result 0 结果 机房一创建模拟器成功\r\n"),
                               "state pc1/m1 -1 701"};
    QStringList got = m_pCollector->events;
    QCOMPARE(got.size(), expected.size());
    // Each connection is served on its own, so only the order within one report is fixed.
    for (const QString& e : expected)
        QVERIFY2(got.removeOne(e), qPrintable(e + " missing in " + m_pCollector->events.join(" | ")));
    const QStringList& ev = m_pCollector->events;
    // A start's state is shown as soon as its document is read, its picture once that is whole.
    QVERIFY(ev.indexOf("state pc1/s1 1 100") < ev.indexOf("image pc1/s1 100x150"));
    // The thumbnail that came is the one shown; the failed start shows the stock picture.
    const QImage shown = m_pCollector->images.at(ev.filter("image").indexOf("image pc1/s1 100x150"));
    QVERIFY(qRed(shown.pixel(50, 75)) > 200 && qGreen(shown.pixel(50, 75)) < 60);
    QImage stock(TaskResultRcver::StockPicturePath());
    QVERIFY(!stock.isNull());
    QVERIFY(m_pCollector->images.contains(stock));
}

void TstTaskResultRcver::reportsAndThumbnailsInPieces()
{
    const QByteArray d = doc({report(0, "MEmu_3", 0, 42, "机房一打开模拟器\"三\"成功\r\n")});
    const QByteArray blue = thumbJpeg(Qt::blue);
    // Document in three pieces, thumbnail in two, each 150 ms apart.
    send({d.left(10), d.mid(10, 40), d.mid(50), blue.left(blue.size() / 2), blue.mid(blue.size() / 2)}, 150);
    QTRY_COMPARE_WITH_TIMEOUT(m_pCollector->events.size(), 2, 5000);
    QCOMPARE(m_pCollector->events, QStringList({"state pc1/MEmu_3 1 42", "image pc1/MEmu_3 100x150"}));
    QVERIFY(qBlue(m_pCollector->images.first().pixel(50, 75)) > 200);
    // The document and the thumbnail in one write.
    send({d + blue});
    QTRY_COMPARE_WITH_TIMEOUT(m_pCollector->events.size(), 4, 5000);
}

void TstTaskResultRcver::stalledAndHostileConnectionsHoldUpNobody()
{
    QMetaObject::invokeMethod(
        m_pRcver,
        [r = m_pRcver] {
            TaskResultRcver::Limits l = r->GetLimits();
            l.documentWaitMs = 8000;
            // Fewer than the reports below: the rest wait their turn in the listen queue.
            l.maxConnections = 32;
            r->SetLimits(l);
        },
        Qt::BlockingQueuedConnection);
    QElapsedTimer clock;
    clock.start();
    QTcpSocket* stalled = open(); // never sends
    QTcpSocket* halfDoc = open(); // half a document, then nothing
    halfDoc->write(doc({report(1, "h", 0, 1)}).left(20));
    QTcpSocket* held = open(); // a start report whose thumbnail never comes; kept open
    held->write(doc({report(0, "held", 0, 9)}));
    send({QByteArray("GET / HTTP/1.0\r\n\r\n")});                // not a report
    send({QByteArray("{\"size\":1,\"0\":{\"iOperType\":0,}}")}); // braces complete, JSON malformed

    // A hundred agents report at once.
    QList<QTcpSocket*> agents;
    for (int i = 0; i < 100; ++i)
        agents << open();
    for (int i = 0; i < 100; ++i)
        agents.at(i)->write(doc({report(1, QString::number(i), 0, 1000 + i)}));
    for (QTcpSocket* s : agents)
        s->disconnectFromHost();
    // All of them land while the stalled connections are still waiting for their documents.
    QTRY_VERIFY_WITH_TIMEOUT(m_pCollector->count("state pc1/\\d+ ") == 100, 10000);
    QCOMPARE(stalled->state(), QAbstractSocket::ConnectedState);
    QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE_WITH_TIMEOUT(m_pCollector->count("unreadable 127.0.0.1"), 2, 2000);

    // The held start report: its state at once, the stock picture after the thumbnail wait.
    QVERIFY(m_pCollector->events.contains("state pc1/held 1 9"));
    QTRY_VERIFY_WITH_TIMEOUT(m_pCollector->events.contains("image pc1/held 100x150"), 9000);
    QVERIFY2(clock.elapsed() >= 5900, qPrintable(QString::number(clock.elapsed())));
    // The stalled and the half document were dropped after the document wait; only the half one
    // had said anything.
    QTRY_COMPARE_WITH_TIMEOUT(stalled->state(), QAbstractSocket::UnconnectedState, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(halfDoc->state(), QAbstractSocket::UnconnectedState, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(m_pCollector->count("unreadable"), 3, 2000);
    QCOMPARE(m_pRcver->ActiveConnections(), 0);
    qDeleteAll(agents);
    delete stalled;
    delete halfDoc;
    delete held;
}

// Reports a host without the farm key can make (plain, signed with another key, a copy of a report
// already shown) change nothing; a signed report is shown, its thumbnail only when it is the one the
// report was signed with.
void TstTaskResultRcver::onlyReportsOfTheFarmAreShown()
{
    FarmTrust::setAcceptUnsigned(false);
    CLoginRet login;
    login.strUserName = QStringLiteral("alice");
    login.baFarmKey = QByteArray(32, 'f');
    LoginRecord::set(login);
    const auto restore = qScopeGuard([] { LoginRecord::clear(); });
    const QByteArray red = thumbJpeg(Qt::red);
    const auto signedDoc = [&](const struSimuOper& o, const QByteArray& tail) {
        return FarmTrust::commandDoc({o}, QStringLiteral("alice"), MsgAuth::eChannel::Result, tail);
    };
    const QByteArray shown = signedDoc(report(0, "ok", 0, 10), red);
    send({shown, red}, 100);
    QTRY_COMPARE_WITH_TIMEOUT(m_pCollector->events.size(), 2, 5000);

    send({doc({report(0, "plain", 0, 11)}), red}, 100);
    QJsonObject otherKey = JsonCodec::commandDocObject({report(1, "other", 0, 12)}, QStringLiteral("alice"));
    MsgAuth::signJson(otherKey, QByteArray(32, 'x'), MsgAuth::eChannel::Result);
    send({QJsonDocument(otherKey).toJson(QJsonDocument::Compact)});
    QJsonObject asCommand = JsonCodec::commandDocObject({report(1, "cmd", 0, 13)}, QStringLiteral("alice"));
    MsgAuth::signJson(asCommand, login.baFarmKey, MsgAuth::eChannel::Command);
    send({QJsonDocument(asCommand).toJson(QJsonDocument::Compact)});
    send({shown, red}, 100); // the same report again
    send({signedDoc(report(0, "swapped", 0, 14), red), thumbJpeg(Qt::blue)}, 100);
    QTRY_COMPARE_WITH_TIMEOUT(m_pCollector->events.size(), 3, 5000);
    QTest::qWait(500);
    QCOMPARE(m_pCollector->events,
             QStringList({"state pc1/ok 1 10", "image pc1/ok 100x150", "state pc1/swapped 1 14"}));
    QVERIFY(qRed(m_pCollector->images.first().pixel(50, 75)) > 200);
}

QTEST_GUILESS_MAIN(TstTaskResultRcver)
#include "tst_taskresultrcver.moc"
