// The update list "SerialLizeFile.dat": exact bytes of the archive, both string forms and all
// length forms, loading of damaged files.
#include "textconv.h"
#include "updatecheck.h"
#include "updaterserializer.h"
#include "updateshifter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

QByteArray toQ(const std::string& s)
{
    return QByteArray(s.data(), static_cast<int>(s.size()));
}

std::string fromQ(const QByteArray& b)
{
    return std::string(b.constData(), static_cast<size_t>(b.size()));
}

std::u16string baseOf(const QTemporaryDir& dir)
{
    return (dir.path() + QLatin1Char('/')).toStdU16String();
}

struUpdateEntry entry(const std::string& name, int32_t value = 0)
{
    struUpdateEntry e;
    e.text1 = "1.0.1";
    e.name = name;
    e.value = value;
    e.text3 = "/src/" + name;
    e.text4 = "备注";
    return e;
}

} // namespace

class TestUpdateList : public QObject
{
    Q_OBJECT

private slots:
    void storeWritesUtf16ArchiveBytes();
    void lengthForms_data();
    void lengthForms();
    void readsBothStringForms();
    void everyCutInsideAValueAbortsTheLoad();
    void loadFromFile();
    void storeTruncatesAnOlderList();
    void entryNameRules();
    void hostArgumentsForTheRestart();
};

void TestUpdateList::storeWritesUtf16ArchiveBytes()
{
    CUpdaterSerializer list(u"/base/");
    list.m_hostProgram = u"C:\\中";
    struUpdateEntry e;
    e.text1 = "";
    e.name = "a";
    e.value = -2;
    e.text3 = "b";
    e.text4 = "";
    list.m_entries.push_back(e);

    const QByteArray expected = bytes({0xFF, 0xFE, 0xFF, 0x04, 'C', 0, ':', 0, '\\', 0, 0x2D, 0x4E}) +
                                bytes({0xFF, 0xFE, 0xFF, 0x00}) + bytes({0xFF, 0xFE, 0xFF, 0x01, 'a', 0}) +
                                bytes({0xFE, 0xFF, 0xFF, 0xFF}) + bytes({0xFF, 0xFE, 0xFF, 0x01, 'b', 0}) +
                                bytes({0xFF, 0xFE, 0xFF, 0x00});
    QCOMPARE(toQ(list.serializeList()), expected);
    QCOMPARE(list.m_listPath, std::u16string(u"/base/SerialLizeFile.dat"));
    QCOMPARE(list.m_verdictPath, std::u16string(u"/base/CheckUpdateResult.dat"));
}

void TestUpdateList::lengthForms_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("lengthBytes");
    QTest::newRow("empty") << 0 << bytes({0x00});
    QTest::newRow("254, last one-byte length") << 254 << bytes({0xFE});
    QTest::newRow("255, first three-byte length") << 255 << bytes({0xFF, 0xFF, 0x00});
    QTest::newRow("300") << 300 << bytes({0xFF, 0x2C, 0x01});
    QTest::newRow("0xFFFD, last three-byte length") << 0xFFFD << bytes({0xFF, 0xFD, 0xFF});
    QTest::newRow("0xFFFE, first seven-byte length")
        << 0xFFFE << bytes({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00});
    QTest::newRow("70000") << 70000 << bytes({0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00});
}

void TestUpdateList::lengthForms()
{
    QFETCH(int, length);
    QFETCH(QByteArray, lengthBytes);
    const std::u16string wide(static_cast<size_t>(length), u'界');
    const std::string narrow(static_cast<size_t>(length), 'x');

    std::string wideImage;
    CUpdaterSerializer::appendUtf16String(wideImage, wide);
    QCOMPARE(toQ(wideImage).left(3 + lengthBytes.size()), bytes({0xFF, 0xFE, 0xFF}) + lengthBytes);
    QCOMPARE(wideImage.size(), 3 + static_cast<size_t>(lengthBytes.size()) + 2 * wide.size());

    std::string narrowImage;
    CUpdaterSerializer::appendAnsiString(narrowImage, narrow);
    QCOMPARE(toQ(narrowImage).left(lengthBytes.size()), lengthBytes);

    // A UTF-16 host and an 8-bit entry name of this length come back unchanged.
    std::string image = wideImage;
    CUpdaterSerializer::appendUtf16String(image, u"t1");
    image += narrowImage;
    CUpdaterSerializer::appendInt32(image, 70000);
    CUpdaterSerializer::appendAnsiString(image, "t3");
    CUpdaterSerializer::appendUtf16String(image, u"t4");
    CUpdaterSerializer list(u"/b/");
    QVERIFY(list.parseList(image));
    QVERIFY(list.m_hostProgram == wide);
    QCOMPARE(list.m_entries.size(), size_t(1));
    QVERIFY(list.m_entries[0].name == narrow);
    QCOMPARE(list.m_entries[0].value, 70000);
    QCOMPARE(list.m_entries[0].text3, std::string("t3"));
    QCOMPARE(list.m_entries[0].text4, std::string("t4"));
}

