#include "groupctlmgr.h"

#include "adbshells.h"
#include "agentlogging.h"
#include "inventorycache.h"
#include "rspsorgrpopermgr.h"
#include "simustatestore.h"
#include "simutcprcvobj.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {

constexpr int kViewQuitWaitMs = 5000;
constexpr int kMaxRuns = 16;
const QString kRunEnded = QStringLiteral("群控已结束");

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

GroupReplyItem item(const QString& memuIdx, int code, int dropped = 0)
{
    return GroupReplyItem{memuIdx, code, groupReplyText(code, dropped), dropped};
}

// Every record refused with one code.
GroupReply refuseAll(const QList<struSimuOper>& opers, int code, const QString& why)
{
    qCWarning(lcGroup).noquote() << "group command of type" << opers.first().iOperType << "refused:" << why;
    GroupReply reply;
    reply.type = opers.first().iOperType;
    reply.runId = opers.first().runId;
    for (const struSimuOper& oper : opers.mid(0, GroupControl::kMaxReplyItems))
        reply.items << item(oper.memuIdx, code);
    return reply;
}

// 0 when the agent holds the instance running; its adb serial then in serial.
int checkInstance(const QString& memuIdx, QString& serial)
{
    SimuInfo info;
    if (memuIdx.isEmpty() || !InventoryCache::instance().find(memuIdx, info) || info.adbPort() <= 0)
        return eGroupNoSuchInstance;
    if (SimuStateStore::instance().record(memuIdx).iState != eStateRunning)
        return eGroupNotRunning;
    serial = info.adbSerial();
    return eGroupOk;
}

// "Physical size: 720x1280", and "Override size: ..." when the screen is set to another one.
QSize parseScreen(const QByteArray& out)
{
    static const QRegularExpression re(QStringLiteral("(Physical|Override) size: *(\\d{1,5})x(\\d{1,5})"));
    QSize size;
    auto it = re.globalMatch(QString::fromLatin1(out.left(4096)));
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        if (size.isEmpty() || m.captured(1) == QLatin1String("Override"))
            size = QSize(m.captured(2).toInt(), m.captured(3).toInt());
    }
    return size.width() > 0 && size.height() > 0 ? size : QSize();
}

} // namespace

GroupCtlMgr::GroupCtlMgr(const Options& options, QObject* parent) : QObject(parent), m_options(options) {}

GroupCtlMgr::~GroupCtlMgr()
{
    m_guard.release();
    // Ending a view's thread deletes its sender, which tells its console that the agent exits and
    // closes its connection and its shell.
    for (const QPointer<QThread>& pThread : qAsConst(m_viewThreads)) {
        if (!pThread)
            continue;
        pThread->quit();
        if (!pThread->wait(kViewQuitWaitMs))
            qCWarning(lcGroup) << "a live view's thread did not end in time";
    }
}

void GroupCtlMgr::attach(SimuTcpRcvObj* pRcvObj, GroupCtlMgr* pMgr)
{
    qRegisterMetaType<QList<struSimuOper>>("QList<struSimuOper>");
    if (!connect(pRcvObj, &SimuTcpRcvObj::sigGroupCommand, pMgr, &GroupCtlMgr::slGroupCommand))
        qCWarning(lcGroup) << "connect SimuTcpRcvObj::sigGroupCommand GroupCtlMgr::slGroupCommand err";
    if (!connect(pMgr, &GroupCtlMgr::sigGroupReply, pRcvObj, &SimuTcpRcvObj::slGroupReply))
        qCWarning(lcGroup) << "connect GroupCtlMgr::sigGroupReply SimuTcpRcvObj::slGroupReply err";
}

void GroupCtlMgr::slInit()
{
    if (m_pIdle)
        return;
    m_pIdle = new QTimer(this);
    connect(m_pIdle, &QTimer::timeout, this, &GroupCtlMgr::endIdleRuns);
    m_pIdle->start(qBound(50, m_options.iIdleEndMs / 4, 60000));
}

