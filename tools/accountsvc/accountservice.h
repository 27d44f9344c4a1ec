#pragma once

#include "accountdb.h"
#include "loginthrottle.h"

#include <QByteArray>
#include <QMap>
#include <QString>

// The answer to one request: HTTP status, JSON body, and a short note for the request log.
struct struActAnswer
{
    int status = 200;
    QByteArray body;
    QString note;
};

// The account web API "/api/act.aspx". qt=5001 is the login:
//   ?qt=5001&account=NAME&password=PASSWORD&loadproduct=0|1
// Every answer is a JSON object {"ResultCode": "<code>", "ResultMessage": "<text>"}; a successful
// login has ResultCode "0" and "Data": base64 of the XXTEA-encrypted payload (payload key).
// Failed logins slow down further tries of the account and of the client's address (LoginThrottle).
class AccountService
{
public:
    AccountService(AccountDb& db, const QByteArray& payloadKey,
                   const struThrottlePolicy& throttle = struThrottlePolicy());

    // params: the decoded query parameters; address: the client's, for the failure throttle.
    struActAnswer handleAct(const QMap<QString, QString>& params, const QString& address);
    static struActAnswer notFound(const QString& path);

    // Result codes of a refusal (ResultCode texts other than "0").
    static constexpr int kBadCredentials = 1001;
    static constexpr int kTooManyFailures = 1002; // locked after repeated failures, HTTP 429
    static constexpr int kBadRequest = 400;
    static constexpr int kNotFound = 404;
    static constexpr int kServerError = 500;

private:
    struActAnswer login(const QMap<QString, QString>& params, const QString& address);
    QByteArray payload(const struAccount& acc, const QString& token, bool loadProduct) const;
    static struActAnswer refusal(int status, int code, const QString& message, const QString& note);

    AccountDb& m_db;
    QByteArray m_payloadKey;
    LoginThrottle m_throttle;
};
