#include "udprceiverobj.h"

#include "agentlogging.h"
#include "agentsettings.h"
#include "farmtrust.h"
#include "inventorycache.h"
#include "loginret.h"
#include "platform.h"
#include "shotthumbcache.h"
#include "simuinfo.h"
#include "simusettings.h"
#include "simustatestore.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QVector>
#include <QtDebug>
#include <cstring>

namespace {

constexpr int kNoPendingDatagram = 11;
constexpr int kWriteWaitMs = 30000;
constexpr int kReceiveBufferSize = 65535;

QString hostNameText()
{
    return QString::fromStdString(platform::hostName());
}

// The inventory as far as it is known: an answer never waits for the product's tool (only the very
// first one for the first read, briefly).
QVector<SimuInfo> knownInventory()
{
    QVector<SimuInfo> infos = InventoryCache::instance().current();
    if (infos.size() > Discovery::kMaxSimuEntries)
        infos.resize(Discovery::kMaxSimuEntries);
    return infos;
}

QByteArray entryBytes(const QVector<SimuInfo>& infos)
{
    static_assert(sizeof(SimuInfo) == Discovery::kSimuEntrySize, "entries travel as they are stored");
    return QByteArray(reinterpret_cast<const char*>(infos.constData()),
                      infos.size() * Discovery::kSimuEntrySize);
}

} // namespace

UdpRceiverObj::UdpRceiverObj(quint16 port, const QHostAddress& bindAddress, QObject* parent)
    : QObject(parent), m_port(port), m_bindAddress(bindAddress)
{
}

quint16 UdpRceiverObj::localPort() const
{
    return m_pUdpSocket ? m_pUdpSocket->localPort() : 0;
}

void UdpRceiverObj::slInitSocket()
{
    if (m_pUdpSocket)
        return;
    m_pUdpSocket = new QUdpSocket(this);
    // Direct: socket and responder share the responder's thread. A queued call can arrive after the
    // datagram was taken by the call before it; Qt then holds back every later readyRead and the
    // responder would never answer again.
    if (!connect(m_pUdpSocket, &QUdpSocket::readyRead, this, &UdpRceiverObj::dataReceived,
                 Qt::DirectConnection))
        qCWarning(lcDiscovery, "connect SIGNAL(readyRead()) SLOT(dataReceived()) err");
    if (!m_pUdpSocket->bind(m_bindAddress, m_port, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint))
        qCWarning(lcDiscovery).noquote() << "m_pUdpSocket bind err" << m_pUdpSocket->errorString();
    m_pUdpSocket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kReceiveBufferSize);
}

void UdpRceiverObj::dataReceived()
{
    if (!m_pUdpSocket || !m_pUdpSocket->hasPendingDatagrams()) {
        qCDebug(lcDiscovery).noquote()
            << "cRet.iRet:" << kNoPendingDatagram << "已经dataReceived，但hasPendingDatagrams为否";
        // A read re-arms the socket's read notification (it stays off until something is read).
        if (m_pUdpSocket)
            m_pUdpSocket->readDatagram(nullptr, 0);
        return;
    }
    const QNetworkDatagram datagram = m_pUdpSocket->receiveDatagram();
    bool isIPv4 = false;
    const QHostAddress peer(datagram.senderAddress().toIPv4Address(&isIPv4));
    const quint16 peerPort = quint16(datagram.senderPort());
    if (!datagram.isValid() || !isIPv4)
        return;

    int type = 0;
    if (!admitQuery(datagram.data(), peer, type) || !answersNow(peer))
        return;
    // Each datagram leaves as soon as it is built, so a type 1 answer does not reach the console as
    // one burst of 50 datagrams.
    answerQuery(type, peer.toString(), [&](const QByteArray& plain) {
        const QByteArray reply = FarmTrust::signDatagram(plain, MsgAuth::eChannel::DiscoveryReply);
        if (m_pUdpSocket->writeDatagram(reply, peer, peerPort) != reply.size())
            qCWarning(lcDiscovery).noquote()
                << "discovery reply to" << peer.toString() << "not sent:" << m_pUdpSocket->errorString();
    });
    m_pUdpSocket->waitForBytesWritten(kWriteWaitMs);
    emit sigResponsedOneCenterTool();
}

