// Console operation figures, measured over loopback in one run:
//  1. a 200 MB APK streamed by the console's install manager: to a sink that drops the bytes and to
//     the agent's real command server, next to raw loopback TCP of the same size; the console's
//     peak memory for a 20 MB and a 200 MB file;
//  2. one APK installed to 50 emulators of one PC: bytes the console sent against the file size;
//  3. 100 agents reporting a start with its thumbnail at once: all received, time to drain.
// Run: TOVIA_BIN_DIR=<build>/bin <build>/bin/consoleops_bench
#include "clientnetoperobj.h"
#include "consoleharness.h"
#include "farmfixture.h"
#include "jsoncodec.h"
#include "loginret.h"
#include "notifierrun.h"
#include "opergrpsimumgr.h"
#include "simusettings.h"
#include "taskresultrcver.h"
#include "thumbnail.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

namespace {

constexpr qint64 kMB = 1024 * 1024;
constexpr int kRuns = 3;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Peak resident memory since the last reset, in kB (Linux).
qint64 peakRssKb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

void resetPeakRss()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

QString makeFile(const QTemporaryDir& dir, qint64 size)
{
    const QString path = dir.filePath(QStringLiteral("bench%1.apk").arg(size));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    const QByteArray block(kMB, 'A');
    for (qint64 done = 0; done < size; done += block.size())
        f.write(block.constData(), qMin<qint64>(block.size(), size - done));
    return path;
}

// Drops whatever arrives, on a thread of its own; counts bytes.
class Sink : public QObject
{
public:
    void start()
    {
        m_pServer = new QTcpServer(this);
        m_pServer->listen(QHostAddress::LocalHost, 0);
        port = m_pServer->serverPort();
        connect(m_pServer, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* s = m_pServer->nextPendingConnection();
            s->setReadBufferSize(256 * 1024); // the sink's own memory stays flat
            connect(s, &QTcpSocket::readyRead, this, [this, s] {
                while (s->bytesAvailable() > 0)
                    received += s->read(256 * 1024).size();
            });
            connect(s, &QTcpSocket::disconnected, this, [this, s] {
                ended = true;
                s->deleteLater();
            });
        });
    }
    std::atomic<quint16> port{0};
    std::atomic<qint64> received{0};
    std::atomic<bool> ended{false};

private:
    QTcpServer* m_pServer = nullptr;
};

template <class Fn> double timedWithSink(Fn send, qint64 size)
{
    QThread thread;
    Sink sink;
    sink.moveToThread(&thread);
    thread.start();
    QMetaObject::invokeMethod(
        &sink, [&sink] { sink.start(); }, Qt::BlockingQueuedConnection);
    QElapsedTimer clock;
    clock.start();
    send(sink.port.load());
    while (!(sink.ended && sink.received >= size) && clock.elapsed() < 120000)
        QThread::msleep(1);
    const double secs = clock.nsecsElapsed() / 1e9;
    QMetaObject::invokeMethod(
        &sink, [&sink] { sink.moveToThread(QCoreApplication::instance()->thread()); },
        Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    return sink.received >= size ? size / double(kMB) / secs : -1;
}

void rawSend(quint16 port, qint64 size)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    s.waitForConnected(5000);
    const QByteArray chunk(64 * 1024, 'Z');
    for (qint64 sent = 0; sent < size; sent += chunk.size()) {
        s.write(chunk.constData(), qMin<qint64>(chunk.size(), size - sent));
        while (s.bytesToWrite() > 4 * chunk.size())
            s.waitForBytesWritten(30000);
    }
    while (s.bytesToWrite() > 0)
        s.waitForBytesWritten(30000);
    s.disconnectFromHost();
    if (s.state() != QAbstractSocket::UnconnectedState)
        s.waitForDisconnected(5000);
}

DevOperData installData(const QString& path, quint16 port, const QStringList& targets)
{
    DevOperData d;
    d.iOperType = 2;
    d.memuIdxs = targets;
    d.ipAddr = QStringLiteral("127.0.0.1");
    d.nickName = QStringLiteral("bench");
    d.pcName = QStringLiteral("bench-pc");
    d.strArg = path;
    d.port = port;
    d.iExtra = int(QFileInfo(path).size());
    d.iTime = 1;
    return d;
}

