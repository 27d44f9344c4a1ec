#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// One instance line of LDPlayer's listing "dnconsole.exe list2":
//   index,title,top window,bind window,running,pid,vbox pid
struct struLdListEntry
{
    QString idx;
    QString title;
    bool running = false;
    qint64 pid = 0; // 0 when the listing gives none (a stopped instance shows -1)
};

// The listing read strictly. The tool writes user-chosen titles into a comma-separated text, so a
// title with a line break or a comma could pass for lines of its own: a line counts only when it
// has at least kFields fields, a well-formed index, numbers where the tool writes numbers and a
// running flag of 0 or 1. An index listed twice is not trusted at all (a forged line may stand
// before or after the real one). Everything else is dropped and counted.
namespace LdListing {

constexpr int kFields = 7;
// More output than any farm lists is cut here before it is read.
constexpr int kMaxOutputBytes = 1024 * 1024;

struct struParsed
{
    QVector<struLdListEntry> entries; // in listing order
    int iDropped = 0;                 // lines that did not count
};

// Reads the tool's output (GB18030 text, "\r\n" or "\n" line ends).
struParsed parse(const QByteArray& output);
// Runs "<dir>/dnconsole.exe list2" (bounded) and reads its output; no entries when the tool is
// missing. Dropped lines are logged.
struParsed run(const QString& dir);

// The entry of an index, or null.
const struLdListEntry* find(const QVector<struLdListEntry>& entries, const QString& idx);

} // namespace LdListing
