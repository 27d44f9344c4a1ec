// The README's main command as an operator meets it: scripts/demo, run as it is with the programs
// already built, makes its LAN of namespaces and a virtual screen per machine (the console's with a
// window manager, every PC's own with its emulator windows). The console is worked through its test
// driver, but its dialogs and boxes are the real ones, read back from their widgets. The agents'
// watchdog looks every two seconds, the farms boot for more than three periods.
//
// Screenshots of the screens land in TOVIA_SHOT_DIR (default: demo-shots beside this program); the
// README's pictures in docs/ are taken from there.
//
// The test functions run in order and build on each other.
#include "consoledriver.h"
#include "lannet.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

const QString kPcLd = QStringLiteral("tovia-pc-a");
const QString kPcMEmu = QStringLiteral("tovia-pc-b");
const QString kMEmu0 = QStringLiteral("MEmu");
const QString kMEmu1 = QStringLiteral("MEmu_1");
constexpr int kInstances = 3;
constexpr int kBootMs = 7000;    // three and a half watchdog periods
constexpr int kWatchdogSecs = 2; // the agents' common/checkTimeSpan
constexpr int kDemoMs = 120000;  // the script, up to its summary
constexpr int kListedMs = 60000; // sign-in, agents' start-up, discovery
constexpr int kOperationMs = 90000;
const QSize kConsoleScreen(1600, 1000);
const QSize kPcScreen(1280, 720);

struct XWindowSeen
{
    QString title;
    QRect rect;          // on the screen
    bool framed = false; // a window manager reparented it into a frame of its own
};

QString windowTitle(Display* pDisplay, Window w)
{
    const Atom utf8 = XInternAtom(pDisplay, "UTF8_STRING", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* pData = nullptr;
    QString title;
    if (XGetWindowProperty(pDisplay, w, XInternAtom(pDisplay, "_NET_WM_NAME", False), 0, 1024, False, utf8,
                           &type, &format, &count, &after, &pData) == Success &&
        pData) {
        title = QString::fromUtf8(reinterpret_cast<const char*>(pData), int(count));
        XFree(pData);
    }
    return title;
}

// The titled windows mapped on a display: top-level ones and those a window manager framed.
QList<XWindowSeen> windowsOn(const QString& display)
{
    QList<XWindowSeen> seen;
    Display* pDisplay = XOpenDisplay(display.toLocal8Bit().constData());
    if (!pDisplay)
        return seen;
    const auto children = [pDisplay](Window w) {
        Window root = 0, parent = 0;
        Window* pKids = nullptr;
        unsigned int n = 0;
        QList<Window> out;
        if (XQueryTree(pDisplay, w, &root, &parent, &pKids, &n) && pKids) {
            for (unsigned int i = 0; i < n; ++i)
                out << pKids[i];
            XFree(pKids);
        }
        return out;
    };
    const Window root = DefaultRootWindow(pDisplay);
    for (Window top : children(root)) {
        for (Window w : QList<Window>{top} + children(top)) {
            XWindowAttributes a;
            const QString title = windowTitle(pDisplay, w);
            if (title.isEmpty() || !XGetWindowAttributes(pDisplay, w, &a) || a.map_state != IsViewable)
                continue;
            int x = 0, y = 0;
            Window child = 0;
            XTranslateCoordinates(pDisplay, w, root, 0, 0, &x, &y, &child);
            seen.append({title, QRect(x, y, a.width, a.height), w != top});
        }
    }
    XCloseDisplay(pDisplay);
    return seen;
}

QStringList titlesOf(const QList<XWindowSeen>& windows)
{
    QStringList titles;
    for (const XWindowSeen& w : windows)
        titles << w.title;
    return titles;
}

QString nameOf(const QJsonObject& dump, const QString& pc, const QString& idx)
{
    return rowOf(dump, pc, idx).value(QStringLiteral("name")).toString();
}

} // namespace

