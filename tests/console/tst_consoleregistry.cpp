// The console's agent registry and online checker, without sockets or widgets: how PC information
// replies and state reports fold in, the 9/10-second offline rule on an injected clock, the address
// operations connect to, and the discovery target list.
#include "agentregistry.h"
#include "discoverytargets.h"
#include "pconofflinechecker.h"
#include "simusettings.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

struPcUdpInfo header(const QString& pcName, const QString& nick,
                     const QString& ip = QStringLiteral("10.0.0.5"))
{
    struPcUdpInfo h;
    h.setPcName(pcName);
    h.setNickName(nick);
    h.setIpAddr(ip);
    h.iRunLimit = 4;
    h.iDaemonModel = 2;
    h.iSimuType = 2;
    return h;
}

QList<struSimuEntry> simus(const QStringList& idxNames)
{
    QList<struSimuEntry> out;
    for (const QString& pair : idxNames) {
        struSimuEntry e;
        e.memuIdx = pair.section(QLatin1Char('='), 0, 0);
        e.simuName = pair.section(QLatin1Char('='), 1);
        out.append(e);
    }
    return out;
}

QStringList rowKeys(const struPcEntry& pc)
{
    QStringList out;
    for (const struSimuRow& r : pc.rows)
        out.append(r.memuIdx + QLatin1Char('=') + r.simuName);
    return out;
}

} // namespace

class TstConsoleRegistry : public QObject
{
    Q_OBJECT
private slots:
    void pcInformationFoldsIn();
    void stateReportsFollowTheirTimes();
    void aRoundOfReportsIsOneNotice();
    void offlineAfterTenSecondsOnInjectedClock();
    void connectAddressFallsBackToTheReplySource();
    void discoveryTargets();
    void concurrentReadersSeeWholeEntries();
};

// PC entries keyed by exact name; rows follow the agent's inventory; renames and nick names show.
void TstConsoleRegistry::pcInformationFoldsIn()
{
    qint64 now = 1000;
    AgentRegistry reg([&] { return now; });

    struPcInfoChange c =
        reg.applyPcInfo(header("PC-1", "机房A"), simus({"0=雷电-0", "1=雷电-1", "2=雷电-2"}));
    QVERIFY(c.bCreated);
    QCOMPARE(c.added.size(), 3);
    struPcEntry pc;
    QVERIFY(reg.entry("PC-1", pc));
    QCOMPARE(pc.onlineLabel, QStringLiteral("在线"));
    QCOMPARE(pc.lastHeard, 1000); // heard now: not reported offline before its second reply
    QCOMPARE(pc.iRunLimit, 4);
    QCOMPARE(pc.iSimuType, 2);
    QCOMPARE(pc.rows.first().iState, -1);
    QCOMPARE(pc.rows.first().iTime, -1);

    // A name that differs only in letter case is another PC.
    c = reg.applyPcInfo(header("pc-1", "other"), simus({"0=x"}));
    QVERIFY(c.bCreated);
    QCOMPARE(reg.pcCount(), 2);
    QCOMPARE(reg.simuCount(), 4);

    // Emulator 1 deleted on the agent, 2 renamed, nick name changed, run limit changed.
    now = 1002;
    struPcUdpInfo h = header("PC-1", "机房B");
    h.iRunLimit = 6;
    QVERIFY(reg.applyState("PC-1", "0", 1, 50));
    c = reg.applyPcInfo(h, simus({"0=雷电-0", "2=改名"}));
    QVERIFY(!c.bCreated);
    QCOMPARE(c.removed, QStringList{"1"});
    QCOMPARE(c.renamed.size(), 1);
    QCOMPARE(c.renamed.first().second, QStringLiteral("改名"));
    QVERIFY(c.bNickChanged);
    QVERIFY(!c.bCameOnline);
    QVERIFY(reg.entry("PC-1", pc));
    QCOMPARE(rowKeys(pc), (QStringList{"0=雷电-0", "2=改名"}));
    QCOMPARE(pc.nickName, QStringLiteral("机房B"));
    QCOMPARE(pc.iRunLimit, 6);
    QCOMPARE(pc.lastHeard, 1002);
    QCOMPARE(pc.row("0")->iState, 1); // kept rows keep their state

    // It comes back, appended, with a fresh state.
    c = reg.applyPcInfo(h, simus({"0=雷电-0", "1=雷电-1", "2=改名"}));
    QCOMPARE(c.added.size(), 1);
    QVERIFY(reg.entry("PC-1", pc));
    QCOMPARE(rowKeys(pc), (QStringList{"0=雷电-0", "2=改名", "1=雷电-1"}));
    QCOMPARE(pc.row("1")->iState, -1);

    // An empty inventory removes every row but keeps the PC.
    c = reg.applyPcInfo(h, {});
    QCOMPARE(c.removed.size(), 3);
    QVERIFY(reg.entry("PC-1", pc));
    QVERIFY(pc.rows.isEmpty());
}

