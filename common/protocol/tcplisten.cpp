#include "tcplisten.h"

#include <QDebug>
#include <QTcpServer>

QTcpServer* listenOnAnyIPv4(quint16 port, QObject* parent)
{
    auto* pServer = new QTcpServer(parent);
    if (pServer->listen(QHostAddress::AnyIPv4, port))
        return pServer;
    qWarning().noquote() << "listen err:" << pServer->errorString() << "(port" << port << ")";
    delete pServer;
    return nullptr;
}
