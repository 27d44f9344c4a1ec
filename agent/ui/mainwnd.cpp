#include "mainwnd.h"

#include "agentsettings.h"
#include "debuglog.h"
#include "farmtrust.h"
#include "lanaddress.h"
#include "launcherfactory.h"
#include "logindlg.h"
#include "loginstore.h"
#include "resultcodes.h"
#include "resultdisplay.h"
#include "simusettings.h"
#include "simustatestore.h"
#include "systrayicon.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QHostInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>

MainWnd::MainWnd(const Options& options, QWidget* parent)
    : MainDlgUI(parent), m_options(options),
      m_pController(new AgentController(
          {options.udpPort, options.tcpPort, options.uiTickMs, options.notifier, options.holdLimitMs}, this)),
      m_pAutoLogin(new AutoLoginMgr(options.loginTimings, options.autoLoginRetryMs, this))
{
    bindController();
    fillFromSettings();
}

MainWnd::~MainWnd()
{
    shutdown();
}

void MainWnd::initWnd()
{
    DeleteLogStrategy().run(SimuSettings::logDir());
    m_pTrayIcon = new ToviaSysTrayIcon(QStringLiteral("Tovia模拟器-被控端"), this);
    AgentController::checkConnect(
        connect(m_pTrayIcon, &QSystemTrayIcon::activated, this, &MainWnd::TrayIconAction),
        QStringLiteral("connect QSystemTrayIcon::activated MainWnd::TrayIconAction err"));
    AgentController::checkConnect(connect(m_pTrayIcon, &ToviaSysTrayIcon::sigToviaSysTrayIconTriggered, this,
                                          &MainWnd::slSysTrayMenuTriggered),
                                  QStringLiteral("connect ToviaSysTrayIcon::sigToviaSysTrayIconTriggered "
                                                 "MainWnd::slSysTrayMenuTriggered err"));
    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_pTrayIcon->show();
    connectWidgets();
    m_pController->startWorkers();
    restoreLogin();
    m_iStartScanId = initIniData();
}

void MainWnd::fillFromSettings()
{
    const QString nick = AgentSettings::pcNickName.value();
    pcNameEdit()->setText(nick.isEmpty() ? QHostInfo::localHostName() : nick);
    pcIpLabel()->setText(lanIPv4());
    const int type = AgentSettings::simuType.value();
    simuTypeCbb()->setCurrentIndex(type >= eProductNone && type <= eProductLdPlayer ? type : eProductNone);
    simuPathEdit()->setText(AgentSettings::dir.value());
    runLimitCbb()->setCurrentIndex(qBound(0, AgentSettings::runLimit.value() - 1, 9));
    parallelStartsCbb()->setCurrentIndex(qBound(0, AgentSettings::parallelStarts.value() - 1, 9));
    // 0 unchecked; 2 and the never-saved 100 show checked.
    daemonCheck()->setChecked(AgentSettings::daemonOn());
    acceptUnsignedCheck()->setChecked(FarmTrust::acceptUnsigned());
    trustNotice()->setVisible(FarmTrust::acceptUnsigned());
}

void MainWnd::connectWidgets()
{
    using AC = AgentController;
    AC::checkConnect(
        connect(simuTypeCbb(), QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                &MainWnd::slSimuTypeCbbChangedIdx),
        QStringLiteral("connect QComboBox::currentIndexChanged MainWnd::slSimuTypeCbbChangedIdx err"));
    AC::checkConnect(connect(browseBtn(), &QPushButton::clicked, this, &MainWnd::slOpenFildDlg),
                     QStringLiteral("connect QPushButton::clicked MainWnd::slOpenFildDlg err"));
    AC::checkConnect(connect(saveBtn(), &QPushButton::clicked, this, &MainWnd::slSaveClicked),
                     QStringLiteral("connect QPushButton::clicked MainWnd::slSaveClicked err"));
    AC::checkConnect(connect(accountBtn(), &QPushButton::clicked, this, &MainWnd::slAccountClicked),
                     QStringLiteral("connect QPushButton::clicked MainWnd::slAccountClicked err"));
    AC::checkConnect(connect(helpBtn(), &QPushButton::clicked, this, &MainWnd::slShowDaemoning),
                     QStringLiteral("connect QPushButton::clicked MainWnd::slShowDaemoning err"));
    // Enter in a settings field saves the settings.
    for (QLineEdit* pEdit : {pcNameEdit(), simuPathEdit()})
        AC::checkConnect(connect(pEdit, &QLineEdit::returnPressed, this, &MainWnd::slSaveClicked),
                         QStringLiteral("connect QLineEdit::returnPressed MainWnd::slSaveClicked err"));
}

