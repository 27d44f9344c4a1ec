#include "desktopvideosender.h"

#include "jsoncodec.h"
#include "platform.h"
#include "rmtdsktpmsg.h"
#include "tcplisten.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr int kGrabberStartMs = 30000;
constexpr int kGrabberEndMs = 100;

// Grabbers started by this process and not yet ended, for the kill at shutdown.
QMutex g_grabbersMutex;
QSet<qint64> g_grabbers;

void trackGrabber(qint64 pid, bool running)
{
    QMutexLocker lock(&g_grabbersMutex);
    if (running)
        g_grabbers.insert(pid);
    else
        g_grabbers.remove(pid);
}

QString quotedCommandLine(const QString& program, const QStringList& args)
{
    return QStringLiteral("\"%1\" %2").arg(QDir::toNativeSeparators(program), args.join(QLatin1Char(' ')));
}

} // namespace

DesktopVideoSender::DesktopVideoSender(const QHostAddress& consoleAddr, quint16 controlPort,
                                       const QString& grabberPath, QObject* parent)
    : QObject(parent), m_consoleAddr(consoleAddr), m_controlPort(controlPort),
      m_grabberPath(grabberPath.isEmpty() ? defaultGrabberPath() : grabberPath)
{
    if (!connect(this, &DesktopVideoSender::sigCloseStream, this, &DesktopVideoSender::slCloseStream,
                 Qt::QueuedConnection))
        qWarning() << "connect DesktopVideoSender::sigCloseStream DesktopVideoSender::slCloseStream err";
}

DesktopVideoSender::~DesktopVideoSender()
{
    stopGrabber();
    delete m_pCtrlSocket;
    delete m_pCtrlServer;
}

QString DesktopVideoSender::defaultGrabberPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/ToviaMpeg.exe");
}

QStringList DesktopVideoSender::grabberArguments(const QString& strUrl)
{
    // B-frames would hold every picture back until the next reference frame arrives; each picture
    // leaves at once instead of waiting in the output buffer for the next one.
    return {QStringLiteral("-hide_banner"),
            QStringLiteral("-nostats"),
            QStringLiteral("-loglevel"),
            QStringLiteral("warning"),
            QStringLiteral("-probesize"),
            QStringLiteral("32"),
            QStringLiteral("-f"),
            QStringLiteral("gdigrab"),
            QStringLiteral("-framerate"),
            QString::number(kFrameRate),
            QStringLiteral("-i"),
            QStringLiteral("desktop"),
            QStringLiteral("-vcodec"),
            QStringLiteral("mpeg2video"),
            QStringLiteral("-b:v"),
            QString::fromLatin1(kBitRate),
            QStringLiteral("-g"),
            QString::number(kKeyFrameInterval),
            QStringLiteral("-bf"),
            QStringLiteral("0"),
            QStringLiteral("-flush_packets"),
            QStringLiteral("1"),
            QStringLiteral("-f"),
            QStringLiteral("mpeg2video"),
            strUrl};
}

void DesktopVideoSender::killGrabbers()
{
    QSet<qint64> pids;
    {
        QMutexLocker lock(&g_grabbersMutex);
        pids.swap(g_grabbers);
    }
    for (qint64 pid : pids) {
        qWarning() << "killing the grabber left running, pid" << pid;
        platform::killProcessTree(pid);
    }
#ifdef Q_OS_WIN
    platform::killByImageName("ToviaMpeg.exe");
#endif
}

bool DesktopVideoSender::replayMessage(int iType, int int1, int int2)
{
    using namespace RmtDsktpMsg;
    switch (iType) {
    case eMouseMove:
        return platform::setCursorPos(int1, int2);
    case eLeftDown:
        return platform::setCursorPos(int1, int2) &&
               platform::mouseButton(platform::MouseButtonAction::LeftDown);
    case eLeftUp:
        return platform::setCursorPos(int1, int2) &&
               platform::mouseButton(platform::MouseButtonAction::LeftUp);
    case eRightDown:
        return platform::mouseButton(platform::MouseButtonAction::RightDown);
    case eRightUp:
        return platform::mouseButton(platform::MouseButtonAction::RightUp);
    case eKeyDown:
    case eKeyUp:
        return platform::keyEvent(int1, iType == eKeyDown);
    case eWheel:
        return int1 != 0 && platform::mouseWheel(int1);
    default:
        return false;
    }
}

bool DesktopVideoSender::closeStreamAndWait(int timeoutMs)
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
    emit sigCloseStream();
    if (!closed)
        loop.exec();
    if (!closed)
        qWarning() << "remote desktop sender did not close within" << timeoutMs << "ms";
    return closed;
}

void DesktopVideoSender::slSendVideoStream(QString strUrl)
{
    // The control server first: it is ready before the console's first picture arrives.
    listenForControl();
    startGrabber(strUrl);
}

