// Message authentication: signed documents and datagrams as they travel (serialised, parsed
// again), every kind of forgery, stale and replayed messages, the bounded replay guard, and the
// bindings of a result's thumbnail and of the remote desktop's control connection.
#include "discovery.h"
#include "msgauth.h"

#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QThread>
#include <QtTest>
#include <atomic>
#include <vector>

using MsgAuth::eChannel;
using MsgAuth::eVerdict;

namespace {

const QByteArray kKey =
    QByteArray::fromHex("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
const QByteArray kOtherKey = QByteArray(32, 'x');

QJsonObject commandDoc()
{
    return QJsonObject{{"0", QJsonObject{{"iType", 1}, {"memuIdx", "MEmu_1"}, {"iTime", 1700000000}}},
                       {"size", 1},
                       {"usrName", "10086"}};
}

// What the receiver sees: the document after the wire.
QJsonObject overTheWire(const QJsonObject& doc)
{
    return QJsonDocument::fromJson(QJsonDocument(doc).toJson(QJsonDocument::Compact)).object();
}

QByteArray pcInfoReply()
{
    struPcUdpInfo header;
    header.setPcName(QStringLiteral("PC-1"));
    header.setIpAddr(QStringLiteral("10.0.0.5"));
    return Discovery::encodePcInfoReply(header, Discovery::encodeSimuEntry(21503, "MEmu_1", "一号"));
}

} // namespace

class TestMsgAuth : public QObject
{
    Q_OBJECT

private slots:
    void signedDocumentsAndForgeries();
    void datagramTrailer();
    void staleAndReplayedWithinABoundedGuard();
    void thumbnailAndControlConnectionBindings();
};

void TestMsgAuth::signedDocumentsAndForgeries()
{
    MsgVerifier verifier(eChannel::Command);
    QJsonObject doc = commandDoc();
    MsgAuth::signJson(doc, kKey, eChannel::Command);
    QVERIFY(doc.value("authSig").toString().size() == 64 && doc.value("authNonce").toString().size() == 32);
    QCOMPARE(doc.value("usrName").toString(), QString("10086")); // the document reads as before
    QCOMPARE(verifier.checkJson(overTheWire(doc), kKey), eVerdict::Ok);

    const auto forged = [&](const std::function<void(QJsonObject&)>& change) {
        QJsonObject d = commandDoc();
        MsgAuth::signJson(d, kKey, eChannel::Command);
        change(d);
        return verifier.checkJson(overTheWire(d), kKey);
    };
    QCOMPARE(forged([](QJsonObject& d) { d.insert("usrName", "10087"); }), eVerdict::BadSignature);
    QCOMPARE(forged([](QJsonObject& d) { d.insert("extra", true); }), eVerdict::BadSignature);
    QCOMPARE(forged([](QJsonObject& d) { d.insert("authTime", d.value("authTime").toDouble() + 1); }),
             eVerdict::BadSignature);
    QCOMPARE(forged([](QJsonObject& d) { d.remove("authSig"); }), eVerdict::Malformed);
    QCOMPARE(forged([](QJsonObject& d) { d.insert("authNonce", "abc"); }), eVerdict::Malformed);
    QCOMPARE(forged([](QJsonObject& d) { d.insert("authTime", "now"); }), eVerdict::Malformed);
    QCOMPARE(forged([](QJsonObject& d) { d.insert("authSig", QString(1 << 20, 'a')); }), eVerdict::Malformed);
    QCOMPARE(forged([](QJsonObject& d) { d.insert("0", QString(MsgAuth::kMaxSignedBytes, 'a')); }),
             eVerdict::TooLarge);

    QJsonObject wrongKey = commandDoc();
    MsgAuth::signJson(wrongKey, kOtherKey, eChannel::Command);
    QCOMPARE(verifier.checkJson(wrongKey, kKey), eVerdict::BadSignature);
    QJsonObject query = commandDoc();
    MsgAuth::signJson(query, kKey, eChannel::DiscoveryQuery); // another channel's message
    QCOMPARE(verifier.checkJson(query, kKey), eVerdict::BadSignature);
    QJsonObject signedDoc = commandDoc();
    MsgAuth::signJson(signedDoc, kKey, eChannel::Command);
    QCOMPARE(verifier.checkJson(signedDoc, QByteArray()), eVerdict::NoKey);

    // Unsigned peers: refused, unless accepted; signed ones are checked either way.
    QCOMPARE(verifier.checkJson(commandDoc(), kKey), eVerdict::Unsigned);
    verifier.setAcceptUnsigned(true);
    QCOMPARE(verifier.checkJson(commandDoc(), kKey), eVerdict::AcceptedUnsigned);
    QCOMPARE(forged([](QJsonObject& d) { d.insert("usrName", "1"); }), eVerdict::BadSignature);
    QVERIFY(MsgAuth::isAccepted(eVerdict::AcceptedUnsigned) && !MsgAuth::isAccepted(eVerdict::Unsigned));
    QVERIFY(MsgAuth::verdictText(eVerdict::Replayed).contains("replayed"));
}

void TestMsgAuth::datagramTrailer()
{
    MsgVerifier verifier(eChannel::DiscoveryReply);
    const QByteArray plain = pcInfoReply();
    const QByteArray sent = MsgAuth::signDatagram(plain, kKey, eChannel::DiscoveryReply);
    QCOMPARE(sent.size(), plain.size() + MsgAuth::kTrailerBytes);
    // A reader that knows nothing of the trailer still reads the reply.
    Discovery::struDecodedReply decoded;
    QCOMPARE(Discovery::decodeReply(sent, decoded), Discovery::eDecodeStatus::Ok);
    QCOMPARE(decoded.simus.value(0).simuName, QString("一号"));

    QByteArray body;
    QCOMPARE(verifier.checkDatagram(sent, kKey, &body), eVerdict::Ok);
    QCOMPARE(body, plain);
    for (int at : {0, 100, plain.size() - 1, plain.size() + 5, plain.size() + 20, sent.size() - 1}) {
        QByteArray changed = sent;
        changed[at] = char(changed[at] ^ 0x01);
        const eVerdict v = verifier.checkDatagram(changed, kKey);
        QVERIFY2(v == eVerdict::BadSignature || v == eVerdict::Unsigned, qPrintable(QString::number(at)));
    }
    for (int cut : {1, 32, 63, 64, 200})
        QCOMPARE(verifier.checkDatagram(sent.left(sent.size() - cut), kKey), eVerdict::Unsigned);
    QCOMPARE(verifier.checkDatagram(MsgAuth::signDatagram(plain, kOtherKey, eChannel::DiscoveryReply), kKey),
             eVerdict::BadSignature);
    QCOMPARE(verifier.checkDatagram(MsgAuth::signDatagram(plain, kKey, eChannel::DiscoveryQuery), kKey),
             eVerdict::BadSignature);
    QCOMPARE(verifier.checkDatagram(sent, kKey), eVerdict::Replayed);
    QCOMPARE(verifier.checkDatagram(QByteArray(70000, 'x'), kKey), eVerdict::TooLarge);

    body.clear();
    QCOMPARE(verifier.checkDatagram(plain, kKey, &body), eVerdict::Unsigned);
    QVERIFY(body.isEmpty());
    verifier.setAcceptUnsigned(true);
    QCOMPARE(verifier.checkDatagram(plain, kKey, &body), eVerdict::AcceptedUnsigned);
    QCOMPARE(body, plain);

    // The trailer as the header describes it, so that a peer written elsewhere can check it: an
    // HMAC-SHA256 of "tovia-auth-v1", the channel, a zero binding length, the datagram and the
    // trailer's first 32 bytes.
    const QByteArray trailer = sent.right(MsgAuth::kTrailerBytes);
    QCOMPARE(trailer.left(5), QByteArray("TVS1\x04", 5));
    QMessageAuthenticationCode expected(QCryptographicHash::Sha256, kKey);
    expected.addData(QByteArray("tovia-auth-v1") + QByteArray("\x04\0\0\0\0", 5));
    expected.addData(sent.left(sent.size() - MsgAuth::kMacBytes));
    QCOMPARE(trailer.right(MsgAuth::kMacBytes).toHex(), expected.result().toHex());
}

// Messages older or newer than the window are stale; a message seen within the window is a replay,
// also when many threads see it at once; the guard forgets what the window no longer allows and
// never holds more than its capacity, and what it had to drop cannot come back either.
void TestMsgAuth::staleAndReplayedWithinABoundedGuard()
{
    qint64 now = 1700000000000;
    MsgVerifier verifier(eChannel::Command, 30000, 100);
    verifier.setClock([&now] { return now; });
    const auto signedAt = [](qint64 t) {
        QJsonObject d = commandDoc();
        MsgAuth::signJson(d, kKey, eChannel::Command, QByteArray(), t);
        return d;
    };
    QCOMPARE(verifier.checkJson(signedAt(now - 30001), kKey), eVerdict::Stale);
    QCOMPARE(verifier.checkJson(signedAt(now + 30001), kKey), eVerdict::Stale);
    const QJsonObject captured = signedAt(now - 29000);
    QCOMPARE(verifier.checkJson(captured, kKey), eVerdict::Ok);
    QCOMPARE(verifier.checkJson(captured, kKey), eVerdict::Replayed);
    now += 2000; // the capture is now outside the window
    QCOMPARE(verifier.checkJson(captured, kKey), eVerdict::Stale);

    std::vector<QJsonObject> burst;
    for (int i = 0; i < 1000; ++i)
        burst.push_back(signedAt(now - 1000 + i));
    for (const QJsonObject& d : burst)
        QCOMPARE(verifier.checkJson(d, kKey), eVerdict::Ok);
    QVERIFY(verifier.remembered() <= 100);
    QCOMPARE(verifier.checkJson(burst.front(), kKey), eVerdict::Stale);   // dropped, yet refused
    QCOMPARE(verifier.checkJson(burst.back(), kKey), eVerdict::Replayed); // still remembered
    QCOMPARE(verifier.checkJson(signedAt(now), kKey), eVerdict::Ok);
    now += 60000;
    QCOMPARE(verifier.checkJson(signedAt(now), kKey), eVerdict::Ok);
    QCOMPARE(verifier.remembered(), 1);

    // One captured command sent by eight threads at once is carried out once.
    const QJsonObject raced = signedAt(now);
    std::atomic<int> accepted{0};
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back(QThread::create([&] {
            if (verifier.checkJson(raced, kKey) == eVerdict::Ok)
                ++accepted;
        }));
        threads.back()->start();
    }
    for (auto& t : threads)
        QVERIFY(t->wait(10000));
    QCOMPARE(accepted.load(), 1);
}

