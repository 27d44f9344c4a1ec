// The agent window as controller, in-process with its six workers on free ports: the start-up
// inventory scan against a simulated farm (off the window's thread), the save checks and what a save
// writes, the mode announcement after login, the log pane before and after login, logout and the
// tray's quit.
#include "../accounts/accountstestutil.h"
#include "agentwndutil.h"
#include "comgrpopermgr.h"
#include "farmfixture.h"
#include "farmtrust.h"
#include "installrspsormgr.h"
#include "jsoncodec.h"
#include "logindlg.h"
#include "loginret.h"
#include "loginstore.h"
#include "maindlgobj.h"
#include "mainwnd.h"
#include "operloggerobj.h"
#include "resultdisplay.h"
#include "simurecords.h"
#include "simusettings.h"
#include "simutcprcvobj.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTextEdit>
#include <QtTest>

#include <QTcpServer>
#include <QTcpSocket>

#include <atomic>
#include <memory>
#include <thread>

using namespace AgentWndUtil;

namespace {

void signIn(const QString& user = QStringLiteral("tester"))
{
    CLoginRet ret;
    ret.strUserName = user;
    ret.baFarmKey = QByteArray(32, 'w');
    LoginRecord::set(ret);
}

} // namespace

class TstMainWnd : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void freshAndStoredWidgetValues();
    void inventoryScan_data();
    void inventoryScan();
    void commandDuringStartupScanWaitsForIt_data();
    void commandDuringStartupScanWaitsForIt();
    void slowToolsLeaveTheWindowResponsive();
    void saveChecksInOrder();
    void saveWritesSettings();
    void modeAnnouncement_data();
    void modeAnnouncement();
    void paneShowsLinesOnlyWhenLoggedIn();
    void logoutForgetsTheLogin();
    void storedLoginSignsInAtStart_data();
    void storedLoginSignsInAtStart();
    void statusLabelFollowsTheLoop();
    void trayQuitShutsDown();

private:
    std::unique_ptr<QTemporaryDir> m_pHome;
    QStringList m_boxes; // "title|text|buttons" of every box shown
    bool m_answer = true;
};

void TstMainWnd::init()
{
    m_pHome = std::make_unique<QTemporaryDir>();
    SimuSettings::setDataDir(m_pHome->path());
    LoginRecord::clear();
    m_boxes.clear();
    m_answer = true;
    setResultBox([this](const QString& title, const QString& text, bool twoButtons) {
        m_boxes << QStringLiteral("%1|%2|%3").arg(title, text).arg(twoButtons ? 2 : 1);
        return m_answer;
    });
}

void TstMainWnd::cleanup()
{
    setResultBox({});
    LoginRecord::clear();
}

void TstMainWnd::freshAndStoredWidgetValues()
{
    {
        MainWnd wnd(freePorts());
        QCOMPARE(wnd.windowTitle(), QStringLiteral("Tovia模拟器被控端"));
        QVERIFY2(QRegularExpression(QStringLiteral("^Tovia模拟器版-被控端v\\d+\\.\\d+\\.\\d+\\.\\d+$"))
                     .match(wnd.versionLabel()->text())
                     .hasMatch(),
                 qPrintable(wnd.versionLabel()->text()));
        QCOMPARE(wnd.simuTypeCbb()->currentText(), QStringLiteral("请选择模拟器"));
        QCOMPARE(wnd.runLimitCbb()->currentText(), QStringLiteral("3"));
        QCOMPARE(wnd.parallelStartsCbb()->currentText(), QStringLiteral("1"));
        QVERIFY(wnd.daemonCheck()->isChecked()); // never saved (100) counts as checked
        QCOMPARE(wnd.pcNameEdit()->text(), QHostInfo::localHostName());
        QCOMPARE(wnd.accountBtn()->text(), QStringLiteral("点击登录"));
    }
    SimuSettings::setPcNickName(QStringLiteral("前台电脑"));
    SimuSettings::setDaemonModel(0);
    SimuSettings::setRunLimit(7);
    SimuSettings::setSimuType(2);
    MainWnd wnd(freePorts());
    QCOMPARE(wnd.pcNameEdit()->text(), QStringLiteral("前台电脑"));
    QVERIFY(!wnd.daemonCheck()->isChecked());
    QCOMPARE(wnd.runLimitCbb()->currentText(), QStringLiteral("7"));
    QCOMPARE(wnd.simuTypeCbb()->currentText(), QStringLiteral("雷电模拟器"));
}

