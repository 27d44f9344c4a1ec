#include "jsoncodec.h"

#include <QRegularExpression>
#include <QtTest>

namespace {

struSimuOper makeOper(int type, const QString& idx, const QString& fileName)
{
    struSimuOper o;
    o.iOperType = type;
    o.iExtra = 1234;
    o.centerIP = QStringLiteral("10.0.0.2");
    o.memuIdx = idx;
    o.rmtNickName = QStringLiteral("机房一");
    o.rmtPcName = QStringLiteral("PC-01");
    o.fileName = fileName;
    o.iTime = 1700000000;
    return o;
}

void expectParseWarning()
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^parse json err: .*input: ")));
}

} // namespace

class TestJsonCodec : public QObject
{
    Q_OBJECT

private slots:
    void commandDocExactText();
    void commandDocRoundTripChinese();
    void commandDocSizeZeroKeepsUser();
    void commandDocMissingMembersAndHugeSize();
    void commandDocPeerAddressOverride();
    void malformedInputIs41AndLeavesOutputs();
    void typeMessages();
    void resultListRoundTrip();
    void simuRecordAndState();
};

void TestJsonCodec::commandDocExactText()
{
    const QList<struSimuOper> opers{
        makeOper(eOperInstall, QStringLiteral("MEmu_1"), QStringLiteral("游戏.apk")),
        makeOper(eOperStartup, QStringLiteral("MEmu_2"), QString())};
    const QByteArray doc = JsonCodec::serializeCommandDoc(opers, QStringLiteral("user1"));
    const QByteArray first =
        QStringLiteral("{\"centerIP\":\"10.0.0.2\",\"fileName\":\"游戏.apk\",\"iExtra\":1234,"
                       "\"iOperType\":2,\"iReplyRet\":-1,\"iTime\":1700000000,"
                       "\"memuIdx\":\"MEmu_1\",\"replyRet\":\"\",\"rmtNickName\":\"机房一\","
                       "\"rmtPcName\":\"PC-01\"}")
            .toUtf8();
    QVERIFY2(doc.startsWith("{\"0\":" + first + ",\"1\":{"), doc.constData());
    QVERIFY(doc.endsWith("},\"size\":2,\"usrName\":\"user1\"}"));
    QVERIFY(!doc.contains('\n'));
    QVERIFY(!doc.contains(": "));
}

void TestJsonCodec::commandDocRoundTripChinese()
{
    struSimuOper a = makeOper(eOperRename, QStringLiteral("3"), QStringLiteral("新名字\"引号\\"));
    a.replyRet = QStringLiteral("重命名成功");
    a.iReplyRet = 0;
    const QList<struSimuOper> opers{a, makeOper(eOperDelete, QStringLiteral("4"), QString())};
    QList<struSimuOper> out;
    const CCommResult r = JsonCodec::parseCommandDoc(
        JsonCodec::serializeCommandDoc(opers, QStringLiteral("张三")), out, QString());
    QCOMPARE(r.iRet, 0);
    QCOMPARE(r.str, QStringLiteral("张三"));
    QCOMPARE(out.size(), 2);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(out[i].iOperType, opers[i].iOperType);
        QCOMPARE(out[i].iExtra, opers[i].iExtra);
        QCOMPARE(out[i].iReplyRet, opers[i].iReplyRet);
        QCOMPARE(out[i].centerIP, opers[i].centerIP);
        QCOMPARE(out[i].memuIdx, opers[i].memuIdx);
        QCOMPARE(out[i].rmtNickName, opers[i].rmtNickName);
        QCOMPARE(out[i].rmtPcName, opers[i].rmtPcName);
        QCOMPARE(out[i].replyRet, opers[i].replyRet);
        QCOMPARE(out[i].fileName, opers[i].fileName);
        QCOMPARE(out[i].iTime, opers[i].iTime);
    }
}

void TestJsonCodec::commandDocSizeZeroKeepsUser()
{
    QList<struSimuOper> out;
    const CCommResult r = JsonCodec::parseCommandDoc(
        JsonCodec::serializeCommandDoc({}, QStringLiteral("李四")), out, QStringLiteral("1.2.3.4"));
    QCOMPARE(r.iRet, 0);
    QCOMPARE(r.str, QStringLiteral("李四"));
    QVERIFY(out.isEmpty());
}

