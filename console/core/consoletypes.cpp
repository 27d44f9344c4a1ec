#include "consoletypes.h"

#include "commresult.h"

#include <QImage>

namespace ConsoleTypes {

void registerMetaTypes()
{
    static const bool once = [] {
        qRegisterMetaType<struPcInfoReply>("struPcInfoReply");
        qRegisterMetaType<struSimuReport>("struSimuReport");
        qRegisterMetaType<SimuReportList>("SimuReportList");
        qRegisterMetaType<struVedioBoxInfo>("struVedioBoxInfo");
        qRegisterMetaType<QImage*>("QImage*");
        qRegisterMetaType<CCommResult*>("CCommResult*");
        return true;
    }();
    Q_UNUSED(once);
}

} // namespace ConsoleTypes
