#pragma once

#include "commresult.h"
#include "msgauth.h"
#include "ports.h"
#include "simurecords.h"

#include <QAtomicInteger>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QQueue>

#include <functional>

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
// holds up nobody else; one address gets a few of them at a time, so a host that opens hundreds and
// sends nothing holds up nobody but itself. A report is applied as soon as its document is complete,
// a start's thumbnail as soon as the picture is whole.
//
// With a report filter, a report is applied only when the filter takes it (the console takes reports
// of operations it sent, from the address their PC is heard at); others are logged and dropped.
class TaskResultRcver : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = Tovia::kResultPort;

    struct Limits
    {
        int documentWaitMs = 10000;    // from serving the connection to a complete document
        int thumbnailWaitMs = 6000;    // after a start report, for the thumbnail's first bytes
        int thumbnailEndMs = 30000;    // after the first thumbnail bytes, for the rest of the picture
        int maxConnections = 256;      // served at once; more wait in the listen queue
        int maxPerSource = 16;         // served at once from one address; more of it wait their turn
        int maxWaitingPerSource = 128; // waiting from one address; beyond them it is closed at once
    };
    // Called on the receiver's thread with the peer's address and the report's record.
    using ReportFilter = std::function<bool(const QString& strPeerAddr, const struSimuOper& oper)>;

    explicit TaskResultRcver(quint16 port = kDefaultPort, QObject* parent = nullptr);
    ~TaskResultRcver() override;

    void SetLimits(const Limits& limits) { m_limits = limits; }
    void SetReportFilter(ReportFilter filter) { m_filter = std::move(filter); }
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
    // A readable report the filter did not take.
    void sigReportRefused(QString strPeerAddr, QString strPcName, QString strMemuIdx);
    // Every report the filter took, with its outcome (0 success) and the agent's text.
    void sigReportTaken(QString strPcName, QString strMemuIdx, int iOperType, int iReplyRet, QString strText);

public slots:
    void slInitSocket();
    void slNewConnection();

private:
    friend class ResultConnection;
    // The document's first record when it parses and the filter takes it.
    bool TakeReport(const QString& peer, const QByteArray& doc, struSimuOper& oper, QJsonObject& received);
    void ApplyReport(const struSimuOper& oper);
    // A start's thumbnail; empty bytes: the stock picture.
    void ApplyThumbnail(const struSimuOper& oper, const QByteArray& jpeg);
    void EmitResultReport(const struSimuOper& oper);
    void Serve(QTcpSocket* pSocket, const QString& peer);
    void ConnectionDone(ResultConnection* pConn, const QString& peer);

    quint16 m_port;
    QAtomicInteger<quint16> m_listenPort;
    QTcpServer* m_pServer = nullptr;
    Limits m_limits;
    ReportFilter m_filter;
    MsgVerifier m_verifier{MsgAuth::eChannel::Result};
    int m_active = 0;
    QHash<QString, int> m_activeBySource;
    QHash<QString, QQueue<QTcpSocket*>> m_waitingBySource;
};