void TestJsonCodec::commandDocMissingMembersAndHugeSize()
{
    QList<struSimuOper> out;
    CCommResult r =
        JsonCodec::parseCommandDoc(R"({"size":3,"usrName":"u","1":{"memuIdx":"7"}})", out, QString());
    QCOMPARE(r.iRet, 0);
    QCOMPARE(out.size(), 3);
    QCOMPARE(out[1].memuIdx, QStringLiteral("7"));
    for (const struSimuOper& o : {out[0], out[2]}) {
        QCOMPARE(o.iOperType, 0);
        QCOMPARE(o.iReplyRet, 0); // missing reads as 0, not as the "no reply" default
        QVERIFY(o.memuIdx.isEmpty());
        QVERIFY(o.centerIP.isEmpty());
    }

    // A hostile size is bounded instead of allocating two thousand million records.
    out.clear();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("exceeds")));
    r = JsonCodec::parseCommandDoc(R"({"size":2000000000,"usrName":"u"})", out, QString());
    QCOMPARE(r.iRet, 0);
    QCOMPARE(out.size(), JsonCodec::kMaxDocumentMembers);

    out.clear();
    r = JsonCodec::parseCommandDoc(R"({"size":-5,"usrName":"u"})", out, QString());
    QCOMPARE(r.iRet, 0);
    QVERIFY(out.isEmpty());
}

void TestJsonCodec::commandDocPeerAddressOverride()
{
    const QByteArray doc =
        JsonCodec::serializeCommandDoc({makeOper(eOperClose, QStringLiteral("1"), QString()),
                                        makeOper(eOperClose, QStringLiteral("2"), QString())},
                                       QStringLiteral("u"));
    QList<struSimuOper> out;
    QCOMPARE(JsonCodec::parseCommandDoc(doc, out, QStringLiteral("192.168.1.9")).iRet, 0);
    QCOMPARE(out.size(), 2);
    QCOMPARE(out[0].centerIP, QStringLiteral("192.168.1.9"));
    QCOMPARE(out[1].centerIP, QStringLiteral("192.168.1.9"));
    out.clear();
    QCOMPARE(JsonCodec::parseCommandDoc(doc, out, QString()).iRet, 0);
    QCOMPARE(out[0].centerIP, QStringLiteral("10.0.0.2"));
}

void TestJsonCodec::malformedInputIs41AndLeavesOutputs()
{
    const QByteArray doc = JsonCodec::serializeCommandDoc(
        {makeOper(eOperStartup, QStringLiteral("1"), QString())}, QStringLiteral("u"));
    const QList<QByteArray> bad{doc.left(doc.size() - 1), doc.left(doc.size() / 2), QByteArray(), "[1,2]",
                                "garbage"};
    for (const QByteArray& input : bad) {
        QList<struSimuOper> out;
        expectParseWarning();
        const CCommResult r = JsonCodec::parseCommandDoc(input, out, QString());
        QCOMPARE(r.iRet, ResultCode::ParseJsonFailed);
        QCOMPARE(r.str, QStringLiteral("解析json出错"));
        QVERIFY(!r.log.isEmpty());
        QVERIFY(out.isEmpty());
    }

    struSimuRecord rec;
    rec.memuIdx = QStringLiteral("keep");
    expectParseWarning();
    QCOMPARE(JsonCodec::parseSimuRecord(R"({"memuIdx":"x","iPid":)", rec).iRet, 41);
    QCOMPARE(rec.memuIdx, QStringLiteral("keep"));
    QCOMPARE(rec.iState, -1);

    int type = 9, a = 9, b = 9;
    expectParseWarning();
    QCOMPARE(JsonCodec::parseTypeIntMsg(QStringLiteral("{\"type\":1"), type, a, b).iRet, 41);
    QCOMPARE(type + a + b, 27);
}

