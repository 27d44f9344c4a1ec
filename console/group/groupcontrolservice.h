#pragma once

#include "groupmember.h"
#include "ports.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>

#include <memory>

class AgentRegistry;
struct GroupInputEvent;
class GroupRunObj;
class GroupViewReceiver;
class LatestFrame;
class QThread;

// One group run, for the window that drives it (no widgets): its id, its members, the lead whose
// screen is shown, the live-view receiver and the commands to the agents. The commands go out on one
// thread (GroupRunObj), the live view is read and decoded on another (GroupViewReceiver); this object
// lives on the GUI thread and is called there.
//
//   auto* pRun = new GroupControlService(registry, members, options, parent);
//   connect(pRun, &GroupControlService::sigFrameReady, ...);   // frames()->take()
//   pRun->start();                     // the live view of the first member
//   pRun->send(GroupInputEvent...);    // to every running member
//   pRun->setLead(3);
//   pRun->end();                       // 9 to every PC; sigEnded when they answered or gave up
class GroupControlService : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        quint16 agentPort = Tovia::kCommandPort;
        int addressCheckMs = 1000; // how often the lead's address is looked up again
        int connectWaitMs = 2000;
        int replyWaitMs = 3000;
        int maxQueued = 100;
    };

    GroupControlService(std::shared_ptr<const AgentRegistry> registry, const QList<GroupMember>& members,
                        const Options& options, QObject* parent = nullptr);
    ~GroupControlService() override;

    // A fresh random run id.
    static QString newRunId();

    QString runId() const { return m_runId; }
    const QList<GroupMember>& members() const { return m_members; }
    int lead() const { return m_lead; }
    int viewPort() const { return m_viewPort; }
    QSharedPointer<LatestFrame> frames() const { return m_pFrames; }
    bool ended() const { return m_bEnded; }
    bool ending() const { return m_bEnding; }
    GroupViewReceiver* receiver() const { return m_pReceiver; }

    // The receiver listens; the lead's begin goes out once it does.
    void start();
    // The member's live view: the old lead's PC ends the run's view, then the member's begins (the
    // current lead again: its view begins anew, as after a stream that broke).
    void setLead(int memberIndex);
    void send(const GroupInputEvent& event);
    // Ends the run on every agent. Idempotent.
    void end();
    // end(), then waits (event loop) for the agents' answers, at most ms. True when they came.
    bool endAndWait(int ms);

signals:
    void sigStatuses(GroupStatusList changed);
    void sigFrameReady();
    // What the screen shows when there is no live picture ("" when the live view runs).
    void sigViewMessage(QString strText);
    void sigLeadChanged(int iMember);
    void sigEnded();

private:
    void beginView();
    // The receiver takes streams from the lead PC's addresses as the registry has them now.
    void pushLeadAddresses();
    void viewReplied(const QString& pcKey, const QString& memuIdx, int iCode, const QString& text);
    void stopThreads();

    std::shared_ptr<const AgentRegistry> m_pRegistry;
    QList<GroupMember> m_members;
    Options m_options;
    QString m_runId;
    int m_lead = 0;
    int m_viewPort = 0;
    bool m_bEnding = false;
    bool m_bEnded = false;
    QList<QHostAddress> m_leadAddresses;
    QSharedPointer<LatestFrame> m_pFrames;
    QThread* m_pRunThread = nullptr;
    QThread* m_pViewThread = nullptr;
    GroupRunObj* m_pRun = nullptr;
    GroupViewReceiver* m_pReceiver = nullptr;
};
