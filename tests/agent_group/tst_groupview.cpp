// The live view of a group run's lead: the agent connects to the test's view port, says hello with
// the run's id, and sends JPEG frames of the instance's screen (newest only) until the run ends, the
// console leaves or the lead stops.
#include "adbshells.h"
#include "groupharness.h"
#include "simustatestore.h"

#include <QImage>
#include <QtTest>

#include <atomic>

namespace {
const QString kRun = QStringLiteral("run-view-1");
} // namespace

class TestGroupView : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void helloThenLiveFramesUntilTheRunEnds();
    void slowConsoleGetsTheNewestFrame();
    void viewEndsWhenTheLeadStopsTheConsoleLeavesOrTheAgentExits();
    void slowLeadStillGivesFramesInOrder();

private:
    bool startLead(const struGroupCtlOptions& options, QSize screen);
    bool beginView(ViewConsole& console);

    std::unique_ptr<GroupAgent> m_pAgent;
    QString m_lead;
    std::atomic<GroupViewSender*> m_pSender{nullptr};
};

void TestGroupView::cleanup()
{
    m_pAgent.reset();
    AdbShells::shutdown();
    m_pSender = nullptr;
}

bool TestGroupView::startLead(const struGroupCtlOptions& options, QSize screen)
{
    m_pAgent = std::make_unique<GroupAgent>();
    if (!m_pAgent->start(2, options) || !m_pAgent->farm().setKnob(QStringLiteral("bootDelayMs"), "0"))
        return false;
    m_lead = m_pAgent->farm().indexes().at(0);
    QObject::connect(
        m_pAgent->mgr(), &GroupCtlMgr::sigViewStarted, m_pAgent->mgr(),
        [this](GroupViewSender* pSender) { m_pSender = pSender; }, Qt::DirectConnection);
    return m_pAgent->runInstance(m_lead, screen);
}

bool TestGroupView::beginView(ViewConsole& console)
{
    const std::optional<GroupReply> reply =
        m_pAgent->send(eOperGroupViewBegin, {m_lead}, kRun, QString(), console.port());
    return reply && reply->items.size() == 1 && reply->items.at(0).code == eGroupOk;
}

#define LEAD_OR_SKIP(options, screen)                                                                        \
    do {                                                                                                     \
        FARMSIM_OR_SKIP();                                                                                   \
        QVERIFY(startLead(options, screen));                                                                 \
    } while (0)

// Frames of the lead's own size that decode, taken one after another, showing where the lead was
// tapped; the run's end says so in an end frame, closes the connection and takes the view's shell.
void TestGroupView::helloThenLiveFramesUntilTheRunEnds()
{
    LEAD_OR_SKIP(struGroupCtlOptions(), QSize(720, 1280));
    const QString serial = m_pAgent->serialOf(m_lead);
    ViewConsole console;
    QVERIFY(beginView(console));
    QTRY_VERIFY_WITH_TIMEOUT(console.count(GroupViewFrame::Jpeg) >= 3, 15000);
    QCOMPARE(console.frames().first().frame.kind, GroupViewFrame::Hello);
    QCOMPARE(console.frames().first().frame.text(), kRun);
    QCOMPARE(m_pAgent->farm().shellPids(serial).size(), 1); // the view's own shell

    QVERIFY(m_pAgent->input({m_lead}, kRun, GroupInputEvent::tap(0.25, 0.75)).value(m_lead).code == eGroupOk);
    QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->events(m_lead, "tap").size(), 1, 10000);
    const int afterTap = console.frames().size();
    QTRY_VERIFY_WITH_TIMEOUT(console.frames().size() >= afterTap + 3, 10000);

    quint64 lastCapture = 0;
    for (int i = 1; i < console.frames().size(); ++i) {
        const GroupViewFrame& f = console.frames().at(i).frame;
        QCOMPARE(f.kind, GroupViewFrame::Jpeg);
        QVERIFY(f.captureMs > lastCapture);
        lastCapture = f.captureMs;
        QCOMPARE(QSize(int(f.width), int(f.height)), QSize(720, 1280));
    }
    const QImage shown = QImage::fromData(console.frames().last().frame.payload, "JPG");
    QCOMPARE(shown.size(), QSize(720, 1280));
    const QColor dot = shown.pixelColor(qRound(0.25 * 719), qRound(0.75 * 1279));
    QVERIFY2(dot.red() > 180 && dot.green() < 120 && dot.blue() < 120, qPrintable(dot.name()));

    const std::optional<GroupReply> end = m_pAgent->send(eOperGroupViewEnd, {QString()}, kRun);
    QVERIFY(end);
    QTRY_VERIFY_WITH_TIMEOUT(!console.connected(), 5000);
    QCOMPARE(console.frames().last().frame.kind, GroupViewFrame::End);
    QCOMPARE(console.frames().last().frame.text(), QStringLiteral("群控已结束"));
    QVERIFY(!console.invalid());
    QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->mgr()->viewCount(), 0, 5000);
    // The view's shell is gone; what is left is the instance's long-lived shell of the replay.
    QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->farm().shellPids(serial).size(), 1, 5000);
    AdbShells::shutdown();
    QTRY_VERIFY_WITH_TIMEOUT(m_pAgent->farm().shellPids(serial).isEmpty(), 5000);
}

