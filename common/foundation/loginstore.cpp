#include "loginstore.h"

#include "simusettings.h"
#include "xxtea.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QSaveFile>

namespace {
const QString kLastUsrKey = QStringLiteral("lastUsrName");
const QString kRcdPwdKey = QStringLiteral("isRcdPwd");
const QString kAutoLoginKey = QStringLiteral("isAutoLogin");
const QString kPasswordKey = QStringLiteral("password");
} // namespace

LoginStore::LoginStore(const QString& filePath) : m_filePath(filePath.isEmpty() ? defaultPath() : filePath) {}

QString LoginStore::defaultPath()
{
    return QDir(SimuSettings::dataDir()).filePath(QStringLiteral("data.data"));
}

void LoginStore::loadLoginStore()
{
    m_doc = QJsonDocument();
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return; // no stored logins yet
    }
    const QByteArray cipher = file.readAll();
    file.close();
    if (cipher.isEmpty()) {
        return;
    }
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(xxteaDecrypt(cipher, toviaStoreKey()), &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject()) {
        qWarning() << "json解析失败" << m_filePath << err.errorString();
        return;
    }
    m_doc = doc;
}

void LoginStore::getLoginRecords(QString& strLastUsr, QMap<QString, struLoginRecord>& records) const
{
    strLastUsr.clear();
    records.clear();
    const QJsonObject root = m_doc.object();
    for (auto it = root.begin(); it != root.end(); ++it) {
        const QJsonObject entry = it.value().toObject();
        if (it.key() == kLastUsrKey) {
            strLastUsr = entry.value(kLastUsrKey).toString();
            continue;
        }
        struLoginRecord rec;
        rec.strUsrName = it.key();
        rec.strPwd = entry.value(kPasswordKey).toString();
        rec.bRcdPwd = entry.value(kRcdPwdKey).toBool();
        rec.bAutoLogin = entry.value(kAutoLoginKey).toBool();
        records.insert(rec.strUsrName, rec);
    }
}

bool LoginStore::saveLoginRecord(const struLoginRecord& rec)
{
    if (rec.strUsrName.isEmpty() || rec.strUsrName == kLastUsrKey) {
        qWarning() << "LoginStore: refusing to store a login under the name" << rec.strUsrName;
        return false;
    }
    QJsonObject root = m_doc.object();
    QJsonObject entry;
    entry.insert(kRcdPwdKey, rec.bRcdPwd);
    entry.insert(kAutoLoginKey, rec.bAutoLogin);
    entry.insert(kPasswordKey, rec.bRcdPwd ? rec.strPwd : QString());
    root.insert(rec.strUsrName, entry);
    m_doc.setObject(root);
    return writeFile();
}

bool LoginStore::setLastUser(const struLoginRecord& rec)
{
    QJsonObject root = m_doc.object();
    root.insert(kLastUsrKey, QJsonObject{{kLastUsrKey, rec.strUsrName}});
    m_doc.setObject(root);
    return saveLoginRecord(rec);
}

bool LoginStore::forgetUser(const QString& strUsrName)
{
    QJsonObject root = m_doc.object();
    if (root.value(kLastUsrKey).toObject().value(kLastUsrKey).toString() == strUsrName)
        root.insert(kLastUsrKey, QJsonObject{{kLastUsrKey, QString()}});
    m_doc.setObject(root);
    struLoginRecord forgotten;
    forgotten.strUsrName = strUsrName;
    return saveLoginRecord(forgotten); // no password, no automatic login
}

QString LoginStore::readLastUserName(const QString& filePath)
{
    LoginStore store(filePath);
    store.loadLoginStore();
    QString strLast;
    QMap<QString, struLoginRecord> records;
    store.getLoginRecords(strLast, records);
    return strLast;
}

bool LoginStore::writeFile() const
{
    const QByteArray cipher = xxteaEncrypt(m_doc.toJson(QJsonDocument::Indented), toviaStoreKey());
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(cipher) != cipher.size() || !file.commit()) {
        qWarning() << "LoginStore: cannot write" << m_filePath << file.errorString();
        return false;
    }
    return true;
}

bool LoginStore::rememberForAutoLogin(const QString& user, const QString& password, const QString& filePath)
{
    struLoginRecord rec;
    rec.strUsrName = user;
    rec.strPwd = password;
    rec.bRcdPwd = true;
    rec.bAutoLogin = true;
    LoginStore store(filePath);
    store.loadLoginStore();
    return store.setLastUser(rec);
}