void TstMainWnd::inventoryScan_data()
{
    QTest::addColumn<int>("product");
    QTest::addColumn<int>("daemonModel"); // -1: never saved
    QTest::newRow("MEmu, daemon mode") << int(FarmFixture::MEmu) << 2;
    QTest::newRow("MEmu, normal mode") << int(FarmFixture::MEmu) << 0;
    QTest::newRow("MEmu, never saved") << int(FarmFixture::MEmu) << -1;
    QTest::newRow("LDPlayer, daemon mode") << int(FarmFixture::LdPlayer) << 2;
}

void TstMainWnd::inventoryScan()
{
    QFETCH(int, product);
    QFETCH(int, daemonModel);
    FarmFixture farm;
    if (!farm.init(FarmFixture::Product(product), 3))
        QSKIP(qPrintable(farm.error()));
    QStringList idx, names;
    for (const QJsonValue& v : farm.status().value(QStringLiteral("instances")).toArray()) {
        idx << v.toObject().value(QStringLiteral("index")).toString();
        names << v.toObject().value(QStringLiteral("name")).toString();
    }
    QCOMPARE(idx.size(), 3);
    QVERIFY(farm.startInstance(idx[1]));
    if (daemonModel >= 0)
        SimuSettings::setDaemonModel(daemonModel);
    // Stale records: a first instance stored as running under an old name, a stopped second one.
    struSimuRecord stale;
    stale.memuIdx = idx[0];
    stale.simuName = QStringLiteral("旧名字");
    stale.iState = eStateRunning;
    stale.iTime = 12345;
    stale.iRestErrCnt = 2;
    SimuSettings::storeSimuRecord(stale);
    stale.memuIdx = idx[1];
    stale.iState = eStateNotStarted;
    SimuSettings::storeSimuRecord(stale);
    const QString leftover =
        SimuSettings::screenshotDir() + QStringLiteral("old/") + idx[0] + QStringLiteral(".png");
    QVERIFY(touch(leftover));
    // An APK left by an agent that died during an install.
    QVERIFY(touch(InstallRspsorMgr::ReceivedApkPath()));

    MainWnd wnd(freePorts());
    QSignalSpy scanned(&wnd, &MainWnd::sigInventoryScanned);
    wnd.initWnd();
    QTRY_COMPARE_WITH_TIMEOUT(scanned.size(), 1, 30000);
    for (int i = 0; i < 3; ++i) {
        struSimuRecord rec;
        QCOMPARE(SimuSettings::loadSimuRecord(idx[i], rec).iRet, 0);
        QCOMPARE(rec.simuName, names[i]);
        QCOMPARE(rec.iTime, -1);
        QCOMPARE(rec.iState, i == 1 ? int(eStateRunning) : int(eStateNotStarted));
        QCOMPARE(rec.iRestErrCnt, 2 * (i < 2)); // the rest of the stored record is kept
    }
    const QStringList watched = daemonModel == 2 ? QStringList{idx[1]} : QStringList();
    QCOMPARE(SimuSettings::getDaemonList(), watched);
    if (daemonModel == 2) // otherwise only the screenshot pool's passes write the running list
        QCOMPARE(SimuSettings::getRunningList(), watched);
    QVERIFY(!QFile::exists(leftover));
    QVERIFY(!QFile::exists(InstallRspsorMgr::ReceivedApkPath()));

    const QString seen = QStringLiteral("检测到新模拟器\"%1\"被打开").arg(names[1]);
    const QString expected = daemonModel == 2 ? seen + QStringLiteral("，已纳入守护") : seen;
    QTRY_VERIFY_WITH_TIMEOUT(operLogTexts().contains(expected), 5000);
    QCOMPARE(operLogTexts(), QStringList{expected});
}

void TstMainWnd::commandDuringStartupScanWaitsForIt_data()
{
    QTest::addColumn<int>("product");
    QTest::newRow("MEmu") << int(FarmFixture::MEmu);
    QTest::newRow("LDPlayer") << int(FarmFixture::LdPlayer);
}

