#include "loginret.h"

#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex g_mutex;
CLoginRet g_login;
} // namespace

CLoginRet LoginRecord::current()
{
    QMutexLocker lock(&g_mutex);
    return g_login;
}

QString LoginRecord::userName()
{
    QMutexLocker lock(&g_mutex);
    return g_login.strUserName;
}

QByteArray LoginRecord::farmKey()
{
    QMutexLocker lock(&g_mutex);
    return g_login.baFarmKey;
}

bool LoginRecord::isLoggedIn()
{
    return !userName().isEmpty();
}

void LoginRecord::set(const CLoginRet& ret)
{
    QMutexLocker lock(&g_mutex);
    g_login = ret;
}

void LoginRecord::clear()
{
    QMutexLocker lock(&g_mutex);
    g_login = CLoginRet();
}