void TestUpdateList::readsBothStringForms()
{
    // Host as an 8-bit string, entry texts mixed; wide texts arrive converted to the narrow form.
    std::string image;
    CUpdaterSerializer::appendAnsiString(image, "/opt/tovia/ToviaSimClient");
    CUpdaterSerializer::appendUtf16String(image, u"版本");
    CUpdaterSerializer::appendUtf16String(image, u"模拟器.dll");
    CUpdaterSerializer::appendInt32(image, -1);
    CUpdaterSerializer::appendAnsiString(image, "");
    CUpdaterSerializer::appendAnsiString(image, "x");

    CUpdaterSerializer list(u"/b/");
    QVERIFY(list.parseList(image));
    QVERIFY(list.m_hostProgram == u"/opt/tovia/ToviaSimClient");
    QCOMPARE(list.m_entries.size(), size_t(1));
    QCOMPARE(QString::fromStdString(list.m_entries[0].text1), QStringLiteral("版本"));
    QCOMPARE(QString::fromStdString(list.m_entries[0].name), QStringLiteral("模拟器.dll"));
    QCOMPARE(list.m_entries[0].value, -1);

    // Stored again, every text is in the UTF-16 form and reads back the same.
    CUpdaterSerializer again(u"/b/");
    QVERIFY(again.parseList(list.serializeList()));
    QVERIFY(again.m_hostProgram == list.m_hostProgram);
    QCOMPARE(again.m_entries[0].name, list.m_entries[0].name);
    QCOMPARE(again.m_entries[0].text4, std::string("x"));
}

void TestUpdateList::everyCutInsideAValueAbortsTheLoad()
{
    CUpdaterSerializer list(u"/b/");
    list.m_hostProgram = std::u16string(300, u'h');
    list.m_entries = {entry("ToviaSim.exe", 5), entry(std::string(70000, 'n'), 6)};
    const std::string image = list.serializeList();

    // A list may end after the host or after a whole entry; a cut anywhere else is inside a string
    // or an integer and must abort the load without leaving entries behind.
    CUpdaterSerializer prefix(u"/b/");
    std::vector<size_t> boundaries;
    std::string grow;
    CUpdaterSerializer::appendUtf16String(grow, prefix.m_hostProgram = list.m_hostProgram);
    boundaries.push_back(grow.size());
    for (const auto& e : list.m_entries) {
        prefix.m_entries.push_back(e);
        boundaries.push_back(prefix.serializeList().size());
    }
    QCOMPARE(boundaries.back(), image.size());

    int accepted = 0;
    for (size_t cut = 0; cut < image.size(); cut += (cut < 1200 || image.size() - cut < 64) ? 1 : 997) {
        CUpdaterSerializer reader(u"/b/");
        const bool ok = reader.parseList(image.substr(0, cut));
        const bool atBoundary = std::find(boundaries.begin(), boundaries.end(), cut) != boundaries.end();
        QVERIFY2(ok == atBoundary, qPrintable(QStringLiteral("cut at %1").arg(cut)));
        if (!ok)
            QVERIFY(reader.m_entries.empty());
        accepted += ok ? 1 : 0;
    }
    QCOMPARE(accepted, 2); // after the host and after the first entry
}

