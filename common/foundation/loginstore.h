#pragma once

#include <QJsonDocument>
#include <QMap>
#include <QString>

// One stored login, keyed by the user name.
struct struLoginRecord
{
    QString strUsrName;
    QString strPwd;          // empty unless the password is remembered
    bool bRcdPwd = false;    // "记住密码"
    bool bAutoLogin = false; // "自动登录"
};

// The stored logins "data.data" of the data directory: an indented JSON document, XXTEA-encrypted
// with the store key, written and read as raw bytes.
//
//   { "lastUsrName": { "lastUsrName": "<name>" },
//     "<name>": { "isRcdPwd": bool, "isAutoLogin": bool, "password": "<text or empty>" }, ... }
//
// The object keeps the parsed document between the calls. The file is a stored file (storedfile.h):
// owner-only, written so that a failed write keeps the previous logins, and an empty or
// undecryptable file is read from its backup "data.data.bak". With neither readable there are no
// stored logins; the next save writes a new file.
class LoginStore
{
public:
    // An empty path means "data.data" in the data directory (SimuSettings::dataDir()).
    explicit LoginStore(const QString& filePath = QString());

    static QString defaultPath();
    QString filePath() const { return m_filePath; }

    void loadLoginStore();
    // The last user's name and every stored entry, ordered by user name.
    void getLoginRecords(QString& strLastUsr, QMap<QString, struLoginRecord>& records) const;
    // Puts the entry into the document (replacing an earlier one) and writes the file.
    bool saveLoginRecord(const struLoginRecord& rec);
    // Makes the entry's user the last user, then saves the entry.
    bool setLastUser(const struLoginRecord& rec);

    // A logout: the user keeps its entry (so the name stays in the list) but loses its password and
    // automatic login, and is no longer the last user.
    bool forgetUser(const QString& strUsrName);

    // Provisioning a PC (the programs' --remember-login USER PASSWORD): the user's stored login with
    // the password remembered and automatic login on, as the last user, so that the program signs in
    // by itself at this and every later start.
    static bool rememberForAutoLogin(const QString& user, const QString& password,
                                     const QString& filePath = QString());

    // Convenience for start-up code that only needs the last user (the agent's discovery filter).
    static QString readLastUserName(const QString& filePath = QString());

private:
    bool writeFile() const;

    QString m_filePath;
    QJsonDocument m_doc;
};
