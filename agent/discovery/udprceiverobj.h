#pragma once

#include "discovery.h"
#include "msgauth.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>

#include <functional>

class QUdpSocket;
struct SimuInfo;

// The agent's discovery responder. Answers the console's queries on UDP 7777 for as long as the
// agent is signed in under the user name the query carries:
//   type 0: one kind 0 datagram with the PC's header and its emulator list;
//   type 1: one kind 1 datagram per emulator with its stored state and, for running ones, a
//           100 x 150 JPEG thumbnail of its latest screenshot;
//   other:  a kind 0 header without entries.
// Answers come from what the agent knows at once: the inventory as last read (InventoryCache), the
// states of SimuStateStore, the thumbnails of the screenshot pool; an answer never waits for a
// product tool or adb. A state query also tells the screenshot pool that a console looks at this
// PC. Lives on a thread of its own.
//
// One address is answered kAnswersPerSec times a second (after a first burst of kAnswerBurst): more
// than a console asks (one query a second, to two or three addresses, and its refreshes), and queries
// with a forged source cannot turn the agent into a flood of thumbnails aimed at that address.
class UdpRceiverObj : public QObject
{
    Q_OBJECT
public:
    // Port 0 binds a free port (tests); bindAddress defaults to every IPv4 address.
    explicit UdpRceiverObj(quint16 port = Discovery::kDiscoveryPort,
                           const QHostAddress& bindAddress = QHostAddress::AnyIPv4,
                           QObject* parent = nullptr);

    static constexpr int kAnswersPerSec = 4;
    static constexpr int kAnswerBurst = 16;

    // The bound port, 0 before slInitSocket or when binding failed.
    quint16 localPort() const;

    // The datagrams that answer one query of `type` from a console at peerIPv4, in sending order.
    QList<QByteArray> buildReplies(int type, const QString& peerIPv4) const;

signals:
    void sigResponsedOneCenterTool();

public slots:
    void slInitSocket();
    void dataReceived();

private:
    struPcUdpInfo baseHeader(const QString& peerIPv4) const;
    QByteArray pcInfoReply(struPcUdpInfo header) const;
    using ReplySink = std::function<void(const QByteArray&)>;
    void answerQuery(int type, const QString& peerIPv4, const ReplySink& send) const;
    void simuStateReplies(const struPcUdpInfo& header, const ReplySink& send) const;
    // The thumbnail of the instance's latest picture (ShotThumbCache), empty when it has none yet.
    QByteArray thumbnailOf(const SimuInfo& entry) const;

    bool admitQuery(const QByteArray& datagram, const QHostAddress& peer, int& type);
    void logRefused(const QHostAddress& peer, MsgAuth::eVerdict verdict);
    // True when `peer` may have an answer now (and counts it).
    bool answersNow(const QHostAddress& peer);

    static constexpr int kMaxTrackedPeers = 4096;
    QElapsedTimer m_clock;
    struct Allowance
    {
        double answers = kAnswerBurst;
        qint64 atMs = 0;
    };
    QHash<quint32, Allowance> m_allowance; // per IPv4 address
    qint64 m_skipped = 0;
    qint64 m_refused = 0;
    MsgVerifier m_verifier{MsgAuth::eChannel::DiscoveryQuery};

    quint16 m_port;
    QHostAddress m_bindAddress;
    QUdpSocket* m_pUdpSocket = nullptr;
};
