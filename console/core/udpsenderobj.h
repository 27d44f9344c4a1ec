#pragma once

#include "consoletypes.h"
#include "discoveryinbox.h"
#include "msgauth.h"
#include "ports.h"

#include <QAtomicInteger>
#include <QHash>
#include <QHostAddress>
#include <QImage>
#include <QObject>
#include <functional>
#include <memory>

class AgentRegistry;
class QThread;
class QTimer;

// The console's discovery worker: queries the agents once a second (type 1, states and thumbnails,
// at odd ticks; type 0, PC information, at even ticks, so the first query is a type 1 at one tick)
// and decodes their replies. Lives on a thread of its own and hands everything to the GUI thread by
// queued signals. The socket itself is a DiscoveryInbox on a further thread that only sends and
// reads, so that a burst of replies is out of the kernel's buffer before it overflows while the
// replies before it are still being checked here.
//   sigNewSimusArrived      one PC information reply (every reply, at once);
//   sigSimuReportsArrived   the state reports (with thumbnails) of the last few milliseconds, in
//                           arrival order, so that a round of thousands costs the GUI a few calls.
// The per-datagram signals sigNewSimuStateParamArrived and sigNewSimuImgArrived are emitted as well,
// but only while something is connected to them (the picture is decoded only then).
//
// Each query goes to several targets (the limited broadcast, each interface's broadcast, loopback),
// so an agent may answer one query two or three times: a reply that repeats one already taken since
// the last query (same PC, and for states the same emulator and time) is passed over.
//
// A reply is used only when it decodes in full (see Discovery::decodeReply) and comes from the address
// the registry has for its PC (AgentRegistry::admits); anything else is dropped and logged. A
// thumbnail is passed on only for an emulator the registry lists and that will show as running (1) or
// installing (5) once the report is applied. It is at most one datagram of bytes, and stays encoded:
// the tile that paints it checks its declared size before decoding (Thumbnail::decodeJpeg), so that
// no picture of gigabytes is ever decoded, and a round of thousands costs no decoder here.
class UdpSenderObj : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        quint16 queryPort = Tovia::kDiscoveryPort; // where agents listen
        int tickMs = 1000;
        int batchMs = 20;                          // how long state reports are gathered before they go out
        QList<QHostAddress> targets;               // empty: DiscoveryTargets::current() at every query
        std::function<QString()> userName;         // empty: the signed-in user of LoginRecord
        int receiveBufferBytes = 64 * 1024 * 1024; // a round of 25,000 thumbnails arrives within a second
        int refreshIntervalMs = 1000;              // slRefreshStates queries at most this often
        qint64 backlogBytes = 128 * 1024 * 1024;   // replies read and not yet checked, at most
    };

    explicit UdpSenderObj(std::shared_ptr<AgentRegistry> registry, const Options& options,
                          QObject* parent = nullptr);
    explicit UdpSenderObj(std::shared_ptr<AgentRegistry> registry, QObject* parent = nullptr)
        : UdpSenderObj(std::move(registry), Options(), parent)
    {
    }
    ~UdpSenderObj() override;

    // Readable from any thread.
    quint16 localPort() const { return m_localPort.loadAcquire(); }
    int tickCount() const { return m_tick.loadAcquire(); }
    qint64 receivedCount() const { return inboxCount(&DiscoveryInbox::receivedCount); }
    // Replies not used: malformed, refused, from the wrong address, or beyond the backlog.
    qint64 droppedCount() const
    {
        return m_dropped.loadAcquire() + inboxCount(&DiscoveryInbox::overflowCount);
    }
    qint64 repeatedCount() const { return m_repeated.loadAcquire(); }
    int receiveBufferBytes() const { return m_rcvBuf.loadAcquire(); }

signals:
    void sigNewSimusArrived(struPcInfoReply reply);
    void sigNewSimuImgArrived(QString strPcName, QString strSimuName, QImage* pImage);
    void sigNewSimuStateArrived(QString strPcName, QString strSimuName, int iState);
    void sigNewSimuStateParamArrived(QByteArray strParam);
    void sigBeginLoop();
    void sigQueryPic();
    void sigQuerySimuInfo();
    void sigSimuReportsArrived(SimuReportList reports);

public slots:
    void slInitSocket();
    void slLoop();
    void slBroadcastPicture();
    // The replies the inbox read in one go.
    void slRcvBroadcast(const struDatagramBatch& batch);
    void slBroadCastName();
    void slBroadCast();
    // Fresh states soon: a type 1 query now, or at the end of the refresh interval when one went out
    // within it (one for any number of requests).
    void slRefreshStates();

private slots:
    void slFlushReports();
    void slRefreshIntervalOver();

private:
    void openInbox();
    void sendQuery(int type);
    void handleDatagram(const QByteArray& bytes, const QHostAddress& from);
    void handleSimuState(const Discovery::struDecodedReply& reply);
    void drop(const QHostAddress& from, int size, const char* why);
    bool isConnected(const QMetaMethod& signal) const;
    // True for a reply already taken since the latest query (key: PC, or PC and emulator).
    bool isRepeat(const QString& pcName, const QString& memuIdx, int iTime);

    std::shared_ptr<AgentRegistry> m_pRegistry;
    Options m_options;
    qint64 inboxCount(qint64 (DiscoveryInbox::*count)() const) const;

    QAtomicPointer<DiscoveryInbox> m_pInbox; // set once on the worker's thread, read from any
    QThread* m_pInboxThread = nullptr;
    QTimer* m_pLoopTimer = nullptr;
    QTimer* m_pFlushTimer = nullptr;
    QTimer* m_pRefreshTimer = nullptr;
    bool m_bRefreshPending = false;
    SimuReportList m_pending;
    struct struSeen
    {
        int iQuery = -1;
        int iTime = 0;
    };
    // Latest reply taken per PC (kind 0, no emulator) and per emulator (kind 1).
    QHash<QPair<QString, QString>, struSeen> m_seen;
    int m_iQuery = 0; // queries the socket had sent when the replies in hand were read
    QAtomicInteger<quint16> m_localPort{0};
    QAtomicInt m_tick{0};
    QAtomicInteger<qint64> m_dropped{0};
    QAtomicInteger<qint64> m_repeated{0};
    QAtomicInt m_rcvBuf{0};
    MsgVerifier m_verifier{MsgAuth::eChannel::DiscoveryReply};
};
