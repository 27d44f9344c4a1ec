#include "jsoncodec.h"
#include "simusettings.h"

#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <memory>
#include <vector>

class TestSimuSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void freshHomeDefaults();
    void valuesRoundTrip();
    void productDirOnlyForKnownTypes();
    void daemonListEdgeCases();
    void runningList();
    void recordKeyAndLoad();
    void updateSimuRecord();
    void concurrentUpdatesLoseNothing();
    void homeArgument();
    void workingPaths();

private:
    std::unique_ptr<QTemporaryDir> m_pHome;
};

void TestSimuSettings::init()
{
    m_pHome = std::make_unique<QTemporaryDir>();
    QVERIFY(m_pHome->isValid());
    SimuSettings::setDataDir(m_pHome->path());
}

void TestSimuSettings::cleanup()
{
    SimuSettings::setDataDir(QString());
    m_pHome.reset();
}

void TestSimuSettings::freshHomeDefaults()
{
    QCOMPARE(SimuSettings::iniPath(), m_pHome->path() + "/simusInfo.ini");
    QCOMPARE(SimuSettings::getRunLimit().iExtraRet, 3);
    QCOMPARE(SimuSettings::getCheckTimeSpan().iExtraRet, 10);
    QCOMPARE(SimuSettings::getStartupTimeout().iExtraRet, 120);
    QCOMPARE(SimuSettings::getScreenshotTimeSpan().iExtraRet, 1000);
    QCOMPARE(SimuSettings::getDaemonModel().iExtraRet, 100);
    QCOMPARE(SimuSettings::getSimuType().iExtraRet, 0);
    QCOMPARE(SimuSettings::getIsDefAutoLogin(), true);
    for (const CCommResult& r :
         {SimuSettings::getDir(), SimuSettings::getXiaoYaoDir(), SimuSettings::getLeiDianDir(),
          SimuSettings::getPcName(), SimuSettings::getPcNickName()}) {
        QCOMPARE(r.iRet, 0);
        QVERIFY(r.str.isEmpty());
    }
    QVERIFY(SimuSettings::getDaemonList().isEmpty());
    QVERIFY(SimuSettings::getRunningList().isEmpty());
    QStringList names{QStringLiteral("stale")};
    QCOMPARE(SimuSettings::listSimuDirs(names).iExtraRet, 0); // unset folder: not the working directory
    QVERIFY(names.isEmpty());
}

void TestSimuSettings::valuesRoundTrip()
{
    SimuSettings::setPcName(QStringLiteral("办公室电脑"));
    SimuSettings::setPcNickName(QStringLiteral("一号机"));
    SimuSettings::setSimuType(2);
    SimuSettings::setRunLimit(7);
    SimuSettings::setDaemonModel(2);
    SimuSettings::setDir(m_pHome->path());
    QCOMPARE(SimuSettings::getPcName().str, QStringLiteral("办公室电脑"));
    QCOMPARE(SimuSettings::getPcNickName().str, QStringLiteral("一号机"));
    QCOMPARE(SimuSettings::getSimuType().iExtraRet, 2);
    QCOMPARE(SimuSettings::getRunLimit().iExtraRet, 7);
    QCOMPARE(SimuSettings::getDaemonModel().iExtraRet, 2);

    QSettings raw(SimuSettings::iniPath(), QSettings::IniFormat);
    QCOMPARE(raw.value("common/runLimit").toInt(), 7);
    QCOMPARE(raw.value("common/pcName").toString(), QStringLiteral("办公室电脑"));

    QVERIFY(QDir(m_pHome->path()).mkdir("MEmu_1"));
    QVERIFY(QDir(m_pHome->path()).mkdir("MEmu_2"));
    QStringList names;
    QCOMPARE(SimuSettings::listSimuDirs(names).iExtraRet, 2);
    QCOMPARE(names, (QStringList{"MEmu_1", "MEmu_2"}));
}

