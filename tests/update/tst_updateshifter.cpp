// UpdateShifter as a program: it works in the directory of its own executable, so every case runs
// a copy of it inside a temporary directory, with the countdown shortened through
// TOVIA_SHIFTER_TICK_MS.
#include "updaterserializer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int kTickMs = 10;

bool writeFile(const QString& path, const QByteArray& content, bool executable = false)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    return !executable ||
           file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool waitForFile(const QString& path, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!QFile::exists(path) && timer.elapsed() < ms)
        QTest::qWait(20);
    return QFile::exists(path);
}

// Lines of output in order, each matched by its start.
bool inOrder(const QStringList& lines, const QStringList& wanted)
{
    int at = 0;
    for (const QString& line : lines) {
        if (at < wanted.size() && line.startsWith(wanted[at]))
            ++at;
    }
    return at == wanted.size();
}

} // namespace

class TestUpdateShifter : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void replacesARunningProgramAndStartsTheHost();
    void leavesItsOwnExecutableAlone();
    void destinationThatCannotBeWritten();
    void copyRepairedByARetryCountsAsMoved();
    void missingOrDamagedList();
    void refusesNamesOutsideItsDirectory();

private:
    QString base() const { return m_pDir->path() + QLatin1Char('/'); }
    QString marker() const { return base() + QStringLiteral("host-started.txt"); }
    // Writes the list with the marker-writing host script and the given downloaded files.
    void prepare(const QList<QPair<QString, QByteArray>>& downloads);
    // Runs the copy in the directory; during (if set) runs while it works, given its output so far.
    int runShifter(QStringList& lines, int retryMs = kTickMs,
                   const std::function<void(QProcess&)>& during = {});

    std::unique_ptr<QTemporaryDir> m_pDir;
};

void TestUpdateShifter::init()
{
    const QString shifter = qEnvironmentVariable("TOVIA_BIN_DIR") + QStringLiteral("/UpdateShifter");
    if (!QFile::exists(shifter))
        QSKIP("UpdateShifter not built (TOVIA_BIN_DIR unset or target missing)");
    m_pDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_pDir->isValid());
    QVERIFY(QFile::copy(shifter, base() + QStringLiteral("UpdateShifter")));
    QVERIFY(QDir(base()).mkdir(QStringLiteral("TempDldFile")));
    const QByteArray host = "#!/bin/sh\necho started > '" + marker().toUtf8() + "'\n";
    QVERIFY(writeFile(base() + QStringLiteral("host.sh"), host, true));
}

void TestUpdateShifter::cleanup()
{
    m_pDir.reset();
}

void TestUpdateShifter::prepare(const QList<QPair<QString, QByteArray>>& downloads)
{
    CUpdaterSerializer list(base().toStdU16String());
    list.m_hostProgram = (base() + QStringLiteral("host.sh")).toStdU16String();
    for (const auto& d : downloads) {
        if (!d.second.isNull())
            QVERIFY(writeFile(base() + QStringLiteral("TempDldFile/") + d.first, d.second));
        struUpdateEntry entry;
        entry.name = d.first.toStdString();
        entry.value = d.second.size();
        list.m_entries.push_back(entry);
    }
    QVERIFY(list.storeList());
}

int TestUpdateShifter::runShifter(QStringList& lines, int retryMs,
                                  const std::function<void(QProcess&)>& during)
{
    QProcess shifter;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TOVIA_SHIFTER_TICK_MS"), QString::number(kTickMs));
    env.insert(QStringLiteral("TOVIA_SHIFTER_RETRY_MS"), QString::number(retryMs));
    shifter.setProcessEnvironment(env);
    shifter.setProcessChannelMode(QProcess::MergedChannels);
    shifter.start(base() + QStringLiteral("UpdateShifter"), {});
    if (during && shifter.waitForStarted(5000))
        during(shifter);
    if (shifter.state() != QProcess::NotRunning && !shifter.waitForFinished(20000)) {
        shifter.kill();
        shifter.waitForFinished(2000);
        return -1;
    }
    lines = QString::fromUtf8(shifter.readAll()).split(QLatin1Char('\n'));
    return shifter.exitStatus() == QProcess::NormalExit ? shifter.exitCode() : -1;
}

