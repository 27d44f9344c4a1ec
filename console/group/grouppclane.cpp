#include "grouppclane.h"

#include "devcontrolabsmgr.h"
#include "simurecords.h"

#include <QDateTime>
#include <QDebug>
#include <QTcpSocket>
#include <QTimer>

GroupPcLane::GroupPcLane(const Options& options, AddressFn address, DoneFn done, QObject* parent)
    : QObject(parent), m_options(options), m_address(std::move(address)), m_done(std::move(done))
{
    m_pDeadline = new QTimer(this);
    m_pDeadline->setSingleShot(true);
    connect(m_pDeadline, &QTimer::timeout, this, &GroupPcLane::deadlinePassed);
}

GroupPcLane::~GroupPcLane()
{
    if (m_pSocket) {
        m_pSocket->disconnect(this); // no outcome is reported from here
        m_pSocket->abort();
    }
}

void GroupPcLane::push(const GroupJob& job)
{
    if (job.iKind == eOperGroupInput) {
        int inputs = 0;
        for (const GroupJob& j : qAsConst(m_queue))
            inputs += j.iKind == eOperGroupInput ? 1 : 0;
        for (int i = 0; inputs >= m_options.maxQueued && i < m_queue.size(); ++i) {
            if (m_queue.at(i).iKind != eOperGroupInput)
                continue;
            const GroupJob old = m_queue.takeAt(i);
            GroupJobOutcome dropped;
            dropped.kind = GroupJobOutcome::Kind::Dropped;
            dropped.why = QStringLiteral("queue full");
            m_done(old, dropped);
            break;
        }
    }
    m_queue.enqueue(job);
    if (m_step == Step::Idle)
        startNext();
}

void GroupPcLane::dropInputs()
{
    dropWhere([](const GroupJob& j) { return j.iKind == eOperGroupInput; }, GroupJobOutcome::Kind::Dropped,
              QStringLiteral("the run ends"));
}

void GroupPcLane::dropWhere(const std::function<bool(const GroupJob&)>& pred, GroupJobOutcome::Kind kind,
                            const QString& why)
{
    QQueue<GroupJob> kept;
    QList<GroupJob> gone;
    while (!m_queue.isEmpty()) {
        GroupJob j = m_queue.dequeue();
        (pred(j) ? gone : kept).append(j);
    }
    m_queue = kept;
    GroupJobOutcome outcome;
    outcome.kind = kind;
    outcome.why = why;
    for (const GroupJob& j : gone)
        m_done(j, outcome);
}

void GroupPcLane::startNext()
{
    if (m_step != Step::Idle || m_queue.isEmpty())
        return;
    m_current = m_queue.dequeue();
    m_addr = m_address();
    if (m_addr.isEmpty()) {
        GroupJobOutcome outcome;
        outcome.kind = GroupJobOutcome::Kind::Unreachable;
        outcome.why = QStringLiteral("the PC is not listed");
        return finish(outcome);
    }
    m_reply.clear();
    m_pSocket = new QTcpSocket(this);
    m_pSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(m_pSocket, &QTcpSocket::connected, this, &GroupPcLane::connected);
    connect(m_pSocket, &QTcpSocket::readyRead, this, &GroupPcLane::readReply);
    connect(m_pSocket, &QTcpSocket::disconnected, this, &GroupPcLane::socketGone);
    connect(m_pSocket, &QAbstractSocket::errorOccurred, this, &GroupPcLane::socketGone);
    m_step = Step::Connecting;
    m_pDeadline->start(m_options.connectWaitMs);
    m_pSocket->connectToHost(m_addr, m_options.agentPort);
}

void GroupPcLane::connected()
{
    if (m_step != Step::Connecting)
        return;
    DevOperData data;
    data.iOperType = m_current.iKind;
    data.memuIdxs = m_current.memuIdxs;
    data.pcName = m_options.pcKey;
    data.nickName = m_options.nickName;
    data.ipAddr = m_addr;
    data.iExtra = m_current.iExtra;
    data.iTime = int(QDateTime::currentSecsSinceEpoch());
    data.runId = m_options.runId;
    data.inputEvent = m_current.inputEvent;
    const QByteArray doc = commandDocument(data, centerAddress(*m_pSocket, m_addr));
    m_step = Step::Waiting;
    m_pDeadline->start(m_options.replyWaitMs);
    m_pSocket->write(doc);
}

// The agent writes one document and closes; it is taken as soon as it is whole.
void GroupPcLane::readReply()
{
    if (m_step != Step::Waiting)
        return;
    m_reply += m_pSocket->read(GroupControl::kMaxReplyBytes + 1 - m_reply.size());
    GroupJobOutcome outcome;
    if (m_reply.size() > GroupControl::kMaxReplyBytes) {
        outcome.why = QStringLiteral("reply larger than %1 bytes").arg(GroupControl::kMaxReplyBytes);
        return finish(outcome);
    }
    QString why;
    outcome.reply = groupReplyFromJson(m_reply, &why);
    if (!outcome.reply)
        return; // not whole yet: the rest, the close or the deadline follows
    outcome.kind = GroupJobOutcome::Kind::Replied;
    finish(outcome);
}

void GroupPcLane::socketGone()
{
    if (m_step == Step::Idle)
        return;
    GroupJobOutcome outcome;
    outcome.kind =
        m_step == Step::Connecting ? GroupJobOutcome::Kind::Unreachable : GroupJobOutcome::Kind::NoReply;
    outcome.why = m_pSocket->errorString();
    if (m_step == Step::Waiting && m_pSocket->bytesAvailable() > 0)
        return readReply();
    if (m_step == Step::Waiting && !m_reply.isEmpty())
        outcome.why = QStringLiteral("unreadable reply: ") + QString::fromUtf8(m_reply.left(200));
    finish(outcome);
}

void GroupPcLane::deadlinePassed()
{
    GroupJobOutcome outcome;
    outcome.kind =
        m_step == Step::Connecting ? GroupJobOutcome::Kind::Unreachable : GroupJobOutcome::Kind::NoReply;
    outcome.why = m_step == Step::Connecting
                      ? QStringLiteral("no connection within %1 ms").arg(m_options.connectWaitMs)
                      : QStringLiteral("no reply within %1 ms").arg(m_options.replyWaitMs);
    finish(outcome);
}

void GroupPcLane::finish(const GroupJobOutcome& outcome)
{
    m_pDeadline->stop();
    if (m_pSocket) {
        m_pSocket->disconnect(this);
        m_pSocket->abort();
        m_pSocket->deleteLater();
        m_pSocket = nullptr;
    }
    m_step = Step::Idle;
    const GroupJob job = m_current;
    if (outcome.kind != GroupJobOutcome::Kind::Replied)
        qWarning().noquote() << "group run" << m_options.runId << "kind" << job.iKind << "to"
                             << m_options.pcKey << "at" << m_addr << ":" << outcome.why;
    m_done(job, outcome);
    if (outcome.kind == GroupJobOutcome::Kind::Unreachable)
        dropWhere([](const GroupJob& j) { return j.iKind == eOperGroupInput; },
                  GroupJobOutcome::Kind::Unreachable, QStringLiteral("the PC could not be reached"));
    startNext();
}
