#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSharedPointer>

#include <atomic>

class LatestFrame;
class QTcpServer;
class QTcpSocket;
class QTimer;
class GroupViewFrameReader;

// The live view of a group run's lead, on a thread of its own: a TCP server on an ephemeral port that
// takes a stream only from the lead PC's current address and only when its first frame is a hello
// with the run's id; anything else is closed. Of the frames that have arrived only the newest JPEG is
// decoded; the picture goes to a latest-frame buffer (its capture time in the picture's text
// "captureMs"), so a slow painter never queues stale pictures. One stream at a time: a newer one from
// the lead replaces it.
class GroupViewReceiver : public QObject
{
    Q_OBJECT
public:
    static constexpr int kHelloWaitMs = 3000;
    static constexpr int kMaxPending = 4; // connections still owing their hello
    static constexpr int kMaxSide = 4096; // pictures larger than this are not decoded
    static constexpr qint64 kReadChunk = 256 * 1024;

    GroupViewReceiver(const QString& runId, QSharedPointer<LatestFrame> frames, QObject* parent = nullptr);
    ~GroupViewReceiver() override;

    // Any thread: frames decoded, frames that arrived but were passed over for a newer one.
    quint64 decodedCount() const { return m_decoded.load(); }
    quint64 skippedCount() const { return m_skipped.load(); }

signals:
    void sigListening(int iPort); // 0: no port could be had
    void sigFrameReady();
    void sigStreamBegun();
    // The lead's agent ended the stream (the end frame's reason), or the stream broke (empty).
    void sigStreamEnded(QString strReason);

public slots:
    void slListen();
    // The lead's addresses now (where commands go and where its replies come from); a stream from
    // elsewhere is closed.
    void slSetLeadAddresses(QList<QHostAddress> addresses);
    void slStop();

private:
    struct Peer
    {
        QTcpSocket* pSocket = nullptr;
        GroupViewFrameReader* pReader = nullptr;
        bool bHello = false;
    };
    void accept();
    void readPeer(QTcpSocket* pSocket);
    void drop(QTcpSocket* pSocket);
    bool fromLead(const QHostAddress& addr) const;
    void decode(const QByteArray& jpeg, quint64 captureMs);
    Peer* peerOf(QTcpSocket* pSocket);

    QString m_runId;
    QSharedPointer<LatestFrame> m_pFrames;
    QTcpServer* m_pServer = nullptr;
    QList<QHostAddress> m_lead;
    QList<Peer> m_peers;
    QTcpSocket* m_pStream = nullptr; // the accepted stream
    std::atomic<quint64> m_decoded{0};
    std::atomic<quint64> m_skipped{0};
};
