#include "groupcontrol.h"

#include "rmtdsktpmsg.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QtEndian>

#include <cmath>

using namespace GroupControl;

namespace {

const char* const kKindNames[] = {"tap", "swipe", "key", "text", "roll"};

QString kindName(GroupInputEvent::eKind kind)
{
    return QString::fromLatin1(kKindNames[int(kind)]);
}

std::optional<GroupInputEvent::eKind> kindOf(const QString& name)
{
    for (int i = 0; i < int(std::size(kKindNames)); ++i) {
        if (name == QLatin1String(kKindNames[i]))
            return GroupInputEvent::eKind(i);
    }
    return std::nullopt;
}

std::optional<GroupInputEvent> refuse(QString* why, const QString& text)
{
    if (why)
        *why = text;
    return std::nullopt;
}

// Reads the fields of an event one after another; the first one missing or out of bounds is
// remembered and every later read is skipped.
class FieldReader
{
public:
    explicit FieldReader(const QJsonObject& o) : m_o(o) {}

    double fraction(const char* key)
    {
        const double v = number(key);
        if (m_error.isEmpty() && !(v >= 0.0 && v <= 1.0))
            m_error = QStringLiteral("%1 is not a fraction of the screen").arg(QLatin1String(key));
        return v;
    }

    int integer(const char* key, int lo, int hi)
    {
        const double v = number(key);
        if (m_error.isEmpty() && !(v >= lo && v <= hi && v == std::floor(v)))
            m_error =
                QStringLiteral("%1 is no whole number in %2..%3").arg(QLatin1String(key)).arg(lo).arg(hi);
        return m_error.isEmpty() ? int(v) : 0;
    }

    QString text(const char* key)
    {
        const QJsonValue v = m_o.value(QLatin1String(key));
        if (!m_error.isEmpty())
            return QString();
        const QString s = v.toString();
        if (!v.isString() || s.isEmpty() || s.size() > kMaxTextChars)
            m_error = QStringLiteral("%1 is no text of 1..%2 characters")
                          .arg(QLatin1String(key))
                          .arg(kMaxTextChars);
        for (const QChar c : s) {
            if (m_error.isEmpty() && (c.unicode() < 0x20 || c.unicode() == 0x7f))
                m_error = QStringLiteral("%1 holds a control character").arg(QLatin1String(key));
        }
        return m_error.isEmpty() ? s : QString();
    }

    QString error() const { return m_error; }

private:
    double number(const char* key)
    {
        const QJsonValue v = m_o.value(QLatin1String(key));
        if (!m_error.isEmpty())
            return 0;
        if (!v.isDouble() || !std::isfinite(v.toDouble())) {
            m_error = QStringLiteral("%1 is missing or not a finite number").arg(QLatin1String(key));
            return 0;
        }
        return v.toDouble();
    }

    const QJsonObject& m_o;
    QString m_error;
};

QString pixel(double fraction, int side)
{
    return QString::number(qRound(fraction * (side - 1)));
}

// What `input text` can type: printable ASCII, spaces as %s.
QString typeable(const QString& text)
{
    QString out;
    out.reserve(text.size() * 2);
    for (const QChar c : text) {
        if (c == QLatin1Char(' '))
            out += QLatin1String("%s");
        else if (c.unicode() > 0x20 && c.unicode() < 0x7f)
            out += c;
    }
    return out;
}

QString cut(const QString& s, int chars)
{
    return s.size() > chars ? s.left(chars) : s;
}

} // namespace

GroupInputEvent GroupInputEvent::tap(double x, double y)
{
    GroupInputEvent e;
    e.kind = eKind::Tap;
    e.x = x;
    e.y = y;
    return e;
}

GroupInputEvent GroupInputEvent::swipe(double x, double y, double x2, double y2, int ms)
{
    GroupInputEvent e = tap(x, y);
    e.kind = eKind::Swipe;
    e.x2 = x2;
    e.y2 = y2;
    e.ms = ms;
    return e;
}

GroupInputEvent GroupInputEvent::key(int code)
{
    GroupInputEvent e;
    e.kind = eKind::Key;
    e.code = code;
    return e;
}

GroupInputEvent GroupInputEvent::typed(const QString& text)
{
    GroupInputEvent e;
    e.kind = eKind::Text;
    e.text = text;
    return e;
}

GroupInputEvent GroupInputEvent::roll(int dx, int dy)
{
    GroupInputEvent e;
    e.kind = eKind::Roll;
    e.dx = dx;
    e.dy = dy;
    return e;
}

