#pragma once

// The agent's group control driven by a test acting as the console: the agent's command server and
// its group manager, each on a thread of its own, against a simulated farm; the console's side is a
// command client that reads the reply document and a view port that takes the live view's frames.

#include "consoleharness.h"
#include "farmfixture.h"
#include "groupcontrol.h"
#include "groupctlmgr.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>
#include <optional>

class QThread;

class GroupAgent
{
public:
    // A farm of `instances` MEmu instances; the agent's command server and group manager.
    bool start(int instances, const struGroupCtlOptions& options = struGroupCtlOptions());
    ~GroupAgent();
    // Ends the group manager's thread, as the agent's shutdown does.
    void stopMgr();

    FarmFixture& farm() { return *m_pFarm; }
    GroupCtlMgr* mgr() const { return m_pMgr; }
    quint16 port() const { return m_pAgent->port(); }
    SimuTcpRcvObj* commandServer() const { return m_pAgent->object(); }

    // Starts the instance through its product (not through the agent), with this screen, and
    // stores it as running, as the agent holds it after a start; online: waits until adb lists it.
    bool runInstance(const QString& memuIdx, QSize screen = QSize(), bool online = true);
    QString serialOf(const QString& memuIdx) const;

    // Sends one group-control command (a record per instance) and reads its reply (bounded).
    std::optional<GroupReply> send(int type, const QStringList& memuIdxs, const QString& runId,
                                   const QString& inputEvent = QString(), int iExtra = 0);
    // One event to these instances; the reply's codes by instance (empty map: no reply).
    QHash<QString, GroupReplyItem> input(const QStringList& memuIdxs, const QString& runId,
                                         const GroupInputEvent& event);
    // The instance's events of one kind, in order: each event's arguments.
    QList<QStringList> events(const QString& memuIdx, const QString& cmd) const;

private:
    std::unique_ptr<FarmFixture> m_pFarm;
    std::unique_ptr<ResultServer> m_pResults;
    std::unique_ptr<AgentCommandServer> m_pAgent;
    QThread* m_pMgrThread = nullptr;
    GroupCtlMgr* m_pMgr = nullptr;
};

// The console's view port: takes one connection and reads its frames as they come, unless paused.
class ViewConsole : public QObject
{
    Q_OBJECT
public:
    struct struGot
    {
        GroupViewFrame frame;
        qint64 receivedMs = 0; // ms since the epoch
    };

    ViewConsole();
    quint16 port() const { return m_server.serverPort(); }
    // While paused nothing is read (the agent's writes back up); reading on reads everything.
    void setPaused(bool paused);
    void closeConnection();

    const QList<struGot>& frames() const { return m_frames; }
    int count(GroupViewFrame::eKind kind) const;
    bool connected() const { return m_pSocket && m_pSocket->state() == QAbstractSocket::ConnectedState; }
    bool everConnected() const { return m_bEverConnected; }
    bool invalid() const { return m_bInvalid; }

private:
    void read();

    QTcpServer m_server;
    QPointer<QTcpSocket> m_pSocket;
    GroupViewFrameReader m_reader;
    QList<struGot> m_frames;
    bool m_bPaused = false;
    bool m_bEverConnected = false;
    bool m_bInvalid = false;
};
