#include "accountstestutil.h"
#include "xxtea.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <memory>

class TestAccountSvc : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void manageUsers();
    void storesSaltedHashesOnly();
    void commandLineErrors();
    void loginPayload();
    void badRequestsAreExplained_data();
    void badRequestsAreExplained();
    void passwordChangeTakesEffect();
    void logsRequestsWithoutPasswordsAndStopsOnSigterm();
    void slowFloodingAndHugeRequestsAreCutOff();
    void guessingIsSlowedPerAccountAndAddress();

private:
    struct struAnswer
    {
        int status = 0;
        QJsonObject json;
    };
    struAnswer get(const QString& pathAndQuery);
    QString freshDb(const QString& name) { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    QString m_db;
    AccountSvcProcess m_svc;
    QNetworkAccessManager m_nam;
};

TestAccountSvc::struAnswer TestAccountSvc::get(const QString& pathAndQuery)
{
    struAnswer ans;
    QNetworkReply* reply = m_nam.get(QNetworkRequest(QUrl(m_svc.baseUrl() + pathAndQuery)));
    QSignalSpy done(reply, &QNetworkReply::finished);
    if (!reply->isFinished() && !done.wait(10000)) {
        reply->abort();
    }
    ans.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    ans.json = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    return ans;
}

void TestAccountSvc::initTestCase()
{
    if (!AccountSvcProcess::available()) {
        QSKIP("ToviaAccountSvc not built (TOVIA_BIN_DIR unset or program missing)");
    }
    QVERIFY(m_dir.isValid());
    m_db = freshDb("svc.db");
    QCOMPARE(AccountSvcProcess::run({"--db", m_db, "adduser", "100", "pw one", "--nick", "一号"}), 0);
    QCOMPARE(AccountSvcProcess::run({"--db", m_db, "adduser", "200", "pw&two"}), 0);
    QVERIFY(m_svc.start(m_db));
}

void TestAccountSvc::manageUsers()
{
    const QString db = freshDb("manage.db");
    QByteArray out, err;
    QCOMPARE(AccountSvcProcess::run({"--db", db, "adduser", "300", "a", "--nick", "小三"}), 0);
    QCOMPARE(AccountSvcProcess::run({"--db", db, "adduser", "123", "b"}), 0);
    QCOMPARE(AccountSvcProcess::run({"--db", db, "adduser", "300", "again"}, &out, &err), 1);
    QVERIFY2(err.contains("exists"), err);
    QCOMPARE(AccountSvcProcess::run({"--db", db, "passwd", "999", "x"}, &out, &err), 1);
    QVERIFY2(err.contains("999"), err);
    QCOMPARE(AccountSvcProcess::run({"--db", db, "list"}, &out, &err), 0);
    const QList<QByteArray> lines = out.trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].contains("\t123\t")); // ordered by name
    QVERIFY(lines[1].contains("\t300\t"));
    QVERIFY(lines[1].contains(QString("小三").toLocal8Bit()) || lines[1].contains(QString("小三").toUtf8()));
}

void TestAccountSvc::storesSaltedHashesOnly()
{
    const QString db = freshDb("salt.db");
    QCOMPARE(AccountSvcProcess::run({"--db", db, "adduser", "1", "same password"}), 0);
    QCOMPARE(AccountSvcProcess::run({"--db", db, "adduser", "2", "same password"}), 0);
    // No other local user reads the hashes.
    const QFileDevice::Permissions others =
        QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
    QVERIFY(QFileInfo::exists(db) && !(QFileInfo(db).permissions() & others));
    {
        QSqlDatabase sql = QSqlDatabase::addDatabase("QSQLITE", "salt");
        sql.setDatabaseName(db);
        QVERIFY(sql.open());
        QSqlQuery q(sql);
        QVERIFY(q.exec("SELECT salt, hash, iterations FROM users ORDER BY name"));
        QList<QByteArray> salts, hashes;
        while (q.next()) {
            salts << q.value(0).toByteArray();
            hashes << q.value(1).toByteArray();
            QVERIFY(q.value(2).toInt() >= 10000);
        }
        QCOMPARE(hashes.size(), 2);
        QVERIFY(salts[0].size() >= 16 && salts[0] != salts[1]);
        QVERIFY(hashes[0] != hashes[1]);
        QVERIFY(!hashes[0].contains("same password"));
        sql.close();
    }
    QSqlDatabase::removeDatabase("salt");
}