void TestUpdateShifter::replacesARunningProgramAndStartsTheHost()
{
    // A running program under a name no other process has; it is killed and replaced.
    const QString name = QStringLiteral("UsVictim%1x%2")
                             .arg(QCoreApplication::applicationPid())
                             .arg(QRandomGenerator::global()->bounded(100000));
    const QString target = base() + name;
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), target));
    QProcess victim;
    victim.start(target, {QStringLiteral("60")});
    QVERIFY(victim.waitForStarted(5000));
    prepare({{name, QByteArray("new build")}, {QStringLiteral("extra.dat"), QByteArray("extra")}});

    QStringList lines;
    QCOMPARE(runShifter(lines), 0);
    // Already reaped (state NotRunning) or about to be.
    QVERIFY2(victim.state() == QProcess::NotRunning || victim.waitForFinished(5000),
             "the running program was not killed");
    QCOMPARE(readFile(target), QByteArray("new build"));
    QCOMPARE(readFile(base() + QStringLiteral("extra.dat")), QByteArray("extra"));
    QVERIFY(!QFile::exists(base() + QStringLiteral("TempDldFile/") + name));
    QVERIFY(!QFile::exists(base() + QStringLiteral("TempDldFile/extra.dat")));
    QVERIFY(waitForFile(marker(), 5000));
    QVERIFY2(inOrder(lines, {QStringLiteral("3秒后开始移动文件"), QStringLiteral("2秒后开始移动文件"),
                             QStringLiteral("1秒后开始移动文件"), QStringLiteral("开始移动文件"),
                             QStringLiteral("正在移动%1TempDldFile/%2到%1目录中").arg(base(), name),
                             QStringLiteral("正在移动"), QStringLiteral(""), QStringLiteral("下载完成"),
                             QStringLiteral("3秒后开启宿主程序"), QStringLiteral("2秒后开启宿主程序"),
                             QStringLiteral("1秒后开启宿主程序")}),
             qPrintable(lines.join(QLatin1Char('\n'))));
}

void TestUpdateShifter::leavesItsOwnExecutableAlone()
{
    const QByteArray original = readFile(base() + QStringLiteral("UpdateShifter"));
    prepare({{QStringLiteral("UpdateShifter"), QByteArray("not a program")},
             {QStringLiteral("data.bin"), QByteArray("data")}});
    QStringList lines;
    QCOMPARE(runShifter(lines), 0);
    QCOMPARE(readFile(base() + QStringLiteral("UpdateShifter")), original);
    QCOMPARE(readFile(base() + QStringLiteral("TempDldFile/UpdateShifter")), QByteArray("not a program"));
    QCOMPARE(readFile(base() + QStringLiteral("data.bin")), QByteArray("data"));
    QVERIFY(waitForFile(marker(), 5000));
}

void TestUpdateShifter::destinationThatCannotBeWritten()
{
    // A directory in the place of the file: no copy can succeed, whoever runs the test.
    QVERIFY(QDir(base()).mkpath(QStringLiteral("blocked.dat/inside")));
    prepare({{QStringLiteral("blocked.dat"), QByteArray("payload")}});
    QStringList lines;
    QCOMPARE(runShifter(lines), 2);

    const QString failure =
        QStringLiteral("%1TempDldFile/blocked.dat文件移动失败，iRet=0,LastErrcode = ").arg(base());
    QCOMPARE(lines.filter(failure).size(), 3);
    QCOMPARE(lines.filter(QStringLiteral("再次移动文件")).size(), 2);
    QStringList closing;
    for (int n = 10; n >= 1; --n)
        closing << QStringLiteral("%1秒后关闭").arg(n);
    QVERIFY2(inOrder(lines, QStringList{QStringLiteral("移动文件的过程中出错,未能移动的文件：blocked.dat")} +
                                closing),
             qPrintable(lines.join(QLatin1Char('\n'))));
    QVERIFY(lines.filter(QStringLiteral("开启宿主程序")).isEmpty());
    QCOMPARE(readFile(base() + QStringLiteral("TempDldFile/blocked.dat")), QByteArray("payload"));
    QTest::qWait(200);
    QVERIFY(!QFile::exists(marker()));
}

