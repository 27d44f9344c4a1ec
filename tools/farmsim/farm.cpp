#include "farm.h"

#include "farmknobs.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QThread>

#include <csignal>
#include <sys/types.h>

namespace farmsim {

namespace {

constexpr int kLockWaitMs = 15000;
constexpr int kStaleLockMs = 10000;

QByteArray readProcFile(qint64 pid, const char* name)
{
    QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

// State letter of /proc/<pid>/stat (the field after the parenthesised command name).
char processStateLetter(qint64 pid)
{
    const QByteArray stat = readProcFile(pid, "stat");
    const int close = stat.lastIndexOf(')');
    if (close < 0 || close + 2 >= stat.size())
        return 0;
    return stat.at(close + 2);
}

} // namespace

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

bool processMatches(qint64 pid, const QString& program, const QStringList& args)
{
    if (pid <= 0)
        return false;
    const char state = processStateLetter(pid);
    if (state == 0 || state == 'Z' || state == 'X')
        return false;
    QList<QByteArray> argv = readProcFile(pid, "cmdline").split('\0');
    if (!argv.isEmpty() && argv.last().isEmpty())
        argv.removeLast();
    if (argv.size() != args.size() + 1)
        return false;
    if (QFileInfo(QString::fromLocal8Bit(argv.at(0))).fileName() != program)
        return false;
    for (int i = 0; i < args.size(); ++i) {
        if (QString::fromLocal8Bit(argv.at(i + 1)) != args.at(i))
            return false;
    }
    return true;
}

bool processStopped(qint64 pid)
{
    const char state = processStateLetter(pid);
    return state == 'T' || state == 't';
}

Farm::Farm(QString dir) : m_dir(QDir(dir).absolutePath()) {}

Farm::~Farm()
{
    rollback();
}

QString Farm::locate(const QString& toolDir, QString* pErr)
{
    if (QFileInfo::exists(toolDir + '/' + kStateFile))
        return QDir(toolDir).absolutePath();
    QFile link(toolDir + '/' + kFarmLink);
    if (link.open(QIODevice::ReadOnly)) {
        const QString target = QString::fromUtf8(link.readAll()).trimmed();
        const QString dir = QDir(toolDir).absoluteFilePath(target);
        if (QFileInfo::exists(dir + '/' + kStateFile))
            return QDir(dir).absolutePath();
        *pErr = QStringLiteral("farm %1 named by %2 has no state file").arg(dir, link.fileName());
        return {};
    }
    // A tool copy kept elsewhere is pointed at its farm through the environment.
    const QString env = qEnvironmentVariable("FARMSIM_DIR");
    if (!env.isEmpty() && QFileInfo::exists(env + '/' + kStateFile))
        return QDir(env).absolutePath();
    *pErr = QStringLiteral("no farm: neither %1 nor %2 in %3").arg(kStateFile, kFarmLink, toolDir);
    return {};
}

QString Farm::stateFile() const
{
    return m_dir + '/' + kStateFile;
}

bool Farm::read(QString* pErr)
{
    QFile f(stateFile());
    if (!f.open(QIODevice::ReadOnly)) {
        *pErr = QStringLiteral("cannot open %1: %2").arg(f.fileName(), f.errorString());
        return false;
    }
    QJsonParseError perr{};
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &perr);
    if (!doc.isObject()) {
        *pErr = QStringLiteral("%1 is not a farm state file: %2").arg(f.fileName(), perr.errorString());
        return false;
    }
    m_root = doc.object();
    return true;
}

// QLockFile's own waiting backs off up to seconds between tries; tool calls hold the lock for
// about a millisecond, so short jittered retries keep many concurrent calls fast.
bool Farm::lock(QString* pErr)
{
    m_pLock = std::make_unique<QLockFile>(stateFile() + QStringLiteral(".lock"));
    m_pLock->setStaleLockTime(kStaleLockMs);
    QElapsedTimer t;
    t.start();
    while (!m_pLock->tryLock(0)) {
        if (m_pLock->error() != QLockFile::LockFailedError || t.elapsed() > kLockWaitMs) {
            *pErr = QStringLiteral("farm state %1 stays locked").arg(stateFile());
            m_pLock.reset();
            return false;
        }
        QThread::msleep(2 + QRandomGenerator::global()->bounded(8));
    }
    return true;
}

bool Farm::begin(QString* pErr)
{
    if (!lock(pErr))
        return false;
    if (!read(pErr)) {
        rollback();
        return false;
    }
    return true;
}

bool Farm::commit(QString* pErr)
{
    QSaveFile f(stateFile());
    bool ok = f.open(QIODevice::WriteOnly);
    if (ok) {
        f.write(QJsonDocument(m_root).toJson(QJsonDocument::Indented));
        ok = f.commit();
    }
    if (!ok)
        *pErr = QStringLiteral("cannot write %1: %2").arg(stateFile(), f.errorString());
    rollback();
    return ok;
}

void Farm::rollback()
{
    if (m_pLock)
        m_pLock->unlock();
    m_pLock.reset();
}

bool Farm::create(const QJsonObject& root, QString* pErr)
{
    if (!lock(pErr))
        return false;
    m_root = root;
    return commit(pErr);
}

Product Farm::product() const
{
    return m_root.value("product").toString() == QLatin1String("ldplayer") ? Product::LdPlayer
                                                                           : Product::MEmu;
}

QJsonArray Farm::instances() const
{
    return m_root.value("instances").toArray();
}

int Farm::count() const
{
    return instances().size();
}

QJsonObject Farm::instance(int i) const
{
    return instances().at(i).toObject();
}

void Farm::setInstance(int i, const QJsonObject& rec)
{
    QJsonArray a = instances();
    a.replace(i, rec);
    m_root.insert("instances", a);
}

void Farm::appendInstance(const QJsonObject& rec)
{
    QJsonArray a = instances();
    a.append(rec);
    m_root.insert("instances", a);
}

void Farm::removeInstance(int i)
{
    QJsonArray a = instances();
    a.removeAt(i);
    m_root.insert("instances", a);
}

int Farm::findIndex(const QString& idx) const
{
    const QJsonArray a = instances();
    for (int i = 0; i < a.size(); ++i) {
        if (a.at(i).toObject().value("index").toString() == idx)
            return i;
    }
    return -1;
}

int Farm::findPort(int port) const
{
    const QJsonArray a = instances();
    for (int i = 0; i < a.size(); ++i) {
        if (a.at(i).toObject().value("port").toInt() == port)
            return i;
    }
    return -1;
}

QJsonValue Farm::knob(int i, const QString& key) const
{
    if (i >= 0) {
        const QJsonValue v = instance(i).value("knobs").toObject().value(key);
        if (!v.isUndefined())
            return v;
    }
    const QJsonValue v = m_root.value("knobs").toObject().value(key);
    if (!v.isUndefined())
        return v;
    return knobDefault(key);
}

QString Farm::instanceProgram() const
{
    return product() == Product::MEmu ? kMEmuExe : kDnPlayerExe;
}

QStringList Farm::instanceArgs(const QString& idx) const
{
    if (product() == Product::MEmu)
        return {idx};
    return {QStringLiteral("index=") + idx};
}

qint64 Farm::livePid(int i) const
{
    const QJsonObject rec = instance(i);
    const qint64 pid = rec.value("pid").toVariant().toLongLong();
    if (processMatches(pid, instanceProgram(), instanceArgs(rec.value("index").toString())))
        return pid;
    return 0;
}

bool Farm::isRunning(int i) const
{
    if (livePid(i) > 0)
        return true;
    return knobBool(i, "unkillable") && instance(i).value("pid").toVariant().toLongLong() > 0;
}

bool Farm::isHung(int i) const
{
    const qint64 pid = livePid(i);
    return pid > 0 && processStopped(pid);
}

bool Farm::isBooted(int i) const
{
    if (!isRunning(i) || isHung(i) || knobBool(i, "bootFail"))
        return false;
    const qint64 launched = instance(i).value("launchMs").toVariant().toLongLong();
    return nowMs() - launched >= knobInt(i, "bootDelayMs");
}

qint64 Farm::reportedPid(int i) const
{
    return isRunning(i) ? instance(i).value("pid").toVariant().toLongLong() : 0;
}

void slowTool(const QString& farmDir, const QString& idx, int port)
{
    Farm farm(farmDir);
    QString err;
    if (!farm.read(&err))
        return;
    const int i = !idx.isEmpty() ? farm.findIndex(idx) : port > 0 ? farm.findPort(port) : -1;
    const int ms = farm.knobInt(i, "toolDelayMs");
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

void slowListing(const QString& farmDir)
{
    Farm farm(farmDir);
    QString err;
    if (!farm.read(&err))
        return;
    const int ms = farm.knobInt(-1, "listDelayMs");
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

QString Farm::deviceRoot(const QString& idx) const
{
    return m_dir + '/' + kDeviceDir + '/' + idx;
}

} // namespace farmsim
