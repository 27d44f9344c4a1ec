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
// before every tenth 8192-byte chunk. The chunks go to the socket eight at a time; a block is written
// once the one before it has left, so at most two blocks are ever in memory and the socket never
// runs dry while the next block is read.
class OperGrpSimuInstallMgr : public OperGrpSimuMgr
{
    Q_OBJECT
public:
    static constexpr int kChunkSize = 8192;
    static constexpr int kChunksPerWrite = 8;
    static constexpr int kPendingBlocks = 3; // written blocks that may wait to leave
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
    CCommResult WriteChunk(const QByteArray& chunk, qint64 fileSent);
    void EmitProgress(qint64 fileSent);
};
