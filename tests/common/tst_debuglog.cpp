#include "debuglog.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <csignal>
#include <memory>
#include <vector>

namespace {

QStringList readLines(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QString all = QString::fromUtf8(f.readAll());
    QStringList lines = all.split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

void touch(const QString& path, const QDateTime& modified)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("x");
    QVERIFY(f.flush()); // a later flush would stamp the file again
    QVERIFY(f.setFileTime(modified, QFileDevice::FileModificationTime));
}

// Fixed clock whose time the test moves.
struct FakeClock
{
    std::shared_ptr<QDateTime> now = std::make_shared<QDateTime>();
    DebugLog::Clock fn() const
    {
        auto p = now;
        return [p] { return *p; };
    }
};

const QDate kDay(2024, 3, 5);

} // namespace

class TestDebugLog : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void lineFormat();
    void rotationAtTheHour();
    void restartAppends();
    void messageWithoutSource();
    void linesFromManyThreadsStayWhole();
    void cleanupBoundary();
    void crashLineThenSignal();
};

void TestDebugLog::cleanup()
{
    DebugLog::uninstall();
    DebugLog::setClock(DebugLog::Clock());
}

void TestDebugLog::lineFormat()
{
    const QDateTime when(kDay, QTime(9, 7, 3, 45));
    QCOMPARE(DebugLog::formatLine(QtWarningMsg, "agent.cpp", 12, when, QStringLiteral("你好")),
             QStringLiteral("Warning: File:(agent.cpp) Line:(12) (2024-03-05 09:07:03-45) 你好"));
    QCOMPARE(DebugLog::formatLine(QtDebugMsg, "a", 1, QDateTime(kDay, QTime(23, 0, 0, 0)), "m"),
             QStringLiteral("Debug: File:(a) Line:(1) (2024-03-05 23:00:00-0) m"));
    QVERIFY(DebugLog::formatLine(QtCriticalMsg, "a", 1, when, "m").startsWith("Critical: "));
    QVERIFY(DebugLog::formatLine(QtFatalMsg, "a", 1, when, "m").startsWith("Fatal: "));
    QCOMPARE(DebugLog::formatLine(QtInfoMsg, nullptr, 0, when, "m"),
             QStringLiteral(" File:() Line:(0) (2024-03-05 09:07:03-45) m"));
}

void TestDebugLog::rotationAtTheHour()
{
    QTemporaryDir home;
    const QString dir = home.path() + "/log";
    FakeClock clock;
    *clock.now = QDateTime(kDay, QTime(9, 59, 59, 999));
    DebugLog::setClock(clock.fn());
    DebugLog::install(dir);
    QVERIFY(QFileInfo(dir).isDir());
    qWarning("before the hour");
    *clock.now = QDateTime(kDay, QTime(10, 0, 0, 0));
    qDebug("after the hour, 中文");
    // Same hour on the next day: a new file as well.
    *clock.now = QDateTime(kDay.addDays(1), QTime(10, 30));
    qCritical("next day");
    DebugLog::uninstall();

    const QStringList nine = readLines(dir + "/log_2024_03_05-9.txt");
    const QStringList ten = readLines(dir + "/log_2024_03_05-10.txt");
    const QStringList nextDay = readLines(dir + "/log_2024_03_06-10.txt");
    QCOMPARE(nine.size(), 1);
    QCOMPARE(ten.size(), 1);
    QCOMPARE(nextDay.size(), 1);
    QVERIFY2(nine[0].startsWith("Warning: File:(") &&
                 nine[0].endsWith(" (2024-03-05 09:59:59-999) before the hour"),
             qUtf8Printable(nine[0]));
    QVERIFY(ten[0].endsWith(QStringLiteral(" (2024-03-05 10:00:00-0) after the hour, 中文")));
    QVERIFY(nextDay[0].startsWith("Critical: "));
}

void TestDebugLog::restartAppends()
{
    QTemporaryDir home;
    FakeClock clock;
    *clock.now = QDateTime(kDay, QTime(14, 10));
    DebugLog::setClock(clock.fn());
    DebugLog::install(home.path());
    qWarning("first run");
    DebugLog::uninstall();
    *clock.now = QDateTime(kDay, QTime(14, 50));
    DebugLog::install(home.path());
    qWarning("second run");
    DebugLog::uninstall();
    const QStringList lines = readLines(home.path() + "/log_2024_03_05-14.txt");
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].endsWith("first run"));
    QVERIFY(lines[1].endsWith("second run"));
}

