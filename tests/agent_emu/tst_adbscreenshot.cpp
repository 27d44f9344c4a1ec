// adb bridge verdicts, screenshot checks and the screenshot pool against a simulated farm.
#include "adbbridge.h"
#include "farmfixture.h"
#include "screenshot.h"
#include "screenshotpoolobj.h"
#include "shotthumbcache.h"
#include "simusettings.h"
#include "simustatestore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QtEndian>

namespace {

const QString kSerial0 = QStringLiteral("127.0.0.1:5555");
const QString kSerial1 = QStringLiteral("127.0.0.1:5557");

bool writeApk(const QString& path, int bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(QByteArray(bytes, 'k')) == bytes;
}

} // namespace

class TestAdbScreenshot : public QObject
{
    Q_OBJECT
private slots:
    void deviceLines_data();
    void deviceLines();
    void onlineOfflineAndNoise();
    void connectUnable();
    void quotesAndBlanksStayOneArgument();
    void installVerdicts();
    void pullForgiven();
    void screenshotChecks();
    void blankCheckBounds();
    void rawFramesAreReadStrictly();
    void storedPngKeepsEveryPixel();
    void poolCapturesRawFramesAndJudgesThem();
    void poolPassesAlternate();
    void poolSkipsUnknownAndEmpty();
    void poolLoopsOnItsThread();

private:
    bool initLd(FarmFixture& farm, int instances);
};

bool TestAdbScreenshot::initLd(FarmFixture& farm, int instances)
{
    return farm.init(FarmFixture::LdPlayer, instances) && farm.setKnob("bootDelayMs", "0");
}

void TestAdbScreenshot::deviceLines_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<bool>("online");
    const QString head = "List of devices attached\r\n";
    QTest::newRow("device") << head + "127.0.0.1:21503\tdevice\r\n\r\n"
                            << "127.0.0.1:21503" << true;
    QTest::newRow("offline") << head + "127.0.0.1:21503\toffline\r\n\r\n"
                             << "127.0.0.1:21503" << false;
    QTest::newRow("prefix serial") << head + "127.0.0.1:21503\tdevice\r\n"
                                   << "127.0.0.1:2150" << false;
    QTest::newRow("longer state word") << head + "127.0.0.1:21503\tdevices\r\n"
                                       << "127.0.0.1:21503" << false;
    QTest::newRow("second line") << head + "a\tdevice\r\n127.0.0.1:5557\tdevice\r\n" << kSerial1 << true;
}

void TestAdbScreenshot::deviceLines()
{
    QFETCH(QString, output);
    QFETCH(QString, serial);
    QFETCH(bool, online);
    QCOMPARE(AdbBridge::listsOnline(output, serial), online);
}

void TestAdbScreenshot::onlineOfflineAndNoise()
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::LdPlayer, 3))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.setKnob("bootDelayMs", "600000"));
    QVERIFY(farm.startInstance("1"));
    bool online = true;
    CCommResult r = AdbIsOnline(kSerial1, online);
    QCOMPARE(r.iRet, 0);
    QVERIFY(!online); // listed, but "offline" while it boots

    QVERIFY(farm.setKnob("bootDelayMs", "0"));
    QCOMPARE(AdbIsOnline(kSerial1, online).iRet, 0);
    QVERIFY(online);
    QCOMPARE(AdbIsOnline("127.0.0.1:555", online).iRet, 0);
    QVERIFY(!online);
    QCOMPARE(AdbIsOnline(kSerial0, online).iRet, 0);
    QVERIFY(!online); // not running

    // Anything on the error stream fails the command; the flag stays as the caller set it.
    QVERIFY(farm.setKnob("adbNoise", "true"));
    online = false;
    r = AdbIsOnline(kSerial1, online);
    QCOMPARE(r.iRet, 22);
    QVERIFY(r.str.contains("warning"));
    QVERIFY(r.log.contains("127.0.0.1:5557\tdevice"));
    QVERIFY(!online);
    QVERIFY(RunAdbCmd({"version"}, 60).iExtraRet > 0);
}

