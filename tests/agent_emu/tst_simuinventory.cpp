// Inventory readers against MEmu description files and LDPlayer listings of a simulated farm.
#include "farmfixture.h"
#include "ldlisting.h"
#include "leidiansimuinfogainer.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"
#include "xiaoyaolauncher.h"
#include "xiaoyaosimuinfogainer.h"

#include <QDir>
#include <QFileInfo>
#include <QTextCodec>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

namespace {

QStringList idxs(const QVector<SimuInfo>& infos)
{
    QStringList out;
    for (const SimuInfo& i : infos)
        out << i.idx();
    return out;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray memuXml(const QString& guestProps, const QString& forwarding)
{
    return QStringLiteral("<?xml version=\"1.0\"?>\n<MemuHyperv><Machine name=\"x\"><Hardware>"
                          "<Network><Adapter slot=\"0\"><NAT>%2</NAT></Adapter></Network>"
                          "<GuestProperties>%1</GuestProperties></Hardware></Machine></MemuHyperv>\n")
        .arg(guestProps, forwarding)
        .toUtf8();
}

} // namespace

class TestSimuInventory : public QObject
{
    Q_OBJECT
private slots:
    void simuInfoLayoutAndCuts();
    void derivedNames_data();
    void derivedNames();
    void memuListing();
    void memuNameTagPortAndBrokenFiles();
    void memuFirstFiftyInNameOrder();
    void memuFolderErrors();
    void ldListing();
    void ldOddLines();
    void ldFirstFiftyAndLookup();
    void facadeWithoutProduct();
    void hostileListingLines_data();
    void hostileListingLines();
    void forgedTitleLinesNeverBecomeInstances();
    void hostileMemuNames();
};

void TestSimuInventory::simuInfoLayoutAndCuts()
{
    SimuInfo info;
    info.setAdbPort(0x01020304);
    info.setIdx(QStringLiteral("MEmu_1"));
    const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
    QCOMPARE(int(bytes[0]), 0x04); // little-endian port at offset 0
    QCOMPARE(int(bytes[3]), 0x01);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(bytes + 4)), QByteArray("MEmu_1"));

    // 100 three-byte characters: only 42 fit into 127 bytes; the cut never splits a character.
    const QString longName(100, QChar(0x96F7));
    info.setName(longName);
    QCOMPARE(info.name(), QString(42, QChar(0x96F7)));
    QCOMPARE(int(info.simuName[127]), 0);
    info.setIdx(QString(40, QLatin1Char('x')));
    QCOMPARE(info.idx().size(), 31);
    QCOMPARE(int(info.memuIdx[31]), 0);
    // A two-byte character straddling the limit is dropped whole.
    info.setIdx(QString(30, QLatin1Char('a')) + QChar(0xE9));
    QCOMPARE(info.idx(), QString(30, QLatin1Char('a')));
}

void TestSimuInventory::derivedNames_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("name");
    QTest::newRow("MEmu_2") << "MEmu_2" << QStringLiteral("逍遥模拟器2");
    QTest::newRow("MEmu") << "MEmu" << QStringLiteral("逍遥模拟器");
    QTest::newRow("other") << "Phone"
                           << "Phone";
}

void TestSimuInventory::derivedNames()
{
    QFETCH(QString, base);
    QFETCH(QString, name);
    QCOMPARE(XiaoYaoSimuInfoGainer::derivedName(base), name);
}

void TestSimuInventory::memuListing()
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::MEmu, 3))
        QSKIP(qPrintable(farm.error()));
    QVector<SimuInfo> infos;
    const CCommResult r = SimuInfoXmlGainer().GetSimusInfo(infos);
    QCOMPARE(r.iRet, 0);
    QCOMPARE(idxs(infos), QStringList({"MEmu", "MEmu_1", "MEmu_2"}));
    QCOMPARE(infos.at(0).name(), QStringLiteral("逍遥模拟器"));
    QCOMPARE(infos.at(1).name(), QStringLiteral("Farm-1"));
    QCOMPARE(infos.at(1).adbPort(), 21513);
    QCOMPARE(infos.at(2).adbSerial(), QStringLiteral("127.0.0.1:21523"));
}

