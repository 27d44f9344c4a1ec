#include "xxtea.h"

#include <QRandomGenerator>
#include <QtTest>

class TestXxtea : public QObject
{
    Q_OBJECT
private slots:
    void knownAnswerBlocks_data();
    void knownAnswerBlocks();
    void threeBytesUnderZeroKey();
    void shortAndEmptyInputs();
    void keyPadding();
    void roundTripRandomLengths();
    void tamperedLengthWordGivesEmpty();
    void compiledKeysCarryTheirZeroByte();
};

using Words = QVector<quint32>;
Q_DECLARE_METATYPE(Words)

static QByteArray wordsToBytes(const Words& w)
{
    QByteArray b;
    for (quint32 x : w) {
        for (int i = 0; i < 4; ++i) {
            b.append(char((x >> (8 * i)) & 0xFF));
        }
    }
    return b;
}

// Published known answers of the Corrected Block TEA (TeaCrypt test set, key and data as words).
void TestXxtea::knownAnswerBlocks_data()
{
    QTest::addColumn<Words>("key");
    QTest::addColumn<Words>("plain");
    QTest::addColumn<Words>("cipher");
    const Words zero{0, 0, 0, 0};
    const Words k2{0x00112233, 0x44556677, 0x8899AABB, 0xCCDDEEFF};
    QTest::newRow("64 zero") << zero << Words{0, 0} << Words{0x053704AB, 0x575D8C80};
    QTest::newRow("64 counting") << zero << Words{0x01020304, 0x05060708} << Words{0xE6911910, 0x0C35DCDA};
    QTest::newRow("64 keyed") << k2 << Words{0x01234567, 0x89ABCDEF} << Words{0x34354989, 0xDD7D1A7A};
    QTest::newRow("96 keyed") << k2 << Words{0x00010203, 0x04050607, 0x08090A0B}
                              << Words{0x2E77CCEC, 0x674F5149, 0xA0E56496};
    QTest::newRow("128 zero") << zero << Words{0, 0, 0, 0}
                              << Words{0xE6C8D5FF, 0x070FB6E4, 0x98A534F7, 0xAC03E399};
    QTest::newRow("128 keyed") << k2 << Words{0x01234567, 0x89ABCDEF, 0x01234567, 0x89ABCDEF}
                               << Words{0x2B4AB1A4, 0x0E487B6D, 0x9A3AACC7, 0xE4132216};
}

void TestXxtea::knownAnswerBlocks()
{
    QFETCH(Words, key);
    QFETCH(Words, plain);
    QFETCH(Words, cipher);
    Words v = plain;
    xxteaEncryptWords(v.data(), v.size(), key.constData());
    QCOMPARE(v, cipher);
    xxteaDecryptWords(v.data(), v.size(), key.constData());
    QCOMPARE(v, plain);
}

void TestXxtea::threeBytesUnderZeroKey()
{
    const QByteArray key(16, '\0');
    const QByteArray cipher = xxteaEncrypt("abc", key);
    QCOMPARE(cipher.size(), 8); // the data word and the length word

    Words expect{0x00636261, 3};
    const quint32 k[4] = {0, 0, 0, 0};
    xxteaEncryptWords(expect.data(), 2, k);
    QCOMPARE(cipher, wordsToBytes(expect));
    QCOMPARE(xxteaDecrypt(cipher, key), QByteArray("abc"));
}

void TestXxtea::shortAndEmptyInputs()
{
    const QByteArray key("0123456789abcdef");
    // Empty plain text: only the length word, which stays unmixed.
    QCOMPARE(xxteaEncrypt(QByteArray(), key), QByteArray(4, '\0'));
    // Fewer than two words never decrypt.
    QCOMPARE(xxteaDecrypt(QByteArray(), key), QByteArray());
    QCOMPARE(xxteaDecrypt(QByteArray(4, '\0'), key), QByteArray());
    QCOMPARE(xxteaDecrypt(xxteaEncrypt(QByteArray(), key), key), QByteArray());
    // A ciphertext whose size is not a word multiple is read zero-padded.
    const QByteArray c = xxteaEncrypt("hello", key);
    QCOMPARE(c.size(), 12);
    QVERIFY(xxteaDecrypt(c.left(11), key) != QByteArray("hello"));
}