void DesktopVideoSender::startGrabber(const QString& strUrl)
{
    stopGrabber();
    m_pFfmpeg = new QProcess;
    m_pFfmpeg->setProcessChannelMode(QProcess::MergedChannels);
    m_pFfmpeg->setProgram(QDir::toNativeSeparators(m_grabberPath));
    m_pFfmpeg->setArguments(grabberArguments(strUrl));
    connect(m_pFfmpeg, &QProcess::readyReadStandardOutput, this, &DesktopVideoSender::logGrabberOutput);
    qWarning().noquote() << "start ffmpeg cmd:" << quotedCommandLine(m_grabberPath, m_pFfmpeg->arguments());
    m_pFfmpeg->start(QIODevice::ReadWrite);
    if (!m_pFfmpeg->waitForStarted(kGrabberStartMs)) {
        qWarning().noquote() << "the grabber did not start:" << m_pFfmpeg->errorString();
        emit sigGrabberStarted(0);
        return;
    }
    const qint64 pid = m_pFfmpeg->processId();
    trackGrabber(pid, true);
    // A grabber that ended by itself is no longer ours to kill: its pid may be reused.
    connect(m_pFfmpeg, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [pid](int code, QProcess::ExitStatus status) {
                trackGrabber(pid, false);
                qWarning() << "grabber ended, exit code" << code << "status" << status;
            });
    emit sigGrabberStarted(pid);
}

void DesktopVideoSender::logGrabberOutput()
{
    auto* pProcess = qobject_cast<QProcess*>(sender());
    while (pProcess && pProcess->canReadLine())
        qWarning().noquote() << "ToviaMpeg:" << QString::fromLocal8Bit(pProcess->readLine()).trimmed();
    // A line longer than the buffer would otherwise pile up.
    if (pProcess && pProcess->bytesAvailable() > 4096)
        qWarning().noquote() << "ToviaMpeg:" << QString::fromLocal8Bit(pProcess->readAll()).trimmed();
}

void DesktopVideoSender::listenForControl()
{
    if (m_pCtrlServer)
        return;
    m_pCtrlServer = listenOnAnyIPv4(m_controlPort, this, [this] { slNewRmtDsktpSocket(); });
    emit sigControlListening(m_pCtrlServer ? m_pCtrlServer->serverPort() : 0);
}

void DesktopVideoSender::slNewRmtDsktpSocket()
{
    while (QTcpSocket* pSocket = m_pCtrlServer->nextPendingConnection()) {
        const QHostAddress peer = pSocket->peerAddress();
        if (!peer.isEqual(m_consoleAddr, QHostAddress::ConvertV4MappedToIPv4)) {
            qWarning().noquote() << "remote desktop control connection from" << peer.toString()
                                 << "refused: the run belongs to" << m_consoleAddr.toString();
            pSocket->abort();
            pSocket->deleteLater();
            continue;
        }
        // One console connection at a time: a reconnect replaces the earlier one.
        if (m_pCtrlSocket)
            dropControlSocket(m_pCtrlSocket);
        m_pCtrlSocket = pSocket;
        m_splitter.clear();
        qWarning().noquote() << "remote desktop control connection from" << peer.toString();
        if (!connect(pSocket, &QTcpSocket::readyRead, this, &DesktopVideoSender::slRcvMsg))
            qWarning() << "connect QTcpSocket::readyRead DesktopVideoSender::slRcvMsg err";
        connect(pSocket, &QTcpSocket::disconnected, this, [this, pSocket] {
            if (pSocket == m_pCtrlSocket)
                dropControlSocket(pSocket);
        });
    }
}

void DesktopVideoSender::dropControlSocket(QTcpSocket* pSocket)
{
    disconnect(pSocket, nullptr, this, nullptr);
    pSocket->abort();
    pSocket->deleteLater();
    if (pSocket == m_pCtrlSocket)
        m_pCtrlSocket = nullptr;
}

void DesktopVideoSender::slRcvMsg()
{
    if (!m_pCtrlSocket)
        return;
    // Messages carry no length: the splitter finds each whole object, however the reads cut them.
    m_splitter.append(m_pCtrlSocket->readAll());
    QByteArray doc;
    for (;;) {
        const JsonSplitter::Status status = m_splitter.next(doc);
        if (status == JsonSplitter::Incomplete)
            return;
        if (status == JsonSplitter::Invalid) {
            resync();
            continue;
        }
        int type = 0;
        int int1 = 0;
        int int2 = 0;
        if (JsonCodec::parseTypeIntMsg(QString::fromUtf8(doc), type, int1, int2).iRet != 0)
            continue;
        emit sigMsgReplayed(type, int1, int2, replayMessage(type, int1, int2));
    }
}

void DesktopVideoSender::resync()
{
    // Bytes that are no message are dropped up to the next object.
    QByteArray rest = m_splitter.takeBuffered();
    const int next = rest.indexOf('{', 1);
    qWarning() << "remote desktop control: bytes that are no message dropped:"
               << rest.left(next < 0 ? 64 : next);
    if (next >= 0)
        m_splitter.append(rest.mid(next));
}

void DesktopVideoSender::stopGrabber()
{
    if (!m_pFfmpeg)
        return;
    const qint64 pid = m_pFfmpeg->processId();
    disconnect(m_pFfmpeg, nullptr, this, nullptr);
    m_pFfmpeg->waitForFinished(kGrabberEndMs);
    m_pFfmpeg->close();
    delete m_pFfmpeg;
    m_pFfmpeg = nullptr;
    if (pid > 0)
        trackGrabber(pid, false);
}

void DesktopVideoSender::slCloseStream()
{
    stopGrabber();
    if (m_pCtrlSocket)
        dropControlSocket(m_pCtrlSocket);
    if (m_pCtrlServer) {
        m_pCtrlServer->close();
        delete m_pCtrlServer;
        m_pCtrlServer = nullptr;
    }
    qWarning() << "remote desktop run closed";
    emit sigStreamClosed();
}