void MainWnd::bindController()
{
    using AC = AgentController;
    AC::checkConnect(connect(m_pController, &AC::sigBeginDaemon, this, &MainWnd::sigBeginDaemon),
                     QStringLiteral("connect AgentController::sigBeginDaemon MainWnd::sigBeginDaemon err"));
    AC::checkConnect(connect(m_pController, &AC::sigAppendLog, this, &MainWnd::slAppendLog),
                     QStringLiteral("connect AgentController::sigAppendLog MainWnd::slAppendLog err"));
    AC::checkConnect(
        connect(m_pController, &AC::sigUpdateConnectState, this, &MainWnd::slUpdateConnectState),
        QStringLiteral("connect AgentController::sigUpdateConnectState MainWnd::slUpdateConnectState err"));
    AC::checkConnect(
        connect(m_pController, &AC::sigInventoryScanned, this, &MainWnd::slInventoryScanned),
        QStringLiteral("connect AgentController::sigInventoryScanned MainWnd::slInventoryScanned err"));
    AC::checkConnect(connect(m_pAutoLogin, &AutoLoginMgr::sigSignedIn, this, &MainWnd::slAutoSignedIn),
                     QStringLiteral("connect AutoLoginMgr::sigSignedIn MainWnd::slAutoSignedIn err"));
    AC::checkConnect(
        connect(m_pAutoLogin, &AutoLoginMgr::sigAttemptFailed, this, &MainWnd::slAutoLoginFailed),
        QStringLiteral("connect AutoLoginMgr::sigAttemptFailed MainWnd::slAutoLoginFailed err"));
}

int MainWnd::initIniData()
{
    return m_pController->scanInventory();
}

void MainWnd::slInventoryScanned(int iScanId)
{
    emit sigInventoryScanned(iScanId);
    if (iScanId == m_iStartScanId)
        m_bStartScanDone = true;
    if (iScanId != m_iAnnounceAfterScan)
        return;
    m_iAnnounceAfterScan = 0;
    afterLogin();
}

QString MainWnd::typeText() const
{
    const QString type = simuTypeCbb()->currentText();
    return type == kNoSimuTypeText ? QString() : type;
}

void MainWnd::afterLogin()
{
    m_pController->announceStart(typeText());
}

CCommResult MainWnd::validateSave(bool& typeChanged)
{
    typeChanged = false;
    const QString pathError = QStringLiteral("请选择正确的安卓模拟器安装路径");
    if (simuPathEdit()->text().trimmed().isEmpty())
        return CCommResult::failure(ResultCode::kSaveRefused, pathError);
    if (pcNameEdit()->text().trimmed().isEmpty())
        return CCommResult::failure(ResultCode::kSaveRefused, QStringLiteral("电脑名称为空"));
    const int type = simuTypeCbb()->currentIndex();
    if (type == eProductNone)
        return CCommResult::failure(ResultCode::kSaveRefused, pathError);
    const int storedType = AgentSettings::simuType.value();
    if (storedType != 0 && storedType != type) {
        CCommResult ask;
        ask.str = QStringLiteral("您对“模拟器类型”进行了修改，修改后将重置新的配置，请确认？");
        if (showResult(ask, true).iRet != 1)
            return CCommResult::failure(ResultCode::kSaveCancelled, QStringLiteral("已取消"));
        typeChanged = true;
    }
    std::unique_ptr<SimulatorAbsLauncher> launcher;
    CCommResult ret = CreateLauncher(type, QString(), launcher);
    if (ret.iRet == 0)
        ret = launcher->CheckSimuPath(simuPathEdit()->text().trimmed());
    if (ret.iRet == 0 && !LoginRecord::isLoggedIn())
        ret = CCommResult::failure(ResultCode::kSaveRefused, QStringLiteral("请先登录帐号，绑定设备！"));
    if (ret.iRet != 0) {
        typeChanged = false;
        return ret;
    }
    // The confirmed reset of the watch lists happens only with a save that goes through: a save
    // refused by a later check keeps the old type, and its instances stay watched.
    if (typeChanged) {
        SimuStateStore::instance().setRunningList({});
        SimuStateStore::instance().setWatchList({});
    }
    return CCommResult();
}

