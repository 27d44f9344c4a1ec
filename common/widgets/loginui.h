#pragma once

#include "commresult.h"
#include "loginobj.h"
#include "loginret.h"
#include "loginstore.h"

#include <QDialog>
#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QThread;
class LoginTitle;
class LoginRetry;

// The login dialog shared by both programs (the agent's LoginDlg and the console's CenterLoginWnd
// specialise it). Use:
//
//     LoginDlg dlg;               // or CenterLoginWnd
//     dlg.exec();                 // builds itself on first show; may log in automatically
//     if (dlg.loginResult() == 0) // signed in: dlg.loginRet() holds the login, and the
//         ...                     // process-wide LoginRecord has been set to it
//
// The HTTP request runs in LoginObj on a thread of the dialog's own. After a successful login the
// dialog remembers it in the stored logins (LoginStore: the user, the password when "记住密码" is
// ticked, both check boxes, and the user as the last user) and closes with QDialog::Accepted.
// Three seconds after start-up LoginObj emits BeginAutoLogin; when "自动登录" is ticked and user name
// and password are filled (from the stored login) the dialog logs in by itself. With the automatic
// login retry on (setAutoLoginRetry; the console's window has it), an automatic login that finds no
// service is tried again every 30 s (LoginRetry) and the window says so instead of showing a box.
class LoginUI : public QDialog
{
    Q_OBJECT
public:
    explicit LoginUI(QWidget* parent = nullptr, const struLoginTimings& timings = struLoginTimings());
    ~LoginUI() override;

    // Builds the dialog and starts the worker; runs once (the first show calls it when needed).
    void initialize();

    int loginResult() const { return m_iLoginResult; } // -1 until a login succeeded, then 0
    CLoginRet loginRet() const { return m_loginRet; }
    bool isLoginPending() const { return m_bPending; }

    // The box for a missing user name or password (title, text); replaceable for tests.
    using MissingParamBoxFn = std::function<void(const QString& title, const QString& text)>;
    void setMissingParamBox(MissingParamBoxFn fn) { m_missingParamBox = std::move(fn); }

    QComboBox* usrComboBox() const { return m_pCbbUsr; }
    QLineEdit* pwdLineEdit() const { return m_pLePwd; }
    QCheckBox* autoLoginCheckBox() const { return m_pCkbAutoLogin; }
    QCheckBox* rcdPwdCheckBox() const { return m_pCkbRcdPwd; }
    QPushButton* loginButton() const { return m_pBtnLogin; }
    QLabel* statusLabel() const { return m_pLblStatus; }

    void setAutoLoginRetry(bool on) { m_bRetryAutoLogin = on; }
    LoginRetry* autoLoginRetry() const { return m_pRetry; }

signals:
    void sigLogin(QString strUsr, QString strPwd, int iLoginType);

public slots:
    void slLogin();
    void slAutoLoginCalled();
    void slLoginTick();
    void slLoginObjReplyFinished(CCommResult* cRet, CLoginRet* pLoginRet);
    void slCbbUsrIdxChanged(QString strUsr);

protected:
    virtual void initUI();
    virtual void setBkgStyle();
    virtual void setTitleAndIcon();
    virtual void createWidgets();
    virtual void fillFromLoginRecord(const struLoginRecord& rec);
    virtual void loadLoginRecords();
    virtual void layoutWidgets();
    virtual void startLoginWorker();

    void showEvent(QShowEvent* event) override;
    void setInputsEnabled(bool enabled);
    void rememberLogin();
    void startLogin(bool automatic);
    void showLoginFailure(const CCommResult& failure);

    QComboBox* m_pCbbUsr = nullptr;
    QLineEdit* m_pLePwd = nullptr;
    QCheckBox* m_pCkbAutoLogin = nullptr;
    QCheckBox* m_pCkbRcdPwd = nullptr;
    QPushButton* m_pBtnLogin = nullptr;
    QLabel* m_pLblStatus = nullptr;
    LoginTitle* m_pTitle = nullptr;
    LoginRetry* m_pRetry = nullptr;
    QThread* m_pLoginThread = nullptr;
    LoginObj* m_pLoginObj = nullptr;

    CLoginRet m_loginRet;
    int m_iLoginResult = -1;
    bool m_bPending = false;
    int m_iTick = 0;
    QString m_strBtnText;

private:
    struLoginTimings m_timings;
    bool m_bInitialized = false;
    bool m_bRetryAutoLogin = false;
    bool m_bAutoAttempt = false; // the pending login was started by the automatic login
    QString m_strPendingUsr;
    QString m_strPendingPwd;
    QMap<QString, struLoginRecord> m_records;
    MissingParamBoxFn m_missingParamBox;
};
