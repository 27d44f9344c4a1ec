#include "farmfixture.h"

#include "platform.h"
#include "simusettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QProcess>
#include <QThread>

#include <functional>

#include <signal.h>

namespace {

constexpr int kRunMs = 30000;

// argv[0] of a process, empty when it cannot be read.
QString programOf(const QString& pidDir)
{
    QFile f(pidDir + QStringLiteral("/cmdline"));
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray all = f.readAll();
    return QString::fromLocal8Bit(all.left(all.indexOf('\0')));
}

QByteArray readWhole(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool waitFor(const std::function<bool()>& pred, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

FarmFixture::FarmFixture() = default;

FarmFixture::~FarmFixture()
{
    if (m_pRoot)
        killFarmProcesses();
}

QString FarmFixture::farmsimPath()
{
    const QString bin = qEnvironmentVariable("TOVIA_BIN_DIR");
    const QString path = bin + QStringLiteral("/farmsim");
    return !bin.isEmpty() && QFileInfo(path).isExecutable() ? path : QString();
}

bool FarmFixture::init(Product product, int instances)
{
    const QString farmsim = farmsimPath();
    if (farmsim.isEmpty()) {
        m_error = QStringLiteral("farmsim not found: set TOVIA_BIN_DIR to the folder of the built programs");
        return false;
    }
    m_product = product;
    m_pRoot = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/toviafarm-XXXXXX"));
    if (!m_pRoot->isValid()) {
        m_error = QStringLiteral("cannot make a temporary folder: ") + m_pRoot->errorString();
        return false;
    }
    QDir().mkpath(homeDir());
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(farmsim, {QStringLiteral("init"), QStringLiteral("--product"),
                      product == MEmu ? QStringLiteral("memu") : QStringLiteral("ldplayer"),
                      QStringLiteral("--instances"), QString::number(instances), installDir()});
    if (!p.waitForFinished(kRunMs) || p.exitCode() != 0) {
        m_error = QStringLiteral("farmsim init failed: ") + QString::fromUtf8(p.readAll());
        return false;
    }

    // Instance windows are looked up by title, and every farm uses the same titles.
    XvfbServer::isolateDisplay();
    SimuSettings::setDataDir(homeDir());
    SimuSettings::setDir(installDir());
    SimuSettings::setSimuType(product);
    SimuSettings::setValue(QStringLiteral("common/startupTimeout"), kStartupPolls);
    SimuSettings::setValue(QStringLiteral("common/screenshotTimeSpan"), 10);
    SimuSettings::setValue(QStringLiteral("tuning/sleepStepMs"), kSleepStepMs);
    SimuSettings::setValue(QStringLiteral("tuning/toolTimeoutMs"), kToolTimeoutMs);
    SimuSettings::setValue(QStringLiteral("tuning/adbTimeoutMs"), kToolTimeoutMs);
    return true;
}

QString FarmFixture::rootDir() const
{
    return m_pRoot ? m_pRoot->path() : QString();
}

QString FarmFixture::homeDir() const
{
    return rootDir() + QStringLiteral("/home");
}

QString FarmFixture::installDir() const
{
    return rootDir() + (m_product == MEmu ? QStringLiteral("/MEmu") : QStringLiteral("/LDPlayer"));
}

QString FarmFixture::memuFile(const QString& memuIdx) const
{
    return installDir() + QStringLiteral("/MemuHyperv VMs/%1/%1.memu").arg(memuIdx);
}

bool FarmFixture::setKnob(const QString& knob, const QString& value, const QString& memuIdx)
{
    QStringList args{QStringLiteral("set"), installDir()};
    if (!memuIdx.isEmpty())
        args << QStringLiteral("--instance") << memuIdx;
    args << knob + QLatin1Char('=') + value;
    QProcess p;
    p.start(farmsimPath(), args);
    const bool ok = p.waitForFinished(kRunMs) && p.exitCode() == 0;
    if (!ok)
        m_error = QStringLiteral("farmsim set failed: ") + QString::fromUtf8(p.readAllStandardError());
    return ok;
}

int FarmFixture::runTool(const QString& tool, const QStringList& args, QString* pOut, QString* pErr) const
{
    const QString dir =
        tool == QLatin1String("MEmuManage.exe") ? rootDir() + QStringLiteral("/MEmuHyperv") : installDir();
    QProcess p;
    p.start(dir + QLatin1Char('/') + tool, args);
    if (!p.waitForFinished(kRunMs))
        return -1;
    if (pOut)
        *pOut = QString::fromUtf8(p.readAllStandardOutput());
    if (pErr)
        *pErr = QString::fromUtf8(p.readAllStandardError());
    return p.exitCode();
}

QJsonObject FarmFixture::status() const
{
    QProcess p;
    p.start(farmsimPath(), {QStringLiteral("status"), installDir()});
    if (!p.waitForFinished(kRunMs))
        return QJsonObject();
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

QJsonObject FarmFixture::instanceStatus(const QString& memuIdx) const
{
    const QJsonArray list = status().value(QStringLiteral("instances")).toArray();
    for (const QJsonValue& v : list) {
        if (v.toObject().value(QStringLiteral("index")).toString() == memuIdx)
            return v.toObject();
    }
    return QJsonObject();
}

QStringList FarmFixture::indexes() const
{
    QStringList idx;
    for (const QJsonValue& v : status().value(QStringLiteral("instances")).toArray())
        idx << v.toObject().value(QStringLiteral("index")).toString();
    return idx;
}

bool FarmFixture::startInstance(const QString& memuIdx, int timeoutMs)
{
    // The instance's own messages are kept, so a start that does not come up can say why.
    const QString log = rootDir() + QStringLiteral("/start-%1.log").arg(memuIdx);
    QProcess p;
    p.setStandardInputFile(QProcess::nullDevice());
    p.setStandardOutputFile(log, QIODevice::Append);
    p.setStandardErrorFile(log, QIODevice::Append);
    if (m_product == MEmu) {
        p.setProgram(installDir() + QStringLiteral("/MEmu.exe"));
        p.setArguments({memuIdx});
    } else {
        p.setProgram(installDir() + QStringLiteral("/dnconsole.exe"));
        p.setArguments({QStringLiteral("launch"), QStringLiteral("--index"), memuIdx});
    }
    qint64 pid = 0;
    if (!p.startDetached(&pid)) {
        m_error = QStringLiteral("cannot start %1").arg(p.program());
        qWarning().noquote() << m_error;
        return false;
    }
    if (waitInstance(memuIdx, QStringLiteral("running"), true, timeoutMs))
        return true;
    m_error =
        QStringLiteral("instance %1 (process %2, %3) not running after %4 ms; status %5; output: %6")
            .arg(memuIdx)
            .arg(pid)
            .arg(platform::processAlive(pid) ? QStringLiteral("alive") : QStringLiteral("gone"))
            .arg(timeoutMs)
            .arg(QString::fromUtf8(QJsonDocument(instanceStatus(memuIdx)).toJson(QJsonDocument::Compact)),
                 QString::fromUtf8(readWhole(log)));
    qWarning().noquote() << m_error;
    return false;
}

bool FarmFixture::waitInstance(const QString& memuIdx, const QString& key, bool value, int timeoutMs) const
{
    return waitFor([&] { return instanceStatus(memuIdx).value(key).toBool() == value; }, timeoutMs);
}

int FarmFixture::killFarmProcesses()
{
    if (!m_pRoot)
        return 0;
    const QString root = QDir(rootDir()).canonicalPath() + QLatin1Char('/');
    const QString rawRoot = rootDir() + QLatin1Char('/');
    int found = 0;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& e : entries) {
        bool ok = false;
        const qint64 pid = e.toLongLong(&ok);
        if (!ok)
            continue;
        const QString program = programOf(QStringLiteral("/proc/") + e);
        if (program.startsWith(root) || program.startsWith(rawRoot)) {
            ++found;
            platform::killProcessTree(pid);
        }
    }
    return found;
}

QJsonArray FarmFixture::events(const QString& memuIdx) const
{
    QJsonArray all;
    const QByteArray bytes = readWhole(installDir() + QStringLiteral("/.farmsim-devices/") + memuIdx +
                                       QStringLiteral("/events.jsonl"));
    for (const QByteArray& line : bytes.split('\n')) {
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        if (doc.isObject())
            all.append(doc.object());
    }
    return all;
}

QList<qint64> FarmFixture::shellPids(const QString& serial) const
{
    QList<qint64> pids;
    if (!m_pRoot)
        return pids;
    const QString adb = installDir() + QStringLiteral("/adb.exe");
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& e : entries) {
        bool ok = false;
        const qint64 pid = e.toLongLong(&ok);
        QList<QByteArray> argv =
            readWhole(QStringLiteral("/proc/") + e + QStringLiteral("/cmdline")).split('\0');
        if (!argv.isEmpty() && argv.last().isEmpty())
            argv.removeLast();
        if (ok && argv.size() == 4 && QString::fromLocal8Bit(argv.at(0)) == adb && argv.at(1) == "-s" &&
            argv.at(3) == "shell" && (serial.isEmpty() || QString::fromLocal8Bit(argv.at(2)) == serial))
            pids << pid;
    }
    return pids;
}

// ---------------------------------------------------------------------------------------------

XvfbServer::XvfbServer() = default;

XvfbServer::~XvfbServer()
{
    if (m_pid > 0) {
        // Asked to end, Xvfb removes its lock file and socket; the watcher then ends by itself.
        bool ok = false;
        const qint64 server =
            m_pDir ? readWhole(m_pDir->filePath(QStringLiteral("pid"))).trimmed().toLongLong(&ok) : 0;
        if (ok && server > 0 && platform::processAlive(server)) {
            ::kill(static_cast<pid_t>(server), SIGTERM);
            waitFor([&] { return !platform::processAlive(server); }, 3000);
        }
        platform::killProcessTree(m_pid);
    }
    if (m_display.isEmpty())
        return;
    if (m_hadDisplay)
        qputenv("DISPLAY", m_oldDisplay);
    else
        qunsetenv("DISPLAY");
}

bool XvfbServer::start()
{
    QString xvfb;
    for (const QString& dir :
         {QStringLiteral("/usr/bin"), QStringLiteral("/usr/local/bin"), QStringLiteral("/bin")}) {
        if (QFileInfo(dir + QStringLiteral("/Xvfb")).isExecutable())
            xvfb = dir + QStringLiteral("/Xvfb");
    }
    if (xvfb.isEmpty()) {
        m_error = QStringLiteral("Xvfb is not installed (package xvfb)");
        return false;
    }
    // The display is named, not left to Xvfb's own choice (-displayfd alone): a server in another
    // network namespace does not see this namespace's abstract sockets, takes the first number whose
    // socket looks free to it, and unlinks the socket file of the server that has it. A named display
    // is guarded by its lock file in /tmp, which every namespace shares; a number in use makes the
    // server end at once, and the next one is tried. The numbers start far above the ones servers
    // that choose by themselves take.
    const int first = kFirstDisplay + int(QCoreApplication::applicationPid() % 2000) * 4;
    QDeadlineTimer deadline(kStartMs);
    for (int n = first; n < first + kDisplayTries && !deadline.hasExpired(); ++n) {
        if (startOn(xvfb, n, deadline))
            return true;
    }
    if (m_error.isEmpty())
        m_error = QStringLiteral("Xvfb did not come up within %1 ms").arg(kStartMs);
    return false;
}

bool XvfbServer::startOn(const QString& xvfb, int n, const QDeadlineTimer& deadline)
{
    m_pDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/toviaxvfb-XXXXXX"));
    if (!m_pDir->isValid()) {
        m_error = QStringLiteral("cannot make a temporary folder: ") + m_pDir->errorString();
        return false;
    }
    // -noreset: by default the server resets whenever its last client leaves, and a client that
    // connects during the reset is dropped (an instance then dies in its start-up). The
    // shell stays as a watcher: when this process is gone (crashed, killed on a time-out) it ends
    // the server and removes the folder, so neither outlives its test. (-displayfd would tell when
    // the server is up, but with it Xvfb takes no lock file.)
    static const QString kScript = QStringLiteral(
        "\"$1\" \":$5\" -nolisten tcp -noreset -screen 0 800x600x24 </dev/null >/dev/null 2>&1 &\n"
        "x=$!\n"
        "echo $x >\"$3\"\n"
        "while kill -0 \"$2\" 2>/dev/null && kill -0 $x 2>/dev/null; do sleep 0.5; done\n"
        "kill $x 2>/dev/null\n"
        "rm -rf \"$4\"\n");
    QProcess p;
    p.setProgram(QStringLiteral("/bin/sh"));
    p.setArguments({QStringLiteral("-c"), kScript, QStringLiteral("xvfb-watch"), xvfb,
                    QString::number(QCoreApplication::applicationPid()),
                    m_pDir->filePath(QStringLiteral("pid")), m_pDir->path(), QString::number(n)});
    p.setStandardInputFile(QProcess::nullDevice());
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    if (!p.startDetached(&m_pid)) {
        m_error = QStringLiteral("Xvfb did not start");
        return false;
    }
    // Up once the display's lock names this server and its socket takes connections; a number in
    // use ends the server (and the watcher) at once.
    const QString socketPath = QStringLiteral("/tmp/.X11-unix/X%1").arg(n);
    const QString lockPath = QStringLiteral("/tmp/.X%1-lock").arg(n);
    const QString pidPath = m_pDir->filePath(QStringLiteral("pid"));
    const auto accepts = [&] {
        const QByteArray server = readWhole(pidPath).trimmed();
        if (server.isEmpty() || readWhole(lockPath).trimmed() != server)
            return false;
        QLocalSocket probe;
        probe.connectToServer(socketPath);
        return probe.waitForConnected(200);
    };
    bool alive = true;
    const bool up = waitFor(
        [&] {
            alive = platform::processAlive(m_pid);
            return !alive || accepts();
        },
        int(qMax<qint64>(0, deadline.remainingTime())));
    if (!up || !alive) {
        // Display n is taken, or the time is up.
        platform::killProcessTree(m_pid);
        m_pid = 0;
        return false;
    }
    m_display = QStringLiteral(":%1").arg(n);
    m_hadDisplay = qEnvironmentVariableIsSet("DISPLAY");
    m_oldDisplay = qgetenv("DISPLAY");
    qputenv("DISPLAY", m_display.toLocal8Bit());
    return true;
}

QString XvfbServer::isolateDisplay()
{
    static std::unique_ptr<XvfbServer> s_pOwn;
    static bool s_tried = false;
    if (!s_tried && !qEnvironmentVariableIsEmpty("DISPLAY")) {
        s_tried = true;
        auto pServer = std::make_unique<XvfbServer>();
        if (pServer->start())
            s_pOwn = std::move(pServer);
        else
            qWarning().noquote() << "no display of this test's own, windows of tests running alongside are "
                                    "visible:"
                                 << pServer->error();
    }
    return qEnvironmentVariable("DISPLAY");
}
