// The results ledger without a window: an operation across PCs moved on by deliveries, reports and
// its deadline, kept across a restart, pruned, exported, and read back from a damaged file.
#include "resultsledger.h"
#include "simurecords.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Clock
{
    qint64 ms = 1700000000000;
};

ResultsLedger::Options options(const QString& db, Clock* pClock)
{
    ResultsLedger::Options o;
    o.dbPath = db;
    o.flushMs = 10;
    o.sweepMs = 20;
    o.startSecs = 30;
    o.startPerTargetSecs = 0;
    o.clock = [pClock] { return pClock->ms; };
    return o;
}

QString stateOf(const ResultsLedger& l, qint64 id, const QString& pc, const QString& idx)
{
    for (const struLedgerTarget& t : l.entry(id)->targets)
        if (t.pcName == pc && t.memuIdx == idx)
            return LedgerText::stateText(t.state);
    return QStringLiteral("missing");
}

} // namespace

class TstResultsLedger : public QObject
{
    Q_OBJECT
private slots:
    void operationAcrossPcsAndRestart();
    void pruneExportAndDamagedFile();
};

void TstResultsLedger::operationAcrossPcsAndRestart()
{
    QTemporaryDir dir;
    Clock clock;
    const QString db = dir.filePath(QStringLiteral("results.db"));
    qint64 first = 0, second = 0;
    {
        ResultsLedger l(options(db, &clock));
        QString error;
        QVERIFY2(l.open(error), qPrintable(error));
        // One menu choice: the sends of this turn make one entry; a choice later makes another.
        l.addSend(QStringLiteral("pc-a"), eOperStartup, {"0", "1", "2"}, QString());
        l.addSend(QStringLiteral("pc-b"), eOperStartup, {"0"}, QString());
        QCOMPARE(l.rowCount(), 1);
        first = l.entryIdAt(l.index(0, 0));
        QCOMPARE(l.rowCount(l.index(0, 0)), 4);
        QCoreApplication::processEvents();
        l.addSend(QStringLiteral("pc-a"), eOperStartup, {"0"}, QString());
        QCOMPARE(l.rowCount(), 2);
        second = l.entryIdAt(l.index(0, 0)); // newest on top
        QVERIFY(second != first);

        l.slOperDelivered(QStringLiteral("pc-a"), eOperStartup, {"0", "1", "2"}, 0);
        l.slOperDelivered(QStringLiteral("pc-b"), eOperStartup, {"0"}, 14);
        l.slReportArrived(QStringLiteral("pc-a"), "0", eOperStartup, 0, QString());
        l.slReportArrived(QStringLiteral("pc-a"), "1", eOperStartup, 5, QStringLiteral("启动超时"));
        // Reports nobody waits for: another PC, another operation type.
        l.slReportArrived(QStringLiteral("pc-c"), "2", eOperStartup, 0, QString());
        l.slReportArrived(QStringLiteral("pc-a"), "2", eOperClose, 0, QString());
        QCOMPARE(stateOf(l, first, "pc-a", "0"), QStringLiteral("成功"));
        QCOMPARE(stateOf(l, first, "pc-a", "1"), QStringLiteral("失败"));
        QCOMPARE(stateOf(l, first, "pc-a", "2"), QStringLiteral("已发送"));
        QCOMPARE(stateOf(l, first, "pc-b", "0"), QStringLiteral("失败"));
        // The second report of pc-a 0 answers the second operation, not the first again.
        l.slReportArrived(QStringLiteral("pc-a"), "0", eOperStartup, 0, QString());
        QCOMPARE(stateOf(l, second, "pc-a", "0"), QStringLiteral("成功"));
        QCOMPARE(l.openTargetCount(), 1);

        // The deadline passes: the one left gets "no answer".
        clock.ms += 31 * 1000;
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(l, first, "pc-a", "2"), QStringLiteral("无应答"), 2000);
        const QModelIndex row = l.index(l.rowCount() - 1, ResultsLedger::ColState);
        QTRY_COMPARE_WITH_TIMEOUT(row.data().toString(), QStringLiteral("成功 1 / 失败 3 / 等待 0"), 2000);
        const auto retry = l.retryTargets(first);
        QCOMPARE(retry.size(), 2);
        QCOMPARE(retry.at(0).first, QStringLiteral("pc-a"));
        QCOMPARE(retry.at(0).second, QStringList({"1", "2"}));
        QCOMPARE(retry.at(1).second, QStringList({"0"}));

        // An install's deadline grows with its file; one still open when the console ends.
        QFile apk(dir.filePath(QStringLiteral("big.apk")));
        QVERIFY(apk.open(QIODevice::WriteOnly) && apk.resize(8 * 1024 * 1024));
        apk.close();
        QCoreApplication::processEvents();
        l.addSend(QStringLiteral("pc-a"), eOperInstall, {"0", "1"}, apk.fileName());
        l.slInstallProgress(QStringLiteral("pc-a"), "1", 40);
        l.slInstallProgress(QStringLiteral("pc-b"), "1", 70); // no install of pc-b
        const QModelIndex installRow = l.index(0, 0);
        QCOMPARE(l.index(1, ResultsLedger::ColProgress, installRow).data().toString(), QStringLiteral("40%"));
        QCOMPARE(l.index(0, ResultsLedger::ColProgress, installRow).data().toString(), QString());
        clock.ms += (60 + 60 * 2) * 1000 + 1000; // past the deadline of an empty file
        QTest::qWait(100);
        QCOMPARE(l.openTargetCount(), 2);
    }
    // Started again: everything kept, the open install is "no answer" (its reports cannot be taken).
    ResultsLedger again(options(db, &clock));
    QString error;
    QVERIFY2(again.open(error), qPrintable(error));
    QCOMPARE(again.rowCount(), 3);
    QCOMPARE(stateOf(again, first, "pc-a", "1"), QStringLiteral("失败"));
    QCOMPARE(again.entry(first)->targets.at(1).text, QStringLiteral("启动超时"));
    QCOMPARE(stateOf(again, first, "pc-a", "2"), QStringLiteral("无应答"));
    QCOMPARE(stateOf(again, second, "pc-a", "0"), QStringLiteral("成功"));
    const qint64 install = again.entryIdAt(again.index(0, 0));
    QCOMPARE(again.entry(install)->iOperType, int(eOperInstall));
    QCOMPARE(stateOf(again, install, "pc-a", "1"), QStringLiteral("无应答"));
    QCOMPARE(again.openTargetCount(), 0);
    // A report for it after the restart changes nothing; new entries get new ids.
    again.slReportArrived(QStringLiteral("pc-a"), "1", eOperInstall, 0, QString());
    QCOMPARE(stateOf(again, install, "pc-a", "1"), QStringLiteral("无应答"));
    QVERIFY(again.beginOperation(eOperClose, QString()) > install);
}