void TestDebugLog::messageWithoutSource()
{
    QTemporaryDir home;
    FakeClock clock;
    *clock.now = QDateTime(kDay, QTime(8, 0, 1, 5));
    DebugLog::setClock(clock.fn());
    DebugLog::install(home.path());
    QMessageLogger(nullptr, 0, nullptr).warning("no context");
    DebugLog::uninstall();
    QCOMPARE(readLines(home.path() + "/log_2024_03_05-8.txt"),
             QStringList{"Warning: File:() Line:(0) (2024-03-05 08:00:01-5) no context"});
}

void TestDebugLog::linesFromManyThreadsStayWhole()
{
    QTemporaryDir home;
    DebugLog::install(home.path());
    const int threads = 4;
    const int perThread = 200;
    std::vector<std::unique_ptr<QThread>> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back(QThread::create([t] {
            for (int i = 0; i < perThread; ++i)
                qWarning("thread %d line %d payload-%s", t, i, "0123456789012345678901234567890123456789");
        }));
    }
    for (auto& w : workers)
        w->start();
    for (auto& w : workers)
        QVERIFY(w->wait(60000));
    DebugLog::uninstall();

    QStringList lines;
    const QStringList files = QDir(home.path()).entryList({"log_*.txt"}, QDir::Files);
    QVERIFY(!files.isEmpty() && files.size() <= 2); // the test may straddle an hour
    for (const QString& f : files)
        lines += readLines(home.path() + "/" + f);
    QCOMPARE(lines.size(), threads * perThread);
    const QRegularExpression whole(
        "^Warning: File:\\(.*\\) Line:\\(\\d+\\) \\(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d-\\d+\\) "
        "thread \\d line \\d+ payload-0123456789012345678901234567890123456789$");
    for (const QString& l : lines)
        QVERIFY2(whole.match(l).hasMatch(), qUtf8Printable(l));
}

void TestDebugLog::cleanupBoundary()
{
    QTemporaryDir dir;
    const QDateTime now(kDay, QTime(12, 0, 0));
    touch(dir.path() + "/log_young.txt", now.addSecs(-259199));
    touch(dir.path() + "/log_old.txt", now.addSecs(-259200));
    touch(dir.path() + "/oper_older.txt", now.addDays(-30));
    touch(dir.path() + "/.hidden_old", now.addDays(-5));
    touch(dir.path() + "/fresh.txt", now);
    QVERIFY(QFile::link(dir.path() + "/log_old.txt", dir.path() + "/link_old"));
    QDir(dir.path()).mkdir("sub");

    DeleteLogStrategy strategy([now] { return now; });
    QCOMPARE(strategy.run(dir.path()).iRet, 0);
    const QStringList left =
        QDir(dir.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    QCOMPARE(left, (QStringList{"fresh.txt", "link_old", "log_young.txt", "sub"}));
}

void TestDebugLog::crashLineThenSignal()
{
#ifdef Q_OS_UNIX
    QTemporaryDir home;
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--crash-child", home.path()});
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    const QStringList files = QDir(home.path()).entryList({"log_*.txt"}, QDir::Files);
    QCOMPARE(files.size(), 1);
    const QStringList lines = readLines(home.path() + "/" + files[0]);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].endsWith("about to crash"));
    QVERIFY2(lines[1].startsWith("Fatal: ") && lines[1].contains(QString::number(SIGSEGV)),
             qUtf8Printable(lines[1]));
#else
    QSKIP("the crash box of this system needs a person to close it");
#endif
}

int main(int argc, char** argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--crash-child") == 0) {
        // Child of crashLineThenSignal: one line, then a real fault.
        QCoreApplication app(argc, argv);
        DebugLog::install(QString::fromLocal8Bit(argv[2]));
        DebugLog::installCrashHandler();
        qWarning("about to crash");
        std::raise(SIGSEGV);
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestDebugLog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_debuglog.moc"
