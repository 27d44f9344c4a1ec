#include "discoveryinbox.h"

#include "platform.h"

#include <QDebug>
#include <QUdpSocket>

#ifdef Q_OS_LINUX
#include <sys/socket.h>
#endif

namespace {
constexpr int kMaxDatagramBytes = 65536;
constexpr int kSlots = 64;          // datagrams read in one call
constexpr int kLoggedOverflows = 5; // the first overflows are logged one by one, then every 1000th
} // namespace

DiscoveryInbox::DiscoveryInbox(const Options& options, QObject* parent) : QObject(parent), m_options(options)
{
    static const int once = qRegisterMetaType<struDatagramBatch>("struDatagramBatch");
    Q_UNUSED(once);
}

bool DiscoveryInbox::slOpen()
{
    if (m_pSocket)
        return m_localPort.loadAcquire() != 0;
    m_pSocket = new QUdpSocket(this);
    // Bound at once (rather than by the first send) so the receive buffer is in place before the
    // first burst of replies.
    if (!m_pSocket->bind(QHostAddress::AnyIPv4, 0)) {
        qWarning().noquote() << "discovery socket bind err:" << m_pSocket->errorString();
        return false;
    }
    m_localPort.storeRelease(m_pSocket->localPort());
    raiseReceiveBuffer();
    if (!connect(m_pSocket, &QUdpSocket::readyRead, this, &DiscoveryInbox::slReadPending))
        qWarning("connect QUdpSocket::readyRead DiscoveryInbox::slReadPending err");
    return true;
}

// The default buffer of a UDP socket holds only a few dozen thumbnails. With the privilege to, the
// limit of the system is passed over.
void DiscoveryInbox::raiseReceiveBuffer()
{
    const int wanted = m_options.receiveBufferBytes;
#ifdef Q_OS_LINUX
    const int fd = int(m_pSocket->socketDescriptor());
    if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof(wanted)) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof(wanted));
#else
    m_pSocket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, wanted);
#endif
    const int got = m_pSocket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
    m_rcvBuf.storeRelease(got);
    if (got < wanted)
        qInfo().noquote() << "discovery receive buffer" << got << "bytes, asked for" << wanted
                          << "(replies are read as they come; net.core.rmem_max bounds it)";
}

void DiscoveryInbox::slSend(const QByteArray& datagram, const QList<QHostAddress>& targets, quint16 port)
{
    if (!m_pSocket || m_localPort.loadAcquire() == 0)
        return;
    ++m_iQueries;
    for (const QHostAddress& target : targets) {
        const bool sent = m_pSocket->writeDatagram(datagram, target, port) == datagram.size();
        if (sent == !m_failedTargets.contains(target))
            continue;
        if (sent) {
            m_failedTargets.removeAll(target);
            qInfo().noquote() << "discovery query to" << target.toString() << "goes out again";
        } else {
            m_failedTargets.append(target);
            qWarning().noquote() << "discovery query to" << target.toString()
                                 << "failed:" << m_pSocket->errorString();
        }
    }
}

// Drains every pending datagram: a wake-up may find thousands waiting. They are read many per call
// into slots of the largest datagram's size and copied out at their sizes. Qt's own read is asked
// last, once the socket looks empty: it takes what came meanwhile, and only a read through the
// socket object arms its next readyRead.
void DiscoveryInbox::slReadPending()
{
    if (m_scratch.size() < kSlots * kMaxDatagramBytes)
        m_scratch.resize(kSlots * kMaxDatagramBytes);
    struDatagramBatch batch;
    const qintptr fd = m_pSocket->socketDescriptor();
    int sizes[kSlots];
    quint32 sources[kSlots];
    for (;;) {
        const int n =
            platform::readDatagrams(fd, m_scratch.data(), kMaxDatagramBytes, kSlots, sizes, sources);
        for (int i = 0; i < n; ++i)
            take(batch, m_scratch.constData() + qptrdiff(i) * kMaxDatagramBytes, sizes[i], sources[i]);
        if (n > 0)
            continue;
        QHostAddress from;
        const qint64 last = m_pSocket->readDatagram(m_scratch.data(), kMaxDatagramBytes, &from);
        if (last < 0)
            break;
        take(batch, m_scratch.constData(), int(last), from.toIPv4Address());
    }
    handOn(batch);
}

void DiscoveryInbox::take(struDatagramBatch& batch, const char* data, int size, quint32 source)
{
    if (size <= 0)
        return;
    m_received.fetchAndAddRelaxed(1);
    const qint64 behind = m_backlog.loadAcquire() + batch.bytes;
    if (behind + size > m_options.backlogBytes)
        return overflow(source, size, behind);
    batch.datagrams.append(QByteArray(data, size));
    batch.sources.append(source);
    batch.bytes += size;
    if (batch.datagrams.size() >= m_options.batchDatagrams)
        handOn(batch);
}

void DiscoveryInbox::handOn(struDatagramBatch& batch)
{
    if (batch.datagrams.isEmpty())
        return;
    batch.iQuery = m_iQueries;
    m_backlog.fetchAndAddOrdered(batch.bytes);
    emit sigDatagrams(batch);
    batch = struDatagramBatch();
}

void DiscoveryInbox::overflow(quint32 source, int size, qint64 behind)
{
    const qint64 n = m_overflow.fetchAndAddRelaxed(1) + 1;
    if (n <= kLoggedOverflows || n % 1000 == 0)
        qWarning().noquote() << "discovery reply dropped (" << n << "so far ):" << size << "bytes from"
                             << QHostAddress(source).toString() << "- the console is" << (behind >> 10)
                             << "KB of replies behind";
}
