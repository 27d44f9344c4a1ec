// The console's side of group control against agent PCs played on loopback addresses (one address a
// PC, all on one command port): the commands of a run per PC and what the members show, a PC that
// hangs or is gone, the live view taken only from the lead, and the window driven with the mouse and
// the keys.
#include "agentregistry.h"
#include "fakegroupagent.h"
#include "groupcontrolservice.h"
#include "groupcontrolwnd.h"
#include "groupinput.h"
#include "groupscreen.h"
#include "groupviewreceiver.h"
#include "latestframe.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

namespace {

constexpr int kWaitMs = 5000;
const QString kA = QStringLiteral("127.0.0.1");
const QString kB = QStringLiteral("127.0.0.2");
const QString kGone = QStringLiteral("127.0.0.3"); // nothing listens there

// The PC as its discovery reply lists it, and its emulators in these states.
void listPc(AgentRegistry& reg, const QString& pc, const QString& addr,
            const QList<QPair<QString, int>>& rows)
{
    struPcUdpInfo h;
    h.setPcName(pc);
    h.setNickName(QStringLiteral("机房") + pc);
    h.setIpAddr(addr);
    h.iRunLimit = 10;
    h.iSimuType = 2;
    QList<struSimuEntry> simus;
    for (const auto& r : rows)
        simus.append(struSimuEntry{5555, r.first, QStringLiteral("模拟器") + r.first});
    reg.applyPcInfo(h, simus, QHostAddress(addr));
    for (const auto& r : rows)
        reg.applyState(pc, r.first, r.second, -1);
}

GroupMember member(const QString& pc, const QString& idx)
{
    return GroupMember{pc, QStringLiteral("机房") + pc, idx, QStringLiteral("模拟器") + idx};
}

// The members' latest statuses, by "PC/idx".
struct StatusBook
{
    QHash<QString, GroupMemberStatus> last;
    void take(const GroupStatusList& changed)
    {
        for (const GroupMemberStatus& s : changed)
            last.insert(s.pcKey + QLatin1Char('/') + s.memuIdx, s);
    }
    QString text(const QString& key) const
    {
        return last.contains(key) ? groupFollowText(last.value(key)) : QString();
    }
};

QStringList idxsOf(const QList<struSimuOper>& records)
{
    QStringList out;
    for (const struSimuOper& o : records)
        out.append(o.memuIdx);
    return out;
}

QImage solid(QSize size, QColor colour)
{
    QImage p(size, QImage::Format_RGB32);
    p.fill(colour);
    return p;
}

} // namespace

class TstGroupControlConsole : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void eventsGoToRunningMembersPcByPc();
    void aHungPcDelaysNoOther();
    void liveViewOnlyFromTheLead();
    void theWindowDrivesTheRun();

private:
    GroupControlService* makeRun(const QList<GroupMember>& members, int replyWaitMs = 3000,
                                 int maxQueued = 100);

    std::shared_ptr<AgentRegistry> m_pReg;
    std::unique_ptr<FakeGroupAgent> m_pA;
    std::unique_ptr<FakeGroupAgent> m_pB;
    std::unique_ptr<GroupControlService> m_pRun;
    StatusBook m_book;
};

void TstGroupControlConsole::init()
{
    m_pReg = std::make_shared<AgentRegistry>();
    m_pA = std::make_unique<FakeGroupAgent>();
    m_pB = std::make_unique<FakeGroupAgent>();
    QVERIFY(m_pA->listen(kA, 0));
    if (!m_pB->listen(kB, m_pA->port()))
        QSKIP("127.0.0.2 cannot be listened on here");
    m_book = StatusBook();
}

void TstGroupControlConsole::cleanup()
{
    m_pRun.reset();
    m_pA.reset();
    m_pB.reset();
}

