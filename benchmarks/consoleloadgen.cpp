// Load generator for the console benchmark: answers the console's discovery queries like a LAN of
// many agent PCs. The replies are recorded once from the agent's own responder over a simulated MEmu
// farm (every instance running, one thumbnail each), then replayed under the names of the PCs, with
// each round's state time one higher so that every report is news to the console.
//
// It also plays the agents' command servers: one TCP port on loopback that takes every PC's command
// documents (all PCs answer at 127.0.0.1), reads each connection to its end, and, with --cmd-delay,
// holds each connection that long before it reads, like a slow or stalled agent.
//
//   consoleloadgen [--agents N] [--simus M] [--port P] [--cmd-delay MS] [--link-mbps R]
// --link-mbps paces each answer to that many megabits per second, as the LAN's link would (0: as fast
// as loopback takes them, far faster than any LAN).
// Prints "listening on <port>" and "commands on <port>" once ready, then "sent <type> <datagrams>
// <total>" after each answer and "command <connections> <bytes>" after each command connection.
// Needs farmsim in TOVIA_BIN_DIR.
#include "discovery.h"
#include "farmfixture.h"
#include "loginret.h"
#include "simusettings.h"
#include "udprceiverobj.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QNetworkDatagram>
#include <QPainter>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>
#include <cstring>
#include <sys/socket.h>

namespace {

QImage screen(int seed)
{
    QImage img(270, 480, QImage::Format_RGB32);
    img.fill(QColor::fromHsv(seed * 37 % 360, 140, 120));
    QPainter p(&img);
    for (int y = 0; y < 480; y += 60)
        p.fillRect(20, y + 10, 230, 30, QColor::fromHsv((seed * 11 + y) % 360, 200, 220));
    p.setPen(Qt::white);
    p.drawText(img.rect(), Qt::AlignCenter, QStringLiteral("模拟器 %1").arg(seed));
    return img;
}

// A recorded reply under another PC's name.
QByteArray renamed(const QByteArray& recorded, const QString& pcName, const QString& nick, bool setNick)
{
    struPcUdpInfo h;
    std::memcpy(static_cast<void*>(&h), recorded.constData(), sizeof(h));
    h.setPcName(pcName);
    if (setNick)
        h.setNickName(nick);
    return h.toBytes() + recorded.mid(Discovery::kHeaderSize);
}

class LoadGen : public QObject
{
public:
    LoadGen(const QList<QByteArray>& pcInfo, const QList<QByteArray>& states, int agents, int linkMbps)
        : m_linkMbps(linkMbps)
    {
        for (int a = 0; a < agents; ++a) {
            const QString name = QStringLiteral("BENCH-PC-%1").arg(a, 3, 10, QLatin1Char('0'));
            const QString nick = QStringLiteral("机房%1").arg(a);
            for (const QByteArray& d : pcInfo)
                m_pcInfo.append(renamed(d, name, nick, true));
            for (const QByteArray& d : states)
                m_states.append(renamed(d, name, nick, false));
        }
    }

    bool listen(quint16 port)
    {
        if (!m_socket.bind(QHostAddress::LocalHost, port))
            return false;
        m_socket.setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 8 * 1024 * 1024);
        connect(&m_socket, &QUdpSocket::readyRead, this, [this] { answer(); });
        std::printf("listening on %u\n", unsigned(m_socket.localPort()));
        std::fflush(stdout);
        return true;
    }

    bool listenCommands(int delayMs)
    {
        if (!m_commands.listen(QHostAddress::LocalHost, 0))
            return false;
        // Every PC of a large LAN connects at once, as one host here: Qt listens with a queue of 50,
        // and a connection beyond it waits for the client's retry of its SYN (1 s, 3 s, 7 s, ...).
        ::listen(int(m_commands.socketDescriptor()), 4096);
        m_commands.setMaxPendingConnections(4096);
        connect(&m_commands, &QTcpServer::newConnection, this, [this, delayMs] {
            while (QTcpSocket* s = m_commands.nextPendingConnection())
                QTimer::singleShot(delayMs, s, [this, s] { take(s); });
        });
        std::printf("commands on %u\n", unsigned(m_commands.serverPort()));
        std::fflush(stdout);
        return true;
    }

private:
    void take(QTcpSocket* s)
    {
        const auto drain = [this, s] { m_commandBytes += s->readAll().size(); };
        const auto finish = [this, s, drain] {
            drain();
            std::printf("command %lld %lld\n", ++m_commandConns, m_commandBytes);
            std::fflush(stdout);
            s->disconnect(this);
            s->deleteLater();
        };
        connect(s, &QTcpSocket::readyRead, this, drain);
        if (s->state() != QAbstractSocket::ConnectedState)
            finish(); // the console closed it while it was held
        else
            connect(s, &QTcpSocket::disconnected, this, finish);
    }