void TestMsgAuth::thumbnailAndControlConnectionBindings()
{
    // A result report and the thumbnail behind it.
    const QByteArray jpeg = QByteArray(3000, '\xff');
    QJsonObject report = commandDoc();
    MsgAuth::bindTail(report, jpeg);
    MsgAuth::signJson(report, kKey, eChannel::Result);
    MsgVerifier results(eChannel::Result);
    const QJsonObject received = overTheWire(report);
    QCOMPARE(results.checkJson(received, kKey), eVerdict::Ok);
    QVERIFY(MsgAuth::tailMatches(received, jpeg));
    QVERIFY(!MsgAuth::tailMatches(received, jpeg.left(2999) + 'x'));
    QVERIFY(!MsgAuth::tailMatches(commandDoc(), jpeg));

    // The first control message proves it belongs to the begin that started the run.
    QJsonObject begin = commandDoc();
    MsgAuth::signJson(begin, kKey, eChannel::Command);
    QJsonObject otherBegin = commandDoc();
    MsgAuth::signJson(otherBegin, kKey, eChannel::Command);
    const QByteArray run = MsgAuth::nonceOf(begin);
    QCOMPARE(run.size(), MsgAuth::kNonceBytes);
    const auto hello = [&](const QByteArray& binding) {
        QJsonObject h{{"type", 1}, {"int1", 10}, {"int2", 20}};
        MsgAuth::signJson(h, kKey, eChannel::DesktopControl, binding);
        return overTheWire(h);
    };
    MsgVerifier control(eChannel::DesktopControl);
    QCOMPARE(control.checkJson(hello(run), kKey, run), eVerdict::Ok);
    QCOMPARE(control.checkJson(hello(MsgAuth::nonceOf(otherBegin)), kKey, run), eVerdict::BadSignature);
    QCOMPARE(control.checkJson(hello(QByteArray()), kKey, run), eVerdict::BadSignature);
}

QTEST_GUILESS_MAIN(TestMsgAuth)
#include "tst_msgauth.moc"
