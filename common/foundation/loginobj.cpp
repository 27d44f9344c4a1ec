#include "loginobj.h"

#include "simusettings.h"
#include "xxtea.h"

#include <QDebug>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>

namespace {
CCommResult codeAndText(int code, const QString& text)
{
    return CCommResult::failure(code, text, text);
}

void readPayload(const QByteArray& plain, CLoginRet& loginRet)
{
    const QJsonObject obj = QJsonDocument::fromJson(plain).object();
    loginRet.iTotals = obj.value(QStringLiteral("totals")).toInt();
    const QJsonValue userId = obj.value(QStringLiteral("userid"));
    loginRet.strUserId = userId.isDouble() ? QString::number(qint64(userId.toDouble())) : QString();
    loginRet.iVipInfoId = obj.value(QStringLiteral("vipinfoid")).toInt();
    loginRet.strNickName = obj.value(QStringLiteral("nickname")).toString();
    loginRet.strToken = obj.value(QStringLiteral("token")).toString();
    // "grouplist" and "productlist" are part of the payload but not used by the programs.
}
} // namespace

LoginObj::LoginObj(const struLoginTimings& timings, QObject* parent) : QObject(parent), m_timings(timings)
{
    registerMetaTypes();
    if (!connect(this, &LoginObj::sigSelfTick, this, &LoginObj::slLoopTick, Qt::QueuedConnection)) {
        qWarning() << "connect LoginObj::sigSelfTick LoginClient::slBeginTick err";
    }
}

void LoginObj::registerMetaTypes()
{
    qRegisterMetaType<CCommResult*>("CCommResult*");
    qRegisterMetaType<CLoginRet*>("CLoginRet*");
}

QString LoginObj::serviceUrl()
{
    return SimuSettings::value(QStringLiteral("account/url"), QStringLiteral(TOVIA_ACCOUNT_URL)).toString();
}

QUrl LoginObj::buildLoginUrl(const QString& strBaseUrl, const QString& strUsr, const QString& strPwd,
                             int iLoadProduct)
{
    QString base = strBaseUrl.trimmed();
    while (base.endsWith(QLatin1Char('/'))) {
        base.chop(1);
    }
    const QByteArray query = "/api/act.aspx?qt=5001&account=" + QUrl::toPercentEncoding(strUsr) +
                             "&password=" + QUrl::toPercentEncoding(strPwd) +
                             "&loadproduct=" + QByteArray::number(iLoadProduct);
    return QUrl::fromEncoded(base.toUtf8() + query, QUrl::StrictMode);
}

void LoginObj::Wait2CallLogin()
{
    qDebug() << "LoginObj thread:" << QThread::currentThreadId();
    // A timer rather than a sleep, so a manual login is served at once during the wait.
    QTimer::singleShot(m_timings.iAutoLoginDelayMs, this, [this]() {
        emit BeginAutoLogin();
        qDebug() << "emit BeginAutoLogin over";
    });
}

void LoginObj::slLogin(QString strUsr, QString strPwd, int iLoginType)
{
    qDebug() << "slLogin:" << strUsr;
    if (m_bPending) {
        qWarning() << "slLogin: a login is running already, request of" << strUsr << "dropped";
        return;
    }
    m_bPending = true;
    emit sigSelfTick();

    auto* pLoginRet = new CLoginRet;
    pLoginRet->iLoginType = iLoginType;
    auto* pRet = new CCommResult(request(strUsr, strPwd, *pLoginRet));

    m_bPending = false;
    if (QThread::currentThread()->isInterruptionRequested()) {
        // The dialog is going away: nobody would receive (and free) the records.
        delete pRet;
        delete pLoginRet;
        qDebug() << "slLogin end (dialog closed)";
        return;
    }
    emit sigLoginFinished(pRet, pLoginRet);
    qDebug() << "slLogin end";
}

CCommResult LoginObj::request(const QString& strUsr, const QString& strPwd, CLoginRet& loginRet)
{
    QNetworkAccessManager nam;
    QNetworkReply* pReply = nam.get(QNetworkRequest(buildLoginUrl(serviceUrl(), strUsr, strPwd)));
    QTimer timer;
    timer.setSingleShot(true);
    QEventLoop loop;
    connect(pReply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(m_timings.iRequestTimeoutMs);
    if (!pReply->isFinished()) {
        loop.exec();
    }
    if (!pReply->isFinished()) {
        // The time-out fired (or the thread is being stopped).
        pReply->abort();
        delete pReply;
        CCommResult ret = CCommResult::failure(LoginCode::Timeout, QStringLiteral("网络连接超时"));
        ret.log = QStringLiteral("no reply from %1 within %2 ms")
                      .arg(serviceUrl())
                      .arg(m_timings.iRequestTimeoutMs);
        return ret;
    }
    const QByteArray body = pReply->readAll();
    const QString netError = pReply->error() == QNetworkReply::NoError ? QString() : pReply->errorString();
    delete pReply;
    if (body.isEmpty()) {
        CCommResult ret = CCommResult::failure(LoginCode::EmptyReply,
                                               QStringLiteral("服务器返回的数据为空，请检查网络连接"));
        ret.log = QStringLiteral("empty reply from %1 %2").arg(serviceUrl(), netError);
        return ret;
    }
    return parseLoginReply(body, loginRet);
}

CCommResult LoginObj::parseLoginReply(const QByteArray& body, CLoginRet& loginRet)
{
    qDebug().noquote() << "login reply:" << QString::fromUtf8(body.constData());
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &err);
    if (err.error != QJsonParseError::NoError) {
        return codeAndText(LoginCode::ParseJsonFailed, QStringLiteral("解析json失败"));
    }
    if (!doc.isObject()) {
        return codeAndText(LoginCode::JsonFormat, QStringLiteral("json格式错误"));
    }
    const QJsonObject obj = doc.object();
    if (!obj.contains(QStringLiteral("ResultCode"))) {
        return codeAndText(LoginCode::JsonFormat, QStringLiteral("json格式错误,没有ResultCode"));
    }
    const QJsonValue code = obj.value(QStringLiteral("ResultCode"));
    if (!code.isString()) {
        return codeAndText(LoginCode::JsonFormat, QStringLiteral("ResultCode的值不是string类型"));
    }
    if (code.toString() != QLatin1String("0")) {
        const QString message = obj.value(QStringLiteral("ResultMessage")).toString();
        return CCommResult::failure(LoginCode::Refused, message,
                                    QStringLiteral("ResultCode:") + code.toString() +
                                        QStringLiteral(";ResultMessage:") + message);
    }
    const QByteArray cipher = QByteArray::fromBase64(obj.value(QStringLiteral("Data")).toString().toLatin1());
    readPayload(xxteaDecrypt(cipher, toviaPayloadKey()), loginRet);
    return CCommResult();
}

void LoginObj::slLoopTick()
{
    if (m_bTickScheduled) {
        return; // one tick chain at a time
    }
    m_bTickScheduled = true;
    QTimer::singleShot(m_timings.iTickMs, this, [this]() {
        m_bTickScheduled = false;
        if (m_bPending) {
            emit sigTick();
            emit sigSelfTick();
        }
    });
}
