#include "resultsledger.h"

#include "simurecords.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QSaveFile>
#include <QTimer>

#include <algorithm>

namespace {

constexpr int kMaxTextChars = LedgerStore::kMaxTextChars;

QString csvField(QString s)
{
    // A spreadsheet runs a cell that begins like a formula: an agent's text never does.
    if (!s.isEmpty() && QStringLiteral("=+-@\t\r").contains(s.front()))
        s.prepend(QLatin1Char('\''));
    if (s.contains(QLatin1Char(',')) || s.contains(QLatin1Char('"')) || s.contains(QLatin1Char('\n')) ||
        s.contains(QLatin1Char('\r'))) {
        s.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        s = QLatin1Char('"') + s + QLatin1Char('"');
    }
    return s;
}

QString timeText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

ResultsLedger::ResultsLedger(const Options& options, QObject* parent)
    : QAbstractItemModel(parent), m_options(options), m_pFlush(new QTimer(this)), m_pSweep(new QTimer(this))
{
    m_pFlush->setSingleShot(true);
    m_pFlush->setInterval(m_options.flushMs);
    connect(m_pFlush, &QTimer::timeout, this, &ResultsLedger::flush);
    m_pSweep->setInterval(m_options.sweepMs);
    connect(m_pSweep, &QTimer::timeout, this, &ResultsLedger::sweep);
}

ResultsLedger::~ResultsLedger()
{
    flush();
    qDeleteAll(m_entries);
}

qint64 ResultsLedger::now() const
{
    return m_options.clock ? m_options.clock() : QDateTime::currentMSecsSinceEpoch();
}

bool ResultsLedger::open(QString& error)
{
    if (m_options.dbPath.isEmpty())
        return true;
    auto store = std::make_unique<LedgerStore>(m_options.dbPath);
    if (!store->open(error))
        return false;
    store->prune(now() - qint64(m_options.maxAgeDays) * 24 * 3600 * 1000, m_options.maxEntries);
    QList<struLedgerEntry> kept = store->load(m_options.maxEntries);
    m_pStore = std::move(store);
    beginResetModel();
    for (struLedgerEntry& e : kept) {
        for (int i = 0; i < e.targets.size(); ++i) {
            struLedgerTarget& t = e.targets[i];
            if (!t.isOpen())
                continue;
            t.state = eLedgerState::NoAnswer;
            t.text = QStringLiteral("控制台已重启，未收到结果");
            m_unsaved[e.id].insert(i);
        }
        auto* p = new struLedgerEntry(std::move(e));
        m_entries.append(p);
        m_byId.insert(p->id, p);
        m_nextId = std::max(m_nextId, p->id + 1);
    }
    endResetModel();
    flush();
    return true;
}

QString ResultsLedger::keyOf(const QString& pc, const QString& idx, int type)
{
    return pc + QLatin1Char('\x1f') + idx + QLatin1Char('\x1f') + QString::number(type);
}

qint64 ResultsLedger::deadlineFor(const struLedgerEntry& e, int targetsOnPc) const
{
    qint64 secs = m_options.otherSecs;
    if (e.iOperType == eOperStartup)
        secs = m_options.startSecs + qint64(std::max(0, targetsOnPc - 1)) * m_options.startPerTargetSecs;
    else if (e.iOperType == eOperInstall)
        secs = m_options.installBaseSecs +
               qint64(targetsOnPc) *
                   (m_options.installPerTargetSecs + e.fileSize / std::max(1, m_options.installBytesPerSec));
    return now() + secs * 1000;
}

struLedgerEntry* ResultsLedger::find(qint64 id) const
{
    return m_byId.value(id);
}

const struLedgerEntry* ResultsLedger::entry(qint64 id) const
{
    return find(id);
}

int ResultsLedger::rowOf(qint64 id) const
{
    const auto it = std::lower_bound(m_entries.begin(), m_entries.end(), id,
                                     [](const struLedgerEntry* p, qint64 v) { return p->id < v; });
    if (it == m_entries.end() || (*it)->id != id)
        return -1;
    return m_entries.size() - 1 - int(it - m_entries.begin());
}

void ResultsLedger::appendEntry(struLedgerEntry* p)
{
    beginInsertRows(QModelIndex(), 0, 0);
    m_entries.append(p);
    m_byId.insert(p->id, p);
    endInsertRows();
    unsaved(p->id, -1);
    prune();
    if (!m_pSweep->isActive())
        m_pSweep->start();
}

qint64 ResultsLedger::beginOperation(int iOperType, const QString& strArg)
{
    auto* p = new struLedgerEntry;
    p->id = m_nextId++;
    p->sentMs = now();
    p->iOperType = iOperType;
    p->strArg = strArg.left(kMaxTextChars);
    if (iOperType == eOperInstall)
        p->fileSize = QFileInfo(strArg).size();
    appendEntry(p);
    m_turnId = p->id;
    // The sends of one menu choice come within one call; the next choice begins its own entry.
    QTimer::singleShot(0, this, [this, id = p->id] {
        if (m_turnId == id)
            m_turnId = 0;
    });
    return p->id;
}

void ResultsLedger::addSend(const QString& pcName, int iOperType, const QStringList& memuIdxs,
                            const QString& strArg)
{
    if (memuIdxs.isEmpty())
        return;
    struLedgerEntry* e = find(m_turnId);
    if (!e || e->iOperType != iOperType)
        e = find(beginOperation(iOperType, strArg));
    const int first = e->targets.size();
    beginInsertRows(index(rowOf(e->id), 0), first, first + memuIdxs.size() - 1);
    const qint64 deadline = deadlineFor(*e, memuIdxs.size());
    for (const QString& idx : memuIdxs) {
        struLedgerTarget t;
        t.pcName = pcName;
        t.memuIdx = idx;
        t.deadlineMs = deadline;
        m_open[keyOf(pcName, idx, iOperType)].append(TargetRef{e->id, e->targets.size()});
        unsaved(e->id, e->targets.size());
        e->targets.append(t);
        ++m_openCount;
    }
    endInsertRows();
    touch(e->id);
    if (!m_pSweep->isActive())
        m_pSweep->start();
}

void ResultsLedger::addRefused(qint64 id, const QString& pcName, const QStringList& memuIdxs, int iCode,
                               const QString& text)
{
    struLedgerEntry* e = find(id);
    if (!e || memuIdxs.isEmpty())
        return;
    const int first = e->targets.size();
    beginInsertRows(index(rowOf(id), 0), first, first + memuIdxs.size() - 1);
    for (const QString& idx : memuIdxs) {
        struLedgerTarget t;
        t.pcName = pcName;
        t.memuIdx = idx;
        t.state = eLedgerState::Refused;
        t.iCode = iCode;
        t.text = text.left(kMaxTextChars);
        t.doneMs = now();
        unsaved(id, e->targets.size());
        e->targets.append(t);
    }
    endInsertRows();
    touch(id);
    emit sigFailureRecorded(id);
}

struLedgerTarget* ResultsLedger::openTarget(const QString& pc, const QString& idx, int type,
                                            bool bWaitingOnly, qint64* pId)
{
    auto it = m_open.find(keyOf(pc, idx, type));
    if (it == m_open.end())
        return nullptr;
    for (const TargetRef& ref : qAsConst(*it)) {
        struLedgerEntry* e = find(ref.id);
        if (!e || ref.pos >= e->targets.size())
            continue;
        struLedgerTarget& t = e->targets[ref.pos];
        if (!t.isOpen() || (bWaitingOnly && t.state != eLedgerState::Waiting))
            continue;
        if (pId)
            *pId = ref.id;
        return &t;
    }
    return nullptr;
}

void ResultsLedger::close(qint64 id, struLedgerTarget& t, eLedgerState s, int iCode, const QString& text)
{
    const struLedgerEntry* e = find(id);
    const QString key = keyOf(t.pcName, t.memuIdx, e->iOperType);
    unsaved(id, int(&t - e->targets.constData()));
    t.state = s;
    t.iCode = iCode;
    t.text = text.left(kMaxTextChars);
    t.doneMs = now();
    --m_openCount;
    auto it = m_open.find(key);
    if (it != m_open.end()) {
        it->erase(std::remove_if(it->begin(), it->end(),
                                 [&](const TargetRef& r) {
                                     const struLedgerEntry* e = find(r.id);
                                     return !e || r.pos >= e->targets.size() ||
                                            !e->targets.at(r.pos).isOpen();
                                 }),
                  it->end());
        if (it->isEmpty())
            m_open.erase(it);
    }
    touch(id);
    if (t.isFailure())
        emit sigFailureRecorded(id);
}

void ResultsLedger::slOperDelivered(QString strPcName, int iOperType, QStringList strMemuIdxList, int iRet)
{
    for (const QString& idx : strMemuIdxList) {
        qint64 id = 0;
        struLedgerTarget* t = openTarget(strPcName, idx, iOperType, true, &id);
        if (!t)
            continue;
        if (iRet == 0) {
            t->state = eLedgerState::Sent;
            unsaved(id, int(t - find(id)->targets.constData()));
        } else {
            close(id, *t, eLedgerState::Failed, iRet, QStringLiteral("命令未送达"));
        }
    }
}

// A report answers the oldest open target of its PC, emulator and type. Reports the ledger has no
// target for (a rename's success, an operation of an earlier run) change nothing.
void ResultsLedger::slReportArrived(QString strPcName, QString strMemuIdx, int iOperType, int iReplyRet,
                                    QString strText)
{
    qint64 id = 0;
    struLedgerTarget* t = openTarget(strPcName, strMemuIdx, iOperType, false, &id);
    if (!t)
        return;
    close(id, *t, iReplyRet == 0 ? eLedgerState::Succeeded : eLedgerState::Failed, iReplyRet, strText);
}

void ResultsLedger::slInstallProgress(QString strPcName, QString strMemuIdx, int iProgress)
{
    qint64 id = 0;
    struLedgerTarget* t = openTarget(strPcName, strMemuIdx, eOperInstall, false, &id);
    if (!t || t->iProgress == iProgress)
        return;
    t->iProgress = qBound(0, iProgress, 100);
    touch(id);
}

void ResultsLedger::sweep()
{
    if (m_openCount == 0) {
        m_pSweep->stop();
        return;
    }
    const qint64 t = now();
    for (struLedgerEntry* e : m_entries) {
        if (e->openCount() == 0)
            continue;
        for (struLedgerTarget& x : e->targets)
            if (x.isOpen() && x.deadlineMs <= t)
                close(e->id, x, eLedgerState::NoAnswer, 0, QStringLiteral("规定时间内未收到结果"));
    }
}

void ResultsLedger::prune()
{
    const qint64 cutoff = now() - qint64(m_options.maxAgeDays) * 24 * 3600 * 1000;
    QList<qint64> gone;
    while (!m_entries.isEmpty() &&
           (m_entries.size() > m_options.maxEntries || m_entries.first()->sentMs < cutoff)) {
        const int row = m_entries.size() - 1;
        beginRemoveRows(QModelIndex(), row, row);
        struLedgerEntry* p = m_entries.takeFirst();
        m_byId.remove(p->id);
        m_dirty.remove(p->id);
        m_unsaved.remove(p->id);
        m_openCount -= p->openCount();
        endRemoveRows();
        gone.append(p->id);
        delete p;
    }
    if (m_pStore && !gone.isEmpty())
        m_pStore->remove(gone);
}

void ResultsLedger::touch(qint64 id)
{
    m_dirty.insert(id);
    if (!m_pFlush->isActive())
        m_pFlush->start();
}

void ResultsLedger::unsaved(qint64 id, int pos)
{
    m_unsaved[id].insert(pos);
    touch(id);
}

void ResultsLedger::flush()
{
    m_pFlush->stop();
    QList<struLedgerWrite> writes;
    for (auto it = m_unsaved.cbegin(); it != m_unsaved.cend(); ++it) {
        if (const struLedgerEntry* e = find(it.key())) {
            QList<int> positions = it->values();
            std::sort(positions.begin(), positions.end());
            const bool bHeader = !positions.isEmpty() && positions.first() == -1;
            writes.append(struLedgerWrite{e, bHeader, positions.mid(bHeader ? 1 : 0)});
        }
    }
    // A failed write is tried again with the next batch; the file keeps what it had.
    if (!m_pStore || m_pStore->save(writes))
        m_unsaved.clear();
    else
        qWarning() << "results ledger: changes of" << writes.size() << "operations not stored yet";
    for (qint64 id : qAsConst(m_dirty)) {
        const struLedgerEntry* e = find(id);
        const int row = rowOf(id);
        if (!e || row < 0)
            continue;
        emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
        if (!e->targets.isEmpty()) {
            const QModelIndex parent = index(row, 0);
            emit dataChanged(index(0, 0, parent), index(e->targets.size() - 1, ColumnCount - 1, parent));
        }
    }
    m_dirty.clear();
}

qint64 ResultsLedger::entryIdAt(const QModelIndex& index) const
{
    if (!index.isValid())
        return 0;
    if (index.internalId() != 0)
        return qint64(index.internalId());
    const int pos = m_entries.size() - 1 - index.row();
    return (pos >= 0 && pos < m_entries.size()) ? m_entries.at(pos)->id : 0;
}

QList<QPair<QString, QStringList>> ResultsLedger::retryTargets(qint64 id) const
{
    QList<QPair<QString, QStringList>> out;
    const struLedgerEntry* e = find(id);
    if (!e)
        return out;
    for (const struLedgerTarget& t : e->targets) {
        if (!t.isFailure())
            continue;
        auto it = std::find_if(out.begin(), out.end(), [&](const auto& p) { return p.first == t.pcName; });
        if (it == out.end())
            out.append({t.pcName, {t.memuIdx}});
        else if (!it->second.contains(t.memuIdx))
            it->second.append(t.memuIdx);
    }
    return out;
}

QByteArray ResultsLedger::entryCsv(qint64 id) const
{
    const struLedgerEntry* e = find(id);
    if (!e)
        return QByteArray();
    QStringList lines{QStringLiteral("时间,操作,参数,PC,模拟器,状态,代码,结果,完成时间")};
    for (const struLedgerTarget& t : e->targets)
        lines << QStringList{timeText(e->sentMs),
                             LedgerText::operText(e->iOperType),
                             csvField(e->strArg),
                             csvField(t.pcName),
                             csvField(t.memuIdx),
                             LedgerText::stateText(t.state),
                             QString::number(t.iCode),
                             csvField(t.text),
                             t.doneMs ? timeText(t.doneMs) : QString()}
                     .join(QLatin1Char(','));
    return QByteArray("\xEF\xBB\xBF") + lines.join(QStringLiteral("\r\n")).toUtf8() + "\r\n";
}

bool ResultsLedger::exportCsv(qint64 id, const QString& path, QString& error) const
{
    QSaveFile f(path);
    if (!find(id)) {
        error = QStringLiteral("没有这条记录");
        return false;
    }
    if (!f.open(QIODevice::WriteOnly) || f.write(entryCsv(id)) < 0 || !f.commit()) {
        error = f.errorString();
        return false;
    }
    return true;
}

QModelIndex ResultsLedger::index(int row, int column, const QModelIndex& parent) const
{
    if (column < 0 || column >= ColumnCount || row < 0)
        return QModelIndex();
    if (!parent.isValid())
        return row < m_entries.size() ? createIndex(row, column, quintptr(0)) : QModelIndex();
    if (parent.internalId() != 0)
        return QModelIndex();
    const qint64 id = entryIdAt(parent);
    const struLedgerEntry* e = find(id);
    return (e && row < e->targets.size()) ? createIndex(row, column, quintptr(id)) : QModelIndex();
}

QModelIndex ResultsLedger::parent(const QModelIndex& child) const
{
    if (!child.isValid() || child.internalId() == 0)
        return QModelIndex();
    const int row = rowOf(qint64(child.internalId()));
    return row < 0 ? QModelIndex() : createIndex(row, 0, quintptr(0));
}

int ResultsLedger::rowCount(const QModelIndex& parent) const
{
    if (!parent.isValid())
        return m_entries.size();
    if (parent.internalId() != 0 || parent.column() != 0)
        return 0;
    const struLedgerEntry* e = find(entryIdAt(parent));
    return e ? e->targets.size() : 0;
}

int ResultsLedger::columnCount(const QModelIndex&) const
{
    return ColumnCount;
}

QVariant ResultsLedger::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const QStringList names{QStringLiteral("时间"),   QStringLiteral("操作"), QStringLiteral("PC"),
                                   QStringLiteral("模拟器"), QStringLiteral("状态"), QStringLiteral("结果"),
                                   QStringLiteral("耗时"),   QStringLiteral("进度")};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= names.size())
        return QVariant();
    return names.at(section);
}

