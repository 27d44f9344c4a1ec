// Group control end to end on a simulated LAN of network namespaces (lanns.sh): this test is the
// console host (10.77.0.1, with the account service) and runs the console's window; hosts A and B
// run the real agent ToviaSimClient on simulated farms whose screens differ in size (A 360x640,
// B 720x1280) and whose emulators boot for three periods of the agents' watchdog. The user ticks
// five emulators on both PCs (one of them stopped), picks "群控" and works on the lead's live screen
// with the mouse and the keys; what each emulator received is read from farmsim's event logs.
//
// The test functions run in order and build on each other.
#include "centertoolmainwnd.h"
#include "consoleopswiring_p.h"
#include "dialogscript.h"
#include "farmfixture.h"
#include "farmkey.h"
#include "groupcontrolwnd.h"
#include "groupinput.h"
#include "groupscreen.h"
#include "grpdraweroper.h"
#include "lanagent.h"
#include "lannet.h"
#include "loginret.h"
#include "mygrpdrawer.h"
#include "resultdisplay.h"
#include "simusettings.h"

#include <QCheckBox>
#include <QInputMethodEvent>
#include <QJsonArray>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

namespace {

const QString kUser = QStringLiteral("groupuser");
const QString kPassword = QStringLiteral("pw-group-lan");
const QString kConsoleIp = QStringLiteral("10.77.0.1");
const QString kPcA = QStringLiteral("tovia-pc-a");
const QString kPcB = QStringLiteral("tovia-pc-b");
constexpr quint16 kAccountPort = 8750;
constexpr int kWatchdogSecs = 2;
constexpr int kBootMs = 3 * kWatchdogSecs * 1000;
constexpr int kListedMs = 40000;
constexpr int kOperationMs = 40000;
constexpr int kEventMs = 10000; // an event replayed on every follower
const QSize kScreenA(360, 640);
const QSize kScreenB(720, 1280);

// A running member: where it is, and its row in the window (the list's order of PCs).
struct Follower
{
    QString pc;
    FarmFixture* farm;
    QString idx;
    QSize screen;
    int member = -1;
};

} // namespace

class TstGroupLan : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void positionsLandScaledOnEveryScreen();
    void textReachesEveryFollowerIntact();
    void aHungFollowerDelaysNoOther();
    void aFollowerClosedDuringTheRun();
    void aPcGoesOffline();
    void closingTheWindowEndsEveryRun();

private:
    bool prepareAgent(FarmFixture& farm, LanHostProgram& agent, const QString& host, QSize screen,
                      QString& error);
    MyDrawerCell* row(const QString& pc, const QString& idx) const;
    QString stateText(const QString& pc, const QString& idx) const;
    // The events of one kind an emulator logged so far.
    QJsonArray events(const Follower& f, const QString& cmd) const;
    GroupScreen* screen() const { return m_pGroup ? m_pGroup->screen() : nullptr; }
    QPoint at(double fx, double fy) const;
    int memberOf(const QString& pc, const QString& idx) const;
    // Makes the member the lead through the list and its button; its screen is shown then.
    void pickLead(int member, QSize screen);
    void startEmulators(const QString& pc, const QStringList& idxs);
    void dumpLogs() const;

    QString m_prefix;
    bool m_lanUp = false;
    NetnsSwitch m_netns;
    QTemporaryDir m_scratch;
    std::unique_ptr<QProcess> m_pAccountSvc;
    FarmFixture m_farmA;
    FarmFixture m_farmB;
    LanHostProgram m_agentA;
    LanHostProgram m_agentB;
    std::unique_ptr<CenterToolMainWnd> m_pWnd;
    ConsoleOpsWiring* m_pOps = nullptr;
    QPointer<GroupControlWnd> m_pGroup;
    QList<Follower> m_running; // the members started on the farms
    QList<qint64> m_shellsBefore;
    QStringList m_results;
};

bool TstGroupLan::prepareAgent(FarmFixture& farm, LanHostProgram& agent, const QString& host, QSize screen,
                               QString& error)
{
    LanAgentOptions o(m_prefix + host, kUser, kPassword, kConsoleIp, kAccountPort);
    o.knobs = {{QStringLiteral("bootDelayMs"), QString::number(kBootMs)},
               {QStringLiteral("screenWidth"), QString::number(screen.width())},
               {QStringLiteral("screenHeight"), QString::number(screen.height())}};
    o.nick = QStringLiteral("机房") + host.right(1).toUpper();
    o.periods = {kWatchdogSecs, 2, 400};
    return prepareLanAgent(farm, agent, o, error);
}

