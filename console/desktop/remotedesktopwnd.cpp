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
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>

namespace {

constexpr int kPanelMaxWidth = 480;

void checkConnect(bool ok, const char* failText)
{
    if (!ok)
        qWarning() << failText;
}

// What the user is told when the agent ended the run.
QString endedText(int reason, const QString& detail)
{
    using namespace RmtDsktpMsg;
    switch (reason) {
    case eEndTakenOver:
        return QStringLiteral("远程桌面已被另一台总控端（%1）接管。").arg(detail);
    case eEndReplaced:
        return QStringLiteral("远程桌面已被本总控端的另一次连接取代。");
    case eEndGrabberFailed:
        return QStringLiteral("被控端无法启动屏幕采集程序（ToviaMpeg.exe）：%1").arg(detail);
    case eEndGrabberStopped:
        return QStringLiteral("被控端的屏幕采集程序（ToviaMpeg.exe）反复停止：%1").arg(detail);
    case eEndAgentClosing:
        return QStringLiteral("被控端程序已退出，远程桌面已结束。");
    default:
        return QStringLiteral("被控端已结束远程桌面。");
    }
}

} // namespace

RemoteDesktopWnd::RemoteDesktopWnd(const struRmtDsktpTarget& target, QWidget* parent)
    : QWidget(parent), m_target(target), m_controlPort(RmtDsktpMsg::kControlPort),
      m_heartbeatMs(RmtDsktpMsg::kHeartbeatMs)
{
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    resize(750, 650);
    createPanel();
    m_pPictureTimer = new QTimer(this);
    m_pPictureTimer->setSingleShot(true);
    connect(m_pPictureTimer, &QTimer::timeout, this, &RemoteDesktopWnd::onPictureWaitOver);
}

RemoteDesktopWnd::~RemoteDesktopWnd()
{
    stopWorkers();
}

// The message over the picture, with the button that begins a new run. The keyboard stays with the
// remote desktop: the button never takes the focus.
void RemoteDesktopWnd::createPanel()
{
    auto* pPanel = new QFrame(this);
    pPanel->setObjectName(QStringLiteral("rmtDsktpPanel"));
    pPanel->setStyleSheet(
        QStringLiteral("QFrame#rmtDsktpPanel{background-color:rgba(0,0,0,190);border-radius:8px;}"
                       "QLabel{color:white;font-size:14px;}"));
    pPanel->setAttribute(Qt::WA_NoMousePropagation);
    m_pMessage = new QLabel(pPanel);
    m_pMessage->setWordWrap(true);
    m_pMessage->setAlignment(Qt::AlignCenter);
    m_pRetryBtn = new QPushButton(QStringLiteral("重新连接"), pPanel);
    m_pRetryBtn->setFocusPolicy(Qt::NoFocus);
    m_pRetryBtn->setVisible(false);
    connect(m_pRetryBtn, &QPushButton::clicked, this, &RemoteDesktopWnd::slRetry);
    auto* pLayout = new QVBoxLayout(pPanel);
    pLayout->setContentsMargins(16, 14, 16, 14);
    pLayout->addWidget(m_pMessage);
    pLayout->addWidget(m_pRetryBtn, 0, Qt::AlignHCenter);
    m_pPanel = pPanel;
    showState(ViewState::Waiting, QStringLiteral("正在连接远程桌面……"));
}

void RemoteDesktopWnd::setPictureWaits(int firstPictureMs, int stallMs)
{
    m_firstPictureMs = firstPictureMs;
    m_stallMs = stallMs;
}

QString RemoteDesktopWnd::messageText() const
{
    return m_pPanel->isVisibleTo(this) ? m_pMessage->text() : QString();
}

void RemoteDesktopWnd::initWnd()
{
    setMouseTracking(true);
    setWindowTitle(QStringLiteral("%1-%2 远程操控窗口").arg(m_target.strTitle, m_target.strName));
    m_target.strRunId = RmtDsktpMsg::newRunId();
    startDecoder();
    startControl();
}

void RemoteDesktopWnd::startDecoder()
{
    m_inputOpen = false;
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
                         &RemoteDesktopWnd::onInputOpened, Qt::QueuedConnection),
                 "connect RemoteDesktopObj::sigInputOpened RemoteDesktopWnd::onInputOpened err");
    m_pDecoderThread =
        newWorkerThread(m_pDecoderObj, SLOT(slInitRmtDsktpSocket()),
                        QStringLiteral("connect QThread::started RemoteDesktopObj::slInitRmtDsktpSocke err"),
                        Qt::QueuedConnection);
    m_pDecoderThread->start(QThread::InheritPriority);
}

