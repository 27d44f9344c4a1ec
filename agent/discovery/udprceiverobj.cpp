#include "udprceiverobj.h"

#include "loginret.h"
#include "platform.h"
#include "screenshot.h"
#include "simuinfo.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"

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

// The stored state record of an instance; one that was never stored reads as not started, time 0.
struSimuRecord storedRecord(const QString& memuIdx)
{
    return SimuSettings::storedSimuRecord(memuIdx);
}

// The inventory of the configured product; a failed read still gives what was read.
QVector<SimuInfo> readInventory()
{
    QVector<SimuInfo> infos = SimuInfoXmlGainer::readInventory(
        "获取模拟器数据失败。可能是因为删除一个模拟器后，还有多余目录未删除");
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

QImage loadPicture(const QString& path)
{
    QImage image;
    image.load(path);
    return image;
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
        qWarning("connect SIGNAL(readyRead()) SLOT(dataReceived()) err");
    if (!m_pUdpSocket->bind(m_bindAddress, m_port, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint))
        qWarning().noquote() << "m_pUdpSocket bind err" << m_pUdpSocket->errorString();
    m_pUdpSocket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kReceiveBufferSize);
}

void UdpRceiverObj::dataReceived()
{
    if (!m_pUdpSocket || !m_pUdpSocket->hasPendingDatagrams()) {
        qWarning().noquote() << "cRet.iRet:" << kNoPendingDatagram << "\r\n"
                             << "不该出现的错误！"
                             << "\r\n"
                             << "已经dataReceived，但hasPendingDatagrams为否";
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
    QString userName;
    const CCommResult r = Discovery::parseQuery(datagram.data(), type, userName);
    const QString signedIn = LoginRecord::userName();
    // Nobody signed in answers nobody, so an empty or unparsable query cannot match an empty name.
    if (signedIn.isEmpty() || userName != signedIn) {
        if (!r.ok())
            qWarning().noquote() << "cRet.iRet:" << r.iRet << "\r\n" << r.str << "\r\n" << r.log;
        return;
    }

    if (!answersNow(peer))
        return;
    // Each datagram leaves as soon as it is built, so a type 1 answer does not reach the console as
    // one burst of 50 datagrams.
    answerQuery(type, peer.toString(), [&](const QByteArray& reply) {
        if (m_pUdpSocket->writeDatagram(reply, peer, peerPort) != reply.size())
            qWarning().noquote() << "discovery reply to" << peer.toString()
                                 << "not sent:" << m_pUdpSocket->errorString();
    });
    m_pUdpSocket->waitForBytesWritten(kWriteWaitMs);
    emit sigResponsedOneCenterTool();
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
            qWarning().noquote() << "discovery queries from" << peer.toString() << "beyond" << kAnswersPerSec
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
    QString pcName = SimuSettings::getPcName().str;
    if (pcName.isEmpty())
        pcName = hostNameText();
    QString nickName = SimuSettings::getPcNickName().str;
    if (nickName.isEmpty())
        nickName = pcName;
    h.setPcName(pcName);
    h.setNickName(nickName);
    // The address the console will connect to: the one on the console's subnet, not merely the first
    // address of the host (often a virtual adapter on emulator PCs).
    const QString addr = QString::fromStdString(platform::localIPv4Facing(peerIPv4.toStdString()));
    if (addr.isEmpty())
        qWarning().noquote() << "no IPv4 address of this PC found for the console at" << peerIPv4;
    h.setIpAddr(addr);
    h.iDaemonModel = SimuSettings::getDaemonModel().iExtraRet;
    h.iSimuType = SimuSettings::getSimuType().iExtraRet;
    return h;
}

QByteArray UdpRceiverObj::pcInfoReply(struPcUdpInfo header) const
{
    const QVector<SimuInfo> infos = readInventory();
    header.iRunLimit = SimuSettings::getRunLimit().iExtraRet;
    return Discovery::encodePcInfoReply(header, entryBytes(infos));
}

void UdpRceiverObj::simuStateReplies(const struPcUdpInfo& header, const ReplySink& send) const
{
    const QVector<SimuInfo> infos = readInventory();
    const QStringList running = SimuSettings::getRunningList();
    const QString nickName = header.nickNameText();
    for (const SimuInfo& entry : infos) {
        const QString idx = entry.idx();
        const struSimuRecord rec = storedRecord(idx);
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
    const QString mainPath = SimuSettings::screenshotPath(entry.idx());
    if (!QFile::exists(mainPath)) {
        // No picture yet: take one now for the next query; this answer goes without.
        TakeScreenshot(entry.adbSerial(), mainPath);
        return QByteArray();
    }
    QByteArray jpeg = thumbnailOfFile(mainPath);
    if (jpeg.isEmpty())
        jpeg = thumbnailOfFile(SimuSettings::screenshotBakPath(entry.idx())); // main one half-written
    if (jpeg.isEmpty()) {
        qWarning("screenshot pciture load err");
        qWarning("screenshot pciture is null");
    }
    return jpeg;
}

QByteArray UdpRceiverObj::thumbnailOfFile(const QString& path) const
{
    const QFileInfo info(path);
    const qint64 size = info.size();
    const qint64 modifiedMs = info.lastModified().toMSecsSinceEpoch();
    const auto cached = m_thumbs.constFind(path);
    if (cached != m_thumbs.constEnd() && cached->size == size && cached->modifiedMs == modifiedMs)
        return cached->jpeg;

    const QImage image = loadPicture(path);
    if (image.isNull())
        return QByteArray();
    const QByteArray jpeg = Thumbnail::encodeJpeg(image);
    if (jpeg.isEmpty())
        return QByteArray();
    if (m_thumbs.size() >= kMaxCachedThumbs)
        m_thumbs.clear(); // instances come and go; never let stale names pile up
    m_thumbs.insert(path, {size, modifiedMs, jpeg});
    return jpeg;
}
