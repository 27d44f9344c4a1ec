// Results ledger figures, in one run:
//  1. one operation to 5,000 emulators on 100 PCs (127.0.0.2 ... 127.0.0.101), whose reports all
//     reach the console's real result server within one second: the GUI thread's longest stall while
//     the ledger and its visible pane follow, the time until the last target is closed; the yardstick
//     is the same burst into the result server with nothing behind it, measured first;
//  2. the memory of 10,000 kept operations (10 targets each) read back, and the file's size;
//  3. the start with that full ledger: the file opened, pruned and read, the pane shown.
// Run: <build>/bin/ledger_bench [--targets N] [--entries N]
#include "consoleharness.h"
#include "farmtrust.h"
#include "resultsledger.h"
#include "resultsledgerpane.h"
#include "simurecords.h"
#include "taskresultrcver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include <sys/resource.h>

#include <cstdio>
#include <functional>

namespace {

constexpr int kPcs = 100;

long long selfStatus(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field)) + 1).trimmed().split(' ').first().toLongLong();
    return -1;
}

void raiseFileLimit()
{
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

QString pcName(int i)
{
    return QStringLiteral("pc-%1").arg(i, 3, 10, QLatin1Char('0'));
}

// The GUI thread's longest gap between ticks of a 1 ms timer.
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_maxNs = std::max(m_maxNs, now - m_lastNs);
            m_lastNs = now;
        });
    }
    void start()
    {
        m_maxNs = 0;
        m_clock.start();
        m_lastNs = 0;
        m_timer.start(1);
    }
    double maxMs() const { return m_maxNs / 1e6; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0;
    qint64 m_maxNs = 0;
};

// The agents of 100 PCs, each from an address of its own, report their emulators' closes spread over
// one second, as the agent sends them: one signed document per connection.
class Reporters : public QObject
{
public:
    int failed = 0;
    void run(quint16 port, int targets)
    {
        const int perPc = targets / kPcs;
        QList<QByteArray> docs;
        for (int t = 0; t < targets; ++t) {
            struSimuOper o;
            o.iOperType = eOperClose;
            o.iReplyRet = (t % 10 == 0) ? 5 : 0; // one in ten fails
            o.replyRet = o.iReplyRet ? QStringLiteral("关闭失败") : QString();
            o.memuIdx = QString::number(t % perPc);
            o.rmtPcName = pcName(t / perPc);
            docs << FarmTrust::commandDoc({o}, QStringLiteral("bench"), MsgAuth::eChannel::Result);
        }
        // 100 rounds of one report per PC, a round each 10 ms.
        for (int round = 0; round < perPc; ++round)
            QTimer::singleShot(round * 1000 / perPc, this, [=] {
                for (int pc = 0; pc < kPcs; ++pc)
                    send(port, pc, docs.at(pc * perPc + round));
            });
    }

private:
    void send(quint16 port, int pc, const QByteArray& doc)
    {
        auto* s = new QTcpSocket(this);
        s->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(pc + 2)));
        connect(s, &QTcpSocket::connected, s, [s, doc] {
            s->write(doc);
            s->disconnectFromHost();
        });
        connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        connect(s, &QTcpSocket::errorOccurred, s, [this, s](QAbstractSocket::SocketError e) {
            if (e != QAbstractSocket::RemoteHostClosedError)
                ++failed;
            s->deleteLater();
        });
        s->connectToHost(QHostAddress::LocalHost, port);
    }
};

bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

struct Burst
{
    double stallMs = 0;
    double doneMs = 0;
    double lastMs = 0;          // the last report taken
    double longestLedgerMs = 0; // the longest single piece of the ledger's work on the GUI thread
    int reports = 0;
    int failedConnects = 0;
    int unreadable = 0;
    int refused = 0;
};

