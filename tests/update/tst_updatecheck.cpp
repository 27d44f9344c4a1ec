// The start-up update check: the verdict, the checker's command line and bounded waits, the
// question and the hand-over, the real checker's decisions, and a whole local update from the
// check to the restarted host.
#include "updatecheck.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace UpdateCheck;

namespace {

bool writeFile(const QString& path, const QByteArray& content, bool executable = false)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    return !executable ||
           file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool waitFor(const std::function<bool()>& condition, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < ms)
        QTest::qWait(20);
    return condition();
}

QString binDir()
{
    return qEnvironmentVariable("TOVIA_BIN_DIR");
}

// A checker that records its arguments and leaves the given verdict (empty: none).
QByteArray fakeChecker(const QByteArray& verdictOctal)
{
    QByteArray script =
        "#!/bin/sh\nd=$(dirname \"$0\")\nprintf '%s\\n' \"$@\" > \"$d/args.txt\"\necho chatter\n";
    if (!verdictOctal.isEmpty())
        script += "printf '\\" + verdictOctal + "' > \"$d/CheckUpdateResult.dat\"\n";
    return script;
}

} // namespace

class TestUpdateCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verdictByte_data();
    void verdictByte();
    void checkerGetsProductAndCaller();
    void failedCheckerMeansNoUpdate();
    void hangingCheckerIsStopped();
    void questionDecidesTheHandOver();
    void versionResource();
    void realChecker_data();
    void realChecker();
    void wholeLocalUpdate();

private:
    struUpdatePlace placeIn(const QTemporaryDir& dir) const;
    bool copyTool(const QString& name, const QString& toDir);
};

void TestUpdateCheck::initTestCase()
{
    // UpdateShifter started at the end of the hand-over inherits this.
    qputenv("TOVIA_SHIFTER_TICK_MS", "10");
}

struUpdatePlace TestUpdateCheck::placeIn(const QTemporaryDir& dir) const
{
    struUpdatePlace place;
    place.appDir = dir.path();
    place.callerPath = dir.path() + QStringLiteral("/ToviaSimClient");
    place.startWaitMs = 5000;
    place.finishWaitMs = 10000;
    return place;
}

bool TestUpdateCheck::copyTool(const QString& name, const QString& toDir)
{
    return QFile::copy(binDir() + QLatin1Char('/') + name, toDir + QLatin1Char('/') + name);
}

void TestUpdateCheck::verdictByte_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("update");
    QTest::newRow("0x01") << QByteArray("\x01", 1) << true;
    QTest::newRow("0x00") << QByteArray("\x00", 1) << false;
    QTest::newRow("0xFF") << QByteArray("\xFF", 1) << true;
    QTest::newRow("0x00 then 0x01") << QByteArray("\x00\x01", 2) << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestUpdateCheck::verdictByte()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, update);
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/CheckUpdateResult.dat");
    QVERIFY(writeFile(path, content));
    QCOMPARE(readVerdict(path), update);
    QVERIFY(!readVerdict(dir.path() + QStringLiteral("/missing.dat")));
}

void TestUpdateCheck::checkerGetsProductAndCaller()
{
    QTemporaryDir dir;
    const struUpdatePlace place = placeIn(dir);
    QCOMPARE(checkerCommandLine(kAgentProductNo, place),
             QStringLiteral("\"%1/VerScout.exe\" 1056 \"%1/ToviaSimClient\"").arg(dir.path()));
    QVERIFY(writeFile(place.checkerPath(), fakeChecker("001"), true));
    QVERIFY(checkForUpdate(kAgentProductNo, place));
    QCOMPARE(readFile(dir.path() + QStringLiteral("/args.txt")), "1056\n" + place.callerPath.toUtf8() + '\n');

    QVERIFY(writeFile(place.checkerPath(), fakeChecker("000"), true));
    QVERIFY(!checkForUpdate(kConsoleProductNo, place));
    QCOMPARE(readFile(dir.path() + QStringLiteral("/args.txt")).left(4), QByteArray("105\n"));
}

void TestUpdateCheck::failedCheckerMeansNoUpdate()
{
    // A verdict left from an earlier run does not count when the checker leaves none this time.
    QTemporaryDir dir;
    const struUpdatePlace place = placeIn(dir);
    QVERIFY(writeFile(place.verdictPath(), QByteArray("\x01", 1)));
    QVERIFY(!checkForUpdate(kAgentProductNo, place)); // no checker at all
    QVERIFY(writeFile(place.verdictPath(), QByteArray("\x01", 1)));
    QVERIFY(writeFile(place.checkerPath(), fakeChecker(QByteArray()), true));
    QVERIFY(!checkForUpdate(kAgentProductNo, place)); // a checker that writes nothing
}

