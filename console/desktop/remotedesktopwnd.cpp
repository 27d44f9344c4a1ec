#include "remotedesktopwnd.h"

#include "latestframe.h"
#include "remotedesktopobj.h"
#include "resultdisplay.h"
#include "rmtdsktpctrlobj.h"
#include "rmtdsktpkeys.h"
#include "rmtdsktpmsg.h"
#include "workerthread.h"

#include <QCloseEvent>
#include <QDebug>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QWheelEvent>

namespace {

void checkConnect(bool ok, const char* failText)
{
    if (!ok)
        qWarning() << failText;
}

} // namespace

RemoteDesktopWnd::RemoteDesktopWnd(const struRmtDsktpTarget& target, QWidget* parent)
    : QWidget(parent), m_target(target), m_controlPort(RmtDsktpMsg::kControlPort)
{
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    resize(750, 650);
}

RemoteDesktopWnd::~RemoteDesktopWnd()
{
    stopWorkers();
}

void RemoteDesktopWnd::initWnd()
{
    setMouseTracking(true);
    setWindowTitle(QStringLiteral("%1-%2 远程操控窗口").arg(m_target.strTitle, m_target.strName));
    startDecoder();
    startControl();
}

void RemoteDesktopWnd::startDecoder()
{
    m_pDecoderObj = new RemoteDesktopObj(m_target, m_decoderFactory);
    m_pFrames = m_pDecoderObj->frames();
    qWarning() << "thread id：" << QThread::currentThreadId();
    checkConnect(connect(m_pDecoderObj, &RemoteDesktopObj::sigFrameReady, this,
                         &RemoteDesktopWnd::slFrameReady, Qt::QueuedConnection),
                 "connect SIGNAL(sigEmitImg(QImage*)) SLOT(slSetBkgImg(QImage*)) err");
    checkConnect(connect(m_pDecoderObj, &RemoteDesktopObj::sigReplyResult, this,
                         &RemoteDesktopWnd::slReplyResult, Qt::QueuedConnection),
                 "connect SIGNAL(sigReplyResult(QImage*)) SLOT(slReplyResult(CCommResult*)) err");
    checkConnect(
        connect(m_pDecoderObj, &RemoteDesktopObj::sigSizeChanged, this, &RemoteDesktopWnd::slSizeChanged),
        "connect SIGNAL(sigSizeChanged(QSize)) SLOT(slSizeChanged(QSize)) err");
    checkConnect(connect(m_pDecoderObj, &RemoteDesktopObj::sigInputOpened, this,
                         &RemoteDesktopWnd::sigBeginRmtDsktp, Qt::QueuedConnection),
                 "connect RemoteDesktopObj::sigInputOpened RemoteDesktopWnd::sigBeginRmtDsktp err");
    m_pDecoderThread =
        newWorkerThread(m_pDecoderObj, SLOT(slInitRmtDsktpSocket()),
                        QStringLiteral("connect QThread::started RemoteDesktopObj::slInitRmtDsktpSocke err"),
                        Qt::QueuedConnection);
    m_pDecoderThread->start(QThread::InheritPriority);
}

void RemoteDesktopWnd::startControl()
{
    m_pCtrlObj = new RmtDsktpCtrlObj(m_target, m_controlPort);
    checkConnect(connect(this, &RemoteDesktopWnd::sigCloseRmtDsktp, m_pCtrlObj,
                         &RmtDsktpCtrlObj::slCloseRmtDsktp, Qt::QueuedConnection),
                 "connect RemoteDesktopWnd::sigCloseRmtDsktp RmtDsktpCtrlObj::slCloseRmtDsktp err");
    checkConnect(connect(this, &RemoteDesktopWnd::sigMouseClicked, m_pCtrlObj,
                         &RmtDsktpCtrlObj::slMouseClicked, Qt::QueuedConnection),
                 "connect SIGNAL(sigMouseClicked(int,int,int)) SLOT(slMouseClicked(int,int,int)) err");
    checkConnect(connect(m_pCtrlObj, &RmtDsktpCtrlObj::sigReplyResult, this, &RemoteDesktopWnd::slReplyResult,
                         Qt::QueuedConnection),
                 "connect RmtDsktpCtrlObj::sigReplyResult RemoteDesktopWnd::slReplyResult err");
    m_pCtrlThread =
        newWorkerThread(m_pCtrlObj, SLOT(slInitRmtDsktpCtrlObj()),
                        QStringLiteral("connect QThread::started RmtDsktpCtrlObj::slInitRmtDsktpCtrlObj err"),
                        Qt::QueuedConnection);
    m_pCtrlThread->start(QThread::InheritPriority);
}

QPoint RemoteDesktopWnd::mapToAgent(const QPointF& local, const QSize& widget, const QSize& picture)
{
    const QPoint p = local.toPoint();
    if (widget.width() <= 0 || widget.height() <= 0)
        return QPoint();
    return QPoint(p.x() * picture.width() / widget.width(), p.y() * picture.height() / widget.height());
}

