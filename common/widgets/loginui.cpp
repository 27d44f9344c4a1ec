#include "loginui.h"

#include "loginretry.h"
#include "logintitle.h"
#include "resultdisplay.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QThread>

namespace {
const char* const kLoginBtnStyle =
    "QPushButton{color:white;background-color:rgb(9,151,247);border-radius:8px;}        "
    "QPushButton:hover{color:white;background-color:rgb(63,72,204);border-radius:8px;}";
constexpr int kMarginColumnWidth = 50;
constexpr int kInputHeight = 34;
} // namespace

LoginUI::LoginUI(QWidget* parent, const struLoginTimings& timings) : QDialog(parent), m_timings(timings)
{
    LoginObj::registerMetaTypes();
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setFixedSize(360, 300);
}

LoginUI::~LoginUI()
{
    if (m_pLoginThread) {
        // A request in flight ends at once; the worker then drops its answer (nobody would free it).
        m_pLoginThread->requestInterruption();
        m_pLoginThread->quit();
        m_pLoginThread->wait();
        delete m_pLoginThread;
    }
}

void LoginUI::initialize()
{
    if (m_bInitialized) {
        return;
    }
    m_bInitialized = true;
    initUI();
}

void LoginUI::showEvent(QShowEvent* event)
{
    initialize();
    QDialog::showEvent(event);
}

void LoginUI::initUI()
{
    setBkgStyle();
    setTitleAndIcon();
    createWidgets();
    loadLoginRecords();
    layoutWidgets();
    startLoginWorker();
    setInputsEnabled(true);
}

void LoginUI::setBkgStyle()
{
    setObjectName(QStringLiteral("LoginUIThis"));
    setStyleSheet(QStringLiteral("LoginUI#LoginUIThis{background-image:url(:/res/Login/LoginBkg.png);}"));
}

void LoginUI::setTitleAndIcon()
{
    setWindowTitle(QStringLiteral("Tovia模拟器被控端"));
    setWindowIcon(QIcon(QStringLiteral(":/res/logo.ico")));
}

void LoginUI::createWidgets()
{
    m_pTitle = new LoginTitle(this);
    m_pTitle->setTitle(windowTitle());
    connect(m_pTitle, &LoginTitle::sigMinimize, this, &QWidget::showMinimized);
    connect(m_pTitle, &LoginTitle::sigClose, this, &QDialog::reject);

    m_pCbbUsr = new QComboBox(this);
    m_pCbbUsr->setEditable(true);
    m_pCbbUsr->lineEdit()->setPlaceholderText(QStringLiteral("用 户 名"));
    m_pCbbUsr->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]+$")), m_pCbbUsr));
    m_pCbbUsr->setInsertPolicy(QComboBox::NoInsert);
    m_pCbbUsr->setMinimumHeight(kInputHeight);
    // Enter in the user name goes on to the password (Enter there signs in).
    connect(m_pCbbUsr->lineEdit(), &QLineEdit::returnPressed, this, [this] { m_pLePwd->setFocus(); });

    m_pLePwd = new QLineEdit(this);
    m_pLePwd->setPlaceholderText(QStringLiteral("密 码"));
    m_pLePwd->setEchoMode(QLineEdit::Password);
    m_pLePwd->setTextMargins(2, 0, 0, 0);
    m_pLePwd->setMinimumHeight(kInputHeight);
    connect(m_pLePwd, &QLineEdit::returnPressed, this, &LoginUI::slLogin);

    m_pCkbAutoLogin = new QCheckBox(QStringLiteral("自动登录"), this);
    m_pCkbRcdPwd = new QCheckBox(QStringLiteral("记住密码"), this);

    m_pBtnLogin = new QPushButton(QStringLiteral("登 录"), this);
    m_pBtnLogin->setStyleSheet(QLatin1String(kLoginBtnStyle));
    m_pBtnLogin->setAutoDefault(false);
    m_pBtnLogin->setMinimumHeight(kInputHeight);
    connect(m_pBtnLogin, &QPushButton::clicked, this, &LoginUI::slLogin);

    m_pLblStatus = new QLabel(this);
    m_pLblStatus->setWordWrap(true);
    m_pLblStatus->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_pLblStatus->setStyleSheet(QStringLiteral("QLabel{color:rgb(230,60,60);}"));

    m_pRetry = new LoginRetry(m_timings.iAutoLoginRetryMs, this);
    if (!connect(m_pRetry, &LoginRetry::sigRetryDue, this, &LoginUI::slAutoLoginCalled)) {
        qWarning() << "connect LoginRetry::sigRetryDue LoginUI::slAutoLoginCalled err";
    }

    setInputsEnabled(false); // until the dialog is complete
}

