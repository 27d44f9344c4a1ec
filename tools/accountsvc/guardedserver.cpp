#include "guardedserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

using SteadyClock = std::chrono::steady_clock;

std::string peerAddress(int sock)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    char text[INET6_ADDRSTRLEN] = {};
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return std::string();
    if (addr.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&addr)->sin_addr, text, sizeof(text));
    else if (addr.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr, text, sizeof(text));
    return text;
}

void addressAndPort(int sock, bool peer, std::string& ip, int& port)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    const int rc = peer ? getpeername(sock, reinterpret_cast<sockaddr*>(&addr), &len)
                        : getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len);
    char text[INET6_ADDRSTRLEN] = {};
    port = 0;
    if (rc == 0 && addr.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<sockaddr_in*>(&addr);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof(text));
        port = ntohs(a->sin_port);
    } else if (rc == 0 && addr.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof(text));
        port = ntohs(a->sin6_port);
    }
    ip = text;
}

// One connection, plain or TLS, on a non-blocking socket: reads end at the request's deadline or
// its byte limit, writes at their own time limit.
class GuardedStream : public httplib::Stream
{
public:
    GuardedStream(int sock, SSL* ssl, SteadyClock::time_point deadline, size_t maxBytes, int writeTimeoutMs)
        : m_sock(sock), m_pSsl(ssl), m_deadline(deadline), m_maxBytes(maxBytes),
          m_writeTimeoutMs(writeTimeoutMs)
    {
    }

    bool timedOut() const { return m_bTimedOut; }
    bool tooLarge() const { return m_bTooLarge; }

    bool is_readable() const override { return pending() || waitUntil(POLLIN, m_deadline); }
    bool is_writable() const override { return waitFor(POLLOUT, m_writeTimeoutMs); }

    ssize_t read(char* ptr, size_t size) override
    {
        if (m_read >= m_maxBytes) {
            m_bTooLarge = true;
            return -1;
        }
        size = std::min(size, m_maxBytes - m_read);
        for (;;) {
            const ssize_t n = m_pSsl ? SSL_read(m_pSsl, ptr, int(std::min<size_t>(size, 1 << 30)))
                                     : ::recv(m_sock, ptr, size, 0);
            if (n > 0) {
                m_read += size_t(n);
                return n;
            }
            const int wait = wantedEvent(n);
            if (wait == 0)
                return n == 0 ? 0 : -1;
            if (!waitUntil(wait, m_deadline)) {
                m_bTimedOut = true;
                return -1;
            }
        }
    }

    ssize_t write(const char* ptr, size_t size) override
    {
        size_t done = 0;
        const auto until = SteadyClock::now() + std::chrono::milliseconds(m_writeTimeoutMs);
        while (done < size) {
            const size_t chunk = std::min<size_t>(size - done, 1 << 30);
            const ssize_t n = m_pSsl ? SSL_write(m_pSsl, ptr + done, int(chunk))
                                     : ::send(m_sock, ptr + done, chunk, MSG_NOSIGNAL);
            if (n > 0) {
                done += size_t(n);
                continue;
            }
            const int wait = wantedEvent(n, POLLOUT);
            if (wait == 0 || !waitUntil(wait, until))
                return -1;
        }
        return ssize_t(size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        addressAndPort(m_sock, true, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        addressAndPort(m_sock, false, ip, port);
    }
    socket_t socket() const override { return m_sock; }

    // TLS handshake within the request's deadline.
    bool handshake()
    {
        for (;;) {
            const int rc = SSL_accept(m_pSsl);
            if (rc == 1)
                return true;
            const int wait = wantedEvent(rc);
            if (wait == 0)
                return false;
            if (!waitUntil(wait, m_deadline)) {
                m_bTimedOut = true;
                return false;
            }
        }
    }

private:
    bool pending() const { return m_pSsl && SSL_pending(m_pSsl) > 0; }

    // What to wait for before the call that returned rc can be tried again; 0: it failed for good.
    // plainEvent: what a plain socket waits for (POLLIN for reads, POLLOUT for writes).
    int wantedEvent(ssize_t rc, int plainEvent = POLLIN) const
    {
        if (m_pSsl) {
            const int err = SSL_get_error(m_pSsl, int(rc));
            if (err == SSL_ERROR_WANT_READ)
                return POLLIN;
            if (err == SSL_ERROR_WANT_WRITE)
                return POLLOUT;
            return 0;
        }
        if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return plainEvent;
        return 0;
    }

    bool waitUntil(int events, SteadyClock::time_point until) const
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - SteadyClock::now()).count();
        return left > 0 && waitFor(events, int(left));
    }

