#pragma once

#include "commresult.h"
#include "loginret.h"

#include <QObject>
#include <QUrl>

class QNetworkRequest;

// Waits of the login module; tests shorten them.
struct struLoginTimings
{
    int iAutoLoginDelayMs = 3000;  // from the worker's start to the automatic login
    int iRequestTimeoutMs = 10000; // for the whole HTTP exchange
    int iTickMs = 1000;            // period of the button's "..." animation while a login runs
    int iAutoLoginRetryMs = 30000; // pause before an automatic login that found no service runs again
};

// Result codes of a login.
namespace LoginCode {
constexpr int ParseJsonFailed = 1; // "解析json失败"
constexpr int JsonFormat = 2;      // "json格式错误", no or mistyped ResultCode
constexpr int Refused = 3;         // the service's ResultMessage
constexpr int Unverified = 4;      // "0" without a payload that decrypts to the account's record
constexpr int TlsFailed = 5;       // the https service's certificate is not trusted (or no CA file)
constexpr int EmptyReply = 48;     // "服务器返回的数据为空，请检查网络连接"
constexpr int Timeout = 49;        // "网络连接超时"
} // namespace LoginCode

// The login worker. It lives in a thread of its own and is reached only through queued signals:
// sigLogin(user, password, type) -> slLogin, which answers with sigLoginFinished(result, login).
// The receiver of sigLoginFinished owns and deletes both records.
class LoginObj : public QObject
{
    Q_OBJECT
public:
    explicit LoginObj(const struLoginTimings& timings = struLoginTimings(), QObject* parent = nullptr);

    // The account service's address: settings key "account/url", by default the build's address.
    // An https address has its certificate checked against the system's certificates and, when the
    // settings key "account/caFile" names one, the certificates of that PEM file.
    static QString serviceUrl();
    static QString caFile();
    // GET address of a login; user name and password are percent-encoded (UTF-8).
    static QUrl buildLoginUrl(const QString& strBaseUrl, const QString& strUsr, const QString& strPwd,
                              int iLoadProduct = 0);
    // Reads a reply body into the result (iRet 0 on success) and, on success, into pLoginRet. A
    // reply counts as a login only when its payload decrypts to the account's record (a JSON object
    // with a numeric "userid" and a "token"): a service that merely answers "0" proves nothing.
    static CCommResult parseLoginReply(const QByteArray& body, CLoginRet& loginRet);
    // Registers CCommResult* and CLoginRet* for queued signals; called by the constructor.
    static void registerMetaTypes();

signals:
    void BeginAutoLogin();
    void sigLoginFinished(CCommResult* cRet, CLoginRet* pLoginRet);
    void sigTick();
    void sigSelfTick();

public slots:
    // Connected to the thread's started: announces the automatic login after the delay.
    void Wait2CallLogin();
    void slLogin(QString strUsr, QString strPwd, int iLoginType);
    void slLoopTick();

private:
    CCommResult request(const QString& strUsr, const QString& strPwd, CLoginRet& loginRet);
    static CCommResult prepareRequest(QNetworkRequest& request);

    struLoginTimings m_timings;
    bool m_bPending = false;
    bool m_bTickScheduled = false;
};
