// The agent program ToviaSimClient as a process: one instance per machine (and a killed agent
// does not block the next start), and the update question at start-up with the hand-over to the
// updater. Each test runs a copy of the program and of the update tools in a directory of its own,
// so the verdict and task files never land in the build's program directory.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSharedMemory>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int kStartMs = 20000;
const char* const kInstanceKey = "Korvane";

QString binDir()
{
    return qEnvironmentVariable("TOVIA_BIN_DIR");
}

bool writeFile(const QString& path, const QByteArray& bytes, bool executable = false)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

QByteArray readFiles(const QString& dir, const QString& pattern)
{
    QByteArray all;
    for (const QFileInfo& info : QDir(dir).entryInfoList({pattern}, QDir::Files)) {
        QFile file(info.absoluteFilePath());
        if (file.open(QIODevice::ReadOnly))
            all += file.readAll();
    }
    return all;
}

// The workers of the window have started once the run's operation-log file exists (the debug
// log files beside it are named "log_...").
bool hasOperLog(const QString& home)
{
    const QStringList names =
        QDir(home + QStringLiteral("/log")).entryList({QStringLiteral("*.txt")}, QDir::Files);
    return std::any_of(names.begin(), names.end(),
                       [](const QString& n) { return !n.startsWith(QLatin1String("log_")); });
}

// A segment left by a killed agent is removed by attaching and detaching it once.
void dropStaleSegment()
{
    QSharedMemory shm(QString::fromLatin1(kInstanceKey));
    if (shm.attach())
        shm.detach();
}

} // namespace

class TstAgentProgram : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void helpPrintsUsageWithoutDisplay();
    void secondInstanceExitsWhileFirstRuns();
    void killedAgentDoesNotBlockNextStart();
    void updateAtStart_data();
    void updateAtStart();

private:
    static bool makeAppDir(const QTemporaryDir& app);
    QProcess* startAgent(const QTemporaryDir& app, const QString& home, const QStringList& args);

    std::vector<std::unique_ptr<QProcess>> m_agents;
};

void TstAgentProgram::initTestCase()
{
    if (!QFile::exists(binDir() + QStringLiteral("/ToviaSimClient")))
        QSKIP("ToviaSimClient not built (TOVIA_BIN_DIR unset or target missing)");
    QSharedMemory probe(QString::fromLatin1(kInstanceKey));
    if (probe.attach()) {
        probe.detach(); // a stale segment goes away here; a live agent's stays
        if (probe.attach()) {
            probe.detach();
            QSKIP("an agent is running on this machine; its single-instance lock is machine-wide");
        }
    }
}

void TstAgentProgram::cleanup()
{
    for (auto& agent : m_agents) {
        if (agent->state() != QProcess::NotRunning) {
            agent->kill();
            agent->waitForFinished(5000);
        }
    }
    m_agents.clear();
    dropStaleSegment(); // the killed agents leave theirs behind
}

bool TstAgentProgram::makeAppDir(const QTemporaryDir& app)
{
    for (const QString& name :
         {QStringLiteral("ToviaSimClient"), QStringLiteral("VerScout.exe"), QStringLiteral("PatchRun.exe")}) {
        if (!QFile::copy(binDir() + QLatin1Char('/') + name, app.filePath(name)))
            return false;
    }
    return true;
}

QProcess* TstAgentProgram::startAgent(const QTemporaryDir& app, const QString& home, const QStringList& args)
{
    auto agent = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    agent->setProcessEnvironment(env);
    agent->setStandardInputFile(QProcess::nullDevice());
    agent->start(app.filePath(QStringLiteral("ToviaSimClient")),
                 QStringList{QStringLiteral("--home"), home} + args);
    agent->waitForStarted(5000);
    m_agents.push_back(std::move(agent));
    return m_agents.back().get();
}

// Asked for its usage on a machine without any display, the agent prints it and exits 0 (it must
// not need a window system for that, nor take the single-instance lock).
void TstAgentProgram::helpPrintsUsageWithoutDisplay()
{
    for (const QString& arg : {QStringLiteral("--help"), QStringLiteral("-h")}) {
        QProcess agent;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        agent.setProcessEnvironment(env);
        agent.setStandardInputFile(QProcess::nullDevice());
        agent.start(binDir() + QStringLiteral("/ToviaSimClient"), {arg});
        QVERIFY(agent.waitForFinished(20000));
        const QString out = QString::fromLocal8Bit(agent.readAllStandardOutput());
        QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
        QVERIFY2(agent.exitCode() == 0, qPrintable(QString::fromLocal8Bit(agent.readAllStandardError())));
        QVERIFY2(out.startsWith(QStringLiteral("usage: ToviaSimClient")), qPrintable(out));
        QVERIFY(out.contains(QStringLiteral("--home DIR")));
    }
}

