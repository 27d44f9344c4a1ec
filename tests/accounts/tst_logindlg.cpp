#include "accountstestutil.h"
#include "centerloginwnd.h"
#include "logindlg.h"
#include "loginretry.h"
#include "loginstore.h"
#include "resultdisplay.h"
#include "simusettings.h"
#include "systrayicon.h"
#include "xxtea.h"

#include <QCheckBox>
#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

class TestLoginDlg : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void missingInputsAreNamed();
    void secondClickWhilePendingDoesNothing();
    void automaticLoginFiresOnce();
    void noAutomaticLoginAfterAManualOne();
    void noAutomaticLoginWhenUnticked();
    void storedLoginsFillTheDialog();
    void rememberUntickedStoresNoPassword();
    void agentDefaultAutoLoginHidesAndTicksBoxes();
    void windowsLookAndTrayMenu();
    void keysInTheConsoleLoginWindow();
    void closingWhilePendingEndsPromptly();
    void signInRememberAndSignInAgainAgainstService();
    void consoleRetriesItsAutomaticLoginUntilTheServiceIsBack();

private:
    static struLoginTimings fast()
    {
        struLoginTimings t;
        t.iAutoLoginDelayMs = 50;
        t.iRequestTimeoutMs = 5000;
        t.iTickMs = 20;
        return t;
    }
    static void store(const QString& usr, const QString& pwd, bool rcd, bool autoLogin)
    {
        LoginStore s;
        s.loadLoginStore();
        s.setLastUser(struLoginRecord{usr, pwd, rcd, autoLogin});
    }
    static QByteArray success(const QString& token)
    {
        const QJsonObject payload{{"userid", 9}, {"token", token}, {"nickname", "n"}};
        const QByteArray data = xxteaEncrypt(QJsonDocument(payload).toJson(), toviaPayloadKey()).toBase64();
        const QJsonObject reply{
            {"ResultCode", "0"}, {"ResultMessage", ""}, {"Data", QString::fromLatin1(data)}};
        return QJsonDocument(reply).toJson();
    }
    static void typeLogin(LoginUI& dlg, const QString& usr, const QString& pwd)
    {
        dlg.usrComboBox()->setEditText(usr);
        dlg.pwdLineEdit()->setText(pwd);
    }

    QTemporaryDir m_dir;
    FakeActServer* m_pServer = nullptr;
    QList<QPair<QString, QString>> m_missing;
    QStringList m_results;
};

void TestLoginDlg::initTestCase()
{
    QVERIFY(m_dir.isValid());
    SimuSettings::setDataDir(m_dir.path());
}

void TestLoginDlg::init()
{
    QFile::remove(m_dir.filePath("data.data"));
    QFile::remove(SimuSettings::iniPath());
    SimuSettings::setValue("common/IsDefAutoLogin", false);
    LoginRecord::clear();
    m_missing.clear();
    m_results.clear();
    setResultBox([this](const QString&, const QString& text, bool) {
        m_results << text;
        return true;
    });
    m_pServer = new FakeActServer;
    QVERIFY(m_pServer->listen());
    SimuSettings::setValue("account/url", m_pServer->baseUrl());
}

void TestLoginDlg::cleanup()
{
    setResultBox(ResultBoxFn());
    delete m_pServer;
    m_pServer = nullptr;
}

void TestLoginDlg::missingInputsAreNamed()
{
    LoginDlg dlg(nullptr, fast());
    dlg.setMissingParamBox([this](const QString& t, const QString& x) { m_missing << qMakePair(t, x); });
    dlg.initialize();
    QSignalSpy requests(&dlg, &LoginUI::sigLogin);
    dlg.loginButton()->click();
    typeLogin(dlg, "123", "");
    dlg.loginButton()->click();
    typeLogin(dlg, "", "pw");
    emit dlg.pwdLineEdit()->returnPressed();
    QCOMPARE(m_missing,
             (QList<QPair<QString, QString>>{
                 {"缺少参数", "请输入用户名"}, {"缺少参数", "请输入密码"}, {"缺少参数", "请输入用户名"}}));
    QCOMPARE(requests.count(), 0);
    QVERIFY(!dlg.isLoginPending());
    QVERIFY(dlg.loginButton()->isEnabled());
}

