// The per-PC command client against test agents on loopback: what it writes (document, file), the
// states it shows before and after, the install progress, and how it fails: an agent that is down, a
// file that cannot be opened, an empty target list, a file that is not the announced size, an agent
// that stops reading. One PC's stalled operation does not hold up another PC.
#include "clientnetoperobj.h"
#include "jsoncodec.h"
#include "loginret.h"
#include "messagecatcher.h"
#include "opercodes.h"
#include "opergrpsimumgr.h"
#include "standinagents.h"

#include <QDateTime>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

struct StateMsg
{
    QString pcName, memuIdx;
    int iState = 0, iTime = 0, iDaemon = 0;
};

QList<StateMsg> states(const QSignalSpy& spy)
{
    QList<StateMsg> out;
    for (const QList<QVariant>& args : spy) {
        StateMsg m;
        JsonCodec::parseSimuState(args.at(0).toByteArray(), m.pcName, m.memuIdx, m.iState, m.iTime,
                                  m.iDaemon);
        out << m;
    }
    return out;
}

// One PC's client on a thread of its own.
class Client
{
public:
    Client(quint16 port, const QString& nick = QStringLiteral("机房一"))
        : obj(new ClientNetOperObj(QStringLiteral("agent-pc"), nick, QStringLiteral("127.0.0.1"), port))
    {
        obj->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, obj, &QObject::deleteLater);
        thread.start();
    }
    ~Client()
    {
        thread.quit();
        thread.wait(60000);
    }
    void call(const char* slot, QGenericArgument a = QGenericArgument(),
              QGenericArgument b = QGenericArgument())
    {
        QMetaObject::invokeMethod(obj, slot, Qt::QueuedConnection, a, b);
    }
    QThread thread;
    ClientNetOperObj* obj;
};

// A heap pointer handed over by a signal, as the spy recorded it.
template <class T> T* ptrArg(const QVariant& v)
{
    return *static_cast<T* const*>(v.constData());
}

void freeResult(const QSignalSpy& spy)
{
    for (const QList<QVariant>& args : spy)
        delete ptrArg<CCommResult>(args.at(0));
}

} // namespace

class TstClientNetOper : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void operationsOfOnePcGoInOrderWithTheirArguments();
    void installStreamsTheFileWithProgress_data();
    void installStreamsTheFileWithProgress();
    void deliveryFailures();
    void fileOfAnotherSizeThanAnnounced();
    void agentThatStopsReading();
    void agentDownWhileAnotherPcWorks();
};

void TstClientNetOper::initTestCase()
{
    CLoginRet login;
    login.strUserName = QStringLiteral("alice");
    LoginRecord::set(login);
}

void TstClientNetOper::operationsOfOnePcGoInOrderWithTheirArguments()
{
    RecordingAgent agent;
    QVERIFY(agent.ok());
    Client client(agent.port());
    QSignalSpy stateSpy(client.obj, &ClientNetOperObj::sigNewSimuStateParamArrived);
    QSignalSpy failSpy(client.obj, &ClientNetOperObj::sigNetOperReplyResult);
    QSignalSpy doneSpy(client.obj, &ClientNetOperObj::sigOperDelivered);
    const int before = int(QDateTime::currentSecsSinceEpoch());
    client.call("slOperateSimus", Q_ARG(int, 0), Q_ARG(QStringList, QStringList({"MEmu_1", "MEmu_2"})));
    client.call("slSetOperArgument", Q_ARG(QString, QStringLiteral("新 名字")));
    client.call("slOperateSimus", Q_ARG(int, 4), Q_ARG(QStringList, QStringList{"MEmu_1"}));
    client.call("slSetOperArgument", Q_ARG(QString, QStringLiteral("另一个")));
    client.call("slOperateSimus", Q_ARG(int, 1), Q_ARG(QStringList, QStringList{"MEmu_2"}));
    QVERIFY(agent.waitEnded(3));
    QTRY_COMPARE(doneSpy.count(), 3);
    QCOMPARE(failSpy.count(), 0);

    const auto& start = agent.conns.at(0);
    QCOMPARE(start.usrName, QStringLiteral("alice"));
    QCOMPARE(start.opers.size(), 2);
    QVERIFY(start.file.isEmpty());
    for (int i = 0; i < 2; ++i) {
        const struSimuOper& o = start.opers.at(i);
        QCOMPARE(o.iOperType, 0);
        QCOMPARE(o.memuIdx, QStringLiteral("MEmu_%1").arg(i + 1));
        QCOMPARE(o.rmtPcName, QStringLiteral("agent-pc"));
        QCOMPARE(o.rmtNickName, QStringLiteral("机房一"));
        QCOMPARE(o.centerIP, QStringLiteral("127.0.0.1")); // the address facing the agent
        QVERIFY(o.iTime >= before && o.iTime <= before + 5);
        QCOMPARE(o.iReplyRet, -1);
    }
    // The rename carries the argument set just before it, the close none.
    QCOMPARE(agent.conns.at(1).opers.first().iOperType, 4);
    QCOMPARE(agent.conns.at(1).opers.first().fileName, QStringLiteral("新 名字"));
    QCOMPARE(agent.conns.at(2).opers.first().iOperType, 1);
    QCOMPARE(agent.conns.at(2).opers.first().fileName, QString());

    // Busy states before each operation, for the PC's own entry (its key, daemon model -1);
    // rename shows none.
    const QList<StateMsg> st = states(stateSpy);
    QCOMPARE(st.size(), 3);
    QCOMPARE(st.at(0).pcName, QStringLiteral("agent-pc"));
    QCOMPARE(st.at(0).memuIdx, QStringLiteral("MEmu_1"));
    QCOMPARE(st.at(0).iState, int(eStateStarting));
    QCOMPARE(st.at(0).iTime, start.opers.first().iTime);
    QCOMPARE(st.at(0).iDaemon, -1);
    QCOMPARE(st.at(2).memuIdx, QStringLiteral("MEmu_2"));
    QCOMPARE(st.at(2).iState, int(eStateClosing));
}

