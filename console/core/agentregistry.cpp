#include "agentregistry.h"

#include "simurecords.h"

#include <QDateTime>
#include <QDebug>
#include <QSet>

const struSimuRow* struPcEntry::row(const QString& memuIdx) const
{
    for (const struSimuRow& r : rows) {
        if (r.memuIdx == memuIdx)
            return &r;
    }
    return nullptr;
}

int struPcEntry::countInState(int iState) const
{
    int n = 0;
    for (const struSimuRow& r : rows)
        n += r.iState == iState ? 1 : 0;
    return n;
}

QStringList struPcEntry::checkedIndices() const
{
    QStringList out;
    for (const struSimuRow& r : rows) {
        if (r.bChecked)
            out.append(r.memuIdx);
    }
    return out;
}

QString struPcEntry::connectAddress() const
{
    const QHostAddress announced(ipAddr);
    const bool fromElsewhere = !replyAddr.isNull() && !replyAddr.isLoopback();
    const bool usable = announced.protocol() == QAbstractSocket::IPv4Protocol &&
                        announced != QHostAddress::AnyIPv4 && !(announced.isLoopback() && fromElsewhere);
    if (usable || replyAddr.isNull())
        return ipAddr;
    return QHostAddress(replyAddr.toIPv4Address()).toString();
}

namespace {

// Seconds since the PC was last heard, as a signed 32-bit difference: a clock set back keeps it heard.
qint32 silentSecs(const struPcEntry& pc, qint64 nowSecs)
{
    return qint32(quint32(nowSecs) - quint32(pc.lastHeard));
}

bool silentFor10s(const struPcEntry& pc, qint64 nowSecs)
{
    return silentSecs(pc, nowSecs) > 9;
}

} // namespace

AgentRegistry::AgentRegistry(Clock clock, Limits limits) : m_clock(std::move(clock)), m_limits(limits)
{
    qRegisterMetaType<SimuChangeList>("SimuChangeList");
}

AgentRegistry::Batch::Batch(AgentRegistry& reg) : m_reg(reg)
{
    QWriteLocker lock(&m_reg.m_lock);
    ++m_reg.m_batchDepth;
}

AgentRegistry::Batch::~Batch()
{
    m_reg.endBatch();
}

void AgentRegistry::noteChange(int pcAt, const QString& pcName, const QString& memuIdx, int roles)
{
    if (m_bAllChanged) {
        m_allRoles |= roles;
        return;
    }
    const QPair<int, QString> key(pcAt, memuIdx);
    const auto it = m_changeAt.constFind(key);
    if (it != m_changeAt.constEnd()) {
        m_changes[*it].roles |= roles;
        return;
    }
    m_changeAt.insert(key, m_changes.size());
    m_changes.append(struSimuChange{pcName, memuIdx, roles});
    if (m_changes.size() * 2 <= m_rowCount)
        return;
    m_bAllChanged = true;
    for (const struSimuChange& c : qAsConst(m_changes))
        m_allRoles |= c.roles;
    m_changes = SimuChangeList();
    m_changeAt = QHash<QPair<int, QString>, int>();
}

// One notice for the batch: the rows, or the whole range when most rows changed (as a view would
// repaint everything anyway, without a search per row).
void AgentRegistry::endBatch()
{
    SimuChangeList changes;
    int allRoles = 0;
    {
        QWriteLocker lock(&m_lock);
        if (--m_batchDepth > 0 || (m_changes.isEmpty() && !m_bAllChanged))
            return;
        changes.swap(m_changes);
        m_changeAt.clear();
        allRoles = m_bAllChanged ? m_allRoles : 0;
        m_bAllChanged = false;
        m_allRoles = 0;
    }
    if (allRoles)
        emit sigAllSimusChanged(allRoles);
    else if (!changes.isEmpty())
        emit sigSimusChanged(changes);
}

namespace {

// States 2 and -1 show the picture of the state: a screenshot taken before goes.
bool dropsShot(int iState)
{
    return iState == eStateStarting || iState == eStateNotStarted;
}

} // namespace