void TestSimuInventory::memuNameTagPortAndBrokenFiles()
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::MEmu, 4))
        QSKIP(qPrintable(farm.error()));
    const QString rule = QStringLiteral("<Forwarding name=\"web\" hostport=\"80\"/>"
                                        "<Forwarding name=\"ADB\" hostport=\"21503\"/>");
    // MEmu: no name tag (derived name), MEmu_1: a tag beside other properties, no ADB rule,
    // MEmu_2: not XML at all, MEmu_3: no Hardware.
    QVERIFY(writeFile(farm.memuFile("MEmu"), memuXml("<GuestProperty name=\"other\" value=\"v\"/>", rule)));
    QVERIFY(writeFile(farm.memuFile("MEmu_1"),
                      memuXml("<GuestProperty name=\"x\" value=\"no\"/><GuestProperty name=\"name_tag\" "
                              "value=\"办公&amp;1\"/>",
                              "<Forwarding name=\"adb\" hostport=\"1\"/>")));
    QVERIFY(writeFile(farm.memuFile("MEmu_2"), "<MemuHyperv><Machine>"));
    QVERIFY(writeFile(farm.memuFile("MEmu_3"), "<MemuHyperv><Machine/></MemuHyperv>"));

    XiaoYaoSimuInfoGainer gainer;
    SimuInfo info;
    CCommResult r = gainer.GetSimuInfo("MEmu", info);
    QCOMPARE(r.iRet, 0);
    QCOMPARE(r.str, QStringLiteral("模拟器Memu解析失败"));
    QCOMPARE(r.log, QStringLiteral("MEmu没有 GuestProperties"));
    QCOMPARE(info.name(), QStringLiteral("逍遥模拟器"));
    QCOMPARE(info.adbPort(), 21503);

    r = gainer.GetSimuInfo("MEmu_1", info);
    QCOMPARE(r.iRet, 0);
    QVERIFY(r.str.isEmpty());
    QCOMPARE(info.name(), QStringLiteral("办公&1"));
    QCOMPARE(info.adbPort(), 0);

    r = gainer.GetSimuInfo("MEmu_2", info);
    QCOMPARE(r.iRet, 8);
    QCOMPARE(r.log, QStringLiteral("MEmu_2setContent失败"));
    r = gainer.ParseMemuFile(farm.memuFile("MEmu_3"), info);
    QCOMPARE(r.iRet, 8);
    QCOMPARE(r.log, QStringLiteral("MEmu_3没有 Hardware"));
    r = gainer.ParseMemuFile(farm.installDir() + "/none.memu", info);
    QCOMPARE(r.iRet, 8);
    QCOMPARE(r.str, QStringLiteral("模拟器memu打开失败"));

    // The list skips the broken instances and still succeeds.
    QVector<SimuInfo> infos;
    QCOMPARE(gainer.GetSimusInfo(infos).iRet, 0);
    QCOMPARE(idxs(infos), QStringList({"MEmu", "MEmu_1"}));
}

void TestSimuInventory::memuFirstFiftyInNameOrder()
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::MEmu, 60))
        QSKIP(qPrintable(farm.error()));
    QVector<SimuInfo> infos;
    QCOMPARE(SimuInfoXmlGainer().GetSimusInfo(infos).iRet, 0);
    QCOMPARE(infos.size(), 50);
    // Name order, not number order: MEmu, MEmu_1, MEmu_10..19, MEmu_2, ..., MEmu_5, MEmu_50..53.
    QCOMPARE(infos.at(2).idx(), QStringLiteral("MEmu_10"));
    QCOMPARE(infos.last().idx(), QStringLiteral("MEmu_53"));
    QVERIFY(!idxs(infos).contains("MEmu_6"));

    QByteArray buf(kSimuInfoArrayBytes, '\x7f');
    const CCommResult r = SimuInfoXmlGainer().GetSimusInfoArray(reinterpret_cast<SimuInfo*>(buf.data()));
    QCOMPARE(r.iRet, 0);
    QCOMPARE(r.iExtraRet, 50);
    QCOMPARE(buf.size(), 8200);
    QVERIFY(std::memcmp(buf.constData(), infos.constData(), size_t(buf.size())) == 0);
}

void TestSimuInventory::memuFolderErrors()
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::MEmu, 0))
        QSKIP(qPrintable(farm.error()));
    QVector<SimuInfo> infos(3);
    CCommResult r = SimuInfoXmlGainer().GetSimusInfo(infos);
    QCOMPARE(r.iRet, 13);
    QCOMPARE(r.str, QStringLiteral("没有创建模拟器"));
    QVERIFY(infos.isEmpty());
    SimuInfo info;
    r = SimuInfoXmlGainer().GetSimuInfo("MEmu_7", info);
    QCOMPARE(r.iRet, 18);
    QCOMPARE(r.str, QStringLiteral("被控端中没有对应的模拟器"));

    SimuSettings::setDir(QString());
    r = SimuInfoXmlGainer().GetSimusInfo(infos);
    QCOMPARE(r.iRet, 12);
    QCOMPARE(r.str, QStringLiteral("模拟器路径为空"));
    QCOMPARE(SimuInfoXmlGainer().GetSimuInfo("MEmu", info).iRet, 12);
}

