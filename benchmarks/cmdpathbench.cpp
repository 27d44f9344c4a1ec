// Command path figures, measured over loopback in one run:
//  1. an APK of 50 MB sent to the agent's command server behind an install command: the agent's
//     receive throughput next to raw loopback TCP throughput (same sender, same size);
//  2. a start command against a simulated farm with boot delay 0: time from the command being sent
//     to the report (and to the thumbnail) arriving at the console's result server.
#include "consoleharness.h"
#include "farmfixture.h"
#include "loopback.h"
#include "notifierrun.h"
#include "simusettings.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <cstdio>

namespace {

constexpr qint64 kApkBytes = 50LL * 1024 * 1024;
constexpr int kRuns = 3;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double rawThroughputMBs()
{
    return timedWithSink([](quint16 port) { rawSendBuffered(port, kApkBytes); }, kApkBytes).rate(kApkBytes);
}

double agentReceiveMBs(const QString& home)
{
    SimuSettings::setDataDir(home);
    SimuSettings::setSimuType(0); // the install itself then ends at once: the figure is the receive
    ResultServer results;
    if (!results.listen())
        return -1;
    AgentCommandServer agent(results.agentOptions());
    if (!agent.start())
        return -1;
    const auto opers =
        ConsoleClient::makeOpers(2, {QStringLiteral("0")}, 1, int(kApkBytes), QStringLiteral("bench.apk"));
    const qint64 startNs = nowNs();
    if (!rawSendBuffered(agent.port(), kApkBytes, ConsoleClient::makeDoc(opers, QStringLiteral("bench"))))
        return -1;
    if (!results.waitForReports(1, 60000))
        return -1;
    const qint64 endNs = nowNs() - (results.nowMs() - results.reports().first().docMs) * 1000000;
    return kApkBytes / 1048576.0 / ((endNs - startNs) / 1e9);
}

bool startLatency(double& docMs, double& thumbMs)
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::MEmu, 1)) {
        std::fprintf(stderr, "farm: %s\n", qPrintable(farm.error()));
        return false;
    }
    farm.setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0"));
    SimuSettings::setDaemonModel(0);
    ResultServer results;
    if (!results.listen())
        return false;
    AgentCommandServer agent(results.agentOptions());
    if (!agent.start())
        return false;
    std::vector<double> docs, thumbs;
    for (int run = 0; run < kRuns; ++run) {
        const int before = results.reports().size();
        const qint64 sentMs = results.nowMs();
        const auto start = ConsoleClient::makeOpers(0, {QStringLiteral("MEmu")}, 100 + run);
        if (!ConsoleClient::send(agent.port(), ConsoleClient::makeDoc(start, QStringLiteral("bench"))) ||
            !results.waitForReports(before + 1, 30000))
            return false;
        const ConsoleReport& rep = results.reports().at(before);
        if (rep.oper.iReplyRet != 0) {
            std::fprintf(stderr, "start failed: %d %s\n", rep.oper.iReplyRet, qPrintable(rep.oper.replyRet));
            return false;
        }
        docs.push_back(rep.docMs - sentMs);
        thumbs.push_back(rep.endMs - sentMs);
        const auto close = ConsoleClient::makeOpers(1, {QStringLiteral("MEmu")}, 200 + run);
        if (!ConsoleClient::send(agent.port(), ConsoleClient::makeDoc(close, QStringLiteral("bench"))) ||
            !results.waitForReports(before + 2, 30000))
            return false;
        AgentCommandServer::waitIdle(10000);
    }
    docMs = median(docs);
    thumbMs = median(thumbs);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
        if (type >= QtCriticalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    signIn(QStringLiteral("bench"));
    QTemporaryDir home;

    std::vector<double> raw, agent;
    for (int run = 0; run < kRuns; ++run) {
        raw.push_back(rawThroughputMBs());
        agent.push_back(agentReceiveMBs(home.path()));
    }
    const double r = median(raw), a = median(agent);
    std::printf("APK receive, %lld MB over loopback (median of %d runs):\n", kApkBytes / 1048576, kRuns);
    std::printf("  raw loopback TCP        %8.1f MB/s\n", r);
    std::printf("  agent install receive   %8.1f MB/s\n", a);
    std::printf("  ratio agent / raw       %8.2f\n", r > 0 && a > 0 ? a / r : -1.0);

    double docMs = 0, thumbMs = 0;
    if (FarmFixture::farmsimPath().isEmpty()) {
        std::printf("start latency: skipped, farmsim not found (set TOVIA_BIN_DIR)\n");
    } else if (startLatency(docMs, thumbMs)) {
        std::printf("Start command, boot delay 0 (median of %d runs):\n", kRuns);
        std::printf("  command sent -> report received     %7.1f ms\n", docMs);
        std::printf("  command sent -> thumbnail received  %7.1f ms\n", thumbMs);
    } else {
        std::printf("start latency: failed\n");
        return 1;
    }
    return r > 0 && a > 0 ? 0 : 1;
}
