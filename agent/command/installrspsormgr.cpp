#include "installrspsormgr.h"

#include "installsimurspsor.h"
#include "launcherfactory.h"
#include "simusettings.h"

#include <QDebug>
#include <QFile>
#include <QMutex>
#include <QTcpSocket>

InstallRspsorMgr::InstallRspsorMgr(QTcpSocket* pSocket, const QByteArray& firstBytes,
                                   const struNotifierOptions& options, QObject* parent)
    : RcvFileRspsorMgr(pSocket, firstBytes, options, parent)
{
}

QString InstallRspsorMgr::ReceivedApkPath()
{
    return SimuSettings::dwnPath(QStringLiteral("rcv.apk"));
}

CmdResponsor* InstallRspsorMgr::CreateResponsor(int iOperType)
{
    return iOperType == eOperInstall ? new InstallSimuRspsor(m_notifierOptions) : nullptr;
}

void InstallRspsorMgr::BeforeRun()
{
    for (const struSimuOper& oper : qAsConst(m_opers)) {
        if (oper.memuIdx.isEmpty())
            continue;
        SimuSettings::updateSimuRecord(oper.memuIdx,
                                       [](struSimuRecord& rec) { rec.iState = eStateInstalling; });
    }
}

QList<CCommResult> InstallRspsorMgr::RunGroup()
{
    if (m_bRefused) {
        if (m_pSocket)
            m_pSocket->close();
        return ReportRefusal(m_refusal);
    }
    // Installs run one at a time: they share the received file. Each runs on a thread of its own,
    // so no install can begin inside another one's waits.
    static QMutex s_installLock;
    QMutexLocker lock(&s_installLock);
    // The file follows the document whatever its records name; it is received in any case.
    const qint64 size = m_opers.isEmpty() ? 0 : m_opers.first().iExtra;
    const CCommResult limits = CheckRecordLimits(DropUnknownRecords());
    if (limits.iRet != 0) {
        if (m_pSocket)
            m_pSocket->close();
        return ReportRefusal(limits);
    }
    BeforeRun();
    const CCommResult cRcv = RcvFile(ReceivedApkPath(), size);
    if (m_pSocket)
        m_pSocket->close();

    QList<CCommResult> results;
    m_bReceiveFailed = cRcv.iRet != 0;
    if (m_bReceiveFailed) {
        qWarning().noquote() << "InstallRspsorMgr: file not received:" << cRcv.str << cRcv.log;
        results.append(cRcv);
    } else {
        for (const struSimuOper& oper : qAsConst(m_opers)) {
            CmdResponsor* pResponsor = CreateResponsor(oper.iOperType);
            if (!pResponsor) {
                qWarning() << "InstallRspsorMgr: record of type" << oper.iOperType << "skipped";
                continue;
            }
            results.append(RunResponsor(pResponsor, oper));
        }
    }
    RemoveReceivedApk();
    AfterRun(results);
    return results;
}

// The received file serves this command only: a part left by a failed receive, or a whole one
// after its installs, goes at once (an agent that dies meanwhile removes it at its next start).
void InstallRspsorMgr::RemoveReceivedApk()
{
    QFile file(ReceivedApkPath());
    if (file.exists() && !file.remove())
        qWarning().noquote() << "InstallRspsorMgr: cannot remove" << file.fileName() << file.errorString();
}

int InstallRspsorMgr::RunStateAfterInstall(const QString& memuIdx)
{
    QStringList running;
    if (SimuListRunning(running).iRet != 0)
        return eStateRunning;
    return running.contains(memuIdx) ? eStateRunning : eStateNotStarted;
}

void InstallRspsorMgr::AfterRun(const QList<CCommResult>& results)
{
    Q_UNUSED(results);
    // Every instance of the command was marked as installing; one whose install did not run (the
    // file was not received, or its record was skipped) still says so. It goes back to the run
    // state its product reports, so that none stays "installing" for good.
    for (const struSimuOper& oper : qAsConst(m_opers)) {
        if (oper.memuIdx.isEmpty())
            continue;
        if (SimuSettings::storedSimuRecord(oper.memuIdx).iState != eStateInstalling)
            continue;
        const int state = RunStateAfterInstall(oper.memuIdx);
        SimuSettings::updateSimuRecord(oper.memuIdx, [state](struSimuRecord& r) { r.iState = state; });
    }
}