void TestUpdateList::loadFromFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    CUpdaterSerializer missing(baseOf(dir));
    QVERIFY(!missing.loadList());
    QCOMPARE(QString::fromStdString(missing.errorText()),
             QStringLiteral("没有升级文件：%1/SerialLizeFile.dat\n请重新打开exe文件").arg(dir.path()));

    CUpdaterSerializer hostOnly(baseOf(dir));
    hostOnly.m_hostProgram = u"/x/ToviaSim";
    QVERIFY(hostOnly.storeList());
    CUpdaterSerializer readBack(baseOf(dir));
    QVERIFY(readBack.loadList());
    QVERIFY(readBack.m_hostProgram == u"/x/ToviaSim");
    QVERIFY(readBack.m_entries.empty());

    // Cut inside the 32-bit integer of an entry: host, text 1, name, then two of its four bytes.
    std::string image = hostOnly.serializeList();
    CUpdaterSerializer::appendUtf16String(image, u"1.0.1");
    CUpdaterSerializer::appendUtf16String(image, u"a.dll");
    image += std::string("\x01\x00", 2);
    QFile file(dir.path() + QStringLiteral("/SerialLizeFile.dat"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(toQ(image));
    file.close();
    CUpdaterSerializer cut(baseOf(dir));
    QVERIFY(!cut.loadList());
    QVERIFY(cut.m_entries.empty());
    QVERIFY(QString::fromStdString(cut.errorText()).contains(QStringLiteral("SerialLizeFile.dat")));
}

void TestUpdateList::storeTruncatesAnOlderList()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    CUpdaterSerializer big(baseOf(dir));
    big.m_hostProgram = u"/h";
    big.m_entries = {entry("one"), entry("two"), entry("three")};
    QVERIFY(big.storeList());
    CUpdaterSerializer small(baseOf(dir));
    small.m_hostProgram = u"/h";
    small.m_entries = {entry("only")};
    QVERIFY(small.storeList());

    QFile file(dir.path() + QStringLiteral("/SerialLizeFile.dat"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(fromQ(file.readAll()), small.serializeList());
    CUpdaterSerializer readBack(baseOf(dir));
    QVERIFY(readBack.loadList());
    QCOMPARE(readBack.m_entries.size(), size_t(1));
    QCOMPARE(readBack.m_entries[0].name, std::string("only"));
    QCOMPARE(readBack.m_entries[0].text4, std::string("备注"));
}

void TestUpdateList::entryNameRules()
{
    QVERIFY(CUpdateShifter::isSafeEntryName("ToviaSim.exe", '\\'));
    QVERIFY(CUpdateShifter::isSafeEntryName("plugins\\x.dll", '\\'));
    QVERIFY(CUpdateShifter::isSafeEntryName("a..b", '/'));
    QVERIFY(!CUpdateShifter::isSafeEntryName("", '/'));
    QVERIFY(!CUpdateShifter::isSafeEntryName("/etc/passwd", '/'));
    QVERIFY(!CUpdateShifter::isSafeEntryName("../x", '/'));
    QVERIFY(!CUpdateShifter::isSafeEntryName("a/../../x", '/'));
    QVERIFY(!CUpdateShifter::isSafeEntryName("..\\x", '\\'));
    QVERIFY(!CUpdateShifter::isSafeEntryName("C:\\Windows\\x.dll", '\\'));

    // The own name counts only after the start of the path, case as the file system has it.
    QVERIFY(CUpdateShifter::containsAfterStart("/d/TempDldFile/UpdateShifter", "UpdateShifter", false));
    QVERIFY(!CUpdateShifter::containsAfterStart("UpdateShifter", "UpdateShifter", false));
    QVERIFY(!CUpdateShifter::containsAfterStart("/d/updateshifter", "UpdateShifter", false));
    QVERIFY(CUpdateShifter::containsAfterStart("C:\\d\\updateshifter.EXE", "UpdateShifter.exe", true));
    QVERIFY(!CUpdateShifter::containsAfterStart("/d/x", "", false));
}

// The host's arguments as the programs encode them and UpdateShifter decodes them, and their
// quoting for a Windows command line (the C runtime's rules for backslashes and quotes).
void TestUpdateList::hostArgumentsForTheRestart()
{
    const QStringList args{"--home", "C:\\Tovia data\\", "", "a\"b", "100% ok", "一楼"};
    const std::vector<std::string> decoded =
        shifter::decodeArguments(UpdateCheck::encodeHostArguments(args).toStdString());
    QStringList back;
    for (const std::string& a : decoded)
        back << QString::fromStdString(a);
    QCOMPARE(back, args);
    QVERIFY(shifter::decodeArguments("").empty());
    QCOMPARE(shifter::decodeArguments("50%zz%4").at(0), std::string("50%zz%4")); // malformed: as is

    const QList<QPair<std::string, std::string>> quoted = {
        {"--home", "--home"},
        {"a\\\\b", "a\\\\b"},                           // backslashes alone stay literal
        {"C:\\Tovia data\\", "\"C:\\Tovia data\\\\\""}, // doubled before the closing quote
        {"a\"b", "\"a\\\"b\""},
        {"a\\\"b", "\"a\\\\\\\"b\""},
        {"", "\"\""}};
    for (const auto& q : quoted)
        QCOMPARE(QString::fromStdString(shifter::quoteWindowsArgument(q.first)),
                 QString::fromStdString(q.second));
}

QTEST_GUILESS_MAIN(TestUpdateList)
#include "tst_updatelist.moc"