class TstDemoE2E : public QObject
{
    Q_OBJECT
public:
    ~TstDemoE2E() override { stopDemo(); }

private slots:
    void initTestCase();
    void cleanupTestCase() { stopDemo(); }
    void consoleWithBothPcsInAFramedWindow();
    void errorBoxWarnsAndHoldsTheWindow();
    void emulatorWindowsOnTheirPcsOwnScreen();
    void installThroughTheChineseFileDialog();
    void renameInputNamesTheEmulator();
    void remoteDesktopShowsThePcsScreen();
    void offlinePcShowsTheOfflinePicture();

private:
    QProcessEnvironment demoEnvironment() const;
    void stopDemo();
    // The screen's display (":N") and size as the demo wrote them.
    QString displayOf(const QString& screen, QSize* pSize = nullptr) const;
    // A screenshot of the screen, written to the shots folder; null when ffmpeg failed.
    QImage grab(const QString& screen, const QString& file);
    QJsonObject farmStatus(const QString& farm, const QString& idx) const;
    void showLogs() const;

    QTemporaryDir m_scratch;
    QString m_demoDir;
    QString m_lan;
    QString m_shots;
    bool m_started = false;
    ConsoleDriverClient m_driver;
    QJsonObject m_listed; // the dump once both PCs were listed
};

void TstDemoE2E::initTestCase()
{
    const QString why = lanSkipReason(
        {QStringLiteral("ip"), QStringLiteral("bash"), QStringLiteral("Xvfb"), QStringLiteral("jwm"),
         QStringLiteral("xdpyinfo"), QStringLiteral("ffmpeg")},
        {QStringLiteral("ToviaSim"), QStringLiteral("ToviaSimClient"), QStringLiteral("ToviaMpeg.exe"),
         QStringLiteral("farmsim"), QStringLiteral("ToviaAccountSvc")});
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(m_scratch.isValid());
    m_demoDir = m_scratch.filePath(QStringLiteral("demo"));
    m_shots = qEnvironmentVariable("TOVIA_SHOT_DIR",
                                   QCoreApplication::applicationDirPath() + QStringLiteral("/demo-shots"));
    QVERIFY(QDir().mkpath(m_shots));
    // What an earlier run left when it was killed before its clean-up.
    lanns({QStringLiteral("reap"), QStringLiteral("tvdemo")});
    m_lan = QStringLiteral("tvdemo-%1").arg(QCoreApplication::applicationPid());

    QProcess demo;
    demo.setProcessEnvironment(demoEnvironment());
    demo.setWorkingDirectory(QStringLiteral(TOVIA_SOURCE_DIR));
    demo.setProcessChannelMode(QProcess::MergedChannels);
    m_started = true;
    demo.start(QStringLiteral("bash"), {QStringLiteral("scripts/demo")});
    const bool finished = demo.waitForFinished(kDemoMs);
    const QString out = QString::fromUtf8(demo.readAll());
    QVERIFY2(finished && demo.exitCode() == 0, qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("Tovia demo is running")), qPrintable(out));
    if (out.contains(QStringLiteral("no window manager")))
        qWarning().noquote() << out;

    QString error;
    const QString sock = m_demoDir + QStringLiteral("/console.sock");
    QVERIFY2(m_driver.connect(
                 sock, kListedMs, [] { return true; }, error),
             qPrintable(error));
}

QProcessEnvironment TstDemoE2E::demoEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The demo makes its own screens, as on a machine without a display.
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("DEMO_NO_BUILD"), QStringLiteral("1"));
    env.insert(QStringLiteral("DEMO_BIN"), testBinDir());
    env.insert(QStringLiteral("DEMO_DIR"), m_demoDir);
    env.insert(QStringLiteral("DEMO_LAN"), m_lan);
    env.insert(QStringLiteral("INSTANCES"), QString::number(kInstances));
    env.insert(QStringLiteral("BOOT_MS"), QString::number(kBootMs));
    env.insert(QStringLiteral("WATCHDOG_SECS"), QString::number(kWatchdogSecs));
    return env;
}

void TstDemoE2E::stopDemo()
{
    if (!m_started)
        return;
    m_started = false;
    m_driver.abort();
    QProcess stop;
    stop.setProcessEnvironment(demoEnvironment());
    stop.setWorkingDirectory(QStringLiteral(TOVIA_SOURCE_DIR));
    stop.start(QStringLiteral("bash"), {QStringLiteral("scripts/demo"), QStringLiteral("stop")});
    if (!stop.waitForFinished(30000)) {
        stop.kill();
        stop.waitForFinished(2000);
    }
}