void TestUpdateShifter::copyRepairedByARetryCountsAsMoved()
{
    // The first attempt meets a directory in the file's place; it is gone before the second.
    QVERIFY(QDir(base()).mkpath(QStringLiteral("later.dat/inside")));
    prepare({{QStringLiteral("later.dat"), QByteArray("payload")}});
    QByteArray seen;
    bool cleared = false;
    QStringList lines;
    const int rc = runShifter(lines, 1500, [&](QProcess& shifter) {
        QElapsedTimer timer;
        timer.start();
        while (!seen.contains("later.dat文件移动失败") && timer.elapsed() < 10000) {
            shifter.waitForReadyRead(100);
            seen = shifter.peek(1 << 20);
        }
        cleared = QDir(base() + QStringLiteral("later.dat")).removeRecursively();
    });
    QVERIFY(cleared);
    QCOMPARE(rc, 0);
    QCOMPARE(lines.filter(QStringLiteral("文件移动失败")).size(), 1);
    QCOMPARE(readFile(base() + QStringLiteral("later.dat")), QByteArray("payload"));
    QVERIFY(waitForFile(marker(), 5000));
}

void TestUpdateShifter::missingOrDamagedList()
{
    QStringList lines;
    QCOMPARE(runShifter(lines), 2);
    const QString all = lines.join(QLatin1Char('\n'));
    QVERIFY2(all.contains(
                 QStringLiteral(
                     "移动文件的过程中出错,没有升级文件：%1SerialLizeFile.dat\n请重新打开exe文件\n10秒后关闭")
                     .arg(base())),
             qPrintable(all));
    QVERIFY(lines.contains(QStringLiteral("1秒后关闭")));

    // A list cut inside its entry: nothing is moved, the host is not started.
    prepare({{QStringLiteral("x.dat"), QByteArray("x")}});
    QFile list(base() + QStringLiteral("SerialLizeFile.dat"));
    QVERIFY(list.open(QIODevice::ReadWrite));
    QVERIFY(list.resize(list.size() - 3));
    list.close();
    QCOMPARE(runShifter(lines), 2);
    QVERIFY(!lines.filter(QStringLiteral("移动文件的过程中出错,升级文件不完整")).isEmpty());
    QVERIFY(!QFile::exists(base() + QStringLiteral("x.dat")));
    QTest::qWait(200);
    QVERIFY(!QFile::exists(marker()));
}

void TestUpdateShifter::refusesNamesOutsideItsDirectory()
{
    // Source base/TempDldFile/sub/../../<name> is base/<name>; the destination would be beside base.
    const QString name = QFileInfo(m_pDir->path()).fileName() + QStringLiteral("-escaped.dat");
    const QString outside = QFileInfo(m_pDir->path()).absolutePath() + QLatin1Char('/') + name;
    QVERIFY(QDir(base()).mkpath(QStringLiteral("TempDldFile/sub")));
    QVERIFY(writeFile(base() + name, "x"));
    prepare({{QStringLiteral("sub/../../") + name, QByteArray()}});
    QStringList lines;
    QCOMPARE(runShifter(lines), 2);
    const bool escaped = QFile::remove(outside);
    QVERIFY2(!escaped, "a file was written outside the program directory");
    QVERIFY(!lines.filter(QStringLiteral("文件名不合法")).isEmpty());
}

QTEST_GUILESS_MAIN(TestUpdateShifter)
#include "tst_updateshifter.moc"
