// Group control's replay on the agent, against a simulated farm: a test acting as the console sends
// the group commands to the agent's command server and reads each reply; what reached every
// instance is read from the farm's per-instance event logs.
#include "adbshells.h"
#include "groupharness.h"
#include "simustatestore.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {
const QString kRun = QStringLiteral("run-replay-1");
} // namespace

class TestGroupReplay : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void eventsLandScaledAndIntactOnRunningInstancesOnly();
    void malformedCommandsAreRefusedWithAReply();
    void hungShellHoldsUpOnlyItsInstance();
    void slowFarmGetsEveryEventInOrder();
    void runEndsByCommandOrIdleness();

private:
    std::unique_ptr<GroupAgent> m_pAgent;
};

void TestGroupReplay::cleanup()
{
    m_pAgent.reset();
    AdbShells::shutdown();
}

#define AGENT_OR_SKIP(n, options)                                                                            \
    do {                                                                                                     \
        FARMSIM_OR_SKIP();                                                                                   \
        m_pAgent = std::make_unique<GroupAgent>();                                                           \
        QVERIFY(m_pAgent->start(n, options));                                                                \
    } while (0)

// Two instances with different screens get every event at their own pixels; text with shell
// metacharacters arrives as one literal argument and runs nothing; a stopped instance and one that
// does not exist are answered, and the others go on.
void TestGroupReplay::eventsLandScaledAndIntactOnRunningInstancesOnly()
{
    AGENT_OR_SKIP(4, struGroupCtlOptions());
    QVERIFY(m_pAgent->farm().setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0")));
    const QStringList idx = m_pAgent->farm().indexes();
    QVERIFY(m_pAgent->runInstance(idx.at(0), QSize(720, 1280)));
    QVERIFY(m_pAgent->runInstance(idx.at(1), QSize(270, 480)));
    const QString stopped = idx.at(2);
    const QStringList all{idx.at(0), idx.at(1), stopped, QStringLiteral("nosuch")};

    const QString hostile = QStringLiteral("it's \"quoted\"; echo pwned $(id) `id` | cat & x > /tmp/f");
    const QList<GroupInputEvent> sent{GroupInputEvent::tap(0.5, 0.25),
                                      GroupInputEvent::typed(hostile),
                                      GroupInputEvent::swipe(0.1, 0.9, 0.9, 0.1, 50),
                                      GroupInputEvent::key(4),
                                      GroupInputEvent::roll(0, -3),
                                      GroupInputEvent::tap(1, 1)};
    for (const GroupInputEvent& event : sent) {
        const QHash<QString, GroupReplyItem> reply = m_pAgent->input(all, kRun, event);
        QCOMPARE(reply.size(), 4);
        QCOMPARE(reply.value(idx.at(0)).code, int(eGroupOk));
        QCOMPARE(reply.value(idx.at(1)).code, int(eGroupOk));
        QCOMPARE(reply.value(stopped).code, int(eGroupNotRunning));
        QCOMPARE(reply.value(stopped).text, QStringLiteral("未启动"));
        QCOMPARE(reply.value(QStringLiteral("nosuch")).code, int(eGroupNoSuchInstance));
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->events(idx.at(0), "tap").size(), 2, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->events(idx.at(1), "tap").size(), 2, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->events(idx.at(1), "roll").size(), 1, 10000);

    const QString typed = QString(hostile).replace(' ', QLatin1String("%s"));
    for (const auto& [i, w, h] : {std::tuple{0, 720, 1280}, std::tuple{1, 270, 480}}) {
        const QString at = idx.at(i);
        QCOMPARE(m_pAgent->events(at, "tap").at(0), (QStringList{QString::number(qRound(0.5 * (w - 1))),
                                                                 QString::number(qRound(0.25 * (h - 1)))}));
        QCOMPARE(m_pAgent->events(at, "tap").at(1),
                 (QStringList{QString::number(w - 1), QString::number(h - 1)}));
        QCOMPARE(m_pAgent->events(at, "text"), (QList<QStringList>{{typed}}));
        QCOMPARE(m_pAgent->events(at, "swipe").value(0).value(4), QStringLiteral("50"));
        QCOMPARE(m_pAgent->events(at, "keyevent"), (QList<QStringList>{{"4"}}));
        QCOMPARE(m_pAgent->events(at, "roll"), (QList<QStringList>{{"0", "-3"}}));
        // Nothing else ran: no line of the device's shell was refused or ran another program.
        QVERIFY(m_pAgent->events(at, "sh-error").isEmpty());
        // The events came in the order sent.
        QStringList order;
        for (const QJsonValue& v : m_pAgent->farm().events(at))
            order << v.toObject().value("cmd").toString();
        QCOMPARE(order, (QStringList{"tap", "text", "swipe", "keyevent", "roll", "tap"}));
    }
    QVERIFY(m_pAgent->farm().events(stopped).isEmpty());

    // A follower closed during the run (as the agent holds it after a close) is answered; the other
    // goes on.
    SimuStateStore::instance().update(idx.at(1), [](struSimuRecord& rec) { rec.iState = eStateNotStarted; });
    const QHash<QString, GroupReplyItem> after = m_pAgent->input(all, kRun, GroupInputEvent::key(66));
    QCOMPARE(after.value(idx.at(1)).code, int(eGroupNotRunning));
    QCOMPARE(after.value(idx.at(0)).code, int(eGroupOk));
    QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->events(idx.at(0), "keyevent").size(), 2, 10000);
    QCOMPARE(m_pAgent->events(idx.at(1), "keyevent").size(), 1);
}

