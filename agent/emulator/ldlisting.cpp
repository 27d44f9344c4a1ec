#include "ldlisting.h"

#include "launchertuning.h"
#include "simunames.h"

#include <QDebug>
#include <QHash>
#include <QProcess>
#include <QTextCodec>

namespace {

constexpr int kFieldIdx = 0;
constexpr int kFieldTitle = 1;
constexpr int kFieldRunning = 4;
constexpr int kFieldPid = 5;

bool isNumber(const QString& text)
{
    bool ok = false;
    text.toLongLong(&ok, 10);
    return ok && !text.startsWith(QLatin1Char('+')) && text.trimmed() == text;
}

bool readLine(const QString& line, struLdListEntry& entry)
{
    const QStringList fields = line.split(QLatin1Char(','), Qt::KeepEmptyParts);
    if (fields.size() < LdListing::kFields || !SimuNames::isLdIndex(fields.at(kFieldIdx)))
        return false;
    for (int i = kFieldTitle + 1; i < LdListing::kFields; ++i) {
        if (!isNumber(fields.at(i)))
            return false;
    }
    const QString running = fields.at(kFieldRunning);
    if (running != QLatin1String("0") && running != QLatin1String("1"))
        return false;
    entry.idx = fields.at(kFieldIdx);
    entry.title = fields.at(kFieldTitle);
    entry.running = running == QLatin1String("1");
    entry.pid = qMax<qint64>(0, fields.at(kFieldPid).toLongLong());
    return true;
}

} // namespace

namespace LdListing {

struParsed parse(const QByteArray& output)
{
    struParsed parsed;
    QTextCodec* codec = QTextCodec::codecForName("gb18030");
    const QByteArray bounded = output.left(kMaxOutputBytes);
    const QString text = codec ? codec->toUnicode(bounded) : QString::fromLocal8Bit(bounded);
    QHash<QString, int> seen; // index -> lines naming it
    QVector<struLdListEntry> read;
    for (QString line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.isEmpty())
            continue;
        struLdListEntry entry;
        if (!readLine(line, entry)) {
            ++parsed.iDropped;
            continue;
        }
        ++seen[entry.idx];
        read.append(entry);
    }
    for (const struLdListEntry& entry : qAsConst(read)) {
        if (seen.value(entry.idx) == 1)
            parsed.entries.append(entry);
        else
            ++parsed.iDropped;
    }
    return parsed;
}

struParsed run(const QString& dir)
{
    QProcess process;
    const QString program = ToolProcess::nativeProgram(dir + QStringLiteral("/dnconsole.exe"));
    if (!ToolProcess::run(process, program, {QStringLiteral("list2")}, LauncherTuning::toolTimeoutMs()))
        return struParsed();
    const QByteArray out = process.readAllStandardOutput();
    process.close();
    struParsed parsed = parse(out);
    if (parsed.iDropped > 0)
        qWarning().noquote() << QStringLiteral("LdListing: %1 line(s) of the listing dropped (malformed, or "
                                               "an index listed twice)")
                                    .arg(parsed.iDropped);
    return parsed;
}

const struLdListEntry* find(const QVector<struLdListEntry>& entries, const QString& idx)
{
    for (const struLdListEntry& entry : entries) {
        if (entry.idx == idx)
            return &entry;
    }
    return nullptr;
}

} // namespace LdListing