void TstGroupLan::initTestCase()
{
    const QString why = lanSkipReason(
        {QStringLiteral("ip"), QStringLiteral("unshare")},
        {QStringLiteral("ToviaSimClient"), QStringLiteral("farmsim"), QStringLiteral("ToviaAccountSvc")});
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(m_scratch.isValid());
    LAN_UP_OR_SKIP(QStringLiteral("tvgrp"), m_prefix, m_lanUp);
    QString error;
    QVERIFY2(m_netns.enter(m_prefix + QStringLiteral("-con"), error), qPrintable(error));
    m_pAccountSvc = startLanAccountService(m_prefix, m_scratch.path(), {kUser}, kPassword, kConsoleIp,
                                           kAccountPort, error);
    QVERIFY2(m_pAccountSvc, qPrintable(error));
    QVERIFY2(prepareAgent(m_farmA, m_agentA, QStringLiteral("-a"), kScreenA, error), qPrintable(error));
    QVERIFY2(prepareAgent(m_farmB, m_agentB, QStringLiteral("-b"), kScreenB, error), qPrintable(error));

    SimuSettings::setDataDir(m_scratch.path()); // the console's own settings
    CLoginRet login;
    login.strUserName = kUser;
    login.strNickName = QStringLiteral("测试员");
    login.baFarmKey = FarmKey::derive(kUser, kPassword);
    LoginRecord::set(login);
    setResultBox([this](const QString&, const QString& text, bool) {
        m_results << text;
        return true;
    });
    CenterToolMainWnd::Options o;
    o.trayIcon = false;
    m_pWnd = std::make_unique<CenterToolMainWnd>(o);
    ConsoleOpsOptions opts;
    opts.groupFile = m_scratch.filePath(QStringLiteral("devGroups.json"));
    m_pOps = attachConsoleOps(*m_pWnd, opts); // the console's own dialogs
    m_pWnd->initWnd();
    m_pWnd->show();
    const bool listed = QTest::qWaitFor(
        [&] { return row(kPcA, QStringLiteral("2")) && row(kPcB, QStringLiteral("2")); }, kListedMs);
    if (!listed)
        dumpLogs();
    QVERIFY2(listed, "the agents were not listed");

    startEmulators(kPcA, {QStringLiteral("0"), QStringLiteral("1")});
    startEmulators(kPcB, {QStringLiteral("0"), QStringLiteral("1")});
    for (const QString& pc : {kPcA, kPcB}) {
        for (const QString& idx : {QStringLiteral("0"), QStringLiteral("1")})
            QTRY_COMPARE_WITH_TIMEOUT(stateText(pc, idx), QStringLiteral("运行中"), kBootMs + kOperationMs);
    }
    m_running = {{kPcA, &m_farmA, "0", kScreenA},
                 {kPcA, &m_farmA, "1", kScreenA},
                 {kPcB, &m_farmB, "0", kScreenB},
                 {kPcB, &m_farmB, "1", kScreenB}};
    m_shellsBefore = m_farmA.shellPids();
}

void TstGroupLan::startEmulators(const QString& pc, const QStringList& idxs)
{
    for (const QString& idx : idxs)
        QTest::mouseClick(row(pc, idx)->checkBox(), Qt::LeftButton, {}, QPoint(5, 10));
    emit row(pc, idxs.first())->sigDrawerCellMenuTriggered(eMenuStart);
}

void TstGroupLan::cleanup()
{
    if (QTest::currentTestFailed())
        dumpLogs();
}

void TstGroupLan::cleanupTestCase()
{
    if (m_pWnd)
        m_pWnd->shutdown();
    m_pWnd.reset();
    setResultBox(ResultBoxFn());
    m_agentA.kill();
    m_agentB.kill();
    m_netns.leave();
    lanDown(m_prefix, m_lanUp, m_pAccountSvc);
}

void TstGroupLan::dumpLogs() const
{
    qInfo().noquote() << "---- agent A:\n"
                      << m_agentA.logTail(30) << "\n---- agent B:\n"
                      << m_agentB.logTail(30) << "\n---- results shown:" << m_results;
    if (m_pGroup) {
        for (int i = 0; i < m_pGroup->memberList()->topLevelItemCount(); ++i)
            qInfo().noquote() << "member" << i << m_pGroup->stateText(i) << m_pGroup->followText(i);
    }
}

