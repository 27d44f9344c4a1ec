// Window probe and mouse injection of the platform layer against real X11 windows (Xvfb in CI).

#include "farmfixture.h"
#include "platform.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QtTest>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <signal.h>

namespace {

// Bound of every wait for the X server or a process; met at once unless the machine is very busy.
constexpr int kWaitMs = 10000;

// The test's own connection; windows are made with raw Xlib so that every property is known.
class TestDisplay
{
public:
    TestDisplay()
    {
        const QByteArray name = qgetenv("DISPLAY");
        m_pDisplay = name.isEmpty() ? nullptr : XOpenDisplay(name.constData());
    }
    ~TestDisplay()
    {
        if (m_pDisplay) {
            XCloseDisplay(m_pDisplay);
        }
    }
    Display* get() const { return m_pDisplay; }

    Window createWindow(Window parent, const char* utf8Title, const char* resName, const char* resClass,
                        long pid)
    {
        Window window = XCreateSimpleWindow(m_pDisplay, parent, 0, 0, 200, 200, 0, 0, 0);
        if (utf8Title) {
            XChangeProperty(m_pDisplay, window, XInternAtom(m_pDisplay, "_NET_WM_NAME", False),
                            XInternAtom(m_pDisplay, "UTF8_STRING", False), 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(utf8Title), int(strlen(utf8Title)));
        }
        if (resName) {
            XClassHint hint{const_cast<char*>(resName), const_cast<char*>(resClass)};
            XSetClassHint(m_pDisplay, window, &hint);
        }
        if (pid > 0) {
            unsigned long value = static_cast<unsigned long>(pid);
            XChangeProperty(m_pDisplay, window, XInternAtom(m_pDisplay, "_NET_WM_PID", False), XA_CARDINAL,
                            32, PropModeReplace, reinterpret_cast<unsigned char*>(&value), 1);
        }
        XSync(m_pDisplay, False);
        return window;
    }

    Window root() const { return DefaultRootWindow(m_pDisplay); }

private:
    Display* m_pDisplay = nullptr;
};

bool processStateIs(qint64 pid, char wanted)
{
    QFile file(QString("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray line = file.readAll();
    const int close = line.lastIndexOf(')');
    return close > 0 && line.size() > close + 2 && line.at(close + 2) == wanted;
}

// Waits (bounded) for a button event of `button` on the window.
bool waitForButton(Display* display, int type, unsigned int button)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < kWaitMs) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == type && event.xbutton.button == button) {
                return true;
            }
        }
        QThread::msleep(10);
    }
    return false;
}

} // namespace

#define REQUIRE_DISPLAY(display)                                                                             \
    if (!(display).get())                                                                                    \
    QSKIP("no X display ($DISPLAY unset or unreachable); the test command runs these under xvfb-run")

class TestPlatformX11 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void noDisplayMeansNotFound();
    void windowProbe();
    void stoppedOwnerIsHung();
    void mouseInjection();
};

// The pointer is moved and clicked, and windows are found by title: on a display shared with other
// tests their windows could cover ours or the pointer could move under us, so the cases run on a
// display of this program's own when one can be had (otherwise on the one given).
void TestPlatformX11::initTestCase()
{
    XvfbServer::isolateDisplay();
}

// Runs first, before the layer has opened any connection of its own.
void TestPlatformX11::noDisplayMeansNotFound()
{
    const QByteArray saved = qgetenv("DISPLAY");
    for (const char* value : {"", ":987"}) {
        qputenv("DISPLAY", value);
        const platform::WindowProbe probe = platform::findTopLevelWindow("", "anything");
        QVERIFY(!probe.found);
        QCOMPARE(probe.pid, platform::Pid(0));
        QVERIFY(!platform::setCursorPos(1, 1));
        QVERIFY(!platform::mouseButton(platform::MouseButtonAction::LeftDown));
    }
    qunsetenv("DISPLAY");
    QVERIFY(!platform::findTopLevelWindow("", "anything").found);
    if (!saved.isNull()) {
        qputenv("DISPLAY", saved);
    }
}