void TestLoginDlg::secondClickWhilePendingDoesNothing()
{
    m_pServer->setHold(true);
    LoginDlg dlg(nullptr, fast());
    dlg.initialize();
    QSignalSpy requests(&dlg, &LoginUI::sigLogin);
    typeLogin(dlg, "123", "pw");
    dlg.loginButton()->click();
    QVERIFY(dlg.isLoginPending());
    QVERIFY(!dlg.loginButton()->isEnabled() && !dlg.usrComboBox()->isEnabled() &&
            !dlg.pwdLineEdit()->isEnabled());
    dlg.slLogin(); // a second click (or Return) while the first runs
    emit dlg.pwdLineEdit()->returnPressed();
    QCOMPARE(requests.count(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_pServer->requests(), 1, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(dlg.loginButton()->text().contains('.'), 5000); // the pending animation
    QTest::qWait(100);
    QCOMPARE(m_pServer->requests(), 1);

    m_pServer->release(R"({"ResultCode":"7","ResultMessage":"账号已冻结"})");
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.isLoginPending(), 5000);
    QCOMPARE(m_results, QStringList{"账号已冻结"});
    QCOMPARE(dlg.loginResult(), -1);
    QVERIFY(dlg.result() != QDialog::Accepted);
    QVERIFY(dlg.loginButton()->isEnabled() && dlg.pwdLineEdit()->isEnabled());
    QCOMPARE(dlg.loginButton()->text(), QString("登 录"));
    QVERIFY(!LoginRecord::isLoggedIn());
    QVERIFY(!QFile::exists(m_dir.filePath("data.data"))); // a refusal stores nothing
}

void TestLoginDlg::automaticLoginFiresOnce()
{
    store("555", "pw5", true, true);
    m_pServer->setReply(success("tok5"));
    CenterLoginWnd dlg(nullptr, fast());
    dlg.initialize();
    QCOMPARE(dlg.usrComboBox()->currentText(), QString("555"));
    QTRY_COMPARE_WITH_TIMEOUT(dlg.result(), int(QDialog::Accepted), 5000);
    QTest::qWait(200);
    QCOMPARE(m_pServer->requests(), 1);
    QCOMPARE(dlg.loginResult(), 0);
    const CLoginRet ret = dlg.loginRet();
    QCOMPARE(ret.strUserName, QString("555"));
    QCOMPARE(ret.strPassword, QString("pw5"));
    QCOMPARE(ret.strToken, QString("tok5"));
    QCOMPARE(ret.strUserId, QString("9"));
    QCOMPARE(LoginRecord::userName(), QString("555"));
    QCOMPARE(LoginRecord::current().strToken, QString("tok5"));
}

void TestLoginDlg::noAutomaticLoginAfterAManualOne()
{
    store("555", "pw5", true, true);
    m_pServer->setReply(success("t"));
    struLoginTimings timings = fast();
    timings.iAutoLoginDelayMs = 300;
    CenterLoginWnd dlg(nullptr, timings);
    dlg.initialize();
    dlg.loginButton()->click(); // before the automatic login is due
    QTRY_COMPARE_WITH_TIMEOUT(dlg.loginResult(), 0, 5000);
    QTest::qWait(500);
    QCOMPARE(m_pServer->requests(), 1);
}

void TestLoginDlg::noAutomaticLoginWhenUnticked()
{
    store("555", "pw5", true, false);
    m_pServer->setReply(success("t"));
    CenterLoginWnd dlg(nullptr, fast());
    dlg.initialize();
    QCOMPARE(dlg.pwdLineEdit()->text(), QString("pw5"));
    QTest::qWait(300);
    QCOMPARE(m_pServer->requests(), 0);
    QCOMPARE(dlg.loginResult(), -1);
}

void TestLoginDlg::storedLoginsFillTheDialog()
{
    store("100", "x", true, true);
    store("300", "", false, false); // last user
    CenterLoginWnd dlg(nullptr, fast());
    dlg.initialize();
    QComboBox* cbb = dlg.usrComboBox();
    QCOMPARE(cbb->count(), 2);
    QCOMPARE(cbb->itemText(0), QString("100"));
    QCOMPARE(cbb->itemText(1), QString("300"));
    QCOMPARE(cbb->currentText(), QString("300"));
    QCOMPARE(dlg.pwdLineEdit()->text(), QString());
    QVERIFY(!dlg.autoLoginCheckBox()->isChecked() && !dlg.rcdPwdCheckBox()->isChecked());
    cbb->setCurrentIndex(0);
    QCOMPARE(dlg.pwdLineEdit()->text(), QString("x"));
    QVERIFY(dlg.autoLoginCheckBox()->isChecked() && dlg.rcdPwdCheckBox()->isChecked());
    // User names are digits only.
    QString bad = "12a";
    QString good = "0123";
    int pos = 0;
    QCOMPARE(cbb->validator()->validate(bad, pos), QValidator::Invalid);
    QCOMPARE(cbb->validator()->validate(good, pos), QValidator::Acceptable);
}

void TestLoginDlg::rememberUntickedStoresNoPassword()
{
    m_pServer->setReply(success("t"));
    {
        CenterLoginWnd dlg(nullptr, fast());
        dlg.initialize();
        typeLogin(dlg, "42", "secret");
        dlg.rcdPwdCheckBox()->setChecked(false);
        dlg.autoLoginCheckBox()->setChecked(true);
        dlg.loginButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(dlg.loginResult(), 0, 5000);
    }
    CenterLoginWnd next(nullptr, fast());
    next.initialize();
    QCOMPARE(next.usrComboBox()->currentText(), QString("42"));
    QCOMPARE(next.pwdLineEdit()->text(), QString());
    QVERIFY(next.autoLoginCheckBox()->isChecked());
    QTest::qWait(200); // automatic login needs a password: nothing happens
    QCOMPARE(m_pServer->requests(), 1);
}

void TestLoginDlg::agentDefaultAutoLoginHidesAndTicksBoxes()
{
    SimuSettings::setValue("common/IsDefAutoLogin", true);
    store("77", "", false, false);
    m_pServer->setReply(success("t"));
    LoginDlg dlg(nullptr, fast());
    dlg.initialize();
    QVERIFY(dlg.autoLoginCheckBox()->isHidden() && dlg.rcdPwdCheckBox()->isHidden());
    QVERIFY(dlg.autoLoginCheckBox()->isChecked() && dlg.rcdPwdCheckBox()->isChecked());
    // The first manual login stores the password, so the next start signs in by itself.
    dlg.pwdLineEdit()->setText("pw");
    dlg.loginButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(dlg.loginResult(), 0, 5000);
    QString last;
    QMap<QString, struLoginRecord> recs;
    LoginStore s;
    s.loadLoginStore();
    s.getLoginRecords(last, recs);
    QCOMPARE(recs["77"].strPwd, QString("pw"));
    QVERIFY(recs["77"].bAutoLogin);

    SimuSettings::setValue("common/IsDefAutoLogin", false);
    LoginDlg shown(nullptr, fast());
    shown.initialize();
    QVERIFY(!shown.autoLoginCheckBox()->isHidden() && !shown.rcdPwdCheckBox()->isHidden());
}

void TestLoginDlg::windowsLookAndTrayMenu()
{
    LoginDlg agent(nullptr, fast());
    agent.initialize();
    QCOMPARE(agent.objectName(), QString("LoginUIThis"));
    QCOMPARE(agent.windowTitle(), QString("Tovia模拟器被控端"));
    QVERIFY(agent.styleSheet().contains(":/res/Login/LoginBkg.png"));
    QVERIFY(!agent.windowIcon().isNull()); // the shared resources are linked in
    QCOMPARE(agent.pwdLineEdit()->echoMode(), QLineEdit::Password);
    QCOMPARE(agent.usrComboBox()->lineEdit()->placeholderText(), QString("用 户 名"));

    CenterLoginWnd console(nullptr, fast());
    console.initialize();
    QCOMPARE(console.objectName(), QString("CenterLoginWndThis"));
    QCOMPARE(console.windowTitle(), QString("Tovia-模拟器版"));
    QCOMPARE(
        console.styleSheet(),
        QString("CenterLoginWnd#CenterLoginWndThis{background-image:url(:/res/Login/CenterToolBkg.png);}"));
    QVERIFY(console.trayIcon());
    QCOMPARE(console.trayIcon()->toolTip(), QString("Tovia-模拟器版"));
    console.show();
    QVERIFY(console.isVisible());
    emit console.trayIcon()->sigToviaSysTrayIconTriggered(1);
    QVERIFY(!console.isVisible());
    emit console.trayIcon()->sigToviaSysTrayIconTriggered(0);
    QVERIFY(console.isVisible());
}

// Keys on the console's login window, whose closing ends the console: Esc leaves it open, Enter in
// the user name goes on to the password, Enter in the password signs in.
void TestLoginDlg::keysInTheConsoleLoginWindow()
{
    m_pServer->setReply(success("t"));
    CenterLoginWnd wnd(nullptr, fast());
    wnd.setMissingParamBox([this](const QString& t, const QString& x) { m_missing << qMakePair(t, x); });
    wnd.initialize();
    wnd.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wnd));
    QSignalSpy finished(&wnd, &QDialog::finished);
    QSignalSpy requests(&wnd, &LoginUI::sigLogin);
    QLineEdit* user = wnd.usrComboBox()->lineEdit();
    user->setFocus();
    QTest::keyClick(user, Qt::Key_Escape);
    QTest::keyClick(wnd.pwdLineEdit(), Qt::Key_Escape);
    QTest::keyClick(&wnd, Qt::Key_Escape);
    QVERIFY(wnd.isVisible());
    QCOMPARE(finished.count(), 0);

    QTest::keyClicks(user, "123");
    QTest::keyClick(user, Qt::Key_Return);
    QTest::keyClick(user, Qt::Key_Enter);
    QCOMPARE(requests.count(), 0);
    QVERIFY(m_missing.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(wnd.pwdLineEdit()->hasFocus(), 2000);
    QTest::keyClicks(wnd.pwdLineEdit(), "pw");
    QTest::keyClick(wnd.pwdLineEdit(), Qt::Key_Return);
    QCOMPARE(requests.count(), 1);
    QCOMPARE(requests.at(0).at(0).toString(), QString("123"));
    QTRY_COMPARE_WITH_TIMEOUT(wnd.loginResult(), 0, 5000);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(wnd.result(), int(QDialog::Accepted));
}