QString TstDemoE2E::displayOf(const QString& screen, QSize* pSize) const
{
    QFile f(m_demoDir + QStringLiteral("/screens/") + screen);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    const QStringList parts = QString::fromUtf8(f.readAll()).simplified().split(QLatin1Char(' '));
    if (pSize) {
        const QStringList wh = parts.value(1).split(QLatin1Char('x'));
        *pSize = QSize(wh.value(0).toInt(), wh.value(1).toInt());
    }
    return parts.value(0);
}

QImage TstDemoE2E::grab(const QString& screen, const QString& file)
{
    QSize size;
    const QString display = displayOf(screen, &size);
    const QString path = m_shots + QLatin1Char('/') + file;
    const ToolRun run =
        runTool(findTool(QStringLiteral("ffmpeg")),
                {QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-y"),
                 QStringLiteral("-f"), QStringLiteral("x11grab"), QStringLiteral("-video_size"),
                 QStringLiteral("%1x%2").arg(size.width()).arg(size.height()), QStringLiteral("-i"), display,
                 QStringLiteral("-frames:v"), QStringLiteral("1"), path});
    if (run.exitCode != 0)
        qWarning().noquote() << "screenshot of" << screen << "failed:" << run.output;
    return QImage(path);
}

QJsonObject TstDemoE2E::farmStatus(const QString& farm, const QString& idx) const
{
    const ToolRun run = runTool(testBinDir() + QStringLiteral("/farmsim"),
                                {QStringLiteral("status"), m_demoDir + QStringLiteral("/farm/") + farm});
    for (const QJsonValue& v :
         QJsonDocument::fromJson(run.output.toUtf8()).object().value(QStringLiteral("instances")).toArray()) {
        if (v.toObject().value(QStringLiteral("index")).toString() == idx)
            return v.toObject();
    }
    return QJsonObject();
}

void TstDemoE2E::showLogs() const
{
    for (const QString& name :
         {QStringLiteral("console"), QStringLiteral("agent-ld"), QStringLiteral("agent-memu")})
        qInfo().noquote() << "----" << name << ":\n"
                          << tailOf(m_demoDir + QLatin1Char('/') + name + ".log", 15)
                          << readProgramLogs(m_demoDir + QLatin1Char('/') + name, 15);
}

