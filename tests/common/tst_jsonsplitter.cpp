#include "jsonsplitter.h"

#include <QtTest>

class TestJsonSplitter : public QObject
{
    Q_OBJECT

private slots:
    void scanFindsEndOfFirstObject_data();
    void scanFindsEndOfFirstObject();
    void everyPrefixIsIncomplete();
    void garbageIsInvalid();
    void byteByByteDelivery();
    void mergedDocumentsAndTrailingFile();
    void sizeCap();
};

void TestJsonSplitter::scanFindsEndOfFirstObject_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("end");
    QTest::newRow("flat") << QByteArray(R"({"a":1})") << 7;
    QTest::newRow("leading space") << QByteArray(" \r\n\t{}") << 6;
    QTest::newRow("brace in string") << QByteArray(R"({"a":"}{"}xyz)") << 10;
    QTest::newRow("escaped quote") << QByteArray(R"({"a":"\"}"}{)") << 11;
    QTest::newRow("escaped backslash") << QByteArray(R"({"a":"\\"}"})") << 10;
    QTest::newRow("nested") << QByteArray(R"({"0":{"b":[{"c":{}}]},"size":1}{"x":2})") << 31;
    QTest::newRow("chinese") << QStringLiteral("{\"u\":\"张三}\"}rest").toUtf8() << 15;
    QTest::newRow("binary after") << QByteArray("{}\x00\xff{\"", 6) << 2;
}

void TestJsonSplitter::scanFindsEndOfFirstObject()
{
    QFETCH(QByteArray, data);
    QFETCH(int, end);
    int got = -1;
    QCOMPARE(JsonSplitter::scan(data, got), JsonSplitter::Complete);
    QCOMPARE(got, end);
}

void TestJsonSplitter::everyPrefixIsIncomplete()
{
    const QByteArray doc =
        QStringLiteral(R"({"0":{"fileName":"a\"}b{\\","memuIdx":"机"},"size":1,"usrName":"u"})").toUtf8();
    for (int n = 0; n < doc.size(); ++n) {
        int end = -1;
        QVERIFY2(JsonSplitter::scan(doc.left(n), end) == JsonSplitter::Incomplete, doc.left(n).constData());
    }
    int end = -1;
    QCOMPARE(JsonSplitter::scan(doc, end), JsonSplitter::Complete);
    QCOMPARE(end, doc.size());
}

void TestJsonSplitter::garbageIsInvalid()
{
    int end = -1;
    QCOMPARE(JsonSplitter::scan("[1,2]", end), JsonSplitter::Invalid);
    QCOMPARE(JsonSplitter::scan("  x{}", end), JsonSplitter::Invalid);
    QCOMPARE(JsonSplitter::scan("\"{}\"", end), JsonSplitter::Invalid);
    QCOMPARE(JsonSplitter::scan("{\"a\":[}", end), JsonSplitter::Incomplete); // still open at depth 1
    QCOMPARE(JsonSplitter::scan("{]", end), JsonSplitter::Invalid);

    JsonSplitter s;
    QByteArray doc;
    s.append("GET / HTTP/1.1\r\n");
    QCOMPARE(s.next(doc), JsonSplitter::Invalid);
    QVERIFY(doc.isEmpty());
}

void TestJsonSplitter::byteByByteDelivery()
{
    const QByteArray doc = QStringLiteral(R"({"size":1,"usrName":"王五","0":{"memuIdx":"1"}})").toUtf8();
    JsonSplitter s;
    QByteArray got;
    for (int i = 0; i < doc.size() - 1; ++i) {
        s.append(doc.mid(i, 1));
        QCOMPARE(s.next(got), JsonSplitter::Incomplete);
    }
    s.append(doc.right(1));
    QCOMPARE(s.next(got), JsonSplitter::Complete);
    QCOMPARE(got, doc);
    QCOMPARE(s.bufferedSize(), 0);
    QCOMPARE(s.next(got), JsonSplitter::Incomplete);
}

void TestJsonSplitter::mergedDocumentsAndTrailingFile()
{
    // Two documents and the start of a file arrive in one read; the file's bytes look like JSON.
    const QByteArray a = R"({"a":"}"})";
    const QByteArray b = R"({"b":{"c":1}})";
    const QByteArray file("PK\x03\x04{\"\\}", 9);
    JsonSplitter s;
    s.append(a + b + file);
    QByteArray got;
    QCOMPARE(s.next(got), JsonSplitter::Complete);
    QCOMPARE(got, a);
    QCOMPARE(s.next(got), JsonSplitter::Complete);
    QCOMPARE(got, b);
    QCOMPARE(s.bufferedSize(), file.size());
    QCOMPARE(s.takeBuffered(), file);
    QCOMPARE(s.bufferedSize(), 0);

    // A document split over two reads with the file right behind it.
    s.append(a.left(4));
    QCOMPARE(s.next(got), JsonSplitter::Incomplete);
    s.append(a.mid(4) + file);
    QCOMPARE(s.next(got), JsonSplitter::Complete);
    QCOMPARE(got, a);
    QCOMPARE(s.takeBuffered(), file);
}

void TestJsonSplitter::sizeCap()
{
    JsonSplitter s(16);
    QByteArray got;
    s.append(R"({"a":"0123456789ab)"); // 17 bytes, still open
    QCOMPARE(s.next(got), JsonSplitter::Invalid);

    JsonSplitter fits(16);
    fits.append(R"({"a":"0123456"})"); // 15 bytes
    QCOMPARE(fits.next(got), JsonSplitter::Complete);
    fits.append(R"({"a":"012345678901"})");
    QCOMPARE(fits.next(got), JsonSplitter::Invalid);
    fits.clear();
    QCOMPARE(fits.bufferedSize(), 0);
}

QTEST_GUILESS_MAIN(TestJsonSplitter)
#include "tst_jsonsplitter.moc"