void TestSimuSettings::productDirOnlyForKnownTypes()
{
    SimuSettings::setProductDir(0, "/x");
    SimuSettings::setProductDir(3, "/y");
    QVERIFY(QSettings(SimuSettings::iniPath(), QSettings::IniFormat).allKeys().isEmpty());
    QVERIFY(SimuSettings::getProductDir(0).str.isEmpty());
    SimuSettings::setProductDir(1, "/memu");
    SimuSettings::setProductDir(2, "/ld");
    QCOMPARE(SimuSettings::getXiaoYaoDir().str, QStringLiteral("/memu"));
    QCOMPARE(SimuSettings::getLeiDianDir().str, QStringLiteral("/ld"));
    QCOMPARE(SimuSettings::getProductDir(1).str, QStringLiteral("/memu"));
    QCOMPARE(SimuSettings::getProductDir(2).str, QStringLiteral("/ld"));
}

void TestSimuSettings::daemonListEdgeCases()
{
    SimuSettings::setValue("daemon/list", ";a;;b;");
    QCOMPARE(SimuSettings::getDaemonList(), (QStringList{"a", "b"}));
    SimuSettings::addDaemon("a");
    QCOMPARE(SimuSettings::value("daemon/list").toString(), QStringLiteral(";a;;b;")); // unchanged
    SimuSettings::addDaemon("c");
    QCOMPARE(SimuSettings::value("daemon/list").toString(), QStringLiteral("a;b;c"));
    SimuSettings::setDaemonList({"x", "y", "x"});
    SimuSettings::removeDaemon("x");
    QCOMPARE(SimuSettings::getDaemonList(), QStringList{"y"});
    SimuSettings::removeDaemon("y");
    QVERIFY(SimuSettings::getDaemonList().isEmpty());
}

void TestSimuSettings::runningList()
{
    SimuSettings::addRunningList("1");
    SimuSettings::addRunningList("2");
    SimuSettings::addRunningList("1");
    QCOMPARE(SimuSettings::getRunningList(), (QStringList{"1", "2"}));
    SimuSettings::setRunningList({});
    QVERIFY(SimuSettings::getRunningList().isEmpty());
}

void TestSimuSettings::recordKeyAndLoad()
{
    struSimuRecord rec;
    rec.memuIdx = "2";
    rec.simuName = QStringLiteral("雷电2");
    rec.iPid = 77;
    rec.iState = eStateRunning;
    rec.iTime = 1700000001;
    SimuSettings::storeSimuRecord(rec);
    {
        QSettings raw(SimuSettings::iniPath(), QSettings::IniFormat);
        raw.beginGroup("simu2");
        QCOMPARE(raw.childKeys(), QStringList{"2"});
        QCOMPARE(raw.value("2").toString().toUtf8(), JsonCodec::serializeSimuRecord(rec));
    }
    struSimuRecord back;
    back.memuIdx = "2";
    QCOMPARE(SimuSettings::loadSimuRecord("2", back).iRet, 0);
    QCOMPARE(back.simuName, rec.simuName);
    QCOMPARE(back.iPid, 77);
    QCOMPARE(back.iTime, 1700000001);

    // A missing record: the parse result of an empty text, the record as the caller set it up.
    struSimuRecord missing;
    missing.memuIdx = "9";
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("parse json err"));
    QCOMPARE(SimuSettings::loadSimuRecord("9", missing).iRet, ResultCode::ParseJsonFailed);
    QCOMPARE(missing.memuIdx, QStringLiteral("9"));
    QCOMPARE(missing.iState, -1);
}

void TestSimuSettings::updateSimuRecord()
{
    const struSimuRecord first = SimuSettings::updateSimuRecord("MEmu_4", [](struSimuRecord& r) {
        QCOMPARE(r.iState, -1); // never stored: the initial record
        QCOMPARE(r.memuIdx, QStringLiteral("MEmu_4"));
        r.iState = eStateStarting;
        r.iTime = 5;
    });
    QCOMPARE(first.iState, static_cast<int>(eStateStarting));
    SimuSettings::updateSimuRecord("MEmu_4", [](struSimuRecord& r) {
        r.iTime += 1;
        r.memuIdx = "elsewhere"; // the key is fixed by the argument
    });
    struSimuRecord back;
    QCOMPARE(SimuSettings::loadSimuRecord("MEmu_4", back).iRet, 0);
    QCOMPARE(back.iState, static_cast<int>(eStateStarting));
    QCOMPARE(back.iTime, 6);
    QCOMPARE(back.memuIdx, QStringLiteral("MEmu_4"));

    // A broken stored record is replaced from the initial record.
    SimuSettings::setValue("simu2/MEmu_5", "{broken");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("parse json err"));
    const struSimuRecord fixed =
        SimuSettings::updateSimuRecord("MEmu_5", [](struSimuRecord& r) { r.iPid = 1; });
    QCOMPARE(fixed.iState, -1);
    QCOMPARE(fixed.iPid, 1);
}