bool MainWnd::slSave(bool typeChanged)
{
    const int type = simuTypeCbb()->currentIndex();
    const QString dir = simuPathEdit()->text().trimmed();
    AgentSettings::simuType.set(type);
    AgentSettings::dir.set(dir);
    AgentSettings::setProductDir(type, dir);
    AgentSettings::pcName.set(QHostInfo::localHostName());
    AgentSettings::pcNickName.set(pcNameEdit()->text().trimmed());
    AgentSettings::runLimit.set(runLimitCbb()->currentIndex() + 1);
    // Never more starts at once than instances may run.
    parallelStartsCbb()->setCurrentIndex(
        qMin(parallelStartsCbb()->currentIndex(), runLimitCbb()->currentIndex()));
    AgentSettings::parallelStarts.set(parallelStartsCbb()->currentIndex() + 1);
    AgentSettings::daemonModel.set(daemonCheck()->isChecked() ? 2 : 0);
    saveTrust();
    const QString typeText = simuTypeCbb()->currentText();
    if (typeText != kNoSimuTypeText) {
        m_pController->logOper(
            daemonCheck()->isChecked()
                ? QStringLiteral("当前被控端设置为\"%1-守护模式\",保存成功").arg(typeText)
                : QStringLiteral("当前被控端设置为\"%1-普通模式\",保存成功").arg(typeText));
    }
    if (typeChanged)
        initIniData();
    return true;
}

void MainWnd::saveTrust()
{
    const bool accept = acceptUnsignedCheck()->isChecked();
    if (accept != FarmTrust::acceptUnsigned())
        m_pController->logOper(accept ? QStringLiteral("已打开未签名模式：本机也执行不签名的指令")
                                      : QStringLiteral("已关闭未签名模式：本机只执行签名的指令"));
    FarmTrust::storeAcceptUnsigned(accept);
    trustNotice()->setVisible(accept);
}

void MainWnd::slSaveClicked()
{
    bool typeChanged = false;
    const CCommResult check = validateSave(typeChanged);
    if (check.iRet == ResultCode::kSaveCancelled)
        return; // the user said "取消": nothing more to tell
    if (check.iRet != 0) {
        showResult(check);
        return;
    }
    slSave(typeChanged);
    CCommResult ok;
    ok.log = QStringLiteral("恭喜");
    ok.str = QStringLiteral("保存成功");
    showResult(ok);
}

void MainWnd::slOpenFildDlg()
{
    const QString dir =
        QFileDialog::getExistingDirectory(this, QStringLiteral("选择目录"), simuPathEdit()->text());
    if (!dir.isEmpty())
        simuPathEdit()->setText(QDir::toNativeSeparators(dir));
}

void MainWnd::slSimuTypeCbbChangedIdx(int idx)
{
    QString dir = AgentSettings::productDir(idx);
    if (dir.isEmpty() && idx == eProductMEmu)
        dir = FindMEmuDir();
    else if (dir.isEmpty() && idx == eProductLdPlayer)
        dir = FindLdPlayerDir();
    simuPathEdit()->setText(dir);
}

void MainWnd::slShowDaemoning()
{
    CCommResult help;
    help.str = QStringLiteral("开启守护后，模拟器异常会自动重启模拟器（例：崩溃、无响应、手动关闭等）");
    showResult(help);
}

void MainWnd::slUpdateConnectState(QString state)
{
    stateLabel()->setText(state);
}

void MainWnd::slAppendLog(QString str, int iIsForce)
{
    if (LoginRecord::isLoggedIn() || iIsForce != 0)
        logPane()->append(str);
}

void MainWnd::TrayIconAction(QSystemTrayIcon::ActivationReason reason)
{
    Q_UNUSED(reason);
}

void MainWnd::slSysTrayActived()
{
    activateWindow();
    showNormal();
}

