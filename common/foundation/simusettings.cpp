#include "simusettings.h"

#include "jsoncodec.h"
#include "storedfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QRecursiveMutex>
#include <QSettings>
#include <QUrl>
#include <QtDebug>

namespace {

const char* const kDir = "common/dir";
const char* const kXiaoYaoDir = "common/XiaoYaoDir";
const char* const kLeiDianDir = "common/LeiDianDir";
const char* const kPcName = "common/pcName";
const char* const kPcNickName = "common/pcNickName";
const char* const kSimuType = "common/simuType";
const char* const kRunLimit = "common/runLimit";
const char* const kCheckTimeSpan = "common/checkTimeSpan";
const char* const kStartupTimeout = "common/startupTimeout";
const char* const kScreenshotTimeSpan = "common/screenshotTimeSpan";
const char* const kDaemonModel = "common/daemonModel";
const char* const kIsDefAutoLogin = "common/IsDefAutoLogin";
const char* const kDaemonList = "daemon/list";
const char* const kRunningList = "daemon/runningList";
const char* const kAcceptUnsigned = "security/acceptUnsigned";

QMutex g_dataDirMutex;
QString g_dataDir;

// Serialises every multi-step update of the file (list edits, record read-modify-write). Recursive,
// so that the change function of updateSimuRecord may itself edit a list.
QRecursiveMutex g_updateMutex;

QString recordKey(const QString& memuIdx)
{
    return QStringLiteral("simu2/%1").arg(memuIdx);
}

// The settings file, put back from its backup first when it is empty or unreadable. A file that
// someone else wrote (an installer, an older version) becomes owner-only at its first use.
QString readablePath()
{
    static QMutex s_mutex;
    static QString s_private;
    const QString path = SimuSettings::iniPath();
    StoredFile::restoreFromBackup(path);
    QMutexLocker lock(&s_mutex);
    if (path != s_private && QFileInfo::exists(path) && StoredFile::makePrivate(path))
        s_private = path;
    return path;
}

QVariant readKey(const QString& key, const QVariant& def)
{
    QSettings s(readablePath(), QSettings::IniFormat);
    return s.value(key, def);
}

// QSettings replaces the file through a new file of its own and keeps the file's permissions; the
// previous content is kept as the backup first, and a write that did not reach the disk is logged.
class SettingsWriter
{
public:
    SettingsWriter() : m_lock(&g_updateMutex), m_path(prepare()), m_settings(m_path, QSettings::IniFormat) {}
    ~SettingsWriter()
    {
        m_settings.sync();
        if (m_settings.status() != QSettings::NoError)
            qWarning().noquote() << "settings" << m_path
                                 << "not written (disk full or not writable): it keeps its previous content";
    }
    QSettings& settings() { return m_settings; }

private:
    static QString prepare()
    {
        const QString path = readablePath();
        StoredFile::keepBackup(path);
        if (!StoredFile::ensurePrivateFile(path) || !StoredFile::makePrivate(path))
            qWarning().noquote() << "settings" << path << "cannot be made owner-only";
        return path;
    }

    QMutexLocker m_lock;
    QString m_path;
    QSettings m_settings;
};

void writeKey(const QString& key, const QVariant& value)
{
    SettingsWriter w;
    w.settings().setValue(key, value);
}

CCommResult textResult(const char* key)
{
    CCommResult r;
    r.str = readKey(QLatin1String(key), QString()).toString();
    return r;
}

CCommResult intResult(const char* key, int def)
{
    CCommResult r;
    r.iExtraRet = readKey(QLatin1String(key), def).toInt();
    return r;
}

QString ensureDir(const QString& path)
{
    QDir().mkpath(path);
    return path;
}

} // namespace

void SimuSettings::setDataDir(const QString& dir)
{
    QMutexLocker lock(&g_dataDirMutex);
    g_dataDir = dir.isEmpty() ? QString() : QDir::cleanPath(QDir(dir).absolutePath());
}

QString SimuSettings::dataDir()
{
    QMutexLocker lock(&g_dataDirMutex);
    if (g_dataDir.isEmpty()) {
        if (QCoreApplication::instance())
            return QCoreApplication::applicationDirPath();
        return QDir::currentPath();
    }
    return g_dataDir;
}