void TestAdbScreenshot::connectUnable()
{
    FarmFixture farm;
    if (!initLd(farm, 2))
        QSKIP(qPrintable(farm.error()));
    CCommResult r = AdbConnect(kSerial0);
    QCOMPARE(r.iRet, 25);
    QCOMPARE(r.str, QStringLiteral("执行connect命令失败"));
    QVERIFY(r.log.contains("unable to connect"));
    QVERIFY(farm.startInstance("0"));
    r = AdbConnect(kSerial0);
    QCOMPARE(r.iRet, 0);
    QVERIFY(r.str.contains("connected to"));
}

// Folders with blanks and double quotes (the agent's home, the product folder, an APK's path) stay
// one argument each: adb is given its arguments as a list, never a line that is split again.
void TestAdbScreenshot::quotesAndBlanksStayOneArgument()
{
    FarmFixture farm;
    if (!initLd(farm, 1))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.startInstance("0"));
    QVERIFY(farm.waitInstance("0", "online", true));
    const QString product = farm.rootDir() + "/LD \"p\" y";
    QVERIFY(QFile::link(farm.installDir(), product));
    const QString home = farm.rootDir() + "/home \"q\" x";
    QVERIFY(QDir().mkpath(home));
    SimuSettings::setDataDir(home);
    SimuSettings::setDir(product);

    const QString shot = SimuSettings::screenshotPath("0");
    QVERIFY(shot.startsWith(home + "/screenshot/"));
    const CCommResult r = TakeScreenshot(kSerial0, shot);
    QVERIFY2(r.iRet == 0, qPrintable(r.str + " | " + r.log));
    QVERIFY(QImage(shot).width() > 0);
    const QString apk = home + "/a \"b\".apk";
    QVERIFY(writeApk(apk, 2048));
    QCOMPARE(AdbInstall(kSerial0, apk).iRet, 0);
    QCOMPARE(farm.instanceStatus("0").value("installed").toArray().first().toObject().value("size").toInt(),
             2048);
}

void TestAdbScreenshot::installVerdicts()
{
    FarmFixture farm;
    if (!initLd(farm, 1))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.startInstance("0"));
    QVERIFY(farm.waitInstance("0", "online", true));
    const QString apk = farm.rootDir() + "/app one.apk";
    QVERIFY(writeApk(apk, 4096));

    // adb prints "Success" on its output stream with an empty error stream.
    CCommResult r = AdbInstall(kSerial0, apk);
    QCOMPARE(r.iRet, 0);
    QCOMPARE(r.str, QStringLiteral("安装成功"));
    QCOMPARE(r.log, r.str);

    QVERIFY(farm.setKnob("adbNoise", "true"));
    QCOMPARE(AdbInstall(kSerial0, apk).iRet, 0); // output in log, noise in str

    QVERIFY(farm.setKnob("install", "exists"));
    r = AdbInstall(kSerial0, apk);
    QCOMPARE(r.iRet, 20);
    QCOMPARE(r.str, QStringLiteral("已经安装过了"));

    QVERIFY(farm.setKnob("adbNoise", "false"));
    QVERIFY(farm.setKnob("install", "refuse"));
    r = AdbInstall(kSerial0, apk);
    QCOMPARE(r.iRet, 19);
    QCOMPARE(r.str, QStringLiteral("安装失败"));
    QVERIFY(r.log.contains("INSUFFICIENT_STORAGE"));

    SimuSettings::setDir(farm.rootDir() + "/no-product");
    r = AdbInstall(kSerial0, apk);
    QCOMPARE(r.iRet, 19);
    QCOMPARE(r.str, QStringLiteral("安装失败，执行cmd命令无返回值"));

    QCOMPARE(AdbBridge::installTimeoutSeconds(0), 60);
    QCOMPARE(AdbBridge::installTimeoutSeconds(25 * 1000 * 1000), 110);
    QCOMPARE(AdbBridge::installTimeoutSeconds(999999), 60);
}

