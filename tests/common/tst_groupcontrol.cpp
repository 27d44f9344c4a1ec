#include "groupcontrol.h"
#include "jsoncodec.h"

#include <QtTest>

class TestGroupControl : public QObject
{
    Q_OBJECT

private slots:
    void eventsScaleToEachScreen();
    void hostileEventsAreRefused_data();
    void hostileEventsAreRefused();
    void textKeepsMetacharactersAsOneWord();
    void commandRecordCarriesTheEvent();
    void replyRoundTripAndBounds();
    void viewFramesAcrossPieces();
    void badFrameHeadersAreRefusedBeforeThePayload();
};

// The same event lands at the same place of screens of any size, corners included.
void TestGroupControl::eventsScaleToEachScreen()
{
    const QList<GroupInputEvent> events{GroupInputEvent::tap(0.5, 0.25),
                                        GroupInputEvent::swipe(0, 0, 1, 1, 300), GroupInputEvent::key(4),
                                        GroupInputEvent::roll(-3, 100)};
    QList<QStringList> at720, at270;
    for (const GroupInputEvent& sent : events) {
        QString why;
        const std::optional<GroupInputEvent> got = GroupInputEvent::fromJson(sent.toJson(), &why);
        QVERIFY2(got, qPrintable(sent.toJson() + ": " + why));
        at720 << got->inputWords(QSize(720, 1280));
        at270 << got->inputWords(QSize(270, 480));
    }
    QCOMPARE(at720.at(0), (QStringList{"input", "tap", "360", "320"}));
    QCOMPARE(at270.at(0), (QStringList{"input", "tap", "135", "120"}));
    QCOMPARE(at720.at(1), (QStringList{"input", "swipe", "0", "0", "719", "1279", "300"}));
    QCOMPARE(at270.at(1), (QStringList{"input", "swipe", "0", "0", "269", "479", "300"}));
    QCOMPARE(at720.at(2), (QStringList{"input", "keyevent", "4"}));
    QCOMPARE(at270.at(3), (QStringList{"input", "roll", "-3", "100"}));
    QVERIFY(GroupInputEvent::tap(0.5, 0.5).inputWords(QSize()).isEmpty());
}

void TestGroupControl::hostileEventsAreRefused_data()
{
    QTest::addColumn<QString>("json");
    QTest::newRow("not json") << "{\"k\":\"tap\",";
    QTest::newRow("array") << "[1,2]";
    QTest::newRow("unknown kind") << "{\"k\":\"exec\",\"x\":0,\"y\":0}";
    QTest::newRow("no kind") << "{\"x\":0,\"y\":0}";
    QTest::newRow("missing y") << "{\"k\":\"tap\",\"x\":0.5}";
    QTest::newRow("x as text") << "{\"k\":\"tap\",\"x\":\"0.5\",\"y\":0.5}";
    QTest::newRow("x below 0") << "{\"k\":\"tap\",\"x\":-0.001,\"y\":0.5}";
    QTest::newRow("y above 1") << "{\"k\":\"tap\",\"x\":0.5,\"y\":1.0001}";
    QTest::newRow("infinite") << "{\"k\":\"tap\",\"x\":1e999,\"y\":0.5}";
    QTest::newRow("NaN literal") << "{\"k\":\"tap\",\"x\":NaN,\"y\":0.5}";
    QTest::newRow("swipe too long") << "{\"k\":\"swipe\",\"x\":0,\"y\":0,\"x2\":1,\"y2\":1,\"ms\":10001}";
    QTest::newRow("swipe fractional ms") << "{\"k\":\"swipe\",\"x\":0,\"y\":0,\"x2\":1,\"y2\":1,\"ms\":1.5}";
    QTest::newRow("swipe no end") << "{\"k\":\"swipe\",\"x\":0,\"y\":0,\"ms\":10}";
    QTest::newRow("key negative") << "{\"k\":\"key\",\"code\":-1}";
    QTest::newRow("key huge") << "{\"k\":\"key\",\"code\":4294967297}";
    QTest::newRow("roll too far") << "{\"k\":\"roll\",\"dx\":101,\"dy\":0}";
    QTest::newRow("text empty") << "{\"k\":\"text\",\"text\":\"\"}";
    QTest::newRow("text number") << "{\"k\":\"text\",\"text\":5}";
    QTest::newRow("text line break") << "{\"k\":\"text\",\"text\":\"a\\nreboot\"}";
    QTest::newRow("text too long")
        << QStringLiteral("{\"k\":\"text\",\"text\":\"%1\"}").arg(QString(501, 'a'));
    QTest::newRow("document too long") << QStringLiteral("{\"k\":\"key\",\"code\":3,\"pad\":\"%1\"}")
                                              .arg(QString(GroupControl::kMaxEventJsonChars, 'a'));
}