void TestLoginDlg::closingWhilePendingEndsPromptly()
{
    m_pServer->setHold(true);
    QElapsedTimer t;
    {
        LoginDlg dlg(nullptr, fast()); // time-out 5 s
        dlg.initialize();
        typeLogin(dlg, "123", "pw");
        dlg.loginButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(m_pServer->requests(), 1, 5000);
        t.start();
    }
    QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    QTest::qWait(50);
    QVERIFY(m_results.isEmpty());
    QVERIFY(!LoginRecord::isLoggedIn());
}

void TestLoginDlg::signInRememberAndSignInAgainAgainstService()
{
    if (!AccountSvcProcess::available()) {
        QSKIP("ToviaAccountSvc not built (TOVIA_BIN_DIR unset or program missing)");
    }
    const QString db = m_dir.filePath("dlg.db");
    QFile::remove(db);
    const QString pwd = "s3cret & more #%+";
    QCOMPARE(AccountSvcProcess::run({"--db", db, "adduser", "13700000000", pwd, "--nick", "阿明"}), 0);
    AccountSvcProcess svc;
    QVERIFY(svc.start(db));
    SimuSettings::setValue("account/url", svc.baseUrl());
    struLoginTimings timings = fast();
    timings.iRequestTimeoutMs = 10000;
    {
        LoginDlg dlg(nullptr, timings);
        dlg.initialize();
        typeLogin(dlg, "13700000000", pwd);
        dlg.rcdPwdCheckBox()->setChecked(true);
        dlg.autoLoginCheckBox()->setChecked(true);
        dlg.loginButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(dlg.result(), int(QDialog::Accepted), 10000);
        QVERIFY2(m_results.isEmpty(), qPrintable(m_results.join(';')));
        QCOMPARE(dlg.loginRet().strNickName, QString("阿明"));
    }
    LoginRecord::clear();
    LoginDlg next(nullptr, timings); // the next start
    next.initialize();
    QCOMPARE(next.usrComboBox()->currentText(), QString("13700000000"));
    QCOMPARE(next.pwdLineEdit()->text(), pwd);
    QTRY_COMPARE_WITH_TIMEOUT(next.result(), int(QDialog::Accepted), 10000);
    QCOMPARE(LoginRecord::userName(), QString("13700000000"));
    QCOMPARE(LoginRecord::current().iTotals, 2);
    QCOMPARE(svc.stop(), 0);
}

