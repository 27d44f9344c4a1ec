#include "updatecheck.h"

#include "rememberlogin.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QUrl>
#include <cstdio>

namespace UpdateCheck {

namespace {

// The data directory travels to the update tools in the environment, beside the fixed command line.
const char* const kDataDirVariable = "TOVIA_DATA_DIR";

QProcessEnvironment toolEnvironment(const struUpdatePlace& place)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!place.dataDir.isEmpty())
        env.insert(QString::fromLatin1(kDataDirVariable), QDir::toNativeSeparators(place.dataDir));
    return env;
}

void runChecker(const QString& commandLine, const struUpdatePlace& place)
{
    QStringList args = QProcess::splitCommand(commandLine);
    if (args.isEmpty())
        return;
    QProcess checker;
    checker.setProcessEnvironment(toolEnvironment(place));
    checker.start(args.takeFirst(), args, QIODevice::ReadWrite);
    if (!checker.waitForStarted(place.startWaitMs)) {
        qWarning() << "update checker did not start:" << checker.errorString();
        return;
    }
    if (!checker.waitForFinished(place.finishWaitMs)) {
        qWarning() << "update checker did not finish within" << place.finishWaitMs << "ms, stopped";
        checker.kill();
        checker.waitForFinished(3000);
    }
    checker.readAllStandardOutput();
}

} // namespace

struUpdatePlace struUpdatePlace::forApplication(const QString& dataDir)
{
    struUpdatePlace place;
    place.appDir = QCoreApplication::applicationDirPath();
    place.callerPath = QCoreApplication::applicationFilePath();
    place.dataDir = dataDir;
    place.hostArguments = RememberLogin::withoutOption(QCoreApplication::arguments().mid(1));
    return place;
}

QString struUpdatePlace::checkerPath() const
{
    return appDir + QStringLiteral("/VerScout.exe");
}

QString struUpdatePlace::verdictPath() const
{
    return appDir + QStringLiteral("/CheckUpdateResult.dat");
}

QString struUpdatePlace::updaterPath() const
{
    return appDir + QStringLiteral("/PatchRun.exe");
}

QString checkerCommandLine(int productNo, const struUpdatePlace& place)
{
    return QStringLiteral("\"%1\" %2 \"%3\"")
        .arg(QDir::toNativeSeparators(place.checkerPath()))
        .arg(productNo)
        .arg(QDir::toNativeSeparators(place.callerPath));
}

bool readVerdict(const QString& verdictPath)
{
    QFile file(verdictPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    char verdict = 0;
    return file.read(&verdict, 1) == 1 && verdict != 0;
}

bool checkForUpdate(int productNo)
{
    return checkForUpdate(productNo, struUpdatePlace::forApplication());
}

bool checkForUpdate(int productNo, const struUpdatePlace& place)
{
    const QString commandLine = checkerCommandLine(productNo, place);
    qDebug() << "update check:" << commandLine;
    // A verdict left by an earlier run must not speak for a checker that fails this time.
    QFile::remove(place.verdictPath());
    runChecker(commandLine, place);
    return readVerdict(place.verdictPath());
}

bool launchUpdater()
{
    return launchUpdater(struUpdatePlace::forApplication());
}

QString encodeHostArguments(const QStringList& args)
{
    QStringList encoded;
    for (const QString& a : args)
        encoded << QString::fromLatin1(QUrl::toPercentEncoding(a));
    return encoded.join(QLatin1Char(' '));
}

bool launchUpdater(const struUpdatePlace& place)
{
    QProcess updater;
    updater.setProgram(QDir::toNativeSeparators(place.updaterPath()));
    QProcessEnvironment env = toolEnvironment(place);
    env.insert(QString::fromLatin1(kHostArgsVariable), encodeHostArguments(place.hostArguments));
    updater.setProcessEnvironment(env);
    const bool started = updater.startDetached();
    qDebug() << (started ? "update exe start up success" : "update exe start up err");
    return started;
}

UpdateQuestion batchAnswer(bool yes)
{
    return [yes] {
        std::fprintf(stderr, "%s: %s %s\n", qUtf8Printable(QStringLiteral("更新提示")),
                     qUtf8Printable(QStringLiteral("检测到有更新，是否更新？")), yes ? "Yes" : "No");
        return yes;
    };
}

bool runStartupCheck(int productNo, const UpdateQuestion& ask, const struUpdatePlace& place)
{
    if (!checkForUpdate(productNo, place))
        return false;
    const bool consent = ask && ask();
    if (!consent)
        return false;
    qWarning() << "Begin Update Process";
    // Ending without an updater would leave the user with nothing at all: start normally instead.
    return launchUpdater(place);
}

QString readRcVersion(const QString& rcPath)
{
    QFile file(rcPath);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "version resource" << rcPath << "not readable:" << file.errorString();
        return QString();
    }
    const QString text = QString::fromUtf8(file.readAll());
    const QString marker = QStringLiteral("FILEVERSION ");
    const int at = text.indexOf(marker);
    if (at < 0)
        return QString();
    const int start = at + marker.size();
    int end = text.indexOf(QLatin1Char('\n'), start);
    if (end < 0)
        end = text.size();
    const QStringList parts = text.mid(start, end - start).trimmed().split(QLatin1Char(','));
    if (parts.size() < 4)
        return QString();
    return QStringLiteral("%1.%2.%3.%4")
        .arg(parts[0].trimmed(), parts[1].trimmed(), parts[2].trimmed(), parts[3].trimmed());
}

} // namespace UpdateCheck
