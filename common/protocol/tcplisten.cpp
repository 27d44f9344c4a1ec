#include "tcplisten.h"

#include "platform.h"

#include <QDebug>
#include <QTcpServer>

namespace {

constexpr int kListenBacklog = 1024;

QTcpServer* connected(QTcpServer* pServer, QObject* parent, std::function<void()> onNewConnection,
                      Qt::ConnectionType type)
{
    QObject::connect(pServer, &QTcpServer::newConnection, parent, std::move(onNewConnection), type);
    return pServer;
}

} // namespace

QTcpServer* listenOnAnyIPv4(quint16 port, QObject* parent, std::function<void()> onNewConnection,
                            Qt::ConnectionType type)
{
    auto* pServer = new QTcpServer(parent);
    // A socket of our own with a long queue: a hundred agents reporting at once must not find it full
    // (the framework's own listen keeps 50). The framework's listen when that cannot be had, for its
    // reason in the log.
    const std::intptr_t fd = platform::listenTcpIPv4(port, kListenBacklog);
    if (fd >= 0 && pServer->setSocketDescriptor(static_cast<qintptr>(fd)))
        return connected(pServer, parent, std::move(onNewConnection), type);
    if (fd >= 0)
        platform::closeSocket(fd);
    if (!pServer->listen(QHostAddress::AnyIPv4, port)) {
        qWarning().noquote() << "listen err:" << pServer->errorString() << "(port" << port << ")";
        delete pServer;
        return nullptr;
    }
    return connected(pServer, parent, std::move(onNewConnection), type);
}
