#include "loginstore.h"

#include "simusettings.h"
#include "storedfile.h"
#include "xxtea.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>

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

namespace {
QJsonDocument decryptDocument(const QByteArray& cipher, QJsonParseError* err = nullptr)
{
    return QJsonDocument::fromJson(xxteaDecrypt(cipher, toviaStoreKey()), err);
}

// A stored login file is usable when it decrypts to a JSON object.
bool isLoginDocument(const QByteArray& cipher)
{
    return decryptDocument(cipher).isObject();
}
} // namespace

void LoginStore::loadLoginStore()
{
    m_doc = QJsonDocument();
    // An empty or damaged file falls back to the backup of the previous write.
    const QByteArray cipher = StoredFile::read(m_filePath, isLoginDocument);
    if (cipher.isEmpty()) {
        if (QFileInfo(m_filePath).size() > 0)
            qWarning() << "json解析失败" << m_filePath << "(no readable backup either)";
        return; // no stored logins yet, or nothing readable left
    }
    QJsonParseError err;
    const QJsonDocument doc = decryptDocument(cipher, &err);
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
    return StoredFile::write(m_filePath, cipher, isLoginDocument);
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
