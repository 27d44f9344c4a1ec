#include "farmtrust.h"

#include "discovery.h"
#include "jsoncodec.h"
#include "loginret.h"
#include "simusettings.h"

#include <QAtomicInt>
#include <QJsonDocument>
#include <QMutex>
#include <QMutexLocker>
#include <QPair>

namespace {
QAtomicInt g_acceptUnsigned(0);

constexpr int kRememberedRuns = 16;
QMutex g_runMutex;
QList<QPair<QString, QByteArray>> g_runBindings; // newest last
} // namespace

namespace FarmTrust {

void loadSetting()
{
    setAcceptUnsigned(SimuSettings::getAcceptUnsigned());
}

bool acceptUnsigned()
{
    return g_acceptUnsigned.loadRelaxed() != 0;
}

void setAcceptUnsigned(bool accept)
{
    g_acceptUnsigned.storeRelaxed(accept ? 1 : 0);
}

void storeAcceptUnsigned(bool accept)
{
    SimuSettings::setAcceptUnsigned(accept);
    setAcceptUnsigned(accept);
}

void sign(QJsonObject& doc, MsgAuth::eChannel channel, const QByteArray& binding)
{
    const QByteArray key = LoginRecord::farmKey();
    if (!key.isEmpty())
        MsgAuth::signJson(doc, key, channel, binding);
}

QByteArray signDatagram(const QByteArray& datagram, MsgAuth::eChannel channel)
{
    const QByteArray key = LoginRecord::farmKey();
    return key.isEmpty() ? datagram : MsgAuth::signDatagram(datagram, key, channel);
}

MsgAuth::eVerdict check(MsgVerifier& verifier, const QJsonObject& doc, const QByteArray& binding)
{
    verifier.setAcceptUnsigned(acceptUnsigned());
    return verifier.checkJson(doc, LoginRecord::farmKey(), binding);
}

MsgAuth::eVerdict checkDatagram(MsgVerifier& verifier, const QByteArray& datagram, QByteArray* body)
{
    verifier.setAcceptUnsigned(acceptUnsigned());
    return verifier.checkDatagram(datagram, LoginRecord::farmKey(), body);
}

QByteArray commandDoc(const QList<struSimuOper>& opers, const QString& usrName, MsgAuth::eChannel channel,
                      const QByteArray& tail, QByteArray* pNonce)
{
    QJsonObject doc = JsonCodec::commandDocObject(opers, usrName);
    if (!tail.isEmpty())
        MsgAuth::bindTail(doc, tail);
    sign(doc, channel);
    if (pNonce)
        *pNonce = MsgAuth::nonceOf(doc);
    return QJsonDocument(doc).toJson(QJsonDocument::Compact);
}

ReadDoc readCommandDoc(const QByteArray& bytes, MsgVerifier& verifier, const QString& peerAddr)
{
    ReadDoc read;
    read.parse = JsonCodec::parseObject(bytes, read.doc);
    if (!read.parse.ok())
        return read;
    read.verdict = check(verifier, read.doc);
    if (read.accepted())
        read.parse = JsonCodec::parseCommandObject(read.doc, read.opers, peerAddr);
    return read;
}

void noteRunBegin(const QString& runId, const QByteArray& nonce)
{
    if (runId.isEmpty() || nonce.isEmpty())
        return;
    QMutexLocker lock(&g_runMutex);
    for (int i = 0; i < g_runBindings.size(); ++i) {
        if (g_runBindings.at(i).first == runId)
            g_runBindings.removeAt(i--);
    }
    g_runBindings.append({runId, nonce});
    while (g_runBindings.size() > kRememberedRuns)
        g_runBindings.removeFirst();
}

QByteArray runBinding(const QString& runId)
{
    QMutexLocker lock(&g_runMutex);
    for (const auto& run : g_runBindings) {
        if (run.first == runId)
            return run.second;
    }
    return QByteArray();
}

QByteArray query(int type, const QString& userName)
{
    QJsonObject doc = Discovery::queryObject(type, userName);
    sign(doc, MsgAuth::eChannel::DiscoveryQuery);
    return QJsonDocument(doc).toJson(QJsonDocument::Compact);
}

} // namespace FarmTrust
