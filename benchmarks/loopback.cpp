#include "loopback.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <atomic>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double processCpuMs()
{
#ifdef Q_OS_UNIX
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
#else
    return -1;
#endif
}

namespace {

// Receives on a thread of its own into one reused buffer, and drops the bytes or writes them to a
// file.
class Sink : public QObject
{
public:
    explicit Sink(const SinkOptions& options) : m_options(options) {}
    void start()
    {
        m_buffer.fill('\0', kBlock); // resident before any clock starts
        m_pServer = new QTcpServer(this);
        m_pServer->listen(QHostAddress::LocalHost, 0);
        port = m_pServer->serverPort();
        connect(m_pServer, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* s = m_pServer->nextPendingConnection();
            s->setReadBufferSize(m_options.readBufferSize);
            if (!m_options.filePath.isEmpty()) {
                m_file.setFileName(m_options.filePath);
                m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
            }
            connect(s, &QTcpSocket::readyRead, this, [this, s] { drain(s); });
            connect(s, &QTcpSocket::disconnected, this, [this, s] {
                drain(s);
                m_file.close();
                ended = true;
                s->deleteLater();
            });
        });
    }
    std::atomic<quint16> port{0};
    std::atomic<qint64> received{0};
    std::atomic<bool> ended{false};

private:
    void drain(QTcpSocket* s)
    {
        qint64 n;
        while ((n = s->read(m_buffer.data(), m_buffer.size())) > 0) {
            if (m_file.isOpen())
                m_file.write(m_buffer.constData(), n);
            received += n;
        }
    }
    SinkOptions m_options;
    QFile m_file;
    QByteArray m_buffer;
    QTcpServer* m_pServer = nullptr;
};

// True once at most `maxPending` bytes wait in the socket's buffer (bounded to 30 s).
bool waitWritten(QTcpSocket& s, qint64 maxPending)
{
    QDeadlineTimer deadline(30000);
    while (s.bytesToWrite() > maxPending && !deadline.hasExpired())
        s.waitForBytesWritten(int(deadline.remainingTime()));
    return s.bytesToWrite() <= maxPending;
}

bool endConnection(QTcpSocket& s)
{
    const bool written = waitWritten(s, 0);
    s.disconnectFromHost();
    if (s.state() != QAbstractSocket::UnconnectedState)
        s.waitForDisconnected(5000);
    return written;
}

} // namespace

Timing timedWithSink(const std::function<void(quint16 port)>& send, qint64 size, const SinkOptions& options)
{
    QThread thread;
    Sink sink(options);
    sink.moveToThread(&thread);
    thread.start();
    QMetaObject::invokeMethod(
        &sink, [&sink] { sink.start(); }, Qt::BlockingQueuedConnection);
    if (options.atStart)
        options.atStart();
    Timing t;
    const double cpu0 = processCpuMs();
    QElapsedTimer clock;
    clock.start();
    send(sink.port.load());
    while (!(sink.ended && sink.received >= size) && clock.elapsed() < 120000)
        QThread::usleep(200);
    const double secs = clock.nsecsElapsed() / 1e9;
    t.cpuMs = processCpuMs() - cpu0;
    QMetaObject::invokeMethod(
        &sink, [&sink] { sink.moveToThread(QCoreApplication::instance()->thread()); },
        Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    if (sink.received >= size)
        t.secs = secs;
    return t;
}

bool rawSendBuffered(quint16 port, qint64 size, const QByteArray& head)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return false;
    s.write(head);
    const QByteArray chunk(64 * 1024, 'Z');
    for (qint64 sent = 0; sent < size; sent += chunk.size()) {
        s.write(chunk.constData(), qMin<qint64>(chunk.size(), size - sent));
        if (!waitWritten(s, 4 * chunk.size()))
            return false;
    }
    return endConnection(s);
}

bool rawSendUnbuffered(quint16 port, qint64 size)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port, QIODevice::ReadWrite | QIODevice::Unbuffered);
    if (!s.waitForConnected(5000))
        return false;
    const QByteArray block(kBlock, 'Z');
    for (qint64 sent = 0; sent < size; sent += block.size()) {
        s.write(block.constData(), qMin<qint64>(block.size(), size - sent));
        if (!waitWritten(s, 0))
            return false;
    }
    return endConnection(s);
}
