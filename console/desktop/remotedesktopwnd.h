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
class RemoteDesktopObj;
class RmtDsktpCtrlObj;

// The viewer of one agent's desktop: shows the decoded stream scaled into the window and sends the
// mouse, keyboard and wheel to the agent. The begin and end commands go through the console's
// command client: sigBeginRmtDsktp asks for the begin command once the stream port is bound,
// sigRemoteDesktopWndClosed for the end command once the window has closed. Use:
//
//   struRmtDsktpTarget t;  // strAddr = agent's IPv4, strName, strIdx, strTitle
//   t.iPort = RmtDsktpPort::choose(t.strAddr);
//   auto* pWnd = new RemoteDesktopWnd(t);
//   connect(pWnd, &RemoteDesktopWnd::sigBeginRmtDsktp, ...);          // send kind 6, iExtra = port
//   connect(pWnd, &RemoteDesktopWnd::sigRemoteDesktopWndClosed, ...); // send kind 7, then deleteLater
//   pWnd->initWnd();
//   pWnd->show();
class RemoteDesktopWnd : public QWidget
{
    Q_OBJECT
public:
    explicit RemoteDesktopWnd(const struRmtDsktpTarget& target, QWidget* parent = nullptr);
    ~RemoteDesktopWnd() override;

    // Title, the decoder and control threads. Tests may hand in their own decoder and control port.
    virtual void initWnd();
    void setDecoderFactory(const DesktopDecoderFactory& factory) { m_decoderFactory = factory; }
    void setControlPort(quint16 port) { m_controlPort = port; }

    const struRmtDsktpTarget& target() const { return m_target; }
    QImage picture() const { return m_picture; }
    int moveCount() const { return m_moveCount; }
    QThread* decoderThread() const { return m_pDecoderThread; }
    QThread* controlThread() const { return m_pCtrlThread; }
    RmtDsktpCtrlObj* controlObj() const { return m_pCtrlObj; }

    // Agent pixel under a point of a widget of size `widget` showing a picture of size `picture`.
    static QPoint mapToAgent(const QPointF& local, const QSize& widget, const QSize& picture);

signals:
    void sigRemoteDesktopWndClosed();
    void sigMouseClicked(int iType, int int1, int int2);
    void sigCloseRmtDsktp();
    // The stream port is bound: the begin command (with this port) may be sent now.
    void sigBeginRmtDsktp(int iPort);
    // A new picture is shown (the count of pictures shown so far).
    void sigPictureShown(int iShown);

public slots:
    void slSetBkgImg(QImage* pImg);
    void slReplyResult(CCommResult* pRet);
    void slSizeChanged(QSize size);
    void slFrameReady();

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
    void closeEvent(QCloseEvent* event) override;

private:
    void startDecoder();
    void startControl();
    void sendMouse(int iType, const QPointF& local);
    void sendKey(QKeyEvent* event, bool down);
    void stopWorkers();
    void releaseKeys();

    struRmtDsktpTarget m_target;
    int m_moveCount = 0;
    int m_shownCount = 0;
    int m_wheelRest = 0;
    QSet<int> m_keysDown; // virtual keys pressed on the agent and not yet released
    RemoteDesktopObj* m_pDecoderObj = nullptr;
    QPointer<QThread> m_pDecoderThread;
    RmtDsktpCtrlObj* m_pCtrlObj = nullptr;
    QPointer<QThread> m_pCtrlThread;
    QSharedPointer<LatestFrame> m_pFrames;
    QImage m_picture;
    bool m_closed = false;
    DesktopDecoderFactory m_decoderFactory;
    quint16 m_controlPort;
};