// The console's install manager streaming to a sink: throughput and peak memory growth.
double consoleToSink(const QString& path, qint64 size, qint64& peakGrowthKb)
{
    resetPeakRss();
    const qint64 before = peakRssKb();
    const double mbs = timedWithSink(
        [&](quint16 port) {
            OperGrpSimuInstallMgr mgr(installData(path, port, {QStringLiteral("0")}));
            mgr.Run();
        },
        size);
    peakGrowthKb = peakRssKb() - before;
    return mbs;
}

// A TaskResultRcver on its own thread.
struct Receiver
{
    QThread thread;
    TaskResultRcver* pRcver = new TaskResultRcver(0);
    quint16 port = 0;
    std::atomic<int> states{0}, images{0}, installs{0};

    bool start()
    {
        pRcver->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, pRcver, &TaskResultRcver::slInitSocket);
        QObject::connect(&thread, &QThread::finished, pRcver, &QObject::deleteLater);
        QObject::connect(
            pRcver, &TaskResultRcver::sigSetState, pRcver, [this](QString, QString, int, int) { ++states; },
            Qt::DirectConnection);
        QObject::connect(
            pRcver, &TaskResultRcver::sigTskRstRcverImageArrived, pRcver,
            [this](QString, QString, QImage* p) {
                delete p;
                ++images;
            },
            Qt::DirectConnection);
        QObject::connect(
            pRcver, &TaskResultRcver::sigInstallState, pRcver,
            [this](QString, QString, int, int) { ++installs; }, Qt::DirectConnection);
        QSignalSpy listening(pRcver, &TaskResultRcver::sigListening);
        thread.start();
        if (listening.isEmpty() && !listening.wait(5000))
            return false;
        port = listening.first().first().value<quint16>();
        return port != 0;
    }
    ~Receiver()
    {
        thread.quit();
        thread.wait();
    }
};

bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QTest::qWait(2);
    return done();
}

// The console's install manager to the agent's command server; the agent writes the file as it
// receives it. Timed from the start of the operation to the agent's report.
double consoleToAgent(const QString& path, qint64 size, const QString& home)
{
    SimuSettings::setDataDir(home);
    SimuSettings::setSimuType(0); // no product: the install ends at once, the figure is the transfer
    Receiver rcv;
    if (!rcv.start())
        return -1;
    SimuTcpRcvObj::Options agentOptions;
    agentOptions.notifier.resultPort = rcv.port;
    AgentCommandServer agent(agentOptions);
    if (!agent.start())
        return -1;
    QElapsedTimer clock;
    clock.start();
    OperGrpSimuInstallMgr mgr(installData(path, agent.port(), {QStringLiteral("0")}));
    const CCommResult r = mgr.Run();
    if (!r.ok() || !waitFor([&] { return rcv.installs.load() == 1; }, 120000)) {
        std::printf("  (console -> agent failed: %d %s %s; reports %d)\n", r.iRet, qPrintable(r.str),
                    qPrintable(r.log), rcv.installs.load());
        return -1;
    }
    return size / double(kMB) / (clock.nsecsElapsed() / 1e9);
}

void fiftyEmulators(const QTemporaryDir& dir)
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::LdPlayer, 50)) {
        std::printf("  (skipped: %s)\n", qPrintable(farm.error()));
        return;
    }
    farm.setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0"));
    QStringList targets;
    for (int i = 0; i < 50; ++i)
        targets << QString::number(i);
    for (const QString& idx : targets)
        farm.startInstance(idx, 20000);
    const QString path = makeFile(dir, 20 * kMB);
    Receiver rcv;
    if (!rcv.start())
        return;
    SimuTcpRcvObj::Options agentOptions;
    agentOptions.notifier.resultPort = rcv.port;
    AgentCommandServer agent(agentOptions);
    if (!agent.start())
        return;
    QElapsedTimer clock;
    clock.start();
    OperGrpSimuInstallMgr mgr(installData(path, agent.port(), targets));
    const bool sent = mgr.Run().ok();
    const double sendMs = clock.elapsed();
    const bool all = sent && waitFor([&] { return rcv.installs.load() == 50; }, 300000);
    std::printf("  20 MB APK to 50 emulators: console sent %.2f MB (file %.2f MB, ratio %.4f) in %.0f ms;\n"
                "    %d of 50 results in %.1f s\n",
                mgr.BytesSent() / double(kMB), 20.0, mgr.BytesSent() / double(20 * kMB), sendMs,
                rcv.installs.load(), clock.elapsed() / 1000.0);
    Q_UNUSED(all);
}

