#include "grouprunobj.h"

#include "agentregistry.h"
#include "simurecords.h"

namespace {

QString keyOf(const QString& pcKey, const QString& memuIdx)
{
    return pcKey + QLatin1Char('\n') + memuIdx;
}

} // namespace

GroupRunObj::GroupRunObj(std::shared_ptr<const AgentRegistry> registry, const QList<GroupMember>& members,
                         const QString& runId, const Options& options, QObject* parent)
    : QObject(parent), m_pRegistry(std::move(registry)), m_members(members), m_runId(runId),
      m_options(options)
{
    for (const GroupMember& m : members) {
        if (!m_pcs.contains(m.pcKey))
            m_pcs.append(m.pcKey);
        GroupMemberStatus s;
        s.pcKey = m.pcKey;
        s.memuIdx = m.memuIdx;
        m_status.insert(keyOf(m.pcKey, m.memuIdx), s);
    }
}

// The lanes go before the statuses they report into.
GroupRunObj::~GroupRunObj()
{
    qDeleteAll(m_lanes);
}

QString GroupRunObj::addressOf(const QString& pcKey) const
{
    return m_pRegistry->contains(pcKey) ? m_pRegistry->connectAddress(pcKey) : QString();
}

GroupPcLane* GroupRunObj::lane(const QString& pcKey)
{
    if (GroupPcLane* p = m_lanes.value(pcKey))
        return p;
    GroupPcLane::Options o;
    o.pcKey = pcKey;
    for (const GroupMember& m : qAsConst(m_members)) {
        if (m.pcKey == pcKey)
            o.nickName = m.nickName;
    }
    o.runId = m_runId;
    o.agentPort = m_options.agentPort;
    o.connectWaitMs = m_options.connectWaitMs;
    o.replyWaitMs = m_options.replyWaitMs;
    o.maxQueued = m_options.maxQueued;
    auto* p = new GroupPcLane(
        o, [this, pcKey] { return addressOf(pcKey); },
        [this, pcKey](const GroupJob& job, const GroupJobOutcome& outcome) { jobDone(pcKey, job, outcome); },
        this);
    m_lanes.insert(pcKey, p);
    return p;
}

// The list as it is now decides who gets the event: members of an offline PC, and members that are
// not running, are shown so and sent nothing.
void GroupRunObj::slInput(QString strEventJson)
{
    if (m_ending)
        return;
    for (const QString& pc : qAsConst(m_pcs)) {
        struPcEntry entry;
        const bool listed = m_pRegistry->entry(pc, entry);
        GroupJob job;
        job.iKind = eOperGroupInput;
        job.inputEvent = strEventJson;
        for (const GroupMember& m : qAsConst(m_members)) {
            if (m.pcKey != pc)
                continue;
            const struSimuRow* row = listed ? entry.row(m.memuIdx) : nullptr;
            if (!listed || entry.isOffline())
                setStatus(pc, m.memuIdx, GroupFollow::Offline);
            else if (!row || !groupTakesInput(row->iState))
                setStatus(pc, m.memuIdx, GroupFollow::NotRunning);
            else
                job.memuIdxs.append(m.memuIdx);
        }
        if (!job.memuIdxs.isEmpty())
            lane(pc)->push(job);
    }
    flush();
}

void GroupRunObj::slBeginView(QString strPcKey, QString strMemuIdx, int iPort)
{
    if (m_ending)
        return;
    GroupJob job;
    job.iKind = eOperGroupViewBegin;
    job.memuIdxs = QStringList{strMemuIdx};
    job.iExtra = iPort;
    lane(strPcKey)->push(job);
}

void GroupRunObj::slEndView(QString strPcKey)
{
    GroupJob job;
    job.iKind = eOperGroupViewEnd;
    job.memuIdxs = QStringList{QString()};
    lane(strPcKey)->push(job);
}

