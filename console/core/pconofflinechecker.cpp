#include "pconofflinechecker.h"

#include "agentregistry.h"

#include <QDebug>
#include <QTimer>

PcOnOfflineChecker::PcOnOfflineChecker(std::shared_ptr<AgentRegistry> registry, int intervalMs,
                                       QObject* parent)
    : QObject(parent), m_pRegistry(std::move(registry)), m_intervalMs(intervalMs)
{
}

void PcOnOfflineChecker::slPcCheckerInit()
{
    if (m_pTimer)
        return;
    m_pTimer = new QTimer(this);
    m_pTimer->setInterval(m_intervalMs);
    if (!connect(m_pTimer, &QTimer::timeout, this, &PcOnOfflineChecker::checkOnce))
        qWarning("connect QTimer::timeout PcOnOfflineChecker::checkOnce err");
    checkOnce();
    m_pTimer->start();
}

QStringList PcOnOfflineChecker::checkOnce()
{
    emit sigBeginLoop();
    const QStringList silent = m_pRegistry->takeNewlySilentPcs(m_pRegistry->now());
    for (const QString& pcName : silent)
        emit sigPcOnOfflineCheckerMsgHandler(QStringLiteral("setAllItemOffline"), pcName, QString(), 0, 0,
                                             QByteArray());
    return silent;
}
