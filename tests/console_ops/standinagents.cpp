#include "standinagents.h"

#include "jsoncodec.h"
#include "jsonsplitter.h"

#include <QDeadlineTimer>
#include <QTest>

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

RecordingAgent::RecordingAgent(const QHostAddress& at)
{
    m_server.listen(at, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = m_server.nextPendingConnection()) {
            const int at = conns.size();
            conns.append(Conn());
            connect(s, &QTcpSocket::readyRead, this, [this, s, at] { conns[at].bytes += s->readAll(); });
            connect(s, &QTcpSocket::disconnected, this, [this, s, at] { ended(at, s); });
        }
    });
}

void RecordingAgent::ended(int at, QTcpSocket* pSocket)
{
    Conn& c = conns[at];
    c.bytes += pSocket->readAll();
    pSocket->deleteLater();
    JsonSplitter sp;
    sp.append(c.bytes);
    QByteArray doc;
    if (sp.next(doc) == JsonSplitter::Complete) {
        c.usrName = JsonCodec::parseCommandDoc(doc, c.opers, QString()).str;
        c.file = sp.takeBuffered();
    }
    c.ended = true;
    received << c.bytes;
    if (!c.opers.isEmpty())
        docs << c.opers;
}

bool RecordingAgent::waitEnded(int n, int ms)
{
    QDeadlineTimer d(ms);
    while (!d.hasExpired() && (conns.size() < n || !conns.at(n - 1).ended))
        QTest::qWait(5);
    return conns.size() >= n && conns.at(n - 1).ended;
}

BlackHole::~BlackHole()
{
#ifdef Q_OS_LINUX
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

bool BlackHole::open(const char* addr, quint16 port)
{
#ifdef Q_OS_LINUX
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, addr, &a.sin_addr);
    socklen_t len = sizeof a;
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(m_fd, 0) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return false;
    m_port = ntohs(a.sin_port);
    m_filler.connectToHost(QString::fromLatin1(addr), m_port);
    return m_filler.waitForConnected(2000);
#else
    Q_UNUSED(addr);
    Q_UNUSED(port);
    return false;
#endif
}
