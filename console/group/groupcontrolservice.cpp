#include "groupcontrolservice.h"

#include "agentregistry.h"
#include "groupcontrol.h"
#include "grouprunobj.h"
#include "groupviewreceiver.h"
#include "latestframe.h"

#include <QDebug>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>

namespace {

constexpr int kThreadQuitMs = 3000;

void registerTypes()
{
    static const bool done = [] {
        qRegisterMetaType<GroupMemberStatus>();
        qRegisterMetaType<GroupStatusList>("GroupStatusList");
        qRegisterMetaType<QList<QHostAddress>>("QList<QHostAddress>");
        return true;
    }();
    Q_UNUSED(done);
}

} // namespace

GroupControlService::GroupControlService(std::shared_ptr<const AgentRegistry> registry,
                                         const QList<GroupMember>& members, const Options& options,
                                         QObject* parent)
    : QObject(parent), m_pRegistry(std::move(registry)), m_members(members), m_options(options),
      m_runId(newRunId()), m_pFrames(QSharedPointer<LatestFrame>::create())
{
    registerTypes();
    GroupRunObj::Options o;
    o.agentPort = options.agentPort;
    o.connectWaitMs = options.connectWaitMs;
    o.replyWaitMs = options.replyWaitMs;
    o.maxQueued = options.maxQueued;
    m_pRun = new GroupRunObj(m_pRegistry, members, m_runId, o);
    m_pRunThread = new QThread(this);
    m_pRunThread->setObjectName(QStringLiteral("group-run"));
    m_pRun->moveToThread(m_pRunThread);
    connect(m_pRunThread, &QThread::finished, m_pRun, &QObject::deleteLater);
    connect(m_pRun, &GroupRunObj::sigStatuses, this, &GroupControlService::sigStatuses);
    connect(m_pRun, &GroupRunObj::sigViewReply, this, &GroupControlService::viewReplied);
    connect(m_pRun, &GroupRunObj::sigRunEnded, this, [this] {
        m_bEnded = true;
        emit sigEnded();
    });

    m_pReceiver = new GroupViewReceiver(m_runId, m_pFrames);
    m_pViewThread = new QThread(this);
    m_pViewThread->setObjectName(QStringLiteral("group-view"));
    m_pReceiver->moveToThread(m_pViewThread);
    connect(m_pViewThread, &QThread::finished, m_pReceiver, &QObject::deleteLater);
    connect(m_pReceiver, &GroupViewReceiver::sigFrameReady, this, &GroupControlService::sigFrameReady);
    connect(m_pReceiver, &GroupViewReceiver::sigListening, this, [this](int iPort) {
        m_viewPort = iPort;
        if (iPort == 0)
            emit sigViewMessage(QStringLiteral("实时画面无法接收：没有可用端口"));
        else
            beginView();
    });
    connect(m_pReceiver, &GroupViewReceiver::sigStreamBegun, this,
            [this] { emit sigViewMessage(QString()); });
    connect(m_pReceiver, &GroupViewReceiver::sigStreamEnded, this, [this](const QString& reason) {
        if (!m_bEnding)
            emit sigViewMessage(reason.isEmpty() ? QStringLiteral("实时画面已中断") : reason);
    });
    // A PC that gets another address streams from there.
    auto* pCheck = new QTimer(this);
    connect(pCheck, &QTimer::timeout, this, [this] {
        if (!m_bEnding && m_viewPort > 0)
            pushLeadAddresses();
    });
    pCheck->start(options.addressCheckMs);
    m_pRunThread->start();
    m_pViewThread->start();
}

GroupControlService::~GroupControlService()
{
    stopThreads();
}

void GroupControlService::stopThreads()
{
    for (QThread* t : {m_pRunThread, m_pViewThread}) {
        t->quit();
        if (!t->wait(kThreadQuitMs))
            qWarning("a group control thread did not end within %d ms", kThreadQuitMs);
    }
}

