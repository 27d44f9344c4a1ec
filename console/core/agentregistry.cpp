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

void AgentRegistry::noteChange(const QString& pcName, const QString& memuIdx, int roles)
{
    const QString key = pcName + QLatin1Char('\n') + memuIdx;
    const auto it = m_changeAt.constFind(key);
    if (it != m_changeAt.constEnd()) {
        m_changes[*it].roles |= roles;
        return;
    }
    m_changeAt.insert(key, m_changes.size());
    m_changes.append(struSimuChange{pcName, memuIdx, roles});
}

// One notice for the batch: the rows, or the whole range when most rows changed (as a view would
// repaint everything anyway, without a search per row).
void AgentRegistry::endBatch()
{
    SimuChangeList changes;
    int rows = 0;
    {
        QWriteLocker lock(&m_lock);
        if (--m_batchDepth > 0 || m_changes.isEmpty())
            return;
        changes.swap(m_changes);
        m_changeAt.clear();
        for (const struPcEntry& pc : qAsConst(m_pcs))
            rows += pc.rows.size();
    }
    if (changes.size() * 2 <= rows)
        return emit sigSimusChanged(changes);
    int roles = 0;
    for (const struSimuChange& c : qAsConst(changes))
        roles |= c.roles;
    emit sigAllSimusChanged(roles);
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

struPcEntry* AgentRegistry::find(const QString& pcName)
{
    const auto it = m_indexOf.constFind(pcName);
    return it == m_indexOf.constEnd() ? nullptr : &m_pcs[*it];
}

const struPcEntry* AgentRegistry::find(const QString& pcName) const
{
    const auto it = m_indexOf.constFind(pcName);
    return it == m_indexOf.constEnd() ? nullptr : &m_pcs.at(*it);
}

struSimuRow* AgentRegistry::findRow(struPcEntry& pc, const QString& memuIdx)
{
    for (struSimuRow& r : pc.rows) {
        if (r.memuIdx == memuIdx)
            return &r;
    }
    return nullptr;
}

void AgentRegistry::mergeRows(struPcEntry& pc, const QList<struSimuEntry>& simus, int iSimuType,
                              struPcInfoChange& change)
{
    QSet<QString> present;
    for (const struSimuEntry& e : simus) {
        present.insert(e.memuIdx);
        if (struSimuRow* r = findRow(pc, e.memuIdx)) {
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
        change.added.append(row);
    }
    for (int i = pc.rows.size() - 1; i >= 0; --i) {
        if (!present.contains(pc.rows.at(i).memuIdx)) {
            change.removed.prepend(pc.rows.at(i).memuIdx);
            pc.rows.removeAt(i);
        }
    }
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
        pc = &m_pcs.last();
        change.bCreated = true;
    }
    mergeRows(*pc, simus, header.iSimuType, change);
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
    struPcEntry* pc = find(pcName);
    struSimuRow* r = pc ? findRow(*pc, memuIdx) : nullptr;
    if (!r || (iTime <= r->iTime && iTime != -1))
        return false;
    const int roles = takeState(*r, iState, iTime);
    if (roles)
        noteChange(pcName, memuIdx, roles);
    return true;
}

bool AgentRegistry::setPicture(const QString& pcName, const QString& memuIdx, const QByteArray& bytes,
                               bool bPng)
{
    Batch batch(*this);
    QWriteLocker lock(&m_lock);
    struPcEntry* pc = find(pcName);
    struSimuRow* r = pc ? findRow(*pc, memuIdx) : nullptr;
    if (!r)
        return false;
    r->shot = bytes;
    r->bShotPng = bPng;
    r->shotSerial = ++m_shotSerial;
    noteChange(pcName, memuIdx, SimuRole::Picture);
    return true;
}

bool AgentRegistry::applyState(const QString& pcName, const QString& memuIdx, int iState, int iTime,
                               int iDaemonModel, struSimuRow* pOut)
{
    Batch batch(*this);
    QWriteLocker lock(&m_lock);
    struPcEntry* pc = find(pcName);
    struSimuRow* r = pc ? findRow(*pc, memuIdx) : nullptr;
    if (!r)
        return false;
    bool changed = false;
    int roles = 0;
    if (iDaemonModel >= 0 && r->iDaemonModel != iDaemonModel) {
        r->iDaemonModel = iDaemonModel;
        changed = true;
        roles |= SimuRole::State;
    }
    if (iTime > r->iTime || iTime == -1) {
        changed = changed || r->iState != iState;
        roles |= takeState(*r, iState, iTime);
    }
    if (roles)
        noteChange(pcName, memuIdx, roles);
    if (pOut)
        *pOut = *r;
    return changed;
}

bool AgentRegistry::stateAfter(const QString& pcName, const QString& memuIdx, int iState, int iTime,
                               int& shown) const
{
    QReadLocker lock(&m_lock);
    const struPcEntry* pc = find(pcName);
    const struSimuRow* r = pc ? pc->row(memuIdx) : nullptr;
    if (!r)
        return false;
    shown = (iTime > r->iTime || iTime == -1) ? iState : r->iState;
    return true;
}

bool AgentRegistry::setOffline(const QString& pcName)
{
    Batch batch(*this);
    QWriteLocker lock(&m_lock);
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
        noteChange(pcName, r.memuIdx, roles);
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
    const struPcEntry* pc = find(pcName);
    const struSimuRow* r = pc ? pc->row(memuIdx) : nullptr;
    if (r)
        out = *r;
    return r != nullptr;
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
    int n = 0;
    for (const struPcEntry& pc : m_pcs)
        n += pc.rows.size();
    return n;
}

bool AgentRegistry::setChecked(const QString& pcName, const QString& memuIdx, bool bChecked)
{
    QWriteLocker lock(&m_lock);
    struPcEntry* pc = find(pcName);
    struSimuRow* r = pc ? findRow(*pc, memuIdx) : nullptr;
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
