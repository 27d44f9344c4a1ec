#include "accountstestutil.h"
#include "farmkey.h"
#include "loginobj.h"
#include "simusettings.h"
#include "xxtea.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <QUrlQuery>
#include <memory>

// Runs one LoginObj on its own thread, as the dialog does, and collects its answers.
class WorkerHarness : public QObject
{
    Q_OBJECT
public:
    explicit WorkerHarness(const struLoginTimings& timings)
    {
        m_pObj = new LoginObj(timings);
        m_pObj->moveToThread(&m_thread);
        connect(&m_thread, &QThread::finished, m_pObj, &QObject::deleteLater);
        connect(this, &WorkerHarness::sigLogin, m_pObj, &LoginObj::slLogin, Qt::QueuedConnection);
        connect(m_pObj, &LoginObj::sigLoginFinished, this, &WorkerHarness::onFinished, Qt::QueuedConnection);
        m_thread.start();
    }
    ~WorkerHarness() override
    {
        m_thread.quit();
        m_thread.wait();
    }
    // Logs in and waits (bounded) for the answer.
    bool login(const QString& usr, const QString& pwd, int type, CCommResult& ret, CLoginRet& loginRet,
               int waitMs = 15000)
    {
        const int before = m_answers;
        emit sigLogin(usr, pwd, type);
        QElapsedTimer t;
        t.start();
        while (m_answers == before && t.elapsed() < waitMs) {
            QTest::qWait(10);
        }
        if (m_answers == before) {
            return false;
        }
        ret = m_ret;
        loginRet = m_loginRet;
        return true;
    }
    LoginObj* obj() const { return m_pObj; }
    int answers() const { return m_answers; }

signals:
    void sigLogin(QString, QString, int);

private:
    void onFinished(CCommResult* cRet, CLoginRet* pLoginRet)
    {
        m_ret = *cRet;
        m_loginRet = *pLoginRet;
        delete cRet;
        delete pLoginRet;
        ++m_answers;
    }

    QThread m_thread;
    LoginObj* m_pObj;
    int m_answers = 0;
    CCommResult m_ret;
    CLoginRet m_loginRet;
};

class TestLoginObj : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void replyParsing_data();
    void replyParsing();
    void payloadFields();
    void loginUrlPercentEncodesBothValues();
    void againstAccountService();
    void farmKeyBindsUserAndPassword();
    void httpsCertificateIsChecked();
    void oddReplies_data();
    void oddReplies();
    void unreachableServiceIsEmptyReply();
    void silentServiceTimesOut();
    void tickRunsOnlyWhileALoginRuns();
    void autoLoginAnnouncedOnceAfterTheDelay();

private:
    void useService(const QString& url) { SimuSettings::setValue("account/url", url); }
    QTemporaryDir m_dir;
};

static QByteArray successReply(const QJsonObject& payload)
{
    const QByteArray data = xxteaEncrypt(QJsonDocument(payload).toJson(), toviaPayloadKey()).toBase64();
    return R"({"ResultCode":"0","ResultMessage":"ok","Data":")" + data + "\"}";
}

void TestLoginObj::initTestCase()
{
    QVERIFY(m_dir.isValid());
    SimuSettings::setDataDir(m_dir.path());
}

void TestLoginObj::replyParsing_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("str");
    QTest::addColumn<QString>("log");
    QTest::newRow("truncated") << QByteArray(R"({"ResultCode":"0")") << 1 << "解析json失败"
                               << "解析json失败";
    QTest::newRow("null code") << QByteArray(R"({"ResultCode":null})") << 2 << "ResultCode的值不是string类型"
                               << "ResultCode的值不是string类型";
    QTest::newRow("refused") << QByteArray(R"({"ResultCode":"1","ResultMessage":"x"})") << 3 << "x"
                             << "ResultCode:1;ResultMessage:x";
    QTest::newRow("refused, no message") << QByteArray(R"({"ResultCode":"0 "})") << 3 << ""
                                         << "ResultCode:0 ;ResultMessage:";
    // "0" alone proves nothing: only a payload that decrypts to the account's record is a login.
    const QString unverified = "登录失败：服务器的应答无法验证，请确认服务器地址";
    const QString unverifiedLog = "ResultCode 0 without a payload that decrypts to the account's record";
    const auto reply = [](const QByteArray& plain, const QByteArray& key) {
        return R"({"ResultCode":"0","Data":")" + xxteaEncrypt(plain, key).toBase64() + "\"}";
    };
    QTest::newRow("bad payload") << QByteArray(R"({"ResultCode":"0","Data":"AAAA"})") << 4 << unverified
                                 << unverifiedLog;
    QTest::newRow("no payload") << QByteArray(R"({"ResultCode":"0"})") << 4 << unverified << unverifiedLog;
    QTest::newRow("other key") << reply(R"({"userid":1,"token":"t"})", "NotThePayload") << 4 << unverified
                               << unverifiedLog;
    QTest::newRow("no token") << reply(R"({"userid":1,"nickname":"x"})", toviaPayloadKey()) << 4 << unverified
                              << unverifiedLog;
    QTest::newRow("text userid") << reply(R"({"userid":"1","token":"t"})", toviaPayloadKey()) << 4
                                 << unverified << unverifiedLog;
}

