#pragma once

#include "farmfixture.h"
#include "lannet.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// How one agent of a LAN test is set up: its farm, its settings and its namespace host.
struct LanAgentOptions
{
    // The settings of an agent's timers; below 0: the setting is left alone.
    struct Periods
    {
        int checkTimeSpanSecs = -1;      // common/checkTimeSpan
        int screenshotTimeSpanSecs = -1; // common/screenshotTimeSpan
        int startupTimeoutPolls = -1;    // common/startupTimeout, polls of 50 ms
    };

    // The agent on host ns logs in at start-up as user (--remember-login USER PASSWORD) at the
    // account service on accountIp:accountPort.
    LanAgentOptions(const QString& ns, const QString& user, const QString& password, const QString& accountIp,
                    quint16 accountPort);

    QString ns; // the agent host, e.g. PREFIX-a
    QString user;
    QString password;
    QString accountIp;
    quint16 accountPort = 0;
    FarmFixture::Product product = FarmFixture::LdPlayer;
    int instances = 3;
    // "farmsim set" for the whole farm, in this order.
    QList<QPair<QString, QString>> knobs;
    QString nick;
    int runLimit = 3;
    int daemonModel = 0; // below 0: the setting is left alone
    Periods periods;
    bool keepDisplay = false;
    // Built programs copied beside the agent (e.g. ToviaMpeg.exe).
    QStringList companions;
    // False: everything is laid out but the caller starts the agent.
    bool start = true;
};

// Lays out the farm (init, then the knobs), writes the agent's settings into the farm's home, copies
// ToviaSimClient (and its companions) into <farm root>/app and points `agent` at them: the host, the
// home, "--remember-login USER PASSWORD". Starts it unless options.start is false. False with error.
// The settings' data directory is left at the farm's home.
bool prepareLanAgent(FarmFixture& farm, LanHostProgram& agent, const LanAgentOptions& options,
                     QString& error);