// Older reports never overwrite newer ones; -1 always applies; offline resets to -1/-1; the state a
// report would leave decides whether its thumbnail is wanted.
void TstConsoleRegistry::stateReportsFollowTheirTimes()
{
    AgentRegistry reg;
    reg.applyPcInfo(header("PC", "n"), simus({"a=A", "b=B"}));
    QVERIFY(reg.applyState("PC", "a", 1, 7));
    QVERIFY(!reg.applyState("PC", "a", 3, 5)); // older
    QVERIFY(!reg.applyState("PC", "a", 3, 7)); // same time
    struSimuRow r;
    QVERIFY(reg.row("PC", "a", r));
    QCOMPARE(r.iState, 1);
    QCOMPARE(r.iTime, 7);
    QVERIFY(reg.applyState("PC", "a", 2, -1)); // -1 always applies
    QVERIFY(reg.row("PC", "a", r));
    QCOMPARE(r.iState, 2);
    QVERIFY(reg.applyState("PC", "a", 5, 0)); // after -1 anything later applies

    int shown = 0;
    QVERIFY(reg.stateAfter("PC", "a", 1, -5, shown));
    QCOMPARE(shown, 5); // stale report: the installing state stays
    QVERIFY(reg.stateAfter("PC", "a", 7, 100, shown));
    QCOMPARE(shown, 7);
    QVERIFY(!reg.stateAfter("PC", "zz", 1, 100, shown));
    QVERIFY(!reg.stateAfter("Pc", "a", 1, 100, shown));
    QVERIFY(!reg.applyState("PC", "zz", 1, 100));

    QVERIFY(reg.setOffline("PC"));
    QVERIFY(!reg.setOffline("nobody"));
    struPcEntry pc;
    QVERIFY(reg.entry("PC", pc));
    QCOMPARE(pc.onlineLabel, QStringLiteral("离线"));
    for (const struSimuRow& row : pc.rows) {
        QCOMPARE(row.iState, -1);
        QCOMPARE(row.iTime, -1);
    }
    // Back online with the next PC information; states return with the next reports.
    const struPcInfoChange c = reg.applyPcInfo(header("PC", "n"), simus({"a=A", "b=B"}));
    QVERIFY(c.bCameOnline);
    QVERIFY(reg.applyState("PC", "a", 1, 3));

    // Ticks and the argument field, as the operation checks read them.
    QVERIFY(!reg.hasChecked());
    QVERIFY(reg.setChecked("PC", "b", true));
    QVERIFY(reg.hasChecked());
    QCOMPARE(reg.checkedPcs().size(), 1);
    QCOMPARE(reg.checkedPcs().first().checkedIndices(), QStringList{"b"});
    QCOMPARE(reg.checkedPcs().first().countInState(1), 1);
    reg.setArgument("PC", "/tmp/x.apk");
    QCOMPARE(reg.argument("PC"), QStringLiteral("/tmp/x.apk"));
    reg.clearChecks();
    QVERIFY(!reg.hasChecked());
}

