// The instances' long-lived adb shells against the simulated farm: words reach the device as they
// were given, commands of one instance keep their order, one shell serves every capture, a shell
// that dies is started again, one that hangs costs only its own instance a bounded wait, and adb
// slower than the screenshot pool's period slows only the pictures.
#include "adbshells.h"
#include "farmfixture.h"
#include "screenshot.h"
#include "screenshotpoolobj.h"
#include "simusettings.h"
#include "simustatestore.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <csignal>
#include <thread>

namespace {

const QString kSerial0 = QStringLiteral("127.0.0.1:5555");
const QString kSerial1 = QStringLiteral("127.0.0.1:5557");

QString serialOf(int i)
{
    return QStringLiteral("127.0.0.1:%1").arg(5555 + 2 * i);
}

// The farm's events of one kind, their words joined by "|".
QStringList eventWords(const FarmFixture& farm, const QString& idx, const QString& kind)
{
    QStringList words;
    for (const QJsonValue& v : farm.events(idx)) {
        const QJsonObject e = v.toObject();
        if (kind.isEmpty() || e.value("cmd").toString() == kind)
            words << e.value("args").toVariant().toStringList().join('|');
    }
    return words;
}

// Runs the pool on a thread of its own while a console keeps looking, for ms; counts the
// successful and failed captures per instance.
struct struPoolRun
{
    QHash<QString, int> ok;
    QHash<QString, int> failed;
    int maxUnderWay = 0;
};

struPoolRun runPool(const ScreenshotPoolObj::struDeadlines& deadlines, int ms,
                    const std::function<void()>& whileRunning = nullptr)
{
    struPoolRun run;
    QThread thread;
    auto* pPool = new ScreenshotPoolObj(deadlines);
    pPool->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, pPool, &ScreenshotPoolObj::slInitPool);
    QObject::connect(&thread, &QThread::finished, pPool, &QObject::deleteLater);
    QObject::connect(
        pPool, &ScreenshotPoolObj::sigCaptured, pPool,
        [&run, pPool](const QString& idx, int iRet) {
            (iRet == 0 ? run.ok : run.failed)[idx] += 1;
            run.maxUnderWay = qMax(run.maxUnderWay, pPool->capturesUnderWay() + 1);
        },
        Qt::DirectConnection);
    SimuStateStore::instance().noteStateQuery();
    thread.start();
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        SimuStateStore::instance().noteStateQuery();
        if (whileRunning)
            whileRunning();
        QTest::qWait(200);
    }
    thread.requestInterruption();
    thread.quit();
    thread.wait(30000);
    return run;
}

} // namespace

class TestAdbShell : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void wordsArriveIntactAndInOrder();
    void oneShellServesEveryCaptureAndRestartsWhenItDies();
    void aHangingShellHoldsUpOnlyItsInstance();
    void adbSlowerThanThePoolsPeriod();

private:
    bool startLd(FarmFixture& farm, int instances, int running);
};

void TestAdbShell::cleanup()
{
    AdbShells::shutdown();
    QCOMPARE(AdbShells::liveShells(), 0);
}

bool TestAdbShell::startLd(FarmFixture& farm, int instances, int running)
{
    if (!farm.init(FarmFixture::LdPlayer, instances) || !farm.setKnob("bootDelayMs", "0"))
        return false;
    for (int i = 0; i < running; ++i) {
        const QString idx = farm.indexes().at(i);
        if (!farm.startInstance(idx) || !farm.waitInstance(idx, "online", true))
            return false;
    }
    return true;
}