void TestUpdateCheck::hangingCheckerIsStopped()
{
    QTemporaryDir dir;
    struUpdatePlace place = placeIn(dir);
    place.finishWaitMs = 300;
    QVERIFY(writeFile(place.checkerPath(), "#!/bin/sh\nexec sleep 30\n", true));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!checkForUpdate(kAgentProductNo, place));
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
}

void TestUpdateCheck::questionDecidesTheHandOver()
{
    QTemporaryDir dir;
    const struUpdatePlace place = placeIn(dir);
    const QString started = dir.path() + QStringLiteral("/updater-started");
    QVERIFY(writeFile(place.updaterPath(), "#!/bin/sh\ntouch \"$(dirname \"$0\")/updater-started\"\n", true));
    int asked = 0;

    QVERIFY(writeFile(place.checkerPath(), fakeChecker("000"), true));
    QVERIFY(!runStartupCheck(
        kAgentProductNo, [&] { return ++asked, true; }, place));
    QCOMPARE(asked, 0);

    QVERIFY(writeFile(place.checkerPath(), fakeChecker("001"), true));
    QVERIFY(!runStartupCheck(
        kAgentProductNo, [&] { return ++asked, false; }, place));
    QCOMPARE(asked, 1);
    QTest::qWait(300);
    QVERIFY(!QFile::exists(started));

    QTest::ignoreMessage(QtWarningMsg, "Begin Update Process");
    QVERIFY(runStartupCheck(
        kAgentProductNo, [&] { return ++asked, true; }, place));
    QCOMPARE(asked, 2);
    QVERIFY(waitFor([&] { return QFile::exists(started); }, 5000));

    // Consent, but no updater to hand over to: the program starts normally.
    QVERIFY(QFile::remove(place.updaterPath()));
    QTest::ignoreMessage(QtWarningMsg, "Begin Update Process");
    QVERIFY(!runStartupCheck(
        kAgentProductNo, [&] { return ++asked, true; }, place));
    QCOMPARE(asked, 3);
}

void TestUpdateCheck::versionResource()
{
    QTemporaryDir dir;
    const QString rc = dir.path() + QStringLiteral("/ClientVersion.rc");
    QVERIFY(writeFile(rc, "1 VERSIONINFO\r\n FILEVERSION 1,0,2,7\r\n PRODUCTVERSION 1,0,0,0\r\n"));
    QCOMPARE(readRcVersion(rc), QStringLiteral("1.0.2.7"));
    QVERIFY(writeFile(rc, "1 VERSIONINFO\n PRODUCTVERSION 1,0,0,0\n"));
    QVERIFY(readRcVersion(rc).isEmpty());
    QVERIFY(readRcVersion(dir.path() + QStringLiteral("/none.rc")).isEmpty());
}

void TestUpdateCheck::realChecker_data()
{
    QTest::addColumn<QString>("installed"); // empty: no version file beside the caller
    QTest::addColumn<QString>("published"); // empty: no version file in the update folder
    QTest::addColumn<bool>("configured");
    QTest::addColumn<bool>("viaDataDir"); // the setting lives in a separate data directory
    QTest::addColumn<bool>("update");
    QTest::newRow("newer") << "1.0.0"
                           << "1.0.1" << true << false << true;
    QTest::newRow("newer, numeric not textual") << "1.9.0"
                                                << "1.10.0" << true << false << true;
    QTest::newRow("same") << "1.0.1"
                          << "1.0.1.0" << true << false << false;
    QTest::newRow("older") << "2.0"
                           << "1.9.9" << true << false << false;
    QTest::newRow("nothing published") << "1.0.0"
                                       << "" << true << false << false;
    QTest::newRow("nothing installed") << ""
                                       << "1.0.0" << true << false << true;
    QTest::newRow("no source configured") << "1.0.0"
                                          << "1.0.1" << false << false << false;
    QTest::newRow("setting in the data directory") << "1.0.0"
                                                   << "1.0.1" << true << true << true;
}

