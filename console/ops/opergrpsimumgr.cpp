#include "opergrpsimumgr.h"

#include "farmtrust.h"
#include "jsoncodec.h"
#include "loginret.h"
#include "opercodes.h"
#include "platform.h"
#include "simurecords.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>

namespace {

QString ipv4Text(const QHostAddress& addr)
{
    bool ok = false;
    const quint32 v4 = addr.toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : QString();
}

// Every way a file transfer can fail shows the user the same text; the log says which it was.
CCommResult sendFileFailed(const QString& pcName, const QString& log)
{
    return CCommResult::failure(OpsCode::SendFileFailed,
                                QStringLiteral("传输文件到%1时超时出错，请再试一次").arg(pcName), log);
}

} // namespace

CCommResult OperGrpSimuMgr::Execute()
{
    if (m_data.memuIdxs.isEmpty())
        return CCommResult::failure(OpsCode::NoTargets, QStringLiteral("没有任务可供执行"));
    CCommResult r = Connect();
    if (r.ok())
        r = SendCommand();
    if (r.ok())
        r = SendFile();
    Close();
    return r;
}

CCommResult OperGrpSimuMgr::Connect()
{
    if (!m_pSocket)
        m_pSocket = new QTcpSocket;
    // Unbuffered: a write goes straight into the system's socket buffer; Qt keeps only what that
    // cannot take at once (bytesToWrite() counts it, and waiting for it works as before).
    m_pSocket->connectToHost(m_data.ipAddr, m_data.port, QIODevice::ReadWrite | QIODevice::Unbuffered);
    const QString text = QStringLiteral("无法连接客户端:\"%1\"（%2）").arg(m_data.nickName, m_data.ipAddr);
    const QString log = m_data.ipAddr + QStringLiteral("出错");
    if (!m_pSocket->waitForConnected(m_data.connectWaitMs))
        return CCommResult::failure(OpsCode::ConnectAgentFailed, text, log + ' ' + m_pSocket->errorString());
    if (!m_pSocket->isOpen())
        return CCommResult::failure(OpsCode::ConnectAgentFailed, text + QStringLiteral("。"), log);
    // Results come back to the address this connection leaves from: the one the agent can reach.
    m_centerIP = ipv4Text(m_pSocket->localAddress());
    if (m_centerIP.isEmpty())
        m_centerIP = QString::fromStdString(platform::localIPv4Facing(m_data.ipAddr.toStdString()));
    return CCommResult();
}

QString OperGrpSimuMgr::FileNameField() const
{
    if (m_data.iOperType == eOperInstall)
        return QFileInfo(m_data.strArg).fileName();
    if (m_data.iOperType == eOperRename)
        return m_data.strArg;
    return QString();
}

CCommResult OperGrpSimuMgr::SendCommand()
{
    QList<struSimuOper> opers;
    for (const QString& idx : m_data.memuIdxs) {
        struSimuOper o;
        o.iOperType = m_data.iOperType;
        o.memuIdx = idx;
        o.rmtPcName = m_data.pcName;
        o.rmtNickName = m_data.nickName;
        o.centerIP = m_centerIP;
        o.iExtra = m_data.iExtra;
        o.iTime = m_data.iTime;
        o.fileName = FileNameField();
        o.runId = m_data.runId;
        opers.append(o);
    }
    QByteArray nonce;
    const QByteArray doc = FarmTrust::commandDoc(opers, LoginRecord::userName(), MsgAuth::eChannel::Command,
                                                 QByteArray(), &nonce);
    if (m_data.iOperType == eOperRmtDesktopBegin)
        FarmTrust::noteRunBegin(m_data.runId, nonce);
    qWarning().noquote() << "send command:" << QString::fromUtf8(doc);
    const qint64 n = m_pSocket->write(doc);
    if (n != doc.size() || !WaitWritten())
        return CCommResult::failure(OpsCode::SendCommandFailed, QStringLiteral("发送命令失败"),
                                    m_pSocket->errorString());
    m_bytesSent += n;
    return CCommResult();
}

CCommResult OperGrpSimuMgr::SendFile()
{
    return CCommResult();
}

bool OperGrpSimuMgr::WaitWritten(qint64 maxPending)
{
    QDeadlineTimer deadline(m_data.writeWaitMs);
    while (m_pSocket->bytesToWrite() > maxPending) {
        if (deadline.hasExpired() || !m_pSocket->waitForBytesWritten(int(deadline.remainingTime())))
            return m_pSocket->bytesToWrite() <= maxPending;
    }
    return true;
}

