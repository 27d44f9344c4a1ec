#pragma once

#include "jsonsplitter.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

class QProcess;
class QTcpServer;
class QTcpSocket;

// One remote-desktop run on the agent, living on a thread of its own: the grabber ToviaMpeg.exe
// pushing the desktop as MPEG-2 video over UDP to the console, and the control server on which the
// console's mouse and keyboard messages arrive and are replayed on this PC's desktop. Only
// connections from the console that began the run are served.
class DesktopVideoSender : public QObject
{
    Q_OBJECT
public:
    // Grabber settings written on its command line (the grabber's own defaults smear a desktop).
    static constexpr int kFrameRate = 30;
    static constexpr int kKeyFrameInterval = 15;
    static constexpr const char* kBitRate = "8M";

    // consoleAddr: the only peer whose control connections are served. grabberPath empty: the
    // ToviaMpeg.exe beside the program.
    explicit DesktopVideoSender(const QHostAddress& consoleAddr, quint16 controlPort,
                                const QString& grabberPath = QString(), QObject* parent = nullptr);
    ~DesktopVideoSender() override;

    // From another thread: asks the sender's thread to close everything and waits (bounded) until
    // it has. False when it did not answer in time.
    bool closeStreamAndWait(int timeoutMs = 10000);

    // The grabber's command line for a stream address (program path quoted first).
    static QStringList grabberArguments(const QString& strUrl);
    static QString defaultGrabberPath();
    // Kills every grabber this process started and that still runs (agent shutdown); on Windows
    // also any other ToviaMpeg.exe, as the product has always done.
    static void killGrabbers();

    // Replays one control message; false when its type is not one that is replayed.
    static bool replayMessage(int iType, int int1, int int2);

signals:
    void sigCloseStream();
    void sigStreamClosed();
    // The control server listens (port) or could not (0); the grabber started (pid) or not (0).
    void sigControlListening(quint16 port);
    void sigGrabberStarted(qint64 pid);
    // A message was taken off the control connection (type, x, y) and replayed or ignored.
    void sigMsgReplayed(int iType, int int1, int int2, bool replayed);

public slots:
    void slSendVideoStream(QString strUrl);
    void slRcvMsg();
    void slNewRmtDsktpSocket();
    void slCloseStream();

private:
    void startGrabber(const QString& strUrl);
    void listenForControl();
    void stopGrabber();
    void dropControlSocket(QTcpSocket* pSocket);
    void resync();
    void logGrabberOutput();

    QHostAddress m_consoleAddr;
    quint16 m_controlPort;
    QString m_grabberPath;
    QTcpSocket* m_pCtrlSocket = nullptr;
    QTcpServer* m_pCtrlServer = nullptr;
    QProcess* m_pFfmpeg = nullptr;
    JsonSplitter m_splitter{4096};
};