void RemoteDesktopWnd::sendMouse(int iType, const QPointF& local)
{
    // Before the first picture nothing says where on the agent's screen the pointer is.
    if (m_picture.isNull())
        return;
    const QPoint agent = mapToAgent(local, size(), m_picture.size());
    emit sigMouseClicked(iType, agent.x(), agent.y());
}

void RemoteDesktopWnd::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        sendMouse(RmtDsktpMsg::eLeftDown, event->localPos());
    else if (event->button() == Qt::RightButton)
        sendMouse(RmtDsktpMsg::eRightDown, event->localPos());
}

void RemoteDesktopWnd::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        sendMouse(RmtDsktpMsg::eLeftUp, event->localPos());
    else if (event->button() == Qt::RightButton)
        sendMouse(RmtDsktpMsg::eRightUp, event->localPos());
}

void RemoteDesktopWnd::mouseMoveEvent(QMouseEvent* event)
{
    ++m_moveCount;
    sendMouse(RmtDsktpMsg::eMouseMove, event->localPos());
}

void RemoteDesktopWnd::mouseDoubleClickEvent(QMouseEvent* event)
{
    Q_UNUSED(event);
}

void RemoteDesktopWnd::sendKey(QKeyEvent* event, bool down)
{
    // A held key repeats as presses, as a keyboard does; the repeats' releases are not real.
    if (m_picture.isNull() || (!down && event->isAutoRepeat()))
        return;
    const int vk = RmtDsktpKeys::virtualKeyOf(event->key(), event->modifiers() & Qt::KeypadModifier);
    if (vk == 0) {
        qWarning() << "remote desktop: key without a code not sent:" << event->key();
        return;
    }
    if (down)
        m_keysDown.insert(vk);
    else
        m_keysDown.remove(vk);
    emit sigMouseClicked(down ? RmtDsktpMsg::eKeyDown : RmtDsktpMsg::eKeyUp, vk, 0);
}

void RemoteDesktopWnd::releaseKeys()
{
    // A key let go outside the window would otherwise stay down on the agent (a stuck Ctrl).
    for (int vk : qAsConst(m_keysDown))
        emit sigMouseClicked(RmtDsktpMsg::eKeyUp, vk, 0);
    m_keysDown.clear();
}

void RemoteDesktopWnd::focusOutEvent(QFocusEvent* event)
{
    releaseKeys();
    QWidget::focusOutEvent(event);
}

void RemoteDesktopWnd::keyPressEvent(QKeyEvent* event)
{
    sendKey(event, true);
}

void RemoteDesktopWnd::keyReleaseEvent(QKeyEvent* event)
{
    sendKey(event, false);
}

void RemoteDesktopWnd::wheelEvent(QWheelEvent* event)
{
    if (m_picture.isNull())
        return;
    // Whole notches only; the rest of a fine-grained wheel is kept for the next turn.
    m_wheelRest += event->angleDelta().y();
    const int steps = m_wheelRest / 120;
    m_wheelRest -= steps * 120;
    if (steps != 0)
        emit sigMouseClicked(RmtDsktpMsg::eWheel, steps, 0);
}

bool RemoteDesktopWnd::focusNextPrevChild(bool next)
{
    Q_UNUSED(next);
    return false; // Tab belongs to the remote desktop
}

void RemoteDesktopWnd::slFrameReady()
{
    if (!m_pFrames)
        return;
    const QImage picture = m_pFrames->take();
    if (picture.isNull())
        return;
    m_picture = picture;
    update();
    emit sigPictureShown(++m_shownCount);
}

void RemoteDesktopWnd::slSetBkgImg(QImage* pImg)
{
    if (!pImg)
        return;
    m_picture = pImg->copy();
    delete pImg;
    update();
}

void RemoteDesktopWnd::slReplyResult(CCommResult* pRet)
{
    if (!pRet)
        return;
    const CCommResult ret = *pRet;
    delete pRet;
    if (!m_closed)
        showResult(ret);
}

void RemoteDesktopWnd::slSizeChanged(QSize size)
{
    resize(size);
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen) {
        const QRect desk = screen->geometry();
        move((desk.width() - size.width()) / 2, (desk.height() - size.height()) / 2);
    }
}

void RemoteDesktopWnd::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    if (m_picture.isNull()) {
        painter.fillRect(rect(), Qt::black);
        return;
    }
    painter.drawImage(rect(), m_picture);
}

void RemoteDesktopWnd::closeEvent(QCloseEvent* event)
{
    const bool first = !m_closed;
    stopWorkers();
    QWidget::closeEvent(event);
    if (first)
        emit sigRemoteDesktopWndClosed();
}

void RemoteDesktopWnd::stopWorkers()
{
    if (m_closed)
        return;
    releaseKeys();
    m_closed = true;
    emit sigCloseRmtDsktp();
    // The decoder's blocking calls watch its running flag: the thread ends by itself, at once.
    if (m_pDecoderObj && m_pDecoderThread) {
        m_pDecoderObj->stop();
        m_pDecoderThread->quit();
    }
    m_pDecoderObj = nullptr;
    m_pCtrlObj = nullptr;
}
