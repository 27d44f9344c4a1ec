#pragma once

#include "notifierrun.h"
#include "ports.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class InventoryScanObj;
class MainDlgObj;
class OperLoggerObj;
class QThread;
class ScreenshotPoolObj;
class SimuDaemonObj;
class SimuTcpRcvObj;
class UdpRceiverObj;

// The agent's controller: starts the six workers on their own threads and wires them, has the
// inventory scanned on a thread of its own, announces the start after a login and shuts everything
// down in order. The window only binds its widgets to it.
class AgentController : public QObject
{
    Q_OBJECT
public:
    // Ports and intervals of the workers; tests use free ports and short ticks.
    struct Options
    {
        quint16 udpPort = Tovia::kDiscoveryPort;
        quint16 tcpPort = Tovia::kCommandPort;
        int uiTickMs = 1000;
        // How the command server's responders report to the console.
        struNotifierOptions notifier;
        // Longest wait of a command for the start-up scan (0: the command server's default).
        int holdLimitMs = 0;
    };

    explicit AgentController(const Options& options, QObject* parent = nullptr);
    ~AgentController() override;

    // Discovery responder, watchdog, command server, connection-state loop, screenshot pool and
    // operation log, each on a thread of its own, started in that order.
    void startWorkers();
    // Asks for the inventory scan (every instance's stored record from the inventory and the running
    // list); it runs on the scan thread, in the order asked. Returns the scan's number, which
    // sigInventoryScanned carries once its records are stored; 0 after shutdown(). The command
    // server holds commands until the first scan is over.
    int scanInventory();
    // What follows a successful login: PC name, start line, mode announcement, watchdog start.
    // typeText is the emulator type as the window shows it (empty: none chosen).
    void announceStart(const QString& typeText);
    // "当前被控端设置为“<type>-普通模式”" or "…-守护模式”"; empty without a type.
    static QString modeAnnouncement(const QString& typeText);
    // One line for the operation log; iIsForce 1 shows it in the pane also while nobody is signed in.
    void logOper(const QString& text, int iIsForce = 0);
    // Quits the workers in reverse order, ends a running video encoder and stops the adb server.
    void shutdown();

    // Logs failText as a warning when a connection made at start-up failed.
    static void checkConnect(bool ok, const QString& failText);

    MainDlgObj* mainDlgObj() const { return m_pMainDlgObj; }
    SimuTcpRcvObj* commandServer() const { return m_pSimuTcpRcvObj; }

signals:
    void sigMsgParam(int iMsgType, int iParam, QString str, QByteArray aryParam);
    void sigBeginDaemon();
    void sigAppendLog(QString str, int iIsForce);
    void sigUpdateConnectState(QString state);
    void sigInventoryScanned(int iScanId);

private:
    // Moves the worker to a new thread whose start runs startSignature; the thread's end deletes both.
    QThread* startWorker(QObject* worker, const char* startSignature, const QString& failText,
                         Qt::ConnectionType type = Qt::AutoConnection);
    void startDiscoveryAndWatchdog(QList<QThread*>& threads);
    void startCommandServer(QList<QThread*>& threads);
    void startStateLoopAndScreenshots(QList<QThread*>& threads);
    void startOperationLog(QList<QThread*>& threads);
    QString watchedLine() const;
    // The scan worker, started on its thread at the first call.
    InventoryScanObj* scanWorker();
    void stopScanWorker();

    Options m_options;
    UdpRceiverObj* m_pUdpRceiverObj = nullptr;
    SimuDaemonObj* m_pSimuDaemonObj = nullptr;
    SimuTcpRcvObj* m_pSimuTcpRcvObj = nullptr;
    MainDlgObj* m_pMainDlgObj = nullptr;
    ScreenshotPoolObj* m_pScreenshotPoolObj = nullptr;
    OperLoggerObj* m_pOperLoggerObj = nullptr;
    QList<QPointer<QThread>> m_threads; // in start order
    InventoryScanObj* m_pInventoryScanObj = nullptr;
    QPointer<QThread> m_pScanThread;
    int m_iLastScanId = 0;
    bool m_shutDown = false;
};