void TestLoginObj::replyParsing()
{
    QFETCH(QByteArray, body);
    QFETCH(int, code);
    QFETCH(QString, str);
    QFETCH(QString, log);
    CLoginRet loginRet;
    const CCommResult ret = LoginObj::parseLoginReply(body, loginRet);
    QCOMPARE(ret.iRet, code);
    QCOMPARE(ret.str, str);
    QCOMPARE(ret.log, log);
    QCOMPARE(loginRet.strToken, QString());
    QCOMPARE(loginRet.strUserId, QString());
}

void TestLoginObj::payloadFields()
{
    const QJsonObject payload{{"totals", 12},
                              {"userid", 4294967297.0},
                              {"vipinfoid", 3},
                              {"nickname", "小明"},
                              {"token", "abc123"},
                              {"grouplist", QJsonArray()},
                              {"productlist", QJsonObject{{"productid", 105}}}};
    CLoginRet loginRet;
    QCOMPARE(LoginObj::parseLoginReply(successReply(payload), loginRet).iRet, 0);
    QCOMPARE(loginRet.iTotals, 12);
    QCOMPARE(loginRet.strUserId, QString("4294967297")); // decimal, no exponent
    QCOMPARE(loginRet.iVipInfoId, 3);
    QCOMPARE(loginRet.strNickName, QString("小明"));
    QCOMPARE(loginRet.strToken, QString("abc123"));

    CLoginRet partial;
    QCOMPARE(
        LoginObj::parseLoginReply(successReply(QJsonObject{{"token", "t"}, {"userid", 5}}), partial).iRet, 0);
    QCOMPARE(partial.strToken, QString("t"));
    QCOMPARE(partial.iTotals, 0);
    QCOMPARE(partial.strUserId, QString("5"));
    QCOMPARE(partial.strNickName, QString());
}

void TestLoginObj::loginUrlPercentEncodesBothValues()
{
    const QString pwd = "a&b #%+ c=d/?é中";
    const QUrl url = LoginObj::buildLoginUrl("http://example.invalid:8750/", "123&x=1", pwd);
    QVERIFY(url.isValid());
    QCOMPARE(url.path(), QString("/api/act.aspx"));
    const QByteArray query = url.query(QUrl::FullyEncoded).toLatin1();
    QVERIFY2(query.startsWith("qt=5001&account=123%26x%3D1&password=a%26b%20%23%25%2B%20c%3Dd%2F%3F"), query);
    QVERIFY(query.endsWith("&loadproduct=0"));
    const QUrlQuery q(url);
    QCOMPARE(q.queryItemValue("account", QUrl::FullyDecoded), QString("123&x=1"));
    QCOMPARE(q.queryItemValue("password", QUrl::FullyDecoded), pwd);
}

