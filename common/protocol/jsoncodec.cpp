#include "jsoncodec.h"

#include "groupcontrol.h"
#include "rmtdsktpmsg.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QtDebug>

namespace JsonCodec {

namespace {

QByteArray toCompact(const QJsonObject& obj)
{
    return QJsonDocument(obj).toJson(QJsonDocument::Compact);
}

// The produced text stops at the first zero byte, as a C string would.
QString compactText(const QJsonObject& obj)
{
    return QString::fromUtf8(toCompact(obj).constData());
}

QJsonObject operToObject(const struSimuOper& oper)
{
    QJsonObject o;
    o.insert(QStringLiteral("iOperType"), oper.iOperType);
    o.insert(QStringLiteral("iExtra"), oper.iExtra);
    o.insert(QStringLiteral("iReplyRet"), oper.iReplyRet);
    o.insert(QStringLiteral("centerIP"), oper.centerIP);
    o.insert(QStringLiteral("memuIdx"), oper.memuIdx);
    o.insert(QStringLiteral("rmtNickName"), oper.rmtNickName);
    o.insert(QStringLiteral("rmtPcName"), oper.rmtPcName);
    o.insert(QStringLiteral("replyRet"), oper.replyRet);
    o.insert(QStringLiteral("fileName"), oper.fileName);
    o.insert(QStringLiteral("iTime"), oper.iTime);
    if (!oper.runId.isEmpty())
        o.insert(QStringLiteral("runId"), oper.runId);
    if (!oper.inputEvent.isEmpty())
        o.insert(QStringLiteral("inputEvent"), oper.inputEvent);
    return o;
}

struSimuOper operFromObject(const QJsonObject& o, const QString& peerAddr)
{
    struSimuOper oper;
    oper.iOperType = o.value(QStringLiteral("iOperType")).toInt();
    oper.memuIdx = o.value(QStringLiteral("memuIdx")).toString();
    oper.rmtPcName = o.value(QStringLiteral("rmtPcName")).toString();
    oper.rmtNickName = o.value(QStringLiteral("rmtNickName")).toString();
    oper.iExtra = o.value(QStringLiteral("iExtra")).toInt();
    oper.iTime = o.value(QStringLiteral("iTime")).toInt();
    oper.iReplyRet = o.value(QStringLiteral("iReplyRet")).toInt();
    oper.replyRet = o.value(QStringLiteral("replyRet")).toString();
    oper.fileName = o.value(QStringLiteral("fileName")).toString();
    const QString runId = o.value(QStringLiteral("runId")).toString();
    oper.runId = RmtDsktpMsg::isRunId(runId) ? runId : QString();
    // Checked where it is used; a text far beyond any event is not kept.
    const QString inputEvent = o.value(QStringLiteral("inputEvent")).toString();
    oper.inputEvent = inputEvent.size() <= GroupControl::kMaxEventJsonChars ? inputEvent : QString();
    // The address the command came from wins, so a document cannot send results elsewhere.
    oper.centerIP = peerAddr.isEmpty() ? o.value(QStringLiteral("centerIP")).toString() : peerAddr;
    return oper;
}

// Number of indexed members announced by "size", bounded so that a hostile value cannot make the
// parser allocate without limit.
int memberCount(const QJsonObject& obj)
{
    const int size = obj.value(QStringLiteral("size")).toInt();
    if (size < 0)
        return 0;
    if (size > kMaxDocumentMembers) {
        qWarning("json document size %d exceeds %d, reading the first %d members", size, kMaxDocumentMembers,
                 kMaxDocumentMembers);
        return kMaxDocumentMembers;
    }
    return size;
}

} // namespace

CCommResult serializeTypeIntMsg(int type, int int1, int int2)
{
    QJsonObject o;
    o.insert(QStringLiteral("type"), type);
    o.insert(QStringLiteral("int1"), int1);
    o.insert(QStringLiteral("int2"), int2);
    CCommResult r;
    r.str = compactText(o);
    return r;
}

CCommResult serializeTypeStrMsg(int type, const QString& str1)
{
    QJsonObject o;
    o.insert(QStringLiteral("type"), type);
    o.insert(QStringLiteral("str1"), str1);
    CCommResult r;
    r.str = compactText(o);
    return r;
}

QByteArray serializeResultList(const QList<CCommResult>& results, const QString& title, int type)
{
    QJsonObject doc;
    doc.insert(QStringLiteral("title"), title);
    doc.insert(QStringLiteral("type"), type);
    doc.insert(QStringLiteral("size"), results.size());
    for (int i = 0; i < results.size(); ++i) {
        const CCommResult& r = results.at(i);
        QJsonObject o;
        o.insert(QStringLiteral("descript"), r.str);
        o.insert(QStringLiteral("techlog"), r.log);
        o.insert(QStringLiteral("iRet"), r.iRet);
        o.insert(QStringLiteral("iExtraRet"), r.iExtraRet);
        o.insert(QStringLiteral("iLastErr"), r.iLastErr);
        doc.insert(QString::number(i), o);
    }
    return toCompact(doc);
}

QByteArray serializeSimuRecord(const struSimuRecord& rec)
{
    QJsonObject o;
    o.insert(QStringLiteral("memuIdx"), rec.memuIdx);
    o.insert(QStringLiteral("simuName"), rec.simuName);
    o.insert(QStringLiteral("iPid"), rec.iPid);
    o.insert(QStringLiteral("iState"), rec.iState);
    o.insert(QStringLiteral("iTime"), rec.iTime);
    o.insert(QStringLiteral("iRestErrCnt"), rec.iRestErrCnt);
    return toCompact(o);
}

QJsonObject commandDocObject(const QList<struSimuOper>& opers, const QString& usrName)
{
    QJsonObject doc;
    doc.insert(QStringLiteral("size"), opers.size());
    doc.insert(QStringLiteral("usrName"), usrName);
    for (int i = 0; i < opers.size(); ++i)
        doc.insert(QString::number(i), operToObject(opers.at(i)));
    return doc;
}

QByteArray serializeCommandDoc(const QList<struSimuOper>& opers, const QString& usrName)
{
    return toCompact(commandDocObject(opers, usrName));
}

QByteArray serializeSimuState(const QString& pcName, const QString& memuIdx, int iState, int iTime,
                              int iDaemonModel)
{
    QJsonObject o;
    o.insert(QStringLiteral("pcName"), pcName);
    o.insert(QStringLiteral("memuIdx"), memuIdx);
    o.insert(QStringLiteral("iState"), iState);
    o.insert(QStringLiteral("iTime"), iTime);
    o.insert(QStringLiteral("iDaemonModel"), iDaemonModel);
    return toCompact(o);
}

CCommResult parseObject(const QByteArray& json, QJsonObject& out)
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    QString why;
    if (err.error != QJsonParseError::NoError)
        why = QStringLiteral("%1 at offset %2").arg(err.errorString()).arg(err.offset);
    else if (!doc.isObject())
        why = QStringLiteral("top-level value is not an object");
    if (!why.isEmpty()) {
        // The input goes to the log as text; a very long one is cut so that one bad peer cannot
        // flood the log.
        const int kMaxLogged = 8192;
        QString input = QString::fromUtf8(json.left(kMaxLogged));
        if (json.size() > kMaxLogged)
            input += QStringLiteral("... (%1 bytes)").arg(json.size());
        qWarning("parse json err: %s; input: %s", qUtf8Printable(why), qUtf8Printable(input));
        return CCommResult::failure(ResultCode::ParseJsonFailed, QStringLiteral("解析json出错"), why);
    }
    out = doc.object();
    return CCommResult();
}

