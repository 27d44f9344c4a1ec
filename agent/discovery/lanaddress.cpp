#include "lanaddress.h"

#include <QNetworkInterface>
#include <QUdpSocket>

namespace {

// A unicast address outside every LAN (TEST-NET-1): connecting a UDP socket to it sends nothing,
// it only makes the system choose the source address of the route there, the default route.
const char* const kRouteProbeAddress = "192.0.2.1";
constexpr quint16 kRouteProbePort = 9;
constexpr int kProbeWaitMs = 200;

bool usable(const QHostAddress& addr)
{
    return addr.protocol() == QAbstractSocket::IPv4Protocol && !addr.isLoopback() && !addr.isNull();
}

QString defaultRouteSource()
{
    QUdpSocket probe;
    probe.connectToHost(QHostAddress(QString::fromLatin1(kRouteProbeAddress)), kRouteProbePort);
    if (!probe.waitForConnected(kProbeWaitMs))
        return QString();
    const QHostAddress local = probe.localAddress();
    return usable(local) ? local.toString() : QString();
}

QString firstInterfaceAddress()
{
    for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if (!(flags & QNetworkInterface::IsUp) || (flags & QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry& entry : iface.addressEntries()) {
            if (usable(entry.ip()))
                return entry.ip().toString();
        }
    }
    return QString();
}

} // namespace

QString lanIPv4()
{
    QString addr = defaultRouteSource();
    if (addr.isEmpty())
        addr = firstInterfaceAddress();
    return addr.isEmpty() ? QStringLiteral("127.0.0.1") : addr;
}
