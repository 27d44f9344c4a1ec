#include "udpsenderobj.h"

#include "agentregistry.h"
#include "discoverytargets.h"
#include "farmtrust.h"
#include "jsoncodec.h"
#include "loginret.h"
#include "platform.h"
#include "thumbnail.h"

#include <QDebug>
#include <QMetaMethod>
#include <QThread>
#include <QTimer>

namespace {
constexpr int kFlushAtReports = 4096; // a batch this large goes out without waiting for the timer
constexpr int kLoggedDrops = 20;      // the first drops are logged one by one, then every 1000th
constexpr int kInboxQuitWaitMs = 5000;
} // namespace

UdpSenderObj::UdpSenderObj(std::shared_ptr<AgentRegistry> registry, const Options& options, QObject* parent)
    : QObject(parent), m_pRegistry(std::move(registry)), m_options(options)
{
    ConsoleTypes::registerMetaTypes();
}

UdpSenderObj::~UdpSenderObj()
{
    if (!m_pInboxThread)
        return;
    m_pInboxThread->quit();
    if (!m_pInboxThread->wait(kInboxQuitWaitMs))
        qWarning("the discovery socket's thread did not end within %d ms", kInboxQuitWaitMs);
    m_pInbox.storeRelease(nullptr);
}

void UdpSenderObj::slInitSocket()
{
    if (m_pInbox.loadAcquire())
        return;
    openInbox();
    // Checking a round of 25,000 replies is bulk work: the socket's reader and the window go first
    // (the reader's thread, made above, keeps the priority it was made with).
    if (!platform::setCurrentThreadBackground())
        qInfo("discovery: the worker's thread keeps its priority (the system refused to lower it)");
    if (!connect(this, &UdpSenderObj::sigQueryPic, this, &UdpSenderObj::slBroadcastPicture,
                 Qt::QueuedConnection))
        qWarning("connect UdpSenderObj::sigQueryPic UdpSenderObj::slBroadcastPicture err");
    if (!connect(this, &UdpSenderObj::sigQuerySimuInfo, this, &UdpSenderObj::slBroadCastName,
                 Qt::QueuedConnection))
        qWarning("connect UdpSenderObj::sigQuerySimuInfo UdpSenderObj::slBroadcastName err");
    m_pFlushTimer = new QTimer(this);
    m_pFlushTimer->setSingleShot(true);
    m_pFlushTimer->setInterval(m_options.batchMs);
    m_pRefreshTimer = new QTimer(this);
    m_pRefreshTimer->setSingleShot(true);
    m_pRefreshTimer->setInterval(m_options.refreshIntervalMs);
    if (!connect(m_pRefreshTimer, &QTimer::timeout, this, &UdpSenderObj::slRefreshIntervalOver))
        qWarning("connect QTimer::timeout UdpSenderObj::slRefreshIntervalOver err");
    if (!connect(m_pFlushTimer, &QTimer::timeout, this, &UdpSenderObj::slFlushReports))
        qWarning("connect QTimer::timeout UdpSenderObj::slFlushReports err");
    m_pLoopTimer = new QTimer(this);
    m_pLoopTimer->setInterval(m_options.tickMs);
    if (!connect(m_pLoopTimer, &QTimer::timeout, this, &UdpSenderObj::slLoop))
        qWarning("connect QTimer::timeout UdpSenderObj::slLoop err");
    m_pLoopTimer->start();
    emit sigBeginLoop();
    qInfo().noquote() << "discovery: queries to port" << m_options.queryPort << "from port" << localPort();
}

// The socket is bound on its own thread before the first query, so the port is known on return.
void UdpSenderObj::openInbox()
{
    DiscoveryInbox::Options options;
    options.receiveBufferBytes = m_options.receiveBufferBytes;
    options.backlogBytes = m_options.backlogBytes;
    auto* inbox = new DiscoveryInbox(options);
    m_pInboxThread = new QThread(this);
    m_pInboxThread->setObjectName(QStringLiteral("discovery socket"));
    inbox->moveToThread(m_pInboxThread);
    connect(m_pInboxThread, &QThread::finished, inbox, &QObject::deleteLater);
    if (!connect(inbox, &DiscoveryInbox::sigDatagrams, this, &UdpSenderObj::slRcvBroadcast))
        qWarning("connect DiscoveryInbox::sigDatagrams UdpSenderObj::slRcvBroadcast err");
    m_pInboxThread->start();
    QMetaObject::invokeMethod(inbox, &DiscoveryInbox::slOpen, Qt::BlockingQueuedConnection); // logs a failure
    m_localPort.storeRelease(inbox->localPort());
    m_rcvBuf.storeRelease(inbox->receiveBufferBytes());
    m_pInbox.storeRelease(inbox);
}

