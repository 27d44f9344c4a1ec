#pragma once

#include <QObject>
#include <QString>

// The connection-state loop of the agent window: counts the seconds since a console's discovery
// request was last answered and reports "正在连接总控端", "已连接总控端" or "未连接总控端".
// Lives on a thread of its own; the tick counter is touched only there.
class MainDlgObj : public QObject
{
    Q_OBJECT
public:
    static constexpr int kDefaultTickMs = 1000;
    static constexpr int kDisconnectedAfterTicks = 19; // more than this many ticks: not connected

    explicit MainDlgObj(int tickMs = kDefaultTickMs, QObject* parent = nullptr);

    int tickCount() const { return m_iTickCnt; }

signals:
    void sigLoopOnce();
    void sigUpdateConnectState(QString state);

public slots:
    void slInitUiObj();
    void slUiLoop();
    void slInitTickCnt();
    void slSetTickCnt(int cnt);

private:
    int m_iTickCnt = 0;
    int m_tickMs;
};
