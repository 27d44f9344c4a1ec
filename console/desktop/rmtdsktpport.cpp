#include "rmtdsktpport.h"

#include "platform.h"

#include <QDebug>
#include <QHostAddress>
#include <QThread>

namespace RmtDsktpPort {

namespace {

int firstPort(const QString& agentIPv4)
{
    QHostAddress address;
    if (!address.setAddress(agentIPv4) || address.protocol() != QAbstractSocket::IPv4Protocol)
        return kBase;
    return kBase + int(address.toIPv4Address() & 0xFF);
}

} // namespace

int choose(const QString& agentIPv4, const IsListed& isListed, int pauseMs)
{
    const IsListed listed = isListed ? isListed : [](int port) {
        return platform::isUdpPortListened(static_cast<std::uint16_t>(port));
    };
    qWarning() << "check udp port";
    int port = firstPort(agentIPv4);
    while (port < kLast && (port < 1024 || port > 65000 || listed(port))) {
        qWarning().noquote() << "port " << port << " is used";
        if (pauseMs > 0)
            QThread::msleep(static_cast<unsigned long>(pauseMs));
        ++port;
    }
    qWarning() << "check udp port end:" << port;
    return port;
}

} // namespace RmtDsktpPort
