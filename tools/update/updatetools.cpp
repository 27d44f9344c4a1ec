#include "updatetools.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QTextStream>
#include <QVector>

namespace UpdateTools {

namespace {
constexpr qint64 kLogLimit = 512 * 1024;
}

QString versionFileName()
{
    return QStringLiteral("ToviaVersion.txt");
}

QString taskFileName()
{
    return QStringLiteral("PatchRunTask.ini");
}

QString logFileName()
{
    return QStringLiteral("UpdateTools.log");
}

bool isVersionText(const QString& text)
{
    static const QRegularExpression re(QStringLiteral("^\\d{1,9}(\\.\\d{1,9}){0,3}$"));
    return re.match(text).hasMatch();
}

QString readVersion(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QString line = QString::fromUtf8(file.readLine(256)).trimmed();
    return isVersionText(line) ? line : QString();
}

int compareVersions(const QString& a, const QString& b)
{
    const QStringList pa = a.split(QLatin1Char('.'));
    const QStringList pb = b.split(QLatin1Char('.'));
    for (int i = 0; i < qMax(pa.size(), pb.size()); ++i) {
        const qlonglong va = i < pa.size() ? pa[i].toLongLong() : 0;
        const qlonglong vb = i < pb.size() ? pb[i].toLongLong() : 0;
        if (va != vb)
            return va < vb ? -1 : 1;
    }
    return 0;
}

QString settingsPath(const QString& callerDir)
{
    const QString dataDir = qEnvironmentVariable("TOVIA_DATA_DIR");
    return (dataDir.isEmpty() ? callerDir : dataDir) + QStringLiteral("/simusInfo.ini");
}

void logLine(const QString& dir, const QString& tool, const QString& text)
{
    const QString line =
        QStringLiteral("%1 %2: %3")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), tool, text);
    QTextStream(stderr) << line << '\n';
    QFile file(dir + QLatin1Char('/') + logFileName());
    // One line per check at every start: start afresh once the log has grown large.
    const QIODevice::OpenMode mode = file.size() > kLogLimit ? QIODevice::Truncate : QIODevice::Append;
    if (file.open(QIODevice::WriteOnly | mode | QIODevice::Text))
        file.write(line.toUtf8() + '\n');
}

} // namespace UpdateTools