// Text with blanks, quotes and the shell's metacharacters reaches the instance as one word and runs
// nothing; a word no line can carry is refused before anything is written; posted commands run in
// the order posted, ahead of a command given after them.
void TestAdbShell::wordsArriveIntactAndInOrder()
{
    FarmFixture farm;
    if (!startLd(farm, 1, 1))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.setKnob("screenWidth", "720") && farm.setKnob("screenHeight", "1280"));

    struShellReply r = AdbShells::run(kSerial0, {"getprop", "sys.boot_completed"}, 5000);
    QCOMPARE(r.result.iRet, 0);
    QCOMPARE(r.out, QByteArray("1\n"));
    r = AdbShells::run(kSerial0, {"wm", "size"}, 5000);
    QCOMPARE(r.out.trimmed(), QByteArray("Physical size: 720x1280"));

    const QStringList texts{"hello world",
                            "it's \"quoted\"",
                            "a;b && c | d > /x",
                            "$(reboot) `id` $HOME ${x} $?",
                            "*.png ~ #hash !",
                            "中文 ünï",
                            "",
                            "-p",
                            "back\\slash\\",
                            "2>&1"};
    for (const QString& text : texts) {
        r = AdbShells::run(kSerial0, {"input", "text", text}, 5000);
        QVERIFY2(r.result.iRet == 0, qPrintable(text + ": " + r.result.str + r.result.log));
    }
    for (const QString& bad :
         {QStringLiteral("two\nlines"), QStringLiteral("cr\r"), QStringLiteral("nul\0x")}) {
        r = AdbShells::run(kSerial0, {"input", "text", bad}, 5000);
        QCOMPARE(r.result.iRet, 22);
        QCOMPARE(r.result.str, QStringLiteral("adb命令参数不可用"));
    }
    // A command that fails: its status, and its error text as the reason.
    r = AdbShells::run(kSerial0, {"input", "tap", "x"}, 5000);
    QCOMPARE(r.exitStatus, 1);
    QVERIFY2(r.result.str.contains("Invalid arguments"), qPrintable(r.result.str));

    for (int i = 0; i < 60; ++i)
        AdbShells::post(kSerial0, {"input", "tap", QString::number(i), "7"});
    r = AdbShells::run(kSerial0, {"echo", "after"}, 10000);
    QVERIFY2(r.result.iRet == 0, qPrintable(r.result.str + " / " + r.result.log));
    QCOMPARE(r.out, QByteArray("after\n"));
    QCOMPARE(eventWords(farm, "0", "text"), texts);
    QStringList taps;
    for (int i = 0; i < 60; ++i)
        taps << QStringLiteral("%1|7").arg(i);
    QCOMPARE(eventWords(farm, "0", "tap"), taps);
    QCOMPARE(eventWords(farm, "0", "sh-error"), QStringList());
    QCOMPARE(AdbShells::dropped(), 0);
    // One shell did all of it.
    QCOMPARE(farm.shellPids().size(), 1);
    QCOMPARE(AdbShells::liveShells(), 1);
}