void GroupCtlMgr::slGroupCommand(quint64 iTicket, QList<struSimuOper> opers)
{
    if (opers.isEmpty())
        return;
    slInit();
    GroupReply reply;
    if (opers.first().runId.isEmpty())
        reply = refuseAll(opers, eGroupMalformed, QStringLiteral("no run id"));
    else if (opers.first().iOperType == eOperGroupViewBegin)
        reply = viewBegin(opers);
    else if (opers.first().iOperType == eOperGroupViewEnd)
        reply = viewEnd(opers);
    else
        reply = input(opers);
    m_runs.storeRelaxed(m_hRuns.size());
    emit sigGroupReply(iTicket, groupReplyToJson(reply));
}

GroupReply GroupCtlMgr::viewBegin(const QList<struSimuOper>& opers)
{
    const struSimuOper& oper = opers.first();
    GroupReply reply{oper.iOperType, oper.runId, {}};
    QString serial;
    int code = checkInstance(oper.memuIdx, serial);
    if (code == eGroupOk && (oper.iExtra <= 0 || oper.iExtra > 65535 || opers.size() != 1))
        code = eGroupMalformed;
    struRun& run = runOf(oper.runId);
    if (run.pView)
        stopView(run, QStringLiteral("新的实时画面已开始"));
    if (code == eGroupOk && m_views.loadRelaxed() >= m_options.iMaxViews)
        code = eGroupViewFailed;
    reply.items << item(oper.memuIdx, code);
    if (code != eGroupOk) {
        qCWarning(lcGroup).noquote() << "group run" << oper.runId << ": no live view of" << oper.memuIdx
                                     << reply.items.first().text;
        return reply;
    }
    run.pView = new GroupViewSender(serial, oper.memuIdx, QHostAddress(oper.centerIP), quint16(oper.iExtra),
                                    oper.runId, m_options.view);
    auto* pThread = new QThread;
    pThread->setObjectName(QStringLiteral("GroupView"));
    run.pView->moveToThread(pThread);
    GroupViewSender* pSender = run.pView;
    connect(pThread, &QThread::started, pSender, &GroupViewSender::slStart);
    connect(pThread, &QThread::finished, pSender, &QObject::deleteLater);
    connect(pThread, &QThread::finished, pThread, &QObject::deleteLater);
    connect(pSender, &GroupViewSender::sigEnded, this,
            [this, pSender](const QString& runId, const QString& reason) {
                onViewEnded(pSender, runId, reason);
            });
    m_views.fetchAndAddRelaxed(1);
    emit sigViewStarted(pSender);
    m_viewThreads.removeAll(nullptr);
    m_viewThreads << pThread;
    pThread->start();
    return reply;
}

GroupReply GroupCtlMgr::viewEnd(const QList<struSimuOper>& opers)
{
    const QString runId = opers.first().runId;
    int dropped = 0;
    for (const struTarget& target : m_hRuns.value(runId).targets)
        dropped += target.dropped;
    endRun(runId, kRunEnded);
    return GroupReply{
        opers.first().iOperType, runId, {GroupReplyItem{QString(), eGroupOk, QString(), dropped}}};
}

GroupReply GroupCtlMgr::input(const QList<struSimuOper>& opers)
{
    const QString runId = opers.first().runId;
    GroupReply reply{opers.first().iOperType, runId, {}};
    QSet<QString> seen;
    std::optional<QString> parsedJson; // the records carry the same event: it is read once
    std::optional<GroupInputEvent> parsed;
    for (const struSimuOper& oper : opers.mid(0, GroupControl::kMaxReplyItems)) {
        QString why = QStringLiteral("another run's record");
        if (oper.runId == runId && parsedJson != oper.inputEvent) {
            parsedJson = oper.inputEvent;
            parsed = GroupInputEvent::fromJson(oper.inputEvent, &why);
            if (!parsed)
                qCWarning(lcGroup).noquote() << "group run" << runId << ": event refused:" << why;
        }
        const std::optional<GroupInputEvent> event = oper.runId == runId ? parsed : std::nullopt;
        QString serial;
        const int code = event ? checkInstance(oper.memuIdx, serial) : int(eGroupMalformed);
        if (code != eGroupOk || seen.contains(oper.memuIdx)) {
            const struTarget* pTarget = targetOf(runId, oper.memuIdx);
            reply.items << item(oper.memuIdx, code, pTarget ? pTarget->dropped : 0);
            continue;
        }
        seen.insert(oper.memuIdx);
        reply.items << replay(runId, oper.memuIdx, serial, *event);
    }
    return reply;
}

