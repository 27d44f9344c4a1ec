// The instance process: MEmu.exe <idx> or dnplayer.exe index=<n>. It registers its pid in the farm
// state, runs until its record says stop (or it is killed), and with a reachable X display shows
// an MEmu instance's window titled with the instance's name.
#include "farm.h"
#include "screenimage.h"
#include "tools.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QPainter>
#include <QTimer>
#include <QWidget>

#include <X11/Xlib.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace farmsim {

namespace {

constexpr int kPollMs = 200;

class InstanceWindow : public QWidget
{
public:
    InstanceWindow(QString name, QString idx) : m_name(std::move(name)), m_idx(std::move(idx))
    {
        setWindowTitle(m_name);
        resize(kScreenWidth, kScreenHeight);
        auto* pTimer = new QTimer(this);
        connect(pTimer, &QTimer::timeout, this, qOverload<>(&QWidget::update));
        pTimer->start(1000);
    }
    void setName(const QString& name)
    {
        if (name == m_name)
            return;
        m_name = name;
        setWindowTitle(name);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.drawImage(rect(), renderScreen(m_name, m_idx, nowMs()));
    }

private:
    QString m_name;
    QString m_idx;
};

// A connection to the display, kept open while the application makes its own. Closed before, it
// could be the server's last client, and an X server that resets when its last client leaves (Xvfb
// without -noreset) drops a connection made during the reset: Qt aborts the process then.
using DisplayProbe = std::unique_ptr<Display, int (*)(Display*)>;

DisplayProbe openDisplayProbe()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return DisplayProbe(nullptr, XCloseDisplay);
    return DisplayProbe(XOpenDisplay(nullptr), XCloseDisplay);
}

// Records this process as the instance's process. False when the instance does not exist or
// another live process already is the instance.
bool registerSelf(Farm& farm, const QString& idx, QJsonObject* pRec)
{
    if (!beginFarm(farm, farm.instanceProgram()))
        return false;
    const int i = farm.findIndex(idx);
    if (i < 0) {
        farm.rollback();
        errLine(QStringLiteral("%1: no instance %2").arg(farm.instanceProgram(), idx));
        return false;
    }
    const qint64 me = ::getpid();
    const qint64 live = farm.livePid(i);
    if (live > 0 && live != me) {
        farm.rollback();
        errLine(QStringLiteral("%1: instance %2 already runs as process %3")
                    .arg(farm.instanceProgram(), idx)
                    .arg(live));
        return false;
    }
    QJsonObject rec = farm.instance(i);
    // dnconsole records the launch itself; a process started directly starts its boot now.
    if (rec.value("pid").toVariant().toLongLong() != me)
        rec.insert("launchMs", nowMs());
    rec.insert("pid", me);
    rec.insert("stop", false);
    farm.setInstance(i, rec);
    *pRec = rec;
    return commitFarm(farm, farm.instanceProgram());
}

void unregisterSelf(const QString& farmDir, const QString& idx)
{
    Farm farm(farmDir);
    QString err;
    if (!farm.begin(&err))
        return;
    const int i = farm.findIndex(idx);
    if (i >= 0 && farm.instance(i).value("pid").toVariant().toLongLong() == ::getpid()) {
        QJsonObject rec = farm.instance(i);
        rec.insert("pid", 0);
        farm.setInstance(i, rec);
    }
    farm.commit(&err);
}

// True while /proc/<pid>/stat shows the process stopped. Uses only calls that are safe in a
// forked child of a threaded process.
bool stoppedRaw(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0)
        return false;
    char buf[512];
    const ssize_t n = ::read(fd, buf, sizeof(buf) - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    buf[n] = 0;
    const char* pClose = std::strrchr(buf, ')');
    return pClose && (pClose[2] == 'T' || pClose[2] == 't');
}

