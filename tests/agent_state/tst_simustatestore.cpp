// The owner of the instances' states: operations on one instance exclude each other under threads
// racing for it, a probe's finding is dropped when an operation began meanwhile, every step is
// written through to the settings file under the keys it always had, and a change of the file made
// elsewhere is read in; the typed settings read their defaults and what was saved.
#include "agentsettings.h"
#include "jsoncodec.h"
#include "simusettings.h"
#include "simustatestore.h"

#include <QAtomicInt>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <vector>

class TstSimuStateStore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanupTestCase();
    void operationsOnOneInstanceExcludeEachOther();
    void findingIsDroppedWhenAnOperationBeganMeanwhile();
    void fileKeepsItsKeysAndOutsideChangesAreReadIn();
    void typedSettingsReadDefaultsAndSavedValues();

private:
    std::unique_ptr<QTemporaryDir> m_pHome;
};

void TstSimuStateStore::init()
{
    m_pHome = std::make_unique<QTemporaryDir>();
    QVERIFY(m_pHome->isValid());
    SimuSettings::setDataDir(m_pHome->path());
}

void TstSimuStateStore::cleanupTestCase()
{
    SimuSettings::setDataDir(QString());
}

// Eight threads race to begin an operation on the same two instances, each ending its operation
// with its own state; at no time do two operations hold one instance, and every end is stored.
void TstSimuStateStore::operationsOnOneInstanceExcludeEachOther()
{
    SimuStateStore& store = SimuStateStore::instance();
    constexpr int kThreads = 8;
    constexpr int kRounds = 40;
    QAtomicInt holders[2];
    QAtomicInt overlaps;
    QAtomicInt done;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(QThread::create([&, t] {
            for (int round = 0; round < kRounds;) {
                const int which = (t + round) % 2;
                const QString idx = QString::number(which);
                if (!store.beginOperation(idx, [](struSimuRecord& rec) { rec.iState = eStateStarting; })) {
                    QThread::yieldCurrentThread();
                    continue;
                }
                if (holders[which].fetchAndAddOrdered(1) != 0)
                    overlaps.ref();
                store.update(idx, [](struSimuRecord& rec) { rec.iTime += 1; });
                holders[which].deref();
                store.finishOperation(idx, [t](struSimuRecord& rec) {
                    rec.iState = eStateRunning;
                    rec.iPid = 1000 + t;
                });
                done.ref();
                ++round;
            }
        }));
        threads.back()->start();
    }
    for (auto& thread : threads)
        QVERIFY(thread->wait(60000));
    QCOMPARE(overlaps.loadRelaxed(), 0);
    QCOMPARE(done.loadRelaxed(), kThreads * kRounds);
    // Every step reached the file: the time counts every operation, nothing is held any more.
    const struSimuRecord zero = SimuSettings::storedSimuRecord(QStringLiteral("0"));
    const struSimuRecord one = SimuSettings::storedSimuRecord(QStringLiteral("1"));
    QCOMPARE(zero.iTime + one.iTime, kThreads * kRounds);
    QCOMPARE(zero.iState, int(eStateRunning));
    QVERIFY(zero.iPid >= 1000 && zero.iPid < 1000 + kThreads);
    QVERIFY(!store.isOwned(QStringLiteral("0")) && !store.isOwned(QStringLiteral("1")));
}

void TstSimuStateStore::findingIsDroppedWhenAnOperationBeganMeanwhile()
{
    SimuStateStore& store = SimuStateStore::instance();
    const QString idx = QStringLiteral("MEmu_1");
    const auto lost = [](struSimuRecord& rec) {
        rec.iState = eStateNotStarted;
        rec.iTime = -1;
    };
    // A probe looks, a start begins and ends while it runs: what the probe saw is old news.
    const quint64 seen = store.entry(idx).opSeq;
    QVERIFY(store.beginOperation(idx, [](struSimuRecord& rec) { rec.iState = eStateStarting; }));
    QVERIFY(!store.updateIfUnowned(idx, seen, lost)); // held
    QVERIFY(!store.beginOperation(idx, {}));          // a second operation waits its turn
    store.finishOperation(idx, [](struSimuRecord& rec) { rec.iState = eStateRunning; });
    QVERIFY(!store.updateIfUnowned(idx, seen, lost)); // free again, but not the instance it probed
    QVERIFY(!store.beginOperation(idx, {}, seen));
    QCOMPARE(store.record(idx).iState, int(eStateRunning));
    // A probe that began after the start stores its finding.
    const quint64 now = store.entry(idx).opSeq;
    QVERIFY(store.updateIfUnowned(idx, now, lost));
    QCOMPARE(store.record(idx).iState, int(eStateNotStarted));
    // A stored busy state counts as held for findings (a start's record of an earlier run), but a
    // command may take the instance over.
    store.update(idx, [](struSimuRecord& rec) { rec.iState = eStateInstalling; });
    QVERIFY(store.isOwned(idx));
    QVERIFY(!store.updateIfUnowned(idx, store.entry(idx).opSeq, lost));
    QVERIFY(store.beginOperation(idx, {}));
    store.finishOperation(idx);
}

