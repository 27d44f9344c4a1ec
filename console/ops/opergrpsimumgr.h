#pragma once

#include "devcontrolabsmgr.h"

// Every operation except install: one command document with one record per target.
class OperGrpSimuMgr : public DevControlAbsMgr
{
    Q_OBJECT
public:
    using DevControlAbsMgr::DevControlAbsMgr;

    // Bytes written to the agent on this operation (document and file).
    qint64 BytesSent() const { return m_bytesSent; }
    // The console's address on the path to the agent, once connected.
    QString CenterIP() const { return m_centerIP; }

protected:
    CCommResult Execute() override;
    CCommResult Connect() override;
    CCommResult SendCommand() override;
    CCommResult SendFile() override;
    void Close() override;

    // Waits until no more than `maxPending` written bytes wait to leave, within the write wait; false
    // when they did not.
    bool WaitWritten(qint64 maxPending = 0);
    QString FileNameField() const;

    qint64 m_bytesSent = 0;
    QString m_centerIP;
};

// Install: the command document, then the APK streamed behind it, with progress 0-90 for every target
// before every tenth 8192-byte chunk. The file is read into one reused 1 MB block that is written
// straight into the system's socket buffer (the socket is unbuffered); only what that buffer cannot
// take at once is copied into Qt's write buffer, and the next block is read once that has left. So
// the console holds about two blocks whatever the size of the APK, and the system's socket buffer
// keeps the connection busy while the next block is read.
class OperGrpSimuInstallMgr : public OperGrpSimuMgr
{
    Q_OBJECT
public:
    static constexpr int kChunkSize = 8192;     // the unit of progress
    static constexpr int kChunksPerWrite = 128; // one block read and written at once: 1 MB
    static constexpr int kWriteAttempts = 3;

    using OperGrpSimuMgr::OperGrpSimuMgr;
    CCommResult Run() override;

signals:
    void sigBeginInstall(QString strMemuIdx);
    void sigInstallProgress(QString strMemuIdx, int iProgress);
    void sigInstallFinished(QString strMemuIdx);

protected:
    CCommResult SendFile() override;

private:
    CCommResult WriteBlock(const char* data, qint64 size, qint64 fileSent);
    void EmitProgress(qint64 fileSent);
};