// Stops this process, as a hung instance. A stopped process cannot notice that its farm was
// removed, so a small guard process watches for that while it is stopped and then kills it; the
// guard ends as soon as the instance goes on or dies.
void hangWithGuard(const QString& stateFile)
{
    const QByteArray state = QFile::encodeName(stateFile);
    const pid_t instance = ::getpid();
    const pid_t guard = ::fork();
    if (guard == 0) {
        const timespec tick{0, 200 * 1000 * 1000};
        for (int settle = 0; settle < 25 && !stoppedRaw(instance); ++settle)
            ::nanosleep(&tick, nullptr);
        struct stat st
        {
        };
        while (::getppid() == instance && stoppedRaw(instance)) {
            if (::stat(state.constData(), &st) != 0) {
                ::kill(instance, SIGKILL);
                break;
            }
            ::nanosleep(&tick, nullptr);
        }
        ::_exit(0);
    }
    ::raise(SIGSTOP);
    if (guard > 0)
        ::waitpid(guard, nullptr, 0);
}

// One look at the farm: false when this process should end; stops itself while "hang" is set.
bool pollOnce(const QString& farmDir, const QString& idx, InstanceWindow* pWindow)
{
    Farm farm(farmDir);
    QString err;
    if (!farm.read(&err))
        return false; // the farm is gone
    const int i = farm.findIndex(idx);
    if (i < 0)
        return false;
    const QJsonObject rec = farm.instance(i);
    if (rec.value("pid").toVariant().toLongLong() != ::getpid() || rec.value("stop").toBool())
        return false;
    if (pWindow)
        pWindow->setName(rec.value("name").toString());
    if (farm.knobBool(i, "hang"))
        hangWithGuard(farm.stateFile());
    return true;
}

QString indexFromArgs(const QString& program, const QStringList& args)
{
    if (args.size() != 1)
        return {};
    if (program == kMEmuExe)
        return args.at(0);
    if (args.at(0).startsWith(QLatin1String("index=")))
        return args.at(0).mid(6);
    return {};
}

std::unique_ptr<QCoreApplication> makeApp(int& argc, char** argv, bool window)
{
    if (!window)
        return std::make_unique<QCoreApplication>(argc, argv);
    // The window must be a real one on the display even when the environment asks for offscreen
    // rendering, and carries the window class the launcher's probe looks for.
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("RESOURCE_NAME", "Qt5QWindowIcon");
    QCoreApplication::setApplicationName(QStringLiteral("Qt5QWindowIcon"));
    return std::make_unique<QApplication>(argc, argv);
}

} // namespace

int runInstance(int argc, char** argv, const QString& farmDir, const QString& program)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const QString idx = indexFromArgs(program, args);
    if (idx.isEmpty()) {
        std::fprintf(stderr, "usage: %s\n",
                     program == kMEmuExe ? "MEmu.exe <idx>" : "dnplayer.exe index=<n>");
        return 2;
    }
    Farm farm(farmDir);
    QJsonObject rec;
    if (!registerSelf(farm, idx, &rec))
        return 1;
    const int i = farm.findIndex(idx);
    if (farm.knobBool(i, "unkillable"))
        std::signal(SIGTERM, SIG_IGN);
    DisplayProbe probe(nullptr, XCloseDisplay);
    if ((program == kMEmuExe && farm.knobBool(i, "window")) ||
        (program == kDnPlayerExe && farm.knobBool(i, "ldWindow")))
        probe = openDisplayProbe();
    const bool window = probe != nullptr;

    auto pApp = makeApp(argc, argv, window);
    probe.reset();
    std::unique_ptr<InstanceWindow> pWindow;
    if (window) {
        pWindow = std::make_unique<InstanceWindow>(rec.value("name").toString(), idx);
        pWindow->show();
    }
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!pollOnce(farmDir, idx, pWindow.get()))
            QCoreApplication::quit();
    });
    // The first look comes after the event loop ran, so a window is on the display before a
    // "hang" knob stops the process.
    poll.start(kPollMs);
    const int rc = QCoreApplication::exec();
    pWindow.reset();
    unregisterSelf(farmDir, idx);
    return rc;
}

} // namespace farmsim