void TestXxtea::keyPadding()
{
    const QByteArray plain("key padding");
    // A short key is zero-padded: trailing zero bytes do not change it.
    QCOMPARE(xxteaEncrypt(plain, "DevStore"), xxteaEncrypt(plain, QByteArray("DevStore\0", 9)));
    QCOMPARE(xxteaEncrypt(plain, "DevStore"),
             xxteaEncrypt(plain, QByteArray("DevStore") + QByteArray(8, '\0')));
    // Only the first 16 bytes of a long key count.
    QCOMPARE(xxteaEncrypt(plain, "0123456789abcdefXYZ"), xxteaEncrypt(plain, "0123456789abcdef"));
    QVERIFY(xxteaEncrypt(plain, "0123456789abcdeX") != xxteaEncrypt(plain, "0123456789abcdef"));
}

void TestXxtea::roundTripRandomLengths()
{
    QRandomGenerator rng(20261208);
    for (int len = 0; len <= 100; ++len) {
        QByteArray plain(len, Qt::Uninitialized);
        for (int i = 0; i < len; ++i) {
            plain[i] = char(rng.bounded(256));
        }
        QByteArray key(int(rng.bounded(20)), Qt::Uninitialized);
        for (int i = 0; i < key.size(); ++i) {
            key[i] = char(rng.bounded(256));
        }
        const QByteArray cipher = xxteaEncrypt(plain, key);
        QCOMPARE(cipher.size(), ((len + 3) / 4 + 1) * 4);
        QCOMPARE(xxteaDecrypt(cipher, key), plain);
    }
}

void TestXxtea::tamperedLengthWordGivesEmpty()
{
    const QByteArray key("0123456789abcdef");
    quint32 k[4];
    for (int i = 0; i < 4; ++i) {
        k[i] = qFromLittleEndian<quint32>(key.constData() + 4 * i); // key words are little-endian
    }
    // Four data words and the length word: valid lengths are 13..16 (4n-7..4n-4); try just outside.
    for (quint32 badLen : {12u, 17u, 0u, 0xFFFFFFFFu}) {
        Words v{0x11111111, 0x22222222, 0x33333333, 0x44444444, badLen};
        xxteaEncryptWords(v.data(), v.size(), k);
        QCOMPARE(xxteaDecrypt(wordsToBytes(v), key), QByteArray());
    }
    for (quint32 goodLen : {13u, 16u}) {
        Words v{0x11111111, 0x22222222, 0x33333333, 0x44444444, goodLen};
        xxteaEncryptWords(v.data(), v.size(), k);
        QCOMPARE(xxteaDecrypt(wordsToBytes(v), key).size(), int(goodLen));
    }
    // A flipped ciphertext bit scrambles the length word as well.
    QByteArray cipher = xxteaEncrypt("some login document", key);
    cipher[3] = char(cipher[3] ^ 0x40);
    QVERIFY(xxteaDecrypt(cipher, key) != QByteArray("some login document"));
}

void TestXxtea::compiledKeysCarryTheirZeroByte()
{
    QCOMPARE(toviaPayloadKey().size(), 14);
    QCOMPARE(toviaPayloadKey().back(), '\0');
    QCOMPARE(toviaStoreKey().size(), 9);
    QCOMPARE(toviaStoreKey().back(), '\0');
    QVERIFY(toviaPayloadKey().left(8) != toviaStoreKey().left(8));
}

QTEST_APPLESS_MAIN(TestXxtea)
#include "tst_xxtea.moc"