// withLedger false: the yardstick, the result server and the GUI thread's queue only.
Burst burst(int targets, bool withLedger)
{
    auto* pRcver = new TaskResultRcver(0);
    QThread rcverThread;
    pRcver->moveToThread(&rcverThread);
    QObject::connect(&rcverThread, &QThread::finished, pRcver, &QObject::deleteLater);
    rcverThread.start();
    QMetaObject::invokeMethod(pRcver, &TaskResultRcver::slInitSocket, Qt::BlockingQueuedConnection);

    Burst b;
    QElapsedTimer clock;
    clock.start();
    QTemporaryDir dir;
    ResultsLedger::Options o;
    o.dbPath = dir.filePath(QStringLiteral("results.db")); // stored as the console stores it
    o.flushMs = 3600 * 1000;                               // batches run by the timer below, to be timed
    ResultsLedger ledger(o);
    QString error;
    ledger.open(error);
    ResultsLedgerPane pane(&ledger);
    QObject::connect(pRcver, &TaskResultRcver::sigReportTaken, &ledger,
                     [&](QString pc, QString idx, int type, int ret, QString text) {
                         ++b.reports;
                         b.lastMs = clock.elapsed();
                         if (!withLedger)
                             return;
                         QElapsedTimer t;
                         t.start();
                         ledger.slReportArrived(pc, idx, type, ret, text);
                         b.longestLedgerMs = std::max(b.longestLedgerMs, t.nsecsElapsed() / 1e6);
                     });
    QObject::connect(pRcver, &TaskResultRcver::sigReportUnreadable, &ledger, [&] { ++b.unreadable; });
    QObject::connect(pRcver, &TaskResultRcver::sigReportRefused, &ledger, [&] { ++b.refused; });
    if (withLedger) {
        pane.resize(1000, 400);
        pane.show();
        const int perPc = targets / kPcs;
        QStringList idxs;
        for (int i = 0; i < perPc; ++i)
            idxs << QString::number(i);
        for (int pc = 0; pc < kPcs; ++pc)
            ledger.addSend(pcName(pc), eOperClose, idxs, QString());
        for (int pc = 0; pc < kPcs; ++pc)
            ledger.slOperDelivered(pcName(pc), eOperClose, idxs, 0);
        pane.view()->expandAll();
        waitFor([] { return false; }, 300);
    }
    QThread senderThread;
    Reporters reporters;
    reporters.moveToThread(&senderThread);
    senderThread.start();
    QTimer batches; // the ledger's batches, as its own timer would run them
    QObject::connect(&batches, &QTimer::timeout, &ledger, [&] {
        QElapsedTimer t;
        t.start();
        ledger.flush();
        b.longestLedgerMs = std::max(b.longestLedgerMs, t.nsecsElapsed() / 1e6);
    });
    if (withLedger)
        batches.start(200);
    StallMeter stall;
    clock.restart();
    stall.start();
    QMetaObject::invokeMethod(&reporters, [&] { reporters.run(pRcver->ServerPort(), targets); });
    // Reports that do not come within 10 s of the last one are not coming (see the report).
    waitFor(
        [&] { return b.reports + b.unreadable + b.refused >= targets || clock.elapsed() - b.lastMs > 10000; },
        60000);
    b.doneMs = clock.elapsed();
    ledger.flush();
    waitFor([] { return false; }, 200); // the last batch painted
    b.stallMs = stall.maxMs();
    QMetaObject::invokeMethod(
        &reporters, [&] { b.failedConnects = reporters.failed; }, Qt::BlockingQueuedConnection);
    senderThread.quit();
    senderThread.wait();
    rcverThread.quit();
    rcverThread.wait();
    return b;
}