// A console that finds the agent at once sends a start while the start-up scan still reads the
// farm (slow tools). The command runs after the scan, so the scan cannot overwrite what it stores:
// its record ends as the command left it (running, the command's time plus 4).
void TstMainWnd::commandDuringStartupScanWaitsForIt()
{
    QFETCH(int, product);
    FarmFixture farm;
    if (!farm.init(FarmFixture::Product(product), 2))
        QSKIP(qPrintable(farm.error()));
    const QString idx = farm.indexes().at(1);
    QVERIFY(farm.setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0")));
    QVERIFY(farm.setKnob(QStringLiteral("toolDelayMs"), QStringLiteral("1500")));
    SimuSettings::setValue(QStringLiteral("common/startupTimeout"), 400);
    SimuSettings::setDaemonModel(0);
    signIn(QStringLiteral("alice"));

    const int t = 1700000000;
    struSimuOper oper;
    oper.iOperType = eOperStartup;
    oper.memuIdx = idx;
    oper.iTime = t;
    const QByteArray doc = FarmTrust::commandDoc({oper}, QStringLiteral("alice"), MsgAuth::eChannel::Command);
    // A free command port known beforehand, so that the console can knock while initWnd() runs.
    MainWnd::Options opts = freePorts();
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::AnyIPv4, 0));
        opts.tcpPort = probe.serverPort();
    }
    // No console listens for the report: six quick refusals.
    opts.notifier.resultPort = 1;
    opts.notifier.attemptWaitMs = 20;
    MainWnd wnd(opts);
    QSignalSpy scanned(&wnd, &MainWnd::sigInventoryScanned);
    std::atomic<bool> sent{false};
    std::atomic<bool> stop{false};
    // The scan runs on the agent's scan thread; the console is another thread that sends as soon as
    // the command port accepts.
    std::thread console([&] {
        QDeadlineTimer deadline(20000);
        while (!stop && !deadline.hasExpired()) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, opts.tcpPort);
            if (s.waitForConnected(1000)) {
                if (s.write(doc) == doc.size() && s.waitForBytesWritten(5000)) {
                    s.disconnectFromHost();
                    sent = true;
                }
                return;
            }
            QThread::msleep(5);
        }
    });
    QElapsedTimer scan;
    scan.start();
    wnd.initWnd();
    QTRY_COMPARE_WITH_TIMEOUT(scanned.size(), 1, 30000);
    const qint64 scanMs = scan.elapsed();
    QVERIFY(farm.setKnob(QStringLiteral("toolDelayMs"), QStringLiteral("0"))); // the slow part is over
    stop = true;
    console.join();
    QVERIFY(sent);
    QVERIFY2(scanMs >= 1000, qPrintable(QString::number(scanMs))); // the command came during the scan
    // The start is over: the instance runs, no command group is left.
    struSimuRecord rec;
    QTRY_VERIFY_WITH_TIMEOUT((SimuSettings::loadSimuRecord(idx, rec), rec.iState == eStateRunning) &&
                                 ComGrpOperMgr::LiveCount() == 0,
                             60000);
    QCOMPARE(rec.iTime, t + 4);
    QCOMPARE(rec.iState, int(eStateRunning));
    QVERIFY(farm.instanceStatus(idx).value(QStringLiteral("running")).toBool());

    // A later scan (after a login, a product change) leaves an instance under an operation alone.
    SimuSettings::updateSimuRecord(idx, [](struSimuRecord& r) {
        r.iState = eStateClosing;
        r.iTime = 7;
    });
    const int later = wnd.initIniData();
    QTRY_COMPARE_WITH_TIMEOUT(scanned.size(), 2, 30000);
    QCOMPARE(scanned.last().first().toInt(), later);
    QCOMPARE((SimuSettings::loadSimuRecord(idx, rec), rec.iState), int(eStateClosing));
    QCOMPARE(rec.iTime, 7);
    wnd.shutdown();
}