void TestAccountSvc::commandLineErrors()
{
    QByteArray out, err;
    QCOMPARE(AccountSvcProcess::run({"list"}, &out, &err), 2);
    QVERIFY2(err.contains("--db"), err);
    QCOMPARE(AccountSvcProcess::run({"--db", freshDb("x.db"), "frobnicate"}, &out, &err), 2);
    QCOMPARE(AccountSvcProcess::run({"--db", freshDb("x.db"), "adduser", "1"}, &out, &err), 2);
    QCOMPARE(AccountSvcProcess::run({"--db", freshDb("x.db"), "--listen", "nonsense"}, &out, &err), 2);
    QCOMPARE(AccountSvcProcess::run({"--db", m_dir.filePath("no/such/dir/x.db"), "list"}, &out, &err), 1);
}

void TestAccountSvc::loginPayload()
{
    const struAnswer a = get("/api/act.aspx?qt=5001&account=100&password=pw%20one&loadproduct=0");
    QCOMPARE(a.status, 200);
    QCOMPARE(a.json.value("ResultCode").toString(), QString("0"));
    const QByteArray plain =
        xxteaDecrypt(QByteArray::fromBase64(a.json.value("Data").toString().toLatin1()), toviaPayloadKey());
    const QJsonObject p = QJsonDocument::fromJson(plain).object();
    QVERIFY2(!p.isEmpty(), plain);
    QVERIFY(p.value("totals").isDouble());
    QCOMPARE(p.value("userid").toInt(), 1);
    QCOMPARE(p.value("vipinfoid").toInt(), 0);
    QCOMPARE(p.value("nickname").toString(), QString("一号"));
    QVERIFY(p.value("grouplist").isArray());
    const QJsonObject product = p.value("productlist").toObject();
    QVERIFY(product.contains("productid") && product.contains("productname"));
    QVERIFY(product.value("productequipmentlist").isArray());
    const QString token = p.value("token").toString();
    QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(token).hasMatch());

    // Each login gets its own token; "+" in a query is a space, "%2B" a plus.
    const struAnswer b = get("/api/act.aspx?qt=5001&account=200&password=pw%26two&loadproduct=1");
    QCOMPARE(b.json.value("ResultCode").toString(), QString("0"));
    const QJsonObject p2 =
        QJsonDocument::fromJson(
            xxteaDecrypt(QByteArray::fromBase64(b.json.value("Data").toString().toLatin1()),
                         toviaPayloadKey()))
            .object();
    QVERIFY(p2.value("token").toString() != token);
    QCOMPARE(p2.value("userid").toInt(), 2);
    QCOMPARE(get("/api/act.aspx?qt=5001&account=100&password=pw+one").json.value("ResultCode").toString(),
             QString("0"));
}

void TestAccountSvc::badRequestsAreExplained_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("no qt") << "/api/act.aspx?account=100&password=x" << 400 << "缺少参数qt";
    QTest::newRow("unknown qt") << "/api/act.aspx?qt=5002&account=100&password=x" << 400
                                << "不支持的请求类型qt=5002";
    QTest::newRow("no account") << "/api/act.aspx?qt=5001&password=x" << 400 << "缺少参数account";
    QTest::newRow("no password") << "/api/act.aspx?qt=5001&account=100" << 400 << "缺少参数password";
    QTest::newRow("wrong password") << "/api/act.aspx?qt=5001&account=100&password=pw" << 200
                                    << "用户名或密码错误";
    QTest::newRow("unknown user") << "/api/act.aspx?qt=5001&account=777&password=pw%20one" << 200
                                  << "用户名或密码错误";
    QTest::newRow("unknown path") << "/api/other.aspx?qt=5001" << 404 << "没有这个接口/api/other.aspx";
}

