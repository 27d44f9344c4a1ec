#include "desktopctrlserver.h"

#include "agentlogging.h"
#include "farmtrust.h"
#include "platform.h"
#include "tcplisten.h"

#include <QDebug>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr int kMaxHelloPending = 8;

QTimer* singleShotTimer(QObject* parent)
{
    auto* pTimer = new QTimer(parent);
    pTimer->setSingleShot(true);
    return pTimer;
}

} // namespace

DesktopCtrlServer::DesktopCtrlServer(const QHostAddress& consoleAddr, const QString& runId,
                                     const DesktopRunOptions& options, QObject* parent)
    : QObject(parent), m_consoleAddr(consoleAddr), m_runId(runId), m_options(options)
{
    m_pGraceTimer = singleShotTimer(this);
    connect(m_pGraceTimer, &QTimer::timeout, this, [this] { emit sigConsoleGone(m_graceWhy); });
    m_pSilenceTimer = singleShotTimer(this);
    connect(m_pSilenceTimer, &QTimer::timeout, this,
            [this] { onLost(m_pCtrlSocket, QStringLiteral("silent for %1 ms").arg(m_options.silenceMs)); });
}

DesktopCtrlServer::~DesktopCtrlServer()
{
    close();
}

bool DesktopCtrlServer::listen()
{
    m_pCtrlServer = listenOnAnyIPv4(m_options.controlPort, this, [this] { slNewRmtDsktpSocket(); });
    m_graceWhy =
        QStringLiteral("no control connection from the console within %1 ms").arg(m_options.attachGraceMs);
    m_pGraceTimer->start(m_options.attachGraceMs);
    return m_pCtrlServer != nullptr;
}

quint16 DesktopCtrlServer::port() const
{
    return m_pCtrlServer ? m_pCtrlServer->serverPort() : 0;
}

void DesktopCtrlServer::slNewRmtDsktpSocket()
{
    while (QTcpSocket* pSocket = m_pCtrlServer ? m_pCtrlServer->nextPendingConnection() : nullptr) {
        if (!admit(pSocket)) {
            pSocket->abort();
            pSocket->deleteLater();
        }
    }
}

// The run's own console only, and a bounded number of connections waiting for their hello.
bool DesktopCtrlServer::admit(QTcpSocket* pSocket)
{
    const QHostAddress peer = pSocket->peerAddress();
    if (!peer.isEqual(m_consoleAddr, QHostAddress::ConvertV4MappedToIPv4)) {
        qCWarning(lcDesktop).noquote() << "remote desktop control connection from" << peer.toString()
                                       << "refused: the run belongs to" << m_consoleAddr.toString();
        return false;
    }
    if (m_runId.isEmpty()) {
        attach(pSocket, QByteArray());
        return true;
    }
    if (m_helloPending.size() >= kMaxHelloPending) {
        qCWarning(lcDesktop)
            << "remote desktop control connection refused: too many connections without a hello";
        return false;
    }
    m_helloPending.insert(pSocket, QByteArray());
    connect(pSocket, &QTcpSocket::readyRead, this, [this, pSocket] { readHello(pSocket); });
    connect(pSocket, &QTcpSocket::disconnected, this, [this, pSocket] { dropSocket(pSocket); });
    QTimer::singleShot(kHelloMs, pSocket, [this, pSocket] {
        if (!m_helloPending.contains(pSocket))
            return;
        qCWarning(lcDesktop) << "remote desktop control connection closed: no hello within" << kHelloMs
                             << "ms";
        dropSocket(pSocket);
    });
    return true;
}

void DesktopCtrlServer::readHello(QTcpSocket* pSocket)
{
    QByteArray& buffer = m_helloPending[pSocket];
    buffer += pSocket->read(RmtDsktpMsg::kMaxMessageBytes + 1 - buffer.size());
    int end = 0;
    const JsonSplitter::Status status = JsonSplitter::scan(buffer, end);
    if (status == JsonSplitter::Incomplete && buffer.size() <= RmtDsktpMsg::kMaxMessageBytes)
        return;
    RmtDsktpMsg::Message hello;
    if (status == JsonSplitter::Complete && RmtDsktpMsg::decode(buffer.left(end), hello) &&
        hello.type == RmtDsktpMsg::eHello && hello.runId == m_runId &&
        helloTrusted(pSocket, buffer.left(end))) {
        const QByteArray rest = buffer.mid(end) + pSocket->readAll();
        m_helloPending.remove(pSocket);
        attach(pSocket, rest);
        return;
    }
    qCWarning(lcDesktop).noquote() << "remote desktop control connection refused: its first message names"
                                   << (hello.type == RmtDsktpMsg::eHello
                                           ? QStringLiteral("run ") + hello.runId
                                           : QStringLiteral("no run"))
                                   << "but this run is" << m_runId;
    dropSocket(pSocket);
}

// After a signed begin, only a hello signed for that very begin attaches; after a plain begin (accepted
// from a console that knows no farm key) a plain hello does too.
bool DesktopCtrlServer::helloTrusted(QTcpSocket* pSocket, const QByteArray& bytes)
{
    const QByteArray binding = FarmTrust::runBinding(m_runId);
    const MsgAuth::eVerdict verdict =
        FarmTrust::check(m_helloVerifier, QJsonDocument::fromJson(bytes).object(), binding);
    if (verdict == MsgAuth::eVerdict::Ok || (binding.isEmpty() && MsgAuth::isAccepted(verdict)))
        return true;
    qCWarning(lcDesktop).noquote() << "remote desktop control connection from"
                                   << pSocket->peerAddress().toString()
                                   << "refused:" << MsgAuth::verdictText(verdict);
    return false;
}