void TstSimuStateStore::fileKeepsItsKeysAndOutsideChangesAreReadIn()
{
    SimuStateStore& store = SimuStateStore::instance();
    store.update(QStringLiteral("2"), [](struSimuRecord& rec) {
        rec.iState = eStateRunning;
        rec.iPid = 77;
        rec.iTime = 5;
    });
    store.addWatched(QStringLiteral("2"));
    store.addWatched(QStringLiteral("3"));
    store.addWatched(QStringLiteral("2"));
    store.setRunningList({QStringLiteral("2"), QStringLiteral("4")});
    {
        QSettings ini(SimuSettings::iniPath(), QSettings::IniFormat);
        struSimuRecord expected = store.record(QStringLiteral("2"));
        QCOMPARE(ini.value(QStringLiteral("simu2/2")).toString(),
                 QString::fromUtf8(JsonCodec::serializeSimuRecord(expected)));
        QCOMPARE(ini.value(QStringLiteral("daemon/list")).toString(), QStringLiteral("2;3"));
        QCOMPARE(ini.value(QStringLiteral("daemon/runningList")).toStringList(),
                 (QStringList{QStringLiteral("2"), QStringLiteral("4")}));
    }
    // Written behind the store's back (another program, a hand edit): read in at the next access.
    QTest::qWait(20); // a new modification time
    SimuSettings::updateSimuRecord(QStringLiteral("2"),
                                   [](struSimuRecord& rec) { rec.iState = eStateClosing; });
    SimuSettings::setDaemonList({QStringLiteral("9")});
    QCOMPARE(store.record(QStringLiteral("2")).iState, int(eStateClosing));
    QCOMPARE(store.record(QStringLiteral("2")).iPid, 77);
    QCOMPARE(store.watchList(), QStringList{QStringLiteral("9")});
    store.removeWatched(QStringLiteral("9"));
    QVERIFY(SimuSettings::getDaemonList().isEmpty());
    // Another data directory starts from its own file, holding nothing.
    QVERIFY(store.beginOperation(QStringLiteral("2"), {}));
    QTemporaryDir other;
    SimuSettings::setDataDir(other.path());
    QCOMPARE(store.record(QStringLiteral("2")).iState, int(eStateNotStarted));
    QVERIFY(!store.isOwned(QStringLiteral("2")));
    QVERIFY(store.runningList().isEmpty());
}

void TstSimuStateStore::typedSettingsReadDefaultsAndSavedValues()
{
    // A fresh installation reads the defaults.
    QCOMPARE(AgentSettings::runLimit.value(), 3);
    QCOMPARE(AgentSettings::checkTimeSpan.value(), 10);
    QCOMPARE(AgentSettings::startupTimeout.value(), 120);
    QCOMPARE(AgentSettings::screenshotTimeSpan.value(), 1000);
    QCOMPARE(AgentSettings::daemonModel.value(), 100);
    QCOMPARE(AgentSettings::isDefAutoLogin.value(), true);
    QCOMPARE(AgentSettings::parallelStarts.value(), 1);
    QVERIFY(AgentSettings::daemonOn()); // never saved counts as on
    QVERIFY(AgentSettings::dir.value().isEmpty());
    // What the old getters read, the typed values read too.
    AgentSettings::runLimit.set(4);
    AgentSettings::pcNickName.set(QStringLiteral("机房二"));
    AgentSettings::setProductDir(eProductLdPlayer, QStringLiteral("/opt/ld"));
    AgentSettings::setProductDir(eProductNone, QStringLiteral("/nowhere"));
    QCOMPARE(SimuSettings::getRunLimit().iExtraRet, 4);
    QCOMPARE(SimuSettings::getPcNickName().str, QStringLiteral("机房二"));
    QCOMPARE(SimuSettings::getLeiDianDir().str, QStringLiteral("/opt/ld"));
    QCOMPARE(AgentSettings::productDir(eProductLdPlayer), QStringLiteral("/opt/ld"));
    QVERIFY(AgentSettings::productDir(eProductNone).isEmpty());
    SimuSettings::setDaemonModel(0);
    QVERIFY(!AgentSettings::daemonOn());
    // Starts at once stay within 1 and the run limit.
    AgentSettings::parallelStarts.set(8);
    QCOMPARE(AgentSettings::effectiveParallelStarts(), 4);
    AgentSettings::parallelStarts.set(0);
    QCOMPARE(AgentSettings::effectiveParallelStarts(), 1);
    SimuSettings::setValue(QStringLiteral("common/parallelStarts"), QStringLiteral("lots"));
    QCOMPARE(AgentSettings::effectiveParallelStarts(), 1);
}

QTEST_GUILESS_MAIN(TstSimuStateStore)
#include "tst_simustatestore.moc"