// While the console reads nothing the agent captures nothing (the frame before is still unsent);
// once it reads again it gets a frame taken after it read on, not the backlog of its pause.
void TestGroupView::slowConsoleGetsTheNewestFrame()
{
    LEAD_OR_SKIP(struGroupCtlOptions(), QSize(720, 1280));
    ViewConsole console;
    QVERIFY(beginView(console));
    QTRY_VERIFY_WITH_TIMEOUT(console.count(GroupViewFrame::Jpeg) >= 2, 15000);
    QVERIFY(m_pSender.load());
    console.setPaused(true);
    QTest::qWait(500); // what was under way settles into the buffers
    const int capturedAtPause = m_pSender.load()->framesCaptured();
    QTest::qWait(2000);
    const int capturedInPause = m_pSender.load()->framesCaptured() - capturedAtPause;
    // The sockets' buffers take a frame or so before the agent sees its writes back up;
    // then it captures no more (at its period it would have taken 20).
    QVERIFY2(capturedInPause <= 1, qPrintable(QString::number(capturedInPause)));

    const qint64 readOnMs = QDateTime::currentMSecsSinceEpoch();
    const int before = console.frames().size();
    console.setPaused(false);
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(console.frames().begin() + before, console.frames().end(),
                                         [readOnMs](const ViewConsole::struGot& got) {
                                             return qint64(got.frame.captureMs) >= readOnMs;
                                         }),
                             5000);
    // Frames from before are at most what the buffers held (mostly the console's): a few, never one per
    // period of the pause.
    int stale = 0;
    for (int i = before; i < console.frames().size(); ++i)
        stale += qint64(console.frames().at(i).frame.captureMs) < readOnMs ? 1 : 0;
    QVERIFY2(stale <= 4, qPrintable(QStringLiteral("%1 stale frames of %2 bytes")
                                        .arg(stale)
                                        .arg(console.frames().last().frame.payload.size())));
}