qint64 UdpSenderObj::inboxCount(qint64 (DiscoveryInbox::*count)() const) const
{
    const DiscoveryInbox* inbox = m_pInbox.loadAcquire();
    return inbox ? (inbox->*count)() : 0;
}

void UdpSenderObj::slLoop()
{
    const int tick = m_tick.fetchAndAddOrdered(1) + 1;
    if (tick % 2 == 1)
        slBroadcastPicture();
    else
        slBroadCastName();
}

void UdpSenderObj::slBroadcastPicture()
{
    sendQuery(Discovery::eQuerySimuState);
}

void UdpSenderObj::slBroadCastName()
{
    sendQuery(Discovery::eQueryPcInfo);
}

// Requests that come in bursts (unreadable result reports, each asking for fresh states) are served
// at most once per refresh interval: the first at once, the others by one query at its end.
void UdpSenderObj::slRefreshStates()
{
    if (!m_pRefreshTimer || m_pRefreshTimer->isActive()) {
        m_bRefreshPending = m_pRefreshTimer != nullptr;
        return;
    }
    slBroadcastPicture();
    m_pRefreshTimer->start();
}

void UdpSenderObj::slRefreshIntervalOver()
{
    if (!m_bRefreshPending)
        return;
    m_bRefreshPending = false;
    slRefreshStates();
}

void UdpSenderObj::slBroadCast()
{
    emit sigQueryPic();
    emit sigQuerySimuInfo();
}

void UdpSenderObj::sendQuery(int type)
{
    DiscoveryInbox* inbox = m_pInbox.loadAcquire();
    if (!inbox)
        return;
    const QString user = m_options.userName ? m_options.userName() : LoginRecord::userName();
    // One signature for all targets: an agent reached on several paths answers the first copy.
    const QByteArray query = FarmTrust::query(type, user);
    const QList<QHostAddress> targets =
        m_options.targets.isEmpty() ? DiscoveryTargets::current() : m_options.targets;
    const quint16 port = m_options.queryPort;
    QMetaObject::invokeMethod(inbox, [inbox, query, targets, port] { inbox->slSend(query, targets, port); });
}

void UdpSenderObj::slRcvBroadcast(const struDatagramBatch& batch)
{
    m_iQuery = batch.iQuery;
    for (int i = 0; i < batch.datagrams.size(); ++i)
        handleDatagram(batch.datagrams.at(i), QHostAddress(batch.sources.at(i)));
    if (DiscoveryInbox* inbox = m_pInbox.loadAcquire())
        inbox->release(batch.bytes);
    if (m_pending.size() >= kFlushAtReports)
        slFlushReports();
    else if (!m_pending.isEmpty() && !m_pFlushTimer->isActive())
        m_pFlushTimer->start();
}