void DesktopCtrlServer::attach(QTcpSocket* pSocket, const QByteArray& rest)
{
    // One console connection at a time: a reconnect replaces the earlier one.
    if (m_pCtrlSocket && m_pCtrlSocket != pSocket)
        dropSocket(m_pCtrlSocket);
    disconnect(pSocket, nullptr, this, nullptr);
    m_pCtrlSocket = pSocket;
    m_splitter.clear();
    m_pGraceTimer->stop();
    qCInfo(lcDesktop).noquote() << "remote desktop control connection from"
                                << pSocket->peerAddress().toString()
                                << (m_runId.isEmpty() ? QStringLiteral("(a run without id)")
                                                      : QStringLiteral("for run ") + m_runId);
    if (!connect(pSocket, &QTcpSocket::readyRead, this, &DesktopCtrlServer::slRcvMsg))
        qCWarning(lcDesktop) << "connect QTcpSocket::readyRead DesktopVideoSender::slRcvMsg err";
    connect(pSocket, &QTcpSocket::disconnected, this,
            [this, pSocket] { onLost(pSocket, QStringLiteral("closed by the console")); });
    if (!m_runId.isEmpty())
        m_pSilenceTimer->start(m_options.silenceMs);
    emit sigAttached();
    if (!rest.isEmpty()) {
        m_splitter.append(rest);
        slRcvMsg();
    }
}

void DesktopCtrlServer::onLost(QTcpSocket* pSocket, const QString& why)
{
    if (!pSocket || pSocket != m_pCtrlSocket)
        return;
    dropSocket(pSocket);
    m_pSilenceTimer->stop();
    qCWarning(lcDesktop).noquote() << "remote desktop control connection lost:" << why
                                   << "- the run ends unless it is back within" << m_options.lostGraceMs
                                   << "ms";
    m_graceWhy = QStringLiteral("the console's control connection was lost (%1) and not back within %2 ms")
                     .arg(why)
                     .arg(m_options.lostGraceMs);
    m_pGraceTimer->start(m_options.lostGraceMs);
}

void DesktopCtrlServer::dropSocket(QTcpSocket* pSocket)
{
    m_helloPending.remove(pSocket);
    disconnect(pSocket, nullptr, this, nullptr);
    pSocket->abort();
    pSocket->deleteLater();
    if (pSocket == m_pCtrlSocket)
        m_pCtrlSocket = nullptr;
}

void DesktopCtrlServer::slRcvMsg()
{
    if (!m_pCtrlSocket)
        return;
    if (!m_runId.isEmpty())
        m_pSilenceTimer->start(m_options.silenceMs);
    // Messages carry no length: the splitter finds each whole object, however the reads cut them.
    m_splitter.append(m_pCtrlSocket->readAll());
    QByteArray doc;
    for (;;) {
        const JsonSplitter::Status status = m_splitter.next(doc);
        if (status == JsonSplitter::Incomplete)
            return;
        if (status == JsonSplitter::Invalid)
            resync();
        else
            handle(doc);
    }
}

void DesktopCtrlServer::handle(const QByteArray& doc)
{
    RmtDsktpMsg::Message msg;
    if (!RmtDsktpMsg::decode(doc, msg) || msg.type == RmtDsktpMsg::eHello ||
        msg.type == RmtDsktpMsg::eHeartbeat)
        return;
    emit sigMsgReplayed(msg.type, msg.int1, msg.int2, replayMessage(msg.type, msg.int1, msg.int2));
}

void DesktopCtrlServer::resync()
{
    // Bytes that are no message are dropped up to the next object.
    QByteArray rest = m_splitter.takeBuffered();
    const int next = rest.indexOf('{', 1);
    qCWarning(lcDesktop) << "remote desktop control: bytes that are no message dropped:"
                         << rest.left(next < 0 ? 64 : next);
    if (next >= 0)
        m_splitter.append(rest.mid(next));
}

void DesktopCtrlServer::tell(int reason, const QString& text)
{
    if (m_pCtrlSocket && m_pCtrlSocket->state() == QAbstractSocket::ConnectedState) {
        disconnect(m_pCtrlSocket, nullptr, this, nullptr);
        m_pCtrlSocket->write(RmtDsktpMsg::runEndedMessage(reason, text));
        m_pCtrlSocket->waitForBytesWritten(kNoticeWaitMs);
        // A console that names its run closes when told; closing first could reset the connection
        // before the notice is read (what it sent meanwhile is unread here).
        if (!m_runId.isEmpty())
            m_pCtrlSocket->waitForDisconnected(kNoticeWaitMs);
    }
    close();
}

void DesktopCtrlServer::close()
{
    m_pGraceTimer->stop();
    m_pSilenceTimer->stop();
    for (QTcpSocket* pSocket : m_helloPending.keys())
        dropSocket(pSocket);
    if (m_pCtrlSocket)
        dropSocket(m_pCtrlSocket);
    if (m_pCtrlServer) {
        m_pCtrlServer->close();
        delete m_pCtrlServer;
        m_pCtrlServer = nullptr;
    }
}

bool DesktopCtrlServer::replayMessage(int iType, int int1, int int2)
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
