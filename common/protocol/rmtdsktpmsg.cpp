#include "rmtdsktpmsg.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

namespace RmtDsktpMsg {

namespace {

constexpr int kMaxRunIdChars = 64;
constexpr int kMaxTextChars = 512;

QJsonObject base(int type, int int1, int int2)
{
    return QJsonObject{
        {QStringLiteral("type"), type}, {QStringLiteral("int1"), int1}, {QStringLiteral("int2"), int2}};
}

QByteArray compact(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

} // namespace

QString newRunId()
{
    return QStringLiteral("%1").arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
}

bool isRunId(const QString& runId)
{
    if (runId.isEmpty() || runId.size() > kMaxRunIdChars)
        return false;
    for (const QChar c : runId) {
        if (c.unicode() > 127 || !(c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_')))
            return false;
    }
    return true;
}

QByteArray encode(int type, int int1, int int2)
{
    return compact(base(type, int1, int2));
}

QJsonObject helloObject(const QString& runId)
{
    QJsonObject o = base(eHello, 0, 0);
    o.insert(QStringLiteral("runId"), runId);
    return o;
}

QByteArray helloMessage(const QString& runId)
{
    return compact(helloObject(runId));
}

QByteArray heartbeatMessage()
{
    return encode(eHeartbeat, 0, 0);
}

QByteArray runEndedMessage(int reason, const QString& text)
{
    QJsonObject o = base(eRunEnded, reason, 0);
    o.insert(QStringLiteral("str1"), text.left(kMaxTextChars));
    return compact(o);
}

bool decode(const QByteArray& doc, Message& out)
{
    if (doc.size() > kMaxMessageBytes)
        return false;
    const QJsonDocument json = QJsonDocument::fromJson(doc);
    if (!json.isObject())
        return false;
    const QJsonObject o = json.object();
    out.type = o.value(QStringLiteral("type")).toInt();
    out.int1 = o.value(QStringLiteral("int1")).toInt();
    out.int2 = o.value(QStringLiteral("int2")).toInt();
    const QString runId = o.value(QStringLiteral("runId")).toString();
    out.runId = isRunId(runId) ? runId : QString();
    out.text = o.value(QStringLiteral("str1")).toString().left(kMaxTextChars);
    return true;
}

} // namespace RmtDsktpMsg