// Both PCs online with their emulators; the console's window framed by the window manager (a title
// bar above it) on a screen of its own.
void TstDemoE2E::consoleWithBothPcsInAFramedWindow()
{
    m_listed = m_driver.waitDump(kListedMs, [](const QJsonObject& d) {
        return pcOf(d, kPcLd).value(QStringLiteral("rows")).toArray().size() == kInstances &&
               pcOf(d, kPcMEmu).value(QStringLiteral("rows")).toArray().size() == kInstances;
    });
    if (pcOf(m_listed, kPcMEmu).isEmpty() || pcOf(m_listed, kPcLd).isEmpty())
        showLogs();
    for (const QString& pc : {kPcLd, kPcMEmu}) {
        QCOMPARE(pcOf(m_listed, pc).value(QStringLiteral("online")).toString(), QStringLiteral("在线"));
        QCOMPARE(pcOf(m_listed, pc).value(QStringLiteral("rows")).toArray().size(), kInstances);
    }
    // The window manager frames the window a moment after it is mapped. Asked of the X server, not of
    // the console: Qt learns its frame's size only on the window's next move or resize.
    const QString screen = displayOf(QStringLiteral("console"));
    const auto framed = [&screen] {
        for (const XWindowSeen& w : windowsOn(screen)) {
            if (w.title == QStringLiteral("Tovia-模拟器版") && w.framed)
                return true;
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(framed(), 10000);
    QSize size;
    const QString console = displayOf(QStringLiteral("console"), &size);
    QCOMPARE(size, kConsoleScreen);
    QVERIFY(titlesOf(windowsOn(console)).contains(QStringLiteral("Tovia-模拟器版")));
    const QImage shot = grab(QStringLiteral("console"), QStringLiteral("console-listed.png"));
    QCOMPARE(shot.size(), kConsoleScreen);
}

// An operation with nothing ticked: the error box is the real one, with the warning icon; while it
// is open the window takes no ticks; its button closes it.
void TstDemoE2E::errorBoxWarnsAndHoldsTheWindow()
{
    const QJsonObject opened = m_driver.call(QStringLiteral("menu 0"));
    const QJsonObject box = opened.value(QStringLiteral("dialog")).toObject();
    QCOMPARE(box.value(QStringLiteral("kind")).toString(), QStringLiteral("box"));
    QCOMPARE(box.value(QStringLiteral("title")).toString(), QStringLiteral("错误"));
    QCOMPARE(box.value(QStringLiteral("text")).toString(),
             QStringLiteral("当前未选择设备或模拟器，无法操作"));
    QCOMPARE(box.value(QStringLiteral("icon")).toString(), QStringLiteral("warning"));
    QCOMPARE(box.value(QStringLiteral("buttons")).toArray(), QJsonArray{QStringLiteral("确认")});
    QVERIFY(!m_driver.call(QStringLiteral("tick %1 0").arg(kPcLd)).value(QStringLiteral("ok")).toBool());
    // The box is mapped, and framed, a moment after it is opened.
    QTRY_VERIFY_WITH_TIMEOUT(
        titlesOf(windowsOn(displayOf(QStringLiteral("console")))).contains(QStringLiteral("错误")), 5000);
    DRIVER_OK(m_driver, QStringLiteral("answer confirm"));
    const QJsonObject dump = m_driver.call(QStringLiteral("dump"));
    QVERIFY(!dump.contains(QStringLiteral("dialog")));
    QCOMPARE(dump.value(QStringLiteral("results"))
                 .toArray()
                 .last()
                 .toObject()
                 .value(QStringLiteral("text"))
                 .toString(),
             QStringLiteral("当前未选择设备或模拟器，无法操作"));
}

// Emulators of both products started: their windows open on their own PC's screen, in the window
// manager's frames, and never on the console's. The farms boot for several watchdog periods.
void TstDemoE2E::emulatorWindowsOnTheirPcsOwnScreen()
{
    DRIVER_OK(m_driver, QStringLiteral("tick %1 %2 %3").arg(kPcMEmu, kMEmu0, kMEmu1));
    DRIVER_OK(m_driver, QStringLiteral("tick %1 0").arg(kPcLd));
    DRIVER_OK(m_driver, QStringLiteral("menu 0"));
    const QJsonObject dump = m_driver.waitDump(kOperationMs, [](const QJsonObject& d) {
        return stateOf(d, kPcMEmu, kMEmu0) == 1 && stateOf(d, kPcMEmu, kMEmu1) == 1 &&
               stateOf(d, kPcLd, "0") == 1;
    });
    QCOMPARE(stateOf(dump, kPcMEmu, kMEmu1), 1);
    QCOMPARE(stateOf(dump, kPcLd, "0"), 1);

    QSize pcSize;
    const QString memuScreen = displayOf(QStringLiteral("agent-memu"), &pcSize);
    QCOMPARE(pcSize, kPcScreen);
    const QList<XWindowSeen> onMEmuPc = windowsOn(memuScreen);
    const QStringList consoleTitles = titlesOf(windowsOn(displayOf(QStringLiteral("console"))));
    const QStringList ldTitles = titlesOf(windowsOn(displayOf(QStringLiteral("agent-ld"))));
    QVERIFY2(ldTitles.contains(nameOf(dump, kPcLd, "0")), qPrintable(ldTitles.join(',')));
    const QImage shot = grab(QStringLiteral("agent-memu"), QStringLiteral("pc-memu.png"));
    QCOMPARE(shot.size(), kPcScreen);
    for (const QString& idx : {kMEmu0, kMEmu1}) {
        const QString name = nameOf(dump, kPcMEmu, idx);
        QVERIFY2(titlesOf(onMEmuPc).contains(name), qPrintable(titlesOf(onMEmuPc).join(',')));
        QVERIFY2(!consoleTitles.contains(name) && !ldTitles.contains(name), qPrintable(name));
        // The window is seen in the screenshot: its middle is the emulator's screen, not the desktop.
        for (const XWindowSeen& w : onMEmuPc) {
            if (w.title == name)
                QVERIFY2(shot.pixelColor(w.rect.center()) != QColor(Qt::black), qPrintable(name));
        }
    }
    grab(QStringLiteral("agent-ld"), QStringLiteral("pc-ldplayer.png"));
    m_driver.waitDump(kOperationMs, [](const QJsonObject& d) {
        return rowOf(d, kPcMEmu, kMEmu1).value(QStringLiteral("screenshot")).toBool();
    });
    grab(QStringLiteral("console"), QStringLiteral("console.png"));
}

// Install: Qt's dialog in Chinese, APK files first, opened at home; the file chosen reaches the
// emulator. The next install opens in that file's folder; cancelled, nothing more is installed.
void TstDemoE2E::installThroughTheChineseFileDialog()
{
    const QString apkDir = m_scratch.filePath(QStringLiteral("安装包"));
    QVERIFY(QDir().mkpath(apkDir));
    const QString apk = apkDir + QStringLiteral("/游戏.apk");
    QFile f(apk);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(256 * 1024, 'A')) > 0);
    f.close();

    DRIVER_OK(m_driver, QStringLiteral("tick %1 %2").arg(kPcMEmu, kMEmu0));
    const QJsonObject dialog =
        m_driver.call(QStringLiteral("menu 2")).value(QStringLiteral("dialog")).toObject();
    QCOMPARE(dialog.value(QStringLiteral("kind")).toString(), QStringLiteral("file"));
    QCOMPARE(dialog.value(QStringLiteral("title")).toString(), QStringLiteral("选择文件"));
    const QJsonArray buttons = dialog.value(QStringLiteral("buttons")).toArray();
    QVERIFY2(buttons.size() == 2 && buttons.at(0).toString().startsWith(QStringLiteral("打开")) &&
                 buttons.at(1).toString() == QStringLiteral("取消"),
             QJsonDocument(buttons).toJson().constData());
    QVERIFY(dialog.value(QStringLiteral("labels")).toArray().contains(QStringLiteral("文件类型：")));
    QCOMPARE(dialog.value(QStringLiteral("nameFilters")).toArray(),
             (QJsonArray{QStringLiteral("APK文件 (*.apk)"), QStringLiteral("所有文件 (*)")}));
    QCOMPARE(dialog.value(QStringLiteral("directory")).toString(), QDir::homePath());
    QTest::qWait(500); // the folder listed
    grab(QStringLiteral("console"), QStringLiteral("console-file-dialog.png"));
    DRIVER_OK(m_driver, QStringLiteral("answer file ") + apk);
    QTRY_COMPARE_WITH_TIMEOUT(
        farmStatus(QStringLiteral("agent-memu"), kMEmu0).value(QStringLiteral("installed")).toArray().size(),
        1, kOperationMs);

    DRIVER_OK(m_driver, QStringLiteral("tick %1 %2").arg(kPcMEmu, kMEmu0));
    const QJsonObject again =
        m_driver.call(QStringLiteral("menu 2")).value(QStringLiteral("dialog")).toObject();
    QCOMPARE(again.value(QStringLiteral("directory")).toString(), apkDir);
    DRIVER_OK(m_driver, QStringLiteral("answer cancel"));
    QVERIFY(!m_driver.call(QStringLiteral("dump")).contains(QStringLiteral("dialog")));
    QTest::qWait(2000);
    QCOMPARE(
        farmStatus(QStringLiteral("agent-memu"), kMEmu0).value(QStringLiteral("installed")).toArray().size(),
        1);
}

