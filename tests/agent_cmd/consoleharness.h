#pragma once

// A test acting as the console towards the agent's command path: a command client writing to the
// agent's command port, a result server on a free port collecting the agent's reports, and the
// agent's command server running on a thread of its own in this process.

#include "commresult.h"
#include "simurecords.h"
#include "simutcprcvobj.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QImage>
#include <QList>
#include <QObject>
#include <QStringList>

class QTcpServer;
class QTcpSocket;
class QThread;
class OperLoggerObj;

// One report as the console's result server saw it.
struct ConsoleReport
{
    int seq = 0; // order in which the connection was accepted
    QString usrName;
    int recordCount = 0;
    struSimuOper oper;
    QByteArray document;        // the report's document as it came
    QByteArray tail;            // bytes after the document (the thumbnail of a successful start)
    qint64 docMs = -1;          // arrival of the complete document, on the server's clock
    qint64 tailMs = -1;         // arrival of the first tail byte
    qint64 endMs = -1;          // end of the connection
    struSimuRecord storedAtDoc; // the agent's stored record of the instance when the document arrived
    QImage image() const;
};

class ResultServer : public QObject
{
    Q_OBJECT
public:
    explicit ResultServer(QObject* parent = nullptr);
    // A free port on every IPv4 address unless told otherwise.
    bool listen(const QHostAddress& address = QHostAddress::AnyIPv4, quint16 port = 0);
    quint16 port() const;
    const QList<ConsoleReport>& reports() const { return m_reports; }
    // Waits until `count` reports have fully arrived (connections ended).
    bool waitForReports(int count, int timeoutMs);
    qint64 nowMs() const { return m_clock.elapsed(); }
    // The agent's notifier options that deliver to this server (on port()).
    struNotifierOptions notifierOptions() const;
    // Command server options whose reports come here.
    SimuTcpRcvObj::Options agentOptions(SimuTcpRcvObj::Options options = SimuTcpRcvObj::Options()) const;

private:
    void onConnection();
    // The report's document has come in full: its arrival, user and first record.
    void takeDocument(ConsoleReport& report, const QByteArray& document) const;
    QTcpServer* m_pServer;
    QElapsedTimer m_clock;
    QList<ConsoleReport> m_reports;
    int m_nextSeq = 0;
};

// Captures the operation log: every line handed to it, without the time prefix.
class OperLogCapture : public QObject
{
    Q_OBJECT
public:
    explicit OperLogCapture(const QString& logDir);
    ~OperLogCapture() override;
    QStringList lines() const { return m_lines; }
    int count(const QString& line) const { return m_lines.count(line); }

private:
    OperLoggerObj* m_pLogger;
    QStringList m_lines;
};

// The agent's command server on its own thread, listening on a free port.
class AgentCommandServer
{
public:
    explicit AgentCommandServer(const SimuTcpRcvObj::Options& options = SimuTcpRcvObj::Options());
    ~AgentCommandServer();
    bool start();
    quint16 port() const { return m_port; }
    SimuTcpRcvObj* object() const { return m_pObj; }
    // Waits until no command group is running any more.
    static bool waitIdle(int timeoutMs);

private:
    QThread* m_pThread;
    SimuTcpRcvObj* m_pObj;
    quint16 m_port = 0;
};

namespace ConsoleClient {
struct Options
{
    int splitAt = -1;      // write the document in two pieces at this byte
    int pauseMs = 0;       // pause between the pieces, and between document and tail
    bool keepOpen = false; // leave the connection open (returned through pSocket)
    QHostAddress host = QHostAddress(QHostAddress::LocalHost); // the agent's address
};
QList<struSimuOper> makeOpers(int iOperType, const QStringList& memuIdxs, int iTime, int iExtra = 0,
                              const QString& fileName = QString());
// Signed with the farm key of the process (signIn's), as the console signs.
QByteArray makeDoc(const QList<struSimuOper>& opers, const QString& usrName);
// The control connection's first message for a run whose begin was signed in this process.
QByteArray signedHello(const QString& runId);
// Connects to the agent, writes doc (and tail), closes. Returns false when anything failed.
bool send(quint16 port, const QByteArray& doc, const QByteArray& tail = QByteArray(),
          const Options& opt = Options(), QTcpSocket** pSocket = nullptr);
} // namespace ConsoleClient

// Signs a user in for the agent (the process-wide login record), with kTestFarmKey.
extern const QByteArray kTestFarmKey;
void signIn(const QString& userName);
// Holds the login of a console of this account (its farm key derived as at a login), so that what
// the test sends is signed as that console signs it.
void playConsoleOf(const QString& userName, const QString& password);
