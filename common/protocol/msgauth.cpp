#include "msgauth.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QtEndian>
#include <cstring>

#ifdef TOVIA_OPENSSL_MAC
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#endif

namespace {

const char kTrailerMagic[4] = {'T', 'V', 'S', '1'};
constexpr int kTrailerSignedBytes = MsgAuth::kTrailerBytes - MsgAuth::kMacBytes; // magic .. nonce
constexpr int kTimeOffset = 8;
constexpr int kNonceOffset = 16;
constexpr int kMaxDatagramBytes = 65535;

QByteArray randomNonce()
{
    QByteArray nonce(MsgAuth::kNonceBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(nonce.data()), MsgAuth::kNonceBytes / 4);
    return nonce;
}

#ifdef TOVIA_OPENSSL_MAC
// OpenSSL's SHA-256 uses the processor's SHA instructions: a console checks thousands of replies a
// second, each several KiB, at a tenth of the cost of Qt's own SHA-256.
class HmacSha256
{
public:
    explicit HmacSha256(const QByteArray& key)
    {
        static EVP_MAC* const s_pMac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        char digest[] = "SHA256";
        const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                     OSSL_PARAM_construct_end()};
        m_pCtx = s_pMac ? EVP_MAC_CTX_new(s_pMac) : nullptr;
        m_ok = m_pCtx && EVP_MAC_init(m_pCtx, reinterpret_cast<const unsigned char*>(key.constData()),
                                      size_t(key.size()), params) == 1;
    }
    ~HmacSha256() { EVP_MAC_CTX_free(m_pCtx); }
    HmacSha256(const HmacSha256&) = delete;
    HmacSha256& operator=(const HmacSha256&) = delete;

    void addData(const char* data, int size)
    {
        m_ok =
            m_ok && EVP_MAC_update(m_pCtx, reinterpret_cast<const unsigned char*>(data), size_t(size)) == 1;
    }
    void addData(const QByteArray& data) { addData(data.constData(), data.size()); }
    // Empty when OpenSSL failed: such a MAC matches nothing.
    QByteArray result()
    {
        QByteArray out(MsgAuth::kMacBytes, Qt::Uninitialized);
        size_t length = 0;
        m_ok = m_ok && EVP_MAC_final(m_pCtx, reinterpret_cast<unsigned char*>(out.data()), &length,
                                     size_t(out.size())) == 1;
        return m_ok && length == size_t(MsgAuth::kMacBytes) ? out : QByteArray();
    }

private:
    EVP_MAC_CTX* m_pCtx = nullptr;
    bool m_ok = false;
};
#else
class HmacSha256 : public QMessageAuthenticationCode
{
public:
    explicit HmacSha256(const QByteArray& key) : QMessageAuthenticationCode(QCryptographicHash::Sha256, key)
    {
    }
};
#endif

// HMAC-SHA256 over a fixed label, the channel and the length-prefixed binding, then the content.
QByteArray mac(const QByteArray& key, MsgAuth::eChannel channel, const QByteArray& binding, const char* data,
               int size)
{
    HmacSha256 code(key);
    char head[5];
    head[0] = char(channel);
    qToLittleEndian<quint32>(quint32(binding.size()), head + 1);
    code.addData("tovia-auth-v1", 13);
    code.addData(head, sizeof(head));
    code.addData(binding);
    code.addData(data, size);
    return code.result();
}