void TestLoginObj::againstAccountService()
{
    if (!AccountSvcProcess::available()) {
        QSKIP("ToviaAccountSvc not built (TOVIA_BIN_DIR unset or program missing)");
    }
    const QString db = m_dir.filePath("accounts.db");
    const QString pwd = "p& w #1+%";
    QCOMPARE(AccountSvcProcess::run({"--db", db, "adduser", "13900000000", pwd, "--nick", "测试"}), 0);
    AccountSvcProcess svc;
    QVERIFY(svc.start(db));
    useService(svc.baseUrl() + "/");
    WorkerHarness worker{struLoginTimings()};
    MessageCatcher messages;

    CCommResult ret;
    CLoginRet first;
    QVERIFY(worker.login("13900000000", pwd, 7, ret, first));
    QVERIFY2(ret.iRet == 0, qPrintable(ret.log));
    // The farm key comes from what was typed, and neither it nor the token reaches the log.
    QCOMPARE(first.baFarmKey, FarmKey::derive("13900000000", pwd));
    QVERIFY(!messages.contains(first.strToken) && !messages.contains(pwd));
    QVERIFY(messages.contains("login reply: ResultCode 0 "));
    QCOMPARE(first.strUserId, QString("1"));
    QCOMPARE(first.strNickName, QString("测试"));
    QCOMPARE(first.strToken.size(), 32);
    QCOMPARE(first.iTotals, 1);
    QCOMPARE(first.iLoginType, 7);
    QCOMPARE(first.strUserName, QString()); // the dialog fills in what was typed

    CLoginRet second;
    QVERIFY(worker.login("13900000000", pwd, 0, ret, second));
    QCOMPARE(ret.iRet, 0);
    QVERIFY(second.strToken != first.strToken);
    QCOMPARE(second.iTotals, 2);

    CLoginRet refused;
    QVERIFY(worker.login("13900000000", "p& w #1+", 0, ret, refused));
    QCOMPARE(ret.iRet, 3);
    QCOMPARE(ret.str, QString("用户名或密码错误"));
    QCOMPARE(ret.log, QString("ResultCode:1001;ResultMessage:用户名或密码错误"));
    QCOMPARE(refused.strToken, QString());
    QVERIFY(refused.baFarmKey.isEmpty());
    QCOMPARE(svc.stop(), 0);
}

// One account, one key: another password or another user name gives another key.
void TestLoginObj::farmKeyBindsUserAndPassword()
{
    const QByteArray key = FarmKey::derive("10086", "secret");
    QCOMPARE(key.size(), FarmKey::kKeyBytes);
    QCOMPARE(FarmKey::derive("10086", "secret"), key);
    QVERIFY(FarmKey::derive("10086", "secret ") != key);
    QVERIFY(FarmKey::derive("10087", "secret") != key);
    QVERIFY(FarmKey::derive("1008", "6secret") != key); // the salt is not a plain prefix
}

// An https service is trusted only through the system's certificates or the configured CA file:
// a self-signed service, or one whose certificate names another host, is refused.
void TestLoginObj::httpsCertificateIsChecked()
{
    if (!AccountSvcProcess::available()) {
        QSKIP("ToviaAccountSvc not built (TOVIA_BIN_DIR unset or program missing)");
    }
    const QString cert = m_dir.filePath("svc.pem");
    const QString key = m_dir.filePath("svc.key");
    const QString other = m_dir.filePath("other.pem");
    QCOMPARE(AccountSvcProcess::run({"makecert", "--cert", cert, "--key", key, "--host", "127.0.0.1"}), 0);
    QCOMPARE(AccountSvcProcess::run({"makecert", "--cert", other, "--key", m_dir.filePath("other.key"),
                                     "--host", "example.invalid"}),
             0);
    QVERIFY(!(QFileInfo(key).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther)));
    const QString db = m_dir.filePath("tls.db");
    QCOMPARE(AccountSvcProcess::run({"--db", db, "adduser", "10086", "pw"}), 0);
    AccountSvcProcess svc;
    QVERIFY(svc.start(db, 0, {"--cert", cert, "--key", key}));
    useService(QStringLiteral("https://127.0.0.1:%1").arg(svc.port()));
    WorkerHarness worker{struLoginTimings()};
    struct Case
    {
        QString caFile;
        int code;
        QString str;
    };
    const QList<Case> cases = {{QString(), 5, "服务器证书验证失败"},
                               {other, 5, "服务器证书验证失败"},
                               {m_dir.filePath("missing.pem"), 5, "无法读取服务器证书文件"},
                               {cert, 0, QString()}};
    for (const Case& c : cases) {
        SimuSettings::setValue("account/caFile", c.caFile);
        CCommResult ret;
        CLoginRet loginRet;
        QVERIFY(worker.login("10086", "pw", 0, ret, loginRet));
        QVERIFY2(ret.iRet == c.code, qPrintable(c.caFile + ": " + ret.log));
        QCOMPARE(ret.str, c.str);
        QCOMPARE(loginRet.strToken.isEmpty(), c.code != 0);
    }
    SimuSettings::setValue("account/caFile", QString());
    QCOMPARE(svc.stop(), 0);
}

