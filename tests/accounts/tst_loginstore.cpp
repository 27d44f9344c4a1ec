#include "loginstore.h"
#include "simusettings.h"
#include "xxtea.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

class TestLoginStore : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void twoUsersInNameOrderWithLastSelected();
    void uncheckedRememberStoresEmptyPassword();
    void fileIsTheIndentedDocumentEncrypted();
    void unreadableFilesReadAsEmpty_data();
    void unreadableFilesReadAsEmpty();
    void missingMembersReadAsDefaults();

private:
    QTemporaryDir m_dir;
    QString m_path;
};

static struLoginRecord record(const QString& name, const QString& pwd, bool rcd, bool autoLogin)
{
    struLoginRecord r;
    r.strUsrName = name;
    r.strPwd = pwd;
    r.bRcdPwd = rcd;
    r.bAutoLogin = autoLogin;
    return r;
}

static void writeRaw(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

void TestLoginStore::init()
{
    QVERIFY(m_dir.isValid());
    SimuSettings::setDataDir(m_dir.path());
    m_path = m_dir.filePath("data.data");
    QFile::remove(m_path);
}

void TestLoginStore::twoUsersInNameOrderWithLastSelected()
{
    QCOMPARE(LoginStore::defaultPath(), m_path);
    {
        LoginStore store;
        store.loadLoginStore(); // no file yet
        QVERIFY(store.setLastUser(record("2000", "pw2", true, true)));
        QVERIFY(store.setLastUser(record("1000", "pw1", true, false)));
        QVERIFY(store.saveLoginRecord(record("2000", "pw2b", true, true))); // replaces, keeps last user
    }
    LoginStore again;
    again.loadLoginStore();
    QString last;
    QMap<QString, struLoginRecord> recs;
    again.getLoginRecords(last, recs);
    QCOMPARE(last, QString("1000"));
    QCOMPARE(recs.keys(), QStringList({"1000", "2000"}));
    QCOMPARE(recs["2000"].strPwd, QString("pw2b"));
    QVERIFY(recs["2000"].bAutoLogin);
    QVERIFY(!recs["1000"].bAutoLogin);
    QCOMPARE(LoginStore::readLastUserName(), QString("1000"));
}

void TestLoginStore::uncheckedRememberStoresEmptyPassword()
{
    LoginStore store;
    store.loadLoginStore();
    QVERIFY(store.setLastUser(record("13800000001", "secret", false, false)));
    LoginStore again;
    again.loadLoginStore();
    QString last;
    QMap<QString, struLoginRecord> recs;
    again.getLoginRecords(last, recs);
    QCOMPARE(last, QString("13800000001"));
    QCOMPARE(recs.size(), 1);
    QCOMPARE(recs.first().strPwd, QString(""));
    QVERIFY(!recs.first().bRcdPwd);
}

void TestLoginStore::fileIsTheIndentedDocumentEncrypted()
{
    LoginStore store;
    store.loadLoginStore();
    QVERIFY(store.setLastUser(record("42", "p\r\nw", true, true)));
    QFile f(m_path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray cipher = f.readAll();
    QCOMPARE(cipher.size() % 4, 0);
    const QByteArray plain = xxteaDecrypt(cipher, QByteArray(TOVIA_STORE_KEY));
    QVERIFY(plain.contains("\n    \"42\": {")); // indented form
    const QJsonObject root = QJsonDocument::fromJson(plain).object();
    QCOMPARE(root.value("lastUsrName").toObject().value("lastUsrName").toString(), QString("42"));
    const QJsonObject user = root.value("42").toObject();
    QCOMPARE(user.value("isRcdPwd").toBool(), true);
    QCOMPARE(user.value("isAutoLogin").toBool(), true);
    QCOMPARE(user.value("password").toString(), QString("p\r\nw"));
    QCOMPARE(root.size(), 2);
}

void TestLoginStore::unreadableFilesReadAsEmpty_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("zero bytes") << QByteArray();
    QTest::newRow("garbage") << QByteArray("this is not a login store at all, just bytes\x01\x02\xff");
    QTest::newRow("other key") << xxteaEncrypt("{\"lastUsrName\":{\"lastUsrName\":\"1\"}}", "WrongKey");
    QTest::newRow("json array") << xxteaEncrypt("[1,2,3]", toviaStoreKey());
}

void TestLoginStore::unreadableFilesReadAsEmpty()
{
    QFETCH(QByteArray, content);
    writeRaw(m_path, content);
    LoginStore store;
    store.loadLoginStore();
    QString last = "x";
    QMap<QString, struLoginRecord> recs;
    store.getLoginRecords(last, recs);
    QVERIFY(last.isEmpty());
    QVERIFY(recs.isEmpty());
    // The next save writes a new, readable file.
    QVERIFY(store.setLastUser(record("7", "pw", true, false)));
    QCOMPARE(LoginStore::readLastUserName(), QString("7"));
}

void TestLoginStore::missingMembersReadAsDefaults()
{
    writeRaw(m_path,
             xxteaEncrypt("{\"5\":{},\"6\":{\"password\":\"x\",\"isRcdPwd\":true}}", toviaStoreKey()));
    LoginStore store;
    store.loadLoginStore();
    QString last;
    QMap<QString, struLoginRecord> recs;
    store.getLoginRecords(last, recs);
    QVERIFY(last.isEmpty());
    QCOMPARE(recs.size(), 2);
    QCOMPARE(recs["5"].strPwd, QString());
    QVERIFY(!recs["5"].bRcdPwd && !recs["5"].bAutoLogin);
    QCOMPARE(recs["6"].strPwd, QString("x"));
    // A user named like the last-user member cannot overwrite it.
    QVERIFY(!store.saveLoginRecord(record("lastUsrName", "x", true, true)));
}

QTEST_GUILESS_MAIN(TestLoginStore)
#include "tst_loginstore.moc"
