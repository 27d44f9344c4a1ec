// The console's window, in this test's process, on a simulated LAN of network namespaces (lanns.sh):
// this test is the console host (10.77.0.1, with the account service); host A runs the real agent
// ToviaSimClient on a simulated LDPlayer farm whose emulators boot for three periods of the agent's
// watchdog. The user's keys and the console's own dialogs drive it: an emulator removed under its
// menu and its delete question, a burst of renames and a console started again, the agent PC given
// another address, the agent killed in the middle of an install.
//
// The test functions run in order and build on each other.
#include "centertoolmainwnd.h"
#include "consoleopswiring_p.h"
#include "dialogscript.h"
#include "farmfixture.h"
#include "farmkey.h"
#include "grpdraweroper.h"
#include "lanagent.h"
#include "lannet.h"
#include "loginret.h"
#include "mygrpdrawer.h"
#include "resultdisplay.h"
#include "simusettings.h"
#include "vedioboxdrawer.h"

#include <QCheckBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>

#include <memory>

namespace {

const QString kUser = QStringLiteral("lanwnduser");
const QString kPassword = QStringLiteral("pw-lan-wnd");
const QString kConsoleIp = QStringLiteral("10.77.0.1");
const QString kPc = QStringLiteral("tovia-pc-a");
const QString kNewIp = QStringLiteral("10.77.0.12");
constexpr quint16 kAccountPort = 8750;
constexpr int kInstances = 4;
constexpr int kWatchdogSecs = 2;
constexpr int kBootMs = 3 * kWatchdogSecs * 1000;
constexpr int kListedMs = 40000;    // agent start-up, sign-in and first replies
constexpr int kOperationMs = 40000; // an operation carried out and shown
constexpr int kRepinSecs = 12;

// Counts the paints of a widget.
class PaintCounter : public QObject
{
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override
    {
        paints += e->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

} // namespace

class TstConsoleLan : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void rowRemovedUnderItsMenuAndQuestion();
    void burstOfRenamesThenAConsoleStartedAgain();
    void theAgentPcGetsAnotherAddress();
    void agentKilledInTheMiddleOfAnInstall();

private:
    void openConsole();
    void closeConsole();
    MyDrawerEx* pc() const { return m_pWnd->leftGrpDrawer()->findPc(kPc); }
    MyDrawerCell* row(const QString& idx) const { return pc() ? pc()->cell(idx) : nullptr; }
    AVedioBox* tile(const QString& idx) const;
    void openMenu(MyDrawerCell* pRow);
    QString stateText(const QString& idx) const { return row(idx) ? row(idx)->stateText() : QString(); }
    bool farmRunning(const QString& idx) const
    {
        return m_farm.instanceStatus(idx).value(QStringLiteral("running")).toBool();
    }
    void dumpLogs() const;

