#pragma once

#include <QtCore/qnamespace.h>
#include <QtGlobal>

#include <functional>

class QObject;
class QTcpServer;

// A TCP server listening on every IPv4 address of this host (the command, result and remote-desktop
// control ports), owned by parent and living in its thread; every new connection calls
// onNewConnection in parent's thread, connected as `type` says. Null, with the reason in the log,
// when the port cannot be had (0 picks a free one).
QTcpServer* listenOnAnyIPv4(quint16 port, QObject* parent, std::function<void()> onNewConnection,
                            Qt::ConnectionType type = Qt::AutoConnection);
