#include "groupviewsender.h"

#include "adbbridge.h"
#include "adbshellsession.h"
#include "agentlogging.h"
#include "groupcontrol.h"
#include "screenshot.h"
#include "simustatestore.h"

#include <QBuffer>
#include <QDateTime>
#include <QImage>
#include <QImageWriter>
#include <QTcpSocket>
#include <QTimer>

namespace {

const QString kLeadStopped = QStringLiteral("模拟器已关闭");
const QString kConsoleGone = QStringLiteral("console closed the view");
const QString kAgentExits = QStringLiteral("被控端已退出");

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

GroupViewSender::GroupViewSender(const QString& serial, const QString& memuIdx, const QHostAddress& console,
                                 quint16 port, const QString& runId, const struGroupViewOptions& options,
                                 QObject* parent)
    : QObject(parent), m_serial(serial), m_memuIdx(memuIdx), m_console(console), m_port(port), m_runId(runId),
      m_options(options)
{
}

GroupViewSender::~GroupViewSender()
{
    endAtExit();
    // The shell's last reply comes back while this object is still whole, and is dropped.
    m_bFinishing = true;
    delete m_pShell;
    if (!m_pSocket)
        return;
    disconnect(m_pSocket, nullptr, this, nullptr);
    // An end frame written before still gets its moment to leave.
    if (m_pSocket->state() == QAbstractSocket::ClosingState)
        m_pSocket->waitForDisconnected(m_options.iEndFlushMs);
    m_pSocket->abort();
}

void GroupViewSender::slStart()
{
    m_pShell = new AdbShellSession(AdbBridge::adbProgram(), m_serial, this);
    m_pSocket = new QTcpSocket(this);
    m_pPace = new QTimer(this);
    m_pPace->setSingleShot(true);
    m_pLeadCheck = new QTimer(this);
    connect(m_pPace, &QTimer::timeout, this, &GroupViewSender::captureNext);
    connect(m_pLeadCheck, &QTimer::timeout, this, &GroupViewSender::checkLead);
    connect(m_pSocket, &QTcpSocket::connected, this, &GroupViewSender::onConnected);
    connect(m_pSocket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_pSocket->bytesToWrite() == 0)
            captureNext();
    });
    connect(m_pSocket, &QTcpSocket::disconnected, this, [this] { finish(kConsoleGone, false); });
    connect(m_pSocket, &QTcpSocket::errorOccurred, this,
            [this] { finish(QStringLiteral("view connection: %1").arg(m_pSocket->errorString()), false); });
    QTimer::singleShot(m_options.iConnectMs, this, [this] {
        if (m_pSocket->state() != QAbstractSocket::ConnectedState)
            finish(QStringLiteral("the console's view port did not answer"), false);
    });
    qCInfo(lcGroup).noquote() << "group run" << m_runId << ": live view of" << m_memuIdx << "to"
                              << m_console.toString() << m_port;
    m_pSocket->connectToHost(m_console, m_port);
}

void GroupViewSender::slStop(QString strReason)
{
    finish(strReason, true);
}

void GroupViewSender::onConnected()
{
    m_pSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_pSocket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, m_options.iSendBufferBytes);
    m_pSocket->write(encodeGroupViewFrame(GroupViewFrame::hello(m_runId)));
    m_pLeadCheck->start(m_options.iLeadCheckMs);
    captureNext();
}

void GroupViewSender::captureNext()
{
    if (m_bFinishing || m_bCapturing || m_pSocket->state() != QAbstractSocket::ConnectedState ||
        m_pSocket->bytesToWrite() > 0)
        return;
    const qint64 waitMs = m_sinceCapture.isValid() ? m_options.iMinFrameMs - m_sinceCapture.elapsed() : 0;
    if (waitMs > 0) {
        if (!m_pPace->isActive())
            m_pPace->start(int(waitMs));
        return;
    }
    m_sinceCapture.start();
    m_bCapturing = true;
    AdbShellSession::struRequest request;
    request.words = QStringList{QStringLiteral("screencap")};
    request.stderrMode = eShellStderr::Dropped;
    request.maxBytes = Screenshot::kMaxRawFrameBytes;
    request.deadline = QDeadlineTimer(m_options.iCaptureTimeoutMs);
    request.done = [this, captureMs = nowMs()](const struShellReply& reply) { onCaptured(reply, captureMs); };
    m_pShell->enqueue(std::move(request));
}

