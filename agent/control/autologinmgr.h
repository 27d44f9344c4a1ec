#pragma once

#include "commresult.h"
#include "loginobj.h"
#include "loginret.h"

#include <QObject>
#include <QString>

class QThread;
class QTimer;

// The agent's automatic login at start-up, without a window: the stored user and password go to a
// login worker on a thread of its own once its delay is over. A login that fails for want of an
// answer (the account service down, the network not up yet) is tried again every retry period; a
// refusal by the service is not (a wrong password stays wrong, and every try counts against the
// account). Nothing is bound here: the owner binds the PC on sigSignedIn only.
class AutoLoginMgr : public QObject
{
    Q_OBJECT
public:
    static constexpr int kRetryMs = 30000;

    explicit AutoLoginMgr(const struLoginTimings& timings, int iRetryMs = kRetryMs,
                          QObject* parent = nullptr);
    ~AutoLoginMgr() override;

    // The first try follows the worker's automatic-login delay.
    void start(const QString& strUsr, const QString& strPwd);
    // While the user logs in by hand: answers that arrive meanwhile are dropped, no try is made.
    void pause();
    // Tries again at once unless stopped.
    void resume();
    void stop();
    bool isActive() const { return m_bActive; }
    int attempts() const { return m_iAttempts; }

signals:
    void sigSignedIn(CLoginRet loginRet);
    // A try failed; iRetryInMs is when the next one follows, 0 when none does.
    void sigAttemptFailed(int iRet, QString str, int iRetryInMs);
    void sigLogin(QString strUsr, QString strPwd, int iLoginType);

private:
    void startWorker();
    void tryLogin();
    void slBeginAutoLogin();
    void slLoginFinished(CCommResult* pRet, CLoginRet* pLoginRet);
    static bool worthRetrying(int iRet);

    struLoginTimings m_timings;
    int m_iRetryMs;
    QThread* m_pThread = nullptr;
    LoginObj* m_pLoginObj = nullptr;
    QTimer* m_pRetryTimer = nullptr;
    QString m_strUsr;
    QString m_strPwd;
    bool m_bActive = false;
    bool m_bPaused = false;
    bool m_bPending = false;
    bool m_bDelayOver = false;
    int m_iAttempts = 0;
};
