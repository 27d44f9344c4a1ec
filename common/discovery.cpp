#include "discovery.h"

#include "jsoncodec.h"

#include <cstring>

namespace Discovery {

QByteArray utf8Prefix(const QString& text, int maxBytes)
{
    QByteArray bytes = text.toUtf8();
    if (maxBytes <= 0)
        return QByteArray();
    if (bytes.size() <= maxBytes)
        return bytes;
    int cut = maxBytes;
    // Step back over continuation bytes so that the cut falls before the lead byte of a character.
    while (cut > 0 && (static_cast<unsigned char>(bytes.at(cut)) & 0xC0) == 0x80)
        --cut;
    bytes.truncate(cut);
    return bytes;
}

void writeTextField(char* field, int fieldSize, const QString& text)
{
    std::memset(field, 0, size_t(fieldSize));
    const QByteArray bytes = utf8Prefix(text, fieldSize - 1);
    std::memcpy(field, bytes.constData(), size_t(bytes.size()));
}

QString readTextField(const char* field, int fieldSize)
{
    const void* end = std::memchr(field, 0, size_t(fieldSize));
    const int len = end ? int(static_cast<const char*>(end) - field) : fieldSize;
    return QString::fromUtf8(field, len);
}

QByteArray encodeQuery(int type, const QString& userName)
{
    return JsonCodec::serializeTypeStrMsg(type, userName).str.toUtf8();
}

CCommResult parseQuery(const QByteArray& datagram, int& type, QString& userName)
{
    const int nul = datagram.indexOf('\0');
    const QByteArray text = nul < 0 ? datagram : datagram.left(nul);
    CCommResult r = JsonCodec::parseTypeStrMsg(QString::fromUtf8(text));
    if (!r.ok())
        return r;
    type = r.iExtraRet;
    userName = r.str;
    return r;
}

QByteArray encodeSimuEntry(int adbPort, const QString& memuIdx, const QString& simuName)
{
    QByteArray entry(kSimuEntrySize, '\0');
    qToLittleEndian<qint32>(adbPort, entry.data());
    writeTextField(entry.data() + kEntryIdxOffset, kEntryIdxSize, memuIdx);
    writeTextField(entry.data() + kEntryNameOffset, kEntryNameSize, simuName);
    return entry;
}

struSimuEntry decodeSimuEntry(const char* entry)
{
    struSimuEntry e;
    e.iAdbPort = qFromLittleEndian<qint32>(entry);
    e.memuIdx = readTextField(entry + kEntryIdxOffset, kEntryIdxSize);
    e.simuName = readTextField(entry + kEntryNameOffset, kEntryNameSize);
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
    Discovery::writeTextField(pcName, Discovery::kPcNameSize, name);
}

void struPcUdpInfo::setNickName(const QString& name)
{
    Discovery::writeTextField(nickName, Discovery::kNickNameSize, name);
}

void struPcUdpInfo::setIpAddr(const QString& addr)
{
    Discovery::writeTextField(ipAddr, Discovery::kIpAddrSize, addr);
}

void struPcUdpInfo::setSimuName(const QString& name)
{
    Discovery::writeTextField(nickName, Discovery::kSimuNameSize, name);
}

void struPcUdpInfo::setMemuIdx(const QString& idx)
{
    Discovery::writeTextField(nickName + Discovery::kSimuNameSize, Discovery::kMemuIdxSize, idx);
}

QString struPcUdpInfo::pcNameText() const
{
    return Discovery::readTextField(pcName, Discovery::kPcNameSize);
}

QString struPcUdpInfo::nickNameText() const
{
    return Discovery::readTextField(nickName, Discovery::kNickNameSize);
}

QString struPcUdpInfo::ipAddrText() const
{
    return Discovery::readTextField(ipAddr, Discovery::kIpAddrSize);
}

QString struPcUdpInfo::simuNameText() const
{
    return Discovery::readTextField(nickName, Discovery::kSimuNameSize);
}

QString struPcUdpInfo::memuIdxText() const
{
    return Discovery::readTextField(nickName + Discovery::kSimuNameSize, Discovery::kMemuIdxSize);
}

QByteArray struPcUdpInfo::toBytes() const
{
    return QByteArray(reinterpret_cast<const char*>(this), int(sizeof(struPcUdpInfo)));
}