void OperGrpSimuMgr::Close()
{
    if (!m_pSocket)
        return;
    m_pSocket->disconnectFromHost();
    if (m_pSocket->state() != QAbstractSocket::UnconnectedState)
        m_pSocket->waitForDisconnected(m_data.writeWaitMs);
    m_pSocket->abort();
}

// ---- install ----------------------------------------------------------------------------------

CCommResult OperGrpSimuInstallMgr::Run()
{
    for (const QString& idx : m_data.memuIdxs)
        emit sigBeginInstall(idx);
    const CCommResult r = OperGrpSimuMgr::Run();
    if (!r.ok()) {
        for (const QString& idx : m_data.memuIdxs)
            emit sigInstallFinished(idx);
    }
    return r;
}

// The file is streamed through one reused block, each block handed to the socket once the one
// before it has left Qt's write buffer, so the console's memory does not grow with the size of the
// APK.
CCommResult OperGrpSimuInstallMgr::SendFile()
{
    // The agent takes the document apart from the file only after this pause.
    QThread::msleep(static_cast<unsigned long>(qMax(0, m_data.filePauseMs)));
    QFile file(m_data.strArg);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return CCommResult::failure(OpsCode::OpenFileFailed, QStringLiteral("打开文件失败"),
                                    m_data.strArg + ": " + file.errorString());
    const qint64 announced = m_data.iExtra;
    QByteArray block(int(qMin<qint64>(qint64(kChunkSize) * kChunksPerWrite, qMax<qint64>(announced, 1))),
                     Qt::Uninitialized);
    qint64 sent = 0;
    int chunkNo = 0;
    while (sent < announced) {
        const qint64 n = file.read(block.data(), qMin<qint64>(block.size(), announced - sent));
        if (n <= 0)
            break;
        // Progress before every tenth chunk, counted in chunks of kChunkSize whatever the block.
        for (qint64 at = 0; at < n; at += kChunkSize, ++chunkNo) {
            if (chunkNo % 10 == 0)
                EmitProgress(sent + at);
        }
        const CCommResult r = WriteBlock(block.constData(), n, sent);
        if (!r.ok())
            return r;
        sent += n;
        m_bytesSent += n;
    }
    if (!WaitWritten())
        return sendFileFailed(m_data.pcName, QStringLiteral("the end of the file did not leave: ") +
                                                 m_pSocket->errorString());
    // The agent waits for exactly the announced number of bytes: a file that shrank since it was
    // measured would leave it waiting.
    if (sent != announced)
        return sendFileFailed(m_data.pcName, QStringLiteral("%1: %2 of %3 bytes read (%4)")
                                                 .arg(m_data.strArg)
                                                 .arg(sent)
                                                 .arg(announced)
                                                 .arg(file.errorString()));
    return CCommResult();
}

void OperGrpSimuInstallMgr::EmitProgress(qint64 fileSent)
{
    const double size = qMax(1, m_data.iExtra);
    const int progress = int(double(fileSent) * 0.9 / size * 100);
    for (const QString& idx : m_data.memuIdxs)
        emit sigInstallProgress(idx, progress);
}

// A write that takes nothing is tried again, three attempts in all; a block that does not leave
// within the write wait ends the transfer, so a stalled agent holds the PC's queue once, not once
// per block. The next block is read only when Qt's write buffer is empty again: it then goes
// straight to the system's socket buffer, without a copy into Qt's.
CCommResult OperGrpSimuInstallMgr::WriteBlock(const char* data, qint64 size, qint64 fileSent)
{
    CCommResult r;
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        const bool taken = m_pSocket->write(data, size) > 0;
        if (taken && WaitWritten())
            return CCommResult();
        r = sendFileFailed(
            m_data.pcName,
            QStringLiteral("isOpen:%1,isValid:%2,isWritable:%3,isReadable:%4,iWrittenTotleLen:%5")
                .arg(int(m_pSocket->isOpen()))
                .arg(int(m_pSocket->isValid()))
                .arg(int(m_pSocket->isWritable()))
                .arg(int(m_pSocket->isReadable()))
                .arg(fileSent));
        qWarning().noquote() << r.str << r.log << m_pSocket->errorString();
        // A block that was taken but did not leave must not be written twice.
        if (taken || m_pSocket->state() != QAbstractSocket::ConnectedState)
            break;
    }
    return r;
}