qint64 AgentRegistry::now() const
{
    return m_clock ? m_clock() : QDateTime::currentSecsSinceEpoch();
}

int AgentRegistry::pcAt(const QString& pcName) const
{
    return m_indexOf.value(pcName, -1);
}

struPcEntry* AgentRegistry::find(const QString& pcName)
{
    const int at = pcAt(pcName);
    return at < 0 ? nullptr : &m_pcs[at];
}

const struPcEntry* AgentRegistry::find(const QString& pcName) const
{
    const int at = pcAt(pcName);
    return at < 0 ? nullptr : &m_pcs.at(at);
}

struSimuRow* AgentRegistry::findRow(int pcAt, const QString& memuIdx)
{
    const int at = pcAt < 0 ? -1 : m_rowAt.at(pcAt).value(memuIdx, -1);
    return at < 0 ? nullptr : &m_pcs[pcAt].rows[at];
}

const struSimuRow* AgentRegistry::findRow(int pcAt, const QString& memuIdx) const
{
    const int at = pcAt < 0 ? -1 : m_rowAt.at(pcAt).value(memuIdx, -1);
    return at < 0 ? nullptr : &m_pcs.at(pcAt).rows.at(at);
}

// A PC's rows are looked up by index for every report: the positions are kept in a hash, made again
// whenever rows come or go.
void AgentRegistry::indexRows(int pcAt)
{
    const QList<struSimuRow>& rows = m_pcs.at(pcAt).rows;
    QHash<QString, int>& at = m_rowAt[pcAt];
    at.clear();
    at.reserve(rows.size());
    for (int i = 0; i < rows.size(); ++i)
        at.insert(rows.at(i).memuIdx, i);
}

void AgentRegistry::mergeRows(int pcAt, const QList<struSimuEntry>& simus, int iSimuType,
                              struPcInfoChange& change)
{
    struPcEntry& pc = m_pcs[pcAt];
    const int rowsBefore = pc.rows.size();
    QSet<QString> present;
    for (const struSimuEntry& e : simus) {
        present.insert(e.memuIdx);
        if (struSimuRow* r = findRow(pcAt, e.memuIdx)) {
            if (r->simuName != e.simuName) {
                r->simuName = e.simuName;
                change.renamed.append({e.memuIdx, e.simuName});
            }
            continue;
        }
        struSimuRow row;
        row.memuIdx = e.memuIdx;
        row.simuName = e.simuName;
        row.iSimuType = iSimuType;
        pc.rows.append(row);
        m_rowAt[pcAt].insert(row.memuIdx, pc.rows.size() - 1);
        change.added.append(row);
    }
    for (int i = pc.rows.size() - 1; i >= 0; --i) {
        if (!present.contains(pc.rows.at(i).memuIdx)) {
            change.removed.prepend(pc.rows.at(i).memuIdx);
            pc.rows.removeAt(i);
        }
    }
    if (!change.added.isEmpty() || !change.removed.isEmpty())
        indexRows(pcAt);
    m_rowCount += pc.rows.size() - rowsBefore;
}

AgentRegistry::eAdmit AgentRegistry::admitsLocked(const struPcEntry* pc, const QHostAddress& from,
                                                  qint64 nowSecs) const
{
    if (!pc)
        return m_pcs.size() < m_limits.maxPcs ? eAdmit::Taken : eAdmit::OverCap;
    if (from.isNull() || pc->replyAddr.isNull() ||
        from.isEqual(pc->replyAddr, QHostAddress::TolerantConversion))
        return eAdmit::Taken;
    return silentSecs(*pc, nowSecs) >= m_limits.repinSecs ? eAdmit::Taken : eAdmit::Pinned;
}

AgentRegistry::eAdmit AgentRegistry::admits(const QString& pcName, const QHostAddress& from) const
{
    const qint64 stamp = now();
    QReadLocker lock(&m_lock);
    return admitsLocked(find(pcName), from, stamp);
}

