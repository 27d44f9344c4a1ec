#pragma once

#include "rcvfilerspsormgr.h"

// Serves an install: receives the APK once into the download folder's "rcv.apk", then installs it
// into every instance of the command, one after another, and removes the file again. Runs on a
// thread of its own with the command's connection.
class InstallRspsorMgr : public RcvFileRspsorMgr
{
    Q_OBJECT
public:
    InstallRspsorMgr(QTcpSocket* pSocket, const QByteArray& firstBytes, const struNotifierOptions& options,
                     QObject* parent = nullptr);

    QList<CCommResult> RunGroup() override;
    // Marks every target instance as installing.
    void BeforeRun() override;
    // Marks the instances running again.
    void AfterRun(const QList<CCommResult>& results) override;

    CmdResponsor* CreateResponsor(int iOperType) override;

    // Where every received APK lands, whatever the record's file name.
    static QString ReceivedApkPath();
    // Removes the received file (logged when it cannot be removed).
    static void RemoveReceivedApk();
    // The stored state an instance returns to after an install: running when its product lists it
    // as running, not started otherwise. Running when the product cannot be asked.
    static int RunStateAfterInstall(const QString& memuIdx);

private:
    bool m_bReceiveFailed = false;
};