    void answer()
    {
        while (m_socket.hasPendingDatagrams()) {
            const QNetworkDatagram q = m_socket.receiveDatagram();
            int type = -1;
            QString user;
            if (!Discovery::parseQuery(q.data(), type, user).ok())
                continue;
            int sent = 0;
            m_answerClock.start();
            m_answerBytes = 0;
            if (type == Discovery::eQueryPcInfo) {
                for (const QByteArray& d : qAsConst(m_pcInfo))
                    sent += send(d, q) ? 1 : 0;
            } else {
                ++m_round;
                char time[4];
                qToLittleEndian<qint32>(m_round, time); // state time: one newer each round
                for (QByteArray d : qAsConst(m_states)) {
                    d.replace(264, 4, time, 4);
                    sent += send(d, q) ? 1 : 0;
                }
            }
            m_total += sent;
            std::printf("sent %d %d %lld\n", type, sent, m_total);
            std::fflush(stdout);
        }
    }

    // Waits until the link would have carried what was sent of this answer so far.
    void pace(int bytes)
    {
        if (m_linkMbps <= 0)
            return;
        m_answerBytes += bytes;
        const qint64 dueUs = m_answerBytes * 8 / m_linkMbps;
        const qint64 aheadUs = dueUs - m_answerClock.nsecsElapsed() / 1000;
        if (aheadUs > 200)
            QThread::usleep(quint64(aheadUs));
    }

    bool send(const QByteArray& d, const QNetworkDatagram& q)
    {
        pace(int(d.size()));
        // A full send buffer is waited out rather than counted as a console's loss.
        for (int tries = 0; tries < 1000; ++tries) {
            if (m_socket.writeDatagram(d, q.senderAddress(), quint16(q.senderPort())) == d.size())
                return true;
            m_socket.waitForBytesWritten(1);
        }
        std::fprintf(stderr, "loadgen: a datagram could not be sent\n");
        return false;
    }

    QUdpSocket m_socket;
    QTcpServer m_commands;
    long long m_commandConns = 0;
    long long m_commandBytes = 0;
    QList<QByteArray> m_pcInfo;
    QList<QByteArray> m_states;
    int m_round = 1000;
    long long m_total = 0;
    int m_linkMbps = 0;
    QElapsedTimer m_answerClock;
    qint64 m_answerBytes = 0;
};

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({"agents", "agent PCs", "N", "100"});
    parser.addOption({"simus", "emulators per PC", "M", "50"});
    parser.addOption({"port", "query port (0: any free)", "P", "0"});
    parser.addOption({"cmd-delay", "ms each command connection is held before it is read", "MS", "0"});
    parser.addOption({"link-mbps", "pace each answer to this link speed (0: unpaced)", "R", "0"});
    parser.process(app);
    const int agents = parser.value("agents").toInt();
    const int simus = qBound(1, parser.value("simus").toInt(), Discovery::kMaxSimuEntries);

    FarmFixture farm;
    if (!farm.init(FarmFixture::MEmu, simus)) {
        std::fprintf(stderr, "loadgen: %s\n", qUtf8Printable(farm.error()));
        return 1;
    }
    CLoginRet login;
    login.strUserName = QStringLiteral("bench");
    LoginRecord::set(login);
    SimuSettings::setPcNickName(QStringLiteral("机房"));
    SimuSettings::setRunLimit(simus);
    UdpRceiverObj recorder(0, QHostAddress::LocalHost);
    const QList<QByteArray> pcInfo =
        recorder.buildReplies(Discovery::eQueryPcInfo, QStringLiteral("127.0.0.1"));
    QStringList running;
    Discovery::struDecodedReply dec;
    Discovery::decodeReply(pcInfo.value(0), dec);
    for (int i = 0; i < dec.simus.size(); ++i) {
        const QString idx = dec.simus.at(i).memuIdx;
        running.append(idx);
        SimuSettings::updateSimuRecord(idx, [](struSimuRecord& r) {
            r.iState = eStateRunning;
            r.iTime = 1;
        });
        screen(i).save(SimuSettings::screenshotPath(idx));
    }
    SimuSettings::setRunningList(running);
    const QList<QByteArray> states =
        recorder.buildReplies(Discovery::eQuerySimuState, QStringLiteral("127.0.0.1"));
    qint64 jpegBytes = 0;
    for (const QByteArray& d : states)
        jpegBytes += d.size() - Discovery::kHeaderSize;
    std::fprintf(
        stderr,
        "loadgen: recorded %d PC information and %d state replies (%lld thumbnail bytes) for %d agents\n",
        int(pcInfo.size()), int(states.size()), jpegBytes, agents);

    LoadGen gen(pcInfo, states, agents, parser.value("link-mbps").toInt());
    if (!gen.listen(quint16(parser.value("port").toUInt())) ||
        !gen.listenCommands(parser.value("cmd-delay").toInt()))
        return 1;
    return app.exec();
}
