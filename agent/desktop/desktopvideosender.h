#pragma once

#include "desktoprunoptions.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

class DesktopCtrlServer;
class DesktopGrabber;

// One remote-desktop run on the agent, living on a thread of its own: the grabber pushing the desktop
// to the console (DesktopGrabber) and the control server on which the console's input arrives
// (DesktopCtrlServer). A run ends by the console's end command, by a begin that replaces it, or by
// itself: when its console is gone, or its grabber cannot be kept running. Whenever it can, it tells
// the console why on the control connection before it closes it.
class DesktopVideoSender : public QObject
{
    Q_OBJECT
public:
    // consoleAddr: the only peer whose control connections are served; runId: the run the begin
    // named (empty: a console that names none).
    DesktopVideoSender(const QHostAddress& consoleAddr, const QString& runId,
                       const DesktopRunOptions& options, QObject* parent = nullptr);
    ~DesktopVideoSender() override;

    // From another thread: asks the sender's thread to tell the console why (reason other than
    // eEndNone), close everything, and waits (bounded) until it has. False when it did not answer.
    bool closeStreamAndWait(int reason = 0, const QString& detail = QString(), int timeoutMs = 10000);

    // Agent shutdown: ends every grabber this agent's install left running.
    static void killGrabbers();

    QHostAddress consoleAddr() const { return m_consoleAddr; }
    QString runId() const { return m_runId; }

signals:
    void sigCloseStream();
    void sigStreamClosed();
    // The control server listens (port) or could not (0); a grabber started (pid).
    void sigControlListening(quint16 port);
    void sigGrabberStarted(qint64 pid);
    // A message was taken off the control connection (type, x, y) and replayed or ignored.
    void sigMsgReplayed(int iType, int int1, int int2, bool replayed);
    // The run ended by itself (eEndReason, and why in the log's words); everything is closed.
    void sigRunEnded(int reason, QString why);

public slots:
    void slSendVideoStream(QString strUrl);
    void slCloseStream();

private:
    void onGrabberFailed(int reason, const QString& lastWords);
    void finish(int reason, const QString& why, const QString& told);

    QHostAddress m_consoleAddr;
    QString m_runId;
    DesktopRunOptions m_options;
    DesktopCtrlServer* m_pCtrl = nullptr;
    DesktopGrabber* m_pGrabber = nullptr;
    int m_failReason = 0; // the grabber failed before the console was there to be told
    QString m_failWords;
    int m_closeReason = 0; // what closeStreamAndWait tells the console
    QString m_closeDetail;
    bool m_closed = false;
};