void GroupRunObj::slEndRun()
{
    if (m_ending)
        return checkEnded();
    m_ending = true;
    for (const QString& pc : qAsConst(m_pcs)) {
        lane(pc)->dropInputs();
        slEndView(pc);
    }
    flush();
    checkEnded();
}

void GroupRunObj::checkEnded()
{
    if (!m_ending || m_ended)
        return;
    for (GroupPcLane* p : qAsConst(m_lanes)) {
        if (!p->idle())
            return;
    }
    m_ended = true;
    emit sigRunEnded();
}

void GroupRunObj::jobDone(const QString& pcKey, const GroupJob& job, const GroupJobOutcome& outcome)
{
    if (job.iKind == eOperGroupInput)
        inputDone(pcKey, job, outcome);
    else if (job.iKind == eOperGroupViewBegin)
        viewDone(pcKey, job, outcome);
    flush();
    // The lane calls back before it takes its next job: the end is checked once it has.
    if (m_ending)
        QMetaObject::invokeMethod(this, &GroupRunObj::checkEnded, Qt::QueuedConnection);
}

void GroupRunObj::inputDone(const QString& pcKey, const GroupJob& job, const GroupJobOutcome& outcome)
{
    using Kind = GroupJobOutcome::Kind;
    if (outcome.kind == Kind::Dropped) {
        for (const QString& idx : job.memuIdxs)
            ++m_consoleDropped[keyOf(pcKey, idx)];
    }
    for (const QString& idx : job.memuIdxs) {
        const GroupMemberStatus& now = m_status.value(keyOf(pcKey, idx));
        if (outcome.kind == Kind::Unreachable)
            setStatus(pcKey, idx, GroupFollow::Offline);
        else if (outcome.kind == Kind::NoReply)
            setStatus(pcKey, idx, GroupFollow::NoReply);
        else if (outcome.kind == Kind::Dropped)
            setStatus(pcKey, idx, now.follow, now.text);
    }
    if (outcome.kind != Kind::Replied || !outcome.reply)
        return;
    for (const GroupReplyItem& item : outcome.reply->items) {
        if (!job.memuIdxs.contains(item.memuIdx))
            continue;
        if (item.code == eGroupOk)
            setStatus(pcKey, item.memuIdx, GroupFollow::Following, QString(), item.dropped);
        else if (item.code == eGroupNotRunning)
            setStatus(pcKey, item.memuIdx, GroupFollow::NotRunning, QString(), item.dropped);
        else
            setStatus(pcKey, item.memuIdx, GroupFollow::Refused, item.text, item.dropped);
    }
}

void GroupRunObj::viewDone(const QString& pcKey, const GroupJob& job, const GroupJobOutcome& outcome)
{
    const QString idx = job.memuIdxs.value(0);
    if (outcome.kind == GroupJobOutcome::Kind::Replied && outcome.reply && !outcome.reply->items.isEmpty()) {
        const GroupReplyItem& item = outcome.reply->items.first();
        emit sigViewReply(pcKey, idx, int(item.code), item.text);
        return;
    }
    emit sigViewReply(pcKey, idx, outcome.kind == GroupJobOutcome::Kind::Unreachable ? -2 : -1, outcome.why);
}

void GroupRunObj::setStatus(const QString& pcKey, const QString& memuIdx, GroupFollow follow,
                            const QString& text, int agentDropped)
{
    const QString key = keyOf(pcKey, memuIdx);
    if (!m_status.contains(key))
        return;
    if (agentDropped >= 0)
        m_agentDropped[key] = agentDropped;
    GroupMemberStatus s;
    s.pcKey = pcKey;
    s.memuIdx = memuIdx;
    s.follow = follow;
    s.text = text;
    s.dropped = m_agentDropped.value(key) + m_consoleDropped.value(key);
    if (m_status.value(key) == s)
        return;
    m_status.insert(key, s);
    m_changed.append(s);
}

void GroupRunObj::flush()
{
    if (m_changed.isEmpty())
        return;
    emit sigStatuses(m_changed);
    m_changed.clear();
}