bool SimuSettings::applyHomeArgument(const QStringList& args)
{
    const QString opt = QStringLiteral("--home");
    for (int i = 0; i < args.size(); ++i) {
        QString dir;
        if (args.at(i) == opt) {
            if (i + 1 >= args.size() || args.at(i + 1).isEmpty())
                return false;
            dir = args.at(i + 1);
        } else if (args.at(i).startsWith(opt + QLatin1Char('='))) {
            dir = args.at(i).mid(opt.size() + 1);
            if (dir.isEmpty())
                return false;
        } else {
            continue;
        }
        ensureDir(dir);
        setDataDir(dir);
        return true;
    }
    return true;
}

QString SimuSettings::iniPath()
{
    return dataDir() + QStringLiteral("/simusInfo.ini");
}

QVariant SimuSettings::value(const QString& key, const QVariant& defaultValue)
{
    return readKey(key, defaultValue);
}

void SimuSettings::setValue(const QString& key, const QVariant& value)
{
    writeKey(key, value);
}

CCommResult SimuSettings::getDir()
{
    return textResult(kDir);
}

void SimuSettings::setDir(const QString& dir)
{
    writeKey(QLatin1String(kDir), dir);
}

CCommResult SimuSettings::listSimuDirs(QStringList& names)
{
    CCommResult r;
    const QString dir = getDir().str;
    // An unset product folder lists nothing (QDir("") would be the working directory).
    if (!dir.isEmpty())
        names = QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    else
        names.clear();
    r.iExtraRet = names.size();
    return r;
}

CCommResult SimuSettings::getXiaoYaoDir()
{
    return textResult(kXiaoYaoDir);
}

void SimuSettings::setXiaoYaoDir(const QString& dir)
{
    writeKey(QLatin1String(kXiaoYaoDir), dir);
}

CCommResult SimuSettings::getLeiDianDir()
{
    return textResult(kLeiDianDir);
}

void SimuSettings::setLeiDianDir(const QString& dir)
{
    writeKey(QLatin1String(kLeiDianDir), dir);
}

CCommResult SimuSettings::getProductDir(int simuType)
{
    if (simuType == eProductMEmu)
        return getXiaoYaoDir();
    if (simuType == eProductLdPlayer)
        return getLeiDianDir();
    return CCommResult();
}

void SimuSettings::setProductDir(int simuType, const QString& dir)
{
    if (simuType == eProductMEmu)
        setXiaoYaoDir(dir);
    else if (simuType == eProductLdPlayer)
        setLeiDianDir(dir);
}

CCommResult SimuSettings::getPcName()
{
    return textResult(kPcName);
}

void SimuSettings::setPcName(const QString& name)
{
    writeKey(QLatin1String(kPcName), name);
}

CCommResult SimuSettings::getPcNickName()
{
    return textResult(kPcNickName);
}

void SimuSettings::setPcNickName(const QString& name)
{
    writeKey(QLatin1String(kPcNickName), name);
}

CCommResult SimuSettings::getSimuType()
{
    return intResult(kSimuType, 0);
}

void SimuSettings::setSimuType(int type)
{
    writeKey(QLatin1String(kSimuType), type);
}

CCommResult SimuSettings::getRunLimit()
{
    return intResult(kRunLimit, 3);
}

void SimuSettings::setRunLimit(int limit)
{
    writeKey(QLatin1String(kRunLimit), limit);
}

CCommResult SimuSettings::getDaemonModel()
{
    return intResult(kDaemonModel, 100);
}

void SimuSettings::setDaemonModel(int model)
{
    writeKey(QLatin1String(kDaemonModel), model);
}

CCommResult SimuSettings::getCheckTimeSpan()
{
    return intResult(kCheckTimeSpan, 10);
}

CCommResult SimuSettings::getStartupTimeout()
{
    return intResult(kStartupTimeout, kDefaultStartupTimeout);
}

CCommResult SimuSettings::getScreenshotTimeSpan()
{
    return intResult(kScreenshotTimeSpan, 1000);
}

bool SimuSettings::getIsDefAutoLogin()
{
    return readKey(QLatin1String(kIsDefAutoLogin), true).toBool();
}

bool SimuSettings::getAcceptUnsigned()
{
    return readKey(QLatin1String(kAcceptUnsigned), 0).toInt() == 1;
}

void SimuSettings::setAcceptUnsigned(bool accept)
{
    writeKey(QLatin1String(kAcceptUnsigned), accept ? 1 : 0);
}

void SimuSettings::storeSimuRecord(const struSimuRecord& rec)
{
    writeKey(recordKey(rec.memuIdx), QString::fromUtf8(JsonCodec::serializeSimuRecord(rec)));
}

