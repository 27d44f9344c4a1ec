#pragma once

#include "ledgertypes.h"

#include <QList>
#include <QString>

// The ledger's SQLite file. Every save is one transaction, so a write that fails (disk full, the
// process killed) leaves the entries as they were before it. A file that cannot be read as a ledger
// is moved aside and a fresh one begun. Texts read back are bounded, as the file may have been edited.
// What a save writes of one entry: its own fields, and the targets at these positions.
struct struLedgerWrite
{
    const struLedgerEntry* entry = nullptr;
    bool bHeader = false;
    QList<int> positions;
};

class LedgerStore
{
public:
    static constexpr int kMaxTextChars = 512;

    explicit LedgerStore(const QString& path);
    ~LedgerStore();
    LedgerStore(const LedgerStore&) = delete;
    LedgerStore& operator=(const LedgerStore&) = delete;

    static QString FilePathIn(const QString& dataDir);
    bool open(QString& error);
    bool isOpen() const { return !m_connection.isEmpty(); }
    QString path() const { return m_path; }

    // Drops entries sent before cutoffMs and all but the newest maxEntries.
    bool prune(qint64 cutoffMs, int maxEntries);
    // The newest maxEntries, oldest first.
    QList<struLedgerEntry> load(int maxEntries);
    // Entries written whole.
    bool save(const QList<const struLedgerEntry*>& entries);
    // What changed, in one transaction.
    bool save(const QList<struLedgerWrite>& writes);
    bool remove(const QList<qint64>& ids);

private:
    bool createSchema();
    bool exec(const QString& sql);

    QString m_path;
    QString m_connection;
};
