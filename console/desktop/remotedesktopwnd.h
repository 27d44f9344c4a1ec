#pragma once

#include "commresult.h"
#include "desktopdecoder.h"
#include "rmtdsktptarget.h"

#include <QImage>
#include <QPointer>
#include <QSet>
#include <QSize>
#include <QThread>
#include <QWidget>

class LatestFrame;
class QLabel;
class QPushButton;
class QTimer;
class RemoteDesktopObj;
class RmtDsktpCtrlObj;

// The viewer of one agent's desktop: shows the decoded stream scaled into the window (its aspect
// kept) and sends the mouse, keyboard and wheel to the agent. The begin and end commands go through
// the console's command client: sigBeginRmtDsktp asks for the begin command of a run once the
// stream port is bound, sigRemoteDesktopWndClosed for the end command once the window has closed.
// Until the first picture the window says it is waiting; when no picture comes, the stream stops or
// the agent ends the run it says so, with a button that begins a new run. Use:
//
//   struRmtDsktpTarget t;  // strAddr = agent's IPv4, strName, strIdx, strTitle; iPort 0: chosen
//   auto* pWnd = new RemoteDesktopWnd(t);
//   connect(pWnd, &RemoteDesktopWnd::sigBeginRmtDsktp, ...);          // send kind 6: port, run id
//   connect(pWnd, &RemoteDesktopWnd::sigRemoteDesktopWndClosed, ...); // send kind 7, then deleteLater
//   pWnd->initWnd();
//   pWnd->show();
class RemoteDesktopWnd : public QWidget
{
    Q_OBJECT
public:
    enum class ViewState
    {
        Waiting,   // a run began, no picture yet
        Live,      // pictures arrive
        NoPicture, // none came within the first-picture wait
        Stalled,   // they stopped coming
        Ended,     // the agent ended the run, or the decoder or control channel gave up
    };

    static constexpr int kFirstPictureMs = 8000;
    static constexpr int kStallMs = 3000;

    explicit RemoteDesktopWnd(const struRmtDsktpTarget& target, QWidget* parent = nullptr);
    ~RemoteDesktopWnd() override;

    // Title, the decoder and control threads, the first run. Tests may hand in their own decoder,
    // control port and waits before.
    virtual void initWnd();
    void setDecoderFactory(const DesktopDecoderFactory& factory) { m_decoderFactory = factory; }
    void setControlPort(quint16 port) { m_controlPort = port; }
    void setPictureWaits(int firstPictureMs, int stallMs);
    void setHeartbeatMs(int ms) { m_heartbeatMs = ms; }

    const struRmtDsktpTarget& target() const { return m_target; }
    QImage picture() const { return m_picture; }
    int moveCount() const { return m_moveCount; }
    ViewState viewState() const { return m_viewState; }
    QString messageText() const;
    QPushButton* retryButton() const { return m_pRetryBtn; }
    QThread* decoderThread() const { return m_pDecoderThread; }
    QThread* controlThread() const { return m_pCtrlThread; }
    RmtDsktpCtrlObj* controlObj() const { return m_pCtrlObj; }

    // Where a picture of size `picture` is shown in a widget of size `widget`: as large as fits,
    // its aspect kept, centred.
    static QRectF pictureRect(const QSize& widget, const QSize& picture);
    // Agent pixel under a point of such a widget (points beside the picture go to its edge).
    static QPoint mapToAgent(const QPointF& local, const QSize& widget, const QSize& picture);
    // `wanted` shrunk, its aspect kept, until it fits `available`.
    static QSize fittedSize(const QSize& wanted, const QSize& available);

signals:
    void sigRemoteDesktopWndClosed();
    void sigMouseClicked(int iType, int int1, int int2);
    void sigCloseRmtDsktp();
    // The stream port is bound: the begin command of the run (this port, this run id) may be sent.
    void sigBeginRmtDsktp(int iPort, QString strRunId);
    // A new picture was painted (the count of pictures painted so far).
    void sigPictureShown(int iShown);
    // A new run begins on the control channel (its id).
    void sigBeginRun(QString strRunId);

public slots:
    void slSetBkgImg(QImage* pImg);
    void slReplyResult(CCommResult* pRet);
    void slSizeChanged(QSize size);
    void slFrameReady();
    // The agent ended the run (RmtDsktpMsg::eEndReason, its detail).
    void slRunEnded(int iReason, QString strDetail);
    // The control channel could not be had.
    void slControlResult(CCommResult* pRet);
    // Begins a new run: the button's click.
    void slRetry();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    void focusOutEvent(QFocusEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void createPanel();
    void startDecoder();
    void startControl();
    void onInputOpened(int iPort);
    void onPictureWaitOver();
    void showState(ViewState state, const QString& text);
    void sendMouse(int iType, const QPointF& local);
    void sendKey(QKeyEvent* event, bool down);
    void stopWorkers();
    void releaseKeys();

    struRmtDsktpTarget m_target;
    int m_moveCount = 0;
    int m_shownCount = 0;  // pictures painted
    int m_pictureSeq = 0;  // pictures taken from the decoder
    int m_runPictures = 0; // pictures of the current run
    int m_wheelRest = 0;
    QSet<int> m_keysDown; // virtual keys pressed on the agent and not yet released
    RemoteDesktopObj* m_pDecoderObj = nullptr;
    QPointer<QThread> m_pDecoderThread;
    RmtDsktpCtrlObj* m_pCtrlObj = nullptr;
    QPointer<QThread> m_pCtrlThread;
    QSharedPointer<LatestFrame> m_pFrames;
    QImage m_picture;
    bool m_closed = false;
    bool m_inputOpen = false;
    DesktopDecoderFactory m_decoderFactory;
    quint16 m_controlPort;
    int m_firstPictureMs = kFirstPictureMs;
    int m_stallMs = kStallMs;
    int m_heartbeatMs;
    ViewState m_viewState = ViewState::Waiting;
    QWidget* m_pPanel = nullptr;
    QLabel* m_pMessage = nullptr;
    QPushButton* m_pRetryBtn = nullptr;
    QTimer* m_pPictureTimer = nullptr;
};
