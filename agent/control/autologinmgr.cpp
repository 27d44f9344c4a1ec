#include "autologinmgr.h"

#include "workerthread.h"

#include <QDebug>
#include <QThread>
#include <QTimer>

AutoLoginMgr::AutoLoginMgr(const struLoginTimings& timings, int iRetryMs, QObject* parent)
    : QObject(parent), m_timings(timings), m_iRetryMs(iRetryMs), m_pRetryTimer(new QTimer(this))
{
    m_pRetryTimer->setSingleShot(true);
    if (!connect(m_pRetryTimer, &QTimer::timeout, this, &AutoLoginMgr::tryLogin))
        qWarning() << "connect QTimer::timeout AutoLoginMgr::tryLogin err";
}

AutoLoginMgr::~AutoLoginMgr()
{
    if (!m_pThread)
        return;
    // A request in flight ends at once; the worker then drops its answer.
    m_pThread->requestInterruption();
    m_pThread->quit();
    if (!m_pThread->wait(m_timings.iRequestTimeoutMs + 5000))
        qWarning() << "AutoLoginMgr: login thread did not end in time";
}

void AutoLoginMgr::startWorker()
{
    m_pLoginObj = new LoginObj(m_timings);
    m_pThread = newWorkerThread(m_pLoginObj, SLOT(Wait2CallLogin()),
                                QStringLiteral("connect QThread::started LoginObj::Wait2CallLogin err"));
    if (!connect(m_pLoginObj, &LoginObj::BeginAutoLogin, this, &AutoLoginMgr::slBeginAutoLogin))
        qWarning() << "connect LoginObj::BeginAutoLogin AutoLoginMgr::slBeginAutoLogin err";
    if (!connect(this, &AutoLoginMgr::sigLogin, m_pLoginObj, &LoginObj::slLogin, Qt::QueuedConnection))
        qWarning() << "connect AutoLoginMgr::sigLogin LoginObj::slLogin err";
    if (!connect(m_pLoginObj, &LoginObj::sigLoginFinished, this, &AutoLoginMgr::slLoginFinished,
                 Qt::QueuedConnection))
        qWarning() << "connect LoginObj::sigLoginFinished AutoLoginMgr::slLoginFinished err";
    m_pThread->start(QThread::InheritPriority);
}

void AutoLoginMgr::start(const QString& strUsr, const QString& strPwd)
{
    m_strUsr = strUsr;
    m_strPwd = strPwd;
    m_bActive = true;
    m_bPaused = false;
    if (!m_pThread)
        startWorker();
    else if (m_bDelayOver)
        tryLogin();
}

void AutoLoginMgr::pause()
{
    m_bPaused = true;
    m_pRetryTimer->stop();
}

void AutoLoginMgr::resume()
{
    m_bPaused = false;
    if (m_bActive && m_bDelayOver && !m_bPending)
        tryLogin();
}

void AutoLoginMgr::stop()
{
    m_bActive = false;
    m_pRetryTimer->stop();
}

void AutoLoginMgr::slBeginAutoLogin()
{
    m_bDelayOver = true;
    tryLogin();
}

void AutoLoginMgr::tryLogin()
{
    if (!m_bActive || m_bPaused || m_bPending)
        return;
    m_bPending = true;
    ++m_iAttempts;
    qInfo().noquote() << "AutoLoginMgr: automatic login of" << m_strUsr << "attempt" << m_iAttempts;
    emit sigLogin(m_strUsr, m_strPwd, 0);
}

bool AutoLoginMgr::worthRetrying(int iRet)
{
    return iRet != LoginCode::Refused;
}

void AutoLoginMgr::slLoginFinished(CCommResult* pRet, CLoginRet* pLoginRet)
{
    m_bPending = false;
    const CCommResult ret = *pRet;
    CLoginRet loginRet = *pLoginRet;
    delete pRet;
    delete pLoginRet;
    if (!m_bActive || m_bPaused)
        return; // stopped, or the user is logging in by hand meanwhile
    if (ret.iRet == 0) {
        m_bActive = false;
        loginRet.strUserName = m_strUsr;
        loginRet.strPassword = m_strPwd;
        qInfo().noquote() << "AutoLoginMgr: signed in as" << m_strUsr << "at attempt" << m_iAttempts;
        emit sigSignedIn(loginRet);
        return;
    }
    const int retryInMs = worthRetrying(ret.iRet) ? m_iRetryMs : 0;
    qWarning().noquote() << "AutoLoginMgr: automatic login of" << m_strUsr << "failed:" << ret.iRet << ret.str
                         << ret.log
                         << (retryInMs > 0 ? QStringLiteral("retry in %1 ms").arg(retryInMs)
                                           : QStringLiteral("no retry"));
    if (retryInMs > 0)
        m_pRetryTimer->start(retryInMs);
    else
        m_bActive = false;
    emit sigAttemptFailed(ret.iRet, ret.str, retryInMs);
}
