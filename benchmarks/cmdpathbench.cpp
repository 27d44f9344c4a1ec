// Command path figures, measured over loopback in one run:
//  1. an APK of 50 MB sent to the agent's command server behind an install command: the agent's
//     receive throughput next to raw loopback TCP throughput (same sender, same size);
//  2. a start command against a simulated farm with boot delay 0: time from the command being sent
//     to the report (and to the thumbnail) arriving at the console's result server.
#include "consoleharness.h"
#include "farmfixture.h"
#include "notifierrun.h"
#include "simusettings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
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

// Reads and drops `expected` bytes of the first connection; notes when the last one arrived.
class RawSink : public QObject
{
public:
    explicit RawSink(qint64 expected) : m_expected(expected) {}
    void start()
    {
        m_pServer = new QTcpServer(this);
        m_pServer->listen(QHostAddress::LocalHost, 0);
        m_port = m_pServer->serverPort();
        connect(m_pServer, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* s = m_pServer->nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, this, [this, s] {
                while (s->bytesAvailable() > 0)
                    m_received += s->read(64 * 1024).size();
                if (m_received >= m_expected && m_endNs.load() == 0)
                    m_endNs = nowNs();
            });
        });
    }
    std::atomic<quint16> m_port{0};
    std::atomic<qint64> m_endNs{0};

private:
    QTcpServer* m_pServer = nullptr;
    qint64 m_expected;
    qint64 m_received = 0;
};

// Writes the document and then `size` bytes as fast as the socket takes them.
bool sendBulk(quint16 port, const QByteArray& head, qint64 size, qint64& startNs)
{
    QTcpSocket s;
    startNs = nowNs();
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return false;
    s.write(head);
    const QByteArray chunk(64 * 1024, 'Z');
    qint64 sent = 0;
    while (sent < size) {
        const qint64 n = std::min<qint64>(chunk.size(), size - sent);
        if (s.write(chunk.constData(), n) != n)
            return false;
        sent += n;
        while (s.bytesToWrite() > 4 * chunk.size()) {
            if (!s.waitForBytesWritten(30000))
                return false;
        }
    }
    while (s.bytesToWrite() > 0) {
        if (!s.waitForBytesWritten(30000))
            return false;
    }
    s.disconnectFromHost();
    if (s.state() != QAbstractSocket::UnconnectedState)
        s.waitForDisconnected(5000);
    return true;
}

double rawThroughputMBs()
{
    QThread thread;
    RawSink sink(kApkBytes);
    sink.moveToThread(&thread);
    thread.start();
    QMetaObject::invokeMethod(
        &sink, [&sink] { sink.start(); }, Qt::BlockingQueuedConnection);
    qint64 startNs = 0;
    const bool ok = sendBulk(sink.m_port, QByteArray(), kApkBytes, startNs);
    QElapsedTimer guard;
    guard.start();
    while (ok && sink.m_endNs.load() == 0 && guard.elapsed() < 30000)
        QThread::msleep(1);
    QMetaObject::invokeMethod(
        &sink, [&sink] { sink.moveToThread(QCoreApplication::instance()->thread()); },
        Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    if (!ok || sink.m_endNs.load() == 0)
        return -1;
    return kApkBytes / 1048576.0 / ((sink.m_endNs.load() - startNs) / 1e9);
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
    qint64 startNs = 0;
    if (!sendBulk(agent.port(), ConsoleClient::makeDoc(opers, QStringLiteral("bench")), kApkBytes, startNs))
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
    std::sort(docs.begin(), docs.end());
    std::sort(thumbs.begin(), thumbs.end());
    docMs = docs[docs.size() / 2];
    thumbMs = thumbs[thumbs.size() / 2];
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
    std::sort(raw.begin(), raw.end());
    std::sort(agent.begin(), agent.end());
    const double r = raw[raw.size() / 2], a = agent[agent.size() / 2];
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