bool sameBytes(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (int i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

QByteArray canonical(QJsonObject doc)
{
    doc.remove(QStringLiteral("authSig"));
    return QJsonDocument(doc).toJson(QJsonDocument::Compact);
}

// Hex of exactly `bytes` bytes, or empty.
QByteArray fromHex(const QJsonValue& value, int bytes)
{
    const QString text = value.toString();
    if (!value.isString() || text.size() != bytes * 2)
        return QByteArray();
    for (const QChar c : text) {
        if (!c.isDigit() && !(c >= QLatin1Char('a') && c <= QLatin1Char('f')))
            return QByteArray();
    }
    return QByteArray::fromHex(text.toLatin1());
}

} // namespace

namespace MsgAuth {

const QString kTimeKey = QStringLiteral("authTime");
const QString kNonceKey = QStringLiteral("authNonce");
const QString kSigKey = QStringLiteral("authSig");
const QString kTailKey = QStringLiteral("authTail");

bool isAccepted(eVerdict verdict)
{
    return verdict == eVerdict::Ok || verdict == eVerdict::AcceptedUnsigned;
}

QString verdictText(eVerdict verdict)
{
    switch (verdict) {
    case eVerdict::Ok:
        return QStringLiteral("signed");
    case eVerdict::AcceptedUnsigned:
        return QStringLiteral("unsigned, accepted (security/acceptUnsigned=1)");
    case eVerdict::Unsigned:
        return QStringLiteral("unsigned (security/acceptUnsigned=0)");
    case eVerdict::Malformed:
        return QStringLiteral("malformed signature");
    case eVerdict::TooLarge:
        return QStringLiteral("too large to check");
    case eVerdict::NoKey:
        return QStringLiteral("signed, but no farm key here (not signed in)");
    case eVerdict::BadSignature:
        return QStringLiteral("bad signature (other key, changed or misdirected)");
    case eVerdict::Stale:
        return QStringLiteral("stale: time outside the window");
    case eVerdict::Replayed:
        return QStringLiteral("replayed: nonce seen before");
    }
    return QString();
}

qint64 currentTimeMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

void signJson(QJsonObject& doc, const QByteArray& key, eChannel channel, const QByteArray& binding,
              qint64 nowMs)
{
    doc.insert(kTimeKey, double(nowMs ? nowMs : currentTimeMs()));
    doc.insert(kNonceKey, QString::fromLatin1(randomNonce().toHex()));
    const QByteArray content = canonical(doc);
    doc.insert(kSigKey,
               QString::fromLatin1(mac(key, channel, binding, content.constData(), content.size()).toHex()));
}

bool isSignedJson(const QJsonObject& doc)
{
    return doc.contains(kSigKey) || doc.contains(kNonceKey) || doc.contains(kTimeKey);
}

QByteArray nonceOf(const QJsonObject& doc)
{
    return fromHex(doc.value(kNonceKey), kNonceBytes);
}

void bindTail(QJsonObject& doc, const QByteArray& tail)
{
    doc.insert(kTailKey,
               QString::fromLatin1(QCryptographicHash::hash(tail, QCryptographicHash::Sha256).toHex()));
}

bool tailMatches(const QJsonObject& doc, const QByteArray& tail)
{
    const QByteArray expected = fromHex(doc.value(kTailKey), 32);
    return !expected.isEmpty() &&
           sameBytes(expected, QCryptographicHash::hash(tail, QCryptographicHash::Sha256));
}

QByteArray signDatagram(const QByteArray& datagram, const QByteArray& key, eChannel channel, qint64 nowMs)
{
    QByteArray out = datagram;
    char trailer[kTrailerSignedBytes] = {};
    std::memcpy(trailer, kTrailerMagic, 4);
    trailer[4] = char(channel);
    qToLittleEndian<qint64>(nowMs ? nowMs : currentTimeMs(), trailer + kTimeOffset);
    const QByteArray nonce = randomNonce();
    std::memcpy(trailer + kNonceOffset, nonce.constData(), kNonceBytes);
    out.append(trailer, kTrailerSignedBytes);
    out.append(mac(key, channel, QByteArray(), out.constData(), out.size()));
    return out;
}

bool hasTrailer(const QByteArray& datagram)
{
    return datagram.size() >= kTrailerBytes &&
           std::memcmp(datagram.constData() + datagram.size() - kTrailerBytes, kTrailerMagic, 4) == 0;
}

} // namespace MsgAuth

using MsgAuth::eVerdict;

ReplayGuard::ReplayGuard(qint64 windowMs, int capacity) : m_windowMs(windowMs), m_capacity(qMax(1, capacity))
{
    m_seen.reserve(size_t(qMin(m_capacity, 1 << 16)));
}

void ReplayGuard::expire(qint64 nowMs)
{
    // A nonce older than the window cannot come back: its time alone refuses it.
    while (!m_byTime.empty() && m_byTime.begin()->first < nowMs - m_windowMs) {
        m_seen.erase(m_byTime.begin()->second);
        m_byTime.erase(m_byTime.begin());
    }
}

eVerdict ReplayGuard::admit(quint64 nonceId, qint64 timeMs, qint64 nowMs)
{
    expire(nowMs);
    if (timeMs <= m_horizonMs)
        return eVerdict::Stale;
    if (!m_seen.insert(nonceId).second)
        return eVerdict::Replayed;
    m_byTime.emplace(timeMs, nonceId);
    if (int(m_seen.size()) > m_capacity) {
        const auto oldest = m_byTime.begin();
        m_horizonMs = qMax(m_horizonMs, oldest->first);
        m_seen.erase(oldest->second);
        m_byTime.erase(oldest);
    }
    return eVerdict::Ok;
}

MsgVerifier::MsgVerifier(MsgAuth::eChannel channel, qint64 windowMs, int guardCapacity)
    : m_channel(channel), m_windowMs(windowMs), m_guard(windowMs, guardCapacity)
{
}

void MsgVerifier::setAcceptUnsigned(bool accept)
{
    QMutexLocker lock(&m_mutex);
    m_bAcceptUnsigned = accept;
}

bool MsgVerifier::acceptsUnsigned() const
{
    QMutexLocker lock(&m_mutex);
    return m_bAcceptUnsigned;
}

void MsgVerifier::setClock(Clock clock)
{
    QMutexLocker lock(&m_mutex);
    m_clock = std::move(clock);
}

int MsgVerifier::remembered() const
{
    QMutexLocker lock(&m_mutex);
    return m_guard.size();
}

eVerdict MsgVerifier::unsignedVerdict() const
{
    return acceptsUnsigned() ? eVerdict::AcceptedUnsigned : eVerdict::Unsigned;
}

eVerdict MsgVerifier::admit(const QByteArray& nonce, qint64 timeMs)
{
    QMutexLocker lock(&m_mutex);
    const qint64 nowMs = m_clock ? m_clock() : MsgAuth::currentTimeMs();
    if (timeMs < nowMs - m_windowMs || timeMs > nowMs + m_windowMs)
        return eVerdict::Stale;
    return m_guard.admit(qFromLittleEndian<quint64>(nonce.constData()), timeMs, nowMs);
}

eVerdict MsgVerifier::checkJson(const QJsonObject& doc, const QByteArray& key, const QByteArray& binding)
{
    if (!MsgAuth::isSignedJson(doc))
        return unsignedVerdict();
    const QJsonValue time = doc.value(MsgAuth::kTimeKey);
    const QByteArray nonce = MsgAuth::nonceOf(doc);
    const QByteArray sig = fromHex(doc.value(MsgAuth::kSigKey), MsgAuth::kMacBytes);
    if (!time.isDouble() || time.toDouble() != qint64(time.toDouble()) || nonce.isEmpty() || sig.isEmpty())
        return eVerdict::Malformed;
    if (key.isEmpty())
        return eVerdict::NoKey;
    const QByteArray content = canonical(doc);
    if (content.size() > MsgAuth::kMaxSignedBytes)
        return eVerdict::TooLarge;
    if (!sameBytes(sig, mac(key, m_channel, binding, content.constData(), content.size())))
        return eVerdict::BadSignature;
    return admit(nonce, qint64(time.toDouble()));
}

eVerdict MsgVerifier::checkDatagram(const QByteArray& datagram, const QByteArray& key, QByteArray* body)
{
    if (datagram.size() > kMaxDatagramBytes)
        return eVerdict::TooLarge;
    if (!MsgAuth::hasTrailer(datagram)) {
        const eVerdict v = unsignedVerdict();
        if (body && v == eVerdict::AcceptedUnsigned)
            *body = datagram;
        return v;
    }
    if (key.isEmpty())
        return eVerdict::NoKey;
    const int signedSize = datagram.size() - MsgAuth::kMacBytes;
    const char* trailer = datagram.constData() + datagram.size() - MsgAuth::kTrailerBytes;
    if (quint8(trailer[4]) != quint8(m_channel) ||
        !sameBytes(datagram.right(MsgAuth::kMacBytes),
                   mac(key, m_channel, QByteArray(), datagram.constData(), signedSize)))
        return eVerdict::BadSignature;
    const eVerdict v = admit(QByteArray(trailer + kNonceOffset, MsgAuth::kNonceBytes),
                             qFromLittleEndian<qint64>(trailer + kTimeOffset));
    if (body && v == eVerdict::Ok)
        *body = datagram.left(datagram.size() - MsgAuth::kTrailerBytes);
    return v;
}