void LoginUI::fillFromLoginRecord(const struLoginRecord& rec)
{
    m_pLePwd->setText(rec.strPwd);
    m_pCkbRcdPwd->setChecked(rec.bRcdPwd);
    m_pCkbAutoLogin->setChecked(rec.bAutoLogin);
}

void LoginUI::loadLoginRecords()
{
    LoginStore store;
    store.loadLoginStore();
    QString strLastUsr;
    store.getLoginRecords(strLastUsr, m_records);
    for (auto it = m_records.cbegin(); it != m_records.cend(); ++it) {
        m_pCbbUsr->addItem(it.key());
    }
    const int idx = m_pCbbUsr->findText(strLastUsr);
    if (idx >= 0) {
        m_pCbbUsr->setCurrentIndex(idx);
        fillFromLoginRecord(m_records.value(strLastUsr));
    } else {
        m_pCbbUsr->setCurrentIndex(-1);
        m_pCbbUsr->setEditText(QString());
    }
    const auto conn = connect(m_pCbbUsr, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                              [this](int index) { slCbbUsrIdxChanged(m_pCbbUsr->itemText(index)); });
    if (!conn) {
        qWarning() << "connect QComboBox::currentIndexChanged QComboBox::slCbbUsrIdxChanged err";
    }
}

void LoginUI::layoutWidgets()
{
    auto* grid = new QGridLayout(this);
    grid->setSpacing(0);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(m_pTitle, 0, 0, 1, 4);
    grid->setRowMinimumHeight(1, 70);
    grid->addWidget(m_pCbbUsr, 2, 1, 1, 2);
    grid->addWidget(m_pLePwd, 3, 1, 1, 2);
    grid->addWidget(m_pCkbAutoLogin, 4, 1);
    grid->addWidget(m_pCkbRcdPwd, 4, 2, Qt::AlignRight);
    grid->setRowMinimumHeight(4, 30);
    grid->addWidget(m_pBtnLogin, 5, 1, 1, 2);
    grid->addWidget(m_pLblStatus, 6, 1, 1, 2);
    grid->setRowStretch(6, 1);
    grid->setColumnMinimumWidth(0, kMarginColumnWidth);
    grid->setColumnMinimumWidth(3, kMarginColumnWidth);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);
}

void LoginUI::startLoginWorker()
{
    m_pLoginThread = new QThread;
    m_pLoginObj = new LoginObj(m_timings);
    m_pLoginObj->moveToThread(m_pLoginThread);
    connect(m_pLoginThread, &QThread::finished, m_pLoginObj, &QObject::deleteLater);
    if (!connect(m_pLoginThread, &QThread::started, m_pLoginObj, &LoginObj::Wait2CallLogin)) {
        qWarning() << "connect QThread::started LoginObj::Wait2CallLogin err";
    }
    if (!connect(m_pLoginObj, &LoginObj::BeginAutoLogin, this, &LoginUI::slAutoLoginCalled)) {
        qWarning() << "connect LoginObj::BeginAutoLogin LoginClient::StartAutoLogin err";
    }
    if (!connect(this, &LoginUI::sigLogin, m_pLoginObj, &LoginObj::slLogin, Qt::QueuedConnection)) {
        qWarning()
            << "connect SIGNAL(sigLogin(QString ,QString ,int )) SLOT(slLogin(QString,QString,int)) err";
    }
    if (!connect(m_pLoginObj, &LoginObj::sigLoginFinished, this, &LoginUI::slLoginObjReplyFinished,
                 Qt::QueuedConnection)) {
        qWarning()
            << "connect SIGNAL(sigLoginFinished(CCommResult)) SLOT(slLoginObjReplyFinished(CCommResult)) err";
    }
    if (!connect(m_pLoginObj, &LoginObj::sigTick, this, &LoginUI::slLoginTick)) {
        qWarning() << "connect LoginObj::sigTick LoginClient::slLoginTick err";
    }
    m_pLoginThread->start(QThread::InheritPriority);
}