void TestGroupControl::hostileEventsAreRefused()
{
    QFETCH(QString, json);
    QString why;
    QVERIFY(!GroupInputEvent::fromJson(json, &why));
    QVERIFY(!why.isEmpty());
}

// The words are what `input` must receive; the agent's shell quotes each for the device. Spaces
// become %s, metacharacters stay as they are in one word, characters `input text` cannot type are
// left out, and a text of nothing but those replays nothing.
void TestGroupControl::textKeepsMetacharactersAsOneWord()
{
    const QString hostile = QStringLiteral("a b'c\"d;e$(f)`g`|h&i<j>k\\l*m#n");
    const std::optional<GroupInputEvent> e =
        GroupInputEvent::fromJson(GroupInputEvent::typed(hostile).toJson());
    QVERIFY(e);
    QCOMPARE(e->text, hostile);
    QCOMPARE(e->inputWords(QSize(720, 1280)),
             (QStringList{"input", "text", QStringLiteral("a%sb'c\"d;e$(f)`g`|h&i<j>k\\l*m#n")}));
    QCOMPARE(GroupInputEvent::typed(QStringLiteral("你好 ok")).inputWords(QSize(10, 10)).value(2),
             QStringLiteral("%sok"));
    QVERIFY(GroupInputEvent::typed(QStringLiteral("你好")).inputWords(QSize(10, 10)).isEmpty());
    QVERIFY(GroupInputEvent::fromJson(GroupInputEvent::typed(QString(500, 'x')).toJson()));
}

void TestGroupControl::commandRecordCarriesTheEvent()
{
    struSimuOper withEvent;
    withEvent.iOperType = eOperGroupInput;
    withEvent.memuIdx = QStringLiteral("3");
    withEvent.runId = QStringLiteral("run_1");
    withEvent.inputEvent = GroupInputEvent::tap(0.1, 0.9).toJson();
    struSimuOper plain;
    plain.iOperType = eOperStartup;
    struSimuOper huge = withEvent;
    huge.inputEvent = QString(GroupControl::kMaxEventJsonChars + 1, 'x');
    const QByteArray doc = JsonCodec::serializeCommandDoc({withEvent, plain, huge}, QStringLiteral("u"));
    QCOMPARE(doc.count("inputEvent"), 2); // absent when empty, as an old peer writes it
    QList<struSimuOper> back;
    QVERIFY(JsonCodec::parseCommandDoc(doc, back, QString()).ok());
    QCOMPARE(back.size(), 3);
    QCOMPARE(back.at(0).inputEvent, withEvent.inputEvent);
    QCOMPARE(back.at(0).runId, withEvent.runId);
    QVERIFY(back.at(1).inputEvent.isEmpty());
    QVERIFY(back.at(2).inputEvent.isEmpty());
}

void TestGroupControl::replyRoundTripAndBounds()
{
    GroupReply reply;
    reply.type = eOperGroupInput;
    reply.runId = QStringLiteral("abc-1");
    reply.items << GroupReplyItem{QStringLiteral("1"), eGroupOk, QString(), 0}
                << GroupReplyItem{QStringLiteral("2"), eGroupQueueFull, groupReplyText(eGroupQueueFull, 7),
                                  7};
    const QByteArray json = groupReplyToJson(reply);
    QString why;
    std::optional<GroupReply> back = groupReplyFromJson(json, &why);
    QVERIFY2(back, qPrintable(why));
    QCOMPARE(back->type, int(eOperGroupInput));
    QCOMPARE(back->runId, reply.runId);
    QCOMPARE(back->items.size(), 2);
    QCOMPARE(back->items.at(1).text, QStringLiteral("输入队列已满，已丢弃7个事件"));
    QCOMPARE(back->items.at(1).dropped, 7);

    // Texts from the peer are cut, a run id that is none is dropped, a negative count is 0.
    back =
        groupReplyFromJson(QStringLiteral("{\"type\":9,\"runId\":\"a b;rm\",\"items\":[{\"memuIdx\":\"%1\","
                                          "\"code\":4,\"text\":\"%2\",\"dropped\":-5}]}")
                               .arg(QString(500, 'i'), QString(5000, 't'))
                               .toUtf8());
    QVERIFY(back);
    QVERIFY(back->runId.isEmpty());
    QCOMPARE(back->items.at(0).memuIdx.size(), GroupControl::kMaxMemuIdxChars);
    QCOMPARE(back->items.at(0).text.size(), GroupControl::kMaxReplyTextChars);
    QCOMPARE(back->items.at(0).dropped, 0);

    GroupReply many;
    for (int i = 0; i <= GroupControl::kMaxReplyItems; ++i)
        many.items << GroupReplyItem{QString(), 0, QString(), 0};
    QVERIFY(!groupReplyFromJson(groupReplyToJson(many), &why));
    QVERIFY(!groupReplyFromJson(QByteArray(GroupControl::kMaxReplyBytes + 1, ' '), &why));
    QVERIFY(!groupReplyFromJson("[]", &why));
    QVERIFY(!groupReplyFromJson("{\"type\":8,", &why));
}

