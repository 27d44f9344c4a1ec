#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMutex>
#include <QString>
#include <functional>
#include <map>
#include <unordered_set>

// Authentication of the messages between the console and the agents of one account.
//
// Both sides hold the farm key (derived at login from the account's password, never sent). Every
// message that makes something happen carries a time, a random nonce and an HMAC-SHA256 over its
// content under that key, and the receiver checks all three: the key (a forged or changed message
// fails), the time (a message from outside a small window is stale) and the nonce (a message seen
// before is a replay). The signature rides along the existing formats, so a program that does not
// know it still reads what it can:
//
//   - JSON documents (commands on 7778, result reports on 7779, discovery queries on 7777, the
//     first message of the remote desktop's control connection on 7800) get three extra keys:
//     "authTime" (ms since the epoch), "authNonce" (32 hex digits), "authSig" (64 hex digits).
//     The signature covers the compact JSON of the whole document without "authSig", so every
//     key and value is covered, the extra ones included.
//   - Binary datagrams (discovery replies) get a 64-byte trailer after their last byte:
//     "TVS1", the channel, 3 zero bytes, the time (8 bytes, little-endian), the nonce (16 bytes)
//     and the HMAC (32 bytes) over the datagram and the trailer's first 32 bytes. The reply
//     decoder ignores bytes beyond the announced payload, so a reply must leave 64 bytes of room
//     below the datagram limit.
//
// Each signature is bound to its channel (a query cannot be replayed as a command, a command not
// as a result), and optionally to a binding: the control connection's first message is signed
// with the nonce of the desktop begin that started the run (nonceOf), so it proves that it belongs
// to that run. Bytes sent behind a document (the thumbnail behind a result report) are covered by
// putting their digest into the document before signing (bindTail) and comparing on arrival
// (tailMatches).
//
// Wiring, sender side (a few lines per message):
//
//     QJsonObject doc = ...;                                        // as today
//     MsgAuth::signJson(doc, LoginRecord::farmKey(), MsgAuth::eChannel::Command);
//     socket->write(QJsonDocument(doc).toJson(QJsonDocument::Compact));
//
//     const QByteArray reply = MsgAuth::signDatagram(Discovery::encodePcInfoReply(...), key,
//                                                    MsgAuth::eChannel::DiscoveryReply);
//
// Receiver side: one MsgVerifier per channel and receiver, kept as a member (it remembers the
// nonces of its window; it is thread-safe, so per-command threads may share one):
//
//     m_verifier.setAcceptUnsigned(SimuSettings::getAcceptUnsigned());   // at start, on change
//     const MsgAuth::eVerdict v = m_verifier.checkJson(doc, LoginRecord::farmKey());
//     if (!MsgAuth::isAccepted(v)) {
//         qWarning() << "command from" << peer << "refused:" << MsgAuth::verdictText(v);
//         return;                                            // no answer: nothing leaks
//     }
//     // go on with doc, or with the same bytes through the same parser (QJsonDocument), never
//     // with bytes read separately or a parser that treats duplicate keys differently
//
//     QByteArray body;
//     if (!MsgAuth::isAccepted(m_replyVerifier.checkDatagram(datagram, key, &body))) return;
//     Discovery::decodeReply(body, decoded);
//
// Things to know when wiring:
//   - the clocks of the console and the agents must agree within the window (30 s);
//   - a signed message is accepted once: a query that is sent to several targets (the broadcast
//     address and each interface's) reaches an agent more than once, and the copies after the first
//     are Replayed. Answer the first and log replays of the discovery channel at debug level only,
//     or sign each copy anew;
//   - an agent that took up only the remembered user name (no login, so no farm key) refuses every
//     signed message with NoKey until it signs in.
//
// security/acceptUnsigned (SimuSettings) at 1 accepts messages without any signature (peers that
// know no farm key) with the verdict AcceptedUnsigned; signed messages are checked either way.
namespace MsgAuth {

enum class eChannel : quint8
{
    Command = 1,        // command documents to an agent (7778), remote-desktop begin and end included
    Result = 2,         // result reports to a console (7779)
    DiscoveryQuery = 3, // a console's query (7777)
    DiscoveryReply = 4, // an agent's reply datagram (7777)
    DesktopControl = 5, // the first message of the control connection (7800)
};

enum class eVerdict
{
    Ok,               // signed with the farm key, within the window, first seen
    AcceptedUnsigned, // no signature, accepted because unsigned peers are accepted
    Unsigned,         // no signature
    Malformed,        // signature fields incomplete or not well-formed
    TooLarge,         // more than kMaxSignedBytes to check
    NoKey,            // signed, but this program holds no farm key (nobody signed in)
    BadSignature,     // another key, a changed message, another channel or binding
    Stale,            // its time lies outside the window (or before what the guard remembers)
    Replayed,         // its nonce was seen within the window
};

bool isAccepted(eVerdict verdict);
// A short English reason for the log ("stale: time outside the window", ...).
QString verdictText(eVerdict verdict);

constexpr qint64 kDefaultWindowMs = 30000; // messages may be this much older or newer than the clock
constexpr int kDefaultGuardCapacity = 200000;
constexpr int kNonceBytes = 16;
constexpr int kMacBytes = 32;
constexpr int kTrailerBytes = 64;
constexpr int kMaxSignedBytes = 1 << 20;

extern const QString kTimeKey;  // "authTime"
extern const QString kNonceKey; // "authNonce"
extern const QString kSigKey;   // "authSig"
extern const QString kTailKey;  // "authTail"

qint64 currentTimeMs();

// Adds authTime, authNonce and authSig to the document (replacing earlier ones). nowMs 0: the clock.
void signJson(QJsonObject& doc, const QByteArray& key, eChannel channel,
              const QByteArray& binding = QByteArray(), qint64 nowMs = 0);
bool isSignedJson(const QJsonObject& doc);
// The nonce of a signed document (raw bytes), empty when it has none.
QByteArray nonceOf(const QJsonObject& doc);

// The digest of bytes sent behind the document, put in before signing; checked on arrival.
void bindTail(QJsonObject& doc, const QByteArray& tail);
bool tailMatches(const QJsonObject& doc, const QByteArray& tail);

// The datagram with its trailer.
QByteArray signDatagram(const QByteArray& datagram, const QByteArray& key, eChannel channel,
                        qint64 nowMs = 0);
bool hasTrailer(const QByteArray& datagram);

} // namespace MsgAuth

