#pragma once

#include "accountdb.h"

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
class AccountService
{
public:
    AccountService(AccountDb& db, const QByteArray& payloadKey);

    // params: the decoded query parameters.
    struActAnswer handleAct(const QMap<QString, QString>& params);
    static struActAnswer notFound(const QString& path);

    // Result codes of a refusal (ResultCode texts other than "0").
    static constexpr int kBadCredentials = 1001;
    static constexpr int kBadRequest = 400;
    static constexpr int kNotFound = 404;
    static constexpr int kServerError = 500;

private:
    struActAnswer login(const QMap<QString, QString>& params);
    QByteArray payload(const struAccount& acc, const QString& token, bool loadProduct) const;
    static struActAnswer refusal(int status, int code, const QString& message, const QString& note);

    AccountDb& m_db;
    QByteArray m_payloadKey;
};