// Rename: the input names the PC and the emulator and starts with its name; the new name reaches
// the farm.
void TstDemoE2E::renameInputNamesTheEmulator()
{
    const QString current = nameOf(m_listed, kPcLd, "1");
    DRIVER_OK(m_driver, QStringLiteral("tick %1 1").arg(kPcLd));
    const QJsonObject input =
        m_driver.call(QStringLiteral("menu 4")).value(QStringLiteral("dialog")).toObject();
    QCOMPARE(input.value(QStringLiteral("kind")).toString(), QStringLiteral("text"));
    QCOMPARE(input.value(QStringLiteral("value")).toString(), current);
    const QString label = input.value(QStringLiteral("label")).toString();
    QVERIFY2(label.contains(current) && label.contains(QStringLiteral("LDPlayer-PC")), qPrintable(label));
    grab(QStringLiteral("console"), QStringLiteral("console-rename.png"));
    const QString renamed = QStringLiteral("二号 机");
    DRIVER_OK(m_driver, QStringLiteral("answer name ") + renamed);
    QTRY_COMPARE_WITH_TIMEOUT(
        farmStatus(QStringLiteral("agent-ld"), "1").value(QStringLiteral("name")).toString(), renamed,
        kOperationMs);
}

// A tile's double click: the viewer shows the PC's own screen (its size, not the console's).
void TstDemoE2E::remoteDesktopShowsThePcsScreen()
{
    DRIVER_OK(m_driver, QStringLiteral("rdp %1 %2").arg(kPcMEmu, kMEmu0));
    const QJsonObject dump = m_driver.waitDump(kOperationMs, [](const QJsonObject& d) {
        return d.value(QStringLiteral("viewer")).toObject().value(QStringLiteral("pictureWidth")).toInt() > 0;
    });
    const QJsonObject viewer = dump.value(QStringLiteral("viewer")).toObject();
    QCOMPARE(viewer.value(QStringLiteral("addr")).toString(), QStringLiteral("10.77.0.3"));
    QCOMPARE(QSize(viewer.value(QStringLiteral("pictureWidth")).toInt(),
                   viewer.value(QStringLiteral("pictureHeight")).toInt()),
             kPcScreen);
    QTest::qWait(1500); // a few pictures more
    grab(QStringLiteral("console"), QStringLiteral("console-remote-desktop.png"));
    DRIVER_OK(m_driver, QStringLiteral("closerdp"));
}