void TestPlatformX11::windowProbe()
{
    TestDisplay display;
    REQUIRE_DISPLAY(display);
    const qint64 owner = QCoreApplication::applicationPid();

    // A client directly below the root (no window manager) with a UTF-8 title.
    const Window plain = display.createWindow(display.root(), "MEmu_逍遥 1", "memu", "Qt5QWindowIcon", owner);
    // A client inside a frame, as a reparenting window manager arranges it.
    const Window frame = display.createWindow(display.root(), nullptr, nullptr, nullptr, 0);
    display.createWindow(frame, "雷电-2", "dnplayer", "DnPlayer", owner + 1);
    // Only the old-style title, no class, no pid.
    const Window legacy = display.createWindow(display.root(), nullptr, nullptr, nullptr, 0);
    XStoreName(display.get(), legacy, "legacy title");
    XSync(display.get(), False);

    platform::WindowProbe probe = platform::findTopLevelWindow("Qt5QWindowIcon", "MEmu_逍遥 1");
    QVERIFY(probe.found);
    QCOMPARE(probe.pid, platform::Pid(owner));
    QVERIFY(!probe.hung);
    QVERIFY(platform::findTopLevelWindow("memu", "MEmu_逍遥 1").found);
    QVERIFY(platform::findTopLevelWindow("", "MEmu_逍遥 1").found);
    QVERIFY(!platform::findTopLevelWindow("OtherClass", "MEmu_逍遥 1").found);
    QVERIFY(!platform::findTopLevelWindow("", "MEmu_逍遥").found);

    probe = platform::findTopLevelWindow("DnPlayer", "雷电-2");
    QVERIFY(probe.found);
    QCOMPARE(probe.pid, platform::Pid(owner + 1));

    probe = platform::findTopLevelWindow("", "legacy title");
    QVERIFY(probe.found);
    QCOMPARE(probe.pid, platform::Pid(0));
    QVERIFY(!probe.hung);
    QVERIFY(!platform::findTopLevelWindow("Qt5QWindowIcon", "legacy title").found);

    // A window that is gone is no longer found.
    XDestroyWindow(display.get(), plain);
    XSync(display.get(), False);
    QVERIFY(!platform::findTopLevelWindow("", "MEmu_逍遥 1").found);
}

void TestPlatformX11::stoppedOwnerIsHung()
{
    TestDisplay display;
    REQUIRE_DISPLAY(display);
    QProcess owner;
    owner.start("sleep", {"60"});
    QVERIFY(owner.waitForStarted(5000));
    display.createWindow(display.root(), "hung instance", "memu", "Qt5QWindowIcon", owner.processId());

    QVERIFY(!platform::findTopLevelWindow("", "hung instance").hung);
    QCOMPARE(::kill(pid_t(owner.processId()), SIGSTOP), 0);
    QTRY_VERIFY_WITH_TIMEOUT(processStateIs(owner.processId(), 'T'), kWaitMs);
    const platform::WindowProbe probe = platform::findTopLevelWindow("Qt5QWindowIcon", "hung instance");
    QVERIFY(probe.found);
    QCOMPARE(probe.pid, platform::Pid(owner.processId()));
    QVERIFY(probe.hung);

    ::kill(pid_t(owner.processId()), SIGCONT);
    QTRY_VERIFY_WITH_TIMEOUT(!processStateIs(owner.processId(), 'T'), kWaitMs);
    QVERIFY(!platform::findTopLevelWindow("", "hung instance").hung);
    owner.kill();
    owner.waitForFinished(5000);
}

void TestPlatformX11::mouseInjection()
{
    TestDisplay display;
    REQUIRE_DISPLAY(display);
    Display* x = display.get();
    const Window window = display.createWindow(display.root(), "input target", nullptr, nullptr, 0);
    XSelectInput(x, window, ButtonPressMask | ButtonReleaseMask | StructureNotifyMask);
    XMapRaised(x, window);
    XSync(x, False);
    QElapsedTimer timer;
    timer.start();
    bool mapped = false;
    while (!mapped && timer.elapsed() < kWaitMs) {
        XEvent event;
        if (XCheckTypedWindowEvent(x, window, MapNotify, &event)) {
            mapped = true;
        } else {
            QThread::msleep(10);
        }
    }
    QVERIFY2(mapped, "test window was not mapped");

    QVERIFY(platform::setCursorPos(57, 63));
    Window rootReturn = 0;
    Window childReturn = 0;
    int rootX = 0;
    int rootY = 0;
    int winX = 0;
    int winY = 0;
    unsigned int mask = 0;
    XQueryPointer(x, display.root(), &rootReturn, &childReturn, &rootX, &rootY, &winX, &winY, &mask);
    QCOMPARE(rootX, 57);
    QCOMPARE(rootY, 63);

    QVERIFY(platform::mouseButton(platform::MouseButtonAction::LeftDown));
    QVERIFY(waitForButton(x, ButtonPress, Button1));
    QVERIFY(platform::mouseButton(platform::MouseButtonAction::LeftUp));
    QVERIFY(waitForButton(x, ButtonRelease, Button1));
    QVERIFY(platform::mouseButton(platform::MouseButtonAction::RightDown));
    QVERIFY(waitForButton(x, ButtonPress, Button3));
    QVERIFY(platform::mouseButton(platform::MouseButtonAction::RightUp));
    QVERIFY(waitForButton(x, ButtonRelease, Button3));
}

QTEST_GUILESS_MAIN(TestPlatformX11)
#include "tst_platform_x11.moc"