GroupReplyItem GroupCtlMgr::replay(const QString& runId, const QString& memuIdx, const QString& serial,
                                   const GroupInputEvent& event)
{
    struTarget& target = runOf(runId).targets[memuIdx];
    if (target.serial != serial) { // a new instance, or its adb port changed: its screen is read again
        target.serial = serial;
        target.screen = QSize();
    }
    if (target.waiting.size() + target.inFlight >= m_options.iMaxQueuedEvents) {
        noteDropped(runId, memuIdx, target, 1);
        return item(memuIdx, eGroupQueueFull, target.dropped);
    }
    target.waiting.enqueue(event);
    pump(runId, memuIdx, target);
    return item(memuIdx, target.health, target.dropped);
}

// A run is begun by the first command that names it. Beyond kMaxRuns the run used longest ago ends,
// so that commands naming ever new runs cannot make the agent hold ever more.
GroupCtlMgr::struRun& GroupCtlMgr::runOf(const QString& runId)
{
    const bool isNew = !m_hRuns.contains(runId);
    if (isNew && m_hRuns.size() >= kMaxRuns) {
        auto oldest =
            std::min_element(m_hRuns.cbegin(), m_hRuns.cend(),
                             [](const struRun& a, const struRun& b) { return a.lastUseMs < b.lastUseMs; });
        endRun(oldest.key(), QStringLiteral("群控已被新的群控取代"));
    }
    struRun& run = m_hRuns[runId];
    if (isNew)
        qCInfo(lcGroup).noquote() << "group run" << runId << "begins";
    run.lastUseMs = nowMs();
    return run;
}

GroupCtlMgr::struTarget* GroupCtlMgr::targetOf(const QString& runId, const QString& memuIdx)
{
    auto run = m_hRuns.find(runId);
    if (run == m_hRuns.end())
        return nullptr;
    auto target = run->targets.find(memuIdx);
    return target == run->targets.end() ? nullptr : &*target;
}

void GroupCtlMgr::pump(const QString& runId, const QString& memuIdx, struTarget& target)
{
    if (target.screen.isEmpty()) {
        if (!target.sizing)
            readScreen(runId, memuIdx, target);
        return;
    }
    while (!target.waiting.isEmpty()) {
        const GroupInputEvent event = target.waiting.dequeue();
        const QStringList words = event.inputWords(target.screen);
        if (words.isEmpty())
            continue; // nothing `input` can type
        ++target.inFlight;
        const int timeoutMs =
            m_options.iEventTimeoutMs + (event.kind == GroupInputEvent::eKind::Swipe ? event.ms : 0);
        AdbShells::post(target.serial, words, timeoutMs,
                        [guard = m_guard, this, runId, memuIdx](const struShellReply& r) {
                            guard.post([this, runId, memuIdx, r] { onEventDone(runId, memuIdx, r); });
                        });
    }
}

void GroupCtlMgr::readScreen(const QString& runId, const QString& memuIdx, struTarget& target)
{
    target.sizing = true;
    AdbShells::post(target.serial, {QStringLiteral("wm"), QStringLiteral("size")}, m_options.iEventTimeoutMs,
                    [guard = m_guard, this, runId, memuIdx](const struShellReply& r) {
                        guard.post([this, runId, memuIdx, r] { onScreen(runId, memuIdx, r); });
                    });
}