void TestAdbShell::oneShellServesEveryCaptureAndRestartsWhenItDies()
{
    FarmFixture farm;
    if (!startLd(farm, 2, 2))
        QSKIP(qPrintable(farm.error()));
    const QString file = SimuSettings::screenshotPath("0");
    Screenshot::struCapture c = Screenshot::capture(kSerial0, file, false, true);
    QCOMPARE(c.result.iRet, 0);
    const QList<qint64> first = farm.shellPids(kSerial0);
    QCOMPARE(first.size(), 1);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(Screenshot::capture(kSerial0, file, true, true).result.iRet, 0);
    QCOMPARE(farm.shellPids(kSerial0), first);

    // The shell dies while a command runs in it: that command fails at once, the next one gets a
    // new shell.
    QVERIFY(farm.setKnob("toolDelayMs", "3000", "0"));
    struShellReply during;
    QElapsedTimer clock;
    clock.start();
    std::thread waiter([&] { during = AdbShells::run(kSerial0, {"wm", "size"}, 20000); });
    QTest::qWait(500);
    ::kill(pid_t(first.first()), SIGKILL);
    waiter.join();
    QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(during.result.iRet, 22);
    QCOMPARE(during.result.str, QStringLiteral("adb shell已结束"));
    QVERIFY(farm.setKnob("toolDelayMs", "", "0"));
    c = Screenshot::capture(kSerial0, file, true, true);
    QVERIFY2(c.result.iRet == 0, qPrintable(c.result.str + c.result.log));
    const QList<qint64> second = farm.shellPids(kSerial0);
    QCOMPARE(second.size(), 1);
    QVERIFY(second != first);

    // The instance stops: its shell ends with it, and a capture fails without leaving one behind.
    QCOMPARE(Screenshot::capture(kSerial1, file, false, true).result.iRet, 0);
    QCOMPARE(AdbShells::liveShells(), 2);
    QCOMPARE(farm.runTool("dnconsole.exe", {"quit", "--index", "0"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(AdbShells::liveShells(), 1, 10000);
    c = Screenshot::capture(kSerial0, file, true, true);
    QVERIFY(c.result.iRet != 0);
    QVERIFY(!c.connected);
    QTRY_COMPARE_WITH_TIMEOUT(farm.shellPids(kSerial0).size(), 0, 5000);
    QCOMPARE(farm.shellPids(kSerial1).size(), 1);
    AdbShells::shutdown();
    QCOMPARE(farm.shellPids().size(), 0);
}

// Instance 1's adb stops answering (a tool delay far past every deadline, then a frozen instance):
// its captures fail at the pool's deadline each time, the other instances' pictures keep coming,
// and no killed shell is left behind.
void TestAdbShell::aHangingShellHoldsUpOnlyItsInstance()
{
    FarmFixture farm;
    if (!startLd(farm, 3, 3))
        QSKIP(qPrintable(farm.error()));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(
            Screenshot::capture(serialOf(i), SimuSettings::screenshotPath(QString::number(i)), false, true)
                .result.iRet,
            0);
    int mostShells = 0;
    const auto countShells = [&] { mostShells = qMax(mostShells, farm.shellPids().size()); };
    for (const char* knob : {"toolDelayMs", "hang"}) {
        const bool hang = qstrcmp(knob, "hang") == 0;
        QVERIFY(farm.setKnob(knob, hang ? "true" : "600000", "1"));
        QVERIFY(!hang || farm.waitInstance("1", "hung", true));
        const struPoolRun run = runPool({2000, 1500}, 6000, countShells);
        QVERIFY(farm.setKnob(knob, "", "1"));
        for (const QString& idx : {QStringLiteral("0"), QStringLiteral("2")}) {
            QVERIFY2(run.ok.value(idx) >= 8,
                     qPrintable(QStringLiteral("%1 %2: %3 pictures").arg(knob, idx).arg(run.ok.value(idx))));
        }
        QCOMPARE(run.ok.value("1"), 0);
        // Each wait ended at the deadline: 6 s hold about three of them (the restart pause included).
        QVERIFY2(run.failed.value("1") >= 2, qPrintable(QString::number(run.failed.value("1"))));
        QVERIFY(mostShells <= 3);
    }
    QTRY_VERIFY_WITH_TIMEOUT(farm.shellPids().size() <= 3, 5000);
    // Back to normal, instance 1 answers again.
    QTRY_COMPARE_WITH_TIMEOUT(
        Screenshot::capture(kSerial1, SimuSettings::screenshotPath("1"), true, true).result.iRet, 0, 10000);
}

// adb that takes 2 s for every call, every shell start and every line, past the pool's one-second period and
// its defaults otherwise: every instance's picture is still renewed, one capture at a time per
// instance, each instance keeping one shell throughout.
void TestAdbShell::adbSlowerThanThePoolsPeriod()
{
    FarmFixture farm;
    if (!startLd(farm, 3, 3))
        QSKIP(qPrintable(farm.error()));
    SimuSettings::setValue("common/screenshotTimeSpan", 1000);
    QVERIFY(farm.setKnob("toolDelayMs", "2000"));
    QHash<QString, QList<qint64>> shells;
    const struPoolRun run = runPool(ScreenshotPoolObj::struDeadlines(), 20000, [&] {
        for (int i = 0; i < 3; ++i) {
            const QList<qint64> pids = farm.shellPids(serialOf(i));
            if (!pids.isEmpty() && !shells.value(serialOf(i)).contains(pids.first()))
                shells[serialOf(i)] << pids.first();
        }
    });
    QVERIFY(farm.setKnob("toolDelayMs", ""));
    for (int i = 0; i < 3; ++i) {
        const QString idx = QString::number(i);
        QVERIFY2(run.ok.value(idx) >= 3,
                 qPrintable(QStringLiteral("%1: %2 pictures").arg(idx).arg(run.ok.value(idx))));
        QCOMPARE(run.failed.value(idx), 0);
        QCOMPARE(shells.value(serialOf(i)).size(), 1);
    }
    QVERIFY(run.maxUnderWay <= 3);
}

QTEST_GUILESS_MAIN(TestAdbShell)
#include "tst_adbshell.moc"