void TestSimuInventory::ldListing()
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::LdPlayer, 3))
        QSKIP(qPrintable(farm.error()));
    QVector<SimuInfo> infos;
    QCOMPARE(SimuInfoXmlGainer().GetSimusInfo(infos).iRet, 0);
    QCOMPARE(idxs(infos), QStringList({"0", "1", "2"}));
    // The tool writes gb18030; the entry holds UTF-8.
    QCOMPARE(infos.at(0).name(), QStringLiteral("雷电模拟器"));
    QCOMPARE(infos.at(2).name(), QStringLiteral("雷电模拟器-2"));
    QCOMPARE(infos.at(0).adbPort(), 5555);
    QCOMPARE(infos.at(1).adbPort(), 5557);
}

void TestSimuInventory::ldOddLines()
{
    // A console tool of our own that prints lines the real one may print.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString tool = dir.path() + "/dnconsole.exe";
    QVERIFY(writeFile(tool, "#!/bin/sh\n[ \"$1\" = list2 ] || exit 1\n"
                            "printf '3,LD-3,0,0,1,42,50\\r\\n7\\r\\n\\r\\n8,,1\\r\\n,\\r\\n'\n"));
    QVERIFY(QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QTemporaryDir home;
    SimuSettings::setDataDir(home.path());
    SimuSettings::setSimuType(2);
    SimuSettings::setDir(dir.path());

    QVector<SimuInfo> infos;
    QCOMPARE(SimuInfoXmlGainer().GetSimusInfo(infos).iRet, 0);
    // Only whole instance lines count: "7", "8,,1" and "," are not.
    QCOMPARE(idxs(infos), QStringList({"3"}));
    QCOMPARE(infos.at(0).adbPort(), 5561);

    // No console tool at all: an empty list, still code 0.
    SimuSettings::setDir(dir.path() + "/missing");
    infos.resize(2);
    QCOMPARE(SimuInfoXmlGainer().GetSimusInfo(infos).iRet, 0);
    QVERIFY(infos.isEmpty());
}

void TestSimuInventory::ldFirstFiftyAndLookup()
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::LdPlayer, 60))
        QSKIP(qPrintable(farm.error()));
    QVector<SimuInfo> infos;
    QCOMPARE(SimuInfoXmlGainer().GetSimusInfo(infos).iRet, 0);
    QCOMPARE(infos.size(), 50);
    QCOMPARE(infos.last().idx(), QStringLiteral("49"));

    SimuInfo info;
    QCOMPARE(SimuInfoXmlGainer().GetSimuInfo("3", info).iRet, 0);
    QCOMPARE(info.name(), QStringLiteral("LDPlayer-3"));
    QCOMPARE(info.adbPort(), 5561);
    // An index the listing lacks leaves the entry as it was.
    info.setName("kept");
    QCOMPARE(SimuInfoXmlGainer().GetSimuInfo("99", info).iRet, 0);
    QCOMPARE(info.name(), QStringLiteral("kept"));
    QCOMPARE(info.idx(), QStringLiteral("3"));
}

void TestSimuInventory::facadeWithoutProduct()
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::MEmu, 2))
        QSKIP(qPrintable(farm.error()));
    SimuSettings::setSimuType(0);
    QVector<SimuInfo> infos(2);
    const CCommResult r = SimuInfoXmlGainer().GetSimusInfo(infos);
    QCOMPARE(r.iRet, 0);
    QVERIFY(infos.isEmpty());
    SimuInfo buf[kMaxSimuCount];
    QCOMPARE(SimuInfoXmlGainer().GetSimusInfoArray(buf).iExtraRet, 0);
}

void TestSimuInventory::hostileListingLines_data()
{
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<QStringList>("counted"); // "index|title|running|pid" of the lines that count
    QTest::addColumn<int>("dropped");
    const QByteArray real = "2,LD-2,0,0,1,4712,4800\r\n";
    QTest::newRow("plain") << real + "3,,0,0,0,-1,-1\n" << QStringList{"2|LD-2|1|4712", "3||0|0"} << 0;
    QTest::newRow("path in the index") << real + "../../x,p,0,0,1,1,1\r\n"
                                       << QStringList{"2|LD-2|1|4712"} << 1;
    QTest::newRow("quote in the index") << "5\"x,p,0,0,1,1,1\r\n" + real << QStringList{"2|LD-2|1|4712"} << 1;
    QTest::newRow("signed or blank index")
        << QByteArray("+4,p,0,0,1,1,1\r\n 4,p,0,0,1,1,1\r\n") << QStringList() << 2;
    QTest::newRow("too few fields") << QByteArray("7,LD-7,0,0,1,70\r\n8,LD-8\r\n") << QStringList() << 2;
    QTest::newRow("comma in a title") << QByteArray("4,a,b,0,0,1,9,9\r\n") << QStringList() << 1;
    QTest::newRow("running flag 2") << QByteArray("4,a,0,0,2,9,9\r\n") << QStringList() << 1;
    QTest::newRow("pid not a number") << QByteArray("4,a,0,0,1,9x,9\r\n") << QStringList() << 1;
    QTest::newRow("index listed twice") << real + "1,b,0,0,0,-1,-1\r\n2,forged,0,0,1,1,1\r\n"
                                        << QStringList{"1|b|0|0"} << 2;
    QTest::newRow("extra fields") << QByteArray("6,LD-6,0,0,1,60,61,540,960,240\r\n")
                                  << QStringList{"6|LD-6|1|60"} << 0;
    QTest::newRow("gb18030 title") << QTextCodec::codecForName("gb18030")->fromUnicode(
                                          QStringLiteral("0,雷电模拟器,0,0,0,-1,-1\r\n"))
                                   << QStringList{QStringLiteral("0|雷电模拟器|0|0")} << 0;
}