void TestAccountSvc::badRequestsAreExplained()
{
    QFETCH(QString, query);
    QFETCH(int, status);
    QFETCH(QString, message);
    const struAnswer a = get(query);
    QCOMPARE(a.status, status);
    QVERIFY(a.json.value("ResultCode").isString());
    QVERIFY(a.json.value("ResultCode").toString() != "0");
    QCOMPARE(a.json.value("ResultMessage").toString(), message);
    QVERIFY(!a.json.contains("Data"));
}

void TestAccountSvc::passwordChangeTakesEffect()
{
    QCOMPARE(AccountSvcProcess::run({"--db", m_db, "passwd", "200", "new+pw"}), 0);
    QCOMPARE(get("/api/act.aspx?qt=5001&account=200&password=pw%26two").json.value("ResultCode").toString(),
             QString("1001"));
    QCOMPARE(get("/api/act.aspx?qt=5001&account=200&password=new%2Bpw").json.value("ResultCode").toString(),
             QString("0"));
}

void TestAccountSvc::logsRequestsWithoutPasswordsAndStopsOnSigterm()
{
    QCOMPARE(get("/api/act.aspx?qt=5001&account=100&password=pw%20one").status, 200);
    QCOMPARE(m_svc.stop(), 0);
    const QByteArray log = m_svc.stderrText();
    QVERIFY2(log.contains("GET /api/act.aspx qt=5001 -> 200"), log);
    QVERIFY2(log.contains("stopped"), log);
    QVERIFY(!log.contains("pw one") && !log.contains("pw%20one"));
}

// One plain HTTP exchange on its own connection from a chosen loopback address; the answer's
// ResultCode (empty when there was none within the wait).
static QString rawLogin(quint16 port, const QString& query, const QString& from = "127.0.0.1",
                        int waitMs = 10000)
{
    QTcpSocket s;
    s.bind(QHostAddress(from));
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(waitMs)) {
        return QString();
    }
    s.write("GET /api/act.aspx?" + query.toLatin1() + " HTTP/1.1\r\nHost: t\r\n\r\n");
    QByteArray reply;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < waitMs && s.state() == QAbstractSocket::ConnectedState && !reply.contains("}")) {
        s.waitForReadyRead(100);
        reply += s.readAll();
    }
    reply += s.readAll();
    return QJsonDocument::fromJson(reply.mid(reply.indexOf("\r\n\r\n") + 4))
        .object()
        .value("ResultCode")
        .toString();
}