void TestLoginObj::oddReplies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("str");
    QTest::newRow("not json") << QByteArray("Service Unavailable") << 1 << "解析json失败";
    QTest::newRow("not an object") << QByteArray(R"(["ResultCode","0"])") << 2 << "json格式错误";
    QTest::newRow("no ResultCode") << QByteArray(R"({"Data":""})") << 2 << "json格式错误,没有ResultCode";
    QTest::newRow("ResultCode number")
        << QByteArray(R"({"ResultCode":0})") << 2 << "ResultCode的值不是string类型";
    QTest::newRow("empty") << QByteArray() << 48 << "服务器返回的数据为空，请检查网络连接";
    QTest::newRow("bare success") << QByteArray(R"({"ResultCode":"0"})") << 4
                                  << "登录失败：服务器的应答无法验证，请确认服务器地址";
}

void TestLoginObj::oddReplies()
{
    QFETCH(QByteArray, body);
    QFETCH(int, code);
    QFETCH(QString, str);
    FakeActServer server;
    QVERIFY(server.listen());
    server.setReply(body);
    useService(server.baseUrl());
    WorkerHarness worker{struLoginTimings()};
    CCommResult ret;
    CLoginRet loginRet;
    QVERIFY(worker.login("1", "2", 0, ret, loginRet));
    QCOMPARE(ret.iRet, code);
    QCOMPARE(ret.str, str);
    if (code <= 2) {
        QCOMPARE(ret.log, str); // parse failures log the user text
    }
    QCOMPARE(server.requests(), 1);
    QVERIFY(
        server.lastRequestLine().startsWith("GET /api/act.aspx?qt=5001&account=1&password=2&loadproduct=0 "));
}

void TestLoginObj::unreachableServiceIsEmptyReply()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close(); // nothing listens there now
    useService(QStringLiteral("http://127.0.0.1:%1").arg(port));
    WorkerHarness worker{struLoginTimings()};
    CCommResult ret;
    CLoginRet loginRet;
    QVERIFY(worker.login("1", "2", 0, ret, loginRet));
    QCOMPARE(ret.iRet, 48);
    QVERIFY(!ret.log.isEmpty());
}

void TestLoginObj::silentServiceTimesOut()
{
    FakeActServer server;
    QVERIFY(server.listen());
    server.setHold(true);
    useService(server.baseUrl());
    struLoginTimings timings;
    timings.iRequestTimeoutMs = 300;
    WorkerHarness worker(timings);
    QElapsedTimer t;
    t.start();
    CCommResult ret;
    CLoginRet loginRet;
    QVERIFY(worker.login("1", "2", 0, ret, loginRet, 5000));
    QVERIFY2(t.elapsed() >= 270, qPrintable(QString::number(t.elapsed()))); // coarse timers may fire 5% early
    QCOMPARE(ret.iRet, 49);
    QCOMPARE(ret.str, QString("网络连接超时"));
    QCOMPARE(server.requests(), 1);
}

void TestLoginObj::tickRunsOnlyWhileALoginRuns()
{
    FakeActServer server;
    QVERIFY(server.listen());
    server.setHold(true);
    useService(server.baseUrl());
    struLoginTimings timings;
    timings.iTickMs = 20;
    WorkerHarness worker(timings);
    QSignalSpy ticks(worker.obj(), &LoginObj::sigTick);
    QTest::qWait(100);
    QCOMPARE(ticks.count(), 0); // idle: no ticks

    emit worker.sigLogin("1", "2", 0);
    QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 3, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(server.requests(), 1, 5000);
    server.release(R"({"ResultCode":"9","ResultMessage":"no"})");
    QTRY_COMPARE_WITH_TIMEOUT(worker.answers(), 1, 5000);
    QTest::qWait(60); // at most one tick was already under way
    const int after = ticks.count();
    QTest::qWait(150);
    QCOMPARE(ticks.count(), after);
}

void TestLoginObj::autoLoginAnnouncedOnceAfterTheDelay()
{
    struLoginTimings timings;
    timings.iAutoLoginDelayMs = 150;
    WorkerHarness worker(timings);
    QSignalSpy begin(worker.obj(), &LoginObj::BeginAutoLogin);
    QElapsedTimer t;
    t.start();
    QMetaObject::invokeMethod(worker.obj(), "Wait2CallLogin", Qt::QueuedConnection);
    QTRY_COMPARE_WITH_TIMEOUT(begin.count(), 1, 5000);
    QVERIFY(t.elapsed() >= 135); // coarse timers may fire 5% early
    QTest::qWait(400);
    QCOMPARE(begin.count(), 1);
}

QTEST_GUILESS_MAIN(TestLoginObj)
#include "tst_loginobj.moc"