void TestAdbScreenshot::pullForgiven()
{
    FarmFixture farm;
    if (!initLd(farm, 1))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.startInstance("0"));
    QVERIFY(farm.waitInstance("0", "online", true));
    QCOMPARE(AdbScreencap(kSerial0, kDeviceScreencapPath).iRet, 0);
    const QString local = farm.rootDir() + "/pulled file.png";
    // adb reports the transfer on its error stream: still a success.
    CCommResult r = AdbPull(kSerial0, kDeviceScreencapPath, local);
    QCOMPARE(r.iRet, 0);
    QVERIFY(QFileInfo(local).size() > 0);
    // Even a failed transfer counts as done: the pulled file is judged afterwards.
    QVERIFY(QFile::remove(local));
    r = AdbPull(kSerial0, "/data/none.png", local);
    QCOMPARE(r.iRet, 0);
    QVERIFY(r.str.contains("No such file"));
    QCOMPARE(Screenshot::checkFile(local).iRet, 50);
}

void TestAdbScreenshot::screenshotChecks()
{
    FarmFixture farm;
    if (!initLd(farm, 2))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.startInstance("1"));
    QVERIFY(farm.waitInstance("1", "online", true));
    const QString file = SimuSettings::screenshotPath("1");

    CCommResult r = TakeScreenshot(kSerial1, file);
    QCOMPARE(r.iRet, 0);
    QImage shot(file);
    QVERIFY(!shot.isNull());

    struct Case
    {
        const char* mode;
        int code;
        QString text;
    };
    const Case cases[] = {{"empty", 50, QStringLiteral("截图图片为空")},
                          {"garbage", 51, QStringLiteral("截图图片不可用")},
                          {"blank", 51, QStringLiteral("截图图片全透明不可用")}};
    for (const Case& c : cases) {
        QVERIFY(farm.setKnob("screencap", c.mode, "1"));
        r = TakeScreenshot(kSerial1, file);
        QVERIFY2(r.iRet == c.code, c.mode);
        QCOMPARE(r.str, c.text);
    }
    // Not running: the connect fails first.
    r = TakeScreenshot(kSerial0, SimuSettings::screenshotPath("0"));
    QCOMPARE(r.iRet, 25);
}

void TestAdbScreenshot::blankCheckBounds()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // 5 x 5 ARGB: exactly 100 bytes of pixels, too few to be judged blank.
    QImage small(5, 5, QImage::Format_ARGB32);
    small.fill(Qt::transparent);
    QVERIFY(small.save(dir.path() + "/small.png"));
    QCOMPARE(Screenshot::checkFile(dir.path() + "/small.png").iRet, 0);
    // Blank bytes 100 to 199 with one pixel of colour after them still count as blank.
    QImage wide(100, 1, QImage::Format_ARGB32);
    wide.fill(Qt::transparent);
    wide.setPixel(60, 0, qRgba(255, 255, 255, 255));
    QVERIFY(wide.save(dir.path() + "/wide.png"));
    QCOMPARE(Screenshot::checkFile(dir.path() + "/wide.png").iRet, 51);
    wide.setPixel(30, 0, qRgba(0, 0, 9, 0));
    QVERIFY(wide.save(dir.path() + "/wide.png"));
    QCOMPARE(Screenshot::checkFile(dir.path() + "/wide.png").iRet, 0);
    QCOMPARE(Screenshot::checkFile(dir.path() + "/missing.png").iRet, 50);
}

namespace {
QByteArray rawFrame(quint32 w, quint32 h, quint32 format, int headerWords, int pixelBytes, char fill = 'x')
{
    QByteArray bytes;
    for (quint32 word : {w, h, format, quint32(0)}) {
        if (headerWords-- <= 0)
            break;
        const quint32 le = qToLittleEndian(word);
        bytes.append(reinterpret_cast<const char*>(&le), 4);
    }
    return bytes + QByteArray(pixelBytes, fill);
}
} // namespace