void TestSimuInventory::hostileListingLines()
{
    QFETCH(QByteArray, listing);
    QFETCH(QStringList, counted);
    QFETCH(int, dropped);
    const LdListing::struParsed parsed = LdListing::parse(listing);
    QStringList got;
    for (const struLdListEntry& e : parsed.entries)
        got << QStringLiteral("%1|%2|%3|%4").arg(e.idx, e.title).arg(int(e.running)).arg(e.pid);
    QCOMPARE(got, counted);
    QCOMPARE(parsed.iDropped, dropped);
}

// A title renamed by hand in the product (which takes line breaks and, here, commas) makes the
// tool's listing show lines of the author's choosing: a path as an index, a second line for a real
// index. None of them becomes an instance, and the real instance that was forged is not trusted.
void TestSimuInventory::forgedTitleLinesNeverBecomeInstances()
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::LdPlayer, 3))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.setKnob("rawTitles", "true", "0"));
    const QString title = "x\r\n../../evil,p,0,0,1,1,1\r\n2,forged,0,0,1,1,1\r\nz";
    QCOMPARE(farm.runTool("dnconsole.exe", {"rename", "--index", "0", "--title", title}), 0);
    QVector<SimuInfo> infos;
    QCOMPARE(SimuInfoXmlGainer().GetSimusInfo(infos).iRet, 0);
    QCOMPARE(idxs(infos), QStringList({"1"}));
    QCOMPARE(infos.first().name(), farm.instanceStatus("1").value("name").toString());
}

// MEmu: a machine folder whose name is no index is not an instance, a hostile index reads no file,
// a running-list line counts only in its exact form, and no index names a file outside its folder.
void TestSimuInventory::hostileMemuNames()
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::MEmu, 2))
        QSKIP(qPrintable(farm.error()));
    const QString vms = farm.installDir() + "/MemuHyperv VMs/";
    const QString odd = "MEmu_9 \"x";
    QVERIFY(QDir().mkpath(vms + odd));
    QVERIFY(QFile::copy(farm.memuFile("MEmu_1"), vms + odd + "/" + odd + ".memu"));
    QVector<SimuInfo> infos;
    QCOMPARE(SimuInfoXmlGainer().GetSimusInfo(infos).iRet, 0);
    QCOMPARE(idxs(infos), QStringList({"MEmu", "MEmu_1"}));
    SimuInfo info;
    QCOMPARE(SimuInfoXmlGainer().GetSimuInfo("../MemuHyperv VMs/MEmu_1", info).iRet, 18);
    QCOMPARE(SimuInfoXmlGainer().GetSimuInfo(odd, info).iRet, 18);

    QCOMPARE(XiaoYaoLauncher::runningVmIndex("\"MEmu_1\" {a0-b1}"), QStringLiteral("MEmu_1"));
    QCOMPARE(XiaoYaoLauncher::runningVmIndex("\"../x\" {a0}"), QString());
    QCOMPARE(XiaoYaoLauncher::runningVmIndex("\"MEmu_1\" {a0} \"MEmu\" {b1}"), QString());
    QCOMPARE(XiaoYaoLauncher::runningVmIndex("\"MEmu_1\" x"), QString());

    const QString dir = QFileInfo(SimuSettings::screenshotDir()).canonicalFilePath();
    for (const QString& idx :
         {QStringLiteral("../../evil"), QStringLiteral("..\\x"), odd, QStringLiteral("..")}) {
        for (const QString& path :
             {SimuSettings::screenshotPath(idx), SimuSettings::screenshotBakPath(idx)}) {
            const QFileInfo fi(path);
            QCOMPARE(QFileInfo(fi.absolutePath()).canonicalFilePath(), dir);
            QVERIFY2(!fi.fileName().contains('/') && !fi.fileName().contains('\\'), qPrintable(path));
        }
    }
    QCOMPARE(QFileInfo(SimuSettings::screenshotPath("MEmu_1")).fileName(), QStringLiteral("MEmu_1.png"));
}

QTEST_GUILESS_MAIN(TestSimuInventory)
#include "tst_simuinventory.moc"