void TstClientNetOper::installStreamsTheFileWithProgress_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("progress");
    // Before chunks 0 and 10 of 13.
    QTest::newRow("100 KB") << 100 * 1024 << QList<int>{0, 72};
    // Before chunks 0, 10, ..., 120 of 128.
    QTest::newRow("1 MB") << 1024 * 1024 << QList<int>{0, 7, 14, 21, 28, 35, 42, 49, 56, 63, 70, 77, 84};
    QTest::newRow("small") << 3000 << QList<int>{0};
}

void TstClientNetOper::installStreamsTheFileWithProgress()
{
    QFETCH(int, size);
    QFETCH(QList<int>, progress);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("游戏.apk"));
    QByteArray content(size, '\0');
    for (int i = 0; i < size; ++i)
        content[i] = char(i * 7 + i / 8192);
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == size);
    f.close();

    RecordingAgent agent;
    QVERIFY(agent.ok());
    Client client(agent.port());
    QSignalSpy stateSpy(client.obj, &ClientNetOperObj::sigNewSimuStateParamArrived);
    QSignalSpy beginSpy(client.obj, &ClientNetOperObj::sigBeginInstall);
    QSignalSpy progSpy(client.obj, &ClientNetOperObj::sigInstallProgress);
    QSignalSpy finSpy(client.obj, &ClientNetOperObj::sigInstallFinished);
    QSignalSpy doneSpy(client.obj, &ClientNetOperObj::sigOperDelivered);
    client.call("slInstallApk4Simus", Q_ARG(QStringList, QStringList({"0", "2"})), Q_ARG(QString, path));
    QVERIFY(agent.waitEnded(1));
    QTRY_COMPARE(doneSpy.count(), 1);
    QCOMPARE(doneSpy.first().at(2).toInt(), 0);

    const auto& c = agent.conns.first();
    QCOMPARE(c.opers.size(), 2);
    QCOMPARE(c.opers.first().iOperType, 2);
    QCOMPARE(c.opers.first().iExtra, size);
    QCOMPARE(c.opers.first().fileName, QStringLiteral("游戏.apk"));
    QVERIFY(c.file == content);
    QCOMPARE(beginSpy.count(), 2);
    QCOMPARE(finSpy.count(), 0); // the agent's result ends the install
    QList<int> seen0;
    for (const auto& args : progSpy) {
        if (args.at(0).toString() == QStringLiteral("0"))
            seen0 << args.at(1).toInt();
    }
    QCOMPARE(seen0, progress);
    QCOMPARE(progSpy.count(), 2 * progress.size());
    QCOMPARE(states(stateSpy).first().iState, int(eStateInstalling));
}

