// The discovery wire format as both ends see it: byte offsets of the header, cut text fields, the
// query text, and the console-side decoder that must never read past a datagram.
#include "discovery.h"

#include <QtTest>
#include <cstring>

using namespace Discovery;

namespace {

qint32 le32At(const QByteArray& bytes, int offset)
{
    return qFromLittleEndian<qint32>(bytes.constData() + offset);
}

QByteArray fieldAt(const QByteArray& bytes, int offset, int size)
{
    return bytes.mid(offset, size);
}

// A field of `size` bytes holding `text` followed by zeros.
QByteArray zeroPadded(const QByteArray& text, int size)
{
    return text + QByteArray(size - text.size(), '\0');
}

struPcUdpInfo sampleHeader()
{
    struPcUdpInfo h;
    h.setPcName(QStringLiteral("PC-01"));
    h.setNickName(QStringLiteral("机房一号"));
    h.setIpAddr(QStringLiteral("192.168.3.17"));
    h.iRunLimit = 4;
    h.iDaemonModel = 2;
    h.iSimuType = 1;
    return h;
}

} // namespace

class TstDiscoveryWire : public QObject
{
    Q_OBJECT

private slots:
    void pcInfoReplyHasFixedOffsets();
    void simuStateReplyPutsNameAndIndexInTheNickField();
    void textFieldsAreCutOnCharacterBoundaries();
    void textFieldsNeverRunPastTheirWidth();
    void queryRoundTripAndNulTerminator();
    void malformedQueryIsRefused();
    void decoderAcceptsWhatTheEncoderWrites();
    void decoderDropsShortAndLyingDatagrams_data();
    void decoderDropsShortAndLyingDatagrams();
    void pcInfoReplyKeepsAtMostFiftyWholeEntries();
};

void TstDiscoveryWire::pcInfoReplyHasFixedOffsets()
{
    const QByteArray entries = encodeSimuEntry(21503, QStringLiteral("MEmu"), QStringLiteral("逍遥模拟器")) +
                               encodeSimuEntry(21513, QStringLiteral("MEmu_1"), QStringLiteral("game"));
    const QByteArray d = encodePcInfoReply(sampleHeader(), entries);

    QCOMPARE(d.size(), 288 + 2 * 164);
    QCOMPARE(fieldAt(d, 0, 64), zeroPadded("PC-01", 64));
    QCOMPARE(fieldAt(d, 64, 128), zeroPadded(QStringLiteral("机房一号").toUtf8(), 128));
    QCOMPARE(fieldAt(d, 192, 64), zeroPadded("192.168.3.17", 64));
    QCOMPARE(int(quint8(d.at(256))), 0);
    QCOMPARE(fieldAt(d, 257, 3), QByteArray(3, '\0'));
    QCOMPARE(le32At(d, 260), 2 * 164);
    QCOMPARE(le32At(d, 264), 2);
    QCOMPARE(le32At(d, 268), 4);
    QCOMPARE(fieldAt(d, 272, 8), QByteArray(8, '\0'));
    QCOMPARE(le32At(d, 280), 2);
    QCOMPARE(le32At(d, 284), 1);
    // Entries follow back to back: port, 32-byte index, 128-byte name.
    QCOMPARE(le32At(d, 288), 21503);
    QCOMPARE(fieldAt(d, 288 + 4, 32), zeroPadded("MEmu", 32));
    QCOMPARE(fieldAt(d, 288 + 36, 128), zeroPadded(QStringLiteral("逍遥模拟器").toUtf8(), 128));
    QCOMPARE(le32At(d, 288 + 164), 21513);
    QCOMPARE(fieldAt(d, 288 + 164 + 4, 32), zeroPadded("MEmu_1", 32));
}

void TstDiscoveryWire::simuStateReplyPutsNameAndIndexInTheNickField()
{
    struPcUdpInfo h = sampleHeader();
    h.iRunLimit = 0;
    // A 70-byte display name is cut to 63 bytes by the index field that follows it.
    h.setSimuName(QString(70, QLatin1Char('n')));
    h.setMemuIdx(QStringLiteral("MEmu_7"));
    h.setStateTime(1700000001);
    h.setState(1);
    const QByteArray jpeg("\xff\xd8\xff\xe0jpegbytes", 13);
    const QByteArray d = encodeSimuStateReply(h, jpeg);

    QCOMPARE(d.size(), 288 + jpeg.size());
    QCOMPARE(fieldAt(d, 64, 64), zeroPadded(QByteArray(63, 'n'), 64));
    QCOMPARE(fieldAt(d, 128, 64), zeroPadded("MEmu_7", 64));
    QCOMPARE(int(quint8(d.at(256))), 1);
    QCOMPARE(le32At(d, 260), jpeg.size());
    QCOMPARE(le32At(d, 264), 1700000001);
    QCOMPARE(le32At(d, 268), 1);
    QCOMPARE(d.mid(288), jpeg);
}