// Ten clients that trickle their request line byte by byte, and one that announces a 1.5 GB body
// and keeps sending: the owner's login is answered at once all the while, the extra slow
// connections are closed at once, the rest when their time is up, and the body is never buffered.
void TestAccountSvc::slowFloodingAndHugeRequestsAreCutOff()
{
    const QString db = freshDb("flood.db");
    QCOMPARE(AccountSvcProcess::run({"--db", db, "adduser", "300", "pw"}), 0);
    AccountSvcProcess svc;
    QVERIFY(svc.start(db));
    const quint16 port = quint16(svc.port());

    std::vector<std::unique_ptr<QTcpSocket>> slow;
    for (int i = 0; i < 10; ++i) {
        slow.push_back(std::make_unique<QTcpSocket>());
        slow.back()->bind(QHostAddress("127.0.0.2"));
        slow.back()->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(slow.back()->waitForConnected(5000));
    }
    const QByteArray line = "GET /api/act.aspx?qt=5001&account=300&password=pw HTTP/1.1\r\n";
    const auto trickle = [&](int step) {
        for (auto& s : slow) {
            if (s->state() == QAbstractSocket::ConnectedState) {
                s->write(line.mid(step % line.size(), 1));
                s->flush();
            }
        }
    };
    const auto open = [&] {
        return std::count_if(slow.begin(), slow.end(),
                             [](const auto& s) { return s->state() == QAbstractSocket::ConnectedState; });
    };
    QElapsedTimer t;
    t.start();
    int step = 0;
    while (t.elapsed() < 1500) {
        trickle(step++);
        QTest::qWait(150);
    }
    QCOMPARE(open(), 4L); // four per address; the others were closed at once

    QElapsedTimer login;
    login.start();
    QCOMPARE(rawLogin(port, "qt=5001&account=300&password=pw&loadproduct=0", "127.0.0.1", 3000),
             QString("0"));
    QVERIFY2(login.elapsed() < 3000, qPrintable(QString::number(login.elapsed())));

    const qint64 rssBefore = svc.rssKiB();
    QTcpSocket bomb;
    bomb.bind(QHostAddress("127.0.0.3"));
    bomb.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(bomb.waitForConnected(5000));
    bomb.write("GET /api/act.aspx?qt=5001&account=300&password=pw HTTP/1.1\r\nHost: t\r\n"
               "Content-Length: 1500000000\r\n\r\n");
    const QByteArray chunk(1 << 20, 'A');
    qint64 sent = 0;
    while (sent < (qint64(200) << 20) && bomb.state() == QAbstractSocket::ConnectedState) {
        if (bomb.bytesToWrite() < (4 << 20)) {
            bomb.write(chunk);
            sent += chunk.size();
        }
        bomb.waitForBytesWritten(100);
        trickle(step++);
    }
    QVERIFY2(sent < (qint64(200) << 20), "the service kept reading an endless body");
    QVERIFY2(svc.rssKiB() - rssBefore < 20 * 1024,
             qPrintable(QString("service grew by %1 KiB").arg(svc.rssKiB() - rssBefore)));

    while (open() > 0 && t.elapsed() < 12000) {
        trickle(step++);
        QTest::qWait(150);
    }
    QCOMPARE(open(), 0L); // the request time ran out for the trickling ones
    QCOMPARE(svc.stop(), 0);
    const QByteArray log = svc.stderrText();
    QVERIFY2(log.contains("127.0.0.2: connection refused, 4 open already"), log);
    QVERIFY2(log.contains("127.0.0.2: request not complete within"), log);
}

// Guessing: after three failures the account is locked for 1 s, then 2 s, ... and while locked
// even the right password is refused unchecked; a success clears the count. Many accounts tried
// from one address lock that address as well.
void TestAccountSvc::guessingIsSlowedPerAccountAndAddress()
{
    const QString db = freshDb("guess.db");
    QCOMPARE(AccountSvcProcess::run({"--db", db, "adduser", "400", "right"}), 0);
    QCOMPARE(AccountSvcProcess::run({"--db", db, "adduser", "401", "right"}), 0);
    AccountSvcProcess svc;
    QVERIFY(svc.start(db));
    const quint16 port = quint16(svc.port());
    const auto login = [&](const QString& user, const QString& pwd, const QString& from = "127.0.0.1") {
        return rawLogin(port, QString("qt=5001&account=%1&password=%2&loadproduct=0").arg(user, pwd), from);
    };
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(login("400", "guess"), QString("1001"));
    }
    QCOMPARE(login("400", "right"), QString("1002"));              // locked: not even checked
    QCOMPARE(login("400", "right", "127.0.0.5"), QString("1002")); // the account, from anywhere
    QTest::qWait(1100);
    QCOMPARE(login("400", "guess"), QString("1001"));
    QCOMPARE(login("400", "right"), QString("1002")); // now for 2 s
    QTest::qWait(2100);
    QCOMPARE(login("400", "right"), QString("0"));
    QCOMPARE(login("400", "guess"), QString("1001")); // the count starts again
    QCOMPARE(login("400", "right"), QString("0"));

    for (int i = 0; i < 10; ++i) {
        QCOMPARE(login(QString::number(9000 + i), "guess", "127.0.0.6"), QString("1001"));
    }
    QCOMPARE(login("401", "right", "127.0.0.6"), QString("1002")); // the address is locked
    QCOMPARE(login("401", "right", "127.0.0.7"), QString("0"));    // other addresses are not
    QCOMPARE(svc.stop(), 0);
    QVERIFY(svc.stderrText().contains("refused unchecked: locked for"));
}

QTEST_GUILESS_MAIN(TestAccountSvc)
#include "tst_accountsvc.moc"
