#include "discoverytargets.h"

#include "simusettings.h"

#include <QDebug>
#include <QMutex>
#include <QNetworkInterface>

namespace DiscoveryTargets {

namespace {
void addOnce(QList<QHostAddress>& list, const QHostAddress& addr)
{
    if (!list.contains(addr))
        list.append(addr);
}
} // namespace

QList<QHostAddress> parse(const QString& text, QStringList* rejected)
{
    QList<QHostAddress> out;
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString item = part.trimmed();
        QHostAddress addr;
        if (!item.isEmpty() && addr.setAddress(item) && addr.protocol() == QAbstractSocket::IPv4Protocol) {
            addOnce(out, addr);
        } else if (rejected && !item.isEmpty()) {
            rejected->append(item);
        }
    }
    return out;
}

QList<QHostAddress> defaults()
{
    QList<QHostAddress> out{QHostAddress(QHostAddress::Broadcast)};
    for (const QNetworkInterface& nif : QNetworkInterface::allInterfaces()) {
        const auto flags = nif.flags();
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::CanBroadcast) ||
            (flags & QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry& e : nif.addressEntries()) {
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol && !e.broadcast().isNull())
                addOnce(out, e.broadcast());
        }
    }
    addOnce(out, QHostAddress(QHostAddress::LocalHost));
    return out;
}

QList<QHostAddress> current()
{
    const QVariant setting = SimuSettings::value(settingKey());
    if (!setting.isValid())
        return defaults();
    // An INI list "a, b" reads back as a string list.
    const QString text = setting.userType() == QMetaType::QStringList
                             ? setting.toStringList().join(QLatin1Char(','))
                             : setting.toString();
    QStringList rejected;
    const QList<QHostAddress> out = parse(text, &rejected);
    // Read once a second: say what is wrong with a value once, not on every query.
    static QMutex mutex;
    static QString lastWarned;
    QMutexLocker lock(&mutex);
    if (text == lastWarned)
        return out;
    lastWarned = text;
    if (!rejected.isEmpty())
        qWarning().noquote() << "discovery/targets: not IPv4 addresses, ignored:"
                             << rejected.join(QLatin1Char(','));
    if (out.isEmpty())
        qWarning().noquote() << "discovery/targets holds no usable address: no discovery query is sent";
    return out;
}

} // namespace DiscoveryTargets