void UdpSenderObj::handleDatagram(const QByteArray& datagram, const QHostAddress& from)
{
    // Only agents of this account are heard: a faked PC never appears, a real one's list is not replaced.
    const MsgAuth::eVerdict verdict = FarmTrust::checkDatagram(m_verifier, datagram, nullptr);
    if (!MsgAuth::isAccepted(verdict))
        return drop(from, datagram.size(), qPrintable(MsgAuth::verdictText(verdict)));
    // The reply without its signature, read in place (the datagram outlives every use of it here).
    const int bodySize = datagram.size() - (verdict == MsgAuth::eVerdict::Ok ? MsgAuth::kTrailerBytes : 0);
    const QByteArray bytes = QByteArray::fromRawData(datagram.constData(), bodySize);
    Discovery::struDecodedReply reply;
    switch (Discovery::decodeReply(bytes, reply)) {
    case Discovery::eDecodeStatus::TooShort:
        return drop(from, bytes.size(), "shorter than the 288-byte header");
    case Discovery::eDecodeStatus::BadLength:
        return drop(from, bytes.size(), "length field does not match its payload");
    case Discovery::eDecodeStatus::UnknownKind:
        return drop(from, bytes.size(), "unknown reply kind");
    case Discovery::eDecodeStatus::Ok:
        break;
    }
    // Only what the PC's own address says about it is taken: a faster answer from elsewhere must not
    // replace its emulators or states, nor use up the PC's one reply of this query.
    const QHostAddress source(from.toIPv4Address());
    if (m_pRegistry->admits(reply.header.pcNameText(), source) == AgentRegistry::eAdmit::Pinned)
        return drop(from, bytes.size(), "the PC is heard at another address");
    if (reply.header.kind == Discovery::eReplyPcInfo) {
        if (isRepeat(reply.header.pcNameText(), QString(), 0))
            return;
        struPcInfoReply out;
        out.header = reply.header;
        out.simus = reply.simus;
        out.from = source;
        emit sigNewSimusArrived(out);
        return;
    }
    handleSimuState(reply);
}

void UdpSenderObj::handleSimuState(const Discovery::struDecodedReply& reply)
{
    struSimuReport report;
    report.pcName = reply.header.pcNameText();
    report.memuIdx = reply.header.memuIdxText();
    report.iState = reply.header.state();
    report.iTime = reply.header.stateTime();
    report.iDaemonModel = reply.header.iDaemonModel;
    if (isRepeat(report.pcName, report.memuIdx, report.iTime))
        return;
    int shown = 0;
    const bool listed =
        m_pRegistry->stateAfter(report.pcName, report.memuIdx, report.iState, report.iTime, shown);
    // The picture is checked where it is decoded (a tile in sight, through the thumbnail size check):
    // here it is bytes of one datagram, and most pictures of a large LAN are never decoded at all.
    if (listed && (shown == eStateRunning || shown == eStateInstalling))
        report.jpeg = reply.jpeg;
    m_pending.append(report);

    static const QMetaMethod stateSignal =
        QMetaMethod::fromSignal(&UdpSenderObj::sigNewSimuStateParamArrived);
    static const QMetaMethod imageSignal = QMetaMethod::fromSignal(&UdpSenderObj::sigNewSimuImgArrived);
    if (isConnected(stateSignal))
        emit sigNewSimuStateParamArrived(JsonCodec::serializeSimuState(
            report.pcName, report.memuIdx, report.iState, report.iTime, report.iDaemonModel));
    if (!report.jpeg.isEmpty() && isConnected(imageSignal)) {
        auto* image = new QImage;
        if (Thumbnail::decodeJpeg(report.jpeg, *image))
            emit sigNewSimuImgArrived(report.pcName, report.memuIdx, image);
        else
            delete image;
    }
}

bool UdpSenderObj::isRepeat(const QString& pcName, const QString& memuIdx, int iTime)
{
    struSeen& seen = m_seen[qMakePair(pcName, memuIdx)];
    if (seen.iQuery == m_iQuery && seen.iTime == iTime) {
        m_repeated.fetchAndAddRelaxed(1);
        return true;
    }
    seen.iQuery = m_iQuery;
    seen.iTime = iTime;
    return false;
}

bool UdpSenderObj::isConnected(const QMetaMethod& signal) const
{
    return QObject::isSignalConnected(signal);
}

void UdpSenderObj::slFlushReports()
{
    m_pFlushTimer->stop();
    if (m_pending.isEmpty())
        return;
    SimuReportList out;
    out.swap(m_pending);
    emit sigSimuReportsArrived(out);
}

void UdpSenderObj::drop(const QHostAddress& from, int size, const char* why)
{
    const qint64 n = m_dropped.fetchAndAddRelaxed(1) + 1;
    if (n <= kLoggedDrops || n % 1000 == 0)
        qWarning().noquote() << "discovery reply dropped (" << n << "so far ):" << size << "bytes from"
                             << QHostAddress(from.toIPv4Address()).toString() << "-" << why;
}