MyDrawerCell* TstGroupLan::row(const QString& pc, const QString& idx) const
{
    MyDrawerEx* p = m_pWnd ? m_pWnd->leftGrpDrawer()->findPc(pc) : nullptr;
    return p ? p->cell(idx) : nullptr;
}

QString TstGroupLan::stateText(const QString& pc, const QString& idx) const
{
    MyDrawerCell* r = row(pc, idx);
    return r ? r->stateText() : QString();
}

QJsonArray TstGroupLan::events(const Follower& f, const QString& cmd) const
{
    QJsonArray out;
    for (const QJsonValue& v : f.farm->events(f.idx)) {
        if (v.toObject().value(QStringLiteral("cmd")).toString() == cmd)
            out.append(v);
    }
    return out;
}

QPoint TstGroupLan::at(double fx, double fy) const
{
    const QRectF shown = GroupInput::shownRect(screen()->size(), screen()->picture().size());
    return QPoint(int(shown.x() + fx * shown.width()), int(shown.y() + fy * shown.height()));
}

int TstGroupLan::memberOf(const QString& pc, const QString& idx) const
{
    const QList<GroupMember> members = m_pGroup->service()->members();
    for (int i = 0; i < members.size(); ++i) {
        if (members.at(i).pcKey == pc && members.at(i).memuIdx == idx)
            return i;
    }
    return -1;
}