void TestUpdateCheck::realChecker()
{
    QFETCH(QString, installed);
    QFETCH(QString, published);
    QFETCH(bool, configured);
    QFETCH(bool, viaDataDir);
    QFETCH(bool, update);
    QTemporaryDir app, source, data;
    if (!copyTool(QStringLiteral("VerScout.exe"), app.path()))
        QSKIP("VerScout.exe not built");
    struUpdatePlace place = placeIn(app);
    if (!installed.isEmpty())
        QVERIFY(writeFile(app.path() + QStringLiteral("/ToviaVersion.txt"), installed.toUtf8() + '\n'));
    if (!published.isEmpty())
        QVERIFY(writeFile(source.path() + QStringLiteral("/ToviaVersion.txt"), published.toUtf8() + '\n'));
    if (viaDataDir)
        place.dataDir = data.path();
    QSettings settings((viaDataDir ? data.path() : app.path()) + QStringLiteral("/simusInfo.ini"),
                       QSettings::IniFormat);
    settings.setValue(QStringLiteral("update/source"), configured ? source.path() : QString());
    settings.sync();

    QCOMPARE(checkForUpdate(kAgentProductNo, place), update);
    QCOMPARE(QFile::exists(app.path() + QStringLiteral("/PatchRunTask.ini")), update);
}

void TestUpdateCheck::wholeLocalUpdate()
{
    QTemporaryDir app, source;
    for (const QString& tool :
         {QStringLiteral("VerScout.exe"), QStringLiteral("PatchRun.exe"), QStringLiteral("UpdateShifter")}) {
        if (!copyTool(tool, app.path()))
            QSKIP("update tools not built");
    }
    // The running program: a copy of sleep under a name no other process has. Its new version is
    // a script that leaves a mark when the update starts it again.
    const QString hostName = QStringLiteral("TvHost%1x%2")
                                 .arg(QCoreApplication::applicationPid())
                                 .arg(QRandomGenerator::global()->bounded(100000));
    const QString host = app.path() + QLatin1Char('/') + hostName;
    const QString mark = app.path() + QStringLiteral("/restarted.txt");
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), host));
    QVERIFY(writeFile(app.path() + QStringLiteral("/ToviaVersion.txt"), "1.0.0\n"));
    QSettings(app.path() + QStringLiteral("/simusInfo.ini"), QSettings::IniFormat)
        .setValue(QStringLiteral("update/source"), source.path());
    const QByteArray newHost = "#!/bin/sh\nprintf '%s\\n' restarted \"$@\" > '" + mark.toUtf8() + "'\n";
    QVERIFY(writeFile(source.path() + QLatin1Char('/') + hostName, newHost, true));
    QVERIFY(writeFile(source.path() + QStringLiteral("/ToviaVersion.txt"), "1.0.1\n"));
    QVERIFY(writeFile(source.path() + QStringLiteral("/plugin.dat"), "plugin"));

    QProcess running;
    running.start(host, {QStringLiteral("60")});
    QVERIFY(running.waitForStarted(5000));

    struUpdatePlace place = placeIn(app);
    place.callerPath = host;
    // The program comes back with its own arguments: its data directory above all.
    const QStringList hostArgs{"--home", app.path() + "/数据 dir", "--batch", "say \"hi\" 100%", "a\\"};
    place.hostArguments = hostArgs;
    QTest::ignoreMessage(QtWarningMsg, "Begin Update Process");
    QVERIFY(runStartupCheck(
        kAgentProductNo, [] { return true; }, place));

    QVERIFY2(waitFor([&] { return QFile::exists(mark); }, 20000),
             readFile(app.path() + QStringLiteral("/UpdateTools.log")).constData());
    QVERIFY2(waitFor([&] { return running.state() == QProcess::NotRunning; }, 5000),
             "the running program was not ended");
    QCOMPARE(readFile(host), newHost);
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readFile(mark)), "restarted\n" + hostArgs.join('\n') + '\n',
                              5000);
    QCOMPARE(readFile(app.path() + QStringLiteral("/plugin.dat")), QByteArray("plugin"));
    QCOMPARE(readFile(app.path() + QStringLiteral("/ToviaVersion.txt")), QByteArray("1.0.1\n"));
    QVERIFY(QDir(app.path() + QStringLiteral("/TempDldFile")).isEmpty());
    QVERIFY(!QFile::exists(app.path() + QStringLiteral("/PatchRunTask.ini")));

    // Installed and published now agree.
    QVERIFY(!checkForUpdate(kAgentProductNo, place));
}

QTEST_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