CCommResult parseTypeIntMsg(const QString& text, int& type, int& int1, int& int2)
{
    QJsonObject o;
    CCommResult r = parseObject(text.toUtf8(), o);
    if (!r.ok())
        return r;
    type = o.value(QStringLiteral("type")).toInt();
    int1 = o.value(QStringLiteral("int1")).toInt();
    int2 = o.value(QStringLiteral("int2")).toInt();
    return r;
}

CCommResult parseTypeStrMsg(const QString& text)
{
    QJsonObject o;
    CCommResult r = parseObject(text.toUtf8(), o);
    if (!r.ok())
        return r;
    r.iExtraRet = o.value(QStringLiteral("type")).toInt();
    r.str = o.value(QStringLiteral("str1")).toString();
    return r;
}

CCommResult parseResultList(const QByteArray& json, QList<CCommResult>& out)
{
    QJsonObject doc;
    CCommResult r = parseObject(json, doc);
    if (!r.ok())
        return r;
    r.log = doc.value(QStringLiteral("title")).toString();
    r.iExtraRet = doc.value(QStringLiteral("type")).toInt();
    const int n = memberCount(doc);
    for (int i = 0; i < n; ++i) {
        const QJsonObject o = doc.value(QString::number(i)).toObject();
        CCommResult item;
        item.str = o.value(QStringLiteral("descript")).toString();
        item.log = o.value(QStringLiteral("techlog")).toString();
        item.iRet = o.value(QStringLiteral("iRet")).toInt();
        item.iExtraRet = o.value(QStringLiteral("iExtraRet")).toInt();
        item.iLastErr = o.value(QStringLiteral("iLastErr")).toInt();
        out.append(item);
    }
    return r;
}

CCommResult parseSimuRecord(const QByteArray& json, struSimuRecord& out)
{
    QJsonObject o;
    CCommResult r = parseObject(json, o);
    if (!r.ok())
        return r;
    out.memuIdx = o.value(QStringLiteral("memuIdx")).toString();
    out.simuName = o.value(QStringLiteral("simuName")).toString();
    out.iPid = o.value(QStringLiteral("iPid")).toInt();
    out.iState = o.value(QStringLiteral("iState")).toInt();
    out.iTime = o.value(QStringLiteral("iTime")).toInt();
    out.iRestErrCnt = o.value(QStringLiteral("iRestErrCnt")).toInt();
    return r;
}

CCommResult parseCommandDoc(const QByteArray& json, QList<struSimuOper>& out, const QString& peerAddr)
{
    QJsonObject doc;
    CCommResult r = parseObject(json, doc);
    if (!r.ok())
        return r;
    return parseCommandObject(doc, out, peerAddr);
}

CCommResult parseCommandObject(const QJsonObject& doc, QList<struSimuOper>& out, const QString& peerAddr)
{
    CCommResult r;
    r.str = doc.value(QStringLiteral("usrName")).toString();
    const int n = memberCount(doc);
    for (int i = 0; i < n; ++i)
        out.append(operFromObject(doc.value(QString::number(i)).toObject(), peerAddr));
    return r;
}

CCommResult parseSimuState(const QByteArray& json, QString& pcName, QString& memuIdx, int& iState, int& iTime,
                           int& iDaemonModel)
{
    QJsonObject o;
    CCommResult r = parseObject(json, o);
    if (!r.ok())
        return r;
    pcName = o.value(QStringLiteral("pcName")).toString();
    memuIdx = o.value(QStringLiteral("memuIdx")).toString();
    iState = o.value(QStringLiteral("iState")).toInt();
    iTime = o.value(QStringLiteral("iTime")).toInt();
    iDaemonModel = o.value(QStringLiteral("iDaemonModel")).toInt();
    return r;
}

} // namespace JsonCodec
