#include "desktopvideosender.h"

#include "agentlogging.h"
#include "desktopctrlserver.h"
#include "desktopgrabber.h"
#include "grabberrecord.h"

#include <QDebug>
#include <QEventLoop>
#include <QTimer>

DesktopVideoSender::DesktopVideoSender(const QHostAddress& consoleAddr, const QString& runId,
                                       const DesktopRunOptions& options, QObject* parent)
    : QObject(parent), m_consoleAddr(consoleAddr), m_runId(runId), m_options(options)
{
    m_pCtrl = new DesktopCtrlServer(consoleAddr, runId, options, this);
    m_pGrabber =
        new DesktopGrabber(options.grabberPath, options.bitRateKbps, options.maxGrabberRestarts, this);
    if (!connect(this, &DesktopVideoSender::sigCloseStream, this, &DesktopVideoSender::slCloseStream,
                 Qt::QueuedConnection))
        qCWarning(lcDesktop)
            << "connect DesktopVideoSender::sigCloseStream DesktopVideoSender::slCloseStream err";
    connect(m_pCtrl, &DesktopCtrlServer::sigMsgReplayed, this, &DesktopVideoSender::sigMsgReplayed);
    connect(m_pCtrl, &DesktopCtrlServer::sigConsoleGone, this, [this](const QString& why) {
        const QString failed =
            m_failReason ? QStringLiteral("; the grabber had failed: ") + m_failWords : QString();
        finish(RmtDsktpMsg::eEndConsoleGone, why + failed, QString());
    });
    // Queued: the run may end here, which closes the server that is still handing out connections.
    connect(
        m_pCtrl, &DesktopCtrlServer::sigAttached, this,
        [this] {
            if (m_failReason)
                onGrabberFailed(m_failReason, m_failWords);
        },
        Qt::QueuedConnection);
    connect(m_pGrabber, &DesktopGrabber::sigStarted, this, &DesktopVideoSender::sigGrabberStarted);
    connect(m_pGrabber, &DesktopGrabber::sigFailed, this, &DesktopVideoSender::onGrabberFailed);
}

DesktopVideoSender::~DesktopVideoSender()
{
    // A run still open when the agent closes: the console is told so.
    if (!m_closed) {
        m_pGrabber->stop();
        m_pCtrl->tell(RmtDsktpMsg::eEndAgentClosing, QString());
    }
}

void DesktopVideoSender::killGrabbers()
{
    GrabberRecord::endLeftovers(DesktopRunOptions::defaultGrabberPath());
}

bool DesktopVideoSender::closeStreamAndWait(int reason, const QString& detail, int timeoutMs)
{
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    bool closed = false;
    connect(this, &DesktopVideoSender::sigStreamClosed, &loop, [&] {
        closed = true;
        loop.quit();
    });
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    // Queued before the close, so that it is known when the close runs.
    QMetaObject::invokeMethod(
        this,
        [this, reason, detail] {
            m_closeReason = reason;
            m_closeDetail = detail;
        },
        Qt::QueuedConnection);
    emit sigCloseStream();
    if (!closed)
        loop.exec();
    if (!closed)
        qCWarning(lcDesktop) << "remote desktop sender did not close within" << timeoutMs << "ms";
    return closed;
}

void DesktopVideoSender::slSendVideoStream(QString strUrl)
{
    // The control server first: it is ready before the console's first picture arrives.
    emit sigControlListening(m_pCtrl->listen() ? m_pCtrl->port() : 0);
    m_pGrabber->start(strUrl);
}

void DesktopVideoSender::onGrabberFailed(int reason, const QString& lastWords)
{
    // The console hears of it on its control connection; until that is there the run waits for it
    // (bounded by the attach grace).
    if (!m_pCtrl->attached()) {
        m_failReason = reason;
        m_failWords = lastWords;
        qCWarning(lcDesktop).noquote() << "remote desktop: the grabber failed (" << lastWords
                                       << "); the console is told once its control connection is there";
        return;
    }
    const QString what = reason == RmtDsktpMsg::eEndGrabberFailed
                             ? QStringLiteral("the grabber did not start: ")
                             : QStringLiteral("the grabber kept stopping: ");
    finish(reason, what + lastWords, lastWords);
}

void DesktopVideoSender::finish(int reason, const QString& why, const QString& told)
{
    if (m_closed)
        return;
    qCWarning(lcDesktop).noquote() << "remote desktop run" << m_runId << "of" << m_consoleAddr.toString()
                                   << "ended:" << why;
    m_closeReason = reason;
    m_closeDetail = told;
    slCloseStream();
    emit sigRunEnded(reason, why);
}

void DesktopVideoSender::slCloseStream()
{
    m_pGrabber->stop();
    if (!m_closed) {
        if (m_closeReason != RmtDsktpMsg::eEndNone && m_closeReason != RmtDsktpMsg::eEndConsoleGone &&
            m_closeReason != RmtDsktpMsg::eEndByConsole)
            m_pCtrl->tell(m_closeReason, m_closeDetail);
        else
            m_pCtrl->close();
        qCInfo(lcDesktop) << "remote desktop run closed";
    }
    m_closed = true;
    emit sigStreamClosed();
}
