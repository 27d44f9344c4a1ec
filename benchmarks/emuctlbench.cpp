// Times the inventory read and the run-state probe of 50 instances of each product against a
// simulated farm. Prints the figures; not a test.
//
//   emuctl_bench [repetitions]      (farmsim is looked up in $TOVIA_BIN_DIR, else beside this program)
#include "farmfixture.h"
#include "simuinfoxmlgainer.h"
#include "launcherfactory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QThread>
#include <QVector>

#include <algorithm>
#include <functional>

namespace {

constexpr int kInstances = 50;

struct Figures
{
    double minMs = 0;
    double medianMs = 0;
};

Figures measure(int reps, const std::function<void()>& op)
{
    QVector<double> ms;
    for (int i = 0; i < reps; ++i) {
        QElapsedTimer t;
        t.start();
        op();
        ms << t.nsecsElapsed() / 1e6;
    }
    std::sort(ms.begin(), ms.end());
    return {ms.first(), ms.at(ms.size() / 2)};
}

bool benchProduct(FarmFixture::Product product, int reps, QTextStream& out)
{
    FarmFixture farm;
    if (!farm.init(product, kInstances)) {
        out << "cannot lay out the farm: " << farm.error() << "\n";
        return false;
    }
    const QString name = product == FarmFixture::MEmu ? QStringLiteral("MEmu") : QStringLiteral("LDPlayer");

    QVector<SimuInfo> infos;
    const Figures read = measure(reps, [&] { SimuInfoXmlGainer().GetSimusInfo(infos); });
    if (infos.size() != kInstances) {
        out << name << ": the inventory read gave " << infos.size() << " entries\n";
        return false;
    }
    const SimuInfo one = infos.at(kInstances / 2);
    const Figures probe = measure(reps, [&] {
        int pid = 0;
        SimuRunState(one, pid);
    });
    const Figures pass = measure(qMax(1, reps / 2), [&] {
        for (const SimuInfo& info : qAsConst(infos)) {
            int pid = 0;
            SimuRunState(info, pid);
        }
    });

    // One instance running and reachable: the probe adds the adb device check (and the window
    // lookup for MEmu).
    Figures running;
    const bool up = farm.setKnob("bootDelayMs", "0") && farm.startInstance(one.idx()) &&
                    farm.waitInstance(one.idx(), "online", true);
    if (up) {
        QElapsedTimer wait;
        wait.start();
        int pid = 0;
        while (SimuRunState(one, pid) != eRunStateRunning && wait.elapsed() < 10000)
            QThread::msleep(50);
        running = measure(reps, [&] { SimuRunState(one, pid); });
    }

    out << QStringLiteral("%1, %2 instances, %3 repetitions, X display: %4\n")
               .arg(name)
               .arg(kInstances)
               .arg(reps)
               .arg(qEnvironmentVariable("DISPLAY", QStringLiteral("none")));
    out << QStringLiteral("  inventory read (GetSimusInfo)         min %1 ms  median %2 ms\n")
               .arg(read.minMs, 0, 'f', 1)
               .arg(read.medianMs, 0, 'f', 1);
    out << QStringLiteral("  run-state probe, one stopped instance min %1 ms  median %2 ms\n")
               .arg(probe.minMs, 0, 'f', 1)
               .arg(probe.medianMs, 0, 'f', 1);
    out << QStringLiteral("  run-state probe of all %1 (stopped)    min %2 ms  median %3 ms\n")
               .arg(kInstances)
               .arg(pass.minMs, 0, 'f', 1)
               .arg(pass.medianMs, 0, 'f', 1);
    if (up)
        out << QStringLiteral("  run-state probe, one running instance min %1 ms  median %2 ms\n")
                   .arg(running.minMs, 0, 'f', 1)
                   .arg(running.medianMs, 0, 'f', 1);
    else
        out << "  (the running instance did not come up)\n";
    out.flush();
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (!qEnvironmentVariableIsSet("TOVIA_BIN_DIR"))
        qputenv("TOVIA_BIN_DIR", QCoreApplication::applicationDirPath().toLocal8Bit());
    const int reps = qMax(1, app.arguments().value(1, QStringLiteral("10")).toInt());
    QTextStream out(stdout);
    // The MEmu probe looks for the instance's window: give it a display of its own when possible.
    XvfbServer x;
    if (!x.start())
        out << "no X display for the MEmu window probe: " << x.error() << "\n";
    bool ok = benchProduct(FarmFixture::MEmu, reps, out);
    ok = benchProduct(FarmFixture::LdPlayer, reps, out) && ok;
    return ok ? 0 : 1;
}