GroupControlService* TstGroupControlConsole::makeRun(const QList<GroupMember>& members, int replyWaitMs,
                                                     int maxQueued)
{
    GroupControlService::Options o;
    o.agentPort = m_pA->port();
    o.connectWaitMs = 1000;
    o.replyWaitMs = replyWaitMs;
    o.maxQueued = maxQueued;
    m_pRun = std::make_unique<GroupControlService>(m_pReg, members, o);
    connect(m_pRun.get(), &GroupControlService::sigStatuses, this,
            [this](const GroupStatusList& changed) { m_book.take(changed); });
    return m_pRun.get();
}

// Five events of every kind to four PCs: A with two running members and one stopped, B whose agent
// fails one member, C shown offline by the list, D listed at an address where nothing listens. Each
// event is one document per PC that has running members, in order, naming those members and
// carrying the event; the members show what their agents said. A member closed during the run
// shows so from its agent's reply and the others go on.
void TstGroupControlConsole::eventsGoToRunningMembersPcByPc()
{
    listPc(*m_pReg, "A", kA, {{"0", eStateRunning}, {"1", eStateRunning}, {"2", eStateNotStarted}});
    listPc(*m_pReg, "B", kB, {{"0", eStateRunning}, {"1", eStateInstalling}});
    listPc(*m_pReg, "C", kB, {{"0", eStateRunning}});
    m_pReg->setOffline("C");
    listPc(*m_pReg, "D", kGone, {{"0", eStateRunning}});
    m_pB->setItemCode("1", eGroupShellFailed, groupReplyText(eGroupShellFailed));
    GroupControlService* run =
        makeRun({member("A", "0"), member("A", "1"), member("A", "2"), member("B", "0"), member("B", "1"),
                 member("C", "0"), member("D", "0")});
    const QList<GroupInputEvent> events{
        GroupInputEvent::tap(0.25, 0.75), GroupInputEvent::swipe(0.1, 0.9, 0.1, 0.1, 400),
        GroupInputEvent::key(4), GroupInputEvent::typed("a b'\"$(id);|&`x`"), GroupInputEvent::roll(0, -3)};
    for (const GroupInputEvent& e : events)
        run->send(e);
    QTRY_COMPARE_WITH_TIMEOUT(m_pA->docsOfKind(eOperGroupInput).size(), events.size(), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_pB->docsOfKind(eOperGroupInput).size(), events.size(), kWaitMs);
    for (int i = 0; i < events.size(); ++i) {
        const QList<struSimuOper> a = m_pA->docsOfKind(eOperGroupInput).at(i);
        QCOMPARE(idxsOf(a), (QStringList{"0", "1"}));
        QCOMPARE(idxsOf(m_pB->docsOfKind(eOperGroupInput).at(i)), (QStringList{"0", "1"}));
        for (const struSimuOper& o : a) {
            QCOMPARE(o.inputEvent, events.at(i).toJson());
            QCOMPARE(o.runId, run->runId());
            QCOMPARE(o.rmtPcName, QStringLiteral("A"));
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_book.text("D/0"), QStringLiteral("离线"), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_book.text("B/1"), QStringLiteral("adb 无响应"), kWaitMs);
    QCOMPARE(m_book.text("A/0"), QStringLiteral("跟随中"));
    QCOMPARE(m_book.text("A/1"), QStringLiteral("跟随中"));
    QCOMPARE(m_book.text("A/2"), QStringLiteral("未启动"));
    QCOMPARE(m_book.text("B/0"), QStringLiteral("跟随中"));
    QCOMPARE(m_book.text("C/0"), QStringLiteral("离线"));
    QVERIFY(m_pB->docs.size() == events.size()); // C (offline, B's address) was sent nothing

    // A's second emulator closed: its agent says so, the first goes on.
    m_pA->setItemCode("1", eGroupNotRunning, groupReplyText(eGroupNotRunning));
    run->send(GroupInputEvent::tap(0.5, 0.5));
    QTRY_COMPARE_WITH_TIMEOUT(m_book.text("A/1"), QStringLiteral("未启动"), kWaitMs);
    QCOMPARE(m_book.text("A/0"), QStringLiteral("跟随中"));

    // The end reaches every PC of the run that can be reached, once each.
    QVERIFY(run->endAndWait(kWaitMs));
    QCOMPARE(m_pA->docsOfKind(eOperGroupViewEnd).size(), 1);
    QCOMPARE(m_pB->docsOfKind(eOperGroupViewEnd).size(), 2); // B's and C's (both at B's address)
    QCOMPARE(m_pA->docsOfKind(eOperGroupViewEnd).first().first().runId, run->runId());
    run->send(GroupInputEvent::tap(0.5, 0.5)); // after the end: nothing
    QTest::qWait(200);
    QCOMPARE(m_pA->docsOfKind(eOperGroupInput).size(), events.size() + 1);
}

// B's agent takes the documents and never answers: A's member follows every event as it comes,
// B's shows no reply once the wait is over, and B's events stay in order behind each other; of those
// waiting beyond B's queue of two the oldest are dropped, and counted.
void TstGroupControlConsole::aHungPcDelaysNoOther()
{
    listPc(*m_pReg, "A", kA, {{"0", eStateRunning}});
    listPc(*m_pReg, "B", kB, {{"0", eStateRunning}});
    m_pB->silent = true;
    constexpr int kReplyWaitMs = 1500;
    constexpr int kEvents = 5;
    GroupControlService* run = makeRun({member("A", "0"), member("B", "0")}, kReplyWaitMs, 2);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kEvents; ++i) {
        run->send(GroupInputEvent::tap(0.1 * (i + 1), 0.5));
        QTRY_COMPARE_WITH_TIMEOUT(m_pA->docsOfKind(eOperGroupInput).size(), i + 1, kWaitMs);
    }
    QVERIFY2(clock.elapsed() < kReplyWaitMs, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(m_book.text("A/0"), QStringLiteral("跟随中"));
    QCOMPARE(m_pB->docs.size(), 1); // the second waits for the first's reply
    // In flight the first; waiting 2 and 3, then 3 and 4, then 4 and 5.
    QTRY_COMPARE_WITH_TIMEOUT(m_book.text("B/0"), QStringLiteral("无应答（已丢弃2个事件）"), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_pB->docs.size(), 3, 3 * kReplyWaitMs + kWaitMs);
    QList<double> xs;
    for (const QList<struSimuOper>& d : m_pB->docs) {
        const auto e = GroupInputEvent::fromJson(d.first().inputEvent);
        QVERIFY(e);
        xs.append(e->x);
    }
    QCOMPARE(xs, (QList<double>{0.1, 0.4, 0.5}));
}

// The lead's begin names the receiver's port; streams from another PC, without the run's hello,
// with a malformed header are closed; of several pictures only the newest is shown; the lead's end
// frame says why; a new lead: the old lead's PC ends first, then the new one begins.
void TstGroupControlConsole::liveViewOnlyFromTheLead()
{
    listPc(*m_pReg, "A", kA, {{"0", eStateRunning}});
    listPc(*m_pReg, "B", kB, {{"3", eStateRunning}});
    GroupControlService* run = makeRun({member("A", "0"), member("B", "3")});
    QSignalSpy frames(run, &GroupControlService::sigFrameReady);
    QStringList messages;
    connect(run, &GroupControlService::sigViewMessage, this, [&](const QString& t) { messages << t; });
    run->start();
    QTRY_COMPARE_WITH_TIMEOUT(m_pA->docsOfKind(eOperGroupViewBegin).size(), 1, kWaitMs);
    const struSimuOper begin = m_pA->docsOfKind(eOperGroupViewBegin).first().first();
    QCOMPARE(begin.memuIdx, QStringLiteral("0"));
    QCOMPARE(begin.iExtra, run->viewPort());
    QCOMPARE(begin.runId, run->runId());
    QVERIFY(run->viewPort() > 0);
    const quint16 port = quint16(run->viewPort());
    const QByteArray hello = encodeGroupViewFrame(GroupViewFrame::hello(run->runId()));
    const QByteArray picture = FakeGroupAgent::jpegFrame(solid({90, 160}, Qt::red), 1);

    // Refused: B is not the lead; A's stream with another run's hello; a header of junk.
    QList<QPair<QTcpSocket*, QByteArray>> refused{
        {m_pB->openStream(port), hello + picture},
        {m_pA->openStream(port), encodeGroupViewFrame(GroupViewFrame::hello("another-run")) + picture},
        {m_pA->openStream(port), hello + QByteArray(40, 'J')}};
    for (auto& [s, bytes] : refused) {
        QVERIFY(s->waitForConnected(kWaitMs));
        s->write(bytes);
    }
    for (auto& [s, bytes] : refused)
        QTRY_VERIFY_WITH_TIMEOUT(s->state() == QAbstractSocket::UnconnectedState, kWaitMs);
    QCOMPARE(frames.size(), 0);
    QCOMPARE(run->receiver()->decodedCount(), quint64(0));

    // The lead's stream: three pictures in one write, the newest one shown.
    QTcpSocket* lead = m_pA->openStream(port);
    QVERIFY(lead->waitForConnected(kWaitMs));
    lead->write(hello + FakeGroupAgent::jpegFrame(solid({90, 160}, Qt::red), 1) +
                FakeGroupAgent::jpegFrame(solid({90, 160}, Qt::green), 2) +
                FakeGroupAgent::jpegFrame(solid({180, 320}, Qt::blue), 3));
    QTRY_VERIFY_WITH_TIMEOUT(frames.size() >= 1, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(run->receiver()->decodedCount() + run->receiver()->skippedCount() == 3, kWaitMs);
    const QImage shown = run->frames()->take();
    QCOMPARE(shown.size(), QSize(180, 320));
    QVERIFY(qBlue(shown.pixel(90, 160)) > 200 && qRed(shown.pixel(90, 160)) < 60);
    QCOMPARE(shown.text(QStringLiteral("captureMs")), QStringLiteral("3"));

    lead->write(encodeGroupViewFrame(GroupViewFrame::end(QStringLiteral("模拟器已关闭"))));
    QTRY_VERIFY_WITH_TIMEOUT(messages.contains(QStringLiteral("模拟器已关闭")), kWaitMs);

    // B's emulator becomes the lead: 9 to A, then 8 to B with the same port and run.
    run->setLead(1);
    QTRY_COMPARE_WITH_TIMEOUT(m_pB->docsOfKind(eOperGroupViewBegin).size(), 1, kWaitMs);
    QCOMPARE(m_pA->docsOfKind(eOperGroupViewEnd).size(), 1);
    QCOMPARE(m_pB->docsOfKind(eOperGroupViewBegin).first().first().memuIdx, QStringLiteral("3"));
    QCOMPARE(m_pB->docsOfKind(eOperGroupViewBegin).first().first().iExtra, int(port));
    QTcpSocket* fromB = m_pB->openStream(port);
    QVERIFY(fromB->waitForConnected(kWaitMs));
    fromB->write(hello + FakeGroupAgent::jpegFrame(solid({100, 200}, Qt::white), 4));
    QImage fromNewLead;
    const auto taken = [&] {
        const QImage p = run->frames()->take();
        fromNewLead = p.isNull() ? fromNewLead : p;
        return !fromNewLead.isNull();
    };
    QTRY_VERIFY_WITH_TIMEOUT(taken(), kWaitMs);
    QCOMPARE(fromNewLead.size(), QSize(100, 200));
    // The lead picked again (its stream broke, say): its view ends and begins anew.
    run->setLead(1);
    QTRY_COMPARE_WITH_TIMEOUT(m_pB->docsOfKind(eOperGroupViewBegin).size(), 2, kWaitMs);
    QCOMPARE(m_pB->docsOfKind(eOperGroupViewEnd).size(), 1);
    QCOMPARE(m_pB->docs.last().first().iOperType, int(eOperGroupViewBegin));
    // Its agent cannot begin the view: the screen says why.
    m_pB->setItemCode("3", eGroupViewFailed, groupReplyText(eGroupViewFailed));
    run->setLead(1);
    QTRY_VERIFY_WITH_TIMEOUT(
        messages.contains(QStringLiteral("实时画面无法启动：") + groupReplyText(eGroupViewFailed)), kWaitMs);
}

// The real window over a run whose lead shows a 360x640 screen: a click, a drag, the wheel, keys,
// typing, a long press and the right button on the screen reach both PCs as events in fractions of the
// picture; Esc is the phone's Back and closes nothing; closing asks, "no" keeps the run, "yes" ends it on
// every agent.
void TstGroupControlConsole::theWindowDrivesTheRun()
{
    listPc(*m_pReg, "A", kA, {{"0", eStateRunning}});
    listPc(*m_pReg, "B", kB, {{"0", eStateRunning}});
    GroupControlService* run = makeRun({member("A", "0"), member("B", "0")});
    int questions = 0;
    bool answerYes = false;
    // The real question box, answered through its buttons.
    auto confirm = [&](const QString& title, const QString& text) {
        ++questions;
        QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No);
        QTimer::singleShot(50, &box,
                           [&] { box.button(answerYes ? QMessageBox::Yes : QMessageBox::No)->click(); });
        return box.exec() == QMessageBox::Yes;
    };
    // The console's main window is a dialog run modally; the group window takes input beside it.
    QDialog mainWnd;
    mainWnd.setWindowModality(Qt::ApplicationModal);
    mainWnd.show();
    QPointer<GroupControlWnd> wnd = new GroupControlWnd(run, m_pReg, confirm);
    QCOMPARE(wnd->windowTitle(), QStringLiteral("群控"));
    QCOMPARE(wnd->memberList()->topLevelItemCount(), 2);
    QCOMPARE(wnd->stateText(0), QStringLiteral("运行中"));
    wnd->show();
    QVERIFY(QTest::qWaitForWindowExposed(wnd));
    run->start();
    QTRY_COMPARE_WITH_TIMEOUT(m_pA->docsOfKind(eOperGroupViewBegin).size(), 1, kWaitMs);
    QTcpSocket* lead = m_pA->openStream(quint16(run->viewPort()));
    QVERIFY(lead->waitForConnected(kWaitMs));
    lead->write(encodeGroupViewFrame(GroupViewFrame::hello(run->runId())) +
                FakeGroupAgent::jpegFrame(solid({360, 640}, Qt::darkCyan), 5));
    GroupScreen* screen = wnd->screen();
    QTRY_COMPARE_WITH_TIMEOUT(screen->picture().size(), QSize(360, 640), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(screen->shownCount() >= 1, kWaitMs);
    screen->setFocus();

    const QRectF shown = GroupInput::shownRect(screen->size(), QSize(360, 640));
    const auto at = [&](double fx, double fy) {
        return QPoint(int(shown.x() + fx * shown.width()), int(shown.y() + fy * shown.height()));
    };
    // Through the window system, as the user's mouse and keys come (a window blocked by the modal
    // main window would not get them).
    QTest::mouseClick(wnd->windowHandle(), Qt::LeftButton, {}, screen->mapTo(wnd, at(0.5, 0.25)));
    QTest::mousePress(screen, Qt::LeftButton, {}, at(0.5, 0.8));
    QTest::mouseMove(screen, at(0.5, 0.5));
    QTest::qWait(120);
    QTest::mouseRelease(screen, Qt::LeftButton, {}, at(0.5, 0.2));
    // Beside the picture (the screen is wider than a phone's picture): the picture's left edge.
    QTest::mouseClick(screen, Qt::LeftButton, {}, QPoint(0, at(0, 0.5).y()));
    QWheelEvent wheel(QPointF(at(0.5, 0.5)), QPointF(screen->mapToGlobal(at(0.5, 0.5))), QPoint(),
                      QPoint(0, 240), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(screen, &wheel);
    QTest::keyClick(wnd->windowHandle(), Qt::Key_Escape);
    QTest::keyClick(screen, Qt::Key_Return);
    QTest::keyClicks(screen, QStringLiteral("a b;"));
    QTest::keyClick(screen, Qt::Key_Backspace); // the typing before it is sent first
    QTest::keyClick(screen, Qt::Key_Tab);
    QTest::mousePress(screen, Qt::LeftButton, {}, at(0.7, 0.7)); // held still: a long press
    QTest::qWait(GroupInput::kLongPressMs + 100);
    QTest::mouseRelease(screen, Qt::LeftButton, {}, at(0.7, 0.7));
    QTest::mouseClick(screen, Qt::RightButton, {}, at(0.5, 0.5)); // Back
    QVERIFY(wnd->isVisible());

    const int kEvents = 11;
    QTRY_COMPARE_WITH_TIMEOUT(m_pB->docsOfKind(eOperGroupInput).size(), kEvents, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_pA->docsOfKind(eOperGroupInput).size(), kEvents, kWaitMs);
    QList<GroupInputEvent> got;
    for (const QList<struSimuOper>& d : m_pB->docsOfKind(eOperGroupInput)) {
        const auto e = GroupInputEvent::fromJson(d.first().inputEvent);
        QVERIFY(e);
        got.append(*e);
    }
    using K = GroupInputEvent::eKind;
    const double px = 1.0 / shown.width(); // one widget pixel as a fraction
    QCOMPARE(got.at(0).kind, K::Tap);
    QVERIFY(qAbs(got.at(0).x - 0.5) <= 2 * px && qAbs(got.at(0).y - 0.25) <= 2 * px);
    QCOMPARE(got.at(1).kind, K::Swipe);
    QVERIFY(qAbs(got.at(1).y - 0.8) <= 2 * px && qAbs(got.at(1).y2 - 0.2) <= 2 * px);
    QVERIFY2(got.at(1).ms >= 100 && got.at(1).ms < 5000, qPrintable(QString::number(got.at(1).ms)));
    QCOMPARE(got.at(2).kind, K::Tap);
    QCOMPARE(got.at(2).x, 0.0);
    QCOMPARE(got.at(3).kind, K::Roll);
    QCOMPARE(got.at(3).dy, -2);
    QCOMPARE(got.at(4).code, int(GroupInput::kKeyBack));
    QCOMPARE(got.at(5).code, int(GroupInput::kKeyEnter));
    QCOMPARE(got.at(6).kind, K::Text);
    QCOMPARE(got.at(6).text, QStringLiteral("a b;"));
    QCOMPARE(got.at(7).code, int(GroupInput::kKeyDel));
    QCOMPARE(got.at(8).code, int(GroupInput::kKeyTab));
    QCOMPARE(got.at(9).kind, K::Swipe);
    QCOMPARE(got.at(9).x2, got.at(9).x);
    QCOMPARE(got.at(9).y2, got.at(9).y);
    QVERIFY(got.at(9).ms >= GroupInput::kLongPressMs);
    QCOMPARE(got.at(10).kind, K::Key);
    QCOMPARE(got.at(10).code, int(GroupInput::kKeyBack));
    QTRY_COMPARE_WITH_TIMEOUT(wnd->followText(1), QStringLiteral("跟随中"), kWaitMs);

    // Closing asks; "no" keeps the window and the run.
    wnd->close();
    QCOMPARE(questions, 1);
    QVERIFY(wnd && wnd->isVisible());
    QVERIFY(!run->ending());
    answerYes = true;
    wnd->close();
    QCOMPARE(questions, 2);
    QTRY_VERIFY_WITH_TIMEOUT(!wnd, kWaitMs); // deleted on close
    QTRY_VERIFY_WITH_TIMEOUT(run->ended(), kWaitMs);
    QCOMPARE(m_pA->docsOfKind(eOperGroupViewEnd).size(), 1);
    QCOMPARE(m_pB->docsOfKind(eOperGroupViewEnd).size(), 1);
}

QTEST_MAIN(TstGroupControlConsole)
#include "tst_groupcontrol_console.moc"