// A reply, never silence: events that are none, out of bounds or without a run; a live view to a port
// that is none. An agent without group control (no manager attached) answers nothing, as an old one.
void TestGroupReplay::malformedCommandsAreRefusedWithAReply()
{
    AGENT_OR_SKIP(2, struGroupCtlOptions());
    QVERIFY(m_pAgent->farm().setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0")));
    const QString a = m_pAgent->farm().indexes().at(0);
    QVERIFY(m_pAgent->runInstance(a));
    const QStringList bad{QString(), QStringLiteral("not json"),
                          QStringLiteral("{\"k\":\"tap\",\"x\":2,\"y\":0}"), QStringLiteral("{\"k\":\"rm\"}"),
                          QStringLiteral("{\"k\":\"text\",\"text\":\"a\\nb\"}")};
    for (const QString& event : bad) {
        const std::optional<GroupReply> reply = m_pAgent->send(eOperGroupInput, {a}, kRun, event);
        QVERIFY2(reply, qPrintable(event));
        QCOMPARE(reply->type, int(eOperGroupInput));
        QCOMPARE(reply->runId, kRun);
        QCOMPARE(reply->items.size(), 1);
        QCOMPARE(reply->items.at(0).code, int(eGroupMalformed));
        QCOMPARE(reply->items.at(0).text, QStringLiteral("群控指令格式错误"));
    }
    // Without a run id (or with one that is none) nothing is taken.
    std::optional<GroupReply> reply =
        m_pAgent->send(eOperGroupInput, {a}, QStringLiteral("bad id;"), GroupInputEvent::key(3).toJson());
    QVERIFY(reply);
    QCOMPARE(reply->items.value(0).code, int(eGroupMalformed));
    reply = m_pAgent->send(eOperGroupViewBegin, {a}, kRun, QString(), 70000);
    QVERIFY(reply);
    QCOMPARE(reply->items.value(0).code, int(eGroupMalformed));
    QCOMPARE(m_pAgent->mgr()->viewCount(), 0);
    // A text of nothing `input text` can type replays nothing, and says so by its silence in the log.
    reply =
        m_pAgent->send(eOperGroupInput, {a}, kRun, GroupInputEvent::typed(QStringLiteral("你好")).toJson());
    QVERIFY(reply);
    QCOMPARE(reply->items.value(0).code, int(eGroupOk));
    QVERIFY(m_pAgent->input({a}, kRun, GroupInputEvent::key(3)).contains(a));
    QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->events(a, "keyevent").size(), 1, 10000);
    QVERIFY(m_pAgent->events(a, "text").isEmpty());

    // Without group control (nothing takes the commands) an agent answers nothing, as an old one.
    QObject::disconnect(m_pAgent->commandServer(), &SimuTcpRcvObj::sigGroupCommand, nullptr, nullptr);
    QVERIFY(!m_pAgent->send(eOperGroupInput, {a}, kRun, GroupInputEvent::key(3).toJson()));
}