// Agents report a successful start as the agent does: the document, 100 ms, the thumbnail, close.
class Reporters : public QObject
{
public:
    void run(quint16 port, int n)
    {
        const QByteArray jpeg = Thumbnail::encodeJpeg(QImage(100, 150, QImage::Format_RGB32));
        for (int i = 0; i < n; ++i) {
            auto* s = new QTcpSocket(this);
            struSimuOper o;
            o.iOperType = 0;
            o.iReplyRet = 0;
            o.memuIdx = QString::number(i);
            o.rmtPcName = QStringLiteral("pc%1").arg(i);
            const QByteArray doc = JsonCodec::serializeCommandDoc({o}, QStringLiteral("bench"));
            connect(s, &QTcpSocket::connected, s, [s, doc, jpeg] {
                s->write(doc);
                QTimer::singleShot(100, s, [s, jpeg] {
                    s->write(jpeg);
                    s->disconnectFromHost();
                });
            });
            s->connectToHost(QHostAddress::LocalHost, port);
        }
    }
};

void hundredAgents()
{
    Receiver rcv;
    if (!rcv.start())
        return;
    QThread thread;
    Reporters reporters;
    reporters.moveToThread(&thread);
    thread.start();
    QElapsedTimer clock;
    clock.start();
    QMetaObject::invokeMethod(&reporters, [&] { reporters.run(rcv.port, 100); });
    waitFor([&] { return rcv.states.load() == 100 && rcv.images.load() == 100; }, 60000);
    std::printf(
        "  100 agents reporting a start with thumbnail at once: %d states, %d pictures, drained in "
        "%.0f ms\n    (each report holds its connection >= 100 ms; one at a time would take >= 10 s)\n",
        rcv.states.load(), rcv.images.load(), double(clock.elapsed()));
    QMetaObject::invokeMethod(
        &reporters, [&] { reporters.moveToThread(QCoreApplication::instance()->thread()); },
        Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
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
    QTemporaryDir dir;
    const qint64 big = 200 * kMB, small = 20 * kMB;
    const QString bigFile = makeFile(dir, big), smallFile = makeFile(dir, small);

    std::printf("APK transfer, loopback, %lld MB (median of %d interleaved runs):\n", big / kMB, kRuns);
    std::vector<double> raw, sink;
    qint64 growSmall = 0, growBig = 0;
    for (int i = 0; i < kRuns; ++i) {
        raw.push_back(timedWithSink([&](quint16 port) { rawSend(port, big); }, big));
        sink.push_back(consoleToSink(bigFile, big, growBig));
    }
    consoleToSink(smallFile, small, growSmall);
    QTemporaryDir home;
    const double agent = consoleToAgent(bigFile, big, home.path());
    const double r = median(raw), c = median(sink);
    std::printf("  raw loopback TCP                 %8.1f MB/s\n", r);
    std::printf("  console install stream -> sink  %8.1f MB/s  (%.2f x raw)\n", c, c / r);
    std::printf("  console -> agent, to its report %8.1f MB/s  (%.2f x raw; the agent writes the file as it"
                " receives)\n",
                agent, agent / r);
    std::printf("  console peak memory growth: %lld kB for %lld MB, %lld kB for %lld MB\n", growSmall,
                small / kMB, growBig, big / kMB);
    std::fflush(stdout);
    if (app.arguments().contains(QStringLiteral("--transfer-only")))
        return 0;

    std::printf("Install to 50 emulators of one PC:\n");
    fiftyEmulators(dir);
    std::fflush(stdout);
    std::printf("Result server:\n");
    hundredAgents();
    return 0;
}