// A query is answered when it comes from a console of the signed-in account: signed with the farm key
// (or plain, while unsigned peers are accepted) and naming the signed-in user. Nothing else is told
// anything, not even that this PC exists.
bool UdpRceiverObj::admitQuery(const QByteArray& datagram, const QHostAddress& peer, int& type)
{
    QJsonObject query;
    const CCommResult r = Discovery::parseQueryObject(datagram, query);
    const QString signedIn = LoginRecord::userName();
    if (!r.ok()) {
        qCWarning(lcDiscovery).noquote()
            << "query from" << peer.toString() << "not understood:" << r.iRet << r.str << r.log;
        return false;
    }
    // Nobody signed in answers nobody, so an empty query cannot match an empty name.
    if (signedIn.isEmpty())
        return false;
    const MsgAuth::eVerdict verdict = FarmTrust::check(m_verifier, query);
    if (!MsgAuth::isAccepted(verdict)) {
        // One broadcast query arrives once per path that reaches this PC: the copies after the first
        // are no attack.
        if (verdict == MsgAuth::eVerdict::Replayed)
            qCDebug(lcDiscovery).noquote() << "query from" << peer.toString() << "seen already";
        else
            logRefused(peer, verdict);
        return false;
    }
    type = query.value(QStringLiteral("type")).toInt();
    return query.value(QStringLiteral("str1")).toString() == signedIn;
}

// Refusals are logged, but a flood of forged queries does not flood the log.
void UdpRceiverObj::logRefused(const QHostAddress& peer, MsgAuth::eVerdict verdict)
{
    if (m_refused++ % 1000 == 0)
        qCWarning(lcDiscovery).noquote()
            << "query from" << peer.toString() << "refused:" << MsgAuth::verdictText(verdict) << "("
            << m_refused << "so far )";
}

bool UdpRceiverObj::answersNow(const QHostAddress& peer)
{
    if (!m_clock.isValid())
        m_clock.start();
    const qint64 now = m_clock.elapsed();
    const auto refill = [now](Allowance& a) {
        a.answers = qMin<double>(kAnswerBurst, a.answers + double(now - a.atMs) * kAnswersPerSec / 1000.0);
        a.atMs = now;
    };
    if (m_allowance.size() >= kMaxTrackedPeers) { // forget the addresses whose allowance is whole again
        for (auto it = m_allowance.begin(); it != m_allowance.end();) {
            refill(*it);
            it = it->answers >= kAnswerBurst ? m_allowance.erase(it) : std::next(it);
        }
    }
    auto it = m_allowance.find(peer.toIPv4Address());
    if (it == m_allowance.end()) {
        if (m_allowance.size() >= kMaxTrackedPeers)
            return false;
        it = m_allowance.insert(peer.toIPv4Address(), Allowance{double(kAnswerBurst), now});
    }
    refill(*it);
    if (it->answers < 1.0) {
        if (m_skipped++ % 1000 == 0)
            qCWarning(lcDiscovery).noquote()
                << "discovery queries from" << peer.toString() << "beyond" << kAnswersPerSec
                << "a second not answered (" << m_skipped << "so far )";
        return false;
    }
    it->answers -= 1.0;
    return true;
}

QList<QByteArray> UdpRceiverObj::buildReplies(int type, const QString& peerIPv4) const
{
    QList<QByteArray> replies;
    answerQuery(type, peerIPv4, [&replies](const QByteArray& reply) { replies.append(reply); });
    return replies;
}