// An instance whose adb shell answers nothing: its bounded queue fills and further events are
// dropped and counted, its health turns to "adb 无响应", and the other instance gets every event at
// once.
void TestGroupReplay::hungShellHoldsUpOnlyItsInstance()
{
    struGroupCtlOptions options;
    options.iMaxQueuedEvents = 4;
    options.iEventTimeoutMs = 3000;
    AGENT_OR_SKIP(2, options);
    QVERIFY(m_pAgent->farm().setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0")));
    const QString ok = m_pAgent->farm().indexes().at(0);
    const QString hung = m_pAgent->farm().indexes().at(1);
    QVERIFY(m_pAgent->runInstance(ok));
    QVERIFY(m_pAgent->runInstance(hung));
    QVERIFY(m_pAgent->farm().setKnob(QStringLiteral("shellHang"), QStringLiteral("true"), hung));

    const int kEvents = 10;
    QList<int> hungCodes;
    QList<int> hungDropped;
    QElapsedTimer sending;
    sending.start();
    for (int i = 0; i < kEvents; ++i) {
        const QHash<QString, GroupReplyItem> reply =
            m_pAgent->input({hung, ok}, kRun, GroupInputEvent::tap(i / 10.0, 0.5));
        QCOMPARE(reply.value(ok).code, int(eGroupOk));
        hungCodes << reply.value(hung).code;
        hungDropped << reply.value(hung).dropped;
        QTest::qWait(100);
    }
    // Every reply came at once, however stuck the other instance is.
    QVERIFY2(sending.elapsed() < 2500, qPrintable(QString::number(sending.elapsed())));
    QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->events(ok, "tap").size(), kEvents, 5000);
    for (int i = 0; i < kEvents; ++i)
        QCOMPARE(m_pAgent->events(ok, "tap").at(i).at(0), QString::number(qRound(i / 10.0 * 269)));
    QCOMPARE(hungCodes.mid(0, 4), (QList<int>{0, 0, 0, 0}));
    QCOMPARE(hungCodes.mid(4), QVector<int>(kEvents - 4, eGroupQueueFull).toList());
    QCOMPARE(hungDropped.last(), kEvents - 4);

    // Once its shell missed its deadline the instance reports it.
    QTRY_VERIFY_WITH_TIMEOUT(
        m_pAgent->input({hung}, kRun, GroupInputEvent::key(3)).value(hung).code == eGroupShellFailed, 10000);
    const std::optional<GroupReply> end = m_pAgent->send(eOperGroupViewEnd, {QString()}, kRun);
    QVERIFY(end);
    QCOMPARE(end->items.size(), 1);
    QVERIFY(end->items.at(0).dropped >= kEvents - 4);
    QVERIFY(m_pAgent->events(hung, "tap").isEmpty());
}