void RemoteDesktopWnd::startControl()
{
    m_pCtrlObj = new RmtDsktpCtrlObj(m_target, m_controlPort);
    m_pCtrlObj->setHeartbeatMs(m_heartbeatMs);
    checkConnect(connect(this, &RemoteDesktopWnd::sigCloseRmtDsktp, m_pCtrlObj,
                         &RmtDsktpCtrlObj::slCloseRmtDsktp, Qt::QueuedConnection),
                 "connect RemoteDesktopWnd::sigCloseRmtDsktp RmtDsktpCtrlObj::slCloseRmtDsktp err");
    checkConnect(connect(this, &RemoteDesktopWnd::sigMouseClicked, m_pCtrlObj,
                         &RmtDsktpCtrlObj::slMouseClicked, Qt::QueuedConnection),
                 "connect SIGNAL(sigMouseClicked(int,int,int)) SLOT(slMouseClicked(int,int,int)) err");
    checkConnect(connect(this, &RemoteDesktopWnd::sigBeginRun, m_pCtrlObj, &RmtDsktpCtrlObj::slBeginRun,
                         Qt::QueuedConnection),
                 "connect RemoteDesktopWnd::sigBeginRun RmtDsktpCtrlObj::slBeginRun err");
    checkConnect(connect(m_pCtrlObj, &RmtDsktpCtrlObj::sigReplyResult, this,
                         &RemoteDesktopWnd::slControlResult, Qt::QueuedConnection),
                 "connect RmtDsktpCtrlObj::sigReplyResult RemoteDesktopWnd::slControlResult err");
    checkConnect(connect(m_pCtrlObj, &RmtDsktpCtrlObj::sigRunEnded, this, &RemoteDesktopWnd::slRunEnded,
                         Qt::QueuedConnection),
                 "connect RmtDsktpCtrlObj::sigRunEnded RemoteDesktopWnd::slRunEnded err");
    m_pCtrlThread =
        newWorkerThread(m_pCtrlObj, SLOT(slInitRmtDsktpCtrlObj()),
                        QStringLiteral("connect QThread::started RmtDsktpCtrlObj::slInitRmtDsktpCtrlObj err"),
                        Qt::QueuedConnection);
    m_pCtrlThread->start(QThread::InheritPriority);
}

// The stream port is bound: the run's begin goes out, and the wait for its first picture starts.
void RemoteDesktopWnd::onInputOpened(int iPort)
{
    if (m_closed)
        return;
    m_inputOpen = true;
    m_target.iPort = iPort;
    emit sigBeginRmtDsktp(iPort, m_target.strRunId);
    m_pPictureTimer->start(m_firstPictureMs);
}

void RemoteDesktopWnd::slRetry()
{
    if (m_closed)
        return;
    m_target.strRunId = RmtDsktpMsg::newRunId();
    m_runPictures = 0;
    qWarning().noquote() << "remote desktop of" << m_target.strAddr << "begins again, run"
                         << m_target.strRunId;
    showState(ViewState::Waiting, QStringLiteral("正在连接远程桌面……"));
    emit sigBeginRun(m_target.strRunId);
    if (m_inputOpen)
        onInputOpened(m_target.iPort);
    else
        startDecoder(); // the earlier decoder gave up; a new one asks for the begin
}

void RemoteDesktopWnd::onPictureWaitOver()
{
    const int secs = (m_runPictures == 0 ? m_firstPictureMs : m_stallMs) / 1000;
    if (m_viewState == ViewState::Waiting)
        showState(ViewState::NoPicture,
                  QStringLiteral("%1秒内没有收到远程桌面的画面。请确认被控端在运行，且其屏幕采集程序"
                                 "（ToviaMpeg.exe）可用。")
                      .arg(secs));
    else if (m_viewState == ViewState::Live)
        showState(ViewState::Stalled, QStringLiteral("远程桌面的画面中断了：%1秒没有收到新画面。").arg(secs));
}

void RemoteDesktopWnd::showState(ViewState state, const QString& text)
{
    m_viewState = state;
    m_pMessage->setText(text);
    m_pRetryBtn->setVisible(state != ViewState::Waiting && state != ViewState::Live);
    m_pPanel->setVisible(state != ViewState::Live);
    if (!text.isEmpty())
        qWarning().noquote() << "remote desktop viewer:" << text;
    resizeEvent(nullptr);
    update();
}

