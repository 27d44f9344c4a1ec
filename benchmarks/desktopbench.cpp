// Remote desktop figures: the agent's sender (with the real grabber on $DISPLAY) and the console's
// viewer in one process over loopback. Per run: time from the begin command to the first picture
// shown, pictures shown per second, glass-to-glass latency (a colour change of the agent's display
// until the viewer shows a picture with it) and the console's CPU while showing.
#include "consoleharness.h"
#include "desktoprunmgr.h"
#include "desktopvideosender.h"
#include "remotedesktopwnd.h"
#include "rmtdsktpport.h"
#include "simutcprcvobj.h"
#include "xdesk.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace {

constexpr int kRuns = 3;
constexpr int kChanges = 40;
constexpr int kFpsMs = 5000;
const QString kUser = QStringLiteral("benchuser");

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

bool near(const QColor& a, const QColor& b)
{
    return qAbs(a.red() - b.red()) < 40 && qAbs(a.green() - b.green()) < 40 && qAbs(a.blue() - b.blue()) < 40;
}

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    // Millisecond naps in an event loop: the figures must not include a busy wait.
    QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(1, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

QElapsedTimer* g_beginClock = nullptr;
double g_grabberMs = -1;

struct RunFigures
{
    double firstMs = -1;
    double grabberMs = -1;
    double fps = 0;
    double cpuPercent = 0;
    std::vector<double> latencies;
};

RunFigures oneRun(AgentCommandServer& server, quint16 controlPort, XDesk& desk)
{
    RunFigures fig;
    desk.fill(Qt::black);
    struRmtDsktpTarget target;
    target.strAddr = QStringLiteral("127.0.0.1");
    target.iPort = RmtDsktpPort::choose(target.strAddr, {}, 0);
    auto* pWnd = new RemoteDesktopWnd(target);
    pWnd->setControlPort(controlPort);
    QElapsedTimer clock;
    int shown = 0;
    QObject::connect(pWnd, &RemoteDesktopWnd::sigBeginRmtDsktp, [&](int port) {
        clock.start();
        g_beginClock = &clock;
        const int now = int(QDateTime::currentSecsSinceEpoch());
        ConsoleClient::send(
            server.port(),
            ConsoleClient::makeDoc(
                ConsoleClient::makeOpers(eOperRmtDesktopBegin, {"remoteDesktop"}, now, port), kUser));
    });
    QObject::connect(pWnd, &RemoteDesktopWnd::sigPictureShown, [&](int n) {
        if (n == 1)
            fig.firstMs = clock.nsecsElapsed() / 1e6;
        shown = n;
    });
    pWnd->initWnd();
    pWnd->show();
    if (!waitFor([&] { return shown > 0; }, 10000)) {
        std::fprintf(stderr, "no picture within 10 s\n");
        delete pWnd;
        return fig;
    }

    const QList<QColor> colours{QColor(220, 20, 20), QColor(20, 200, 20), QColor(20, 20, 220),
                                QColor(230, 230, 230)};
    for (int i = 0; i < kChanges; ++i) {
        const QColor colour = colours.at(i % colours.size());
        waitFor([] { return false; }, 20 + (i * 7) % 40);
        QElapsedTimer change;
        change.start();
        desk.fill(colour);
        const QPoint probe(pWnd->picture().width() / 4, pWnd->picture().height() / 4);
        if (waitFor([&] { return near(pWnd->picture().pixelColor(probe), colour); }, 2000))
            fig.latencies.push_back(change.nsecsElapsed() / 1e6);
    }

    const int shownBefore = shown;
    const double cpuBefore = cpuSeconds();
    QElapsedTimer span;
    span.start();
    // Busy content: the picture changes everywhere ten times a second.
    QTimer scribbler;
    unsigned seed = 1;
    QObject::connect(&scribbler, &QTimer::timeout, [&] { desk.scribble(300, seed++); });
    scribbler.start(100);
    QEventLoop idle;
    QTimer::singleShot(kFpsMs, &idle, &QEventLoop::quit);
    idle.exec();
    scribbler.stop();
    fig.fps = (shown - shownBefore) * 1000.0 / double(span.elapsed());
    fig.cpuPercent = (cpuSeconds() - cpuBefore) * 100.0 * 1000.0 / double(span.elapsed());

    fig.grabberMs = g_grabberMs;
    pWnd->close();
    const int now = int(QDateTime::currentSecsSinceEpoch());
    ConsoleClient::send(
        server.port(),
        ConsoleClient::makeDoc(ConsoleClient::makeOpers(eOperRmtDesktopEnd, {"closeRmtDsktp"}, now), kUser));
    delete pWnd;
    waitFor([] { return false; }, 500);
    return fig;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
        if (type >= QtCriticalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    QString binDir = qEnvironmentVariable("TOVIA_BIN_DIR");
    if (binDir.isEmpty())
        binDir = QCoreApplication::applicationDirPath();
    const QString grabber = binDir + QStringLiteral("/ToviaMpeg.exe");
    XDesk desk;
    QString why;
    if (!QFile::exists(grabber) || !desk.open(why, false)) {
        std::fprintf(stderr, "needs %s and an X display: %s\n", qPrintable(grabber), qPrintable(why));
        return 2;
    }
    signIn(kUser);
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    const quint16 controlPort = probe.serverPort();
    probe.close();
    AgentCommandServer server;
    auto* pMgr = new DesktopRunMgr(server.object(), controlPort, grabber);
    pMgr->attach(server.object());
    QObject::connect(
        pMgr, &DesktopRunMgr::sigRunStarted, pMgr,
        [](DesktopVideoSender* pSender) {
            QObject::connect(pSender, &DesktopVideoSender::sigGrabberStarted, pSender, [](qint64) {
                g_grabberMs = g_beginClock ? g_beginClock->nsecsElapsed() / 1e6 : -1;
            });
        },
        Qt::DirectConnection);
    if (!server.start()) {
        std::fprintf(stderr, "command server did not start\n");
        return 2;
    }

    const QSize screen = desk.screenSize();
    std::printf("Remote desktop over loopback, %dx%d display, %d runs, %d colour changes each:\n",
                screen.width(), screen.height(), kRuns, kChanges);
    std::vector<double> firsts, latencies, fps, cpu;
    for (int run = 0; run < kRuns; ++run) {
        const RunFigures fig = oneRun(server, controlPort, desk);
        std::printf("  run %d: grabber started after %.0f ms, first picture %.0f ms, %.1f pictures/s, "
                    "latency p50 %.0f ms p95 %.0f ms (%zu of %d "
                    "changes seen), console CPU %.0f %% of one core (busy picture)\n",
                    run + 1, fig.grabberMs, fig.firstMs, fig.fps, percentile(fig.latencies, 0.5),
                    percentile(fig.latencies, 0.95), fig.latencies.size(), kChanges, fig.cpuPercent);
        firsts.push_back(fig.firstMs);
        fps.push_back(fig.fps);
        cpu.push_back(fig.cpuPercent);
        latencies.insert(latencies.end(), fig.latencies.begin(), fig.latencies.end());
    }
    std::printf("first picture after the begin command (median)  %6.0f ms\n", percentile(firsts, 0.5));
    std::printf("pictures shown per second (median)              %6.1f\n", percentile(fps, 0.5));
    std::printf("glass-to-glass latency p50 / p95                %6.0f / %.0f ms\n",
                percentile(latencies, 0.5), percentile(latencies, 0.95));
    std::printf("console CPU, decode and paint, busy (median)          %6.0f %% of one core\n",
                percentile(cpu, 0.5));
    return 0;
}