// The farm's tools answer slowly. Neither the start-up scan nor the scan after a product change
// holds up the window's thread: asking for it returns at once, a 10 ms timer of the window goes on
// ticking while the tools sleep, and the scan still stores every record.
void TstMainWnd::slowToolsLeaveTheWindowResponsive()
{
    constexpr int kToolDelayMs = 1500;
    constexpr int kLongestStallMs = kToolDelayMs / 2;
    FarmFixture farm;
    if (!farm.init(FarmFixture::MEmu, 2))
        QSKIP(qPrintable(farm.error()));
    const QStringList idx = farm.indexes();
    QCOMPARE(idx.size(), 2);
    SimuSettings::setDaemonModel(0);
    QVERIFY(farm.setKnob(QStringLiteral("toolDelayMs"), QString::number(kToolDelayMs)));

    MainWnd wnd(freePorts());
    QSignalSpy scanned(&wnd, &MainWnd::sigInventoryScanned);
    QElapsedTimer sinceTick;
    qint64 longestStall = 0;
    QTimer tick;
    tick.setInterval(10);
    connect(&tick, &QTimer::timeout, [&] { longestStall = qMax(longestStall, sinceTick.restart()); });
    const QStringList rounds{QStringLiteral("start-up scan"), QStringLiteral("scan after a product change")};
    for (int round = 0; round < rounds.size(); ++round) {
        const QByteArray what = rounds.at(round).toUtf8();
        for (const QString& i : qAsConst(idx)) // stale records, which the scan must set again
            SimuSettings::updateSimuRecord(i, [](struSimuRecord& r) {
                r.iState = eStateRunning;
                r.iTime = 99;
            });
        QElapsedTimer clock;
        clock.start();
        if (round == 0)
            wnd.initWnd();
        else
            QVERIFY(wnd.slSave(true));
        const qint64 askMs = clock.elapsed();
        longestStall = 0;
        sinceTick.start();
        tick.start();
        QTRY_VERIFY2_WITH_TIMEOUT(scanned.size() == round + 1, what.constData(), 30000);
        tick.stop();
        const qint64 scanMs = clock.elapsed();
        const QByteArray times = what + QByteArray(": asked in ") + QByteArray::number(askMs) +
                                 " ms, scanned in " + QByteArray::number(scanMs) + " ms, longest stall " +
                                 QByteArray::number(longestStall) + " ms";
        QVERIFY2(scanMs >= kToolDelayMs, times.constData()); // the tools were slow indeed
        QVERIFY2(askMs < kLongestStallMs, times.constData());
        QVERIFY2(longestStall < kLongestStallMs, times.constData());
        for (const QString& i : qAsConst(idx)) {
            struSimuRecord rec;
            QCOMPARE(SimuSettings::loadSimuRecord(i, rec).iRet, 0);
            QVERIFY2(rec.iState == eStateNotStarted && rec.iTime == -1, what.constData());
        }
    }
}

void TstMainWnd::saveChecksInOrder()
{
    QTemporaryDir install;
    QVERIFY(touch(install.filePath(QStringLiteral("MEmu.exe"))));
    SimuSettings::setSimuType(1);
    const QStringList lists{QStringLiteral("MEmu_1")};
    SimuSettings::setDaemonList(lists);
    SimuSettings::setRunningList(lists);
    MainWnd wnd(freePorts());
    const auto check = [&](bool expectChanged = false) {
        bool changed = !expectChanged;
        const CCommResult r = wnd.validateSave(changed);
        if (changed != expectChanged)
            return QStringLiteral("typeChanged is %1").arg(changed);
        return r.iRet == 0 ? QStringLiteral("ok") : r.str;
    };
    const QString pathText = QStringLiteral("请选择正确的安卓模拟器安装路径");
    wnd.simuPathEdit()->setText(QStringLiteral("  "));
    wnd.pcNameEdit()->clear();
    wnd.simuTypeCbb()->setCurrentIndex(0);
    QCOMPARE(check(), pathText);
    wnd.simuPathEdit()->setText(QStringLiteral("/nonexistent"));
    QCOMPARE(check(), QStringLiteral("电脑名称为空"));
    wnd.pcNameEdit()->setText(QStringLiteral("PC-A"));
    QCOMPARE(check(), pathText);
    wnd.simuTypeCbb()->setCurrentIndex(1);
    QCOMPARE(check(), QStringLiteral("逍遥模拟器路径设置不正确,无法找到对应的模拟器。"));
    wnd.simuPathEdit()->setText(install.path());
    QCOMPARE(check(), QStringLiteral("请先登录帐号，绑定设备！"));
    signIn();
    QCOMPARE(check(), QStringLiteral("ok"));
    QVERIFY(m_boxes.isEmpty()); // the stored type was chosen: no question

    // Another type: asked first; "取消" stops, and so does a later failing check, lists untouched.
    const QString question = QStringLiteral("|您对“模拟器类型”进行了修改，修改后将重置新的配置，请确认？|2");
    wnd.simuTypeCbb()->setCurrentIndex(2);
    m_answer = false;
    QCOMPARE(check(), QStringLiteral("已取消"));
    m_answer = true;
    QCOMPARE(check(), QStringLiteral("雷电模拟器路径设置不正确,无法找到对应的模拟器。"));
    QCOMPARE(m_boxes.size(), 2);
    QVERIFY2(m_boxes.at(0).endsWith(question) && m_boxes.at(1).endsWith(question),
             qPrintable(m_boxes.join('\n')));
    QCOMPARE(SimuSettings::getDaemonList(), lists);
    QCOMPARE(SimuSettings::getRunningList(), lists);
    QVERIFY(touch(install.filePath(QStringLiteral("dnconsole.exe"))));
    QCOMPARE(check(true), QStringLiteral("ok"));
    QVERIFY(SimuSettings::getDaemonList().isEmpty());
    QVERIFY(SimuSettings::getRunningList().isEmpty());
}

