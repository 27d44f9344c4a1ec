#include "tcplisten.h"

#include <QDebug>
#include <QTcpServer>

QTcpServer* listenOnAnyIPv4(quint16 port, QObject* parent, std::function<void()> onNewConnection,
                            Qt::ConnectionType type)
{
    auto* pServer = new QTcpServer(parent);
    if (!pServer->listen(QHostAddress::AnyIPv4, port)) {
        qWarning().noquote() << "listen err:" << pServer->errorString() << "(port" << port << ")";
        delete pServer;
        return nullptr;
    }
    QObject::connect(pServer, &QTcpServer::newConnection, parent, std::move(onNewConnection), type);
    return pServer;
}
