#include "quietconsole.h"

#include <QDateTime>

QuietConsole::QuietConsole(bool clockStands)
{
    m_silent.bind(QHostAddress::LocalHost, 0);
    CenterToolMainWnd::Options o;
    o.queryPort = m_silent.localPort();
    o.targets = {QHostAddress(QHostAddress::LocalHost)};
    o.trayIcon = false;
    if (clockStands) {
        const qint64 listedAt = QDateTime::currentSecsSinceEpoch();
        o.clock = [listedAt] { return listedAt; };
    }
    m_pWnd = std::make_unique<CenterToolMainWnd>(o);
}

struPcInfoReply listedPc(const QString& pcName, const QString& nickName, int runLimit,
                         const QList<struSimuEntry>& simus)
{
    struPcInfoReply reply;
    reply.header.setPcName(pcName);
    reply.header.setNickName(nickName);
    reply.header.setIpAddr(QStringLiteral("127.0.0.1"));
    reply.header.iRunLimit = runLimit;
    reply.header.iSimuType = 2;
    reply.simus = simus;
    reply.from = QHostAddress(QHostAddress::LocalHost);
    return reply;
}