void TestGroupView::viewEndsWhenTheLeadStopsTheConsoleLeavesOrTheAgentExits()
{
    struGroupCtlOptions options;
    options.view.iLeadCheckMs = 200;
    LEAD_OR_SKIP(options, QSize());
    const QString serial = m_pAgent->serialOf(m_lead);

    // No view of an instance that is not running, nor to a port where no console listens.
    const QString stopped = m_pAgent->farm().indexes().at(1);
    const std::optional<GroupReply> refused =
        m_pAgent->send(eOperGroupViewBegin, {stopped}, kRun, QString(), 5000);
    QVERIFY(refused);
    QCOMPARE(refused->items.value(0).code, int(eGroupNotRunning));
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    const std::optional<GroupReply> nobody =
        m_pAgent->send(eOperGroupViewBegin, {m_lead}, kRun, QString(), closedPort);
    QVERIFY(nobody);
    QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->mgr()->viewCount(), 0, 8000);
    QTRY_VERIFY_WITH_TIMEOUT(m_pAgent->farm().shellPids(serial).isEmpty(), 5000);

    // The console leaves: the view ends and its shell with it.
    {
        ViewConsole console;
        QVERIFY(beginView(console));
        QTRY_VERIFY_WITH_TIMEOUT(console.count(GroupViewFrame::Jpeg) >= 1, 15000);
        console.closeConnection();
        QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->mgr()->viewCount(), 0, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(m_pAgent->farm().shellPids(serial).isEmpty(), 5000);
    }

    // The lead stops (as the agent holds it after a close): the console is told why.
    ViewConsole console;
    QVERIFY(beginView(console));
    QTRY_VERIFY_WITH_TIMEOUT(console.count(GroupViewFrame::Jpeg) >= 1, 15000);
    SimuStateStore::instance().update(m_lead, [](struSimuRecord& rec) { rec.iState = eStateNotStarted; });
    QTRY_VERIFY_WITH_TIMEOUT(!console.connected(), 5000);
    QCOMPARE(console.frames().last().frame.kind, GroupViewFrame::End);
    QCOMPARE(console.frames().last().frame.text(), QStringLiteral("模拟器已关闭"));
    QTRY_COMPARE_WITH_TIMEOUT(m_pAgent->mgr()->viewCount(), 0, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(m_pAgent->farm().shellPids(serial).isEmpty(), 5000);

    // The agent exits with a view open: the console is told so before the connection closes, and
    // the view's shell goes with it.
    SimuStateStore::instance().update(m_lead, [](struSimuRecord& rec) { rec.iState = eStateRunning; });
    ViewConsole last;
    QVERIFY(beginView(last));
    QTRY_VERIFY_WITH_TIMEOUT(last.count(GroupViewFrame::Jpeg) >= 1, 15000);
    QCOMPARE(m_pAgent->farm().shellPids(serial).size(), 1);
    m_pAgent->stopMgr();
    QTRY_VERIFY_WITH_TIMEOUT(!last.connected(), 5000);
    QCOMPARE(last.frames().last().frame.kind, GroupViewFrame::End);
    QCOMPARE(last.frames().last().frame.text(), QStringLiteral("被控端已退出"));
    QVERIFY(!last.invalid());
    QTRY_VERIFY_WITH_TIMEOUT(m_pAgent->farm().shellPids(serial).isEmpty(), 5000);
}

// Every line of the lead's shell takes three frame periods: frames come slower, one after another,
// and the view goes on (each capture within its deadline) instead of ending as failed.
void TestGroupView::slowLeadStillGivesFramesInOrder()
{
    LEAD_OR_SKIP(struGroupCtlOptions(), QSize(480, 800));
    QVERIFY(m_pAgent->farm().setKnob(QStringLiteral("toolDelayMs"), QStringLiteral("300"), m_lead));
    ViewConsole console;
    QVERIFY(beginView(console));
    QTRY_VERIFY_WITH_TIMEOUT(console.count(GroupViewFrame::Jpeg) >= 4, 15000);
    QVERIFY(console.connected());
    QCOMPARE(m_pAgent->mgr()->viewCount(), 1);
    for (int i = 2; i < console.frames().size(); ++i) {
        const quint64 gap =
            console.frames().at(i).frame.captureMs - console.frames().at(i - 1).frame.captureMs;
        QVERIFY2(gap >= 250, qPrintable(QString::number(gap)));
    }
    QCOMPARE(QImage::fromData(console.frames().last().frame.payload, "JPG").size(), QSize(480, 800));
}

QTEST_MAIN(TestGroupView)
#include "tst_groupview.moc"
