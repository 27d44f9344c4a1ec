#pragma once

#include <QByteArray>
#include <QString>

// The outcome of a login, a value record copied between threads.
struct CLoginRet
{
    QString strReserved;  // not filled by the login
    int iTotals = 0;      // "totals" of the reply
    QString strUserId;    // "userid" of the reply, in decimal
    QString strUserName;  // user name as typed
    QString strToken;     // "token" of the reply
    QString strPassword;  // password as typed
    int iVipInfoId = 0;   // "vipinfoid" of the reply
    int iLoginType = 0;   // login type passed with the request
    int iReserved = 0;    // not filled by the login
    QString strNickName;  // "nickname" of the reply
    QByteArray baFarmKey; // derived from the typed password at login (farmkey.h); never stored
};

// The process-wide login record: who is signed in. Read from every thread (the discovery responder
// and the command server compare user names with it); written by the login dialog and the logout.
namespace LoginRecord {
CLoginRet current();
QString userName(); // empty while nobody is signed in
bool isLoggedIn();
// The farm key of the signed-in account; empty while nobody is signed in (or after a login that
// restored only the user name).
QByteArray farmKey();
void set(const CLoginRet& ret);
void clear();
} // namespace LoginRecord