void RemoteDesktopWnd::resizeEvent(QResizeEvent* event)
{
    Q_UNUSED(event);
    const int width = qMax(120, qMin(kPanelMaxWidth, this->width() - 40));
    m_pPanel->setFixedWidth(width);
    m_pPanel->setFixedHeight(m_pPanel->layout()->heightForWidth(width) > 0
                                 ? m_pPanel->layout()->heightForWidth(width)
                                 : m_pPanel->sizeHint().height());
    m_pPanel->move((this->width() - m_pPanel->width()) / 2, (height() - m_pPanel->height()) / 2);
}

QRectF RemoteDesktopWnd::pictureRect(const QSize& widget, const QSize& picture)
{
    if (widget.isEmpty() || picture.isEmpty())
        return QRectF();
    QSizeF shown = QSizeF(picture);
    shown.scale(QSizeF(widget), Qt::KeepAspectRatio);
    return QRectF(QPointF((widget.width() - shown.width()) / 2, (widget.height() - shown.height()) / 2),
                  shown);
}

QPoint RemoteDesktopWnd::mapToAgent(const QPointF& local, const QSize& widget, const QSize& picture)
{
    const QRectF shown = pictureRect(widget, picture);
    if (shown.isEmpty())
        return QPoint();
    const QPoint p = local.toPoint();
    const int x = int((p.x() - shown.x()) * picture.width() / shown.width());
    const int y = int((p.y() - shown.y()) * picture.height() / shown.height());
    return QPoint(qBound(0, x, picture.width() - 1), qBound(0, y, picture.height() - 1));
}

QSize RemoteDesktopWnd::fittedSize(const QSize& wanted, const QSize& available)
{
    if (wanted.width() <= available.width() && wanted.height() <= available.height())
        return wanted;
    return wanted.scaled(available.expandedTo(QSize(1, 1)), Qt::KeepAspectRatio);
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
    ++m_pictureSeq;
    ++m_runPictures;
    if (m_viewState != ViewState::Ended && m_viewState != ViewState::Live)
        showState(ViewState::Live, QString());
    m_pPictureTimer->start(m_stallMs);
    update();
}

void RemoteDesktopWnd::slSetBkgImg(QImage* pImg)
{
    if (!pImg)
        return;
    m_picture = pImg->copy();
    delete pImg;
    update();
}

// The decoder gave up: the user sees its result, and the run may be begun again with a new decoder.
void RemoteDesktopWnd::slReplyResult(CCommResult* pRet)
{
    if (!pRet)
        return;
    const CCommResult ret = *pRet;
    delete pRet;
    if (m_closed)
        return;
    m_inputOpen = false;
    if (m_pDecoderThread)
        m_pDecoderThread->quit();
    m_pDecoderObj = nullptr;
    showState(ViewState::Ended, ret.str);
    showResult(ret);
}

void RemoteDesktopWnd::slControlResult(CCommResult* pRet)
{
    if (!pRet)
        return;
    const QString text = pRet->str;
    delete pRet;
    if (!m_closed && m_viewState != ViewState::Ended)
        showState(ViewState::Ended, text + QStringLiteral("：鼠标和键盘无法送达被控端。"));
}

void RemoteDesktopWnd::slRunEnded(int iReason, QString strDetail)
{
    if (m_closed)
        return;
    m_pPictureTimer->stop();
    showState(ViewState::Ended, endedText(iReason, strDetail));
}

void RemoteDesktopWnd::slSizeChanged(QSize size)
{
    // As large as asked, but never beyond the screen's free area: the window shrinks, its aspect kept.
    const QScreen* pScreen = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!pScreen) {
        resize(size);
        return;
    }
    const QRect avail = pScreen->availableGeometry();
    const QSize frame = (frameGeometry().size() - geometry().size()).expandedTo(QSize(0, 0));
    const QSize fitted = fittedSize(size, avail.size() - frame);
    resize(fitted);
    move(avail.x() + (avail.width() - fitted.width() - frame.width()) / 2,
         avail.y() + (avail.height() - fitted.height() - frame.height()) / 2);
}

void RemoteDesktopWnd::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (m_picture.isNull())
        return;
    painter.drawImage(pictureRect(size(), m_picture.size()), m_picture);
    if (m_shownCount < m_pictureSeq) {
        m_shownCount = m_pictureSeq;
        emit sigPictureShown(m_shownCount);
    }
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
    m_pPictureTimer->stop();
    emit sigCloseRmtDsktp();
    // The decoder's blocking calls watch its running flag: the thread ends by itself, at once.
    if (m_pDecoderObj && m_pDecoderThread) {
        m_pDecoderObj->stop();
        m_pDecoderThread->quit();
    }
    m_pDecoderObj = nullptr;
    m_pCtrlObj = nullptr;
}
