#pragma once

#include <QtGlobal>

class QObject;
class QTcpServer;

// The servers of the command and result ports: listening on every IPv4 address of this host, owned
// by parent and living in its thread. Null, with the reason in the log, when the port cannot be had
// (0 picks a free one).
QTcpServer* listenOnAnyIPv4(quint16 port, QObject* parent);