QVariant ResultsLedger::data(const QModelIndex& index, int role) const
{
    const qint64 id = entryIdAt(index);
    const struLedgerEntry* e = find(id);
    if (!e)
        return QVariant();
    const bool bTarget = index.internalId() != 0;
    if (bTarget && index.row() >= e->targets.size())
        return QVariant();
    const struLedgerTarget* t = bTarget ? &e->targets.at(index.row()) : nullptr;
    switch (role) {
    case EntryIdRole:
        return id;
    case StateRole:
        return t ? int(t->state) : -1;
    case OperTypeRole:
        return e->iOperType;
    case PcRole: {
        if (t)
            return t->pcName;
        QStringList pcs;
        for (const struLedgerTarget& x : e->targets)
            if (pcs.isEmpty() || pcs.last() != x.pcName)
                pcs << x.pcName;
        return pcs.join(QLatin1Char('\n'));
    }
    case FailureCountRole:
        return t ? int(t->isFailure()) : e->failureCount();
    case Qt::DisplayRole:
        break;
    default:
        return QVariant();
    }
    switch (index.column()) {
    case ColTime:
        return t ? QString() : timeText(e->sentMs);
    case ColOper:
        return t ? QString() : LedgerText::operText(e->iOperType);
    case ColPc:
        return t ? t->pcName : QStringLiteral("%1个目标").arg(e->targets.size());
    case ColSimu:
        return t ? t->memuIdx : QString();
    case ColState:
        if (t)
            return LedgerText::stateText(t->state);
        return QStringLiteral("成功 %1 / 失败 %2 / 等待 %3")
            .arg(e->count(eLedgerState::Succeeded))
            .arg(e->failureCount())
            .arg(e->openCount());
    case ColResult:
        if (!t || (t->iCode == 0 && t->text.isEmpty()))
            return QString();
        return QStringLiteral("%1 %2").arg(t->iCode).arg(t->text);
    case ColTaken:
        return (t && t->doneMs)
                   ? QStringLiteral("%1秒").arg(double(t->doneMs - e->sentMs) / 1000.0, 0, 'f', 1)
                   : QString();
    case ColProgress:
        return (t && t->iProgress >= 0) ? QStringLiteral("%1%").arg(t->iProgress) : QString();
    default:
        return QVariant();
    }
}
