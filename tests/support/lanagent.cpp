#include "lanagent.h"

#include "simusettings.h"

LanAgentOptions::LanAgentOptions(const QString& ns, const QString& user, const QString& password,
                                 const QString& accountIp, quint16 accountPort)
    : ns(ns), user(user), password(password), accountIp(accountIp), accountPort(accountPort)
{
}

namespace {

bool layOutFarm(FarmFixture& farm, const LanAgentOptions& o, QString& error)
{
    bool ok = farm.init(o.product, o.instances);
    for (int i = 0; ok && i < o.knobs.size(); ++i)
        ok = farm.setKnob(o.knobs.at(i).first, o.knobs.at(i).second);
    if (!ok)
        error = farm.error();
    return ok;
}

void setIfGiven(const QString& key, int value)
{
    if (value >= 0)
        SimuSettings::setValue(key, value);
}

void writeAgentSettings(const FarmFixture& farm, const LanAgentOptions& o)
{
    SimuSettings::setDataDir(farm.homeDir());
    SimuSettings::setPcNickName(o.nick);
    SimuSettings::setRunLimit(o.runLimit);
    if (o.daemonModel >= 0)
        SimuSettings::setDaemonModel(o.daemonModel);
    setIfGiven(QStringLiteral("common/checkTimeSpan"), o.periods.checkTimeSpanSecs);
    setIfGiven(QStringLiteral("common/screenshotTimeSpan"), o.periods.screenshotTimeSpanSecs);
    setIfGiven(QStringLiteral("common/startupTimeout"), o.periods.startupTimeoutPolls);
    SimuSettings::setValue(QStringLiteral("account/url"),
                           QStringLiteral("http://%1:%2").arg(o.accountIp).arg(o.accountPort));
}

} // namespace

bool prepareLanAgent(FarmFixture& farm, LanHostProgram& agent, const LanAgentOptions& options, QString& error)
{
    if (!layOutFarm(farm, options, error))
        return false;
    writeAgentSettings(farm, options);
    agent.ns = options.ns;
    agent.keepDisplay = options.keepDisplay;
    agent.home = farm.homeDir();
    agent.args = QStringList{QStringLiteral("--remember-login"), options.user, options.password};
    const QString app = farm.rootDir() + QStringLiteral("/app");
    bool copied = copyProgram(QStringLiteral("ToviaSimClient"), app, &agent.program);
    for (int i = 0; copied && i < options.companions.size(); ++i)
        copied = copyProgram(options.companions.at(i), app);
    if (!copied) {
        error = QStringLiteral("cannot copy the agent's programs to ") + app;
        return false;
    }
    return !options.start || agent.start(error);
}