// A discovery round is applied under one lock and announced once: the rows that changed, or the whole
// range once more than half of them did. Rows are found by index also after others were removed from
// the middle of their PC, and a report for a row or PC not listed changes nothing.
void TstConsoleRegistry::aRoundOfReportsIsOneNotice()
{
    AgentRegistry reg;
    reg.applyPcInfo(header("A", "a"), simus({"0=x", "1=y", "2=z", "3=w"}));
    reg.applyPcInfo(header("B", "b"), simus({"0=p", "1=q"}));
    QSignalSpy some(&reg, &AgentRegistry::sigSimusChanged);
    QSignalSpy all(&reg, &AgentRegistry::sigAllSimusChanged);
    const auto report = [](const char* pc, const char* idx, int state, int time,
                           const QByteArray& jpeg = {}) {
        struSimuReport r;
        r.pcName = QString::fromLatin1(pc);
        r.memuIdx = QString::fromLatin1(idx);
        r.iState = state;
        r.iTime = time;
        r.iDaemonModel = 1;
        r.jpeg = jpeg;
        return r;
    };

    // Three of six rows, one of them twice (its later report is older and loses), and two unknown.
    reg.applyReports({report("A", "1", 1, 10, "jpeg-a1"), report("B", "0", 2, 10), report("A", "1", 3, 9),
                      report("A", "3", 1, 10), report("A", "9", 1, 10), report("C", "0", 1, 10)});
    QCOMPARE(all.size(), 0);
    QCOMPARE(some.size(), 1);
    const SimuChangeList changes = some.takeFirst().first().value<SimuChangeList>();
    QStringList changed;
    for (const struSimuChange& c : changes)
        changed.append(QStringLiteral("%1/%2:%3").arg(c.pcName, c.memuIdx).arg(c.roles));
    QCOMPARE(changed, (QStringList{"A/1:3", "B/0:1", "A/3:1"}));
    struSimuRow row;
    QVERIFY(reg.row("A", "1", row));
    QCOMPARE(row.iState, 1);
    QCOMPARE(row.iTime, 10);
    QCOMPARE(row.shot, QByteArray("jpeg-a1"));

    // Row "1" goes from the middle of A: "2" and "3" are still found as themselves.
    reg.applyPcInfo(header("A", "a"), simus({"0=x", "2=z", "3=w"}));
    QCOMPARE(reg.simuCount(), 5);
    reg.applyReports({report("A", "3", 6, 20), report("A", "1", 1, 30)});
    QVERIFY(reg.row("A", "3", row));
    QCOMPARE(row.iState, 6);
    QVERIFY(reg.row("A", "2", row));
    QCOMPARE(row.iState, -1);
    QVERIFY(!reg.row("A", "1", row));

    // Four of five rows: the whole range, with the union of the roles.
    some.clear();
    reg.applyReports({report("A", "0", 1, 40), report("A", "2", 1, 40), report("B", "0", 1, 40),
                      report("B", "1", 1, 40, "jpeg-b1")});
    QCOMPARE(some.size(), 0);
    QCOMPARE(all.size(), 1);
    QCOMPARE(all.first().first().toInt(), SimuRole::State | SimuRole::Picture);
    QVERIFY(reg.row("B", "1", row));
    QCOMPARE(row.shot, QByteArray("jpeg-b1"));
    // Nothing new: no notice at all.
    reg.applyReports({report("A", "0", 1, 40)});
    QCOMPARE(some.size() + all.size(), 1);
}

void TstConsoleRegistry::offlineAfterTenSecondsOnInjectedClock()
{
    std::atomic<qint64> now{5000};
    auto reg = std::make_shared<AgentRegistry>([&] { return now.load(); });
    reg->applyPcInfo(header("A", "a"), {});
    now = 5003;
    reg->applyPcInfo(header("B", "b"), {});
    PcOnOfflineChecker checker(reg, 50);
    QSignalSpy spy(&checker, &PcOnOfflineChecker::sigPcOnOfflineCheckerMsgHandler);

    now = 5009;
    QCOMPARE(checker.checkOnce(), QStringList());
    now = 5010; // A exactly 10 s old, B 7 s
    QCOMPARE(checker.checkOnce(), QStringList{"A"});
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first().at(0).toString(), QStringLiteral("setAllItemOffline"));
    QCOMPARE(spy.first().at(1).toString(), QStringLiteral("A"));
    QCOMPARE(checker.checkOnce(), QStringList()); // once per silence
    now = 5013;
    QCOMPARE(checker.checkOnce(), QStringList{"B"});
    reg->applyPcInfo(header("A", "a"), {}); // heard again: its next silence is reported again
    now = 5023;
    QCOMPARE(checker.checkOnce(), QStringList{"A"});

    // A clock set back: negative differences keep everyone online until the next replies.
    now = 4000;
    QCOMPARE(checker.checkOnce(), QStringList());
    // Across the 32-bit wrap the difference is still small and positive.
    now = 0x7FFFFFFFLL;
    reg->applyPcInfo(header("A", "a"), {});
    now = 0x80000005LL;
    QCOMPARE(reg->silentPcs(now), QStringList{"B"});

    // The timer-driven passes on a thread of their own, reporting A's next silence.
    now = 0x80000010LL;
    QThread thread;
    auto* threaded = new PcOnOfflineChecker(reg, 20);
    threaded->moveToThread(&thread);
    QSignalSpy spy2(threaded, &PcOnOfflineChecker::sigPcOnOfflineCheckerMsgHandler);
    connect(&thread, &QThread::started, threaded, &PcOnOfflineChecker::slPcCheckerInit);
    connect(&thread, &QThread::finished, threaded, &QObject::deleteLater);
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(spy2.size() >= 1, 5000);
    QTest::qWait(100);
    QCOMPARE(spy2.size(), 1);
    QCOMPARE(spy2.first().at(1).toString(), QStringLiteral("A"));
    thread.quit();
    QVERIFY(thread.wait(5000));
}