struPcInfoChange AgentRegistry::applyPcInfo(const struPcUdpInfo& header, const QList<struSimuEntry>& simus,
                                            const QHostAddress& from)
{
    struPcInfoChange change;
    change.pcName = header.pcNameText();
    const qint64 stamp = now();
    QWriteLocker lock(&m_lock);
    struPcEntry* pc = find(change.pcName);
    const eAdmit verdict = admitsLocked(pc, from, stamp);
    if (verdict != eAdmit::Taken) {
        change.bRefused = true;
        if (verdict == eAdmit::OverCap && (m_overCap++ % 1000) == 0)
            qWarning().noquote() << "console lists" << m_pcs.size()
                                 << "PCs, its limit (console/maxPcs):" << change.pcName << "and"
                                 << m_overCap - 1 << "more PC names not listed";
        return change;
    }
    if (pc && !from.isNull() && !pc->replyAddr.isNull() &&
        !from.isEqual(pc->replyAddr, QHostAddress::TolerantConversion))
        qInfo().noquote() << "PC" << change.pcName << "heard at" << from.toString() << "instead of"
                          << pc->replyAddr.toString() << "after" << silentSecs(*pc, stamp) << "s of silence";
    if (!pc) {
        struPcEntry fresh;
        fresh.pcName = change.pcName;
        fresh.nickName = header.nickNameText();
        m_indexOf.insert(fresh.pcName, m_pcs.size());
        m_pcs.append(fresh);
        m_rowAt.append(QHash<QString, int>());
        pc = &m_pcs.last();
        change.bCreated = true;
    }
    mergeRows(pcAt(change.pcName), simus, header.iSimuType, change);
    const QString addrBefore = pc->connectAddress();
    pc->ipAddr = header.ipAddrText();
    pc->replyAddr = from;
    pc->bSilenceReported = false;
    change.bAddrChanged = !change.bCreated && pc->connectAddress() != addrBefore;
    pc->iRunLimit = header.iRunLimit;
    pc->lastHeard = qint32(stamp);
    pc->iDaemonModel = header.iDaemonModel;
    pc->iSimuType = header.iSimuType;
    const QString nick = header.nickNameText();
    change.bNickChanged = !change.bCreated && pc->nickName != nick;
    pc->nickName = nick;
    change.bCameOnline = pc->onlineLabel != PcLabel::online();
    pc->onlineLabel = PcLabel::online();
    change.entry = *pc;
    return change;
}

int AgentRegistry::takeState(struSimuRow& r, int iState, int iTime)
{
    int roles = r.iState != iState || r.iTime != iTime ? SimuRole::State : 0;
    r.iState = iState;
    r.iTime = iTime;
    if (dropsShot(iState) && !r.shot.isEmpty()) {
        r.shot.clear();
        r.shotSerial = ++m_shotSerial;
        roles |= SimuRole::Picture;
    }
    return roles;
}

bool AgentRegistry::applyState(const QString& pcName, const QString& memuIdx, int iState, int iTime)
{
    Batch batch(*this);
    QWriteLocker lock(&m_lock);
    const int at = pcAt(pcName);
    struSimuRow* r = findRow(at, memuIdx);
    if (!r || (iTime <= r->iTime && iTime != -1))
        return false;
    const int roles = takeState(*r, iState, iTime);
    if (roles)
        noteChange(at, pcName, memuIdx, roles);
    return true;
}

bool AgentRegistry::setPicture(const QString& pcName, const QString& memuIdx, const QByteArray& bytes,
                               bool bPng)
{
    Batch batch(*this);
    QWriteLocker lock(&m_lock);
    const int at = pcAt(pcName);
    struSimuRow* r = findRow(at, memuIdx);
    if (!r)
        return false;
    takePicture(at, *r, bytes, bPng);
    return true;
}

void AgentRegistry::takePicture(int pcAt, struSimuRow& r, const QByteArray& bytes, bool bPng)
{
    r.shot = bytes;
    r.bShotPng = bPng;
    r.shotSerial = ++m_shotSerial;
    noteChange(pcAt, m_pcs.at(pcAt).pcName, r.memuIdx, SimuRole::Picture);
}

