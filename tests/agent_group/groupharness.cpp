#include "groupharness.h"

#include "inventorycache.h"
#include "simustatestore.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QThread>
#include <QtTest>

namespace {
constexpr int kReplyWaitMs = 3000;
} // namespace

bool GroupAgent::start(int instances, const struGroupCtlOptions& options)
{
    m_pFarm = std::make_unique<FarmFixture>();
    if (!m_pFarm->init(FarmFixture::MEmu, instances)) {
        qWarning().noquote() << "farm:" << m_pFarm->error();
        return false;
    }
    InventoryCache::instance().invalidate();
    signIn(QStringLiteral("alice"));
    m_pResults = std::make_unique<ResultServer>();
    if (!m_pResults->listen())
        return false;
    m_pAgent = std::make_unique<AgentCommandServer>(m_pResults->agentOptions());
    if (!m_pAgent->start())
        return false;
    m_pMgr = new GroupCtlMgr(options);
    m_pMgrThread = new QThread;
    m_pMgr->moveToThread(m_pMgrThread);
    QObject::connect(m_pMgrThread, &QThread::started, m_pMgr, &GroupCtlMgr::slInit);
    QObject::connect(m_pMgrThread, &QThread::finished, m_pMgr, &QObject::deleteLater);
    GroupCtlMgr::attach(m_pAgent->object(), m_pMgr);
    m_pMgrThread->start();
    return true;
}

GroupAgent::~GroupAgent()
{
    stopMgr();
    m_pAgent.reset();
    m_pResults.reset();
    m_pFarm.reset();
}

void GroupAgent::stopMgr()
{
    if (!m_pMgrThread)
        return;
    m_pMgrThread->quit();
    m_pMgrThread->wait(20000);
    delete m_pMgrThread;
    m_pMgrThread = nullptr;
    m_pMgr = nullptr;
}

bool GroupAgent::runInstance(const QString& memuIdx, QSize screen, bool online)
{
    if (screen.isValid()) {
        m_pFarm->setKnob(QStringLiteral("screenWidth"), QString::number(screen.width()), memuIdx);
        m_pFarm->setKnob(QStringLiteral("screenHeight"), QString::number(screen.height()), memuIdx);
    }
    if (!m_pFarm->startInstance(memuIdx))
        return false;
    if (online && !m_pFarm->waitInstance(memuIdx, QStringLiteral("online"), true, 10000))
        return false;
    SimuStateStore::instance().update(memuIdx, [](struSimuRecord& rec) { rec.iState = eStateRunning; });
    return true;
}

QString GroupAgent::serialOf(const QString& memuIdx) const
{
    SimuInfo info;
    return InventoryCache::instance().find(memuIdx, info) ? info.adbSerial() : QString();
}

std::optional<GroupReply> GroupAgent::send(int type, const QStringList& memuIdxs, const QString& runId,
                                           const QString& inputEvent, int iExtra)
{
    QList<struSimuOper> opers = ConsoleClient::makeOpers(type, memuIdxs, 1700000000, iExtra);
    for (struSimuOper& oper : opers) {
        oper.runId = runId;
        oper.inputEvent = inputEvent;
    }
    ConsoleClient::Options keep;
    keep.keepOpen = true;
    QTcpSocket* pSocket = nullptr;
    if (!ConsoleClient::send(port(), ConsoleClient::makeDoc(opers, QStringLiteral("alice")), QByteArray(),
                             keep, &pSocket))
        return std::nullopt;
    std::unique_ptr<QTcpSocket> socket(pSocket);
    QByteArray bytes;
    QDeadlineTimer deadline(kReplyWaitMs);
    while (socket->state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket->waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        bytes += socket->readAll();
    }
    bytes += socket->readAll();
    if (socket->state() == QAbstractSocket::ConnectedState)
        return std::nullopt; // the agent did not end the connection in time
    return groupReplyFromJson(bytes);
}

QHash<QString, GroupReplyItem> GroupAgent::input(const QStringList& memuIdxs, const QString& runId,
                                                 const GroupInputEvent& event)
{
    QHash<QString, GroupReplyItem> byIdx;
    const std::optional<GroupReply> reply = send(eOperGroupInput, memuIdxs, runId, event.toJson());
    if (reply) {
        for (const GroupReplyItem& item : reply->items)
            byIdx.insert(item.memuIdx, item);
    }
    return byIdx;
}

QList<QStringList> GroupAgent::events(const QString& memuIdx, const QString& cmd) const
{
    QList<QStringList> out;
    for (const QJsonValue& v : m_pFarm->events(memuIdx)) {
        const QJsonObject e = v.toObject();
        if (e.value("cmd").toString() != cmd)
            continue;
        QStringList args;
        for (const QJsonValue& a : e.value("args").toArray())
            args << a.toString();
        out << args;
    }
    return out;
}

ViewConsole::ViewConsole()
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        QTcpSocket* pSocket = m_server.nextPendingConnection();
        if (m_pSocket) { // one view at a time
            pSocket->abort();
            pSocket->deleteLater();
            return;
        }
        m_pSocket = pSocket;
        m_bEverConnected = true;
        // Little is taken off the socket while paused, so the agent's writes back up.
        m_pSocket->setReadBufferSize(16 * 1024);
        m_pSocket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 16 * 1024);
        connect(m_pSocket, &QTcpSocket::readyRead, this, &ViewConsole::read);
        read();
    });
}

void ViewConsole::setPaused(bool paused)
{
    m_bPaused = paused;
    if (!paused)
        read();
}

void ViewConsole::closeConnection()
{
    if (m_pSocket)
        m_pSocket->abort();
}

int ViewConsole::count(GroupViewFrame::eKind kind) const
{
    return int(std::count_if(m_frames.begin(), m_frames.end(),
                             [kind](const struGot& got) { return got.frame.kind == kind; }));
}

void ViewConsole::read()
{
    if (!m_pSocket || m_bPaused)
        return;
    m_reader.append(m_pSocket->readAll());
    GroupViewFrame frame;
    for (;;) {
        const GroupViewFrameReader::eResult r = m_reader.next(frame);
        if (r == GroupViewFrameReader::Invalid)
            m_bInvalid = true;
        if (r != GroupViewFrameReader::Complete)
            return;
        m_frames << struGot{frame, QDateTime::currentMSecsSinceEpoch()};
    }
}