void TstMainWnd::saveWritesSettings()
{
    QTemporaryDir install;
    QVERIFY(touch(install.filePath(QStringLiteral("dnconsole.exe"))));
    SimuSettings::setLeiDianDir(install.path());
    MainWnd wnd(freePorts());
    wnd.initWnd();
    // Choosing a product fills its stored folder; no product empties the field.
    wnd.simuTypeCbb()->setCurrentIndex(2);
    QCOMPARE(wnd.simuPathEdit()->text(), install.path());
    wnd.simuTypeCbb()->setCurrentIndex(0);
    QVERIFY(wnd.simuPathEdit()->text().isEmpty());
    wnd.simuTypeCbb()->setCurrentIndex(2);
    wnd.pcNameEdit()->setText(QStringLiteral("收银台-3"));
    wnd.runLimitCbb()->setCurrentIndex(4);
    wnd.daemonCheck()->setChecked(false);
    QVERIFY(wnd.slSave(false));
    QCOMPARE(SimuSettings::getSimuType().iExtraRet, 2);
    QCOMPARE(SimuSettings::getDir().str, install.path());
    QCOMPARE(SimuSettings::getProductDir(2).str, install.path());
    QCOMPARE(SimuSettings::getPcName().str, QHostInfo::localHostName());
    QCOMPARE(SimuSettings::getPcNickName().str, QStringLiteral("收银台-3"));
    QCOMPARE(SimuSettings::getRunLimit().iExtraRet, 5);
    QCOMPARE(SimuSettings::getDaemonModel().iExtraRet, 0);
    // Starts at once, chosen with the keys on the real box: never more than may run.
    wnd.parallelStartsCbb()->setFocus();
    for (int i = 0; i < 7; ++i)
        QTest::keyClick(wnd.parallelStartsCbb(), Qt::Key_Down);
    QCOMPARE(wnd.parallelStartsCbb()->currentText(), QStringLiteral("8"));
    QVERIFY(wnd.slSave(false));
    QCOMPARE(SimuSettings::value(QStringLiteral("common/parallelStarts")).toInt(), 5);
    QCOMPARE(wnd.parallelStartsCbb()->currentText(), QStringLiteral("5"));
    QTest::keyClick(wnd.parallelStartsCbb(), Qt::Key_Up);
    QVERIFY(wnd.slSave(false));
    QCOMPARE(SimuSettings::value(QStringLiteral("common/parallelStarts")).toInt(), 4);
    wnd.daemonCheck()->setChecked(true);
    QVERIFY(wnd.slSave(false));
    QCOMPARE(SimuSettings::getDaemonModel().iExtraRet, 2);
    wnd.simuTypeCbb()->setCurrentIndex(0);
    QVERIFY(wnd.slSave(false)); // no product: saved without a line
    operLog(QStringLiteral("marker"));
    QTRY_VERIFY_WITH_TIMEOUT(operLogTexts().contains(QStringLiteral("marker")), 5000);
    QCOMPARE(operLogTexts(), (QStringList{QStringLiteral("当前被控端设置为\"雷电模拟器-普通模式\",保存成功"),
                                          QStringLiteral("当前被控端设置为\"雷电模拟器-普通模式\",保存成功"),
                                          QStringLiteral("当前被控端设置为\"雷电模拟器-普通模式\",保存成功"),
                                          QStringLiteral("当前被控端设置为\"雷电模拟器-守护模式\",保存成功"),
                                          QStringLiteral("marker")}));

    // The button: the first failed check, or "保存成功" under "恭喜".
    wnd.pcNameEdit()->clear();
    wnd.saveBtn()->click();
    QCOMPARE(m_boxes.value(0), QStringLiteral("错误|请选择正确的安卓模拟器安装路径|1"));
    wnd.simuTypeCbb()->setCurrentIndex(2);
    wnd.pcNameEdit()->setText(QStringLiteral("PC-B"));
    signIn();
    wnd.saveBtn()->click();
    QCOMPARE(m_boxes.value(1), QStringLiteral("恭喜|保存成功|1"));
    QCOMPARE(SimuSettings::getPcNickName().str, QStringLiteral("PC-B"));

    // Accepting unsigned consoles: off at first; ticked and saved it is on, stored, and the window
    // says so, also in a window opened later.
    const auto restore = qScopeGuard([] { FarmTrust::setAcceptUnsigned(false); });
    QVERIFY(!wnd.acceptUnsignedCheck()->isChecked() && !wnd.trustNotice()->isVisibleTo(&wnd));
    QTest::mouseClick(wnd.acceptUnsignedCheck(), Qt::LeftButton);
    QVERIFY(!FarmTrust::acceptUnsigned()); // not before it is saved
    wnd.saveBtn()->click();
    QCOMPARE(m_boxes.value(2), QStringLiteral("恭喜|保存成功|1"));
    QVERIFY(FarmTrust::acceptUnsigned() && SimuSettings::getAcceptUnsigned());
    QVERIFY(wnd.trustNotice()->isVisibleTo(&wnd));
    FarmTrust::setAcceptUnsigned(false);
    FarmTrust::loadSetting();
    MainWnd later(freePorts());
    QVERIFY(later.acceptUnsignedCheck()->isChecked() && later.trustNotice()->isVisibleTo(&later));
}

