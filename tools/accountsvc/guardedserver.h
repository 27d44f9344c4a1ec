#pragma once

#include <QString>
#include <httplib.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

// The account service's HTTP server, hardened against clients that hold it up or flood it:
//   - every request must arrive whole (TLS handshake, headers and body) within a time limit, and
//     within a byte limit: a slow or endless client is cut off and logged, never waited for;
//   - at most a few connections per client address at once: further ones are closed at once, so
//     a handful of slow clients cannot take every worker;
//   - one request per connection, answered with "Connection: close";
//   - optionally HTTPS (useTls), TLS 1.2 or newer, with a PEM certificate and key.
// The routing and the request parsing are cpp-httplib's; only the connection handling is ours.
class GuardedServer : public httplib::Server
{
public:
    struct struLimits
    {
        int maxConnectionsPerAddress = 4;
        int requestTimeoutMs = 5000; // handshake, request line, headers and body together
        int writeTimeoutMs = 5000;
        size_t maxRequestBytes = 64 * 1024;
        int workerThreads = 32;
    };
    using Logger = std::function<void(const QString&)>;

    GuardedServer(const struLimits& limits, Logger logger);
    ~GuardedServer() override;

    // Serves HTTPS from now on. False, with the reason, when the files do not make a usable pair.
    bool useTls(const QString& certFile, const QString& keyFile, QString& error);
    bool usesTls() const { return m_pTlsCtx != nullptr; }

private:
    bool process_and_close_socket(socket_t sock) override;
    bool admit(const std::string& address);
    void release(const std::string& address);

    struLimits m_limits;
    Logger m_logger;
    SSL_CTX* m_pTlsCtx = nullptr;
    std::mutex m_mutex;
    std::map<std::string, int> m_openPerAddress;
};
