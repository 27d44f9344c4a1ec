#pragma once

#include "commresult.h"
#include "ports.h"

#include <QList>
#include <QObject>
#include <QStringList>

class QTcpSocket;
class QTimer;

// The data of one operation sent to one agent PC.
struct DevOperData
{
    int iOperType = 0;
    QStringList memuIdxs; // target emulators (or the remote-desktop marker)
    QString ipAddr;       // the agent's IPv4 address
    QString nickName;
    QString pcName;
    QString strArg;                     // install: the APK path; rename: the new name
    quint16 port = Tovia::kCommandPort; // the agent's command port
    int iExtra = 0;                     // install: the file size; remote desktop: the video port
    int iTime = 0;                      // operation time, seconds since the epoch
    QString runId;                      // remote desktop, group control: the run the command belongs to
    QString inputEvent;                 // group control: the input event every record carries
    // Waits of the delivery.
    int connectWaitMs = 6000;
    int writeWaitMs = 30000;
    int filePauseMs = 100;
};

// The signed command document of an operation: one record per target, each naming centerIP (this
// console's address on the path to the agent) as where results and streams go back to. pNonce takes
// the document's nonce.
QByteArray commandDocument(const DevOperData& data, const QString& centerIP, QByteArray* pNonce = nullptr);
// This console's IPv4 address on a connection to the agent at agentIp.
QString centerAddress(const QTcpSocket& socket, const QString& agentIp);

// One operation to one agent PC: connect to the agent's command server, write one command document
// (and for an install the file), close. The outcome of each emulator comes back later on the result
// server; this only says whether delivery worked.
//
// The steps run on the event loop of the manager's thread with a non-blocking socket, each within
// its own deadline, so one thread carries the deliveries of any number of PCs side by side. Start()
// begins, sigFinished reports once, after the connection is closed. Run() is the same for a caller
// that may block: it waits for sigFinished in a local event loop.
class DevControlAbsMgr : public QObject
{
    Q_OBJECT
public:
    explicit DevControlAbsMgr(const DevOperData& data, QObject* parent = nullptr);
    ~DevControlAbsMgr() override;

    // Prepares one result slot per target, then executes. sigFinished may come before it returns.
    virtual void Start();
    CCommResult Run();

    const DevOperData& Data() const { return m_data; }
    const QList<CCommResult>& Results() const { return m_results; }
    bool IsFinished() const { return m_bFinished; }

signals:
    void sigFinished(CCommResult result);

protected:
    virtual void Prepare();
    virtual void Execute() = 0;
    virtual void Connect() = 0;
    virtual void SendCommand() = 0;
    virtual void SendFile() = 0;
    virtual void Close() = 0;
    // Called once with the outcome, before sigFinished.
    virtual void Finished(const CCommResult& result);
    void Finish(const CCommResult& result);

    DevOperData m_data;
    QTcpSocket* m_pSocket = nullptr;
    QList<CCommResult> m_results;

private:
    bool m_bFinished = false;
};