void TstMainWnd::modeAnnouncement_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("daemonModel"); // -1: never saved
    QTest::addColumn<QStringList>("watched");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("normal mode") << 1 << 0 << QStringList()
                                 << QStringList{QStringLiteral("当前被控端设置为“逍遥模拟器-普通模式”")};
    QTest::newRow("daemon mode with watched instances")
        << 1 << 2 << QStringList{QStringLiteral("MEmu_1"), QStringLiteral("MEmu_2")}
        << QStringList{QStringLiteral("当前被控端设置为“逍遥模拟器-守护模式”"),
                       QStringLiteral("当前被控端设置为守护模式，守护的模拟器有\"名MEmu_1\",\"名MEmu_2\",")};
    QTest::newRow("never saved") << 2 << -1 << QStringList()
                                 << QStringList{QStringLiteral("当前被控端设置为“雷电模拟器-守护模式”"),
                                                QStringLiteral("当前被控端设置为守护模式")};
    QTest::newRow("no product chosen") << 0 << 2 << QStringList() << QStringList();
}

void TstMainWnd::modeAnnouncement()
{
    QFETCH(int, type);
    QFETCH(int, daemonModel);
    QFETCH(QStringList, watched);
    QFETCH(QStringList, expected);
    SimuSettings::setSimuType(type);
    if (daemonModel >= 0)
        SimuSettings::setDaemonModel(daemonModel);
    SimuSettings::setDaemonList(watched);
    for (const QString& idx : watched) {
        struSimuRecord rec;
        rec.memuIdx = idx;
        rec.simuName = QStringLiteral("名") + idx;
        SimuSettings::storeSimuRecord(rec);
    }
    MainWnd wnd(freePorts());
    QSignalSpy begin(&wnd, &MainWnd::sigBeginDaemon);
    wnd.initWnd();
    signIn();
    wnd.afterLogin();
    QCOMPARE(begin.size(), 1);
    QCOMPARE(SimuSettings::getPcName().str, QHostInfo::localHostName());
    operLog(QStringLiteral("marker"));
    QTRY_VERIFY_WITH_TIMEOUT(paneTexts(wnd).contains(QStringLiteral("marker")), 5000);
    QCOMPARE(paneTexts(wnd), QStringList{QStringLiteral("Tovia模拟器-被控端 启动成功")} + expected +
                                 QStringList{QStringLiteral("marker")});
}

