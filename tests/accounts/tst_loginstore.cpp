#include "loginstore.h"
#include "rememberlogin.h"
#include "simusettings.h"
#include "xxtea.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
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
    void rememberLoginPasswordSources();
    void bothProgramsTakeThePasswordFromStdinOrAPrivateFile();

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
    QFile::remove(m_path + ".bak");
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

// The provisioning option: the password from standard input, from an owner-only file, or plain;
// files that others can read and incomplete options are refused with a reason.
void TestLoginStore::rememberLoginPasswordSources()
{
    const QString privateFile = m_dir.filePath("pw.txt");
    writeRaw(privateFile, "from file\r\nsecond line\n");
    QVERIFY(QFile::setPermissions(privateFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    const QString openFile = m_dir.filePath("pw-open.txt");
    writeRaw(openFile, "x\n");
    QVERIFY(QFile::setPermissions(openFile,
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
    struct Case
    {
        QStringList args;
        QByteArray input;
        bool ok;
        QString password; // or a part of the error
    };
    const QString opt = "--remember-login";
    const QList<Case> cases = {
        {{"--home", "h", opt, "10086", "--password-stdin", "--batch"}, "piped pw\nrest", true, "piped pw"},
        {{opt, "10086", "--password-file", privateFile}, "", true, "from file"},
        {{opt, "10086", "plain pw"}, "", true, "plain pw"},
        {{opt, "10086", "--password-file", openFile}, "", false, "chmod 600"},
        {{opt, "10086", "--password-file", m_dir.filePath("none")}, "", false, "cannot read"},
        {{opt, "10086", "--password-stdin"}, "", false, "no password in standard input"},
        {{opt, "10086", "--password-stdin"}, QByteArray(5000, 'p'), false, "too long"},
        {{opt, "10086", "--password-file"}, "", false, "needs USER"},
        {{opt, "10086"}, "", false, "needs USER"},
        {{opt, "--password-stdin", "x"}, "", false, "needs USER"},
    };
    for (const Case& c : cases) {
        QByteArray bytes = c.input;
        QBuffer input(&bytes);
        QVERIFY(input.open(QIODevice::ReadOnly));
        RememberLogin::struOption option;
        QString error;
        QVERIFY2(RememberLogin::parse(c.args, option, error, &input) == c.ok, qPrintable(c.args.join(" ")));
        QCOMPARE(option.present, c.ok);
        if (c.ok) {
            QCOMPARE(option.user, QString("10086"));
            QCOMPARE(option.password, c.password);
        } else {
            QVERIFY2(error.contains(c.password), qPrintable(c.args.join(' ') + " -> " + error));
        }
    }
    RememberLogin::struOption none;
    QString error;
    QVERIFY(RememberLogin::parse({"--home", "h"}, none, error) && !none.present);
    // What a restarted program is given again: everything but the login and its password.
    QCOMPARE(RememberLogin::withoutOption({"--home", "h", opt, "1", "pw", "--batch"}),
             QStringList({"--home", "h", "--batch"}));
    QCOMPARE(RememberLogin::withoutOption({opt, "1", "--password-file", "f", "--home", "h"}),
             QStringList({"--home", "h"}));
}

// Both programs, started as a provisioning script would: the password piped in, or in an owner-only
// file. The login is stored before the program goes on (and it is not in the command line).
void TestLoginStore::bothProgramsTakeThePasswordFromStdinOrAPrivateFile()
{
    const QString bin = qEnvironmentVariable("TOVIA_BIN_DIR");
    for (const QString& program : {QString("ToviaSim"), QString("ToviaSimClient")}) {
        if (!QFileInfo(bin + "/" + program).isExecutable()) {
            QSKIP("the programs are not built");
        }
        for (const bool fromFile : {false, true}) {
            QTemporaryDir home;
            const QString pwFile = home.filePath("pw");
            writeRaw(pwFile, "s3cret pw\n");
            QVERIFY(QFile::setPermissions(pwFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
            QStringList args{"--home", home.path(), "--batch", "--remember-login", "10086"};
            args << (fromFile ? QStringList{"--password-file", pwFile} : QStringList{"--password-stdin"});
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("QT_QPA_PLATFORM", "offscreen");
            p.setProcessEnvironment(env);
            p.start(bin + "/" + program, args);
            QVERIFY(p.waitForStarted(10000));
            p.write("s3cret pw\n");
            p.closeWriteChannel();
            const QString data = home.filePath("data.data");
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(data).size() > 0, 20000);
            p.kill();
            p.waitForFinished(10000);
            LoginStore stored(data);
            stored.loadLoginStore();
            QString last;
            QMap<QString, struLoginRecord> records;
            stored.getLoginRecords(last, records);
            QCOMPARE(last, QString("10086"));
            QCOMPARE(records.value("10086").strPwd, QString("s3cret pw"));
            QVERIFY(records.value("10086").bAutoLogin);
        }
        // A password file that others can read is refused before anything is stored.
        QTemporaryDir home;
        const QString pwFile = home.filePath("pw");
        writeRaw(pwFile, "s3cret pw\n");
        QVERIFY(QFile::setPermissions(pwFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ReadGroup | QFileDevice::ReadOther));
        QProcess p;
        p.start(bin + "/" + program,
                {"--home", home.path(), "--batch", "--remember-login", "10086", "--password-file", pwFile});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(p.readAllStandardError().contains("chmod 600"));
        QVERIFY(!QFileInfo::exists(home.filePath("data.data")));
    }
}

QTEST_GUILESS_MAIN(TestLoginStore)
#include "tst_loginstore.moc"