void MainWnd::slSysTrayMenuTriggered(int index)
{
    if (index == 0)
        slSysTrayActived();
    else if (index == 1)
        close();
}

void MainWnd::slClosedFromTitle()
{
    close();
}

void MainWnd::keyPressEvent(QKeyEvent* event)
{
    // Only the window's close and the tray's "退出软件" end the agent.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    MainDlgUI::keyPressEvent(event);
}

void MainWnd::closeEvent(QCloseEvent* event)
{
    shutdown();
    QDialog::closeEvent(event);
}

void MainWnd::shutdown()
{
    m_pController->shutdown();
}

// The remembered last user: with automatic login (and a remembered password) the agent signs in by
// itself, and is bound to the account only once that login succeeds; a failure leaves it unbound
// (it answers no console and runs no command) and is tried again. Without automatic login the
// remembered name alone is taken up, so that the consoles of that user are answered.
void MainWnd::restoreLogin()
{
    LoginStore store;
    store.loadLoginStore();
    QString lastUser;
    QMap<QString, struLoginRecord> records;
    store.getLoginRecords(lastUser, records);
    if (lastUser.isEmpty())
        return;
    const struLoginRecord rec = records.value(lastUser);
    const bool autoLogin = rec.bAutoLogin || AgentSettings::isDefAutoLogin.value();
    if (m_options.autoLogin && autoLogin && !rec.strPwd.isEmpty()) {
        m_pAutoLogin->start(lastUser, rec.strPwd);
        return;
    }
    CLoginRet remembered;
    remembered.strUserName = lastUser;
    bindLogin(remembered);
}

void MainWnd::bindLogin(const CLoginRet& loginRet)
{
    LoginRecord::set(loginRet);
    accountBtn()->setText(loginRet.strUserName);
}

void MainWnd::slAutoSignedIn(const CLoginRet& loginRet)
{
    if (LoginRecord::isLoggedIn())
        return; // signed in by hand meanwhile
    bindLogin(loginRet);
    if (m_pAutoLogin->attempts() > 1)
        m_pController->logOper(QStringLiteral("自动登录成功"));
    // The start announcement names the instances the start-up scan put under watch.
    if (m_bStartScanDone)
        afterLogin();
    else
        m_iAnnounceAfterScan = m_iStartScanId;
}

void MainWnd::slAutoLoginFailed(int iRet, const QString& str, int iRetryInMs)
{
    const QString why = str.isEmpty() ? QStringLiteral("错误码%1").arg(iRet) : str;
    // Forced into the pane: nobody is signed in yet.
    m_pController->logOper(
        iRetryInMs > 0 ? QStringLiteral("自动登录失败（%1），%2秒后重试").arg(why).arg(iRetryInMs / 1000.0)
                       : QStringLiteral("自动登录失败（%1），请点击“%2”重新登录").arg(why, kLoginText),
        1);
}

bool MainWnd::runLoginDialog()
{
    m_pAutoLogin->pause();
    LoginDlg dlg(this, m_options.loginTimings);
    dlg.initialize();
    dlg.exec();
    if (dlg.loginResult() != 0) {
        m_pAutoLogin->resume();
        return false;
    }
    m_pAutoLogin->stop();
    bindLogin(dlg.loginRet());
    return true;
}

void MainWnd::slLogin()
{
    if (!runLoginDialog())
        return;
    m_pController->logOper(QStringLiteral("该设备绑定帐号成功"));
    // The start announcement follows the scan: it names the instances the scan put under watch.
    m_iAnnounceAfterScan = initIniData();
}

void MainWnd::slLogout()
{
    CCommResult ask;
    ask.log = QStringLiteral("请确认");
    ask.str = QStringLiteral("当前账号退出后将无法正常监控，是否需要退出！");
    if (showResult(ask, true).iRet != 1)
        return;
    LoginStore store;
    store.loadLoginStore();
    store.forgetUser(LoginRecord::userName());
    LoginRecord::clear();
    accountBtn()->setText(kLoginText);
    m_pController->logOper(QStringLiteral("当前被控端“帐户注销”成功"));
}

void MainWnd::slAccountClicked()
{
    if (accountBtn()->text() == kLoginText)
        slLogin();
    else
        slLogout();
}