void TstGroupLan::pickLead(int member, QSize screen)
{
    m_pGroup->memberList()->setCurrentItem(m_pGroup->memberList()->topLevelItem(member));
    QTest::mouseClick(m_pGroup->leadButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(m_pGroup->service()->lead(), member, 1000);
    QTRY_COMPARE_WITH_TIMEOUT(this->screen()->picture().size(), screen, kOperationMs);
}

// "群控" over A's three and B's two: the lead's (the first in the list) live screen at its size; a
// click and a drag land on every running follower at the same place of its own screen, the stopped
// one shows "未启动". Then the other PC's first becomes the lead and the screen is of its size.
void TstGroupLan::positionsLandScaledOnEveryScreen()
{
    for (const QString& idx : {QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")})
        QTest::mouseClick(row(kPcA, idx)->checkBox(), Qt::LeftButton, {}, QPoint(5, 10));
    for (const QString& idx : {QStringLiteral("0"), QStringLiteral("1")})
        QTest::mouseClick(row(kPcB, idx)->checkBox(), Qt::LeftButton, {}, QPoint(5, 10));
    emit row(kPcA, QStringLiteral("0"))->sigDrawerCellMenuTriggered(eMenuGroupControl);
    m_pGroup = m_pOps->groupControlWnd();
    QVERIFY(m_pGroup);
    QVERIFY(!m_pWnd->registry()->hasChecked()); // the ticks go, as after every entry
    QCOMPARE(m_pGroup->memberList()->topLevelItemCount(), 5);
    QVERIFY(QTest::qWaitForWindowExposed(m_pGroup));
    for (Follower& f : m_running)
        f.member = memberOf(f.pc, f.idx);
    const GroupMember lead = m_pGroup->service()->members().first();
    const QSize leadScreen = lead.pcKey == kPcA ? kScreenA : kScreenB;
    QTRY_COMPARE_WITH_TIMEOUT(screen()->picture().size(), leadScreen, kOperationMs);

    QTest::mouseClick(screen(), Qt::LeftButton, {}, at(0.5, 0.25));
    QTest::mousePress(screen(), Qt::LeftButton, {}, at(0.2, 0.9));
    QTest::qWait(150);
    QTest::mouseRelease(screen(), Qt::LeftButton, {}, at(0.8, 0.1));
    const double slop = 2.0 / GroupInput::shownRect(screen()->size(), leadScreen).width(); // widget pixels
    for (const Follower& f : qAsConst(m_running)) {
        QTRY_COMPARE_WITH_TIMEOUT(events(f, "tap").size(), 1, kEventMs);
        QTRY_COMPARE_WITH_TIMEOUT(events(f, "swipe").size(), 1, kEventMs);
        const QJsonArray tap = events(f, "tap").first().toObject().value("args").toArray();
        const double w = f.screen.width() - 1;
        const double h = f.screen.height() - 1;
        QVERIFY2(qAbs(tap.at(0).toString().toInt() - 0.5 * w) <= slop * w + 1 &&
                     qAbs(tap.at(1).toString().toInt() - 0.25 * h) <= slop * h + 1,
                 qPrintable(QStringLiteral("tap %1,%2 on %3x%4")
                                .arg(tap.at(0).toString(), tap.at(1).toString())
                                .arg(f.screen.width())
                                .arg(f.screen.height())));
        const QJsonArray swipe = events(f, "swipe").first().toObject().value("args").toArray();
        QVERIFY(qAbs(swipe.at(2).toString().toInt() - 0.8 * w) <= slop * w + 1);
        QVERIFY(qAbs(swipe.at(3).toString().toInt() - 0.1 * h) <= slop * h + 1);
        QVERIFY2(swipe.at(4).toString().toInt() >= 100, qPrintable(swipe.at(4).toString()));
        QTRY_COMPARE_WITH_TIMEOUT(m_pGroup->followText(f.member), QStringLiteral("跟随中"), kEventMs);
    }
    QCOMPARE(m_farmA.events("2").size(), 0);
    QCOMPARE(m_pGroup->followText(memberOf(kPcA, "2")), QStringLiteral("未启动"));

    const bool aLeads = lead.pcKey == kPcA;
    pickLead(memberOf(aLeads ? kPcB : kPcA, "0"), aLeads ? kScreenB : kScreenA);
}

// Typed text with spaces, quotes and shell metacharacters reaches every follower as one literal
// `input text` argument (spaces as %s), and runs nothing on the way.
void TstGroupLan::textReachesEveryFollowerIntact()
{
    const QString marker = m_scratch.filePath(QStringLiteral("ran"));
    const QString text = QStringLiteral("a b 'c' \"d\" $(touch %1);`touch %1`|&<>\\").arg(marker);
    screen()->setFocus();
    QTest::keyClicks(screen(), text);
    QString expected = text;
    expected.replace(QLatin1Char(' '), QStringLiteral("%s"));
    for (const Follower& f : qAsConst(m_running)) {
        QTRY_VERIFY_WITH_TIMEOUT(!events(f, "text").isEmpty(), kEventMs);
        QString got;
        for (const QJsonValue& v : events(f, "text"))
            got += v.toObject().value("args").toArray().first().toString();
        QCOMPARE(got, expected);
    }
    QVERIFY(!QFile::exists(marker));
    // Text of an input method: the emulators' `input text` takes ASCII only, the rest is left out.
    QList<int> textsBefore;
    for (const Follower& f : qAsConst(m_running))
        textsBefore.append(events(f, "text").size());
    QInputMethodEvent composed;
    composed.setCommitString(QStringLiteral("你好ok"));
    QApplication::sendEvent(screen(), &composed);
    for (const Follower& f : qAsConst(m_running)) {
        const int want = textsBefore.takeFirst() + 1;
        QTRY_COMPARE_WITH_TIMEOUT(events(f, "text").size(), want, kEventMs);
        QCOMPARE(events(f, "text").last().toObject().value("args").toArray().first().toString(),
                 QStringLiteral("ok"));
    }
    QTest::keyClick(screen(), Qt::Key_Escape); // Back, not a close
    for (const Follower& f : qAsConst(m_running))
        QTRY_COMPARE_WITH_TIMEOUT(events(f, "keyevent").size(), 1, kEventMs);
    QCOMPARE(
        events(m_running.first(), "keyevent").first().toObject().value("args").toArray().first().toString(),
        QStringLiteral("4"));
    QVERIFY(m_pGroup && m_pGroup->isVisible());
}

// A's second emulator's adb shell hangs: the others replay the next taps at once, that one shows the
// failure once its agent knows, and follows again when its shell goes on.
void TstGroupLan::aHungFollowerDelaysNoOther()
{
    const Follower hung = m_running.at(1);
    QVERIFY(hung.farm->setKnob(QStringLiteral("shellHang"), QStringLiteral("true"), hung.idx));
    const int tapsBefore = events(m_running.first(), "tap").size();
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(screen(), Qt::LeftButton, {}, at(0.3, 0.3));
    for (const Follower& f : qAsConst(m_running)) {
        if (f.member != hung.member)
            QTRY_COMPARE_WITH_TIMEOUT(events(f, "tap").size(), tapsBefore + 1, kEventMs);
    }
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(events(hung, "tap").size(), tapsBefore);
    // Its agent learns of the hang; the next events report it.
    const bool reported = QTest::qWaitFor(
        [&] {
            QTest::mouseClick(screen(), Qt::LeftButton, {}, at(0.3, 0.3));
            return QTest::qWaitFor(
                [&] { return m_pGroup->followText(hung.member) != QStringLiteral("跟随中"); }, 1000);
        },
        30000);
    QVERIFY2(reported, qPrintable(m_pGroup->followText(hung.member)));
    QVERIFY2(m_pGroup->followText(hung.member).contains(QStringLiteral("adb")),
             qPrintable(m_pGroup->followText(hung.member)));
    QCOMPARE(m_pGroup->followText(m_running.first().member), QStringLiteral("跟随中"));
    QVERIFY(hung.farm->setKnob(QStringLiteral("shellHang"), QString(), hung.idx));
}

// B's second emulator is closed from the console's list while the run goes on: it shows "未启动",
// the others take the next tap.
void TstGroupLan::aFollowerClosedDuringTheRun()
{
    const Follower closed = m_running.at(3);
    QTest::mouseClick(row(kPcB, closed.idx)->checkBox(), Qt::LeftButton, {}, QPoint(5, 10));
    emit row(kPcB, closed.idx)->sigDrawerCellMenuTriggered(eMenuClose);
    QTRY_COMPARE_WITH_TIMEOUT(stateText(kPcB, closed.idx), QStringLiteral("未启动"), kOperationMs);
    const int tapsBefore = events(m_running.at(2), "tap").size();
    QTest::mouseClick(screen(), Qt::LeftButton, {}, at(0.6, 0.6));
    QTRY_COMPARE_WITH_TIMEOUT(events(m_running.at(2), "tap").size(), tapsBefore + 1, kEventMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_pGroup->followText(closed.member), QStringLiteral("未启动"), kEventMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_pGroup->stateText(closed.member), QStringLiteral("未启动"), kEventMs);
    m_running.removeAt(3);
}

// Agent B goes away: B's members show "离线" and A's go on.
void TstGroupLan::aPcGoesOffline()
{
    if (m_pGroup->service()->members().at(m_pGroup->service()->lead()).pcKey != kPcA)
        pickLead(memberOf(kPcA, "0"), kScreenA); // A leads (B is going)
    m_agentB.kill();
    const int tapsBefore = events(m_running.first(), "tap").size();
    QTest::mouseClick(screen(), Qt::LeftButton, {}, at(0.4, 0.4));
    QTRY_COMPARE_WITH_TIMEOUT(events(m_running.first(), "tap").size(), tapsBefore + 1, kEventMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_pGroup->followText(memberOf(kPcB, "0")), QStringLiteral("离线"), kEventMs);
    QCOMPARE(m_pGroup->followText(memberOf(kPcA, "0")), QStringLiteral("跟随中"));
}

// Closing asks first; confirmed, the run ends on every agent that is there: no adb shell started for
// the run is left, and no more events reach the emulators.
void TstGroupLan::closingTheWindowEndsEveryRun()
{
    DialogScript script;
    script.then(script.box(Qt::Key_Escape)); // "取消": the window stays
    m_pGroup->close();
    QTRY_VERIFY_WITH_TIMEOUT(script.done(), 10000);
    QVERIFY(m_pGroup && m_pGroup->isVisible());
    QCOMPARE(script.boxes.value(0), GroupControlWnd::closeQuestion());
    script.then(script.box(Qt::Key_Return)); // "确认"
    m_pGroup->close();
    QTRY_VERIFY_WITH_TIMEOUT(script.done(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!m_pGroup, 10000);
    // No shell of the run is left: at most the one per running emulator that the agent keeps for
    // its screenshots (the one that hung may have been replaced by a new one).
    constexpr int kRunningOnA = 2;
    QTRY_VERIFY_WITH_TIMEOUT(m_farmA.shellPids().size() <= kRunningOnA, kEventMs);
    qInfo() << "shells of A before the run" << m_shellsBefore.size() << "after" << m_farmA.shellPids().size();
    QVERIFY2(m_results.isEmpty(), qPrintable(m_results.join(" | ")));
}

QTEST_MAIN(TstGroupLan)
#include "tst_group_lan.moc"
