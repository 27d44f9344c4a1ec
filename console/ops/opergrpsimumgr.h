#pragma once

#include "devcontrolabsmgr.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QFile>

// Every operation except install: one command document with one record per target.
//
// The steps, each ended by a socket signal or by its deadline:
//   Connect      connectToHost, up to the connect wait                     (14 when it does not)
//   SendCommand  the document handed to the socket, until it has left, up to the write wait (56)
//   SendFile     nothing here; the install streams the APK (OperGrpSimuInstallMgr)
//   Close        disconnectFromHost, until the socket is closed, up to the write wait
// A failure goes straight to Close; Close ends in Finish with the first failure, or success.
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
    enum class eStep
    {
        Idle,
        Connecting,
        SendingCommand,
        Pausing,
        SendingFile,
        Closing
    };

    void Execute() override;
    void Connect() override;
    void SendCommand() override;
    void SendFile() override;
    void Close() override;

    // Ends the operation with this failure (the connection is closed first).
    void Fail(const CCommResult& result);
    // The step's deadline from now; it ends in DeadlinePassed.
    void Arm(int ms);
    virtual void DeadlinePassed();
    // Qt's write buffer is empty again during this step.
    virtual void AllWritten();
    virtual void SocketFailed();
    QString FileNameField() const;

    eStep m_step = eStep::Idle;
    qint64 m_bytesSent = 0;
    QString m_centerIP;

private:
    void Connected();
    void BytesWritten();
    void Closed();

    QTimer* m_pDeadline = nullptr;
    CCommResult m_result;
    qint64 m_docBytes = 0;
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
    void Start() override;

signals:
    void sigBeginInstall(QString strMemuIdx);
    void sigInstallProgress(QString strMemuIdx, int iProgress);
    void sigInstallFinished(QString strMemuIdx);

protected:
    void SendFile() override;
    void Finished(const CCommResult& result) override;
    void DeadlinePassed() override;
    void AllWritten() override;
    void SocketFailed() override;

private:
    void OpenFile();
    // Hands blocks to the socket while it takes them at once; returns when one waits to leave.
    void PumpFile();
    // A write that takes nothing is tried again, three attempts in all.
    bool WriteBlock(qint64 size);
    CCommResult BlockFailed() const;
    void EmitProgress(qint64 fileSent);

    QFile m_file;
    QByteArray m_block;
    qint64 m_fileSent = 0;  // bytes of the file handed to the socket
    qint64 m_blockFrom = 0; // where the block waiting to leave starts in the file
    int m_chunkNo = 0;
};