    QString m_prefix;
    bool m_lanUp = false;
    NetnsSwitch m_netns;
    QTemporaryDir m_scratch;
    std::unique_ptr<QProcess> m_pAccountSvc;
    FarmFixture m_farm;
    LanHostProgram m_agent;
    std::unique_ptr<CenterToolMainWnd> m_pWnd;
    ConsoleOpsWiring* m_pOps = nullptr;
    QStringList m_results; // result boxes shown
};

void TstConsoleLan::initTestCase()
{
    const QString why = lanSkipReason(
        {QStringLiteral("ip"), QStringLiteral("unshare")},
        {QStringLiteral("ToviaSimClient"), QStringLiteral("farmsim"), QStringLiteral("ToviaAccountSvc")});
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(m_scratch.isValid());
    LAN_UP_OR_SKIP(QStringLiteral("tvclan"), m_prefix, m_lanUp);
    QString error;
    QVERIFY2(m_netns.enter(m_prefix + QStringLiteral("-con"), error), qPrintable(error));
    m_pAccountSvc = startLanAccountService(m_prefix, m_scratch.path(), {kUser}, kPassword, kConsoleIp,
                                           kAccountPort, error);
    QVERIFY2(m_pAccountSvc, qPrintable(error));

    LanAgentOptions o(m_prefix + QStringLiteral("-a"), kUser, kPassword, kConsoleIp, kAccountPort);
    o.instances = kInstances;
    o.knobs = {{QStringLiteral("bootDelayMs"), QString::number(kBootMs)}};
    o.nick = QStringLiteral("机房A");
    o.periods = {kWatchdogSecs, 2, 400};
    o.runLimit = kInstances;
    QVERIFY2(prepareLanAgent(m_farm, m_agent, o, error), qPrintable(error));

    SimuSettings::setDataDir(m_scratch.path()); // the console's own settings and groups
    CLoginRet login;
    login.strUserName = kUser;
    login.strNickName = QStringLiteral("测试员");
    login.baFarmKey = FarmKey::derive(kUser, kPassword);
    LoginRecord::set(login);
    setResultBox([this](const QString&, const QString& text, bool) {
        m_results << text;
        return true;
    });
    openConsole();
    const bool listed = QTest::qWaitFor([&] { return row(QString::number(kInstances - 1)); }, kListedMs);
    if (!listed)
        dumpLogs();
    QVERIFY2(listed, "agent A not listed");
}

void TstConsoleLan::openConsole()
{
    CenterToolMainWnd::Options o;
    o.trayIcon = false;
    o.limits = AgentRegistry::Limits{1000, kRepinSecs};
    m_pWnd = std::make_unique<CenterToolMainWnd>(o);
    ConsoleOpsOptions opts;
    opts.groupFile = m_scratch.filePath(QStringLiteral("devGroups.json"));
    m_pOps = attachConsoleOps(*m_pWnd, opts); // the console's own dialogs
    m_pWnd->initWnd();
    m_pWnd->show();
}

void TstConsoleLan::closeConsole()
{
    if (m_pWnd)
        m_pWnd->shutdown();
    m_pWnd.reset();
    m_pOps = nullptr;
}

void TstConsoleLan::cleanup()
{
    if (QTest::currentTestFailed())
        dumpLogs();
}

void TstConsoleLan::cleanupTestCase()
{
    closeConsole();
    setResultBox(ResultBoxFn());
    m_agent.kill();
    if (m_pAccountSvc) {
        m_pAccountSvc->kill();
        m_pAccountSvc->waitForFinished(3000);
    }
    m_netns.leave();
    if (m_lanUp)
        lanns({QStringLiteral("down"), m_prefix});
}

void TstConsoleLan::dumpLogs() const
{
    qInfo().noquote() << "---- agent:\n" << m_agent.logTail(30) << "\n---- results shown:" << m_results;
}

AVedioBox* TstConsoleLan::tile(const QString& idx) const
{
    VedioBoxDrawer* d = m_pWnd->rightGrpDrawer()->findPc(kPc);
    return d ? d->box(idx) : nullptr;
}

// A right click on the row.
void TstConsoleLan::openMenu(MyDrawerCell* pRow)
{
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(20, 10), pRow->mapToGlobal(QPoint(20, 10)));
    QApplication::sendEvent(pRow, &click);
}