std::optional<GroupInputEvent> GroupInputEvent::fromJson(const QString& json, QString* why)
{
    if (json.size() > kMaxEventJsonChars)
        return refuse(why, QStringLiteral("event of %1 characters").arg(json.size()));
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return refuse(why, QStringLiteral("event is no JSON object: %1").arg(err.errorString()));
    const QJsonObject o = doc.object();
    const std::optional<eKind> kind = kindOf(o.value(QLatin1String("k")).toString());
    if (!kind)
        return refuse(
            why,
            QStringLiteral("unknown event kind \"%1\"").arg(cut(o.value(QLatin1String("k")).toString(), 32)));
    GroupInputEvent e;
    e.kind = *kind;
    FieldReader r(o);
    switch (e.kind) {
    case eKind::Swipe:
        e.x2 = r.fraction("x2");
        e.y2 = r.fraction("y2");
        e.ms = r.integer("ms", 0, kMaxSwipeMs);
        Q_FALLTHROUGH();
    case eKind::Tap:
        e.x = r.fraction("x");
        e.y = r.fraction("y");
        break;
    case eKind::Key:
        e.code = r.integer("code", 0, kMaxKeyCode);
        break;
    case eKind::Text:
        e.text = r.text("text");
        break;
    case eKind::Roll:
        e.dx = r.integer("dx", -kMaxRoll, kMaxRoll);
        e.dy = r.integer("dy", -kMaxRoll, kMaxRoll);
        break;
    }
    if (!r.error().isEmpty())
        return refuse(why, r.error());
    return e;
}