bool AgentRegistry::applyState(const QString& pcName, const QString& memuIdx, int iState, int iTime,
                               int iDaemonModel, struSimuRow* pOut)
{
    Batch batch(*this);
    QWriteLocker lock(&m_lock);
    const int at = pcAt(pcName);
    struSimuRow* r = findRow(at, memuIdx);
    if (!r)
        return false;
    const bool changed = takeReport(at, *r, iState, iTime, iDaemonModel);
    if (pOut)
        *pOut = *r;
    return changed;
}

bool AgentRegistry::takeReport(int pcAt, struSimuRow& r, int iState, int iTime, int iDaemonModel)
{
    bool changed = false;
    int roles = 0;
    if (iDaemonModel >= 0 && r.iDaemonModel != iDaemonModel) {
        r.iDaemonModel = iDaemonModel;
        changed = true;
        roles |= SimuRole::State;
    }
    if (iTime > r.iTime || iTime == -1) {
        changed = changed || r.iState != iState;
        roles |= takeState(r, iState, iTime);
    }
    if (roles)
        noteChange(pcAt, m_pcs.at(pcAt).pcName, r.memuIdx, roles);
    return changed;
}

// The lock is let go every few hundred reports: the discovery worker asks the registry about every
// datagram it reads, and while it waits its socket overflows.
void AgentRegistry::applyReports(const SimuReportList& reports)
{
    constexpr int kReportsPerLock = 256;
    Batch batch(*this);
    for (int from = 0; from < reports.size(); from += kReportsPerLock) {
        QWriteLocker lock(&m_lock);
        const int to = qMin(int(reports.size()), from + kReportsPerLock);
        for (int i = from; i < to; ++i) {
            const struSimuReport& report = reports.at(i);
            const int at = pcAt(report.pcName);
            struSimuRow* r = findRow(at, report.memuIdx);
            if (!r)
                continue;
            takeReport(at, *r, report.iState, report.iTime, report.iDaemonModel);
            if (!report.jpeg.isEmpty())
                takePicture(at, *r, report.jpeg, false);
        }
    }
}

bool AgentRegistry::stateAfter(const QString& pcName, const QString& memuIdx, int iState, int iTime,
                               int& shown) const
{
    QReadLocker lock(&m_lock);
    const struSimuRow* r = findRow(pcAt(pcName), memuIdx);
    if (!r)
        return false;
    shown = (iTime > r->iTime || iTime == -1) ? iState : r->iState;
    return true;
}

bool AgentRegistry::setOffline(const QString& pcName)
{
    Batch batch(*this);
    QWriteLocker lock(&m_lock);
    const int at = pcAt(pcName);
    struPcEntry* pc = find(pcName);
    if (!pc)
        return false;
    pc->onlineLabel = PcLabel::offline();
    for (struSimuRow& r : pc->rows) {
        int roles = SimuRole::State;
        r.iState = -1;
        r.iTime = -1;
        if (!r.shot.isEmpty()) {
            r.shot.clear();
            r.shotSerial = ++m_shotSerial;
            roles |= SimuRole::Picture;
        }
        noteChange(at, pcName, r.memuIdx, roles);
    }
    return true;
}

QStringList AgentRegistry::silentPcs(qint64 nowSecs) const
{
    QStringList out;
    QReadLocker lock(&m_lock);
    for (const struPcEntry& pc : m_pcs) {
        if (silentFor10s(pc, nowSecs))
            out.append(pc.pcName);
    }
    return out;
}

QStringList AgentRegistry::takeNewlySilentPcs(qint64 nowSecs)
{
    QStringList out;
    QWriteLocker lock(&m_lock);
    for (struPcEntry& pc : m_pcs) {
        if (!pc.bSilenceReported && silentFor10s(pc, nowSecs)) {
            pc.bSilenceReported = true;
            out.append(pc.pcName);
        }
    }
    return out;
}