void TestAdbScreenshot::rawFramesAreReadStrictly()
{
    // Both header lengths, the four pixel formats taken.
    QCOMPARE(Screenshot::rawFrame(rawFrame(4, 3, 1, 3, 48)).size(), QSize(4, 3));
    QCOMPARE(Screenshot::rawFrame(rawFrame(4, 3, 1, 4, 48)).format(), QImage::Format_RGBA8888);
    QCOMPARE(Screenshot::rawFrame(rawFrame(4, 3, 2, 4, 48)).format(), QImage::Format_RGBX8888);
    QCOMPARE(Screenshot::rawFrame(rawFrame(4, 3, 5, 4, 48)).format(), QImage::Format_ARGB32);
    QCOMPARE(Screenshot::rawFrame(rawFrame(4, 3, 4, 3, 24)).format(), QImage::Format_RGB16);
    // Anything else is no frame: a byte short or over, an unknown format, absurd sizes, 16-bit lines
    // that would not start on 32-bit boundaries, text.
    QVERIFY(Screenshot::rawFrame(rawFrame(4, 3, 1, 4, 47)).isNull());
    QVERIFY(Screenshot::rawFrame(rawFrame(4, 3, 1, 4, 49)).isNull());
    QVERIFY(Screenshot::rawFrame(rawFrame(4, 3, 9, 4, 48)).isNull());
    QVERIFY(Screenshot::rawFrame(rawFrame(0, 3, 1, 4, 0)).isNull());
    QVERIFY(Screenshot::rawFrame(rawFrame(100000, 100000, 1, 4, 64)).isNull());
    QVERIFY(Screenshot::rawFrame(rawFrame(3, 3, 4, 3, 18)).isNull());
    QVERIFY(Screenshot::rawFrame(QByteArray("this is no picture")).isNull());
    QVERIFY(Screenshot::rawFrame(QByteArray()).isNull());
}

// The pool's picture files: PNG with stored data, of any size (one and several stored blocks),
// decoding to exactly the pixels given.
void TestAdbScreenshot::storedPngKeepsEveryPixel()
{
    for (const QSize size : {QSize(1, 1), QSize(7, 3), QSize(100, 150), QSize(200, 120)}) {
        QImage picture(size, QImage::Format_RGB32);
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                picture.setPixel(x, y, qRgb(x * 37 % 256, y * 11 % 256, (x ^ y) % 256));
        const QByteArray png = Screenshot::storedPng(picture);
        QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
        const QImage back = QImage::fromData(png, "PNG");
        QCOMPARE(back.convertToFormat(QImage::Format_RGB32), picture);
    }
}

// The pool's capture through the instance's adb shell against the farm: a frame becomes the
// thumbnail-sized picture file and its JPEG; blank and empty screens are refused as the pulled file
// would be; output that is no frame makes the capture fall back to the pulled file.
void TestAdbScreenshot::poolCapturesRawFramesAndJudgesThem()
{
    FarmFixture farm;
    if (!initLd(farm, 1))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.startInstance("0"));
    QVERIFY(farm.waitInstance("0", "online", true));
    const QString serial = QStringLiteral("127.0.0.1:5555");
    const QString file = SimuSettings::screenshotPath("0");
    // A larger file in its place (a full-size picture of the start sequence) is written over whole.
    QDir().mkpath(SimuSettings::screenshotDir());
    QFile big(file);
    QVERIFY(big.open(QIODevice::WriteOnly) && big.write(QByteArray(1 << 20, 'x')) == 1 << 20);
    big.close();
    Screenshot::struCapture c = Screenshot::capture(serial, file, false, true);
    QCOMPARE(c.result.iRet, 0);
    QCOMPARE(QFileInfo(file).size(), Screenshot::storedPng(QImage(file)).size());
    QVERIFY(c.connected && c.rawWorks);
    QCOMPARE(QImage(file).size(), QSize(100, 150));
    QCOMPARE(QImage::fromData(c.jpeg, "JPG").size(), QSize(100, 150));
    QCOMPARE(ShotThumbCache::instance().jpegOf(file), c.jpeg); // no second decode

    QVERIFY(farm.setKnob("screencap", "blank"));
    c = Screenshot::capture(serial, file, true, true);
    QCOMPARE(c.result.iRet, 51);
    QCOMPARE(c.result.str, QStringLiteral("截图图片全透明不可用"));
    QVERIFY(farm.setKnob("screencap", "empty"));
    QCOMPARE(Screenshot::capture(serial, file, true, true).result.iRet, 50);
    QVERIFY(farm.setKnob("screencap", "garbage"));
    c = Screenshot::capture(serial, file, true, true);
    QVERIFY(!c.rawWorks);
    QCOMPARE(c.result.str, QStringLiteral("截图图片不可用"));
    QVERIFY(farm.setKnob("screencap", "ok"));
    c = Screenshot::capture(serial, file, true, false); // the pulled file, as an old system needs
    QCOMPARE(c.result.iRet, 0);
    QCOMPARE(QImage(file).size(), QSize(270, 480));
    QCOMPARE(QImage::fromData(c.jpeg, "JPG").size(), QSize(100, 150));
    // A stopped instance: adb's error, and connect again next time.
    QVERIFY(farm.runTool("dnconsole.exe", {"quit", "--index", "0"}) == 0);
    QVERIFY(farm.waitInstance("0", "running", false));
    c = Screenshot::capture(serial, file, true, true);
    QVERIFY(c.result.iRet != 0);
    QVERIFY(!c.connected);
}

