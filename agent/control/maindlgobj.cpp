#include "maindlgobj.h"

#include "adbbridge.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>

MainDlgObj::MainDlgObj(int tickMs, QObject* parent) : QObject(parent), m_tickMs(tickMs) {}

void MainDlgObj::slInitUiObj()
{
    AdbStartServer();
    connect(this, &MainDlgObj::sigLoopOnce, this, &MainDlgObj::slUiLoop, Qt::QueuedConnection);
    emit sigUpdateConnectState(QStringLiteral("正在连接总控端"));
    emit sigLoopOnce();
}

void MainDlgObj::slUiLoop()
{
    // A local event loop rather than a blocking sleep: the thread keeps serving slInitTickCnt while
    // it waits, and quits promptly when the thread is asked to.
    QEventLoop wait;
    QTimer::singleShot(m_tickMs, &wait, &QEventLoop::quit);
    wait.exec();
    if (thread()->isInterruptionRequested())
        return;
    ++m_iTickCnt;
    if (m_iTickCnt > kDisconnectedAfterTicks)
        emit sigUpdateConnectState(QStringLiteral("未连接总控端"));
    emit sigLoopOnce();
}

void MainDlgObj::slInitTickCnt()
{
    m_iTickCnt = 0;
    emit sigUpdateConnectState(QStringLiteral("已连接总控端"));
}

void MainDlgObj::slSetTickCnt(int cnt)
{
    m_iTickCnt = cnt;
}
