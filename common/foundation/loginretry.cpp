#include "loginretry.h"

#include "loginobj.h"

#include <QDebug>

LoginRetry::LoginRetry(int periodMs, QObject* parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(periodMs);
    if (!connect(&m_timer, &QTimer::timeout, this, &LoginRetry::sigRetryDue))
        qWarning() << "connect QTimer::timeout LoginRetry::sigRetryDue err";
}

bool LoginRetry::isRetryable(const CCommResult& failure)
{
    return failure.iRet == LoginCode::EmptyReply || failure.iRet == LoginCode::Timeout;
}

bool LoginRetry::scheduleAfter(const CCommResult& failure)
{
    if (!isRetryable(failure)) {
        qWarning().noquote() << "automatic login failed for good:" << failure.iRet << failure.str
                             << failure.log;
        return false;
    }
    ++m_iFailures;
    qWarning().noquote() << "automatic login failed" << m_iFailures
                         << "time(s) (" + QString::number(failure.iRet) << failure.str + ";"
                         << failure.log + "): next try in" << m_timer.interval() / 1000.0 << "s";
    m_timer.start();
    return true;
}

void LoginRetry::cancel()
{
    if (m_timer.isActive())
        qDebug() << "automatic login: planned try cancelled after" << m_iFailures << "failure(s)";
    m_timer.stop();
    m_iFailures = 0;
}
