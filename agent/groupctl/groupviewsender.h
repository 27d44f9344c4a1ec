#pragma once

#include <QAtomicInteger>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>

class AdbShellSession;
class QTcpSocket;
class QTimer;
struct struShellReply;

struct struGroupViewOptions
{
    int iMinFrameMs = 100; // at most this many frames a second: 1000 / iMinFrameMs
    int iJpegQuality = 70;
    int iConnectMs = 5000; // the console's port must answer within this
    int iCaptureTimeoutMs = 3000;
    int iLeadCheckMs = 1000;          // how often the lead's state is looked at
    int iMaxFailedCaptures = 5;       // in a row; then the view ends ("adb 无响应")
    int iEndFlushMs = 1000;           // the end frame's time to leave before the connection is cut
    int iSendBufferBytes = 16 * 1024; // small, so that a frame backs up here, not in the kernel
};

// The live view of a group run's lead instance, on a thread of its own: connects to the console's
// port, says hello with the run's id, then sends JPEG frames of the instance's screen, taken with
// "screencap" in a long-lived adb shell of its own (so the replay's shell of the same instance never
// waits behind a frame), one after another: the next frame is captured only once the previous one
// has left the socket, so a slow console gets the newest frame, never a backlog. It ends on slStop
// (the run's end), when the console closes the connection, when the lead is no longer running
// (told in an end frame "模拟器已关闭") or its adb stops answering; then its shell is gone. Deleted
// while still open (its thread ends as the agent exits), it says "被控端已退出" before it closes.
class GroupViewSender : public QObject
{
    Q_OBJECT
public:
    GroupViewSender(const QString& serial, const QString& memuIdx, const QHostAddress& console, quint16 port,
                    const QString& runId, const struGroupViewOptions& options = struGroupViewOptions(),
                    QObject* parent = nullptr);
    ~GroupViewSender() override;

    QString runId() const { return m_runId; }
    // Any thread: frames captured and frames written so far.
    int framesCaptured() const { return m_captured.loadRelaxed(); }
    int framesSent() const { return m_sent.loadRelaxed(); }

signals:
    // The view has ended and closed everything (reason as told, or why it could not tell).
    void sigEnded(QString strRunId, QString strReason);

public slots:
    void slStart();
    // Ends the view, telling the console why.
    void slStop(QString strReason);

private:
    void onConnected();
    void captureNext();
    void onCaptured(const struShellReply& reply, qint64 captureMs);
    void sendFrame(const QByteArray& raw, qint64 captureMs);
    void checkLead();
    void finish(const QString& reason, bool tell);
    void endAtExit();
    void ended(const QString& reason);

    const QString m_serial;
    const QString m_memuIdx;
    const QHostAddress m_console;
    const quint16 m_port;
    const QString m_runId;
    const struGroupViewOptions m_options;
    AdbShellSession* m_pShell = nullptr;
    QTcpSocket* m_pSocket = nullptr;
    QTimer* m_pPace = nullptr;
    QTimer* m_pLeadCheck = nullptr;
    QElapsedTimer m_sinceCapture;
    bool m_bCapturing = false;
    bool m_bFinishing = false;
    bool m_bEnded = false;
    int m_failedCaptures = 0;
    QAtomicInteger<int> m_captured{0};
    QAtomicInteger<int> m_sent{0};
};
