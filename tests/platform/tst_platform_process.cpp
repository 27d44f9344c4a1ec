// Processes, UDP listener table, addresses, crash handler and text helpers of the platform layer,
// against real processes and sockets.

#include "platform.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Starts a program and waits until it runs; the caller owns the process object.
bool startProcess(QProcess& process, const QString& program, const QStringList& arguments)
{
    process.start(program, arguments);
    return process.waitForStarted(5000);
}

// Waits until pid's state is no longer "alive" (bounded).
bool waitUntilGone(platform::Pid pid, int timeoutMs = 3000)
{
    QElapsedTimer timer;
    timer.start();
    while (platform::processAlive(pid) && timer.elapsed() < timeoutMs) {
        QThread::msleep(10);
    }
    return !platform::processAlive(pid);
}

int g_crashFd = -1;

void writeCrashLine(const platform::CrashInfo& info)
{
    ssize_t ignored = write(g_crashFd, info.line, strlen(info.line));
    (void)ignored;
}

// Runs `crash` in a child that installed the handler with writeCrashLine; returns the wait status.
int runCrashingChild(const QString& linePath, void (*crash)())
{
    const pid_t child = fork();
    if (child == 0) {
        rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        g_crashFd = open(linePath.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        platform::installCrashHandler(writeCrashLine);
        crash();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

void dereferenceNull()
{
    volatile int* volatile pointer = nullptr;
    *pointer = 1;
}

void callAbort()
{
    abort();
}

QString readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class TestPlatformProcess : public QObject
{
    Q_OBJECT

private slots:
    void aliveAndKillTreeWithChild();
    void killRefusesDangerousPids();
    void findAndKillByImageName();
    void imageNameOfLinkedTool();
    void findByImageNameFragment();
    void udpListenerTable();
    void addressFacingPeer();
    void crashHandlerWritesLineAndDiesBySignal();
    void textHelpers();
};

void TestPlatformProcess::aliveAndKillTreeWithChild()
{
    // sh starts a background sleep (the child to be killed with the tree) and reports its pid.
    QElapsedTimer sinceStart;
    sinceStart.start();
    QProcess shell;
    QVERIFY(startProcess(shell, "sh", {"-c", "sleep 60 & echo $!; wait"}));
    QVERIFY(shell.waitForReadyRead(5000));
    const platform::Pid child = shell.readLine().trimmed().toLongLong();
    const platform::Pid parent = shell.processId();
    QVERIFY(child > 0);
    QVERIFY(platform::processAlive(parent));
    QVERIFY(platform::processAlive(child));

    // Ages follow the real clock (start times are counted in ticks of 10 ms): no older than the
    // time since the start, growing while they run, and this older process older still.
    QThread::msleep(300);
    const std::int64_t age = platform::processAgeMs(parent);
    QVERIFY2(age >= 300 - 20 && age <= sinceStart.elapsed() + 20, qPrintable(QString::number(age)));
    QVERIFY(platform::processAgeMs(child) <= age + 20);
    QVERIFY(platform::processAgeMs(getpid()) >= age);

    QVERIFY(platform::killProcessTree(parent));
    QVERIFY(!platform::processAlive(parent));
    QVERIFY2(waitUntilGone(child), "the child of the killed process survived");
    QVERIFY(shell.waitForFinished(5000));
    QCOMPARE(shell.exitStatus(), QProcess::CrashExit);

    // A process that is already gone: nothing to do, reported as gone, and of no age.
    QVERIFY(platform::killProcessTree(parent));
    QCOMPARE(platform::processAgeMs(parent), std::int64_t(-1));
    QCOMPARE(platform::processAgeMs(0), std::int64_t(-1));
    QVERIFY(!platform::processAlive(0));
    QVERIFY(!platform::processAlive(-5));
}

void TestPlatformProcess::killRefusesDangerousPids()
{
    QVERIFY(!platform::killProcessTree(0));
    QVERIFY(!platform::killProcessTree(-1));
    QVERIFY(!platform::killProcessTree(1));
    QVERIFY(!platform::killProcessTree(getpid()));
    QVERIFY(platform::processAlive(getpid()));

    // A thread id is not a process: a stale pid that now names a thread must not kill its process.
    std::atomic<pid_t> threadId{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        threadId = pid_t(syscall(SYS_gettid));
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    QTRY_VERIFY_WITH_TIMEOUT(threadId != 0, 3000);
    QVERIFY(threadId != getpid());
    QVERIFY(!platform::processAlive(threadId));
    platform::killProcessTree(threadId);
    QVERIFY(platform::processAlive(getpid()));
    done = true;
    worker.join();
}

void TestPlatformProcess::findAndKillByImageName()
{
    // Names carry this test's pid: other suites may run farm tools at the same time.
    const QString shortName = QString("foo%1.exe").arg(getpid());
    const QString longName = QString("VeryLongToolName%1.exe").arg(getpid()); // longer than the kernel's 15
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString sleepPath = QStandardPaths::findExecutable("sleep");
    QVERIFY(!sleepPath.isEmpty());
    QVERIFY(QFile::copy(sleepPath, dir.filePath(shortName)));
    QVERIFY(QFile::copy(sleepPath, dir.filePath(longName)));

    QProcess shortProcess;
    QProcess longProcess;
    QVERIFY(startProcess(shortProcess, dir.filePath(shortName), {"60"}));
    QVERIFY(startProcess(longProcess, dir.filePath(longName), {"60"}));

    const std::vector<platform::Pid> found = platform::pidsByImageName(shortName.toUpper().toStdString());
    QCOMPARE(found.size(), std::size_t(1));
    QCOMPARE(found.front(), platform::Pid(shortProcess.processId()));
    QCOMPARE(platform::pidsByImageName(longName.toStdString()).size(), std::size_t(1));
    QVERIFY(platform::pidsByImageName(longName.left(15).toStdString()).empty());
    QVERIFY(platform::pidsByImageName(shortName.mid(1).toStdString()).empty());
    QVERIFY(platform::pidsByImageName("").empty());

    QCOMPARE(platform::killByImageName(shortName.toStdString()), 1);
    QVERIFY(shortProcess.waitForFinished(5000));
    QVERIFY(platform::processAlive(longProcess.processId()));
    QCOMPARE(platform::killByImageName(shortName.toStdString()), 0);

    QCOMPARE(platform::killByImageName(longName.toLower().toStdString()), 1);
    QVERIFY(longProcess.waitForFinished(5000));
}

void TestPlatformProcess::imageNameOfLinkedTool()
{
    // Vendor tools of the simulated farm are links to one program, started as ".../MEmu.exe MEmu_1":
    // the name they were started under counts, not the linked file's.
    const QString name = QString("MEmu%1.exe").arg(getpid());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QFile::link(QStandardPaths::findExecutable("sleep"), dir.filePath(name)));
    QProcess tool;
    QVERIFY(startProcess(tool, dir.filePath(name), {"60"}));
    const std::vector<platform::Pid> found = platform::pidsByImageName(name.toStdString());
    QCOMPARE(found.size(), std::size_t(1));
    QCOMPARE(found.front(), platform::Pid(tool.processId()));
    QCOMPARE(platform::killByImageName(name.toStdString()), 1);
    QVERIFY(tool.waitForFinished(5000));
}

void TestPlatformProcess::findByImageNameFragment()
{
    // The executable's file name must contain the fragment, in any letter case; the other program
    // has both words of the fragment in its name, but apart.
    const QString tag = QString::number(getpid());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString sleepPath = QStandardPaths::findExecutable("sleep");
    QVERIFY(!sleepPath.isEmpty());
    const QString matchingPath = dir.filePath("UsFragmentTool" + tag + ".exe");
    const QString otherPath = dir.filePath("UsFragment" + tag + "Tool.exe");
    QVERIFY(QFile::copy(sleepPath, matchingPath));
    QVERIFY(QFile::copy(sleepPath, otherPath));
    QProcess matching;
    QProcess other;
    QVERIFY(startProcess(matching, matchingPath, {"60"}));
    QVERIFY(startProcess(other, otherPath, {"60"}));
    const platform::Pid matchingPid = matching.processId();

    std::vector<platform::Pid> found =
        platform::pidsByImageNameContaining(("fragmenttool" + tag).toStdString());
    QCOMPARE(found.size(), std::size_t(1));
    QCOMPARE(found.front(), matchingPid);

    // A program whose file was replaced while it runs is still found by its name.
    QVERIFY(QFile::remove(matchingPath));
    found = platform::pidsByImageNameContaining(("FRAGMENTTOOL" + tag + ".EXE").toStdString());
    QCOMPARE(found.size(), std::size_t(1));
    QCOMPARE(found.front(), matchingPid);

    QVERIFY(platform::pidsByImageNameContaining("").empty());
    // The caller is never listed, not even when its own name holds the fragment.
    const std::string ownName =
        QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUpper().toStdString();
    for (platform::Pid pid : platform::pidsByImageNameContaining(ownName)) {
        QVERIFY(pid != platform::Pid(getpid()));
    }
    // The other program is not hidden from the scan, only its name differs.
    found = platform::pidsByImageNameContaining(("usfragment" + tag + "TOOL").toStdString());
    QCOMPARE(found.size(), std::size_t(1));
    QCOMPARE(found.front(), platform::Pid(other.processId()));

    QVERIFY(platform::killProcessTree(matchingPid));
    QVERIFY(platform::killProcessTree(other.processId()));
    QVERIFY(matching.waitForFinished(5000));
    QVERIFY(other.waitForFinished(5000));
}

void TestPlatformProcess::udpListenerTable()
{
    QUdpSocket v4;
    QVERIFY(v4.bind(QHostAddress::LocalHost, 0));
    const quint16 port4 = v4.localPort();
    QVERIFY(platform::isUdpPortListened(port4));

    QUdpSocket v6;
    if (v6.bind(QHostAddress::LocalHostIPv6, 0)) {
        QVERIFY(platform::isUdpPortListened(v6.localPort()));
    } else {
        qInfo("no IPv6 loopback here: IPv6 table not exercised");
    }

    v4.close();
    QVERIFY(!platform::isUdpPortListened(port4));
}

void TestPlatformProcess::addressFacingPeer()
{
    QCOMPARE(platform::localIPv4Facing("127.0.0.1"), std::string("127.0.0.1"));
    QCOMPARE(platform::localIPv4Facing("127.45.6.7"), std::string("127.0.0.1"));
    // A peer on no local subnet (or no address at all) falls back to the host-name lookup.
    QCOMPARE(platform::localIPv4Facing("not an address"), platform::hostIPv4());
    QCOMPARE(platform::localIPv4Facing("203.0.113.9"), platform::hostIPv4());
    QCOMPARE(QString::fromStdString(platform::hostName()), QSysInfo::machineHostName());
}

void TestPlatformProcess::crashHandlerWritesLineAndDiesBySignal()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString linePath = dir.filePath("crash.txt");

    int status = runCrashingChild(linePath, dereferenceNull);
    QVERIFY(WIFSIGNALED(status));
    QCOMPARE(WTERMSIG(status), SIGSEGV);
    QCOMPARE(readAll(linePath), QString("crash: signal %1 (SIGSEGV) address 0").arg(SIGSEGV));

    status = runCrashingChild(linePath, callAbort);
    QVERIFY(WIFSIGNALED(status));
    QCOMPARE(WTERMSIG(status), SIGABRT);
    QCOMPARE(readAll(linePath), QString("crash: signal %1 (SIGABRT) address 0").arg(SIGABRT));
}

void TestPlatformProcess::textHelpers()
{
    QCOMPARE(QString::fromUtf8(platform::kCrashBoxTitle), QString("程式崩溃"));
    QCOMPARE(QString::fromStdString(platform::crashBoxText(0xC0000005u, 0x7FF6A0B1u)),
             QString("<FONT size=4><div><b>对于发生的错误，表示诚挚的歉意</b><br/></div>"
                     "<div>错误代码：c0000005</div><div>错误地址：7ff6a0b1</div></FONT>"));
    QCOMPARE(QString::fromStdString(platform::crashBoxText(0, 0)).contains("错误代码：0</div>"), true);

    QVERIFY(platform::imageNameMatches("C:\\Program Files\\Microvirt\\MEmu\\MEmu.exe", "memu.exe"));
    QVERIFY(platform::imageNameMatches("/opt/farm/MEmu.exe", "MEmu.exe"));
    QVERIFY(!platform::imageNameMatches("/opt/farm/MEmuManage.exe", "MEmu.exe"));
    QVERIFY(!platform::imageNameMatches("/opt/farm/MEmu.exe", ""));

    using platform::programFolderOfCommandLine;
    QCOMPARE(programFolderOfCommandLine("\"C:\\LDPlayer\\LDPlayer4.0\\dnplayer.exe\" \"%1\""),
             std::string("C:\\LDPlayer\\LDPlayer4.0"));
    QCOMPARE(programFolderOfCommandLine("C:\\Program Files\\LD Player\\dnplayer.exe %1"),
             std::string("C:\\Program Files\\LD Player"));
    QCOMPARE(programFolderOfCommandLine("  C:\\dnplayer.exe"), std::string("C:\\"));
    QCOMPARE(programFolderOfCommandLine("dnplayer.exe"), std::string());
    QCOMPARE(programFolderOfCommandLine(""), std::string());
}

QTEST_GUILESS_MAIN(TestPlatformProcess)
#include "tst_platform_process.moc"