void LoginUI::setInputsEnabled(bool enabled)
{
    for (QWidget* w : {static_cast<QWidget*>(m_pCbbUsr), static_cast<QWidget*>(m_pLePwd),
                       static_cast<QWidget*>(m_pCkbAutoLogin), static_cast<QWidget*>(m_pCkbRcdPwd),
                       static_cast<QWidget*>(m_pBtnLogin)}) {
        if (w) {
            w->setEnabled(enabled);
        }
    }
}

void LoginUI::slLogin()
{
    startLogin(false);
}

void LoginUI::startLogin(bool automatic)
{
    if (m_bPending) {
        return;
    }
    const QString strUsr = m_pCbbUsr->currentText();
    const QString strPwd = m_pLePwd->text();
    m_strBtnText = m_pBtnLogin->text();
    const auto missing = [this](const QString& text) {
        if (m_missingParamBox) {
            m_missingParamBox(QStringLiteral("缺少参数"), text);
        } else {
            QMessageBox::information(this, QStringLiteral("缺少参数"), text);
        }
    };
    if (strUsr.isEmpty()) {
        missing(QStringLiteral("请输入用户名"));
        return;
    }
    if (strPwd.isEmpty()) {
        missing(QStringLiteral("请输入密码"));
        return;
    }
    if (!automatic) {
        m_pRetry->cancel(); // the user takes over
    }
    m_bAutoAttempt = automatic;
    m_pLblStatus->clear();
    m_strPendingUsr = strUsr;
    m_strPendingPwd = strPwd;
    m_iTick = 0;
    emit sigLogin(strUsr, strPwd, 0);
    m_bPending = true;
    setInputsEnabled(false);
}

void LoginUI::slAutoLoginCalled()
{
    qDebug() << "StartAutoLogin";
    if (m_iLoginResult == 0) {
        return; // signed in by hand before the delay ran out
    }
    if (m_pCkbAutoLogin->isChecked() && !m_pLePwd->text().isEmpty() && !m_pCbbUsr->currentText().isEmpty()) {
        qDebug() << "begin auto login";
        startLogin(true);
    }
}

void LoginUI::slLoginTick()
{
    if (!m_bPending) {
        return;
    }
    m_pBtnLogin->setText(m_strBtnText + QString(m_iTick % 4, QLatin1Char('.')));
    ++m_iTick;
}

void LoginUI::slLoginObjReplyFinished(CCommResult* cRet, CLoginRet* pLoginRet)
{
    setInputsEnabled(true);
    m_bPending = false;
    m_pBtnLogin->setText(m_strBtnText);
    if (cRet->iRet != 0) {
        showLoginFailure(*cRet);
        delete cRet;
        delete pLoginRet;
        return;
    }
    m_pRetry->cancel();
    m_loginRet = *pLoginRet;
    delete cRet;
    delete pLoginRet;
    m_loginRet.strUserName = m_strPendingUsr;
    m_loginRet.strPassword = m_strPendingPwd;
    m_iLoginResult = 0;
    LoginRecord::set(m_loginRet);
    rememberLogin();
    qDebug() << "login succeeded:" << m_loginRet.strUserName << "userid" << m_loginRet.strUserId;
    accept();
}

// An automatic login that found no service is tried again later (when the retry is on); the window
// says so. Every other failure is shown in the result box.
void LoginUI::showLoginFailure(const CCommResult& failure)
{
    if (m_bAutoAttempt && m_bRetryAutoLogin && m_pRetry->scheduleAfter(failure)) {
        m_pLblStatus->setText(
            QStringLiteral("%1，%2秒后自动重试").arg(failure.str).arg(m_pRetry->periodMs() / 1000));
        return;
    }
    showResult(failure);
}

void LoginUI::rememberLogin()
{
    struLoginRecord rec;
    rec.strUsrName = m_strPendingUsr;
    rec.bRcdPwd = m_pCkbRcdPwd->isChecked();
    rec.bAutoLogin = m_pCkbAutoLogin->isChecked();
    rec.strPwd = rec.bRcdPwd ? m_strPendingPwd : QString();
    LoginStore store;
    store.loadLoginStore();
    store.setLastUser(rec);
}

void LoginUI::slCbbUsrIdxChanged(QString strUsr)
{
    const auto it = m_records.constFind(strUsr);
    if (it != m_records.constEnd()) {
        fillFromLoginRecord(it.value());
    }
}
