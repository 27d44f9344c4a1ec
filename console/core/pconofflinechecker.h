#pragma once

#include <QByteArray>
#include <QObject>
#include <memory>

class AgentRegistry;
class QTimer;

// Marks agent PCs offline: once a second it asks the registry which PCs have not been heard from for
// more than nine seconds (by the registry's clock) and reports each of them to the main window with
// the message "setAllItemOffline" and the PC name. A PC is reported once per silence: again only after
// it was heard from in between, so a silent PC costs the window nothing after it was marked.
// Lives on a thread of its own; it reads the registry (under its lock), never the widgets.
class PcOnOfflineChecker : public QObject
{
    Q_OBJECT
public:
    explicit PcOnOfflineChecker(std::shared_ptr<AgentRegistry> registry, int intervalMs = 1000,
                                QObject* parent = nullptr);

    // One check pass (also run by the timer); returns the PCs reported.
    QStringList checkOnce();

signals:
    void sigBeginLoop();
    void sigPcOnOfflineCheckerMsgHandler(QString strMsg, QString strParam, QString strParam2, int iParam,
                                         int iParam2, QByteArray aryParam);

public slots:
    void slPcCheckerInit();

private:
    std::shared_ptr<AgentRegistry> m_pRegistry;
    int m_intervalMs;
    QTimer* m_pTimer = nullptr;
};