void TstResultsLedger::pruneExportAndDamagedFile()
{
    QTemporaryDir dir;
    Clock clock;
    const QString db = dir.filePath(QStringLiteral("results.db"));
    ResultsLedger::Options o = options(db, &clock);
    o.maxEntries = 5;
    o.maxAgeDays = 2;
    {
        ResultsLedger l(o);
        QString error;
        QVERIFY(l.open(error));
        for (int i = 0; i < 8; ++i) {
            l.beginOperation(eOperRename, QStringLiteral("名字%1").arg(i));
            l.addSend(QStringLiteral("pc-a"), eOperRename, {QString::number(i)}, QString());
            clock.ms += 3600 * 1000;
        }
        QCOMPARE(l.rowCount(), 5);
        const qint64 newest = l.entryIdAt(l.index(0, 0));
        QCOMPARE(l.entry(newest)->strArg, QStringLiteral("名字7"));
        // A hostile agent's text: separators, quotes, a line break, a formula.
        l.slOperDelivered(QStringLiteral("pc-a"), eOperRename, {"7"}, 0);
        l.slReportArrived(QStringLiteral("pc-a"), "7", eOperRename, 3,
                          QStringLiteral("=cmd|' /c calc'!A1,\"x\"\nend"));
        const QByteArray bytes = l.entryCsv(newest);
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF")); // a spreadsheet reads it as UTF-8
        const QStringList lines =
            QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines.at(1).contains(QStringLiteral(",3,\"'=cmd|' /c calc'!A1,\"\"x\"\"\nend\",")),
                 qPrintable(lines.at(1)));
        QString why;
        QVERIFY(l.exportCsv(newest, dir.filePath(QStringLiteral("out.csv")), why));
        QFile out(dir.filePath(QStringLiteral("out.csv")));
        QVERIFY(out.open(QIODevice::ReadOnly));
        QCOMPARE(out.readAll(), l.entryCsv(newest));
        QVERIFY(!l.exportCsv(newest, dir.filePath(QStringLiteral("no/such/dir/out.csv")), why));
    }
    // Two days on, the older of the kept entries have aged out.
    clock.ms += 2 * 24 * 3600 * 1000 - 3 * 3600 * 1000;
    {
        ResultsLedger l(o);
        QString error;
        QVERIFY(l.open(error));
        QCOMPARE(l.rowCount(), 3);
    }
    // A damaged file is moved aside and a fresh ledger begun.
    QFile::remove(db + QStringLiteral("-wal"));
    QFile::remove(db + QStringLiteral("-shm"));
    QFile f(db);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, '\xA5'));
    f.close();
    ResultsLedger l(o);
    QString error;
    QVERIFY2(l.open(error), qPrintable(error));
    QCOMPARE(l.rowCount(), 0);
    QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("results.db.bad-*")}).size(), 1);
    l.beginOperation(eOperClose, QString());
    l.addSend(QStringLiteral("pc-a"), eOperClose, {"0"}, QString());
    l.flush();
    ResultsLedger reread(o);
    QVERIFY(reread.open(error));
    QCOMPARE(reread.rowCount(), 1);
}

QTEST_GUILESS_MAIN(TstResultsLedger)
#include "tst_resultsledger.moc"