bool AgentRegistry::isSilent(const QString& pcName, qint64 nowSecs) const
{
    QReadLocker lock(&m_lock);
    const struPcEntry* pc = find(pcName);
    return pc && silentFor10s(*pc, nowSecs);
}

bool AgentRegistry::contains(const QString& pcName) const
{
    QReadLocker lock(&m_lock);
    return find(pcName) != nullptr;
}

QString AgentRegistry::connectAddress(const QString& pcName) const
{
    QReadLocker lock(&m_lock);
    const struPcEntry* pc = find(pcName);
    return pc ? pc->connectAddress() : QString();
}

QHostAddress AgentRegistry::replyAddress(const QString& pcName) const
{
    QReadLocker lock(&m_lock);
    const struPcEntry* pc = find(pcName);
    return pc ? pc->replyAddr : QHostAddress();
}

bool AgentRegistry::isPcAddress(const QHostAddress& addr) const
{
    QReadLocker lock(&m_lock);
    for (const struPcEntry& pc : m_pcs) {
        if (pc.replyAddr.isEqual(addr, QHostAddress::TolerantConversion))
            return true;
    }
    return false;
}

bool AgentRegistry::entry(const QString& pcName, struPcEntry& out) const
{
    QReadLocker lock(&m_lock);
    const struPcEntry* pc = find(pcName);
    if (pc)
        out = *pc;
    return pc != nullptr;
}

bool AgentRegistry::row(const QString& pcName, const QString& memuIdx, struSimuRow& out) const
{
    QReadLocker lock(&m_lock);
    const struSimuRow* r = findRow(pcAt(pcName), memuIdx);
    if (r)
        out = *r;
    return r != nullptr;
}

QVector<struSimuRow> AgentRegistry::rows(const SimuChangeList& changes) const
{
    QVector<struSimuRow> out;
    out.reserve(changes.size());
    QReadLocker lock(&m_lock);
    for (const struSimuChange& c : changes) {
        const struSimuRow* r = findRow(pcAt(c.pcName), c.memuIdx);
        out.append(r ? *r : struSimuRow());
    }
    return out;
}

QList<struPcEntry> AgentRegistry::snapshot() const
{
    QReadLocker lock(&m_lock);
    return m_pcs;
}

int AgentRegistry::pcCount() const
{
    QReadLocker lock(&m_lock);
    return m_pcs.size();
}

int AgentRegistry::simuCount() const
{
    QReadLocker lock(&m_lock);
    return m_rowCount;
}

bool AgentRegistry::setChecked(const QString& pcName, const QString& memuIdx, bool bChecked)
{
    QWriteLocker lock(&m_lock);
    struSimuRow* r = findRow(pcAt(pcName), memuIdx);
    if (r)
        r->bChecked = bChecked;
    return r != nullptr;
}

void AgentRegistry::clearChecks()
{
    QWriteLocker lock(&m_lock);
    for (struPcEntry& pc : m_pcs) {
        for (struSimuRow& r : pc.rows)
            r.bChecked = false;
    }
}

bool AgentRegistry::hasChecked() const
{
    QReadLocker lock(&m_lock);
    for (const struPcEntry& pc : m_pcs) {
        for (const struSimuRow& r : pc.rows) {
            if (r.bChecked)
                return true;
        }
    }
    return false;
}

QList<struPcEntry> AgentRegistry::checkedPcs() const
{
    QList<struPcEntry> out;
    QReadLocker lock(&m_lock);
    for (const struPcEntry& pc : m_pcs) {
        if (!pc.checkedIndices().isEmpty())
            out.append(pc);
    }
    return out;
}

void AgentRegistry::setArgument(const QString& pcName, const QString& argument)
{
    QWriteLocker lock(&m_lock);
    if (struPcEntry* pc = find(pcName))
        pc->argument = argument;
}

QString AgentRegistry::argument(const QString& pcName) const
{
    QReadLocker lock(&m_lock);
    const struPcEntry* pc = find(pcName);
    return pc ? pc->argument : QString();
}