QString GroupInputEvent::toJson() const
{
    QJsonObject o{{QStringLiteral("k"), kindName(kind)}};
    switch (kind) {
    case eKind::Swipe:
        o.insert(QStringLiteral("x2"), x2);
        o.insert(QStringLiteral("y2"), y2);
        o.insert(QStringLiteral("ms"), ms);
        Q_FALLTHROUGH();
    case eKind::Tap:
        o.insert(QStringLiteral("x"), x);
        o.insert(QStringLiteral("y"), y);
        break;
    case eKind::Key:
        o.insert(QStringLiteral("code"), code);
        break;
    case eKind::Text:
        o.insert(QStringLiteral("text"), text);
        break;
    case eKind::Roll:
        o.insert(QStringLiteral("dx"), dx);
        o.insert(QStringLiteral("dy"), dy);
        break;
    }
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QStringList GroupInputEvent::inputWords(QSize screen) const
{
    const int w = screen.width();
    const int h = screen.height();
    if (w <= 0 || h <= 0)
        return {};
    const QString input = QStringLiteral("input");
    switch (kind) {
    case eKind::Tap:
        return {input, QStringLiteral("tap"), pixel(x, w), pixel(y, h)};
    case eKind::Swipe:
        return {input,        QStringLiteral("swipe"), pixel(x, w), pixel(y, h), pixel(x2, w),
                pixel(y2, h), QString::number(ms)};
    case eKind::Key:
        return {input, QStringLiteral("keyevent"), QString::number(code)};
    case eKind::Text: {
        const QString typed = typeable(text);
        if (typed.isEmpty())
            return {};
        return {input, QStringLiteral("text"), typed};
    }
    case eKind::Roll:
        return {input, QStringLiteral("roll"), QString::number(dx), QString::number(dy)};
    }
    return {};
}

QString groupReplyText(int code, int dropped)
{
    switch (code) {
    case eGroupNotRunning:
        return QStringLiteral("未启动");
    case eGroupMalformed:
        return QStringLiteral("群控指令格式错误");
    case eGroupQueueFull:
        return QStringLiteral("输入队列已满，已丢弃%1个事件").arg(dropped);
    case eGroupShellFailed:
        return QStringLiteral("adb 无响应");
    case eGroupNoSuchInstance:
        return QStringLiteral("模拟器不存在");
    case eGroupViewFailed:
        return QStringLiteral("实时画面启动失败");
    default:
        return QString();
    }
}

QByteArray groupReplyToJson(const GroupReply& reply)
{
    QJsonArray items;
    for (const GroupReplyItem& item : reply.items) {
        items.append(QJsonObject{{QStringLiteral("memuIdx"), item.memuIdx},
                                 {QStringLiteral("code"), item.code},
                                 {QStringLiteral("text"), item.text},
                                 {QStringLiteral("dropped"), item.dropped}});
    }
    const QJsonObject doc{{QStringLiteral("type"), reply.type},
                          {QStringLiteral("runId"), reply.runId},
                          {QStringLiteral("items"), items}};
    return QJsonDocument(doc).toJson(QJsonDocument::Compact);
}

std::optional<GroupReply> groupReplyFromJson(const QByteArray& json, QString* why)
{
    const auto fail = [why](const QString& text) -> std::optional<GroupReply> {
        if (why)
            *why = text;
        return std::nullopt;
    };
    if (json.size() > kMaxReplyBytes)
        return fail(QStringLiteral("reply of %1 bytes").arg(json.size()));
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return fail(QStringLiteral("reply is no JSON object: %1").arg(err.errorString()));
    const QJsonObject o = doc.object();
    const QJsonArray items = o.value(QLatin1String("items")).toArray();
    if (items.size() > kMaxReplyItems)
        return fail(QStringLiteral("reply with %1 items").arg(items.size()));
    GroupReply reply;
    reply.type = o.value(QLatin1String("type")).toInt();
    const QString runId = o.value(QLatin1String("runId")).toString();
    reply.runId = RmtDsktpMsg::isRunId(runId) ? runId : QString();
    for (const QJsonValue& v : items) {
        const QJsonObject i = v.toObject();
        GroupReplyItem item;
        item.memuIdx = cut(i.value(QLatin1String("memuIdx")).toString(), kMaxMemuIdxChars);
        item.code = i.value(QLatin1String("code")).toInt();
        item.text = cut(i.value(QLatin1String("text")).toString(), kMaxReplyTextChars);
        item.dropped = qMax(0, i.value(QLatin1String("dropped")).toInt());
        reply.items.append(item);
    }
    return reply;
}

GroupViewFrame GroupViewFrame::hello(const QString& runId)
{
    GroupViewFrame f;
    f.kind = Hello;
    f.payload = runId.toUtf8();
    return f;
}

GroupViewFrame GroupViewFrame::jpeg(const QByteArray& jpeg, QSize size, quint64 captureMs)
{
    GroupViewFrame f;
    f.kind = Jpeg;
    f.width = quint32(qMax(0, size.width()));
    f.height = quint32(qMax(0, size.height()));
    f.captureMs = captureMs;
    f.payload = jpeg;
    return f;
}

GroupViewFrame GroupViewFrame::end(const QString& reason)
{
    GroupViewFrame f;
    f.kind = End;
    // Cut on a character boundary, within the bound.
    QString text = reason;
    while (text.toUtf8().size() > int(kMaxEndBytes))
        text.chop(text.size() > 64 ? text.size() / 4 : 1);
    f.payload = text.toUtf8();
    return f;
}

namespace {

quint32 maxPayload(quint8 kind)
{
    switch (kind) {
    case GroupViewFrame::Hello:
        return kMaxHelloBytes;
    case GroupViewFrame::Jpeg:
        return kMaxJpegBytes;
    case GroupViewFrame::End:
        return kMaxEndBytes;
    default:
        return 0;
    }
}

template <typename T> void put(QByteArray& out, T value)
{
    const T be = qToBigEndian(value);
    out.append(reinterpret_cast<const char*>(&be), sizeof(T));
}

template <typename T> T get(const QByteArray& in, int at)
{
    return qFromBigEndian<T>(reinterpret_cast<const uchar*>(in.constData()) + at);
}

} // namespace

QByteArray encodeGroupViewFrame(const GroupViewFrame& frame)
{
    if (quint32(frame.payload.size()) > maxPayload(frame.kind) || frame.width > kMaxFrameSide ||
        frame.height > kMaxFrameSide)
        return QByteArray();
    QByteArray out;
    out.reserve(kFrameHeaderBytes + frame.payload.size());
    out.append("TGVF", 4);
    out.append(char(frame.kind));
    out.append(3, '\0');
    put<quint32>(out, frame.width);
    put<quint32>(out, frame.height);
    put<quint64>(out, frame.captureMs);
    put<quint32>(out, quint32(frame.payload.size()));
    out.append(frame.payload);
    return out;
}

void GroupViewFrameReader::append(const QByteArray& bytes)
{
    if (!m_error.isEmpty())
        return;
    m_buffer.append(bytes);
    checkHeader();
}

bool GroupViewFrameReader::checkHeader()
{
    if (!m_error.isEmpty())
        return false;
    if (m_buffer.size() < kFrameHeaderBytes)
        return true;
    const quint8 kind = quint8(m_buffer.at(4));
    const quint32 width = get<quint32>(m_buffer, 8);
    const quint32 height = get<quint32>(m_buffer, 12);
    const quint32 length = get<quint32>(m_buffer, 24);
    if (!m_buffer.startsWith("TGVF"))
        m_error = QStringLiteral("no frame magic");
    else if (maxPayload(kind) == 0)
        m_error = QStringLiteral("unknown frame kind %1").arg(kind);
    else if (m_buffer.at(5) != 0 || m_buffer.at(6) != 0 || m_buffer.at(7) != 0)
        m_error = QStringLiteral("reserved header bytes are not zero");
    else if (width > kMaxFrameSide || height > kMaxFrameSide)
        m_error = QStringLiteral("frame of %1x%2").arg(width).arg(height);
    else if (length > maxPayload(kind))
        m_error = QStringLiteral("payload of %1 bytes for a frame of kind %2").arg(length).arg(kind);
    if (m_error.isEmpty())
        return true;
    m_buffer = QByteArray();
    return false;
}

GroupViewFrameReader::eResult GroupViewFrameReader::next(GroupViewFrame& frame)
{
    if (!checkHeader())
        return Invalid;
    if (m_buffer.size() < kFrameHeaderBytes)
        return Incomplete;
    const quint32 length = get<quint32>(m_buffer, 24);
    if (quint64(m_buffer.size()) < kFrameHeaderBytes + quint64(length))
        return Incomplete;
    frame.kind = GroupViewFrame::eKind(quint8(m_buffer.at(4)));
    frame.width = get<quint32>(m_buffer, 8);
    frame.height = get<quint32>(m_buffer, 12);
    frame.captureMs = get<quint64>(m_buffer, 16);
    frame.payload = m_buffer.mid(kFrameHeaderBytes, int(length));
    m_buffer.remove(0, kFrameHeaderBytes + int(length));
    checkHeader(); // the next header, when it is there already
    return Complete;
}
