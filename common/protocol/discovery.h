#pragma once

#include "commresult.h"
#include "ports.h"
#include "thumbnail.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QtEndian>
#include <cstddef>

// The discovery exchange on UDP port 7777.
//
// The console broadcasts a query: the compact JSON of a type-string message {"str1":user,"type":t},
// UTF-8, no terminator. An agent signed in under the same user name answers the sender directly with
// little-endian binary datagrams, each starting with the 288-byte header struPcUdpInfo:
//   kind 0 (answer to type 0): header + the PC's emulator list, count x 164-byte entries;
//   kind 1 (answer to type 1): one datagram per emulator, header + a JPEG thumbnail (may be empty).
namespace Discovery {

constexpr quint16 kDiscoveryPort = Tovia::kDiscoveryPort;

enum eQueryType
{
    eQueryPcInfo = 0,   // PC information and emulator list
    eQuerySimuState = 1 // emulator states and thumbnails
};

enum eReplyKind
{
    eReplyPcInfo = 0,
    eReplySimuState = 1
};

constexpr int kHeaderSize = 288;
constexpr int kSimuEntrySize = 164;
constexpr int kMaxSimuEntries = 50; // one kind 0 reply lists at most this many emulators
constexpr int kMaxPcInfoReplySize = kHeaderSize + kMaxSimuEntries * kSimuEntrySize; // 8488

// Thumbnails of kind 1 replies: width x height, JPEG.
constexpr int kThumbWidth = Thumbnail::kWidth;
constexpr int kThumbHeight = Thumbnail::kHeight;

// Widths of the text fields (each holds at most width - 1 bytes and a NUL).
constexpr int kPcNameSize = 64;
constexpr int kNickNameSize = 128;
constexpr int kSimuNameSize = 64; // kind 1: display name in the first half of the nick-name field
constexpr int kMemuIdxSize = 64;  // kind 1: index in the second half of the nick-name field
constexpr int kIpAddrSize = 64;

// Fields of one emulator entry of a kind 0 reply (the agent's 164-byte inventory record).
constexpr int kEntryIdxOffset = 4;
constexpr int kEntryIdxSize = 32;
constexpr int kEntryNameOffset = 36;
constexpr int kEntryNameSize = 128;

} // namespace Discovery

// The header of every discovery reply, laid out exactly as it travels (288 bytes, little-endian
// integers), so that the bytes of a datagram can be copied in and out as they are.
//
//   off  size  kind 0                          kind 1
//   0    64    PC name                         PC name
//   64   128   PC nick name                    64..127 display name (or nick name), 128..191 index
//   192  64    IPv4 address of the PC          same
//   256  1     kind (0)                        kind (1)
//   257  3     zero                            zero
//   260  4     entry list length (count x 164) JPEG length (0: no picture)
//   264  4     entry count                     state time (iTime)
//   268  4     run limit                       state (iState)
//   272  8     zero                            zero
//   280  4     daemon model                    same
//   284  4     emulator product (1 MEmu, 2 LDPlayer)  same
struct struPcUdpInfo
{
    char pcName[Discovery::kPcNameSize];
    char nickName[Discovery::kNickNameSize];
    char ipAddr[Discovery::kIpAddrSize];
    quint8 kind;
    quint8 reserved1[3];
    qint32_le iDataLen;
    qint32_le iSimuCount; // kind 1: state time
    qint32_le iRunLimit;  // kind 1: state
    quint8 reserved2[8];
    qint32_le iDaemonModel;
    qint32_le iSimuType;

    struPcUdpInfo() { clear(); }
    void clear();

    // Text setters cut on a UTF-8 character boundary and never overrun their field; the rest of the
    // field is zeroed. Getters stop at the first NUL or at the end of the field.
    void setPcName(const QString& name);
    void setNickName(const QString& name);
    void setIpAddr(const QString& addr);
    void setSimuName(const QString& name); // kind 1, offset 64
    void setMemuIdx(const QString& idx);   // kind 1, offset 128
    QString pcNameText() const;
    QString nickNameText() const;
    QString ipAddrText() const;
    QString simuNameText() const;
    QString memuIdxText() const;

    // Kind 1 meaning of the two integers at 264 and 268.
    int stateTime() const { return iSimuCount; }
    int state() const { return iRunLimit; }
    void setStateTime(int t) { iSimuCount = t; }
    void setState(int s) { iRunLimit = s; }

    QByteArray toBytes() const; // the 288 bytes
};

static_assert(sizeof(struPcUdpInfo) == Discovery::kHeaderSize, "the discovery header is 288 bytes");
static_assert(offsetof(struPcUdpInfo, ipAddr) == 192 && offsetof(struPcUdpInfo, kind) == 256 &&
                  offsetof(struPcUdpInfo, iDataLen) == 260 && offsetof(struPcUdpInfo, iSimuCount) == 264 &&
                  offsetof(struPcUdpInfo, iRunLimit) == 268 && offsetof(struPcUdpInfo, iDaemonModel) == 280 &&
                  offsetof(struPcUdpInfo, iSimuType) == 284,
              "discovery header offsets are fixed by the wire format");

// One emulator entry of a kind 0 reply, decoded.
struct struSimuEntry
{
    int iAdbPort = 0;
    QString memuIdx;
    QString simuName;
};

namespace Discovery {

// ---- query --------------------------------------------------------------------------------------

// The datagram of a query (compact JSON, UTF-8, no terminator).
QByteArray encodeQuery(int type, const QString& userName);
// Parses a received query: the bytes up to the first NUL (or all of them) as the JSON type-string
// message. On failure (code 41) type and userName are left as they were.
CCommResult parseQuery(const QByteArray& datagram, int& type, QString& userName);
// The query as a JSON object, to be signed before it is sent; and a received one as such, so that
// its signature is checked on the very object that is then read (parseQuery reads the same keys).
QJsonObject queryObject(int type, const QString& userName);
CCommResult parseQueryObject(const QByteArray& datagram, QJsonObject& query);

// ---- replies ------------------------------------------------------------------------------------

// One 164-byte entry as the agent's inventory lays it out.
QByteArray encodeSimuEntry(int adbPort, const QString& memuIdx, const QString& simuName);
// Decodes one entry; `entry` must hold at least 164 bytes.
struSimuEntry decodeSimuEntry(const char* entry);

// Kind 0: sets kind, entry count (entries.size() / 164, whole entries only, at most 50) and list
// length in the header, then appends the entries.
QByteArray encodePcInfoReply(struPcUdpInfo header, const QByteArray& entries);
// Kind 1: sets kind and picture length, then appends the JPEG bytes (may be empty).
QByteArray encodeSimuStateReply(struPcUdpInfo header, const QByteArray& jpeg);

enum class eDecodeStatus
{
    Ok,
    TooShort,   // fewer than 288 bytes
    BadLength,  // the length field does not match the count, or the bytes are not in the datagram
    UnknownKind // neither kind 0 nor kind 1
};

struct struDecodedReply
{
    struPcUdpInfo header;
    QByteArray entryBytes;      // kind 0: exactly count x 164 bytes, as received
    QList<struSimuEntry> simus; // kind 0: the entries decoded
    QByteArray jpeg;            // kind 1: the picture bytes (empty when none)
};

// Decodes one reply datagram without ever reading past it. Kind 0 is accepted only when the entry
// count is not negative, the list length equals count x 164 and the datagram holds that many bytes
// after the header; kind 1 only when the picture length is not negative and the bytes are present.
// Anything else is to be dropped. Bytes beyond the announced payload are ignored.
eDecodeStatus decodeReply(const QByteArray& datagram, struDecodedReply& out);

} // namespace Discovery