// The agent's inventory loses an emulator while the user has its menu open, and another while the
// delete question asked from its menu is open: the rows go, the window stays, and the question
// answered afterwards sends nothing for the emulator that is gone.
void TstConsoleLan::rowRemovedUnderItsMenuAndQuestion()
{
    const auto removeOnTheFarm = [this](const QString& idx) {
        return m_farm.runTool(QStringLiteral("dnconsole.exe"),
                              {QStringLiteral("remove"), QStringLiteral("--index"), idx}) == 0;
    };
    DialogScript script; // answers ahead of the menu: a menu with a loop of its own would hold the test
    bool removed = false;
    script.then([&](QWidget* w) { // the menu open: the emulator goes, then Esc
        if (!qobject_cast<QMenu*>(w))
            return false;
        if (!removed)
            removed = removeOnTheFarm(QStringLiteral("3"));
        if (row("3"))
            return false;
        QTest::keyClick(w, Qt::Key_Escape);
        return true;
    });
    openMenu(row("3"));
    QTRY_VERIFY_WITH_TIMEOUT(script.done(), kListedMs);
    QVERIFY(removed);

    QTest::mouseClick(row("2")->checkBox(), Qt::LeftButton, {}, QPoint(5, 10));
    script.then(DialogScript::menuEntry(QStringLiteral("删除")));
    removed = false;
    QString question;
    script.then([&](QWidget* w) { // the question open: the emulator goes, then "确认"
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box)
            return false;
        question = box->text();
        if (!removed)
            removed = removeOnTheFarm(QStringLiteral("2"));
        if (row("2"))
            return false;
        QTest::keyClick(box, Qt::Key_Return);
        return true;
    });
    openMenu(row("2"));
    QTRY_VERIFY_WITH_TIMEOUT(script.done(), kListedMs);
    QCOMPARE(question, QStringLiteral("是否删除模拟器？"));
    QTest::qWait(500);
    QVERIFY(m_pWnd->isVisible() && !row("2") && !row("3") && row("1"));
    QVERIFY(!m_pWnd->registry()->hasChecked());
    QVERIFY(!m_pOps->client(kPc)); // nothing was sent to the PC
}

