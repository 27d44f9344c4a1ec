#include "accountservice.h"

#include "xxtea.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
constexpr int kProductId = 105;

QByteArray resultJson(const QString& code, const QString& message, const QString& data = QString())
{
    QJsonObject obj{{QStringLiteral("ResultCode"), code}, {QStringLiteral("ResultMessage"), message}};
    if (!data.isNull()) {
        obj.insert(QStringLiteral("Data"), data);
    }
    return QJsonDocument(obj).toJson(QJsonDocument::Compact);
}
} // namespace

AccountService::AccountService(AccountDb& db, const QByteArray& payloadKey,
                               const struThrottlePolicy& throttle)
    : m_db(db), m_payloadKey(payloadKey), m_throttle(throttle)
{
}

struActAnswer AccountService::handleAct(const QMap<QString, QString>& params, const QString& address)
{
    if (!params.contains(QStringLiteral("qt"))) {
        return refusal(400, kBadRequest, QStringLiteral("缺少参数qt"), QStringLiteral("missing qt"));
    }
    const QString qt = params.value(QStringLiteral("qt"));
    if (qt == QLatin1String("5001")) {
        return login(params, address);
    }
    return refusal(400, kBadRequest, QStringLiteral("不支持的请求类型qt=%1").arg(qt),
                   QStringLiteral("unknown qt=%1").arg(qt));
}

struActAnswer AccountService::notFound(const QString& path)
{
    return refusal(404, kNotFound, QStringLiteral("没有这个接口%1").arg(path),
                   QStringLiteral("no such path"));
}

struActAnswer AccountService::login(const QMap<QString, QString>& params, const QString& address)
{
    for (const char* key : {"account", "password"}) {
        if (!params.contains(QLatin1String(key))) {
            return refusal(400, kBadRequest, QStringLiteral("缺少参数%1").arg(QLatin1String(key)),
                           QStringLiteral("login without %1").arg(QLatin1String(key)));
        }
    }
    const QString name = params.value(QStringLiteral("account"));
    const qint64 lockedMs = m_throttle.lockedForMs(name, address);
    if (lockedMs > 0) {
        const qint64 seconds = (lockedMs + 999) / 1000;
        return refusal(429, kTooManyFailures, QStringLiteral("登录失败次数过多，请%1秒后再试").arg(seconds),
                       QStringLiteral("login %1 refused unchecked: locked for %2 ms after failures")
                           .arg(name)
                           .arg(lockedMs));
    }
    const bool loadProduct = params.value(QStringLiteral("loadproduct")) == QLatin1String("1");
    const QString token = randomHex(16);
    struAccount acc;
    QString err;
    switch (m_db.login(name, params.value(QStringLiteral("password")), token, acc, err)) {
    case AccountDb::Check::BadCredentials:
        return refusal(
            200, kBadCredentials, QStringLiteral("用户名或密码错误"),
            QStringLiteral("login %1 refused (%2)").arg(name, m_throttle.recordFailure(name, address)));
    case AccountDb::Check::Error:
        return refusal(500, kServerError, QStringLiteral("服务器内部错误"),
                       QStringLiteral("login %1: database error %2").arg(name, err));
    case AccountDb::Check::Ok:
        m_throttle.recordSuccess(name);
        break;
    }
    struActAnswer ans;
    const QByteArray cipher = xxteaEncrypt(payload(acc, token, loadProduct), m_payloadKey);
    ans.body =
        resultJson(QStringLiteral("0"), QStringLiteral("登录成功"), QString::fromLatin1(cipher.toBase64()));
    ans.note = QStringLiteral("login %1 ok (userid %2)").arg(name).arg(acc.id);
    return ans;
}

QByteArray AccountService::payload(const struAccount& acc, const QString& token, bool loadProduct) const
{
    QJsonArray equipment;
    if (loadProduct) {
        equipment.append(QJsonObject{{QStringLiteral("equipmentid"), 1},
                                     {QStringLiteral("equipmentname"), QStringLiteral("模拟器")}});
    }
    const QJsonObject product{{QStringLiteral("productid"), kProductId},
                              {QStringLiteral("productname"), QStringLiteral("Tovia模拟器版")},
                              {QStringLiteral("productequipmentlist"), equipment}};
    const QJsonObject obj{{QStringLiteral("totals"), acc.logins},
                          {QStringLiteral("userid"), double(acc.id)},
                          {QStringLiteral("vipinfoid"), acc.vipInfoId},
                          {QStringLiteral("nickname"), acc.nick},
                          {QStringLiteral("token"), token},
                          {QStringLiteral("grouplist"), QJsonArray()},
                          {QStringLiteral("productlist"), product}};
    return QJsonDocument(obj).toJson(QJsonDocument::Compact);
}

struActAnswer AccountService::refusal(int status, int code, const QString& message, const QString& note)
{
    struActAnswer ans;
    ans.status = status;
    ans.body = resultJson(QString::number(code), message);
    ans.note = note;
    return ans;
}