void TstAgentProgram::secondInstanceExitsWhileFirstRuns()
{
    QTemporaryDir app, home1, home2;
    QVERIFY(makeAppDir(app));
    QProcess* first = startAgent(app, home1.path(), {QStringLiteral("--batch")});
    QTRY_VERIFY_WITH_TIMEOUT(hasOperLog(home1.path()), kStartMs);

    // Another data directory does not matter: one agent per machine.
    QProcess* second = startAgent(app, home2.path(), {QStringLiteral("--batch")});
    QVERIFY(second->waitForFinished(kStartMs));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    const QString err = QString::fromUtf8(second->readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("错误: Tovia模拟器被控端只能运行一个实例")), qPrintable(err));
    QVERIFY(!hasOperLog(home2.path())); // nothing else started
    QVERIFY(!QFile::exists(home2.filePath(QStringLiteral("screenshot"))));
    QCOMPARE(first->state(), QProcess::Running);
}

void TstAgentProgram::killedAgentDoesNotBlockNextStart()
{
    QTemporaryDir app, home1, home2;
    QVERIFY(makeAppDir(app));
    QProcess* first = startAgent(app, home1.path(), {QStringLiteral("--batch")});
    QTRY_VERIFY_WITH_TIMEOUT(hasOperLog(home1.path()), kStartMs);
    first->kill(); // SIGKILL: the segment stays behind with nobody attached
    QVERIFY(first->waitForFinished(5000));

    QProcess* next = startAgent(app, home2.path(), {QStringLiteral("--batch")});
    QTRY_VERIFY_WITH_TIMEOUT(hasOperLog(home2.path()) || next->state() == QProcess::NotRunning, kStartMs);
    QVERIFY2(next->state() == QProcess::Running, next->readAllStandardError().constData());
}

void TstAgentProgram::updateAtStart_data()
{
    QTest::addColumn<QString>("published");
    QTest::addColumn<QString>("batchArg");
    QTest::addColumn<QString>("question"); // empty: not asked
    QTest::newRow("update, Yes") << "1.0.1"
                                 << "--batch=yes" << QStringLiteral("检测到有更新，是否更新？ Yes");
    QTest::newRow("update, No") << "1.0.1"
                                << "--batch" << QStringLiteral("检测到有更新，是否更新？ No");
    QTest::newRow("up to date") << "1.0.0"
                                << "--batch=yes" << QString();
}

void TstAgentProgram::updateAtStart()
{
    QFETCH(QString, published);
    QFETCH(QString, batchArg);
    QFETCH(QString, question);
    const bool handOver = question.endsWith(QLatin1String("Yes"));
    QTemporaryDir app, source, home;
    QVERIFY(makeAppDir(app));
    // The updater hands over to UpdateShifter beside it: here a script that only leaves a mark.
    const QString mark = app.filePath(QStringLiteral("handed-over.txt"));
    QVERIFY(writeFile(app.filePath(QStringLiteral("UpdateShifter")),
                      "#!/bin/sh\necho shifter > '" + mark.toUtf8() + "'\n", true));
    QVERIFY(writeFile(app.filePath(QStringLiteral("ToviaVersion.txt")), "1.0.0\n"));
    QVERIFY(writeFile(source.filePath(QStringLiteral("ToviaVersion.txt")), published.toUtf8() + '\n'));
    QVERIFY(writeFile(source.filePath(QStringLiteral("payload.dat")), "new files"));
    QSettings(home.filePath(QStringLiteral("simusInfo.ini")), QSettings::IniFormat)
        .setValue(QStringLiteral("update/source"), source.path());

    QProcess* agent = startAgent(app, home.path(), {batchArg});
    if (handOver) {
        QVERIFY(agent->waitForFinished(kStartMs));
        QCOMPARE(agent->exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent->exitCode(), 0);
        QTRY_VERIFY2_WITH_TIMEOUT(QFile::exists(mark),
                                  readFiles(app.path(), QStringLiteral("*.log")).constData(), 10000);
        QVERIFY(QFile::exists(app.filePath(QStringLiteral("TempDldFile/payload.dat"))));
        // No window: its workers never started and the inventory scan never ran.
        QVERIFY(!hasOperLog(home.path()));
        QVERIFY(!QFile::exists(home.filePath(QStringLiteral("screenshot"))));
        QVERIFY(readFiles(home.filePath(QStringLiteral("log")), QStringLiteral("log_*.txt"))
                    .contains("Begin Update Process"));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(hasOperLog(home.path()) || agent->state() == QProcess::NotRunning, kStartMs);
        QCOMPARE(agent->state(), QProcess::Running);
        agent->kill();
        QVERIFY(agent->waitForFinished(5000));
        QVERIFY(!QFile::exists(app.filePath(QStringLiteral("TempDldFile"))));
        QVERIFY(!QFile::exists(mark));
    }
    const QString err = QString::fromUtf8(agent->readAllStandardError());
    if (question.isEmpty())
        QVERIFY2(!err.contains(QStringLiteral("更新提示")), qPrintable(err));
    else
        QVERIFY2(err.contains(QStringLiteral("更新提示: ") + question), qPrintable(err));
}

QTEST_GUILESS_MAIN(TstAgentProgram)
#include "tst_agentprogram.moc"