void TstMainWnd::paneShowsLinesOnlyWhenLoggedIn()
{
    MainWnd wnd(freePorts());
    wnd.initWnd();
    operLog(QStringLiteral("收到操作指令，启动\"A\""));
    operLog(QStringLiteral("强制行"), 1);
    QTRY_VERIFY_WITH_TIMEOUT(paneTexts(wnd).contains(QStringLiteral("强制行")), 5000);
    QCOMPARE(paneTexts(wnd), QStringList{QStringLiteral("强制行")});
    QTRY_COMPARE_WITH_TIMEOUT(operLogTexts().size(), 2, 5000);
    QCOMPARE(operLogTexts().first(), QStringLiteral("收到操作指令，启动\"A\""));

    signIn();
    operLog(QStringLiteral("收到操作指令，关闭\"A\""));
    QTRY_COMPARE_WITH_TIMEOUT(paneTexts(wnd).size(), 2, 5000);
    QCOMPARE(paneTexts(wnd).last(), QStringLiteral("收到操作指令，关闭\"A\""));
    // A long run keeps the newest lines only.
    for (int i = 0; i < MainWnd::kMaxLogLines + 50; ++i)
        wnd.slAppendLog(QStringLiteral("01-01 10:00:00:行%1").arg(i), 0);
    QCOMPARE(wnd.logPane()->document()->blockCount(), MainWnd::kMaxLogLines);
    QCOMPARE(paneTexts(wnd).last(), QStringLiteral("行%1").arg(MainWnd::kMaxLogLines + 49));
}

void TstMainWnd::logoutForgetsTheLogin()
{
    struLoginRecord stored;
    stored.strUsrName = QStringLiteral("tester");
    stored.strPwd = QStringLiteral("secret");
    stored.bRcdPwd = stored.bAutoLogin = true;
    LoginStore().setLastUser(stored);
    MainWnd wnd(freePorts());
    wnd.initWnd();
    signIn();
    wnd.accountBtn()->setText(QStringLiteral("tester"));

    m_answer = false; // "取消"
    wnd.accountBtn()->click();
    QCOMPARE(m_boxes, QStringList{QStringLiteral("请确认|当前账号退出后将无法正常监控，是否需要退出！|2")});
    QVERIFY(LoginRecord::isLoggedIn());
    QCOMPARE(wnd.accountBtn()->text(), QStringLiteral("tester"));

    m_answer = true;
    wnd.accountBtn()->click();
    QVERIFY(!LoginRecord::isLoggedIn());
    QCOMPARE(wnd.accountBtn()->text(), QStringLiteral("点击登录"));
    LoginStore store;
    store.loadLoginStore();
    QString last;
    QMap<QString, struLoginRecord> records;
    store.getLoginRecords(last, records);
    QVERIFY(records.contains(QStringLiteral("tester")));
    QVERIFY(records.value(QStringLiteral("tester")).strPwd.isEmpty());
    QVERIFY(!records.value(QStringLiteral("tester")).bAutoLogin);
    QVERIFY(last.isEmpty()); // the next start does not take the name up again
    QTRY_VERIFY_WITH_TIMEOUT(operLogTexts().contains(QStringLiteral("当前被控端“帐户注销”成功")), 5000);
    QCoreApplication::processEvents();
    QVERIFY(paneTexts(wnd).isEmpty()); // signed out: only forced lines reach the pane
}

void TstMainWnd::storedLoginSignsInAtStart_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("signedIn");
    QTest::newRow("right password") << "pw123" << true;
    QTest::newRow("wrong password") << "wrong" << false;
}

