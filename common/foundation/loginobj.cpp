#include "loginobj.h"

#include "farmkey.h"
#include "simusettings.h"
#include "xxtea.h"

#include <QDebug>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QThread>
#include <QTimer>

namespace {
CCommResult codeAndText(int code, const QString& text)
{
    return CCommResult::failure(code, text, text);
}

// The payload must be the account's record; anything else (no payload, a payload that does not
// decrypt, a record without id or token) means the service could not produce one.
bool readPayload(const QByteArray& plain, CLoginRet& loginRet)
{
    const QJsonDocument doc = QJsonDocument::fromJson(plain);
    const QJsonObject obj = doc.object();
    const QJsonValue userId = obj.value(QStringLiteral("userid"));
    const QJsonValue token = obj.value(QStringLiteral("token"));
    if (!doc.isObject() || !userId.isDouble() || !token.isString() || token.toString().isEmpty())
        return false;
    loginRet.iTotals = obj.value(QStringLiteral("totals")).toInt();
    loginRet.strUserId = QString::number(qint64(userId.toDouble()));
    loginRet.iVipInfoId = obj.value(QStringLiteral("vipinfoid")).toInt();
    loginRet.strNickName = obj.value(QStringLiteral("nickname")).toString();
    loginRet.strToken = token.toString();
    // "grouplist" and "productlist" are part of the payload but not used by the programs.
    return true;
}

QString sslErrorText(const QList<QSslError>& errors)
{
    QStringList texts;
    for (const QSslError& e : errors)
        texts << e.errorString();
    return texts.join(QStringLiteral("; "));
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

QString LoginObj::caFile()
{
    return SimuSettings::value(QStringLiteral("account/caFile")).toString().trimmed();
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
    if (pRet->iRet == 0)
        pLoginRet->baFarmKey = FarmKey::derive(strUsr, strPwd);

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

// An https address: the system's certificates plus those of the configured CA file, peer verified.
CCommResult LoginObj::prepareRequest(QNetworkRequest& request)
{
    if (request.url().scheme() != QLatin1String("https"))
        return CCommResult();
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
    const QString path = caFile();
    if (!path.isEmpty()) {
        const QList<QSslCertificate> certs = QSslCertificate::fromPath(path, QSsl::Pem);
        if (certs.isEmpty()) {
            CCommResult ret =
                CCommResult::failure(LoginCode::TlsFailed, QStringLiteral("无法读取服务器证书文件"));
            ret.log = QStringLiteral("account/caFile %1 holds no PEM certificate").arg(path);
            return ret;
        }
        conf.setCaCertificates(conf.caCertificates() + certs);
    }
    request.setSslConfiguration(conf);
    return CCommResult();
}

CCommResult LoginObj::request(const QString& strUsr, const QString& strPwd, CLoginRet& loginRet)
{
    QNetworkRequest req(buildLoginUrl(serviceUrl(), strUsr, strPwd));
    const CCommResult prepared = prepareRequest(req);
    if (prepared.iRet != 0)
        return prepared;
    QNetworkAccessManager nam;
    QNetworkReply* pReply = nam.get(req);
    QList<QSslError> sslErrors;
    connect(pReply, &QNetworkReply::sslErrors, pReply,
            [&sslErrors](const QList<QSslError>& errors) { sslErrors += errors; });
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
    const QNetworkReply::NetworkError netCode = pReply->error();
    const QString netError = netCode == QNetworkReply::NoError ? QString() : pReply->errorString();
    delete pReply;
    if (netCode == QNetworkReply::SslHandshakeFailedError || !sslErrors.isEmpty()) {
        CCommResult ret = CCommResult::failure(LoginCode::TlsFailed, QStringLiteral("服务器证书验证失败"));
        ret.log = QStringLiteral("certificate of %1 refused: %2 %3")
                      .arg(serviceUrl(), sslErrorText(sslErrors), netError);
        return ret;
    }
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
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &err);
    if (err.error != QJsonParseError::NoError) {
        return codeAndText(LoginCode::ParseJsonFailed, QStringLiteral("解析json失败"));
    }
    if (!doc.isObject()) {
        return codeAndText(LoginCode::JsonFormat, QStringLiteral("json格式错误"));
    }
    const QJsonObject obj = doc.object();
    // The payload carries the account's token: the log gets its size only.
    qDebug().noquote() << "login reply: ResultCode"
                       << obj.value(QStringLiteral("ResultCode")).toVariant().toString() << "ResultMessage"
                       << obj.value(QStringLiteral("ResultMessage")).toString() << "Data"
                       << obj.value(QStringLiteral("Data")).toString().size() << "characters";
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
    if (!readPayload(xxteaDecrypt(cipher, toviaPayloadKey()), loginRet)) {
        CCommResult ret = CCommResult::failure(
            LoginCode::Unverified, QStringLiteral("登录失败：服务器的应答无法验证，请确认服务器地址"));
        ret.log = QStringLiteral("ResultCode 0 without a payload that decrypts to the account's record");
        return ret;
    }
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
