#include "opergrpsimumgr.h"

#include "farmtrust.h"
#include "jsoncodec.h"
#include "loginret.h"
#include "opercodes.h"
#include "platform.h"
#include "simurecords.h"

#include <QDebug>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

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

QString fileNameField(const DevOperData& data)
{
    if (data.iOperType == eOperInstall)
        return QFileInfo(data.strArg).fileName();
    if (data.iOperType == eOperRename)
        return data.strArg;
    return QString();
}

} // namespace

// Results come back to the address this connection leaves from: the one the agent can reach.
QString centerAddress(const QTcpSocket& socket, const QString& agentIp)
{
    const QString own = ipv4Text(socket.localAddress());
    return own.isEmpty() ? QString::fromStdString(platform::localIPv4Facing(agentIp.toStdString())) : own;
}

QByteArray commandDocument(const DevOperData& data, const QString& centerIP, QByteArray* pNonce)
{
    QList<struSimuOper> opers;
    for (const QString& idx : data.memuIdxs) {
        struSimuOper o;
        o.iOperType = data.iOperType;
        o.memuIdx = idx;
        o.rmtPcName = data.pcName;
        o.rmtNickName = data.nickName;
        o.centerIP = centerIP;
        o.iExtra = data.iExtra;
        o.iTime = data.iTime;
        o.fileName = fileNameField(data);
        o.runId = data.runId;
        o.inputEvent = data.inputEvent;
        opers.append(o);
    }
    return FarmTrust::commandDoc(opers, LoginRecord::userName(), MsgAuth::eChannel::Command, QByteArray(),
                                 pNonce);
}

void OperGrpSimuMgr::Execute()
{
    if (m_data.memuIdxs.isEmpty())
        return Finish(CCommResult::failure(OpsCode::NoTargets, QStringLiteral("没有任务可供执行")));
    Connect();
}

void OperGrpSimuMgr::Arm(int ms)
{
    if (!m_pDeadline) {
        m_pDeadline = new QTimer(this);
        m_pDeadline->setSingleShot(true);
        m_pDeadline->setTimerType(Qt::PreciseTimer); // a coarse timer may end a wait 5 % early
        connect(m_pDeadline, &QTimer::timeout, this, &OperGrpSimuMgr::DeadlinePassed);
    }
    m_pDeadline->start(qMax(0, ms));
}