// The farm is slower than the agent: its instances boot for several of the agent's restart pauses
// (events sent meanwhile fail and are answered), and then every shell line takes four times the
// interval at which events come. Every event sent once the instance is up arrives, in order.
void TestGroupReplay::slowFarmGetsEveryEventInOrder()
{
    struGroupCtlOptions options;
    options.iEventTimeoutMs = 6000;
    AGENT_OR_SKIP(2, options);
    const QStringList idx = m_pAgent->farm().indexes();
    QVERIFY(m_pAgent->farm().setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("2500")));
    QVERIFY(m_pAgent->runInstance(idx.at(0), QSize(), false));
    QVERIFY(m_pAgent->runInstance(idx.at(1), QSize(480, 800), false));
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(m_pAgent->input(idx, kRun, GroupInputEvent::key(i)).size(), 2);
        QTest::qWait(300);
    }
    QVERIFY(m_pAgent->farm().setKnob(QStringLiteral("toolDelayMs"), QStringLiteral("400")));
    // Up once an event gets through (the shells start again after their pause).
    QVERIFY(m_pAgent->farm().waitInstance(idx.at(1), QStringLiteral("online"), true, 10000));
    QDeadlineTimer up(20000);
    while (m_pAgent->events(idx.at(1), "keyevent").isEmpty() && !up.hasExpired()) {
        m_pAgent->input(idx, kRun, GroupInputEvent::key(100));
        QTest::qWait(1500);
    }
    QVERIFY(!m_pAgent->events(idx.at(1), "keyevent").isEmpty());
    QTest::qWait(1000); // the probes still queued are through
    const int before = m_pAgent->events(idx.at(1), "tap").size();
    const int kEvents = 8;
    for (int i = 0; i < kEvents; ++i) {
        const QHash<QString, GroupReplyItem> reply =
            m_pAgent->input(idx, kRun, GroupInputEvent::tap(0.1 * i, 0.5));
        QCOMPARE(reply.value(idx.at(1)).code, int(eGroupOk));
        QTest::qWait(100);
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->events(idx.at(1), "tap").size(), before + kEvents, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->events(idx.at(0), "tap").size(), before + kEvents, 20000);
    const QList<QStringList> taps = m_pAgent->events(idx.at(1), "tap").mid(before);
    for (int i = 0; i < kEvents; ++i)
        QCOMPARE(taps.at(i), (QStringList{QString::number(qRound(0.1 * i * 479)), QStringLiteral("400")}));
}

void TestGroupReplay::runEndsByCommandOrIdleness()
{
    struGroupCtlOptions options;
    options.iIdleEndMs = 800;
    AGENT_OR_SKIP(1, options);
    QVERIFY(m_pAgent->farm().setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0")));
    const QString a = m_pAgent->farm().indexes().at(0);
    QVERIFY(m_pAgent->runInstance(a));
    QVERIFY(m_pAgent->input({a}, kRun, GroupInputEvent::key(3)).contains(a));
    QCOMPARE(m_pAgent->mgr()->runCount(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->mgr()->runCount(), 0, 5000);
    QVERIFY(m_pAgent->input({a}, kRun, GroupInputEvent::key(3)).contains(a));
    QCOMPARE(m_pAgent->mgr()->runCount(), 1);
    const std::optional<GroupReply> end = m_pAgent->send(eOperGroupViewEnd, {QString()}, kRun);
    QVERIFY(end);
    QCOMPARE(end->type, int(eOperGroupViewEnd));
    QCOMPARE(end->items.value(0).code, int(eGroupOk));
    QCOMPARE(m_pAgent->mgr()->runCount(), 0);
    // Ending a run that is gone is no error.
    QVERIFY(m_pAgent->send(eOperGroupViewEnd, {QString()}, kRun));

    // Commands naming ever new runs: the agent holds a bounded number of them.
    for (int i = 0; i < 40; ++i)
        QVERIFY(m_pAgent->input({a}, QStringLiteral("run-%1").arg(i), GroupInputEvent::key(3)).contains(a));
    QCOMPARE(m_pAgent->mgr()->runCount(), 16);
}

QTEST_MAIN(TestGroupReplay)
#include "tst_groupreplay.moc"