void TestAdbScreenshot::poolPassesAlternate()
{
    FarmFixture farm;
    if (!initLd(farm, 3))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.startInstance("0"));
    QVERIFY(farm.startInstance("2"));
    QVERIFY(farm.waitInstance("2", "online", true));

    ScreenshotPoolObj pool;
    pool.runPass();
    QCOMPARE(SimuSettings::getRunningList(), QStringList({"0", "2"}));
    // First pass (counter 1, odd): the main pictures only.
    QVERIFY(QFileInfo::exists(SimuSettings::screenshotPath("0")));
    QVERIFY(QFileInfo::exists(SimuSettings::screenshotPath("2")));
    QVERIFY(!QFileInfo::exists(SimuSettings::screenshotBakPath("2")));
    QVERIFY(!QFileInfo::exists(SimuSettings::screenshotPath("1")));
    pool.runPass();
    QVERIFY(QFileInfo::exists(SimuSettings::screenshotBakPath("0")));
    QVERIFY(QFileInfo::exists(SimuSettings::screenshotBakPath("2")));
    QCOMPARE(pool.passCount(), 2);
}

void TestAdbScreenshot::poolSkipsUnknownAndEmpty()
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::MEmu, 2) || !farm.setKnob("bootDelayMs", "0") ||
        !farm.setKnob("window", "false"))
        QSKIP(qPrintable(farm.error()));
    SimuSettings::setRunningList({"stale"});
    ScreenshotPoolObj pool;
    pool.runPass();
    QVERIFY(SimuSettings::getRunningList().isEmpty());

    QVERIFY(farm.startInstance("MEmu_1"));
    QVERIFY(farm.waitInstance("MEmu_1", "online", true));
    // The instance runs but the inventory no longer knows it: nothing to capture.
    QVERIFY(QFile::remove(farm.memuFile("MEmu_1")));
    pool.runPass();
    QCOMPARE(SimuSettings::getRunningList(), QStringList({"MEmu_1"}));
    const QStringList shots = QDir(SimuSettings::screenshotDir()).entryList(QDir::Files);
    QVERIFY2(shots.isEmpty(), qPrintable(shots.join(',')));
}

void TestAdbScreenshot::poolLoopsOnItsThread()
{
    FarmFixture farm;
    if (!initLd(farm, 1))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.startInstance("0"));
    QVERIFY(farm.waitInstance("0", "online", true));

    QThread thread;
    auto* pPool = new ScreenshotPoolObj;
    pPool->moveToThread(&thread);
    connect(&thread, &QThread::started, pPool, &ScreenshotPoolObj::slInitPool);
    connect(&thread, &QThread::finished, pPool, &QObject::deleteLater);
    thread.start();
    // With no console asking for states, three ticks capture nothing.
    QTest::qWait(3500);
    QVERIFY(!QFileInfo::exists(SimuSettings::screenshotPath("0")));
    // Both pictures appear only when the pool keeps taking them by itself, while a console asks for
    // states (as discovery notes each query).
    QTRY_VERIFY_WITH_TIMEOUT((SimuStateStore::instance().noteStateQuery(),
                              QFileInfo::exists(SimuSettings::screenshotPath("0")) &&
                                  QFileInfo::exists(SimuSettings::screenshotBakPath("0"))),
                             20000);
    thread.requestInterruption();
    thread.quit();
    QVERIFY(thread.wait(20000));
}

QTEST_GUILESS_MAIN(TestAdbScreenshot)
#include "tst_adbscreenshot.moc"