void fill(const QString& db, int entries)
{
    LedgerStore store(db);
    QString error;
    store.open(error);
    QList<struLedgerEntry> batch;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (int i = 0; i < entries; ++i) {
        struLedgerEntry e;
        e.id = i + 1;
        e.sentMs = now - (entries - i) * 1000;
        e.iOperType = eOperInstall;
        e.strArg = QStringLiteral("/home/farm/apk/游戏客户端_v%1.apk").arg(i);
        for (int t = 0; t < 10; ++t) {
            struLedgerTarget x;
            x.pcName = pcName(t * 7 % kPcs);
            x.memuIdx = QString::number(t);
            x.state = t == 3 ? eLedgerState::Failed : eLedgerState::Succeeded;
            x.iCode = t == 3 ? 5 : 0;
            x.text = t == 3 ? QStringLiteral("安装失败: INSTALL_FAILED_INSUFFICIENT_STORAGE") : QString();
            x.doneMs = e.sentMs + 30000;
            e.targets << x;
        }
        batch << e;
        if (batch.size() == 500 || i + 1 == entries) {
            QList<const struLedgerEntry*> ptrs;
            for (const struLedgerEntry& p : batch)
                ptrs << &p;
            store.save(ptrs);
            batch.clear();
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
        if (type >= QtCriticalMsg || qEnvironmentVariableIsSet("LEDGER_BENCH_WARNINGS"))
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    raiseFileLimit();
    signIn(QStringLiteral("bench"));
    const QStringList args = app.arguments();
    auto arg = [&](const char* name, int def) {
        const int at = args.indexOf(QString::fromLatin1(name));
        return (at > 0 && at + 1 < args.size()) ? qMax(kPcs, args.at(at + 1).toInt()) : def;
    };
    const int targets = arg("--targets", 5000) / kPcs * kPcs;
    const int entries = arg("--entries", 10000);

    std::printf("Report burst: %d targets on %d PCs within 1 s\n", targets, kPcs);
    const Burst bare = burst(targets, false);
    std::printf("  result server alone (yardstick): %d reports taken, the last at %.0f ms; longest GUI stall "
                "%.1f ms; "
                "%d connects failed, %d unreadable, %d refused\n",
                bare.reports, bare.lastMs, bare.stallMs, bare.failedConnects, bare.unreadable, bare.refused);
    const Burst full = burst(targets, true);
    std::printf(
        "  with the ledger and its pane:    %d reports taken, the last at %.0f ms; longest GUI stall %.1f ms "
        "(goal < 50 ms); %d connects failed, %d unreadable, %d refused\n"
        "    the ledger's longest piece of work on the GUI thread (one report, or one batch shown and "
        "stored): "
        "%.1f ms\n",
        full.reports, full.lastMs, full.stallMs, full.failedConnects, full.unreadable, full.refused,
        full.longestLedgerMs);
    std::fflush(stdout);

    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("results.db"));
    QElapsedTimer t;
    t.start();
    fill(db, entries);
    std::printf("Full ledger: %d operations of 10 targets written in %.0f ms, file %.1f MB\n", entries,
                double(t.elapsed()), QFileInfo(db).size() / 1048576.0);
    const long long rssBefore = selfStatus("VmRSS");
    t.restart();
    ResultsLedger::Options o;
    o.dbPath = db;
    o.maxEntries = entries;
    ResultsLedger ledger(o);
    QString error;
    const bool opened = ledger.open(error);
    const double openMs = t.elapsed();
    ResultsLedgerPane pane(&ledger);
    pane.resize(1000, 400);
    pane.show();
    QCoreApplication::processEvents();
    const double shownMs = t.elapsed();
    std::printf("  start: %s in %.0f ms (file read), pane shown at %.0f ms; %d operations kept\n",
                opened ? "opened" : qPrintable(QStringLiteral("failed: ") + error), openMs, shownMs,
                ledger.rowCount());
    std::printf("  memory of the kept operations: %.1f MB resident more (%.0f bytes per operation)\n",
                (selfStatus("VmRSS") - rssBefore) / 1024.0,
                (selfStatus("VmRSS") - rssBefore) * 1024.0 / std::max(1, ledger.rowCount()));
    return 0;
}
