#pragma once

#include "commresult.h"
#include "ports.h"
#include "simurecords.h"

#include <QAtomicInteger>
#include <QImage>
#include <QObject>

class QTcpServer;
class QTcpSocket;
class ResultConnection;

// The console's result server, living on a thread of its own. Every agent reports each operation's
// outcome on a fresh connection: one command document with one record, and after a successful start
// the emulator's thumbnail until the connection ends. Each report becomes state, picture, install and
// result signals keyed by the agent PC's name and the emulator's index; heap objects handed over
// belong to the receiving slot.
//
// Connections are served side by side, each within its own limits, so one that stalls or misbehaves
// holds up nobody else.
class TaskResultRcver : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = Tovia::kResultPort;

    struct Limits
    {
        int documentWaitMs = 30000; // from accepting the connection to a complete document
        int thumbnailWaitMs = 6000; // after a start report, for the thumbnail's first bytes
        int thumbnailEndMs = 30000; // after the first thumbnail bytes, for the end of the connection
        int maxConnections = 256;   // served at once; more wait in the listen queue
    };

    explicit TaskResultRcver(quint16 port = kDefaultPort, QObject* parent = nullptr);
    ~TaskResultRcver() override;

    void SetLimits(const Limits& limits) { m_limits = limits; }
    const Limits& GetLimits() const { return m_limits; }
    // The port listened on (useful with port 0); 0 before listening or after a failure.
    quint16 ServerPort() const { return m_listenPort.loadAcquire(); }
    int ActiveConnections() const { return m_active; }

    static QString StockPicturePath() { return QStringLiteral(":/res/vediobox/vedioBoxDef.png"); }

signals:
    void sigTskRstRcverImageArrived(QString strPcName, QString strMemuIdx, QImage* pImg);
    void sigTaskResultReply(CCommResult* pRet);
    void sigInstallState(QString strPcName, QString strMemuIdx, int iState, int iProgress);
    void sigSetState(QString strPcName, QString strMemuIdx, int iState, int iTime);
    // Listening started (port) or failed (0).
    void sigListening(quint16 port);
    // A report came that could not be read; the console should ask that agent for its states now
    // rather than keep showing the emulators busy.
    void sigReportUnreadable(QString strPeerAddr);

public slots:
    void slInitSocket();
    void slNewConnection();

private:
    friend class ResultConnection;
    void HandleReport(const QString& peer, const QByteArray& doc, const QByteArray& tail, bool tailAwaited);
    void HandleStart(const struSimuOper& oper, const QByteArray& tail);
    void EmitResultReport(const struSimuOper& oper);
    void ConnectionDone(ResultConnection* pConn);

    quint16 m_port;
    QAtomicInteger<quint16> m_listenPort;
    QTcpServer* m_pServer = nullptr;
    Limits m_limits;
    int m_active = 0;
};