// The nonces seen within the window, in bounded memory. When it is full, the oldest entry goes and
// everything not newer than it counts as stale from then on, so nothing can be replayed past it.
class ReplayGuard
{
public:
    ReplayGuard(qint64 windowMs, int capacity);

    // Remembers the nonce; false with Stale or Replayed when the message must be refused.
    MsgAuth::eVerdict admit(quint64 nonceId, qint64 timeMs, qint64 nowMs);
    int size() const { return int(m_seen.size()); }

private:
    void expire(qint64 nowMs);

    qint64 m_windowMs;
    int m_capacity;
    qint64 m_horizonMs = 0; // times not later than this are refused
    std::unordered_set<quint64> m_seen;
    std::multimap<qint64, quint64> m_byTime;
};

// Checks the messages of one channel at one receiver (see the header comment for the wiring).
class MsgVerifier
{
public:
    using Clock = std::function<qint64()>; // ms since the epoch

    explicit MsgVerifier(MsgAuth::eChannel channel, qint64 windowMs = MsgAuth::kDefaultWindowMs,
                         int guardCapacity = MsgAuth::kDefaultGuardCapacity);

    void setAcceptUnsigned(bool accept);
    bool acceptsUnsigned() const;
    void setClock(Clock clock); // tests

    MsgAuth::eVerdict checkJson(const QJsonObject& doc, const QByteArray& key,
                                const QByteArray& binding = QByteArray());
    // body (optional) receives the datagram without its trailer when it is accepted.
    MsgAuth::eVerdict checkDatagram(const QByteArray& datagram, const QByteArray& key,
                                    QByteArray* body = nullptr);

    int remembered() const;

private:
    MsgAuth::eVerdict unsignedVerdict() const;
    MsgAuth::eVerdict admit(const QByteArray& nonce, qint64 timeMs);

    MsgAuth::eChannel m_channel;
    qint64 m_windowMs;
    Clock m_clock;
    mutable QMutex m_mutex;
    bool m_bAcceptUnsigned = false;
    ReplayGuard m_guard;
};
