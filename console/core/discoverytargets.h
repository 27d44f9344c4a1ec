#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

// Where the console sends its discovery queries. By default: the limited broadcast 255.255.255.255
// (which some systems send out of one interface only), the broadcast address of every IPv4
// interface that is up, and 127.0.0.1 for an agent on the console's own PC. The setting
// "discovery/targets" (comma-separated IPv4 addresses) replaces that set, so that tests and demos
// on a single PC never broadcast.
namespace DiscoveryTargets {

inline QString settingKey()
{
    return QStringLiteral("discovery/targets");
}

// The IPv4 addresses of a comma-separated list, in order, without duplicates. Entries that are not
// IPv4 addresses are listed in `rejected`.
QList<QHostAddress> parse(const QString& text, QStringList* rejected = nullptr);
// The default set described above.
QList<QHostAddress> defaults();
// The targets in force: the setting when it is present (even when nothing in it is usable), else
// the defaults.
QList<QHostAddress> current();

} // namespace DiscoveryTargets
