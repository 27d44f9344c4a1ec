#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// The grabber of one remote-desktop run: ToviaMpeg.exe pushing the desktop as MPEG-2 video over UDP
// to the console. A grabber that dies while streaming is started again, a few times in a row; one
// that does not start, or ends at once, is a failure. Every grabber started is kept in the
// GrabberRecord until it has ended. Lives on the run's thread.
class DesktopGrabber : public QObject
{
    Q_OBJECT
public:
    static constexpr int kFrameRate = 30;
    static constexpr int kKeyFrameInterval = 30; // one key picture a second
    static constexpr int kStartWaitMs = 30000;
    // A grabber that ends sooner than this after its start did not work at all.
    static constexpr int kQuickExitMs = 2000;
    // One that ran this long has worked: its death starts the count of restarts anew.
    static constexpr int kWorkedMs = 30000;
    static constexpr int kRestartPauseMs = 300;

    DesktopGrabber(const QString& program, int bitRateKbps, int maxRestarts, QObject* parent = nullptr);
    ~DesktopGrabber() override;

    // The grabber's command line for a stream address (the program's own path first, quoted).
    static QStringList arguments(const QString& strUrl, int bitRateKbps);

    void start(const QString& strUrl);
    // Kills a running grabber (bounded wait) and stops restarting it.
    void stop();
    qint64 pid() const;

signals:
    // A grabber runs (its pid), also after a restart.
    void sigStarted(qint64 pid);
    // The grabber cannot be kept running: eEndGrabberFailed or eEndGrabberStopped, with its last
    // words (the last line it wrote, or why it did not start).
    void sigFailed(int reason, QString lastWords);

private:
    void launch();
    void onFinished(int exitCode, QProcess::ExitStatus status);
    void onOutput();
    void forget();

    QString m_program;
    int m_bitRateKbps;
    int m_maxRestarts;
    QString m_url;
    QProcess* m_pProcess = nullptr;
    qint64 m_pid = 0;
    QElapsedTimer m_running;
    int m_restarts = 0;
    bool m_stopped = false;
    QString m_lastWords;
};