void TstConsoleRegistry::connectAddressFallsBackToTheReplySource()
{
    AgentRegistry reg;
    const QHostAddress lanPeer(QStringLiteral("192.168.3.20"));
    struct Case
    {
        QString announced;
        QHostAddress from;
        QString expected;
    } cases[] = {
        {"192.168.3.20", lanPeer, "192.168.3.20"},
        {"10.1.1.1", lanPeer, "10.1.1.1"}, // another interface of the agent: kept
        {"", lanPeer, "192.168.3.20"},
        {"0.0.0.0", lanPeer, "192.168.3.20"},
        {"127.0.0.1", lanPeer, "192.168.3.20"}, // loopback seen from another host
        {"127.0.0.1", QHostAddress::LocalHost, "127.0.0.1"},
        {"not-an-address", lanPeer, "192.168.3.20"},
        {"", QHostAddress(), ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        const QString pc = QStringLiteral("P%1").arg(n++); // each case a PC of its own: replies are pinned
        const struPcInfoChange ch = reg.applyPcInfo(header(pc, "p", c.announced), {}, c.from);
        QCOMPARE(ch.entry.connectAddress(), c.expected);
    }
}

void TstConsoleRegistry::discoveryTargets()
{
    QStringList rejected;
    const QList<QHostAddress> parsed =
        DiscoveryTargets::parse(" 127.0.0.1, 10.9.0.255,,bogus,127.0.0.1, ::1 ,300.1.1.1", &rejected);
    QCOMPARE(parsed, (QList<QHostAddress>{QHostAddress("127.0.0.1"), QHostAddress("10.9.0.255")}));
    QCOMPARE(rejected, (QStringList{"bogus", "::1", "300.1.1.1"}));

    const QList<QHostAddress> defaults = DiscoveryTargets::defaults();
    QCOMPARE(defaults.first(), QHostAddress(QHostAddress::Broadcast));
    QVERIFY(defaults.contains(QHostAddress(QHostAddress::LocalHost)));
    for (const QHostAddress& a : defaults)
        QCOMPARE(a.protocol(), QAbstractSocket::IPv4Protocol);

    QTemporaryDir home;
    SimuSettings::setDataDir(home.path());
    QCOMPARE(DiscoveryTargets::current(), defaults);
    SimuSettings::setValue(DiscoveryTargets::settingKey(), QStringLiteral("127.0.0.1"));
    QCOMPARE(DiscoveryTargets::current(), QList<QHostAddress>{QHostAddress("127.0.0.1")});
    SimuSettings::setValue(DiscoveryTargets::settingKey(), QStringList{"127.0.0.1", "127.0.0.2"});
    QCOMPARE(DiscoveryTargets::current().size(), 2);
    // Present but unusable: nothing is sent rather than a broadcast nobody asked for.
    SimuSettings::setValue(DiscoveryTargets::settingKey(), QStringLiteral("nonsense"));
    QVERIFY(DiscoveryTargets::current().isEmpty());
}

// Readers on other threads always see one whole state of an entry while the GUI thread keeps
// rewriting it: an offline PC has every emulator at -1, and the rows are one inventory or the other.
void TstConsoleRegistry::concurrentReadersSeeWholeEntries()
{
    auto reg = std::make_shared<AgentRegistry>();
    QStringList all;
    for (int i = 0; i < 50; ++i)
        all.append(QStringLiteral("%1=n%1").arg(i));
    reg->applyPcInfo(header("PC", "n"), simus(all));
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    QThread* reader = QThread::create([&] {
        while (!stop) {
            struPcEntry pc;
            reg->entry("PC", pc);
            bool whole = pc.rows.size() == 50 || pc.rows.size() == 25;
            for (const struSimuRow& r : pc.rows)
                whole = whole && (!pc.isOffline() || r.iState == -1);
            torn += whole ? 0 : 1;
            reg->silentPcs(0);
            ++reads;
        }
    });
    reader->start();
    QElapsedTimer clock;
    clock.start();
    for (int t = 1; (t < 300 || reads < 100) && !clock.hasExpired(10000); ++t) {
        reg->applyPcInfo(header("PC", "n"), simus(all));
        for (int i = 0; i < 50; ++i)
            reg->applyState("PC", QString::number(i), 1, t);
        reg->applyPcInfo(header("PC", "n"), simus(all.mid(0, 25)));
        reg->setOffline("PC");
    }
    stop = true;
    QVERIFY(reader->wait(5000));
    delete reader;
    QVERIFY(reads > 0);
    QCOMPARE(torn.load(), 0);
}

QTEST_GUILESS_MAIN(TstConsoleRegistry)
#include "tst_consoleregistry.moc"