void UdpRceiverObj::answerQuery(int type, const QString& peerIPv4, const ReplySink& send) const
{
    const struPcUdpInfo header = baseHeader(peerIPv4);
    switch (type) {
    case Discovery::eQueryPcInfo:
        send(pcInfoReply(header));
        break;
    case Discovery::eQuerySimuState:
        // Screenshots are taken while consoles look at this PC.
        SimuStateStore::instance().noteStateQuery();
        simuStateReplies(header, send);
        break;
    default:
        // Unknown query types get the PC header alone: no entries, run limit 0.
        send(Discovery::encodePcInfoReply(header, QByteArray()));
        break;
    }
}

struPcUdpInfo UdpRceiverObj::baseHeader(const QString& peerIPv4) const
{
    struPcUdpInfo h;
    QString pcName = AgentSettings::pcName.value();
    if (pcName.isEmpty())
        pcName = hostNameText();
    QString nickName = AgentSettings::pcNickName.value();
    if (nickName.isEmpty())
        nickName = pcName;
    h.setPcName(pcName);
    h.setNickName(nickName);
    // The address the console will connect to: the one on the console's subnet, not merely the first
    // address of the host (often a virtual adapter on emulator PCs).
    const QString addr = QString::fromStdString(platform::localIPv4Facing(peerIPv4.toStdString()));
    if (addr.isEmpty())
        qCWarning(lcDiscovery).noquote() << "no IPv4 address of this PC found for the console at" << peerIPv4;
    h.setIpAddr(addr);
    h.iDaemonModel = AgentSettings::daemonModel.value();
    h.iSimuType = AgentSettings::simuType.value();
    return h;
}

QByteArray UdpRceiverObj::pcInfoReply(struPcUdpInfo header) const
{
    const QVector<SimuInfo> infos = knownInventory();
    header.iRunLimit = AgentSettings::runLimit.value();
    return Discovery::encodePcInfoReply(header, entryBytes(infos));
}

void UdpRceiverObj::simuStateReplies(const struPcUdpInfo& header, const ReplySink& send) const
{
    const QVector<SimuInfo> infos = knownInventory();
    QStringList idxs;
    for (const SimuInfo& entry : infos)
        idxs.append(entry.idx());
    SimuStateStore& store = SimuStateStore::instance();
    const QStringList running = store.runningList();
    const QHash<QString, struSimuRecord> records = store.records(idxs);
    const QString nickName = header.nickNameText();
    for (const SimuInfo& entry : infos) {
        const QString idx = entry.idx();
        const struSimuRecord rec = records.value(idx);
        struPcUdpInfo h = header;
        h.setStateTime(rec.iTime);
        h.setState(rec.iState);
        h.setMemuIdx(idx);
        QByteArray jpeg;
        if (running.contains(idx)) {
            h.setSimuName(entry.name());
            if (rec.iState == eStateRunning || rec.iState == eStateInstalling)
                jpeg = thumbnailOf(entry);
        } else {
            h.setSimuName(nickName);
        }
        send(Discovery::encodeSimuStateReply(h, jpeg));
    }
}

QByteArray UdpRceiverObj::thumbnailOf(const SimuInfo& entry) const
{
    // No picture yet: the answer goes without; the screenshot pool takes one while consoles look.
    // The pool writes the two pictures in turn: the newer is the one to show, the other stands in
    // while the newer is missing or half-written.
    ShotThumbCache& thumbs = ShotThumbCache::instance();
    QString newer = SimuSettings::screenshotPath(entry.idx());
    QString older = SimuSettings::screenshotBakPath(entry.idx());
    if (QFileInfo(older).lastModified() > QFileInfo(newer).lastModified())
        newer.swap(older);
    QByteArray jpeg = thumbs.jpegOf(newer);
    if (jpeg.isEmpty())
        jpeg = thumbs.jpegOf(older);
    if (jpeg.isEmpty())
        qCDebug(lcDiscovery).noquote() << "no picture of" << entry.idx() << "yet";
    return jpeg;
}
