// Group control on the agent against a simulated farm, agent and console in one process over
// loopback. Prints figures; not a test.
//  1. Replay: clicks sent as group-input commands to every instance, from the moment the console
//     writes the command to the moment farmsim logs the `input tap` of each instance (its event log's
//     timestamp): p50, p95, max, events lost and out of order, and the agent's CPU per replayed event
//     (this process's CPU over the clicks: the agent's command server, group manager and shells'
//     thread, plus the small console side).
//  2. Live view of a 720x1280 lead: frames per second and frame age (capture to decoded on the
//     console side), against the yardstick of one bare "screencap" through a long-lived shell.
//
//   groupagent_bench [instances=50] [clicks=100] [click interval ms=100] [view seconds=10]
//                    [view frame period ms=100, the agent's default; 0: as fast as it goes]
#include "adbshells.h"
#include "groupharness.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>
#include <QtTest>

#include <sys/resource.h>

#include <algorithm>

namespace {

const QString kRun = QStringLiteral("bench-run");

QTextStream& out()
{
    static QTextStream s(stdout);
    return s;
}

double cpuMs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

double pct(QVector<double> v, double p)
{
    if (v.isEmpty())
        return -1;
    std::sort(v.begin(), v.end());
    return v.at(qMin(v.size() - 1, int(p * v.size())));
}

void replay(GroupAgent& agent, const QStringList& idxs, int clicks, int intervalMs)
{
    QVector<qint64> sentMs;
    const double cpuBefore = cpuMs();
    QElapsedTimer wall;
    wall.start();
    for (int c = 0; c < clicks; ++c) {
        sentMs << QDateTime::currentMSecsSinceEpoch();
        // Click c lands at x pixel c on every screen, so each logged tap names its click.
        const QHash<QString, GroupReplyItem> reply =
            agent.input(idxs, kRun, GroupInputEvent::tap(double(c) / 269, 0.5));
        if (reply.size() != idxs.size())
            out() << "click " << c << ": reply with " << reply.size() << " items\n";
        QTest::qWait(qMax<qint64>(0, (c + 1) * intervalMs - wall.elapsed()));
    }
    // Every tap logged, or 10 s after the last click.
    QDeadlineTimer settle(10000);
    const auto logged = [&] {
        int n = 0;
        for (const QString& idx : idxs)
            n += agent.events(idx, QStringLiteral("tap")).size();
        return n;
    };
    while (logged() < clicks * idxs.size() && !settle.hasExpired())
        QTest::qWait(200);
    const double cpu = cpuMs() - cpuBefore;

    QVector<double> latency;
    int lost = 0;
    int outOfOrder = 0;
    for (const QString& idx : idxs) {
        QSet<int> seen;
        int last = -1;
        for (const QJsonValue& v : agent.farm().events(idx)) {
            const QJsonObject e = v.toObject();
            if (e.value("cmd").toString() != QLatin1String("tap"))
                continue;
            const int c = e.value("args").toArray().at(0).toString().toInt();
            if (c < 0 || c >= clicks)
                continue;
            outOfOrder += c < last ? 1 : 0;
            last = c;
            seen.insert(c);
            latency << e.value("ms").toDouble() - double(sentMs.at(c));
        }
        lost += clicks - seen.size();
    }
    out() << QStringLiteral(
                 "replay: %1 instances, %2 clicks every %3 ms: click to logged tap p50 %4 ms, p95 %5 ms, "
                 "max %6 ms; lost %7, out of order %8\n")
                 .arg(idxs.size())
                 .arg(clicks)
                 .arg(intervalMs)
                 .arg(pct(latency, 0.5), 0, 'f', 1)
                 .arg(pct(latency, 0.95), 0, 'f', 1)
                 .arg(pct(latency, 1.0), 0, 'f', 1)
                 .arg(lost)
                 .arg(outOfOrder);
    out() << QStringLiteral("replay: CPU of the agent's process %1 ms over %2 s: %3 ms per replayed event\n")
                 .arg(cpu, 0, 'f', 0)
                 .arg(wall.elapsed() / 1000.0, 0, 'f', 1)
                 .arg(cpu / qMax(1, latency.size()), 0, 'f', 3);
    out().flush();
}

void liveView(GroupAgent& agent, const QString& lead, int seconds, int minFrameMs)
{
    // Yardstick: one bare capture through a long-lived shell (the view's floor).
    const QString serial = agent.serialOf(lead);
    AdbShells::run(serial, {QStringLiteral("screencap")}, 5000, qint64(64) << 20, eShellStderr::Dropped);
    QVector<double> bare;
    for (int i = 0; i < 10; ++i) {
        QElapsedTimer t;
        t.start();
        AdbShells::run(serial, {QStringLiteral("screencap")}, 5000, qint64(64) << 20, eShellStderr::Dropped);
        bare << t.nsecsElapsed() / 1e6;
    }
    AdbShells::close(serial);

    ViewConsole console;
    const std::optional<GroupReply> reply =
        agent.send(eOperGroupViewBegin, {lead}, kRun, QString(), console.port());
    if (!reply || reply->items.value(0).code != eGroupOk) {
        out() << "live view: not started\n";
        return;
    }
    QDeadlineTimer first(15000);
    while (console.count(GroupViewFrame::Jpeg) == 0 && !first.hasExpired())
        QTest::qWait(20);
    const int from = console.frames().size();
    const double cpuBefore = cpuMs();
    QVector<double> age;
    QVector<double> bytes;
    QElapsedTimer wall;
    wall.start();
    int decoded = from;
    while (wall.elapsed() < seconds * 1000) {
        QTest::qWait(5);
        // The console decodes the newest frame it has, as a window would before painting it.
        if (console.frames().size() > decoded) {
            decoded = console.frames().size();
            const ViewConsole::struGot& got = console.frames().last();
            const QImage picture = QImage::fromData(got.frame.payload, "JPG");
            if (picture.isNull())
                continue;
            age << double(QDateTime::currentMSecsSinceEpoch() - qint64(got.frame.captureMs));
            bytes << got.frame.payload.size();
        }
    }
    const double cpu = cpuMs() - cpuBefore;
    const int frames = console.frames().size() - from;
    out() << QStringLiteral("live view 720x1280, frame period %8 ms: %1 frames/s over %2 s, frame age "
                            "(capture to decoded) p50 %3 ms, "
                            "p95 %4 ms, max %5 ms; JPEG %6 KB; CPU of agent and console %7 %\n")
                 .arg(frames / (wall.elapsed() / 1000.0), 0, 'f', 1)
                 .arg(seconds)
                 .arg(pct(age, 0.5), 0, 'f', 0)
                 .arg(pct(age, 0.95), 0, 'f', 0)
                 .arg(pct(age, 1.0), 0, 'f', 0)
                 .arg(pct(bytes, 0.5) / 1024, 0, 'f', 0)
                 .arg(100 * cpu / wall.elapsed(), 0, 'f', 0)
                 .arg(minFrameMs);
    out() << QStringLiteral(
                 "yardstick: one bare screencap of 720x1280 through a long-lived shell: median %1 ms\n")
                 .arg(pct(bare, 0.5), 0, 'f', 1);
    out().flush();
    agent.send(eOperGroupViewEnd, {QString()}, kRun);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (!qEnvironmentVariableIsSet("TOVIA_BIN_DIR"))
        qputenv("TOVIA_BIN_DIR", QCoreApplication::applicationDirPath().toLocal8Bit());
    qputenv("QT_LOGGING_RULES", "tovia.*.info=false");
    const QStringList args = app.arguments();
    const int instances = args.value(1, QStringLiteral("50")).toInt();
    const int clicks = args.value(2, QStringLiteral("100")).toInt();
    const int intervalMs = args.value(3, QStringLiteral("100")).toInt();
    const int viewSeconds = args.value(4, QStringLiteral("10")).toInt();
    struGroupCtlOptions options;
    options.view.iMinFrameMs = args.value(5, QString::number(options.view.iMinFrameMs)).toInt();

    GroupAgent agent;
    if (!agent.start(instances, options) ||
        !agent.farm().setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0"))) {
        out() << "no farm: " << agent.farm().error() << "\n";
        return 1;
    }
    const QStringList idxs = agent.farm().indexes();
    agent.farm().setKnob(QStringLiteral("screenWidth"), QStringLiteral("720"), idxs.first());
    agent.farm().setKnob(QStringLiteral("screenHeight"), QStringLiteral("1280"), idxs.first());
    for (const QString& idx : idxs) {
        if (!agent.runInstance(idx)) {
            out() << "instance " << idx << " did not start\n";
            return 1;
        }
    }
    // Each instance's shell and screen size are ready before the clock runs, as after a first click.
    agent.input(idxs, kRun, GroupInputEvent::key(0));
    QTest::qWait(2000);
    replay(agent, idxs.mid(1), clicks, intervalMs);
    liveView(agent, idxs.first(), viewSeconds, options.view.iMinFrameMs);
    AdbShells::shutdown();
    return 0;
}
