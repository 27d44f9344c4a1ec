#include "ledgerstore.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

QAtomicInt g_connections;

QString bounded(const QString& s)
{
    return s.left(LedgerStore::kMaxTextChars);
}

} // namespace

LedgerStore::LedgerStore(const QString& path) : m_path(path) {}

LedgerStore::~LedgerStore()
{
    if (m_connection.isEmpty())
        return;
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

QString LedgerStore::FilePathIn(const QString& dataDir)
{
    return QDir(dataDir).filePath(QStringLiteral("results.db"));
}

// A file that does not open as this ledger is kept beside, under a name of its own, for a look later.
bool LedgerStore::open(QString& error)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const QString name = QStringLiteral("ledger-%1").arg(g_connections.fetchAndAddRelaxed(1));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(m_path);
            m_connection = name;
            if (db.open() && createSchema())
                return true;
            error = db.lastError().text();
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
        m_connection.clear();
        const QString aside = m_path + QStringLiteral(".bad-%1").arg(QDateTime::currentMSecsSinceEpoch());
        qWarning().noquote() << "results ledger" << m_path << "unreadable (" << error << "), moved to"
                             << aside;
        if (!QFile::exists(m_path) || !QFile::rename(m_path, aside))
            return false;
    }
    return false;
}

bool LedgerStore::exec(const QString& sql)
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (q.exec(sql))
        return true;
    qWarning().noquote() << "results ledger:" << q.lastError().text() << "in" << sql.left(80);
    return false;
}

bool LedgerStore::createSchema()
{
    exec(QStringLiteral("PRAGMA journal_mode=WAL")); // without it only slower
    return exec(QStringLiteral("PRAGMA synchronous=NORMAL")) &&
           exec(QStringLiteral("CREATE TABLE IF NOT EXISTS entries (id INTEGER PRIMARY KEY, sent_ms INTEGER, "
                               "oper INTEGER, arg TEXT, file_size INTEGER)")) &&
           exec(QStringLiteral("CREATE TABLE IF NOT EXISTS targets (entry_id INTEGER, pos INTEGER, pc TEXT, "
                               "idx TEXT, state INTEGER, code INTEGER, text TEXT, done_ms INTEGER, "
                               "PRIMARY KEY (entry_id, pos))")) &&
           exec(QStringLiteral("SELECT count(*) FROM entries, targets WHERE 0"));
}

bool LedgerStore::prune(qint64 cutoffMs, int maxEntries)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    db.transaction();
    QSqlQuery q(db);
    q.prepare(QStringLiteral("DELETE FROM entries WHERE sent_ms < ? OR id NOT IN "
                             "(SELECT id FROM entries ORDER BY id DESC LIMIT ?)"));
    q.addBindValue(cutoffMs);
    q.addBindValue(maxEntries);
    const bool ok =
        q.exec() &&
        exec(QStringLiteral("DELETE FROM targets WHERE entry_id NOT IN (SELECT id FROM entries)"));
    return ok ? db.commit() : (db.rollback(), false);
}

QList<struLedgerEntry> LedgerStore::load(int maxEntries)
{
    QList<struLedgerEntry> entries;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(
        QStringLiteral("SELECT id, sent_ms, oper, arg, file_size FROM entries ORDER BY id DESC LIMIT ?"));
    q.addBindValue(maxEntries);
    if (!q.exec())
        return entries;
    QHash<qint64, int> pos;
    while (q.next()) {
        struLedgerEntry e;
        e.id = q.value(0).toLongLong();
        e.sentMs = q.value(1).toLongLong();
        e.iOperType = q.value(2).toInt();
        e.strArg = bounded(q.value(3).toString());
        e.fileSize = q.value(4).toLongLong();
        entries.prepend(e);
    }
    for (int i = 0; i < entries.size(); ++i)
        pos.insert(entries.at(i).id, i);
    QSqlQuery t(db);
    t.setForwardOnly(true);
    if (!t.exec(QStringLiteral("SELECT entry_id, pc, idx, state, code, text, done_ms FROM targets "
                               "ORDER BY entry_id, pos")))
        return entries;
    while (t.next()) {
        const auto it = pos.constFind(t.value(0).toLongLong());
        if (it == pos.constEnd())
            continue;
        struLedgerTarget target;
        target.pcName = bounded(t.value(1).toString());
        target.memuIdx = bounded(t.value(2).toString());
        const int s = t.value(3).toInt();
        target.state = (s >= 0 && s <= int(eLedgerState::Refused)) ? eLedgerState(s) : eLedgerState::NoAnswer;
        target.iCode = t.value(4).toInt();
        target.text = bounded(t.value(5).toString());
        target.doneMs = t.value(6).toLongLong();
        entries[*it].targets.append(target);
    }
    return entries;
}

bool LedgerStore::save(const QList<const struLedgerEntry*>& entries)
{
    QList<struLedgerWrite> writes;
    for (const struLedgerEntry* p : entries) {
        struLedgerWrite w{p, true, {}};
        for (int i = 0; i < p->targets.size(); ++i)
            w.positions.append(i);
        writes.append(w);
    }
    return save(writes);
}

bool LedgerStore::save(const QList<struLedgerWrite>& writes)
{
    if (writes.isEmpty())
        return true;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction())
        return false;
    QSqlQuery e(db), t(db);
    e.prepare(QStringLiteral("INSERT OR REPLACE INTO entries VALUES (?, ?, ?, ?, ?)"));
    t.prepare(QStringLiteral("INSERT OR REPLACE INTO targets VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
    bool ok = true;
    for (const struLedgerWrite& w : writes) {
        const struLedgerEntry* p = w.entry;
        if (w.bHeader) {
            e.addBindValue(p->id);
            e.addBindValue(p->sentMs);
            e.addBindValue(p->iOperType);
            e.addBindValue(p->strArg);
            e.addBindValue(p->fileSize);
            ok = ok && e.exec();
        }
        for (int i : w.positions) {
            if (!ok || i < 0 || i >= p->targets.size())
                continue;
            const struLedgerTarget& x = p->targets.at(i);
            for (const QVariant& v :
                 {QVariant(p->id), QVariant(i), QVariant(x.pcName), QVariant(x.memuIdx),
                  QVariant(int(x.state)), QVariant(x.iCode), QVariant(x.text), QVariant(x.doneMs)})
                t.addBindValue(v);
            ok = t.exec();
        }
    }
    if (ok)
        return db.commit();
    qWarning().noquote() << "results ledger: save failed:" << e.lastError().text() << t.lastError().text();
    db.rollback();
    return false;
}

bool LedgerStore::remove(const QList<qint64>& ids)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    db.transaction();
    QSqlQuery e(db), t(db);
    e.prepare(QStringLiteral("DELETE FROM entries WHERE id = ?"));
    t.prepare(QStringLiteral("DELETE FROM targets WHERE entry_id = ?"));
    bool ok = true;
    for (qint64 id : ids) {
        e.addBindValue(id);
        t.addBindValue(id);
        ok = ok && e.exec() && t.exec();
    }
    return ok ? db.commit() : (db.rollback(), false);
}