// Eight renames in a burst through the rename input, then the console closed and started again: the
// start of that emulator shows at once and its state follows the agent.
void TstConsoleLan::burstOfRenamesThenAConsoleStartedAgain()
{
    DialogScript script;
    for (int i = 1; i <= 8; ++i) {
        QTest::mouseClick(row("1")->checkBox(), Qt::LeftButton, {}, QPoint(5, 10));
        script.then(DialogScript::input(QStringLiteral("n%1").arg(i)));
        emit row("1")->sigDrawerCellMenuTriggered(eMenuRename);
        QTRY_VERIFY_WITH_TIMEOUT(script.done(), 10000);
    }
    const qint64 burstEnd = QDateTime::currentSecsSinceEpoch();
    // The agent runs one operation at a time on an instance: a rename that comes while the one before
    // still runs is refused with a box of its own, the others are carried out, the last of them names it.
    const auto farmName = [this] { return m_farm.instanceStatus("1").value("name").toString(); };
    QTRY_VERIFY_WITH_TIMEOUT(farmName().startsWith(QLatin1Char('n')), kOperationMs);
    QString name;
    for (int settled = 0; settled < 15 && name != farmName(); ++settled) {
        name = farmName();
        QTest::qWait(2000);
    }
    m_results.erase(
        std::remove_if(m_results.begin(), m_results.end(),
                       [](const QString& r) { return r.contains(QStringLiteral("正在执行其他操作")); }),
        m_results.end());
    // The agent keeps the time of the last one (and the few seconds it adds to it): when the burst
    // ended it ran ahead of the clock by no more than a second per operation.
    SimuSettings::setDataDir(m_farm.homeDir());
    const int lastTime = SimuSettings::storedSimuRecord(QStringLiteral("1")).iTime;
    SimuSettings::setDataDir(m_scratch.path());
    QVERIFY(lastTime > 0);
    QVERIFY2(lastTime <= burstEnd + 8 + 4, qPrintable(QStringLiteral("%1 s ahead").arg(lastTime - burstEnd)));
    closeConsole();
    QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentSecsSinceEpoch() > lastTime, 20000);
    openConsole();
    QTRY_VERIFY_WITH_TIMEOUT(row("1") && row("1")->simuName() == name, kListedMs);
    QTRY_COMPARE_WITH_TIMEOUT(stateText("1"), QStringLiteral("未启动"), 10000);
    QTest::mouseClick(row("1")->checkBox(), Qt::LeftButton, {}, QPoint(5, 10));
    emit row("1")->sigDrawerCellMenuTriggered(eMenuStart);
    QTRY_COMPARE_WITH_TIMEOUT(stateText("1"), QStringLiteral("启动中"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(farmRunning("1"), kOperationMs);
    QTRY_COMPARE_WITH_TIMEOUT(stateText("1"), QStringLiteral("运行中"), kBootMs + 15000);
    QVERIFY2(m_results.isEmpty(), qPrintable(m_results.join(" | ")));
}

// The PC's lease changes: once it has been silent at its old address for a while it is taken at the
// new one, and the operations, the tiles and the remote desktop go there.
void TstConsoleLan::theAgentPcGetsAnotherAddress()
{
    const QString ns = m_prefix + QStringLiteral("-a");
    QCOMPARE(runTool(QStringLiteral("ip"), {"-n", ns, "addr", "del", "10.77.0.2/24", "dev", "lan0"}).exitCode,
             0);
    QCOMPARE(runTool(QStringLiteral("ip"), {"-n", ns, "addr", "add", kNewIp + "/24", "dev", "lan0"}).exitCode,
             0);
    QCOMPARE(runTool(QStringLiteral("ip"), {"-n", ns, "route", "replace", "default", "dev", "lan0"}).exitCode,
             0);
    QTRY_COMPARE_WITH_TIMEOUT(m_pWnd->registry()->connectAddress(kPc), kNewIp, kListedMs);
    QTRY_COMPARE_WITH_TIMEOUT(pc()->titleCell()->devState(), QStringLiteral("在线"), 5000);
    QTest::mouseClick(row("0")->checkBox(), Qt::LeftButton, {}, QPoint(5, 10));
    emit row("0")->sigDrawerCellMenuTriggered(eMenuStart);
    QTRY_VERIFY_WITH_TIMEOUT(farmRunning("0"), kOperationMs);
    QTRY_COMPARE_WITH_TIMEOUT(stateText("0"), QStringLiteral("运行中"), kBootMs + 15000);
    QCOMPARE(tile("0")->info().strIpAddr, kNewIp);
    QVERIFY(m_pWnd->rightGrpDrawer()->findPc(kPc)->titleRow()->text().endsWith(kNewIp));
    QCOMPARE(m_pOps->client(kPc)->IpAddr(), kNewIp);
    QVERIFY2(m_results.isEmpty(), qPrintable(m_results.join(" | ")));
}

// An install whose agent dies before it reports: the progress ends when the PC is marked offline,
// the PC is marked once (its tiles are not repainted while it stays silent), and the bar stays gone
// when the agent is back.
void TstConsoleLan::agentKilledInTheMiddleOfAnInstall()
{
    QVERIFY(m_farm.setKnob(QStringLiteral("toolDelayMs"), QStringLiteral("120000"), QStringLiteral("0")));
    const QString apk = m_scratch.filePath(QStringLiteral("game.apk"));
    QFile f(apk);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(4 * 1024 * 1024, 'A')) > 0);
    f.close();
    QTest::mouseClick(row("0")->checkBox(), Qt::LeftButton, {}, QPoint(5, 10));
    DialogScript script;
    script.then(DialogScript::file(apk));
    emit row("0")->sigDrawerCellMenuTriggered(eMenuInstall);
    QTRY_VERIFY_WITH_TIMEOUT(script.done(), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(tile("0")->isProgressVisible() && tile("0")->progress() >= 80, kOperationMs);
    QTest::qWait(1000); // the file is in, adb's install hangs
    m_agent.kill();

    QTRY_COMPARE_WITH_TIMEOUT(pc()->titleCell()->devState(), QStringLiteral("离线"), 20000);
    QVERIFY(!tile("0")->isProgressVisible());
    QCOMPARE(stateText("0"), QStringLiteral("未启动"));
    PaintCounter paints;
    tile("1")->installEventFilter(&paints);
    QTest::qWait(4000);
    QVERIFY2(paints.paints <= 1, qPrintable(QString::number(paints.paints)));

    QVERIFY(m_farm.setKnob(QStringLiteral("toolDelayMs"), QString(), QStringLiteral("0")));
    QString error;
    QVERIFY2(m_agent.start(error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(pc()->titleCell()->devState(), QStringLiteral("在线"), kListedMs);
    QTest::qWait(3000); // states of the agent's next replies
    QVERIFY(!tile("0")->isProgressVisible());
}

QTEST_MAIN(TstConsoleLan)
#include "tst_consolelan.moc"