void TstDiscoveryWire::textFieldsAreCutOnCharacterBoundaries()
{
    // 30 three-byte characters = 90 bytes; a 64-byte field holds 21 of them (63 bytes) and its NUL.
    const QString longName = QString(30, QChar(0x6D4B)); // 测
    struPcUdpInfo h;
    h.setPcName(longName);
    QCOMPARE(h.pcNameText(), QString(21, QChar(0x6D4B)));
    QCOMPARE(h.pcName[63], '\0');

    // A name whose 63-byte cut would split a character: 62 ASCII bytes, then a 3-byte character.
    h.setPcName(QString(62, QLatin1Char('a')) + QStringLiteral("机"));
    QCOMPARE(h.pcNameText(), QString(62, QLatin1Char('a')));
    QCOMPARE(h.pcName[62], '\0');

    // Four-byte characters (outside the BMP) in the 32-byte index of an entry: 7 fit (28 bytes).
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
    QString idx;
    for (int i = 0; i < 9; ++i)
        idx += emoji;
    const struSimuEntry e = decodeSimuEntry(encodeSimuEntry(1, idx, QString()).constData());
    QCOMPARE(e.memuIdx.toUtf8().size(), 28);
    QVERIFY(!e.memuIdx.contains(QChar::ReplacementCharacter));
}

void TstDiscoveryWire::textFieldsNeverRunPastTheirWidth()
{
    struPcUdpInfo h;
    h.setNickName(QString(500, QLatin1Char('x')));
    h.setIpAddr(QString(100, QLatin1Char('9')));
    // Neither overflow reached the neighbouring field or the integers behind them.
    QCOMPARE(h.ipAddrText(), QString(63, QLatin1Char('9')));
    QCOMPARE(h.nickNameText(), QString(127, QLatin1Char('x')));
    QCOMPARE(int(h.kind), 0);
    QCOMPARE(int(h.iDataLen), 0);

    // A field filled to the brim by a foreign writer (no NUL) is read only up to its end.
    std::memset(h.pcName, 'p', sizeof(h.pcName));
    QCOMPARE(h.pcNameText(), QString(64, QLatin1Char('p')));
}

void TstDiscoveryWire::queryRoundTripAndNulTerminator()
{
    const QByteArray q = encodeQuery(eQuerySimuState, QStringLiteral("张三"));
    QCOMPARE(q, QStringLiteral("{\"str1\":\"张三\",\"type\":1}").toUtf8());

    int type = -1;
    QString user;
    QVERIFY(parseQuery(q, type, user).ok());
    QCOMPARE(type, 1);
    QCOMPARE(user, QStringLiteral("张三"));

    // The text ends at the first NUL; keys in any order.
    type = -1;
    QVERIFY(parseQuery(QByteArray("{\"type\":0,\"str1\":\"bob\"}\0trailing garbage", 40), type, user).ok());
    QCOMPARE(type, 0);
    QCOMPARE(user, QStringLiteral("bob"));
}

void TstDiscoveryWire::malformedQueryIsRefused()
{
    int type = 7;
    QString user = QStringLiteral("kept");
    const CCommResult r = parseQuery(QByteArray("{\"type\":1,\"str1\":\"bo"), type, user);
    QCOMPARE(r.iRet, 41);
    QCOMPARE(type, 7);
    QCOMPARE(user, QStringLiteral("kept"));
    QCOMPARE(parseQuery(QByteArray("[1,2]"), type, user).iRet, 41);
}

