#include "discovery.h"

#include "fixedtextfield.h"
#include "jsoncodec.h"

#include <cstring>

namespace Discovery {

QByteArray encodeQuery(int type, const QString& userName)
{
    return JsonCodec::serializeTypeStrMsg(type, userName).str.toUtf8();
}

QJsonObject queryObject(int type, const QString& userName)
{
    return QJsonObject{{QStringLiteral("str1"), userName}, {QStringLiteral("type"), type}};
}

CCommResult parseQuery(const QByteArray& datagram, int& type, QString& userName)
{
    QJsonObject query;
    CCommResult r = parseQueryObject(datagram, query);
    if (!r.ok())
        return r;
    type = query.value(QStringLiteral("type")).toInt();
    userName = query.value(QStringLiteral("str1")).toString();
    return r;
}

CCommResult parseQueryObject(const QByteArray& datagram, QJsonObject& query)
{
    const int nul = datagram.indexOf('\0');
    return JsonCodec::parseObject(nul < 0 ? datagram : datagram.left(nul), query);
}

QByteArray encodeSimuEntry(int adbPort, const QString& memuIdx, const QString& simuName)
{
    QByteArray entry(kSimuEntrySize, '\0');
    qToLittleEndian<qint32>(adbPort, entry.data());
    FixedText::writeUtf8(entry.data() + kEntryIdxOffset, kEntryIdxSize, memuIdx);
    FixedText::writeUtf8(entry.data() + kEntryNameOffset, kEntryNameSize, simuName);
    return entry;
}

struSimuEntry decodeSimuEntry(const char* entry)
{
    struSimuEntry e;
    e.iAdbPort = qFromLittleEndian<qint32>(entry);
    e.memuIdx = FixedText::readUtf8(entry + kEntryIdxOffset, kEntryIdxSize);
    e.simuName = FixedText::readUtf8(entry + kEntryNameOffset, kEntryNameSize);
    return e;
}

QByteArray encodePcInfoReply(struPcUdpInfo header, const QByteArray& entries)
{
    const int count = qMin(entries.size() / kSimuEntrySize, kMaxSimuEntries);
    header.kind = eReplyPcInfo;
    header.iSimuCount = count;
    header.iDataLen = count * kSimuEntrySize;
    return header.toBytes() + entries.left(count * kSimuEntrySize);
}

QByteArray encodeSimuStateReply(struPcUdpInfo header, const QByteArray& jpeg)
{
    header.kind = eReplySimuState;
    header.iDataLen = jpeg.size();
    return header.toBytes() + jpeg;
}

namespace {

eDecodeStatus decodePcInfoPayload(const QByteArray& datagram, struDecodedReply& out)
{
    const qint64 count = out.header.iSimuCount;
    const qint64 length = out.header.iDataLen;
    const qint64 available = datagram.size() - kHeaderSize;
    if (count < 0 || length != count * kSimuEntrySize || length > available)
        return eDecodeStatus::BadLength;
    out.entryBytes = datagram.mid(kHeaderSize, int(length));
    for (int i = 0; i < int(count); ++i)
        out.simus.append(decodeSimuEntry(out.entryBytes.constData() + i * kSimuEntrySize));
    return eDecodeStatus::Ok;
}

eDecodeStatus decodeSimuStatePayload(const QByteArray& datagram, struDecodedReply& out)
{
    const qint64 length = out.header.iDataLen;
    if (length < 0 || length > datagram.size() - kHeaderSize)
        return eDecodeStatus::BadLength;
    out.jpeg = datagram.mid(kHeaderSize, int(length));
    return eDecodeStatus::Ok;
}

} // namespace

eDecodeStatus decodeReply(const QByteArray& datagram, struDecodedReply& out)
{
    out = struDecodedReply();
    if (datagram.size() < kHeaderSize)
        return eDecodeStatus::TooShort;
    std::memcpy(static_cast<void*>(&out.header), datagram.constData(), size_t(kHeaderSize));
    switch (out.header.kind) {
    case eReplyPcInfo:
        return decodePcInfoPayload(datagram, out);
    case eReplySimuState:
        return decodeSimuStatePayload(datagram, out);
    default:
        return eDecodeStatus::UnknownKind;
    }
}

} // namespace Discovery

void struPcUdpInfo::clear()
{
    std::memset(static_cast<void*>(this), 0, sizeof(struPcUdpInfo));
}

void struPcUdpInfo::setPcName(const QString& name)
{
    FixedText::writeUtf8(pcName, Discovery::kPcNameSize, name);
}

void struPcUdpInfo::setNickName(const QString& name)
{
    FixedText::writeUtf8(nickName, Discovery::kNickNameSize, name);
}

void struPcUdpInfo::setIpAddr(const QString& addr)
{
    FixedText::writeUtf8(ipAddr, Discovery::kIpAddrSize, addr);
}

void struPcUdpInfo::setSimuName(const QString& name)
{
    FixedText::writeUtf8(nickName, Discovery::kSimuNameSize, name);
}

void struPcUdpInfo::setMemuIdx(const QString& idx)
{
    FixedText::writeUtf8(nickName + Discovery::kSimuNameSize, Discovery::kMemuIdxSize, idx);
}

QString struPcUdpInfo::pcNameText() const
{
    return FixedText::readUtf8(pcName, Discovery::kPcNameSize);
}

QString struPcUdpInfo::nickNameText() const
{
    return FixedText::readUtf8(nickName, Discovery::kNickNameSize);
}

QString struPcUdpInfo::ipAddrText() const
{
    return FixedText::readUtf8(ipAddr, Discovery::kIpAddrSize);
}

QString struPcUdpInfo::simuNameText() const
{
    return FixedText::readUtf8(nickName, Discovery::kSimuNameSize);
}

QString struPcUdpInfo::memuIdxText() const
{
    return FixedText::readUtf8(nickName + Discovery::kSimuNameSize, Discovery::kMemuIdxSize);
}

QByteArray struPcUdpInfo::toBytes() const
{
    return QByteArray(reinterpret_cast<const char*>(this), int(sizeof(struPcUdpInfo)));
}
