#include "installrspsormgr.h"

#include "installsimurspsor.h"
#include "simusettings.h"

#include <QDebug>
#include <QTcpSocket>

InstallRspsorMgr::InstallRspsorMgr(QTcpSocket* pSocket, const QByteArray& firstBytes, QObject* parent)
    : RcvFileRspsorMgr(pSocket, firstBytes, parent)
{
}

QString InstallRspsorMgr::ReceivedApkPath()
{
    return SimuSettings::dwnPath(QStringLiteral("rcv.apk"));
}

CmdResponsor* InstallRspsorMgr::CreateResponsor(int iOperType)
{
    return iOperType == eOperInstall ? new InstallSimuRspsor : nullptr;
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
    BeforeRun();
    const qint64 size = m_opers.isEmpty() ? 0 : m_opers.first().iExtra;
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
    AfterRun(results);
    return results;
}

void InstallRspsorMgr::AfterRun(const QList<CCommResult>& results)
{
    // A failed receive has a single result, yet every instance of the command was marked as
    // installing: all of them go back to running, none stays "installing" for good.
    const int count = m_bReceiveFailed ? m_opers.size() : qMin(results.size(), m_opers.size());
    for (int i = 0; i < count; ++i) {
        if (m_opers.at(i).memuIdx.isEmpty())
            continue;
        SimuSettings::updateSimuRecord(m_opers.at(i).memuIdx,
                                       [](struSimuRecord& rec) { rec.iState = eStateRunning; });
    }
}
