#pragma once

#include <QAtomicInteger>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QVector>

class QUdpSocket;

// Datagrams taken from the discovery socket in one go, with the sender of each and the number of
// queries the socket had sent when they were read (so that repeats are told per query).
struct struDatagramBatch
{
    QVector<QByteArray> datagrams;
    QVector<quint32> sources; // IPv4 address of each datagram's sender
    int iQuery = 0;
    qint64 bytes = 0;
};
Q_DECLARE_METATYPE(struDatagramBatch)

// The console's discovery socket, on a thread that does nothing but send the queries and read the
// replies. A whole LAN answers a query within milliseconds, and the kernel keeps only what the
// socket's receive buffer holds (8 MB for a process without privileges: some 1,500 thumbnails of a
// round of 25,000), so the replies are taken out of it as they come and handed on in batches
// (sigDatagrams); checking and decoding them is the discovery worker's work, on its own thread.
//
// The batches handed on and not yet taken in hand are bounded (backlogBytes): beyond the bound a
// datagram is dropped, counted and logged, so a console that falls behind never grows without end.
// The worker calls release() for each batch it has taken.
class DiscoveryInbox : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        int receiveBufferBytes = 64 * 1024 * 1024;
        qint64 backlogBytes = 128 * 1024 * 1024;
        int batchDatagrams = 256; // a long drain hands on a batch this large without waiting for its end
    };

    explicit DiscoveryInbox(const Options& options, QObject* parent = nullptr);

    // Readable from any thread.
    quint16 localPort() const { return m_localPort.loadAcquire(); }
    int receiveBufferBytes() const { return m_rcvBuf.loadAcquire(); }
    qint64 receivedCount() const { return m_received.loadAcquire(); }
    qint64 overflowCount() const { return m_overflow.loadAcquire(); }
    qint64 backlogBytes() const { return m_backlog.loadAcquire(); }
    // Any thread: the worker has taken a batch of that many bytes in hand.
    void release(qint64 bytes) { m_backlog.fetchAndSubOrdered(bytes); }

signals:
    void sigDatagrams(struDatagramBatch batch);

public slots:
    // Binds to a free port and raises the receive buffer; true when bound.
    bool slOpen();
    // One datagram to each target; a target whose sends begin or stop failing is logged once.
    void slSend(const QByteArray& datagram, const QList<QHostAddress>& targets, quint16 port);

private slots:
    void slReadPending();

private:
    void raiseReceiveBuffer();
    void take(struDatagramBatch& batch, const char* data, int size, quint32 source);
    void handOn(struDatagramBatch& batch);
    void overflow(quint32 source, int size, qint64 behind);

    Options m_options;
    QUdpSocket* m_pSocket = nullptr;
    QByteArray m_scratch;
    QList<QHostAddress> m_failedTargets;
    int m_iQueries = 0;
    QAtomicInteger<quint16> m_localPort{0};
    QAtomicInt m_rcvBuf{0};
    QAtomicInteger<qint64> m_received{0};
    QAtomicInteger<qint64> m_overflow{0};
    QAtomicInteger<qint64> m_backlog{0};
};