void OperGrpSimuMgr::Connect()
{
    if (!m_pSocket)
        m_pSocket = new QTcpSocket;
    connect(m_pSocket, &QTcpSocket::connected, this, &OperGrpSimuMgr::Connected);
    connect(m_pSocket, &QTcpSocket::bytesWritten, this, &OperGrpSimuMgr::BytesWritten);
    connect(m_pSocket, &QTcpSocket::disconnected, this, &OperGrpSimuMgr::Closed);
    connect(m_pSocket, &QAbstractSocket::errorOccurred, this, &OperGrpSimuMgr::SocketFailed);
    m_step = eStep::Connecting;
    Arm(m_data.connectWaitMs);
    // Unbuffered: a write goes straight into the system's socket buffer; Qt keeps only what that
    // cannot take at once (bytesToWrite() counts it).
    m_pSocket->connectToHost(m_data.ipAddr, m_data.port, QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void OperGrpSimuMgr::Connected()
{
    if (m_step != eStep::Connecting)
        return;
    if (!m_pSocket->isOpen())
        return Fail(CCommResult::failure(
            OpsCode::ConnectAgentFailed,
            QStringLiteral("无法连接客户端:\"%1\"（%2）。").arg(m_data.nickName, m_data.ipAddr),
            m_data.ipAddr + QStringLiteral("出错")));
    m_centerIP = centerAddress(*m_pSocket, m_data.ipAddr);
    SendCommand();
}

QString OperGrpSimuMgr::FileNameField() const
{
    return fileNameField(m_data);
}

void OperGrpSimuMgr::SendCommand()
{
    QByteArray nonce;
    const QByteArray doc = commandDocument(m_data, m_centerIP, &nonce);
    if (m_data.iOperType == eOperRmtDesktopBegin)
        FarmTrust::noteRunBegin(m_data.runId, nonce);
    qWarning().noquote() << "send command:" << QString::fromUtf8(doc);
    m_step = eStep::SendingCommand;
    m_docBytes = doc.size();
    if (m_pSocket->write(doc) != doc.size())
        return Fail(CCommResult::failure(OpsCode::SendCommandFailed, QStringLiteral("发送命令失败"),
                                         m_pSocket->errorString()));
    if (m_pSocket->bytesToWrite() > 0)
        return Arm(m_data.writeWaitMs);
    AllWritten();
}

void OperGrpSimuMgr::BytesWritten()
{
    if (m_pSocket->bytesToWrite() > 0 || (m_step != eStep::SendingCommand && m_step != eStep::SendingFile))
        return;
    if (m_pDeadline)
        m_pDeadline->stop();
    AllWritten();
}

void OperGrpSimuMgr::AllWritten()
{
    if (m_step != eStep::SendingCommand)
        return;
    m_bytesSent += m_docBytes; // counted once it has left: a document that did not leave was not sent
    SendFile();
}

void OperGrpSimuMgr::SendFile()
{
    Close();
}

void OperGrpSimuMgr::DeadlinePassed()
{
    switch (m_step) {
    case eStep::Connecting:
        m_pSocket->abort();
        return Fail(CCommResult::failure(
            OpsCode::ConnectAgentFailed,
            QStringLiteral("无法连接客户端:\"%1\"（%2）").arg(m_data.nickName, m_data.ipAddr),
            m_data.ipAddr + QStringLiteral("出错 ") + QStringLiteral("connect wait over")));
    case eStep::SendingCommand:
        return Fail(CCommResult::failure(OpsCode::SendCommandFailed, QStringLiteral("发送命令失败"),
                                         QStringLiteral("the document did not leave within the write wait")));
    case eStep::Closing:
        return Closed();
    default:
        return;
    }
}

void OperGrpSimuMgr::SocketFailed()
{
    switch (m_step) {
    case eStep::Connecting:
        return Fail(CCommResult::failure(
            OpsCode::ConnectAgentFailed,
            QStringLiteral("无法连接客户端:\"%1\"（%2）").arg(m_data.nickName, m_data.ipAddr),
            m_data.ipAddr + QStringLiteral("出错 ") + m_pSocket->errorString()));
    case eStep::SendingCommand:
        return Fail(CCommResult::failure(OpsCode::SendCommandFailed, QStringLiteral("发送命令失败"),
                                         m_pSocket->errorString()));
    case eStep::Closing:
        return Closed();
    default:
        return;
    }
}

void OperGrpSimuMgr::Fail(const CCommResult& result)
{
    if (m_result.ok())
        m_result = result;
    Close();
}

// The socket is closed in every case: once what was written has left, or after the write wait.
void OperGrpSimuMgr::Close()
{
    if (m_step == eStep::Closing)
        return;
    m_step = eStep::Closing;
    if (!m_pSocket)
        return Finish(m_result);
    if (m_pSocket->state() != QAbstractSocket::UnconnectedState) {
        Arm(m_data.writeWaitMs);
        m_pSocket->disconnectFromHost();
    }
    if (m_pSocket->state() == QAbstractSocket::UnconnectedState)
        Closed();
}

void OperGrpSimuMgr::Closed()
{
    if (m_step != eStep::Closing || IsFinished())
        return;
    if (m_pDeadline)
        m_pDeadline->stop();
    m_pSocket->disconnect(this);
    m_pSocket->abort();
    Finish(m_result);
}

// ---- install ----------------------------------------------------------------------------------

void OperGrpSimuInstallMgr::Start()
{
    for (const QString& idx : m_data.memuIdxs)
        emit sigBeginInstall(idx);
    OperGrpSimuMgr::Start();
}

void OperGrpSimuInstallMgr::Finished(const CCommResult& result)
{
    if (result.ok())
        return;
    for (const QString& idx : m_data.memuIdxs)
        emit sigInstallFinished(idx);
}

// The agent takes the document apart from the file only after a pause.
void OperGrpSimuInstallMgr::SendFile()
{
    m_step = eStep::Pausing;
    Arm(m_data.filePauseMs);
}

void OperGrpSimuInstallMgr::OpenFile()
{
    m_file.setFileName(m_data.strArg);
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return Fail(CCommResult::failure(OpsCode::OpenFileFailed, QStringLiteral("打开文件失败"),
                                         m_data.strArg + ": " + m_file.errorString()));
    m_block.resize(int(qMin<qint64>(qint64(kChunkSize) * kChunksPerWrite, qMax<qint64>(m_data.iExtra, 1))));
    m_step = eStep::SendingFile;
    PumpFile();
}

// The file is streamed through one reused block, each block handed to the socket once the one
// before it has left Qt's write buffer, so the console's memory does not grow with the size of the
// APK. A block that does not leave within the write wait ends the transfer.
void OperGrpSimuInstallMgr::PumpFile()
{
    const qint64 announced = m_data.iExtra;
    while (m_step == eStep::SendingFile && m_pSocket->bytesToWrite() == 0) {
        const qint64 n =
            m_fileSent < announced
                ? m_file.read(m_block.data(), qMin<qint64>(m_block.size(), announced - m_fileSent))
                : 0;
        if (n <= 0) {
            // The agent waits for exactly the announced number of bytes: a file that shrank since it
            // was measured would leave it waiting.
            if (m_fileSent != announced)
                return Fail(sendFileFailed(m_data.pcName, QStringLiteral("%1: %2 of %3 bytes read (%4)")
                                                              .arg(m_data.strArg)
                                                              .arg(m_fileSent)
                                                              .arg(announced)
                                                              .arg(m_file.errorString())));
            return Close();
        }
        // Progress before every tenth chunk, counted in chunks of kChunkSize whatever the block.
        for (qint64 at = 0; at < n; at += kChunkSize, ++m_chunkNo) {
            if (m_chunkNo % 10 == 0)
                EmitProgress(m_fileSent + at);
        }
        m_blockFrom = m_fileSent;
        if (!WriteBlock(n))
            return;
        m_fileSent += n;
        m_bytesSent += n;
    }
    if (m_step == eStep::SendingFile)
        Arm(m_data.writeWaitMs);
}

bool OperGrpSimuInstallMgr::WriteBlock(qint64 size)
{
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        if (m_pSocket->write(m_block.constData(), size) > 0)
            return true;
        const CCommResult r = BlockFailed();
        qWarning().noquote() << r.str << r.log << m_pSocket->errorString();
        if (m_pSocket->state() != QAbstractSocket::ConnectedState || attempt + 1 == kWriteAttempts) {
            Fail(r);
            return false;
        }
    }
    return false;
}

CCommResult OperGrpSimuInstallMgr::BlockFailed() const
{
    return sendFileFailed(
        m_data.pcName, QStringLiteral("isOpen:%1,isValid:%2,isWritable:%3,isReadable:%4,iWrittenTotleLen:%5")
                           .arg(int(m_pSocket->isOpen()))
                           .arg(int(m_pSocket->isValid()))
                           .arg(int(m_pSocket->isWritable()))
                           .arg(int(m_pSocket->isReadable()))
                           .arg(m_blockFrom));
}

void OperGrpSimuInstallMgr::AllWritten()
{
    if (m_step == eStep::SendingFile)
        return PumpFile();
    OperGrpSimuMgr::AllWritten();
}

// A block taken but not gone within the write wait is not written again: the transfer ends once.
void OperGrpSimuInstallMgr::DeadlinePassed()
{
    if (m_step == eStep::Pausing)
        return OpenFile();
    if (m_step != eStep::SendingFile)
        return OperGrpSimuMgr::DeadlinePassed();
    const CCommResult r = BlockFailed();
    qWarning().noquote() << r.str << r.log << m_pSocket->errorString();
    Fail(r);
}

void OperGrpSimuInstallMgr::SocketFailed()
{
    if (m_step != eStep::SendingFile && m_step != eStep::Pausing)
        return OperGrpSimuMgr::SocketFailed();
    const CCommResult r = BlockFailed();
    qWarning().noquote() << r.str << r.log << m_pSocket->errorString();
    Fail(r);
}

void OperGrpSimuInstallMgr::EmitProgress(qint64 fileSent)
{
    const double size = qMax(1, m_data.iExtra);
    const int progress = int(double(fileSent) * 0.9 / size * 100);
    for (const QString& idx : m_data.memuIdxs)
        emit sigInstallProgress(idx, progress);
}