// The MEmu PC's agent ends (its emulators keep running): within the online checker's silence the
// PC reads "离线", its rows are greyed, its tip says when it was last heard, and its tiles show the
// offline picture (a red cross), seen on the console's screen.
void TstDemoE2E::offlinePcShowsTheOfflinePicture()
{
    QFile pidFile(m_demoDir + QStringLiteral("/pids/agent-memu"));
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    const qint64 pid = pidFile.readAll().trimmed().toLongLong();
    QVERIFY(pid > 1);
    QCOMPARE(QProcess::execute(QStringLiteral("kill"), {QString::number(pid)}), 0);
    const QJsonObject dump = m_driver.waitDump(30000, [](const QJsonObject& d) {
        return pcOf(d, kPcMEmu).value(QStringLiteral("online")).toString() == QStringLiteral("离线");
    });
    const QJsonObject pc = pcOf(dump, kPcMEmu);
    QCOMPARE(pc.value(QStringLiteral("online")).toString(), QStringLiteral("离线"));
    QVERIFY2(pc.value(QStringLiteral("tip")).toString().contains(QStringLiteral("离线，最后一次收到回复：")),
             qPrintable(pc.value(QStringLiteral("tip")).toString()));
    QCOMPARE(pcOf(dump, kPcLd).value(QStringLiteral("online")).toString(), QStringLiteral("在线"));
    QTest::qWait(500); // painted
    const QImage shot = grab(QStringLiteral("console"), QStringLiteral("console-offline.png"));
    QCOMPARE(shot.size(), kConsoleScreen);
    for (const QString& idx : {kMEmu0, kMEmu1}) {
        const QJsonObject row = rowOf(dump, kPcMEmu, idx);
        QVERIFY(row.value(QStringLiteral("greyed")).toBool() &&
                row.value(QStringLiteral("tileOffline")).toBool());
        const QJsonObject r = row.value(QStringLiteral("tileRect")).toObject();
        const QRect tile(r.value(QStringLiteral("x")).toInt(), r.value(QStringLiteral("y")).toInt(),
                         r.value(QStringLiteral("width")).toInt(), r.value(QStringLiteral("height")).toInt());
        QVERIFY2(shot.rect().contains(tile), qPrintable(QStringLiteral("tile %1 off the screen").arg(idx)));
        int red = 0;
        for (int y = tile.top(); y < tile.top() + tile.height() * 4 / 5; y += 2) {
            for (int x = tile.left(); x <= tile.right(); x += 2) {
                const QColor c = shot.pixelColor(x, y);
                red += c.red() > 150 && c.green() < 120 && c.blue() < 120 ? 1 : 0;
            }
        }
        QVERIFY2(
            red > 50,
            qPrintable(QStringLiteral("no offline picture on the tile of %1 (%2 red)").arg(idx).arg(red)));
    }
}

QTEST_GUILESS_MAIN(TstDemoE2E)
#include "tst_demo_e2e.moc"