// The console starts while the account service is down (longer than several retry periods): no
// box piles up, the window says it will try again, and it signs in once the service is back.
void TestLoginDlg::consoleRetriesItsAutomaticLoginUntilTheServiceIsBack()
{
    if (!AccountSvcProcess::available()) {
        QSKIP("ToviaAccountSvc not built (TOVIA_BIN_DIR unset or program missing)");
    }
    const QString db = m_dir.filePath("retry.db");
    QCOMPARE(AccountSvcProcess::run({"--db", db, "adduser", "10086", "pw"}), 0);
    const quint16 port = AccountSvcProcess::freePort();
    SimuSettings::setValue("account/url", QStringLiteral("http://127.0.0.1:%1").arg(port));
    store("10086", "pw", true, true);
    struLoginTimings timings = fast();
    timings.iAutoLoginRetryMs = 300;
    MessageCatcher messages;
    CenterLoginWnd wnd(nullptr, timings);
    wnd.show();
    QTRY_VERIFY_WITH_TIMEOUT(wnd.autoLoginRetry()->failures() >= 3, 15000);
    QVERIFY2(wnd.statusLabel()->text().contains("自动重试"), qPrintable(wnd.statusLabel()->text()));
    QVERIFY(messages.contains("automatic login failed 3 time(s)"));
    QCOMPARE(m_results, QStringList()); // no box while it waits
    QCOMPARE(wnd.loginResult(), -1);

    AccountSvcProcess svc;
    QVERIFY(svc.start(db, port));
    QTRY_COMPARE_WITH_TIMEOUT(wnd.loginResult(), 0, 15000);
    QCOMPARE(LoginRecord::userName(), QString("10086"));
    QVERIFY(!LoginRecord::farmKey().isEmpty());
    QVERIFY(!wnd.autoLoginRetry()->isScheduled());
    QCOMPARE(m_results, QStringList());
}

QTEST_MAIN(TestLoginDlg)
#include "tst_logindlg.moc"
