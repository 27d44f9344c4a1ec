#pragma once

#include "groupmember.h"
#include "grouppclane.h"

#include <QHash>
#include <QObject>

#include <memory>

class AgentRegistry;

// The commands of one group run, on a thread of its own: for every input event one signed kind-10
// document per PC that has running members (to the PC's address of that moment), the live view's
// begin (8) and end (9), and the run's end (9 to every PC). Each PC has its own lane (GroupPcLane),
// so the events of one PC stay in order, PCs are served side by side, and a slow or offline PC never
// delays the others. What the agents answer becomes the members' statuses; only changes are sent.
class GroupRunObj : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        quint16 agentPort = 0;
        int connectWaitMs = 2000;
        int replyWaitMs = 3000;
        int maxQueued = 100;
    };

    GroupRunObj(std::shared_ptr<const AgentRegistry> registry, const QList<GroupMember>& members,
                const QString& runId, const Options& options, QObject* parent = nullptr);
    ~GroupRunObj() override;

signals:
    void sigStatuses(GroupStatusList changed);
    // The lead's agent answered a live-view begin (code of its item; -1: no reply, -2: unreachable).
    void sigViewReply(QString strPcKey, QString strMemuIdx, int iCode, QString strText);
    void sigRunEnded();

public slots:
    void slInput(QString strEventJson);
    void slBeginView(QString strPcKey, QString strMemuIdx, int iPort);
    void slEndView(QString strPcKey);
    // The end to every PC of the run; the input events still waiting are dropped. sigRunEnded once
    // every lane is idle.
    void slEndRun();

private:
    GroupPcLane* lane(const QString& pcKey);
    QString addressOf(const QString& pcKey) const;
    void jobDone(const QString& pcKey, const GroupJob& job, const GroupJobOutcome& outcome);
    void inputDone(const QString& pcKey, const GroupJob& job, const GroupJobOutcome& outcome);
    void viewDone(const QString& pcKey, const GroupJob& job, const GroupJobOutcome& outcome);
    void setStatus(const QString& pcKey, const QString& memuIdx, GroupFollow follow,
                   const QString& text = QString(), int agentDropped = -1);
    void flush();
    void checkEnded();

    std::shared_ptr<const AgentRegistry> m_pRegistry;
    QList<GroupMember> m_members;
    QStringList m_pcs; // in the order of the members
    QString m_runId;
    Options m_options;
    QHash<QString, GroupPcLane*> m_lanes;
    QHash<QString, GroupMemberStatus> m_status; // key: pc + '\n' + idx
    QHash<QString, int> m_consoleDropped;       // same key
    QHash<QString, int> m_agentDropped;         // same key
    GroupStatusList m_changed;
    bool m_ending = false;
    bool m_ended = false;
};
