// PatchRun: the updater. Started without arguments from the program directory after the checker
// found an update: copies the files of the update folder into "TempDldFile", writes the list
// "SerialLizeFile.dat" with the calling program as host, and starts UpdateShifter detached.
#include "shifteros.h"
#include "updaterserializer.h"
#include "updatetools.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>

namespace {

const QString kTool = QStringLiteral("PatchRun");

struct struTask
{
    QString caller;
    QString source;
    QString version;
};

std::string toAnsi(const QString& text)
{
    return shifter::os::utf16ToAnsi(text.toStdU16String());
}

QString fileDigest(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (file.open(QIODevice::ReadOnly))
        hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

bool readTask(const QString& appDir, struTask& task, QString& error)
{
    const QString path = appDir + QLatin1Char('/') + UpdateTools::taskFileName();
    if (!QFileInfo::exists(path)) {
        error = QStringLiteral("no pending update (%1 missing)").arg(path);
        return false;
    }
    const QSettings settings(path, QSettings::IniFormat);
    task.caller = settings.value(QStringLiteral("task/caller")).toString();
    task.source = settings.value(QStringLiteral("task/source")).toString();
    task.version = settings.value(QStringLiteral("task/version")).toString();
    if (task.caller.isEmpty() || !QFileInfo(task.source).isDir()) {
        error = QStringLiteral("task file incomplete or update folder \"%1\" missing").arg(task.source);
        return false;
    }
    return true;
}

// Copies the update folder's files into the download directory and lists them.
bool download(const struTask& task, const QString& downloadDir, CUpdaterSerializer& list, QString& error)
{
    QDir(downloadDir).removeRecursively();
    if (!QDir().mkpath(downloadDir)) {
        error = QStringLiteral("cannot create %1").arg(downloadDir);
        return false;
    }
    const QDir source(task.source);
    for (const QString& sub : source.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        UpdateTools::logLine(QFileInfo(downloadDir).absolutePath(), kTool,
                             QStringLiteral("folder %1 of the update is not carried (files only)").arg(sub));
    const QFileInfoList files =
        source.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& info : files) {
        const QString target = downloadDir + QLatin1Char('/') + info.fileName();
        if (!QFile::copy(info.absoluteFilePath(), target)) {
            error = QStringLiteral("cannot copy %1").arg(info.absoluteFilePath());
            return false;
        }
        struUpdateEntry entry;
        entry.text1 = toAnsi(task.version);
        entry.name = toAnsi(info.fileName());
        entry.value = static_cast<int32_t>(qMin<qint64>(info.size(), INT32_MAX));
        entry.text3 = toAnsi(QDir::toNativeSeparators(info.absoluteFilePath()));
        entry.text4 = toAnsi(fileDigest(target));
        list.m_entries.push_back(entry);
    }
    return true;
}

QString shifterPath(const QString& appDir)
{
#if defined(Q_OS_WIN)
    return appDir + QStringLiteral("/UpdateShifter.exe");
#else
    return appDir + QStringLiteral("/UpdateShifter");
#endif
}

bool handOver(const QString& appDir, QString& error)
{
    struTask task;
    if (!readTask(appDir, task, error))
        return false;
    const QString base = QDir::toNativeSeparators(appDir + QLatin1Char('/'));
    CUpdaterSerializer list(base.toStdU16String());
    list.m_hostProgram = QDir::toNativeSeparators(task.caller).toStdU16String();
    if (!download(task, appDir + QStringLiteral("/TempDldFile"), list, error))
        return false;
    if (!list.storeList()) {
        error = QString::fromStdString(list.errorText());
        return false;
    }
    // UpdateShifter inherits this environment, and with it the host's own arguments
    // (TOVIA_HOST_ARGS) for the restart.
    QProcess shifter;
    shifter.setProgram(QDir::toNativeSeparators(shifterPath(appDir)));
    shifter.setWorkingDirectory(appDir);
    if (!shifter.startDetached()) {
        error = QStringLiteral("cannot start %1").arg(shifterPath(appDir));
        return false;
    }
    QFile::remove(appDir + QLatin1Char('/') + UpdateTools::taskFileName());
    error = QStringLiteral("%1 file(s) of version %2 handed to UpdateShifter, host %3")
                .arg(list.m_entries.size())
                .arg(task.version, task.caller);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QString appDir = QCoreApplication::applicationDirPath();
    QString outcome;
    const bool ok = handOver(appDir, outcome);
    UpdateTools::logLine(appDir, kTool, outcome);
    return ok ? 0 : 1;
}
