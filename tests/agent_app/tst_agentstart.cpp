// The agent window and program as a user meets them: keys on the real window and its real message
// boxes, the program's end, the automatic login against an account service that is not there yet,
// a command that comes while slow tools hold up the start-up scan, and the address the window
// shows on a PC with a virtual adapter.
#include "../accounts/accountstestutil.h"
#include "agentapp.h"
#include "agentwndutil.h"
#include "comgrpopermgr.h"
#include "consoleharness.h"
#include "farmfixture.h"
#include "jsoncodec.h"
#include "lannet.h"
#include "logindlg.h"
#include "loginret.h"
#include "loginstore.h"
#include "mainwnd.h"
#include "operloggerobj.h"
#include "resultcodes.h"
#include "resultdisplay.h"
#include "simusettings.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

using namespace AgentWndUtil;

namespace {

// Answers every message box that comes up, with a key as a user would, until it is destroyed; the
// texts of the boxes in `seen`.
class BoxAnswerer
{
public:
    BoxAnswerer(Qt::Key key, QStringList& seen) : m_key(key), m_seen(seen)
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { answer(); });
        m_timer.start(20);
    }

private:
    void answer()
    {
        auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!pBox || m_answered.contains(pBox))
            return;
        m_answered << pBox;
        m_seen << pBox->text();
        QTest::keyClick(pBox, m_key);
    }

    Qt::Key m_key;
    QStringList& m_seen;
    QList<QPointer<QMessageBox>> m_answered;
    QTimer m_timer;
};

// Sends one command document from a thread of its own as soon as the agent's command port accepts.
class EarlyConsole
{
public:
    EarlyConsole(quint16 port, const QByteArray& doc)
        : m_thread([this, port, doc] {
              QDeadlineTimer deadline(20000);
              while (!m_stop && !deadline.hasExpired()) {
                  QTcpSocket s;
                  s.connectToHost(QHostAddress::LocalHost, port);
                  if (s.waitForConnected(1000)) {
                      m_sent = s.write(doc) == doc.size() && s.waitForBytesWritten(5000);
                      s.disconnectFromHost();
                      return;
                  }
                  QThread::msleep(5);
              }
          })
    {
    }
    ~EarlyConsole()
    {
        m_stop = true;
        m_thread.join();
    }
    bool sent() const { return m_sent; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_sent{false};
    std::thread m_thread;
};

quint16 freeTcpPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::AnyIPv4, 0) ? probe.serverPort() : 0;
}

} // namespace

class TstAgentStart : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void keysOnTheWindow();
    void escKeepsTheProgramAndItsEndIsLogged();
    void failedAutoLoginBindsNothingAndIsRetried();
    void commandHeldBySlowToolsIsDroppedWithAResult();
    void pcIpIsTheAddressTheLanReaches();

private:
    std::unique_ptr<QTemporaryDir> m_pHome;
};

void TstAgentStart::init()
{
    m_pHome = std::make_unique<QTemporaryDir>();
    SimuSettings::setDataDir(m_pHome->path());
    LoginRecord::clear();
}

void TstAgentStart::cleanup()
{
    setResultBox({});
    LoginRecord::clear();
}

// Enter in "电脑名称" saves the settings (today's box says so; a second Enter closes it), never the
// account button's logout; Esc leaves the agent running; cancelling the type-change question shows
// nothing more. All through the real window and the real message boxes.
void TstAgentStart::keysOnTheWindow()
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::LdPlayer, 1))
        QSKIP(qPrintable(farm.error()));
    signIn(QStringLiteral("tester"));
    MainWnd wnd(freePorts());
    wnd.initWnd();
    wnd.accountBtn()->setText(QStringLiteral("tester"));
    wnd.simuTypeCbb()->setCurrentIndex(eProductLdPlayer);
    wnd.simuPathEdit()->setText(farm.installDir());
    wnd.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wnd));

    QStringList seen;
    {
        BoxAnswerer enter(Qt::Key_Return, seen);
        wnd.pcNameEdit()->setFocus();
        wnd.pcNameEdit()->clear();
        QTest::keyClicks(wnd.pcNameEdit(), QStringLiteral("Room-2"));
        QTest::keyClick(wnd.pcNameEdit(), Qt::Key_Return);
    }
    QCOMPARE(seen, QStringList{QStringLiteral("保存成功")});
    QVERIFY(LoginRecord::isLoggedIn());
    QCOMPARE(wnd.accountBtn()->text(), QStringLiteral("tester"));
    QCOMPARE(SimuSettings::getPcNickName().str, QStringLiteral("Room-2"));

    QTest::keyClick(&wnd, Qt::Key_Escape);
    QTest::keyClick(wnd.simuPathEdit(), Qt::Key_Escape);
    QCoreApplication::processEvents();
    QVERIFY(wnd.isVisible());
    QVERIFY(OperLoggerObj::instance()); // the workers still run

    seen.clear();
    wnd.simuTypeCbb()->setCurrentIndex(eProductMEmu);
    wnd.simuPathEdit()->setText(farm.installDir());
    {
        BoxAnswerer esc(Qt::Key_Escape, seen); // "取消"
        QTest::mouseClick(wnd.saveBtn(), Qt::LeftButton);
    }
    QCOMPARE(seen, QStringList{QStringLiteral("您对“模拟器类型”进行了修改，修改后将重置新的配置，请确认？")});
    QCOMPARE(SimuSettings::getSimuType().iExtraRet, int(eProductLdPlayer));
    wnd.shutdown();
}