void TestSimuSettings::concurrentUpdatesLoseNothing()
{
    const int threads = 6;
    const int perThread = 25;
    std::vector<std::unique_ptr<QThread>> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back(QThread::create([t] {
            for (int i = 0; i < perThread; ++i) {
                const QString idx = QStringLiteral("%1_%2").arg(t).arg(i);
                SimuSettings::addDaemon(idx);
                SimuSettings::addRunningList(idx);
                SimuSettings::updateSimuRecord("shared", [](struSimuRecord& r) { r.iRestErrCnt += 1; });
            }
        }));
    }
    for (auto& w : workers)
        w->start();
    for (auto& w : workers)
        QVERIFY(w->wait(60000));

    QCOMPARE(SimuSettings::getDaemonList().size(), threads * perThread);
    QCOMPARE(SimuSettings::getRunningList().size(), threads * perThread);
    struSimuRecord shared;
    QCOMPARE(SimuSettings::loadSimuRecord("shared", shared).iRet, 0);
    QCOMPARE(shared.iRestErrCnt, threads * perThread);
}

void TestSimuSettings::homeArgument()
{
    const QString home = m_pHome->path() + "/other home";
    QVERIFY(SimuSettings::applyHomeArgument({"prog", "--home", home}));
    QCOMPARE(SimuSettings::dataDir(), home);
    QVERIFY(QFileInfo(home).isDir());
    QCOMPARE(SimuSettings::iniPath(), home + "/simusInfo.ini");

    QVERIFY(SimuSettings::applyHomeArgument({"prog", "--home=" + m_pHome->path()}));
    QCOMPARE(SimuSettings::dataDir(), m_pHome->path());
    QVERIFY(!SimuSettings::applyHomeArgument({"prog", "--home"}));
    QCOMPARE(SimuSettings::dataDir(), m_pHome->path());
    QVERIFY(SimuSettings::applyHomeArgument({"prog"}));
    QCOMPARE(SimuSettings::dataDir(), m_pHome->path());
}

void TestSimuSettings::workingPaths()
{
    const QString d = m_pHome->path();
    QCOMPARE(SimuSettings::screenshotDir(), d + "/screenshot/");
    QVERIFY(QFileInfo(d + "/screenshot").isDir());
    QCOMPARE(SimuSettings::screenshotPath("MEmu_1"), d + "/screenshot/MEmu_1.png");
    QCOMPARE(SimuSettings::screenshotBakPath("3"), d + "/screenshot/3_bak.png");

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^make dir: .*/dwn/$"));
    QCOMPARE(SimuSettings::dwnPath(QString()), d + "/dwn/rcv.apk");
    QVERIFY(QFileInfo(d + "/dwn").isDir());
    QCOMPARE(SimuSettings::dwnPath(QStringLiteral("游戏.apk")), d + "/dwn/游戏.apk");
    QCOMPARE(SimuSettings::dwnPath("../../etc/evil.apk"), d + "/dwn/evil.apk");
    QCOMPARE(SimuSettings::dwnPath("..\\evil.apk"), d + "/dwn/evil.apk");
    QCOMPARE(SimuSettings::dwnPath(".."), d + "/dwn/rcv.apk");

    QCOMPARE(SimuSettings::logDir(), d + "/log");
    QVERIFY(QFileInfo(d + "/log").isDir());
    SimuSettings::setDir("/opt/memu");
    QCOMPARE(SimuSettings::adbPath(), QStringLiteral("/opt/memu/adb.exe"));
}

QTEST_GUILESS_MAIN(TestSimuSettings)
#include "tst_simusettings.moc"