void GroupCtlMgr::onScreen(const QString& runId, const QString& memuIdx, const struShellReply& reply)
{
    struTarget* pTarget = targetOf(runId, memuIdx);
    if (!pTarget)
        return;
    pTarget->sizing = false;
    pTarget->screen = reply.result.iRet == 0 ? parseScreen(reply.out) : QSize();
    if (!pTarget->screen.isEmpty()) {
        qCInfo(lcGroup).noquote() << "group run" << runId << ":" << memuIdx << "has a screen of"
                                  << pTarget->screen.width() << "x" << pTarget->screen.height();
        pump(runId, memuIdx, *pTarget);
        return;
    }
    // Without its size no event can be placed: those waiting are lost, the next one tries again.
    qCWarning(lcGroup).noquote() << "group run" << runId << ": screen size of" << memuIdx
                                 << "not read:" << reply.result.str << reply.result.log
                                 << QString::fromUtf8(reply.out.left(200));
    pTarget->health = eGroupShellFailed;
    noteDropped(runId, memuIdx, *pTarget, pTarget->waiting.size());
    pTarget->waiting.clear();
}

void GroupCtlMgr::onEventDone(const QString& runId, const QString& memuIdx, const struShellReply& reply)
{
    struTarget* pTarget = targetOf(runId, memuIdx);
    if (!pTarget)
        return;
    --pTarget->inFlight;
    const int health = reply.result.iRet == 0 ? int(eGroupOk) : int(eGroupShellFailed);
    if (health != pTarget->health)
        qCWarning(lcGroup).noquote()
            << "group run" << runId << ":" << memuIdx
            << (health == eGroupOk
                    ? QStringLiteral("replays again")
                    : QStringLiteral("replay failed: %1 %2").arg(reply.result.str, reply.result.log));
    pTarget->health = health;
}

void GroupCtlMgr::noteDropped(const QString& runId, const QString& memuIdx, struTarget& target, int count)
{
    if (count <= 0)
        return;
    const int before = target.dropped;
    target.dropped += count;
    // The first drop and then every 50th are logged.
    if (before == 0 || before / 50 != target.dropped / 50)
        qCWarning(lcGroup).noquote() << "group run" << runId << ":" << memuIdx << "is behind, dropped"
                                     << target.dropped << "events";
}

void GroupCtlMgr::endRun(const QString& runId, const QString& reason)
{
    auto it = m_hRuns.find(runId);
    if (it == m_hRuns.end())
        return;
    stopView(*it, reason);
    int dropped = 0;
    for (const struTarget& target : it->targets)
        dropped += target.dropped;
    qCInfo(lcGroup).noquote() << "group run" << runId << "ends:" << reason << "instances"
                              << it->targets.size() << "dropped" << dropped;
    m_hRuns.erase(it);
    m_runs.storeRelaxed(m_hRuns.size());
}

// The sender tells its console, closes and reports its end; its thread is let go then.
void GroupCtlMgr::stopView(struRun& run, const QString& reason)
{
    if (!run.pView)
        return;
    QMetaObject::invokeMethod(run.pView, "slStop", Qt::QueuedConnection, Q_ARG(QString, reason));
    run.pView = nullptr;
}

void GroupCtlMgr::onViewEnded(GroupViewSender* pSender, const QString& runId, const QString& reason)
{
    QThread* pThread = pSender->thread();
    auto it = m_hRuns.find(runId);
    if (it != m_hRuns.end() && it->pView == pSender)
        it->pView = nullptr;
    pThread->quit();
    m_views.fetchAndSubRelaxed(1);
    emit sigViewEnded(runId, reason);
}

void GroupCtlMgr::endIdleRuns()
{
    const qint64 now = nowMs();
    QStringList idle;
    for (auto it = m_hRuns.cbegin(); it != m_hRuns.cend(); ++it) {
        if (now - it->lastUseMs >= m_options.iIdleEndMs)
            idle << it.key();
    }
    for (const QString& runId : idle)
        endRun(runId, QStringLiteral("群控长时间无操作，已结束"));
}