CCommResult SimuSettings::loadSimuRecord(const QString& memuIdx, struSimuRecord& rec)
{
    const QString text = readKey(recordKey(memuIdx), QString()).toString();
    return JsonCodec::parseSimuRecord(text.toUtf8(), rec);
}

struSimuRecord SimuSettings::storedSimuRecord(const QString& memuIdx)
{
    struSimuRecord rec;
    rec.memuIdx = memuIdx;
    const QString text = readKey(recordKey(memuIdx), QString()).toString();
    if (!text.isEmpty())
        JsonCodec::parseSimuRecord(text.toUtf8(), rec);
    return rec;
}

struSimuRecord SimuSettings::updateSimuRecord(const QString& memuIdx,
                                              const std::function<void(struSimuRecord&)>& change)
{
    SettingsWriter w;
    QSettings& s = w.settings();
    const QString key = recordKey(memuIdx);
    struSimuRecord rec;
    rec.memuIdx = memuIdx;
    // A record never stored starts from the initial record; a stored, broken one warns (parser) and
    // leaves the initial record as it is.
    if (s.contains(key))
        JsonCodec::parseSimuRecord(s.value(key).toString().toUtf8(), rec);
    if (change)
        change(rec);
    rec.memuIdx = memuIdx;
    s.setValue(key, QString::fromUtf8(JsonCodec::serializeSimuRecord(rec)));
    return rec;
}

QStringList SimuSettings::getDaemonList()
{
    return readKey(QLatin1String(kDaemonList), QString())
        .toString()
        .split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

void SimuSettings::setDaemonList(const QStringList& list)
{
    QMutexLocker lock(&g_updateMutex);
    writeKey(QLatin1String(kDaemonList), list.join(QLatin1Char(';')));
}

void SimuSettings::addDaemon(const QString& memuIdx)
{
    QMutexLocker lock(&g_updateMutex);
    QStringList list = getDaemonList();
    if (!list.contains(memuIdx)) {
        list.append(memuIdx);
        writeKey(QLatin1String(kDaemonList), list.join(QLatin1Char(';')));
    }
}

void SimuSettings::removeDaemon(const QString& memuIdx)
{
    QMutexLocker lock(&g_updateMutex);
    QStringList list = getDaemonList();
    list.removeAll(memuIdx);
    writeKey(QLatin1String(kDaemonList), list.join(QLatin1Char(';')));
}

QStringList SimuSettings::getRunningList()
{
    return readKey(QLatin1String(kRunningList), QStringList()).toStringList();
}

void SimuSettings::setRunningList(const QStringList& list)
{
    QMutexLocker lock(&g_updateMutex);
    writeKey(QLatin1String(kRunningList), list);
}

void SimuSettings::addRunningList(const QString& memuIdx)
{
    QMutexLocker lock(&g_updateMutex);
    QStringList list = getRunningList();
    if (!list.contains(memuIdx)) {
        list.append(memuIdx);
        writeKey(QLatin1String(kRunningList), list);
    }
}

QString SimuSettings::screenshotDir()
{
    return ensureDir(dataDir() + QStringLiteral("/screenshot")) + QLatin1Char('/');
}

// An index names its files as it is when it is a plain name; any other character (a separator, a
// quote) is percent-encoded, so that no index can name a file outside the folder.
static QString indexFileStem(const QString& memuIdx)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(memuIdx));
}

QString SimuSettings::screenshotPath(const QString& memuIdx)
{
    return screenshotDir() + indexFileStem(memuIdx) + QStringLiteral(".png");
}

QString SimuSettings::screenshotBakPath(const QString& memuIdx)
{
    return screenshotDir() + indexFileStem(memuIdx) + QStringLiteral("_bak.png");
}

QString SimuSettings::dwnPath(const QString& fileName)
{
    const QString dir = dataDir() + QStringLiteral("/dwn/");
    if (!QFileInfo::exists(dir)) {
        qWarning("make dir: %s", qUtf8Printable(dir));
        QDir().mkpath(dir);
    }
    // Only the file's own name counts: a name sent by a peer cannot leave the download folder.
    QString name = QFileInfo(QString(fileName).replace(QLatin1Char('\\'), QLatin1Char('/'))).fileName();
    if (name.isEmpty() || name == QLatin1String("..") || name == QLatin1String("."))
        name = QStringLiteral("rcv.apk");
    return dir + name;
}

QString SimuSettings::logDir()
{
    return ensureDir(dataDir() + QStringLiteral("/log"));
}

QString SimuSettings::adbPath()
{
    return getDir().str + QStringLiteral("/adb.exe");
}