// The program itself: Esc on its window does not end it; its close does, and the workers' shutdown
// still writes to the debug log.
void TstAgentStart::escKeepsTheProgramAndItsEndIsLogged()
{
    bool foundWindow = false;
    bool keptAfterEsc = false;
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    connect(&poll, &QTimer::timeout, [&] {
        MainWnd* pWnd = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* p = qobject_cast<MainWnd*>(w); p && p->isVisible())
                pWnd = p;
        }
        if (!pWnd) {
            if (foundWindow || clock.elapsed() > 20000)
                QCoreApplication::exit(1); // gone by itself, or never came: end the run
            return;
        }
        poll.stop();
        foundWindow = true;
        QTest::keyClick(pWnd, Qt::Key_Escape);
        QTest::qWait(300);
        keptAfterEsc = pWnd->isVisible();
        pWnd->close();
    });
    poll.start(50);
    const QString home = m_pHome->path();
    const int rc = AgentApp({QStringLiteral("ToviaSimClient"), QStringLiteral("--home"), home,
                             QStringLiteral("--batch")})
                       .run();
    poll.stop();
    QCOMPARE(rc, 0);
    QVERIFY(foundWindow);
    QVERIFY(keptAfterEsc);
    const QString log = readProgramLogs(home);
    QVERIFY2(log.contains(QStringLiteral("close thread finished")), qPrintable(log.right(2000)));
}

// The account service is down when the agent starts with a stored automatic login: the window is
// there at once, the PC is bound to nobody, the pane says when the next try comes, and the login
// goes through as soon as the service answers.
void TstAgentStart::failedAutoLoginBindsNothingAndIsRetried()
{
    if (!AccountSvcProcess::available())
        QSKIP("ToviaAccountSvc not built");
    const QString user = QStringLiteral("13800000001");
    const QString db = m_pHome->filePath(QStringLiteral("users.db"));
    QCOMPARE(AccountSvcProcess::run(
                 {QStringLiteral("--db"), db, QStringLiteral("adduser"), user, QStringLiteral("pw123")}),
             0);
    SimuSettings::setValue(QStringLiteral("account/url"),
                           QStringLiteral("http://127.0.0.1:%1").arg(freeTcpPort()));
    struLoginRecord stored;
    stored.strUsrName = user;
    stored.strPwd = QStringLiteral("pw123");
    stored.bRcdPwd = stored.bAutoLogin = true;
    LoginStore().setLastUser(stored);
    QStringList boxes;
    setResultBox([&boxes](const QString& title, const QString& text, bool) {
        boxes << title + QLatin1Char('|') + text;
        return true;
    });
    // A login window left waiting for the user would hold up the start: it is closed after a while.
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, [] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* pDlg = qobject_cast<LoginDlg*>(w))
                pDlg->reject();
        }
    });
    guard.start(3000);

    MainWnd::Options opts = freePorts();
    opts.autoLogin = true;
    opts.loginTimings.iAutoLoginDelayMs = 50;
    opts.loginTimings.iRequestTimeoutMs = 2000;
    opts.autoLoginRetryMs = 400;
    MainWnd wnd(opts);
    QSignalSpy begin(&wnd, &MainWnd::sigBeginDaemon);
    wnd.initWnd();
    const auto failures = [&wnd] { return paneTexts(wnd).filter(QStringLiteral("自动登录失败")); };
    QTRY_VERIFY_WITH_TIMEOUT(failures().size() >= 2, 15000);
    QVERIFY2(failures().first().endsWith(QStringLiteral("），0.4秒后重试")), qPrintable(failures().first()));
    QVERIFY(!LoginRecord::isLoggedIn());
    QCOMPARE(wnd.accountBtn()->text(), QStringLiteral("点击登录"));
    QCOMPARE(begin.size(), 0);
    QVERIFY(wnd.autoLogin()->isActive());

    AccountSvcProcess svc;
    QVERIFY(svc.start(db));
    SimuSettings::setValue(QStringLiteral("account/url"), svc.baseUrl());
    QTRY_COMPARE_WITH_TIMEOUT(LoginRecord::userName(), user, 15000);
    QVERIFY(!LoginRecord::current().strToken.isEmpty());
    QCOMPARE(wnd.accountBtn()->text(), user);
    QTRY_COMPARE_WITH_TIMEOUT(begin.size(), 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(paneTexts(wnd).contains(QStringLiteral("自动登录成功")), 5000);
    QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join('\n')));
    wnd.shutdown();
}

