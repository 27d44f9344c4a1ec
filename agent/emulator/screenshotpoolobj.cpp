#include "screenshotpoolobj.h"

#include "launcherfactory.h"
#include "launchertuning.h"
#include "screenshot.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"

#include <QDebug>
#include <QThread>

ScreenshotPoolObj::ScreenshotPoolObj(QObject* parent) : QObject(parent)
{
    if (!connect(this, &ScreenshotPoolObj::sigLoopScreenshot, this, &ScreenshotPoolObj::slInitPool,
                 Qt::QueuedConnection))
        qWarning() << "connect ScreenshotPoolObj::sigLoopScreenshot ScreenshotPoolObj::slInitPool err";
}

void ScreenshotPoolObj::slInitPool()
{
    // A pass waits in a local event loop; a loop signal delivered meanwhile must not nest a pass.
    if (m_inPass)
        return;
    runPass();
    if (!QThread::currentThread()->isInterruptionRequested())
        emit sigLoopScreenshot();
}

void ScreenshotPoolObj::runPass()
{
    m_inPass = true;
    QStringList running;
    SimuListRunning(running);
    SimuSettings::setRunningList(running);
    ++m_passCount;
    LauncherTuning::sleepMs(SimuSettings::getScreenshotTimeSpan().iExtraRet);
    if (!QThread::currentThread()->isInterruptionRequested())
        captureRunning(running);
    m_inPass = false;
}

void ScreenshotPoolObj::captureRunning(const QStringList& running)
{
    const bool backup = m_passCount % 2 == 0;
    SimuInfoXmlGainer gainer;
    for (const QString& idx : running) {
        if (QThread::currentThread()->isInterruptionRequested())
            return;
        SimuInfo info;
        const CCommResult r = gainer.GetSimuInfo(idx, info);
        // Without an inventory entry there is no serial to capture (and no name for the file).
        if (r.iRet != 0 || info.idx().isEmpty() || info.adbPort() <= 0)
            continue;
        const QString file =
            backup ? SimuSettings::screenshotBakPath(info.idx()) : SimuSettings::screenshotPath(info.idx());
        TakeScreenshot(info.adbSerial(), file);
    }
}