void TstDiscoveryWire::decoderAcceptsWhatTheEncoderWrites()
{
    QByteArray entries;
    for (int i = 0; i < 3; ++i)
        entries += encodeSimuEntry(5555 + 2 * i, QString::number(i), QStringLiteral("雷电模拟器-%1").arg(i));
    struDecodedReply out;
    QCOMPARE(decodeReply(encodePcInfoReply(sampleHeader(), entries), out), eDecodeStatus::Ok);
    QCOMPARE(out.header.pcNameText(), QStringLiteral("PC-01"));
    QCOMPARE(out.header.nickNameText(), QStringLiteral("机房一号"));
    QCOMPARE(out.header.ipAddrText(), QStringLiteral("192.168.3.17"));
    QCOMPARE(int(out.header.iRunLimit), 4);
    QCOMPARE(out.entryBytes, entries);
    QCOMPARE(out.simus.size(), 3);
    QCOMPARE(out.simus.at(2).iAdbPort, 5559);
    QCOMPARE(out.simus.at(2).memuIdx, QStringLiteral("2"));
    QCOMPARE(out.simus.at(2).simuName, QStringLiteral("雷电模拟器-2"));

    // An empty list is a valid 288-byte reply.
    QCOMPARE(decodeReply(encodePcInfoReply(sampleHeader(), QByteArray()), out), eDecodeStatus::Ok);
    QVERIFY(out.simus.isEmpty());

    struPcUdpInfo h = sampleHeader();
    h.setMemuIdx(QStringLiteral("MEmu_2"));
    h.setState(5);
    h.setStateTime(-1);
    QCOMPARE(decodeReply(encodeSimuStateReply(h, QByteArray("jpg")), out), eDecodeStatus::Ok);
    QCOMPARE(out.header.memuIdxText(), QStringLiteral("MEmu_2"));
    QCOMPARE(out.header.state(), 5);
    QCOMPARE(out.header.stateTime(), -1);
    QCOMPARE(out.jpeg, QByteArray("jpg"));
}

void TstDiscoveryWire::decoderDropsShortAndLyingDatagrams_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("status");

    const QByteArray two =
        encodePcInfoReply(sampleHeader(), encodeSimuEntry(1, "a", "A") + encodeSimuEntry(2, "b", "B"));
    auto patched = [](QByteArray d, int offset, qint32 value) {
        qToLittleEndian<qint32>(value, d.data() + offset);
        return d;
    };
    const int bad = int(eDecodeStatus::BadLength);

    QTest::newRow("empty") << QByteArray() << int(eDecodeStatus::TooShort);
    QTest::newRow("287 bytes") << two.left(287) << int(eDecodeStatus::TooShort);
    QTest::newRow("list cut short") << two.left(two.size() - 1) << bad;
    QTest::newRow("count larger than list") << patched(two, 264, 3) << bad;
    QTest::newRow("length larger than datagram") << patched(patched(two, 264, 3), 260, 3 * 164) << bad;
    QTest::newRow("length not count x 164") << patched(two, 260, 300) << bad;
    QTest::newRow("negative count") << patched(patched(two, 264, -1), 260, -164) << bad;
    QTest::newRow("huge count overflowing 32 bits")
        << patched(patched(two, 264, 26188358), 260, qint32(26188358LL * 164)) << bad;

    QByteArray k1 = encodeSimuStateReply(sampleHeader(), QByteArray(10, 'j'));
    QTest::newRow("picture length past end") << patched(k1, 260, 11) << bad;
    QTest::newRow("negative picture length") << patched(k1, 260, -5) << bad;

    QByteArray k2 = two;
    k2[256] = 2;
    QTest::newRow("unknown kind") << k2 << int(eDecodeStatus::UnknownKind);
}

void TstDiscoveryWire::decoderDropsShortAndLyingDatagrams()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, status);
    struDecodedReply out;
    QCOMPARE(int(decodeReply(datagram, out)), status);
    QVERIFY(out.simus.isEmpty());
    QVERIFY(out.jpeg.isEmpty());
}

void TstDiscoveryWire::pcInfoReplyKeepsAtMostFiftyWholeEntries()
{
    QByteArray entries;
    for (int i = 0; i < 55; ++i)
        entries += encodeSimuEntry(i, QString::number(i), QString());
    entries += "partial";
    const QByteArray d = encodePcInfoReply(struPcUdpInfo(), entries);
    QCOMPARE(d.size(), kMaxPcInfoReplySize);
    QCOMPARE(le32At(d, 264), 50);
    QCOMPARE(le32At(d, 260), 50 * 164);
}

QTEST_APPLESS_MAIN(TstDiscoveryWire)
#include "tst_discoverywire.moc"