void TstMainWnd::storedLoginSignsInAtStart()
{
    QFETCH(QString, password);
    QFETCH(bool, signedIn);
    if (!AccountSvcProcess::available())
        QSKIP("ToviaAccountSvc not built");
    const QString user = QStringLiteral("13800000000");
    const QString db = m_pHome->filePath(QStringLiteral("users.db"));
    QCOMPARE(AccountSvcProcess::run(
                 {QStringLiteral("--db"), db, QStringLiteral("adduser"), user, QStringLiteral("pw123")}),
             0);
    AccountSvcProcess svc;
    QVERIFY(svc.start(db));
    SimuSettings::setValue(QStringLiteral("account/url"), svc.baseUrl());
    SimuSettings::setSimuType(1);
    SimuSettings::setDaemonModel(0);
    struLoginRecord stored;
    stored.strUsrName = user;
    stored.strPwd = password;
    stored.bRcdPwd = stored.bAutoLogin = true;
    LoginStore().setLastUser(stored);

    MainWnd::Options opts = freePorts();
    opts.autoLogin = true;
    opts.loginTimings.iAutoLoginDelayMs = 50;
    opts.loginTimings.iRequestTimeoutMs = 5000;
    opts.loginTimings.iTickMs = 50;
    MainWnd wnd(opts);
    QSignalSpy begin(&wnd, &MainWnd::sigBeginDaemon);
    wnd.initWnd();
    // Nothing waits for the login, and nothing is bound before it succeeded.
    QVERIFY(!LoginRecord::isLoggedIn());
    QCOMPARE(wnd.accountBtn()->text(), QStringLiteral("点击登录"));
    if (signedIn) {
        QTRY_COMPARE_WITH_TIMEOUT(LoginRecord::userName(), user, 15000);
        QVERIFY(!LoginRecord::current().strToken.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(begin.size(), 1, 5000);
        QCOMPARE(wnd.accountBtn()->text(), user);
        QTRY_VERIFY_WITH_TIMEOUT(
            paneTexts(wnd).contains(QStringLiteral("当前被控端设置为“逍遥模拟器-普通模式”")), 5000);
    } else {
        // A refusal is not tried again (the password stays wrong); the pane tells what to do.
        QTRY_VERIFY_WITH_TIMEOUT(paneTexts(wnd).filter(QStringLiteral("自动登录失败")).size() == 1, 15000);
        const QString failed = paneTexts(wnd).filter(QStringLiteral("自动登录失败")).first();
        QVERIFY2(failed.endsWith(QStringLiteral("），请点击“点击登录”重新登录")), qPrintable(failed));
        QVERIFY(!wnd.autoLogin()->isActive());
        QVERIFY(!LoginRecord::isLoggedIn());
        QCOMPARE(begin.size(), 0);
        QCOMPARE(wnd.accountBtn()->text(), QStringLiteral("点击登录"));
    }
    QVERIFY2(m_boxes.isEmpty(), qPrintable(m_boxes.join('\n'))); // no box waits for anybody
}

void TstMainWnd::statusLabelFollowsTheLoop()
{
    MainWnd::Options opts = freePorts();
    opts.uiTickMs = 5;
    MainWnd wnd(opts);
    wnd.initWnd();
    QTRY_COMPARE_WITH_TIMEOUT(wnd.stateLabel()->text(), QStringLiteral("未连接总控端"), 5000);
    // A console was answered; the count is then set far back so that the text stays a while.
    QMetaObject::invokeMethod(wnd.mainDlgObj(), "slInitTickCnt", Qt::QueuedConnection);
    QMetaObject::invokeMethod(wnd.mainDlgObj(), "slSetTickCnt", Qt::QueuedConnection, Q_ARG(int, -1000000));
    QTRY_COMPARE_WITH_TIMEOUT(wnd.stateLabel()->text(), QStringLiteral("已连接总控端"), 5000);
}

void TstMainWnd::trayQuitShutsDown()
{
    MainWnd wnd(freePorts());
    wnd.initWnd();
    wnd.show();
    QPointer<MainDlgObj> loop = wnd.mainDlgObj();
    QVERIFY(OperLoggerObj::instance());
    wnd.slSysTrayMenuTriggered(1); // "退出软件"
    QVERIFY(!wnd.isVisible());
    QVERIFY(!OperLoggerObj::instance());
    QTRY_VERIFY_WITH_TIMEOUT(loop.isNull(), 5000); // its thread ended and deleted it
}

QTEST_MAIN(TstMainWnd)
#include "tst_mainwnd.moc"