void GroupViewSender::onCaptured(const struShellReply& reply, qint64 captureMs)
{
    m_bCapturing = false;
    if (m_bFinishing)
        return;
    if (reply.result.iRet != 0 || reply.out.isEmpty()) {
        qCDebug(lcGroup).noquote() << "group run" << m_runId << ": no frame of" << m_memuIdx
                                   << reply.result.str;
        if (++m_failedCaptures >= m_options.iMaxFailedCaptures) {
            checkLead();
            finish(groupReplyText(eGroupShellFailed), true);
            return;
        }
    } else {
        m_failedCaptures = 0;
        m_captured.fetchAndAddRelaxed(1);
        sendFrame(reply.out, captureMs);
    }
    captureNext();
}

void GroupViewSender::sendFrame(const QByteArray& raw, qint64 captureMs)
{
    const QImage frame = Screenshot::rawFrame(raw);
    if (frame.isNull())
        return;
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "JPG");
    writer.setQuality(m_options.iJpegQuality);
    // JPEG has no alpha: the frame's RGBX bytes are taken as they are.
    if (!writer.write(frame.format() == QImage::Format_RGBA8888
                          ? frame.convertToFormat(QImage::Format_RGBX8888)
                          : frame))
        return;
    const QByteArray bytes =
        encodeGroupViewFrame(GroupViewFrame::jpeg(jpeg, frame.size(), quint64(captureMs)));
    if (bytes.isEmpty())
        return;
    m_pSocket->write(bytes);
    m_sent.fetchAndAddRelaxed(1);
}

void GroupViewSender::checkLead()
{
    if (SimuStateStore::instance().record(m_memuIdx).iState != eStateRunning)
        finish(kLeadStopped, true);
}

// The shell goes at once; the end frame, when there is one to send, gets a moment to leave.
void GroupViewSender::finish(const QString& reason, bool tell)
{
    if (m_bFinishing)
        return;
    m_bFinishing = true;
    if (!m_pShell) { // never started
        ended(reason);
        return;
    }
    m_pPace->stop();
    m_pLeadCheck->stop();
    m_pShell->close();
    qCInfo(lcGroup).noquote() << "group run" << m_runId << ": live view of" << m_memuIdx << "ends:" << reason
                              << "frames" << framesSent();
    if (!tell || m_pSocket->state() != QAbstractSocket::ConnectedState) {
        m_pSocket->abort();
        ended(reason);
        return;
    }
    disconnect(m_pSocket, nullptr, this, nullptr);
    connect(m_pSocket, &QTcpSocket::disconnected, this, [this, reason] { ended(reason); });
    QTimer::singleShot(m_options.iEndFlushMs, this, [this, reason] {
        m_pSocket->abort();
        ended(reason);
    });
    m_pSocket->write(encodeGroupViewFrame(GroupViewFrame::end(reason)));
    m_pSocket->disconnectFromHost();
}

// The agent exits while the view is open (its thread ends without a stop): the console is told so,
// within the end frame's time, and nothing is reported since the manager is going too.
void GroupViewSender::endAtExit()
{
    if (m_bFinishing || !m_pShell)
        return;
    m_bFinishing = true;
    m_pShell->close();
    disconnect(m_pSocket, nullptr, this, nullptr);
    qCInfo(lcGroup).noquote() << "group run" << m_runId << ": live view of" << m_memuIdx
                              << "ends:" << kAgentExits << "frames" << framesSent();
    if (m_pSocket->state() != QAbstractSocket::ConnectedState)
        return;
    m_pSocket->write(encodeGroupViewFrame(GroupViewFrame::end(kAgentExits)));
    m_pSocket->disconnectFromHost();
}

void GroupViewSender::ended(const QString& reason)
{
    if (m_bEnded)
        return;
    m_bEnded = true;
    emit sigEnded(m_runId, reason);
}
