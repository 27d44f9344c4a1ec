#pragma once

#include <QByteArray>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>

// Group control: one console drives many instances on many agent PCs at once. Three things cross
// the wire here:
//  - GroupInputEvent, one input event in screen fractions, carried as compact JSON in the
//    "inputEvent" field of every record of a group-input command (kind eOperGroupInput);
//  - GroupReply, the one JSON document an agent writes back on the command connection of a
//    group-control command before closing it;
//  - the live-view stream of the lead instance: binary frames (GroupViewFrame) from the agent to a
//    TCP port of the console.
namespace GroupControl {

constexpr int kMaxTextChars = 500;
constexpr int kMaxSwipeMs = 10000;
constexpr int kMaxKeyCode = 1000;
constexpr int kMaxRoll = 100;
// A GroupInputEvent's JSON is far below this; anything longer is not one.
constexpr int kMaxEventJsonChars = 4096;
constexpr int kMaxReplyBytes = 64 * 1024;
constexpr int kMaxReplyItems = 1000;
constexpr int kMaxReplyTextChars = 256;
constexpr int kMaxMemuIdxChars = 64;

// Live-view frames.
constexpr int kFrameHeaderBytes = 28;
constexpr quint32 kMaxHelloBytes = 128;
constexpr quint32 kMaxJpegBytes = 4 * 1024 * 1024;
constexpr quint32 kMaxEndBytes = 1024;
// No screen is larger than this either way.
constexpr quint32 kMaxFrameSide = 16384;

} // namespace GroupControl

// One input event of a group run. Positions are fractions of the screen (0..1 from the left and the
// top), so that every instance replays it at the same place of its own screen, whatever its size.
struct GroupInputEvent
{
    enum class eKind
    {
        Tap,   // x, y
        Swipe, // x, y to x2, y2 in ms milliseconds
        Key,   // Android key code
        Text,  // text typed
        Roll,  // trackball roll dx, dy (the wheel)
    };

    eKind kind = eKind::Tap;
    double x = 0;
    double y = 0;
    double x2 = 0;
    double y2 = 0;
    int ms = 0;
    int code = 0;
    QString text;
    int dx = 0;
    int dy = 0;

    static GroupInputEvent tap(double x, double y);
    static GroupInputEvent swipe(double x, double y, double x2, double y2, int ms);
    static GroupInputEvent key(int code);
    static GroupInputEvent typed(const QString& text);
    static GroupInputEvent roll(int dx, int dy);

    // The event of this JSON ({"k":"tap","x":..,"y":..} and so on); nothing (with the reason in why)
    // when it is not one or a value is out of its bounds.
    static std::optional<GroupInputEvent> fromJson(const QString& json, QString* why = nullptr);
    QString toJson() const;
    // The words of the device's `input` command replaying the event on a screen of this size, as
    // `input` must receive them: "input","tap","X","Y" with X = round(x * (width - 1)), and so on.
    // Each word is a literal argument: whoever writes them to the device's shell quotes each one
    // for that shell (the agent's shell session puts every word that is not plain in single
    // quotes), so spaces, quotes and ; $ ` | & < > reach `input` as they are and run nothing.
    // Text: `input text` reads "%s" as a space and takes one argument, so every space is written
    // as %s. It types ASCII only: characters outside printable ASCII (Chinese, emoji) are left out;
    // a text with nothing else gives no words at all (nothing to replay). Empty also for a screen
    // that is empty.
    QStringList inputWords(QSize screen) const;
};

// The codes of a group-control reply item.
enum eGroupReplyCode
{
    eGroupOk = 0,
    eGroupNotRunning = 1,
    eGroupMalformed = 2,
    eGroupQueueFull = 3,
    eGroupShellFailed = 4,
    eGroupNoSuchInstance = 5,
    eGroupViewFailed = 6,
};

// The text of a code as the console shows it ("" for 0); dropped fills QueueFull's count.
QString groupReplyText(int code, int dropped = 0);

struct GroupReplyItem
{
    QString memuIdx;
    int code = eGroupOk;
    QString text;
    int dropped = 0; // events of this instance dropped so far in the run
};

// {"type":N,"runId":"...","items":[{"memuIdx":"1","code":0,"text":"","dropped":0}, ...]}
struct GroupReply
{
    int type = 0;
    QString runId;
    QList<GroupReplyItem> items;
};

QByteArray groupReplyToJson(const GroupReply& reply);
// Nothing (with the reason in why) for a document larger than kMaxReplyBytes, with more than
// kMaxReplyItems items, or malformed; texts are cut to kMaxReplyTextChars.
std::optional<GroupReply> groupReplyFromJson(const QByteArray& json, QString* why = nullptr);

// One frame of the live view. On the wire: a 28-byte header, big-endian: "TGVF", kind (u8), three
// zero bytes, width (u32), height (u32), captureMs (u64, ms since the epoch on the agent's clock),
// payload length (u32); then the payload: hello the run's id (UTF-8, at most 128 bytes), jpeg the
// picture (at most 4 MB), end the reason (UTF-8, at most 1024 bytes).
struct GroupViewFrame
{
    enum eKind : quint8
    {
        Hello = 0,
        Jpeg = 1,
        End = 2,
    };
    eKind kind = Hello;
    quint32 width = 0;
    quint32 height = 0;
    quint64 captureMs = 0;
    QByteArray payload;

    static GroupViewFrame hello(const QString& runId);
    static GroupViewFrame jpeg(const QByteArray& jpeg, QSize size, quint64 captureMs);
    static GroupViewFrame end(const QString& reason);
    // The payload as text (hello, end).
    QString text() const { return QString::fromUtf8(payload); }
};

// The frame's bytes; empty when its payload is beyond its kind's bound.
QByteArray encodeGroupViewFrame(const GroupViewFrame& frame);

// Reads frames from a stream as its bytes come. Every header is checked (magic, kind, zero bytes,
// sizes, payload length within its kind's bound) as soon as it is complete, before its payload is
// waited for; a bad header makes the stream Invalid for good (its buffer dropped).
class GroupViewFrameReader
{
public:
    enum eResult
    {
        Incomplete,
        Complete,
        Invalid
    };

    void append(const QByteArray& bytes);
    eResult next(GroupViewFrame& frame);
    QString error() const { return m_error; }
    qsizetype buffered() const { return m_buffer.size(); }

private:
    bool checkHeader();

    QByteArray m_buffer;
    QString m_error;
};
