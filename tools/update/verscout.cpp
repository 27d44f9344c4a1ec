// VerScout: the update checker. Command line: "<self>" <productNo> "<caller's executable>".
// Compares the version installed beside the caller with the one published in the update folder
// named by the caller's setting update/source, and leaves the verdict byte (1 update, 0 none) in
// "CheckUpdateResult.dat" beside the caller. When an update exists it also leaves the task file
// for the updater, which is started without arguments.
#include "updatetools.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QTextStream>

namespace {

const QString kTool = QStringLiteral("VerScout");

struct struCheck
{
    int productNo = 0;
    QString callerPath;
    QString callerDir;
    QString source;
    QString installed;
    QString published;
};

// True when the published version is newer than the installed one; the reason goes to the log.
bool decide(struCheck& check, QString& reason)
{
    const QSettings settings(UpdateTools::settingsPath(check.callerDir), QSettings::IniFormat);
    check.source = settings.value(QStringLiteral("update/source")).toString().trimmed();
    if (check.source.isEmpty()) {
        reason = QStringLiteral("no update source configured");
        return false;
    }
    const QString sourceDir = QDir::fromNativeSeparators(check.source);
    check.published = UpdateTools::readVersion(sourceDir + QLatin1Char('/') + UpdateTools::versionFileName());
    if (check.published.isEmpty()) {
        reason = QStringLiteral("no published version in %1").arg(check.source);
        return false;
    }
    check.installed =
        UpdateTools::readVersion(check.callerDir + QLatin1Char('/') + UpdateTools::versionFileName());
    if (check.installed.isEmpty())
        check.installed = QStringLiteral("0");
    if (UpdateTools::compareVersions(check.published, check.installed) <= 0) {
        reason =
            QStringLiteral("installed %1, published %2: up to date").arg(check.installed, check.published);
        return false;
    }
    reason =
        QStringLiteral("installed %1, published %2: update available").arg(check.installed, check.published);
    return true;
}

void writeTask(const struCheck& check, bool update)
{
    const QString path = check.callerDir + QLatin1Char('/') + UpdateTools::taskFileName();
    QFile::remove(path);
    if (!update)
        return;
    QSettings task(path, QSettings::IniFormat);
    task.setValue(QStringLiteral("task/caller"), QDir::toNativeSeparators(check.callerPath));
    task.setValue(QStringLiteral("task/source"), QDir::fromNativeSeparators(check.source));
    task.setValue(QStringLiteral("task/version"), check.published);
    task.setValue(QStringLiteral("task/product"), check.productNo);
    task.sync();
}

bool writeVerdict(const QString& dir, bool update)
{
    QSaveFile file(dir + QStringLiteral("/CheckUpdateResult.dat"));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const char verdict = update ? 1 : 0;
    file.write(&verdict, 1);
    return file.commit();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3 || args[2].isEmpty()) {
        QTextStream(stderr) << "usage: VerScout.exe <productNo> \"<caller path>\"\n";
        return 2;
    }
    struCheck check;
    bool numberOk = false;
    check.productNo = args[1].toInt(&numberOk);
    check.callerPath = QDir::fromNativeSeparators(args[2]);
    check.callerDir = QFileInfo(check.callerPath).absolutePath();

    QString reason = QStringLiteral("product number \"%1\" is not a number").arg(args[1]);
    const bool update = numberOk && decide(check, reason);
    writeTask(check, update);
    UpdateTools::logLine(check.callerDir, kTool, QStringLiteral("product %1: %2").arg(args[1], reason));
    if (!writeVerdict(check.callerDir, update)) {
        UpdateTools::logLine(check.callerDir, kTool, QStringLiteral("cannot write the verdict file"));
        return 1;
    }
    QTextStream(stdout) << (update ? "update\n" : "no update\n");
    return 0;
}