// Frames written back to back come out whole and in order however the stream is cut.
void TestGroupControl::viewFramesAcrossPieces()
{
    QByteArray jpeg(100000, '\0');
    for (int i = 0; i < jpeg.size(); ++i)
        jpeg[i] = char(i * 7);
    const QString longReason = QString(600, QChar(0x5173)); // 1800 bytes of UTF-8
    const QByteArray stream =
        encodeGroupViewFrame(GroupViewFrame::hello(QStringLiteral("run-9"))) +
        encodeGroupViewFrame(GroupViewFrame::jpeg(jpeg, QSize(720, 1280), 1700000000123)) +
        encodeGroupViewFrame(GroupViewFrame::end(longReason));
    for (const int piece : {1, 27, 28, 4096, int(stream.size())}) {
        GroupViewFrameReader reader;
        QList<GroupViewFrame> frames;
        for (int at = 0; at < stream.size(); at += piece) {
            reader.append(stream.mid(at, piece));
            GroupViewFrame f;
            GroupViewFrameReader::eResult r;
            while ((r = reader.next(f)) == GroupViewFrameReader::Complete)
                frames << f;
            QCOMPARE(r, GroupViewFrameReader::Incomplete);
        }
        QCOMPARE(frames.size(), 3);
        QCOMPARE(frames.at(0).kind, GroupViewFrame::Hello);
        QCOMPARE(frames.at(0).text(), QStringLiteral("run-9"));
        QCOMPARE(frames.at(1).kind, GroupViewFrame::Jpeg);
        QCOMPARE(frames.at(1).width, 720u);
        QCOMPARE(frames.at(1).height, 1280u);
        QCOMPARE(frames.at(1).captureMs, quint64(1700000000123));
        QVERIFY(frames.at(1).payload == jpeg);
        QCOMPARE(frames.at(2).kind, GroupViewFrame::End);
        QVERIFY(frames.at(2).payload.size() <= int(GroupControl::kMaxEndBytes));
        QVERIFY(longReason.startsWith(frames.at(2).text()));
        QVERIFY(frames.at(2).text().size() > 300);
        QCOMPARE(reader.buffered(), 0);
    }
    // The writer refuses what no reader takes.
    QVERIFY(encodeGroupViewFrame(GroupViewFrame::hello(QString(129, 'r'))).isEmpty());
    QVERIFY(encodeGroupViewFrame(
                GroupViewFrame::jpeg(QByteArray(GroupControl::kMaxJpegBytes + 1, 'j'), QSize(1, 1), 0))
                .isEmpty());
}

void TestGroupControl::badFrameHeadersAreRefusedBeforeThePayload()
{
    const QByteArray good = encodeGroupViewFrame(GroupViewFrame::jpeg("JPEG", QSize(2, 2), 5));
    const auto patched = [&](int at, const char* bytes, int n) {
        QByteArray h = good.left(GroupControl::kFrameHeaderBytes);
        h.replace(at, n, QByteArray(bytes, n));
        return h;
    };
    QByteArray longHello = patched(4, "\x00", 1); // a hello of 129 bytes
    longHello.replace(24, 4, QByteArray("\x00\x00\x00\x81", 4));
    const QList<QByteArray> bad{
        patched(0, "HTTP", 4),              // another protocol
        patched(4, "\x03", 1),              // unknown kind
        patched(6, "\x01", 1),              // reserved byte set
        patched(8, "\x00\x01\x00\x01", 4),  // 65537 pixels wide
        patched(24, "\xff\xff\xff\xff", 4), // 4 GB payload
        patched(24, "\x00\x40\x00\x01", 4), // just over 4 MB
        longHello,
    };
    for (const QByteArray& header : bad) {
        GroupViewFrameReader reader;
        reader.append(header);
        GroupViewFrame f;
        QCOMPARE(reader.next(f), GroupViewFrameReader::Invalid);
        QVERIFY(!reader.error().isEmpty());
        QCOMPARE(reader.buffered(), 0);
        // It stays refused: nothing more is buffered or read.
        reader.append(good);
        QCOMPARE(reader.next(f), GroupViewFrameReader::Invalid);
        QCOMPARE(reader.buffered(), 0);
    }
    // A good frame followed by garbage: the frame, then the refusal.
    GroupViewFrameReader reader;
    reader.append(good + QByteArray(40, 'x'));
    GroupViewFrame f;
    QCOMPARE(reader.next(f), GroupViewFrameReader::Complete);
    QCOMPARE(f.payload, QByteArray("JPEG"));
    QCOMPARE(reader.next(f), GroupViewFrameReader::Invalid);
}

QTEST_GUILESS_MAIN(TestGroupControl)
#include "tst_groupcontrol.moc"
