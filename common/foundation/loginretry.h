#pragma once

#include "commresult.h"

#include <QObject>
#include <QTimer>

// Tries a failed automatic login again while the account service cannot be reached: no answer
// (49), an empty answer or no connection at all (48). A refusal by the service (wrong password, an
// answer that proves nothing, an untrusted certificate) is final and not tried again. Every failure
// and every planned try is logged.
//
//     LoginRetry retry;                          // lives on the thread that logs in
//     connect(&retry, &LoginRetry::sigRetryDue, this, &Me::slTryAutoLoginAgain);
//     ...
//     if (!retry.scheduleAfter(failure))         // after a failed automatic login
//         showResult(failure);                   // final: tell the user
//     retry.cancel();                            // a manual login, a success, or the window closes
class LoginRetry : public QObject
{
    Q_OBJECT
public:
    static constexpr int kDefaultPeriodMs = 30000;

    explicit LoginRetry(int periodMs = kDefaultPeriodMs, QObject* parent = nullptr);

    static bool isRetryable(const CCommResult& failure);

    // Plans the next try when the failure is retryable; false (nothing planned) otherwise.
    bool scheduleAfter(const CCommResult& failure);
    void cancel();

    bool isScheduled() const { return m_timer.isActive(); }
    int failures() const { return m_iFailures; } // retryable failures since the last cancel
    int periodMs() const { return m_timer.interval(); }

signals:
    void sigRetryDue();

private:
    QTimer m_timer;
    int m_iFailures = 0;
};
