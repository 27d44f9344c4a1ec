#pragma once

#include "desktoprunoptions.h"
#include "jsonsplitter.h"
#include "msgauth.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>

class QTcpServer;
class QTcpSocket;
class QTimer;

// The control server of one remote-desktop run: the console's control connection, whose mouse,
// keyboard and wheel messages are replayed on this PC's desktop. Only the console that began the run
// is served; when the begin named the run, a connection counts as the console's only once its first
// message is the hello with that run id (a viewer that reached an earlier run is turned away and
// tries again). It watches that the console stays: no connection within the attach grace, or a
// connection lost (closed, or silent) and not back within the lost grace, means the console is gone.
// Lives on the run's thread.
class DesktopCtrlServer : public QObject
{
    Q_OBJECT
public:
    // A connection must say its hello this soon.
    static constexpr int kHelloMs = 5000;
    // Told connections are given this long to take the notice before they are closed.
    static constexpr int kNoticeWaitMs = 1000;

    DesktopCtrlServer(const QHostAddress& consoleAddr, const QString& runId, const DesktopRunOptions& options,
                      QObject* parent = nullptr);
    ~DesktopCtrlServer() override;

    // Listens on the options' port and starts the attach grace. False when the port cannot be had.
    bool listen();
    quint16 port() const;
    bool attached() const { return m_pCtrlSocket != nullptr; }
    // Tells the console why the run ends (a bounded wait for the bytes to leave); then closes all.
    void tell(int reason, const QString& text);
    void close();

    // Replays one control message; false when its type is not one that is replayed.
    static bool replayMessage(int iType, int int1, int int2);

signals:
    void sigAttached();
    void sigConsoleGone(QString why);
    void sigMsgReplayed(int iType, int int1, int int2, bool replayed);

public slots:
    void slNewRmtDsktpSocket();
    void slRcvMsg();

private:
    bool admit(QTcpSocket* pSocket);
    void readHello(QTcpSocket* pSocket);
    bool helloTrusted(QTcpSocket* pSocket, const QByteArray& bytes);
    void attach(QTcpSocket* pSocket, const QByteArray& rest);
    void dropSocket(QTcpSocket* pSocket);
    void onLost(QTcpSocket* pSocket, const QString& why);
    void handle(const QByteArray& doc);
    void resync();

    QHostAddress m_consoleAddr;
    QString m_runId;
    DesktopRunOptions m_options;
    QTcpServer* m_pCtrlServer = nullptr;
    QTcpSocket* m_pCtrlSocket = nullptr;
    QHash<QTcpSocket*, QByteArray> m_helloPending; // connections that have not said their hello yet
    JsonSplitter m_splitter{RmtDsktpMsg::kMaxMessageBytes};
    QTimer* m_pGraceTimer = nullptr;
    QTimer* m_pSilenceTimer = nullptr;
    QString m_graceWhy;
    MsgVerifier m_helloVerifier{MsgAuth::eChannel::DesktopControl};
};