// Empty target list: 60 without connecting. A file that cannot be opened: 55 once the document went
// out; the targets show running again. Both shown once through the failure signal.
void TstClientNetOper::deliveryFailures()
{
    RecordingAgent agent;
    QVERIFY(agent.ok());
    Client client(agent.port());
    QSignalSpy failSpy(client.obj, &ClientNetOperObj::sigNetOperReplyResult);
    QSignalSpy stateSpy(client.obj, &ClientNetOperObj::sigNewSimuStateParamArrived);
    QSignalSpy finSpy(client.obj, &ClientNetOperObj::sigInstallFinished);
    client.call("slOperateSimus", Q_ARG(int, 0), Q_ARG(QStringList, QStringList()));
    QTRY_COMPARE(failSpy.count(), 1);
    CCommResult* p = ptrArg<CCommResult>(failSpy.first().at(0));
    QCOMPARE(p->iRet, OpsCode::NoTargets);
    QCOMPARE(p->str, QStringLiteral("没有任务可供执行"));
    QTest::qWait(50);
    QCOMPARE(agent.conns.size(), 0);

    client.call("slInstallApk4Simus", Q_ARG(QStringList, QStringList{"1"}),
                Q_ARG(QString, QStringLiteral("/nonexistent/dir/x.apk")));
    QTRY_COMPARE(failSpy.count(), 2);
    p = ptrArg<CCommResult>(failSpy.at(1).at(0));
    QCOMPARE(p->iRet, OpsCode::OpenFileFailed);
    QCOMPARE(p->str, QStringLiteral("打开文件失败"));
    QVERIFY(agent.waitEnded(1));
    QCOMPARE(agent.conns.first().opers.size(), 1); // the document had gone out
    QCOMPARE(finSpy.count(), 1);
    const QList<StateMsg> st = states(stateSpy);
    QCOMPARE(st.size(), 3); // installing, then running (-1), then running (T+1)
    QCOMPARE(st.at(1).iState, 1);
    QCOMPARE(st.at(1).iTime, -1);
    QCOMPARE(st.at(2).iState, 1);
    QCOMPARE(st.at(2).iTime, st.at(0).iTime + 1);
    freeResult(failSpy);
}

namespace {

DevOperData installTo(quint16 port, const QString& path, int announced, int targets = 1)
{
    DevOperData d;
    d.iOperType = 2;
    for (int i = 0; i < targets; ++i)
        d.memuIdxs << QString::number(i);
    d.ipAddr = QStringLiteral("127.0.0.1");
    d.nickName = QStringLiteral("机房一");
    d.pcName = QStringLiteral("agent-pc");
    d.strArg = path;
    d.port = port;
    d.iExtra = announced;
    d.iTime = 1;
    d.filePauseMs = 0;
    return d;
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        return QString();
    return path;
}

// Runs an install manager on a thread of its own while this thread serves the test agent.
CCommResult runInstall(const DevOperData& data)
{
    CCommResult r = CCommResult::failure(-1, QStringLiteral("did not finish"));
    std::unique_ptr<QThread> thread(QThread::create([&] { r = OperGrpSimuInstallMgr(data).Run(); }));
    thread->start();
    QDeadlineTimer deadline(30000);
    while (!thread->isFinished() && !deadline.hasExpired())
        QTest::qWait(5);
    thread->wait();
    return r;
}

} // namespace

// The agent reads exactly the announced number of bytes: a file that grew since it was measured
// sends only those, one that shrank fails with 24 after sending what it had.
void TstClientNetOper::fileOfAnotherSizeThanAnnounced()
{
    QTemporaryDir dir;
    QByteArray content(3 * 1024 * 1024 + 5000, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 13 + i / 4096);
    const QString path = writeFile(dir, QStringLiteral("a.apk"), content);
    QVERIFY(!path.isEmpty());
    RecordingAgent agent;
    QVERIFY(agent.ok());

    const int shorter = 2 * 1024 * 1024 + 777; // inside a block
    QCOMPARE(runInstall(installTo(agent.port(), path, shorter)).iRet, 0);
    QVERIFY(agent.waitEnded(1));
    QVERIFY(agent.conns.at(0).file == content.left(shorter));

    const CCommResult r = runInstall(installTo(agent.port(), path, content.size() + 100));
    QCOMPARE(r.iRet, OpsCode::SendFileFailed);
    QCOMPARE(r.str, QStringLiteral("传输文件到agent-pc时超时出错，请再试一次"));
    QVERIFY2(
        r.log.contains(QStringLiteral("%1 of %2 bytes read").arg(content.size()).arg(content.size() + 100)),
        qPrintable(r.log));
    QVERIFY(agent.waitEnded(2));
    QVERIFY(agent.conns.at(1).file == content);
}