QString GroupControlService::newRunId()
{
    const quint64 a = QRandomGenerator::system()->generate64();
    const quint64 b = QRandomGenerator::system()->generate64();
    return QStringLiteral("g%1%2").arg(a, 16, 16, QLatin1Char('0')).arg(b, 16, 16, QLatin1Char('0'));
}

void GroupControlService::start()
{
    if (m_members.isEmpty())
        return;
    emit sigViewMessage(QStringLiteral("正在连接实时画面…"));
    pushLeadAddresses();
    QMetaObject::invokeMethod(m_pReceiver, &GroupViewReceiver::slListen, Qt::QueuedConnection);
}

void GroupControlService::pushLeadAddresses()
{
    const QString pc = m_members.value(m_lead).pcKey;
    const QList<QHostAddress> addrs{QHostAddress(m_pRegistry->connectAddress(pc)),
                                    m_pRegistry->replyAddress(pc)};
    if (addrs == m_leadAddresses)
        return;
    m_leadAddresses = addrs;
    QMetaObject::invokeMethod(m_pReceiver, "slSetLeadAddresses", Qt::QueuedConnection,
                              Q_ARG(QList<QHostAddress>, addrs));
}

void GroupControlService::beginView()
{
    if (m_bEnding || m_viewPort == 0)
        return;
    const GroupMember& m = m_members.at(m_lead);
    QMetaObject::invokeMethod(m_pRun, "slBeginView", Qt::QueuedConnection, Q_ARG(QString, m.pcKey),
                              Q_ARG(QString, m.memuIdx), Q_ARG(int, m_viewPort));
}

// The old lead's PC ends the run's view first, then the new lead's begins.
void GroupControlService::setLead(int memberIndex)
{
    if (m_bEnding || memberIndex < 0 || memberIndex >= m_members.size())
        return;
    const QString oldPc = m_members.at(m_lead).pcKey;
    m_lead = memberIndex;
    m_pFrames->take(); // a picture of the old lead is not shown for the new one
    emit sigLeadChanged(m_lead);
    emit sigViewMessage(QStringLiteral("正在连接实时画面…"));
    QMetaObject::invokeMethod(m_pRun, "slEndView", Qt::QueuedConnection, Q_ARG(QString, oldPc));
    pushLeadAddresses();
    beginView();
}

void GroupControlService::viewReplied(const QString& pcKey, const QString& memuIdx, int iCode,
                                      const QString& text)
{
    const GroupMember& lead = m_members.at(m_lead);
    if (m_bEnding || pcKey != lead.pcKey || memuIdx != lead.memuIdx || iCode == eGroupOk)
        return;
    if (iCode == -2)
        emit sigViewMessage(QStringLiteral("实时画面无法启动：%1离线").arg(lead.nickName));
    else if (iCode == -1)
        emit sigViewMessage(QStringLiteral("实时画面无法启动：%1无应答").arg(lead.nickName));
    else
        emit sigViewMessage(QStringLiteral("实时画面无法启动：%1").arg(text));
}

void GroupControlService::send(const GroupInputEvent& event)
{
    if (m_bEnding)
        return;
    QMetaObject::invokeMethod(m_pRun, "slInput", Qt::QueuedConnection, Q_ARG(QString, event.toJson()));
}

void GroupControlService::end()
{
    if (m_bEnding)
        return;
    m_bEnding = true;
    QMetaObject::invokeMethod(m_pReceiver, &GroupViewReceiver::slStop, Qt::QueuedConnection);
    QMetaObject::invokeMethod(m_pRun, &GroupRunObj::slEndRun, Qt::QueuedConnection);
}

bool GroupControlService::endAndWait(int ms)
{
    end();
    if (m_bEnded)
        return true;
    QPointer<GroupControlService> self(this); // an owner may delete it once it ended
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    connect(this, &GroupControlService::sigEnded, &loop, &QEventLoop::quit);
    loop.exec();
    return !self || m_bEnded;
}
