// Steps on one instance's record that the product tools share.
#include "farm.h"
#include "tools.h"

#include <QThread>

namespace farmsim {

namespace {
constexpr int kPollMs = 20;
}

int beginInstance(Farm& farm, const QString& idx, const QString& what, const QString& missingLine)
{
    if (!beginFarm(farm, what))
        return -1;
    const int i = farm.findIndex(idx);
    if (i < 0) {
        farm.rollback();
        errLine(missingLine);
    }
    return i;
}

bool waitInstanceGone(const Farm& farm, int i, int ms)
{
    for (int waited = 0; waited < ms; waited += kPollMs) {
        if (farm.livePid(i) == 0)
            return true;
        QThread::msleep(kPollMs);
    }
    return farm.livePid(i) == 0;
}

bool forgetInstancePid(Farm& farm, const QString& idx, qint64 pid, const QString& what)
{
    if (!beginFarm(farm, what))
        return false;
    const int i = farm.findIndex(idx);
    if (i >= 0 && farm.instance(i).value("pid").toVariant().toLongLong() == pid) {
        QJsonObject rec = farm.instance(i);
        rec.insert("pid", 0);
        farm.setInstance(i, rec);
    }
    return commitFarm(farm, what);
}

} // namespace farmsim