    bool waitFor(int events, int ms) const
    {
        pollfd pfd{m_sock, short(events), 0};
        int rc = 0;
        do {
            rc = ::poll(&pfd, 1, ms);
        } while (rc < 0 && errno == EINTR);
        return rc > 0 && (pfd.revents & (events | POLLHUP | POLLERR));
    }

    int m_sock;
    SSL* m_pSsl;
    SteadyClock::time_point m_deadline;
    size_t m_maxBytes;
    int m_writeTimeoutMs;
    size_t m_read = 0;
    bool m_bTimedOut = false;
    bool m_bTooLarge = false;
};

} // namespace

GuardedServer::GuardedServer(const struLimits& limits, Logger logger)
    : m_limits(limits), m_logger(std::move(logger))
{
    const int threads = m_limits.workerThreads;
    new_task_queue = [threads] { return new httplib::ThreadPool(size_t(threads)); };
    set_payload_max_length(m_limits.maxRequestBytes);
    set_keep_alive_max_count(1);
}

GuardedServer::~GuardedServer()
{
    SSL_CTX_free(m_pTlsCtx);
}

bool GuardedServer::useTls(const QString& certFile, const QString& keyFile, QString& error)
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    const QByteArray cert = certFile.toLocal8Bit();
    const QByteArray key = keyFile.toLocal8Bit();
    const bool ok = ctx && SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
                    SSL_CTX_use_certificate_chain_file(ctx, cert.constData()) == 1 &&
                    SSL_CTX_use_PrivateKey_file(ctx, key.constData(), SSL_FILETYPE_PEM) == 1 &&
                    SSL_CTX_check_private_key(ctx) == 1;
    if (!ok) {
        char text[256] = {};
        ERR_error_string_n(ERR_get_error(), text, sizeof(text));
        error = QStringLiteral("certificate %1 / key %2 not usable: %3")
                    .arg(certFile, keyFile, QString::fromLatin1(text));
        SSL_CTX_free(ctx);
        return false;
    }
    SSL_CTX_free(m_pTlsCtx);
    m_pTlsCtx = ctx;
    return true;
}

bool GuardedServer::admit(const std::string& address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int& open = m_openPerAddress[address];
    if (open >= m_limits.maxConnectionsPerAddress)
        return false;
    ++open;
    return true;
}

void GuardedServer::release(const std::string& address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_openPerAddress.find(address);
    if (it != m_openPerAddress.end() && --it->second <= 0)
        m_openPerAddress.erase(it);
}

bool GuardedServer::process_and_close_socket(socket_t sock)
{
    const std::string address = peerAddress(sock);
    const QString who = QString::fromStdString(address);
    if (!admit(address)) {
        m_logger(QStringLiteral("%1: connection refused, %2 open already")
                     .arg(who)
                     .arg(m_limits.maxConnectionsPerAddress));
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return false;
    }
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
    SSL* ssl = m_pTlsCtx ? SSL_new(m_pTlsCtx) : nullptr;
    if (ssl)
        SSL_set_fd(ssl, sock);
    GuardedStream strm(sock, ssl, SteadyClock::now() + std::chrono::milliseconds(m_limits.requestTimeoutMs),
                       m_limits.maxRequestBytes, m_limits.writeTimeoutMs);
    bool served = false;
    if (!ssl || strm.handshake()) {
        bool closed = false;
        served = process_request(strm, true, closed, nullptr);
    } else if (!strm.timedOut()) {
        m_logger(QStringLiteral("%1: TLS handshake failed").arg(who));
    }
    if (strm.timedOut())
        m_logger(QStringLiteral("%1: request not complete within %2 ms, connection closed")
                     .arg(who)
                     .arg(m_limits.requestTimeoutMs));
    if (strm.tooLarge())
        m_logger(QStringLiteral("%1: request larger than %2 bytes, connection closed")
                     .arg(who)
                     .arg(m_limits.maxRequestBytes));
    if (ssl) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    release(address);
    return served;
}