// The farm's tools take seconds, so the start-up scan outlasts the agent's wait for it: a start that
// came meanwhile is dropped with a result to its console, long before the scan ends, and never runs.
void TstAgentStart::commandHeldBySlowToolsIsDroppedWithAResult()
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::LdPlayer, 2))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0")));
    QVERIFY(farm.setKnob(QStringLiteral("toolDelayMs"), QStringLiteral("3000")));
    SimuSettings::setDaemonModel(0);
    signIn(QStringLiteral("alice"));
    ResultServer results;
    QVERIFY(results.listen(QHostAddress::LocalHost));

    MainWnd::Options opts = freePorts();
    opts.tcpPort = freeTcpPort();
    opts.notifier = results.notifierOptions();
    opts.holdLimitMs = 1000;
    MainWnd wnd(opts);
    QSignalSpy scanned(&wnd, &MainWnd::sigInventoryScanned);
    const auto opers = ConsoleClient::makeOpers(eOperStartup, {QStringLiteral("1")}, 900);
    EarlyConsole console(opts.tcpPort, ConsoleClient::makeDoc(opers, QStringLiteral("alice")));
    wnd.initWnd();
    QVERIFY(results.waitForReports(1, 15000));
    QCOMPARE(scanned.size(), 0); // the scan still runs
    const ConsoleReport rep = results.reports().first();
    QVERIFY(console.sent());
    QCOMPARE(rep.oper.iOperType, int(eOperStartup));
    QCOMPARE(rep.oper.memuIdx, QStringLiteral("1"));
    QCOMPARE(rep.oper.iReplyRet, ResultCode::kCommandExpired);
    QCOMPARE(rep.oper.replyRet, QStringLiteral("被控端正在启动，指令未执行，请稍后再试"));

    QTRY_COMPARE_WITH_TIMEOUT(scanned.size(), 1, 60000);
    QVERIFY(farm.setKnob(QStringLiteral("toolDelayMs"), QStringLiteral("0")));
    QTRY_COMPARE_WITH_TIMEOUT(ComGrpOperMgr::LiveCount(), 0, 10000);
    QTest::qWait(300);
    QCOMPARE(results.reports().size(), 1);
    QVERIFY(!farm.instanceStatus(QStringLiteral("1")).value(QStringLiteral("running")).toBool());
    QCOMPARE(SimuSettings::storedSimuRecord(QStringLiteral("1")).iState, int(eStateNotStarted));
    wnd.shutdown();
}

// Agent host A of the simulated LAN has a second interface made before its LAN interface (as a
// virtual adapter is): "电脑IP" shows the LAN address.
void TstAgentStart::pcIpIsTheAddressTheLanReaches()
{
    const QString why = lanSkipReason({QStringLiteral("ip")}, {});
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QString prefix;
    const ToolRun up = lanUp(QStringLiteral("tas"), prefix);
    if (up.exitCode == 3)
        QSKIP(qPrintable(up.output));
    QVERIFY2(up.exitCode == 0, qPrintable(up.output));
    const auto down = qScopeGuard([&prefix] { lanns({QStringLiteral("down"), prefix}); });
    NetnsSwitch ns;
    QString error;
    QVERIFY2(ns.enter(prefix + QStringLiteral("-a"), error), qPrintable(error));
    std::unique_ptr<MainWnd> pWnd(new MainWnd(freePorts()));
    ns.leave();
    QCOMPARE(pWnd->pcIpLabel()->text(), QStringLiteral("10.77.0.2"));
}

QTEST_MAIN(TstAgentStart)
#include "tst_agentstart.moc"