void TestJsonCodec::typeMessages()
{
    CCommResult r = JsonCodec::serializeTypeIntMsg(3, 5, -7);
    QCOMPARE(r.iRet, 0);
    QCOMPARE(r.str, QStringLiteral("{\"int1\":5,\"int2\":-7,\"type\":3}"));
    int type = 0, a = 0, b = 0;
    QCOMPARE(JsonCodec::parseTypeIntMsg(r.str, type, a, b).iRet, 0);
    QCOMPARE(type, 3);
    QCOMPARE(a, 5);
    QCOMPARE(b, -7);

    r = JsonCodec::serializeTypeStrMsg(2, QStringLiteral("用户名"));
    QCOMPARE(r.str, QStringLiteral("{\"str1\":\"用户名\",\"type\":2}"));
    const CCommResult p = JsonCodec::parseTypeStrMsg(r.str);
    QCOMPARE(p.iRet, 0);
    QCOMPARE(p.iExtraRet, 2);
    QCOMPARE(p.str, QStringLiteral("用户名"));

    const CCommResult empty = JsonCodec::parseTypeStrMsg(QStringLiteral("{}"));
    QCOMPARE(empty.iRet, 0);
    QCOMPARE(empty.iExtraRet, 0);
    QVERIFY(empty.str.isEmpty());
}

void TestJsonCodec::resultListRoundTrip()
{
    CCommResult a =
        CCommResult::failure(52, QStringLiteral("客户端向总控写数据失败"), QStringLiteral("socket err"));
    a.iLastErr = 104;
    CCommResult b;
    b.iExtraRet = 4321;
    b.str = QStringLiteral("启动成功");
    const QByteArray doc = JsonCodec::serializeResultList({a, b}, QStringLiteral("结果"), 6);
    QVERIFY(doc.contains(
        "\"0\":{\"descript\":\"客户端向总控写数据失败\",\"iExtraRet\":0,\"iLastErr\":104,\"iRet\":52,"
        "\"techlog\":\"socket err\"}"));
    QList<CCommResult> out;
    const CCommResult r = JsonCodec::parseResultList(doc, out);
    QCOMPARE(r.iRet, 0);
    QCOMPARE(r.log, QStringLiteral("结果"));
    QCOMPARE(r.iExtraRet, 6);
    QCOMPARE(out.size(), 2);
    QCOMPARE(out[0].iRet, 52);
    QCOMPARE(out[0].iLastErr, 104);
    QCOMPARE(out[0].str, a.str);
    QCOMPARE(out[0].log, a.log);
    QCOMPARE(out[1].iExtraRet, 4321);
    QCOMPARE(out[1].str, b.str);
}

void TestJsonCodec::simuRecordAndState()
{
    struSimuRecord rec;
    rec.memuIdx = QStringLiteral("MEmu_3");
    rec.simuName = QStringLiteral("逍遥3号");
    rec.iPid = 4242;
    rec.iState = eStateRunning;
    rec.iTime = -1;
    rec.iRestErrCnt = 2;
    const QByteArray text = JsonCodec::serializeSimuRecord(rec);
    QCOMPARE(QString::fromUtf8(text),
             QStringLiteral("{\"iPid\":4242,\"iRestErrCnt\":2,\"iState\":1,\"iTime\":-1,"
                            "\"memuIdx\":\"MEmu_3\",\"simuName\":\"逍遥3号\"}"));
    struSimuRecord back;
    QCOMPARE(JsonCodec::parseSimuRecord(text, back).iRet, 0);
    QCOMPARE(back.memuIdx, rec.memuIdx);
    QCOMPARE(back.simuName, rec.simuName);
    QCOMPARE(back.iPid, rec.iPid);
    QCOMPARE(back.iState, rec.iState);
    QCOMPARE(back.iTime, rec.iTime);
    QCOMPARE(back.iRestErrCnt, rec.iRestErrCnt);

    const QByteArray state =
        JsonCodec::serializeSimuState(QStringLiteral("电脑A"), QStringLiteral("2"), 5, 99, 2);
    QCOMPARE(state,
             QStringLiteral(
                 "{\"iDaemonModel\":2,\"iState\":5,\"iTime\":99,\"memuIdx\":\"2\",\"pcName\":\"电脑A\"}")
                 .toUtf8());
    QString pc, idx;
    int st = 0, t = 0, dm = 0;
    QCOMPARE(JsonCodec::parseSimuState(state, pc, idx, st, t, dm).iRet, 0);
    QCOMPARE(pc, QStringLiteral("电脑A"));
    QCOMPARE(idx, QStringLiteral("2"));
    QCOMPARE(st, 5);
    QCOMPARE(t, 99);
    QCOMPARE(dm, 2);
}

QTEST_GUILESS_MAIN(TestJsonCodec)
#include "tst_jsoncodec.moc"