// An agent that takes the connection but reads nothing (its buffers fill up): a document that does
// not leave fails with 56, a file that does not leave with 24, once, after one write wait, with the
// bytes sent so far in the log.
void TstClientNetOper::agentThatStopsReading()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    server.pauseAccepting(); // connections complete in the system's queue; nobody reads them
    QTemporaryDir dir;
    const QByteArray content(32 * 1024 * 1024, 'x');
    const QString path = writeFile(dir, QStringLiteral("big.apk"), content);
    QVERIFY(!path.isEmpty());
    // The console's install manager's warnings (not passed on: the documents below are huge).
    MessageCatcher messages(false);

    DevOperData data = installTo(server.serverPort(), path, content.size());
    data.writeWaitMs = 300;
    OperGrpSimuInstallMgr file(data);
    QSignalSpy finished(&file, &OperGrpSimuInstallMgr::sigInstallFinished);
    QElapsedTimer clock;
    clock.start();
    const CCommResult r = file.Run();
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(r.iRet, OpsCode::SendFileFailed);
    QCOMPARE(r.str, QStringLiteral("传输文件到agent-pc时超时出错，请再试一次"));
    QVERIFY2(
        r.log.startsWith(QStringLiteral("isOpen:1,isValid:1,isWritable:1,isReadable:1,iWrittenTotleLen:")),
        qPrintable(r.log));
    const qint64 sentBefore = r.log.section(':', -1).toLongLong();
    QVERIFY2(sentBefore > 0 && sentBefore < content.size(), qPrintable(r.log));
    QCOMPARE(finished.count(), 1);
    // One failed write, one wait for it (and one for the closing connection to drain), not one per
    // block or per attempt.
    const QStringList sendWarnings = messages.texts(QStringLiteral("传输文件到"), QtWarningMsg);
    QCOMPARE(
        std::count_if(sendWarnings.cbegin(), sendWarnings.cend(),
                      [](const QString& text) { return !text.startsWith(QStringLiteral("send command:")); }),
        1);
    // A wait per block would take minutes; the bound leaves room for reading the file on a busy machine.
    QVERIFY2(elapsed >= 300 && elapsed < 15000, qPrintable(QString::number(elapsed)));

    // A document far larger than the system's buffers: 56 after the write wait.
    data = installTo(server.serverPort(), path, content.size(), 60000);
    data.writeWaitMs = 300;
    OperGrpSimuInstallMgr doc(data);
    clock.restart();
    const CCommResult r56 = doc.Run();
    QCOMPARE(r56.iRet, OpsCode::SendCommandFailed);
    QCOMPARE(r56.str, QStringLiteral("发送命令失败"));
    QCOMPARE(doc.BytesSent(), qint64(0));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
}

// A switched-off PC: the user learns it after the 6 s connect wait, with the nick name and address;
// the targets go back. Meanwhile another PC's operations go through at once.
void TstClientNetOper::agentDownWhileAnotherPcWorks()
{
    BlackHole hole;
    if (!hole.open())
        QSKIP("no listen queue to fill on this system");
    RecordingAgent agent;
    QVERIFY(agent.ok());
    Client down(hole.port(), QStringLiteral("机房二"));
    Client up(agent.port());
    QSignalSpy failSpy(down.obj, &ClientNetOperObj::sigNetOperReplyResult);
    QSignalSpy stateSpy(down.obj, &ClientNetOperObj::sigNewSimuStateParamArrived);
    QElapsedTimer clock;
    clock.start();
    down.call("slOperateSimus", Q_ARG(int, 0), Q_ARG(QStringList, QStringList({"a", "b"})));
    down.call("slOperateSimus", Q_ARG(int, 1), Q_ARG(QStringList, QStringList{"c"}));
    up.call("slOperateSimus", Q_ARG(int, 0), Q_ARG(QStringList, QStringList{"MEmu"}));
    QVERIFY(agent.waitEnded(1));
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(failSpy.wait(10000));
    QVERIFY2(clock.elapsed() >= 5900, qPrintable(QString::number(clock.elapsed())));
    CCommResult* p = ptrArg<CCommResult>(failSpy.first().at(0));
    QCOMPARE(p->iRet, OpsCode::ConnectAgentFailed);
    QCOMPARE(p->str, QStringLiteral("无法连接客户端:\"机房二\"（127.0.0.1）"));
    QVERIFY(p->log.startsWith(QStringLiteral("127.0.0.1出错")));
    // The second operation of that PC waited its turn: its failure comes a full wait later.
    QTRY_COMPARE_WITH_TIMEOUT(failSpy.count(), 2, 10000);
    QVERIFY(clock.elapsed() >= 11800);
    const QList<StateMsg> st = states(stateSpy);
    // start: starting a, b; then not started with -1; then not started with T+1; close likewise.
    QCOMPARE(st.size(), 9);
    QCOMPARE(st.at(2).iState, -1);
    QCOMPARE(st.at(2).iTime, -1);
    QCOMPARE(st.at(4).iState, -1);
    QCOMPARE(st.at(4).iTime, st.at(0).iTime + 1);
    QCOMPARE(st.at(6).iState, int(eStateClosing));
    QCOMPARE(st.at(7).iState, 1); // close: running with -1 first,
    QCOMPARE(st.at(7).iTime, -1);
    QCOMPARE(st.at(8).iState, -1); // then not started with T+1
    freeResult(failSpy);
}

QTEST_GUILESS_MAIN(TstClientNetOper)
#include "tst_clientnetoper.moc"
